#include "contracts/source.h"

#include <gtest/gtest.h>

#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using testing::makeRef;

TEST(Enumerations, TextsRoundTripExactly) {
  for (SourceRole role :
       {SourceRole::Erp, SourceRole::Sales, SourceRole::Settlement, SourceRole::Bank}) {
    EXPECT_EQ(sourceRoleFromText(toText(role)), role);
  }
  for (ReasonCode code : {ReasonCode::ReferenceMatch, ReasonCode::DocumentedComposition,
                          ReasonCode::ReviewApproved}) {
    EXPECT_EQ(reasonCodeFromText(toText(code)), code);
  }
  for (AllocationStage stage : {AllocationStage::ErpBank, AllocationStage::SalesSettlement,
                                AllocationStage::SettlementBank}) {
    EXPECT_EQ(allocationStageFromText(toText(stage)), stage);
  }
  EXPECT_EQ(componentKindFromText("reversal"), EntryComponentKind::Reversal);
  EXPECT_EQ(toText(AllocationStage::SalesSettlement), "sales-settlement");
  EXPECT_FALSE(sourceRoleFromText("Bank"));
  EXPECT_FALSE(componentKindFromText("fee "));
  EXPECT_FALSE(reasonCodeFromText(""));
}

TEST(RefOrder, SourceThenFileThenSheetAbsentFirstThenRowAsNumber) {
  // Each reference is strictly smaller than the next.
  const Ref ascending[] = {
      makeRef("a", "f", std::nullopt, 99), makeRef("a", "f", "", 1),
      makeRef("a", "f", "S", 1),           makeRef("a", "f", "S", 2),
      makeRef("a", "f", "S", 10),          makeRef("a", "f", "s", 0),
      makeRef("a", "f2", std::nullopt, 0), makeRef("a2", "a", std::nullopt, 0),
  };
  for (size_t i = 0; i + 1 < std::size(ascending); ++i) {
    EXPECT_TRUE(ascending[i] < ascending[i + 1]) << i;
    EXPECT_FALSE(ascending[i + 1] < ascending[i]) << i;
    EXPECT_FALSE(ascending[i] < ascending[i]) << i;
  }
}

TEST(JsonForm, OptionalTextsAndWindow) {
  Entry entry = testing::makeEntry("E1", SourceRole::Erp, "acc", "2024-01-01", "5");
  const Json value = toJsonValue(entry);
  EXPECT_TRUE(value.find("reference")->isNull());
  EXPECT_EQ(value.find("description"), nullptr);
  EXPECT_TRUE(value.find("origin")->find("sheet")->isNull());
  entry.description = "d";
  EXPECT_EQ(toJsonValue(entry).find("description")->asString(), "d");

  const Json manifest = toJsonValue(testing::makeManifest("run-1"));
  EXPECT_TRUE(manifest.find("window")->isNull());
  EXPECT_EQ(manifest.find("version")->asUnsigned(), 1u);
  EXPECT_EQ(toCompactJson(toJsonValue(makeRef("s", "f", "Sheet", 3))),
            R"({"fileId":"f","row":3,"sheet":"Sheet","sourceId":"s"})");
}

}  // namespace
}  // namespace tw
