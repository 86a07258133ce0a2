// The report as one self-contained HTML page: inline styles and inline SVG only, no script and
// nothing loaded from elsewhere (its content security policy forbids both), every text escaped.
//
// The page holds the verdict and the session's metadata; per stage, the allocations' count and
// amount and the open amounts, also as a chart, and per day when the session input is given; every
// allocation with its evidence; the pending entries with their residuals and the settled ones.
// With the session input, each entry's date, account, reference and description are joined in.
// Its size grows linearly with the result's.
#pragma once

#include <string>
#include <vector>

#include "tallywarden/report_figures.h"
#include "tallywarden/report_input.h"
#include "tallywarden/report_output.h"

namespace tw::tool {

// Appends `text` with &, <, >, " and ' written as character references.
void appendEscapedHtml(std::string& out, std::string_view text);

// `input` may be null; `notes` are shown under the verdict.
[[nodiscard]] std::string renderHtmlReport(const ReassembledOutput& output,
                                           const ReportFigures& figures,
                                           const SessionEntries* input,
                                           const std::vector<std::string>& notes);

}  // namespace tw::tool
