// Arithmetic request mode on arbitrary bytes: every outcome is one code in check order, a request
// above 1024 bytes is always too large, and an answered request's line is exactly the compact
// response with the true sum.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "worker/arithmetic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1100) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto checked = tw::checkArithmeticRequest(bytes);
  if (size > tw::kMaxArithmeticRequestBytes) {
    if (checked.ok() || checked.error() != tw::ArithmeticError::RequestTooLarge) std::abort();
    return 0;
  }
  if (!checked.ok()) {
    if (checked.error() == tw::ArithmeticError::RequestTooLarge ||
        checked.error() == tw::ArithmeticError::RequestReadFailed ||
        checked.error() == tw::ArithmeticError::ArithmeticOverflow ||
        checked.error() == tw::ArithmeticError::ResponseWriteFailed)
      std::abort();
    return 0;
  }
  const tw::ArithmeticRequest& request = checked.value();
  if (request.version != 1 || request.holdMs > tw::kMaxArithmeticHoldMs) std::abort();
  auto answer = tw::answerArithmeticRequest(request);
  int64_t sum = 0;
  const bool overflows = __builtin_add_overflow(request.left, request.right, &sum);
  if (overflows) {
    if (answer.ok() || answer.error() != tw::ArithmeticError::ArithmeticOverflow) std::abort();
    return 0;
  }
  if (!answer.ok()) std::abort();
  if (answer.value() != "{\"version\":1,\"ok\":true,\"value\":" + std::to_string(sum) + "}\n")
    std::abort();
  return 0;
}
