#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "worker/platform.h"

namespace tw::platform {
namespace {

TEST(PlatformPosix, WidenPipeGrowsAPipeAndNeverShrinksOne) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int before = ::fcntl(fds[1], F_GETPIPE_SZ);
  ASSERT_GT(before, 0);
  const size_t told = widenPipe(fds[1], static_cast<size_t>(before) * 4);
  const int widened = ::fcntl(fds[1], F_GETPIPE_SZ);
  EXPECT_EQ(told, static_cast<size_t>(widened));
  if (widened == before) GTEST_SKIP() << "the system refused a larger pipe buffer";
  EXPECT_GE(widened, before * 4);
  // Either end names the same buffer, which is never made smaller.
  EXPECT_EQ(widenPipe(fds[0], static_cast<size_t>(before)), static_cast<size_t>(widened));
  EXPECT_EQ(::fcntl(fds[1], F_GETPIPE_SZ), widened);
  const int file = ::open("/dev/null", O_WRONLY);
  EXPECT_EQ(widenPipe(file, 1 << 20), 0u);  // not a pipe: nothing to tell
  ::close(file);
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

TEST(PlatformPosix, AProcessWatchLooksForAsLongAsAskedAndSeesTheEndAtOnce) {
  using namespace std::chrono_literals;
  std::string error;
  auto started = startProcess(
      NativeText::fromUtf8("/bin/sh"),
      {NativeText::fromUtf8("-c"), NativeText::fromUtf8("head -c 40000 /dev/zero; read line")},
      error);
  ASSERT_TRUE(started) << error;
  ProcessWatch watch(started->process);
  // Its output waits in the pipe, unread, while it waits for its input.
  const auto begun = std::chrono::steady_clock::now();
  while (bytesWaiting(started->output).value_or(0) < 40000 &&
         std::chrono::steady_clock::now() - begun < 10s) {
    EXPECT_FALSE(watch.awaitEndFor(1ms));
  }
  EXPECT_EQ(bytesWaiting(started->output), 40000u);
  EXPECT_FALSE(watch.awaitEndFor(2ms));
  closeStream(started->input);  // `read` finds the end of its input, and the shell ends with 1
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(watch.awaitEndFor(30s));
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 10s);
  EXPECT_TRUE(watch.awaitEndFor(0us));  // not released: still ended
  const ProcessEnd end = releaseProcess(started->process);
  EXPECT_TRUE(end.exited);
  EXPECT_EQ(end.code, 1);
  closeStream(started->output);
}

// A child being started holds a copy of every descriptor until it starts its program; such a
// copy (here a duplicate) must not keep the exclusion once its holder has closed it.
TEST(PlatformPosix, AnExclusionEndsAtItsCloseWhateverCopiesOfItsHandleRemain) {
  const std::filesystem::path fence =
      std::filesystem::temp_directory_path() / ("tw-fence-copy-" + std::to_string(::getpid()));
  const NativeText path = NativeText::fromUtf8(fence.string());
  const std::optional<FileHandle> held = openExclusive(path);
  ASSERT_TRUE(held);
  const int copy = ::dup(static_cast<int>(*held));
  ASSERT_GE(copy, 0);
  EXPECT_FALSE(openExclusive(path));
  closeExclusive(*held);
  const std::optional<FileHandle> again = openExclusive(path);
  EXPECT_TRUE(again);
  if (again) closeExclusive(*again);
  ::close(copy);
  std::filesystem::remove(fence);
}

}  // namespace
}  // namespace tw::platform
