// The verdict of a replay written for a person and for a program.
#include <string>

#include "contracts/formats.h"
#include "contracts/json_writer.h"
#include "tallywarden/replay.h"
#include "worker/frames.h"

namespace tw::tool {
namespace {

std::string codeText(const std::optional<SessionCode>& code) {
  return code ? std::string(sessionCodeText(*code)) : std::string("none");
}

std::string cellText(const FailureCell& cell) {
  return "stage " + std::string(toText(cell.stage)) + ", " + std::string(toText(cell.pass)) +
         " pass, root " + cell.root + ", account " + cell.accountId +
         (cell.pass == MatchPass::Reference ? ", reference " : ", day ") + cell.key + ": " +
         std::to_string(cell.leftSize) + " left and " + std::to_string(cell.rightSize) +
         " right entries";
}

std::string boundText(EngineBound bound) {
  switch (bound) {
    case EngineBound::Entries:
      return "entries in the run";
    case EngineBound::CellSide:
      return "entries on one side of a cell";
    case EngineBound::CellPairs:
      return "left x right pairs in a cell";
    case EngineBound::CellSteps:
      return "subset search steps in a composition cell";
    case EngineBound::Groups:
      return "match groups";
    case EngineBound::Proposals:
      return "proposals over all match groups";
    case EngineBound::Origins:
      return "distinct origins in one allocation";
    case EngineBound::None:
      break;
  }
  return "none";
}

std::string faultText(const RecordFault& fault) {
  std::string text = "  " + fault.member;
  if (fault.id) text += " (entry id " + quoteValue(Json(*fault.id)) + ")";
  text +=
      ": " + fault.detail.what + " [" + std::string(contractErrorName(fault.detail.code)) + "]\n";
  return text;
}

std::string engineText(const Verdict& verdict) {
  const EngineFailure& failure = *verdict.engine;
  std::string text = "  engine: " + std::string(engineErrorName(failure.code)) + "\n";
  if (failure.bound != EngineBound::None) {
    text += "  bound: " + boundText(failure.bound) + " (" + std::string(toText(failure.bound)) +
            "): reached " + std::to_string(failure.reached) + " against " +
            std::to_string(failure.limit) + "\n";
  }
  if (failure.cell) text += "  cell: " + cellText(*failure.cell) + "\n";
  if (!failure.rule.empty()) text += "  rule: " + failure.rule + "\n";
  if (verdict.engineEntryLine) {
    text += "  entry: line " + std::to_string(*verdict.engineEntryLine) + ", entries[" +
            std::to_string(*verdict.engineEntryIndex) + "]";
    if (!failure.entryIds.empty()) text += " (id " + quoteValue(Json(failure.entryIds[0])) + ")";
    text += "\n";
  } else if (!failure.entryIds.empty()) {
    text += "  entries:";
    constexpr size_t kShown = 12;
    for (size_t i = 0; i < failure.entryIds.size() && i < kShown; ++i) {
      text += " " + failure.entryIds[i];
    }
    if (failure.entryIds.size() > kShown) {
      text += " and " + std::to_string(failure.entryIds.size() - kShown) + " more";
    }
    text += "\n";
  }
  return text;
}

Json engineJson(const EngineFailure& failure) {
  JsonObject object;
  object["code"] = Json(std::string(engineErrorName(failure.code)));
  object["bound"] =
      failure.bound == EngineBound::None ? Json(nullptr) : Json(toText(failure.bound));
  object["reached"] = failure.bound == EngineBound::None ? Json(nullptr) : Json(failure.reached);
  object["limit"] = failure.bound == EngineBound::None ? Json(nullptr) : Json(failure.limit);
  if (failure.cell) {
    const FailureCell& cell = *failure.cell;
    object["cell"] = Json(makeObject({{"stage", Json(toText(cell.stage))},
                                      {"pass", Json(toText(cell.pass))},
                                      {"root", Json(cell.root)},
                                      {"accountId", Json(cell.accountId)},
                                      {"key", Json(cell.key)},
                                      {"leftSize", Json(uint64_t{cell.leftSize})},
                                      {"rightSize", Json(uint64_t{cell.rightSize})}}));
  } else {
    object["cell"] = Json(nullptr);
  }
  JsonArray ids;
  for (const std::string& id : failure.entryIds) ids.emplace_back(id);
  object["entryIds"] = Json(std::move(ids));
  object["rule"] = failure.rule.empty() ? Json(nullptr) : Json(failure.rule);
  return Json(std::move(object));
}

}  // namespace

std::string refusalText(const Verdict& verdict) {
  std::string text;
  if (verdict.line) text += "line " + std::to_string(*verdict.line) + ": ";
  text += codeText(verdict.code) + ": " + verdict.why + "\n";
  if (verdict.fault) text += faultText(*verdict.fault);
  if (verdict.engine) text += engineText(verdict);
  return text;
}

std::string verdictText(const Verdict& verdict) {
  std::string text;
  for (const FrameStep& step : verdict.steps) {
    text += "line " + std::to_string(step.line) + "  " +
            (step.kind.empty() ? std::string("(no kind)") : step.kind) + "  " +
            (step.refusedWith ? "refused " + codeText(step.refusedWith) : "accepted") +
            "  frames " + std::to_string(step.frames) + "/" + std::to_string(kMaxFramesPerSession) +
            ", bytes " + std::to_string(step.bytes) + "/" + std::to_string(kMaxSessionBytes) +
            ", entries " + std::to_string(step.entries) + "/" + std::to_string(kMaxHeldEntries) +
            "\n";
  }
  text += "outcome: " + std::string(toText(verdict.outcome));
  if (verdict.code) text += ", " + codeText(verdict.code);
  text += "\n";
  switch (verdict.outcome) {
    case Outcome::Completed: {
      text += "  " + verdict.why + "\n";
      if (verdict.summary) {
        const ResultSummary& summary = *verdict.summary;
        for (const auto& [stage, figures] : summary.stages) {
          text += "  " + stage + ": " + std::to_string(figures.allocations) + " allocations, " +
                  formatAmount(figures.cents) + " cents\n";
        }
        text += "  pending: " + std::to_string(summary.pending) + " entries\n";
        text += "  residuals: " + std::to_string(summary.residuals) + " entries, " +
                formatAmount(summary.residualTotal) + " cents in all\n";
        text += "  commitment: " + summary.commitment + "\n";
      }
      break;
    }
    case Outcome::Failed:
      text += "  the worker writes a \"failed\" message and exits with status 0\n";
      text += refusalText(verdict);
      break;
    case Outcome::Cancelled:
      text += "  line " + std::to_string(verdict.line.value_or(0)) + ": " + verdict.why + "\n";
      break;
    case Outcome::Refused:
      text += "  the worker writes nothing more and exits with status 1\n  ";
      text += refusalText(verdict);
      break;
  }
  if (verdict.timingDependent) {
    text +=
        "  note: the worker reads this line while its run goes on; this holds when the line "
        "is there before the run ends. Otherwise " +
        verdict.runWithoutLaterLines + "\n";
  }
  return text;
}

std::string verdictJson(const Verdict& verdict) {
  JsonObject object;
  object["outcome"] = Json(toText(verdict.outcome));
  object["code"] = verdict.code ? Json(sessionCodeText(*verdict.code)) : Json(nullptr);
  object["line"] = verdict.line ? Json(*verdict.line) : Json(nullptr);
  object["why"] = Json(verdict.why);
  Json entryIndex(nullptr);
  Json entryId(nullptr);
  Json member(nullptr);
  Json detail(nullptr);
  if (verdict.fault) {
    const RecordFault& fault = *verdict.fault;
    if (fault.index) entryIndex = Json(uint64_t{*fault.index});
    if (fault.id) entryId = Json(*fault.id);
    member = Json(fault.member);
    detail = Json(makeObject(
        {{"code", Json(contractErrorName(fault.detail.code))}, {"what", Json(fault.detail.what)}}));
  } else if (verdict.engine && verdict.engineEntryIndex) {
    entryIndex = Json(uint64_t{*verdict.engineEntryIndex});
    if (!verdict.engine->entryIds.empty()) entryId = Json(verdict.engine->entryIds[0]);
  }
  object["entryIndex"] = std::move(entryIndex);
  object["entryId"] = std::move(entryId);
  object["member"] = std::move(member);
  object["contract"] = std::move(detail);
  object["engine"] = verdict.engine ? engineJson(*verdict.engine) : Json(nullptr);
  const FrameStep last = verdict.steps.empty() ? FrameStep{} : verdict.steps.back();
  object["totals"] = Json(makeObject({{"frames", Json(last.frames)},
                                      {"bytes", Json(last.bytes)},
                                      {"entries", Json(uint64_t{last.entries})}}));
  if (verdict.summary) {
    JsonObject stages;
    for (const auto& [stage, figures] : verdict.summary->stages) {
      stages[stage] = Json(makeObject({{"allocations", Json(uint64_t{figures.allocations})},
                                       {"cents", Json(formatAmount(figures.cents))}}));
    }
    object["summary"] =
        Json(makeObject({{"stages", Json(std::move(stages))},
                         {"pending", Json(uint64_t{verdict.summary->pending})},
                         {"residuals", Json(uint64_t{verdict.summary->residuals})},
                         {"residualCents", Json(formatAmount(verdict.summary->residualTotal))},
                         {"pages", Json(verdict.summary->pages)},
                         {"resultCommitment", Json(verdict.summary->commitment)}}));
  } else {
    object["summary"] = Json(nullptr);
  }
  object["timingDependent"] = Json(verdict.timingDependent);
  return toCompactJson(Json(std::move(object))) + "\n";
}

}  // namespace tw::tool
