#include "tallywarden/report_output.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <utility>

#include "contracts/commitment.h"
#include "contracts/contract_error.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/record_text.h"
#include "tallywarden/json_problem.h"
#include "worker/frames.h"
#include "worker/responses.h"
#include "worker/result_pages.h"
#include "worker/session_protocol.h"

namespace tw::tool {

namespace {

std::string lineAt(size_t line) {
  return "line " + std::to_string(line) + ": ";
}

// Whether `read` (without its line feed) is `written` (with it).
bool sameLine(std::string_view read, std::string_view written) {
  return written.size() == read.size() + 1 && written.starts_with(read);
}

// The first byte at which `read` (without its line feed) and `written` (with it) part.
size_t firstDifference(std::string_view read, std::string_view written) {
  const size_t common = std::min(read.size(), written.size());
  size_t at = 0;
  while (at < common && read[at] == written[at]) ++at;
  return at;
}

// Reads a page's text from left to right: each part must be the one the worker's writers put
// there, byte for byte.
class PageCursor {
 public:
  explicit PageCursor(std::string_view text) : text_(text) {}

  size_t at() const { return at_; }
  bool atEnd() const { return at_ == text_.size(); }
  // Compared eight bytes at a time in place: most parts are short constants, which this unrolls
  // into a few loads where a library comparison would be a call for each.
  bool literal(std::string_view part) {
    if (text_.size() - at_ < part.size()) return false;
    const char* here = text_.data() + at_;
    size_t i = 0;
    for (; i + 8 <= part.size(); i += 8) {
      uint64_t got;
      uint64_t want;
      std::memcpy(&got, here + i, 8);
      std::memcpy(&want, part.data() + i, 8);
      if (got != want) return false;
    }
    for (; i < part.size(); ++i) {
      if (here[i] != part[i]) return false;
    }
    at_ += part.size();
    return true;
  }
  // Steps over `count` bytes already compared. REQUIRES: count <= what is left.
  void skip(size_t count) {
    assert(count <= text_.size() - at_);
    at_ += count;
  }
  bool next(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  // Decimal digits as appendUnsigned writes them: no sign, no leading zero, within 64 bits.
  bool number(uint64_t& value);
  // A string as appendJsonString writes it, its value into `value`: each byte that has an escape
  // is escaped, with its one escape, and nothing else is.
  bool text(std::string& value);

 private:
  std::string_view text_;
  size_t at_ = 0;
};

bool PageCursor::number(uint64_t& value) {
  const size_t begin = at_;
  value = 0;
  while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(text_[at_] - '0'), &value)) {
      return false;
    }
    ++at_;
  }
  return at_ > begin && (at_ - begin == 1 || text_[begin] != '0');
}

bool PageCursor::text(std::string& value) {
  if (!next('"')) return false;
  value.clear();
  for (;;) {
    const size_t plain = plainJsonTextLength(text_.substr(at_));
    value.append(text_.substr(at_, plain));
    at_ += plain;
    if (at_ >= text_.size()) return false;
    if (text_[at_] == '"') {
      ++at_;
      return true;
    }
    if (text_[at_] != '\\' || at_ + 1 >= text_.size()) return false;  // a raw control byte
    const char escape = text_[at_ + 1];
    at_ += 2;
    char byte = 0;
    switch (escape) {
      case '"':
      case '\\':
        byte = escape;
        break;
      case 'b':
        byte = '\b';
        break;
      case 'f':
        byte = '\f';
        break;
      case 'n':
        byte = '\n';
        break;
      case 'r':
        byte = '\r';
        break;
      case 't':
        byte = '\t';
        break;
      case 'u': {
        // \u00 and two lower-case hex digits, for a byte below 0x20 without a short escape.
        static constexpr std::string_view kHex = "0123456789abcdef";
        const std::string_view digits = text_.substr(at_, 4);
        if (digits.size() != 4 || digits[0] != '0' || digits[1] != '0') return false;
        const size_t high = kHex.find(digits[2]);
        const size_t low = kHex.find(digits[3]);
        if (high > 1 || low == std::string_view::npos) return false;
        byte = static_cast<char>(high * 16 + low);
        if (byte == '\b' || byte == '\f' || byte == '\n' || byte == '\r' || byte == '\t') {
          return false;
        }
        at_ += 4;
        break;
      }
      default:
        return false;
    }
    value.push_back(byte);
  }
}

