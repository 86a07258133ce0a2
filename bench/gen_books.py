#!/usr/bin/env python3
"""Writes one company's books for a month or a year, as a host exports them for planning.

A retailer with three stores (one company root, three establishments) closes its books. What the
host has mapped from its sources is written as ledger entries, one a line:

  * the ERP ledger: customer receipts by invoice, supplier payments (negative), cash deposits of
    each store and the month's bank charges, all on the main bank account;
  * three point-of-sale exports (one a store): card sales, each with its acquirer's fees as
    negative components (discount rate plus an advance or per-transaction fee; one advance fee an
    instalment for instalment sales), cancelled sales carrying a reversal, now and then a sale
    keyed without its transaction number or exported twice;
  * the card acquirer's settlement report: one line a settled sale on the sale's date, net of
    fees, sometimes a cent off, and cancellations of settled sales as negative lines;
  * the main bank statement: boleto and transfer receipts (some late, short, mistyped, without
    reference, or one transfer paying several invoices), supplier payments, charges, deposits;
  * three acquirer-account statements, one a store: payouts a sale or one batch a day for debit
    cards, on the next business day for weekend sales, cancellations and chargebacks, the
    terminals' rent.

Every store's card receivables account holds its sales, settlements and payouts, so the three
stages all find work within one account: erp-bank on the main account, sales-settlement and
settlement-bank on each card account. Black Friday brings several hundred card sales a store;
the deposits and bank charges carry one reference the whole month.

Profiles:
  realistic  the books above; --entries scales every volume (default: about 30,000 a month)
  quiet      the same kinds of lines at a few a store-day, so that no cell of any stage passes
             an engine bound; --entries adds stores (three to a bank account), not busier days
  tiny       one store at a couple of lines a day, a few hundred entries: for unit tests

Output (--out DIR): entries.jsonl (entries.json with --format array) and template.json, a run
manifest without "runId" (the planner names its runs; its run-identifier prefix member, when the
planner fixes one, is added with --run-id-prefix) whose window is the period and whose
inputDigests list every file the entries and their components come from. --sessions DIR also cuts
the books, account by account and whole days at a time, into session inputs within the
session's limits, for checking the entries with the worker before a plan exists.

Usage: gen_books.py --out DIR [--month YYYY-MM | --year YYYY] [--entries N] [--seed S]
                    [--profile realistic|quiet|tiny] [--format jsonl|array] [--stats]
                    [--engine-version V] [--run-id-prefix P] [--sessions DIR]
(standard library only; the same arguments always give the same bytes)
"""

import argparse
import datetime
import functools
import hashlib
import json
import math
import os
import random
import sys
from json.encoder import encode_basestring as json_text

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
# The company root, the check digits, the entry's shape and the session frames are the example's.
from gen_session import Writer, establishment  # noqa: E402
from make_session import ROOT, entry  # noqa: E402

DEFAULT_MONTH = "2026-11"
SESSION_BYTES = 4194304
SESSION_FRAMES = 256
SESSION_ENTRIES = 10000
FRAME_BYTES = 65536
FRAME_ENTRIES = 200
MAX_CELL_SIDE = 256
MAX_CELL_WORK = 1024

MAIN_ACCOUNT = "1.1.1.02"
STORE_NAMES = ["Loja Centro", "Loja Savassi", "Loja São Pedro"]
CUSTOMERS = [
    "Padaria São João", "Restaurante Sabor & Arte", "Lanchonete Três Irmãos", "Hotel Ouro Preto",
    "Cantina D'Ávila", "Buffet \"Festa Boa\"", "Açaí da Praça", "Café Colonial Itaúna",
    "Pizzaria Bella Nápoli", "Mercearia Conceição", "Escola Municipal João XXIII",
    "Clínica Bem-Estar", "Confeitaria Doce Lembrança", "Bar do Zé — Pampulha",
]
SUPPLIERS = [
    "Moinho Serra Azul S.A.", "Laticínios Vale Verde", "Distribuidora Água Limpa",
    "Embalagens Paraná", "Frigorífico Boa Carne", "Hortifrúti Cerrado", "Energia Minas (conta de luz)",
    "Imobiliária Horizonte — aluguel", "Café Torrado Sul de Minas", "Transportadora Rápido Ltda",
]

