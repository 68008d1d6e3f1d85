"""The corvane extension module as Python code sees it, and corvane_model,
its functions under the model profile.

Each table holds one rule: the row is an input, the expected result is
exact. Runs unchanged on CPython 3.8 and later.
"""

import importlib.util
import inspect
import json
import pathlib
import pickle
import sys
import threading

import pytest

import corvane
import corvane_model
from corvane_batch import repair_many
from corvane_report import report, report_all
from corvane_stream import RepairStream

FUNCTION_NAMES = ["repair", "repair_json", "repair_to_string", "loads"]
REPAIR_NAMES = ["repair", "repair_json", "repair_to_string"]
PUBLISHED = ["__version__", "MAX_DEPTH", "repair", "repair_to_string", "repair_json", "loads"]
MODEL_PUBLISHED = ["repair", "loads"]

# Every function that repairs one text, corvane's and corvane_model's: the
# same signatures, argument errors and refusal messages.
CALLABLES = [(corvane, name) for name in FUNCTION_NAMES] + [(corvane_model, name) for name in MODEL_PUBLISHED]
REPAIR_CALLABLES = [(corvane, name) for name in REPAIR_NAMES] + [(corvane_model, "repair")]


def ids(callables):
    return ["%s.%s" % (module.__name__, name) for module, name in callables]

DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers"
AMBIGUOUS_MESSAGE = "Ambiguous unescaped quote in object value; escape inner quotes before repair"
INPUT_NOTE = "while processing 'input'"
HAS_NOTES = sys.version_info >= (3, 11)

WORKED_EXAMPLE = "\n".join(
    [
        "Sure! Here it is:",
        "```json",
        "{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], active: True, note: None, // comment",
        ' "score": .5, nested: {"k": [1, 2}',
        "```",
    ]
)
WORKED_RESULT = (
    '{"name":"Ann","age":31,"tags":["a","b"],"active":true,"note":null,'
    '"score":0.5,"nested":{"k":[1,2]}}'
)


def check_notes(error, notes):
    """`notes` on interpreters with add_note; no __notes__ at all before."""
    if HAS_NOTES and notes:
        assert error.__notes__ == notes
    else:
        assert not hasattr(error, "__notes__")


# --- Module attributes ---------------------------------------------------


@pytest.mark.parametrize(
    "module, name, value, exact_type",
    [
        (corvane, "__version__", "0.2.0", str),
        (corvane, "MAX_DEPTH", 128, int),
        (corvane, "__doc__", "", str),
        (corvane, "__name__", "corvane", str),
        (corvane, "__all__", PUBLISHED, list),
        (corvane_model, "__version__", "0.2.0", str),
        (corvane_model, "__name__", "corvane_model", str),
        (corvane_model, "__all__", MODEL_PUBLISHED, list),
    ],
)
def test_module_attribute(module, name, value, exact_type):
    attribute = getattr(module, name)
    assert type(attribute) is exact_type
    assert attribute == value


@pytest.mark.parametrize("module, published", [(corvane, PUBLISHED), (corvane_model, MODEL_PUBLISHED)])
def test_star_import_binds_every_published_name(module, published):
    namespace = {}
    exec("from %s import *" % module.__name__, namespace)
    del namespace["__builtins__"]
    assert sorted(namespace) == sorted(published)
    for name in published:
        assert namespace[name] is getattr(module, name)


def test_corvane_keeps_exactly_its_names():
    # The model profile is a module of its own: corvane gains no name for it.
    assert sorted(name for name in dir(corvane) if not name.startswith("__")) == [
        "MAX_DEPTH", "loads", "repair", "repair_json", "repair_to_string"]
    assert sorted(name for name in dir(corvane_model) if not name.startswith("__")) == ["loads", "repair"]


DOCS = {
    "corvane.repair": "Repair malformed JSON and return a valid JSON string.\n\n"
    "Raises ValueError for excessive nesting or ambiguous inner object-value quotes.",
    "corvane.repair_json": "Compatibility alias for `repair`.",
    "corvane.repair_to_string": "Compatibility alias for `repair`.",
    "corvane.loads": "Repair malformed JSON and deserialize it with Python's standard `json` module.",
    "corvane_model.repair": "Repair malformed JSON by the model profile's rules and return a valid JSON string.\n\n"
    "Raises ValueError for excessive nesting or ambiguous inner quotes.",
    "corvane_model.loads": "Repair malformed JSON by the model profile's rules and deserialize it with\n"
    "Python's standard `json` module.",
}


