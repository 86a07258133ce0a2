// `tallywarden report` on what the worker really writes: the example session's output
// verifies, a tampered copy does not, and a file the tool cannot read is one line on standard
// error with status 2.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/process_harness.h"

namespace tw::test {
namespace {

RunResult runInspect(std::vector<std::string> args, const std::string& stdinPath = "/dev/null") {
  WorkerOptions options;
  options.program = toolPath();
  options.args = std::move(args);
  options.stdinKind = StdinKind::SharedFile;
  options.stdinPath = stdinPath;
  Worker tool(options);
  RunResult run;
  run.status = tool.wait(std::chrono::seconds(60));
  run.out = tool.takeStdout();
  run.err = tool.stderrText();
  return run;
}

class ReportProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = std::string(TW_SOURCE_DIR) + "/examples/session.ndjson";
    const auto session = readFile(input_);
    ASSERT_TRUE(session.has_value());
    RunResult worker = runWorker({"--c5", "--execution-fence", dir_.file("fence")}, *session);
    ASSERT_TRUE(worker.status.exitedWith(0)) << worker.status;
    output_ = worker.out;
    ASSERT_TRUE(writeFile(dir_.file("output"), output_));
  }

  TempDir dir_;
  std::string input_;
  std::string output_;
};

TEST_F(ReportProcess, TheExampleVerifiesAndATamperedCopyDoesNot) {
  RunResult good = runInspect(
      {"report", dir_.file("output"), "--input", input_, "--html", dir_.file("report.html")});
  EXPECT_TRUE(good.status.exitedWith(0)) << good.status << good.err;
  EXPECT_NE(good.out.find("the commitment verifies"), std::string::npos) << good.out;
  EXPECT_EQ(good.err, "");
  const auto page = readFile(dir_.file("report.html"));
  ASSERT_TRUE(page.has_value());
  EXPECT_NE(page->find("<svg"), std::string::npos);

  // The same from standard input.
  RunResult piped = runInspect({"report", "-"}, dir_.file("output"));
  EXPECT_TRUE(piped.status.exitedWith(0)) << piped.status << piped.err;

  // One cent more in the first allocation.
  std::string tampered = output_;
  const size_t at = tampered.find("\"cents\":\"");
  ASSERT_NE(at, std::string::npos);
  char& digit = tampered[at + 9];
  digit = digit == '9' ? '8' : static_cast<char>(digit + 1);
  ASSERT_TRUE(writeFile(dir_.file("tampered"), tampered));
  RunResult bad = runInspect({"report", dir_.file("tampered")});
  EXPECT_TRUE(bad.status.exitedWith(1)) << bad.status;
  EXPECT_NE(bad.out.find("the commitment does not verify"), std::string::npos) << bad.out;
}

TEST_F(ReportProcess, WhatTheToolCannotReadIsOneLineAndStatusTwo) {
  ASSERT_TRUE(writeFile(dir_.file("empty"), ""));
  const std::vector<std::vector<std::string>> cases = {
      {"report"},
      {"report", dir_.file("output"), "extra"},
      {"report", dir_.file("output"), "--html"},
      {"report", dir_.file("output"), "--colour"},
      {"report", dir_.path()},
      {"report", dir_.file("missing")},
      {"report", dir_.file("output"), "--input", dir_.file("missing")},
      {"report", dir_.file("output"), "--html", dir_.path()},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    RunResult run = runInspect(args);
    EXPECT_TRUE(run.status.exitedWith(2)) << run.status;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // Readable, but not a worker's output.
  RunResult empty = runInspect({"report", dir_.file("empty")});
  EXPECT_TRUE(empty.status.exitedWith(1)) << empty.status;
  EXPECT_NE(empty.out.find("the output is empty"), std::string::npos) << empty.out;
}

}  // namespace
}  // namespace tw::test