# Profile volumes at scale 1: card sales a store-day (before weekday and season), per store
# factor, and main-account events a business day (per bank account in the quiet profiles).
PROFILES = {
    "realistic": {"sales": 122.0, "store_factor": (1.0, 0.8, 0.6), "receipts": 44.0,
                  "bundles": 3.0, "suppliers": 12.0, "black_friday": 3.2, "season": 1.0,
                  "quiet": False, "fill": 1.0},
    "quiet": {"sales": 3.5, "store_factor": (1.0, 0.9, 0.8), "receipts": 1.6, "bundles": 0.3,
              "suppliers": 1.0, "black_friday": 1.5, "season": 0.25, "quiet": True,
              "fill": 0.84},
    "tiny": {"sales": 2.0, "store_factor": (1.0,), "receipts": 1.2, "bundles": 0.3,
             "suppliers": 1.0, "black_friday": 1.5, "season": 0.25, "quiet": True,
             "fill": 1.0},
}
# Quiet books keep every date cell within the composition search's step bound by construction.
# The search spends at most 2^(p+1)-1 steps on one target over p positive candidates, and about
# 2^p more for each candidate without a positive amount, so a quiet day holds on one account at
# most QUIET_POSITIVE candidates of either stage's left side with a reference, one more that is
# not positive, and few enough targets: card sales a store-day (settled on the next business day
# when the bank is closed, so a bank day can collect five days' payouts), customer receipts with
# a reference in the ERP a day, and one cancellation or repeated export row a store-day.
QUIET_POSITIVE = 4
QUIET_CLOSED_DAY_SALES = 2
WEEKDAY_FACTOR = (0.85, 0.85, 0.9, 0.95, 1.15, 1.35, 0.6)  # Monday first
# Entries a sale and a main-account business day bring on average (measured; used to scale).
ENTRIES_PER_SALE = 2.55
ENTRIES_PER_RECEIPT = 2.03
ENTRIES_PER_BUNDLE = 4.0
ENTRIES_PER_SUPPLIER = 2.0


# ---------------------------------------------------------------------------------------------
# Calendar: Brazilian national holidays, banks closed on weekends and holidays.

def easter(year):
    a, b, c = year % 19, year // 100, year % 100
    d, e = b // 4, b % 4
    g = (8 * b + 13) // 25
    h = (19 * a + b - d - g + 15) % 30
    i, k = c // 4, c % 4
    l = (32 + 2 * e + 2 * i - h - k) % 7
    m = (a + 11 * h + 22 * l) // 451
    month = (h + l - 7 * m + 114) // 31
    day = (h + l - 7 * m + 114) % 31 + 1
    return datetime.date(year, month, day)


def holidays(year):
    fixed = [(1, 1), (4, 21), (5, 1), (9, 7), (10, 12), (11, 2), (11, 15), (11, 20), (12, 25)]
    days = {datetime.date(year, m, d) for m, d in fixed}
    e = easter(year)
    for offset in (-48, -47, -2, 60):  # carnival Monday and Tuesday, Good Friday, Corpus Christi
        days.add(e + datetime.timedelta(days=offset))
    return days


def black_friday(year):
    first = datetime.date(year, 11, 1)
    thursday = first + datetime.timedelta(days=(3 - first.weekday()) % 7 + 21)
    return thursday + datetime.timedelta(days=1)


class Calendar:
    def __init__(self, first, last):
        self.first, self.last = first, last
        self.holidays = set()
        for year in range(first.year, last.year + 2):
            self.holidays |= holidays(year)

    def business(self, day):
        return day.weekday() < 5 and day not in self.holidays

    def next_business(self, day):
        while not self.business(day):
            day += datetime.timedelta(days=1)
        return day

    def days(self):
        day = self.first
        while day <= self.last:
            yield day
            day += datetime.timedelta(days=1)

    def sales_factor(self, day, profile):
        """How busy a store is on `day` against an ordinary day, 0 when closed."""
        if (day.month, day.day) in ((12, 25), (1, 1)):
            return 0.0
        factor = WEEKDAY_FACTOR[day.weekday()]
        if day in self.holidays:
            factor *= 0.7
        friday = black_friday(day.year)
        if day == friday:
            factor = profile["black_friday"]
        elif friday < day <= friday + datetime.timedelta(days=3):
            factor *= 1.6
        elif day.month == 12 and 15 <= day.day <= 24:
            factor *= 1.8 if day.day == 24 else 1.5
        return 1.0 + (factor - 1.0) * profile["season"] if day != friday else factor


# ---------------------------------------------------------------------------------------------
# Stores, accounts and the files the lines come from.

class Store:
    def __init__(self, number, consolidated, quiet):
        self.number = number
        self.code = establishment(number)
        self.name = STORE_NAMES[number - 1] if number <= len(STORE_NAMES) else f"Loja {number:04d}"
        self.card_account = f"1.1.2.{number:02d}"
        # Quiet books give every store a bank account of its own (the first store's is the main
        # account); the realistic books have three stores on the main account.
        self.bank_account = MAIN_ACCOUNT if number == 1 or (number <= 3 and not quiet) else \
            f"1.1.1.{number + 8:02d}"
        self.consolidated = consolidated
        self.recent_credit = []  # (nsu, net) of recent settled credit sales, for chargebacks


