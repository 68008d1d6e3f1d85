#!/usr/bin/env python3
"""Repairs per second on 1, 2 and 4 threads on a free-threaded CPython, with
the GIL off (PYTHON_GIL=0) and turned back on (PYTHON_GIL=1), and the cost of
one call there against a CPython with the GIL, all from one run.

  python benchmarks/free_threading.py --python VENV-3.13t/bin/python [--gil-python VENV-3.13/bin/python] [--quick]

Each interpreter named must import corvane (its own build: the cp313t wheel,
the abi3 one). scripts/test-free-threaded.sh and scripts/test-pythons.sh leave
such venvs in build-free-threaded/venv and build-pythons/venv-3.13*.

Each configuration runs in a child process of its own; the rounds alternate
between them, so a burst of load on a shared machine hits all alike, and the
figures are medians over the rounds. Nothing here passes or fails on speed.
"""

import argparse
import functools
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import MB, model_message, render  # noqa: E402  (the same inputs as bench.py)

THREAD_COUNTS = (1, 2, 4)
OWN = ", a functools.partial per thread"
GOAL_TWO_THREADS = 1.8  # 2 threads against 1, GIL off, on 2 free cores


def inputs():
    """Short records (about 100 bytes, as a model's small replies) and 1 MB
    documents, all broken in the ways bench.py's messages are."""
    return {
        "short records": [model_message(90 + i) for i in range(64)],
        "1 MB documents": [model_message(MB + i) for i in range(2)],
    }


def repairs_per_second(corvane, texts, threads, calls, own_callable=False):
    """Each of `threads` threads repairs `calls` texts, all starting together:
    repairs per second of wall time from the start to the last one done; the
    cores kept busy meanwhile (CPU time of the process over wall time), which
    tells threads that ran at once from threads that took turns or found no
    free core; and repairs per second of CPU time, which falls when threads
    contend (for a lock, or for the cache lines of shared objects) whether or
    not cores are free. Each thread has its own copies of the texts, as
    threads with their own work do, rather than sharing the same objects.
    With `own_callable`, each thread also calls corvane.repair through a
    functools.partial of its own: 3.13t counts the references of an object
    that several threads use, such as the one function object, atomically on
    every call, and the threads then contend for its cache line."""
    start = threading.Barrier(threads + 1)
    own = [[(text + " ")[:-1] for text in texts] for _ in range(threads)]

    def work(mine):
        start.wait()
        repair = functools.partial(corvane.repair) if own_callable else corvane.repair
        for i in range(calls):
            repair(mine[i % len(mine)])

    pool = [threading.Thread(target=work, args=(own[i],)) for i in range(threads)]
    for thread in pool:
        thread.start()
    start.wait()
    began, cpu = time.perf_counter(), time.process_time()
    for thread in pool:
        thread.join()
    wall = time.perf_counter() - began
    cpu = time.process_time() - cpu
    return threads * calls / wall, cpu / wall, threads * calls / max(cpu, 1e-9)


def child(seconds):
    """One round of every measurement in this interpreter, printed as JSON."""
    import corvane

    figures = {"gil": getattr(sys, "_is_gil_enabled", lambda: True)()}
    for kind, texts in inputs().items():
        for text in texts:
            corvane.repair(text)  # refused inputs would time the refusal
        began = time.perf_counter()
        corvane.repair(texts[0])
        calls = max(2, int(seconds / max(time.perf_counter() - began, 1e-7)))
        figures[kind] = {n: repairs_per_second(corvane, texts, n, calls) for n in THREAD_COUNTS}
        figures[kind + OWN] = {n: repairs_per_second(corvane, texts, n, calls, True) for n in THREAD_COUNTS}
    print(json.dumps(figures))


