// `tallywarden report`: a worker's output put back together, verified and summed up.
//
// Everything but reading the files is a function of bytes, so that it can be driven without a
// process: buildReport reassembles and verifies the output (see report_output.h), joins the
// session input's entries when given, and computes the figures; reportText and reportHtml render
// them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallywarden/report_figures.h"
#include "tallywarden/report_input.h"
#include "tallywarden/report_output.h"

namespace tw::tool {

struct Report {
  ReassembledOutput output;
  std::optional<SessionEntries> input;
  ReportFigures figures;           // of output.result, when there is one
  std::vector<std::string> notes;  // what does not fit between input and output
};

// `outputMoreBeyond`: the output went on past `outputBytes` (see reassembleOutput).
[[nodiscard]] Report buildReport(std::string_view outputBytes, bool outputMoreBeyond,
                                 std::optional<std::string_view> inputBytes);

// The text summary: the verdict, then the figures of the result when there is one.
[[nodiscard]] std::string reportText(const Report& report);
[[nodiscard]] std::string reportHtml(const Report& report);

// kExitPasses for a verified completed session, kExitFails otherwise.
[[nodiscard]] int reportExitStatus(const Report& report);

}  // namespace tw::tool
