// tallywarden run over plan folders of a generated month (tests/make_plan_folder.py):
// shards against the whole, interrupted runs resumed, a planted bad session, two runners on one
// folder, and the input it refuses.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "contracts/json_reader.h"
#include "tests/process_harness.h"

namespace tw::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBadRun = 4;

// The plan every test copies: a month of about 5,000 entries from bench/gen_books.py, cut by
// `tallywarden plan` into runs of at most 1,200 entries; the fifth run's session lacks its
// "execute".
const std::string& templatePlan() {
  static TempDir dir;
  static const std::string plan = [] {
    const std::string path = dir.file("plan");
    const std::string command = std::string("python3 ") + TW_SOURCE_DIR +
                                "/tests/make_plan_folder.py " + path + " --tool " + toolPath() +
                                " --entries 5000 --max-run-entries 1200 --bad " +
                                std::to_string(kBadRun);
    EXPECT_EQ(std::system(command.c_str()), 0);
    return path;
  }();
  return plan;
}

// The plan's run identifiers, in order.
const std::vector<std::string>& runIds() {
  static const std::vector<std::string> ids = [] {
    std::vector<std::string> found;
    auto plan = readJson(readFile(templatePlan() + "/plan.json").value_or(""));
    if (!plan.ok()) return found;
    for (const Json& run : plan.value().find("runs")->asArray()) {
      found.push_back(run.find("runId")->asString());
    }
    return found;
  }();
  return ids;
}

std::string copyPlan(const TempDir& into, const std::string& name = "plan") {
  const std::string path = into.file(name);
  fs::copy(templatePlan(), path, fs::copy_options::recursive);
  return path;
}

struct ToolRun {
  ExitStatus status;
  std::string err;
};

ToolRun runTool(std::vector<std::string> args) {
  WorkerOptions options;
  options.program = toolPath();
  options.args = std::move(args);
  options.stdinKind = StdinKind::DevNull;
  Worker tool(std::move(options));
  ToolRun result;
  result.status = tool.wait(std::chrono::milliseconds{120000});
  result.err = tool.stderrText();
  return result;
}

// Every file of outputs/ by name, with what a rerun may change (seconds) left out of records.
std::map<std::string, std::string> outputsOf(const std::string& plan) {
  std::map<std::string, std::string> files;
  for (const auto& file : fs::directory_iterator(plan + "/outputs")) {
    std::string bytes = readFile(file.path().string()).value_or("");
    const std::string name = file.path().filename().string();
    if (name.ends_with(".json")) {
      const size_t at = bytes.find("\"seconds\":");
      bytes.erase(at, bytes.find(',', at) - at);
    }
    files[name] = bytes;
  }
  return files;
}

// The names of the files that differ between two sets of outputs, or are in one only.
std::string differingFiles(const std::map<std::string, std::string>& got,
                           const std::map<std::string, std::string>& expected) {
  std::string names;
  for (const auto& [name, bytes] : got) {
    const auto it = expected.find(name);
    if (it == expected.end() || it->second != bytes) names += name + " ";
  }
  for (const auto& [name, bytes] : expected) {
    if (!got.contains(name)) names += name + "(missing) ";
  }
  return names;
}

Json summaryOf(const std::string& path) {
  auto json = readJson(readFile(path).value_or(""));
  return json.ok() ? json.value() : Json();
}

std::string statusOf(const Json& summary, size_t run) {
  return summary.find("runs")->asArray().at(run).find("status")->asString();
}

// The whole plan run once, which the other tests hold their outputs against.
const std::map<std::string, std::string>& fullRunOutputs() {
  static TempDir dir;
  static const auto outputs = [] {
    const std::string plan = copyPlan(dir);
    const ToolRun run = runTool({"run", plan, "-j", "2"});
    EXPECT_TRUE(run.status.exitedWith(1)) << run.status << run.err;
    const Json summary = summaryOf(plan + "/summary.json");
    EXPECT_GT(runIds().size(), kBadRun + 2);
    for (size_t i = 0; i < runIds().size(); ++i) {
      EXPECT_EQ(statusOf(summary, i), i == kBadRun ? "failed" : "completed") << i;
    }
    // The planted bad session is told with check's reason; the others verify.
    const Json& bad = summary.find("runs")->asArray()[kBadRun];
    EXPECT_EQ(bad.find("code")->asString(), "C5_INCOMPLETE");
    EXPECT_NE(bad.find("explanation")->asString().find("before \"execute\""), std::string::npos);
    return outputsOf(plan);
  }();
  return outputs;
}

