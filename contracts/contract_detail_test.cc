#include "contracts/contract_detail.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

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

// Each case changes `base`; both decoders refuse it with the case's code, and the detail names
// the member and says what the case expects.
template <class Decode, class DecodeWithDetail>
void expectDetails(const Json& base, const std::vector<DetailCase>& cases, Decode decode,
                   DecodeWithDetail decodeWithDetail) {
  for (const DetailCase& c : cases) {
    SCOPED_TRACE(c.name);
    Json value = base;
    c.change(value.asObject());
    ContractDetail detail;
    auto decoded = decodeWithDetail(value, &detail);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error(), c.code);
    EXPECT_EQ(decode(value).error(), c.code);
    EXPECT_EQ(detail.member, c.member);
    EXPECT_EQ(detail.code, c.code);
    EXPECT_NE(detail.what.find(c.says), std::string::npos) << detail.what;
    EXPECT_TRUE(isValidUtf8(detail.what)) << detail.what;
  }
}

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
  expectDetails(
      entryJson(), cases, [](const Json& v) { return decodeEntry(v); },
      [](const Json& v, ContractDetail* d) { return decodeEntry(v, d); });
}

TEST(ContractDetail, NamesTheManifestMemberAndSaysWhatIsWrong) {
  const auto digestAt = [](JsonObject& o, size_t i) -> JsonObject& {
    return o["inputDigests"].asArray()[i].asObject();
  };
  const auto setWindow = [](JsonObject& o, const char* from, const char* to) {
    o["window"] = Json(makeObject({{"from", Json(from)}, {"to", Json(to)}}));
  };
  const std::vector<DetailCase> cases = {
      {"fileId with a space", [&](JsonObject& o) { digestAt(o, 0)["fileId"] = Json("x y"); },
       "inputDigests[0].fileId", ContractError::InvalidContract, "byte 2 (' ', 0x20)"},
      {"upper-case sha256",
       [&](JsonObject& o) { digestAt(o, 2)["sha256"] = Json(std::string(63, 'a') + "A"); },
       "inputDigests[2].sha256", ContractError::InvalidContract, "byte 64 ('A', 0x41)"},
      {"digests out of order", [&](JsonObject& o) { std::swap(digestAt(o, 1), digestAt(o, 2)); },
       "inputDigests[2]", ContractError::InvalidContract,
       "sorts before inputDigests[1] (\"src-sales\""},
      {"a file with two sha256",
       [&](JsonObject& o) { digestAt(o, 3)["fileId"] = digestAt(o, 0)["fileId"]; },
       "inputDigests[3]", ContractError::InvalidContract, "another sha256 than inputDigests[0]"},
      {"window ends first", [&](JsonObject& o) { setWindow(o, "2024-02-01", "2024-01-31"); },
       "window", ContractError::OutsideWindow, "starts on \"2024-02-01\", after it ends on"},
      {"window to not a date", [&](JsonObject& o) { setWindow(o, "2024-02-01", "2024-02-30"); },
       "window.to", ContractError::InvalidDate, "calendar date"},
  };
  expectDetails(
      toJsonValue(testing::makeManifest("run-1")), cases,
      [](const Json& v) { return decodeRunManifest(v); },
      [](const Json& v, ContractDetail* d) { return decodeRunManifest(v, d); });
}

}  // namespace
}  // namespace tw
