# CORVANE_BENCH_DATA_DIR: the benchmark documents, found where
# benchmarks/data-path.txt says (relative to the repository root), the one
# place every script, test and benchmark reads it from. A fresh clone may not
# have the folder; users check IS_DIRECTORY.
include_guard(GLOBAL)
file(STRINGS "${PROJECT_SOURCE_DIR}/benchmarks/data-path.txt" _corvane_bench_relative LIMIT_COUNT 1)
cmake_path(ABSOLUTE_PATH _corvane_bench_relative BASE_DIRECTORY "${PROJECT_SOURCE_DIR}" NORMALIZE
           OUTPUT_VARIABLE CORVANE_BENCH_DATA_DIR)
