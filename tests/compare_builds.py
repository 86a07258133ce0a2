#!/usr/bin/env python3
"""Runs two builds of the worker on the same sessions and checks that they answer byte for byte.

The sessions are the example session and generated ones (bench/gen_session.py) of every size
from 1 to 100 entries, then every 50 to 2000 and every 500 to the largest, 10000. Each build
runs each session with a fence of its own; the standard output, the exit status and the empty
standard error must agree. A build may be started through a launcher (for example Wine's loader
for the Windows build).

Usage: compare_builds.py --reference WORKER --candidate WORKER [--launcher PROGRAM] [--jobs N]
"""

import argparse
import concurrent.futures
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "bench"))
from gen_session import MAX_ENTRIES, session_lines  # noqa: E402

TIMEOUT_SECONDS = 120


def sizes():
    return sorted(set(range(1, 101)) | set(range(150, 2001, 50)) |
                  set(range(2500, MAX_ENTRIES + 1, 500)))


def run(command, fence, data):
    done = subprocess.run(command + ["--c5", "--execution-fence", fence], input=data,
                          capture_output=True, timeout=TIMEOUT_SECONDS)
    return done.returncode, done.stdout, done.stderr


# Wine ends a process that its server already counts as ended, should it linger, by a signal:
# on a loaded machine a complete session then seldom shows a signal (or, rarer still, another
# status) as its status. A run whose status is not the reference's is run again, once, and
# counted; a real difference shows again in the second run and fails the comparison.
def run_candidate(command, fence, data, expected_status):
    first = run(command, fence, data)
    if first[0] == expected_status:
        return first, 0
    return run(command, fence, data), 1


def compare(name, data, reference, candidate, folder):
    ref = run(reference, os.path.join(folder, name + ".reference-fence"), data)
    got, reruns = run_candidate(candidate, os.path.join(folder, name + ".candidate-fence"), data,
                                 ref[0])
    problems = []
    if ref[0] != got[0]:
        problems.append(f"exit status {got[0]}, expected {ref[0]}")
    if ref[1] != got[1]:
        at = next((i for i, (a, b) in enumerate(zip(ref[1], got[1])) if a != b),
                  min(len(ref[1]), len(got[1])))
        problems.append(f"output differs from byte {at} ({len(got[1])} bytes, "
                        f"expected {len(ref[1])})")
    if ref[2] or got[2]:
        problems.append(f"standard error not empty: {ref[2][:200]!r} / {got[2][:200]!r}")
    last_line = ref[1].rstrip(b"\n").rsplit(b"\n", 1)[-1]
    if ref[0] != 0 or b'"kind":"completed"' not in last_line:
        problems.append("the reference did not complete the session")
    return name, len(ref[1]), problems, reruns


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reference", required=True)
    parser.add_argument("--candidate", required=True)
    parser.add_argument("--launcher", default="")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    reference = [args.reference]
    candidate = ([args.launcher] if args.launcher else []) + [args.candidate]

    sessions = [("example", open(os.path.join(ROOT, "examples", "session.ndjson"), "rb").read())]
    failures = 0
    reruns = 0
    compared = 0
    output_bytes = 0
    with tempfile.TemporaryDirectory(prefix="tw-compare-") as folder, \
            concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        jobs = [pool.submit(compare, name, data, reference, candidate, folder)
                for name, data in sessions]
        for count in sizes():
            data = "".join(session_lines(count, 1)).encode()
            jobs.append(pool.submit(compare, f"entries-{count}", data, reference, candidate,
                                    folder))
        for job in jobs:
            name, size, problems, rerun = job.result()
            compared += 1
            reruns += rerun
            output_bytes += size
            for problem in problems:
                failures += 1
                print(f"compare_builds: {name}: {problem}", file=sys.stderr)
    print(f"compare_builds: {compared} sessions ({compared - 1} generated, 1 to {MAX_ENTRIES} "
          f"entries, and the example), {output_bytes} output bytes compared, "
          f"{failures} differences, {reruns} runs ended with another status and run again")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
