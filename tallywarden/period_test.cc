#include "tallywarden/period.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/formats.h"
#include "contracts/json_writer.h"
#include "engine/testing/generated_runs.h"
#include "engine/testing/review_books.h"
#include "worker/result_pages.h"

namespace tw::tool {
namespace {

using namespace tw::testing;

// The session input a host writes for the entries: start, entries frames, execute.
std::string sessionBytes(const std::string& runId, const std::vector<Entry>& entries) {
  const std::string nonce = "nonce-0123456789abcdef-" + runId;
  std::string out =
      toCompactJson(Json(makeObject({{"version", 1},
                                     {"kind", "start"},
                                     {"nonce", nonce},
                                     {"manifest", toJsonValue(makeManifest(runId))}}))) +
      "\n";
  for (size_t begin = 0; begin < entries.size(); begin += 100) {
    JsonArray batch;
    for (size_t i = begin; i < std::min(entries.size(), begin + 100); ++i) {
      batch.push_back(toJsonValue(entries[i]));
    }
    out += toCompactJson(Json(makeObject(
               {{"version", 1}, {"kind", "entries"}, {"nonce", nonce}, {"entries", batch}}))) +
           "\n";
  }
  return out +
         toCompactJson(Json(makeObject({{"version", 1}, {"kind", "execute"}, {"nonce", nonce}}))) +
         "\n";
}

// What the worker writes for the entries, made by its own engine and page writer.
std::string outputBytes(const std::string& runId, const std::vector<Entry>& entries) {
  const ReconciliationResult result = runOnce(entries, makeManifest(runId)).value();
  const std::string nonce = "nonce-0123456789abcdef-" + runId;
  std::string out =
      toCompactJson(startedMessage(nonce)) + "\n" + toCompactJson(executingMessage(nonce)) + "\n";
  const uint64_t count = *resultPageCount(result);
  PageBatch batch;
  (void)makeResultPages(result, nonce, count, batch, [](PageBatch&, bool) { return true; });
  out += batch.text;
  return out +
         toCompactJson(completedMessage(nonce, count, commitResult(result).value(), result.revision,
                                        result.runId)) +
         "\n";
}

PeriodRunFiles runFiles(const std::string& runId, const std::vector<Entry>& entries) {
  PeriodRunFiles run;
  run.runId = runId;
  run.session = sessionBytes(runId, entries);
  run.output = outputBytes(runId, entries);
  run.plannedEntries = entries.size();
  return run;
}

// The books split into runs by account, as a plan would: run i takes the accounts whose first
// byte after their prefix is congruent to i.
PeriodFiles planOf(const std::vector<Entry>& books, size_t runs) {
  std::vector<std::vector<Entry>> parts(runs);
  for (const Entry& entry : books) {
    parts[std::hash<std::string>{}(entry.accountId) % runs].push_back(entry);
  }
  PeriodFiles files;
  files.source = "test";
  for (size_t i = 0; i < runs; ++i) {
    files.runs.push_back(runFiles("run-" + std::to_string(i + 1), parts[i]));
  }
  return files;
}

// The rows of a CSV file as cells (no cell of these tests holds a comma or a quote).
std::vector<std::vector<std::string>> rows(const std::string& csv) {
  std::vector<std::vector<std::string>> out;
  size_t start = 3;  // after the byte-order mark
  while (start < csv.size()) {
    const size_t end = csv.find("\r\n", start);
    std::vector<std::string> cells;
    std::string line = csv.substr(start, end - start);
    for (size_t from = 0;;) {
      const size_t comma = line.find(',', from);
      cells.push_back(line.substr(from, comma - from));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    out.push_back(std::move(cells));
    start = end + 2;
  }
  return out;
}

std::map<std::string, std::string> csvFiles(const PeriodReport& report) {
  std::map<std::string, std::string> files;
  for (auto& [name, bytes] : periodCsv(report)) files[name] = bytes;
  return files;
}

__int128 cents(const std::string& text) {
  return parseAmount(text).value();
}

// Every known case of the books is in the worklist with its pass, reasons and both sides, and
// every entry without a candidate is in the pending file with its reasons, in the right section.
TEST(PeriodReport, WorklistHoldsEachKnownCase) {
  const PeriodReport report = buildPeriodReport(planOf(reviewBooks(), 3));
  ASSERT_TRUE(report.finished) << report.problems.front();
  auto files = csvFiles(report);
  const auto worklist = rows(files["worklist.csv"]);
  // run, candidate, stage, pass, reasons, competitors, side, entry, ...
  std::map<std::string, std::map<std::string, std::vector<std::string>>> candidates;
  for (size_t i = 1; i < worklist.size(); ++i) {
    candidates[worklist[i][1]][worklist[i][6]].push_back(worklist[i][7]);
    candidates[worklist[i][1]]["pass"] = {worklist[i][3]};
    candidates[worklist[i][1]]["reasons"] = {worklist[i][4]};
  }
  ASSERT_EQ(candidates.size(), reviewBooksHolds().size());
  const std::map<MatchPass, std::string> passes = {{MatchPass::Reference, "reference"},
                                                   {MatchPass::Composition, "composition"},
                                                   {MatchPass::Synthetic, "without-reference"}};
  for (const ExpectedHold& expected : reviewBooksHolds()) {
    std::string reasons;
    for (HoldReason reason : kHoldReasons) {
      if (expected.reasons & static_cast<uint8_t>(reason)) {
        reasons += (reasons.empty() ? "" : " ") + std::string(toText(reason));
      }
    }
    bool found = false;
    for (auto& [name, sides] : candidates) {
      if (sides["left"].front() != expected.left || sides["right"].front() != expected.right) {
        continue;
      }
      found = true;
      EXPECT_EQ(sides["pass"].front(), passes.at(expected.pass)) << name;
      EXPECT_EQ(sides["reasons"].front(), reasons) << name;
    }
    EXPECT_TRUE(found) << expected.left << " " << expected.right;
  }
  const auto pending = rows(files["pending.csv"]);
  for (const ExpectedLone& expected : reviewBooksLone()) {
    auto row = std::find_if(pending.begin(), pending.end(),
                            [&](const auto& cells) { return cells[1] == expected.id; });
    ASSERT_NE(row, pending.end()) << expected.id;
    std::string reasons;
    for (LoneReason reason : kLoneReasons) {
      if (expected.reasons & static_cast<uint8_t>(reason)) reasons += toText(reason);
    }
    EXPECT_EQ((*row)[12], reasons) << expected.id;
    const bool never = expected.reasons & (static_cast<uint8_t>(LoneReason::NoPositiveAmount) |
                                           static_cast<uint8_t>(LoneReason::SaleWithoutFees) |
                                           static_cast<uint8_t>(LoneReason::SaleWithReversal));
    EXPECT_EQ((*row)[13], never ? "never-candidate" : "worklist") << expected.id;
  }
}

// Totals per stage, account and store against sums made here from the entries and the results.
TEST(PeriodReport, TotalsEqualAnIndependentSum) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    std::vector<Entry> books = reviewBooks();
    for (Entry entry : realisticRun(900, seed).entries) {
      // Stores by the entry's number; bank lines stay with the head office.
      if (entry.role != SourceRole::Bank) {
        entry.establishment =
            validEstablishment(kTestRoot, "000" + std::to_string(2 + entry.id.back() % 3));
      }
      books.push_back(std::move(entry));
    }
    const PeriodFiles files = planOf(books, 4);
    std::map<std::string, Entry> byId;
    for (const Entry& entry : books) byId[entry.id] = entry;
    // Independent sums: amounts and residuals per account and store, allocations per stage and
    // what they took per account (both sides, a sale's settlement side excepted).
    std::map<std::string, __int128> amount, open, taken, storeOpen, stageMatched;
    for (const PeriodRunFiles& run : files.runs) {
      std::vector<Entry> entries;
      for (auto& [id, entry] : readSessionEntries(*run.session).entries) entries.push_back(entry);
      const ReconciliationResult result = runOnce(entries, makeManifest(run.runId)).value();
      for (const auto& [id, residual] : result.residuals) {
        open[byId[id].accountId] += cents(residual);
        storeOpen[byId[id].establishment] += cents(residual);
      }
      for (const Allocation& allocation : result.allocations) {
        stageMatched[std::string(toText(allocation.stage))] += cents(allocation.cents);
        const int sides = allocation.stage == AllocationStage::SalesSettlement ? 1 : 2;
        taken[byId[allocation.leftId].accountId] += sides * cents(allocation.cents);
      }
    }
    for (const Entry& entry : books) {
      __int128 base = cents(entry.cents);
      for (const EntryComponent& c : entry.components) {
        if (c.kind == EntryComponentKind::Fee) base += cents(c.cents);
      }
      amount[entry.accountId] += base;
    }

    const PeriodReport report = buildPeriodReport(files);
    ASSERT_TRUE(report.finished);
    // scope, key, detail, entries, amount, allocated, open_entries, open, difference, ...
    size_t accounts = 0, stores = 0;
    for (const auto& row : rows(csvFiles(report)["totals.csv"])) {
      if (row[0] == "account") {
        ++accounts;
        EXPECT_EQ(row[4], plainDecimal(amount[row[1]])) << row[1];
        EXPECT_EQ(row[5], plainDecimal(taken[row[1]])) << row[1];
        EXPECT_EQ(row[7], plainDecimal(open[row[1]])) << row[1];
        EXPECT_EQ(row[8], "0.00") << row[1];
        EXPECT_EQ(amount[row[1]], taken[row[1]] + open[row[1]]) << row[1];
      } else if (row[0] == "store") {
        ++stores;
        EXPECT_EQ(row[7], plainDecimal(storeOpen[row[1]])) << row[1];
        EXPECT_EQ(row[8], "0.00") << row[1];
      } else if (row[0] == "stage") {
        EXPECT_EQ(row[10], plainDecimal(stageMatched[row[1]])) << row[1];
      }
    }
    EXPECT_EQ(accounts, amount.size());
    EXPECT_EQ(stores, storeOpen.size());
    EXPECT_GE(stores, 3u);
  }
}

TEST(PeriodReport, CsvCellsStayInertAndAmountsNumbers) {
  const std::vector<std::pair<std::string, std::string>> cells = {
      {"plain", "plain"},
      {"=SUM(A1:A9)", "\"'=SUM(A1:A9)\""},
      {"+55 11", "\"'+55 11\""},
      {"-2", "\"'-2\""},
      {"@cmd", "\"'@cmd\""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"Açaí 😀", "Açaí 😀"},
  };
  for (const auto& [text, written] : cells) {
    std::string out;
    appendCsvText(out, text);
    EXPECT_EQ(out, written) << text;
  }
  for (const auto& [amount, written] :
       std::vector<std::pair<__int128, std::string>>{{0, "0.00"},
                                                     {5, "0.05"},
                                                     {-5, "-0.05"},
                                                     {108910, "1089.10"},
                                                     {-328239708, "-3282397.08"}}) {
    EXPECT_EQ(plainDecimal(amount), written);
  }
  // A description beginning with '=' in the books stays text; a negative amount stays a number.
  std::vector<Entry> books = reviewBooks();
  books.back().description = "=HYPERLINK(\"http://x\")";
  auto files = csvFiles(buildPeriodReport(planOf(books, 1)));
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF") << name;
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << name;
  }
  EXPECT_NE(files["pending.csv"].find(",\"'=HYPERLINK(\"\"http://x\"\")\","), std::string::npos);
  EXPECT_NE(files["pending.csv"].find(",-3282397.08,-3282397.08,"), std::string::npos);
}

