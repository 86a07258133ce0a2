// The output reader against a plain statement of what it must accept: an output verifies exactly
// when its lines are the bytes the worker writes for the result its pages hold (read as JSON and
// decoded as a whole), and a "failed" output exactly when it is the worker's text of one. Both
// are held to the worker's outputs for generated results and to those outputs damaged: cut,
// lines dropped, repeated or swapped, bytes changed, another nonce, another commitment.
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
#include "contracts/record_checks.h"
#include "worker/frames.h"
#include "worker/result_pages.h"

namespace tw::tool {
namespace {

constexpr std::string_view kNonce = "nonce-0123456789abcdef";

std::string line(const Json& message) {
  return toCompactJson(message) + "\n";
}

// What the worker writes for a session that delivers `result`, from its own writers.
std::string workerOutput(const ReconciliationResult& result, const std::string& nonce) {
  std::string out = line(startedMessage(nonce)) + line(executingMessage(nonce));
  const uint64_t count = *resultPageCount(result);
  PageBatch batch;
  const auto commitment =
      makeResultPages(result, nonce, count, batch, [](PageBatch&, bool) { return true; });
  out += batch.text;
  return out +
         line(completedMessage(nonce, count, commitment->value(), result.revision, result.runId));
}

// The statement the reader is held to, written the long way: every line read as JSON, the pages'
// items put together and decoded, and the worker's bytes for that result compared with the whole.
OutputOutcome expectedOutcome(const std::string& output) {
  std::vector<Json> messages;
  for (size_t start = 0; start < output.size();) {
    const size_t end = output.find('\n', start);
    if (end == std::string::npos) return OutputOutcome::NotVerified;
    auto read = readJson(std::string_view(output).substr(start, end - start));
    if (!read || !read->isObject()) return OutputOutcome::NotVerified;
    messages.push_back(std::move(read).value());
    start = end + 1;
  }
  if (messages.empty() || messages[0].find("nonce") == nullptr ||
      !messages[0].find("nonce")->isString() ||
      !isWellFormedNonce(messages[0].find("nonce")->asString())) {
    return OutputOutcome::NotVerified;
  }
  const std::string nonce = messages[0].find("nonce")->asString();
  for (SessionCode code :
       {SessionCode::Cancelled, SessionCode::EngineFailed, SessionCode::EngineDisconnected}) {
    const std::string started = line(startedMessage(nonce));
    const std::string failed = line(failureObject(nonce, code));
    if (output == started + failed || output == started + line(executingMessage(nonce)) + failed) {
      return OutputOutcome::Failed;
    }
  }
  JsonArray allocations;
  JsonArray pendingIds;
  JsonObject residuals;
  for (size_t i = 2; i + 1 < messages.size(); ++i) {
    const Json* page = messages[i].find("page");
    if (page == nullptr || !page->isObject()) return OutputOutcome::NotVerified;
    for (const char* part : {"allocations", "pendingIds"}) {
      const Json* items = page->find(part);
      if (items == nullptr || !items->isArray()) return OutputOutcome::NotVerified;
      for (const Json& item : items->asArray()) {
        (part[0] == 'a' ? allocations : pendingIds).push_back(item);
      }
    }
    const Json* members = page->find("residuals");
    if (members == nullptr || !members->isObject()) return OutputOutcome::NotVerified;
    for (const auto& [id, cents] : members->asObject()) residuals.emplace(id, cents);
  }
  const Json* metadata = messages.back().find("metadata");
  if (messages.size() < 4 || metadata == nullptr) return OutputOutcome::NotVerified;
  JsonObject value;
  value.emplace("allocations", std::move(allocations));
  value.emplace("pendingIds", std::move(pendingIds));
  value.emplace("residuals", std::move(residuals));
  for (const char* member : {"revision", "runId"}) {
    const Json* found = metadata->find(member);
    if (found == nullptr) return OutputOutcome::NotVerified;
    value.emplace(member, *found);
  }
  auto result = decodeReconciliationResult(Json(std::move(value)));
  if (!result) return OutputOutcome::NotVerified;
  return workerOutput(*result, nonce) == output ? OutputOutcome::Verified
                                                : OutputOutcome::NotVerified;
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }

