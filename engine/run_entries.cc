#include "engine/run_entries.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "contracts/formats.h"

namespace tw {
namespace {

// Gives each distinct text its rank among the distinct texts in text order. The hash map only
// gathers the distinct texts; the ranks come from sorting them.
class TextRanks {
 public:
  uint32_t provisional(std::string_view text) {
    const auto [it, added] = ids_.try_emplace(text, static_cast<uint32_t>(texts_.size()));
    if (added) texts_.push_back(text);
    return it->second;
  }

  // Provisional id to final rank.
  std::vector<uint32_t> ranks() const {
    std::vector<uint32_t> order(texts_.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](uint32_t a, uint32_t b) { return texts_[a] < texts_[b]; });
    std::vector<uint32_t> rank(texts_.size());
    for (uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
    return rank;
  }

 private:
  std::unordered_map<std::string_view, uint32_t> ids_;
  std::vector<std::string_view> texts_;
};

void rankTexts(std::vector<RunEntry>& entries) {
  TextRanks roots, accounts, dates, references;
  for (RunEntry& facts : entries) {
    facts.rootRank = roots.provisional(facts.entry->root);
    facts.accountRank = accounts.provisional(facts.entry->accountId);
    facts.dateRank = dates.provisional(facts.entry->date);
    if (facts.hasReference) facts.referenceRank = references.provisional(*facts.entry->reference);
  }
  const auto rootRanks = roots.ranks();
  const auto accountRanks = accounts.ranks();
  const auto dateRanks = dates.ranks();
  const auto referenceRanks = references.ranks();
  for (RunEntry& facts : entries) {
    facts.rootRank = rootRanks[facts.rootRank];
    facts.accountRank = accountRanks[facts.accountRank];
    facts.dateRank = dateRanks[facts.dateRank];
    if (facts.hasReference) facts.referenceRank = referenceRanks[facts.referenceRank];
  }
}

}  // namespace

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
  rankTexts(list.entries_);
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