TEST(Run, ShardsInSeparateCopiesMakeTheFullRunsOutputs) {
  ASSERT_EQ(fullRunOutputs().size(), 2 * runIds().size());
  TempDir dir;
  std::map<std::string, std::string> joined;
  for (const char* shard : {"0/2", "1/2"}) {
    const std::string plan = copyPlan(dir, std::string("plan-") + shard[0]);
    const ToolRun run = runTool({"run", plan, "--shard", shard});
    EXPECT_EQ(run.status.exitedWith(0), kBadRun % 2 != static_cast<size_t>(shard[0] - '0'))
        << run.status << run.err;
    const auto outputs = outputsOf(plan);
    joined.insert(outputs.begin(), outputs.end());
    EXPECT_TRUE(fs::exists(plan + "/summary-" + shard[0] + "-of-2.json"));
  }
  EXPECT_EQ(differingFiles(joined, fullRunOutputs()), "");
}

// Stopped by SIGKILL or by SIGINT while its first runs are going, then run again: the same
// outputs as one whole run, and nothing half-written in between.
TEST(Run, InterruptedRunsResumeToTheSameOutputs) {
  for (const int signal : {SIGKILL, SIGINT}) {
    TempDir dir;
    const std::string plan = copyPlan(dir);
    WorkerOptions options;
    options.program = toolPath();
    options.args = {"run", plan, "-j", "1"};
    options.stdinKind = StdinKind::DevNull;
    Worker tool(std::move(options));
    while (!fs::exists(plan + "/outputs/" + runIds()[0] + ".json") && tool.running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
    const ExitStatus stopped = tool.kill(signal);
    if (signal == SIGINT) {
      // The runner ends its worker and its own way, with a status of its own.
      EXPECT_TRUE(stopped.exitedWith(128 + SIGINT)) << stopped << tool.stderrText();
      EXPECT_TRUE(summaryOf(plan + "/summary.json").find("interrupted")->asBool());
      for (const auto& [name, bytes] : outputsOf(plan)) {
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
        const std::string stem = name.substr(0, name.rfind('.'));
        EXPECT_TRUE(fs::exists(plan + "/outputs/" + stem + ".json")) << name;
      }
    }
    const ToolRun resumed = runTool({"run", plan, "-j", "2"});
    EXPECT_TRUE(resumed.status.exitedWith(1)) << resumed.status << resumed.err;
    EXPECT_EQ(statusOf(summaryOf(plan + "/summary.json"), 0), "resumed");
    EXPECT_EQ(differingFiles(outputsOf(plan), fullRunOutputs()), "") << "after signal " << signal;
  }
}

// Outputs are not flushed to storage one by one: what a machine that stopped may leave (an output
// cut short or empty beside its record) is run again, never taken.
TEST(Run, OutputsCutShortBesideTheirRecordsRunAgain) {
  TempDir dir;
  const std::string plan = copyPlan(dir);
  EXPECT_TRUE(runTool({"run", plan, "-j", "2"}).status.exitedWith(1));
  const std::string shortened = plan + "/outputs/" + runIds()[0] + ".out";
  fs::resize_file(shortened, fs::file_size(shortened) / 2);
  fs::resize_file(plan + "/outputs/" + runIds()[1] + ".out", 0);
  const ToolRun run = runTool({"run", plan, "-j", "2"});
  EXPECT_TRUE(run.status.exitedWith(1)) << run.status << run.err;
  const Json summary = summaryOf(plan + "/summary.json");
  EXPECT_EQ(statusOf(summary, 0), "completed");
  EXPECT_EQ(statusOf(summary, 1), "completed");
  EXPECT_EQ(statusOf(summary, 2), "resumed");
  EXPECT_EQ(differingFiles(outputsOf(plan), fullRunOutputs()), "");
}

// A session changed after its run is run again; two runners on one folder run each run once.
TEST(Run, ChangedSessionsRunAgainAndTwoRunnersShareTheWork) {
  TempDir dir;
  const std::string plan = copyPlan(dir);
  const std::string changed = runIds()[1];
  const std::string other = runIds()[2];
  fs::copy_file(templatePlan() + "/sessions/" + other + ".ndjson",
                plan + "/sessions/" + changed + ".ndjson", fs::copy_options::overwrite_existing);
  {
    WorkerOptions options;
    options.program = toolPath();
    options.args = {"run", plan, "-j", "1", "--shard", "0/1"};
    options.stdinKind = StdinKind::DevNull;
    Worker second(std::move(options));
    const ToolRun run = runTool({"run", plan, "-j", "1"});
    EXPECT_TRUE(run.status.exitedWith(1)) << run.status << run.err;
    EXPECT_TRUE(second.wait(std::chrono::milliseconds{120000}).exitedWith(1))
        << second.stderrText();
  }
  const Json one = summaryOf(plan + "/summary.json");
  const Json two = summaryOf(plan + "/summary-0-of-1.json");
  for (size_t i = 0; i < runIds().size(); ++i) {
    if (i == kBadRun) continue;
    const std::string first = statusOf(one, i);
    const std::string second = statusOf(two, i);
    EXPECT_TRUE((first == "completed" && second == "resumed") ||
                (first == "resumed" && second == "completed"))
        << i << ": " << first << " and " << second;
  }
  auto expected = fullRunOutputs();
  auto outputs = outputsOf(plan);
  EXPECT_EQ(outputs[changed + ".out"], expected[other + ".out"]);
  for (const char* kind : {".out", ".json"}) {
    outputs.erase(changed + kind);
    expected.erase(changed + kind);
  }
  EXPECT_EQ(differingFiles(outputs, expected), "");
}

// A worker that writes more than its output pipe holds before it reads its input: the runner
// reads the output while it runs, and keeps every byte of it.
TEST(Run, AWorkerWritingMoreThanItsPipeHoldsIsReadWhileItRuns) {
  TempDir dir;
  const std::string plan = copyPlan(dir);
  const std::string worker = dir.file("talkative-worker");
  ASSERT_TRUE(
      writeFile(worker, "#!/bin/sh\nhead -c 3000000 /dev/zero | tr '\\000' x\ncat >/dev/null\n"));
  fs::permissions(worker, fs::perms::owner_exec, fs::perm_options::add);
  const ToolRun run = runTool({"run", plan, "-j", "2", "--worker", worker});
  EXPECT_TRUE(run.status.exitedWith(1)) << run.status << run.err;
  const Json summary = summaryOf(plan + "/summary.json");
  for (size_t i = 0; i < runIds().size(); ++i) {
    EXPECT_EQ(statusOf(summary, i), "failed") << i;
    EXPECT_EQ(fs::file_size(plan + "/outputs/" + runIds()[i] + ".out"), 3000000u) << i;
  }
}

// A session is read while its worker starts; one that cannot be read by then ends that worker,
// and its run fails with the reason.
TEST(Run, ASessionGoneBeforeItsRunFailsItAndEndsItsWorker) {
  TempDir dir;
  const std::string plan = copyPlan(dir);
  const std::string worker = dir.file("session-eating-worker");
  // The worker's fence lies in PLAN/fences: the first run's worker removes every session.
  ASSERT_TRUE(writeFile(worker,
                        "#!/bin/sh\nrm -f \"$(dirname \"$(dirname \"$3\")\")\"/sessions/*\n"
                        "cat >/dev/null\nexit 1\n"));
  fs::permissions(worker, fs::perms::owner_exec, fs::perm_options::add);
  const ToolRun run = runTool({"run", plan, "-j", "1", "--worker", worker});
  EXPECT_TRUE(run.status.exitedWith(1)) << run.status << run.err;
  const Json summary = summaryOf(plan + "/summary.json");
  for (size_t i = 1; i < runIds().size(); ++i) {
    const Json& record = summary.find("runs")->asArray().at(i);
    EXPECT_EQ(statusOf(summary, i), "failed") << i;
    EXPECT_NE(record.find("explanation")->asString().find("cannot be read"), std::string::npos)
        << i;
    EXPECT_FALSE(fs::exists(plan + "/outputs/" + runIds()[i] + ".out")) << i;
  }
}

TEST(Run, BadInputGetsOneLineAndStatus2) {
  TempDir dir;
  const std::string plan = copyPlan(dir);
  const std::string halfWritten = copyPlan(dir, "half");
  const std::string text = readFile(halfWritten + "/plan.json").value();
  ASSERT_TRUE(writeFile(halfWritten + "/plan.json", text.substr(0, text.size() / 2)));
  const std::string sessionless = copyPlan(dir, "sessionless");
  fs::remove(sessionless + "/sessions/" + runIds()[3] + ".ndjson");
  const std::string notExecutable = dir.file("worker");
  ASSERT_TRUE(writeFile(notExecutable, "#!/bin/sh\n"));
  const std::vector<std::vector<std::string>> cases = {
      {"run", dir.file("missing")},
      {"run", dir.path()},
      {"run", halfWritten},
      {"run", sessionless},
      {"run", plan, "--worker", notExecutable},
      {"run", plan, "--shard", "2/2"},
      {"run", plan, "-j", "0"},
  };
  for (const auto& args : cases) {
    const ToolRun run = runTool(args);
    EXPECT_TRUE(run.status.exitedWith(2)) << args.back() << ": " << run.status;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.starts_with("tallywarden run: ")) << run.err;
  }
  EXPECT_FALSE(fs::exists(plan + "/outputs"));
}

}  // namespace
}  // namespace tw::test
