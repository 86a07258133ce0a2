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

Texts are written as a Brazilian company's books hold them: Portuguese accents, quoted trade
names, a backslash in a bank memo, now and then an emoji; a share of the rows is written as
integral floats (941.0), as rows that went through a spreadsheet or a data-frame library are.

--style chooses how the host writes its frames (the entries are the same in every style):
  plain           compact, texts folded to plain ASCII, every row an integer literal: the
                  baseline the other styles are measured against
  python-default  as Python's json.dumps writes by default: a space after "," and ":", every
                  non-ASCII character as \\uXXXX
  ascii-escaped   compact, every non-ASCII character as \\uXXXX
  utf8-compact    compact, texts as raw UTF-8
  reordered-crlf  compact raw UTF-8, the members of every object in reverse order, lines ended
                  by carriage return and line feed

Entries are about 330 to 410 bytes of JSON, depending on the style. Frames hold at most 200
entries and at most 65536 bytes (line end included); the whole session must stay within 256
frames and 4194304 bytes, which the script checks before writing anything.

Usage: gen_session.py --entries N [--seed S] [--style STYLE] [--output FILE]
(standard library only)
"""

import argparse
import json
import os
import random
import sys
import unicodedata

# The entry shapes, company, calendar and check digits are those of the example session.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from make_session import (  # noqa: E402
    ROOT, YEAR_MONTH, business_days, check_digit, entry)
from make_session import manifest as example_manifest  # noqa: E402

MAX_LINE_BYTES = 65536  # line feed included
MAX_BATCH_ENTRIES = 200
MAX_FRAMES = 256
MAX_SESSION_BYTES = 4194304
MAX_ENTRIES = 10000
STYLES = ("plain", "python-default", "ascii-escaped", "utf8-compact", "reordered-crlf")

CUSTOMERS = [
    "Atacadão São João", "Distribuidora Irmãos Conceição", "Supermercados Serra Verde",
    "Farmácias \"Rio Azul\"", "Campos & Filhos Comércio", "Materiais Litoral",
    "Cooperativa Agro Pampa", "Móveis Escritório Central", "Restaurantes Vale do Sol",
    "Autopeças Horizonte", "Padaria Pão Dourado", "Açougue D'Ávila",
]

# (sourceId, fileId): one export per source for the whole company; sheets name the store.
BANK = ("bank-main", "bank-main-2024-05.ofx")
ACQUIRER = ("card-acquirer", "settlement-2024-05.csv")
ERP = ("erp-ledger", "erp-2024-05.xlsx")
POS = ("pos-sales", "pos-2024-05.xlsx")


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
        # Rows of the acquirer's report pass through a data-frame library: some come out as floats.
        if source == ACQUIRER and row % 5 == 0:
            row = float(row)
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

    def erp(self, store, date, cents, ref, customer, note="Recebimento"):
        self.erp_count += 1
        self.entries.append(entry(f"erp-{YEAR_MONTH}-{self.erp_count:05d}", "erp", store.code,
                                  store.bank_account, date, cents, ref,
                                  f"{note} {ref} – {customer}", self.rows.origin(ERP, store.sheet)))

    def bank(self, store, date, cents, ref, memo, account):
        self.bank_count += 1
        self.entries.append(entry(f"bank-{date.replace('-', '')}-{self.bank_count:05d}", "bank",
                                  store.code, account, date, cents, ref, memo,
                                  self.rows.origin(BANK, None)))

    def next_invoice(self):
        self.invoice += 1
        return f"NF-2024-{self.invoice:05d}"

    def card_sale(self, store, date, gross, fee, extra_components=(), note="crédito 1x"):
        self.nsu += 1
        ref = f"NSU-{self.nsu:06d}"
        components = [{"kind": "fee", "cents": str(fee),
                       "origin": self.rows.origin(ACQUIRER, None)}]
        components += [dict(c, origin=self.rows.origin(ACQUIRER, None)) for c in extra_components]
        self.entries.append(entry(f"pos-{date.replace('-', '')}-{self.nsu:06d}", "sales",
                                  store.code, store.card_account, date, gross, ref,
                                  f"Venda cartão POS-{store.number:02d} {ref} {note}",
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
            note = "crédito 1x 🛒" if self.nsu % 40 == 0 else "crédito 1x"
            ref = self.card_sale(store, date, gross, fee, note=note)
            net = gross + fee
            if sale == 0 and rng.random() < 0.05:
                net -= 1  # the acquirer rounded its fee differently: held for review
            self.entries.append(entry(f"acq-{date.replace('-', '')}-{self.nsu:06d}", "settlement",
                                      store.code, store.card_account, date, net, ref,
                                      f"Liquidação {ref} líquida, taxa 2,49%",
                                      self.rows.origin(ACQUIRER, None)))
            settled.append((ref, net))

        # Acquirer payouts: one per sale, or one batch for the whole day on Fridays.
        if index % 5 == 4:
            batch = f"ACQ-BATCH-{store.number:02d}-{date.replace('-', '')}"
            self.bank(store, date, sum(net for _, net in settled), batch,
                      f"Repasse {batch} – {len(settled)} vendas", store.card_account)
        else:
            for ref, net in settled:
                self.bank(store, date, net, ref, f"Repasse adquirente {ref}", store.card_account)

        # Bank charges match nothing and stay open.
        if index % 3 == 0:
            self.bank(store, date, -rng.choice([890, 1290, 1590]), "TARIFA-PACOTE",
                      "Tarifa \\ pacote de serviços", store.bank_account)

        # At most one near miss or stray line a store-day, as a reviewer would meet them.
        kind = rng.randrange(10)
        if kind == 0:  # short payment
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Materiais Litoral")
            self.bank(store, date, cents - rng.randrange(100, 5000), ref,
                      f"TED {ref} MATERIAIS LITORAL pago a menor", store.bank_account)
        elif kind == 1 and index + 1 < len(days):  # booked by the bank a day late
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Cooperativa Agro Pampa")
            self.bank(store, days[index + 1], cents, ref, f"TED {ref} AGRO PAMPA lançado D+1",
                      store.bank_account)
        elif kind == 2:  # a cash deposit paying two invoices
            first, second = self.next_invoice(), self.next_invoice()
            a, b = rng.randrange(20000, 90000), rng.randrange(20000, 90000)
            self.erp(store, date, a, first, "Restaurantes Vale do Sol")
            self.erp(store, date, b, second, "Restaurantes Vale do Sol")
            deposit = f"DEP-{store.number:02d}{date[5:7]}{date[8:10]}-01"
            self.bank(store, date, a + b, deposit, f"Depósito {deposit} – duas notas, \"Vale do Sol\"",
                      store.bank_account)
        elif kind == 3:  # a credit without a memo
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Farmácias \"Rio Azul\"")
            self.bank(store, date, cents, None,
                      "PIX sem identificação, pagador f***@rioazul.example", store.bank_account)
        elif kind == 4:  # a sale charged back by the cardholder: never settled
            gross = rng.randrange(4500, 189000)
            self.card_sale(store, date, gross, -max(1, round(gross * 0.0249)),
                           [{"kind": "reversal", "cents": str(-gross)}], "estornada")
        elif kind == 5:  # the same invoice number keyed twice in the ERP
            ref = self.next_invoice()
            cents = rng.randrange(85000, 900000)
            self.erp(store, date, cents, ref, "Móveis Escritório Central")
            self.erp(store, date, cents, ref, "Móveis Escritório Central",
                     "Recebimento duplicado")
            self.bank(store, date, cents, ref, f"TED {ref} MÓVEIS ESCRITÓRIO CENTRAL",
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


def fold_to_ascii(value):
    """The plain style's value: texts without accents, quotes, backslashes or emoji; integer rows."""
    if isinstance(value, dict):
        return {k: (int(v) if k == "row" else fold_to_ascii(v)) for k, v in value.items()}
    if isinstance(value, list):
        return [fold_to_ascii(v) for v in value]
    if isinstance(value, str):
        text = value.replace("–", "-").replace('"', "'").replace("\\", "/")
        text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode()
        return text.strip()
    return value


