"""corvane_batch: repair_many and repair_arrow hold to corvane.repair row by
row, through every entry point, Arrow layout and thread count, and to
corvane_model.repair under profile='model'; then the arguments and the input
they refuse.

The Arrow tests build their columns with pyarrow and skip where this
interpreter has none; the capsule tests need only ctypes. Runs unchanged on
CPython 3.8 and later.
"""

import ctypes
import sys

import pytest

import corvane
import corvane_batch
import corvane_model
from corvane_batch import repair_arrow, repair_many
from test_module import MODEL_ONLY, PROFILE_TEXTS

HAS_NOTES = sys.version_info >= (3, 11)

# One table of rows for every entry point: each kind of text a column holds.
ROWS = [
    ("valid", '{"id": 1, "tags": ["a", "b"]}'),
    ("broken", "{name: 'Ann', age: 31, ok: True,"),
    ("refused-quote", '{"q": "he said "hi" ok"}'),
    ("null", None),
    ("empty", ""),
    ("non-ascii", "Voilà: {ville: 'Zürich', 東京: [1 2"),
    ("refused-depth", "[" * 129),
    ("short-inline", "[1,2"),  # twelve bytes or fewer: inline in a string_view
    ("long", '{"doc": "' + "lorem ipsum, " * 25_000),
    ("prose", "no JSON here at all"),
]
TEXTS = [text for _, text in ROWS]
# Enough rows for several blocks of work, so that threads share them.
MANY = TEXTS * 12


def repaired_or(text, on_error, repair=corvane.repair):
    """What one row gives: the repaired text, None, or the skip marker."""
    if text is None:
        return None
    try:
        return repair(text)
    except ValueError:
        return None if on_error == "null" else SKIPPED


SKIPPED = object()


def expected(texts, on_error, repair=corvane.repair):
    return [r for r in (repaired_or(t, on_error, repair) for t in texts) if r is not SKIPPED]


def first_refusal(texts):
    for index, text in enumerate(texts):
        try:
            if text is not None:
                corvane.repair(text)
        except ValueError as error:
            return "row %d: %s" % (index, error)
    return None


# --- repair_many -----------------------------------------------------------


@pytest.mark.parametrize("threads", [1, 2, 3, None])
@pytest.mark.parametrize("on_error", ["null", "skip"])
def test_repair_many_matches_repair_row_by_row(on_error, threads):
    assert repair_many(MANY, on_error=on_error, threads=threads) == expected(MANY, on_error)


@pytest.mark.parametrize("on_error", ["raise", "fail"])
def test_repair_many_raises_the_first_refusal_with_its_row(on_error):
    rows = TEXTS[3:] + TEXTS  # the first refusal is no longer first in the table
    with pytest.raises(ValueError) as caught:
        repair_many(rows, on_error=on_error, threads=2)
    assert str(caught.value) == first_refusal(rows)
    assert repair_many(iter(["[1", None, ""])) == ["[1]", None, "null"]


# What each profile's rows must give: the repair of its module, row by row.
PROFILES = [(None, corvane.repair), ("default", corvane.repair), ("model", corvane_model.repair)]
PROFILE_ROWS = PROFILE_TEXTS + [None] + TEXTS


@pytest.mark.parametrize("profile, repair", PROFILES)
def test_repair_many_repairs_by_the_profile(profile, repair):
    options = {} if profile is None else {"profile": profile}
    assert repair_many(PROFILE_ROWS * 3, on_error="null", threads=2, **options) == expected(
        PROFILE_ROWS * 3, "null", repair)


def test_model_profile_reaches_the_engine():
    assert repair_many([MODEL_ONLY[0]], profile="model") == [MODEL_ONLY[1]]