class Files:
    """Names the input file of every line and numbers its rows, one counter a file and sheet.

    Up to three stores, each store has its own point-of-sale export and acquirer-account
    statement; beyond, one export and one statement hold every store, a sheet a store or account.
    """

    def __init__(self, consolidated):
        self.consolidated = consolidated
        self.rows = {}
        self.used = set()

    def origin(self, source_id, file_id, sheet=None):
        key = (file_id, sheet)
        row = self.rows.get(key, 2)  # row 1 holds the column titles
        self.rows[key] = row + 1
        self.used.add((source_id, file_id))
        return (source_id, file_id, sheet, row)

    def erp(self, day):
        return self.origin("erp", f"razao-{day_text(day)[2]}.xlsx", "Lançamentos")

    def pos(self, store, day):
        if self.consolidated:
            return self.origin("pdv", f"vendas-{day_text(day)[2]}.xlsx", store.name)
        return self.origin(f"pdv-loja-{store.number:02d}",
                           f"vendas-loja-{store.number:02d}-{day_text(day)[2]}.csv")

    def acquirer(self, day, sheet):
        return self.origin("adquirente", f"agenda-liquidacao-{day_text(day)[2]}.xlsx", sheet)

    def main_bank(self, account, day):
        if self.consolidated:
            return self.origin("banco-principal", f"extrato-contas-{day_text(day)[2]}.csv",
                               f"Conta {account}")
        return self.origin("banco-principal", f"extrato-cc-0412-87321-5-{day_text(day)[2]}.ofx")

    def card_bank(self, store, day):
        if self.consolidated:
            return self.origin("banco-recebiveis", f"extrato-recebiveis-{day_text(day)[2]}.csv",
                               f"Conta {store.card_account}")
        return self.origin("banco-recebiveis",
                           f"extrato-recebiveis-loja-{store.number:02d}-{day_text(day)[2]}.ofx")

    def digests(self):
        """The manifest's inputDigests: every file named, ascending by (sourceId, fileId)."""
        return [{"sourceId": s, "fileId": f,
                 "sha256": hashlib.sha256(f"{f}\n{self.rows_in(f)}".encode()).hexdigest()}
                for s, f in sorted(self.used)]

    def rows_in(self, file_id):
        return sum(row - 2 for (f, _), row in self.rows.items() if f == file_id)


@functools.lru_cache(maxsize=None)
def day_text(day):
    """The day as the entries write it: 2026-11-27, 20261127 and 2026-11 (formatting is slow)."""
    return day.isoformat(), day.strftime("%Y%m%d"), day.strftime("%Y-%m")


def origin_text(origin):
    source_id, file_id, sheet, row = origin
    # The acquirer's report goes through a spreadsheet: some rows come out as integral floats.
    row_text = f"{row}.0" if source_id == "adquirente" and row % 7 == 0 else str(row)
    sheet_text = "null" if sheet is None else json_text(sheet)
    return (f'{{"sourceId":"{source_id}","fileId":"{file_id}","sheet":{sheet_text},'
            f'"row":{row_text}}}')


ABSENT = object()  # an entry without the "description" member


class Parts:
    """One temporary file a kind of source, joined in a fixed order at the end."""

    ORDER = ("erp", "pos", "acquirer", "main-bank", "card-bank")

    def __init__(self, folder):
        self.folder = folder
        self.files = {name: open(os.path.join(folder, f".part-{name}"), "w", encoding="utf-8",
                                 newline="\n", buffering=1 << 20) for name in self.ORDER}

    def join(self, path, array):
        for f in self.files.values():
            f.close()
        with open(path, "wb") as out:
            first = True
            if array:
                out.write(b"[\n")
            for name in self.ORDER:
                part = os.path.join(self.folder, f".part-{name}")
                with open(part, "rb") as f:
                    if array:
                        for line in f:
                            out.write((b"" if first else b",\n") + line.rstrip(b"\n"))
                            first = False
                    else:
                        while True:
                            block = f.read(1 << 22)
                            if not block:
                                break
                            out.write(block)
                os.remove(part)
            if array:
                out.write(b"\n]\n" if not first else b"]\n")


# ---------------------------------------------------------------------------------------------
# The books.

