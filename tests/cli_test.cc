// The command line decides the run mode: no arguments is the arithmetic request mode, exactly
// "--c5" "--execution-fence" PATH is the session mode, and anything else ends with status 1
// before anything is read, written or created.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/process_harness.h"

namespace tw::test {
namespace {

constexpr std::string_view kSumRequest = R"({"version":1,"command":"sum","left":2,"right":3})";

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

TEST(CommandLine, NoArgumentsRunsTheArithmeticMode) {
  RunResult run = runWorker({}, kSumRequest);
  EXPECT_TRUE(run.status.exitedWith(0)) << run.status;
  EXPECT_EQ(run.out, "{\"version\":1,\"ok\":true,\"value\":5}\n");
  EXPECT_EQ(run.err, "");
}

TEST(CommandLine, RefusedFormsEndAtOnceWithoutTouchingAnything) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  const std::string input = dir.file("input");
  // A valid request as input: were it read by the arithmetic mode, an answer would appear.
  ASSERT_TRUE(writeFile(input, kSumRequest));

  const std::vector<std::vector<std::string>> refused = {
      {""},
      {"--c5"},
      {"--c5", "--execution-fence"},
      {"--execution-fence", fence},
      {"--C5", "--execution-fence", fence},
      {"--c5", "--EXECUTION-FENCE", fence},
      {"--c5", "--execution-fence=" + fence},
      {"--c5=", "--execution-fence", fence},
      {"--c5 ", "--execution-fence", fence},
      {"--c", "--execution-fence", fence},
      {"--c5", "--execution-fenc", fence},
      {"-c5", "--execution-fence", fence},
      {"--execution-fence", fence, "--c5"},
      {"--c5", fence, "--execution-fence"},
      {"--c5", "--execution-fence", fence, "extra"},
      {"--c5", "--execution-fence", fence, ""},
      {"--c5", "--execution-fence", fence, "--c5", "--execution-fence", fence},
      {"sum"},
  };
  for (const std::vector<std::string>& args : refused) {
    std::string shown;
    for (const std::string& arg : args) shown += "[" + arg + "] ";
    SCOPED_TRACE(shown);
    WorkerOptions options;
    options.args = args;
    options.stdinKind = StdinKind::SharedFile;
    options.stdinPath = input;
    Worker worker(options);
    ASSERT_TRUE(worker.started()) << worker.startError();
    const ExitStatus status = worker.wait();
    EXPECT_TRUE(status.exitedWith(1)) << status;
    EXPECT_EQ(worker.unreadStdout(), "");
    EXPECT_EQ(worker.stderrText(), "");
    EXPECT_EQ(worker.stdinOffset(), 0) << "the input was read";
    EXPECT_FALSE(exists(fence)) << "a refused command line created the fence file";
  }
}

TEST(CommandLine, SessionFormTakesTheFenceAndNotTheArithmeticMode) {
  TempDir dir;
  const std::string fence = dir.file("fence");
  RunResult run = runWorker({"--c5", "--execution-fence", fence}, kSumRequest);
  EXPECT_TRUE(run.status.exited) << run.status;
  EXPECT_EQ(run.out.find("\"value\":5"), std::string::npos) << run.out;
  EXPECT_TRUE(exists(fence));
}

}  // namespace
}  // namespace tw::test