def run_child(python, gil, seconds):
    env = dict(os.environ)
    env.pop("PYTHON_GIL", None)
    if gil is not None:
        env["PYTHON_GIL"] = gil
    out = subprocess.run([python, os.path.abspath(__file__), "--child", str(seconds)], env=env, capture_output=True,
                         text=True, check=True, cwd=os.path.dirname(os.path.abspath(python)))
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--python", default=sys.executable, help="a free-threaded CPython that imports corvane")
    parser.add_argument("--gil-python", help="a CPython with the GIL that imports corvane, for the single-thread cost")
    parser.add_argument("--quick", action="store_true", help="smoke run: one short round")
    parser.add_argument("--rounds", type=int, help="rounds per configuration (default 5, quick 1)")
    parser.add_argument("--child", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        return child(args.child)
    # Children run from the interpreter's folder, where nothing shadows its corvane.
    args.python = os.path.abspath(args.python)
    args.gil_python = args.gil_python and os.path.abspath(args.gil_python)
    rounds = args.rounds or (1 if args.quick else 5)
    seconds = 0.05 if args.quick else 0.4

    configs = [("GIL off (PYTHON_GIL=0)", args.python, "0"), ("GIL on (PYTHON_GIL=1)", args.python, "1")]
    if args.gil_python:
        configs.append(("GIL build", args.gil_python, None))
    samples = {label: [] for label, _, _ in configs}
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
    for r in range(rounds):
        shift = r % len(configs)
        for label, python, gil in configs[shift:] + configs[:shift]:
            samples[label].append(run_child(python, gil, seconds))

    def median(label, kind, threads, figure=0):
        """figure 0: repairs per second; 1: cores busy; 2: repairs per CPU-second."""
        return statistics.median(s[kind][str(threads)][figure] for s in samples[label])

    version = subprocess.run([args.python, "-VV"], capture_output=True, text=True).stdout.strip()
    print(f"{version}; {os.cpu_count()} CPUs; {rounds} rounds, medians; wall time")
    if load is not None:
        print(f"load average before the run: {load:.1f} (other processes leave fewer cores free)")
    off = samples[configs[0][0]][0]
    if off["gil"]:
        print("note: the GIL stayed on with PYTHON_GIL=0: this interpreter is not free-threaded")
    for kind in inputs():
        print()
        print(f"{kind}: repairs per second (against 1 thread, cores busy)")
        # The GIL on and off, and off with a callable per thread.
        shown = [(label, kind) for label, _, _ in configs[:2]] + [(configs[0][0], kind + OWN)]
        rows = [[label + key[len(kind):]] + [
            f"{median(label, key, n):,.0f} ({median(label, key, n) / median(label, key, 1):.2f}x, "
            f"{median(label, key, n, 1):.1f} cores)" for n in THREAD_COUNTS] for label, key in shown]
        print(render(["3.13t"] + [f"{n} thread{'s' * (n > 1)}" for n in THREAD_COUNTS], rows))
        rows = [[label + key[len(kind):]] + [f"{median(label, key, n, 2) / median(label, key, 1, 2):.2f}x"
                                             for n in THREAD_COUNTS] for label, key in shown]
        print("repairs per CPU-second against 1 thread (below 1: the threads cost each other work):")
        print(render(["3.13t"] + [f"{n} thread{'s' * (n > 1)}" for n in THREAD_COUNTS], rows))
        two = median(configs[0][0], kind, 2) / median(configs[0][0], kind, 1)
        own = median(configs[0][0], kind + OWN, 2) / median(configs[0][0], kind + OWN, 1)
        print(f"goal: 2 threads >= {GOAL_TWO_THREADS}x one with the GIL off: {two:.2f}x "
              f"({own:.2f}x with a callable per thread)")
    if args.gil_python:
        print()
        print("One thread: time per call, free-threaded (GIL off) against the GIL build")
        rows = []
        for kind in inputs():
            ft, gil = median(configs[0][0], kind, 1), median("GIL build", kind, 1)
            unit, scale = ("µs", 1e6) if kind.startswith("short") else ("ms", 1e3)
            rows.append([kind, f"{scale / ft:.2f} {unit}", f"{scale / gil:.2f} {unit}", f"{gil / ft:.2f}x"])
        print(render(["input", "3.13t", "3.13", "3.13t / 3.13"], rows))


if __name__ == "__main__":
    main()
