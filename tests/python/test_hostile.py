"""Hostile input through the Python layer: huge, deep, malformed at the
encoding level, dressed up as something else, or shared between threads.
Each must end in a result or a Python exception, never a crash. (What only
the engine can be hurt by, such as a million comment openers, is in the
engine's hostile-input suite, tests/cpp/hostile_input_test.cpp.)
Runs unchanged on CPython 3.8 and later.
"""

import ctypes
import subprocess
import sys
import threading

import pytest

import corvane

FUNCTIONS = [corvane.repair, corvane.repair_json, corvane.repair_to_string, corvane.loads]
DEPTH_MESSAGE = "JSON nesting exceeds the limit of 128 containers"
INPUT_NOTE = "while processing 'input'"


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_ten_million_brackets_are_refused(function):
    with pytest.raises(ValueError) as caught:
        function("[" * 10_000_000)
    assert caught.value.args == (DEPTH_MESSAGE,)


def test_two_hundred_megabytes_repair_or_run_out_of_memory():
    piece = '{"k": [1, 2.5, "x", True, None]}, '
    count = 200_000_000 // len(piece)
    text = "[" + piece * count
    try:
        result = corvane.repair(text)
    except MemoryError:
        return
    del text
    compact = '{"k":[1,2.5,"x",true,null]}'
    assert len(result) == 2 + count * len(compact) + (count - 1)
    assert result == "[" + ",".join([compact] * count) + "]"


def test_string_left_open_for_fifty_megabytes():
    body = "x" * 50_000_000
    assert corvane.repair('{"a": "' + body) == '{"a":"' + body + '"}'


@pytest.mark.parametrize("text, start", [
    ("\ud800", 0), ("\udc80", 0), ("\udfff[1]", 0), ("[1, 2]\udbff", 6), ("[1, 2]\udfff", 6),
    ('{"a": "\udc00"}', 7), ('["a\ud800b"]', 3), ("abc\ud83d", 3), ('"\\u12" \udead', 7),
])
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_lone_surrogates_anywhere_cannot_be_encoded(function, text, start):
    with pytest.raises(UnicodeEncodeError) as caught:
        function(text)
    error = caught.value
    assert (error.encoding, error.object, error.start, error.end) == ("utf-8", text, start, start + 1)
    assert "surrogates not allowed" in error.reason
    if sys.version_info >= (3, 11):
        assert error.__notes__ == [INPUT_NOTE]
    else:
        assert not hasattr(error, "__notes__")


class Disguised(str):
    """A str whose every Python-level method lies or explodes: the module
    must read the characters themselves."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("the module called a Python-level str method")

    __str__ = __repr__ = __format__ = __bytes__ = _refuse
    encode = __len__ = __getitem__ = __iter__ = __contains__ = _refuse
    __eq__ = __ne__ = __lt__ = __hash__ = __add__ = __mul__ = __mod__ = _refuse
    __getattribute__ = _refuse


@pytest.mark.parametrize("text, expected", [
    ("{'a': [1, 2", '{"a":[1,2]}'),
    ("[1,", "[1]"),
    ("", "null"),
    ("caf\u00e9 \U0001f600", '"caf\u00e9"'),
])
@pytest.mark.parametrize("function", FUNCTIONS[:3], ids=lambda f: f.__name__)
def test_str_subclass_is_repaired_by_its_characters(function, text, expected):
    assert function(Disguised(text)) == expected


def test_str_subclass_through_loads():
    assert corvane.loads(Disguised("[1, 'two' None")) == [1, "two", None]
    assert corvane.loads(Disguised("[1,")) == [1]


class EveryKey(str):
    """A keyword name that claims to equal anything and hashes like 'input'."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("input")


class ShownAs(str):
    def __str__(self):
        return "shown"


def call_with_keywords(function, keywords):
    """Calls `function` with a keyword dictionary exactly as given, even with
    keys that Python-level ** would refuse before reaching the binder."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, (), keywords)


@pytest.mark.parametrize("keywords, message", [
    # The binder compares the key's characters, not what __eq__ claims.
    ({EveryKey("text"): "[1]"}, "repair() got an unexpected keyword argument 'text'"),
    # The key is shown through str(), whatever the subclass makes of it.
    ({ShownAs("text"): "[1]"}, "repair() got an unexpected keyword argument 'shown'"),
    # A key that cannot be encoded is an unexpected keyword, not an encoding error.
    ({"\ud800": "[1]"}, "repair() got an unexpected keyword argument '\ud800'"),
    ({1: "[1]"}, "repair() got an unexpected keyword argument '1'"),
    ({b"input": "[1]"}, "repair() got an unexpected keyword argument 'b'input''"),
    ({None: "[1]"}, "repair() got an unexpected keyword argument 'None'"),
], ids=["odd-eq", "odd-str", "lone-surrogate", "int", "bytes", "none"])
def test_odd_keyword_names_reach_the_binder(keywords, message):
    with pytest.raises(TypeError) as caught:
        call_with_keywords(corvane.repair, keywords)
    assert caught.value.args == (message,)


@pytest.mark.parametrize("key_type", [EveryKey, ShownAs], ids=["odd-eq", "odd-str"])
def test_str_subclass_named_input_binds(key_type):
    assert corvane.repair(**{key_type("input"): "[1,"}) == "[1]"
    assert call_with_keywords(corvane.loads, {key_type("input"): "[1,"}) == [1]


def test_same_object_from_eight_threads():
    text = "{'rows': [" + ", ".join("{id: %d, name: 'n%d', ok: True}" % (i, i)
                                   for i in range(20_000)) + "]"
    expected = corvane.repair(text)
    results = [None] * 8
    start = threading.Barrier(8)

    def work(index):
        start.wait()
        for _ in range(5):
            out = corvane.repair(text)
            if out != expected:
                results[index] = out
                return
        results[index] = out

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(result == expected for result in results)


# Daemon threads still inside a repair when the interpreter exits: CPython
# ends each one as it asks for the GIL back, and that must simply end it.
# Streams give the GIL up twice: for a long chunk, and while waiting for
# another thread's turn on the same stream. json is imported first: a thread
# still importing it at exit is CPython's risk, not corvane's (on 3.13t such a
# thread, handed the type lock while it waited, ends holding it and the exit
# hangs).
DAEMONS_AT_EXIT = """
import json, threading, time, corvane
from corvane_stream import RepairStream
text = "[" + "1, " * 30000
shared = RepairStream()
def fresh_stream(text):
    stream = RepairStream()
    stream.feed(text)
    stream.close()
def shared_stream(text):
    shared.feed(text[1:])
def work(function):
    while True:
        function(text)
functions = [corvane.repair, corvane.loads, corvane.repair_json, corvane.repair_to_string,
             fresh_stream, shared_stream, shared_stream]
for function in functions:
    threading.Thread(target=work, args=(function,), daemon=True).start()
time.sleep(0.3)
"""


def test_exit_while_daemon_threads_repair():
    outcomes = [subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], capture_output=True, timeout=120)
                for _ in range(20)]
    failed = [(result.returncode, result.stderr[-300:]) for result in outcomes if result.returncode != 0]
    assert failed == []
