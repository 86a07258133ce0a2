// tallywarden check FILE|- [--json]: what the worker would do with a session input.
#include <ostream>
#include <string>

#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/replay.h"

namespace tw::tool {

namespace {

constexpr std::string_view kCheckUsage = "usage: tallywarden check FILE|- [--json]";

}  // namespace

int runCheck(std::span<const std::string_view> args, Streams streams) {
  std::optional<std::string_view> path;
  bool json = false;
  for (const std::string_view arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg == "-h" || arg == "--help") {
      streams.out << kCheckUsage << "\n";
      return kExitPasses;
    } else if (arg.size() > 1 && arg[0] == '-') {
      streams.err << "tallywarden check: unknown option '" << arg << "' (" << kCheckUsage << ")\n";
      return kExitCannotRun;
    } else if (path) {
      streams.err << "tallywarden check: one FILE only (" << kCheckUsage << ")\n";
      return kExitCannotRun;
    } else {
      path = arg;
    }
  }
  if (!path) {
    streams.err << "tallywarden check: no FILE given, - for standard input (" << kCheckUsage
                << ")\n";
    return kExitCannotRun;
  }
  std::string error;
  std::optional<InputFile> input = InputFile::open(*path, error);
  if (!input) {
    streams.err << "tallywarden check: " << error << "\n";
    return kExitCannotRun;
  }
  // The worker's line reader bounds each line, and the session's limits end the replay at the
  // first refused frame, so at most what the worker would read is read.
  const Verdict verdict = replayFd(input->fd());
  streams.out << (json ? verdictJson(verdict) : verdictText(verdict));
  return verdict.outcome == Outcome::Completed ? kExitPasses : kExitFails;
}

}  // namespace tw::tool
