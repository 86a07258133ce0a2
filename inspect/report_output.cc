#include "inspect/report_output.h"

#include <array>
#include <cstring>
#include <utility>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "engine/engine.h"
#include "worker/frames.h"
#include "worker/responses.h"

namespace tw::inspect {

const uint64_t kMaxResultPages = kSessionEngineLimits.maxProposals + 2 * uint64_t{kMaxHeldEntries};

namespace {

std::string_view describe(JsonReadError error) {
  switch (error) {
    case JsonReadError::Syntax:
      return "not one well-formed JSON text";
    case JsonReadError::InvalidText:
      return "text that is not valid UTF-8";
    case JsonReadError::DuplicateMember:
      return "a member name repeated in one object";
    case JsonReadError::NonFiniteNumber:
      return "a number too large for a float";
    case JsonReadError::TooDeep:
      return "arrays or objects nested too deep";
  }
  return "not valid JSON";
}

// The codes a "failed" message can carry.
constexpr std::array<SessionCode, 3> kWrittenCodes = {
    SessionCode::EngineFailed, SessionCode::EngineDisconnected, SessionCode::Cancelled};

// Exactly these member names (ascending, as a JsonObject holds them).
template <size_t N>
bool hasMembers(const JsonObject& object, const std::array<std::string_view, N>& names) {
  if (object.size() != N) return false;
  size_t i = 0;
  for (const auto& [name, value] : object) {
    if (name != names[i++]) return false;
  }
  return true;
}

constexpr std::array<std::string_view, 3> kShortMembers = {"kind", "nonce", "version"};
constexpr std::array<std::string_view, 4> kFailedMembers = {"code", "kind", "nonce", "version"};
constexpr std::array<std::string_view, 6> kPageMembers = {"kind",      "nonce",     "page",
                                                          "pageCount", "pageIndex", "version"};
constexpr std::array<std::string_view, 3> kPageBodyMembers = {"allocations", "pendingIds",
                                                              "residuals"};
constexpr std::array<std::string_view, 4> kCompletedMembers = {"kind", "metadata", "nonce",
                                                               "version"};
constexpr std::array<std::string_view, 4> kMetadataMembers = {"pageCount", "resultCommitment",
                                                              "revision", "runId"};

// The session's course, one message at a time.
class Assembler {
 public:
  explicit Assembler(ReassembledOutput& out) : out_(out) {}

  // False once a problem is recorded.
  bool addLine(std::string_view line, size_t number);
  void finish(std::string_view tail, bool moreBeyond);

 private:
  enum class Expect : uint8_t { Started, Executing, PageOrEnd, Done };
  enum class Part : uint8_t { Allocations, PendingIds, Residuals };

  bool problem(size_t line, std::string text) {
    out_.outcome = OutputOutcome::NotVerified;  // whatever an earlier message decided
    out_.problem = std::move(text);
    out_.problemLine = line;
    return false;
  }
  bool nonceMatches(const Json& nonce) const {
    return nonce.isString() && out_.nonce && nonce.asString() == *out_.nonce;
  }
  bool addPage(JsonObject& message, size_t line);
  bool addFailed(const JsonObject& message, size_t line);
  bool addCompleted(JsonObject& message, size_t line);
  void verify(size_t line);

