#!/usr/bin/env bash
# One valgrind memcheck run of a short script that takes every path of every
# function of the modules (results, refusals, argument errors, encoding
# errors, failing json module; repair_many on one and two threads). Fails on
# any memory error or definite leak.
#
#   scripts/valgrind-check.sh
#
# Imports corvane as the environment provides it (installed, or PYTHONPATH
# pointing at a build). Environment: PYTHON (default python3).
set -euo pipefail

python="${PYTHON:-python3}"
command -v valgrind >/dev/null || { echo "valgrind-check.sh: needs valgrind" >&2; exit 2; }
module="$("$python" -c 'import corvane; print(corvane.__file__)')"
# The interpreter itself, not a wrapper script (pyenv shims are scripts).
interpreter="$("$python" -c 'import sys; print(sys.executable)')"
echo "valgrind-check.sh: checking $module"

log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# Plain malloc, so valgrind sees every block instead of pymalloc's arenas.
set +e
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=30 \
  --log-file="$log" "$interpreter" - <<'PY'
import sys, types
import corvane
from corvane_stream import RepairStream

FUNCTIONS = [corvane.repair, corvane.repair_json, corvane.repair_to_string, corvane.loads]
TEXTS = [
    "{'a': [1, 2, True, None, .5, \"x\" \"y\",], b: 'c', // note\n \"d\": {\"e\": [1, 2}",
    "```json\n{\"a\":1}\n```", "", "\ufeff[1]", '"' + "\x01" * 5000, "x" * 100000,
    "[" * 128, "[" * 129, '{"a": "he said "hi" ok"}', "caf\u00e9 \U0001f600",
]
BAD_ARGUMENTS = [((5,), {}), ((None,), {}), ((b"[1]",), {}), (("\ud800",), {}), ((), {}),
                 (("a", "b"), {}), ((), {"text": "x"}), (("a",), {"input": "b"}),
                 ((), {"input": "[1"})]

calls = 0
for _ in range(3):
    for function in FUNCTIONS:
        for text in TEXTS:
            try:
                function(text)
            except ValueError:
                pass
            calls += 1
        for args, kwargs in BAD_ARGUMENTS:
            try:
                function(*args, **kwargs)
            except (TypeError, UnicodeEncodeError):
                pass
            calls += 1

# The stream on the same texts, whole and a character at a time, with every
# method and the errors after a refusal or close.
for text in TEXTS + ["[1, nu", '{"a": "x\\ud83d']:
    for pieces in ([text], list(text[:2000])):
        stream = RepairStream()
        try:
            for piece in pieces:
                stream.feed(piece)
                stream.snapshot()
            stream.value()
            repr(stream)
            stream.close()
            stream.feed("x")
        except ValueError:
            pass
        calls += 1
    for args, kwargs in BAD_ARGUMENTS:
        try:
            RepairStream().feed(*args, **kwargs)
        except (TypeError, UnicodeEncodeError):
            pass
        calls += 1

# The batch functions on the same texts: nulls, refusals each way, threads,
# and the input they refuse.
from corvane_batch import repair_many
for on_error in ("null", "skip", "raise"):
    for threads in (1, 2):
        try:
            repair_many(TEXTS + [None] + TEXTS * 20, on_error=on_error, threads=threads)
        except ValueError:
            pass
        calls += 1
for args, kwargs in [(([1],), {}), ((["\ud800"],), {}), ((["[1"],), {"on_error": "x"}), (("[1",), {}),
                     ((iter([None, "[1", 0]),), {}), ((["[1"],), {"threads": 0})]:
    try:
        repair_many(*args, **kwargs)
    except (TypeError, ValueError, UnicodeEncodeError):
        pass
    calls += 1

real_json = sys.modules["json"]
for stand_in in (types.SimpleNamespace(), types.SimpleNamespace(loads=lambda s: 1 / 0)):
    sys.modules["json"] = stand_in
    try:
        corvane.loads("[1]")
    except (AttributeError, ZeroDivisionError):
        pass
    calls += 1
sys.modules["json"] = real_json
print("valgrind-check.sh: %d calls made" % calls)
PY
status=$?
set -e
if [[ $status -ne 0 && $status -ne 99 ]]; then
  cat "$log" >&2
  echo "valgrind-check.sh: the script itself failed ($status)" >&2
  exit $status
fi

# Interpreters not built for valgrind report errors of their own (pymalloc
# free lists, small-int cache); judge only the reports with a frame in the
# module, and the leak totals.
"$interpreter" - "$log" "$(basename "$module")" <<'PY'
import re, sys

log_path, module_name = sys.argv[1], sys.argv[2]
records, current = [], []
with open(log_path) as log:
    for line in log:
        body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
        if body.strip():
            current.append(body)
        elif current:
            records.append(current)
            current = []
if current:
    records.append(current)

summary = [r for r in records if any("ERROR SUMMARY" in l or "definitely lost" in l for l in r)]
for record in summary:
    for line in record:
        if "ERROR SUMMARY" in line or "lost:" in line:
            print("valgrind-check.sh: " + line.strip())
ours = [r for r in records if any(module_name in l or "corvane::" in l for l in r[1:])]
definite = [r for r in ours if "definitely lost" in r[0]]
for record in ours:
    print("\n".join(record), file=sys.stderr)
    print(file=sys.stderr)
print("valgrind-check.sh: %d reports involve the module (%d definite leaks), %d reports in all"
      % (len(ours), len(definite), len(records) - len(summary)))
sys.exit(1 if ours else 0)
PY
