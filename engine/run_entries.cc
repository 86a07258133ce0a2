#include "engine/run_entries.h"

#include <algorithm>
#include <cassert>
#include <functional>
#include <optional>
#include <string_view>

#include "contracts/formats.h"
#include "engine/text_order.h"

namespace tw {
namespace {

// Gives each distinct text its rank among the distinct texts in text order. An open-addressing
// table only gathers the distinct texts (its layout never shows); the ranks come from sorting
// them. Texts are held as sort keys, so that texts no longer than the key's prefix are hashed,
// compared and sorted as integers.
class TextRanks {
 public:
  // `mostlyRepeated`: the texts repeat many times over (one root, few accounts and days), so
  // the last text seen is tried before the table. `expectedTexts` sizes the table up front.
  TextRanks(bool mostlyRepeated, size_t expectedTexts) : tryLast_(mostlyRepeated) {
    keys_.reserve(expectedTexts);
    hashes_.reserve(expectedTexts);
    size_t slots = kInitialSlots;
    while (slots < 2 * expectedTexts) slots *= 2;
    slots_.assign(slots, kEmpty);
    mask_ = slots - 1;
  }

  uint32_t provisional(std::string_view text) {
    const TextSortKey key(text);
    if (tryLast_ && lastId_ != kEmpty && compare(keys_[lastId_], key) == 0) return lastId_;
    if ((keys_.size() + 1) * 2 > slots_.size()) grow();
    const uint64_t hash = hashOf(key);
    for (size_t slot = hash & mask_;; slot = (slot + 1) & mask_) {
      const uint32_t id = slots_[slot];
      if (id == kEmpty) {
        const auto added = static_cast<uint32_t>(keys_.size());
        slots_[slot] = added;
        keys_.push_back(key);
        hashes_.push_back(hash);
        lastId_ = added;
        return added;
      }
      if (hashes_[id] == hash && compare(keys_[id], key) == 0) {
        lastId_ = id;
        return id;
      }
    }
  }

  // Provisional id to final rank.
  std::vector<uint32_t> ranks() const {
    std::vector<uint32_t> order(keys_.size());
    for (uint32_t id = 0; id < order.size(); ++id) order[id] = id;
    // The texts are distinct, so no two keys compare equal.
    std::sort(order.begin(), order.end(),
              [this](uint32_t a, uint32_t b) { return compare(keys_[a], keys_[b]) < 0; });
    std::vector<uint32_t> rank(keys_.size());
    for (uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
    return rank;
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr size_t kInitialSlots = 16;

  // The prefix words and the length; the bytes past the prefix too, for longer texts, so that
  // long texts sharing a prefix still spread over the table.
  static uint64_t hashOf(const TextSortKey& key) {
    uint64_t hash = key.text.size();
    for (const uint64_t word : key.prefix) {
      hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
      hash ^= hash >> 29;
    }
    if (key.text.size() > TextSortKey::kPrefixBytes) {
      hash ^= std::hash<std::string_view>{}(key.text.substr(TextSortKey::kPrefixBytes));
    }
    hash *= 0xBF58476D1CE4E5B9ULL;
    return hash ^ (hash >> 31);
  }

  void grow() {
    const size_t size = slots_.size() * 2;
    slots_.assign(size, kEmpty);
    mask_ = size - 1;
    for (uint32_t id = 0; id < keys_.size(); ++id) {
      size_t slot = hashes_[id] & mask_;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask_;
      slots_[slot] = id;
    }
  }

  std::vector<uint32_t> slots_;  // power-of-two size, at most half full
  size_t mask_ = 0;
  std::vector<TextSortKey> keys_;
  std::vector<uint64_t> hashes_;
  bool tryLast_;
  uint32_t lastId_ = kEmpty;
};

struct IdKey {
  TextSortKey id;
  uint32_t pos;
};

}  // namespace

IdentifierOrder orderByIdentifier(const std::vector<Entry>& entries) {
  std::vector<IdKey> keys(entries.size());
  bool ascending = true;
  for (uint32_t pos = 0; pos < keys.size(); ++pos) {
    keys[pos] = IdKey{TextSortKey(entries[pos].id), pos};
    if (pos > 0 && compare(keys[pos].id, keys[pos - 1].id) < 0) ascending = false;
  }
  // Ties by position give the order a stable sort would.
  if (!ascending) {
    std::sort(keys.begin(), keys.end(), [](const IdKey& a, const IdKey& b) {
      const int c = compare(a.id, b.id);
      return c != 0 ? c < 0 : a.pos < b.pos;
    });
  }
  IdentifierOrder order;
  order.positions.resize(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    order.positions[i] = keys[i].pos;
    // Within a run of equal identifiers positions ascend, so each later member repeats the
    // first.
    if (i > 0 && compare(keys[i].id, keys[i - 1].id) == 0 &&
        (!order.firstRepeat || keys[i].pos < *order.firstRepeat)) {
      order.firstRepeat = keys[i].pos;
    }
  }
  return order;
}

struct RunEntries::Builder::State {
  explicit State(size_t entryCount)
      : failure(entryCount),
        roots(true, 0),
        accounts(true, 0),
        dates(true, 0),
        references(false, entryCount) {
    facts.resize(entryCount);
  }

