"""Checks that the engine benchmark's table reads the right aggregates."""

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


def test_table_rows():
    rows = bench_report.table_rows(bench_report.collect_rates(REPORT))
    assert rows == [
        ["a.json", "valid", "1000", "500", "5000", "4000", "0.12"],
        ["a.json", "broken", "1000", "500", "", "", ""],
        ["b.json", "valid", "refused: JSON nesting exceeds the limit of 128 containers", "", "", "", ""],
    ]


def test_benchmark_key_keeps_the_file_name_whole():
    assert bench_report.benchmark_key("repair/broken/sub/x.json/real_time") == ("repair", "broken", "sub/x.json")
    assert bench_report.benchmark_key("simdjson/valid/x.json") == ("simdjson", "valid", "x.json")
