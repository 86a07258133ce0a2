#include "tallywarden/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"
#include "tallywarden/report_html.h"
#include "worker/result_pages.h"

namespace tw::tool {
namespace {

constexpr std::string_view kNonce = "nonce-0123456789abcdef";

ReconciliationResult sampleResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  Allocation allocation;
  allocation.stage = AllocationStage::ErpBank;
  allocation.leftId = "E1";
  allocation.rightId = "B1";
  allocation.cents = "1500";
  allocation.evidence.ruleId = "rule-1";
  allocation.evidence.origins = {testing::makeRef("erp", "f1", std::nullopt, 2)};
  allocation.evidence.reasonCodes = {ReasonCode::ReferenceMatch};
  result.allocations.push_back(allocation);
  result.pendingIds = {"E2"};
  result.residuals = {{"B1", "0"}, {"E1", "0"}, {"E2", "-250"}};
  return result;
}

// The lines the worker writes for a session that delivers `result`, made by its own page writer.
std::vector<std::string> workerLines(const ReconciliationResult& result) {
  const std::string nonce(kNonce);
  std::vector<std::string> lines = {toCompactJson(startedMessage(nonce)),
                                    toCompactJson(executingMessage(nonce))};
  const uint64_t count = *resultPageCount(result);
  PageBatch batch;
  (void)makeResultPages(result, nonce, count, batch, [](PageBatch&, bool) { return true; });
  size_t start = 0;
  for (size_t end : batch.ends) {
    lines.push_back(batch.text.substr(start, end - start - 1));  // without its line feed
    start = end;
  }
  lines.push_back(toCompactJson(
      completedMessage(nonce, count, commitResult(result).value(), result.revision, result.runId)));
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

void replaceOnce(std::string& text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

TEST(ReportOutput, ReassemblesVerifiesOrSaysWhyNot) {
  const ReconciliationResult result = sampleResult();
  const std::vector<std::string> good = workerLines(result);  // 2 + 5 pages + 1 lines
  ASSERT_EQ(good.size(), 8u);

  struct Case {
    std::string name;
    std::string bytes;
    OutputOutcome outcome;
    std::string problem;  // a part of the problem's text
  };
  std::vector<Case> cases;
  cases.push_back({"good", joined(good), OutputOutcome::Verified, ""});
  {
    auto lines = good;
    lines.erase(lines.begin() + 3);
    cases.push_back({"missing page", joined(lines), OutputOutcome::NotVerified,
                     "line 4: page 2 where page 1 belongs"});
  }
  {
    auto lines = good;
    std::swap(lines[4], lines[5]);
    cases.push_back({"reordered pages", joined(lines), OutputOutcome::NotVerified,
                     "page 3 where page 2 belongs"});
  }
  {
    auto lines = good;
    replaceOnce(lines[7], "\"resultCommitment\":\"", "\"resultCommitment\":\"0");
    lines[7].erase(lines[7].find("\",\"revision\"") - 1, 1);  // keep 64 digits
    cases.push_back({"tampered commitment", joined(lines), OutputOutcome::NotVerified,
                     "the commitment does not verify"});
  }
  {
    auto lines = good;
    replaceOnce(lines[2], "\"1500\"", "\"1501\"");
    cases.push_back({"tampered amount", joined(lines), OutputOutcome::NotVerified,
                     "the commitment does not verify"});
  }
  {
    auto lines = good;
    replaceOnce(lines[7], "\"pageCount\":5", "\"pageCount\":6");
    cases.push_back({"page count of completed", joined(lines), OutputOutcome::NotVerified,
                     "pageCount 6 differs from the pages' 5"});
  }
  {
    // Each page is held to the bytes the worker's builder writes: a byte changed anywhere in a
    // page is found at its line, whether or not the item itself changes.
    auto changed = [&good](size_t line, std::string_view from, std::string_view to) {
      auto lines = good;
      replaceOnce(lines[line], from, to);
      return joined(lines);
    };
    for (auto [name, line, from, to, problem] :
         {std::tuple{"one page's count", 4, "\"pageCount\":5", "\"pageCount\":4", "line 5: "},
          {"a page not compact", 5, ":{\"E1\"", ": {\"E1\"", "line 6: "},
          {"two items in one page", 3, "[\"E2\"]", "[\"E2\",\"E3\"]", "line 4: "}}) {
      cases.push_back({name, changed(line, from, to), OutputOutcome::NotVerified,
                       std::string(problem) + "not the page the worker writes here"});
    }
    auto lines = good;
    std::swap(lines[5], lines[6]);
    replaceOnce(lines[5], "\"pageIndex\":4", "\"pageIndex\":3");
    replaceOnce(lines[6], "\"pageIndex\":3", "\"pageIndex\":4");
    cases.push_back({"residuals out of order", joined(lines), OutputOutcome::NotVerified,
                     "line 7: not the page"});
  }
  {
    std::vector<std::string> lines(good.begin(), good.begin() + 2);
    lines.push_back(R"({"code":"C5_ENGINE_FAILED","kind":"failed","nonce":")" +
                    std::string(kNonce) + R"(","version":1})");
    cases.push_back({"failed", joined(lines), OutputOutcome::Failed, ""});
    lines.back() = R"({"code":"C5_LIMIT","kind":"failed","nonce":")" + std::string(kNonce) +
                   R"(","version":1})";
    cases.push_back({"failed with a code never written", joined(lines), OutputOutcome::NotVerified,
                     "a code the worker never writes"});
    // A session writes "started" first, whatever it ends with.
    const std::string nullNonce =
        R"({"code":"CANCELLED","kind":"failed","nonce":null,"version":1})";
    cases.push_back({"failed first", nullNonce + "\n", OutputOutcome::NotVerified,
                     "line 1: \"failed\" out of turn"});
    cases.push_back({"executing first", joined({good[1]}), OutputOutcome::NotVerified,
                     "line 1: \"executing\" out of turn"});
  }
  {
    std::string bytes = joined(good);
    bytes.pop_back();
    cases.push_back(
        {"last line without its line feed", bytes, OutputOutcome::NotVerified, "line 8: cut off"});
    bytes = joined(good);
    bytes.resize(bytes.size() - 30);
    cases.push_back({"last line cut", bytes, OutputOutcome::NotVerified, "line 8: cut off"});
    cases.push_back({"no completed", joined({good.begin(), good.end() - 1}),
                     OutputOutcome::NotVerified, "cut off after page 5 of 5"});
    cases.push_back({"empty", "", OutputOutcome::NotVerified, "the output is empty"});
    cases.push_back({"after the last message", joined(good) + "\n", OutputOutcome::NotVerified,
                     "line 9: more output after the session's last message"});
  }
  {
    auto lines = good;
    replaceOnce(lines[1], "{\"kind\"", "{ \"kind\"");
    cases.push_back({"not compact", joined(lines), OutputOutcome::NotVerified,
                     "line 2: not written as the worker writes"});
    lines = good;
    replaceOnce(lines[1], "0123", "3210");
    cases.push_back({"another nonce", joined(lines), OutputOutcome::NotVerified,
                     "\"executing\" with another nonce"});
    lines = good;
    lines[3] += "\xff";
    cases.push_back({"not UTF-8", joined(lines), OutputOutcome::NotVerified, "line 4: not a"});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReassembledOutput out = reassembleOutput(c.bytes, false, ResultKept::Yes);
    EXPECT_EQ(out.outcome, c.outcome) << out.problem;
    if (c.problem.empty()) {
      EXPECT_EQ(out.problem, "");
    } else {
      EXPECT_NE(out.problem.find(c.problem), std::string::npos) << out.problem;
    }
    if (c.outcome == OutputOutcome::Verified) {
      ASSERT_TRUE(out.result.has_value());
      EXPECT_EQ(*out.result, result);
    }
  }
}