class Books:
    def __init__(self, profile_name, first, last, entries, seed, folder):
        self.profile = PROFILES[profile_name]
        self.calendar = Calendar(first, last)
        self.rng = random.Random(seed)
        if profile_name == "realistic":
            store_count, scale = 3, None
        elif profile_name == "tiny":
            store_count, scale = 1, 1.0
        else:
            per_store = self.expected(1, 1.0)
            store_count, scale = max(1, round(entries / per_store)), 1.0
        quiet = self.profile["quiet"]
        self.stores = [Store(n, store_count > 3, quiet) for n in range(1, store_count + 1)]
        if scale is None:
            scale = entries / self.expected(store_count, 1.0)
        self.scale = scale
        self.files = Files(store_count > 3)
        self.parts = Parts(folder)
        self.count = 0
        self.roles = {}
        self.nsu = 4_512_000
        self.invoice = 41_200
        self.title = 7_700
        self.document = 0
        self.bank_line = 0
        self.transfer = 880_000
        self.tariffs = {}  # month -> (account, cents) of the month's collection charges

    # -- volumes ------------------------------------------------------------------------------

    def expected(self, store_count, scale):
        """Entries the period holds on average, for scaling to --entries."""
        p = self.profile
        factors = p["store_factor"]
        total = 0.0
        accounts = store_count if p["quiet"] else 1
        for day in self.calendar.days():
            f = self.calendar.sales_factor(day, p)
            for s in range(store_count):
                total += p["sales"] * factors[s % len(factors)] * f * scale * ENTRIES_PER_SALE + 1
            if self.calendar.business(day):
                total += accounts * scale * (p["receipts"] * ENTRIES_PER_RECEIPT +
                                             p["bundles"] * ENTRIES_PER_BUNDLE +
                                             p["suppliers"] * ENTRIES_PER_SUPPLIER + 1)
                total += 2 * store_count
        return total * p["fill"]

    def draw(self, mean):
        """A count about `mean`, never negative."""
        value = mean * self.rng.uniform(0.88, 1.12)
        whole = int(value)
        return whole + (1 if self.rng.random() < value - whole else 0)

    def amount(self, low, high):
        """Cents between low and high, spread as prices and invoices are (log-uniform)."""
        cents = int(math.exp(self.rng.uniform(math.log(low), math.log(high))))
        if self.rng.random() < 0.3:  # prices ending in ,90 or ,00
            cents = max(low, cents - cents % 100 + self.rng.choice((0, 90)))
        return cents

    # -- writing ------------------------------------------------------------------------------

    def emit(self, part, entry_id, role, store, account, day, cents, reference, description,
             origin, components=()):
        comps = ",".join(f'{{"kind":"{kind}","cents":"{c}","origin":{origin_text(o)}}}'
                         for kind, c, o in components)
        ref = "null" if reference is None else json_text(reference)
        if description is ABSENT:
            desc = ""
        elif description is None:
            desc = ',"description":null'
        else:
            desc = ',"description":' + json_text(description)
        line = (f'{{"id":"{entry_id}","role":"{role}","root":"{ROOT}","establishment":'
                f'"{store.code}","accountId":"{account}","date":"{day_text(day)[0]}",'
                f'"cents":"{cents}","reference":{ref},"origin":{origin_text(origin)},'
                f'"components":[{comps}]{desc}}}\n')
        self.parts.files[part].write(line)
        self.count += 1
        self.roles[role] = self.roles.get(role, 0) + 1
        if self.count % 997 == 1:  # now and then, the line is the example's entry shape
            shape = entry(entry_id, role, store.code, account, day.isoformat(), cents, reference,
                          None if description is ABSENT else description,
                          self.shape_origin(origin),
                          [{"kind": k, "cents": str(c), "origin": self.shape_origin(o)}
                           for k, c, o in components])
            assert json.loads(line) == shape, line

    @staticmethod
    def shape_origin(origin):
        return dict(zip(("sourceId", "fileId", "sheet", "row"), origin))

    def erp(self, store, account, day, cents, reference, description):
        self.document += 1
        self.emit("erp", f"erp-{day_text(day)[1]}-{self.document:07d}", "erp", store, account, day,
                  cents, reference, description, self.files.erp(day))

    def main_bank(self, store, account, day, cents, reference, description):
        self.bank_line += 1
        self.emit("main-bank", f"bco-{day_text(day)[1]}-{self.bank_line:07d}", "bank", store, account,
                  day, cents, reference, description, self.files.main_bank(account, day))

    def card_bank(self, store, day, cents, reference, description):
        self.bank_line += 1
        self.emit("card-bank", f"rec-{day_text(day)[1]}-{self.bank_line:07d}", "bank", store,
                  store.card_account, day, cents, reference, description,
                  self.files.card_bank(store, day))

    # -- card sales, settlements and payouts --------------------------------------------------

    def card_day(self, store, day):
        rng = self.rng
        p = self.profile
        mean = (p["sales"] * p["store_factor"][(store.number - 1) % len(p["store_factor"])] *
                self.calendar.sales_factor(day, p) * self.scale)
        if mean <= 0:
            return
        pay_day = self.calendar.next_business(day)
        paid = pay_day <= self.calendar.last
        batch, batch_count = 0, 0
        count = self.draw(mean)
        quiet = p["quiet"]
        if quiet:
            count = min(count, QUIET_POSITIVE if self.calendar.business(day)
                        else QUIET_CLOSED_DAY_SALES)
        oddities = 0  # repeated rows and cancellations after settlement
        for _ in range(count):
            self.nsu += 1
            nsu = f"NSU {self.nsu:09d}"
            gross = self.amount(590, 120000)
            kind = rng.random()
            if kind < 0.42:
                card, fees = "débito", [(0.0109, "Taxas"), (None, "Taxas")]
            elif kind < 0.85:
                card, fees = "crédito à vista", [(0.0249, "Taxas"), (0.0159, "Antecipação")]
            else:
                parcels = rng.randrange(2, 7)
                card = f"crédito parcelado {parcels}x"
                fees = [(0.0299, "Taxas")] + [(0.0159 * n / parcels, "Antecipação")
                                              for n in range(1, parcels + 1)]
            components = [("fee", -15 if rate is None else -max(1, round(gross * rate)),
                           self.files.acquirer(day, sheet)) for rate, sheet in fees]
            net = gross + sum(c for _, c, _ in components)
            fate = rng.random()
            description = f"Venda cartão {card} — {store.name}"
            sale_id = f"pdv{store.number:02d}-{day_text(day)[1]}-{self.nsu:09d}"
            if fate < 0.015:  # cancelled at the till: never settled
                components.append(("reversal", -gross, self.files.pos(store, day)))
                self.emit("pos", sale_id, "sales", store, store.card_account, day, gross, nsu,
                          description + " (cancelada)", self.files.pos(store, day), components)
                continue
            keyed = fate < 0.025  # keyed by hand: the export has no transaction number
            self.emit("pos", sale_id, "sales", store, store.card_account, day, gross,
                      None if keyed else nsu,
                      description + (" — digitada, sem NSU" if keyed else ""),
                      self.files.pos(store, day), components)
            if 0.025 <= fate < 0.028 or 0.036 <= fate < 0.044:
                if quiet and oddities:
                    fate = 0.5
                oddities += 1
            if 0.025 <= fate < 0.028:  # the export repeats the row
                self.emit("pos", sale_id + "-2", "sales", store, store.card_account, day, gross,
                          nsu, description, self.files.pos(store, day), components)
            if 0.028 <= fate < 0.036:  # never settled by the acquirer
                continue
            settled = net + (rng.choice((-1, 1)) if rng.random() < 0.006 else 0)
            settle_id = f"liq-{day_text(day)[1]}-{self.nsu:09d}"
            self.emit("acquirer", settle_id, "settlement", store, store.card_account, day, settled,
                      nsu, f"Liquidação {nsu} {card} — líquido de taxas",
                      self.files.acquirer(day, "Liquidações"))
            cancelled = 0.036 <= fate < 0.044
            if cancelled:  # cancelled after settlement: the acquirer takes it back
                self.emit("acquirer", settle_id + "-est", "settlement", store, store.card_account,
                          day, -settled, nsu, f"Cancelamento de venda {nsu}",
                          self.files.acquirer(day, "Ajustes"))
            if not paid:
                continue  # paid out in the next period
            if card == "débito":
                batch += settled
                batch_count += 1
            elif rng.random() < 0.02:
                self.card_bank(store, pay_day, settled, None, "Crédito antecipação adquirente")
            else:
                self.card_bank(store, pay_day, settled, nsu, f"Crédito venda cartão {nsu}")
                store.recent_credit = (store.recent_credit + [(nsu, settled)])[-40:]
            if cancelled:
                self.card_bank(store, pay_day, -settled, nsu, f"Débito cancelamento {nsu}")
        if batch_count:
            lot = f"LOTE DEB {store.number:02d}{day_text(day)[1]}"
            self.card_bank(store, pay_day, batch, lot,
                           f"Repasse cartões de débito — {batch_count} "
                           f"venda{'s' if batch_count > 1 else ''} de {day:%d/%m}")
        if self.calendar.business(day) and store.recent_credit and rng.random() < 0.25:
            nsu, settled = rng.choice(store.recent_credit)
            self.card_bank(store, day, -settled, nsu, f"Chargeback {nsu} — contestação do portador")

    # -- the main bank account ----------------------------------------------------------------

    def main_day(self, account, stores, day):
        rng = self.rng
        p = self.profile
        scale = self.scale
        later = self.calendar.next_business(day + datetime.timedelta(days=1))
        first_of_month = day == self.calendar.next_business(day.replace(day=1))
        # Quiet books count the customer invoices a day (see QUIET_POSITIVE).
        budget = QUIET_POSITIVE - len(stores) if p["quiet"] else math.inf
        # Customer receipts, by boleto or transfer naming the invoice.
        for _ in range(self.draw(p["receipts"] * scale)):
            if budget < 1:
                break
            budget -= 1
            self.invoice += 1
            ref = f"NF {self.invoice:06d}"
            customer = rng.choice(CUSTOMERS)
            store = rng.choice(stores)
            cents = self.amount(30000, 2500000)
            self.erp(store, account, day, cents, ref, f"Recebimento {ref} — {customer}")
            fate = rng.random()
            bank_ref, bank_day, bank_cents = ref, day, cents
            memo = f"Liquidação de boleto {ref} — {customer.upper()}"
            if fate < 0.04:
                bank_cents = cents + rng.randrange(100, 9000)
                memo += " (com juros)"
            elif fate < 0.07:
                bank_cents = cents - rng.randrange(100, 9000)
                memo += " (pago a menor)"
            elif fate < 0.10 and later <= self.calendar.last:
                bank_day = later
            elif fate < 0.14:
                bank_ref, memo = None, f"Pagamento PIX recebido — {customer}"
            elif fate < 0.16:
                digits = f"{self.invoice:06d}"
                bank_ref = f"NF {digits[:3]}{digits[4]}{digits[3]}{digits[5:]}"  # transposed
                if bank_ref == ref:
                    bank_ref = f"NF{digits}"
            elif fate < 0.18 and budget >= 1:
                budget -= 1
                self.erp(store, account, day, cents, ref,
                         f"Recebimento {ref} — {customer} (lançamento duplicado)")
            elif fate < 0.20:
                continue  # not paid yet
            self.main_bank(store, account, bank_day, bank_cents, bank_ref, memo)
        # Transfers paying several invoices of one customer.
        for _ in range(self.draw(p["bundles"] * scale)):
            customer = rng.choice(CUSTOMERS)
            store = rng.choice(stores)
            total = 0
            invoices = rng.randrange(2, 5)
            if invoices > budget:
                break
            budget -= invoices
            for _ in range(invoices):
                self.invoice += 1
                cents = self.amount(20000, 900000)
                total += cents
                self.erp(store, account, day, cents, f"NF {self.invoice:06d}",
                         f"Recebimento NF {self.invoice:06d} — {customer}")
            self.transfer += 1
            self.main_bank(store, account, day, total, f"TED {self.transfer:07d}",
                           f"TED recebida — {customer.upper()} — várias notas")
        # Supplier payments: negative on both sides.
        suppliers = self.draw(p["suppliers"] * scale)
        for _ in range(min(suppliers, 1) if p["quiet"] else suppliers):
            self.title += 1
            ref = f"DUP {self.title:06d}"
            supplier = rng.choice(SUPPLIERS)
            store = rng.choice(stores)
            cents = -self.amount(15000, 6000000)
            self.erp(store, account, day, cents, ref, f"Pagamento {ref} — {supplier}")
            if rng.random() < 0.1:
                self.main_bank(store, account, day, cents, None, f"PIX enviado — {supplier}")
            else:
                self.main_bank(store, account, day, cents, ref, f"Pagamento de título {ref}")
        # Each store's cash deposit, one reference the whole month.
        for store in stores:
            ref = f"DEP LOJA {store.number:02d} {day:%m/%Y}"
            cents = self.amount(40000, 800000)
            self.erp(store, account, day, cents, ref, f"Depósito em dinheiro — {store.name}")
            shortfall = rng.choice((200, 500, 1000)) if rng.random() < 0.03 else 0
            self.main_bank(store, account, day, cents - shortfall, ref,
                           f"Depósito em espécie \\ envelope — {store.name}")
        # Bank charges: collection charges a day and the monthly package, charged in the ERP
        # once a month.
        charge = -195 * (1 + self.rng.randrange(4))
        self.main_bank(stores[0], account, day, charge, self.charges_reference(day),
                       "Tarifa de liquidação de boletos")
        month = (day.year, day.month, account)
        self.tariffs[month] = self.tariffs.get(month, 0) + charge
        if first_of_month:
            self.main_bank(stores[0], account, day, -8990, "TARIFA PACOTE",
                           "Tarifa pacote de serviços — mensal")

    def month_end(self, account, stores, day):
        cents = self.tariffs.pop((day.year, day.month, account), 0)
        if cents:
            self.erp(stores[0], account, day, cents, self.charges_reference(day),
                     f"Tarifas bancárias de {day:%m/%Y}")

    def charges_reference(self, day):
        # One reference all year; quiet books name the month, so the cell stays a month's.
        return f"TARIFA COBRANCA {day:%m/%Y}" if self.profile["quiet"] else "TARIFA COBRANCA"

    def card_month_start(self, store, day):
        self.card_bank(store, day, -rng_rent(self.rng), "ALUGUEL POS",
                       "Aluguel de maquininhas — mensal")

    # -- the period -----------------------------------------------------------------------------

    def write(self):
        accounts = {}
        for store in self.stores:
            accounts.setdefault(store.bank_account, []).append(store)
        for day in self.calendar.days():
            for store in self.stores:
                self.card_day(store, day)
            if not self.calendar.business(day):
                continue
            last_of_month = self.calendar.next_business(day + datetime.timedelta(days=1))
            month_ends = last_of_month.month != day.month or last_of_month > self.calendar.last
            for account, stores in accounts.items():
                self.main_day(account, stores, day)
                if month_ends:
                    self.month_end(account, stores, day)
            if day == self.calendar.next_business(day.replace(day=1)):
                for store in self.stores:
                    self.card_month_start(store, day)


