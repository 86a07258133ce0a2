// The output reader against the plain statement of what it must accept: an output verifies
// exactly when its lines are the bytes the worker writes for the result its pages hold (read as
// JSON and decoded as a whole). Held to worker outputs of generated results, and to them damaged
// (cut, lines dropped, repeated or swapped, bytes changed, another nonce or commitment, escapes
// the worker never writes), each damage also with a commitment forged over the pages as they stand.
#include "tallywarden/report_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "worker/frames.h"
#include "worker/result_pages.h"
#include "worker/session_protocol.h"

namespace tw::tool {
namespace {

constexpr std::string_view kNonce = "nonce-0123456789abcdef";
constexpr std::string_view kCommitment = "\"resultCommitment\":\"";

std::string line(const Json& message) {
  return toCompactJson(message) + "\n";
}

// What the worker writes for a session that delivers `result`, from its own writers.
std::string workerOutput(const ReconciliationResult& result, const std::string& nonce) {
  const uint64_t count = *resultPageCount(result);
  PageBatch pages;
  auto digits = makeResultPages(result, nonce, count, pages, [](PageBatch&, bool) { return true; });
  return line(startedMessage(nonce)) + line(executingMessage(nonce)) + pages.text +
         line(completedMessage(nonce, count, digits->value(), result.revision, result.runId));
}

std::vector<std::string> splitLines(const std::string& output) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < output.size();) {
    const size_t end = std::min(output.find('\n', start), output.size() - 1);
    lines.push_back(output.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

// The statement, the long way: every line a JSON object, the pages' items decoded as one result,
// and the worker's bytes for that result (or for a failure) the whole output.
OutputOutcome expectedOutcome(const std::string& output) {
  std::vector<Json> messages;
  for (const std::string& text : splitLines(output)) {
    auto read = readJson(std::string_view(text).substr(0, text.size() - 1));
    if (!text.ends_with('\n') || !read || !read->isObject()) return OutputOutcome::NotVerified;
    messages.push_back(std::move(read).value());
  }
  const Json* nonce = messages.empty() ? nullptr : messages[0].find("nonce");
  if (nonce == nullptr || !nonce->isString() || !isWellFormedNonce(nonce->asString())) {
    return OutputOutcome::NotVerified;
  }
  const std::string started = line(startedMessage(nonce->asString()));
  const std::string executing = line(executingMessage(nonce->asString()));
  for (SessionCode code : kFailureObjectCodes) {
    const std::string failed = line(failureObject(nonce->asString(), code));
    if (output == started + failed || output == started + executing + failed) {
      return OutputOutcome::Failed;
    }
  }
  JsonObject value{
      {"allocations", JsonArray{}}, {"pendingIds", JsonArray{}}, {"residuals", JsonObject{}}};
  for (size_t i = 2; i + 1 < messages.size(); ++i) {
    const Json* page = messages[i].find("page");
    for (auto& [name, items] : value) {
      const Json* part = page != nullptr ? page->find(name) : nullptr;
      if (part == nullptr || part->isArray() != items.isArray()) return OutputOutcome::NotVerified;
      if (part->isArray()) {
        for (const Json& item : part->asArray()) items.asArray().push_back(item);
      } else if (part->isObject()) {
        for (const auto& member : part->asObject()) items.asObject().insert(member);
      }
    }
  }
  const Json* metadata = messages.size() < 4 ? nullptr : messages.back().find("metadata");
  for (const char* member : {"revision", "runId"}) {
    const Json* found = metadata != nullptr ? metadata->find(member) : nullptr;
    if (found == nullptr) return OutputOutcome::NotVerified;
    value.emplace(member, *found);
  }
  auto result = decodeReconciliationResult(Json(std::move(value)));
  return result && workerOutput(*result, nonce->asString()) == output ? OutputOutcome::Verified
                                                                      : OutputOutcome::NotVerified;
}

// Results with every kind of item, texts the writer escapes, and the largest revision.
ReconciliationResult generatedResult(std::mt19937& random) {
  auto below = [&random](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  auto id = [&below] {
    std::string text(1, "abXY019"[below(7)]);
    for (size_t n = below(6); n > 0; --n) text += "aZ09-.:_"[below(8)];
    return text;
  };
  auto amount = [&below] {
    return std::to_string((below(3) == 0 ? -1 : 1) * static_cast<int64_t>(below(2000000)));
  };
  const std::vector<std::optional<std::string>> sheets = {std::nullopt, "Sheet 1", "a\"b", "c\\d",
                                                          "caf\xc3\xa9"};
  ReconciliationResult result;
  result.runId = id();
  result.revision = below(4) == 0 ? kMaxSafeInteger : below(100);
  for (size_t n = below(4); n > 0; --n) {
    Allocation allocation{static_cast<AllocationStage>(below(3)), id(), id(), amount(), {}};
    Evidence& evidence = allocation.evidence;
    evidence.ruleId = id();
    for (size_t k = 1 + below(3); k > 0; --k) {
      evidence.origins.push_back(
          Ref{id(), id(), sheets[below(sheets.size())], static_cast<uint32_t>(below(3) << 31)});
    }
    std::sort(evidence.origins.begin(), evidence.origins.end(),
              [](const Ref& a, const Ref& b) { return a < b; });
    evidence.origins.erase(std::unique(evidence.origins.begin(), evidence.origins.end()),
                           evidence.origins.end());
    for (ReasonCode code : {ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch,
                            ReasonCode::ReviewApproved}) {
      if (below(2) == 0 || (evidence.reasonCodes.empty() && code == ReasonCode::ReviewApproved)) {
        evidence.reasonCodes.push_back(code);
      }
    }
    result.allocations.push_back(std::move(allocation));
  }
  for (size_t n = below(3); n > 0; --n) result.pendingIds.push_back(id());
  for (size_t n = below(4); n > 0; --n) result.residuals.emplace(id(), amount());
  return result;
}

// `lines` with the commitment of "completed" made again from the item texts of the pages as they
// stand, as a forger would: then only the reader's own rules can refuse the damage.
std::string recommitted(std::vector<std::string> lines) {
  ResultCommitment commitment;
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string_view page = lines[i];
    auto between = [page](std::string_view from, std::string_view to) {
      const size_t begin = page.find(from);
      const size_t end = begin == std::string_view::npos ? begin : page.find(to, begin);
      return end == std::string_view::npos
                 ? std::string_view()
                 : page.substr(begin + from.size(), end - begin - from.size());
    };
    if (auto item = between("\"allocations\":[", "],\"pendingIds\""); !item.empty()) {
      commitment.addAllocation(item);
    }
    if (auto item = between("\"pendingIds\":[", "],\"residuals\""); !item.empty()) {
      commitment.addPendingId(item);
    }
    if (auto item = between("\"residuals\":{", "}},\"pageCount\""); !item.empty()) {
      commitment.addResidual(item);
    }
  }
  auto completed = readJson(std::string_view(lines.back()).substr(0, lines.back().size() - 1));
  const Json* metadata = completed ? completed->find("metadata") : nullptr;
  const Json* revision = metadata != nullptr ? metadata->find("revision") : nullptr;
  const Json* runId = metadata != nullptr ? metadata->find("runId") : nullptr;
  const size_t at = lines.back().find(kCommitment);
  if (revision == nullptr || !revision->isUnsigned() || runId == nullptr || !runId->isString() ||
      at == std::string::npos) {
    return {};
  }
  auto digits = commitment.finish(revision->asUnsigned(), runId->asString());
  if (!digits) return {};
  lines.back().replace(at + kCommitment.size(), 64, *digits);
  std::string out;
  for (const std::string& text : lines) out += text;
  return out;
}

// The output damaged in the way numbered `kind`, at places `below` chooses.
template <class Below>
std::vector<std::string> damaged(std::vector<std::string> lines, int kind, Below&& below) {
  const size_t pages = lines.size() - 3;
  std::string& some = lines[below(lines.size())];
  std::string& page = lines[2 + below(pages)];
  switch (kind) {
    case 0:  // a line dropped
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(below(lines.size())));
      break;
    case 1:  // a page repeated
      lines.insert(lines.begin() + 2, std::string(page));
      break;
    case 2:  // a byte changed
      some[below(some.size() - 1)] = "0a\"\\ :,{}]-9\x01\x7f\xff"[below(15)];
      break;
    case 3: {  // two pages swapped, each keeping its index
      std::string& other = lines[2 + below(pages)];
      const size_t a = page.rfind("\"pageIndex\":");
      const size_t b = other.rfind("\"pageIndex\":");
      std::swap(page, other);
      std::swap(page[b + 12], other[a + 12]);  // indexes below 10: one digit each
      break;
    }
    case 4:  // another nonce
      some.replace(some.find(kNonce), kNonce.size(), "nonce-fedcba9876543210");
      break;
    case 5:  // another commitment
      lines.back()[lines.back().find(kCommitment) + kCommitment.size() + below(64)] ^= 1;
      break;
    case 6:  // an escape that reads as the same text but is not the worker's
      if (const size_t at = some.find("\\\""); at != std::string::npos)
        some.replace(at, 2, "\\u0022");
      break;
  }
  return lines;
}

TEST(OutputReader, AcceptsExactlyWhatTheWorkerWrites) {
  std::mt19937 random(20261208);
  auto below = [&random](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  const std::string nonce(kNonce);
  size_t verified = 0;
  size_t checked = 0;
  for (int round = 0; round < 400; ++round) {
    const ReconciliationResult result = generatedResult(random);
    const std::string good = workerOutput(result, nonce);
    std::vector<std::string> outputs = {good, good.substr(0, below(good.size())),
                                        line(startedMessage(nonce)) +
                                            line(executingMessage(nonce)) +
                                            line(failureObject(nonce, SessionCode::EngineFailed))};
    for (int kind = 0; kind < 7; ++kind) {
      const std::vector<std::string> lines = damaged(splitLines(good), kind, below);
      std::string joined;
      for (const std::string& text : lines) joined += text;
      outputs.push_back(joined);
      outputs.push_back(recommitted(lines));
    }
    for (const std::string& output : outputs) {
      SCOPED_TRACE(testing::Message() << "round " << round << ":\n" << output);
      const OutputOutcome expected = expectedOutcome(output);
      const ReassembledOutput read = reassembleOutput(output, false, ResultKept::Yes);
      ASSERT_EQ(read.outcome, expected) << read.problem;
      EXPECT_EQ(read.problem.empty(), expected != OutputOutcome::NotVerified) << read.problem;
      if (expected == OutputOutcome::Verified) {
        ASSERT_TRUE(read.result.has_value());
        EXPECT_EQ(read.commitment, commitResult(*read.result).value());
        ++verified;
      }
      ++checked;
    }
    EXPECT_EQ(reassembleOutput(good, false, ResultKept::Yes).result, result);
    EXPECT_FALSE(reassembleOutput(good).result.has_value());  // decoded only when asked for
  }
  EXPECT_GE(verified, 400u);  // every undamaged output, and forgeries of valid results
  EXPECT_GT(checked - verified, checked / 2);
}

}  // namespace
}  // namespace tw::tool
