"""Every function on every success and failure path, 100,000 times (a batch
of rows 10,000 times): neither resident memory, nor the interpreter's
allocated blocks, nor the reference counts of the arguments may grow. The
one leak suite of the module. Runs unchanged on CPython 3.8 and later
(resident memory needs Linux).
"""

import ctypes
import gc
import os
import sys
import types

import pytest

import corvane
import corvane_batch
import corvane_model
from corvane_batch import repair_arrow, repair_many
from corvane_report import report, report_all
from corvane_stream import RepairStream

try:
    import pyarrow
except ImportError:  # the Arrow paths need a producer; the others run without
    pyarrow = None

CALLS = 100_000
# A leaked input copy or output buffer would cost at least the text's size on
# every call; the inputs below are about a hundred bytes, so a real leak
# shows up as ten megabytes or more against this margin for allocator noise.
ALLOWED_GROWTH = 4 * 1024 * 1024
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096

OBJECT_TEXT = "{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], note: None, x: 'padding'"
DEEP_TEXT = "[" * 129 + "1" + "padding" * 10
# Refused by the model profile too: two readings remain.
AMBIGUOUS_TEXT = '{"a": "tell "x", "b": "y", "c": "' + "padding" * 10 + '"}'
SURROGATE_TEXT = "[1, 2, '\ud800'" + "padding" * 10


# Blocks of the interpreter's own allocator: a leaked str or list shows here
# long before it shows in resident memory.
BLOCK_SLACK = 2000
LONG_TEXT = '["' + "x" * 2048 + '"]'


def find_malloc_trim():
    try:
        return ctypes.CDLL(None).malloc_trim
    except (AttributeError, OSError):
        return None


MALLOC_TRIM = find_malloc_trim()


def resident_bytes():
    # Hand freed heap back to the system first, so that leaked blocks cannot
    # hide in pages that earlier tests left resident.
    if MALLOC_TRIM is not None:
        MALLOC_TRIM(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


class FailingJson:
    """Stands in for the json module; its loads always fails."""

    def __init__(self):
        self.loads = self._loads

    @staticmethod
    def _loads(text):
        raise RuntimeError("json replaced")


def run_path(function, args=(), kwargs=None, raises=None, watched=(), calls=CALLS):
    """Calls function(*args, **kwargs) `calls` times, each call returning or
    raising `raises`; returns the growth in resident memory and in the
    reference count of each watched object, and in allocated blocks."""
    kwargs = kwargs or {}

    def loop(times):
        if raises is None:
            for _ in range(times):
                function(*args, **kwargs)
            return
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except raises:
                pass
            else:
                raise AssertionError("%s did not raise %s" % (function.__name__, raises.__name__))

    loop(1000)  # settle caches and free lists first
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    before = resident_bytes()
    loop(calls)
    gc.collect()
    growth = resident_bytes() - before
    block_growth = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(obj) for obj in watched]
    return growth, [a - b for a, b in zip(after, counts)], block_growth


def streamed(*args, profile="default", **kwargs):
    """A RepairStream through every method, fed what the functions are given."""
    stream = RepairStream(profile=profile)
    stream.feed(*args, **{("chunk" if key == "input" else key): value for key, value in kwargs.items()})
    stream.snapshot()
    stream.value()
    repr(stream)
    return stream.close()


def reported(*args, **kwargs):
    """report and report_all on what the functions are given, each report
    read whole; a refusal raised as repair raises it."""
    result = report(*args, **kwargs)
    for each in [result] + report_all(*args[:1], **kwargs):
        repr(each)
        each.edits, each.changed
    if result.error is not None:
        raise ValueError(result.error)
    return result


def model_streamed(*args, **kwargs):
    return streamed(*args, profile="model", **kwargs)


FUNCTIONS = [corvane.repair, corvane.repair_json, corvane.repair_to_string, corvane.loads, streamed, reported,
             corvane_model.repair, corvane_model.loads, model_streamed]

