#include "contracts/contract_detail.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

Json entryJson() {
  Entry entry = testing::makeEntry("E1", SourceRole::Sales, "acc-1", "2024-03-15", "1500", "R1");
  entry.components.push_back(testing::makeFee("-25"));
  return toJsonValue(entry);
}

struct DetailCase {
  const char* name;
  std::function<void(JsonObject&)> change;
  const char* member;
  ContractError code;
  std::string says;  // part of the sentence
};

// The detail names the member that decided the code, with the code the decoder returns anyway.
TEST(ContractDetail, NamesTheMemberAndSaysWhatIsWrong) {
  const std::string establishment = entryJson().asObject().at("establishment").asString();
  std::string wrongFirst = establishment;
  wrongFirst[12] = static_cast<char>('0' + (wrongFirst[12] - '0' + 1) % 10);
  std::string wrongSecond = establishment;
  wrongSecond[13] = static_cast<char>('0' + (wrongSecond[13] - '0' + 1) % 10);
  const std::vector<DetailCase> cases = {
      {"undeclared key", [](JsonObject& o) { o["extra"] = Json(true); }, "extra",
       ContractError::UnknownField, "not a member"},
      {"id with a space", [](JsonObject& o) { o["id"] = Json(std::string("a b")); }, "id",
       ContractError::InvalidContract, "byte 2 (' ', 0x20)"},
      {"first check digit", [&](JsonObject& o) { o["establishment"] = Json(wrongFirst); },
       "establishment", ContractError::InvalidContract,
       std::string("byte 13 should be ") + establishment[12]},
      {"second check digit", [&](JsonObject& o) { o["establishment"] = Json(wrongSecond); },
       "establishment", ContractError::InvalidContract, "second check digit"},
      {"tab in the reference", [](JsonObject& o) { o["reference"] = Json(std::string("a\tb")); },
       "reference", ContractError::InvalidContract, "control character"},
      {"amount as a number", [](JsonObject& o) { o["cents"] = Json(uint64_t{10}); }, "cents",
       ContractError::InvalidContract, "must be a string of cents"},
      {"malformed amount", [](JsonObject& o) { o["cents"] = Json(std::string("1.5")); }, "cents",
       ContractError::InvalidAmount, "canonical"},
      {"file name with a space",
       [](JsonObject& o) {
         o["origin"].asObject()["fileId"] = Json(std::string("recebimentos maio.xlsx"));
       },
       "origin.fileId", ContractError::InvalidContract, "byte 13"},
      {"component row",
       [](JsonObject& o) {
         o["components"].asArray()[0].asObject()["origin"].asObject()["row"] =
             Json(uint64_t{1} << 33);
       },
       "components[0].origin.row", ContractError::OutOfRange, "above 4294967295"},
      {"long reference cut inside a character",
       [](JsonObject& o) {
         std::string text;
         for (int i = 0; i < 257; ++i) text += "\xc3\xa7";
         o["reference"] = Json(text);
       },
       "reference", ContractError::InvalidContract, "514 bytes long"},
      {"missing reference", [](JsonObject& o) { o.erase("reference"); }, "reference",
       ContractError::InvalidContract, "missing"},
  };
  for (const DetailCase& c : cases) {
    SCOPED_TRACE(c.name);
    Json value = entryJson();
    c.change(value.asObject());
    ContractDetail detail;
    auto decoded = decodeEntry(value, &detail);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error(), c.code);
    EXPECT_EQ(decodeEntry(value).error(), c.code);
    EXPECT_EQ(detail.member, c.member);
    EXPECT_EQ(detail.code, c.code);
    EXPECT_NE(detail.what.find(c.says), std::string::npos) << detail.what;
    EXPECT_TRUE(isValidUtf8(detail.what)) << detail.what;
  }
}

}  // namespace
}  // namespace tw
