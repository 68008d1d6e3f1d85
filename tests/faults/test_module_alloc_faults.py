"""Out-of-memory inside the extension module, at every native allocation of a
call in turn: each must raise MemoryError (never a crash, never another
exception) and free every native block the call had taken. A RepairStream
that met the failure is then still usable or closed, never corrupt.

The allocation hook (alloc_hook.cpp) is compiled here and preloaded into a
child interpreter, which imports the same corvane module as this one.
Runs unchanged on CPython 3.8 and later; needs Linux and a C++ compiler.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="the hook is preloaded with LD_PRELOAD (Linux)")

# Runs in the child: walks k = 1, 2, ... failing the k-th allocation of one
# call each time, until a call completes without meeting allocation k.
CHILD = r"""
import ctypes, json, sys
import corvane

hook = ctypes.CDLL(sys.argv[1])
hook.corvane_faults_arm.argtypes = [ctypes.c_long]
hook.corvane_faults_attempts.restype = ctypes.c_long
hook.corvane_faults_live.restype = ctypes.c_long
from corvane_stream import RepairStream

BROKEN = "the stream ran out of memory during a repair and was closed"
stream_problems = []

def stream(text):
    # Fed in three pieces with a snapshot after each. A stream that met the
    # failure must then still be usable, or closed and saying why.
    s = RepairStream()
    third = len(text) // 3
    try:
        for piece in (text[:third], text[third:2 * third], text[2 * third:]):
            s.feed(piece)
            s.snapshot()
        s.value()
        return s.close()
    except MemoryError:
        pass
    hook.corvane_faults_disarm()
    try:
        refusal = corvane.repair(text) and None
    except ValueError as error:
        refusal = str(error)
    try:
        s.close()
    except ValueError as error:
        if not (s.closed and str(error) in (BROKEN, refusal)):
            stream_problems.append("after MemoryError, close() raised %r" % error)
    except BaseException as error:
        stream_problems.append("after MemoryError, close() raised %r" % error)
    del s
    raise MemoryError

from corvane_batch import repair_many

# A batch of three rows, null and refused rows among them, on the calling
# thread (the hook fails allocations of the thread that armed it).
BATCHES = {
    "many": lambda text: repair_many([text, None, text], on_error="null", threads=1),
    "many-raise": lambda text: repair_many(iter([text, None, text]), threads=1),
    # A profile read, and one refused with a message made on the heap.
    "many-model": lambda text: repair_many([text, None, text], on_error="null", threads=1, profile="model"),
    "bad-profile": lambda text: repair_many([text], profile=text),
}

cases = json.loads(sys.argv[2])
report = []
for function_name, text in cases:
    function = stream if function_name == "stream" else BATCHES.get(function_name) or getattr(corvane, function_name)
    try:
        expected = ("value", function(text))
    except Exception as error:
        expected = ("error", type(error).__name__, str(error))
    entry = {"function": function_name, "text": text[:40], "failures": 0,
             "problems": []}
    k = 0
    while True:
        k += 1
        hook.corvane_faults_arm(k)
        try:
            got = ("value", function(text))
        except MemoryError:
            hook.corvane_faults_disarm()
            entry["failures"] += 1
            entry["problems"] += ["k=%d: %s" % (k, problem) for problem in stream_problems]
            del stream_problems[:]
            if hook.corvane_faults_live():
                entry["problems"].append("k=%d: %d blocks left" % (k, hook.corvane_faults_live()))
            continue
        except BaseException as error:
            got = ("error", type(error).__name__, str(error))
        hook.corvane_faults_disarm()
        if hook.corvane_faults_live():
            entry["problems"].append("k=%d: %d blocks left" % (k, hook.corvane_faults_live()))
        if hook.corvane_faults_attempts() >= k:
            entry["problems"].append("k=%d: allocation failed but %r came out" % (k, got[:2]))
        elif got != expected:
            entry["problems"].append("k=%d: %r instead of %r" % (k, got, expected))
        break
    report.append(entry)
print(json.dumps(report))
"""

TEXTS = {
    "object": "{'name': 'Ann', age: 31, tags: [\"a\" \"b\",], note: None, x: 'padding'}",
    "grows": '"' + "\x01" * 3000 + '"',
    "deep": "[" * 129,
    "ambiguous": '{"a": "he said "hi" ok and more text after it"}',
    "prose": "text before the value, long enough to need the heap [1, 2, 3]",
}
# (text name, functions, fewest allocation points the walk must meet)
CASES = [
    ("object", ["repair", "repair_json", "repair_to_string", "loads", "stream", "many", "many-raise",
                "many-model", "bad-profile"], 2),
    ("grows", ["repair", "loads", "stream", "many"], 3),
    ("deep", ["repair", "loads", "stream", "many", "many-raise"], 2),
    ("ambiguous", ["repair", "loads", "stream", "many", "many-raise"], 2),
    ("prose", ["repair", "loads", "stream", "many"], 2),
]


@pytest.fixture(scope="module")
def hook_library(tmp_path_factory):
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the allocation hook")
    output = tmp_path_factory.mktemp("hook") / "alloc_hook.so"
    subprocess.run([compiler, "-std=c++17", "-O1", "-shared", "-fPIC",
                    os.path.join(HERE, "alloc_hook.cpp"), "-o", str(output)], check=True)
    return str(output)


def run_child(hook_library, cases):
    env = dict(os.environ)
    env["LD_PRELOAD"] = hook_library + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
    # The child must import the very module this interpreter imported.
    import corvane
    module_dir = os.path.dirname(os.path.abspath(corvane.__file__))
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-c", CHILD, hook_library, json.dumps(cases)],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


@pytest.mark.parametrize("text_name, functions, fewest", CASES, ids=[c[0] for c in CASES])
def test_every_native_allocation_failure_is_memory_error(hook_library, text_name, functions,
                                                        fewest):
    report = run_child(hook_library, [[name, TEXTS[text_name]] for name in functions])
    for entry in report:
        assert entry["problems"] == [], entry
        assert entry["failures"] >= fewest, entry
