// The period report as CSV files for a spreadsheet: RFC 4180 (fields separated by commas,
// records by CRLF, a field with a comma, quote or line break quoted and its quotes doubled),
// UTF-8 with a byte-order mark so that spreadsheets read the accents, and a header row. Amounts
// are plain decimals with a point whatever the report's locale; a text cell that a spreadsheet
// would read as a formula is made inert with a leading apostrophe, while amounts stay numbers.
#include <string>
#include <utility>
#include <vector>

#include "contracts/formats.h"
#include "tallywarden/period.h"

namespace tw::tool {

std::string plainDecimal(__int128 cents) {
  std::string digits = formatAmount(cents);
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.erase(0, 1);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  digits.insert(digits.size() - 2, 1, '.');
  return negative ? "-" + digits : digits;
}

void appendCsvText(std::string& out, std::string_view text) {
  const bool formula =
      !text.empty() && (text.front() == '=' || text.front() == '+' || text.front() == '-' ||
                        text.front() == '@' || text.front() == '\t' || text.front() == '\r');
  const bool quote = formula || text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (quote) out += '"';
  if (formula) out += '\'';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  if (quote) out += '"';
}

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// One CSV file being written: cells are texts or amounts, rows end with CRLF.
class Csv {
 public:
  explicit Csv(std::initializer_list<std::string_view> header) {
    out_ += kBom;
    for (std::string_view name : header) text(name);
    end();
  }
  Csv& text(std::string_view value) {
    separate();
    appendCsvText(out_, value);
    return *this;
  }
  Csv& amount(__int128 cents) {
    separate();
    out_ += plainDecimal(cents);
    return *this;
  }
  Csv& amount(const Amount& value) {
    if (value.overflow) return empty();
    return amount(value.value);
  }
  Csv& count(size_t n) {
    separate();
    out_ += std::to_string(n);
    return *this;
  }
  Csv& empty() {
    separate();
    return *this;
  }
  void end() {
    out_ += "\r\n";
    first_ = true;
  }
  std::string take() { return std::move(out_); }