// An allocation as appendRecordJson writes it, into `allocation`, whose storage serves one page
// after another. Only the text is judged here: the values are the contract's to judge.
bool readAllocation(PageCursor& page, Allocation& allocation, std::string& scratch) {
  Evidence& evidence = allocation.evidence;
  if (!page.literal(R"({"cents":)") || !page.text(allocation.cents) ||
      !page.literal(R"(,"evidence":{"origins":[)")) {
    return false;
  }
  size_t origins = 0;
  do {
    if (evidence.origins.size() == origins) evidence.origins.emplace_back();
    Ref& origin = evidence.origins[origins++];
    uint64_t row = 0;
    if (!page.literal(R"({"fileId":)") || !page.text(origin.fileId) ||
        !page.literal(R"(,"row":)") || !page.number(row) ||
        row > std::numeric_limits<uint32_t>::max() || !page.literal(R"(,"sheet":)")) {
      return false;
    }
    origin.row = static_cast<uint32_t>(row);
    if (page.literal("null")) {
      origin.sheet.reset();
    } else if (!page.text(origin.sheet.emplace())) {
      return false;
    }
    if (!page.literal(R"(,"sourceId":)") || !page.text(origin.sourceId) || !page.next('}')) {
      return false;
    }
  } while (page.next(','));
  evidence.origins.resize(origins);
  if (!page.literal(R"(],"reasonCodes":[)")) return false;
  evidence.reasonCodes.clear();
  do {
    if (!page.text(scratch)) return false;
    const std::optional<ReasonCode> code = reasonCodeFromText(scratch);
    if (!code) return false;
    evidence.reasonCodes.push_back(*code);
  } while (page.next(','));
  if (!page.literal(R"(],"ruleId":)") || !page.text(evidence.ruleId) ||
      !page.literal(R"(},"leftId":)") || !page.text(allocation.leftId) ||
      !page.literal(R"(,"rightId":)") || !page.text(allocation.rightId) ||
      !page.literal(R"(,"stage":)") || !page.text(scratch)) {
    return false;
  }
  const std::optional<AllocationStage> stage = allocationStageFromText(scratch);
  if (!stage) return false;
  allocation.stage = *stage;
  return page.next('}');
}

// The session's course, one message at a time. "started", "executing", "failed" and "completed"
// are each held against the text the worker's own functions write for them. A page is read in one
// pass against the parts the worker's page builder writes; its item is judged by the contract and
// its text added to the commitment.
class Assembler {
 public:
  Assembler(ReassembledOutput& out, ResultKept kept) : out_(out), kept_(kept) {}

  // False once a problem is recorded.
  bool addLine(std::string_view line, size_t number);
  void finish(std::string_view tail, bool moreBeyond);

 private:
  bool problem(size_t line, std::string text) {
    out_.outcome = OutputOutcome::NotVerified;  // whatever an earlier message decided
    out_.problem = std::move(text);
    out_.problemLine = line;
    return false;
  }
  bool nonceMatches(const Json* nonce) const {
    return nonce != nullptr && nonce->isString() && out_.nonce && nonce->asString() == *out_.nonce;
  }
  // Takes a message of `kind` in the session's order; false, with the problem, out of turn.
  bool inTurn(MessageKind kind, std::string_view text, size_t number) {
    if (course_.take(kind)) return true;
    if (kind == MessageKind::Failed && out_.pagesRead > 0) {
      return problem(number, lineAt(number) + "\"failed\" after result pages");
    }
    return problem(number, lineAt(number) + "\"" + std::string(text) + "\" out of turn");
  }
  // False, with the problem, when `line` is not the text the worker writes for `message`.
  bool writtenAs(std::string_view line, size_t number, const Json& message, std::string_view kind);
  bool addStartedOrExecuting(const Json& message, std::string_view line, size_t number,
                             bool started);
  bool addFailed(const Json& message, std::string_view line, size_t number);
  // Takes the next page: the empty text, or what keeps `line` from being the worker's next page.
  std::string takePage(std::string_view line);
  // The problem of a page that is not the next one: its place, when its message tells it.
  bool pageProblem(std::string_view line, size_t number, const std::string& why);
  bool addCompleted(const Json& message, std::string_view line, size_t number);
  void verify(std::string_view completed, size_t line);

  ReassembledOutput& out_;
  ResultKept kept_;
  OutputCourse course_;
  std::string pagePrefix_;  // a page up to its item, once the nonce is known
  ResultItemsCheck check_;
  ResultCommitment commitment_;
  Allocation allocation_;  // the allocation of the last page read; its storage serves the next
  std::string id_;
  std::string cents_;
  ReconciliationResult result_;  // filled only when the result is kept
};

