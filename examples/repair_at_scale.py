"""Repair a large JSON Lines file in parallel, with Dask or with threads.

The file is cut into blocks of whole lines; every block is repaired by one
task, which reads its own byte range, repairs each line with corvane.repair
and writes its own part file, so no record travels between processes.
Blank lines are skipped; a refused record becomes null (or is dropped with
--on-error skip). The parts, concatenated in name order, are the repaired
file:

    python examples/repair_at_scale.py data.jsonl --workers 4 --output out/
    cat out/part-*.jsonl > repaired.jsonl

--mode dask (the default) runs the blocks on a Dask LocalCluster of worker
processes (pip install "dask[distributed]"); --mode threads runs them on a
thread pool in this process, which needs nothing but corvane: the repair
itself releases the interpreter lock, the Python around it does not.
Prints the throughput when done.
"""

import argparse
import logging
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import corvane

# Bytes the repair treats as whitespace: a line of nothing else is blank.
BLANK = " \t\n\r\f"


def split_blocks(path, block_bytes):
    """(offset, length) of consecutive blocks of whole lines covering the file."""
    size = os.path.getsize(path)
    blocks = []
    start = 0
    with open(path, "rb") as f:
        while start < size:
            stop = start + block_bytes
            if stop >= size:
                stop = size
            else:
                f.seek(stop)
                f.readline()  # move the cut to the end of the line it falls in
                stop = min(f.tell(), size)
            blocks.append((start, stop - start))
            start = stop
    return blocks


def repair_block(path, offset, length, output_path=None, on_error="null"):
    """Repairs the lines of one block; writes them to output_path if given.

    Returns (records written, records refused, bytes read).
    """
    with open(path, "rb") as f:
        f.seek(offset)
        text = f.read(length).decode("utf-8")
    repaired = []
    refused = 0
    for line in text.split("\n"):
        if not line.strip(BLANK):
            continue
        try:
            repaired.append(corvane.repair(line))
        except ValueError:
            refused += 1
            if on_error == "null":
                repaired.append("null")
    if output_path is not None:
        with open(output_path, "w", encoding="utf-8") as out:
            out.write("\n".join(repaired))
            if repaired:
                out.write("\n")
    return len(repaired), refused, length


def part_path(output_dir, index):
    return None if output_dir is None else os.path.join(output_dir, f"part-{index:05d}.jsonl")


def run_with_dask(path, blocks, workers, output_dir, on_error):
    from dask.distributed import Client, LocalCluster

    started = time.perf_counter()
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
        silence_logs=logging.ERROR,
    ) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        ready = time.perf_counter()
        futures = [
            client.submit(repair_block, path, offset, length, part_path(output_dir, i), on_error, pure=False)
            for i, (offset, length) in enumerate(blocks)
        ]
        results = client.gather(futures)
        done = time.perf_counter()
    return results, done - ready, ready - started


def run_with_threads(path, blocks, workers, output_dir, on_error):
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [
            pool.submit(repair_block, path, offset, length, part_path(output_dir, i), on_error)
            for i, (offset, length) in enumerate(blocks)
        ]
        results = [future.result() for future in futures]
    return results, time.perf_counter() - started, 0.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("input", help="a JSON Lines file (UTF-8)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="worker processes or threads")
    parser.add_argument("--mode", choices=["dask", "threads"], default="dask")
    parser.add_argument("--output", help="directory for the repaired part files (default: repair, write nothing)")
    parser.add_argument("--on-error", choices=["null", "skip"], default="null", help="what a refused record becomes")
    parser.add_argument("--block-mb", type=float, default=8.0, help="size of the blocks of lines, in MB")
    args = parser.parse_args(argv)

    if args.output is not None:
        os.makedirs(args.output, exist_ok=True)
    blocks = split_blocks(args.input, max(1, int(args.block_mb * 1e6)))
    run = run_with_dask if args.mode == "dask" else run_with_threads
    results, seconds, startup = run(args.input, blocks, args.workers, args.output, args.on_error)

    records = sum(r[0] for r in results)
    refused = sum(r[1] for r in results)
    megabytes = sum(r[2] for r in results) / 1e6
    unit = "worker processes" if args.mode == "dask" else "threads"
    print(f"{records} records ({refused} refused), {megabytes:.1f} MB in {len(blocks)} blocks, "
          f"{args.workers} {unit}: {seconds:.2f} s, {megabytes / seconds:.1f} MB/s, "
          f"{records / seconds:,.0f} records/s" + (f" (cluster start {startup:.1f} s)" if startup else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
