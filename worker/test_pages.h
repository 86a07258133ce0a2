// Test helpers that write result pages one at a time: writeResultPage from a page body built as
// JSON, and ResultPageWriter straight from records. Tests hold the session's page maker to the
// pages these write; the worker itself writes pages in batches (worker/result_pages.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "contracts/json.h"
#include "worker/responses.h"
#include "worker/result_pages.h"

namespace tw::testing {

// One page of a result: exactly the members "allocations", "pendingIds" and "residuals".
struct ResultPageBody {
  JsonArray allocations;
  JsonArray pendingIds;
  JsonObject residuals;
};

// Writes the "resultPage" message for `body` at `pageIndex` of `pageCount` and, once written,
// advances `pageIndex`; ResponseLimit when the index cannot advance within 64 bits.
inline Status<SessionCode> writeResultPage(int fd, const std::string& nonce, ResultPageBody body,
                                           uint64_t& pageIndex, uint64_t pageCount) {
  JsonObject page;
  page.emplace("allocations", std::move(body.allocations));
  page.emplace("pendingIds", std::move(body.pendingIds));
  page.emplace("residuals", std::move(body.residuals));
  JsonObject message;
  message.emplace("kind", "resultPage");
  message.emplace("nonce", nonce);
  message.emplace("page", std::move(page));
  message.emplace("pageCount", pageCount);
  message.emplace("pageIndex", pageIndex);
  message.emplace("version", kProtocolVersion);
  if (auto written = writeResponse(fd, Json(std::move(message))); !written) return written;
  if (__builtin_add_overflow(pageIndex, uint64_t{1}, &pageIndex)) {
    return fail(SessionCode::ResponseLimit);
  }
  return {};
}

// Writes each page as it is made, with one write(); ResponseWriteFailed when a write fails.
class ResultPageWriter {
 public:
  ResultPageWriter(int fd, const std::string& nonce, uint64_t pageCount)
      : fd_(fd), builder_(nonce, pageCount) {}

  Status<SessionCode> writeEmpty() {
    builder_.addEmpty(batch_);
    return flush();
  }
  Status<SessionCode> write(const Allocation& allocation) {
    builder_.add(batch_, allocation);
    return flush();
  }
  Status<SessionCode> writePendingId(const std::string& id) {
    builder_.addPendingId(batch_, id);
    return flush();
  }
  Status<SessionCode> writeResidual(const std::string& id, const std::string& cents) {
    builder_.addResidual(batch_, id, cents);
    return flush();
  }

 private:
  Status<SessionCode> flush() {
    auto written = writePageBatch(fd_, batch_);
    batch_.clear();
    return written;
  }

  int fd_;
  ResultPageBuilder builder_;
  PageBatch batch_;  // one page at a time, its buffer reused
};

}  // namespace tw::testing
