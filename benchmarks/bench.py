#!/usr/bin/env python3
"""Speed and memory figures for corvane, printed as tables.

Sections (all by default; pick some with --sections a,b):
  throughput  MB/s on the benchmark files, valid and broken, beside json,
              orjson and the boundary floor
  small       nanoseconds per call on small model-style messages
  threads     1 against 2 threads repairing the large inputs
  growth      time per MB at growing sizes of pathological inputs
  memory      peak resident memory of repairing a large input
  stream      corvane_stream: feeding growing texts in 64-byte chunks, and
              a snapshot after every chunk of a tool call beside
              re-repairing the growing text
  batch       corvane_batch on a column of short records and one of 1 MB
              documents, beside a Python loop, Polars map_elements, a DuckDB
              row function and `corvane --lines`; and the memory peak of
              repair_arrow on 1 GB of text
  report      corvane_report: report() against repair() on the benchmark
              files, and report_all() on JSON Lines held in a str beside a
              loop over its lines

Nothing here passes or fails on speed: it prints figures for a person to read.
Timings are medians of interleaved rounds, so a burst of load on a shared
machine hits every contender alike instead of one of them. With --baseline,
another build of the module (its extension file) is timed beside this one in
the same rounds, and the goal lines compare the two.

  python3 benchmarks/bench.py            # full run (a few minutes)
  python3 benchmarks/bench.py --quick    # smoke run (seconds)
  python3 benchmarks/bench.py --baseline OLD/corvane.abi3.so --growth-sizes 16,128
"""

import argparse
import gc
import importlib
import json
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

try:
    import resource
except ImportError:  # Windows has no resource module: page faults are not counted there
    resource = None

try:
    import orjson
except ImportError:  # the bench extra brings it; without it that column stays empty
    orjson = None

REPO_ROOT = Path(__file__).resolve().parent.parent
# Where the benchmark documents are, relative to the repository root.
DEFAULT_BENCH_DIR = REPO_ROOT / (REPO_ROOT / "benchmarks" / "data-path.txt").read_text().splitlines()[0]
SECTIONS = ("throughput", "small", "threads", "growth", "memory", "stream", "batch", "report")
MB = 1_000_000

# The goals the sections print beside their figures.
GOAL_BATCH_VS_LOOP = 3.0        # repair_arrow on 1 thread against a Python loop, short records
GOAL_BATCH_VS_LINES = 1.2       # repair_arrow's time on 1 thread against `corvane --lines -j1`
GOAL_BATCH_TWO_THREADS = 1.8    # repair_arrow on 2 threads against 1
GOAL_SMALL_VS_ORJSON = 0.6      # a 100-byte call against orjson.loads of the repaired text
GOAL_REPORT_VS_REPAIR = 3.0     # report() against repair() on the same benchmark file
GOAL_GROWTH = 1.3               # time per MB at the largest size against the smallest
GOAL_GROWTH_VS_FLOOR = 1.5      # time per MB against the boundary floor, comment and prose families
FLOOR_GOAL_FAMILIES = ("unterminated block comment", "prose without a bracket")


