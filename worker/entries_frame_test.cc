// The direct "entries" reader may decline any line, but whatever it returns must be exactly what
// the general route (strict JSON reading, then decodeEntry per element) makes of the same line.
// Checked on a valid frame and on many damaged copies of it.
#include "worker/entries_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

// A frame as hosts send them. With `escapes`, one of its texts holds escaped quotes, which the
// direct reader reads by another way than texts without any.
std::string validFrame(bool escapes = true) {
  Entry sale =
      testing::makeEntry("pos-1", SourceRole::Sales, "1.1.2.07", "2024-05-02", "1000", "NSU-1");
  sale.description = escapes ? "Card sale \u00e9 \"POS\"" : "Card sale \u00e9 POS 21";
  sale.origin.sheet = "Cards";
  sale.origin.row = 4294967295u;
  sale.components.push_back(testing::makeFee("-25"));
  Entry bank = testing::makeEntry("bank-1", SourceRole::Bank, "1.1.1.02", "2024-05-02", "975");
  JsonArray entries{toJsonValue(sale), toJsonValue(bank)};
  JsonObject frame = makeObject({{"version", 1},
                                 {"kind", "entries"},
                                 {"nonce", "nonce-0123456789abcdef"},
                                 {"entries", std::move(entries)}});
  return toCompactJson(Json(std::move(frame))) + "\n";
}

std::string codeOf(const Status<ContractError>& status) {
  return status ? "ok" : std::string(contractErrorName(status.error()));
}

// Asserts that a frame the direct reader returned agrees with the general route. Returns
// whether the direct reader returned one.
bool agreesWithGeneralRoute(const std::string& line) {
  auto plain = readPlainEntriesFrame(line);
  if (!plain) return false;
  auto read = readJson(line);
  EXPECT_TRUE(read.ok()) << line;
  if (!read.ok()) return true;
  const Json& frame = read.value();
  EXPECT_TRUE(frame.isObject()) << line;
  if (!frame.isObject()) return true;
  EXPECT_EQ(frame.asObject().size(), 4u) << line;
  const Json* version = frame.find("version");
  EXPECT_TRUE(version && version->isUnsigned() && version->asUnsigned() == 1) << line;
  const Json* kind = frame.find("kind");
  EXPECT_TRUE(kind && kind->isString() && kind->asString() == "entries") << line;
  const Json* nonce = frame.find("nonce");
  EXPECT_TRUE(nonce && nonce->isString() && nonce->asString() == plain->nonce) << line;
  const Json* entries = frame.find("entries");
  EXPECT_TRUE(entries && entries->isArray()) << line;
  if (!entries || !entries->isArray()) return true;
  EXPECT_EQ(entries->asArray().size(), plain->entries.size()) << line;
  for (size_t i = 0; i < plain->entries.size() && i < entries->asArray().size(); ++i) {
    auto decoded = decodeEntry(entries->asArray()[i]);
    const std::string general = decoded ? "ok" : std::string(contractErrorName(decoded.error()));
    EXPECT_EQ(codeOf(checkEntryRecord(plain->entries[i])), general) << line;
    if (decoded) {
      EXPECT_EQ(decoded.value(), plain->entries[i]) << line;
    }
  }
  return true;
}

TEST(PlainEntriesFrame, ReadsAValidFrameAsTheGeneralRouteDoes) {
  EXPECT_TRUE(agreesWithGeneralRoute(validFrame(true)));
  EXPECT_TRUE(agreesWithGeneralRoute(validFrame(false)));
  // JSON whitespace anywhere between tokens.
  std::string spaced;
  for (const char c : validFrame(false)) {
    spaced.push_back(c);
    if (c == ',' || c == ':' || c == '[' || c == '{') spaced += " \t\r ";
  }
  EXPECT_TRUE(agreesWithGeneralRoute(" " + spaced));
}

// `frame` with the first `from` replaced by `to`.
std::string replaced(std::string frame, const std::string& from, const std::string& to) {
  const size_t at = frame.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return frame.replace(at, from.size(), to);
}

// Every way a host may write a valid frame is read directly, into the general route's records.
TEST(PlainEntriesFrame, ReadsEveryFormOfAValidFrame) {
  const std::string frame = validFrame(false);
  const std::string row = R"("row":4294967295)";
  const std::string reference = R"("reference":"NSU-1")";
  const std::vector<std::pair<std::string, std::string>> forms = {
      {row, R"("row":4294967295.0)"},
      {row, R"("row":4.294967295e9)"},
      {row, R"("row":42949672950E-1)"},
      {row, R"("row":429496729500e-2)"},
      {row, R"("row":0.4294967295e+10)"},
      {row, R"("row":-0)"},
      {row, R"("row":-0.0e7)"},
      {row, R"("row":0e308)"},
      {row, R"("row":-0.0e309)"},
      {row, R"("row":0e-999999999999)"},
      {row, R"("row":1e-400)"},                         // a float that underflows to zero
      {row, R"("row":941.0000000000000000000001)"},     // a float that rounds to a whole number
      {row, R"("row":4294967295000000000000000e-15)"},  // beyond 64-bit digits
      {reference, R"("reference":"N\"S\\U\/1")"},
      {reference, R"("reference":"\u004e\u00e7\u20ac\ud83d\ude00")"},
      {reference, "\"reference\":\"N\u00e7\u20ac\xf0\x9f\x98\x80\""},
      {R"("id":)", R"("\u0069d":)"},
      {"\n", "\r\n"},
  };
  for (const auto& [from, to] : forms) {
    const std::string line = replaced(frame, from, to);
    EXPECT_TRUE(agreesWithGeneralRoute(line)) << line;
    auto plain = readPlainEntriesFrame(line);
    ASSERT_TRUE(plain.has_value()) << line;
    for (const Entry& entry : plain->entries) EXPECT_TRUE(checkEntryRecord(entry).ok()) << line;
  }
  // The frame's members in reverse order.
  Json reordered = readJson(frame).value();
  std::string reversed = "{";
  const JsonObject& members = reordered.asObject();
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (it != members.rbegin()) reversed += ",";
    appendJsonString(reversed, it->first);
    reversed += ":" + toCompactJson(it->second);
  }
  EXPECT_TRUE(agreesWithGeneralRoute(reversed + "}\r\n"));
}

