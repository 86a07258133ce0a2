#include "worker/frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/json_writer.h"
#include "contracts/test_records.h"
#include "worker/line_reader.h"

namespace tw {
namespace {

using testing::makeEntry;
using testing::makeManifest;

const std::string kNonce = "session-nonce-0001";

std::string line(const Json& frame) {
  return toCompactJson(frame) + "\n";
}

std::string manifestText() {
  return toCompactJson(toJsonValue(makeManifest("run-1")));
}

std::string startLine(const std::string& nonce = kNonce) {
  return "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + nonce +
         "\",\"manifest\":" + manifestText() + "}\n";
}

std::string plainLine(const std::string& kind, const std::string& nonce = kNonce) {
  return "{\"version\":1,\"kind\":\"" + kind + "\",\"nonce\":\"" + nonce + "\"}\n";
}

Entry entryNumber(size_t i) {
  return makeEntry("E" + std::to_string(i), SourceRole::Erp, "acct-1", "2024-03-01", "100");
}

JsonArray entryValues(size_t count, size_t first = 0) {
  JsonArray values;
  for (size_t i = 0; i < count; ++i) values.push_back(toJsonValue(entryNumber(first + i)));
  return values;
}

std::string entriesLine(JsonArray values, const std::string& nonce = kNonce) {
  return line(makeObject(
      {{"version", 1}, {"kind", "entries"}, {"nonce", nonce}, {"entries", std::move(values)}}));
}

enum class Stage { Opened, Started, Executing };

SessionState stateAt(Stage stage) {
  SessionState state;
  if (stage == Stage::Opened) return state;
  EXPECT_TRUE(decodeFrame(state, startLine()).ok());
  if (stage == Stage::Executing) {
    EXPECT_TRUE(decodeFrame(state, plainLine("execute")).ok());
  }
  return state;
}

std::string nested(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

struct RefusalCase {
  const char* name;
  Stage stage;
  std::string line;
  SessionCode code;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const RefusalCase& c, std::ostream* out) {
  *out << c.name;
}

class FrameRefusal : public ::testing::TestWithParam<RefusalCase> {};

// Each refusal is checked on both routes: the line judged as it is, and the line prepared
// beforehand (as the input thread does for every other line).
TEST_P(FrameRefusal, RefusesWithTheFirstFailingCheckAndKeepsOnlyTheCounts) {
  const RefusalCase& c = GetParam();
  for (const bool prepared : {false, true}) {
    SCOPED_TRACE(prepared ? "prepared" : "as it is");
    SessionState state = stateAt(c.stage);
    const SessionState before = state;
    auto outcome =
        prepared ? decodeFrame(state, c.line, prepareFrame(c.line)) : decodeFrame(state, c.line);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(sessionCodeText(sessionCodeOf(outcome.error())), sessionCodeText(c.code));
    EXPECT_EQ(state.frameCount, before.frameCount + 1);
    EXPECT_EQ(state.byteTotal, before.byteTotal + c.line.size());
    EXPECT_EQ(state.nonce, before.nonce);
    EXPECT_EQ(state.manifest.has_value(), before.manifest.has_value());
    EXPECT_EQ(state.heldEntries.size(), before.heldEntries.size());
    EXPECT_EQ(state.executing, before.executing);
  }
}

const std::string kManifestMember = ",\"manifest\":" + manifestText();

std::vector<RefusalCase> refusalCases() {
  return {
      // Reading and the header.
      {"EmptyLine", Stage::Opened, "\n", SessionCode::InvalidFrame},
      {"OnlyWhitespace", Stage::Opened, " \t\r\n", SessionCode::InvalidFrame},
      {"NotAnObject", Stage::Opened, "[1]\n", SessionCode::InvalidFrame},
      {"TwoObjects", Stage::Started, "{\"version\":1}{}\n", SessionCode::InvalidFrame},
      {"TrailingByte", Stage::Started,
       "{\"version\":1,\"kind\":\"cancel\",\"nonce\":\"" + kNonce + "\"}x\n",
       SessionCode::InvalidFrame},
      {"RepeatedKind", Stage::Started,
       "{\"version\":1,\"kind\":\"cancel\",\"kind\":\"cancel\",\"nonce\":\"" + kNonce + "\"}\n",
       SessionCode::InvalidFrame},
      {"ByteOrderMark", Stage::Started, "\xEF\xBB\xBF" + plainLine("cancel"),
       SessionCode::InvalidFrame},
      {"Depth128", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce +
           "\",\"manifest\":" + nested(127) + "}\n",
       SessionCode::InvalidFrame},
      {"VersionMissing", Stage::Started, "{\"kind\":\"cancel\",\"nonce\":\"" + kNonce + "\"}\n",
       SessionCode::InvalidFrame},
      {"VersionFloat", Stage::Started, "{\"version\":1.0,\"kind\":\"cancel\"}\n",
       SessionCode::InvalidFrame},
      {"VersionNegative", Stage::Started, "{\"version\":-1,\"kind\":\"cancel\"}\n",
       SessionCode::InvalidFrame},
      {"VersionText", Stage::Started, "{\"version\":\"1\",\"kind\":\"cancel\"}\n",
       SessionCode::InvalidFrame},
      {"VersionTwo", Stage::Started, "{\"version\":2,\"kind\":\"cancel\",\"extra\":0}\n",
       SessionCode::UnsupportedProtocol},
      {"VersionZeroBeforeKind", Stage::Started, "{\"version\":0}\n",
       SessionCode::UnsupportedProtocol},
      {"KindMissing", Stage::Started, "{\"version\":1,\"nonce\":\"" + kNonce + "\"}\n",
       SessionCode::InvalidFrame},
      {"KindNotText", Stage::Started, "{\"version\":1,\"kind\":3}\n", SessionCode::InvalidFrame},
      {"KindOtherCase", Stage::Opened, "{\"version\":1,\"kind\":\"Start\"}\n",
       SessionCode::InvalidOrder},
      {"KindEmpty", Stage::Opened, "{\"version\":1,\"kind\":\"\"}\n", SessionCode::InvalidOrder},
      {"KindUnknownWhileExecuting", Stage::Executing, "{\"version\":1,\"kind\":\"status\"}\n",
       SessionCode::InvalidOrder},
      // "start".
      {"StartFifthMember", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"bad nonce\",\"x\":1" + kManifestMember +
           "}\n",
       SessionCode::InvalidFrame},
      {"StartWithoutNonce", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\"" + kManifestMember + "}\n", SessionCode::InvalidFrame},
      {"StartWithoutManifest", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce + "\"}\n",
       SessionCode::InvalidFrame},
      {"StartNonce15", Stage::Opened, startLine(std::string(15, 'a')), SessionCode::InvalidNonce},
      {"StartNonce65", Stage::Opened, startLine(std::string(65, 'a')), SessionCode::InvalidNonce},
      {"StartNonceDot", Stage::Opened, startLine("session.nonce.0001"), SessionCode::InvalidNonce},
      {"StartNonceSpace", Stage::Opened, startLine("session nonce 0001"),
       SessionCode::InvalidNonce},
      {"StartNonceNumber", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":12345678901234567" + kManifestMember + "}\n",
       SessionCode::InvalidNonce},
      {"StartBadNonceBeforeBadManifest", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"short\",\"manifest\":{}}\n",
       SessionCode::InvalidNonce},
      {"StartBadManifest", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce + "\",\"manifest\":{}}\n",
       SessionCode::InvalidManifest},
      {"StartManifestDepth127", Stage::Opened,
       "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce +
           "\",\"manifest\":" + nested(126) + "}\n",
       SessionCode::InvalidManifest},
      {"SecondStart", Stage::Started, startLine(), SessionCode::InvalidOrder},
      {"SecondMalformedStart", Stage::Started, "{\"version\":1,\"kind\":\"start\"}\n",
       SessionCode::InvalidOrder},
      {"StartWhileExecuting", Stage::Executing, startLine(), SessionCode::InvalidOrder},
      // Nonce rules of the other kinds.
      {"EntriesBeforeStart", Stage::Opened, entriesLine({}), SessionCode::NonceMismatch},
      {"ExecuteBeforeStart", Stage::Opened, plainLine("execute"), SessionCode::NonceMismatch},
      {"CancelBeforeStart", Stage::Opened, plainLine("cancel"), SessionCode::NonceMismatch},
      {"CancelBeforeStartExtraMember", Stage::Opened,
       "{\"version\":1,\"kind\":\"cancel\",\"nonce\":\"" + kNonce + "\",\"x\":1}\n",
       SessionCode::NonceMismatch},
      {"EntriesWithoutNonceBeforeStart", Stage::Opened,
       "{\"version\":1,\"kind\":\"entries\",\"entries\":[]}\n", SessionCode::InvalidNonce},
      {"ExecuteWithoutNonceBeforeStart", Stage::Opened, "{\"version\":1,\"kind\":\"execute\"}\n",
       SessionCode::InvalidNonce},
      {"CancelWithoutNonce", Stage::Started, "{\"version\":1,\"kind\":\"cancel\"}\n",
       SessionCode::InvalidNonce},
      {"CancelNonceNull", Stage::Started, "{\"version\":1,\"kind\":\"cancel\",\"nonce\":null}\n",
       SessionCode::InvalidNonce},
      {"EntriesOtherNonce", Stage::Started, entriesLine({}, "session-nonce-0002"),
       SessionCode::NonceMismatch},
      {"ExecuteNoncePrefix", Stage::Started, plainLine("execute", kNonce.substr(0, 17)),
       SessionCode::NonceMismatch},
      {"CancelNonceLonger", Stage::Executing, plainLine("cancel", kNonce + "0"),
       SessionCode::NonceMismatch},
      // "entries".
      {"EntriesExtraMember", Stage::Started,
       "{\"version\":1,\"kind\":\"entries\",\"nonce\":\"" + kNonce + "\",\"entries\":[],\"x\":1}\n",
       SessionCode::InvalidFrame},
      {"EntriesMissingList", Stage::Started, plainLine("entries"), SessionCode::InvalidFrame},
      {"EntriesObject", Stage::Started,
       "{\"version\":1,\"kind\":\"entries\",\"nonce\":\"" + kNonce + "\",\"entries\":{}}\n",
       SessionCode::InvalidEntries},
      {"Entries201BeforeTheirContent", Stage::Started, entriesLine(JsonArray(201, JsonObject{})),
       SessionCode::Limit},
      {"EntriesFirstMalformed", Stage::Started, entriesLine(JsonArray{JsonObject{}}),
       SessionCode::InvalidEntry},
      {"EntriesWhileExecutingEvenWithOtherNonce", Stage::Executing,
       entriesLine({}, "session-nonce-0002"), SessionCode::InvalidOrder},
      // "execute" and "cancel".
      {"ExecuteExtraMember", Stage::Started,
       "{\"version\":1,\"kind\":\"execute\",\"nonce\":\"" + kNonce + "\",\"x\":1}\n",
       SessionCode::InvalidFrame},
      {"SecondExecute", Stage::Executing, plainLine("execute"), SessionCode::InvalidOrder},
      {"CancelExtraMember", Stage::Executing,
       "{\"version\":1,\"kind\":\"cancel\",\"nonce\":\"" + kNonce + "\",\"x\":1}\n",
       SessionCode::InvalidFrame},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameRefusal, ::testing::ValuesIn(refusalCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DecodeFrame, StartStoresManifestAndNonceAndAnswersStarted) {
  for (const std::string& nonce :
       {std::string(16, 'A'), std::string(64, 'z'), std::string("aZ09-_aZ09-_aZ09")}) {
    SessionState state;
    auto outcome = decodeFrame(state, startLine(nonce));
    ASSERT_TRUE(outcome.ok()) << nonce;
    EXPECT_EQ(outcome->answer, FrameAnswer::Started);
    EXPECT_EQ(toCompactJson(outcome->response),
              "{\"kind\":\"started\",\"nonce\":\"" + nonce + "\",\"version\":1}");
    EXPECT_EQ(state.nonce, nonce);
    ASSERT_TRUE(state.manifest.has_value());
    EXPECT_EQ(*state.manifest, makeManifest("run-1"));
  }
}

TEST(DecodeFrame, MemberOrderAndLineEndingsDoNotMatter) {
  SessionState state;
  const std::string start = "{\"manifest\":" + manifestText() + ",\"nonce\":\"" + kNonce +
                            "\",\"kind\":\"start\",\"version\":1}\r\n";
  ASSERT_TRUE(decodeFrame(state, start).ok());
  auto outcome = decodeFrame(
      state, "  {\"nonce\":\"" + kNonce + "\",\"kind\":\"execute\",\"version\":1} \r\n");
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(outcome->answer, FrameAnswer::Executing);
  EXPECT_EQ(toCompactJson(outcome->response),
            "{\"kind\":\"executing\",\"nonce\":\"" + kNonce + "\",\"version\":1}");
  EXPECT_TRUE(state.executing);
}

TEST(DecodeFrame, CancelIsAnsweredBeforeAndAfterExecuteWithoutChangingTheState) {
  for (Stage stage : {Stage::Started, Stage::Executing}) {
    SessionState state = stateAt(stage);
    const bool executing = state.executing;
    for (int i = 0; i < 2; ++i) {
      auto outcome = decodeFrame(state, plainLine("cancel"));
      ASSERT_TRUE(outcome.ok());
      EXPECT_EQ(outcome->answer, FrameAnswer::Cancelled);
      EXPECT_EQ(toCompactJson(outcome->response),
                "{\"code\":\"CANCELLED\",\"kind\":\"failed\",\"nonce\":\"" + kNonce +
                    "\",\"version\":1}");
      EXPECT_EQ(state.executing, executing);
    }
  }
}

TEST(DecodeFrame, EntriesAreAppendedInArrivalOrderAndAnEmptyBatchChangesNothing) {
  SessionState state = stateAt(Stage::Started);
  auto empty = decodeFrame(state, entriesLine({}));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->answer, FrameAnswer::None);
  EXPECT_TRUE(state.heldEntries.empty());
  ASSERT_TRUE(decodeFrame(state, entriesLine(entryValues(3, 5))).ok());
  const std::string prepared = entriesLine(entryValues(2, 1));
  ASSERT_TRUE(decodeFrame(state, prepared, prepareFrame(prepared)).ok());
  std::vector<std::string> ids;
  for (const Entry& entry : state.heldEntries) ids.push_back(entry.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"E5", "E6", "E7", "E1", "E2"}));
  EXPECT_EQ(state.heldEntries[0], entryNumber(5));
}

TEST(DecodeFrame, BatchOf200IsAcceptedAnd201IsRefused) {
  SessionState state = stateAt(Stage::Started);
  EXPECT_TRUE(decodeFrame(state, entriesLine(entryValues(200))).ok());
  EXPECT_EQ(state.heldEntries.size(), 200u);
  auto refused = decodeFrame(state, entriesLine(entryValues(201)));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(sessionCodeOf(refused.error()), SessionCode::Limit);
  EXPECT_EQ(state.heldEntries.size(), 200u);
}

TEST(DecodeFrame, HeldEntriesStopAt10000) {
  const std::string batch = entriesLine(entryValues(200));
  SessionState state = stateAt(Stage::Started);
  state.heldEntries.assign(9800, entryNumber(0));
  EXPECT_TRUE(decodeFrame(state, batch).ok());
  EXPECT_EQ(state.heldEntries.size(), 10000u);

  state = stateAt(Stage::Started);
  state.heldEntries.assign(9801, entryNumber(0));
  auto refused = decodeFrame(state, batch);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(sessionCodeOf(refused.error()), SessionCode::Limit);
  EXPECT_EQ(state.heldEntries.size(), 9801u);
}

TEST(DecodeFrame, MalformedThirtySeventhElementLeavesNoneOfTheBatch) {
  SessionState state = stateAt(Stage::Started);
  ASSERT_TRUE(decodeFrame(state, entriesLine(entryValues(1, 100))).ok());
  JsonArray batch = entryValues(40);
  batch[36].asObject()["date"] = "2023-02-29";
  auto refused = decodeFrame(state, entriesLine(std::move(batch)));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(sessionCodeOf(refused.error()), SessionCode::InvalidEntry);
  ASSERT_EQ(state.heldEntries.size(), 1u);
  EXPECT_EQ(state.heldEntries[0].id, "E100");
}

TEST(DecodeFrame, RefusedStartStoresNothingAndRefusedExecuteLeavesExecutingFalse) {
  SessionState state;
  ASSERT_FALSE(decodeFrame(state, "{\"version\":1,\"kind\":\"start\",\"nonce\":\"" + kNonce +
                                      "\",\"manifest\":[]}\n")
                   .ok());
  EXPECT_FALSE(state.nonce.has_value());
  EXPECT_FALSE(state.manifest.has_value());
  // The refused start left no nonce behind, so the next start is still the first.
  EXPECT_TRUE(decodeFrame(state, startLine()).ok());
  ASSERT_FALSE(decodeFrame(state, plainLine("execute", "session-nonce-0002")).ok());
  EXPECT_FALSE(state.executing);
}

// Pads a frame with spaces before its line feed to exactly `size` bytes.
std::string paddedTo(std::string frame, size_t size) {
  frame.pop_back();
  frame.append(size - frame.size() - 1, ' ');
  frame.push_back('\n');
  return frame;
}

TEST(DecodeFrame, LineOf65536BytesIsDecodedAndOneMoreIsALimit) {
  SessionState state = stateAt(Stage::Started);
  EXPECT_TRUE(decodeFrame(state, paddedTo(entriesLine({}), kMaxLineBytes)).ok());
  auto refused = decodeFrame(state, paddedTo(entriesLine({}), kMaxLineBytes + 1));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(sessionCodeOf(refused.error()), SessionCode::Limit);
}

TEST(DecodeFrame, The256thFrameIsDecodedAndThe257thIsALimit) {
  SessionState state = stateAt(Stage::Started);  // one frame so far
  for (int i = 2; i <= 256; ++i) ASSERT_TRUE(decodeFrame(state, entriesLine({})).ok()) << i;
  EXPECT_EQ(state.frameCount, 256u);
  auto refused = decodeFrame(state, plainLine("execute"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(sessionCodeOf(refused.error()), SessionCode::Limit);
  EXPECT_FALSE(state.executing);
}

TEST(DecodeFrame, SessionBytesStopAt4194304IncludingRefusedLines) {
  for (uint64_t extra : {0, 1}) {
    SessionState state = stateAt(Stage::Started);
    // A refused line still counts toward the total.
    ASSERT_FALSE(decodeFrame(state, "[]\n").ok());
    while (kMaxSessionBytes - state.byteTotal > kMaxLineBytes) {
      ASSERT_TRUE(decodeFrame(state, paddedTo(entriesLine({}), kMaxLineBytes)).ok());
    }
    const size_t last = static_cast<size_t>(kMaxSessionBytes - state.byteTotal + extra);
    auto outcome = decodeFrame(state, paddedTo(plainLine("execute"), last));
    EXPECT_EQ(outcome.ok(), extra == 0) << last;
    if (extra == 1) {
      EXPECT_EQ(sessionCodeOf(outcome.error()), SessionCode::Limit);
    }
    EXPECT_EQ(state.byteTotal, kMaxSessionBytes + extra);
  }
}

}  // namespace
}  // namespace tw