@pytest.mark.parametrize("module, name", CALLABLES, ids=ids(CALLABLES))
def test_function_identity_and_documentation(module, name):
    function = getattr(module, name)
    assert type(function) is type(len)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__self__ is module
    assert function.__module__ == module.__name__
    assert function.__doc__ == DOCS["%s.%s" % (module.__name__, name)]
    assert function.__text_signature__ == "(input)"
    parameters = list(inspect.signature(function).parameters.values())
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        ("input", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
    ]
    assert pickle.loads(pickle.dumps(function)) is function


def test_functions_are_distinct_objects():
    functions = [getattr(corvane, name) for name in FUNCTION_NAMES]
    assert len({id(f) for f in functions}) == len(functions)


# --- Module execution, run again on fresh module objects -------------------


def fresh_module(prepare=None):
    """Runs the module's execution step on a new module object."""
    found = importlib.util.find_spec("corvane")
    module = importlib.util.module_from_spec(found)
    if prepare is not None:
        prepare(module)
    found.loader.exec_module(module)
    return module


def test_each_module_object_gets_its_own_functions():
    module = fresh_module()
    assert module is not corvane
    assert module.__all__ == PUBLISHED
    for name in FUNCTION_NAMES:
        assert getattr(module, name) is not getattr(corvane, name)
        assert getattr(module, name).__self__ is module
    assert module.repair("[1,") == "[1]"


def test_functions_take_the_module_name_current_at_execution():
    def rename(module):
        module.__name__ = "renamed"

    module = fresh_module(rename)
    assert [getattr(module, name).__module__ for name in FUNCTION_NAMES] == ["renamed"] * 4


def test_existing_all_list_is_extended():
    def preset(module):
        module.__all__ = ["earlier"]

    assert fresh_module(preset).__all__ == ["earlier"] + PUBLISHED


@pytest.mark.parametrize(
    "prepare, error_type, message",
    [
        (lambda m: setattr(m, "__all__", ("x",)), TypeError, "'tuple' object is not an instance of 'list'"),
        (lambda m: setattr(m, "__all__", None), TypeError, "'None' is not an instance of 'list'"),
        (lambda m: setattr(m, "__name__", 5), SystemError, None),
    ],
)
def test_failing_module_execution_raises_at_import(prepare, error_type, message):
    with pytest.raises(error_type) as caught:
        fresh_module(prepare)
    if message is not None:
        assert caught.value.args == (message,)


# --- Argument binding -------------------------------------------------------


class ShownKey(str):
    """A keyword whose str() differs from its characters."""

    def __str__(self):
        return "shown"


BINDER_ROWS = [
    ((), {}, "{}() missing 1 required positional argument: 'input'"),
    (("[1]", "[2]"), {}, "{}() takes 1 positional arguments but 2 were given"),
    (("[1]", "[2]", "[3]"), {}, "{}() takes 1 positional arguments but 3 were given"),
    (("[1]", "[2]"), {"text": "[3]"}, "{}() takes 1 positional arguments but 2 were given"),
    (("[1]",), {"input": "[2]"}, "{}() got multiple values for argument 'input'"),
    ((), {"text": "[1]"}, "{}() got an unexpected keyword argument 'text'"),
    (("[1]",), {"text": "[1]"}, "{}() got an unexpected keyword argument 'text'"),
    ((), {"x": 1, "input": "[1]"}, "{}() got an unexpected keyword argument 'x'"),
    ((), {"input": "[1]", "x": 1}, "{}() got an unexpected keyword argument 'x'"),
    ((), {"inpu": "[1]"}, "{}() got an unexpected keyword argument 'inpu'"),
    ((), {"inputs": "[1]"}, "{}() got an unexpected keyword argument 'inputs'"),
    ((), {"input\x00": "[1]"}, "{}() got an unexpected keyword argument 'input\x00'"),
    ((), {"INPUT": "[1]"}, "{}() got an unexpected keyword argument 'INPUT'"),
    ((), {"inp\u00fct": "[1]"}, "{}() got an unexpected keyword argument 'inp\u00fct'"),
    ((), {"\udcff": "[1]"}, "{}() got an unexpected keyword argument '\udcff'"),
    ((), {ShownKey("nope"): "[1]"}, "{}() got an unexpected keyword argument 'shown'"),
]


