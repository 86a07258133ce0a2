// The companion's check against the worker itself: on generated sessions and on mutations of
// them, `check --json` must tell the ending the worker shows (its exit status and its last
// message), and for the mutations whose code is known, that code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "contracts/json_reader.h"
#include "contracts/test_records.h"
#include "tests/process_harness.h"
#include "tests/session_frames.h"

namespace tw::test {
namespace {

using tw::testing::makeEntry;

// What the host sees of the worker: "completed", "cancelled", "failed" or "refused", and the
// code of a "failed" message.
struct Ending {
  std::string outcome;
  std::string code;  // empty when the worker shows none
};

std::string lastLine(const std::string& out) {
  std::vector<std::string> lines = splitLines(out);
  return lines.empty() ? std::string() : lines.back();
}

Ending workerEnding(const TempDir& dir, const std::string& input) {
  const RunResult run = runWorker({"--c5", "--execution-fence", dir.file("fence")}, input);
  if (run.status.exitedWith(1)) return {"refused", ""};
  if (!run.status.exitedWith(0)) return {"crashed: " + run.status.describe(), ""};
  const auto message = readJson(lastLine(run.out));
  if (!message || !message->isObject()) return {"unreadable", ""};
  const Json* kind = message->find("kind");
  if (kind != nullptr && *kind == Json("completed")) return {"completed", ""};
  const Json* code = message->find("code");
  const std::string text = code != nullptr && code->isString() ? code->asString() : "";
  return {text == "CANCELLED" ? "cancelled" : "failed", text};
}

struct Checked {
  Ending ending;
  bool timingDependent = false;
  std::string out;
};

Checked checkEnding(const TempDir& dir, const std::string& input) {
  const std::string file = dir.file("session.ndjson");
  EXPECT_TRUE(writeFile(file, input));
  WorkerOptions options;
  options.program = toolPath();
  options.args = {"check", file, "--json"};
  options.stdinKind = StdinKind::DevNull;
  Worker check(std::move(options));
  const ExitStatus status = check.wait();
  Checked checked;
  checked.out = check.takeStdout();
  const auto verdict = readJson(checked.out);
  if (!verdict || !verdict->isObject()) {
    checked.ending = {"unreadable: " + status.describe() + " " + check.stderrText(), ""};
    return checked;
  }
  const Json* outcome = verdict->find("outcome");
  const Json* code = verdict->find("code");
  checked.ending.outcome = outcome != nullptr && outcome->isString() ? outcome->asString() : "?";
  checked.ending.code = code != nullptr && code->isString() ? code->asString() : "";
  const Json* timing = verdict->find("timingDependent");
  checked.timingDependent = timing != nullptr && *timing == Json(true);
  // Exit status 0 only for a session the worker completes.
  EXPECT_TRUE(status.exitedWith(checked.ending.outcome == "completed" ? 0 : 1)) << status;
  return checked;
}

// ---- Sessions ----

std::string execute() {
  return plainLine("execute");
}

std::vector<Entry> matchingPairs(size_t pairs) {
  std::vector<Entry> entries;
  for (size_t i = 0; i < pairs; ++i) {
    // One pair a day and account, a fifth of the bank lines a day late.
    const std::string ref = "INV-" + std::to_string(i);
    const std::string cents = std::to_string(100 + i);
    const std::string account = "acct-" + std::to_string(i / 14);
    const std::string day = "2024-02-" + std::to_string(10 + i % 14);
    const std::string late = "2024-02-" + std::to_string(11 + i % 14);
    entries.push_back(
        makeEntry("E" + std::to_string(i), SourceRole::Erp, account, day, cents, ref));
    entries.push_back(makeEntry("B" + std::to_string(i), SourceRole::Bank, account,
                                i % 5 == 0 ? late : day, cents, ref));
  }
  return entries;
}

std::string sessionOf(const std::vector<Entry>& entries, size_t perFrame) {
  std::string out = startLine();
  for (size_t first = 0; first < entries.size(); first += perFrame) {
    const size_t end = std::min(entries.size(), first + perFrame);
    out += entriesLine(std::vector<Entry>(entries.begin() + static_cast<std::ptrdiff_t>(first),
                                          entries.begin() + static_cast<std::ptrdiff_t>(end)));
  }
  return out + execute();
}

std::string exampleSession() {
  return readFile(std::string(TW_SOURCE_DIR) + "/examples/session.ndjson").value_or("");
}

// The bases: the example, generated pairs in several frame sizes, and an empty run.
std::vector<std::string> baseSessions() {
  return {exampleSession(), sessionOf(matchingPairs(40), 30), sessionOf(matchingPairs(150), 200),
          startLine() + execute()};
}

std::vector<std::string> lines(const std::string& session) {
  std::vector<std::string> out = splitLines(session);
  for (std::string& line : out) line += '\n';
  return out;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += part;
  return out;
}

// Replaces the first `from` in line `index` (0-based) by `to`.
std::string edited(const std::string& session, size_t index, const std::string& from,
                   const std::string& to) {
  std::vector<std::string> parts = lines(session);
  const size_t at = parts[index].find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) parts[index].replace(at, from.size(), to);
  return joined(parts);
}

struct KnownCase {
  std::string name;
  std::string input;
  std::string outcome;
  std::string code;
};

std::vector<KnownCase> knownCases() {
  const std::string pairs = sessionOf(matchingPairs(40), 30);
  std::vector<Entry> sameReference;
  for (int i = 0; i < 257; ++i) {
    sameReference.push_back(
        makeEntry("E" + std::to_string(i), SourceRole::Erp, "acct-1", "2024-03-01", "100", "R"));
  }
  sameReference.push_back(makeEntry("B0", SourceRole::Bank, "acct-1", "2024-03-01", "100", "R"));
  std::vector<Entry> repeated = matchingPairs(3);
  repeated.push_back(repeated.front());
  std::string crlf;
  for (const std::string& line : lines(pairs)) crlf += withCrLf(line);
  const std::vector<std::string> parts = lines(pairs);
  std::string manyFrames = startLine();
  for (int i = 0; i < 254; ++i) manyFrames += entriesLine(JsonArray{});
  std::string bytesOver = startLine();
  while (bytesOver.size() + 65536 < 4194304) bytesOver += paddedTo(entriesLine(JsonArray{}), 65536);
  const size_t lastBytes = 4194304 - bytesOver.size();
  std::string held9800;
  for (size_t first = 0; first < 9800; first += 200)
    held9800 += entriesLine(erpEntries(200, first));
  return {
      {"plain pairs", pairs, "completed", ""},
      {"carriage returns", crlf, "completed", ""},
      {"check digit",
       edited(pairs, 1, "\"establishment\":\"ABCDEFGH0001", "\"establishment\":\"ABCDEFGH0002"),
       "refused", "C5_INVALID_ENTRY"},
      {"space in a file id", edited(pairs, 2, "\"fileId\":\"file-", "\"fileId\":\"a file-"),
       "refused", "C5_INVALID_ENTRY"},
      {"empty reference", edited(pairs, 1, "\"reference\":\"INV-3\"", "\"reference\":\"\""),
       "refused", "C5_INVALID_ENTRY"},
      {"tab in a reference",
       edited(pairs, 1, "\"reference\":\"INV-3\"", "\"reference\":\"INV\\t3\""), "refused",
       "C5_INVALID_ENTRY"},
      {"unknown member", edited(pairs, 1, "{\"accountId\"", "{\"account\":1,\"accountId\""),
       "refused", "C5_INVALID_ENTRY"},
      {"bad manifest", edited(pairs, 0, "{\"engineVersion\"", "{\"x\":1,\"engineVersion\""),
       "refused", "C5_INVALID_MANIFEST"},
      {"frame version 2", edited(pairs, 0, "\"version\":1}", "\"version\":2}"), "refused",
       "C5_UNSUPPORTED_PROTOCOL"},
      {"frame version 2",
       edited(pairs, 1, "\"kind\":\"entries\"", "\"kind\":\"entries\",\"version\":2"), "refused",
       "C5_INVALID_FRAME"},
      {"wrong nonce", edited(pairs, 2, kHostNonce, "host-session-0002"), "refused",
       "C5_NONCE_MISMATCH"},
      {"entries not an array",
       startLine() + entriesLine(JsonArray{}).replace(11, 2, "{}") + execute(), "refused",
       "C5_INVALID_ENTRIES"},
      {"execute before entries", parts[0] + parts.back() + parts[1], "refused", "C5_INVALID_ORDER"},
      {"entries before start", parts[1] + parts[0] + parts.back(), "refused", "C5_NONCE_MISMATCH"},
      {"two starts", parts[0] + parts[0], "refused", "C5_INVALID_ORDER"},
      {"no execute", joined(std::vector<std::string>(parts.begin(), parts.end() - 1)), "refused",
       "C5_INCOMPLETE"},
      {"cut inside a line", pairs.substr(0, pairs.size() - 5), "refused", "C5_READ_FAILED"},
      {"cut inside a frame", pairs.substr(0, parts[0].size() + 100), "refused", "C5_READ_FAILED"},
      {"empty input", "", "refused", "C5_INCOMPLETE"},
      {"cancel before execute", parts[0] + parts[1] + plainLine("cancel"), "cancelled",
       "CANCELLED"},
      {"201 entries in a frame", startLine() + entriesLine(erpEntries(201)) + execute(), "refused",
       "C5_LIMIT"},
      {"200 entries in a frame", startLine() + entriesLine(erpEntries(200)) + execute(),
       "completed", ""},
      {"257 frames", manyFrames + entriesLine(JsonArray{}) + execute(), "refused", "C5_LIMIT"},
      {"256 frames", manyFrames + execute(), "completed", ""},
      {"4194305 bytes", bytesOver + paddedTo(execute(), lastBytes + 1), "refused", "C5_LIMIT"},
      {"4194304 bytes", bytesOver + paddedTo(execute(), lastBytes), "completed", ""},
      {"line of 65537 bytes", startLine() + paddedTo(entriesLine(JsonArray{}), 65537) + execute(),
       "refused", "C5_READ_FAILED"},
      {"line of 65536 bytes", startLine() + paddedTo(entriesLine(JsonArray{}), 65536) + execute(),
       "completed", ""},
      {"10001 entries held",
       startLine() + held9800 + entriesLine(erpEntries(201, 9800)) + execute(), "refused",
       "C5_LIMIT"},
      {"10000 entries held",
       startLine() + held9800 + entriesLine(erpEntries(200, 9800)) + execute(), "completed", ""},
      {"cell side 257", sessionOf(sameReference, 200), "failed", "C5_ENGINE_FAILED"},
      {"repeated identifier", sessionOf(repeated, 200), "failed", "C5_ENGINE_FAILED"},
      {"undeclared origin",
       edited(pairs, 1, "\"fileId\":\"file-erp\"", "\"fileId\":\"file-other\""), "failed",
       "C5_ENGINE_FAILED"},
  };
}

// Mutations of a base: one byte changed at spread positions, a line dropped, two lines swapped,
// the input cut short.
std::vector<std::string> mutations(const std::string& base) {
  std::vector<std::string> out;
  const std::string bytes = "\"x9{}, \n\t\\";
  const size_t positions = 24;
  for (size_t k = 0; k < positions; ++k) {
    std::string changed = base;
    const size_t at = (base.size() * (2 * k + 1)) / (2 * positions);
    changed[at] = bytes[k % bytes.size()];
    if (changed != base) out.push_back(changed);
  }
  std::string highByte = base;
  highByte[base.size() / 3] = '\xff';
  out.push_back(highByte);
  const std::vector<std::string> parts = lines(base);
  for (size_t drop = 0; drop < parts.size() && drop < 4; ++drop) {
    std::vector<std::string> kept = parts;
    kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(drop));
    out.push_back(joined(kept));
  }
  if (parts.size() > 2) {
    std::vector<std::string> swapped = parts;
    std::swap(swapped[1], swapped[parts.size() - 1]);
    out.push_back(joined(swapped));
  }
  for (size_t cut : {base.size() / 2, base.size() - 1, base.size() - parts.back().size()}) {
    out.push_back(base.substr(0, cut));
  }
  return out;
}

