// The stage and role tables of a run, and the cancellation point.
//
// Stages are processed in the order erp-bank, sales-settlement, settlement-bank, which is also
// the text order of their names, so the enumeration's numeric order serves wherever stages are
// compared. A bank entry holds a balance in both of its stages; a settlement entry too.
#pragma once

#include <array>
#include <atomic>
#include <span>

#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/engine.h"

namespace tw {

inline constexpr std::array<AllocationStage, 3> kStageOrder = {
    AllocationStage::ErpBank, AllocationStage::SalesSettlement, AllocationStage::SettlementBank};

inline constexpr size_t kStageCount = kStageOrder.size();

inline constexpr size_t stageIndex(AllocationStage stage) {
  return static_cast<size_t>(stage);
}

struct StageRoles {
  SourceRole left;
  SourceRole right;
};

inline constexpr StageRoles stageRoles(AllocationStage stage) {
  switch (stage) {
    case AllocationStage::ErpBank:
      return {SourceRole::Erp, SourceRole::Bank};
    case AllocationStage::SalesSettlement:
      return {SourceRole::Sales, SourceRole::Settlement};
    case AllocationStage::SettlementBank:
      return {SourceRole::Settlement, SourceRole::Bank};
  }
  return {SourceRole::Erp, SourceRole::Bank};
}

// The stages in which an entry of `role` holds an open balance, in processing order.
inline std::span<const AllocationStage> stagesOfRole(SourceRole role) {
  static constexpr std::array<AllocationStage, 1> kErp = {AllocationStage::ErpBank};
  static constexpr std::array<AllocationStage, 1> kSales = {AllocationStage::SalesSettlement};
  static constexpr std::array<AllocationStage, 2> kSettlement = {AllocationStage::SalesSettlement,
                                                                 AllocationStage::SettlementBank};
  static constexpr std::array<AllocationStage, 2> kBank = {AllocationStage::ErpBank,
                                                           AllocationStage::SettlementBank};
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
  return {};
}

// Reads the shared cancel flag; the engine looks at it nowhere else.
inline Status<EngineError> cancellationPoint(const std::atomic<bool>& cancel) {
  if (cancel.load()) return fail(EngineError::Cancelled);
  return {};
}

}  // namespace tw
