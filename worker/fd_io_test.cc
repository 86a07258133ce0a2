#include "worker/fd_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace tw {
namespace {

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

TEST(WriteAll, DeliversMoreThanAPipeHoldsInOrder) {
  Pipe pipe;
  ASSERT_GE(pipe.read, 0);
  std::string payload(1 << 20, '\0');
  for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(k * 31 % 251);
  std::string received;
  std::thread reader([&] {
    while (readBounded(pipe.read, received.size() + 4096, received) == BoundedRead::LimitReached) {
    }
  });
  EXPECT_TRUE(writeAll(pipe.write, payload));
  pipe.closeWrite();
  reader.join();
  EXPECT_EQ(received, payload);
}

TEST(WriteAll, AClosedReaderIsAFailureNotASignal) {
  ::signal(SIGPIPE, SIG_IGN);  // as the worker does at start-up
  Pipe pipe;
  pipe.closeRead();
  EXPECT_FALSE(writeAll(pipe.write, "line\n"));
  EXPECT_TRUE(writeAll(pipe.write, ""));  // nothing to write is no failure
}

TEST(ReadBounded, StopsAtTheLimitAndLeavesTheRestUnread) {
  Pipe pipe;
  ASSERT_TRUE(writeAll(pipe.write, std::string(5000, 'a')));
  std::string held;
  EXPECT_EQ(readBounded(pipe.read, 1025, held), BoundedRead::LimitReached);
  EXPECT_EQ(held.size(), 1025u);

  pipe.closeWrite();
  std::string rest;
  EXPECT_EQ(readBounded(pipe.read, 100000, rest), BoundedRead::EndOfInput);
  EXPECT_EQ(rest.size(), 5000u - 1025u);
}

TEST(ReadBounded, ReportsFailuresWithWhatArrived) {
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  std::string held = "kept";
  EXPECT_EQ(readBounded(directory, 10, held), BoundedRead::Failed);
  EXPECT_EQ(held, "kept");
  ::close(directory);
}

// A kept buffer's old bytes past what it holds are room, never part of what is read, whatever
// its size against the limit and the input; a ReadBuffer (grown without zeros) reads what a
// std::string reads.
template <class Buffer>
void readsWhatAFreshBufferReads() {
  ::signal(SIGPIPE, SIG_IGN);  // the writer outlives a reader that stops at its limit
  const std::string input = std::string(70000, 'x') + "end";
  for (const size_t kept : {size_t{0}, size_t{10}, size_t{65536}, size_t{200000}}) {
    for (const size_t limit : {size_t{5}, size_t{65537}, input.size(), size_t{1} << 20}) {
      Pipe pipe;
      std::thread writer([&] {
        (void)writeAll(pipe.write, input);
        pipe.closeWrite();
      });
      Buffer buffer;
      buffer.resize(kept);
      std::fill_n(buffer.data(), kept, '#');
      size_t held = kept > 3 ? 3 : 0;  // bytes already held stay first
      const std::string before(buffer.data(), held);
      const BoundedRead read = readBoundedInto(pipe.read, limit, buffer, held);
      pipe.closeRead();
      writer.join();
      const std::string expected = before + input.substr(0, limit - before.size());
      EXPECT_EQ(read,
                expected.size() == limit ? BoundedRead::LimitReached : BoundedRead::EndOfInput)
          << kept << " " << limit;
      ASSERT_LE(held, buffer.size());
      EXPECT_EQ(std::string(buffer.data(), held), expected) << kept << " " << limit;
    }
  }
}

TEST(ReadBounded, IntoAKeptBufferReadsWhatAFreshOneReads) {
  readsWhatAFreshBufferReads<std::string>();
  readsWhatAFreshBufferReads<ReadBuffer>();
}

// A pooled buffer is moved from one owner to the next: the one left behind reads as a fresh one.
TEST(ReadBounded, AReadBufferMovedFromReadsAsAFreshOne) {
  ReadBuffer first;
  first.resize(100);
  const ReadBuffer second = std::move(first);
  EXPECT_EQ(second.size(), 100u);
  Pipe pipe;
  ASSERT_TRUE(writeAll(pipe.write, "abc"));
  pipe.closeWrite();
  size_t held = 0;
  EXPECT_EQ(readBoundedInto(pipe.read, 10, first, held), BoundedRead::EndOfInput);
  EXPECT_EQ(std::string(first.data(), held), "abc");
}

}  // namespace
}  // namespace tw
