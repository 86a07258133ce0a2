#include "engine/run_entries.h"

#include <algorithm>

#include "contracts/formats.h"

namespace tw {

Result<RunEntries, EngineError> RunEntries::build(const EntryIndex& index) {
  RunEntries list;
  list.entries_.reserve(index.size());
  for (const auto& [id, entry] : index) {
    RunEntry facts;
    facts.entry = entry;
    facts.role = entry->role;
    facts.hasReference = entry->reference.has_value();
    auto cents = parseAmount(entry->cents);
    if (!cents) return fail(fromContract(cents.error()));
    facts.cents = *cents;
    if (entry->role == SourceRole::Sales) {
      facts.passesSalesFilter = !entry->components.empty();
      facts.salesNet = facts.cents;
      for (const EntryComponent& component : entry->components) {
        if (component.kind != EntryComponentKind::Fee) {
          facts.passesSalesFilter = false;
          continue;
        }
        auto fee = parseAmount(component.cents);
        if (!fee) return fail(fromContract(fee.error()));
        if (!facts.salesNetOverflows &&
            __builtin_add_overflow(facts.salesNet, *fee, &facts.salesNet)) {
          facts.salesNetOverflows = true;
        }
      }
    }
    list.entries_.push_back(facts);
  }
  return list;
}

Result<__int128, EngineError> RunEntries::stageAmount(EntryPos pos, AllocationStage stage) const {
  const RunEntry& facts = entries_[pos];
  if (facts.role != SourceRole::Sales || stage != AllocationStage::SalesSettlement) {
    return facts.cents;
  }
  if (facts.salesNetOverflows) return fail(EngineError::AmountOverflow);
  return facts.salesNet;
}

bool RunEntries::takesPart(EntryPos pos, AllocationStage stage) const {
  const RunEntry& facts = entries_[pos];
  return facts.role != SourceRole::Sales || stage != AllocationStage::SalesSettlement ||
         facts.passesSalesFilter;
}

std::optional<EntryPos> RunEntries::find(std::string_view id) const {
  const auto it = std::lower_bound(
      entries_.begin(), entries_.end(), id,
      [](const RunEntry& facts, std::string_view key) { return facts.entry->id < key; });
  if (it == entries_.end() || it->entry->id != id) return std::nullopt;
  return static_cast<EntryPos>(it - entries_.begin());
}

}  // namespace tw