  ReassembledOutput& out_;
  Expect expect_ = Expect::Started;
  Part part_ = Part::Allocations;
  JsonArray allocations_;
  JsonArray pendingIds_;
  JsonObject residuals_;
};

bool Assembler::addLine(std::string_view line, size_t number) {
  const std::string at = "line " + std::to_string(number) + ": ";
  if (expect_ == Expect::Done) {
    return problem(number, at + "more output after the session's last message");
  }
  if (line.size() > kMaxResponseBytes) {
    return problem(number, at + "longer than any message the worker writes (" +
                               std::to_string(kMaxResponseBytes) + " bytes)");
  }
  auto read = readJson(line);
  if (!read) return problem(number, at + "not a message: " + std::string(describe(read.error())));
  if (!read->isObject()) return problem(number, at + "not a message: not a JSON object");
  if (toCompactJson(*read) != line) {
    return problem(number, at + "not written as the worker writes messages (compact JSON, "
                                "members in name order)");
  }
  JsonObject& message = read->asObject();
  const Json* kind = read->find("kind");
  const Json* version = read->find("version");
  if (kind == nullptr || !kind->isString()) return problem(number, at + "a message without kind");
  if (version == nullptr || !version->isUnsigned() || version->asUnsigned() != kProtocolVersion) {
    return problem(number, at + "a message whose version is not 1");
  }
  const std::string& k = kind->asString();

  if (k == "failed") return addFailed(message, number);
  if (k == "started" || k == "executing") {
    if (!hasMembers(message, kShortMembers)) {
      return problem(number, at + "\"" + k + "\" with other members than kind, nonce, version");
    }
    if (k == "started") {
      if (expect_ != Expect::Started) return problem(number, at + "\"started\" out of turn");
      const Json& nonce = message.at("nonce");
      if (!nonce.isString() || !isWellFormedNonce(nonce.asString())) {
        return problem(number, at + "\"started\" without a well-formed nonce");
      }
      out_.nonce = nonce.asString();
      expect_ = Expect::Executing;
      return true;
    }
    if (expect_ != Expect::Executing) return problem(number, at + "\"executing\" out of turn");
    if (!nonceMatches(message.at("nonce"))) {
      return problem(number, at + "\"executing\" with another nonce than \"started\"");
    }
    expect_ = Expect::PageOrEnd;
    return true;
  }
  if (k == "resultPage") return addPage(message, number);
  if (k == "completed") return addCompleted(message, number);
  return problem(number, at + "a message of unknown kind \"" + k + "\"");
}

bool Assembler::addFailed(const JsonObject& message, size_t line) {
  const std::string at = "line " + std::to_string(line) + ": ";
  if (!hasMembers(message, kFailedMembers)) {
    return problem(line, at + "\"failed\" with other members than code, kind, nonce, version");
  }
  const Json& code = message.at("code");
  bool known = false;
  for (SessionCode written : kWrittenCodes) {
    known = known || (code.isString() && code.asString() == sessionCodeText(written));
  }
  if (!known) return problem(line, at + "\"failed\" with a code the worker never writes");
  const Json& nonce = message.at("nonce");
  const bool nonceOk = out_.nonce ? nonceMatches(nonce) : nonce.isNull();
  if (!nonceOk) return problem(line, at + "\"failed\" with another nonce than the session's");
  if (out_.pagesRead > 0) return problem(line, at + "\"failed\" after result pages");
  out_.failedCode = code.asString();
  expect_ = Expect::Done;
  return true;
}

bool Assembler::addPage(JsonObject& message, size_t line) {
  const std::string at = "line " + std::to_string(line) + ": ";
  if (expect_ != Expect::PageOrEnd) return problem(line, at + "\"resultPage\" out of turn");
  if (!hasMembers(message, kPageMembers)) {
    return problem(line, at + "\"resultPage\" with other members than its six");
  }
  if (!nonceMatches(message.at("nonce"))) {
    return problem(line, at + "\"resultPage\" with another nonce than the session's");
  }
  const Json& count = message.at("pageCount");
  const Json& index = message.at("pageIndex");
  if (!count.isUnsigned() || count.asUnsigned() == 0 || count.asUnsigned() > kMaxResultPages) {
    return problem(line, at + "pageCount is not from 1 to " + std::to_string(kMaxResultPages) +
                             ", the most pages a session writes");
  }
  if (out_.pageCount && *out_.pageCount != count.asUnsigned()) {
    return problem(line, at + "pageCount differs from the first page's");
  }
  out_.pageCount = count.asUnsigned();
  if (!index.isUnsigned() || index.asUnsigned() != out_.pagesRead) {
    return problem(line, at + "page " +
                             (index.isUnsigned() ? std::to_string(index.asUnsigned())
                                                 : std::string("without an index")) +
                             " where page " + std::to_string(out_.pagesRead) +
                             " belongs (a page is missing or out of order)");
  }
  if (out_.pagesRead >= *out_.pageCount) {
    return problem(line, at + "more pages than pageCount");
  }

  Json& body = message.at("page");
  if (!body.isObject() || !hasMembers(body.asObject(), kPageBodyMembers) ||
      !body.asObject().at("allocations").isArray() || !body.asObject().at("pendingIds").isArray() ||
      !body.asObject().at("residuals").isObject()) {
    return problem(line, at + "a page that is not allocations, pendingIds and residuals");
  }
  JsonArray& allocations = body.asObject().at("allocations").asArray();
  JsonArray& pending = body.asObject().at("pendingIds").asArray();
  JsonObject& residuals = body.asObject().at("residuals").asObject();
  const size_t items = allocations.size() + pending.size() + residuals.size();
  if (items == 0 && *out_.pageCount != 1) {
    return problem(line, at + "an empty page in a result of more than one page");
  }
  if (items > 1) return problem(line, at + "a page holding more than one item");
  ++out_.pagesRead;
  if (items == 0) return true;

  const Part part = !allocations.empty() ? Part::Allocations
                    : !pending.empty()   ? Part::PendingIds
                                         : Part::Residuals;
  if (part < part_) {
    return problem(line, at + "an item after the items of a later part (allocations come first, "
                              "then pending identifiers, then residuals)");
  }
  part_ = part;
  switch (part) {
    case Part::Allocations:
      allocations_.push_back(std::move(allocations.front()));
      break;
    case Part::PendingIds:
      pendingIds_.push_back(std::move(pending.front()));
      break;
    case Part::Residuals: {
      auto node = residuals.extract(residuals.begin());
      if (!residuals_.empty() && !(residuals_.rbegin()->first < node.key())) {
        return problem(line, at + "a residual out of ascending identifier order");
      }
      residuals_.insert(residuals_.end(), std::move(node));
      break;
    }
  }
  return true;
}

bool Assembler::addCompleted(JsonObject& message, size_t line) {
  const std::string at = "line " + std::to_string(line) + ": ";
  if (expect_ != Expect::PageOrEnd) return problem(line, at + "\"completed\" out of turn");
  if (!hasMembers(message, kCompletedMembers)) {
    return problem(line, at + "\"completed\" with other members than its four");
  }
  if (!nonceMatches(message.at("nonce"))) {
    return problem(line, at + "\"completed\" with another nonce than the session's");
  }
  Json& metadata = message.at("metadata");
  if (!metadata.isObject() || !hasMembers(metadata.asObject(), kMetadataMembers)) {
    return problem(line, at + "metadata other than pageCount, resultCommitment, revision, runId");
  }
  const JsonObject& m = metadata.asObject();
  const Json& count = m.at("pageCount");
  const Json& commitment = m.at("resultCommitment");
  const Json& revision = m.at("revision");
  const Json& runId = m.at("runId");
  if (!count.isUnsigned() || !commitment.isString() || !revision.isUnsigned() ||
      !runId.isString()) {
    return problem(line, at + "metadata of the wrong types");
  }
  out_.claimedCommitment = commitment.asString();
  out_.revision = revision.asUnsigned();
  out_.runId = runId.asString();
  expect_ = Expect::Done;
  if (out_.pagesRead == 0) return problem(line, at + "\"completed\" without any result page");
  if (count.asUnsigned() != *out_.pageCount) {
    return problem(line, at + "pageCount " + std::to_string(count.asUnsigned()) +
                             " differs from the pages' " + std::to_string(*out_.pageCount));
  }
  if (out_.pagesRead != *out_.pageCount) {
    return problem(line, at + "\"completed\" after " + std::to_string(out_.pagesRead) + " of " +
                             std::to_string(*out_.pageCount) + " pages (pages are missing)");
  }
  verify(line);
  return out_.problem.empty();
}

void Assembler::verify(size_t line) {
  const std::string at = "line " + std::to_string(line) + ": ";
  JsonObject value;
  value.emplace("allocations", std::move(allocations_));
  value.emplace("pendingIds", std::move(pendingIds_));
  value.emplace("residuals", std::move(residuals_));
  value.emplace("revision", Json(*out_.revision));
  value.emplace("runId", Json(*out_.runId));
  auto decoded = decodeReconciliationResult(Json(std::move(value)));
  if (!decoded) {
    problem(line, at + "the pages do not hold a valid result (" +
                      std::string(contractErrorName(decoded.error())) + ")");
    return;
  }
  auto commitment = commitResult(*decoded);
  out_.result = std::move(decoded).value();
  if (!commitment) {
    problem(line, at + "the result cannot be committed (" +
                      std::string(contractErrorName(commitment.error())) + ")");
    return;
  }
  out_.commitment = std::move(commitment).value();
  if (*out_.commitment != *out_.claimedCommitment) {
    problem(line, at + "the commitment does not verify: the pages hash to " + *out_.commitment +
                      ", \"completed\" says " + *out_.claimedCommitment);
    return;
  }
  out_.outcome = OutputOutcome::Verified;
}

void Assembler::finish(std::string_view tail, bool moreBeyond) {
  const size_t next = out_.lines + 1;
  if (!tail.empty() || moreBeyond) {
    const std::string at = "line " + std::to_string(next) + ": ";
    if (expect_ == Expect::Done) {
      problem(next, at + "more output after the session's last message");
    } else if (tail.size() > kMaxResponseBytes) {
      problem(next, at + "longer than any message the worker writes (" +
                        std::to_string(kMaxResponseBytes) + " bytes)");
    } else if (moreBeyond) {
      problem(0, "the output is longer than any worker output (more than " +
                     std::to_string(kMaxOutputBytes) + " bytes)");
    } else {
      problem(next, at + "cut off: the output ends inside this line (no line feed)");
    }
    return;
  }
  if (expect_ == Expect::Done) {
    if (out_.failedCode && out_.problem.empty()) out_.outcome = OutputOutcome::Failed;
    return;
  }
  if (out_.lines == 0) {
    problem(0,
            "the output is empty: the worker wrote no message (a session that ends with an "
            "error code writes nothing; check its input to learn why)");
  } else if (out_.pageCount) {
    problem(0, "the output is cut off after page " + std::to_string(out_.pagesRead) + " of " +
                   std::to_string(*out_.pageCount) + ", without \"completed\"");
  } else {
    problem(0, "the output is cut off after line " + std::to_string(out_.lines) +
                   ", before \"completed\" or \"failed\"");
  }
}

}  // namespace

ReassembledOutput reassembleOutput(std::string_view bytes, bool moreBeyond) {
  ReassembledOutput out;
  Assembler assembler(out);
  size_t start = 0;
  while (start < bytes.size()) {
    const void* found = std::memchr(bytes.data() + start, '\n', bytes.size() - start);
    if (found == nullptr) break;
    const size_t end = static_cast<const char*>(found) - bytes.data();
    ++out.lines;
    if (!assembler.addLine(bytes.substr(start, end - start), out.lines)) return out;
    start = end + 1;
  }
  assembler.finish(bytes.substr(start), moreBeyond);
  return out;
}

}  // namespace tw::inspect
