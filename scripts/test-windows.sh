#!/usr/bin/env bash
# The engine's C++ tests, fuzz replays and allocation-failure test built for
# 64-bit Windows with MinGW-w64 and run under Wine. Builds into build/windows.
#   scripts/test-windows.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cross.sh
jobs=${CORVANE_JOBS:-2}

cross_install g++-mingw-w64-x86-64-posix wine64 libgtest-dev nlohmann-json3-dev
cross_build build/windows cmake/toolchains/x86_64-w64-mingw32.cmake "$@"
# The first program Wine runs creates its prefix; let one test do that alone
# before the others start in parallel.
ctest --test-dir build/windows --output-on-failure -R '^fuzz_checks$'
ctest --test-dir build/windows --output-on-failure -j "$jobs"
