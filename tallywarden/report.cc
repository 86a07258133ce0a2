#include "tallywarden/report.h"

#include <fstream>
#include <ostream>
#include <span>
#include <utility>
#include <variant>

#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/report_html.h"

namespace tw::tool {

namespace {

constexpr std::string_view kReportUsage =
    "usage: tallywarden report OUTPUT [--input FILE] [--html FILE]";

std::vector<std::string> inputNotes(const ReassembledOutput& output, const SessionEntries& input,
                                    const ReportFigures& figures) {
  std::vector<std::string> notes;
  if (output.nonce && input.nonce != output.nonce) {
    notes.push_back("the session input's nonce is not the output's: it is another session's input");
  }
  if (output.runId && input.runId && input.runId != output.runId) {
    notes.push_back("the session input's run identifier is " + *input.runId + ", not " +
                    *output.runId);
  }
  if (input.entriesUnreadable > 0) {
    notes.push_back(std::to_string(input.entriesUnreadable) +
                    " entries of the session input do not decode (check tells why)");
  }
  if (input.entriesRepeated > 0) {
    notes.push_back(std::to_string(input.entriesRepeated) +
                    " entries of the session input repeat an identifier");
  }
  if (figures.idsNotInInput > 0) {
    notes.push_back(std::to_string(figures.idsNotInInput) +
                    " of the result's entries are not in the session input");
  }
  return notes;
}

std::string padded(std::string text, size_t width, bool right = true) {
  if (text.size() >= width) return text;
  return right ? std::string(width - text.size(), ' ') + text
               : text + std::string(width - text.size(), ' ');
}

void appendFigures(std::string& out, const Report& report) {
  const ReportFigures& figures = report.figures;
  const ReconciliationResult& result = *report.output.result;
  out += '\n';
  out += padded("Stage", 18, false) + padded("Allocations", 12) + padded("Matched", 22) +
         padded("Open entries", 14) + padded("Open", 22) + "\n";
  for (size_t i = 0; i < figures.stages.size(); ++i) {
    const StageFigures& stage = figures.stages[i];
    out += padded(std::string(toText(stageAt(i))), 18, false) +
           padded(std::to_string(stage.allocations), 12) +
           padded(formatCurrency(stage.matched), 22) +
           padded(std::to_string(stage.openEntries), 14) + padded(formatCurrency(stage.open), 22) +
           "\n";
  }
  if (figures.openUnplaced > 0) {
    out += padded("(stage not known)", 18, false) + padded("", 34) +
           padded(std::to_string(figures.openUnplaced), 14) +
           padded(formatCurrency(figures.openUnplacedAmount), 22) + "\n";
  }
  out += "\nPending: " + std::to_string(result.pendingIds.size()) + " of " +
         std::to_string(figures.residuals) + " entries\n";
  out += "Residuals: net " + formatCurrency(figures.residualNet) + " (positive " +
         formatCurrency(figures.residualPositive) + ", negative " +
         formatCurrency(figures.residualNegative) + ")\n";
  if (!report.input) {
    out +=
        "Open amounts of entries that no allocation names are counted under \"stage not "
        "known\"; --input places them.\n";
  }
}

// Reads at most `limit` bytes of `path` ("-" for standard input); `more` tells whether there was
// more. An error is one sentence for a person.
std::optional<std::string> readBounded(std::string_view path, size_t limit, std::string& bytes,
                                       bool& more) {
  std::string error;
  std::optional<InputFile> file = InputFile::open(path, error);
  if (!file || !file->readBounded(limit, bytes, more, error)) return error;
  return std::nullopt;
}

struct ReportArgs {
  std::string_view output;
  std::optional<std::string_view> input;
  std::optional<std::string_view> html;
};

// The arguments, or one sentence saying what is wrong with them.
std::variant<ReportArgs, std::string> parseArgs(std::span<const std::string_view> args) {
  ReportArgs parsed;
  bool haveOutput = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--input" || arg == "--html") {
      std::optional<std::string_view>& slot = arg == "--input" ? parsed.input : parsed.html;
      if (slot) return std::string(arg) + " is given twice";
      if (i + 1 == args.size() || args[i + 1].empty()) return std::string(arg) + " needs a FILE";
      slot = args[++i];
    } else if (arg.size() > 1 && arg.front() == '-') {
      return "unknown option " + std::string(arg);
    } else if (haveOutput) {
      return "more than one OUTPUT (" + std::string(parsed.output) + ", " + std::string(arg) + ")";
    } else if (arg.empty()) {
      return "OUTPUT is an empty path";
    } else {
      parsed.output = arg;
      haveOutput = true;
    }
  }
  if (!haveOutput) return std::string("OUTPUT is missing");
  if (parsed.input == "-" && parsed.output == "-") {
    return std::string("OUTPUT and --input cannot both be standard input");
  }
  if (parsed.html == "-") return std::string("--html needs a file, not standard output");
  return parsed;
}

}  // namespace

