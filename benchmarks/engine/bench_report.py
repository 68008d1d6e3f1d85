"""Prints the engine benchmark's JSON report as a table of MB/s.

Usage: python3 bench_report.py RESULT.json  (the --benchmark_out file of
corvane_engine_bench run with --benchmark_repetitions and aggregates).

MB/s come from the time aggregates: "best" from the minimum time, "median"
from the median time. The aggregates of the bytes_per_second counter are not
used: their "min" would be the slowest rate, the opposite of the best run.
"""

import json
import sys

TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def benchmark_key(run_name):
    """'repair/valid/x.json/real_time' -> ('repair', 'valid', 'x.json')."""
    parts = run_name.split("/")
    if parts[-1] == "real_time":
        parts = parts[:-1]
    return parts[0], parts[1], "/".join(parts[2:])


def collect_rates(report):
    """Maps (contender, variant, file) to {'min': MB/s, 'median': MB/s} or {'error': text}."""
    rates = {}
    for bench in report["benchmarks"]:
        key = benchmark_key(bench["run_name"])
        if bench.get("error_occurred"):
            rates[key] = {"error": bench.get("error_message", "error")}
            continue
        if bench.get("run_type") != "aggregate" or bench["aggregate_name"] not in ("min", "median"):
            continue
        seconds = bench["real_time"] * TIME_UNITS[bench["time_unit"]]
        rates.setdefault(key, {})[bench["aggregate_name"]] = bench["input_bytes"] / seconds / 1e6
    return rates


def table_rows(rates):
    files = sorted({file for (_, _, file) in rates})
    rows = []
    for file in files:
        for variant in ("valid", "broken"):
            repair = rates.get(("repair", variant, file))
            if repair is None:
                continue
            if "error" in repair:
                rows.append([file, variant, "refused: " + repair["error"], "", "", "", ""])
                continue
            reference = rates.get(("simdjson", variant, file), {})
            ratio = ""
            if "median" in reference and "median" in repair:
                ratio = f"{repair['median'] / reference['median']:.2f}"
            rows.append([
                file, variant,
                fmt(repair.get("min")), fmt(repair.get("median")),
                fmt(reference.get("min")), fmt(reference.get("median")),
                ratio,
            ])
    return rows


def fmt(value):
    return "" if value is None else f"{value:.0f}"


def render(header, rows):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def main(path):
    with open(path) as f:
        report = json.load(f)
    context = report["context"]
    repetitions = report["benchmarks"][0].get("repetitions", 1) if report["benchmarks"] else 0
    print(f"engine benchmark: {context.get('num_cpus')} CPUs at {context.get('mhz_per_cpu')} MHz, "
          f"simdjson kernel {context.get('simdjson_kernel', '?')}, {repetitions} repetitions")
    print("MB/s = input bytes / time; best: from the minimum time, median: from the median time")
    print()
    header = ["file", "variant", "repair best", "repair median",
              "simdjson best", "simdjson median", "repair/simdjson"]
    print(render(header, table_rows(collect_rates(report))))
    print()
    print("repair/simdjson: ratio of the median MB/s (valid inputs only: simdjson does not read broken JSON)")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
