#!/usr/bin/env python3
"""Independent reference of the matching engine, for cross-checking the worker.

Reads a session input (NDJSON frames "start", "entries", "execute") from a
file or standard input and prints the output lines the worker is expected to
write: "started", "executing", the result pages and "completed" (or "failed"
when the run fails). Written straightforwardly, for clarity rather than speed.
Contract re-checks and cancellation are not modelled; the input is assumed to
be valid at the frame level.
"""
import hashlib
import json
import sys

INT128_MIN = -(1 << 127)
INT128_MAX = (1 << 127) - 1

MAX_ENTRIES = 10000
MAX_GROUPS = 20000
MAX_PROPOSALS = 20000
MAX_CELL_SIDE = 256
MAX_CELL_WORK = 1024
MAX_ORIGINS = 64

STAGES = [("erp-bank", "erp", "bank"),
          ("sales-settlement", "sales", "settlement"),
          ("settlement-bank", "settlement", "bank")]
ROLE_STAGES = {"erp": ["erp-bank"], "sales": ["sales-settlement"],
               "settlement": ["sales-settlement", "settlement-bank"],
               "bank": ["erp-bank", "settlement-bank"]}
SCHEMA_TAG = b"tallywarden.reconciliation-result.v1"


class EngineFailure(Exception):
    pass


def checked(value):
    if value < INT128_MIN or value > INT128_MAX:
        raise EngineFailure("AmountOverflow")
    return value


def b(text):
    """Sort key giving byte-wise UTF-8 order."""
    return text.encode("utf-8")


def stage_amount(entry, stage):
    amount = int(entry["cents"])
    if entry["role"] == "sales" and stage == "sales-settlement":
        for comp in entry["components"]:
            if comp["kind"] == "fee":
                amount = checked(amount + int(comp["cents"]))
    return amount


def passes_sales_filter(entry, stage):
    if stage != "sales-settlement" or entry["role"] != "sales":
        return True
    comps = entry["components"]
    return len(comps) > 0 and all(c["kind"] == "fee" for c in comps)


class Run:
    def __init__(self, entries):
        self.entries = entries  # ascending id order
        self.groups = []
        self.proposal_total = 0

    def push_group(self, proposals, member_ids, exact):
        if len(self.groups) >= MAX_GROUPS:
            raise EngineFailure("LimitExceeded groups")
        if self.proposal_total + len(proposals) > MAX_PROPOSALS:
            raise EngineFailure("LimitExceeded proposals")
        self.groups.append({"proposals": proposals, "members": member_ids, "exact": exact})
        self.proposal_total += len(proposals)

    def cells(self, stage, left_role, right_role, key_fn, take):
        left, right = {}, {}
        for e in self.entries:
            if not take(e):
                continue
            if e["role"] == left_role:
                left.setdefault(key_fn(e), []).append(e)
            if e["role"] == right_role:
                right.setdefault(key_fn(e), []).append(e)
        return left, right

    @staticmethod
    def check_cell(lc, rc):
        if len(lc) > MAX_CELL_SIDE or len(rc) > MAX_CELL_SIDE or len(lc) * len(rc) > MAX_CELL_WORK:
            raise EngineFailure("LimitExceeded cell")

    def reference_pass(self, stage, lr, rr):
        left, right = self.cells(stage, lr, rr,
                                 lambda e: (b(e["root"]), b(e["accountId"]), b(e["reference"])),
                                 lambda e: e["reference"] is not None)
        for key in sorted(left):
            if key not in right:
                continue
            lc, rc = left[key], right[key]
            self.check_cell(lc, rc)
            if len(lc) > 1 or len(rc) > 1:
                continue
            L, R = lc[0], rc[0]
            if not passes_sales_filter(L, stage):
                continue
            al, ar = stage_amount(L, stage), stage_amount(R, stage)
            if al <= 0 or ar <= 0:
                continue
            exact = al == ar and L["date"] == R["date"]
            self.push_group([(min(al, ar), L["id"], R["id"], stage)], [L["id"], R["id"]], exact)

    def composition_pass(self, stage, lr, rr):
        left, right = self.cells(stage, lr, rr,
                                 lambda e: (b(e["root"]), b(e["accountId"]), b(e["date"])),
                                 lambda e: e["reference"] is not None and passes_sales_filter(e, stage))
        for key in sorted(left):
            if key not in right:
                continue
            lc, rc = left[key], right[key]
            self.check_cell(lc, rc)
            members = sorted([e["id"] for e in lc] + [e["id"] for e in rc], key=b)
            budget = [0]

            def step():
                if budget[0] >= MAX_CELL_WORK:
                    raise EngineFailure("LimitExceeded search")
                budget[0] += 1

            for R in rc:
                target = stage_amount(R, stage)
                if target <= 0:
                    continue
                cands = [(e, stage_amount(e, stage)) for e in lc]
                solutions = []
                selection = []

                def search(total, start):
                    if total == target:
                        step()
                        if len(selection) >= 2:
                            solutions.append(list(selection))
                        return
                    if total > target:
                        step()
                        return
                    i = start
                    while True:
                        step()
                        if i >= len(cands):
                            return
                        if cands[i][1] > 0:
                            selection.append(i)
                            search(checked(total + cands[i][1]), i + 1)
                            selection.pop()
                        i += 1

                search(0, 0)
                for sol in solutions:
                    props = [(cands[i][1], cands[i][0]["id"], R["id"], stage) for i in sol]
                    self.push_group(props, list(members), False)

    def synthetic_pass(self, stage, lr, rr, matched):
        left, right = self.cells(stage, lr, rr,
                                 lambda e: (b(e["root"]), b(e["accountId"]), b(e["date"])),
                                 lambda e: passes_sales_filter(e, stage))
        for key in sorted(left):
            if key not in right:
                continue
            for L in left[key]:
                for R in right[key]:
                    if L["reference"] is not None and R["reference"] is not None:
                        continue
                    if L["id"] in matched or R["id"] in matched:
                        continue
                    al, ar = stage_amount(L, stage), stage_amount(R, stage)
                    if al == ar and al > 0:
                        self.push_group([(al, L["id"], R["id"], stage)], [L["id"], R["id"]], False)

    def generate(self):
        for stage, lr, rr in STAGES:
            self.reference_pass(stage, lr, rr)
            self.composition_pass(stage, lr, rr)
        matched = set()
        for g in self.groups:
            if g["exact"]:
                for p in g["proposals"]:
                    matched.add(p[1])
                    matched.add(p[2])
        for stage, lr, rr in STAGES:
            self.synthetic_pass(stage, lr, rr, matched)


