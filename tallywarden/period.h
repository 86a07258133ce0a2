// The report of a period: every run of a plan (or several outputs with their session inputs) in
// one view, for the person closing the period.
//
// Each run's output is verified as the one-run report verifies it; its session input is then run
// again through the engine with a review record, and only when that run's commitment equals the
// output's (which also proves that the input belongs to the output) do the run's figures, its
// worklist and its entries count. The close is finished only when every planned run is such a
// run and every entry stands in exactly one of them; otherwise the report says so first and
// names the runs.
//
// Everything here is a function of bytes; reading the folder is period_files.cc.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/source.h"
#include "engine/review.h"
#include "tallywarden/report_figures.h"
#include "tallywarden/report_input.h"
#include "tallywarden/report_output.h"

namespace tw::tool {

// Most runs a period report takes, and most bytes of plan.json read.
inline constexpr size_t kMaxPeriodRuns = 4096;
inline constexpr size_t kMaxPlanBytes = size_t{64} << 20;

// One run's files as read; a file that could not be read is absent, with the reason.
struct PeriodRunFiles {
  std::string runId;  // as the plan names it, or as given
  std::optional<std::string> session;
  std::string sessionProblem;
  std::optional<std::string> output;
  bool outputMoreBeyond = false;
  std::string outputProblem;
  std::optional<std::string> marker;  // outputs/<runId>.json, written last by the runner
  bool markerExpected = false;        // a plan folder has markers; given outputs do not
  std::optional<uint64_t> plannedEntries;
};

struct PeriodFiles {
  std::optional<std::string> plan;  // plan.json
  std::string source;               // the folder or "the outputs given", for the heading
  std::vector<PeriodRunFiles> runs;
};

enum class RunState : uint8_t {
  Reconciled,    // verified, and its session input gives the same commitment
  Missing,       // no output (not run yet), or no session input
  Unfinished,    // an output without its completion marker
  Failed,        // the session ended with "failed"
  NotVerified,   // the output does not verify: cut off, pages missing, tampered
  ForeignInput,  // the session input does not give this output
};
std::string_view toText(RunState state);

struct PeriodRun {
  std::string runId;
  RunState state = RunState::Missing;
  std::string problem;  // why it is not Reconciled, in a sentence
  std::optional<std::string> commitment;
  uint64_t pages = 0;
  std::optional<uint64_t> plannedEntries;
  SessionEntries input;                        // of a Reconciled run, and of others when readable
  std::optional<ReconciliationResult> result;  // Reconciled only
  EngineReview review;                         // Reconciled only
};

// Sums of one line of a totals table. Not every table fills every column.
struct Tally {
  size_t entries = 0;
  Amount amount;     // the entries' amounts (a sale net of its fees)
  Amount allocated;  // what the allocations took from these entries
  Amount open;       // their residuals, signs kept
  size_t openEntries = 0;
  size_t allocations = 0;  // allocations counted here
  Amount matched;          // their amounts
  size_t crossStore = 0;   // of them, those whose two sides are of different stores

  // amount - allocated - open: zero when the entries tie out.
  Amount difference() const;
};

struct PeriodFigures {
  std::array<Tally, 3> stages;            // by AllocationStage; open by the engine's stage
  std::map<std::string, Tally> accounts;  // by account
  std::map<std::pair<std::string, size_t>, Tally> accountStages;  // (account, stage): open
  std::map<std::string, Tally> stores;  // by establishment; allocations by the left entry's
  std::map<std::string, Tally> days;    // matched on the left entry's date, open on the entry's
  std::map<std::pair<std::string, std::string>, Tally> fees;  // (store, kind): entries, amount
  Tally settlementAgainstSales;  // settlement lines: cents less their sales-settlement allocations
  Tally neverCandidates;         // entries that can never be candidates
  Tally total;
};

// A pending or lone entry of a reconciled run, with why it is open.
struct OpenEntry {
  size_t run = 0;
  const Entry* entry = nullptr;
  __int128 residual = 0;
  AllocationStage stage = AllocationStage::ErpBank;  // the engine's residual stage
  std::vector<size_t> held;                          // held candidates (of its run) naming it
  uint8_t loneReasons = 0;                           // LoneReason bits when none does
  bool neverCandidate() const;
};

// A settlement line that its sales-settlement allocations do not take whole.
struct SettlementOpen {
  size_t run = 0;
  const Entry* entry = nullptr;
  __int128 againstSales = 0;  // its cents less those allocations
};

// Its open entries point into its runs' entries: it moves, it is never copied.
struct PeriodReport {
  PeriodReport() = default;
  PeriodReport(PeriodReport&&) = default;
  PeriodReport& operator=(PeriodReport&&) = default;
  PeriodReport(const PeriodReport&) = delete;
  PeriodReport& operator=(const PeriodReport&) = delete;

  std::string source;
  std::optional<std::string> periodFrom, periodTo;
  std::vector<PeriodRun> runs;
  bool finished = false;
  std::vector<std::string> problems;  // what keeps the close unfinished, runs named
  std::vector<std::string> notes;     // what does not keep it unfinished but matters
  std::optional<Json> slicedCells;    // plan.json's, as written
  std::optional<Json> unplannable;
  PeriodFigures figures;
  std::vector<OpenEntry> open;  // of reconciled runs: pending entries, by run then identifier
  std::vector<SettlementOpen> settlementsOpen;  // by run then identifier
  size_t plannedEntries = 0, reconciledEntries = 0;
};

// Verifies every run, runs the engine again on each verified one and sums up the period.
[[nodiscard]] PeriodReport buildPeriodReport(PeriodFiles files);

// The entry of a run, or nullptr.
const Entry* findRunEntry(const PeriodRun& run, std::string_view id);

// The store an allocation counts under: its left entry's (the ERP, sales or settlement line,
// whose store made the business; a bank line carries the account holder's), or the right
// entry's when the left is not known.
[[nodiscard]] const std::string& countingStore(const Entry* left, const Entry* right);

enum class ReportLocale : uint8_t { En, PtBr };

[[nodiscard]] std::string periodText(const PeriodReport& report);
[[nodiscard]] std::string periodHtml(const PeriodReport& report, ReportLocale locale);

// The CSV files: name and bytes.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> periodCsv(
    const PeriodReport& report);

// Amounts for a spreadsheet: plain decimals with a point, "-1234.50".
[[nodiscard]] std::string plainDecimal(__int128 cents);
// One CSV cell: quoted when needed (RFC 4180); a text starting with =, +, - or @ (or a tab or
// carriage return) gets a leading apostrophe so that no spreadsheet reads it as a formula.
void appendCsvText(std::string& out, std::string_view text);

}  // namespace tw::tool