Report buildReport(std::string_view outputBytes, bool outputMoreBeyond,
                   std::optional<std::string_view> inputBytes) {
  Report report;
  report.output = reassembleOutput(outputBytes, outputMoreBeyond, ResultKept::Yes);
  if (inputBytes) report.input = readSessionEntries(*inputBytes);
  const SessionEntries* input = report.input ? &*report.input : nullptr;
  if (report.output.result) report.figures = computeFigures(*report.output.result, input);
  if (input != nullptr) report.notes = inputNotes(report.output, *input, report.figures);
  return report;
}

std::string reportText(const Report& report) {
  const ReassembledOutput& output = report.output;
  std::string out;
  if (output.verified()) {
    out += "Completed session; the commitment verifies.\n";
  } else if (output.outcome == OutputOutcome::Failed) {
    out += "Not a completed session: it ended with \"failed\", code " +
           output.failedCode.value_or("") + ".\n";
    if (output.failedCode == "C5_ENGINE_FAILED") {
      out += "  tallywarden check on the session input tells why the run failed.\n";
    }
  } else {
    out += "Not a verified completed session: " + output.problem + "\n";
  }
  for (const std::string& note : report.notes) out += "  note: " + note + "\n";
  if (output.runId) out += "  run        " + *output.runId + "\n";
  if (output.nonce) out += "  nonce      " + *output.nonce + "\n";
  if (output.revision) out += "  revision   " + std::to_string(*output.revision) + "\n";
  if (output.pageCount) {
    out += "  pages      " + std::to_string(output.pagesRead) + " of " +
           std::to_string(*output.pageCount) + "\n";
  }
  if (output.claimedCommitment) out += "  commitment " + *output.claimedCommitment + "\n";
  if (output.commitment && output.commitment != output.claimedCommitment) {
    out += "  recomputed " + *output.commitment + "\n";
  }
  if (output.result) {
    if (!output.verified()) out += "\nThe result below does not verify; do not rely on it.\n";
    appendFigures(out, report);
  }
  return out;
}

std::string reportHtml(const Report& report) {
  return renderHtmlReport(report.output, report.figures, report.input ? &*report.input : nullptr,
                          report.notes);
}

int reportExitStatus(const Report& report) {
  return report.output.verified() ? kExitPasses : kExitFails;
}

int runReport(std::span<const std::string_view> args, Streams streams) {
  if (isPeriodReport(args)) return runPeriodReport(args, streams);
  auto parsed = parseArgs(args);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    streams.err << "tallywarden report: " << *problem << " (" << kReportUsage << ")\n";
    return kExitCannotRun;
  }
  const ReportArgs& given = std::get<ReportArgs>(parsed);

  std::string output;
  bool outputMore = false;
  if (auto error = readBounded(given.output, kMaxOutputBytes, output, outputMore)) {
    streams.err << "tallywarden report: " << *error << "\n";
    return kExitCannotRun;
  }
  std::string input;
  if (given.input) {
    bool inputMore = false;
    if (auto error = readBounded(*given.input, kMaxInputBytes, input, inputMore)) {
      streams.err << "tallywarden report: " << *error << "\n";
      return kExitCannotRun;
    }
    if (inputMore) {
      streams.err << "tallywarden report: " << *given.input << " is larger than any session input ("
                  << kMaxInputBytes << " bytes)\n";
      return kExitCannotRun;
    }
  }

  const Report report = buildReport(
      output, outputMore, given.input ? std::optional<std::string_view>(input) : std::nullopt);
  if (given.html) {
    const std::string page = reportHtml(report);
    std::ofstream file{std::string(*given.html), std::ios::binary | std::ios::trunc};
    file.write(page.data(), static_cast<std::streamsize>(page.size()));
    file.close();
    if (!file) {
      streams.err << "tallywarden report: cannot write the HTML report to " << *given.html << "\n";
      return kExitCannotRun;
    }
  }
  streams.out << reportText(report);
  if (given.html) streams.out << "HTML report written to " << *given.html << "\n";
  return reportExitStatus(report);
}

}  // namespace tw::tool
