// The run's entries after the checks: the entry list in ascending identifier order, with the
// facts matching needs computed once per entry.
//
// An entry is named inside the engine by its position in the entry list. Identifiers are unique
// and the list is in ascending identifier order, so comparing positions is comparing
// identifiers in text order.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"

namespace tw {

using EntryPos = uint32_t;

struct RunEntry {
  const Entry* entry = nullptr;
  std::string_view id;  // the entry's identifier, kept here so the list alone gives it
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

// The entries' input positions in ascending identifier order (text order), equal identifiers in
// input order, and the first input position whose identifier an earlier entry already has.
struct IdentifierOrder {
  std::vector<uint32_t> positions;
  std::optional<uint32_t> firstRepeat;
};

IdentifierOrder orderByIdentifier(const std::vector<Entry>& entries);

class RunEntries {
 public:
  // Gathers the facts of each entry in input order, while the entry is at hand, and puts them in
  // identifier order at the end, so that the list is made without reading the entries again.
  // The facts of an entry depend on no other entry's, so they can be gathered before the order
  // is known.
  class Builder {
   public:
    explicit Builder(size_t entryCount);
    ~Builder();
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // The entry at the next input position.
    void add(const Entry& entry);

    // Ranks the texts of all entries added; finish does it when it has not been done.
    // REQUIRES: every entry has been added.
    void rankTexts();

    // The list in identifier order. `order` lists input positions by ascending, unique
    // identifier; the entries at other positions are left out. An amount text that does not
    // convert is reported for the first such entry in identifier order, with its code.
    // REQUIRES: every entry has been added.
    Result<RunEntries, EngineError> finish(std::span<const uint32_t> order);

   private:
    struct State;
    std::unique_ptr<State> state_;
  };

  size_t size() const { return entries_.size(); }
  const RunEntry& operator[](EntryPos pos) const { return entries_[pos]; }
  const Entry& entry(EntryPos pos) const { return *entries_[pos].entry; }
  std::string_view id(EntryPos pos) const { return entries_[pos].id; }

  // The amount an entry brings to a stage: its cents; for a sales entry in sales-settlement,
  // its cents plus its fee components.
  Result<__int128, EngineError> stageAmount(EntryPos pos, AllocationStage stage) const;

  // False only for a sales entry that fails the sales filter in sales-settlement.
  bool takesPart(EntryPos pos, AllocationStage stage) const;

  // Position of an identifier, when the run has it.
  std::optional<EntryPos> find(std::string_view id) const;

  // The positions of the entries of one role, ascending.
  std::span<const EntryPos> positionsOfRole(SourceRole role) const {
    const auto index = static_cast<size_t>(role);
    return index < kRoleCount ? std::span<const EntryPos>(byRole_[index])
                              : std::span<const EntryPos>();
  }

 private:
  static constexpr size_t kRoleCount = 4;

  std::vector<RunEntry> entries_;
  std::array<std::vector<EntryPos>, kRoleCount> byRole_;
};

// Fills in `failure`, when given, for a stage amount of the entry at `pos` that failed with
// `code`, and returns the code.
EngineError noteAmountFailure(EngineFailure* failure, EngineError code, const RunEntries& entries,
                              EntryPos pos);

}  // namespace tw
