#!/usr/bin/env bash
# Builds the abi3 wheel once and runs tests/python against that same wheel
# file on every CPython 3.8+ that pyenv provides, each in its own venv.
#
#   scripts/test-pythons.sh            # all interpreters
#   scripts/test-pythons.sh 3.8 3.13   # only versions starting with these
#
# Work files go to build-pythons/ (git-ignored). Exits non-zero when the wheel
# does not build, when no interpreter is found, or when any interpreter fails.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$ROOT/build-pythons"
WHEEL_DIR="$WORK/wheel"
LOG_DIR="$WORK/logs"
# pytest runs from here: nothing in it can shadow the installed module.
RUN_DIR="$WORK/run"

if command -v pyenv >/dev/null 2>&1; then
    PYENV_ROOT="$(pyenv root)"
else
    PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}"
fi

mkdir -p "$WORK" "$LOG_DIR" "$RUN_DIR"
rm -rf "$WHEEL_DIR"

echo "building the wheel with $(python3 --version 2>&1)"
if ! (cd "$ROOT" && python3 -m pip wheel . --no-deps -w "$WHEEL_DIR") >"$LOG_DIR/wheel.log" 2>&1; then
    tail -n 40 "$LOG_DIR/wheel.log"
    echo "wheel build failed (log: build-pythons/logs/wheel.log)"
    exit 1
fi
wheels=("$WHEEL_DIR"/corvane-*.whl)
if [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "expected exactly one wheel in build-pythons/wheel, found: ${wheels[*]}"
    exit 1
fi
WHEEL="${wheels[0]}"
echo "wheel: $(basename "$WHEEL")"

wanted() {
    local version="$1" prefix
    [ "${#FILTERS[@]}" -eq 0 ] && return 0
    for prefix in "${FILTERS[@]}"; do
        case "$version" in "$prefix"*) return 0 ;; esac
    done
    return 1
}
FILTERS=("$@")

summary=()
failures=0
tested=0
for dir in "$PYENV_ROOT"/versions/3.*; do
    [ -x "$dir/bin/python" ] || continue
    version="$(basename "$dir")"
    wanted "$version" || continue
    # abi3 needs a CPython 3.8 or later with the GIL.
    if ! "$dir/bin/python" -c 'import sys, sysconfig
sys.exit(0 if sys.implementation.name == "cpython" and sys.version_info >= (3, 8)
         and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' 2>/dev/null; then
        summary+=("$(printf '%-10s skipped (not a CPython 3.8+ with the GIL)' "$version")")
        continue
    fi
    tested=$((tested + 1))
    venv="$WORK/venv-$version"
    log="$LOG_DIR/$version.log"
    echo "== $version"
    {
        "$dir/bin/python" -m venv --clear "$venv" &&
            "$venv/bin/python" -m pip install --quiet pytest hypothesis &&
            "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "$WHEEL" &&
            (cd "$RUN_DIR" && "$venv/bin/python" -c '
import corvane, pathlib, sys
where = pathlib.Path(corvane.__file__).resolve()
print("corvane from", where)
sys.exit(0 if pathlib.Path(sys.prefix).resolve() in where.parents else 1)')
    } >"$log" 2>&1
    if [ $? -ne 0 ]; then
        tail -n 20 "$log"
        summary+=("$(printf '%-10s FAIL (setup; log: build-pythons/logs/%s.log)' "$version" "$version")")
        failures=$((failures + 1))
        continue
    fi
    # corvane_batch's Arrow tests build their columns with pyarrow; where no
    # pyarrow serves this interpreter they skip.
    "$venv/bin/python" -m pip install --quiet pyarrow >>"$log" 2>&1 ||
        echo "no pyarrow for $version: the Arrow tests skip" >>"$log"
    (cd "$RUN_DIR" && "$venv/bin/python" -m pytest "$ROOT/tests/python" -q -p no:cacheprovider) >>"$log" 2>&1
    status=$?
    result="$(grep -E '(passed|failed|error|no tests ran)' "$log" | tail -n 1 | sed 's/=//g; s/^ *//; s/ *$//')"
    if [ "$status" -eq 0 ]; then
        summary+=("$(printf '%-10s PASS  %s' "$version" "$result")")
    else
        tail -n 30 "$log"
        summary+=("$(printf '%-10s FAIL  %s (log: build-pythons/logs/%s.log)' "$version" "$result" "$version")")
        failures=$((failures + 1))
    fi
done

echo
echo "corvane wheel $(basename "$WHEEL") on each interpreter:"
for line in "${summary[@]}"; do
    echo "  $line"
done
if [ "$tested" -eq 0 ]; then
    echo "no CPython 3.8+ found under $PYENV_ROOT/versions"
    exit 1
fi
if [ "$failures" -ne 0 ]; then
    echo "$failures interpreter(s) failed"
    exit 1
fi
echo "all $tested interpreter(s) passed"