def rng_rent(rng):
    return rng.choice((3 * 8990, 2 * 8990, 4 * 8990))


# ---------------------------------------------------------------------------------------------
# Read back: statistics, and sessions for checking the books with the worker.

def read_lines(path):
    """Each entry's compact text and its value; entries.json (an array) is read whole."""
    with open(path, "rb") as f:
        head = f.read(1)
        f.seek(0)
        if head == b"[":
            for value in json.load(f):
                yield (json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode(),
                       value)
            return
        for line in f:
            line = line.rstrip(b"\n")
            if line:
                yield line, json.loads(line)


def read_entries(path):
    for _, value in read_lines(path):
        yield value


def stage_amount(e, stage):
    cents = int(e["cents"])
    if stage == "sales-settlement" and e["role"] == "sales":
        cents += sum(int(c["cents"]) for c in e["components"] if c["kind"] == "fee")
    return cents


def in_composition(e):
    """Whether the entry counts in the date cells of its stages (with a reference, and a sale
    only with fees and no reversal)."""
    if e["reference"] is None:
        return False
    if e["role"] != "sales":
        return True
    return bool(e["components"]) and all(c["kind"] == "fee" for c in e["components"])


STAGES = (("erp-bank", "erp", "bank"), ("sales-settlement", "sales", "settlement"),
          ("settlement-bank", "settlement", "bank"))


