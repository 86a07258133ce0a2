// tallywarden check FILE|- [--json] [--all]: what the worker would do with a session input.
//
// A run that fails on a bound is costed again with the engine's costing mode, so that the
// bound's true figure is given rather than the point where the engine stopped counting; with
// --all, every cell of the session that passes a bound is listed with its figures.
#include <algorithm>
#include <atomic>
#include <ostream>
#include <string>

#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "engine/costing.h"
#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/replay.h"

namespace tw::tool {

namespace {

constexpr std::string_view kCheckUsage = "usage: tallywarden check FILE|- [--json] [--all]";

// A reference or composition cell that passes a bound, with its figures.
struct CellPastBound {
  const CellCost* cell;
  std::string accountId;
  std::string key;
};

bool pastBound(const CellCost& cell) {
  if (cell.pass == MatchPass::Synthetic) return false;
  const EngineLimits& limits = kSessionEngineLimits;
  return cell.pastCap || std::max(cell.lefts.size(), cell.rights.size()) > limits.maxCellSide ||
         cell.pairs > limits.maxCellWork || cell.steps > limits.maxCellWork;
}

std::string stepsText(const CellCost& cell) {
  return cell.pastCap ? "more than " + std::to_string(cell.steps) : std::to_string(cell.steps);
}

// The true figure of the bound a failed run stopped at, from the costing of its entries.
void trueFigure(EngineFailure& failure, const RunCost& cost,
                const std::vector<CellPastBound>& cells, bool& pastCap) {
  switch (failure.bound) {
    case EngineBound::Groups:
      failure.reached = cost.groups;
      return;
    case EngineBound::Proposals:
      failure.reached = cost.proposals;
      return;
    case EngineBound::Origins:
      for (const BoundFigure& figure : cost.figures(kSessionEngineLimits)) {
        if (figure.bound == EngineBound::Origins) failure.reached = figure.figure;
      }
      return;
    case EngineBound::CellSide:
    case EngineBound::CellPairs:
    case EngineBound::CellSteps:
      break;
    default:
      return;
  }
  if (!failure.cell) return;
  for (const CellPastBound& item : cells) {
    const CellCost& cell = *item.cell;
    if (cell.stage != failure.cell->stage || cell.pass != failure.cell->pass ||
        item.accountId != failure.cell->accountId || item.key != failure.cell->key) {
      continue;
    }
    if (failure.bound == EngineBound::CellSide) {
      failure.reached = std::max(cell.lefts.size(), cell.rights.size());
    } else if (failure.bound == EngineBound::CellPairs) {
      failure.reached = cell.pairs;
    } else {
      failure.reached = cell.steps;
      pastCap = cell.pastCap;
    }
  }
}

std::string cellsText(const std::vector<CellPastBound>& cells) {
  std::string text = "cells past a bound: " + std::to_string(cells.size()) + "\n";
  for (const CellPastBound& item : cells) {
    const CellCost& cell = *item.cell;
    text += "  stage " + std::string(toText(cell.stage)) + ", " + std::string(toText(cell.pass)) +
            " pass, account " + item.accountId +
            (cell.pass == MatchPass::Reference ? ", reference " : ", day ") + item.key + ": " +
            std::to_string(cell.lefts.size()) + " left, " + std::to_string(cell.rights.size()) +
            " right, " + std::to_string(cell.pairs) + " pairs";
    if (cell.pass == MatchPass::Composition) text += ", " + stepsText(cell) + " search steps";
    text += "\n";
  }
  return text;
}

Json cellsJson(const std::vector<CellPastBound>& cells) {
  JsonArray array;
  for (const CellPastBound& item : cells) {
    const CellCost& cell = *item.cell;
    array.emplace_back(makeObject({{"stage", Json(toText(cell.stage))},
                                   {"pass", Json(toText(cell.pass))},
                                   {"accountId", Json(item.accountId)},
                                   {"key", Json(item.key)},
                                   {"leftSize", Json(uint64_t{cell.lefts.size()})},
                                   {"rightSize", Json(uint64_t{cell.rights.size()})},
                                   {"pairs", Json(cell.pairs)},
                                   {"steps", Json(cell.steps)},
                                   {"stepsPastCostingCap", Json(cell.pastCap)}}));
  }
  return Json(std::move(array));
}

}  // namespace

int runCheck(std::span<const std::string_view> args, Streams streams) {
  std::optional<std::string_view> path;
  bool json = false;
  bool all = false;
  for (const std::string_view arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg == "--all") {
      all = true;
    } else if (arg == "-h" || arg == "--help") {
      streams.out << kCheckUsage << "\n";
      return kExitPasses;
    } else if (arg.size() > 1 && arg[0] == '-') {
      streams.err << "tallywarden check: unknown option '" << arg << "' (" << kCheckUsage << ")\n";
      return kExitCannotRun;
    } else if (path) {
      streams.err << "tallywarden check: one FILE only (" << kCheckUsage << ")\n";
      return kExitCannotRun;
    } else {
      path = arg;
    }
  }
  if (!path) {
    streams.err << "tallywarden check: no FILE given, - for standard input (" << kCheckUsage
                << ")\n";
    return kExitCannotRun;
  }
  std::string error;
  std::optional<InputFile> input = InputFile::open(*path, error);
  if (!input) {
    streams.err << "tallywarden check: " << error << "\n";
    return kExitCannotRun;
  }
  // The worker's line reader bounds each line, and the session's limits end the replay at the
  // first refused frame, so at most what the worker would read is read.
  Verdict verdict = replayFd(input->fd());

  // The engine's bounds, costed again when a run failed on one or every cell is wanted.
  const bool boundFailed = verdict.engine && verdict.engine->bound != EngineBound::None;
  std::optional<RunCost> cost;
  std::vector<CellPastBound> cells;
  bool stepsPastCap = false;
  if ((boundFailed || all) && !verdict.runEntries.empty()) {
    std::vector<const Entry*> entries;
    for (const Entry& entry : verdict.runEntries) entries.push_back(&entry);
    const std::atomic<bool> never{false};
    if (auto costed = costRun(entries, never)) cost = std::move(*costed);
  }
  if (cost) {
    for (const CellCost& cell : cost->cells) {
      if (!pastBound(cell)) continue;
      const Entry& first = verdict.runEntries[cell.lefts.front()];
      cells.push_back(CellPastBound{
          &cell, first.accountId,
          cell.pass == MatchPass::Reference ? first.reference.value_or("") : first.date});
    }
    if (boundFailed) trueFigure(*verdict.engine, *cost, cells, stepsPastCap);
  }

  if (json) {
    std::string text = verdictJson(verdict);
    if (all) {
      auto value = readJson(text);
      if (value && value->isObject()) {
        JsonObject object = value->asObject();
        object["cellsPastBounds"] = cost ? cellsJson(cells) : Json(nullptr);
        text = toCompactJson(Json(std::move(object))) + "\n";
      }
    }
    streams.out << text;
  } else {
    streams.out << verdictText(verdict);
    if (stepsPastCap) {
      streams.out << "  (the search steps were counted up to " << kCostingStepCap
                  << "; the true figure is higher)\n";
    }
    if (all) {
      if (cost) {
        streams.out << cellsText(cells);
      } else {
        streams.out << "cells past a bound: not costed (the run did not start)\n";
      }
    }
  }
  return verdict.outcome == Outcome::Completed ? kExitPasses : kExitFails;
}

}  // namespace tw::tool
