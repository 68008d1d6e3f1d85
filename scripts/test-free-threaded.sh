#!/usr/bin/env bash
# Builds the free-threaded wheel with CPython 3.13t (made by
# build-free-threaded.sh) and tests it there: the import leaves the GIL off,
# the whole Python suite passes, and the thread stress test passes again,
# longer, with the GIL forced off (PYTHON_GIL=0) and forced back on
# (PYTHON_GIL=1). Skips with a message when there is no source to build the
# interpreter from (a user's clone).
#
# Work files go to build-free-threaded/ (git-ignored). CORVANE_STRESS_ROUNDS
# sets the stress test's length (default 500 here).
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$ROOT/build-free-threaded"
ROUNDS="${CORVANE_STRESS_ROUNDS:-500}"

PYTHON="$(bash "$ROOT/scripts/build-free-threaded.sh")" || exit 1
if [ -z "$PYTHON" ]; then
    echo "test-free-threaded.sh: skipped (no free-threaded CPython to test with)"
    exit 0
fi

rm -rf "$WORK/wheel" "$WORK/venv"
mkdir -p "$WORK/logs" "$WORK/run"
echo "building the wheel with $("$PYTHON" --version 2>&1) (free-threaded)"
if ! (cd "$ROOT" && "$PYTHON" -m pip wheel . --no-deps -w "$WORK/wheel") >"$WORK/logs/wheel.log" 2>&1; then
    tail -n 40 "$WORK/logs/wheel.log"
    echo "FAIL: wheel build (log: build-free-threaded/logs/wheel.log)"
    exit 1
fi
wheel="$(echo "$WORK"/wheel/corvane-*.whl)"
echo "wheel: $(basename "$wheel")"
case "$(basename "$wheel")" in
    *-cp313-cp313t-*.whl) ;;
    *) echo "FAIL: expected a cp313-cp313t wheel"; exit 1 ;;
esac

# The newest Hypothesis has a compiled part with no wheel for 3.13t; the
# last release without one installs as a plain wheel.
VENV="$WORK/venv"
if ! { "$PYTHON" -m venv "$VENV" &&
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: pytest hypothesis &&
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-deps "$wheel"; } >"$WORK/logs/venv.log" 2>&1; then
    tail -n 20 "$WORK/logs/venv.log"
    echo "FAIL: venv setup (log: build-free-threaded/logs/venv.log)"
    exit 1
fi

failures=0
run() {
    local name="$1"; shift
    echo "== $name"
    if (cd "$WORK/run" && "$@"); then
        echo "ok: $name"
    else
        echo "FAIL: $name"
        failures=$((failures + 1))
    fi
}

# Run from outside the tree, so only the installed wheel can be imported.
run "import from the venv, GIL left off" env -u PYTHON_GIL "$VENV/bin/python" -c '
import pathlib, sys
import corvane, corvane_batch, corvane_model, corvane_report, corvane_stream
for module in (corvane, corvane_stream, corvane_batch, corvane_report, corvane_model):
    assert pathlib.Path(sys.prefix).resolve() in pathlib.Path(module.__file__).resolve().parents, module.__file__
print("GIL enabled after import:", sys._is_gil_enabled())
sys.exit(1 if sys._is_gil_enabled() else 0)'
run "tests/python" env -u PYTHON_GIL "$VENV/bin/python" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider
for gil in 0 1; do
    run "stress test, PYTHON_GIL=$gil, $ROUNDS rounds" env PYTHON_GIL=$gil CORVANE_STRESS_ROUNDS="$ROUNDS" \
        "$VENV/bin/python" -m pytest "$ROOT/tests/python/test_threads.py" -q -p no:cacheprovider
done

if [ "$failures" -ne 0 ]; then
    echo "$failures free-threaded check(s) failed"
    exit 1
fi
echo "free-threaded CPython: every check passed"
