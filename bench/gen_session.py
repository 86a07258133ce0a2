#!/usr/bin/env python3
"""Writes a realistic session input of a given number of entries, deterministically from a seed.

One company closes one month. Its head office receives wholesale payments on its bank account;
each store sells over card terminals, and the acquirer settles the sales net of its fee and pays
them out to the store's card account. Every store-day gives the same kinds of lines as the
example month-end session (examples/make_session.py), so a larger session has more stores, not
different data:

  * ERP receipts and bank credits with the same invoice number, amount and day (allocations);
  * card sales with a fee component, their settlements and the acquirer's payouts, one per sale
    or one batch per Friday (a composition);
  * near misses: short payments, payments booked a day late, deposits bundling two invoices, a
    credit without a memo, a settlement whose fee was rounded differently;
  * lines that match nothing: bank charges, charged-back sales, a duplicated invoice number.

Entries are about 370 bytes of JSON. Frames hold at most 200 entries and at most 65536 bytes (line
feed included); the whole session must stay within 256 frames and 4194304 bytes, which the
script checks before writing anything.

Usage: gen_session.py --entries N [--seed S] [--output FILE]   (standard library only)
"""

import argparse
import json
import random
import os
import sys

# The entry shapes, company, calendar and check digits are those of the example session.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from make_session import (  # noqa: E402
    CUSTOMERS, ROOT, YEAR_MONTH, business_days, check_digit, entry)
from make_session import manifest as example_manifest  # noqa: E402

MAX_LINE_BYTES = 65536  # line feed included
MAX_BATCH_ENTRIES = 200
MAX_FRAMES = 256
MAX_SESSION_BYTES = 4194304
MAX_ENTRIES = 10000

# (sourceId, fileId): one export per source for the whole company; sheets name the store.
BANK = ("bank-main", "bank-main-2024-05.ofx")
ACQUIRER = ("card-acquirer", "settlement-2024-05.csv")
ERP = ("erp-ledger", "erp-receipts-2024-05.xlsx")
POS = ("pos-sales", "pos-sales-2024-05.xlsx")