 private:
  void separate() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  std::string out_;
  bool first_ = true;
};

std::string optionalText(const std::optional<std::string>& text) {
  return text.value_or("");
}

__int128 cents(const std::string& text) {
  auto parsed = parseAmount(text);
  return parsed ? *parsed : 0;
}

std::string reasonsText(uint8_t bits, bool hold) {
  std::string out;
  auto append = [&out](std::string_view name) {
    if (!out.empty()) out += ' ';
    out += name;
  };
  if (hold) {
    for (HoldReason reason : kHoldReasons) {
      if (bits & static_cast<uint8_t>(reason)) append(toText(reason));
    }
  } else {
    for (LoneReason reason : kLoneReasons) {
      if (bits & static_cast<uint8_t>(reason)) append(toText(reason));
    }
  }
  return out;
}

std::string passText(MatchPass pass) {
  return pass == MatchPass::Synthetic ? "without-reference" : std::string(toText(pass));
}

std::string candidateName(const PeriodRun& run, size_t index) {
  return run.runId + "#" + std::to_string(index + 1);
}

std::string allocationsCsv(const PeriodReport& report) {
  Csv csv({"run", "stage", "left", "right", "amount", "left_date", "right_date", "account",
           "left_store", "right_store", "counted_store", "reasons", "left_description",
           "right_description"});
  for (const PeriodRun& run : report.runs) {
    if (!run.result) continue;
    for (const Allocation& allocation : run.result->allocations) {
      const Entry* left = findRunEntry(run, allocation.leftId);
      const Entry* right = findRunEntry(run, allocation.rightId);
      std::string codes;
      for (ReasonCode code : allocation.evidence.reasonCodes) {
        if (!codes.empty()) codes += ' ';
        codes += toText(code);
      }
      csv.text(run.runId).text(toText(allocation.stage)).text(allocation.leftId);
      csv.text(allocation.rightId).amount(cents(allocation.cents));
      csv.text(left ? left->date : "").text(right ? right->date : "");
      csv.text(left ? left->accountId : "").text(left ? left->establishment : "");
      csv.text(right ? right->establishment : "").text(countingStore(left, right)).text(codes);
      csv.text(left ? optionalText(left->description) : "");
      csv.text(right ? optionalText(right->description) : "");
      csv.end();
    }
  }
  return csv.take();
}

std::string worklistCsv(const PeriodReport& report) {
  Csv csv({"run", "candidate", "stage", "pass", "reasons", "competitors", "side", "entry", "date",
           "account", "store", "reference", "description", "amount", "proposed"});
  for (const PeriodRun& run : report.runs) {
    for (size_t h = 0; h < run.review.held.size(); ++h) {
      const HeldCandidate& held = run.review.held[h];
      std::string competitors;
      for (size_t other : held.competitors) {
        if (!competitors.empty()) competitors += ' ';
        competitors += candidateName(run, other);
      }
      // Each entry of either side once, with what the candidate proposes for it.
      std::vector<std::pair<std::string, __int128>> lefts, rights;
      for (const ReviewedProposal& proposal : held.proposals) {
        lefts.emplace_back(proposal.leftId, proposal.cents);
        bool seen = false;
        for (auto& [id, sum] : rights) {
          if (id == proposal.rightId) {
            sum += proposal.cents;
            seen = true;
          }
        }
        if (!seen) rights.emplace_back(proposal.rightId, proposal.cents);
      }
      for (const auto* side : {&lefts, &rights}) {
        for (const auto& [id, proposed] : *side) {
          const Entry* entry = findRunEntry(run, id);
          csv.text(run.runId).text(candidateName(run, h)).text(toText(held.stage));
          csv.text(passText(held.pass)).text(reasonsText(held.reasons, true)).text(competitors);
          csv.text(side == &lefts ? "left" : "right").text(id);
          csv.text(entry ? entry->date : "").text(entry ? entry->accountId : "");
          csv.text(entry ? entry->establishment : "");
          csv.text(entry ? optionalText(entry->reference) : "");
          csv.text(entry ? optionalText(entry->description) : "");
          if (entry) {
            csv.amount(cents(entry->cents));
          } else {
            csv.empty();
          }
          csv.amount(proposed);
          csv.end();
        }
      }
    }
  }
  return csv.take();
}

std::string pendingCsv(const PeriodReport& report) {
  Csv csv({"run", "entry", "role", "stage", "date", "account", "store", "reference", "description",
           "amount", "open", "held_in", "reasons", "section"});
  for (const OpenEntry& open : report.open) {
    const PeriodRun& run = report.runs[open.run];
    const Entry& entry = *open.entry;
    std::string held;
    for (size_t h : open.held) {
      if (!held.empty()) held += ' ';
      held += candidateName(run, h);
    }
    csv.text(run.runId).text(entry.id).text(toText(entry.role)).text(toText(open.stage));
    csv.text(entry.date).text(entry.accountId).text(entry.establishment);
    csv.text(optionalText(entry.reference)).text(optionalText(entry.description));
    csv.amount(cents(entry.cents)).amount(open.residual).text(held);
    csv.text(open.held.empty() ? reasonsText(open.loneReasons, false) : "");
    csv.text(open.neverCandidate() ? "never-candidate" : "worklist");
    csv.end();
  }
  return csv.take();
}

// `difference` only where the tally's entries tie out (amount = allocated + open); per day, per
// fee kind and per account and stage the tally holds part of the figures only.
void tallyRow(Csv& csv, std::string_view scope, std::string_view key, std::string_view detail,
              const Tally& tally, bool tiesOut = true) {
  csv.text(scope).text(key).text(detail).count(tally.entries).amount(tally.amount);
  csv.amount(tally.allocated).count(tally.openEntries).amount(tally.open);
  if (tiesOut) {
    csv.amount(tally.difference());
  } else {
    csv.empty();
  }
  csv.count(tally.allocations).amount(tally.matched);
  csv.count(tally.crossStore);
  csv.end();
}

std::string totalsCsv(const PeriodReport& report) {
  Csv csv({"scope", "key", "detail", "entries", "amount", "allocated", "open_entries", "open",
           "difference", "allocations", "matched", "cross_store"});
  const PeriodFigures& figures = report.figures;
  tallyRow(csv, "total", "", "", figures.total);
  for (size_t i = 0; i < figures.stages.size(); ++i) {
    tallyRow(csv, "stage", toText(stageAt(i)), "", figures.stages[i]);
  }
  for (const auto& [account, tally] : figures.accounts)
    tallyRow(csv, "account", account, "", tally);
  for (const auto& [key, tally] : figures.accountStages) {
    tallyRow(csv, "account-stage", key.first, toText(stageAt(key.second)), tally, false);
  }
  for (const auto& [store, tally] : figures.stores) tallyRow(csv, "store", store, "", tally);
  for (const auto& [day, tally] : figures.days) tallyRow(csv, "day", day, "", tally, false);
  for (const auto& [key, tally] : figures.fees) {
    tallyRow(csv, "fee", key.first, key.second, tally, false);
  }
  tallyRow(csv, "settlement-against-sales", "", "", figures.settlementAgainstSales);
  tallyRow(csv, "never-candidates", "", "", figures.neverCandidates);
  return csv.take();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> periodCsv(const PeriodReport& report) {
  return {{"allocations.csv", allocationsCsv(report)},
          {"worklist.csv", worklistCsv(report)},
          {"pending.csv", pendingCsv(report)},
          {"totals.csv", totalsCsv(report)}};
}

}  // namespace tw::tool