  std::string identifier() {
    static const std::string kFirst = "abcdefXYZ0129";
    static const std::string kRest = "abXY09-.:_";
    std::string id(1, kFirst[below(kFirst.size())]);
    for (size_t n = below(6); n > 0; --n) id += kRest[below(kRest.size())];
    return id;
  }
  std::string amount() {
    const int64_t magnitude = static_cast<int64_t>(below(4) == 0 ? below(3) : below(2000000));
    return std::to_string(below(3) == 0 ? -magnitude : magnitude);
  }
  // Free text that the writer escapes in places: quotes and backslashes, and text beyond ASCII.
  std::optional<std::string> sheet() {
    if (below(2) == 0) return std::nullopt;
    return pick(std::vector<std::string>{"Sheet 1", "a\"b", "c\\d", "caf\xc3\xa9", "/"});
  }

  ReconciliationResult result() {
    ReconciliationResult result;
    result.runId = identifier();
    result.revision = below(4) == 0 ? kMaxSafeInteger : below(100);
    for (size_t n = below(4); n > 0; --n) {
      Allocation allocation;
      allocation.stage = pick(std::vector<AllocationStage>{AllocationStage::ErpBank,
                                                           AllocationStage::SalesSettlement,
                                                           AllocationStage::SettlementBank});
      allocation.leftId = identifier();
      allocation.rightId = identifier();
      allocation.cents = amount();
      allocation.evidence.ruleId = identifier();
      for (size_t k = 1 + below(3); k > 0; --k) {
        allocation.evidence.origins.push_back(Ref{identifier(), identifier(), sheet(),
                                                  static_cast<uint32_t>(below(3) * 2000000000u)});
      }
      std::sort(allocation.evidence.origins.begin(), allocation.evidence.origins.end(),
                [](const Ref& a, const Ref& b) { return a < b; });
      allocation.evidence.origins.erase(
          std::unique(allocation.evidence.origins.begin(), allocation.evidence.origins.end()),
          allocation.evidence.origins.end());
      for (ReasonCode code : {ReasonCode::DocumentedComposition, ReasonCode::ReferenceMatch,
                              ReasonCode::ReviewApproved}) {
        if (below(2) == 0) allocation.evidence.reasonCodes.push_back(code);
      }
      if (allocation.evidence.reasonCodes.empty()) {
        allocation.evidence.reasonCodes.push_back(ReasonCode::ReferenceMatch);
      }
      result.allocations.push_back(std::move(allocation));
    }
    for (size_t n = below(3); n > 0; --n) result.pendingIds.push_back(identifier());
    for (size_t n = below(4); n > 0; --n) result.residuals.emplace(identifier(), amount());
    return result;
  }

 private:
  std::mt19937 random_;
};

std::vector<std::string> splitLines(const std::string& output) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < output.size();) {
    const size_t end = std::min(output.find('\n', start), output.size() - 1);
    lines.push_back(output.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& text : lines) out += text;
  return out;
}

// Swaps the pageIndex members of two page lines, so that swapped pages keep their places.
void swapIndexes(std::string& a, std::string& b) {
  constexpr std::string_view kIndex = "\"pageIndex\":";
  const size_t atA = a.rfind(kIndex) + kIndex.size();
  const size_t atB = b.rfind(kIndex) + kIndex.size();
  const size_t endA = a.find(',', atA);
  const size_t endB = b.find(',', atB);
  const std::string indexA = a.substr(atA, endA - atA);
  a.replace(atA, endA - atA, b.substr(atB, endB - atB));
  b.replace(atB, endB - atB, indexA);
}

