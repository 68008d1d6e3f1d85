#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan), runs each for a
# bounded time, then replays the committed corpus and the saved regressions
# through the sanitized binaries. Exits non-zero on any finding.
#
#   scripts/fuzz.sh [seconds-per-target]      (default 60)
#
# Environment: CORVANE_FUZZ_BUILD overrides the build directory (default
# build-fuzz/ at the repository root); CXX picks the clang to use.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CORVANE_FUZZ_BUILD:-$root/build-fuzz}"
targets=(repair_fuzzer structure_fuzzer stream_fuzzer)

compiler="${CXX:-}"
if [[ -z "$compiler" ]]; then
  for candidate in clang++-14 clang++; do
    if command -v "$candidate" >/dev/null; then compiler="$candidate"; break; fi
  done
fi
if [[ -z "$compiler" ]] || ! "$compiler" --version | grep -q clang; then
  echo "fuzz.sh: needs clang++ with libFuzzer (Debian: clang libclang-rt-14-dev)" >&2
  exit 2
fi

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_FUZZ=ON \
  -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_CLI=OFF -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

# Seeds: the committed edge cases plus cuts of real documents (scratch space,
# git-ignored; the real documents are skipped with a note when absent).
work="$root/fuzz/corpus-work"
python3 "$root/fuzz/make_seeds.py" --work "$work/seeds"

replay_dirs=("$root/fuzz/corpus" "$root/fuzz/regressions")
for dir in "$root/tests/data/jsontestsuite/test_parsing" "$root/$(head -n 1 "$root/benchmarks/data-path.txt")"; do
  if [[ -d "$dir" ]]; then replay_dirs+=("$dir"); else echo "fuzz.sh: $dir not found, not replayed"; fi
done

status=0
for target in "${targets[@]}"; do
  corpus="$work/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: fuzzing for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "$work/seeds" "$root/fuzz/regressions" 2>"$build/$target.log"; then
    status=1
    grep -A4 '\*\*\* repair property broken\|ERROR: \(Address\|libFuzzer\|Undefined\)' \
      "$build/$target.log" | head -n 20 || true
    echo "$target: FINDING, input saved under $artifacts (log: $build/$target.log);" \
         "keep it as a file in fuzz/regressions/" >&2
  fi
  grep -E '^(Done|stat::number_of_executed_units)|DONE' "$build/$target.log" || true

  echo "== $target: replaying corpus and regressions"
  if ! "$build/fuzz/$target" -runs=0 -max_len=8388608 -timeout=60 \
      -artifact_prefix="$artifacts/" "${replay_dirs[@]}" 2>"$build/$target-replay.log"; then
    status=1
    grep -A4 '\*\*\* repair property broken\|ERROR:' "$build/$target-replay.log" | head -n 20 || true
    echo "$target: replay FAILED (log: $build/$target-replay.log)" >&2
  else
    grep -E '^Done' "$build/$target-replay.log" || true
  fi
done

if [[ $status -ne 0 ]]; then
  echo "fuzz.sh: findings, see above" >&2
else
  echo "fuzz.sh: no findings"
fi
exit $status
