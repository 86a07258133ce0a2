#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "worker/platform.h"

namespace tw::platform {
namespace {

TEST(PlatformPosix, WidenPipeGrowsAPipeAndNeverShrinksOne) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int before = ::fcntl(fds[1], F_GETPIPE_SZ);
  ASSERT_GT(before, 0);
  widenPipe(fds[1], static_cast<size_t>(before) * 4);
  const int widened = ::fcntl(fds[1], F_GETPIPE_SZ);
  if (widened == before) GTEST_SKIP() << "the system refused a larger pipe buffer";
  EXPECT_GE(widened, before * 4);
  widenPipe(fds[0], static_cast<size_t>(before));  // either end names the same buffer
  EXPECT_EQ(::fcntl(fds[1], F_GETPIPE_SZ), widened);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(PlatformPosix, BytesWaitingCountsAPipeUntilItsWriterIsGone) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(bytesWaiting(fds[0]), 0u);
  ASSERT_EQ(::write(fds[1], "line\n", 5), 5);
  EXPECT_EQ(bytesWaiting(fds[0]), 5u);
  waitUntilReadable(fds[0]);  // bytes are there: returns at once
  char back[8];
  ASSERT_EQ(::read(fds[0], back, sizeof back), 5);
  ::close(fds[1]);
  EXPECT_EQ(bytesWaiting(fds[0]), 0u);
  waitUntilReadable(fds[0]);  // the writer is gone: returns at once
  ::close(fds[0]);
}

}  // namespace
}  // namespace tw::platform