bool Assembler::writtenAs(std::string_view line, size_t number, const Json& message,
                          std::string_view kind) {
  auto written = responseText(message);
  if (written && sameLine(line, *written)) return true;
  std::string text =
      lineAt(number) + "not written as the worker writes \"" + std::string(kind) + "\"";
  if (written) {
    text += " (they part at byte " + std::to_string(firstDifference(line, *written) + 1) + ")";
  }
  return problem(number, std::move(text));
}

bool Assembler::addLine(std::string_view line, size_t number) {
  if (course_.ended())
    return problem(number, lineAt(number) + "more output after the session's last message");
  if (!withinResponseLimit(line.size())) {
    return problem(number, lineAt(number) + "longer than any message the worker writes (" +
                               std::to_string(kMaxResponseBytes) + " bytes)");
  }
  if (!pagePrefix_.empty() && line.starts_with(pagePrefix_)) {
    if (!inTurn(MessageKind::ResultPage, "resultPage", number)) return false;
    const std::string why = takePage(line);
    return why.empty() || pageProblem(line, number, why);
  }
  auto read = readJson(line);
  if (!read) {
    return problem(number,
                   lineAt(number) + "not a message: the line " + jsonReadProblem(read.error()));
  }
  if (!read->isObject())
    return problem(number, lineAt(number) + "not a message: not a JSON object");
  const Json* kind = read->find("kind");
  if (kind == nullptr || !kind->isString())
    return problem(number, lineAt(number) + "a message without kind");
  const std::string& k = kind->asString();
  const std::optional<MessageKind> known = messageKindOf(k);
  if (!known) return problem(number, lineAt(number) + "a message of unknown kind \"" + k + "\"");
  if (!inTurn(*known, k, number)) return false;
  switch (*known) {
    case MessageKind::Failed:
      return addFailed(*read, line, number);
    case MessageKind::Started:
      return addStartedOrExecuting(*read, line, number, true);
    case MessageKind::Executing:
      return addStartedOrExecuting(*read, line, number, false);
    case MessageKind::ResultPage:
      return pageProblem(line, number, "it does not begin as the worker's pages do");
    case MessageKind::Completed:
      return addCompleted(*read, line, number);
  }
  return false;
}

bool Assembler::addStartedOrExecuting(const Json& message, std::string_view line, size_t number,
                                      bool started) {
  const std::string at = lineAt(number);
  const Json* nonce = message.find("nonce");
  if (started) {
    if (nonce == nullptr || !nonce->isString() || !isWellFormedNonce(nonce->asString())) {
      return problem(number, at + "\"started\" without a well-formed nonce");
    }
    if (!writtenAs(line, number, startedMessage(nonce->asString()), "started")) return false;
    out_.nonce = nonce->asString();
    pagePrefix_.assign(page_text::kBeforeNonce);
    appendJsonString(pagePrefix_, *out_.nonce);
    pagePrefix_.append(page_text::kBeforeItems);
    return true;
  }
  if (!nonceMatches(nonce)) {
    return problem(number, at + "\"executing\" with another nonce than \"started\"");
  }
  return writtenAs(line, number, executingMessage(*out_.nonce), "executing");
}

bool Assembler::addFailed(const Json& message, std::string_view line, size_t number) {
  const std::string at = lineAt(number);
  const Json* code = message.find("code");
  std::optional<SessionCode> written;
  for (SessionCode candidate : kFailureObjectCodes) {
    if (code != nullptr && code->isString() && code->asString() == sessionCodeText(candidate)) {
      written = candidate;
    }
  }
  if (!written) return problem(number, at + "\"failed\" with a code the worker never writes");
  if (!nonceMatches(message.find("nonce"))) {
    return problem(number, at + "\"failed\" with another nonce than the session's");
  }
  if (!writtenAs(line, number, failureObject(out_.nonce, *written), "failed")) return false;
  out_.failedCode = code->asString();
  return true;
}

