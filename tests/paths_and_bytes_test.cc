// What a platform's conventions could change and must not: a fence path is used exactly as given
// (accents, spaces, beyond the old 260-character path limit), and the standard streams carry
// bytes, not text (no end of input at byte 0x1A, no carriage return added to output).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/process_harness.h"

namespace tw::test {
namespace {

constexpr std::string_view kSumRequest = R"({"version":1,"command":"sum","left":2,"right":3})";

TEST(PathsAndBytes, FencePathIsUsedExactlyAsGiven) {
  TempDir dir;
  const std::string deep = dir.file(std::string(120, 'd')) + "/" + std::string(120, 'e');
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  for (const std::string& fence :
       {dir.file("cl\xc3\xb4ture \xc3\xa9t\xc3\xa9"), deep + "/fence", dir.file("\xe6\x9c\x88")}) {
    SCOPED_TRACE(fence);
    // With no input the session ends incomplete, after the fence was taken: the file exists.
    RunResult run = runWorker({"--c5", "--execution-fence", fence}, "");
    EXPECT_TRUE(run.status.exitedWith(1)) << run.status;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    struct stat info;
    EXPECT_EQ(::stat(fence.c_str(), &info), 0) << "the fence file was not created as named";
  }
  EXPECT_GT(deep.size() + 6, 260u);
}

TEST(PathsAndBytes, StandardStreamsCarryBytes) {
  // Byte 0x1A is no end of input: what follows it makes the request invalid.
  RunResult cut = runWorker({}, std::string(kSumRequest) + "\x1a trailing");
  EXPECT_TRUE(cut.status.exitedWith(1)) << cut.status;
  EXPECT_EQ(cut.out, "");
  RunResult answered = runWorker({}, std::string(kSumRequest) + "\r\n");
  EXPECT_TRUE(answered.status.exitedWith(0)) << answered.status;
  EXPECT_EQ(answered.out, "{\"version\":1,\"ok\":true,\"value\":5}\n");
}

}  // namespace
}  // namespace tw::test
