#include "worker/result_pages.h"

#include <string_view>

#include "contracts/json_writer.h"
#include "contracts/record_text.h"
#include "worker/fd_io.h"

namespace tw {

ResultPageBuilder::ResultPageBuilder(const std::string& nonce, uint64_t pageCount,
                                     ResultCommitment* commitment)
    : commitment_(commitment) {
  prefix_.append(page_text::kBeforeNonce);
  appendJsonString(prefix_, nonce);
  prefix_.append(page_text::kBeforeItems);
  suffix_.append(page_text::kBeforePageCount);
  appendUnsigned(suffix_, pageCount);
  suffix_.append(page_text::kBeforePageIndex);
}

size_t ResultPageBuilder::begin(PageBatch& batch) const {
  const size_t start = batch.text.size();
  batch.text.append(prefix_);
  return start;
}

// Closes the page and measures it as writeResponse does; a page over the limit is taken back.
bool ResultPageBuilder::finish(PageBatch& batch, size_t start) {
  batch.text.append(suffix_);
  appendUnsigned(batch.text, pageIndex_);
  batch.text.append(page_text::kBeforeVersion);
  appendUnsigned(batch.text, kProtocolVersion);
  batch.text.append(page_text::kEnd);
  if (!withinResponseLimit(batch.text.size() - start)) {
    batch.text.resize(start);
    batch.stop = SessionCode::ResponseLimit;
    return false;
  }
  batch.text.push_back('\n');
  batch.ends.push_back(batch.text.size());
  if (__builtin_add_overflow(pageIndex_, uint64_t{1}, &pageIndex_)) {
    batch.stop = SessionCode::ResponseLimit;
  }
  return true;
}

void ResultPageBuilder::addEmpty(PageBatch& batch) {
  const size_t start = begin(batch);
  batch.text.append(page_text::kAfterAllocation);
  finish(batch, start);
}

void ResultPageBuilder::add(PageBatch& batch, const Allocation& allocation) {
  addAllocation(batch, [&allocation](std::string& out) { appendRecordJson(out, allocation); });
}

void ResultPageBuilder::addPendingId(PageBatch& batch, std::string_view id) {
  const size_t start = begin(batch);
  batch.text.append(page_text::kBeforePendingId);
  const size_t item = batch.text.size();
  appendJsonString(batch.text, id);
  const size_t itemEnd = batch.text.size();
  batch.text.append(page_text::kAfterPendingId);
  if (finish(batch, start) && commitment_ != nullptr) {
    commitment_->addPendingId(std::string_view(batch.text).substr(item, itemEnd - item));
  }
}

void ResultPageBuilder::addResidual(PageBatch& batch, std::string_view id, std::string_view cents) {
  const size_t start = begin(batch);
  batch.text.append(page_text::kBeforeResidual);
  const size_t item = batch.text.size();
  appendJsonString(batch.text, id);
  batch.text.push_back(':');
  appendJsonString(batch.text, cents);
  const size_t itemEnd = batch.text.size();
  batch.text.append(page_text::kAfterResidual);
  if (finish(batch, start) && commitment_ != nullptr) {
    commitment_->addResidual(std::string_view(batch.text).substr(item, itemEnd - item));
  }
}

namespace {

std::optional<uint64_t> pageCountOf(uint64_t allocations, uint64_t pendingIds, uint64_t residuals) {
  uint64_t items = 0;
  if (__builtin_add_overflow(allocations, pendingIds, &items) ||
      __builtin_add_overflow(items, residuals, &items)) {
    return std::nullopt;
  }
  return items == 0 ? 1 : items;
}

}  // namespace

std::optional<uint64_t> resultPageCount(const ReconciliationResult& result) {
  return pageCountOf(result.allocations.size(), result.pendingIds.size(), result.residuals.size());
}

std::optional<uint64_t> resultPageCount(const PositionalResult& result) {
  return pageCountOf(result.allocationCount(), result.pendingIdCount(), result.residualCount());
}

Status<SessionCode> writePageBatch(int fd, const PageBatch& batch) {
  size_t start = 0;
  for (const size_t end : batch.ends) {
    if (!writeAll(fd, std::string_view(batch.text).substr(start, end - start))) {
      return fail(SessionCode::ResponseWriteFailed);
    }
    start = end;
  }
  if (batch.stop) return fail(*batch.stop);
  return {};
}

}  // namespace tw