BIG_NUMBER = 10 ** 30
RAW_TEXT = OBJECT_TEXT.encode()

# (path name, positional arguments, keyword arguments, expected exception)
PATHS = [
    ("success", (OBJECT_TEXT,), {}, None),
    ("success-keyword", (), {"input": OBJECT_TEXT}, None),
    ("long-output", (LONG_TEXT,), {}, None),
    ("depth-refused", (DEEP_TEXT,), {}, ValueError),
    ("ambiguous-refused", (AMBIGUOUS_TEXT,), {}, ValueError),
    ("lone-surrogate", (SURROGATE_TEXT,), {}, UnicodeEncodeError),
    ("wrong-type", (BIG_NUMBER,), {}, TypeError),
    ("wrong-type-keyword", (), {"input": BIG_NUMBER}, TypeError),
    ("bytes", (RAW_TEXT,), {}, TypeError),
    ("none", (None,), {}, TypeError),
    ("no-argument", (), {}, TypeError),
    ("two-arguments", (OBJECT_TEXT, OBJECT_TEXT), {}, TypeError),
    ("unexpected-keyword", (), {"text": OBJECT_TEXT}, TypeError),
    ("duplicate-argument", (OBJECT_TEXT,), {"input": OBJECT_TEXT}, TypeError),
]


@pytest.fixture(scope="module", autouse=True)
def needs_proc():
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("resident memory is read from /proc/self/statm (Linux)")


@pytest.mark.parametrize("path, args, kwargs, raises", PATHS, ids=[p[0] for p in PATHS])
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: "%s.%s" % (f.__module__, f.__name__))
def test_no_growth(function, path, args, kwargs, raises):
    watched = [obj for obj in list(args) + list(kwargs.values()) if obj is not None]
    growth, ref_growth, block_growth = run_path(function, args, kwargs, raises, watched)
    assert block_growth < BLOCK_SLACK, "%s/%s: %d more allocated blocks" % (function.__name__, path, block_growth)
    assert growth < ALLOWED_GROWTH, "%s/%s: resident memory grew by %d bytes" % (
        function.__name__, path, growth)
    assert ref_growth == [0] * len(watched), "%s/%s: reference counts grew by %s" % (
        function.__name__, path, ref_growth)


def failing_iterable():
    yield OBJECT_TEXT
    raise RuntimeError("the source broke")


class ArrowSource:
    """Exports a pyarrow column afresh on every call, as a producer does."""

    def __init__(self, column, stream=False):
        if stream:
            self.__arrow_c_stream__ = column.__arrow_c_stream__
        else:
            self.__arrow_c_array__ = column.__arrow_c_array__


def exported(result):
    """A repair_arrow result read back through its capsules: the exports must
    be released by the consumer, without a leak either."""
    if isinstance(result, corvane_batch.RepairedArray):
        return pyarrow.array(result)
    return pyarrow.chunked_array(result)


def arrow_paths():
    if pyarrow is None:
        return []
    rows = [OBJECT_TEXT, None, "", LONG_TEXT] * 4
    column = pyarrow.array(rows)
    views = pyarrow.array(rows, type=pyarrow.string_view()) if hasattr(pyarrow, "string_view") else column
    refused = pyarrow.array([OBJECT_TEXT, AMBIGUOUS_TEXT, DEEP_TEXT])
    return [
        ("arrow-array", lambda: exported(repair_arrow(ArrowSource(column))), None),
        ("arrow-stream", lambda: exported(repair_arrow(ArrowSource(pyarrow.chunked_array([column, column]),
                                                                   stream=True), threads=2)), None),
        ("arrow-view-skip", lambda: exported(repair_arrow(views, on_error="skip")), None),
        ("arrow-null", lambda: exported(repair_arrow(refused, on_error="null")), None),
        ("arrow-refused", lambda: repair_arrow(refused), ValueError),
        ("arrow-not-strings", lambda: repair_arrow(pyarrow.array([1, 2])), TypeError),
        ("arrow-no-interface", lambda: repair_arrow([OBJECT_TEXT]), TypeError),
    ]


