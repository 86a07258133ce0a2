#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using testing::makeRef;

Allocation makeAllocation(std::string left, std::string right) {
  return Allocation{
      AllocationStage::ErpBank, std::move(left), std::move(right), "1500",
      Evidence{"rule-1", {makeRef("erp", "f1", std::nullopt, 2)}, {ReasonCode::ReferenceMatch}}};
}

ReconciliationResult makeResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  result.revision = 7;
  result.allocations.push_back(makeAllocation("E1", "B1"));
  result.pendingIds = {"E2", "E2"};  // neither order nor uniqueness is required
  result.residuals = {{"E3", "-250"}, {"E4", "0"}};
  return result;
}

Json with(Json value, std::string_view key, Json member) {
  value.asObject().insert_or_assign(std::string(key), std::move(member));
  return value;
}

// The result's JSON with its single allocation's evidence member `key` replaced.
Json withEvidence(std::string_view key, Json member) {
  Json result = toJsonValue(makeResult());
  Json& evidence = result.asObject().at("allocations").asArray()[0].asObject().at("evidence");
  evidence = with(evidence, key, std::move(member));
  return result;
}

ContractError errorOf(Json value) {
  auto decoded = decodeReconciliationResult(std::move(value));
  EXPECT_FALSE(decoded.ok());
  return decoded.ok() ? ContractError::InvalidContract : decoded.error();
}

Json refs(std::initializer_list<Ref> list) {
  JsonArray array;
  for (const Ref& ref : list) array.push_back(toJsonValue(ref));
  return Json(std::move(array));
}

Json texts(std::initializer_list<const char*> list) {
  JsonArray array;
  for (const char* text : list) array.emplace_back(text);
  return Json(std::move(array));
}

TEST(DecodeResult, RoundTrips) {
  ReconciliationResult result = makeResult();
  result.allocations.push_back(
      Allocation{AllocationStage::SettlementBank, "S1", "B2", "-3",
                 Evidence{"r",
                          {makeRef("a", "f", std::nullopt, 9), makeRef("a", "f", "s", 1)},
                          {ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch,
                           ReasonCode::ReviewApproved}}});
  auto decoded = decodeReconciliationResult(toJsonValue(result));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), result);
}

TEST(DecodeResult, FirstViolatedRuleDecides) {
  const Json base = toJsonValue(makeResult());
  Json badAllocation = base;
  badAllocation.asObject().at("allocations").asArray()[0].asObject().at("stage") = Json("bank");
  struct Case {
    const char* name;
    Json value;
    ContractError code;
  };
  const Case cases[] = {
      {"array form", Json(JsonArray{}), ContractError::InvalidContract},
      {"__proto__ key", with(base, "__proto__", Json(nullptr)), ContractError::UnknownField},
      {"residual key constructor",
       with(base, "residuals", Json(makeObject({{"constructor", Json("1")}}))),
       ContractError::InvalidContract},
      {"residual amount malformed", with(base, "residuals", Json(makeObject({{"E", Json("1.0")}}))),
       ContractError::InvalidAmount},
      {"residual key checked before its value",
       with(base, "residuals", Json(makeObject({{"-E", Json("1.0")}}))),
       ContractError::InvalidContract},
      {"residual amount as number", with(base, "residuals", Json(makeObject({{"E", Json(1)}}))),
       ContractError::InvalidContract},
      {"pending id not text", with(base, "pendingIds", Json(JsonArray{Json(1)})),
       ContractError::InvalidContract},
      {"revision -1", with(base, "revision", Json(-1)), ContractError::InvalidContract},
      {"revision above 2^53-1", with(base, "revision", Json(uint64_t{9007199254740992ULL})),
       ContractError::OutOfRange},
      {"allocations before revision",
       with(badAllocation, "revision", Json(uint64_t{9007199254740992ULL})),
       ContractError::InvalidContract},
      {"unknown stage", badAllocation, ContractError::InvalidContract},
      {"evidence with an extra key", withEvidence("weight", Json(1)), ContractError::UnknownField},
      {"empty reason codes", withEvidence("reasonCodes", texts({})),
       ContractError::InvalidContract},
      {"reason codes out of text order",
       withEvidence("reasonCodes", texts({"reference-match", "documented-composition"})),
       ContractError::InvalidContract},
      {"repeated reason code",
       withEvidence("reasonCodes", texts({"reference-match", "reference-match"})),
       ContractError::InvalidContract},
      {"unknown reason code", withEvidence("reasonCodes", texts({"Reference-match"})),
       ContractError::InvalidContract},
      {"no origins", withEvidence("origins", refs({})), ContractError::InvalidContract},
      {"sheet before no sheet",
       withEvidence("origins",
                    refs({makeRef("a", "f", "s", 1), makeRef("a", "f", std::nullopt, 1)})),
       ContractError::InvalidContract},
      {"repeated origin",
       withEvidence("origins", refs({makeRef("a", "f", "s", 1), makeRef("a", "f", "s", 1)})),
       ContractError::InvalidContract},
      {"rows compare as numbers",
       withEvidence("origins", refs({makeRef("a", "f", "s", 10), makeRef("a", "f", "s", 9)})),
       ContractError::InvalidContract},
      {"origin row out of range",
       withEvidence("origins", Json(JsonArray{with(toJsonValue(makeRef("a", "f")), "row",
                                                   Json(uint64_t{4294967296u}))})),
       ContractError::OutOfRange},
  };
  for (const Case& c : cases) EXPECT_EQ(errorOf(c.value), c.code) << c.name;

  const Json validOrders[] = {
      withEvidence("reasonCodes", texts({"documented-composition", "reference-match"})),
      withEvidence("origins",
                   refs({makeRef("a", "f", std::nullopt, 2), makeRef("a", "f", "s", 1)})),
      withEvidence("origins", refs({makeRef("a", "f", "s", 9), makeRef("a", "f", "s", 10)})),
      withEvidence("origins", refs({makeRef("a", "f"), makeRef("a", "f2"), makeRef("a2", "a")})),
  };
  for (const Json& value : validOrders) EXPECT_TRUE(decodeReconciliationResult(value).ok());
}

