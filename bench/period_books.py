#!/usr/bin/env python3
"""Writes a plan folder of made-up multi-store books for the period report: plan.json,
sessions/<runId>.ndjson and, when a worker is given, outputs/<runId>.out and .json.

Each store has a bank account (ERP receipts against bank credits) and a card account (card
sales with their fees against the acquirer's settlements, and those against the bank payouts);
bank lines carry the head office's establishment. Every day of the month each store gets blocks
of entries of every kind the report must show: exact matches, short payments, late payments,
deposits bundling two invoices, PIX credits whose receipt has no reference, duplicated invoice
numbers, supplier payments (negative), sales without fees or with a reversal, lines with no
counterpart, and descriptions with accents, quotes and a leading '='. Stores are packed into
runs by whole accounts, so that no cell of the engine is split between runs.

Usage: period_books.py OUT_DIR --entries N [--worker PATH] [--seed S] [--leave-out RUN_INDEX]
(standard library only; the books are a function of N and the seed)
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys

ROOT = "7K2M9Q4B"
MONTH = "2024-05"
DAYS = [f"{MONTH}-{d:02d}" for d in range(1, 32)]
MAX_LINE = 60000
MAX_BATCH = 200
RUN_ENTRIES = 4000
SOURCES = {
    "erp": ("erp-ledger", "erp-2024-05.xlsx", "Receipts"),
    "bank": ("bank-main", "bank-2024-05.ofx", None),
    "sales": ("pos-sales", "pos-2024-05.xlsx", "Cards"),
    "settlement": ("card-acquirer", "settlement-2024-05.csv", None),
}
CUSTOMERS = ["Atacadão São João", "Padaria \"Pão Quente\"", "Farmácia Vida & Saúde",
             "=HYPERLINK(\"http://x\")", "Mercado Açaí", "Construtora Ipê", "Café Paraíso 😀",
             "+55 Distribuidora", "@Loja Online", "Restaurante Ço"]


def check_digit(text, weights):
    total = sum((ord(c) - 48) * w for c, w in zip(text, weights))
    remainder = total % 11
    return "0" if remainder < 2 else str(11 - remainder)


def establishment(branch):
    code = ROOT + f"{branch:04d}"
    code += check_digit(code, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    code += check_digit(code, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return code


HEAD_OFFICE = establishment(1)


class Books:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.rows = {}
        self.count = 0

    def origin(self, role):
        source_id, file_id, sheet = SOURCES[role]
        row = self.rows.get(file_id, 2)
        self.rows[file_id] = row + 1
        return {"sourceId": source_id, "fileId": file_id, "sheet": sheet, "row": row}

    def entry(self, role, store, account, date, cents, ref, description, components=()):
        self.count += 1
        value = {"id": f"{role[:3]}-{self.count:07d}", "role": role, "root": ROOT,
                 "establishment": store, "accountId": account, "date": date,
                 "cents": str(cents), "reference": ref, "origin": self.origin(role),
                 "components": list(components), "description": description}
        return value

    def fee(self, cents, kind="fee"):
        return {"kind": kind, "cents": str(cents), "origin": self.origin("settlement")}


def store_day(books, out, number, store, bank_account, card_account, day_index):
    rng = books.rng
    date = DAYS[day_index]
    next_day = DAYS[min(day_index + 1, len(DAYS) - 1)]
    tag = f"{number:03d}{day_index:02d}"
    customer = rng.choice(CUSTOMERS)
    e = books.entry
    # Two receipts paid in full, the invoice number in the memo.
    for i in range(2):
        cents = rng.randrange(85000, 2400000)
        ref = f"NF-{tag}{i}"
        out += [e("erp", store, bank_account, date, cents, ref, f"Recebimento {ref} {customer}"),
                e("bank", HEAD_OFFICE, bank_account, date, cents, ref, f"TED {ref}")]
    # Three card sales with fees, settled net under the sale's NSU, paid out by the bank.
    for i in range(3):
        gross = rng.randrange(4500, 189000)
        fee = -max(1, round(gross * 0.0249))
        nsu = f"NSU-{tag}{i}"
        out += [e("sales", store, card_account, date, gross, nsu, f"Venda cartão {nsu}",
                  [books.fee(fee)]),
                e("settlement", store, card_account, date, gross + fee, nsu,
                  f"Liquidação {nsu}"),
                e("bank", HEAD_OFFICE, card_account, date, gross + fee, nsu,
                  f"Crédito adquirente {nsu}")]
    kind = rng.randrange(10)
    cents = rng.randrange(10000, 500000)
    if kind == 0:  # short payment
        ref = f"NF-{tag}s"
        out += [e("erp", store, bank_account, date, cents, ref, f"Recebimento {ref}"),
                e("bank", HEAD_OFFICE, bank_account, date, cents - 1000, ref, f"TED {ref}")]
    elif kind == 1:  # paid a day late
        ref = f"NF-{tag}l"
        out += [e("erp", store, bank_account, date, cents, ref, f"Recebimento {ref}"),
                e("bank", HEAD_OFFICE, bank_account, next_day, cents, ref, f"TED {ref}")]
    elif kind == 2:  # one deposit for two invoices
        other = rng.randrange(10000, 500000)
        out += [e("erp", store, bank_account, date, cents, f"NF-{tag}a", "Recebimento parcial"),
                e("erp", store, bank_account, date, other, f"NF-{tag}b", "Recebimento parcial"),
                e("bank", HEAD_OFFICE, bank_account, date, cents + other, f"DEP-{tag}",
                  "Depósito")]
    elif kind == 3:  # PIX: the receipt has no reference
        out += [e("erp", store, bank_account, date, cents, None, f"PIX {customer}"),
                e("bank", HEAD_OFFICE, bank_account, date, cents, f"PIX-{tag}", "PIX recebido")]
    elif kind == 4:  # supplier payment: never a candidate
        out += [e("erp", store, bank_account, date, -cents, f"PG-{tag}", "Pagamento fornecedor"),
                e("bank", HEAD_OFFICE, bank_account, date, -cents, f"PG-{tag}",
                  "Pagamento fornecedor")]
    elif kind == 5:  # an invoice number entered twice
        ref = f"NF-{tag}d"
        out += [e("erp", store, bank_account, date, cents, ref, "Recebimento"),
                e("erp", store, bank_account, date, cents, ref, "Recebimento (duplicado)"),
                e("bank", HEAD_OFFICE, bank_account, next_day, cents, ref, f"TED {ref}")]
    elif kind == 6:  # a sale without its fees, a sale with a reversal
        out += [e("sales", store, card_account, date, cents, f"NSU-{tag}n", "Venda sem taxa"),
                e("sales", store, card_account, date, cents, f"NSU-{tag}r", "Venda estornada",
                  [books.fee(-cents, "reversal")])]
    elif kind == 7:  # bank charges, no counterpart
        out += [e("bank", HEAD_OFFICE, bank_account, date, -rng.randrange(100, 5000), None,
                  "Tarifa bancária")]
    else:  # a receipt the bank has not seen yet
        out += [e("erp", store, bank_account, date, cents, f"NF-{tag}o", f"=SUM(A1:A9) {customer}")]


def manifest(run_id):
    digests = sorted((s, f) for s, f, _ in SOURCES.values())
    return {"version": 1, "runId": run_id, "root": ROOT,
            "window": {"from": DAYS[0], "to": DAYS[-1]},
            "inputDigests": [{"sourceId": s, "fileId": f,
                              "sha256": hashlib.sha256(f.encode()).hexdigest()}
                             for s, f in digests],
            "mappingVersion": "sha256:" + "1" * 64, "ruleVersion": "sha256:" + "2" * 64,
            "engineVersion": "2.0.0"}


def session_lines(run_id, entries):
    nonce = hashlib.sha256(run_id.encode()).hexdigest()[:32]
    lines = [json.dumps({"version": 1, "kind": "start", "nonce": nonce,
                         "manifest": manifest(run_id)}, ensure_ascii=False,
                        separators=(",", ":"))]
    batch = []
    size = 0

    def flush():
        if batch:
            lines.append(json.dumps({"version": 1, "kind": "entries", "nonce": nonce,
                                     "entries": batch}, ensure_ascii=False,
                                    separators=(",", ":")))

    for entry in entries:
        text = json.dumps(entry, ensure_ascii=False, separators=(",", ":"))
        if len(batch) == MAX_BATCH or size + len(text.encode()) + 200 > MAX_LINE:
            flush()
            batch, size = [], 0
        batch.append(entry)
        size += len(text.encode()) + 1
    flush()
    lines.append(json.dumps({"version": 1, "kind": "execute", "nonce": nonce},
                            separators=(",", ":")))
    return "".join(line + "\n" for line in lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--entries", type=int, default=3000)
    parser.add_argument("--worker")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--leave-out", type=int, default=-1)
    args = parser.parse_args()
    books = Books(args.seed)
    per_store = 31 * 13
    stores = max(1, round(args.entries / per_store))
    runs = []
    current = []
    for number in range(2, stores + 2):
        store = establishment(number)
        block = []
        for day_index in range(len(DAYS)):
            store_day(books, block, number, store, f"1.1.1.{number:03d}", f"1.1.2.{number:03d}",
                      day_index)
        if current and len(current) + len(block) > RUN_ENTRIES:
            runs.append(current)
            current = []
        current += block
    if current:
        runs.append(current)

    os.makedirs(os.path.join(args.out, "sessions"), exist_ok=True)
    os.makedirs(os.path.join(args.out, "outputs"), exist_ok=True)
    plan_runs = []
    for index, entries in enumerate(runs):
        run_id = f"{MONTH}-run{index + 1:03d}"
        session = session_lines(run_id, entries)
        path = os.path.join(args.out, "sessions", run_id + ".ndjson")
        with open(path, "w", encoding="utf-8") as f:
            f.write(session)
        plan_runs.append({"runId": run_id, "session": f"sessions/{run_id}.ndjson",
                          "entries": len(entries), "bytes": len(session.encode()),
                          "frames": session.count("\n"),
                          "accounts": sorted({e["accountId"] for e in entries}),
                          "firstDate": min(e["date"] for e in entries),
                          "lastDate": max(e["date"] for e in entries), "bounds": {}})
        if args.worker and index != args.leave_out:
            out = os.path.join(args.out, "outputs", run_id)
            with open(path, "rb") as stdin, open(out + ".out", "wb") as stdout:
                status = subprocess.run([args.worker, "--c5", "--execution-fence",
                                         out + ".fence"], stdin=stdin, stdout=stdout).returncode
            os.remove(out + ".fence")
            with open(out + ".json", "w") as f:
                json.dump({"runId": run_id, "exitStatus": status}, f)
    plan = {"version": 1, "engineVersion": "2.0.0", "period": {"from": DAYS[0], "to": DAYS[-1]},
            "runs": plan_runs, "slicedCells": [], "separatedPairs": [], "unplannable": [],
            "totals": {"entries": sum(len(r) for r in runs), "runs": len(runs)}}
    with open(os.path.join(args.out, "plan.json"), "w") as f:
        json.dump(plan, f, sort_keys=True, separators=(",", ":"))
    print(f"{sum(len(r) for r in runs)} entries in {len(runs)} runs", file=sys.stderr)


if __name__ == "__main__":
    main()
