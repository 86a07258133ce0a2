#include "tallywarden/plan_folder.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "contracts/formats.h"
#include "contracts/json_reader.h"

namespace tw::tool {

namespace {

std::filesystem::path fsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A session path the plan may name: relative, '/' separated, never leaving the folder.
bool isInsideFolder(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.find('\\') != std::string_view::npos ||
      path.find(':') != std::string_view::npos) {
    return false;
  }
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::optional<PlannedRun> plannedRun(const Json& value, size_t index, std::string& error) {
  const std::string where = "runs[" + std::to_string(index) + "]";
  const Json* runId = value.find("runId");
  const Json* session = value.find("session");
  const Json* entries = value.find("entries");
  if (runId == nullptr || !runId->isString() || !isIdentifier(runId->asString())) {
    error = where + " has no runId that is an identifier";
    return std::nullopt;
  }
  // The run identifier names the run's files in outputs/, locks/ and fences/.
  if (runId->asString().find(':') != std::string::npos || runId->asString().starts_with('.')) {
    error = where + "'s runId " + runId->asString() + " cannot name a file";
    return std::nullopt;
  }
  if (session == nullptr || !session->isString() || !isInsideFolder(session->asString())) {
    error = where + " has no session path inside the plan folder";
    return std::nullopt;
  }
  if (entries != nullptr && !entries->isUnsigned()) {
    error = where + "'s entries is not a count";
    return std::nullopt;
  }
  return PlannedRun{index, runId->asString(), session->asString(),
                    entries != nullptr ? entries->asUnsigned() : 0};
}

}  // namespace

std::optional<std::string> readFileBounded(const std::string& path, size_t limit, bool& more) {
  std::ifstream file(fsPath(path), std::ios::binary);
  if (!file) return std::nullopt;
  constexpr size_t kChunk = size_t{1} << 16;
  std::string bytes;
  std::error_code unknown;
  const uintmax_t size = std::filesystem::file_size(fsPath(path), unknown);
  if (!unknown) bytes.reserve(static_cast<size_t>(std::min<uintmax_t>(size, limit)));
  while (bytes.size() < limit) {
    const size_t had = bytes.size();
    const size_t want = std::min(kChunk, limit - had);
    bytes.resize(had + want);
    file.read(bytes.data() + had, static_cast<std::streamsize>(want));
    bytes.resize(had + static_cast<size_t>(file.gcount()));
    if (file.bad()) return std::nullopt;
    if (!file) break;
  }
  more = bytes.size() == limit && file.peek() != std::ifstream::traits_type::eof();
  return bytes;
}

bool isDirectory(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(fsPath(path), ignored);
}

bool isRegularFile(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(fsPath(path), ignored);
}

bool makeDirectories(const std::string& path) {
  std::error_code failed;
  std::filesystem::create_directories(fsPath(path), failed);
  return !failed && isDirectory(path);
}

void removeFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(fsPath(path), ignored);
}

std::vector<std::string> fileNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code failed;
  for (std::filesystem::directory_iterator it(fsPath(dir), failed), end; !failed && it != end;
       it.increment(failed)) {
    const std::u8string name = it->path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  return names;
}

std::optional<PlanFolder> readPlanFolder(const std::string& dir, std::string& error) {
  if (!isDirectory(dir)) {
    error = "no plan folder at " + dir;
    return std::nullopt;
  }
  const std::string planPath = dir + "/plan.json";
  bool more = false;
  const std::optional<std::string> text = readFileBounded(planPath, kMaxPlanFileBytes, more);
  if (!text || !isRegularFile(planPath)) {
    error =
        dir + " is not a plan folder: it has no readable plan.json (tallywarden plan writes it)";
    return std::nullopt;
  }
  if (more) {
    error = planPath + " is larger than " + std::to_string(kMaxPlanFileBytes) + " bytes";
    return std::nullopt;
  }
  const auto json = readJson(*text);
  const std::string incomplete = planPath + " is not a complete plan";
  if (!json.ok()) {
    error = incomplete + " (not one JSON object: it may be half-written)";
    return std::nullopt;
  }
  const Json& plan = json.value();
  const Json* version = plan.find("version");
  const Json* runs = plan.find("runs");
  if (version == nullptr || !version->isUnsigned() || version->asUnsigned() != 1) {
    error = incomplete + " (no \"version\":1)";
    return std::nullopt;
  }
  if (runs == nullptr || !runs->isArray()) {
    error = incomplete + " (no \"runs\" array)";
    return std::nullopt;
  }
  PlanFolder folder{dir, {}};
  std::set<std::string, std::less<>> seen;
  for (size_t i = 0; i < runs->asArray().size(); ++i) {
    std::string why;
    std::optional<PlannedRun> run = plannedRun(runs->asArray()[i], i, why);
    if (!run) {
      error = incomplete + ": " + why;
      return std::nullopt;
    }
    if (!seen.insert(run->runId).second) {
      error = incomplete + ": run " + run->runId + " is listed twice";
      return std::nullopt;
    }
    if (!isRegularFile(folder.sessionPath(*run))) {
      error = "the plan folder is incomplete: run " + run->runId + "'s session " +
              folder.sessionPath(*run) + " is missing";
      return std::nullopt;
    }
    folder.runs.push_back(std::move(*run));
  }
  return folder;
}

}  // namespace tw::tool
