#!/usr/bin/env python3
"""`tallywarden plan` on bad input: refused entries are all listed (exit 1), unusable input gets
one line on standard error (exit 2), and in either case nothing is written beside PLAN_DIR.

Usage: plan_bad_input.py TALLYWARDEN SOURCE_DIR
"""
import json
import os
import subprocess
import sys
import tempfile

TOOL, SOURCE = sys.argv[1:3]
failures = []

with tempfile.TemporaryDirectory() as work:
    session = os.path.join(work, "gen.ndjson")
    subprocess.run([sys.executable, os.path.join(SOURCE, "bench/gen_session.py"), "--entries",
                    "3000", "--seed", "11", "--output", session], check=True)
    frames = [json.loads(line) for line in open(session, encoding="utf-8")]
    manifest = frames[0]["manifest"]
    books = [e for f in frames[1:] for e in f.get("entries", [])]
    del manifest["runId"]

    def write(name, text):
        path = os.path.join(work, name)
        with open(path, "w", encoding="utf-8") as out:
            out.write(text)
        return path

    def lines(entries):
        return "".join(json.dumps(e, ensure_ascii=False) + "\n" for e in entries)

    template = write("template.json", json.dumps(manifest))
    good = write("good.jsonl", lines(books))
    malformed = write("malformed.jsonl", lines(books[:1500]) + '{"id": "x",\n' + lines(books[1500:]))
    one_bad = [dict(e) for e in books]
    one_bad[2222]["date"] = "2024-02-30"
    refused = write("refused.jsonl", lines(one_bad))
    undeclared = [dict(e) for e in books]
    undeclared[17]["origin"] = dict(undeclared[17]["origin"], fileId="not-declared.csv")
    undeclared_path = write("undeclared.jsonl", lines(undeclared))
    repeated = write("repeated.json", json.dumps([books[5]]))
    no_digests = dict(manifest)
    del no_digests["inputDigests"]
    no_digests_path = write("no-digests.json", json.dumps(no_digests))
    empty = write("empty.jsonl", "")
    os.mkdir(os.path.join(work, "a-folder"))
    full = os.path.join(work, "full")
    os.mkdir(full)
    write("full/keep.txt", "mine")

    def plan(name, files, expect_status, expect_in_err=(), tmpl=template, extra=(), out=None):
        out = out or os.path.join(work, "out-" + name)
        before = set(os.listdir(work))
        result = subprocess.run([TOOL, "plan", "--manifest", tmpl, *files, "-o", out, *extra],
                                capture_output=True)
        err = result.stderr.decode("utf-8")
        after = set(os.listdir(work))
        if result.returncode != expect_status:
            failures.append("%s: exit %d, expected %d (%s)" % (name, result.returncode,
                                                             expect_status, err.strip()))
        for text in expect_in_err:
            if text not in err:
                failures.append("%s: %r not in %r" % (name, text, err))
        if expect_status == 2 and err.count("\n") != 1:
            failures.append("%s: %d lines on standard error" % (name, err.count("\n")))
        made = after - before
        if expect_status != 0 and made:
            failures.append("%s: left %s behind" % (name, sorted(made)))
        if expect_status == 0 and made != {os.path.basename(out)} | ({"rejected.jsonl"} if
                                                                     extra else set()):
            failures.append("%s: wrote %s" % (name, sorted(made)))
        return result

    plan("malformed line", [malformed], 2, ["malformed.jsonl line 1501"])
    # Entries are decoded in batches of about a mebibyte, read ahead of the one taken: a malformed
    # line several batches in is still the error told, before a later line too long to be an
    # entry, and before anything in a later file.
    late = write("late.jsonl", lines(books) * 8 + '{"id": "x",\n' + '"' + "y" * (2 << 20) + '"\n')
    plan("malformed line batches in", [late, malformed], 2, ["late.jsonl line 24001"])
    plan("malformed line in a later file", [good, malformed], 2, ["malformed.jsonl line 1501"])
    plan("refused entry", [refused], 1,
         ["refused.jsonl:2223: entry %s: date:" % books[2222]["id"], "1 entry is refused"])
    plan("undeclared file", [undeclared_path], 1, ["undeclared.jsonl:18:", "origin"])
    plan("repeated id", [good, repeated], 1,
         ["repeated.json:1: entry %s: id" % books[5]["id"], "good.jsonl:6:"])
    plan("template without digests", [good], 2, ["TEMPLATE is no run manifest"],
         tmpl=no_digests_path)
    plan("empty file", [empty], 2, ["empty.jsonl is empty"])
    plan("a directory", [os.path.join(work, "a-folder")], 2, ["is a directory"])
    plan("folder not empty", [good], 2, ["is not empty"], out=full)
    result = plan("rejected apart", [refused], 0,
                  extra=["--reject", os.path.join(work, "rejected.jsonl")])
    if b"the rest are planned as other books" not in result.stdout:
        failures.append("rejected apart: the rest are not said to be other books")
    rejected = [json.loads(l) for l in open(os.path.join(work, "rejected.jsonl"))]
    if [(r["line"], r["member"], r["code"]) for r in rejected] != [(2223, "date", "INVALID_DATE")]:
        failures.append("rejected apart: %s" % rejected)

    # check gives a failing bound's true figure, and with --all every cell past a bound: ten
    # receipts against one deposit on a day need 2047 search steps (the engine stops at 1025),
    # and a second such day is past a bound too.
    digest = manifest["inputDigests"][0]
    origin = {"sourceId": digest["sourceId"], "fileId": digest["fileId"], "sheet": None, "row": 1}

    def receipt(eid, role, cents, ref, day):
        return {"id": eid, "role": role, "root": manifest["root"],
                "establishment": manifest["root"] + "000135", "accountId": "1.1.1.02",
                "date": day, "cents": str(cents), "reference": ref, "origin": origin,
                "components": []}

    day_entries = []
    for day, count in (("2024-05-06", 10), ("2024-05-07", 11)):
        day_entries += [receipt("erp-%s-%02d" % (day, i), "erp", 10000 + 100 * i, "NF-%s-%d" % (day, i),
                                day) for i in range(count)]
        day_entries.append(receipt("bank-" + day, "bank", 500000, "DEP-" + day, day))
    with_manifest = dict(manifest, runId="check-all")
    session = write("check-all.ndjson", "\n".join([
        json.dumps({"version": 1, "kind": "start", "nonce": "n" * 32, "manifest": with_manifest}),
        json.dumps({"version": 1, "kind": "entries", "nonce": "n" * 32, "entries": day_entries}),
        json.dumps({"version": 1, "kind": "execute", "nonce": "n" * 32})]) + "\n")
    text = subprocess.run([TOOL, "check", "--all", session], capture_output=True).stdout.decode()
    if "reached 2047 against 1024" not in text or "cells past a bound: 2" not in text or \
            "11 left, 1 right, 11 pairs, 4095 search steps" not in text:
        failures.append("check --all: %s" % text[-600:])
    verdict = json.loads(subprocess.run([TOOL, "check", "--all", "--json", session],
                                        capture_output=True).stdout)
    if verdict["engine"]["reached"] != 2047 or len(verdict["cellsPastBounds"]) != 2:
        failures.append("check --all --json: %s" % verdict)

for failure in failures:
    print("FAIL", failure)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
