#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test:
#   1. the engine's C++ tests (GoogleTest under CTest): repair tables,
#      invariants over corpora, the fast-vs-reference differential, the fuzz
#      corpus replay and the allocation-failure test;
#   2. a short fuzzing run of each libFuzzer target (clang, ASan, UBSan);
#   3. the Python suite under every CPython 3.8+ that pyenv provides, each
#      importing the one abi3 wheel built here; and under the free-threaded
#      CPython 3.13t (built once from ../shared, outside the tree) from its
#      own wheel, with a thread stress test with the GIL off and on;
#   4. with python3: the command-line tool, the type stubs, repair at scale,
#      corvane_batch's recipes for pyarrow, pandas, Polars, DuckDB, Dask and
#      Spark, allocation failures inside the module, and the benchmark scripts;
#   5. other targets: the engine's tests on 64-bit ARM under qemu-user, the
#      engine's tests and the command's test table on Windows under Wine,
#      every source compiled for macOS (arm64, x86-64), and the sdist and
#      wheel checked as they would be uploaded.
# CORVANE_FUZZ_SECONDS sets the fuzzing time per target (default 60; 0 skips).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/debian.sh
jobs=${CORVANE_JOBS:-2}
fuzz_seconds=${CORVANE_FUZZ_SECONDS:-60}

step() { printf '\n=== %s\n' "$*"; }

step "system packages"
# openjdk-17-jre-headless: the Java runtime of Spark, for the corvane_batch recipes.
packages=(g++ libgtest-dev nlohmann-json3-dev clang libclang-rt-dev openjdk-17-jre-headless)
install_debian_packages "${packages[@]}"

step "Python packages and corvane itself (python3)"
python3 -m pip install -q --disable-pip-version-check cmake ninja
python3 -m pip install -q --disable-pip-version-check ".[test,bench,scale,columns]"

step "engine tests (C++)"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON \
  -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_CLI=OFF >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

if [ "$fuzz_seconds" != "0" ]; then
  step "fuzzing, ${fuzz_seconds}s per target"
  bash scripts/fuzz.sh "$fuzz_seconds"
fi

step "Python suite under every CPython 3.8+, one wheel"
bash scripts/test-pythons.sh

step "Python suite and thread stress test under free-threaded CPython 3.13t"
bash scripts/test-free-threaded.sh

step "command, type stubs, scale-out, allocation failures, benchmark scripts (python3)"
# Run from outside the tree so the installed module is the one imported.
here=$(pwd)
cd build
python3 -m pytest -q -p no:cacheprovider "$here/tests/cli" "$here/tests/faults" "$here/benchmarks"

step "engine tests on 64-bit ARM (cross-built, qemu-user)"
cd "$here"
bash scripts/test-aarch64.sh

step "engine tests and the command on 64-bit Windows (MinGW-w64, Wine)"
bash scripts/test-windows.sh

step "every source compiled for macOS arm64 and x86-64 (zig c++)"
bash scripts/check-macos.sh

step "release: sdist and wheel as they would be uploaded"
bash scripts/release-check.sh