// The output must be the session's own: its nonce, and the run of its manifest.
TEST(ReportOutput, VerifiesAnOutputAgainstItsSession) {
  const std::string output = joined(workerLines(sampleResult()));
  auto session = [](std::string_view nonce, const std::string& runId) {
    return toCompactJson(makeObject({{"kind", "start"},
                                     {"manifest", toJsonValue(testing::makeManifest(runId))},
                                     {"nonce", nonce},
                                     {"version", 1}})) +
           "\n";
  };
  EXPECT_TRUE(verifyWorkerOutput(session(kNonce, "run-1"), output).verified());
  const struct {
    std::string session;
    std::string problem;
  } refused[] = {
      {session("nonce-of-another-session", "run-1"), "another session's"},
      {session(kNonce, "run-2"), "the result is of run run-1"},
      {"not a session\n", "does not begin with a \"start\""},
  };
  for (const auto& c : refused) {
    const ReassembledOutput out = verifyWorkerOutput(c.session, output);
    EXPECT_FALSE(out.verified());
    EXPECT_NE(out.problem.find(c.problem), std::string::npos) << out.problem;
  }
}

TEST(ReportOutput, TheEmptyResultIsOnePage) {
  ReconciliationResult empty;
  empty.runId = "run-1";
  const ReassembledOutput out = reassembleOutput(joined(workerLines(empty)));
  EXPECT_TRUE(out.verified()) << out.problem;
  EXPECT_EQ(out.pageCount, 1u);
}

