// `tallywarden report` over a period: reads a plan folder (plan.json, sessions/, outputs/) or
// several outputs each with its session input, and writes the period report as text, HTML and
// CSV files.
//
//   tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR]
//   tallywarden report OUTPUT --input FILE [OUTPUT --input FILE ...] [--html FILE] [--csv DIR]
//                      [--locale en|pt-BR]
#include <filesystem>
#include <fstream>
#include <ostream>
#include <span>
#include <variant>

#include "contracts/json_reader.h"
#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/period.h"

namespace tw::tool {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPeriodUsage =
    "usage: tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR], or "
    "report OUTPUT --input FILE [OUTPUT --input FILE ...] with the same options";
constexpr size_t kMaxMarkerBytes = size_t{64} << 10;

struct PeriodArgs {
  std::optional<std::string> planDir;
  std::vector<std::pair<std::string, std::string>> outputs;  // (output, input)
  std::optional<std::string> html;
  std::optional<std::string> csv;
  ReportLocale locale = ReportLocale::En;
};

std::variant<PeriodArgs, std::string> parseArgs(std::span<const std::string_view> args) {
  PeriodArgs parsed;
  std::vector<std::string> positional;
  std::vector<std::optional<std::string>> inputs;
  bool localeGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool takesValue =
        arg == "--html" || arg == "--csv" || arg == "--locale" || arg == "--input";
    if (takesValue && (i + 1 == args.size() || args[i + 1].empty())) {
      return std::string(arg) + " needs a value";
    }
    if (arg == "--html" || arg == "--csv") {
      auto& slot = arg == "--html" ? parsed.html : parsed.csv;
      if (slot) return std::string(arg) + " is given twice";
      slot = std::string(args[++i]);
    } else if (arg == "--locale") {
      if (localeGiven) return std::string("--locale is given twice");
      localeGiven = true;
      const std::string_view value = args[++i];
      if (value == "pt-BR") {
        parsed.locale = ReportLocale::PtBr;
      } else if (value != "en") {
        return "unknown locale " + std::string(value) + " (en or pt-BR)";
      }
    } else if (arg == "--input") {
      if (positional.empty() || inputs.back()) {
        return std::string("--input follows the OUTPUT it belongs to, once");
      }
      inputs.back() = std::string(args[++i]);
    } else if (arg.size() > 1 && arg.front() == '-') {
      return "unknown option " + std::string(arg);
    } else {
      positional.emplace_back(arg);
      inputs.emplace_back();
    }
  }
  if (positional.empty()) return std::string("PLAN_DIR or OUTPUT is missing");
  if (parsed.html == "-") return std::string("--html needs a file, not standard output");
  std::error_code error;
  if (positional.size() == 1 && !inputs[0] && fs::is_directory(positional[0], error)) {
    parsed.planDir = positional[0];
    return parsed;
  }
  if (positional.size() > kMaxPeriodRuns) return std::string("too many outputs");
  for (size_t i = 0; i < positional.size(); ++i) {
    if (!inputs[i]) return "OUTPUT " + positional[i] + " has no --input";
    if (positional[i] == "-" || *inputs[i] == "-") {
      return std::string("a period report reads files, not standard input");
    }
    parsed.outputs.emplace_back(positional[i], *inputs[i]);
  }
  return parsed;
}

// The file's bytes, or nothing with a sentence in `problem`; `more` when it is longer.
std::optional<std::string> readFile(const std::string& path, size_t limit, std::string& problem,
                                    bool* more = nullptr) {
  std::optional<InputFile> file = InputFile::open(path, problem);
  if (!file) return std::nullopt;
  std::string bytes;
  bool longer = false;
  if (!file->readBounded(limit, bytes, longer, problem)) return std::nullopt;
  if (longer && more == nullptr) {
    problem = path + " is larger than " + std::to_string(limit) + " bytes";
    return std::nullopt;
  }
  if (more != nullptr) *more = longer;
  return bytes;
}