def search_steps(left, targets, cap=MAX_CELL_WORK + 1):
    """Steps the composition search spends over one date cell, counted as the engine counts
    them and stopped at `cap` (left: stage amounts in identifier order)."""
    steps = 0
    n = len(left)

    def search(total, start, target):
        nonlocal steps
        if total >= target:
            steps += 1
            return
        i = start
        while steps < cap:
            steps += 1
            if i >= n:
                return
            if left[i] > 0:
                search(total + left[i], i + 1, target)
            i += 1

    for target in targets:
        if target > 0:
            search(0, 0, target)
        if steps >= cap:
            return cap
    return steps


def statistics(path):
    roles, accounts, files, days = {}, {}, {}, {}
    references = {}  # (account, reference) -> [erp, sales, settlement, bank]
    dated = {}  # (account, date) -> {role: [(id, entry)]} of entries in the date cells
    count = 0
    role_index = {"erp": 0, "sales": 1, "settlement": 2, "bank": 3}
    ids = set()
    repeated = 0
    for e in read_entries(path):
        count += 1
        role, account = e["role"], e["accountId"]
        if e["id"] in ids:
            repeated += 1
        ids.add(e["id"])
        roles[role] = roles.get(role, 0) + 1
        accounts.setdefault(account, {})
        accounts[account][role] = accounts[account].get(role, 0) + 1
        key = (e["origin"]["sourceId"], e["origin"]["fileId"])
        files[key] = files.get(key, 0) + 1
        day_key = (account, e["date"])
        days[day_key] = days.get(day_key, 0) + 1
        if e["reference"] is not None:
            counts = references.setdefault((account, e["reference"]), [0, 0, 0, 0])
            counts[role_index[role]] += 1
        if in_composition(e):
            dated.setdefault(day_key, {}).setdefault(role, []).append(
                (e["id"], {s: stage_amount(e, s) for s, _, _ in STAGES}))
    cells = []  # (stage, pass, key, left, right, pairs, steps)
    for stage, left_role, right_role in STAGES:
        i, j = role_index[left_role], role_index[right_role]
        for (account, reference), c in references.items():
            if c[i] and c[j]:
                cells.append((stage, "reference", f"{account} {reference}", c[i], c[j],
                              c[i] * c[j], None))
        for (account, date), by_role in dated.items():
            left, right = by_role.get(left_role), by_role.get(right_role)
            if not left or not right:
                continue
            left = [a[stage] for _, a in sorted(left)]
            right = [a[stage] for _, a in sorted(right)]
            steps = (search_steps(left, right)
                     if len(left) <= MAX_CELL_SIDE and len(right) <= MAX_CELL_SIDE and
                     len(left) * len(right) <= MAX_CELL_WORK else None)
            cells.append((stage, "composition", f"{account} {date}", len(left), len(right),
                          len(left) * len(right), steps))
    return {"entries": count, "repeatedIds": repeated, "roles": roles, "accounts": accounts,
            "files": files, "days": days, "cells": cells}


