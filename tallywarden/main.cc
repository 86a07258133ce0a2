// Process entry of tallywarden: dispatches to a subcommand.
//
//   tallywarden check FILE [--json]
//   tallywarden plan --manifest TEMPLATE ENTRIES... -o PLAN_DIR [options]
//   tallywarden report OUTPUT [--input FILE] [--html FILE]
//   tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR]
//   tallywarden run PLAN_DIR [-j N] [--worker PATH] [--shard K/N] [--fences DIR]
#include <cstdio>
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "tallywarden/commands.h"
#include "tallywarden/version.h"

namespace {

constexpr std::string_view kUsage =
    "usage: tallywarden check FILE [--json]\n"
    "       tallywarden --version\n"
    "       tallywarden plan --manifest TEMPLATE ENTRIES... -o PLAN_DIR [--reject FILE]\n"
    "                        [--max-run-entries N] [--nonce-seed S]\n"
    "       tallywarden report OUTPUT [--input FILE] [--html FILE]\n"
    "       tallywarden report PLAN_DIR [--html FILE] [--csv DIR] [--locale en|pt-BR]\n"
    "       tallywarden report OUTPUT --input FILE [OUTPUT --input FILE ...] [--html FILE]\n"
    "                          [--csv DIR] [--locale en|pt-BR]\n"
    "       tallywarden run PLAN_DIR [-j N] [--worker PATH] [--shard K/N] [--fences DIR]\n";

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
  if (command == "plan") return runPlan(rest, streams);
  if (command == "report") return runReport(rest, streams);
  if (command == "run") return runRun(rest, streams);
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
