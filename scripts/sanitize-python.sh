#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the Python test suite against that build. Any sanitizer report ends
# the run with a non-zero status.
#
#   scripts/sanitize-python.sh [pytest arguments...]   (default: tests/python)
#
# Environment: PYTHON (default python3), CXX (g++ or clang++, default g++),
# CORVANE_SANITIZE_BUILD (default build/sanitize at the repository root).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CORVANE_SANITIZE_BUILD:-$root/build/sanitize}"
python="${PYTHON:-python3}"
compiler="${CXX:-g++}"
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_CLI=OFF \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_FUZZ=OFF \
  -DPython_EXECUTABLE="$(command -v "$python")" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j2 --target corvane corvane_stream corvane_batch

module="$(find "$build" -name 'corvane.*.so' -newer "$build/CMakeCache.txt" | head -n 1)"
if [[ -z "$module" ]]; then
  module="$(find "$build" -name 'corvane.*.so' | head -n 1)"
fi
[[ -n "$module" ]] || { echo "sanitize-python.sh: no module built under $build" >&2; exit 2; }

# The interpreter is not instrumented, so the ASan runtime must be loaded
# before anything else. Python keeps memory until exit on purpose, so leak
# detection would only report the interpreter (valgrind-check.sh and the
# resident-memory tests cover leaks); huge allocations must fail as
# MemoryError instead of aborting. The quarantine is kept small so that the
# resident-memory tests measure the module, not freed blocks held by ASan;
# one call's blocks still stay poisoned long after that call.
if [[ "$compiler" == *clang* ]]; then
  runtime="$("$compiler" -print-file-name=libclang_rt.asan-x86_64.so)"
else
  runtime="$("$compiler" -print-file-name=libasan.so)"
fi
[[ -f "$runtime" ]] || { echo "sanitize-python.sh: ASan runtime not found ($runtime)" >&2; exit 2; }

export LD_PRELOAD="$runtime"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=1:abort_on_error=0:halt_on_error=1:exitcode=86"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
export PYTHONPATH="$(dirname "$module")${PYTHONPATH:+:$PYTHONPATH}"

# The modules are built beside each other; each must come from here.
loaded="$("$python" -c 'import corvane, corvane_stream, corvane_batch
for m in (corvane, corvane_stream, corvane_batch): print(m.__file__)')"
for file in $loaded; do
  if [[ "$(readlink -f "$(dirname "$file")")" != "$(readlink -f "$(dirname "$module")")" ]]; then
    echo "sanitize-python.sh: imported $file instead of the build in $(dirname "$module")" >&2
    exit 2
  fi
done
echo "sanitize-python.sh: testing $module"

if [[ $# -eq 0 ]]; then set -- "$root/tests/python"; fi
cd "$root"
"$python" -m pytest -q -p no:cacheprovider "$@"