def past_bound(cell):
    _, _, _, left, right, pairs, steps = cell
    return (left > MAX_CELL_SIDE or right > MAX_CELL_SIDE or pairs > MAX_CELL_WORK or
            (steps is not None and steps > MAX_CELL_WORK) or
            (cell[1] == "composition" and steps is None))


def print_statistics(stats, out):
    out.write(f"entries: {stats['entries']} (identifiers used twice: {stats['repeatedIds']})\n")
    out.write("per role: " + ", ".join(f"{r} {n}" for r, n in sorted(stats["roles"].items())) +
              "\n")
    out.write("per account:\n")
    for account, by_role in sorted(stats["accounts"].items())[:12]:
        out.write(f"  {account}: {sum(by_role.values())} (" +
                  ", ".join(f"{r} {n}" for r, n in sorted(by_role.items())) + ")\n")
    if len(stats["accounts"]) > 12:
        out.write(f"  ... {len(stats['accounts'])} accounts in all\n")
    out.write(f"input files: {len(stats['files'])}\n")
    busiest = sorted(stats["days"].items(), key=lambda kv: (-kv[1], kv[0]))[:3]
    out.write("busiest account-days: " +
              ", ".join(f"{a} {d} ({n} entries)" for (a, d), n in busiest) + "\n")
    over = [c for c in stats["cells"] if past_bound(c)]
    out.write(f"cells: {len(stats['cells'])}, past an engine bound: {len(over)}\n")
    for stage, _, _ in STAGES:
        for kind in ("reference", "composition"):
            mine = [c for c in stats["cells"] if c[0] == stage and c[1] == kind]
            if not mine:
                continue
            largest = max(mine, key=lambda c: (c[5], c[2]))
            passing = sum(1 for c in mine if past_bound(c))
            steps = [c[6] for c in mine if c[6] is not None]
            out.write(f"  {stage} {kind}: {len(mine)} cells, {passing} past a bound; largest "
                      f"{largest[2]}: {largest[3]} x {largest[4]} = {largest[5]} pairs" +
                      (f"; most search steps {max(steps)}"
                       f"{'+' if max(steps) > MAX_CELL_WORK else ''}" if steps else "") + "\n")


def write_sessions(entries_path, template, folder, engine_version):
    """Session inputs of whole accounts, cut by whole days at the session's limits (the entries'
    texts are held in memory: about the size of the entries file)."""
    by_account = {}
    for text, e in read_lines(entries_path):
        by_account.setdefault(e["accountId"], {}).setdefault(e["date"], []).append(text)
    writer = Writer("utf8-compact")
    os.makedirs(folder, exist_ok=True)
    names = []
    for account in sorted(by_account):
        days = by_account.pop(account)
        chunk, chunk_bytes = [], 0
        for day in sorted(days):
            texts = days[day]
            size = sum(len(t) + 1 for t in texts)
            if chunk and (len(chunk) + len(texts) > SESSION_ENTRIES - 200 or
                          chunk_bytes + size > SESSION_BYTES - 200000):
                names.append(session_file(folder, account, len(names), chunk, template,
                                          engine_version, writer))
                chunk, chunk_bytes = [], 0
            chunk += texts
            chunk_bytes += size
        if chunk:
            names.append(session_file(folder, account, len(names), chunk, template,
                                      engine_version, writer))
    return names


