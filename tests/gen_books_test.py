#!/usr/bin/env python3
"""The books generator against the worker: its books are what a host sends.

  * the same seed gives the same bytes, in both formats; another seed other books;
  * the template declares exactly the files the entries and components name, and no
    identifier repeats across the books;
  * a quiet month, cut into sessions, completes with the worker in every session, with the
    commitment that check computes and the very output of the reference engine;
  * a small realistic month, cut the same way, is refused by nothing but an engine bound on a
    busy cell: every kind of line the generator writes passes the entry contract.

Usage: gen_books_test.py WORKER TOOL SOURCE_DIR   (exit 77 when it cannot run here)
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile

WORKER, TOOL, SOURCE = sys.argv[1:4]
GENERATOR = os.path.join(SOURCE, "bench", "gen_books.py")
REFERENCE = os.path.join(SOURCE, "tools", "reference_engine.py")
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED:", message)


def generate(folder, *args):
    subprocess.run([sys.executable, GENERATOR, "--out", folder, *args], check=True,
                   stderr=subprocess.DEVNULL)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def entries_of(path):
    with open(path, encoding="utf-8") as f:
        if path.endswith(".json"):
            return json.load(f)
        return [json.loads(line) for line in f]


def sessions(folder, *args):
    generate(folder, "--sessions", os.path.join(folder, "sessions"), *args)
    names = sorted(os.listdir(os.path.join(folder, "sessions")))
    return [os.path.join(folder, "sessions", name) for name in names]


def check(session):
    done = subprocess.run([TOOL, "check", "--json", session], capture_output=True)
    return done.returncode, json.loads(done.stdout)


def determinism(work):
    for name, args in (("a", ["--profile", "tiny", "--seed", "7"]),
                       ("b", ["--profile", "tiny", "--seed", "7"]),
                       ("c", ["--profile", "tiny", "--seed", "8"]),
                       ("d", ["--profile", "tiny", "--seed", "7", "--format", "array"])):
        generate(os.path.join(work, name), *args)
    files = ("entries.jsonl", "template.json")
    same = [digest(os.path.join(work, "a", f)) == digest(os.path.join(work, "b", f))
            for f in files]
    expect(all(same), "the same seed gives other bytes")
    expect(digest(os.path.join(work, "a", files[0])) != digest(os.path.join(work, "c", files[0])),
           "another seed gives the same books")
    lines = entries_of(os.path.join(work, "a", "entries.jsonl"))
    expect(lines == entries_of(os.path.join(work, "d", "entries.json")),
           "the array holds other entries than the lines")


def declared_files(work):
    folder = os.path.join(work, "realistic-files")
    generate(folder, "--entries", "4000", "--month", "2026-12")
    with open(os.path.join(folder, "template.json"), encoding="utf-8") as f:
        template = json.load(f)
    expect("runId" not in template, "the template names a run")
    pairs = [(d["sourceId"], d["fileId"]) for d in template["inputDigests"]]
    expect(pairs == sorted(set(pairs)), "the digests are not ascending and unique")
    named, ids = set(), set()
    entries = entries_of(os.path.join(folder, "entries.jsonl"))
    for e in entries:
        ids.add(e["id"])
        for origin in [e["origin"]] + [c["origin"] for c in e["components"]]:
            named.add((origin["sourceId"], origin["fileId"]))
    expect(named == set(pairs), "the template declares other files than the entries name")
    expect(len(ids) == len(entries), "an identifier repeats across the books")


def quiet_month_completes(work):
    names = sessions(os.path.join(work, "quiet"), "--profile", "quiet", "--entries", "2500",
                     "--seed", "3")
    expect(len(names) > 1, "the quiet month gives one session")
    for session in names:
        status, verdict = check(session)
        expect(status == 0, f"check refuses {session}: {verdict['why']}")
        with open(session, "rb") as given:
            output = subprocess.run([WORKER, "--c5", "--execution-fence", session + ".fence"],
                                    stdin=given, capture_output=True).stdout
        last = json.loads(output.splitlines()[-1])
        expect(last["kind"] == "completed", f"the worker does not complete {session}")
        if last["kind"] == "completed" and status == 0:
            expect(last["metadata"]["resultCommitment"] ==
                   verdict["summary"]["resultCommitment"],
                   f"check and the worker commit to other results for {session}")
        reference = subprocess.run([sys.executable, REFERENCE, session], capture_output=True)
        expect(reference.stdout == output, f"the reference engine differs on {session}")


def realistic_month_passes_the_contract(work):
    names = sessions(os.path.join(work, "realistic"), "--entries", "6000", "--seed", "5")
    for session in names:
        status, verdict = check(session)
        engine = verdict["engine"] or {}
        expect(status == 0 or (verdict["contract"] is None and
                               engine.get("code") == "LimitExceeded" and "cell" in engine),
               f"{session} fails otherwise than on a busy cell: {verdict['why']}")


def main():
    with tempfile.TemporaryDirectory() as work:
        determinism(work)
        declared_files(work)
        quiet_month_completes(work)
        realistic_month_passes_the_contract(work)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
