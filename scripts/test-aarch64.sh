#!/usr/bin/env bash
# The engine's C++ tests, fuzz replays and allocation-failure test built for
# 64-bit ARM Linux (NEON scanners and UTF-8 check) with Debian's cross
# compiler, and run under user-mode QEMU. Builds into build/aarch64.
#   scripts/test-aarch64.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/cross.sh
jobs=${CORVANE_JOBS:-2}

cross_install g++-aarch64-linux-gnu qemu-user libgtest-dev nlohmann-json3-dev
cross_build build/aarch64 cmake/toolchains/aarch64-linux-gnu.cmake "$@"
ctest --test-dir build/aarch64 --output-on-failure -j "$jobs"