def session_file(folder, account, index, texts, template, engine_version, writer):
    run_id = f"books-{index:04d}-{account}"
    manifest = dict(template, runId=run_id)
    manifest.setdefault("engineVersion", engine_version)
    manifest = {k: manifest[k] for k in ("version", "runId", "root", "window", "inputDigests",
                                         "mappingVersion", "ruleVersion", "engineVersion")}
    nonce = hashlib.sha256(run_id.encode()).hexdigest()[:32]
    lines = [writer.frame({"version": 1, "kind": "start", "nonce": nonce,
                           "manifest": manifest}).encode()]
    head, tail = (part.encode() for part in writer.entries_frame_parts(nonce))
    batch, batch_bytes = [], len(head) + len(tail)
    for text in texts:
        size = len(text) + 1
        if batch and (len(batch) == FRAME_ENTRIES or batch_bytes + size > FRAME_BYTES):
            lines.append(head + b",".join(batch) + tail)
            batch, batch_bytes = [], len(head) + len(tail)
        batch.append(text)
        batch_bytes += size
    if batch:
        lines.append(head + b",".join(batch) + tail)
    lines.append(writer.frame({"version": 1, "kind": "execute", "nonce": nonce}).encode())
    data = b"".join(lines)
    assert len(lines) <= SESSION_FRAMES and len(data) <= SESSION_BYTES, run_id
    assert max(len(line) for line in lines) <= FRAME_BYTES, run_id
    path = os.path.join(folder, f"{run_id}.ndjson")
    with open(path, "wb") as f:
        f.write(data)
    return path


# ---------------------------------------------------------------------------------------------

def period(args, parser):
    if args.year is not None:
        if not 2000 <= args.year <= 2999:
            parser.error("--year must be 2000 to 2999")
        return datetime.date(args.year, 1, 1), datetime.date(args.year, 12, 31)
    try:
        first = datetime.datetime.strptime(args.month or DEFAULT_MONTH, "%Y-%m").date()
    except ValueError:
        parser.error("--month must be YYYY-MM")
    following = (first.replace(day=28) + datetime.timedelta(days=4)).replace(day=1)
    return first, following - datetime.timedelta(days=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="folder for entries and template")
    when = parser.add_mutually_exclusive_group()
    when.add_argument("--month", help=f"YYYY-MM (default {DEFAULT_MONTH})")
    when.add_argument("--year", type=int)
    parser.add_argument("--entries", type=int,
                        help="about how many entries (default: about 30,000 a month)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--profile", choices=sorted(PROFILES), default="realistic")
    parser.add_argument("--format", choices=("jsonl", "array"), default="jsonl")
    parser.add_argument("--engine-version", help="engineVersion for the template (default: none)")
    parser.add_argument("--run-id-prefix", help="the planner's run identifier prefix, as given")
    parser.add_argument("--run-id-prefix-member", default="runIdPrefix",
                        help="the template member that holds --run-id-prefix")
    parser.add_argument("--stats", action="store_true", help="print the books' figures")
    parser.add_argument("--sessions", metavar="DIR",
                        help="also cut the books into session inputs in DIR (months, not years)")
    args = parser.parse_args()
    first, last = period(args, parser)
    months = (last.year - first.year) * 12 + last.month - first.month + 1
    entries = args.entries if args.entries is not None else 30000 * months
    if entries < 1:
        parser.error("--entries must be positive")

    os.makedirs(args.out, exist_ok=True)
    books = Books(args.profile, first, last, entries, args.seed, args.out)
    books.write()
    name = "entries.json" if args.format == "array" else "entries.jsonl"
    entries_path = os.path.join(args.out, name)
    books.parts.join(entries_path, args.format == "array")

    template = {
        "version": 1,
        "root": ROOT,
        "window": {"from": first.isoformat(), "to": last.isoformat()},
        "inputDigests": books.files.digests(),
        "mappingVersion": "sha256:" + hashlib.sha256(b"mapa de contas 2026.1").hexdigest(),
        "ruleVersion": "sha256:" + hashlib.sha256(b"regras de conciliacao 2026.3").hexdigest(),
    }
    if args.engine_version:
        template["engineVersion"] = args.engine_version
    if args.run_id_prefix:
        template[args.run_id_prefix_member] = args.run_id_prefix
    with open(os.path.join(args.out, "template.json"), "w", encoding="utf-8") as f:
        json.dump(template, f, ensure_ascii=False, indent=1, sort_keys=True)
        f.write("\n")
    sys.stderr.write(f"gen_books: {books.count} entries ({args.profile}, {len(books.stores)} "
                     f"stores, {first} to {last}) in {entries_path}\n")
    if args.stats:
        print_statistics(statistics(entries_path), sys.stdout)
    if args.sessions:
        names = write_sessions(entries_path, template, args.sessions,
                               args.engine_version or "gen-books")
        sys.stderr.write(f"gen_books: {len(names)} sessions in {args.sessions}\n")


if __name__ == "__main__":
    main()
