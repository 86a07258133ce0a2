// Reads what a worker wrote on standard output as one session's messages, and verifies it.
//
// The output must be exactly the worker's: "started", then "executing", then either a "failed"
// message, or the "resultPage" messages and "completed", and nothing after the last message.
// Pages are checked as they are read, in one pass: each must be the bytes the worker's page
// builder writes for one item of a valid result (the item's values held to the contract's own
// rules), at its index, with its count; the item texts feed the commitment as they come, and the
// output verifies only when that commitment is the one "completed" carries. The result itself is
// decoded only for a caller that asks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/source.h"

namespace tw::tool {

// Most bytes of worker output read. The largest session writes a few MB; this leaves an order of
// magnitude of headroom while keeping what the report holds in memory bounded.
inline constexpr size_t kMaxOutputBytes = size_t{64} << 20;

enum class OutputOutcome : uint8_t {
  Verified,     // a completed session whose commitment verifies
  Failed,       // the session ended with a "failed" message
  NotVerified,  // anything else: not a worker's output, cut off, pages missing, wrong commitment
};

struct ReassembledOutput {
  OutputOutcome outcome = OutputOutcome::NotVerified;
  // Why the output does not verify (empty when it does), and the 1-based line it concerns (0 when
  // it concerns the output as a whole).
  std::string problem;
  size_t problemLine = 0;

  size_t lines = 0;  // complete lines read
  std::optional<std::string> nonce;
  std::optional<std::string> failedCode;  // the code of a "failed" message
  uint64_t pagesRead = 0;
  std::optional<uint64_t> pageCount;  // as the pages (or "completed") announce it

  // From "completed".
  std::optional<std::string> claimedCommitment;
  std::optional<uint64_t> revision;
  std::optional<std::string> runId;

  // The commitment recomputed from the pages, when all were read and they hold a valid result
  // (also when it differs from the claimed one); and that result, when it was asked for.
  std::optional<std::string> commitment;
  std::optional<ReconciliationResult> result;

  bool verified() const { return outcome == OutputOutcome::Verified; }
};

// Whether reading an output also decodes its result (ReassembledOutput::result).
enum class ResultKept : uint8_t { No, Yes };

// Reads `bytes` as a worker's standard output. `moreBeyond` says that the output went on past
// these bytes (it was longer than what was read): unless an earlier problem decides, that is the
// problem.
[[nodiscard]] ReassembledOutput reassembleOutput(std::string_view bytes, bool moreBeyond = false,
                                                 ResultKept kept = ResultKept::No);

// The same, and the output must be the one of `session` (that session's input, as the worker
// read it): the nonce of its "start" and, for a delivered result, its manifest's run.
[[nodiscard]] ReassembledOutput verifyWorkerOutput(std::string_view session,
                                                   std::string_view output, bool moreBeyond = false,
                                                   ResultKept kept = ResultKept::No);

}  // namespace tw::tool
