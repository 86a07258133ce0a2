// The entry contract, member by member from its tables: every member of an entry, of a component
// and of an origin, taken away or given a value of the wrong JSON type, is refused by each reader
// of entries with the same code at the same member; and a flaw of shape ranks with the format
// rules in one order.
#include "contracts/entry_contract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

Json entryJson() {
  Entry entry = testing::makeEntry("E1", SourceRole::Sales, "acc-1", "2024-03-15", "1500", "R1");
  entry.description = "sale";
  entry.components.push_back(testing::makeFee("-25"));
  return toJsonValue(entry);
}

// The objects of `entry` reached by a path prefix: "" (the entry), "origin", "components[0]",
// "components[0].origin".
JsonObject& part(Json& entry, const std::string& prefix) {
  JsonObject& own = entry.asObject();
  if (prefix.empty()) return own;
  if (prefix == "origin") return own.at("origin").asObject();
  JsonObject& component = own.at("components").asArray()[0].asObject();
  if (prefix == "components[0]") return component;
  return component.at("origin").asObject();
}

struct Expected {
  std::string member;  // as the detail names it
  ContractError code;
};

// Decodes `value` with and without a detail; both give `expected`.
void expectRefused(const Json& value, const Expected& expected) {
  ContractDetail detail;
  auto decoded = decodeEntry(value, &detail);
  ASSERT_FALSE(decoded.ok()) << toCompactJson(value);
  EXPECT_EQ(decoded.error(), expected.code);
  EXPECT_EQ(decodeEntry(value).error(), expected.code);
  EXPECT_EQ(detail.member, expected.member);
  EXPECT_EQ(detail.code, expected.code);
  EXPECT_FALSE(detail.what.empty());
}

template <class Member, size_t N>
void everyMemberAbsentOrMisshapen(const std::array<MemberName<Member>, N>& table,
                                  const std::string& prefix, uint32_t required) {
  const std::string dot = prefix.empty() ? "" : prefix + ".";
  for (const auto& [name, member] : table) {
    SCOPED_TRACE(dot + std::string(name));
    const std::string key(name);
    Json absent = entryJson();
    part(absent, prefix).erase(key);
    if ((required & memberBit(member)) == 0) {
      EXPECT_TRUE(decodeEntry(absent).ok());
    } else {
      // In an origin every member must be present before any is judged: the first one missing
      // is named, with the origin's other members well formed.
      expectRefused(absent, {dot + key, ContractError::InvalidContract});
    }
    Json wrongType = entryJson();
    part(wrongType, prefix)[key] = Json(true);
    expectRefused(wrongType, {dot + key, ContractError::InvalidContract});
  }
  Json undeclared = entryJson();
  part(undeclared, prefix)["zzz"] = Json(1);
  expectRefused(undeclared, {dot + "zzz", ContractError::UnknownField});
}

TEST(EntryContract, EveryMemberAbsentOrOfTheWrongTypeIsRefusedWhereItStands) {
  everyMemberAbsentOrMisshapen(kEntryMembers, "", kEntryRequired);
  everyMemberAbsentOrMisshapen(kRefMembers, "origin", kRefRequired);
  everyMemberAbsentOrMisshapen(kComponentMembers, "components[0]", kComponentRequired);
  everyMemberAbsentOrMisshapen(kRefMembers, "components[0].origin", kRefRequired);
}

TEST(EntryContract, ShapeAndFormatRulesRunInOneOrder) {
  const auto change = [](auto edit) {
    Json value = entryJson();
    edit(value.asObject());
    return value;
  };
  const struct {
    const char* name;
    Json value;
    Expected expected;
  } cases[] = {
      {"wrong type before a bad date",
       change(
           [](JsonObject& o) { o["id"] = Json(1), o["date"] = Json(std::string("2023-02-29")); }),
       {"id", ContractError::InvalidContract}},
      {"bad date before a later wrong type",
       change([](JsonObject& o) {
         o["date"] = Json(std::string("2023-02-29")), o["reference"] = Json(1);
       }),
       {"date", ContractError::InvalidDate}},
      {"bad date before an undeclared component key",
       change([](JsonObject& o) {
         o["date"] = Json(std::string("2023-02-29"));
         o["components"].asArray()[0].asObject()["x"] = Json(1);
       }),
       {"date", ContractError::InvalidDate}},
      {"bad amount of a first component before a second one that is no object",
       change([](JsonObject& o) {
         JsonArray& list = o["components"].asArray();
         list[0].asObject()["cents"] = Json(std::string("-0"));
         list.push_back(Json(1));
       }),
       {"components[0].cents", ContractError::InvalidAmount}},
      {"second component no object",
       change([](JsonObject& o) { o["components"].asArray().push_back(Json(JsonArray{})); }),
       {"components[1]", ContractError::InvalidContract}},
      {"row out of range before a later flaw",
       change([](JsonObject& o) {
         o["origin"].asObject()["row"] = Json(uint64_t{1} << 32);
         o["components"] = Json(1);
       }),
       {"origin.row", ContractError::OutOfRange}},
      {"negative row",
       change([](JsonObject& o) { o["origin"].asObject()["row"] = Json(-1.0); }),
       {"origin.row", ContractError::InvalidContract}},
      {"role with another case",
       change([](JsonObject& o) { o["role"] = Json(std::string("Bank")); }),
       {"role", ContractError::InvalidContract}},
      {"65 components",
       change([](JsonObject& o) {
         JsonArray& list = o["components"].asArray();
         while (list.size() < kMaxComponents + 1) list.push_back(list[0]);
       }),
       {"components", ContractError::InvalidContract}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectRefused(c.value, c.expected);
  }
}

// A record that reached memory another way is held to the same rules: checkEntryRecord, the
// run of entries checked one after another and decoding agree on every value above that has a
// record form.
TEST(EntryContract, RecordsAreHeldToTheRulesTheirJsonFormMeets) {
  Entry entry = testing::makeEntry("E1", SourceRole::Bank, "acc-1", "2024-03-15", "1500", "R1");
  EntryContractRun run;
  std::vector<Entry> kept;
  kept.reserve(4);
  for (const std::string_view id : {"E1", "E2", "-x", "E4"}) {
    entry.id = id;
    kept.push_back(entry);
    const bool valid = id != "-x";
    EXPECT_EQ(run.passes(kept.back()), valid);
    EXPECT_EQ(checkEntryRecord(kept.back()).ok(), valid);
    EXPECT_EQ(decodeEntry(toJsonValue(kept.back())).ok(), valid);
  }
  entry.id = "E5";
  entry.date = "2023-02-29";
  EXPECT_EQ(checkEntryRecord(entry).error(), ContractError::InvalidDate);
  EXPECT_FALSE(run.passes(entry));
}

}  // namespace
}  // namespace tw
