#!/usr/bin/env python3
"""Writes session.ndjson: one month-end reconciliation session of one company.

The company sells to wholesale customers (ERP cash receipts matched against the main bank
account) and over card terminals (point-of-sale card sales with the acquirer's fee, matched
against the acquirer's settlement report, whose payouts reach the bank). The data is made up but
shaped like real books, so the run shows every kind of outcome:

  * exact allocations: same reference, same amount, same day;
  * review holds: short payments, payments booked a day late, deposits that bundle several
    invoices, a bank credit without a memo, daily acquirer batches, fee rounding differences;
  * entries that match nothing: bank charges, a charged-back sale, a duplicated invoice number.

Entries carry descriptions and spreadsheet provenance, about 350 bytes each as JSON, so 200 of
them would not fit the 65536-byte line limit: batches are cut by bytes as well as by count.

Usage: make_session.py > session.ndjson   (standard library only; output is deterministic)
"""

import hashlib
import json
import random
import sys

MAX_LINE_BYTES = 65536  # line feed included
MAX_BATCH_ENTRIES = 200

ROOT = "7K2M9Q4B"
NONCE = "host-2024-05-close-7f3a9c"
YEAR_MONTH = "2024-05"
HOLIDAYS = {"2024-05-01", "2024-05-30"}

BANK_ACCOUNT = "1.1.1.02"  # main bank account in the chart of accounts
CARD_ACCOUNT = "1.1.2.07"  # card receivables

# (sourceId, fileId, sheet) of each input file; the manifest lists them in (sourceId, fileId) order.
BANK = ("bank-main", "bank-main-2024-05.ofx", None)
ACQUIRER = ("card-acquirer", "settlement-2024-05.csv", None)
ERP = ("erp-ledger", "erp-receipts-2024-05.xlsx", "May-2024")
POS = ("pos-sales", "pos-sales-2024-05.xlsx", "Cards")

CUSTOMERS = [
    "Northern Wholesale Ltd", "Atlantic Food Distribution", "Serra Verde Supermarkets",
    "Blue River Pharmacies", "Campos & Filhos Comercio", "Litoral Building Supplies",
    "Pampa Agro Cooperative", "Central Office Furniture", "Vale do Sol Restaurants",
    "Horizonte Auto Parts",
]


def check_digit(text, weights):
    total = sum((ord(c) - 48) * w for c, w in zip(text, weights))
    remainder = total % 11
    return "0" if remainder < 2 else str(11 - remainder)