std::string Assembler::takePage(std::string_view line) {
  static constexpr std::string_view kNotOneItem =
      "it is not written as the worker writes a page of one item";
  enum class Item : uint8_t { Allocation, PendingId, Residual, None };
  PageCursor page(line);
  page.skip(pagePrefix_.size());  // REQUIRES: the line begins with it
  size_t itemAt = page.at();
  Item item = Item::None;
  if (line.substr(itemAt).starts_with("{")) {
    if (!readAllocation(page, allocation_, id_)) {
      return std::string(kNotOneItem);
    }
    item = Item::Allocation;
  } else if (page.literal(page_text::kBeforeResidual)) {
    itemAt = page.at();
    if (!line.substr(itemAt).starts_with(page_text::kAfterResidual)) {
      if (!page.text(id_) || !page.next(':') || !page.text(cents_)) return std::string(kNotOneItem);
      item = Item::Residual;
    }
  } else if (page.literal(page_text::kBeforePendingId)) {
    itemAt = page.at();
    if (!page.text(id_)) return std::string(kNotOneItem);
    item = Item::PendingId;
  } else {
    return std::string(kNotOneItem);
  }
  const std::string_view itemText = line.substr(itemAt, page.at() - itemAt);
  const std::string_view after = item == Item::Allocation  ? page_text::kAfterAllocation
                                 : item == Item::PendingId ? page_text::kAfterPendingId
                                                           : page_text::kAfterResidual;
  uint64_t count = 0;
  uint64_t index = 0;
  uint64_t version = 0;
  if (!page.literal(after) || !page.literal(page_text::kBeforePageCount) || !page.number(count) ||
      !page.literal(page_text::kBeforePageIndex) || !page.number(index) ||
      !page.literal(page_text::kBeforeVersion) || !page.number(version) ||
      version != kProtocolVersion || !page.literal(page_text::kEnd) || !page.atEnd()) {
    return std::string(kNotOneItem);
  }
  if (index != out_.pagesRead) return "its index";
  if (out_.pageCount && count != *out_.pageCount) {
    return "its pageCount " + std::to_string(count) + " is not the first page's " +
           std::to_string(*out_.pageCount);
  }
  if (index >= count) return "its index is not below its pageCount";
  if (item == Item::None && count != 1) {
    return "it holds no item, as only the one page of a result without items does";
  }
  Status<ContractError> valid;
  switch (item) {
    case Item::Allocation:
      valid = check_.allocation(allocation_);
      break;
    case Item::PendingId:
      valid = check_.pendingId(id_);
      break;
    case Item::Residual:
      valid = check_.residual(id_, cents_);
      break;
    case Item::None:
      break;
  }
  if (!valid) {
    return "its item is not one of a valid result in its place (" +
           std::string(contractErrorName(valid.error())) + ")";
  }
#ifndef NDEBUG
  std::string written;
  if (item == Item::Allocation) appendRecordJson(written, allocation_);
  if (item == Item::PendingId) appendJsonString(written, id_);
  if (item == Item::Residual) {
    appendJsonString(written, id_);
    written.push_back(':');
    appendJsonString(written, cents_);
  }
  assert(written == itemText);
#endif
  switch (item) {
    case Item::Allocation:
      commitment_.addAllocation(itemText);
      if (kept_ == ResultKept::Yes) result_.allocations.push_back(allocation_);
      break;
    case Item::PendingId:
      commitment_.addPendingId(itemText);
      if (kept_ == ResultKept::Yes) result_.pendingIds.push_back(id_);
      break;
    case Item::Residual:
      commitment_.addResidual(itemText);
      if (kept_ == ResultKept::Yes)
        result_.residuals.emplace_hint(result_.residuals.end(), id_, cents_);
      break;
    case Item::None:
      break;
  }
  if (!out_.pageCount) out_.pageCount = count;
  ++out_.pagesRead;
  return {};
}

bool Assembler::pageProblem(std::string_view line, size_t number, const std::string& why) {
  const std::string at = lineAt(number);
  auto read = readJson(line);
  if (!read) {
    return problem(number, at + "not a message: the line " + jsonReadProblem(read.error()));
  }
  if (!nonceMatches(read->find("nonce"))) {
    return problem(number, at + "\"resultPage\" with another nonce than the session's");
  }
  const Json* index = read->find("pageIndex");
  if (index == nullptr || !index->isUnsigned()) {
    return problem(number, at + "a \"resultPage\" without a pageIndex");
  }
  if (index->asUnsigned() != out_.pagesRead) {
    return problem(number, at + "page " + std::to_string(index->asUnsigned()) + " where page " +
                               std::to_string(out_.pagesRead) +
                               " belongs (a page is missing or out of order)");
  }
  return problem(number, at + "not the page the worker writes here: " + why);
}