def load_baseline(path):
    """Another build of the module, from its extension file, as a separate
    module object (the installed corvane stays what `import corvane` gives)."""
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.ExtensionFileLoader("corvane", str(path))
    spec = importlib.util.spec_from_file_location("corvane", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


# --- inputs ---------------------------------------------------------------


def make_broken(text):
    """The broken variant of a valid text: every ',' followed by a space or a
    line feed goes, then the last hundredth of the characters is cut off. So
    commas go missing and the text stops mid-value, the two faults generated
    JSON shows most. Deterministic, and the same as the engine benchmark's."""
    text = re.sub(r",(?=[ \n])", "", text)
    return text[: len(text) - len(text) // 100]


def model_message(size):
    """A chat model's reply of exactly `size` characters (ASCII): a line of
    prose, an opening code fence, then a JavaScript-style object with unquoted
    keys, single quotes, trailing commas and Python keywords, cut off at `size`
    so neither the object nor the fence is ever closed."""
    parts = ["Here you go:\n```json\n{ok: True, tags: ['a', 'b',], items: [\n"]
    length = len(parts[0])
    n = 0
    while length < size:
        n += 1
        item = (f"  {{id: {n}, name: 'Item {n}', price: {n % 97}.{n % 10}5, "
                f"done: {'True' if n % 2 else 'False'}, note: None,}},\n")
        parts.append(item)
        length += len(item)
    return "".join(parts)[:size]


# Pathological shapes for the growth section: each is a prefix and a unit
# repeated to the wanted size. A repair that is linear in the input keeps the
# time per MB flat across sizes; anything quadratic shows as a growing ratio.
GROWTH_FAMILIES = (
    ("open string, comma fragments", '{"a": "', "fragment,"),
    ('"x}" repeated', "", '"x}"'),
    ("missing commas between members", "{", '"k":1 '),
    ("look-ahead after values", "{", '"a":"x" b:1 '),
    ("stray bytes in an array", "[", ":,;!"),
    ("unterminated block comment", "[1 /*", "* / /* "),
    ("nesting 127 side by side", "[", "[" * 126 + "]" * 126),
    ("prose without a bracket", "", "it's \"q\" /* c */ "),
)


def growth_input(prefix, unit, size):
    """The prefix followed by the unit repeated up to `size` characters."""
    return prefix + unit * max(1, (size - len(prefix)) // len(unit))


def tool_call(size):
    """A model's tool call of about `size` characters, as it streams in: a
    function name and arguments whose long field is file content."""
    lines = []
    n = 0
    while sum(map(len, lines)) < size:
        n += 1
        lines.append(f'line {n}: the quick brown fox jumps over \\"the\\" lazy dog\\n')
    content = "".join(lines)
    return ('{"name": "write_file", "arguments": {"path": "notes/fox.txt", '
            f'"append": false, "lines": {n}, "content": "{content}"}}}}')


def load_bench_files(bench_dir):
    """[(name, variant, text)] for every .json file of the folder, valid and broken."""
    inputs = []
    for path in sorted(Path(bench_dir).glob("*.json")):
        valid = path.read_bytes().decode("utf-8")
        inputs.append((path.name, "valid", valid))
        inputs.append((path.name, "broken", make_broken(valid)))
    return inputs


# --- measuring ------------------------------------------------------------


def calls_per_batch(fn, target_seconds):
    """How many calls of fn make one timed batch of about target_seconds."""
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    return max(1, int(target_seconds / max(elapsed, 1e-9)))


CLOCKS = {
    # CPU time of the calling thread (user and system): leaves out the time
    # the thread waits while other processes run on a shared machine.
    "cpu": time.thread_time,
    "wall": time.perf_counter,
}


def median_seconds(contenders, rounds, batch_seconds, clock=time.perf_counter):
    """Median seconds per call of each (name, fn), from interleaved rounds.

    Every round runs one batch of each contender, the starting contender
    rotating, so slow and fast stretches of a shared machine fall on all of
    them. The garbage collector is off while timing, as timeit does."""
    batches = {name: calls_per_batch(fn, batch_seconds) for name, fn in contenders}
    samples = {name: [] for name, _ in contenders}
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            shift = r % len(contenders)
            for name, fn in contenders[shift:] + contenders[:shift]:
                calls = batches[name]
                start = clock()
                for _ in range(calls):
                    fn()
                samples[name].append((clock() - start) / calls)
            gc.collect()
    finally:
        if gc_was_on:
            gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def boundary_floor(text, out_bytes):
    """What crossing into C and back costs at least: encode the input, copy
    it once, decode the (pre-made) output."""
    def run():
        copy = bytearray(text.encode("utf-8"))
        return copy, out_bytes.decode("utf-8")
    return run


def fresh_copy(text):
    """An equal str that is a different object (slicing a longer str makes one)."""
    return (text + " ")[:-1]


def contenders_for(corvane, text, valid, repaired, baseline=None):
    """The functions timed on one input, repair first (the ratios' base)."""
    out_bytes = repaired.encode("utf-8")
    contenders = [
        ("repair", lambda: corvane.repair(text)),
        ("loads", lambda: corvane.loads(text)),
    ]
    if baseline is not None:
        contenders.append(("baseline", lambda: baseline.repair(text)))
    # The interpreter's own part of a call: encoding the input, decoding the output.
    contenders.append(("encode+decode", lambda: (text.encode("utf-8"), out_bytes.decode("utf-8"))))
    if valid:
        contenders.append(("json.loads", lambda: json.loads(text)))
        if orjson is not None:
            # orjson caches the UTF-8 form inside the str it reads; on a
            # shared str that cache would make every later encode of a
            # non-ASCII text (repair's and the floor's) a mere copy.
            own_text = fresh_copy(text)
            contenders.append(("orjson.loads", lambda: orjson.loads(own_text)))
        contenders.append(("floor", boundary_floor(text, out_bytes)))
    return contenders


# --- output ---------------------------------------------------------------


def render(header, rows, left=1):
    """A plain text table; the first `left` columns are left-aligned."""
    rows = [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "  ".join(c.ljust(w) if i < left else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def with_ratio(figure, seconds, repair_seconds):
    return f"{figure} ({seconds / repair_seconds:.2f}x)"


def title(text):
    print()
    print(text)
    print("=" * len(text))


# --- sections -------------------------------------------------------------


def section_throughput(corvane, args):
    title(f"Throughput on the benchmark files (MB/s of input UTF-8 bytes, {args.clock} time)")
    inputs = load_bench_files(args.bench_dir) if args.bench_dir.is_dir() else []
    if not inputs:
        print(f"skipped: no .json files in {args.bench_dir} (the corpus is not part of the repository)")
        return
    names = ["repair", "loads", "json.loads", "orjson.loads", "floor"] + (["baseline"] if args.baseline else [])
    header = ["input", "variant", "MB"] + names
    rows = []
    shares = []
    for name, variant, text in inputs:
        size = len(text.encode("utf-8"))
        try:
            repaired = corvane.repair(text)
        except ValueError as error:
            rows.append([name, variant, f"{size / MB:.2f}", f"refused: {error}"])
            continue
        seconds = median_seconds(contenders_for(corvane, text, variant == "valid", repaired, args.baseline),
                                 args.rounds, args.batch_seconds, CLOCKS[args.clock])
        if variant == "valid":
            shares.append([name, f"{seconds['repair'] * 1e6:.0f}", f"{seconds['encode+decode'] * 1e6:.0f}",
                           f"{1 - seconds['encode+decode'] / seconds['repair']:.2f}"])
        row = [name, variant, f"{size / MB:.2f}"]
        for contender in names:
            if contender not in seconds:
                row.append("")
            elif contender == "repair":
                row.append(f"{size / MB / seconds['repair']:.0f}")
            else:
                row.append(with_ratio(f"{size / MB / seconds[contender]:.0f}",
                                      seconds[contender], seconds["repair"]))
        rows.append(row)
    print(render(header, rows, left=2))
    print("(Nx) = time of that call / time of repair on the same input; "
          "json and orjson read the valid input itself; floor = encode + one copy + decode of the output")
    if orjson is None:
        print("orjson is not installed (pip install orjson): its column is empty")
    print()
    print("goal: non-ASCII text bounded by the interpreter's own encode and decode "
          "(twitter and citm_catalog above all)")
    print(render(["input", "repair us", "encode+decode us", "rest of the call"], shares))
    print("rest of the call = 1 - (encode + decode) / repair: the engine's share, with the call's own overhead")


def section_small(corvane, args):
    title(f"Small model-style messages (ns per call, {args.clock} time)")
    names = ["repair", "loads", "json.loads", "orjson.loads", "floor"] + (["baseline"] if args.baseline else [])
    header = ["message", "repair"] + names[1:]
    rows = []
    goals = []
    for label, size in (("100 B", 100), ("1 kB", 1000), ("10 kB", 10_000)):
        text = model_message(size)
        repaired = corvane.repair(text)
        out_bytes = repaired.encode("utf-8")
        contenders = [
            ("repair", lambda: corvane.repair(text)),
            ("loads", lambda: corvane.loads(text)),
            ("json.loads", lambda: json.loads(repaired)),
        ]
        if orjson is not None:
            contenders.append(("orjson.loads", lambda: orjson.loads(repaired)))
        contenders.append(("floor", boundary_floor(text, out_bytes)))
        if args.baseline is not None:
            contenders.append(("baseline", lambda: args.baseline.repair(text)))
        seconds = median_seconds(contenders, args.rounds, args.batch_seconds, CLOCKS[args.clock])
        if "orjson.loads" in seconds:
            goals.append([label, f"{seconds['repair'] / seconds['orjson.loads']:.2f}",
                          f"{seconds['baseline'] / seconds['orjson.loads']:.2f}" if "baseline" in seconds else "",
                          f"{GOAL_SMALL_VS_ORJSON}"])
        row = [label, f"{seconds['repair'] * 1e9:.0f}"]
        for contender in names[1:]:
            if contender in seconds:
                row.append(with_ratio(f"{seconds[contender] * 1e9:.0f}",
                                      seconds[contender], seconds["repair"]))
            else:
                row.append("")
        rows.append(row)
    print(render(header, rows))
    print("(Nx) = time / time of repair; json and orjson read the repaired text; "
          "floor = encode + one copy + decode of the output")
    if goals:
        print()
        print(f"goal: a 100-byte call at most {GOAL_SMALL_VS_ORJSON}x orjson.loads of the repaired text")
        print(render(["message", "repair/orjson", "baseline/orjson", "goal"], goals))


def large_inputs(args):
    """The large inputs for the threads section: bench files of 500 kB and
    more, valid and broken, or generated messages when the corpus is absent."""
    inputs = []
    if args.bench_dir.is_dir():
        inputs = [(f"{name} {variant}", text) for name, variant, text in load_bench_files(args.bench_dir)
                  if len(text) >= 500_000]
    if not inputs:
        print(f"(no benchmark files in {args.bench_dir}: using generated 2 MB messages)")
        inputs = [(f"generated {i}", model_message(2 * MB + i)) for i in range(4)]
    return inputs


def section_threads(corvane, args):
    title("Threads: the same repairs on 1 and 2 threads")
    inputs = large_inputs(args)
    usable = []
    for name, text in inputs:
        try:
            corvane.repair(text)
            usable.append(text)
        except ValueError as error:
            print(f"left out {name}: refused ({error})")
    if not usable:
        print("skipped: no input repairs")
        return
    work = usable * args.thread_repeats
    total_bytes = sum(len(t.encode("utf-8")) for t in work)

    def run(workers):
        def go():
            with ThreadPoolExecutor(max_workers=workers) as pool:
                for _ in pool.map(corvane.repair, work):
                    pass
        return go

    # Wall time here whatever --clock says: parallelism is about the clock on the wall.
    seconds = median_seconds([("1 thread", run(1)), ("2 threads", run(2))],
                             args.thread_rounds, 0.0, time.perf_counter)
    one = total_bytes / MB / seconds["1 thread"]
    two = total_bytes / MB / seconds["2 threads"]
    rows = [["1 thread", f"{one:.0f}", ""],
            ["2 threads", f"{two:.0f}", f"{two / one:.2f}"]]
    print(f"work: {len(work)} repairs, {total_bytes / MB:.1f} MB in all; {os.cpu_count()} CPUs")
    print(render(["threads", "MB/s", "2/1"], rows))
    print("2/1 = throughput of 2 threads / throughput of 1 (2.00 = perfect scaling on 2 free cores)")


RUSAGE_THREAD = getattr(resource, "RUSAGE_THREAD", None) if resource else None


def minor_faults():
    """Page faults served without I/O so far on this thread (Linux), or 0."""
    return resource.getrusage(RUSAGE_THREAD).ru_minflt if RUSAGE_THREAD is not None else 0


def cpu_seconds_of_call(fn):
    """(CPU seconds, minor page faults) that one call of fn costs its thread.
    Unlike wall time, CPU time leaves out the time the thread waits while
    other processes run, so sizes measured minutes apart stay comparable. The
    faults show what touching fresh buffers costs (it is system time)."""
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        faults = minor_faults()
        start = time.thread_time()
        fn()
        return time.thread_time() - start, minor_faults() - faults
    finally:
        if gc_was_on:
            gc.enable()


def projected_seconds(measured, size):
    """Expected seconds of one call at `size` from the (bytes, seconds) pairs
    measured so far: the growth exponent of the last two sizes (at least 1),
    or 2 after a single size, to be safe rather than sorry."""
    if not measured:
        return 0.0
    s2, t2 = measured[-1]
    exponent = 2.0
    if len(measured) >= 2:
        s1, t1 = measured[-2]
        exponent = max(1.0, math.log(max(t2, 1e-9) / max(t1, 1e-9)) / math.log(s2 / s1))
    return t2 * (size / s2) ** exponent


def growth_row(label, cells):
    """A table row from per-size cells: (bytes, seconds) pairs become ms per
    MB, text (skipped, refused) stays; the last column is max/min per MB."""
    per_mb = [c[1] / (c[0] / MB) for c in cells if isinstance(c, tuple)]
    ratio = f"{max(per_mb) / min(per_mb):.2f}" if per_mb else ""
    shown = [f"{c[1] / (c[0] / MB) * 1e3:.2f}" if isinstance(c, tuple) else c for c in cells]
    return [label] + shown + [ratio]


def section_growth(corvane, args):
    title("Growth: CPU milliseconds per MB at growing sizes")
    sizes = args.growth_sizes
    header = ["family"] + [f"{s / MB:g} MB" for s in sizes] + ["max/min", "faults/MB"]
    rows = []
    notes = []
    goals = []
    for name, prefix, unit in GROWTH_FAMILIES:
        repair_cells, floor_cells, baseline_cells = [], [], []
        faults = None  # page faults per MB at the largest size measured
        for size in sizes:
            # A call that would run for minutes is not started.
            done = [c for c in repair_cells if isinstance(c, tuple)]
            projected = projected_seconds(done, size)
            if projected > args.growth_budget:
                repair_cells.append("skipped")
                floor_cells.append("")
                notes.append(f"{name}: {size / MB:g} MB skipped, about {projected:.0f} s per call expected")
                continue
            text = growth_input(prefix, unit, size)
            nbytes = len(text.encode("utf-8"))
            try:
                out_bytes = corvane.repair(text).encode("utf-8")
            except ValueError as error:
                repair_cells.append("refused")
                floor_cells.append("")
                notes.append(f"{name}: refused at {size / MB:g} MB: {error}")
                continue
            # Best of the repeats: load from others on the machine only ever
            # adds time, and a spike at one size would fake a growth. The
            # floor beside it shows what buffers of that size cost here
            # (page faults, memory bandwidth) whatever the repair does.
            floor = boundary_floor(text, out_bytes)
            times, floor_times, baseline_times = [], [], []
            for _ in range(args.growth_repeats):
                times.append(cpu_seconds_of_call(lambda: corvane.repair(text)))
                floor_times.append(cpu_seconds_of_call(floor))
                if args.baseline is not None:
                    baseline_times.append(cpu_seconds_of_call(lambda: args.baseline.repair(text)))
            del text, out_bytes, floor
            repair_cells.append((nbytes, min(times)[0]))
            floor_cells.append((nbytes, min(floor_times)[0]))
            if baseline_times:
                baseline_cells.append((nbytes, min(baseline_times)[0]))
            faults = (min(times)[1] / (nbytes / MB), min(floor_times)[1] / (nbytes / MB))
        rows.append(growth_row(name, repair_cells) + [f"{faults[0]:.0f}" if faults else ""])
        if baseline_cells:
            rows.append(growth_row("  baseline", baseline_cells) + [""])
        rows.append(growth_row("  floor", floor_cells) + [f"{faults[1]:.0f}" if faults else ""])
        goals.append(growth_goal_row(name, repair_cells, floor_cells, baseline_cells))
    print(render(header, rows))
    print("best CPU time of repeated calls; max/min = largest / smallest time per MB over the sizes "
          "(about 1 when the repair is linear); floor = encode + one copy + decode of the output;\n"
          "faults/MB = minor page faults per input MB at the largest size (each is a fresh 4 KiB page)")
    for note in notes:
        print(note)
    print()
    print(f"goal: time per MB at the largest size within {GOAL_GROWTH}x of the smallest, and within "
          f"{GOAL_GROWTH_VS_FLOOR}x of the floor on the comment and prose families")
    print(render(["family", "largest/smallest", "baseline largest/smallest", "repair/floor at largest",
                  "baseline/floor at largest"], goals))


def per_mb(cell):
    return cell[1] / (cell[0] / MB) if isinstance(cell, tuple) else None


def growth_goal_row(name, repair_cells, floor_cells, baseline_cells):
    """largest/smallest time per MB for repair (and baseline), and each
    against the floor at the largest size measured."""
    def spread(cells):
        measured = [per_mb(c) for c in cells if isinstance(c, tuple)]
        return f"{measured[-1] / measured[0]:.2f}" if len(measured) >= 2 else ""

    def against_floor(cells):
        pairs = [(per_mb(c), per_mb(f)) for c, f in zip(cells, floor_cells) if isinstance(c, tuple) and isinstance(f, tuple)]
        return f"{pairs[-1][0] / pairs[-1][1]:.2f}" if pairs else ""

    return [name, spread(repair_cells), spread(baseline_cells), against_floor(repair_cells),
            against_floor(baseline_cells)]


MEMORY_CHILD = r"""
import gc, resource, sys
import corvane

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None

size, prefix, unit = int(sys.argv[1]), sys.argv[2], sys.argv[3]
text = prefix + unit * ((size - len(prefix)) // len(unit))
corvane.repair("[1]")
gc.collect()
# Reset the peak to the current resident size (Linux), so building the input
# does not count; without that, fall back to ru_maxrss of the whole process.
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    baseline, method = rss_kib("VmRSS"), "VmHWM after reset"
except OSError:
    baseline, method = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "ru_maxrss"
out = corvane.repair(text)
if method == "ru_maxrss":
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
else:
    peak = rss_kib("VmHWM")
print(len(text.encode("utf-8")), len(out.encode("utf-8")), baseline, peak, method)
"""


# Inputs of the memory section: the peak depends on how the output's size
# compares with the input's, so one of each kind.
MEMORY_INPUTS = (
    ("model-style objects", "[", "{id: 1, name: 'Item', tags: ['a', 'b',], ok: True},\n"),
    ("bare words, output twice the input", "[", "a,"),
)


def section_memory(corvane, args):
    title("Memory: peak resident memory of one repair")
    rows = []
    method = ""
    for name, prefix, unit in MEMORY_INPUTS:
        child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(args.memory_mb * MB), prefix, unit],
                               capture_output=True, text=True)
        if child.returncode != 0:
            rows.append([name, "failed: " + child.stderr.strip()[-300:]])
            continue
        in_bytes, out_bytes, baseline, peak, method = child.stdout.split(maxsplit=4)
        in_bytes, out_bytes = int(in_bytes), int(out_bytes)
        extra = (int(peak) - int(baseline)) * 1024
        rows.append([name, f"{in_bytes / MB:.0f} MB", f"{out_bytes / MB:.0f} MB",
                     f"{extra / MB:.0f} MB", f"{extra / in_bytes:.2f}"])
    print(render(["input", "size", "output", "peak above baseline", "x input"], rows))
    print(f"each in a fresh process ({method.strip() or 'no figure'}); "
          "the input str already exists at the baseline")


# --- batch ------------------------------------------------------------------

REFUSED_RECORD = '{"reply": "he said "hi" ok"}'
REFUSED_SHARE = 0.035
_RECORD_NAMES = ["Ann", "Zoë", "Łukasz", "東京", "Ana María"]


def short_records(count, seed=19):
    """`count` one-line model replies of 28 to 82 bytes (66 on average), broken in the
    usual ways (a few valid), and 3.5% of them refused."""
    rng = random.Random(seed)
    records = []
    for n in range(count):
        if rng.random() < REFUSED_SHARE:
            records.append(REFUSED_RECORD)
            continue
        name = rng.choice(_RECORD_NAMES)
        records.append(rng.choice((
            f"{{name: '{name}', age: {n % 90}, tags: [\"a\" \"b\",], active: True, note: None}}",
            f'Here you go: {{"id": {n}, "score": .5, "name": "{name}", "items": [1, 2, 3,]}}',
            f"Sure! {{'user': {{'name': '{name}', 'id': {n}}}, 'ok': False // cut off",
            f'{{"id": {n}, "text": "{name} said hello", "done": true}}',
        )))
    return records


def large_documents(count, size=MB):
    """`count` one-line documents of `size` characters (eight distinct ones)."""
    distinct = [model_message(size - i).replace("\n", " ") for i in range(8)]
    return [distinct[i % 8] for i in range(count)]


def corvane_command():
    for directory in (os.path.dirname(sys.executable), sysconfig.get_path("scripts")):
        candidate = os.path.join(directory, "corvane")
        if os.access(candidate, os.X_OK):
            return candidate
    return shutil.which("corvane")


def batch_contenders(corvane, texts, lines_path):
    """(name, fn) of every way to repair the column, refusals as nulls."""
    import corvane_batch
    repair = corvane.repair

    def loop():
        out = []
        append = out.append
        for text in texts:
            try:
                append(repair(text))
            except ValueError:
                append(None)
        return out

    contenders = [("Python loop over corvane.repair", loop)]
    for threads in (1, 2):
        contenders.append((f"repair_many, {threads} thread{'s' * (threads > 1)}",
                           lambda t=threads: corvane_batch.repair_many(texts, on_error="null", threads=t)))
    try:
        import pyarrow as pa
    except ImportError:
        pa = None
    if pa is not None:
        column = pa.array(texts, type=pa.large_string() if sum(map(len, texts)) >= 2 ** 31 else pa.string())
        for threads in (1, 2):
            contenders.append((f"repair_arrow, {threads} thread{'s' * (threads > 1)}",
                               lambda t=threads: pa.array(corvane_batch.repair_arrow(column, on_error="null",
                                                                                     threads=t))))
    try:
        import polars as pl
    except ImportError:
        pl = None
    if pl is not None:
        series = pl.Series("reply", texts)

        def safe_repair(text):
            try:
                return repair(text)
            except ValueError:
                return None

        def polars_map():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return series.map_elements(safe_repair, return_dtype=pl.String)

        contenders.append(("Polars map_elements", polars_map))
    try:
        import duckdb
    except ImportError:
        duckdb = None
    if duckdb is not None and pa is not None:
        con = duckdb.connect()
        con.register("replies", pa.table({"reply": column}))
        con.create_function("repair_row", repair, ["VARCHAR"], "VARCHAR", exception_handling="return_null")
        def duckdb_rows():
            relation = con.sql("SELECT repair_row(reply) FROM replies")
            # to_arrow_table() is the newer name of fetch_arrow_table().
            return getattr(relation, "to_arrow_table", None) or relation.fetch_arrow_table

        contenders.append(("DuckDB row function", lambda: duckdb_rows()()))
    command = corvane_command()
    if command is not None:
        for jobs in (1, 2):
            contenders.append((f"corvane --lines -j{jobs}", lambda j=jobs: subprocess.run(
                [command, "--lines", "--on-error=null", f"-j{j}", lines_path],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)))
    return contenders


def cpu_seconds_with_children():
    """CPU time of this process and of the children it waited for."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


def timed_rounds(contenders, rounds):
    """{name: (median wall seconds, median CPU seconds)} of one call each,
    from interleaved rounds with the starting contender rotating. CPU time
    counts every thread of the process and the command's process: on a
    shared machine it is the steady measure of the work done, while wall
    time is what threads shorten."""
    samples = {name: ([], []) for name, _ in contenders}
    for r in range(rounds):
        shift = r % len(contenders)
        for name, fn in contenders[shift:] + contenders[:shift]:
            gc.collect()
            wall, cpu = time.perf_counter(), cpu_seconds_with_children()
            fn()
            samples[name][0].append(time.perf_counter() - wall)
            samples[name][1].append(cpu_seconds_with_children() - cpu)
    return {name: (statistics.median(w), statistics.median(c)) for name, (w, c) in samples.items()}


def batch_table(corvane, name, texts, rounds):
    total = sum(len(t.encode("utf-8")) for t in texts)
    with tempfile.TemporaryDirectory() as folder:
        lines_path = os.path.join(folder, "records.jsonl")
        with open(lines_path, "w", encoding="utf-8") as out:
            out.write("\n".join(texts) + "\n")
        contenders = batch_contenders(corvane, texts, lines_path)
        load = os.getloadavg() if hasattr(os, "getloadavg") else None
        seconds = timed_rounds(contenders, rounds)
    print(f"\n{name}: {len(texts):,} records, {total / MB:.1f} MB a round, {rounds} rounds (median of each)"
          + (f"; load average {load[0]:.1f} at the start" if load else ""))
    loop_wall, loop_cpu = seconds["Python loop over corvane.repair"]
    rows = [[who, f"{total / MB / wall:.0f}", f"{len(texts) / wall / 1e3:,.0f}", f"{loop_wall / wall:.2f}x",
             f"{total / MB / cpu:.0f}", f"{loop_cpu / cpu:.2f}x"]
            for who, (wall, cpu) in sorted(seconds.items(), key=lambda item: item[1][0])]
    print(render(["way", "MB/s", "k records/s", "vs loop", "MB per CPU s", "vs loop (CPU)"], rows))
    return seconds


def batch_goals(short):
    one, two = short.get("repair_arrow, 1 thread"), short.get("repair_arrow, 2 threads")
    if one is None:
        print("\n(goals need pyarrow)")
        return
    loop = short["Python loop over corvane.repair"]
    rows = [["repair_arrow 1 thread vs Python loop", f"{loop[0] / one[0]:.2f}x", f"{loop[1] / one[1]:.2f}x",
             f">= {GOAL_BATCH_VS_LOOP:.1f}x"]]
    lines = short.get("corvane --lines -j1")
    if lines is not None:
        rows.append(["repair_arrow 1 thread time / corvane --lines -j1", f"{one[0] / lines[0]:.2f}",
                     f"{one[1] / lines[1]:.2f}", f"<= {GOAL_BATCH_VS_LINES:.1f}"])
    rows.append(["repair_arrow 2 threads vs 1", f"{one[0] / two[0]:.2f}x", "", f">= {GOAL_BATCH_TWO_THREADS:.1f}x"])
    print()
    print(render(["goal (short records)", "wall", "CPU", "goal"], rows))
    print("(with 2 threads, the wall figure is the one that counts; the CPU figures compare work on one thread)")


BATCH_MEMORY_CHILD = r"""
import gc, sys
import pyarrow as pa
import corvane_batch
sys.path.insert(0, sys.argv[1])
from bench import large_documents, short_records

target, kind, threads = int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
piece = pa.array(short_records(200_000) if kind == "short" else large_documents(64))
column = pa.concat_arrays([piece] * max(1, round(target / piece.nbytes))).cast(pa.large_string())
del piece
gc.collect()

def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
baseline = rss_kib("VmRSS")
repaired = pa.array(corvane_batch.repair_arrow(column, on_error="null", threads=threads))
peak = rss_kib("VmHWM")
print(column.nbytes, repaired.nbytes, baseline, peak)
"""


def batch_memory(args):
    if not os.path.exists("/proc/self/clear_refs"):
        print("\nmemory: needs Linux's /proc/self/clear_refs")
        return
    rows = []
    for kind in ("short", "1 MB"):
        for threads in (1, 2):
            child = subprocess.run([sys.executable, "-c", BATCH_MEMORY_CHILD, str(Path(__file__).parent),
                                    str(args.batch_memory_mb * MB), "short" if kind == "short" else "large",
                                    str(threads)], capture_output=True, text=True)
            if child.returncode != 0:
                rows.append([kind, str(threads), "failed: " + child.stderr.strip()[-200:]])
                continue
            in_bytes, out_bytes, baseline, peak = (int(v) for v in child.stdout.split())
            extra = (peak - baseline) * 1024
            rows.append([f"{kind} records", str(threads), f"{in_bytes / MB:.0f} MB", f"{out_bytes / MB:.0f} MB",
                         f"{extra / MB:.0f} MB", f"{extra / out_bytes:.2f}"])
    print(f"\nMemory: peak resident memory of pa.array(repair_arrow(column)), large_string input of "
          f"about {args.batch_memory_mb} MB (input and output buffers as Arrow counts them)")
    print(render(["records", "threads", "input", "output", "peak above baseline", "x output"], rows))
    print("each in a fresh process (VmHWM after reset); the input column already exists at the baseline")


def companion(name, section):
    """The companion module `name`, or None (said once) when the wheel built without it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        print(f"\n{name} is not importable ({error}): {section} section skipped")
        return None


def section_batch(corvane, args):
    if companion("corvane_batch", "batch") is None:
        return
    title("Batch: a column repaired by corvane_batch and by the usual ways (wall time, refusals as nulls)")
    short = batch_table(corvane, "Short records", short_records(args.batch_records), args.batch_rounds)
    batch_goals(short)
    documents = large_documents(args.batch_documents)
    batch_table(corvane, "1 MB documents", documents, args.batch_document_rounds)
    print(f"({args.batch_documents:,} documents a round, {args.batch_documents * args.batch_document_rounds:,} "
          "repaired by each way in all)")
    batch_memory(args)


# --- driver ---------------------------------------------------------------


STREAM_CHUNK = 64


def chunks_of(text, size=STREAM_CHUNK):
    return [text[i:i + size] for i in range(0, len(text), size)]


def section_stream(corvane, args):
    stream_module = companion("corvane_stream", "stream")
    if stream_module is None:
        return
    RepairStream = stream_module.RepairStream
    title(f"Stream: feeding in {STREAM_CHUNK}-character chunks, then close (CPU time)")
    rows, per_mb = [], []
    for size in args.stream_sizes:
        text = model_message(size)
        chunks = chunks_of(text)

        def feed_all():
            stream = RepairStream()
            for chunk in chunks:
                stream.feed(chunk)
            return stream.close()

        assert feed_all() == corvane.repair(text)
        seconds = min(cpu_seconds_of_call(feed_all)[0] for _ in range(args.growth_repeats))
        whole = min(cpu_seconds_of_call(lambda: corvane.repair(text))[0] for _ in range(args.growth_repeats))
        per_mb.append(seconds / (size / MB))
        rows.append([f"{size / MB:g} MB", f"{len(chunks)}", f"{size / MB / seconds:.0f}",
                     f"{seconds / (size / MB) * 1e3:.1f}", f"{size / MB / whole:.0f}"])
        del chunks, text
    print(render(["size", "chunks", "feed MB/s", "ms per MB", "repair() whole, MB/s"], rows))
    print(f"time per MB, largest / smallest: {max(per_mb) / min(per_mb):.2f} (about 1 when linear); "
          "input: the reply of the small section, cut off")

    title("Stream: the growth families fed 8 characters at a time (CPU milliseconds per MB)")
    sizes = args.stream_sizes[:3]
    rows = []
    for name, prefix, unit in GROWTH_FAMILIES:
        cells = []
        for size in sizes:
            pieces = chunks_of(growth_input(prefix, unit, size), 8)

            def feed_pieces():
                stream = RepairStream()
                try:
                    for piece in pieces:
                        stream.feed(piece)
                    stream.close()
                except ValueError:  # the family is refused: timed up to the refusal
                    pass

            seconds = min(cpu_seconds_of_call(feed_pieces)[0] for _ in range(args.growth_repeats))
            cells.append((sum(len(p) for p in pieces), seconds))
        rows.append(growth_row(name, cells))
    print(render(["family"] + [f"{s / MB:g} MB" for s in sizes] + ["max/min"], rows))
    print("max/min about 1 when feeding is linear however the text is cut")

    reply = tool_call(20_000)
    chunks = chunks_of(reply)
    prefixes = ["".join(chunks[:i + 1]) for i in range(len(chunks))]

    def streamed(look):
        """Feeds the reply chunk by chunk, calling look(stream) after each."""
        def run():
            stream = RepairStream()
            for chunk in chunks:
                stream.feed(chunk)
                look(stream)
            return stream.close()
        return run

    def rerepair():
        for prefix in prefixes:
            text = corvane.repair(prefix)
        return text

    def reloads():
        for prefix in prefixes:
            value = corvane.loads(prefix)
        return value

    contenders = [("re-repair the growing text", rerepair), ("feed only", streamed(lambda stream: None)),
                  ("feed + snapshot()", streamed(RepairStream.snapshot)),
                  ("feed + value()", streamed(RepairStream.value)),
                  ("re-loads the growing text", reloads)]
    medians = median_seconds(contenders, args.rounds, args.batch_seconds, CLOCKS[args.clock])
    base = medians["re-repair the growing text"]
    title(f"Stream: a {len(reply) / 1000:.0f} KB tool call in {len(chunks)} chunks, "
          f"a snapshot after every chunk ({args.clock} time)")
    print(render(["way", "ms per reply", "us per chunk", "vs re-repair"],
                 [[name, f"{medians[name] * 1e3:.2f}", f"{medians[name] / len(chunks) * 1e6:.2f}",
                   f"{medians[name] / base:.2f}x"] for name, _ in contenders]))


def refusal_or(call):
    """The call's result, or the refusal's message: a refused repair is timed too."""
    def run():
        try:
            return call()
        except ValueError as error:
            return str(error)
    return run


def section_report(corvane, args):
    corvane_report = companion("corvane_report", "report")
    if corvane_report is None:
        return
    title(f"Report: report() against repair() on the benchmark files (MB/s, {args.clock} time)")
    inputs = load_bench_files(args.bench_dir) if args.bench_dir.is_dir() else []
    rows, worst = [], (0.0, "")
    for name, variant, text in inputs:
        size = len(text.encode("utf-8"))
        seconds = median_seconds([("repair", refusal_or(lambda: corvane.repair(text))),
                                  ("report", lambda: corvane_report.report(text)),
                                  ("report+edits", lambda: corvane_report.report(text).edits)],
                                 args.rounds, args.batch_seconds, CLOCKS[args.clock])
        ratio = seconds["report"] / seconds["repair"]
        worst = max(worst, (ratio, f"{name} {variant}"))
        rows.append([name, variant, f"{size / MB:.2f}", f"{size / MB / seconds['repair']:.0f}",
                     f"{size / MB / seconds['report']:.0f}", f"{ratio:.2f}x",
                     f"{seconds['report+edits'] / seconds['repair']:.2f}x",
                     f"{len(corvane_report.report(text).edits)}"])
    if rows:
        print(render(["input", "variant", "MB", "repair", "report", "report / repair", "with .edits", "edits"],
                     rows, left=2))
        print("a report makes its Edit objects when .edits is first read: 'with .edits' reads them")
        print(f"goal: report at most {GOAL_REPORT_VS_REPAIR:g}x repair: worst {worst[0]:.2f}x ({worst[1]})")
    else:
        print(f"skipped: no .json files in {args.bench_dir} (the corpus is not part of the repository)")

    title(f"Report: every value of JSON Lines held in a str (ms per MB, {args.clock} time)")
    rows = []
    # Without refused records: the first would end the list.
    records = [record for record in short_records(args.report_records) if record != REFUSED_RECORD]
    for label, lines in (("short records", records),
                         ("numbers, one per line", [str(n) for n in range(args.report_records)])):
        for count in (len(lines) // 4, len(lines)):
            text = "\n".join(lines[:count])
            size = len(text.encode("utf-8")) / MB
            seconds = median_seconds([("report_all", lambda: corvane_report.report_all(text)),
                                      ("loop", lambda: [refusal_or(lambda: corvane.repair(line))() for line in
                                                        text.split("\n")])],
                                     args.rounds, args.batch_seconds, CLOCKS[args.clock])
            rows.append([label, f"{count:,}", f"{size:.2f}", f"{seconds['report_all'] / size * 1e3:.1f}",
                         f"{seconds['loop'] / size * 1e3:.1f}", f"{len(corvane_report.report_all(text)):,}"])
    print(render(["lines", "records", "MB", "report_all", "loop of repair", "reports"], rows, left=1))
    print("report_all is linear when the ms per MB stays put from a quarter of the records to all of them; "
          "a refused record ends its list")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: few rounds, small sizes")
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help=f"comma-separated, from {', '.join(SECTIONS)} (default: all)")
    parser.add_argument("--bench-dir", type=Path, default=DEFAULT_BENCH_DIR,
                        help="folder of .json files (default: benchmarks/data-path.txt, from the repository root)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="time of throughput and small: CPU time of the calling thread (default; "
                             "steady on a shared machine) or wall time")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per input (default 15, quick 3)")
    parser.add_argument("--memory-mb", type=int, help="input size of the memory section (default 100, quick 10)")
    parser.add_argument("--growth-sizes", dest="growth_mb", help="sizes of the growth section in MB, such as 16,128 "
                                               "(default 1,4,16,64; quick 0.25,0.5,1,2)")
    parser.add_argument("--baseline", type=Path, help="extension file of another build of the module, "
                                                      "timed beside this one")
    args = parser.parse_args(argv)
    args.sections = [s.strip() for s in args.sections.split(",") if s.strip()]
    unknown = [s for s in args.sections if s not in SECTIONS]
    if unknown:
        parser.error(f"unknown section(s): {', '.join(unknown)}; choose from {', '.join(SECTIONS)}")
    if args.quick:
        args.rounds = args.rounds or 3
        args.batch_seconds = 0.005
        args.thread_repeats, args.thread_rounds = 1, 2
        args.growth_sizes = [MB // 4, MB // 2, MB, 2 * MB]
        args.growth_repeats, args.growth_budget = 2, 5.0
        args.memory_mb = args.memory_mb or 10
        args.stream_sizes = [MB // 4, MB, 2 * MB]
        args.batch_records, args.batch_rounds = 50_000, 1
        args.batch_documents, args.batch_document_rounds = 20, 1
        args.batch_memory_mb = 100
        args.report_records = 4_000
    else:
        args.rounds = args.rounds or 15
        args.batch_seconds = 0.02
        args.thread_repeats, args.thread_rounds = 4, 5
        args.growth_sizes = [MB, 4 * MB, 16 * MB, 64 * MB]
        args.growth_repeats, args.growth_budget = 3, 60.0
        args.memory_mb = args.memory_mb or 100
        args.stream_sizes = [MB, 4 * MB, 16 * MB, 64 * MB]
        # 10,000 documents of 1 MB: 1,000 a round (1 GB held at once), 10 rounds.
        args.batch_records, args.batch_rounds = 1_000_000, 5
        args.batch_documents, args.batch_document_rounds = 1_000, 10
        args.batch_memory_mb = 1000
        args.report_records = 40_000
    if args.growth_mb:
        args.growth_sizes = [int(float(mb) * MB) for mb in args.growth_mb.split(",")]
    if args.baseline is not None:
        args.baseline = load_baseline(args.baseline)
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        import corvane
    except ImportError as error:
        sys.exit(f"corvane is not importable ({error}): build and install it first, e.g. pip install '.[bench]'")
    print(f"corvane {getattr(corvane, '__version__', '?')}, Python {platform.python_version()}, "
          f"orjson {getattr(orjson, '__version__', 'absent')}, {os.cpu_count()} CPUs, "
          f"{'quick' if args.quick else 'full'} run, {args.rounds} rounds, {args.clock} time")
    runners = {
        "throughput": section_throughput,
        "small": section_small,
        "threads": section_threads,
        "growth": section_growth,
        "memory": section_memory,
        "stream": section_stream,
        "batch": section_batch,
        "report": section_report,
    }
    for section in args.sections:
        runners[section](corvane, args)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