@pytest.mark.parametrize("module, name", CALLABLES, ids=ids(CALLABLES))
@pytest.mark.parametrize("args, kwargs, template", BINDER_ROWS)
def test_binding_errors(module, name, args, kwargs, template):
    with pytest.raises(TypeError) as caught:
        getattr(module, name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (template.format(name),)
    check_notes(caught.value, None)


@pytest.mark.parametrize("module, name", REPAIR_CALLABLES, ids=ids(REPAIR_CALLABLES))
@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("[1,",), {}),
        ((), {"input": "[1,"}),
        ((), {ShownKey("input"): "[1,"}),
    ],
)
def test_binding_by_position_or_keyword(module, name, args, kwargs):
    assert getattr(module, name)(*args, **kwargs) == "[1]"


def test_keyword_str_failure_passes_through():
    class BrokenKey(str):
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        corvane.repair(**{BrokenKey("nope"): "[1]"})


# --- Argument type and encoding ---------------------------------------------


class Outer:
    class Inner:
        pass


def make_local_class():
    class Local:
        pass

    return Local


class RaisingQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no qualname")
        return super().__getattribute__(name)


class NumberQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Unnamed(metaclass=RaisingQualname):
    pass


class Numbered(metaclass=NumberQualname):
    pass


class Surrogate:
    pass


Surrogate.__qualname__ = "Sur\udcffrogate"
SURROGATE_SHOWN = "Sur\udcffrogate".encode("utf-8", "surrogatepass").decode("utf-8", "replace")

