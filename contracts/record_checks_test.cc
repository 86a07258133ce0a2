// The record-level checks and writers must agree with the JSON round trip they stand in for:
// the same first code, the same record back, the same bytes.
#include "contracts/record_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_writer.h"
#include "contracts/record_text.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using testing::makeEntry;
using testing::makeFee;
using testing::makeRef;

std::string codeOf(const Status<ContractError>& status) {
  return status ? "ok" : std::string(contractErrorName(status.error()));
}

template <class Record>
std::string roundTripCode(const Result<Record, ContractError>& decoded) {
  return decoded ? "ok" : std::string(contractErrorName(decoded.error()));
}

Entry fullEntry() {
  Entry entry = makeEntry("S-1", SourceRole::Sales, "1.1.2.07", "2024-05-02", "1000", "NSU-1");
  entry.description = "Card sale \"POS\" \\ caf\xc3\xa9";
  entry.origin.sheet = "May";
  entry.components.push_back(makeFee("-30"));
  entry.components.push_back(EntryComponent{EntryComponentKind::Reversal, "-1000",
                                            makeRef("src-settlement", "file-settlement")});
  return entry;
}

TEST(CheckEntryRecord, AgreesWithDecodingItsJsonForm) {
  const std::vector<std::pair<const char*, std::function<void(Entry&)>>> cases = {
      {"valid", [](Entry&) {}},
      {"no description", [](Entry& e) { e.description.reset(); }},
      {"no reference", [](Entry& e) { e.reference.reset(); }},
      {"bad id", [](Entry& e) { e.id = "-x"; }},
      {"bad id and date", [](Entry& e) { e.id = "prototype", e.date = "2024-02-30"; }},
      {"unknown role", [](Entry& e) { e.role = static_cast<SourceRole>(9); }},
      {"bad root", [](Entry& e) { e.root = "abcdefgh"; }},
      {"bad check digit", [](Entry& e) { e.establishment.back() ^= 1; }},
      {"other root", [](Entry& e) { e.establishment = testing::validEstablishment("ZZZZZZZZ"); }},
      {"root not the establishment's", [](Entry& e) { e.root = "ZZZZZZZZ"; }},
      {"bad account", [](Entry& e) { e.accountId = ""; }},
      {"bad date", [](Entry& e) { e.date = "2023-02-29"; }},
      {"bad cents", [](Entry& e) { e.cents = "-0"; }},
      {"cents out of range", [](Entry& e) { e.cents = "170141183460469231731687303715884105728"; }},
      {"empty reference", [](Entry& e) { e.reference = ""; }},
      {"reference with tab", [](Entry& e) { e.reference = "a\tb"; }},
      {"description too long", [](Entry& e) { e.description = std::string(513, 'd'); }},
      {"invalid UTF-8 description", [](Entry& e) { e.description = "caf\xc3"; }},
      {"bad origin file", [](Entry& e) { e.origin.fileId = "constructor"; }},
      {"empty sheet", [](Entry& e) { e.origin.sheet = ""; }},
      {"65 components", [](Entry& e) { e.components.resize(65, e.components.front()); }},
      {"unknown component kind",
       [](Entry& e) { e.components[1].kind = static_cast<EntryComponentKind>(2); }},
      {"bad component cents", [](Entry& e) { e.components[1].cents = "01"; }},
      {"bad component origin", [](Entry& e) { e.components[0].origin.sourceId = "_a"; }},
  };
  for (const auto& [name, mutate] : cases) {
    Entry entry = fullEntry();
    mutate(entry);
    auto decoded = decodeEntry(toJsonValue(entry));
    EXPECT_EQ(codeOf(checkEntryRecord(entry)), roundTripCode(decoded)) << name;
    // A run of entries checks again only what differs from the last entry that passed.
    const Entry passed = fullEntry();
    EntryContractRun first, later;
    EXPECT_EQ(first.passes(entry), decoded.ok()) << name;
    ASSERT_TRUE(later.passes(passed));
    EXPECT_EQ(later.passes(entry), decoded.ok()) << name;
    if (decoded) {
      EXPECT_EQ(*decoded, entry) << name;
    }
  }
}

Allocation makeAllocation(std::string left, std::string right, std::string cents) {
  Evidence evidence{"rule-reference",
                    {makeRef("src-bank", "file-bank", std::nullopt, 7),
                     makeRef("src-erp", "file-erp", "Sheet \"1\"\n", 3)},
                    {ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch}};
  return Allocation{AllocationStage::SettlementBank, std::move(left), std::move(right),
                    std::move(cents), std::move(evidence)};
}