TEST(DecodeResult, SizeBoundsAreCheckedBeforeElements) {
  const Json base = toJsonValue(makeResult());
  // One element over the bound is refused even though every element is of the wrong type: the
  // count is tested first.
  EXPECT_EQ(errorOf(with(base, "allocations", Json(JsonArray(kMaxAllocations + 1)))),
            ContractError::InvalidContract);
  EXPECT_EQ(errorOf(with(base, "pendingIds", Json(JsonArray(kMaxPendingIds + 1)))),
            ContractError::InvalidContract);

  Json validIds(JsonArray(kMaxPendingIds, Json("E1")));
  EXPECT_TRUE(decodeReconciliationResult(with(base, "pendingIds", validIds)).ok());
  validIds.asArray().emplace_back("E1");
  EXPECT_EQ(errorOf(with(base, "pendingIds", std::move(validIds))), ContractError::InvalidContract);

  JsonObject residuals;
  for (size_t i = 0; i <= kMaxResiduals; ++i) {
    residuals.emplace_hint(residuals.end(), "R" + std::to_string(1000000 + i), Json("1"));
  }
  EXPECT_EQ(errorOf(with(base, "residuals", Json(residuals))), ContractError::InvalidContract);
  residuals.erase(std::prev(residuals.end()));
  auto decoded = decodeReconciliationResult(with(base, "residuals", Json(std::move(residuals))));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().residuals.size(), kMaxResiduals);
}

TEST(DecodeResult, AllocationBoundIsInclusive) {
  // A full list of valid allocations costs about 1.5 GB of JSON values. Instead, the first
  // element carries an undeclared key: UnknownField proves that the count passed and the
  // elements were examined, InvalidContract that the count was refused first.
  const Json flawed = with(toJsonValue(makeAllocation("E", "B")), "extra", Json(1));
  for (size_t count : {kMaxAllocations, kMaxAllocations + 1}) {
    JsonArray allocations(count);
    allocations[0] = flawed;
    EXPECT_EQ(
        errorOf(with(toJsonValue(makeResult()), "allocations", Json(std::move(allocations)))),
        count == kMaxAllocations ? ContractError::UnknownField : ContractError::InvalidContract);
  }
}

}  // namespace
}  // namespace tw