TEST(CheckDifferential, KnownCasesEndAsTheWorkerEndsThem) {
  TempDir dir;
  size_t count = 0;
  for (const KnownCase& c : knownCases()) {
    SCOPED_TRACE(c.name);
    const Ending worker = workerEnding(dir, c.input);
    const Checked checked = checkEnding(dir, c.input);
    EXPECT_EQ(checked.ending.outcome, c.outcome) << checked.out;
    EXPECT_EQ(checked.ending.code, c.code) << checked.out;
    ++count;
    // A line after "execute" is read only if the run is still going on; a slow input thread
    // (under a sanitizer, on a loaded machine) may find it over.
    if (checked.timingDependent && worker.outcome != c.outcome) continue;
    EXPECT_EQ(worker.outcome, c.outcome);
    if (!worker.code.empty()) {
      EXPECT_EQ(checked.ending.code, worker.code);
    }
  }
  ::testing::Test::RecordProperty("cases", static_cast<int>(count));
  std::printf("known cases: %zu\n", count);
}

TEST(CheckDifferential, MutatedSessionsEndAsTheWorkerEndsThem) {
  TempDir dir;
  size_t count = 0;
  size_t timing = 0;
  std::vector<std::string> inputs;
  for (const std::string& base : baseSessions()) {
    inputs.push_back(base);
    for (std::string& mutated : mutations(base)) inputs.push_back(std::move(mutated));
    // A cancel read during the run: the worker's ending depends on timing.
    inputs.push_back(base + plainLine("cancel"));
  }
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input.substr(0, 300));
    const Ending worker = workerEnding(dir, input);
    const Checked checked = checkEnding(dir, input);
    ++count;
    if (checked.timingDependent && worker.outcome != checked.ending.outcome) {
      ++timing;  // the run ended before the worker read the later line
      continue;
    }
    EXPECT_EQ(checked.ending.outcome, worker.outcome) << checked.out;
    if (!worker.code.empty()) {
      EXPECT_EQ(checked.ending.code, worker.code) << checked.out;
    }
  }
  ::testing::Test::RecordProperty("sessions", static_cast<int>(count));
  std::printf("mutated sessions: %zu, of which decided by timing: %zu\n", count, timing);
}

}  // namespace
}  // namespace tw::test
