// The "resultPage" messages of a delivered result, made straight from its records or from the
// result left by position (engine/assembly.h), with the same bytes.
//
// Each page holds one item (or, for an empty result, none) and is exactly the text, line feed
// included, that a "resultPage" message for a body holding only that item is, refused the same way:
// a page whose text would exceed kMaxResponseBytes is not made, and the pages end there with
// ResponseLimit; so do they after a page whose index cannot advance within 64 bits.
//
// ResultPageBuilder makes the texts into batches, so that one thread can make pages while
// another writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/result.h"
#include "contracts/source.h"
#include "engine/assembly.h"
#include "worker/responses.h"

namespace tw {

// Pages one after another, each with its line feed, and where each ends. `stop` is set when the
// pages end with a refusal after the last page of the batch.
struct PageBatch {
  std::string text;
  std::vector<size_t> ends;
  std::optional<SessionCode> stop;

  size_t pageCount() const { return ends.size(); }
  void clear() {
    text.clear();
    ends.clear();
    stop.reset();
  }
};

// The fixed texts of a page, around its nonce, its one item and its numbers: the builder writes
// them and a reader that holds pages to the builder's bytes reads them.
namespace page_text {
inline constexpr std::string_view kBeforeNonce = R"({"kind":"resultPage","nonce":)";
inline constexpr std::string_view kBeforeItems = R"(,"page":{"allocations":[)";
inline constexpr std::string_view kAfterAllocation = R"(],"pendingIds":[],"residuals":{})";
inline constexpr std::string_view kBeforePendingId = R"(],"pendingIds":[)";
inline constexpr std::string_view kAfterPendingId = R"(],"residuals":{})";
inline constexpr std::string_view kBeforeResidual = R"(],"pendingIds":[],"residuals":{)";
inline constexpr std::string_view kAfterResidual = "}";
inline constexpr std::string_view kBeforePageCount = R"(},"pageCount":)";
inline constexpr std::string_view kBeforePageIndex = R"(,"pageIndex":)";
inline constexpr std::string_view kBeforeVersion = R"(,"version":)";
inline constexpr std::string_view kEnd = "}";
}  // namespace page_text

// Pages, items in result order; the nonce is copied, so a builder may outlive the text it was
// made from. Nothing may be added to a batch that has `stop` set. Given a commitment, the builder
// adds to it the text of every item whose page it makes: the pages hold each item exactly as the
// result's canonical text holds it, so the commitment needs no text of its own.
class ResultPageBuilder {
 public:
  ResultPageBuilder(const std::string& nonce, uint64_t pageCount,
                    ResultCommitment* commitment = nullptr);

  void addEmpty(PageBatch& batch);
  void add(PageBatch& batch, const Allocation& allocation);
  // An allocation whose text `write(out)` appends, as appendRecordJson writes a record.
  template <class Write>
  void addAllocation(PageBatch& batch, Write&& write);
  void addPendingId(PageBatch& batch, std::string_view id);
  void addResidual(PageBatch& batch, std::string_view id, std::string_view cents);

 private:
  size_t begin(PageBatch& batch) const;
  bool finish(PageBatch& batch, size_t start);  // false when the page was refused

