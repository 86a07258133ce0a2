#include "contracts/commitment.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "contracts/json_writer.h"
#include "contracts/record_text.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

ReconciliationResult emptyResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  return result;
}

ReconciliationResult exampleResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  result.revision = 7;
  result.pendingIds = {"E2"};
  result.residuals = {{"E3", "-250"}};
  result.allocations.push_back(Allocation{AllocationStage::ErpBank, "E1", "B1", "1500",
                                          Evidence{"rule-1",
                                                   {testing::makeRef("erp", "f1", std::nullopt, 2)},
                                                   {ReasonCode::ReferenceMatch}}});
  return result;
}

std::string canonicalOf(const ReconciliationResult& result) {
  auto text = canonicalJsonText(toJsonValue(result));
  EXPECT_TRUE(text.ok());
  return text.ok() ? text.value() : std::string();
}

std::string commitmentOf(const ReconciliationResult& result) {
  auto commitment = commitResult(result);
  EXPECT_TRUE(commitment.ok());
  return commitment.ok() ? commitment.value() : std::string();
}

TEST(Commitment, ReproducesTheWorkedExamples) {
  const std::string emptyText = canonicalOf(emptyResult());
  EXPECT_EQ(emptyText,
            R"({"allocations":[],"pendingIds":[],"residuals":{},"revision":0,"runId":"run-1"})");
  EXPECT_EQ(emptyText.size(), 78u);
  EXPECT_EQ(commitmentOf(emptyResult()),
            "d1978ee291bf8c7939ecd1cc861a5105ee619474ba8292034eed768ba175407b");

  const std::string exampleText = canonicalOf(exampleResult());
  EXPECT_EQ(exampleText,
            R"({"allocations":[{"cents":"1500","evidence":{"origins":[{"fileId":"f1","row":2,)"
            R"("sheet":null,"sourceId":"erp"}],"reasonCodes":["reference-match"],)"
            R"("ruleId":"rule-1"},"leftId":"E1","rightId":"B1","stage":"erp-bank"}],)"
            R"("pendingIds":["E2"],"residuals":{"E3":"-250"},"revision":7,"runId":"run-1"})");
  EXPECT_EQ(exampleText.size(), 288u);
  EXPECT_EQ(commitmentOf(exampleResult()),
            "9d0d58d5f4cbdbc69b0d81aca833873589dcba9f2c462075a145d2d294ab8405");
}

// Feeds a result's items as the pages write them.
Result<std::string, ContractError> commitmentFromItems(const ReconciliationResult& result) {
  ResultCommitment commitment;
  for (const Allocation& allocation : result.allocations) {
    std::string text;
    appendRecordJson(text, allocation);
    commitment.addAllocation(text);
  }
  for (const std::string& id : result.pendingIds) {
    std::string text;
    appendJsonString(text, id);
    commitment.addPendingId(text);
  }
  for (const auto& [id, cents] : result.residuals) {
    std::string text;
    appendJsonString(text, id);
    text.push_back(':');
    appendJsonString(text, cents);
    commitment.addResidual(text);
  }
  return commitment.finish(result.revision, result.runId);
}

TEST(Commitment, FromItemTextsEqualsTheWholeText) {
  const ReconciliationResult example = exampleResult();
  // Every combination of empty and filled sections, and a result whose text spans many of the
  // parts it is hashed in.
  for (int filled = 0; filled < 8; ++filled) {
    ReconciliationResult result = emptyResult();
    if (filled & 1) result.allocations = example.allocations;
    if (filled & 2) result.pendingIds = {"P1", "P\"2"};
    if (filled & 4) result.residuals = example.residuals;
    SCOPED_TRACE(filled);
    EXPECT_EQ(commitmentFromItems(result).value(), commitCheckedResult(result).value());
  }
  ReconciliationResult large = exampleResult();
  for (int i = 0; i < 3000; ++i) {
    Allocation allocation = large.allocations.front();
    allocation.leftId = "E" + std::to_string(100000 + i);
    large.allocations.push_back(allocation);
    large.pendingIds.push_back("P" + std::to_string(100000 + i));
    large.residuals.emplace("R" + std::to_string(100000 + i), std::to_string(i));
  }
  EXPECT_EQ(commitmentFromItems(large).value(), commitCheckedResult(large).value());
}

