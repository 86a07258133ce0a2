#!/usr/bin/env python3
"""Property of `tallywarden plan`: its runs together reconcile as one run over all the books.

For generated books of several sizes, planned into several runs (--max-run-entries N), every
planned session completes with the worker, and the union of the runs' allocations, pending
identifiers and residuals equals one run of the reference engine over all the entries with the
size limits lifted, exactly, when the plan slices no cell. For books with a busy day whose
composition cell passes the search bound, every difference lies among the entries of the
candidates the plan lists as separated or competing. A reference on more entries than a cell side
may hold is listed as unplannable (its smallest role as the entries, the rest as their
counterparts), and planned cut by role into runs that complete, with the same result as the
whole. The same input and nonce seed give a byte-identical folder.

Usage: plan_property.py TALLYWARDEN WORKER SOURCE_DIR
"""
import filecmp
import json
import os
import random
import subprocess
import sys
import tempfile

TOOL, WORKER, SOURCE = sys.argv[1:4]
failures = []


def generated_books(work, entries, seed):
    """Template and entries of a generated month, the entries shuffled into two files: one
    JSON Lines, one JSON array."""
    session = os.path.join(work, "gen.ndjson")
    subprocess.run([sys.executable, os.path.join(SOURCE, "bench/gen_session.py"), "--entries",
                    str(entries), "--seed", str(seed), "--style", "utf8-compact", "--output",
                    session], check=True)
    frames = [json.loads(line) for line in open(session, encoding="utf-8")]
    manifest = frames[0]["manifest"]
    books = [e for f in frames[1:] for e in f.get("entries", [])]
    return manifest, books


