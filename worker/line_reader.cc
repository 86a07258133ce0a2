#include "worker/line_reader.h"

#include <cstring>

#include "worker/fd_io.h"

namespace tw {

LineReader::LineReader(int fd, ReadGate* gate) : fd_(fd), gate_(gate) {}

bool LineReader::refill() {
  if (gate_ != nullptr) gate_->beforeRead();
  const std::ptrdiff_t got = readRetrying(fd_, chunk_, sizeof chunk_);
  if (gate_ != nullptr) gate_->afterRead();
  if (got > 0) {
    chunkStart_ = 0;
    chunkEnd_ = static_cast<size_t>(got);
    return true;
  }
  ended_ = true;
  endedBy_ = got == 0 ? InputMessage::Kind::EndOfInput : InputMessage::Kind::ReadFailure;
  return false;
}

InputMessage LineReader::next() {
  if (ended_) return InputMessage{endedBy_, {}};
  std::string line;
  line.reserve(kInitialLineCapacity);
  for (;;) {
    if (chunkStart_ == chunkEnd_ && !refill()) {
      // Bytes without their line feed are never a line.
      if (!line.empty()) endedBy_ = InputMessage::Kind::ReadFailure;
      return InputMessage{endedBy_, {}};
    }
    const char* begin = chunk_ + chunkStart_;
    const size_t available = chunkEnd_ - chunkStart_;
    const void* feed = std::memchr(begin, '\n', available);
    const size_t take =
        feed ? static_cast<size_t>(static_cast<const char*>(feed) - begin) + 1 : available;
    // Without its line feed yet, a line that already holds kMaxLineBytes bytes cannot fit.
    const size_t limit = feed ? kMaxLineBytes : kMaxLineBytes - 1;
    if (line.size() + take > limit) {
      ended_ = true;
      endedBy_ = InputMessage::Kind::ReadFailure;
      return InputMessage{endedBy_, {}};
    }
    line.append(begin, take);
    chunkStart_ += take;
    if (feed) return InputMessage{InputMessage::Kind::Line, std::move(line)};
  }
}

}  // namespace tw
