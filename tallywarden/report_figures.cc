#include "tallywarden/report_figures.h"

#include <cstdint>
#include <string_view>

#include "contracts/formats.h"

namespace tw::tool {

std::string formatCurrency(__int128 cents) {
  std::string digits = formatAmount(cents);
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.erase(0, 1);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  const std::string_view whole(digits.data(), digits.size() - 2);
  std::string out = negative ? "-" : "";
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) out += ',';
    out += whole[i];
  }
  out += '.';
  out.append(digits, digits.size() - 2, 2);
  return out;
}

std::string formatCurrency(const Amount& amount) {
  return amount.overflow ? "(overflow)" : formatCurrency(amount.value);
}

namespace {

constexpr uint8_t kErp = 1, kSales = 2, kSettlement = 4, kBank = 8, kBankInErpBank = 16;

__int128 cents(const std::string& text) {
  auto parsed = parseAmount(text);
  return parsed ? *parsed : 0;
}

uint8_t roleFlag(SourceRole role) {
  switch (role) {
    case SourceRole::Erp:
      return kErp;
    case SourceRole::Sales:
      return kSales;
    case SourceRole::Settlement:
      return kSettlement;
    case SourceRole::Bank:
      return kBank;
  }
  return 0;
}

// The stage that reports an entry's residual, from what is known of it; -1 when nothing is.
int residualStage(uint8_t flags) {
  if (flags & kErp) return static_cast<int>(AllocationStage::ErpBank);
  if (flags & kSales) return static_cast<int>(AllocationStage::SalesSettlement);
  if (flags & kSettlement) return static_cast<int>(AllocationStage::SettlementBank);
  if (flags & kBank) {
    return static_cast<int>((flags & kBankInErpBank) ? AllocationStage::ErpBank
                                                     : AllocationStage::SettlementBank);
  }
  return -1;
}

}  // namespace

ReportFigures computeFigures(const ReconciliationResult& result, const SessionEntries* input) {
  ReportFigures figures;
  // What the allocations tell about the entries they name (views into `result`).
  std::map<std::string_view, uint8_t> named;
  for (const Allocation& allocation : result.allocations) {
    const __int128 amount = cents(allocation.cents);
    StageFigures& stage = figures.stages[static_cast<size_t>(allocation.stage)];
    ++stage.allocations;
    stage.matched.add(amount);
    uint8_t& left = named[allocation.leftId];
    uint8_t& right = named[allocation.rightId];
    switch (allocation.stage) {
      case AllocationStage::ErpBank:
        left |= kErp;
        right |= kBank | kBankInErpBank;
        break;
      case AllocationStage::SalesSettlement:
        left |= kSales;
        right |= kSettlement;
        break;
      case AllocationStage::SettlementBank:
        left |= kSettlement;
        right |= kBank;
        break;
    }
    if (input != nullptr) {
      auto entry = input->entries.find(allocation.leftId);
      if (entry != input->entries.end()) figures.days[entry->second.date].matched.add(amount);
    }
  }

  for (const auto& [id, text] : result.residuals) {
    const __int128 amount = cents(text);
    ++figures.residuals;
    figures.residualNet.add(amount);
    (amount > 0 ? figures.residualPositive : figures.residualNegative).add(amount);
    const Entry* entry = nullptr;
    if (input != nullptr) {
      auto found = input->entries.find(id);
      if (found != input->entries.end()) {
        entry = &found->second;
      } else {
        ++figures.idsNotInInput;
      }
    }
    if (amount == 0) continue;
    // The magnitude of the most negative amount does not fit; it counts as an overflow.
    Amount open;
    if (amount > 0) {
      open.value = amount;
    } else {
      open.overflow = __builtin_sub_overflow(__int128{0}, amount, &open.value);
    }

    auto flags = named.find(id);
    uint8_t known = flags != named.end() ? flags->second : uint8_t{0};
    if (entry != nullptr) known = (known & kBankInErpBank) | roleFlag(entry->role);
    const int stage = residualStage(known);
    if (stage < 0) {
      ++figures.openUnplaced;
      figures.openUnplacedAmount.add(open);
    } else {
      ++figures.stages[static_cast<size_t>(stage)].openEntries;
      figures.stages[static_cast<size_t>(stage)].open.add(open);
    }
    if (entry != nullptr) figures.days[entry->date].open.add(open);
  }
  figures.pending = result.pendingIds.size();
  return figures;
}

}  // namespace tw::tool