def busy_day(manifest, count, seed):
    """One store's busy day: card sales with a fee, each settled alone, and a few settlements
    that are the sum of two sales (composition candidates that tie entries together)."""
    rng = random.Random(seed)
    digest = manifest["inputDigests"][0]
    origin = {"sourceId": digest["sourceId"], "fileId": digest["fileId"], "sheet": None, "row": 1}
    entries = []

    def entry(eid, role, cents, ref, components=()):
        return {"id": eid, "role": role, "root": manifest["root"],
                "establishment": manifest["root"] + "000135", "accountId": "9.9.9",
                "date": "2024-05-24", "cents": str(cents), "reference": ref, "origin": origin,
                "components": list(components), "description": "Venda cartão"}

    nets = []
    for k in range(count):
        gross = rng.randint(1500, 90000)
        fee = -max(1, gross * 2 // 100)
        entries.append(entry("bf-sale-%03d" % k, "sales", gross, "NSU-%03d" % k,
                             [{"kind": "fee", "cents": str(fee), "origin": origin}]))
        entries.append(entry("bf-settle-%03d" % k, "settlement", gross + fee, "NSU-%03d" % k))
        nets.append(gross + fee)
    for k in range(0, count - 1, 2):
        entries.append(entry("bf-batch-%03d" % k, "settlement", nets[k] + nets[k + 1],
                             "LOTE-%03d" % k))
    return entries


def one_long_reference(manifest, erp, bank):
    """A store's cash deposits under one reference for longer than a cell side holds: `erp`
    ledger lines and `bank` credits, all of account 9.9.8."""
    digest = manifest["inputDigests"][0]
    origin = {"sourceId": digest["sourceId"], "fileId": digest["fileId"], "sheet": None, "row": 1}

    def entry(eid, role, cents, day):
        return {"id": eid, "role": role, "root": manifest["root"],
                "establishment": manifest["root"] + "000135", "accountId": "9.9.8",
                "date": "2024-05-%02d" % day, "cents": str(cents), "reference": "DEP-LOJA-1",
                "origin": origin, "components": [], "description": "Depósito em dinheiro"}

    # Credits below every ledger line, so that no day holds a composition.
    return ([entry("dep-erp-%03d" % k, "erp", 10000 + k, 1 + k % 28) for k in range(erp)] +
            [entry("dep-bank-%03d" % k, "bank", 5000 + k, 1 + k % 28) for k in range(bank)])


def write_books(work, manifest, books, seed):
    rng = random.Random(seed)
    books = list(books)
    rng.shuffle(books)
    half = len(books) // 2
    lines = os.path.join(work, "books-a.jsonl")
    array = os.path.join(work, "books-b.json")
    with open(lines, "w", encoding="utf-8") as out:
        for e in books[:half]:
            out.write(json.dumps(e, ensure_ascii=False) + "\n")
    with open(array, "w", encoding="utf-8") as out:
        json.dump(books[half:], out, ensure_ascii=False, indent=1)
    template = dict(manifest)
    del template["runId"]
    template["runId"] = "prop"
    path = os.path.join(work, "template.json")
    with open(path, "w", encoding="utf-8") as out:
        json.dump(template, out)
    return path, [lines, array]


def run_worker(session, fence):
    out = subprocess.run([WORKER, "--c5", "--execution-fence", fence], stdin=open(session, "rb"),
                         capture_output=True)
    allocations, pending, residuals, completed = [], [], {}, False
    for line in out.stdout.decode("utf-8").splitlines():
        message = json.loads(line)
        if message["kind"] == "resultPage":
            page = message["page"]
            allocations += [json.dumps(a, sort_keys=True) for a in page["allocations"]]
            pending += page["pendingIds"]
            residuals.update(page["residuals"])
        completed = completed or message["kind"] == "completed"
    return completed, allocations, pending, residuals


def whole_run(work, manifest, books):
    """One run of the reference engine over every entry, size limits lifted."""
    session = os.path.join(work, "whole.ndjson")
    with open(session, "w", encoding="utf-8") as out:
        out.write(json.dumps({"version": 1, "kind": "start", "nonce": "n" * 32,
                              "manifest": manifest}) + "\n")
        for i in range(0, len(books), 200):
            out.write(json.dumps({"version": 1, "kind": "entries", "nonce": "n" * 32,
                                  "entries": books[i:i + 200]}, ensure_ascii=False) + "\n")
        out.write(json.dumps({"version": 1, "kind": "execute", "nonce": "n" * 32}) + "\n")
    out = subprocess.run([sys.executable, os.path.join(SOURCE, "tools/reference_engine.py"),
                          "--lift-limits", session], capture_output=True, check=True)
    allocations, pending, residuals = [], [], {}
    for line in out.stdout.decode("utf-8").splitlines():
        message = json.loads(line)
        if message["kind"] == "resultPage":
            page = message["page"]
            allocations += [json.dumps(a, sort_keys=True) for a in page["allocations"]]
            pending += page["pendingIds"]
            residuals.update(page["residuals"])
        if message["kind"] == "failed":
            raise RuntimeError("the reference run over the whole failed")
    return allocations, pending, residuals


def check_case(name, manifest, books, max_run, seed, expect_sliced, expect_unplannable=None):
    with tempfile.TemporaryDirectory() as work:
        template, files = write_books(work, manifest, books, seed)
        folders = []
        for attempt in ("a", "b"):
            folder = os.path.join(work, "plan-" + attempt)
            result = subprocess.run([TOOL, "plan", "--manifest", template, *files, "-o", folder,
                                     "--max-run-entries", str(max_run), "--nonce-seed", "s"],
                                    capture_output=True)
            if result.returncode != 0:
                failures.append("%s: plan exited %d: %s" % (name, result.returncode,
                                                            result.stderr.decode()))
                return
            folders.append(folder)
        compare = filecmp.dircmp(folders[0], folders[1])
        same = not compare.diff_files and not compare.left_only and not compare.right_only
        sub = filecmp.dircmp(os.path.join(folders[0], "sessions"),
                             os.path.join(folders[1], "sessions"))
        same = same and not sub.diff_files and not sub.left_only and not sub.right_only
        for f in sub.common_files:
            same = same and filecmp.cmp(os.path.join(folders[0], "sessions", f),
                                        os.path.join(folders[1], "sessions", f), shallow=False)
        if not same:
            failures.append("%s: two plans of the same input and seed differ" % name)
        plan = json.load(open(os.path.join(folders[0], "plan.json"), encoding="utf-8"))
        allocations, pending, residuals = [], [], {}
        for run in plan["runs"]:
            if run["entries"] > max_run and max_run < 10000:
                pass  # a unit larger than N stays whole
            completed, a, p, r = run_worker(os.path.join(folders[0], run["session"]),
                                            os.path.join(work, "fence"))
            if not completed:
                failures.append("%s: run %s does not complete" % (name, run["runId"]))
                return
            allocations += a
            pending += p
            residuals.update(r)
        whole = whole_run(work, manifest, books)
        planned = sum(run["entries"] for run in plan["runs"])
        if planned != len(books):
            failures.append("%s: %d entries planned of %d" % (name, planned, len(books)))
        unplannable = [(sorted(u["entries"]), sorted(u["counterparts"]), u["notPlanned"])
                       for u in plan["unplannable"]]
        if unplannable != (expect_unplannable or []):
            failures.append("%s: unplannable %s" % (name, [(len(e), len(c), n)
                                                         for e, c, n in unplannable]))
        sliced = plan["slicedCells"]
        if expect_sliced != bool(sliced):
            failures.append("%s: %s sliced cells" % (name, len(sliced)))
        listed = set()
        for cell in sliced:
            for candidate in cell["separated"] + cell["competing"]:
                listed.update(candidate)
        differing = set()
        for a in set(allocations) ^ set(whole[0]):
            record = json.loads(a)
            differing.update((record["leftId"], record["rightId"]))
        differing.update(set(pending) ^ set(whole[1]))
        for key in set(residuals) | set(whole[2]):
            if residuals.get(key) != whole[2].get(key):
                differing.add(key)
        stray = differing - listed
        if stray:
            failures.append("%s: %d entries differ from one run over the whole outside the "
                            "listed candidates, e.g. %s" % (name, len(stray), sorted(stray)[:5]))
        print("%s: %d entries, %d runs, %d sliced cells, %d differing entries (all listed)" %
              (name, len(books), len(plan["runs"]), len(sliced), len(differing)))


with tempfile.TemporaryDirectory() as scratch:
    for entries, max_run, seed in ((60, 17, 1), (800, 150, 2), (3000, 700, 3), (6000, 2500, 4)):
        manifest, books = generated_books(scratch, entries, seed)
        check_case("generated %d / %d" % (entries, max_run), manifest, books, max_run, seed,
                   False)
    manifest, books = generated_books(scratch, 400, 7)
    books += busy_day(manifest, 18, 7)
    check_case("busy day", manifest, books, 300, 7, True)
    manifest, books = generated_books(scratch, 400, 8)
    deposits = one_long_reference(manifest, 300, 270)
    check_case("a reference too long for one cell", manifest, books + deposits, 10000, 8, True,
               [(sorted(e["id"] for e in deposits if e["role"] == "bank"),
                 sorted(e["id"] for e in deposits if e["role"] == "erp"), [])])

for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
