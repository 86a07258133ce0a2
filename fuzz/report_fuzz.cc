// The companion's report on arbitrary bytes as a worker's output, optionally followed by a line
// "--input" and the bytes of a session input to join, through reassembly, verification, the
// figures, the text summary and the HTML page.
//
// Checked on every input: a verified output has its result and a recomputed commitment equal to
// the one claimed; an output that does not verify says why, and one that does says nothing; the
// HTML page never holds a tag that came from the input (every text is escaped, so "<script" or
// "<img" can only appear if escaping failed), and it is always a whole page.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tallywarden/report.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kSplit = "\n--input\n";
  const size_t split = bytes.find(kSplit);
  std::string_view output = bytes;
  std::optional<std::string_view> input;
  if (split != std::string_view::npos) {
    output = bytes.substr(0, split + 1);
    input = bytes.substr(split + kSplit.size());
  }
  // The last byte, when odd, says the output went on past what was read.
  const bool moreBeyond = size > 0 && (data[size - 1] & 1) && split == std::string_view::npos;

  const tw::tool::Report report = tw::tool::buildReport(output, moreBeyond, input);
  const tw::tool::ReassembledOutput& out = report.output;
  if (out.verified()) {
    require(out.result.has_value() && out.commitment.has_value());
    require(out.commitment == out.claimedCommitment);
    require(out.problem.empty());
  } else if (out.outcome == tw::tool::OutputOutcome::Failed) {
    require(out.failedCode.has_value() && out.problem.empty() && !out.result);
  } else {
    require(!out.problem.empty());
  }
  require(!tw::tool::reportText(report).empty());
  const std::string page = tw::tool::reportHtml(report);
  require(page.find("<script") == std::string::npos && page.find("<img") == std::string::npos);
  require(page.ends_with("</html>\n"));
  return 0;
}