  std::vector<RunEntry> facts;  // by input position
  uint32_t nextPos = 0;
  // Per input position: the code of the entry's first amount text that does not convert.
  std::vector<std::optional<ContractError>> failure;
  TextRanks roots, accounts, dates, references;
  // Provisional id to final rank, per table, once every entry has been added.
  struct Ranks {
    std::vector<uint32_t> roots, accounts, dates, references;
  };
  std::optional<Ranks> ranks;
};

RunEntries::Builder::Builder(size_t entryCount) : state_(std::make_unique<State>(entryCount)) {}

RunEntries::Builder::~Builder() = default;

void RunEntries::Builder::add(const Entry& entry) {
  State& state = *state_;
  assert(state.nextPos < state.facts.size());
  const uint32_t input = state.nextPos++;
  RunEntry& facts = state.facts[input];
  facts.entry = &entry;
  facts.id = entry.id;
  facts.role = entry.role;
  facts.hasReference = entry.reference.has_value();
  facts.rootRank = state.roots.provisional(entry.root);
  facts.accountRank = state.accounts.provisional(entry.accountId);
  facts.dateRank = state.dates.provisional(entry.date);
  if (facts.hasReference) facts.referenceRank = state.references.provisional(*entry.reference);

  // A failed conversion is kept, not reported: the list reports the first one in identifier
  // order. Within an entry the cents come first, then its fee components in order.
  auto keepFailure = [&state, input](ContractError code) { state.failure[input] = code; };
  auto cents = parseAmount(entry.cents);
  if (!cents) return keepFailure(cents.error());
  facts.cents = *cents;
  if (entry.role == SourceRole::Sales) {
    facts.passesSalesFilter = !entry.components.empty();
    facts.salesNet = facts.cents;
    for (const EntryComponent& component : entry.components) {
      if (component.kind != EntryComponentKind::Fee) {
        facts.passesSalesFilter = false;
        continue;
      }
      auto fee = parseAmount(component.cents);
      if (!fee) return keepFailure(fee.error());
      if (!facts.salesNetOverflows &&
          __builtin_add_overflow(facts.salesNet, *fee, &facts.salesNet)) {
        facts.salesNetOverflows = true;
      }
    }
  }
}

void RunEntries::Builder::rankTexts() {
  State& state = *state_;
  assert(state.nextPos == state.facts.size());
  if (state.ranks) return;
  // Ranks of texts that only left-out entries have leave gaps, which change no comparison.
  state.ranks.emplace(State::Ranks{state.roots.ranks(), state.accounts.ranks(), state.dates.ranks(),
                                   state.references.ranks()});
}

Result<RunEntries, EngineError> RunEntries::Builder::finish(std::span<const uint32_t> order) {
  State& state = *state_;
  assert(state.nextPos == state.facts.size());
  for (const uint32_t input : order) {
    if (const std::optional<ContractError> failure = state.failure[input]) {
      return fail(fromContract(*failure));
    }
  }
  rankTexts();
  const auto& [rootRanks, accountRanks, dateRanks, referenceRanks] = *state.ranks;
  RunEntries list;
  list.entries_.resize(order.size());
  for (EntryPos pos = 0; pos < order.size(); ++pos) {
    RunEntry& facts = list.entries_[pos];
    facts = state.facts[order[pos]];
    // A role outside the enumeration (which the entry contract check refuses) takes no part.
    if (const auto role = static_cast<size_t>(facts.role); role < kRoleCount) {
      list.byRole_[role].push_back(pos);
    }
    facts.rootRank = rootRanks[facts.rootRank];
    facts.accountRank = accountRanks[facts.accountRank];
    facts.dateRank = dateRanks[facts.dateRank];
    if (facts.hasReference) facts.referenceRank = referenceRanks[facts.referenceRank];
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
  const auto it =
      std::lower_bound(entries_.begin(), entries_.end(), id,
                       [](const RunEntry& facts, std::string_view key) { return facts.id < key; });
  if (it == entries_.end() || it->id != id) return std::nullopt;
  return static_cast<EntryPos>(it - entries_.begin());
}

}  // namespace tw
