#include "worker/session_protocol.h"

#include <cassert>
#include <utility>

namespace tw {

std::optional<MessageKind> messageKindOf(std::string_view text) {
  if (text == "started") return MessageKind::Started;
  if (text == "executing") return MessageKind::Executing;
  if (text == "failed") return MessageKind::Failed;
  if (text == "resultPage") return MessageKind::ResultPage;
  if (text == "completed") return MessageKind::Completed;
  return std::nullopt;
}

bool OutputCourse::take(MessageKind kind) {
  At next = at_;
  switch (kind) {
    case MessageKind::Started:
      if (at_ == At::Nothing) next = At::Started;
      break;
    case MessageKind::Executing:
      if (at_ == At::Started) next = At::Executing;
      break;
    case MessageKind::Failed:
      if (at_ == At::Started || at_ == At::Executing) next = At::Ended;
      break;
    case MessageKind::ResultPage:
      if (at_ == At::Executing || at_ == At::Pages) next = At::Pages;
      break;
    case MessageKind::Completed:
      if (at_ == At::Pages) next = At::Ended;
      break;
  }
  const bool taken = next != at_ || (kind == MessageKind::ResultPage && at_ == At::Pages);
  at_ = next;
  return taken;
}

SessionAction SessionProtocol::end(SessionRule rule) {
  phase_ = Phase::Ended;
  SessionAction action;
  action.kind = SessionAction::Kind::End;
  action.rule = rule;
  return action;
}

SessionAction SessionProtocol::write(SessionAction::Kind kind, Json message, MessageKind written) {
  [[maybe_unused]] const bool inTurn = course_.take(written);
  assert(inTurn && "the protocol writes its messages in the session's order");
  if (kind == SessionAction::Kind::WriteThenEnd) phase_ = Phase::Ended;
  SessionAction action;
  action.kind = kind;
  action.message = std::move(message);
  return action;
}

SessionAction SessionProtocol::line(std::string_view text, RefusalDetail* detail) {
  assert(!ended());
  return judged(decodeFrame(state_, text, detail));
}

SessionAction SessionProtocol::line(std::string_view text, PreparedFrame prepared,
                                    RefusalDetail* detail) {
  assert(!ended());
  return judged(decodeFrame(state_, text, std::move(prepared), detail));
}

SessionAction SessionProtocol::judged(Result<AcceptedFrame, SessionRule> judged) {
  if (!judged) return end(judged.error());
  AcceptedFrame& frame = judged.value();
  switch (frame.answer) {
    case FrameAnswer::None:
      return {};
    case FrameAnswer::Started:
      return write(SessionAction::Kind::Write, std::move(frame.response), MessageKind::Started);
    case FrameAnswer::Executing:
      phase_ = Phase::Running;
      return write(SessionAction::Kind::WriteThenRun, std::move(frame.response),
                   MessageKind::Executing);
    case FrameAnswer::Cancelled:
      if (running()) {
        // The run is stopped first; its outcome is then answered with "CANCELLED".
        cancelRequested_ = true;
        return SessionAction{SessionAction::Kind::StopRun, Json(), SessionRule::ReadFailed, 0};
      }
      return write(SessionAction::Kind::WriteThenEnd, std::move(frame.response),
                   MessageKind::Failed);
  }
  return end(SessionRule::KindUnknown);  // unreachable: every answer is handled above
}

SessionAction SessionProtocol::endOfInput() {
  assert(!ended());
  inputClosed_ = true;
  // While the run goes on, its outcome is still awaited; before it, nothing more can come.
  if (running()) return {};
  return end(SessionRule::InputEndedEarly);
}

SessionAction SessionProtocol::readFailure() {
  assert(!ended());
  return end(SessionRule::ReadFailed);
}

SessionAction SessionProtocol::runFailed(RunFailure failure) {
  assert(running());
  // An engine thread gone without an outcome is told as such, cancelled or not.
  const SessionCode code = failure == RunFailure::Disconnected ? SessionCode::EngineDisconnected
                           : cancelRequested_                  ? SessionCode::Cancelled
                                                               : SessionCode::EngineFailed;
  return write(SessionAction::Kind::WriteThenEnd, failureObject(state_.nonce, code),
               MessageKind::Failed);
}

SessionAction SessionProtocol::runResult(bool passesContract, std::optional<uint64_t> pageCount) {
  assert(running());
  if (cancelRequested_) {
    return write(SessionAction::Kind::WriteThenEnd,
                 failureObject(state_.nonce, SessionCode::Cancelled), MessageKind::Failed);
  }
  // A result is refused, in this order, when it fails the result contract, when no "start"
  // gave a nonce, and when its page count does not fit.
  if (!passesContract) return end(SessionRule::ResultBreaksContract);
  if (!state_.nonce) return end(SessionRule::DeliveryWithoutNonce);
  if (!pageCount) return end(SessionRule::PageCountTooLarge);
  phase_ = Phase::Delivering;
  pageCount_ = *pageCount;
  [[maybe_unused]] const bool inTurn = course_.take(MessageKind::ResultPage);
  assert(inTurn);
  SessionAction action;
  action.kind = SessionAction::Kind::Deliver;
  action.pageCount = pageCount_;
  return action;
}

SessionAction SessionProtocol::pagesWritten(
    const Status<SessionCode>& pages, uint64_t written,
    const std::optional<Result<std::string, ContractError>>& commitment, uint64_t revision,
    const std::string& runId) {
  assert(phase_ == Phase::Delivering);
  // Pages already written stay written; a page that could not be written or made ends it.
  if (!pages) return end(writeRule(pages.error()));
  if (written != pageCount_) return end(SessionRule::PagesCutShort);
  // A digest routine that failed leaves the result undelivered: never "completed".
  if (!commitment || !commitment->ok()) return end(SessionRule::ResultNotCommitted);
  return write(SessionAction::Kind::WriteThenEnd,
               completedMessage(*state_.nonce, pageCount_, commitment->value(), revision, runId),
               MessageKind::Completed);
}

std::vector<Entry> SessionProtocol::takeEntries() {
  assert(running());
  // Once "execute" is accepted no frame reads or changes the held entries again (every later
  // "start", "entries" and "execute" is refused before they are looked at), so the run may
  // have them rather than a copy.
  return std::move(state_.heldEntries);
}

}  // namespace tw
