#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using testing::makeEntry;
using testing::makeFee;
using testing::makeManifest;

Json validEntryJson() {
  Entry entry = makeEntry("E1", SourceRole::Bank, "acc-1", "2024-03-15", "-1500", "INV 42");
  entry.description = "wire transfer";
  entry.components.push_back(makeFee("25"));
  return toJsonValue(entry);
}

Json with(Json value, std::string_view key, Json member) {
  value.asObject().insert_or_assign(std::string(key), std::move(member));
  return value;
}

Json without(Json value, std::string_view key) {
  value.asObject().erase(std::string(key));
  return value;
}

ContractError errorOf(Json value) {
  auto decoded = decodeEntry(std::move(value));
  EXPECT_FALSE(decoded.ok());
  return decoded.ok() ? ContractError::InvalidContract : decoded.error();
}

TEST(DecodeEntry, RoundTripsEveryField) {
  Entry entry = makeEntry("E1", SourceRole::Settlement, "acc", "2024-01-31", "0");
  entry.description = "caf\xc3\xa9";
  entry.origin.sheet = "Sheet 1";
  entry.origin.row = 4294967295u;
  entry.components.push_back(makeFee("-7"));
  entry.components.push_back(EntryComponent{EntryComponentKind::Reversal,
                                            "170141183460469231731687303715884105727",
                                            testing::roleOrigin(SourceRole::Erp, 9)});
  auto decoded = decodeEntry(toJsonValue(entry));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), entry);
}

TEST(DecodeEntry, FirstViolatedRuleDecides) {
  const Json base = validEntryJson();
  Json badOrigin = base;
  badOrigin.asObject().at("origin").asObject().emplace("extra", Json(1));
  struct Case {
    const char* name;
    Json value;
    ContractError code;
  };
  const Case cases[] = {
      {"array form", Json(JsonArray{Json("E1"), Json("bank")}), ContractError::InvalidContract},
      {"extra key beats every other fault",
       with(with(with(base, "zzz", Json(1)), "id", Json("-bad")), "date", Json("2024-02-30")),
       ContractError::UnknownField},
      {"__proto__ key", with(base, "__proto__", Json(nullptr)), ContractError::UnknownField},
      {"bad id before bad date", with(with(base, "id", Json("-bad")), "date", Json("2024-02-30")),
       ContractError::InvalidContract},
      {"only a bad date", with(base, "date", Json("2024-02-30")), ContractError::InvalidDate},
      {"bad date before bad amount", with(with(base, "date", Json("x")), "cents", Json("01")),
       ContractError::InvalidDate},
      {"bad amount before bad origin", with(badOrigin, "cents", Json("01")),
       ContractError::InvalidAmount},
      {"undeclared key inside origin", badOrigin, ContractError::UnknownField},
      {"date not a string", with(base, "date", Json(20240315)), ContractError::InvalidContract},
      {"cents as number", with(base, "cents", Json(1500)), ContractError::InvalidContract},
      {"amount out of range", with(base, "cents", Json("170141183460469231731687303715884105728")),
       ContractError::OutOfRange},
      {"role as object", with(base, "role", Json(makeObject({{"bank", Json(nullptr)}}))),
       ContractError::InvalidContract},
      {"role capitalised", with(base, "role", Json("Bank")), ContractError::InvalidContract},
      {"missing reference", without(base, "reference"), ContractError::InvalidContract},
      {"reference of 513 bytes", with(base, "reference", Json(std::string(513, 'r'))),
       ContractError::InvalidContract},
      {"reference with a tab", with(base, "reference", Json("a\tb")),
       ContractError::InvalidContract},
      {"description not text", with(base, "description", Json(false)),
       ContractError::InvalidContract},
      {"missing id", without(base, "id"), ContractError::InvalidContract},
      {"forbidden account", with(base, "accountId", Json("constructor")),
       ContractError::InvalidContract},
      {"establishment of another root",
       with(base, "establishment", Json(testing::validEstablishment("ZYXWVUTS"))),
       ContractError::InvalidContract},
      {"establishment with a wrong check digit",
       with(base, "establishment", Json("ABCDEFGH000100")), ContractError::InvalidContract},
      {"lower-case root", with(base, "root", Json("abcdefgh")), ContractError::InvalidContract},
      {"components missing", without(base, "components"), ContractError::InvalidContract},
  };
  for (const Case& c : cases) EXPECT_EQ(errorOf(c.value), c.code) << c.name;
}

