"""Checks that the engine benchmark's table reads the right aggregates."""

import pytest

import bench_report


def aggregate(run_name, name, real_time, unit="ms", size=1_000_000):
    return {"run_name": run_name, "run_type": "aggregate", "aggregate_name": name,
            "real_time": real_time, "time_unit": unit, "input_bytes": size,
            "repetitions": 10}


REPORT = {"context": {}, "benchmarks": [
    aggregate("repair/valid/a.json/real_time", "mean", 1.5),
    aggregate("repair/valid/a.json/real_time", "median", 2.0),
    aggregate("repair/valid/a.json/real_time", "min", 1.0),
    aggregate("simdjson/valid/a.json/real_time", "median", 250.0, unit="us"),
    aggregate("simdjson/valid/a.json/real_time", "min", 200.0, unit="us"),
    aggregate("repair/broken/a.json/real_time", "median", 4.0, size=2_000_000),
    aggregate("repair/broken/a.json/real_time", "min", 2.0, size=2_000_000),
    {"run_name": "repair/valid/b.json/real_time", "run_type": "iteration",
     "error_occurred": True, "error_message": "JSON nesting exceeds the limit of 128 containers"},
]}


def test_rates_come_from_times_best_is_the_fastest():
    rates = bench_report.collect_rates(REPORT)
    assert rates[("repair", "valid", "a.json")] == {"min": 1000.0, "median": 500.0}
    assert rates[("simdjson", "valid", "a.json")] == {"min": 5000.0, "median": 4000.0}
    assert rates[("repair", "broken", "a.json")] == {"min": 1000.0, "median": 500.0}


def test_report_rows_compare_the_report_with_the_repair():
    report = {"benchmarks": REPORT["benchmarks"] + [
        aggregate("report/valid/a.json/real_time", "median", 5.0),
        aggregate("report/call/object_82/real_time", "median", 300.0, unit="ns", size=82),
    ]}
    rows = bench_report.report_rows(bench_report.collect_rates(report))
    assert rows == [["object_82", "call", "", "273", ""], ["a.json", "valid", "500", "200", "2.50"]]


def test_table_rows():
    rows = bench_report.table_rows(bench_report.collect_rates(REPORT))
    assert rows == [
        ["a.json", "valid", "1000", "500", "5000", "4000", "0.12"],
        ["a.json", "broken", "1000", "500", "", "", ""],
        ["b.json", "valid", "refused: JSON nesting exceeds the limit of 128 containers", "", "", "", ""],
    ]


@pytest.mark.parametrize("run_name, key", [
    ("repair/broken/sub/x.json/real_time", ("repair", "broken", "sub/x.json")),
    ("simdjson/valid/x.json", ("simdjson", "valid", "x.json")),
    ("growth/open_string/250000/repeats:3", ("growth", "open_string", "250000")),
])
def test_benchmark_key(run_name, key):
    assert bench_report.benchmark_key(run_name) == key


def growth_min(family, size, cpu_ms):
    return {"run_name": f"growth/{family}/{size}/repeats:3", "run_type": "aggregate",
            "aggregate_name": "min", "real_time": 999.0, "cpu_time": cpu_ms,
            "time_unit": "ms", "input_bytes": size}


def test_growth_table_uses_cpu_time_per_mb_copy_last():
    report = {"benchmarks": [
        growth_min("copy", 1_000_000, 0.5),
        growth_min("copy", 4_000_000, 2.0),
        growth_min("nesting", 1_000_000, 10.0),
        growth_min("nesting", 4_000_000, 80.0),
        dict(growth_min("nesting", 4_000_000, 1.0), aggregate_name="median"),
        {"run_name": "growth/deep/1000000/repeats:3", "run_type": "iteration",
         "error_occurred": True, "error_message": "refused"},
    ]}
    sizes, rows = bench_report.growth_rows(bench_report.collect_growth(report))
    assert sizes == [1_000_000, 4_000_000]
    assert rows == [
        ["nesting", "10.00", "20.00", "2.00"],
        ["deep", "refused: refused", "", ""],
        ["copy", "0.50", "0.50", "1.00"],
    ]
