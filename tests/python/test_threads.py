"""The modules used from many threads at once.

On a free-threaded CPython the threads truly run at the same time: the
modules declare that they need no GIL, so importing them leaves it off. The
same tests run on every CPython. CORVANE_STRESS_ROUNDS makes the stress test
longer; scripts/test-free-threaded.sh runs it so with the GIL forced off and
forced back on.
"""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest

import corvane
from corvane_batch import repair_many
from corvane_report import report, report_all
from corvane_stream import RepairStream

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ROUNDS = int(os.environ.get("CORVANE_STRESS_ROUNDS", "10"))
THREADS = 8

RECORD = "{id: %d, 'name': 'n%d', tags: ['a' 'b',], ok: True, // note\n"
DOCUMENT = "Here you go: ```json\n[" + ", ".join(RECORD % (i, i) + "}" for i in range(3000)) + "\n```"
# One row per kind of call: the input, and what the call must give or raise.
CASES = [
    RECORD % (1, 1),
    "[1 2,, 3,]",
    "{'a': 'it\"s'}",
    "\u00e9t\u00e9 \U0001f600",
    DOCUMENT,
    "[" * 129,
    '{"a": "he said "hi" ok"}',
    "[\udc80]",
    b"[1]",
]


def repair_batch(text):
    """The text twice in a batch, on threads of the batch's own."""
    return repair_many([text, None, text], on_error="null", threads=2)


FUNCTIONS = [corvane.repair, corvane.repair_json, corvane.repair_to_string, corvane.loads, repair_batch,
             report, report_all]


def outcome(function, argument):
    try:
        return ("value", function(argument))
    except (ValueError, TypeError) as error:
        return (type(error), str(error))


def stream_outcome(text):
    """A stream of its own fed in seven pieces, a snapshot after each."""
    stream = RepairStream()
    step = len(text) // 7 + 1
    try:
        shown = []
        for start in range(0, len(text), step):
            stream.feed(text[start:start + step])
            shown.append(stream.snapshot())
        return ("value", stream.close(), shown)
    except (ValueError, TypeError) as error:
        return (type(error), str(error))


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded CPython can run without the GIL")
@pytest.mark.parametrize("modules", [["corvane"], ["corvane_stream"], ["corvane_batch"], ["corvane_report"], ["corvane_model"],
                                     ["corvane", "corvane_stream", "corvane_batch", "corvane_report", "corvane_model"]])
def test_import_leaves_the_gil_off(modules):
    # In a fresh interpreter with PYTHON_GIL unset: a module that does not
    # declare it can run without the GIL turns it back on when imported.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = "import sys\n%s\nprint(sys._is_gil_enabled())" % "\n".join("import " + m for m in modules)
    result = subprocess.run([sys.executable, "-W", "error", "-c", script], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip(), result.stderr) == (0, "False", "")


def test_many_threads_repair_stream_and_refuse_at_once():
    """Every thread meets every case in every round, all starting together:
    repairs short and long, refusals, encoding and type errors raised at the
    same moment, a stream of its own per thread, and records fed whole into
    one stream that all threads share. Each result is the one a single
    thread gets."""
    expected = {(f, i): outcome(f, text) for f in FUNCTIONS for i, text in enumerate(CASES)}
    expected_streams = {i: stream_outcome(text) for i, text in enumerate(CASES) if isinstance(text, str)}
    shared = RepairStream()
    shared.feed("[")
    start = threading.Barrier(THREADS)
    failures = []

    def work(index):
        try:
            for round_ in range(ROUNDS):
                start.wait()
                for step in range(len(CASES)):
                    i = (index + round_ + step) % len(CASES)
                    function = FUNCTIONS[(index + step) % len(FUNCTIONS)]
                    got = outcome(function, CASES[i])
                    if got != expected[function, i]:
                        failures.append((function.__name__, i, got[:2]))
                    if i in expected_streams and stream_outcome(CASES[i]) != expected_streams[i]:
                        failures.append(("stream", i))
                shared.feed(RECORD % (index, round_) + "},")
                shared.snapshot()
        except BaseException as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    records = corvane.loads(shared.close())
    assert sorted((r["id"], r["name"]) for r in records) == sorted(
        (index, "n%d" % round_) for index in range(THREADS) for round_ in range(ROUNDS))
    assert all(r == {"id": r["id"], "name": r["name"], "tags": ["a", "b"], "ok": True} for r in records)


def test_threads_share_one_reports_edits():
    """The edits of a report are made on first use, once: threads that ask at
    the same moment all get the one tuple."""
    for _ in range(ROUNDS):
        shared = report(DOCUMENT)
        start = threading.Barrier(THREADS)
        seen = []

        def work():
            start.wait()
            seen.append(shared.edits)

        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(seen) == THREADS and all(edits is shared.edits for edits in seen)
        assert len(shared.edits) > 3000 and shared == report(DOCUMENT)