TEST(DecodeEntry, OptionalTextsAndComponentBounds) {
  const Json base = validEntryJson();
  EXPECT_TRUE(decodeEntry(without(base, "description")).ok());
  EXPECT_TRUE(decodeEntry(with(base, "description", Json(nullptr))).ok());
  EXPECT_TRUE(decodeEntry(with(base, "reference", Json(nullptr))).ok());
  EXPECT_TRUE(decodeEntry(with(base, "reference", Json(std::string(512, 'r')))).ok());
  EXPECT_TRUE(decodeEntry(with(base, "components", Json(JsonArray{}))).ok());

  const Json fee = toJsonValue(makeFee("5"));
  EXPECT_TRUE(decodeEntry(with(base, "components", Json(JsonArray(64, fee)))).ok());
  EXPECT_EQ(errorOf(with(base, "components", Json(JsonArray(65, fee)))),
            ContractError::InvalidContract);
  // The bound is checked before any element: 65 components with a bad one first still give
  // the size error, not the element's.
  JsonArray tooMany(65, fee);
  tooMany[0] = with(fee, "extra", Json(1));
  EXPECT_EQ(errorOf(with(base, "components", Json(tooMany))), ContractError::InvalidContract);

  EXPECT_EQ(errorOf(with(base, "components", Json(JsonArray{with(fee, "extra", Json(1))}))),
            ContractError::UnknownField);
  EXPECT_EQ(errorOf(with(base, "components", Json(JsonArray{with(fee, "cents", Json(1e3))}))),
            ContractError::InvalidContract);
  EXPECT_EQ(errorOf(with(base, "components", Json(JsonArray{with(fee, "kind", Json("Fee"))}))),
            ContractError::InvalidContract);
}

TEST(DecodeEntry, RowFollowsTheSafeIntegerRule) {
  struct Case {
    Json row;
    bool ok;
    ContractError code;
  };
  const Case cases[] = {
      {Json(uint64_t{4294967295u}), true, {}},
      {Json(7.0), true, {}},
      {Json(-0.0), true, {}},
      {Json(uint64_t{4294967296u}), false, ContractError::OutOfRange},
      {Json(int64_t{-1}), false, ContractError::InvalidContract},
      {Json(1.5), false, ContractError::InvalidContract},
      {Json("1"), false, ContractError::InvalidContract},
  };
  for (const Case& c : cases) {
    Json entry = validEntryJson();
    entry.asObject().at("origin").asObject().at("row") = c.row;
    auto decoded = decodeEntry(std::move(entry));
    ASSERT_EQ(decoded.ok(), c.ok) << toCompactJson(c.row);
    if (!c.ok) {
      EXPECT_EQ(decoded.error(), c.code);
    }
  }
  Json entry = validEntryJson();
  entry.asObject().at("origin").asObject().at("row") = Json(7.0);
  EXPECT_EQ(decodeEntry(std::move(entry)).value().origin.row, 7u);
}

TEST(CheckEntryAgainstManifest, BankEntriesMustFallInsideTheWindow) {
  const RunManifest windowed = makeManifest("run-1", "2024-01-01", "2024-01-31");
  struct Case {
    SourceRole role;
    const char* date;
    bool ok;
  };
  const Case cases[] = {
      {SourceRole::Bank, "2024-01-31", true},  {SourceRole::Bank, "2024-01-01", true},
      {SourceRole::Bank, "2024-02-01", false}, {SourceRole::Bank, "2023-12-31", false},
      {SourceRole::Erp, "2024-02-01", true},   {SourceRole::Settlement, "1999-01-01", true},
  };
  for (const Case& c : cases) {
    const Entry entry = makeEntry("E1", c.role, "acc", c.date, "100");
    auto status = checkEntryAgainstManifest(entry, windowed);
    ASSERT_EQ(status.ok(), c.ok) << c.date;
    if (!c.ok) {
      EXPECT_EQ(status.error(), ContractError::OutsideWindow);
    }
    EXPECT_TRUE(checkEntryAgainstManifest(entry, makeManifest("run-1")).ok());
  }
}

TEST(CheckEntryAgainstManifest, HoldsInMemoryRecordsToTheContract) {
  Entry badDate = makeEntry("E1", SourceRole::Erp, "acc", "2024-13-01", "100");
  EXPECT_EQ(checkEntryAgainstManifest(badDate, makeManifest("run-1")).error(),
            ContractError::InvalidDate);
  RunManifest badManifest = makeManifest("run-1");
  badManifest.version = 2;
  const Entry entry = makeEntry("E1", SourceRole::Erp, "acc", "2024-01-01", "100");
  EXPECT_EQ(checkEntryAgainstManifest(entry, badManifest).error(), ContractError::InvalidContract);
  // Texts built in memory must be UTF-8, as every text read from the host is.
  Entry badText = makeEntry("E1", SourceRole::Erp, "acc", "2024-01-01", "100", "ref \xff");
  EXPECT_EQ(checkEntryAgainstManifest(badText, makeManifest("run-1")).error(),
            ContractError::InvalidContract);
  // The entry is decoded before the manifest.
  EXPECT_EQ(checkEntryAgainstManifest(badDate, badManifest).error(), ContractError::InvalidDate);
}

}  // namespace
}  // namespace tw