TEST(Commitment, FromItemTextsRefusesItemsOutOfOrder) {
  ResultCommitment commitment;
  commitment.addPendingId(R"("P1")");
  commitment.addAllocation(R"({"cents":"1"})");
  auto finished = commitment.finish(0, "run-1");
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error(), ContractError::InvalidContract);
}

TEST(Commitment, DependsOnContentOnly) {
  ReconciliationResult renamed = exampleResult();
  renamed.runId = "run-2";
  const std::string changed = commitmentOf(renamed);
  EXPECT_NE(changed, commitmentOf(exampleResult()));
  EXPECT_EQ(changed.size(), 64u);
  EXPECT_EQ(changed.find_first_not_of("0123456789abcdef"), std::string::npos);

  ReconciliationResult forward = exampleResult();
  ReconciliationResult backward = exampleResult();
  for (int i = 0; i < 50; ++i) {
    forward.residuals.emplace("R" + std::to_string(i), std::to_string(i));
    backward.residuals.emplace("R" + std::to_string(49 - i), std::to_string(49 - i));
  }
  EXPECT_EQ(commitmentOf(forward), commitmentOf(backward));
}

TEST(Commitment, RefusesResultsThatBreakTheContract) {
  ReconciliationResult unordered = exampleResult();
  unordered.allocations[0].evidence.reasonCodes = {ReasonCode::ReferenceMatch,
                                                   ReasonCode::DocumentedComposition};
  EXPECT_EQ(commitResult(unordered).error(), ContractError::InvalidContract);
  ReconciliationResult badAmount = exampleResult();
  badAmount.residuals["E3"] = "-0";
  EXPECT_EQ(commitResult(badAmount).error(), ContractError::InvalidAmount);
  ReconciliationResult bigRevision = exampleResult();
  bigRevision.revision = 9007199254740992ULL;
  EXPECT_EQ(commitResult(bigRevision).error(), ContractError::OutOfRange);
}

TEST(CanonicalText, WritesStringsRawExceptTheRequiredEscapes) {
  auto text = canonicalJsonText(Json(makeObject({
      {"caf\xc3\xa9", Json("line\nbreak \"q\" \\ / \x7f \x1f \x08\t\x0c\r \xe2\x82\xac")},
      {"b", Json(JsonArray{Json(nullptr), Json(true), Json(false), Json(JsonObject{})})},
  })));
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(text.value(),
            "{\"b\":[null,true,false,{}],\"caf\xc3\xa9\":\"line\\nbreak \\\"q\\\" \\\\ / \x7f "
            "\\u001f \\b\\t\\f\\r \xe2\x82\xac\"}");
}

TEST(CanonicalText, NormalisesNumbers) {
  struct Case {
    Json value;
    const char* text;  // nullptr when refused
    ContractError code;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {Json(5.0), "5", {}},
      {Json(-0.0), "0", {}},
      {Json(uint64_t{0}), "0", {}},
      {Json(uint64_t{9007199254740991ULL}), "9007199254740991", {}},
      {Json(9007199254740991.0), "9007199254740991", {}},
      {Json(uint64_t{9007199254740992ULL}), nullptr, ContractError::OutOfRange},
      {Json(9007199254740992.0), nullptr, ContractError::OutOfRange},
      {Json(-1), nullptr, ContractError::InvalidContract},
      {Json(-1.0), nullptr, ContractError::InvalidContract},
      {Json(0.5), nullptr, ContractError::InvalidContract},
      {Json(inf), nullptr, ContractError::InvalidContract},
      {Json(std::numeric_limits<double>::quiet_NaN()), nullptr, ContractError::InvalidContract},
  };
  for (const Case& c : cases) {
    auto text = canonicalJsonText(c.value);
    if (c.text != nullptr) {
      ASSERT_TRUE(text.ok()) << c.text;
      EXPECT_EQ(text.value(), c.text);
    } else {
      ASSERT_FALSE(text.ok());
      EXPECT_EQ(text.error(), c.code);
    }
  }
  // The first failing number in member order decides: "a" comes before "b".
  JsonObject members;
  members.emplace("b", Json(0.5));
  members.emplace("a", Json(uint64_t{1} << 60));
  EXPECT_EQ(canonicalJsonText(Json(std::move(members))).error(), ContractError::OutOfRange);
  JsonArray elements;
  elements.emplace_back(-1);
  elements.emplace_back(uint64_t{1} << 60);
  EXPECT_EQ(canonicalJsonText(Json(std::move(elements))).error(), ContractError::InvalidContract);
}

}  // namespace
}  // namespace tw