// A run identifier or session path of plan.json may name only a file inside the plan folder.
bool safeName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find('\\') == std::string_view::npos && name != "." && name != "..";
}
bool safeRelativePath(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find('\\') != std::string_view::npos) {
    return false;
  }
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (!safeName(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

void readRunFiles(PeriodRunFiles& run, const std::string& session, const std::string& output,
                  const std::optional<std::string>& marker) {
  run.session = readFile(session, kMaxInputBytes, run.sessionProblem);
  std::error_code error;
  if (fs::exists(output, error)) {
    run.output = readFile(output, kMaxOutputBytes, run.outputProblem, &run.outputMoreBeyond);
  }
  if (marker) {
    run.markerExpected = true;
    std::string problem;
    std::error_code markerError;
    if (fs::exists(*marker, markerError)) run.marker = readFile(*marker, kMaxMarkerBytes, problem);
  }
}

// The plan folder's files, or a sentence saying why it cannot be read as one.
std::variant<PeriodFiles, std::string> readPlanFolder(const std::string& dir) {
  PeriodFiles files;
  files.source = dir;
  std::string problem;
  files.plan = readFile(dir + "/plan.json", kMaxPlanBytes, problem);
  if (!files.plan) return "not a plan folder: " + problem;
  auto plan = readJson(*files.plan);
  const Json* runs = plan ? plan->find("runs") : nullptr;
  if (runs == nullptr || !runs->isArray()) return dir + "/plan.json has no list of runs";
  if (runs->asArray().size() > kMaxPeriodRuns) return dir + "/plan.json has too many runs";
  for (const Json& planned : runs->asArray()) {
    const Json* runId = planned.find("runId");
    if (runId == nullptr || !runId->isString() || !safeName(runId->asString())) {
      return dir + "/plan.json names a run without a usable runId";
    }
    PeriodRunFiles run;
    run.runId = runId->asString();
    std::string session = "sessions/" + run.runId + ".ndjson";
    if (const Json* path = planned.find("session"); path != nullptr && path->isString()) {
      if (!safeRelativePath(path->asString())) {
        return "run " + run.runId + "'s session path leaves the plan folder";
      }
      session = path->asString();
    }
    if (const Json* entries = planned.find("entries");
        entries != nullptr && entries->isUnsigned()) {
      run.plannedEntries = entries->asUnsigned();
    }
    readRunFiles(run, dir + "/" + session, dir + "/outputs/" + run.runId + ".out",
                 dir + "/outputs/" + run.runId + ".json");
    files.runs.push_back(std::move(run));
  }
  return files;
}

PeriodFiles readGivenOutputs(const PeriodArgs& args) {
  PeriodFiles files;
  files.source = "the outputs given";
  for (const auto& [output, input] : args.outputs) {
    PeriodRunFiles run;
    run.runId = fs::path(output).filename().string();
    readRunFiles(run, input, output, std::nullopt);
    if (!run.output && run.outputProblem.empty()) run.outputProblem = output + " does not exist";
    files.runs.push_back(std::move(run));
  }
  return files;
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return false;
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  return !error;
}

}  // namespace

// Whether the arguments ask for a period report rather than the report of one output.
bool isPeriodReport(std::span<const std::string_view> args) {
  size_t positional = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--csv" || arg == "--locale") return true;
    if (arg == "--input" || arg == "--html") {
      ++i;
    } else if (arg.empty() || arg.front() != '-' || arg == "-") {
      ++positional;
      std::error_code error;
      if (arg != "-" && fs::is_directory(std::string(arg), error)) return true;
    }
  }
  return positional > 1;
}

int runPeriodReport(std::span<const std::string_view> args, Streams streams) {
  auto parsed = parseArgs(args);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    streams.err << "tallywarden report: " << *problem << " (" << kPeriodUsage << ")\n";
    return kExitCannotRun;
  }
  const PeriodArgs& given = std::get<PeriodArgs>(parsed);
  PeriodFiles files;
  if (given.planDir) {
    auto folder = readPlanFolder(*given.planDir);
    if (auto* problem = std::get_if<std::string>(&folder)) {
      streams.err << "tallywarden report: " << *problem << "\n";
      return kExitCannotRun;
    }
    files = std::move(std::get<PeriodFiles>(folder));
  } else {
    files = readGivenOutputs(given);
  }
  const PeriodReport report = buildPeriodReport(std::move(files));
  if (given.html && !writeFile(*given.html, periodHtml(report, given.locale))) {
    streams.err << "tallywarden report: cannot write the HTML report to " << *given.html << "\n";
    return kExitCannotRun;
  }
  if (given.csv) {
    std::error_code error;
    fs::create_directories(*given.csv, error);
    for (const auto& [name, bytes] : periodCsv(report)) {
      if (!writeFile(fs::path(*given.csv) / name, bytes)) {
        streams.err << "tallywarden report: cannot write " << name << " to " << *given.csv << "\n";
        return kExitCannotRun;
      }
    }
  }
  streams.out << periodText(report);
  if (given.html) streams.out << "HTML report written to " << *given.html << "\n";
  if (given.csv) streams.out << "CSV files written to " << *given.csv << "\n";
  return report.finished ? kExitPasses : kExitFails;
}

}  // namespace tw::tool
