#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/test_records.h"

namespace tw {
namespace {

using testing::makeManifest;

Json manifestJson() {
  return toJsonValue(makeManifest("run-1", "2024-01-01", "2024-01-31"));
}

Json with(Json value, std::string_view key, Json member) {
  value.asObject().insert_or_assign(std::string(key), std::move(member));
  return value;
}

Json digest(const char* sourceId, const char* fileId, std::string sha256) {
  return toJsonValue(InputDigest{sourceId, fileId, std::move(sha256)});
}

Json window(Json from, Json to) {
  return Json(makeObject({{"from", from}, {"to", to}}));
}

ContractError errorOf(Json value) {
  auto decoded = decodeRunManifest(std::move(value));
  EXPECT_FALSE(decoded.ok());
  return decoded.ok() ? ContractError::InvalidContract : decoded.error();
}

TEST(DecodeManifest, RoundTrips) {
  for (const RunManifest& manifest :
       {makeManifest("run-1"), makeManifest("run-2", "2024-02-29", "2024-02-29")}) {
    auto decoded = decodeRunManifest(toJsonValue(manifest));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value(), manifest);
  }
  EXPECT_TRUE(decodeRunManifest(with(manifestJson(), "version", Json(1.0))).ok());
  EXPECT_TRUE(decodeRunManifest(with(manifestJson(), "engineVersion", Json("1.0+x"))).ok());
}

TEST(DecodeManifest, FirstViolatedRuleDecides) {
  const Json base = manifestJson();
  Json withoutWindow = base;
  withoutWindow.asObject().erase("window");
  const std::string sha(64, 'a');
  struct Case {
    const char* name;
    Json value;
    ContractError code;
  };
  const Case cases[] = {
      {"not an object", Json("manifest"), ContractError::InvalidContract},
      {"extra key beats a bad version", with(with(base, "extra", Json(1)), "version", Json(2)),
       ContractError::UnknownField},
      {"missing window", withoutWindow, ContractError::InvalidContract},
      {"version 2", with(base, "version", Json(2)), ContractError::InvalidContract},
      {"version above 2^53-1", with(base, "version", Json(uint64_t{9007199254740992ULL})),
       ContractError::OutOfRange},
      {"version as text", with(base, "version", Json("1")), ContractError::InvalidContract},
      {"forbidden run id", with(base, "runId", Json("__proto__")), ContractError::InvalidContract},
      {"bad root", with(base, "root", Json("ABC")), ContractError::InvalidContract},
      {"reversed window", with(base, "window", window(Json("2024-02-02"), Json("2024-02-01"))),
       ContractError::OutsideWindow},
      {"window with an extra key",
       with(base, "window",
            Json(makeObject({{"from", Json("2024-01-01")}, {"to", Json("x")}, {"x", Json(1)}}))),
       ContractError::UnknownField},
      {"window as array", with(base, "window", Json(JsonArray{})), ContractError::InvalidContract},
      {"window from not a date", with(base, "window", window(Json("2024-02-30"), Json("x"))),
       ContractError::InvalidDate},
      {"window to not a string", with(base, "window", window(Json("2024-02-01"), Json(1))),
       ContractError::InvalidContract},
      {"window before digests",
       with(with(base, "window", window(Json("2024-02-02"), Json("2024-02-01"))), "inputDigests",
            Json(JsonArray{})),
       ContractError::OutsideWindow},
      {"no digests", with(base, "inputDigests", Json(JsonArray{})), ContractError::InvalidContract},
      {"upper-case sha256",
       with(base, "inputDigests", Json(JsonArray{digest("s", "f", std::string(63, 'a') + "A")})),
       ContractError::InvalidContract},
      {"digest with an extra key",
       with(base, "inputDigests", Json(JsonArray{with(digest("s", "f", sha), "size", Json(1))})),
       ContractError::UnknownField},
      {"duplicate pair",
       with(base, "inputDigests", Json(JsonArray{digest("s", "f", sha), digest("s", "f", sha)})),
       ContractError::InvalidContract},
      {"descending pairs",
       with(base, "inputDigests", Json(JsonArray{digest("s", "g", sha), digest("s", "f", sha)})),
       ContractError::InvalidContract},
      {"same file under two sources with different digests",
       with(base, "inputDigests",
            Json(JsonArray{digest("a", "f", sha), digest("b", "f", std::string(64, 'b'))})),
       ContractError::InvalidContract},
      {"an earlier fault in the list beats a later unknown key",
       with(base, "inputDigests",
            Json(JsonArray{digest("s", "-f", sha), with(digest("t", "f", sha), "x", Json(1))})),
       ContractError::InvalidContract},
      {"mapping version with another prefix",
       with(base, "mappingVersion", Json("sha512:" + std::string(64, '0'))),
       ContractError::InvalidContract},
      {"rule version too short", with(base, "ruleVersion", Json("sha256:" + std::string(63, '0'))),
       ContractError::InvalidContract},
      {"engine version with a space", with(base, "engineVersion", Json("1 0")),
       ContractError::InvalidContract},
      {"engine version of 65 bytes", with(base, "engineVersion", Json(std::string(65, 'v'))),
       ContractError::InvalidContract},
  };
  for (const Case& c : cases) EXPECT_EQ(errorOf(c.value), c.code) << c.name;
}

TEST(DecodeManifest, DigestOrderAndSharedFiles) {
  const std::string sha(64, 'a');
  // Pairs order by sourceId first, then fileId, a proper prefix first.
  JsonArray ascending = {digest("s", "f", sha), digest("s", "f2", sha), digest("s-2", "a", sha),
                         digest("t", "f", sha)};
  EXPECT_TRUE(decodeRunManifest(with(manifestJson(), "inputDigests", Json(ascending))).ok());

  JsonArray many;
  for (int i = 0; i < 1025; ++i) {
    char file[16];
    std::snprintf(file, sizeof file, "f%04d", i);
    many.push_back(digest("s", file, sha));
  }
  EXPECT_EQ(errorOf(with(manifestJson(), "inputDigests", Json(many))),
            ContractError::InvalidContract);
  many.pop_back();
  auto decoded = decodeRunManifest(with(manifestJson(), "inputDigests", Json(many)));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value().inputDigests.size(), 1024u);
}

}  // namespace
}  // namespace tw