BATCH_ROWS = [OBJECT_TEXT, None, LONG_TEXT, AMBIGUOUS_TEXT, "", DEEP_TEXT]
# (path name, call, expected exception)
BATCH_PATHS = [
    ("many-null", lambda: repair_many(BATCH_ROWS, on_error="null"), None),
    ("many-skip-generator", lambda: repair_many((row for row in BATCH_ROWS), on_error="skip"), None),
    ("many-refused", lambda: repair_many(BATCH_ROWS, threads=1), ValueError),
    ("many-not-str", lambda: repair_many([OBJECT_TEXT, BIG_NUMBER]), TypeError),
    ("many-lone-surrogate", lambda: repair_many([OBJECT_TEXT, SURROGATE_TEXT]), UnicodeEncodeError),
    ("many-failing-iterable", lambda: repair_many(failing_iterable()), RuntimeError),
    ("many-bad-option", lambda: repair_many(BATCH_ROWS, on_error="ignore"), ValueError),
    ("many-model", lambda: repair_many(BATCH_ROWS, on_error="null", profile="model"), None),
    ("many-bad-profile", lambda: repair_many(BATCH_ROWS, profile="fast"), ValueError),
    ("many-profile-not-str", lambda: repair_many(BATCH_ROWS, profile=BIG_NUMBER), TypeError),
    ("stream-bad-profile", lambda: RepairStream(profile="fast"), ValueError),
] + arrow_paths()


@pytest.mark.parametrize("path, call, raises", BATCH_PATHS, ids=[p[0] for p in BATCH_PATHS])
def test_batch_no_growth(path, call, raises):
    # A tenth of the calls: each repairs a batch of rows, not one text.
    growth, ref_growth, block_growth = run_path(call, raises=raises, watched=BATCH_ROWS[:1] + [BIG_NUMBER],
                                                calls=CALLS // 10)
    assert block_growth < BLOCK_SLACK, "%s: %d more allocated blocks" % (path, block_growth)
    assert growth < ALLOWED_GROWTH, "%s: resident memory grew by %d bytes" % (path, growth)
    assert ref_growth == [0, 0], "%s: reference counts grew by %s" % (path, ref_growth)


def test_loads_with_a_failing_json_module(replaced_json):
    stand_in = replaced_json(FailingJson())
    growth, ref_growth, block_growth = run_path(corvane.loads, (OBJECT_TEXT,), raises=RuntimeError,
                                                watched=[OBJECT_TEXT, stand_in, stand_in.loads])
    assert block_growth < BLOCK_SLACK, block_growth
    assert growth < ALLOWED_GROWTH, growth
    assert ref_growth == [0, 0, 0]


def test_loads_with_a_module_that_has_no_loads(replaced_json):
    stand_in = replaced_json(types.SimpleNamespace())
    growth, ref_growth, block_growth = run_path(corvane.loads, (OBJECT_TEXT,), raises=AttributeError,
                                                watched=[OBJECT_TEXT, stand_in])
    assert block_growth < BLOCK_SLACK, block_growth
    assert growth < ALLOWED_GROWTH, growth
    assert ref_growth == [0, 0]


def test_the_measure_sees_a_leak():
    # Keeping a reference, or a copy of the input, on every call must show
    # up, or the tests above could not fail.
    kept = []
    _, ref_growth, _ = run_path(kept.append, (OBJECT_TEXT,), watched=[OBJECT_TEXT])
    assert ref_growth == [CALLS]
    growth, _, block_growth = run_path(lambda text: kept.append(text.encode()), (OBJECT_TEXT,))
    assert growth > ALLOWED_GROWTH
    assert block_growth > BLOCK_SLACK