def failing_rows():
    yield "[1"
    yield "{a: 2"
    raise RuntimeError("the source broke")


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((["[1", 2],), {}, TypeError, "row 1: 'int' object is not an instance of 'str'"),
        ((["[1", b"[2"],), {}, TypeError, "row 1: 'bytes' object is not an instance of 'str'"),
        (("[1, 2]",), {}, TypeError, "repair_many() takes an iterable of str, not a str"),
        ((5,), {}, TypeError, "'int' object is not iterable"),
        ((failing_rows(),), {}, RuntimeError, "the source broke"),
        ((["[1"],), {"on_error": "ignore"}, ValueError, "on_error must be 'raise', 'null' or 'skip', not 'ignore'"),
        ((["[1"],), {"on_error": None}, TypeError, "on_error: 'None' is not an instance of 'str'"),
        ((["[1"],), {"threads": 0}, ValueError, "threads must be at least 1"),
        ((["[1"],), {"threads": -(2 ** 70)}, ValueError, "threads must be at least 1"),
        ((["[1"],), {"threads": "2"}, TypeError, "threads: 'str' object is not an instance of 'int'"),
        ((["[1"],), {"profile": "fast"}, ValueError, "profile must be 'default' or 'model', not 'fast'"),
        ((["[1"],), {"profile": 1}, TypeError, "profile: 'int' object is not an instance of 'str'"),
        ((["[1"], "null"), {}, TypeError, "repair_many() takes 1 positional arguments but 2 were given"),
        ((), {}, TypeError, "repair_many() missing 1 required positional argument: 'texts'"),
        ((), {"texts": [], "thread": 2}, TypeError, "repair_many() got an unexpected keyword argument 'thread'"),
    ],
)
def test_repair_many_refuses(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        repair_many(*args, **kwargs)
    assert str(caught.value) == message


def test_repair_many_counts_rows_across_windows_of_text():
    # 10 MB: past the 8 MB of text that repair_many encodes and repairs at a time.
    big = '["' + "x" * (1 << 20) + '"'
    rows = (row for row in [big] * 10 + [None, TEXTS[2]])
    with pytest.raises(ValueError, match="^row 11: Ambiguous"):
        repair_many(rows, threads=2)
    repaired = repair_many([big] * 10 + [None, TEXTS[2]], on_error="skip", threads=2)
    assert len(repaired) == 11 and repaired[0] == repaired[9] == big + "]" and repaired[10] is None
    with pytest.raises(TypeError, match="^row 12: "):
        repair_many([big] * 10 + [None, "[1", 5], on_error="null")


def test_repair_many_lone_surrogate_names_its_row():
    with pytest.raises(UnicodeEncodeError) as caught:
        repair_many(["[1", "['\ud800'"])
    if HAS_NOTES:
        assert caught.value.__notes__ == ["while processing row 1"]


def test_many_threads_more_than_blocks_and_huge_counts():
    assert repair_many(["[1"], threads=2 ** 70) == ["[1]"]
    assert repair_many([], threads=4) == []


# --- repair_arrow ----------------------------------------------------------

ARROW_TYPES = ["string", "large_string", "string_view"]


@pytest.fixture(scope="module")
def pa():
    return pytest.importorskip("pyarrow", reason="pyarrow is not installed for this interpreter")


def arrow_type(pa, name):
    if name == "string_view" and not hasattr(pa, "string_view"):
        pytest.skip("this pyarrow has no string_view")
    return getattr(pa, name)()


def column_of(pa, result):
    """A repair_arrow result as pyarrow reads it, checked in full."""
    if isinstance(result, corvane_batch.RepairedArray):
        column = pa.array(result)
        assert len(column) == len(result)
    else:
        column = pa.chunked_array(result)
    column.validate(full=True)
    return column


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("on_error", ["null", "skip"])
@pytest.mark.parametrize("type_name", ARROW_TYPES)
@pytest.mark.parametrize("shape", ["array", "sliced", "chunked"])
def test_repair_arrow_matches_repair_row_by_row(pa, shape, type_name, on_error, threads):
    texts = MANY
    column = pa.array(texts, type=arrow_type(pa, type_name))
    if shape == "sliced":
        # An offset that is not a multiple of eight reads the validity bits mid-byte.
        texts, column = texts[5:-3], column.slice(5, len(texts) - 8)
    elif shape == "chunked":
        column = pa.chunked_array([column.slice(0, 7), column.slice(7, 0), column.slice(7)])
    result = repair_arrow(column, on_error=on_error, threads=threads)
    assert isinstance(result, corvane_batch.RepairedArray if shape != "chunked" else corvane_batch.RepairedStream)
    repaired = column_of(pa, result)
    assert repaired.type == pa.string()
    assert repaired.to_pylist() == expected(texts, on_error)
    assert repaired.null_count == expected(texts, on_error).count(None)
    if shape == "chunked":
        kept = [len(expected(texts[a:b], on_error)) for a, b in [(0, 7), (7, 7), (7, len(texts))]]
        assert [len(chunk) for chunk in repaired.chunks] == kept


@pytest.mark.parametrize("profile, repair", PROFILES)
def test_repair_arrow_repairs_by_the_profile(pa, profile, repair):
    options = {} if profile is None else {"profile": profile}
    column = pa.chunked_array([pa.array(PROFILE_ROWS), pa.array(PROFILE_ROWS)])
    repaired = column_of(pa, repair_arrow(column, on_error="skip", threads=2, **options))
    assert repaired.to_pylist() == expected(PROFILE_ROWS * 2, "skip", repair)
    with pytest.raises(ValueError, match="^profile must be 'default' or 'model', not 'Default'$"):
        repair_arrow(column, profile="Default")


def test_repair_arrow_model_profile_reaches_the_engine(pa):
    assert pa.array(repair_arrow(pa.array([MODEL_ONLY[0]]), profile="model")).to_pylist() == [MODEL_ONLY[1]]


@pytest.mark.parametrize("chunked", [False, True])
def test_repair_arrow_raises_the_first_refusal_with_its_row(pa, chunked):
    rows = TEXTS[3:] + TEXTS
    column = pa.array(rows)
    if chunked:
        column = pa.chunked_array([column.slice(0, 4), column.slice(4)])
    with pytest.raises(ValueError) as caught:
        repair_arrow(column, threads=2)
    assert str(caught.value) == first_refusal(rows)


def test_results_export_again_and_describe_themselves(pa):
    result = repair_arrow(pa.array(["[1", None, "{a: 2"]))
    assert pa.array(result).to_pylist() == pa.array(result).to_pylist() == ["[1]", None, '{"a":2}']
    assert pa.chunked_array(result).num_chunks == 1
    assert repr(result) == "<corvane_batch.RepairedArray string, 3 rows, 1 null>"
    stream = repair_arrow(pa.chunked_array([["[1"], ["[2", "[3"]]))
    assert repr(stream) == "<corvane_batch.RepairedStream string, 3 rows, 0 null, 2 chunks>"
    assert repair_arrow(result).__class__ is corvane_batch.RepairedArray  # a result is input too
    with pytest.raises(TypeError):
        corvane_batch.RepairedArray()


def test_repair_arrow_empty_columns(pa):
    assert column_of(pa, repair_arrow(pa.array([], pa.string()))).to_pylist() == []
    assert column_of(pa, repair_arrow(pa.array([None, None], pa.large_string()))).to_pylist() == [None, None]
    assert column_of(pa, repair_arrow(pa.chunked_array([], pa.string()))).to_pylist() == []


@pytest.mark.parametrize(
    "data, offsets, message",
    [
        (b"[1]\xff\xfe", (0, 3, 5), "row 1: invalid UTF-8 at column 1"),
        # Valid as a whole, but a row boundary cuts the "é" in two.
        (b"[\"\xc3\xa9\"]", (0, 3, 6), "row 0: invalid UTF-8 at column 3"),
        (b"[1][\"\xe6\x9d", (0, 3, 3, 7), "row 2: invalid UTF-8 at column 3"),  # cut off at the end
    ],
)
def test_repair_arrow_refuses_invalid_utf8_whatever_on_error(pa, data, offsets, message):
    buffers = [None, pa.py_buffer((ctypes.c_int32 * len(offsets))(*offsets)), pa.py_buffer(data)]
    column = pa.Array.from_buffers(pa.string(), len(offsets) - 1, buffers)
    with pytest.raises(ValueError) as caught:
        repair_arrow(column, on_error="null")
    assert str(caught.value) == message


def not_strings(pa):
    return [
        (pa.array([1, 2]), "format 'l'"),
        (pa.array([b"[1"]), "format 'z'"),
        (pa.array(["[1", "[1"]).dictionary_encode(), "dictionary-encoded values"),
        (pa.table({"a": ["[1"]}), "format '+s'"),
    ]


def test_repair_arrow_refuses_columns_that_are_not_strings(pa):
    for column, what in not_strings(pa):
        with pytest.raises(TypeError) as caught:
            repair_arrow(column)
        assert str(caught.value) == (
            "repair_arrow() takes Arrow string, large_string or string_view values, not " + what)


# --- capsules that are not what they say ------------------------------------

PyCapsule_New = ctypes.pythonapi.PyCapsule_New
PyCapsule_New.restype = ctypes.py_object
PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
HELD = ctypes.create_string_buffer(128)  # what the foreign capsules point at
NAMES = {}  # a capsule keeps a pointer to its name, not a copy


def capsule(name, pointer=None):
    if name is not None:
        name = ctypes.addressof(NAMES.setdefault(name, ctypes.create_string_buffer(name)))
    return PyCapsule_New(pointer or ctypes.addressof(HELD), name, None)


class Exporter:
    """An object whose export methods return whatever it is given."""

    def __init__(self, array=None, stream=None):
        if array is not None:
            self.__arrow_c_array__ = lambda requested_schema=None: array
        if stream is not None:
            self.__arrow_c_stream__ = lambda requested_schema=None: stream


@pytest.mark.parametrize(
    "source, error, message",
    [
        (object(), TypeError, "repair_arrow() takes an object with __arrow_c_array__ or __arrow_c_stream__, not 'object'"),
        (Exporter(array=[1, 2]), TypeError, "__arrow_c_array__() did not return a pair of capsules"),
        (Exporter(array=(capsule(b"arrow_schema"), capsule(b"other"))), TypeError,
         "__arrow_c_array__() did not return an 'arrow_array' capsule"),
        (Exporter(array=(capsule(None), capsule(b"arrow_array"))), TypeError,
         "__arrow_c_array__() did not return an 'arrow_schema' capsule"),
        (Exporter(stream="not a capsule"), TypeError, "__arrow_c_stream__() did not return an 'arrow_array_stream' capsule"),
        (Exporter(stream=capsule(b"arrow_array")), TypeError,
         "__arrow_c_stream__() did not return an 'arrow_array_stream' capsule"),
        # A zeroed struct is one that was released: its release callback is null.
        (Exporter(stream=capsule(b"arrow_array_stream")), ValueError, "the Arrow stream was already released"),
        (Exporter(array=(capsule(b"arrow_schema"), capsule(b"arrow_array"))), ValueError,
         "the Arrow schema was already released"),
    ],
)
def test_repair_arrow_refuses_foreign_and_released_capsules(source, error, message):
    with pytest.raises(error) as caught:
        repair_arrow(source)
    assert str(caught.value) == message


def test_a_moved_array_cannot_be_read_twice(pa):
    schema, array = pa.array(["[1", None]).__arrow_c_array__()
    assert pa.array(repair_arrow(Exporter(array=(schema, array)))).to_pylist() == ["[1]", None]
    with pytest.raises(ValueError, match="^the Arrow array was already released$"):
        repair_arrow(Exporter(array=(schema, array)))


class ArrowSchema(ctypes.Structure):
    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
REASON = ctypes.create_string_buffer(b"the disk went away")


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
                ("release", RELEASE), ("private_data", ctypes.c_void_p)]


def test_a_failing_stream_raises_its_producers_reason():
    """A producer written without Arrow's library: a string stream whose first
    chunk cannot be read. Its reason is the error's; the stream is released."""
    released = []

    def release_schema(pointer):
        ctypes.cast(pointer, ctypes.POINTER(ArrowSchema)).contents.release = None

    def get_schema(stream, out):
        out.contents.format, out.contents.name = b"u", b"reply"
        out.contents.release = ctypes.cast(schema_release, ctypes.c_void_p)
        return 0

    def release_stream(pointer):
        released.append(True)
        ctypes.cast(pointer, ctypes.POINTER(ArrowArrayStream)).contents.release = RELEASE()

    schema_release = RELEASE(release_schema)
    stream = ArrowArrayStream(GET_SCHEMA(get_schema), GET_NEXT(lambda stream, out: 5),
                              GET_LAST_ERROR(lambda stream: ctypes.addressof(REASON)), RELEASE(release_stream), None)
    source = Exporter(stream=capsule(b"arrow_array_stream", ctypes.addressof(stream)))
    with pytest.raises(ValueError, match="^the Arrow stream failed: the disk went away$"):
        repair_arrow(source)
    assert released == [True]
