// Process entry of tallywarden: dispatches to a subcommand.
//
//   tallywarden check FILE [--json]
//   tallywarden pack MANIFEST ENTRIES [-o FILE]
//   tallywarden report OUTPUT [--input FILE] [--html FILE]
//   tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR]
#include <cstdio>
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "tallywarden/commands.h"

namespace {

// The version of this build of the tool and its engine; `plan` writes it as a run manifest's
// engineVersion when the template sets none.
constexpr std::string_view kToolVersion = "2.0.0";

constexpr std::string_view kUsage =
    "usage: tallywarden check FILE [--json]\n"
    "       tallywarden --version\n"
    "       tallywarden pack MANIFEST ENTRIES [-o FILE]\n"
    "       tallywarden report OUTPUT [--input FILE] [--html FILE]\n"
    "       tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR]\n"
    "       tallywarden report OUTPUT --input FILE [OUTPUT --input FILE ...] [--html FILE]\n"
    "                          [--csv DIR] [--locale en|pt-BR]\n";

int dispatch(const std::vector<std::string_view>& args) {
  using namespace tw::tool;
  Streams streams{std::cout, std::cerr};
  if (args.empty()) {
    std::cerr << kUsage;
    return kExitCannotRun;
  }
  const std::string_view command = args[0];
  const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
  if (command == "check") return runCheck(rest, streams);
  if (command == "pack") return runPack(rest, streams);
  if (command == "report") return runReport(rest, streams);
  if (command == "--version") {
    std::cout << kToolVersion << "\n";
    return kExitPasses;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return kExitPasses;
  }
  std::cerr << "tallywarden: unknown command '" << command << "'\n" << kUsage;
  return kExitCannotRun;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  int status;
  try {
    status = dispatch(args);
  } catch (const std::exception& e) {
    std::cerr << "tallywarden: " << e.what() << "\n";
    status = tw::tool::kExitCannotRun;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "tallywarden: standard output could not be written\n";
    return tw::tool::kExitCannotRun;
  }
  return status;
}