def establishment(branch_number):
    code = ROOT + f"{branch_number:04d}"
    code += check_digit(code, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    code += check_digit(code, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return code


class Rows:
    """Row numbers per input file and sheet, so every line has its own provenance."""

    def __init__(self):
        self.next = {}

    def origin(self, source, sheet):
        key = (source[1], sheet)
        row = self.next.get(key, 2)  # row 1 holds the column titles
        self.next[key] = row + 1
        return {"sourceId": source[0], "fileId": source[1], "sheet": sheet, "row": row}


class Store:
    """One establishment: its own bank account for wholesale receipts and a card account."""

    def __init__(self, number):
        self.number = number
        self.code = establishment(number)
        self.bank_account = f"1.1.1.{number + 1:02d}"
        self.card_account = f"1.1.2.{number + 6:02d}"
        self.sheet = f"Store-{number:02d}"


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.rows = Rows()
        self.entries = []
        self.invoice = 41200
        self.nsu = 770100
        self.erp_count = 0
        self.bank_count = 0

    def erp(self, store, date, cents, ref, customer, note="Receipt"):
        self.erp_count += 1
        self.entries.append(entry(f"erp-{YEAR_MONTH}-{self.erp_count:05d}", "erp", store.code,
                                  store.bank_account, date, cents, ref,
                                  f"{note} {ref} {customer}", self.rows.origin(ERP, store.sheet)))

    def bank(self, store, date, cents, ref, memo, account):
        self.bank_count += 1
        self.entries.append(entry(f"bank-{date.replace('-', '')}-{self.bank_count:05d}", "bank",
                                  store.code, account, date, cents, ref, memo,
                                  self.rows.origin(BANK, None)))

    def next_invoice(self):
        self.invoice += 1
        return f"NF-2024-{self.invoice:05d}"

    def card_sale(self, store, date, gross, fee, extra_components=(), note="credit 1x"):
        self.nsu += 1
        ref = f"NSU-{self.nsu:06d}"
        components = [{"kind": "fee", "cents": str(fee),
                       "origin": self.rows.origin(ACQUIRER, None)}]
        components += [dict(c, origin=self.rows.origin(ACQUIRER, None)) for c in extra_components]
        self.entries.append(entry(f"pos-{date.replace('-', '')}-{self.nsu:06d}", "sales",
                                  store.code, store.card_account, date, gross, ref,
                                  f"Card sale POS-{store.number:02d} {ref} {note}",
                                  self.rows.origin(POS, store.sheet), components))
        return ref

    def store_day(self, store, days, index):
        rng = self.rng
        date = days[index]

        # Wholesale receipts paid in full, the invoice number in the transfer memo.
        for _ in range(3):
            ref = self.next_invoice()
            customer = rng.choice(CUSTOMERS)
            cents = rng.randrange(85000, 2400000)
            self.erp(store, date, cents, ref, customer)
            self.bank(store, date, cents, ref, f"TED {ref} {customer.upper()}", store.bank_account)

        # Card sales with the acquirer's fee, settled net on the same day.
        settled = []
        for sale in range(4):
            gross = rng.randrange(4500, 189000)
            fee = -max(1, round(gross * 0.0249))
            ref = self.card_sale(store, date, gross, fee)
            net = gross + fee
            if sale == 0 and rng.random() < 0.05:
                net -= 1  # the acquirer rounded its fee differently: held for review
            self.entries.append(entry(f"acq-{date.replace('-', '')}-{self.nsu:06d}", "settlement",
                                      store.code, store.card_account, date, net, ref,
                                      f"Settlement {ref} net of 2.49% fee",
                                      self.rows.origin(ACQUIRER, None)))
            settled.append((ref, net))

        # Acquirer payouts: one per sale, or one batch for the whole day on Fridays.
        if index % 5 == 4:
            batch = f"ACQ-BATCH-{store.number:02d}-{date.replace('-', '')}"
            self.bank(store, date, sum(net for _, net in settled), batch,
                      f"Acquirer payout {batch} {len(settled)} sales", store.card_account)
        else:
            for ref, net in settled:
                self.bank(store, date, net, ref, f"Acquirer payout {ref}", store.card_account)

        # Bank charges match nothing and stay open.
        if index % 3 == 0:
            self.bank(store, date, -rng.choice([890, 1290, 1590]), "TARIFA-PACOTE",
                      "Service charge package", store.bank_account)

        # At most one near miss or stray line a store-day, as a reviewer would meet them.
        kind = rng.randrange(10)
        if kind == 0:  # short payment
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Litoral Building Supplies")
            self.bank(store, date, cents - rng.randrange(100, 5000), ref,
                      f"TED {ref} LITORAL BUILDING short paid", store.bank_account)
        elif kind == 1 and index + 1 < len(days):  # booked by the bank a day late
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Pampa Agro Cooperative")
            self.bank(store, days[index + 1], cents, ref, f"TED {ref} PAMPA AGRO booked next day",
                      store.bank_account)
        elif kind == 2:  # a cash deposit paying two invoices
            first, second = self.next_invoice(), self.next_invoice()
            a, b = rng.randrange(20000, 90000), rng.randrange(20000, 90000)
            self.erp(store, date, a, first, "Vale do Sol Restaurants")
            self.erp(store, date, b, second, "Vale do Sol Restaurants")
            deposit = f"DEP-{store.number:02d}{date[5:7]}{date[8:10]}-01"
            self.bank(store, date, a + b, deposit, f"Cash deposit {deposit} two invoices Vale do Sol",
                      store.bank_account)
        elif kind == 3:  # a credit without a memo
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Blue River Pharmacies")
            self.bank(store, date, cents, None,
                      "PIX credit without memo, payer f***@blueriver.example", store.bank_account)
        elif kind == 4:  # a sale charged back by the cardholder: never settled
            gross = rng.randrange(4500, 189000)
            self.card_sale(store, date, gross, -max(1, round(gross * 0.0249)),
                           [{"kind": "reversal", "cents": str(-gross)}], "charged back")
        elif kind == 5:  # the same invoice number keyed twice in the ERP
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Central Office Furniture")
            self.erp(store, date, cents, ref, "Central Office Furniture", "Duplicate receipt")
            self.bank(store, date, cents, ref, f"TED {ref} CENTRAL OFFICE FURNITURE",
                      store.bank_account)


def make_entries(count, seed):
    generator = Generator(seed)
    days = business_days()
    store_number = 1
    while len(generator.entries) < count:
        store = Store(store_number)
        for index in range(len(days)):
            generator.store_day(store, days, index)
            if len(generator.entries) >= count:
                break
        store_number += 1
    entries = generator.entries[:count]
    # The host sends entries in file order; the result does not depend on it.
    generator.rng.shuffle(entries)
    return entries


def manifest(run_id):
    return example_manifest(run_id, (BANK, ACQUIRER, ERP, POS))


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def session_lines(count, seed):
    nonce = f"bench-{count:05d}-seed-{seed:08d}"
    lines = [compact({"version": 1, "kind": "start", "nonce": nonce,
                      "manifest": manifest(f"bench-{count}-{seed}")}) + "\n"]
    head = compact({"version": 1, "kind": "entries", "nonce": nonce})[:-1] + ',"entries":['
    tail = "]}\n"

    # Cuts the entries into frames of at most 200 entries and at most 65536 bytes.
    batch, batch_bytes = [], len(head.encode()) + len(tail)
    for value in make_entries(count, seed):
        text = compact(value)
        size = len(text.encode()) + (1 if batch else 0)  # the separating comma
        if batch and (len(batch) == MAX_BATCH_ENTRIES or batch_bytes + size > MAX_LINE_BYTES):
            lines.append(head + ",".join(batch) + tail)
            batch, batch_bytes = [], len(head.encode()) + len(tail)
            size -= 1
        batch.append(text)
        batch_bytes += size
    if batch:
        lines.append(head + ",".join(batch) + tail)
    lines.append(compact({"version": 1, "kind": "execute", "nonce": nonce}) + "\n")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--output", default="-")
    args = parser.parse_args()
    if not 0 < args.entries <= MAX_ENTRIES:
        parser.error(f"--entries must be 1 to {MAX_ENTRIES}")

    lines = session_lines(args.entries, args.seed)
    data = "".join(lines).encode()
    longest = max(len(line.encode()) for line in lines)
    if longest > MAX_LINE_BYTES or len(lines) > MAX_FRAMES or len(data) > MAX_SESSION_BYTES:
        sys.exit(f"gen_session: {len(lines)} frames, {len(data)} bytes, longest line "
                 f"{longest} bytes: beyond the session limits")
    if args.output == "-":
        sys.stdout.buffer.write(data)
    else:
        with open(args.output, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