TEST(PlainEntriesFrame, DeclinesOtherShapes) {
  const std::string frame = validFrame(false);
  auto replaced = [&](const std::string& from, const std::string& to) {
    return tw::replaced(frame, from, to);
  };
  const std::vector<std::string> declined = {
      replaced(R"("kind":"entries")", R"("kind":"execute")"),
      replaced(R"("version":1)", R"("version":1.0)"),
      replaced(R"("version":1)", R"("version":2)"),
      replaced(R"("nonce":)", R"("extra":1,"nonce":)"),
      replaced(R"("row":4294967295)", R"("row":4294967296)"),
      replaced(R"("row":4294967295)", R"("row":4294967296.0)"),
      replaced(R"("row":4294967295)", R"("row":4.294967296e9)"),
      replaced(R"("row":4294967295)", R"("row":7.5)"),
      replaced(R"("row":4294967295)", R"("row":07)"),
      replaced(R"("row":4294967295)", R"("row":-7)"),
      replaced(R"("row":4294967295)", R"("row":-7.0)"),
      replaced(R"("row":4294967295)", R"("row":7e)"),
      replaced(R"("row":4294967295)", R"("row":.7)"),
      replaced(R"("row":4294967295)", R"("row":1e400)"),
      replaced(R"("row":4294967295)", R"("row":0e309)"),
      replaced(R"("row":4294967295)", R"("row":-0.0e310)"),
      replaced(R"("row":4294967295)", R"("row":99999999999999999999999)"),
      replaced(R"("row":4294967295)", R"("row":true)"),
      replaced(R"("reference":null)", R"("reference":nul)"),
      replaced(R"("components":[],)", R"("components":[,],)"),
      replaced(R"("components":[],)", R"("components":[],,)"),
      replaced(R"("kind":"fee")", "\"kind\":\"fe\te\""),
      replaced(R"("components":[],)", R"("components":[],"id":"x",)"),
      replaced(R"("reference":null,)", ""),
      replaced(R"("role":"bank")", R"("role":"Bank")"),
      replaced(R"("kind":"fee")", R"("kind":{"fee":null})"),
      replaced(R"(,"sheet":null)", ""),
      replaced(R"("entries":[)", R"("entries":[1,)"),
      // Texts that are not UTF-8 scalar values, raw or escaped, and a key that is not UTF-8.
      replaced(R"("reference":null)", R"("reference":"\udc00")"),
      replaced(R"("reference":null)", R"("reference":"\ud800x")"),
      replaced(R"("reference":null)", R"("reference":"\ud800\u0041")"),
      replaced(R"("reference":null)", R"("reference":"\u00g0")"),
      replaced(R"("reference":null)", R"("reference":"\x")"),
      replaced(R"("reference":null)", "\"reference\":\"a\xc3(\""),
      replaced(R"("reference":null)", "\"reference\":\"\xed\xa0\x80\""),
      replaced(R"("reference":null)", "\"reference\":null,\"\xff\":null"),
      R"([1,"entries"])",
      "{}\n",
      frame + "x",
      std::string(frame).insert(10, 1, '\0'),
  };
  for (const std::string& line : declined) {
    EXPECT_FALSE(readPlainEntriesFrame(line).has_value()) << line;
  }
  // The general reader refuses a zero whose exponent is too large, so the frame must not pass.
  EXPECT_FALSE(readJson("[0e309]").ok());
  EXPECT_FALSE(readJson("[-0.0e310]").ok());
}

// Byte-level damage at every position of `frame`, with the bytes that change JSON structure
// most.
void checkDamagedCopies(const std::string& frame) {
  const std::string replacements = std::string("\"{}[],:0\\an \x01\x7f\xc3\xff", 17);
  size_t returned = 0;
  for (size_t at = 0; at + 1 < frame.size(); ++at) {
    for (char replacement : replacements) {
      std::string changed = frame;
      changed[at] = replacement;
      if (agreesWithGeneralRoute(changed)) ++returned;
      std::string inserted = frame;
      inserted.insert(at, 1, replacement);
      if (agreesWithGeneralRoute(inserted)) ++returned;
    }
    std::string removed = frame;
    removed.erase(at, 1);
    if (agreesWithGeneralRoute(removed)) ++returned;
  }
  // Damage inside texts keeps the shape, so many damaged frames are still read directly.
  EXPECT_GT(returned, frame.size());
}

TEST(PlainEntriesFrame, DamagedFramesAreDeclinedOrReadAsTheGeneralRouteReadsThem) {
  for (const bool escapes : {true, false}) {
    SCOPED_TRACE(escapes ? "with escapes" : "without escapes");
    checkDamagedCopies(validFrame(escapes));
  }
}

}  // namespace
}  // namespace tw
