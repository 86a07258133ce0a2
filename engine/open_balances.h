// OpenBalances: the remaining signed cents of every entry in each stage of its role, keyed by
// (stage, entry). Set once per key when the run opens its balances; reduced only by allocations.
#pragma once

#include <array>
#include <vector>

#include "contracts/source.h"
#include "engine/run_entries.h"
#include "engine/stages.h"

namespace tw {

class OpenBalances {
 public:
  explicit OpenBalances(size_t entryCount) : slots_(entryCount) {}

  void set(AllocationStage stage, EntryPos pos, __int128 value) {
    slots_[pos][stageIndex(stage)] = Slot{value, true};
  }

  // The balance under (stage, entry), or nullptr when the entry holds none in that stage.
  __int128* find(AllocationStage stage, EntryPos pos) {
    if (pos >= slots_.size()) return nullptr;
    Slot& slot = slots_[pos][stageIndex(stage)];
    return slot.present ? &slot.value : nullptr;
  }
  const __int128* find(AllocationStage stage, EntryPos pos) const {
    return const_cast<OpenBalances*>(this)->find(stage, pos);
  }

 private:
  struct Slot {
    __int128 value = 0;
    bool present = false;
  };
  std::vector<std::array<Slot, kStageCount>> slots_;
};

}  // namespace tw
