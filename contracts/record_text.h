// Compact JSON text of result records, written straight from the records.
//
// Each function appends exactly the bytes that appendCompactJson(toJsonValue(record)) would
// append (members in name order, the one escaping rule of json_writer.h) without building the
// JSON value first. For a result that checkResultRecord accepts, appendCanonicalResult gives the
// bytes of canonicalJsonText(toJsonValue(result)): its only numbers, rows and the revision, are
// then non-negative integers of at most 2^53-1, which both writers print the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "contracts/source.h"

namespace tw {

void appendRecordJson(std::string& out, const Ref& ref);
void appendRecordJson(std::string& out, const Evidence& evidence);
void appendRecordJson(std::string& out, const Allocation& allocation);

// An allocation given by its parts rather than as a record, for a caller that keeps the texts
// elsewhere: appendAllocationJson writes exactly what appendRecordJson writes for the record
// with these members.
struct AllocationParts {
  AllocationStage stage = AllocationStage::ErpBank;
  std::string_view leftId;
  std::string_view rightId;
  std::string_view cents;
  std::span<const Ref* const> origins;
  std::span<const ReasonCode> reasonCodes;
  std::string_view ruleId;
};

void appendAllocationJson(std::string& out, const AllocationParts& allocation);

// The canonical text of a result, written part by part into `out`: the members in name order,
// with the items of each list given by the caller in the result's order. Each next... call
// writes what comes before the next item (the opening of its list and the close of the lists
// before it, or a comma) and returns `out`, for the caller to append the item's text: an
// allocation as appendRecordJson writes it, a pending identifier as appendJsonString writes it,
// a residual as its member text (identifier and amount, each as appendJsonString writes it,
// joined by ':'). `out` may be emptied between items. An item of an earlier list after one of a
// later list, or any item after finish, leaves the text not canonical, and inOrder() false.
class CanonicalResultWriter {
 public:
  explicit CanonicalResultWriter(std::string& out);

  std::string& nextAllocation() { return next(Part::Allocations); }
  std::string& nextPendingId() { return next(Part::PendingIds); }
  std::string& nextResidual() { return next(Part::Residuals); }
  void finish(uint64_t revision, std::string_view runId);
  bool inOrder() const { return inOrder_; }

 private:
  enum class Part : uint8_t { Allocations, PendingIds, Residuals, Done };
  std::string& next(Part part);
  void enter(Part part);

  std::string& out_;
  Part part_ = Part::Allocations;
  bool partEmpty_ = true;
  bool inOrder_ = true;
};

// Appends the canonical text of `result` to `out`, calling `drain(out)` whenever `out` holds at
// least `drainBytes` bytes; `drain` consumes the text and clears `out`, so that a caller hashing
// the text as it comes never holds all of it. The last part is left in `out`.
void appendCanonicalResult(std::string& out, const ReconciliationResult& result, size_t drainBytes,
                           const std::function<void(std::string&)>& drain);

}  // namespace tw