def sort_key(group):
    return [(b(p[3]), b(p[1]), b(p[2]), p[0]) for p in group["proposals"]]


def resolve(groups, index):
    groups = sorted(groups, key=sort_key)  # stable
    deduped = []
    for g in groups:
        if deduped and deduped[-1]["proposals"] == g["proposals"]:
            continue
        deduped.append(dict(g))
    holders = {}
    for pos, g in enumerate(deduped):
        claims = set()
        for cents, lid, rid, stage in g["proposals"]:
            for eid in (lid, rid):
                scope = "bank-global" if index[eid]["role"] == "bank" else stage
                claims.add((scope, eid))
        for c in claims:
            holders.setdefault(c, []).append(pos)
    for c, positions in holders.items():
        if len(positions) > 1:
            for pos in positions:
                deduped[pos]["exact"] = False
    if len(deduped) > MAX_GROUPS:
        raise EngineFailure("LimitExceeded kept")
    return deduped


def ref_key(ref):
    sheet = ref["sheet"]
    return (b(ref["sourceId"]), b(ref["fileId"]),
            (0, b"") if sheet is None else (1, b(sheet)), ref["row"])


def normal_ref(ref):
    row = ref["row"]
    if isinstance(row, float):
        row = int(row)
    return {"fileId": ref["fileId"], "row": row, "sheet": ref["sheet"], "sourceId": ref["sourceId"]}


def build_allocation(stage, left, right, cents):
    origins = [normal_ref(left["origin"]), normal_ref(right["origin"])]
    if stage == "sales-settlement" and left["components"]:
        origins += [normal_ref(c["origin"]) for c in left["components"]]
    origins.sort(key=ref_key)
    unique = []
    for o in origins:
        if unique and unique[-1] == o:
            continue
        unique.append(o)
    if len(unique) > MAX_ORIGINS:
        raise EngineFailure("LimitExceeded origins")
    reasons = ["reference-match"]
    if stage == "sales-settlement" and left["components"]:
        reasons = ["documented-composition", "reference-match"]
    return {"cents": str(cents), "evidence": {"origins": unique, "reasonCodes": reasons,
                                              "ruleId": "synthetic-reference-v1"},
            "leftId": left["id"], "rightId": right["id"], "stage": stage}