ReconciliationResult fullResult() {
  ReconciliationResult result;
  result.runId = "run-1";
  result.revision = 7;
  result.allocations.push_back(makeAllocation("E1", "B1", "1500"));
  result.allocations.push_back(makeAllocation("E2", "B2", "25"));
  result.pendingIds = {"E3", "E4"};
  result.residuals = {{"B1", "0"}, {"E3", "-250"}, {"E4", "12"}};
  return result;
}

TEST(CheckResultRecord, AgreesWithDecodingItsJsonFormAndWritesItsCanonicalText) {
  const std::vector<std::pair<const char*, std::function<void(ReconciliationResult&)>>> cases = {
      {"valid", [](ReconciliationResult&) {}},
      {"empty",
       [](ReconciliationResult& r) {
         r = ReconciliationResult{"run-1", {}, {}, {}, 0};
       }},
      {"largest revision", [](ReconciliationResult& r) { r.revision = kMaxSafeInteger; }},
      {"revision too large", [](ReconciliationResult& r) { r.revision = kMaxSafeInteger + 1; }},
      {"bad run id", [](ReconciliationResult& r) { r.runId = "__proto__"; }},
      {"unknown stage",
       [](ReconciliationResult& r) { r.allocations[1].stage = static_cast<AllocationStage>(3); }},
      {"bad left id", [](ReconciliationResult& r) { r.allocations[0].leftId = "a b"; }},
      {"bad cents", [](ReconciliationResult& r) { r.allocations[0].cents = "+1"; }},
      {"bad rule id", [](ReconciliationResult& r) { r.allocations[0].evidence.ruleId = ""; }},
      {"no origins", [](ReconciliationResult& r) { r.allocations[0].evidence.origins.clear(); }},
      {"origins out of order",
       [](ReconciliationResult& r) {
         auto& origins = r.allocations[0].evidence.origins;
         std::swap(origins[0], origins[1]);
       }},
      {"repeated origin",
       [](ReconciliationResult& r) {
         auto& origins = r.allocations[0].evidence.origins;
         origins[1] = origins[0];
       }},
      {"65 origins",
       [](ReconciliationResult& r) {
         auto& origins = r.allocations[0].evidence.origins;
         origins.clear();
         for (uint32_t row = 0; row < 65; ++row) origins.push_back(makeRef("s", "f", {}, row));
       }},
      {"bad origin sheet",
       [](ReconciliationResult& r) { r.allocations[1].evidence.origins[1].sheet = "\x7f"; }},
      {"reasons out of text order",
       [](ReconciliationResult& r) {
         r.allocations[0].evidence.reasonCodes = {ReasonCode::ReferenceMatch,
                                                  ReasonCode::DocumentedComposition};
       }},
      {"four reasons",
       [](ReconciliationResult& r) {
         r.allocations[0].evidence.reasonCodes = {
             ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch,
             ReasonCode::ReviewApproved, ReasonCode::ReviewApproved};
       }},
      {"unknown reason",
       [](ReconciliationResult& r) {
         r.allocations[0].evidence.reasonCodes = {static_cast<ReasonCode>(5)};
       }},
      {"bad pending id", [](ReconciliationResult& r) { r.pendingIds.push_back("prototype"); }},
      {"bad residual key", [](ReconciliationResult& r) { r.residuals.emplace("-E", "1"); }},
      {"bad residual amount", [](ReconciliationResult& r) { r.residuals["E4"] = "1.0"; }},
  };
  for (const auto& [name, mutate] : cases) {
    ReconciliationResult result = fullResult();
    mutate(result);
    auto decoded = decodeReconciliationResult(toJsonValue(result));
    EXPECT_EQ(codeOf(checkResultRecord(result)), roundTripCode(decoded)) << name;
    if (!decoded) continue;
    EXPECT_EQ(*decoded, result) << name;
    // Drained in small parts, as the commitment hashes it, and whole.
    for (size_t drainBytes : {size_t{1}, size_t{100}, size_t{1} << 20}) {
      std::string text;
      std::string part;
      appendCanonicalResult(part, result, drainBytes, [&text](std::string& bytes) {
        text += bytes;
        bytes.clear();
      });
      text += part;
      EXPECT_EQ(text, canonicalJsonText(toJsonValue(result)).value()) << name;
    }
    for (const Allocation& allocation : result.allocations) {
      std::string text;
      appendRecordJson(text, allocation);
      EXPECT_EQ(text, toCompactJson(toJsonValue(allocation))) << name;
    }
  }
}

}  // namespace
}  // namespace tw
