#include "tallywarden/report_output.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
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

// Where the pages read first part from the pages the worker makes for a result: the index of
// the page (pages.size() when the worker makes more), and the byte (npos when the worker makes
// fewer).
struct PagesPart {
  size_t page = 0;
  size_t byte = 0;
};

// Makes the worker's pages for `result`, each stating `pageCount`, and holds them against
// `pages`; sets `commitment` to the commitment hashed from them as they are made, or to its
// error. With the count the pages state, a page that lost or gained an item is found at its own
// line rather than at the first page.
std::optional<PagesPart> rebuildPages(const ReconciliationResult& result, const std::string& nonce,
                                      uint64_t pageCount,
                                      const std::vector<std::string_view>& pages,
                                      std::optional<CommitmentOutcome>& commitment) {
  size_t count = 0;
  std::optional<PagesPart> parts;
  PageBatch batch;
  commitment = makeResultPages(result, nonce, pageCount, batch, [&](PageBatch& made, bool) {
    size_t start = 0;
    for (const size_t end : made.ends) {
      const std::string_view page = std::string_view(made.text).substr(start, end - start);
      if (!parts && (count >= pages.size() || !sameLine(pages[count], page))) {
        parts = PagesPart{count, count < pages.size() ? firstDifference(pages[count], page) : 0};
      }
      ++count;
      start = end;
    }
    made.clear();
    return true;
  });
  if (!parts && count < pages.size()) parts = PagesPart{count, std::string::npos};
  return parts;
}

// The session's course, one message at a time. Every message is held against the text the
// worker's own functions write for it: "started", "executing", "failed" and "completed" as they
// come, the pages once "completed" has given what they are the pages of.
class Assembler {
 public:
  explicit Assembler(ReassembledOutput& out) : out_(out) {}

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
  bool addPage(Json& message, std::string_view line, size_t number);
  bool addFailed(const Json& message, std::string_view line, size_t number);
  bool addCompleted(const Json& message, std::string_view line, size_t number);
  void verify(std::string_view completed, size_t line);

  ReassembledOutput& out_;
  OutputCourse course_;
  std::vector<std::string_view> pages_;  // as read, line feed not included
  size_t firstPageLine_ = 0;
  JsonArray allocations_;
  JsonArray pendingIds_;
  JsonObject residuals_;
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
  const std::string at = lineAt(number);
  if (course_.ended()) return problem(number, at + "more output after the session's last message");
  if (!withinResponseLimit(line.size())) {
    return problem(number, at + "longer than any message the worker writes (" +
                               std::to_string(kMaxResponseBytes) + " bytes)");
  }
  auto read = readJson(line);
  if (!read) {
    return problem(number, at + "not a message: the line " + jsonReadProblem(read.error()));
  }
  if (!read->isObject()) return problem(number, at + "not a message: not a JSON object");
  const Json* kind = read->find("kind");
  if (kind == nullptr || !kind->isString()) return problem(number, at + "a message without kind");
  const std::string& k = kind->asString();
  const std::optional<MessageKind> known = messageKindOf(k);
  if (!known) return problem(number, at + "a message of unknown kind \"" + k + "\"");
  if (!inTurn(*known, k, number)) return false;
  switch (*known) {
    case MessageKind::Failed:
      return addFailed(*read, line, number);
    case MessageKind::Started:
      return addStartedOrExecuting(*read, line, number, true);
    case MessageKind::Executing:
      return addStartedOrExecuting(*read, line, number, false);
    case MessageKind::ResultPage:
      return addPage(*read, line, number);
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

// Only what tells a page's place is read here; what the page holds is gathered as it comes and
// the whole page is held against the worker's once the result is known.
bool Assembler::addPage(Json& message, std::string_view line, size_t number) {
  const std::string at = lineAt(number);
  if (!nonceMatches(message.find("nonce"))) {
    return problem(number, at + "\"resultPage\" with another nonce than the session's");
  }
  const Json* index = message.find("pageIndex");
  if (index == nullptr || !index->isUnsigned()) {
    return problem(number, at + "a \"resultPage\" without a pageIndex");
  }
  if (index->asUnsigned() != out_.pagesRead) {
    return problem(number, at + "page " + std::to_string(index->asUnsigned()) + " where page " +
                               std::to_string(out_.pagesRead) +
                               " belongs (a page is missing or out of order)");
  }
  if (const Json* count = message.find("pageCount");
      !out_.pageCount && count != nullptr && count->isUnsigned()) {
    out_.pageCount = count->asUnsigned();
  }
  if (pages_.empty()) firstPageLine_ = number;
  pages_.push_back(line);
  ++out_.pagesRead;

  JsonObject& members = message.asObject();
  auto body = members.find("page");
  if (body == members.end() || !body->second.isObject()) return true;
  JsonObject& parts = body->second.asObject();
  auto take = [&parts](std::string_view name) -> Json* {
    auto found = parts.find(name);
    return found == parts.end() ? nullptr : &found->second;
  };
  if (Json* items = take("allocations"); items != nullptr && items->isArray()) {
    for (Json& item : items->asArray()) allocations_.push_back(std::move(item));
  }
  if (Json* items = take("pendingIds"); items != nullptr && items->isArray()) {
    for (Json& item : items->asArray()) pendingIds_.push_back(std::move(item));
  }
  if (Json* items = take("residuals"); items != nullptr && items->isObject()) {
    residuals_.merge(items->asObject());
  }
  return true;
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

// After the pages, "completed" itself is held against the worker's, then the commitment.
void Assembler::verify(std::string_view completed, size_t line) {
  const std::string at = lineAt(line);
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
  out_.result = std::move(decoded).value();
  std::optional<CommitmentOutcome> commitment;
  const std::optional<PagesPart> parts =
      rebuildPages(*out_.result, *out_.nonce, out_.pageCount.value_or(0), pages_, commitment);
  if (commitment && *commitment) out_.commitment = commitment->value();
  if (parts) {
    const size_t pageLine = firstPageLine_ + parts->page;
    std::string text = lineAt(pageLine);
    if (parts->page == pages_.size()) {
      text += "\"completed\" where the worker writes one more page for the result the pages hold";
    } else if (parts->byte == std::string::npos) {
      text += "a page more than the worker writes for the result the pages hold";
    } else {
      text +=
          "not the page the worker writes here for the result the pages hold (they part at "
          "byte " +
          std::to_string(parts->byte + 1) + ")";
    }
    problem(pageLine, std::move(text));
    return;
  }
  if (!writtenAs(completed, line,
                 completedMessage(*out_.nonce, pages_.size(), *out_.claimedCommitment,
                                  *out_.revision, *out_.runId),
                 "completed")) {
    return;
  }
  if (!out_.commitment) {
    problem(line, at + "the result cannot be committed" +
                      (commitment && !*commitment
                           ? " (" + std::string(contractErrorName(commitment->error())) + ")"
                           : std::string()));
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

}  // namespace tw::tool

namespace tw::tool {

ReassembledOutput verifyWorkerOutput(std::string_view session, std::string_view output,
                                     bool moreBeyond) {
  ReassembledOutput out = reassembleOutput(output, moreBeyond);
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