def run_engine(manifest, entries):
    if len(entries) > MAX_ENTRIES:
        raise EngineFailure("LimitExceeded entries")
    digests = {(d["sourceId"], d["fileId"]) for d in manifest["inputDigests"]}
    window = manifest["window"]
    index = {}
    for e in entries:
        if window is not None and e["role"] == "bank" and not (window["from"] <= e["date"] <= window["to"]):
            raise EngineFailure("OUTSIDE_WINDOW")
        if e["root"] != manifest["root"]:
            raise EngineFailure("InconsistentInput root")
        if (e["origin"]["sourceId"], e["origin"]["fileId"]) not in digests:
            raise EngineFailure("InconsistentInput origin")
        if e["id"] in index:
            raise EngineFailure("InconsistentInput duplicate")
        index[e["id"]] = e
        if e["role"] != "sales" and e["components"]:
            raise EngineFailure("InconsistentInput components")
        for c in e["components"]:
            if (c["origin"]["sourceId"], c["origin"]["fileId"]) not in digests:
                raise EngineFailure("InconsistentInput component origin")
            if int(c["cents"]) >= 0:
                raise EngineFailure("InconsistentInput component cents")
    ordered = [index[k] for k in sorted(index, key=b)]
    run = Run(ordered)
    run.generate()
    groups = resolve(run.groups, index)

    balances = {}
    for e in ordered:
        for stage in ROLE_STAGES[e["role"]]:
            balances[(stage, e["id"])] = stage_amount(e, stage)

    allocations = []
    review_keys = set()
    review_props = []
    for g in groups:
        if g["exact"]:
            for cents, lid, rid, stage in g["proposals"]:
                if cents <= 0:
                    raise EngineFailure("InsufficientBalance")
                keys = set()
                for eid in (lid, rid):
                    if index[eid]["role"] == "bank":
                        keys.add(("erp-bank", eid))
                        keys.add(("settlement-bank", eid))
                    else:
                        keys.add((stage, eid))
                for k in keys:
                    if balances[k] < cents:
                        raise EngineFailure("InsufficientBalance")
                for k in keys:
                    balances[k] = checked(balances[k] - cents)
                allocations.append(build_allocation(stage, index[lid], index[rid], cents))
        else:
            key = "v1" + "".join("|%d:%s" % (len(b(f)), f)
                                 for p in g["proposals"]
                                 for f in (p[3], p[1], p[2], str(p[0])))
            if key in review_keys:
                raise EngineFailure("InconsistentInput review key")
            review_keys.add(key)
            first_stage = g["proposals"][0][3]
            for mid in g["members"]:
                value = balances[(first_stage, mid)]
                for cents, lid, rid, stage in g["proposals"]:
                    if lid == mid or rid == mid:
                        value = checked(value - cents)
            review_props.extend(g["proposals"])

    bank_in_erp = set()
    for a in allocations:
        if a["stage"] == "erp-bank":
            bank_in_erp.update((a["leftId"], a["rightId"]))
    for cents, lid, rid, stage in review_props:
        if stage == "erp-bank":
            bank_in_erp.update((lid, rid))
    residuals = {}
    for e in ordered:
        role = e["role"]
        if role == "bank":
            stage = "erp-bank" if e["id"] in bank_in_erp else "settlement-bank"
        else:
            stage = {"erp": "erp-bank", "sales": "sales-settlement",
                     "settlement": "settlement-bank"}[role]
        residuals[e["id"]] = str(balances[(stage, e["id"])])
    pending = [i for i in residuals if residuals[i] != "0"]
    return {"allocations": allocations, "pendingIds": pending, "residuals": residuals,
            "revision": 0, "runId": manifest["runId"]}


def dumps(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def lift_size_limits():
    """Lifts every size limit (entries, groups, proposals, cell sides, pairs and search steps),
    as for one run over a whole company's books; the origin bound of an allocation stays."""
    global MAX_ENTRIES, MAX_GROUPS, MAX_PROPOSALS, MAX_CELL_SIDE, MAX_CELL_WORK
    MAX_ENTRIES = MAX_GROUPS = MAX_PROPOSALS = MAX_CELL_SIDE = MAX_CELL_WORK = float("inf")


def main():
    args = sys.argv[1:]
    if "--lift-limits" in args:
        args.remove("--lift-limits")
        lift_size_limits()
    source = open(args[0], encoding="utf-8") if args else sys.stdin
    manifest, nonce, entries = None, None, []
    out = []
    for line in source:
        if not line.strip():
            continue
        frame = json.loads(line)
        kind = frame["kind"]
        if kind == "start":
            manifest, nonce = frame["manifest"], frame["nonce"]
            out.append({"kind": "started", "nonce": nonce, "version": 1})
        elif kind == "entries":
            entries.extend(frame["entries"])
        elif kind == "execute":
            out.append({"kind": "executing", "nonce": nonce, "version": 1})
            break
    try:
        result = run_engine(manifest, entries)
    except EngineFailure as failure:
        sys.stderr.write("reference: run failed: %s\n" % failure)
        out.append({"code": "C5_ENGINE_FAILED", "kind": "failed", "nonce": nonce, "version": 1})
        for m in out:
            print(dumps(m))
        return
    pages = [{"allocations": [a], "pendingIds": [], "residuals": {}} for a in result["allocations"]]
    pages += [{"allocations": [], "pendingIds": [p], "residuals": {}} for p in result["pendingIds"]]
    pages += [{"allocations": [], "pendingIds": [], "residuals": {k: v}}
              for k, v in result["residuals"].items()]
    if not pages:
        pages = [{"allocations": [], "pendingIds": [], "residuals": {}}]
    for i, page in enumerate(pages):
        out.append({"kind": "resultPage", "nonce": nonce, "page": page,
                    "pageCount": len(pages), "pageIndex": i, "version": 1})
    text = dumps(result).encode("utf-8")
    commitment = hashlib.sha256(SCHEMA_TAG + b"\x00" + text).hexdigest()
    out.append({"kind": "completed", "metadata": {"pageCount": len(pages), "resultCommitment": commitment,
                                                  "revision": 0, "runId": result["runId"]},
                "nonce": nonce, "version": 1})
    for m in out:
        print(dumps(m))


if __name__ == "__main__":
    main()
