#include "tallywarden/period.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <utility>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/formats.h"
#include "contracts/json_reader.h"
#include "engine/assembly.h"

namespace tw::tool {

std::string_view toText(RunState state) {
  switch (state) {
    case RunState::Reconciled:
      return "reconciled";
    case RunState::Missing:
      return "missing";
    case RunState::Unfinished:
      return "unfinished";
    case RunState::Failed:
      return "failed";
    case RunState::NotVerified:
      return "not-verified";
    case RunState::ForeignInput:
      return "input-not-of-output";
  }
  return "missing";
}

Amount Tally::difference() const {
  Amount out = amount;
  Amount less;
  less.add(allocated);
  less.add(open);
  out.overflow =
      out.overflow || less.overflow || __builtin_sub_overflow(out.value, less.value, &out.value);
  return out;
}

bool OpenEntry::neverCandidate() const {
  constexpr uint8_t kNever = static_cast<uint8_t>(LoneReason::NoPositiveAmount) |
                             static_cast<uint8_t>(LoneReason::SaleWithoutFees) |
                             static_cast<uint8_t>(LoneReason::SaleWithReversal);
  return held.empty() && (loneReasons & kNever) != 0;
}

const Entry* findRunEntry(const PeriodRun& run, std::string_view id) {
  auto found = run.input.entries.find(id);
  return found == run.input.entries.end() ? nullptr : &found->second;
}

const std::string& countingStore(const Entry* left, const Entry* right) {
  static const std::string kUnknown;
  if (left != nullptr) return left->establishment;
  return right != nullptr ? right->establishment : kUnknown;
}

namespace {

__int128 cents(const std::string& text) {
  auto parsed = parseAmount(text);
  return parsed ? *parsed : 0;
}

// The amount an entry brings to the stage that reports its residual: a sale net of its fees.
__int128 baseAmount(const Entry& entry) {
  __int128 amount = cents(entry.cents);
  if (entry.role != SourceRole::Sales) return amount;
  for (const EntryComponent& component : entry.components) {
    if (component.kind != EntryComponentKind::Fee) continue;
    if (__builtin_add_overflow(amount, cents(component.cents), &amount)) return 0;
  }
  return amount;
}

// The manifest of the session input's first "start" frame.
std::optional<RunManifest> sessionManifest(std::string_view bytes) {
  const void* end = std::memchr(bytes.data(), '\n', bytes.size());
  std::string_view line =
      bytes.substr(0, end ? static_cast<const char*>(end) - bytes.data() : bytes.size());
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto read = readJson(line);
  if (!read) return std::nullopt;
  const Json* kind = read->find("kind");
  const Json* manifest = read->find("manifest");
  if (kind == nullptr || !kind->isString() || kind->asString() != "start" || manifest == nullptr) {
    return std::nullopt;
  }
  auto decoded = decodeRunManifest(*manifest);
  if (!decoded) return std::nullopt;
  return std::move(decoded).value();
}

// Verifies one run's output, then runs its session input again with a review record.
PeriodRun examineRun(PeriodRunFiles files) {
  PeriodRun run;
  run.runId = files.runId;
  run.plannedEntries = files.plannedEntries;
  if (files.session) run.input = readSessionEntries(*files.session);
  if (!files.session) {
    run.state = RunState::Missing;
    run.problem = "its session input cannot be read: " + files.sessionProblem;
    return run;
  }
  if (!files.output) {
    run.state = RunState::Missing;
    run.problem = files.outputProblem.empty() ? "it has no output: not run yet"
                                              : "its output cannot be read: " + files.outputProblem;
    return run;
  }
  ReassembledOutput output = reassembleOutput(*files.output, files.outputMoreBeyond);
  run.pages = output.pagesRead;
  run.commitment = output.claimedCommitment;
  if (output.outcome == OutputOutcome::Failed) {
    run.state = RunState::Failed;
    run.problem = "the session ended with \"failed\", code " + output.failedCode.value_or("");
    return run;
  }
  if (!output.verified()) {
    run.state = RunState::NotVerified;
    run.problem = "its output does not verify: " + output.problem;
    return run;
  }
  if (files.markerExpected && !files.marker) {
    run.state = RunState::Unfinished;
    run.problem = "its output has no completion marker (outputs/" + run.runId +
                  ".json): the runner did not finish it";
    return run;
  }
  std::optional<RunManifest> manifest = sessionManifest(*files.session);
  if (!manifest) {
    run.state = RunState::ForeignInput;
    run.problem = "its session input does not begin with a readable \"start\" frame";
    return run;
  }
  std::vector<Entry> entries;
  entries.reserve(run.input.entries.size());
  for (const auto& [id, entry] : run.input.entries) entries.push_back(entry);
  const std::atomic<bool> cancel{false};
  EngineReview review;
  auto result = runEngineWithReview(entries, *manifest, cancel, kSessionEngineLimits, review);
  std::optional<std::string> recomputed;
  if (result) {
    if (auto commitment = commitResult(*result)) recomputed = std::move(commitment).value();
  }
  if (!recomputed || recomputed != output.commitment || run.input.entriesUnreadable > 0 ||
      run.input.entriesRepeated > 0) {
    run.state = RunState::ForeignInput;
    run.problem =
        "its session input does not give its output (the commitment recomputed from "
        "the input is " +
        recomputed.value_or(result ? "not computable" : "none: the run fails") + ", the output's " +
        output.commitment.value_or("") + ")";
    return run;
  }
  run.state = RunState::Reconciled;
  run.result = std::move(result).value();
  run.review = std::move(review);
  return run;
}

void readPlan(const std::string& bytes, PeriodReport& report) {
  auto plan = readJson(bytes);
  if (!plan || !plan->isObject()) {
    report.problems.push_back("plan.json is not a JSON object");
    return;
  }
  if (const Json* period = plan->find("period"); period != nullptr && period->isObject()) {
    const Json* from = period->find("from");
    const Json* to = period->find("to");
    if (from != nullptr && from->isString()) report.periodFrom = from->asString();
    if (to != nullptr && to->isString()) report.periodTo = to->asString();
  }
  if (const Json* cells = plan->find("slicedCells"); cells != nullptr && cells->isArray()) {
    report.slicedCells = *cells;
  }
  if (const Json* lone = plan->find("unplannable"); lone != nullptr && lone->isArray()) {
    if (!lone->asArray().empty()) {
      size_t entries = 0;
      for (const Json& bundle : lone->asArray()) {
        const Json* listed = bundle.isObject() ? bundle.find("entries") : nullptr;
        if (listed != nullptr && listed->isArray()) entries += listed->asArray().size();
      }
      report.notes.push_back(std::to_string(entries) + " entries of the books (in " +
                             std::to_string(lone->asArray().size()) +
                             " bundles) no run can take with all their counterparts: they were "
                             "planned cut by role (plan.json, unplannable)");
    }
    report.unplannable = *lone;
  }
}

// Adds `amount` to the tally's field, remembering an overflow.
void add(Amount& field, __int128 amount) {
  field.add(amount);
}

void sumUp(PeriodReport& report) {
  PeriodFigures& figures = report.figures;
  for (size_t r = 0; r < report.runs.size(); ++r) {
    const PeriodRun& run = report.runs[r];
    if (run.state != RunState::Reconciled) continue;
    const ReconciliationResult& result = *run.result;
    // What the allocations took from each entry (in the stage that reports its residual), the
    // sales-settlement allocations of each settlement line, and the bank lines named in erp-bank.
    std::map<std::string_view, __int128> allocated;
    std::map<std::string_view, __int128> againstSales;
    std::set<std::string_view> bankInErpBank;
    for (const Allocation& allocation : result.allocations) {
      const __int128 amount = cents(allocation.cents);
      const Entry* left = findRunEntry(run, allocation.leftId);
      const Entry* right = findRunEntry(run, allocation.rightId);
      Tally& stage = figures.stages[static_cast<size_t>(allocation.stage)];
      ++stage.allocations;
      add(stage.matched, amount);
      ++figures.total.allocations;
      add(figures.total.matched, amount);
      Tally& store = figures.stores[countingStore(left, right)];
      ++store.allocations;
      add(store.matched, amount);
      if (left != nullptr && right != nullptr && left->establishment != right->establishment) {
        ++store.crossStore;
        ++figures.total.crossStore;
      }
      if (left != nullptr) {
        Tally& day = figures.days[left->date];
        ++day.allocations;
        add(day.matched, amount);
      }
      if (allocation.stage == AllocationStage::ErpBank) bankInErpBank.insert(allocation.rightId);
      if (allocation.stage == AllocationStage::SalesSettlement) {
        againstSales[allocation.rightId] += amount;
        allocated[allocation.leftId] += amount;  // the sale
      } else {
        // erp-bank takes from the ERP line, settlement-bank from the settlement line's bank side;
        // either takes from the bank line.
        allocated[allocation.leftId] += amount;
        allocated[allocation.rightId] += amount;
      }
    }
    for (const HeldCandidate& held : run.review.held) {
      if (held.stage != AllocationStage::ErpBank) continue;
      for (const ReviewedProposal& proposal : held.proposals) {
        bankInErpBank.insert(proposal.rightId);
      }
    }
    std::map<std::string_view, std::vector<size_t>> heldNaming;
    for (size_t h = 0; h < run.review.held.size(); ++h) {
      for (const ReviewedProposal& proposal : run.review.held[h].proposals) {
        for (const std::string* id : {&proposal.leftId, &proposal.rightId}) {
          auto& list = heldNaming[*id];
          if (list.empty() || list.back() != h) list.push_back(h);
        }
      }
    }
    std::map<std::string_view, uint8_t> lone;
    for (const LoneEntry& entry : run.review.lone) lone[entry.id] = entry.reasons;

    for (const auto& [id, entry] : run.input.entries) {
      auto residualText = result.residuals.find(id);
      const __int128 residual =
          residualText != result.residuals.end() ? cents(residualText->second) : __int128{0};
      const __int128 base = baseAmount(entry);
      auto took = allocated.find(id);
      const __int128 taken = took != allocated.end() ? took->second : 0;
      const AllocationStage stage = residualStage(entry.role, bankInErpBank.count(id) > 0);
      for (Tally* tally : {&figures.accounts[entry.accountId], &figures.stores[entry.establishment],
                           &figures.total}) {
        ++tally->entries;
        add(tally->amount, base);
        add(tally->allocated, taken);
        add(tally->open, residual);
        if (residual != 0) ++tally->openEntries;
      }
      Tally& stageTally = figures.stages[static_cast<size_t>(stage)];
      ++stageTally.entries;
      add(stageTally.amount, base);
      add(stageTally.allocated, taken);
      add(stageTally.open, residual);
      if (residual != 0) {
        ++stageTally.openEntries;
        Tally& accountStage = figures.accountStages[{entry.accountId, static_cast<size_t>(stage)}];
        ++accountStage.openEntries;
        add(accountStage.open, residual);
        Tally& day = figures.days[entry.date];
        ++day.openEntries;
        add(day.open, residual);
      }
      if (entry.role == SourceRole::Settlement) {
        auto sales = againstSales.find(id);
        __int128 open = cents(entry.cents);
        if (sales != againstSales.end()) open -= sales->second;
        Tally& settlement = figures.settlementAgainstSales;
        ++settlement.entries;
        add(settlement.amount, cents(entry.cents));
        if (sales != againstSales.end()) add(settlement.allocated, sales->second);
        add(settlement.open, open);
        if (open != 0) {
          ++settlement.openEntries;
          report.settlementsOpen.push_back(SettlementOpen{r, &entry, open});
        }
      }
      for (const EntryComponent& component : entry.components) {
        Tally& fee = figures.fees[{entry.establishment, std::string(toText(component.kind))}];
        ++fee.entries;
        add(fee.amount, cents(component.cents));
      }

      OpenEntry open;
      open.run = r;
      open.entry = &entry;
      open.residual = residual;
      open.stage = stage;
      if (auto naming = heldNaming.find(id); naming != heldNaming.end()) open.held = naming->second;
      if (auto reasons = lone.find(id); reasons != lone.end()) open.loneReasons = reasons->second;
      if (open.neverCandidate()) {
        ++figures.neverCandidates.entries;
        add(figures.neverCandidates.amount, base);
        add(figures.neverCandidates.open, residual);
        if (residual != 0) ++figures.neverCandidates.openEntries;
      }
      if (residual != 0) report.open.push_back(std::move(open));
    }
  }
}

}  // namespace

PeriodReport buildPeriodReport(PeriodFiles files) {
  PeriodReport report;
  report.source = files.source;
  if (files.plan) readPlan(*files.plan, report);
  for (PeriodRunFiles& run : files.runs) report.runs.push_back(examineRun(std::move(run)));

  // Completeness: every run reconciled, every entry in exactly one of them, as many as planned.
  std::map<std::string_view, size_t> runOf;
  for (size_t r = 0; r < report.runs.size(); ++r) {
    PeriodRun& run = report.runs[r];
    if (run.state != RunState::Reconciled) {
      report.problems.push_back("run " + run.runId + " is " + std::string(toText(run.state)) +
                                ": " + run.problem);
      continue;
    }
    report.reconciledEntries += run.input.entries.size();
    if (run.plannedEntries && *run.plannedEntries != run.input.entries.size()) {
      report.problems.push_back(
          "run " + run.runId + " holds " + std::to_string(run.input.entries.size()) +
          " entries; the plan gives it " + std::to_string(*run.plannedEntries));
    }
    for (const auto& [id, entry] : run.input.entries) {
      auto [at, inserted] = runOf.emplace(id, r);
      if (!inserted) {
        report.problems.push_back("entry " + id + " stands in runs " +
                                  report.runs[at->second].runId + " and " + run.runId);
      }
    }
  }
  for (const PeriodRun& run : report.runs) {
    report.plannedEntries += run.plannedEntries.value_or(run.input.entries.size());
  }
  if (report.runs.empty()) report.problems.push_back("the plan has no runs");
  report.finished = report.problems.empty();
  sumUp(report);
  return report;
}

std::string periodText(const PeriodReport& report) {
  std::string out;
  size_t reconciled = 0;
  for (const PeriodRun& run : report.runs) reconciled += run.state == RunState::Reconciled;
  out += report.finished ? "Close finished: every run reconciled and verified.\n"
                         : "Close NOT finished:\n";
  for (const std::string& problem : report.problems) out += "  " + problem + "\n";
  for (const std::string& note : report.notes) out += "  note: " + note + "\n";
  out += "  source     " + report.source + "\n";
  if (report.periodFrom)
    out += "  period     " + *report.periodFrom + " to " + report.periodTo.value_or("") + "\n";
  out += "  runs       " + std::to_string(reconciled) + " of " +
         std::to_string(report.runs.size()) + " reconciled\n";
  out += "  entries    " + std::to_string(report.reconciledEntries) + " of " +
         std::to_string(report.plannedEntries) + " planned\n";
  const PeriodFigures& figures = report.figures;
  size_t held = 0;
  for (const PeriodRun& run : report.runs) held += run.review.held.size();
  out +=
      "\nStage              Allocations               Matched  Open entries                  "
      "Open\n";
  for (size_t i = 0; i < 3; ++i) {
    const Tally& stage = figures.stages[i];
    std::string line(toText(stageAt(i)));
    line.resize(18, ' ');
    auto right = [&line](std::string text, size_t width) {
      line += std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
    };
    right(std::to_string(stage.allocations), 12);
    right(formatCurrency(stage.matched), 22);
    right(std::to_string(stage.openEntries), 14);
    right(formatCurrency(stage.open), 22);
    out += line + "\n";
  }
  out += "\nReview worklist: " + std::to_string(held) + " held candidates\n";
  out += "Open entries: " + std::to_string(report.open.size()) + ", of which " +
         std::to_string(figures.neverCandidates.openEntries) + " can never be candidates\n";
  return out;
}

}  // namespace tw::tool