// A close is finished only with every run reconciled; every other run is named at the top.
TEST(PeriodReport, NamesWhatKeepsTheCloseUnfinished) {
  const PeriodFiles good = planOf(reviewBooks(), 3);
  struct Case {
    std::string name;
    std::function<void(PeriodFiles&)> change;
    RunState state;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"missing output", [](PeriodFiles& f) { f.runs[1].output.reset(); }, RunState::Missing,
       "run run-2 is missing: it has no output"},
      {"missing marker", [](PeriodFiles& f) { f.runs[1].markerExpected = true; },
       RunState::Unfinished, "run run-2 is unfinished"},
      {"tampered output",
       [](PeriodFiles& f) {
         // One digit of the first residual changed.
         std::string& out = *f.runs[1].output;
         const size_t at = out.find("\":\"", out.find("\"residuals\":{\"")) + 3;
         ASSERT_TRUE(out[at] >= '0' && out[at] <= '9');
         out[at] = out[at] == '1' ? '2' : '1';
       },
       RunState::NotVerified, "run run-2 is not-verified: its output does not verify"},
      {"another run's input", [](PeriodFiles& f) { f.runs[1].session = f.runs[0].session; },
       RunState::ForeignInput, "run run-2 is input-not-of-output"},
      {"failed run",
       [](PeriodFiles& f) {
         f.runs[1].output =
             R"({"kind":"started","nonce":"nonce-0123456789abcdef-run-2","version":1})"
             "\n"
             R"({"kind":"executing","nonce":"nonce-0123456789abcdef-run-2","version":1})"
             "\n"
             R"({"code":"C5_ENGINE_FAILED","kind":"failed","nonce":"nonce-0123456789abcdef-run-2","version":1})"
             "\n";
       },
       RunState::Failed, "run run-2 is failed"},
  };
  EXPECT_TRUE(buildPeriodReport(good).finished);
  for (const Case& test : cases) {
    PeriodFiles files = good;
    test.change(files);
    const PeriodReport report = buildPeriodReport(files);
    EXPECT_FALSE(report.finished) << test.name;
    EXPECT_EQ(report.runs[1].state, test.state) << test.name;
    ASSERT_FALSE(report.problems.empty()) << test.name;
    EXPECT_EQ(report.problems.front().rfind(test.problem, 0), 0u)
        << test.name << ": " << report.problems.front();
    // The run's figures are not used.
    EXPECT_TRUE(report.runs[1].review.held.empty()) << test.name;
    const std::string html = periodHtml(report, ReportLocale::En);
    EXPECT_NE(html.find("Close NOT finished"), std::string::npos) << test.name;
  }
  // An entry in two runs.
  PeriodFiles twice = good;
  twice.runs.push_back(twice.runs[0]);
  twice.runs.back().runId = "run-again";
  const PeriodReport report = buildPeriodReport(twice);
  EXPECT_FALSE(report.finished);
  EXPECT_NE(report.problems.back().find("stands in runs run-1 and run-again"), std::string::npos);
}

TEST(PeriodReport, LocaleFormatsAmountsDatesAndLanguage) {
  const PeriodReport report = buildPeriodReport(planOf(reviewBooks(), 2));
  const std::string en = periodHtml(report, ReportLocale::En);
  const std::string pt = periodHtml(report, ReportLocale::PtBr);
  EXPECT_NE(en.find("<html lang=\"en\">"), std::string::npos);
  EXPECT_NE(pt.find("<html lang=\"pt-BR\">"), std::string::npos);
  EXPECT_NE(en.find("1,089.10"), std::string::npos);
  EXPECT_NE(pt.find("R$\u00a01.089,10"), std::string::npos);
  EXPECT_NE(pt.find("-R$\u00a03.282.397,08"), std::string::npos);
  EXPECT_NE(en.find("2024-03-01"), std::string::npos);
  EXPECT_NE(pt.find("01/03/2024"), std::string::npos);
  EXPECT_NE(pt.find("Pendências para revisão"), std::string::npos);
  EXPECT_EQ(pt.find("<script"), std::string::npos);
  EXPECT_NE(pt.find("default-src 'none'; style-src 'unsafe-inline'"), std::string::npos);
}

}  // namespace
}  // namespace tw::tool
