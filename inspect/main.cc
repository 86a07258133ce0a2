// Process entry of tallywarden-inspect: dispatches to a subcommand.
//
//   tallywarden-inspect check FILE [--json]
//   tallywarden-inspect pack MANIFEST ENTRIES [-o FILE]
//   tallywarden-inspect report OUTPUT [--input FILE] [--html FILE]
#include <cstdio>
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "inspect/commands.h"

namespace {

constexpr std::string_view kUsage =
    "usage: tallywarden-inspect check FILE [--json]\n"
    "       tallywarden-inspect pack MANIFEST ENTRIES [-o FILE]\n"
    "       tallywarden-inspect report OUTPUT [--input FILE] [--html FILE]\n";

int dispatch(const std::vector<std::string_view>& args) {
  using namespace tw::inspect;
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
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return kExitPasses;
  }
  std::cerr << "tallywarden-inspect: unknown command '" << command << "'\n" << kUsage;
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
    std::cerr << "tallywarden-inspect: " << e.what() << "\n";
    status = tw::inspect::kExitCannotRun;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "tallywarden-inspect: standard output could not be written\n";
    return tw::inspect::kExitCannotRun;
  }
  return status;
}
