"""Prints the engine benchmark's JSON report as tables.

Usage: python3 bench_report.py RESULT.json [--baseline-name REV]  (the
--benchmark_out file of corvane_engine_bench run with --benchmark_repetitions
and aggregates).

Besides the full table, the goal tables: the files against simdjson (and
broken against valid), the dense repairs in MB/s, and the fixed cost of a
call in ns; each with the baseline engine's figure beside it when the run
had one (run.sh --baseline REV).

MB/s come from the time aggregates: "best" from the minimum time, "median"
from the median time. The aggregates of the bytes_per_second counter are not
used: their "min" would be the slowest rate, the opposite of the best run.
The growth table (when the run had --growth) gives CPU ms per MB from the
minimum CPU time, per family and size, beside a plain copy of the same size.
"""

import json
import sys

TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def benchmark_key(run_name):
    """'repair/valid/x.json/real_time' -> ('repair', 'valid', 'x.json');
    the suffixes that Google Benchmark appends (real_time, repeats:N) go."""
    parts = [p for p in run_name.split("/") if p != "real_time" and not p.startswith("repeats:")]
    return parts[0], parts[1], "/".join(parts[2:])


def collect_rates(report):
    """Maps (contender, variant, file) to {'min': MB/s, 'median': MB/s} or {'error': text}."""
    rates = {}
    for bench in report["benchmarks"]:
        key = benchmark_key(bench["run_name"])
        if key[0] == "growth":
            continue
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


GOAL_DENSE_MBPS = 1000
GOAL_CALL_NS = {"object_82": 60, "reply_105": 120}
GOAL_BROKEN_SLOWDOWN = 1.2
BOUND_REPORT_COST = 3.0


def median(rates, key):
    return rates.get(key, {}).get("median")


def ratio(a, b):
    return f"{a / b:.2f}" if a and b else ""


def goal_file_rows(rates):
    """Per file: median MB/s of repair, baseline and simdjson; repair (and
    baseline) over simdjson; and how much slower the broken variant is
    (valid MB/s / broken MB/s)."""
    files = sorted({file for (_, variant, file) in rates if variant == "valid"})
    rows = []
    for file in files:
        new, old = median(rates, ("repair", "valid", file)), median(rates, ("baseline", "valid", file))
        reference = median(rates, ("simdjson", "valid", file))
        broken = median(rates, ("repair", "broken", file))
        rows.append([file, fmt(new), fmt(old), fmt(reference), ratio(new, reference), ratio(old, reference),
                     ratio(new, broken)])
    return rows


def goal_dense_rows(rates):
    """Per dense family: median MB/s of repair and baseline, and new/old."""
    families = sorted({file for (_, variant, file) in rates if variant == "dense"})
    rows = []
    for family in families:
        new, old = median(rates, ("repair", "dense", family)), median(rates, ("baseline", "dense", family))
        rows.append([family, fmt(new), fmt(old), ratio(new, old)])
    return rows


def report_rows(rates):
    """Per file and variant, and per small call: median MB/s of repair_text and
    report_text, and how many times the report's time is the repair's."""
    rows = []
    for (contender, variant, file) in sorted(rates):
        if contender != "report":
            continue
        repair, report = median(rates, ("repair", variant, file)), median(rates, ("report", variant, file))
        rows.append([file, variant, fmt(repair), fmt(report), ratio(repair, report)])
    return rows


def nanoseconds(rates, key, size):
    rate = median(rates, key)
    return size / (rate * 1e6) * 1e9 if rate else None


def goal_call_rows(rates, sizes):
    """Per small text: median ns per call of repair and baseline, old/new."""
    rows = []
    for name in sorted(sizes):
        new = nanoseconds(rates, ("repair", "call", name), sizes[name])
        old = nanoseconds(rates, ("baseline", "call", name), sizes[name])
        rows.append([name, fmt(new), fmt(old), ratio(old, new), str(GOAL_CALL_NS.get(name, ""))])
    return rows


def call_sizes(report):
    return {benchmark_key(b["run_name"])[2]: b["input_bytes"] for b in report["benchmarks"]
            if benchmark_key(b["run_name"])[1] == "call" and "input_bytes" in b}


def collect_growth(report):
    """Maps family to {size in bytes: CPU ms per MB} (from the minimum CPU
    time), or to {size: 'refused: ...'}; the family 'copy' is the baseline."""
    growth = {}
    for bench in report["benchmarks"]:
        _, family, size = benchmark_key(bench["run_name"])
        if not bench["run_name"].startswith("growth/"):
            continue
        size = int(size)
        if bench.get("error_occurred"):
            growth.setdefault(family, {})[size] = "refused: " + bench.get("error_message", "error")
        elif bench.get("run_type") == "aggregate" and bench["aggregate_name"] == "min":
            seconds = bench["cpu_time"] * TIME_UNITS[bench["time_unit"]]
            growth.setdefault(family, {})[size] = seconds * 1e3 / (bench["input_bytes"] / 1e6)
    return growth


def growth_rows(growth):
    """One row per family (copy last): ms per MB at each size, and max/min."""
    sizes = sorted({size for per_size in growth.values() for size in per_size})
    rows = []
    for family in sorted(growth, key=lambda f: f == "copy"):  # run order, copy last
        cells = [growth[family].get(size, "") for size in sizes]
        numbers = [c for c in cells if isinstance(c, float)]
        ratio = f"{max(numbers) / min(numbers):.2f}" if numbers else ""
        rows.append([family] + [f"{c:.2f}" if isinstance(c, float) else c for c in cells] + [ratio])
    return sizes, rows


def fmt(value):
    return "" if value is None else f"{value:.0f}"


def render(header, rows, left=2):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "  ".join(c.ljust(w) if i < left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def print_goals(report, rates, baseline_name):
    old = f"baseline {baseline_name}" if baseline_name else "baseline"
    print()
    print(f"goal: repair_text at or above simdjson on every file; broken within {GOAL_BROKEN_SLOWDOWN}x of valid")
    print(render(["file", "repair", old, "simdjson", "repair/simdjson", "baseline/simdjson", "valid/broken"],
                 goal_file_rows(rates), left=1))
    print("(median MB/s; valid/broken = how many times slower the broken variant is)")
    print()
    print(f"goal: at least {GOAL_DENSE_MBPS} MB/s on every dense repair (1 MB inputs)")
    print(render(["family", "repair", old, "repair/baseline"], goal_dense_rows(rates), left=1))
    print()
    print("goal: fixed cost per call (median ns, engine alone)")
    print(render(["text", "repair", old, "baseline/repair", "goal"], goal_call_rows(rates, call_sizes(report)),
                 left=1))
    print()
    print(f"bound: report_text costs at most {BOUND_REPORT_COST:g}x repair_text")
    print(render(["file", "variant", "repair", "report", "report/repair"], report_rows(rates)))
    print("(median MB/s; report/repair = how many times the report's time is the repair's)")


def main(path, baseline_name=None):
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
    print_goals(report, collect_rates(report), baseline_name)
    growth = collect_growth(report)
    if growth:
        sizes, rows = growth_rows(growth)
        print()
        print("growth: CPU ms per MB (best of the repetitions); copy = a fresh buffer of that size filled")
        print(render(["family"] + [f"{s / 1e6:g} MB" for s in sizes] + ["max/min"], rows, left=1))


if __name__ == "__main__":
    if len(sys.argv) == 2:
        main(sys.argv[1])
    elif len(sys.argv) == 4 and sys.argv[2] == "--baseline-name":
        main(sys.argv[1], sys.argv[3])
    else:
        sys.exit(__doc__)
