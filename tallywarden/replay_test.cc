#include "tallywarden/replay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw::tool {
namespace {

using tw::testing::makeEntry;

const std::string kNonce = "replay-test-nonce-01";

std::string frame(JsonObject members) {
  members["nonce"] = Json(kNonce);
  members["version"] = Json(uint64_t{1});
  return toCompactJson(Json(std::move(members))) + "\n";
}

std::string start() {
  return frame(makeObject(
      {{"kind", Json("start")}, {"manifest", toJsonValue(tw::testing::makeManifest("run-1"))}}));
}

std::string entries(const std::vector<Entry>& list) {
  JsonArray values;
  for (const Entry& entry : list) values.push_back(toJsonValue(entry));
  return frame(makeObject({{"kind", Json("entries")}, {"entries", Json(std::move(values))}}));
}

std::string plain(const char* kind) {
  return frame(makeObject({{"kind", Json(kind)}}));
}

Entry erp(const std::string& id, const std::string& reference = "R") {
  return makeEntry(id, SourceRole::Erp, "acct-1", "2024-03-01", "100", reference);
}

struct ReplayCase {
  const char* name;
  std::string input;
  Outcome outcome;
  std::optional<SessionCode> code;
  std::optional<uint64_t> line;
  std::string member;  // of a refused record
  std::string says;    // part of the explanation (why, the record's sentence or the engine rule)
  EngineBound bound = EngineBound::None;
  uint64_t reached = 0;
};

// The explanation names what the worker's checks looked at: the member, the limit, the cell.
TEST(Replay, ExplainsEachEnding) {
  Entry badDate = erp("E2");
  badDate.date = "2024-02-30";
  std::vector<Entry> wide;
  for (int i = 0; i < 257; ++i) wide.push_back(erp(std::string("E").append(std::to_string(i))));
  wide.push_back(makeEntry("B0", SourceRole::Bank, "acct-1", "2024-03-01", "100", "R"));
  Entry repeated = erp("E1", "S");
  const std::vector<ReplayCase> cases = {
      {"completed", start() + entries({erp("E1")}) + plain("execute"), Outcome::Completed,
       std::nullopt, 3, "", "delivered in 2 pages"},
      {"bad date", start() + entries({erp("E1"), badDate}) + plain("execute"), Outcome::Refused,
       SessionCode::InvalidEntry, 2, "entries[1].date", "not a calendar date"},
      {"frames", start() + std::string(300, ' ') + "\n", Outcome::Refused,
       SessionCode::InvalidFrame, 2, "", "not one JSON value"},
      {"kind", start() + plain("Execute"), Outcome::Refused, SessionCode::InvalidOrder, 2, "",
       "none of"},
      {"no start", plain("execute"), Outcome::Refused, SessionCode::NonceMismatch, 1, "",
       "no \"start\""},
      {"no line feed", start() + "{}", Outcome::Refused, SessionCode::ReadFailed, 2, "",
       "not ended by a line feed"},
      {"line too long", start() + std::string(70000, ' ') + "\n", Outcome::Refused,
       SessionCode::ReadFailed, 2, "", "longer than 65536"},
      {"incomplete", start(), Outcome::Refused, SessionCode::Incomplete, std::nullopt, "",
       "before \"execute\""},
      {"cancel", start() + plain("cancel"), Outcome::Cancelled, SessionCode::Cancelled, 2, "",
       "before \"execute\""},
      {"cancel during the run", start() + plain("execute") + plain("cancel"), Outcome::Cancelled,
       SessionCode::Cancelled, 3, "", "during the run"},
      {"cell side",
       start() + entries(std::vector<Entry>(wide.begin(), wide.begin() + 200)) +
           entries(std::vector<Entry>(wide.begin() + 200, wide.end())) + plain("execute"),
       Outcome::Failed, SessionCode::EngineFailed, 4, "", "LimitExceeded", EngineBound::CellSide,
       257},
      {"repeated id",
       start() + entries({erp("E0"), erp("E1")}) + entries({repeated}) + plain("execute"),
       Outcome::Failed, SessionCode::EngineFailed, 3, "", "repeats an earlier entry's id"},
  };
  for (const ReplayCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Verdict> verdict = replayBytes(c.input);
    ASSERT_TRUE(verdict.has_value());
    EXPECT_EQ(verdict->outcome, c.outcome);
    EXPECT_EQ(verdict->code, c.code);
    EXPECT_EQ(verdict->line, c.line);
    if (!c.member.empty()) {
      ASSERT_TRUE(verdict->fault.has_value());
      EXPECT_EQ(verdict->fault->member, c.member);
    }
    const std::string said = verdict->why + " " +
                             (verdict->fault ? verdict->fault->detail.what : "") + " " +
                             (verdict->engine ? verdict->engine->rule : "");
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(verdict->engine ? verdict->engine->bound : EngineBound::None, c.bound);
    if (verdict->engine) {
      EXPECT_EQ(verdict->engine->reached, c.reached);
    }
  }
}

}  // namespace
}  // namespace tw::tool
