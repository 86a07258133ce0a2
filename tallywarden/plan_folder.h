// The plan folder as `run` sees it: plan.json's runs, in order, and where each run's session,
// output, record, lock and fence live.
//
//   PLAN_DIR/plan.json                 {"version":1,"runs":[{"runId","session","entries",...}]}
//   PLAN_DIR/sessions/<runId>.ndjson   one run's whole session input
//   PLAN_DIR/outputs/<runId>.out       the worker's standard output, verbatim
//   PLAN_DIR/outputs/<runId>.json      the run's record, written last: the output is complete
//   PLAN_DIR/locks/<runId>.lock        held by the runner that runs it
//   PLAN_DIR/fences/<runId>.fence      the worker's execution fence (one a run)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::tool {

// Most bytes of plan.json read: a plan of many thousands of runs stays far below it.
inline constexpr size_t kMaxPlanFileBytes = size_t{256} << 20;

struct PlannedRun {
  size_t index = 0;  // in plan.json's runs
  std::string runId;
  std::string session;  // path relative to the plan folder, '/' separated
  uint64_t entries = 0;
};

struct PlanFolder {
  std::string dir;
  std::vector<PlannedRun> runs;

  std::string sessionPath(const PlannedRun& run) const { return dir + "/" + run.session; }
  std::string outputPath(const PlannedRun& run) const {
    return dir + "/outputs/" + run.runId + ".out";
  }
  std::string recordPath(const PlannedRun& run) const {
    return dir + "/outputs/" + run.runId + ".json";
  }
  std::string lockPath(const PlannedRun& run) const {
    return dir + "/locks/" + run.runId + ".lock";
  }
};

// Reads PLAN_DIR/plan.json and checks that every run's session file is there. Nothing, with one
// sentence for a person in `error`, when the folder is missing, plan.json is missing or not a
// complete plan (a half-written one included), or a session file is missing.
[[nodiscard]] std::optional<PlanFolder> readPlanFolder(const std::string& dir, std::string& error);

// Whole-file read of at most `limit` bytes; `more` says the file holds more. Nothing when the
// file cannot be read.
[[nodiscard]] std::optional<std::string> readFileBounded(const std::string& path, size_t limit,
                                                         bool& more);

// True when `path` names an existing directory / regular file.
[[nodiscard]] bool isDirectory(const std::string& path);
[[nodiscard]] bool isRegularFile(const std::string& path);
// Makes the folder and its parents; false when it cannot be made.
[[nodiscard]] bool makeDirectories(const std::string& path);
// Removes a file if it is there.
void removeFile(const std::string& path);
// The names of the files in the folder, in no particular order; none when it cannot be read.
[[nodiscard]] std::vector<std::string> fileNames(const std::string& dir);

}  // namespace tw::tool