  ResultCommitment* commitment_;
  std::string prefix_;  // up to the first item
  std::string suffix_;  // from "pageCount" up to the page index
  uint64_t pageIndex_ = 0;
};

// Pages a result takes: one an item, or one for a result without items; nullopt when that count
// does not fit 64 bits.
std::optional<uint64_t> resultPageCount(const ReconciliationResult& result);
std::optional<uint64_t> resultPageCount(const PositionalResult& result);

// What the "completed" message states of a result besides its pages and commitment.
inline uint64_t resultRevision(const ReconciliationResult& result) {
  return result.revision;
}
inline uint64_t resultRevision(const PositionalResult& result) {
  return result.revision();
}
inline const std::string& resultRunId(const ReconciliationResult& result) {
  return result.runId;
}
inline const std::string& resultRunId(const PositionalResult& result) {
  return result.runId();
}

// Writes the pages of a batch in order, one write() each, then answers its `stop`.
Status<SessionCode> writePageBatch(int fd, const PageBatch& batch);

using CommitmentOutcome = Result<std::string, ContractError>;

// Every page of `result`, in order, made into `batch` one page at a time, and the result's
// commitment hashed from the pages' items. After each page, and once more when the pages end,
// `handOver(batch, last)` takes what it wants of the batch and leaves it ready for more pages
// (it may keep filling it); `last` is set when no page follows, because the pages are done or
// the batch has `stop` set. handOver answers false to stop the pages. The commitment, or nullopt
// when the pages were stopped, by handOver or by `stop`. Every page states `pageCount`; the
// worker's own count is resultPageCount(result). `AnyResult` is ReconciliationResult or
// PositionalResult, whose pages are the bytes of those of its records (toRecords()).
template <class AnyResult, class HandOver>
std::optional<CommitmentOutcome> makeResultPages(const AnyResult& result, const std::string& nonce,
                                                 uint64_t pageCount, PageBatch& batch,
                                                 HandOver&& handOver);

// Implementation details follow.

template <class Write>
void ResultPageBuilder::addAllocation(PageBatch& batch, Write&& write) {
  const size_t start = begin(batch);
  const size_t item = batch.text.size();
  write(batch.text);
  const size_t itemEnd = batch.text.size();
  batch.text.append(page_text::kAfterAllocation);
  if (finish(batch, start) && commitment_ != nullptr) {
    commitment_->addAllocation(std::string_view(batch.text).substr(item, itemEnd - item));
  }
}

namespace result_pages_detail {

// The items of a result in order, each added by `add(builder, batch)`; `made()` after each page
// answers whether the pages go on.
template <class Made>
bool addRecordItems(const ReconciliationResult& result, ResultPageBuilder& builder,
                    PageBatch& batch, Made&& made) {
  for (const Allocation& allocation : result.allocations) {
    builder.add(batch, allocation);
    if (!made()) return false;
  }
  for (const std::string& id : result.pendingIds) {
    builder.addPendingId(batch, id);
    if (!made()) return false;
  }
  for (const auto& [id, cents] : result.residuals) {
    builder.addResidual(batch, id, cents);
    if (!made()) return false;
  }
  return true;
}

template <class Made>
bool addRecordItems(const PositionalResult& result, ResultPageBuilder& builder, PageBatch& batch,
                    Made&& made) {
  for (size_t i = 0; i < result.allocationCount(); ++i) {
    result.prefetchAfterAllocation(i);
    builder.addAllocation(batch,
                          [&result, i](std::string& out) { result.appendAllocationJson(out, i); });
    if (!made()) return false;
  }
  for (size_t i = 0; i < result.pendingIdCount(); ++i) {
    result.prefetchAfterPendingId(i);
    builder.addPendingId(batch, result.pendingId(i));
    if (!made()) return false;
  }
  for (size_t i = 0; i < result.residualCount(); ++i) {
    result.prefetchAfterResidual(i);
    builder.addResidual(batch, result.residualId(i), result.residualCents(i));
    if (!made()) return false;
  }
  return true;
}

inline bool hasNoItems(const ReconciliationResult& result) {
  return result.allocations.empty() && result.pendingIds.empty() && result.residuals.empty();
}
inline bool hasNoItems(const PositionalResult& result) {
  return result.allocationCount() == 0 && result.pendingIdCount() == 0 &&
         result.residualCount() == 0;
}

}  // namespace result_pages_detail

template <class AnyResult, class HandOver>
std::optional<CommitmentOutcome> makeResultPages(const AnyResult& result, const std::string& nonce,
                                                 uint64_t pageCount, PageBatch& batch,
                                                 HandOver&& handOver) {
  ResultCommitment commitment;
  ResultPageBuilder builder(nonce, pageCount, &commitment);
  auto made = [&batch, &handOver] {
    const bool stopped = batch.stop.has_value();
    return handOver(batch, stopped) && !stopped;
  };
  if (result_pages_detail::hasNoItems(result)) {
    builder.addEmpty(batch);
    if (!made()) return std::nullopt;
  }
  if (!result_pages_detail::addRecordItems(result, builder, batch, made)) return std::nullopt;
  if (!handOver(batch, true)) return std::nullopt;
  return commitment.finish(resultRevision(result), resultRunId(result));
}

}  // namespace tw
