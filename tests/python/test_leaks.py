"""Every function on every success and failure path, 100,000 times: neither
resident memory, nor the interpreter's allocated blocks, nor the reference
counts of the arguments may grow. The one leak suite of the module.
Runs unchanged on CPython 3.8 and later (resident memory needs Linux).
"""

import ctypes
import gc
import os
import sys
import types

import pytest

import corvane
from corvane_stream import RepairStream

CALLS = 100_000
# A leaked input copy or output buffer would cost at least the text's size on
# every call; the inputs below are about a hundred bytes, so a real leak
# shows up as ten megabytes or more against this margin for allocator noise.
ALLOWED_GROWTH = 4 * 1024 * 1024
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096

OBJECT_TEXT = "{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], note: None, x: 'padding'"
DEEP_TEXT = "[" * 129 + "1" + "padding" * 10
AMBIGUOUS_TEXT = '{"a": "he said "hi" ok", "b": "' + "padding" * 10 + '"}'
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


def run_path(function, args=(), kwargs=None, raises=None, watched=()):
    """Calls function(*args, **kwargs) CALLS times, each call returning or
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
    loop(CALLS)
    gc.collect()
    growth = resident_bytes() - before
    block_growth = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(obj) for obj in watched]
    return growth, [a - b for a, b in zip(after, counts)], block_growth


def streamed(*args, **kwargs):
    """A RepairStream through every method, fed what the functions are given."""
    stream = RepairStream()
    stream.feed(*args, **{("chunk" if key == "input" else key): value for key, value in kwargs.items()})
    stream.snapshot()
    stream.value()
    repr(stream)
    return stream.close()


FUNCTIONS = [corvane.repair, corvane.repair_json, corvane.repair_to_string, corvane.loads, streamed]

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
@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_no_growth(function, path, args, kwargs, raises):
    watched = [obj for obj in list(args) + list(kwargs.values()) if obj is not None]
    growth, ref_growth, block_growth = run_path(function, args, kwargs, raises, watched)
    assert block_growth < BLOCK_SLACK, "%s/%s: %d more allocated blocks" % (function.__name__, path, block_growth)
    assert growth < ALLOWED_GROWTH, "%s/%s: resident memory grew by %d bytes" % (
        function.__name__, path, growth)
    assert ref_growth == [0] * len(watched), "%s/%s: reference counts grew by %s" % (
        function.__name__, path, ref_growth)


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
