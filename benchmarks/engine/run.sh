#!/usr/bin/env bash
# Builds the engine benchmark optimised in build-bench/ (at the repository
# root), runs it over the benchmark files and prints MB/s of repair_text beside
# simdjson's DOM parse of the same valid files.
#
# Usage: benchmarks/engine/run.sh [--quick] [--growth] [--baseline REV] [--bench-dir DIR] [--repetitions N]
#   --quick          3 short repetitions, for a smoke run of a few seconds
#   --baseline REV   also build the engine of git revision REV (its src/ is
#                    exported into build-bench/) and time it in the same run,
#                    repetitions of both interleaved at random
#   --growth         also time pathological inputs at 1, 4, 16 and 64 MB
#                    (with --quick: 0.25 to 2 MB) beside a plain copy
#   --bench-dir DIR  folder of .json files (default: where
#                    benchmarks/data-path.txt says, from the repository root)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bench_dir="$root/$(head -n 1 "$root/benchmarks/data-path.txt")"
repetitions=10
min_time=0.5
quick=0
growth=0
baseline=
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; repetitions=3; min_time=0.05 ;;
    --growth) growth=1 ;;
    --baseline) baseline="$2"; shift ;;
    --bench-dir) bench_dir="$2"; shift ;;
    --repetitions) repetitions="$2"; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

if ! compgen -G "$bench_dir/*.json" >/dev/null; then
  echo "engine benchmark skipped: no .json files in $bench_dir (the benchmark corpus is not part of the repository)"
  exit 0
fi

build="$root/build-bench"
baseline_src=
if [ -n "$baseline" ]; then
  commit=$(git -C "$root" rev-parse --verify "$baseline^{commit}")
  baseline_src="$build/baseline/$commit"
  if [ ! -d "$baseline_src/src" ]; then
    mkdir -p "$baseline_src"
    git -C "$root" archive "$commit" src | tar -x -C "$baseline_src"
  fi
  baseline_src="$baseline_src/src"
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_BENCH_BASELINE="$baseline_src" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG" \
  -DCORVANE_BUILD_BENCH=ON -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_CLI=OFF \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_FUZZ=OFF >/dev/null
cmake --build "$build" --target corvane_engine_bench -j2 >/dev/null

growth_flag=()
if [ "$growth" = 1 ]; then
  if [ "$quick" = 1 ]; then growth_flag=(--growth=0.25,0.5,1,2); else growth_flag=(--growth=1,4,16,64); fi
fi

result="$build/engine-bench.json"
"$build/benchmarks/engine/corvane_engine_bench" "${growth_flag[@]}" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_min_time="$min_time" \
  --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$result" --benchmark_out_format=json \
  "$bench_dir" >/dev/null

python3 "$here/bench_report.py" "$result" ${baseline:+--baseline-name "$baseline"}