TYPE_ERROR_ROWS = [
    (b"[1]", "'bytes' object is not an instance of 'str'"),
    (bytearray(b"[1]"), "'bytearray' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (5, "'int' object is not an instance of 'str'"),
    (True, "'bool' object is not an instance of 'str'"),
    (["[1]"], "'list' object is not an instance of 'str'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    (make_local_class()(), "'make_local_class.<locals>.Local' object is not an instance of 'str'"),
    (Unnamed(), "'<failed to extract type name>' object is not an instance of 'str'"),
    (Numbered(), "'<failed to extract type name>' object is not an instance of 'str'"),
    (Surrogate(), "'{}' object is not an instance of 'str'".format(SURROGATE_SHOWN)),
]


@pytest.mark.parametrize("module, name", CALLABLES, ids=ids(CALLABLES))
@pytest.mark.parametrize("value, message", TYPE_ERROR_ROWS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_input_must_be_str(module, name, value, message, by_keyword):
    function = getattr(module, name)
    with pytest.raises(TypeError) as caught:
        function(input=value) if by_keyword else function(value)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    check_notes(caught.value, [INPUT_NOTE])


# --- Refusals ---------------------------------------------------------------

# The model profile reads one quote of {"a": "he said "hi" ok"} as content;
# where two readings remain it refuses as corvane does.
BOTH = (corvane, corvane_model)
REFUSAL_ROWS = [
    ("[" * 129, DEPTH_MESSAGE, BOTH),
    ('{"a":' * 129, DEPTH_MESSAGE, BOTH),
    ("[" * 1000000, DEPTH_MESSAGE, BOTH),
    ('{"a": "he said "hi" ok"}', AMBIGUOUS_MESSAGE, (corvane,)),
    ('x {"a": "he said "hi" ok"}', AMBIGUOUS_MESSAGE, (corvane,)),
    ('{"a": "say "hi", "b": "yo"}', AMBIGUOUS_MESSAGE, BOTH),
]
REFUSALS = [(module, name, text, message) for module, name in CALLABLES
            for text, message, modules in REFUSAL_ROWS if module in modules]


@pytest.mark.parametrize("module, name, text, message", REFUSALS,
                         ids=["%s.%s-%d" % (row[0].__name__, row[1], i) for i, row in enumerate(REFUSALS)])
def test_refusals_raise_value_error(module, name, text, message):
    with pytest.raises(ValueError) as caught:
        getattr(module, name)(text)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    check_notes(caught.value, None)


def test_rebinding_max_depth_changes_nothing(monkeypatch):
    monkeypatch.setattr(corvane, "MAX_DEPTH", 5)
    assert corvane.repair("[" * 6) == "[" * 6 + "]" * 6
    assert corvane.repair("[" * 128) == "[" * 128 + "]" * 128
    with pytest.raises(ValueError, match="limit of 128 containers"):
        corvane.repair("[" * 129)


# --- Repairs end to end -----------------------------------------------------

REPAIR_ROWS = [
    (WORKED_EXAMPLE, WORKED_RESULT),
    ("", "null"),
    ("   ", "null"),
    ("// note", "null"),
    ("}", "null"),
    ("Here is the JSON: {\"a\": 1}", '{"a":1}'),
    ("123 [1]", "[1]"),
    ("abc", '"abc"'),
    ("[1] [2]", "[1]"),
    ("\ufeff123", "123"),
    ("```json\n{\"a\":1}\n```", '{"a":1}'),
    ("[" * 128, "[" * 128 + "]" * 128),
    ('["he said "hi" ok"]', '["he said ","hi"," ok"]'),
    ("{'caf\u00e9': '\u65e5\u672c', \U0001f600: 1}", '{"caf\u00e9":"\u65e5\u672c","\U0001f600":1}'),
    ('{"a":1,"a":2}', '{"a":1,"a":2}'),
    ("[1, 2, 3", "[1,2,3]"),
    ("a\x00b", '"a\\u0000b"'),
]


@pytest.mark.parametrize("name", REPAIR_NAMES)
@pytest.mark.parametrize("text, expected", REPAIR_ROWS)
def test_repair(name, text, expected):
    result = getattr(corvane, name)(text)
    assert type(result) is str
    assert result == expected


def test_example_file_repairs_to_the_worked_example():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "broken.json"
    text = example.read_text(encoding="utf-8")
    assert text == WORKED_EXAMPLE + "\n"
    assert corvane.repair(text) == WORKED_RESULT


LOADS_ROWS = [
    ("", None),
    ("no json here", "no"),
    ("[1, 2", [1, 2]),
    ("{a: [1, 2.5, True, None]", {"a": [1, 2.5, True, None]}),
    ("'\u00e9\U0001f600'", "\u00e9\U0001f600"),
    (
        WORKED_EXAMPLE,
        {
            "name": "Ann",
            "age": 31,
            "tags": ["a", "b"],
            "active": True,
            "note": None,
            "score": 0.5,
            "nested": {"k": [1, 2]},
        },
    ),
]


@pytest.mark.parametrize("text, expected", LOADS_ROWS)
def test_loads(text, expected):
    assert corvane.loads(text) == expected


# --- The model profile ---------------------------------------------------------

# A reply that only the model profile's rules repair as a user wants (curly
# quotes as string delimiters): each interface that takes a profile is tried
# on it, to show that the profile reaches the engine.
MODEL_ONLY = ("{\u201ccity\u201d: \u201cOslo\u201d}", '{"city":"Oslo"}')
# Texts that every interface must repair under the model profile exactly as
# corvane_model does: the ordinary repairs, which both rule sets make alike,
# and replies on which they differ (model-only and refused ones too).
PROFILE_TEXTS = [
    WORKED_EXAMPLE,
    "[1, 2, 3",
    "{'a': 'it\"s', b: two}",
    MODEL_ONLY[0],
    '["He said "no"", "ok"]',
    "<think>The user wants {name}</think>\n{\"name\": \"Bob\"}",
    "{'ids': {1, 2}, 'next': undefined}",
    "[" * 129,
]


def test_model_profile_repairs_what_the_default_rules_miss():
    assert corvane_model.repair(MODEL_ONLY[0]) == MODEL_ONLY[1]
    assert corvane_model.loads(MODEL_ONLY[0]) == json.loads(MODEL_ONLY[1])
    assert corvane.repair(MODEL_ONLY[0]) != MODEL_ONLY[1]


def model_replies_judge():
    """benchmarks/model_replies.py, whose judge the figures and this test
    share; None where the repository's benchmarks and data are absent (an
    sdist)."""
    path = pathlib.Path(__file__).resolve().parents[2] / "benchmarks" / "model_replies.py"
    if not path.is_file() or not (path.parents[1] / "tests" / "data" / "model-replies").is_dir():
        return None
    located = importlib.util.spec_from_file_location("model_replies", path)
    judge = importlib.util.module_from_spec(located)
    located.loader.exec_module(judge)
    return judge


MODEL_REPLIES = model_replies_judge()
RULE_ROWS = [
    pytest.param(row, id="rule%d-row%d" % (row["rule"], number))
    for number, row in enumerate(MODEL_REPLIES.load_set("rules") if MODEL_REPLIES else [], 1)
] or [pytest.param(None, marks=pytest.mark.skip(reason="no benchmarks/ and tests/data/ here (an sdist)"))]


@pytest.mark.parametrize("row", RULE_ROWS)
def test_model_profile_rules_table(row):
    # Wanted: the row's value (JSON-equal), or a refusal where it wants one.
    verdict, got = MODEL_REPLIES.judge(corvane_model, row)
    assert verdict == "wanted", (row["input"], got)


def test_repairs_from_many_threads_do_not_mix():
    inputs = ['{"thread": %d, "items": [%s' % (i, ", ".join(str(j) for j in range(i * 50))) for i in range(4)]
    expected = [corvane.repair(text) for text in inputs]
    results = [[] for _ in inputs]

    def work(index):
        for _ in range(300):
            results[index].append(corvane.repair(inputs[index]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index, produced in enumerate(results):
        assert produced == [expected[index]] * 300


GIL_CALLS = dict({name: getattr(corvane, name) for name in FUNCTION_NAMES},
                 **{"RepairStream.feed": lambda text: RepairStream().feed(text),
                    "repair_many": lambda text: repair_many([text], threads=1),
                    "repair_many-2-threads": lambda text: repair_many([text] * 2, threads=2),
                    "report": report, "report_all": report_all})
GIL_ROWS = [
    (name, case, text)
    for name in GIL_CALLS
    for case, text in [
        ("success", "[" + "1, " * 1000000),
        ("refusal", "[" * 129 + " " * 3000000),
    ]
]


@pytest.mark.parametrize("name, case, text", GIL_ROWS, ids=["-".join(row[:2]) for row in GIL_ROWS])
def test_repair_runs_without_the_gil(name, case, text):
    """A thread waiting for the GIL gets it while the repair runs.

    The switch interval is raised so that this thread never hands the GIL over
    between bytecodes: the other thread can only run inside the call.
    """
    function = GIL_CALLS[name]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        observed = []
        for attempt in range(5):
            # Longer each time, in case the other thread is slow to wake.
            longer = text * (2 ** attempt)
            gate = threading.Lock()
            gate.acquire()
            ran = []

            def other():
                with gate:
                    ran.append(True)

            thread = threading.Thread(target=other)
            thread.start()  # returns once `other` blocks on the gate
            gate.release()  # `other` now waits for the GIL only
            try:
                function(longer)
            except ValueError:
                pass
            observed.append(bool(ran))  # read before join() gives the GIL up
            thread.join()
            if observed[-1]:
                break
    finally:
        sys.setswitchinterval(interval)
    assert True in observed


# --- loads and the json module it imports -----------------------------------


class Recorder:
    """Stands in for the json module and notes every attribute asked of it."""

    def __init__(self, loads=None):
        object.__setattr__(self, "seen", [])
        object.__setattr__(self, "replacement_loads", loads)

    def __getattribute__(self, name):
        object.__getattribute__(self, "seen").append(name)
        replacement = object.__getattribute__(self, "replacement_loads")
        if name == "loads" and replacement is not None:
            return replacement
        raise AttributeError(name)


def attributes_seen(recorder):
    return object.__getattribute__(recorder, "seen")


def test_loads_uses_the_json_module_of_the_moment(replaced_json):
    first = replaced_json(Recorder(lambda text: ("first", text)))
    assert corvane.loads("[1,") == ("first", "[1]")
    second = replaced_json(Recorder(lambda text: ("second", text)))
    assert corvane.loads("{a:1") == ("second", '{"a":1}')
    assert "loads" in attributes_seen(first)
    assert "loads" in attributes_seen(second)


@pytest.mark.parametrize("text", ["[" * 129, '{"a": "he said "hi" ok"}', 5, "\udc80"])
def test_loads_does_not_import_json_when_the_call_fails(replaced_json, text):
    recorder = replaced_json(Recorder(lambda text: "unreachable"))
    with pytest.raises((ValueError, TypeError)):
        corvane.loads(text)
    assert attributes_seen(recorder) == []


class JsonFailure(Exception):
    pass


def failing_loads(text):
    raise JsonFailure(text)


def test_error_of_json_loads_passes_through_unchanged(replaced_json):
    replaced_json(Recorder(failing_loads))
    with pytest.raises(JsonFailure) as caught:
        corvane.loads("[1,")
    assert caught.value.args == ("[1]",)
    assert any(entry.name == "failing_loads" for entry in caught.traceback)
    check_notes(caught.value, None)


def test_import_failure_passes_through(replaced_json):
    replaced_json(None)
    with pytest.raises(ImportError, match="json"):
        corvane.loads("[1]")


def test_missing_loads_attribute_passes_through(replaced_json):
    replaced_json(Recorder())
    with pytest.raises(AttributeError, match="loads"):
        corvane.loads("[1]")


def test_loads_reimports_json_after_removal(replaced_json):
    import json

    del sys.modules["json"]
    assert corvane.loads("[1,") == [1]
    assert "json" in sys.modules
    assert sys.modules["json"] is not None
    replaced_json(json)
