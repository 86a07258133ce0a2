// Cuts a byte stream into lines for the session.
//
// A line is every byte up to and including the first line feed; a carriage return before it
// stays part of the line. A line longer than kMaxLineBytes (line feed included) is never
// delivered: reading ends with a read failure as soon as the line cannot fit any more. End of
// input right after a line feed is the end of input; end of input after a partial line, or an
// input error, is a read failure. After the end or a failure the reader keeps answering it.
#pragma once

#include <cstddef>
#include <string>

namespace tw {

inline constexpr size_t kMaxLineBytes = 65536;
inline constexpr size_t kReadChunkBytes = 8192;
inline constexpr size_t kInitialLineCapacity = 4096;

// What the reader hands on: one line, the end of input, or a read failure.
struct InputMessage {
  enum class Kind { Line, EndOfInput, ReadFailure };
  Kind kind = Kind::EndOfInput;
  std::string line;  // with its line feed; empty unless kind is Line
};

// Told before each read of the stream, when every whole line read so far has been handed on,
// and after each read.
class ReadGate {
 public:
  virtual void beforeRead() = 0;
  virtual void afterRead() = 0;

 protected:
  ~ReadGate() = default;
};

class LineReader {
 public:
  // Reads from `fd`, which the reader does not own; `gate`, when given, is told before each
  // read and must outlive the reader's reads.
  explicit LineReader(int fd, ReadGate* gate = nullptr);

  // Blocks until a whole line, the end of input or a read failure is known.
  InputMessage next();

 private:
  bool refill();  // false on end of input or error (recorded in endedBy_)

  int fd_;
  ReadGate* gate_;
  char chunk_[kReadChunkBytes];
  size_t chunkStart_ = 0;
  size_t chunkEnd_ = 0;
  bool ended_ = false;
  InputMessage::Kind endedBy_ = InputMessage::Kind::EndOfInput;
};

}  // namespace tw
