#!/usr/bin/env python3
"""Times whole sessions the way a host that can cancel drives the worker: the session is written
into a pipe that stays open until "completed" has been read, then closed. Workers given on the
command line run alternately (the order turns around every round); prints each one's median.

Usage: bench/open_input_timer.py SESSION_FILE WORKER [WORKER...] [--runs N]
Python's own costs are in every figure alike, so only differences between workers count.
"""
import argparse
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path


def run_once(worker, session, fence):
    start = time.perf_counter()
    process = subprocess.Popen([worker, "--c5", "--execution-fence", fence],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    feeder = threading.Thread(target=process.stdin.write, args=(session,))
    feeder.start()
    seen = b""
    while b'"kind":"completed"' not in seen[-512:]:
        chunk = process.stdout.read(65536)
        if not chunk:
            raise SystemExit(f"{worker}: the output ended before \"completed\"")
        seen = seen[-512:] + chunk
    elapsed = (time.perf_counter() - start) * 1000
    feeder.join()
    process.stdin.close()
    process.stdout.read()
    if process.wait() != 0:
        raise SystemExit(f"{worker}: exit status {process.returncode}")
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("session")
    parser.add_argument("workers", nargs="+")
    parser.add_argument("--runs", type=int, default=40)
    args = parser.parse_args()
    session = Path(args.session).read_bytes()
    times = {worker: [] for worker in args.workers}
    with tempfile.TemporaryDirectory() as folder:
        fence = str(Path(folder) / "fence")
        for round_number in range(args.runs):
            order = args.workers if round_number % 2 == 0 else list(reversed(args.workers))
            for worker in order:
                times[worker].append(run_once(worker, session, fence))
    for worker, values in times.items():
        values.sort()
        print(f"{worker}: median {statistics.median(values):.2f} ms, "
              f"quartiles {values[len(values) // 4]:.2f} to {values[3 * len(values) // 4]:.2f} ms")


if __name__ == "__main__":
    main()
