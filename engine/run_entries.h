// The run's entries after the checks: the EntryIndex (identifier to entry, in text order) and the
// entry list derived from it, with the facts matching needs computed once per entry.
//
// An entry is named inside the engine by its position in the entry list. Identifiers are unique
// and the list is in ascending identifier order, so comparing positions is comparing
// identifiers in text order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"

namespace tw {

// Identifier to entry, in text order. The entries themselves belong to the caller of runEngine.
using EntryIndex = std::map<std::string_view, const Entry*, std::less<>>;

using EntryPos = uint32_t;

struct RunEntry {
  const Entry* entry = nullptr;
  SourceRole role = SourceRole::Erp;
  bool hasReference = false;
  // Sales only: at least one component and all of them fees. Sales entries that fail it take
  // no part in the composition and synthetic passes, nor as a reference match.
  bool passesSalesFilter = false;
  // Sales only: cents plus fee components overflowed. Raised only where a stage amount of the
  // sales stage is actually needed, so the failure comes at the same point of the run.
  bool salesNetOverflows = false;
  __int128 cents = 0;
  __int128 salesNet = 0;  // sales only: cents plus fee components
  // Dense ranks of the entry's texts among all entries of the run, in text order, so that cell
  // keys made of ranks compare exactly as the keys made of the texts.
  uint32_t rootRank = 0;
  uint32_t accountRank = 0;
  uint32_t dateRank = 0;
  uint32_t referenceRank = 0;  // meaningful only with a reference
};

class RunEntries {
 public:
  // Builds the entry list from the index. The entries have passed their contract checks, so
  // their amount texts convert; a failed conversion is still reported with its code.
  static Result<RunEntries, EngineError> build(const EntryIndex& index);

  size_t size() const { return entries_.size(); }
  const RunEntry& operator[](EntryPos pos) const { return entries_[pos]; }
  const Entry& entry(EntryPos pos) const { return *entries_[pos].entry; }
  const std::string& id(EntryPos pos) const { return entries_[pos].entry->id; }

  // The amount an entry brings to a stage: its cents; for a sales entry in sales-settlement,
  // its cents plus its fee components.
  Result<__int128, EngineError> stageAmount(EntryPos pos, AllocationStage stage) const;

  // False only for a sales entry that fails the sales filter in sales-settlement.
  bool takesPart(EntryPos pos, AllocationStage stage) const;

  // Position of an identifier, when the run has it.
  std::optional<EntryPos> find(std::string_view id) const;

 private:
  std::vector<RunEntry> entries_;
};

}  // namespace tw