TEST(ReportOutput, OutputPastTheReadLimitIsNotAWorkersOutput) {
  const std::string bytes = joined(workerLines(sampleResult()));
  const ReassembledOutput cut = reassembleOutput(bytes.substr(0, bytes.size() - 10), true);
  EXPECT_NE(cut.problem.find("longer than any worker output"), std::string::npos) << cut.problem;
}

TEST(ReportFigures, CurrencyIsExactDecimalText) {
  const __int128 min = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);
  const std::vector<std::pair<__int128, std::string>> cases = {
      {0, "0.00"},
      {5, "0.05"},
      {-5, "-0.05"},
      {100, "1.00"},
      {123456, "1,234.56"},
      {-12345678901, "-123,456,789.01"},
      {min, "-1,701,411,834,604,692,317,316,873,037,158,841,057.28"},
  };
  for (const auto& [cents, text] : cases) EXPECT_EQ(formatCurrency(cents), text);
  Amount sum;
  sum.add(min);
  sum.add(-1);
  EXPECT_EQ(formatCurrency(sum), "(overflow)");
}

TEST(ReportFigures, OpenAmountsCountInTheStageThatReportsThem) {
  ReconciliationResult result = sampleResult();
  result.pendingIds = {"B2", "E2", "S1"};
  result.residuals = {{"B1", "0"}, {"B2", "700"}, {"E1", "0"}, {"E2", "-250"}, {"S1", "40"}};
  // Without the input, only what the allocations name is placed.
  ReportFigures figures = computeFigures(result, nullptr);
  EXPECT_EQ(figures.stages[0].allocations, 1u);
  EXPECT_EQ(figures.stages[0].matched.value, 1500);
  EXPECT_EQ(figures.openUnplaced, 3u);
  EXPECT_EQ(figures.residualNet.value, 490);

  SessionEntries input;
  for (auto [id, role, date] : {std::tuple{"E2", SourceRole::Erp, "2024-05-02"},
                                {"B2", SourceRole::Bank, "2024-05-03"},
                                {"S1", SourceRole::Settlement, "2024-05-03"},
                                {"E1", SourceRole::Erp, "2024-05-01"}}) {
    input.entries.emplace(id, testing::makeEntry(id, role, "acct", date, "1"));
  }
  figures = computeFigures(result, &input);
  EXPECT_EQ(figures.openUnplaced, 0u);
  EXPECT_EQ(figures.stages[0].openEntries, 1u);  // E2
  EXPECT_EQ(figures.stages[0].open.value, 250);
  EXPECT_EQ(figures.stages[2].openEntries, 2u);  // B2 named by no erp-bank allocation, S1
  EXPECT_EQ(figures.stages[2].open.value, 740);
  EXPECT_EQ(figures.idsNotInInput, 1u);  // B1
  EXPECT_EQ(figures.days.at("2024-05-01").matched.value, 1500);
  EXPECT_EQ(figures.days.at("2024-05-03").open.value, 740);
}

TEST(ReportHtml, EveryTextIsEscaped) {
  const std::string output = joined(workerLines(sampleResult()));
  Entry entry =
      testing::makeEntry("E1", SourceRole::Erp, "acct", "2024-05-01", "1500", "<ref>&\"'");
  entry.description = "<script>alert(1)</script>";
  const std::string frame =
      R"({"kind":"entries","entries":[)" + toCompactJson(toJsonValue(entry)) + "]}\nnot json\n";
  const Report report = buildReport(output, false, frame);
  const std::string page = reportHtml(report);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<ref>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("&lt;ref&gt;&amp;&quot;&#39;"), std::string::npos);
  EXPECT_NE(page.find("<svg"), std::string::npos);
  EXPECT_EQ(report.input->linesPassedOver, 1u);
}

}  // namespace
}  // namespace tw::tool
