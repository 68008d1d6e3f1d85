#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer and UndefinedBehaviorSanitizer
# (or ThreadSanitizer) and runs the Python test suite against that build. Any
# sanitizer report ends the run with a non-zero status.
#
#   scripts/sanitize-python.sh [pytest arguments...]   (default: tests/python)
#
#   # the thread tests on the free-threaded CPython (the venv that
#   # test-free-threaded.sh makes), under ThreadSanitizer:
#   CORVANE_SANITIZER=thread PYTHON=build-free-threaded/venv/bin/python \
#     scripts/sanitize-python.sh tests/python/test_threads.py
#
# Environment: PYTHON (default python3; it needs pytest and hypothesis),
# CXX (g++ or clang++, default g++), CORVANE_SANITIZER (address, the default,
# or thread), CORVANE_SANITIZE_BUILD (default build/sanitize, or
# build/sanitize-thread, at the repository root).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sanitizer="${CORVANE_SANITIZER:-address}"
python="$(command -v "${PYTHON:-python3}")"
# CMake runs it from the build directory.
[[ "$python" == /* ]] || python="$PWD/$python"
compiler="${CXX:-g++}"
case "$sanitizer" in
  address)
    build="${CORVANE_SANITIZE_BUILD:-$root/build/sanitize}"
    flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" ;;
  thread)
    build="${CORVANE_SANITIZE_BUILD:-$root/build/sanitize-thread}"
    flags="-fsanitize=thread -fno-omit-frame-pointer" ;;
  *) echo "sanitize-python.sh: CORVANE_SANITIZER is address or thread, not $sanitizer" >&2; exit 2 ;;
esac

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_MODULE=ON -DCORVANE_BUILD_CLI=OFF \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_FUZZ=OFF \
  -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j2 --target corvane corvane_stream corvane_batch corvane_report corvane_model

module="$(find "$build" -name 'corvane.*.so' -newer "$build/CMakeCache.txt" | head -n 1)"
if [[ -z "$module" ]]; then
  module="$(find "$build" -name 'corvane.*.so' | head -n 1)"
fi
[[ -n "$module" ]] || { echo "sanitize-python.sh: no module built under $build" >&2; exit 2; }

# The interpreter is not instrumented, so the sanitizer's runtime must be
# loaded before anything else.
short="${sanitizer:0:1}san"
if [[ "$compiler" == *clang* ]]; then
  runtime="$("$compiler" -print-file-name="libclang_rt.$short-x86_64.so")"
else
  runtime="$("$compiler" -print-file-name="lib$short.so")"
fi
[[ -f "$runtime" ]] || { echo "sanitize-python.sh: sanitizer runtime not found ($runtime)" >&2; exit 2; }
export LD_PRELOAD="$runtime"
if [[ "$sanitizer" == address ]]; then
  # Python keeps memory until exit on purpose, so leak detection would only
  # report the interpreter (valgrind-check.sh and the resident-memory tests
  # cover leaks); huge allocations must fail as MemoryError instead of
  # aborting. The quarantine is kept small so that the resident-memory tests
  # measure the module, not freed blocks held by ASan; one call's blocks
  # still stay poisoned long after that call.
  export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=1:abort_on_error=0:halt_on_error=1:exitcode=86"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87"
else
  # TSan sees the module's memory accesses and locks, and of the
  # interpreter's only its calls of malloc, free and pthread: what CPython
  # orders by its own atomics looks unordered. The suppressions name those
  # places of CPython; a report with a frame of corvane on top still fails.
  # Daemon threads, which the exit tests start, are never joined by design.
  export TSAN_OPTIONS="suppressions=$root/scripts/tsan-cpython.supp:report_thread_leaks=0:allocator_may_return_null=1:halt_on_error=1:exitcode=88"
fi
export PYTHONPATH="$(dirname "$module")${PYTHONPATH:+:$PYTHONPATH}"

# The modules are built beside each other; each must come from here.
loaded="$("$python" -c 'import corvane, corvane_stream, corvane_batch, corvane_report, corvane_model
for m in (corvane, corvane_stream, corvane_batch, corvane_report, corvane_model): print(m.__file__)')"
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
