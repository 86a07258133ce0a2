#!/usr/bin/env python3
"""Writes a plan folder for `tallywarden run` tests and benchmarks: a company's month from
bench/gen_books.py, cut into runs by `tallywarden plan`, with bad sessions planted on request.

Usage: make_plan_folder.py DIR --tool TALLYWARDEN [--entries N] [--max-run-entries M]
                           [--seed S] [--bad K]...
  --entries          about how many entries the month has (default: gen_books's 30,000)
  --max-run-entries  passed to plan, to cut the month into more runs
  --bad K            the session of run K (0-based, in plan order) loses its "execute" frame:
                     the worker refuses it (check: C5_INCOMPLETE)
(standard library only)
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GEN_BOOKS = os.path.join(HERE, "..", "bench", "gen_books.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--tool", required=True)
    parser.add_argument("--entries", type=int)
    parser.add_argument("--max-run-entries", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--bad", type=int, action="append", default=[])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as books:
        gen = [sys.executable, GEN_BOOKS, "--out", books, "--seed", str(args.seed)]
        if args.entries:
            gen += ["--entries", str(args.entries)]
        subprocess.run(gen, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        plan = [args.tool, "plan", "--manifest", os.path.join(books, "template.json"),
                os.path.join(books, "entries.jsonl"), "-o", args.dir,
                "--nonce-seed", str(args.seed)]
        if args.max_run_entries:
            plan += ["--max-run-entries", str(args.max_run_entries)]
        subprocess.run(plan, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(args.dir, "plan.json")) as text:
        runs = json.load(text)["runs"]
    for index in args.bad:
        path = os.path.join(args.dir, runs[index]["session"])
        with open(path, "rb") as session:
            lines = session.read().splitlines(keepends=True)
        with open(path, "wb") as session:
            session.write(b"".join(lines[:-1]))


if __name__ == "__main__":
    main()