def establishment(branch):
    code = ROOT + branch
    code += check_digit(code, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    code += check_digit(code, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return code


HEAD_OFFICE = establishment("0001")
STORE = establishment("0002")


def business_days():
    days = []
    for day in range(1, 32):
        date = f"{YEAR_MONTH}-{day:02d}"
        weekday = (day + 1) % 7  # 2024-05-01 was a Wednesday: 0 Monday ... 6 Sunday
        if weekday < 5 and date not in HOLIDAYS:
            days.append(date)
    return days


class Rows:
    """Row numbers per input file, so every line has its own provenance."""

    def __init__(self):
        self.next = {}

    def origin(self, source):
        source_id, file_id, sheet = source
        row = self.next.get(file_id, 2)  # row 1 holds the column titles
        self.next[file_id] = row + 1
        return {"sourceId": source_id, "fileId": file_id, "sheet": sheet, "row": row}


def entry(entry_id, role, branch, account, date, cents, reference, description, origin,
          components=()):
    value = {
        "id": entry_id,
        "role": role,
        "root": ROOT,
        "establishment": branch,
        "accountId": account,
        "date": date,
        "cents": str(cents),
        "reference": reference,
        "origin": origin,
        "components": list(components),
    }
    if description is not None:
        value["description"] = description
    return value


def make_entries():
    rng = random.Random(20240531)
    rows = Rows()
    entries = []
    days = business_days()
    invoice = 41200
    nsu = 770100

    def erp(date, cents, ref, customer, note="Receipt"):
        number = sum(1 for e in entries if e["role"] == "erp") + 1
        return entry(f"erp-{YEAR_MONTH}-{number:04d}", "erp", HEAD_OFFICE, BANK_ACCOUNT,
                     date, cents, ref, f"{note} {ref} {customer}",
                     rows.origin(ERP))

    def bank(date, cents, ref, memo, account=BANK_ACCOUNT):
        number = sum(1 for e in entries if e["role"] == "bank") + 1
        return entry(f"bank-{date.replace('-', '')}-{number:04d}", "bank", HEAD_OFFICE, account,
                     date, cents, ref, memo, rows.origin(BANK))

    for index, date in enumerate(days):
        # Wholesale receipts paid in full, the invoice number in the transfer memo.
        for _ in range(3):
            invoice += 1
            ref = f"NF-2024-{invoice:05d}"
            customer = rng.choice(CUSTOMERS)
            cents = rng.randrange(85000, 2400000)
            entries.append(erp(date, cents, ref, customer))
            entries.append(bank(date, cents, ref,
                                f"TED {ref} {customer.upper()}"))

        # Card sales at the store: gross amount with the acquirer's fee, the net settled by the
        # acquirer on the same day under the terminal's transaction number.
        settled = []
        for _ in range(4):
            nsu += 1
            ref = f"NSU-{nsu:06d}"
            gross = rng.randrange(4500, 189000)
            fee = -max(1, round(gross * 0.0249))
            fee_origin = rows.origin(ACQUIRER)
            sale = entry(f"pos-{date.replace('-', '')}-{nsu:06d}", "sales", STORE, CARD_ACCOUNT,
                         date, gross, ref, f"Card sale POS-07 {ref} credit 1x",
                         rows.origin(POS),
                         [{"kind": "fee", "cents": str(fee), "origin": fee_origin}])
            net = gross + fee
            if index == 6 and not settled:
                net -= 1  # the acquirer rounded its fee differently: held for review
            settlement = entry(f"acq-{date.replace('-', '')}-{nsu:06d}", "settlement", STORE,
                               CARD_ACCOUNT, date, net, ref,
                               f"Settlement {ref} net of 2.49% fee",
                               rows.origin(ACQUIRER))
            entries += [sale, settlement]
            settled.append((ref, net))

        # Acquirer payouts: one credit per transaction on most days; on Fridays one batch
        # credit for the whole day, which only a reviewer can accept.
        if index % 5 == 4:
            total = sum(net for _, net in settled)
            batch = f"ACQ-BATCH-{date.replace('-', '')}"
            entries.append(bank(date, total, batch,
                                f"Acquirer payout {batch} {len(settled)} sales",
                                CARD_ACCOUNT))
        else:
            for ref, net in settled:
                entries.append(bank(date, net, ref, f"Acquirer payout {ref}",
                                    CARD_ACCOUNT))

        # Monthly and daily bank charges: they match nothing and stay open.
        if index % 3 == 0:
            entries.append(bank(date, -rng.choice([890, 1290, 1590]), "TARIFA-PACOTE",
                                "Service charge package"))

    # Outcomes that need a reviewer.
    d = days
    invoice += 1
    short = f"NF-2024-{invoice:05d}"
    entries.append(erp(d[3], 125000, short, "Litoral Building Supplies"))
    entries.append(bank(d[3], 123750, short, f"TED {short} LITORAL BUILDING short paid"))

    invoice += 1
    late = f"NF-2024-{invoice:05d}"
    entries.append(erp(d[8], 318040, late, "Pampa Agro Cooperative"))
    entries.append(bank(d[9], 318040, late, f"TED {late} PAMPA AGRO booked next day"))

    first, second = f"NF-2024-{invoice + 1:05d}", f"NF-2024-{invoice + 2:05d}"
    invoice += 2
    entries.append(erp(d[12], 80000, first, "Vale do Sol Restaurants"))
    entries.append(erp(d[12], 45000, second, "Vale do Sol Restaurants"))
    entries.append(bank(d[12], 125000, "DEP-0517-01",
                        "Cash deposit DEP-0517-01 two invoices Vale do Sol"))

    invoice += 1
    no_memo = f"NF-2024-{invoice:05d}"
    entries.append(erp(d[15], 276315, no_memo, "Blue River Pharmacies"))
    entries.append(bank(d[15], 276315, None, "PIX credit without memo, payer f***@blueriver.example"))

    # A sale charged back by the cardholder: not settled, stays open.
    nsu += 1
    chargeback = f"NSU-{nsu:06d}"
    entries.append(entry(f"pos-{d[10].replace('-', '')}-{nsu:06d}", "sales", STORE, CARD_ACCOUNT,
                         d[10], 56990, chargeback,
                         f"Card sale POS-07 {chargeback} charged back", rows.origin(POS),
                         [{"kind": "fee", "cents": "-1419", "origin": rows.origin(ACQUIRER)},
                          {"kind": "reversal", "cents": "-56990",
                           "origin": rows.origin(ACQUIRER)}]))

    # The same invoice number keyed twice in the ERP: the reference no longer decides.
    invoice += 1
    twice = f"NF-2024-{invoice:05d}"
    entries.append(erp(d[18], 99900, twice, "Central Office Furniture"))
    entries.append(erp(d[18], 99900, twice, "Central Office Furniture", "Duplicate receipt"))
    entries.append(bank(d[18], 99900, twice, f"TED {twice} CENTRAL OFFICE FURNITURE"))

    # The host sends entries in file order; the result does not depend on it.
    rng.shuffle(entries)
    return entries


def manifest(run_id="close-2024-05-7K2M9Q4B", sources=(BANK, ACQUIRER, ERP, POS)):
    """The run manifest: one digest per (sourceId, fileId) of `sources`, in ascending order."""
    digests = []
    for source_id, file_id in sorted({(source[0], source[1]) for source in sources}):
        digest = hashlib.sha256(f"{source_id}/{file_id}".encode()).hexdigest()
        digests.append({"sourceId": source_id, "fileId": file_id, "sha256": digest})
    return {
        "version": 1,
        "runId": run_id,
        "root": ROOT,
        "window": {"from": "2024-05-01", "to": "2024-05-31"},
        "inputDigests": digests,
        "mappingVersion": "sha256:" + hashlib.sha256(b"mapping 2024.2").hexdigest(),
        "ruleVersion": "sha256:" + hashlib.sha256(b"rules 2024.5").hexdigest(),
        "engineVersion": "1.4.2+build.7",
    }


def frame_line(frame):
    return json.dumps(frame, ensure_ascii=False, separators=(",", ":")) + "\n"


def entries_line(batch):
    return frame_line({"version": 1, "kind": "entries", "nonce": NONCE, "entries": batch})


def batches(entries):
    """Cuts the entries into frames of at most 200 entries and at most 65536 bytes."""
    batch = []
    for value in entries:
        candidate = batch + [value]
        too_long = len(entries_line(candidate).encode()) > MAX_LINE_BYTES
        if batch and (len(candidate) > MAX_BATCH_ENTRIES or too_long):
            yield batch
            batch = [value]
        else:
            batch = candidate
    if batch:
        yield batch


def main():
    lines = [frame_line({"version": 1, "kind": "start", "nonce": NONCE, "manifest": manifest()})]
    for batch in batches(make_entries()):
        line = entries_line(batch)
        assert len(line.encode()) <= MAX_LINE_BYTES
        lines.append(line)
    lines.append(frame_line({"version": 1, "kind": "execute", "nonce": NONCE}))
    sys.stdout.buffer.write("".join(lines).encode())


if __name__ == "__main__":
    main()