def reversed_members(value):
    if isinstance(value, dict):
        return {k: reversed_members(v) for k, v in reversed(list(value.items()))}
    if isinstance(value, list):
        return [reversed_members(v) for v in value]
    return value


class Writer:
    """Writes values and frames as a host of the given style does."""

    def __init__(self, style):
        self.style = style
        self.line_end = "\r\n" if style == "reordered-crlf" else "\n"
        self.separator = ", " if style == "python-default" else ","

    def dumps(self, value):
        if self.style == "plain":
            value = fold_to_ascii(value)
        if self.style == "reordered-crlf":
            value = reversed_members(value)
        if self.style == "python-default":
            return json.dumps(value)
        return json.dumps(value, separators=(",", ":"),
                          ensure_ascii=self.style == "ascii-escaped")

    def frame(self, value):
        return self.dumps(value) + self.line_end

    def entries_frame_parts(self, nonce):
        """The text of an entries frame before and after the texts of its entries."""
        marker = "@entries@"
        text = self.frame({"version": 1, "kind": "entries", "nonce": nonce, "entries": marker})
        head, tail = text.split(json.dumps(marker))
        return head + "[", "]" + tail


def session_lines(count, seed, style="plain"):
    writer = Writer(style)
    nonce = f"bench-{count:05d}-seed-{seed:08d}"
    lines = [writer.frame({"version": 1, "kind": "start", "nonce": nonce,
                           "manifest": manifest(f"bench-{count}-{seed}")})]
    head, tail = writer.entries_frame_parts(nonce)
    fixed = len(head.encode()) + len(tail.encode())
    separator = len(writer.separator)

    # Cuts the entries into frames of at most 200 entries and at most 65536 bytes.
    batch, batch_bytes = [], fixed
    for value in make_entries(count, seed):
        text = writer.dumps(value)
        size = len(text.encode()) + (separator if batch else 0)
        if batch and (len(batch) == MAX_BATCH_ENTRIES or batch_bytes + size > MAX_LINE_BYTES):
            lines.append(head + writer.separator.join(batch) + tail)
            batch, batch_bytes = [], fixed
            size -= separator
        batch.append(text)
        batch_bytes += size
    if batch:
        lines.append(head + writer.separator.join(batch) + tail)
    lines.append(writer.frame({"version": 1, "kind": "execute", "nonce": nonce}))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--style", choices=STYLES, default="plain")
    parser.add_argument("--output", default="-")
    args = parser.parse_args()
    if not 0 < args.entries <= MAX_ENTRIES:
        parser.error(f"--entries must be 1 to {MAX_ENTRIES}")

    lines = session_lines(args.entries, args.seed, args.style)
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