// Damaged copies of a worker's output, each a different kind of damage.
std::vector<std::string> damaged(const std::string& output, Generator& g) {
  std::vector<std::string> out;
  const std::vector<std::string> lines = splitLines(output);
  out.push_back(output.substr(0, g.below(output.size())));
  for (int kind = 0; kind < 9; ++kind) {
    std::vector<std::string> copy = lines;
    std::string& some = copy[g.below(copy.size())];
    const size_t pages = copy.size() > 3 ? copy.size() - 3 : 0;
    switch (kind) {
      case 0:
        copy.erase(copy.begin() + static_cast<std::ptrdiff_t>(g.below(copy.size())));
        break;
      case 1:
        copy.insert(copy.begin() + static_cast<std::ptrdiff_t>(2 + g.below(pages)),
                    copy[2 + g.below(pages)]);
        break;
      case 2:
        some[g.below(some.size() - 1)] = "0a\"\\ :,{}]-9\x01\x7f\xff"[g.below(15)];
        break;
      case 3:
        some[g.below(some.size() - 1)] ^= static_cast<char>(1 << g.below(7));
        break;
      case 4:
        if (pages >= 2) {
          const size_t a = 2 + g.below(pages);
          const size_t b = 2 + g.below(pages);
          std::swap(copy[a], copy[b]);
          swapIndexes(copy[a], copy[b]);
        }
        break;
      case 5:
        if (const size_t at = some.find(kNonce); at != std::string::npos) {
          some.replace(at, kNonce.size(), "nonce-fedcba9876543210");
        }
        break;
      case 6: {
        std::string& completed = copy.back();
        if (const size_t at = completed.find("\"resultCommitment\":\""); at != std::string::npos) {
          char& digit = completed[at + 20 + g.below(64)];
          digit = digit == '0' ? '1' : '0';
        }
        break;
      }
      case 7:
        some.insert(g.below(some.size()), g.below(2) == 0 ? " " : "\\u0022");
        break;
      case 8:
        if (const size_t at = some.find("\\\""); at != std::string::npos) {
          some.replace(at, 2, "\\u0022");  // an escape the reader takes, but not the worker's
        }
        break;
    }
    out.push_back(joinLines(copy));
  }
  return out;
}

// `output` with the commitment of "completed" made again from the item texts of its pages, as
// they stand, as a forger would: then only the reader's own rules can refuse the damage. Nothing
// when those texts cannot be committed in the order they come.
std::optional<std::string> recommitted(const std::string& output) {
  std::vector<std::string> lines = splitLines(output);
  if (lines.size() < 4 || !output.ends_with('\n')) return std::nullopt;
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
  if (revision == nullptr || !revision->isUnsigned() || runId == nullptr || !runId->isString()) {
    return std::nullopt;
  }
  auto digits = commitment.finish(revision->asUnsigned(), runId->asString());
  const size_t at = lines.back().find("\"resultCommitment\":\"");
  if (!digits || at == std::string::npos) return std::nullopt;
  lines.back().replace(at + 20, 64, *digits);
  return joinLines(lines);
}

TEST(OutputReader, AcceptsExactlyWhatTheWorkerWrites) {
  Generator g(20261208);
  const std::string nonce(kNonce);
  size_t verified = 0;
  size_t checked = 0;
  for (int round = 0; round < 400; ++round) {
    const ReconciliationResult result = g.result();
    ASSERT_TRUE(checkResultRecord(result)) << round;
    const std::string good = workerOutput(result, nonce);
    std::vector<std::string> outputs = damaged(good, g);
    for (size_t i = 0, n = outputs.size(); i < n; ++i) {
      if (auto forged = recommitted(outputs[i])) outputs.push_back(*forged);
    }
    outputs.push_back(good);
    const std::string started = line(startedMessage(nonce));
    outputs.push_back(started + line(executingMessage(nonce)) +
                      line(failureObject(nonce, SessionCode::EngineFailed)));
    for (const std::string& output : outputs) {
      SCOPED_TRACE(testing::Message() << "round " << round << ":\n" << output);
      const OutputOutcome expected = expectedOutcome(output);
      const ReassembledOutput read = reassembleOutput(output, false, ResultKept::Yes);
      ASSERT_EQ(read.outcome, expected) << read.problem;
      EXPECT_EQ(read.problem.empty(), expected != OutputOutcome::NotVerified) << read.problem;
      if (expected == OutputOutcome::Verified) {
        ASSERT_TRUE(read.result.has_value());
        EXPECT_EQ(read.commitment, commitResult(*read.result).value());
        if (output == good) {
          EXPECT_EQ(*read.result, result);
        }
        ++verified;
      }
      ++checked;
    }
    const ReassembledOutput plain = reassembleOutput(good);
    EXPECT_TRUE(plain.verified());
    EXPECT_FALSE(plain.result.has_value());  // decoded only when asked for
  }
  // Every undamaged output verifies, and most damage is refused (a forged commitment over
  // changed items that still make a valid result verifies, as it should).
  EXPECT_GE(verified, 400u);
  EXPECT_GT(checked - verified, checked / 2);
}

}  // namespace
}  // namespace tw::tool
