#include "worker/fence.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace tw {
namespace {

class FenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tw-fence-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(FenceTest, SecondAcquisitionFailsUntilTheFirstIsReleased) {
  const std::string fence = path("fence");
  Result<Fence, FenceError> first = acquireFence(fence.c_str());
  ASSERT_TRUE(first.ok());
  EXPECT_TRUE(first->held());

  Result<Fence, FenceError> second = acquireFence(fence.c_str());
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), FenceError::Busy);

  // A move hands the hold over; the moved-from fence releases nothing.
  Fence moved = std::move(first.value());
  EXPECT_FALSE(first->held());
  first->release();
  EXPECT_FALSE(acquireFence(fence.c_str()).ok());

  moved.release();
  EXPECT_FALSE(moved.held());
  Result<Fence, FenceError> again = acquireFence(fence.c_str());
  EXPECT_TRUE(again.ok());
}

TEST_F(FenceTest, UnopenablePathsAreBusy) {
  for (const std::string& fence : {path("missing/fence"), std::string(), dir_}) {
    SCOPED_TRACE(fence);
    Result<Fence, FenceError> taken = acquireFence(fence.c_str());
    ASSERT_FALSE(taken.ok());
    EXPECT_EQ(taken.error(), FenceError::Busy);
  }
}

// A process started with standard input closed must not get the fence as descriptor 0, where a
// session would take it for its input.
TEST_F(FenceTest, NeverTakesAStandardStreamDescriptor) {
  const int savedStdin = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(::close(STDIN_FILENO), 0);
  const std::string fence = path("fence");
  Result<Fence, FenceError> taken = acquireFence(fence.c_str());
  const bool stdinStillClosed = ::fcntl(STDIN_FILENO, F_GETFD) < 0;
  ASSERT_EQ(::dup2(savedStdin, STDIN_FILENO), STDIN_FILENO);
  ::close(savedStdin);
  EXPECT_TRUE(taken.ok());
  EXPECT_TRUE(stdinStillClosed);
  // And the fence still excludes a second holder.
  EXPECT_FALSE(acquireFence(fence.c_str()).ok());
}

}  // namespace
}  // namespace tw
