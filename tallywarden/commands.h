// The subcommands of tallywarden, the host author's companion to the worker.
//
// Every verdict comes from the worker's own frame decoding, contract decoders and engine; the
// companion has no rule of its own. Each subcommand takes its arguments (after the subcommand's
// name) and its standard streams, and returns the process's exit status:
//   0  the input passes (check), is planned (plan) or the output verifies (report);
//   1  it does not: the worker would not complete the session, or the output is not a verified
//      completed session;
//   2  the tool itself cannot run (bad arguments, a file that cannot be read).
#pragma once

#include <iosfwd>
#include <span>
#include <string_view>

namespace tw::tool {

inline constexpr int kExitPasses = 0;
inline constexpr int kExitFails = 1;
inline constexpr int kExitCannotRun = 2;

// A FILE given as "-" is read from descriptor 0 (see input_file.h).
struct Streams {
  std::ostream& out;  // the verdict, report or packed session
  std::ostream& err;  // one line for a tool failure
};

[[nodiscard]] int runCheck(std::span<const std::string_view> args, Streams streams);
[[nodiscard]] int runPlan(std::span<const std::string_view> args, Streams streams);
[[nodiscard]] int runReport(std::span<const std::string_view> args, Streams streams);
[[nodiscard]] int runRun(std::span<const std::string_view> args, Streams streams);
// The report of a period (a plan folder, or several outputs with their inputs); runReport hands
// its arguments over when isPeriodReport says they ask for one.
[[nodiscard]] bool isPeriodReport(std::span<const std::string_view> args);
[[nodiscard]] int runPeriodReport(std::span<const std::string_view> args, Streams streams);

}  // namespace tw::tool