bool Assembler::addCompleted(const Json& message, std::string_view line, size_t number) {
  const std::string at = lineAt(number);
  if (!nonceMatches(message.find("nonce"))) {
    return problem(number, at + "\"completed\" with another nonce than the session's");
  }
  const Json* metadata = message.find("metadata");
  const Json* count = metadata != nullptr ? metadata->find("pageCount") : nullptr;
  const Json* commitment = metadata != nullptr ? metadata->find("resultCommitment") : nullptr;
  const Json* revision = metadata != nullptr ? metadata->find("revision") : nullptr;
  const Json* runId = metadata != nullptr ? metadata->find("runId") : nullptr;
  if (count == nullptr || !count->isUnsigned() || commitment == nullptr ||
      !commitment->isString() || revision == nullptr || !revision->isUnsigned() ||
      runId == nullptr || !runId->isString()) {
    return problem(number, at + "not written as the worker writes \"completed\" (its metadata "
                                "is not a page count, a commitment, a revision and a run)");
  }
  out_.claimedCommitment = commitment->asString();
  out_.revision = revision->asUnsigned();
  out_.runId = runId->asString();
  if (out_.pagesRead == 0) return problem(number, at + "\"completed\" without any result page");
  if (out_.pageCount && count->asUnsigned() != *out_.pageCount) {
    return problem(number, at + "pageCount " + std::to_string(count->asUnsigned()) +
                               " differs from the pages' " + std::to_string(*out_.pageCount));
  }
  if (out_.pagesRead != count->asUnsigned()) {
    return problem(number, at + "\"completed\" after " + std::to_string(out_.pagesRead) + " of " +
                               std::to_string(count->asUnsigned()) + " pages" +
                               (out_.pagesRead < count->asUnsigned() ? " (pages are missing)"
                                                                     : " (more pages than that)"));
  }
  verify(line, number);
  return out_.problem.empty();
}

// After the pages, the result as a whole, "completed" itself, then the commitment.
void Assembler::verify(std::string_view completed, size_t line) {
  const std::string at = lineAt(line);
  if (const Status<ContractError> valid = check_.finish(*out_.revision, *out_.runId); !valid) {
    problem(line, at + "the pages do not hold a valid result (" +
                      std::string(contractErrorName(valid.error())) + ")");
    return;
  }
  auto commitment = commitment_.finish(*out_.revision, *out_.runId);
  if (commitment) out_.commitment = std::move(commitment).value();
  if (kept_ == ResultKept::Yes) {
    result_.revision = *out_.revision;
    result_.runId = *out_.runId;
    out_.result = std::move(result_);
  }
  if (!writtenAs(completed, line,
                 completedMessage(*out_.nonce, out_.pagesRead, *out_.claimedCommitment,
                                  *out_.revision, *out_.runId),
                 "completed")) {
    return;
  }
  if (!out_.commitment) {
    problem(line, at + "the result cannot be committed (" +
                      std::string(contractErrorName(commitment.error())) + ")");
    return;
  }
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
    if (course_.ended()) {
      problem(next, at + "more output after the session's last message");
    } else if (!withinResponseLimit(tail.size())) {
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
  if (course_.ended()) {
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

ReassembledOutput reassembleOutput(std::string_view bytes, bool moreBeyond, ResultKept kept) {
  ReassembledOutput out;
  Assembler assembler(out, kept);
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

}  // namespace tw::tool

namespace tw::tool {

ReassembledOutput verifyWorkerOutput(std::string_view session, std::string_view output,
                                     bool moreBeyond, ResultKept kept) {
  ReassembledOutput out = reassembleOutput(output, moreBeyond, kept);
  // The session's own nonce and run, from its first line as the worker judges it.
  SessionProtocol protocol;
  const size_t feed = session.find('\n');
  if (feed != std::string_view::npos) (void)protocol.line(session.substr(0, feed + 1));
  const SessionState& state = protocol.state();
  if (!state.nonce) {
    out.outcome = OutputOutcome::NotVerified;
    out.problem = "the session does not begin with a \"start\" the worker accepts";
    out.problemLine = 0;
  } else if (out.nonce && *out.nonce != *state.nonce) {
    out.outcome = OutputOutcome::NotVerified;
    out.problem = "line 1: the output is another session's (its nonce is not the session's)";
    out.problemLine = 1;
  } else if (out.runId && *out.runId != state.manifest->runId) {
    out.outcome = OutputOutcome::NotVerified;
    out.problem =
        "the result is of run " + *out.runId + ", the session's is " + state.manifest->runId;
    out.problemLine = out.lines;
  }
  return out;
}

}  // namespace tw::tool
