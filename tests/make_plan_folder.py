#!/usr/bin/env python3
"""Writes a plan folder for `tallywarden run` from generated sessions, for tests and benchmarks.

Each run's session is bench/gen_session.py's, from its own seed, so that no two runs share a
nonce; plan.json lists the runs in order (the layout `tallywarden plan` writes, with only what
`run` reads filled in).

Usage: make_plan_folder.py DIR --entries N[,N...] [--runs R] [--bad K]
  --entries  the runs' entry counts, repeated in turn over --runs runs
  --bad K    run K's session ends without its "execute" frame: the worker refuses it
(standard library only)
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
GEN = os.path.join(HERE, "..", "bench", "gen_session.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--entries", required=True)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--bad", type=int, action="append", default=[])
    args = parser.parse_args()
    counts = [int(c) for c in args.entries.split(",")]
    runs = args.runs or len(counts)
    os.makedirs(os.path.join(args.dir, "sessions"), exist_ok=True)
    planned = []
    for index in range(runs):
        run_id = f"run-{index:03d}"
        entries = counts[index % len(counts)]
        session = subprocess.run(
            [sys.executable, GEN, "--entries", str(entries), "--seed", str(1000 + index)],
            check=True, capture_output=True).stdout
        if index in args.bad:
            session = b"".join(session.splitlines(keepends=True)[:-1])
        with open(os.path.join(args.dir, "sessions", run_id + ".ndjson"), "wb") as out:
            out.write(session)
        planned.append({"runId": run_id, "session": f"sessions/{run_id}.ndjson",
                        "entries": entries, "bytes": len(session)})
    plan = {"version": 1, "engineVersion": "test", "period": None, "runs": planned}
    with open(os.path.join(args.dir, "plan.json"), "w") as out:
        json.dump(plan, out, separators=(",", ":"), sort_keys=True)


if __name__ == "__main__":
    main()
