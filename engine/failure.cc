#include "engine/failure.h"

#include "engine/run_entries.h"

namespace tw {

std::string_view toText(EngineBound bound) {
  switch (bound) {
    case EngineBound::None:
      return "none";
    case EngineBound::Entries:
      return "entries";
    case EngineBound::CellSide:
      return "cell-side";
    case EngineBound::CellPairs:
      return "cell-pairs";
    case EngineBound::CellSteps:
      return "cell-steps";
    case EngineBound::Groups:
      return "groups";
    case EngineBound::Proposals:
      return "proposals";
    case EngineBound::Origins:
      return "origins";
  }
  return "none";
}

std::string_view toText(MatchPass pass) {
  switch (pass) {
    case MatchPass::Reference:
      return "reference";
    case MatchPass::Composition:
      return "composition";
    case MatchPass::Synthetic:
      return "synthetic";
  }
  return "reference";
}

EngineError noteAmountFailure(EngineFailure* failure, EngineError code, const RunEntries& entries,
                              EntryPos pos) {
  if (failure != nullptr && pos < entries.size()) {
    failure->entryIds = {std::string(entries.id(pos))};
    failure->rule = code == EngineError::AmountOverflow
                        ? "the entry's cents plus its fee components overflow"
                        : "the entry's amount does not convert";
  }
  return code;
}

}  // namespace tw
