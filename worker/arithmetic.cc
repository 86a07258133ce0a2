#include "worker/arithmetic.h"

#include <charconv>
#include <limits>
#include <optional>

#include "contracts/json.h"
#include "contracts/json_reader.h"
#include "worker/fd_io.h"
#include "worker/platform.h"

namespace tw {

namespace {

constexpr std::string_view kCommandSum = "sum";
constexpr size_t kMinArrayForm = 4;  // [version, command, left, right]
constexpr size_t kMaxArrayForm = 5;  // ... and hold_ms

std::optional<uint8_t> decodeVersion(const Json& value) {
  if (!value.isUnsigned() || value.asUnsigned() > std::numeric_limits<uint8_t>::max()) {
    return std::nullopt;
  }
  return static_cast<uint8_t>(value.asUnsigned());
}

bool isSumCommand(const Json& value) {
  if (value.isString()) return value.asString() == kCommandSum;
  if (!value.isObject()) return false;
  const JsonObject& object = value.asObject();
  return object.size() == 1 && object.begin()->first == kCommandSum &&
         object.begin()->second.isNull();
}

std::optional<int64_t> decodeSigned(const Json& value) {
  if (value.isSigned()) return value.asSigned();
  if (value.isUnsigned() &&
      value.asUnsigned() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return static_cast<int64_t>(value.asUnsigned());
  }
  return std::nullopt;
}

std::optional<uint64_t> decodeHold(const Json& value) {
  if (value.isUnsigned()) return value.asUnsigned();
  return std::nullopt;
}

// Members in their record order, whichever form the request took; `hold` is null when absent.
struct RequestMembers {
  const Json* version = nullptr;
  const Json* command = nullptr;
  const Json* left = nullptr;
  const Json* right = nullptr;
  const Json* hold = nullptr;
};

std::optional<RequestMembers> membersOfObject(const JsonObject& object) {
  RequestMembers members;
  for (const auto& [name, value] : object) {
    if (name == "version") {
      members.version = &value;
    } else if (name == "command") {
      members.command = &value;
    } else if (name == "left") {
      members.left = &value;
    } else if (name == "right") {
      members.right = &value;
    } else if (name == "hold_ms") {
      members.hold = &value;
    } else {
      return std::nullopt;  // unknown member
    }
  }
  if (!members.version || !members.command || !members.left || !members.right) {
    return std::nullopt;
  }
  return members;
}

std::optional<RequestMembers> membersOfArray(const JsonArray& array) {
  if (array.size() < kMinArrayForm || array.size() > kMaxArrayForm) return std::nullopt;
  RequestMembers members{&array[0], &array[1], &array[2], &array[3], nullptr};
  if (array.size() == kMaxArrayForm) members.hold = &array[4];
  return members;
}

}  // namespace

std::string_view arithmeticErrorText(ArithmeticError code) {
  switch (code) {
    case ArithmeticError::RequestReadFailed:
      return "REQUEST_READ_FAILED";
    case ArithmeticError::RequestTooLarge:
      return "REQUEST_TOO_LARGE";
    case ArithmeticError::InvalidRequest:
      return "INVALID_REQUEST";
    case ArithmeticError::UnsupportedProtocol:
      return "UNSUPPORTED_PROTOCOL";
    case ArithmeticError::InvalidHold:
      return "INVALID_HOLD";
    case ArithmeticError::ArithmeticOverflow:
      return "ARITHMETIC_OVERFLOW";
    case ArithmeticError::ResponseWriteFailed:
      return "RESPONSE_WRITE_FAILED";
  }
  return "UNKNOWN";
}

Result<ArithmeticRequest, ArithmeticError> decodeArithmeticRequest(std::string_view text) {
  const auto invalid = fail(ArithmeticError::InvalidRequest);
  Result<Json, JsonReadError> parsed = readJson(text);
  if (!parsed) return invalid;
  const Json& root = parsed.value();

  std::optional<RequestMembers> members;
  if (root.isObject()) {
    members = membersOfObject(root.asObject());
  } else if (root.isArray()) {
    members = membersOfArray(root.asArray());
  }
  if (!members) return invalid;

  const std::optional<uint8_t> version = decodeVersion(*members->version);
  const std::optional<int64_t> left = decodeSigned(*members->left);
  const std::optional<int64_t> right = decodeSigned(*members->right);
  std::optional<uint64_t> holdMs = uint64_t{0};
  if (members->hold) holdMs = decodeHold(*members->hold);
  if (!version || !isSumCommand(*members->command) || !left || !right || !holdMs) {
    return invalid;
  }
  return ArithmeticRequest{*version, *left, *right, *holdMs};
}

Result<ArithmeticRequest, ArithmeticError> checkArithmeticRequest(std::string_view bytes) {
  if (bytes.size() > kMaxArithmeticRequestBytes) return fail(ArithmeticError::RequestTooLarge);
  Result<ArithmeticRequest, ArithmeticError> request = decodeArithmeticRequest(bytes);
  if (!request) return request;
  if (request->version != kArithmeticProtocolVersion) {
    return fail(ArithmeticError::UnsupportedProtocol);
  }
  if (request->holdMs > kMaxArithmeticHoldMs) return fail(ArithmeticError::InvalidHold);
  return request;
}

Result<std::string, ArithmeticError> answerArithmeticRequest(const ArithmeticRequest& request) {
  int64_t sum = 0;
  if (__builtin_add_overflow(request.left, request.right, &sum)) {
    return fail(ArithmeticError::ArithmeticOverflow);
  }
  // The members go out in this fixed order (not name order): version, ok, value.
  constexpr std::string_view kHead = R"({"version":1,"ok":true,"value":)";
  char digits[24];
  const std::to_chars_result printed = std::to_chars(digits, digits + sizeof digits, sum);
  std::string line;
  line.reserve(kHead.size() + static_cast<size_t>(printed.ptr - digits) + 2);
  line.append(kHead);
  line.append(digits, printed.ptr);
  line.append("}\n");
  return line;
}

Status<ArithmeticError> runArithmeticMode(int inFd, int outFd) {
  // One byte beyond the limit is enough to know the request is too large; nothing further is
  // ever read.
  std::string bytes;
  bytes.reserve(kMaxArithmeticRequestBytes + 1);
  if (readBounded(inFd, kMaxArithmeticRequestBytes + 1, bytes) == BoundedRead::Failed) {
    return fail(ArithmeticError::RequestReadFailed);
  }
  Result<ArithmeticRequest, ArithmeticError> request = checkArithmeticRequest(bytes);
  if (!request) return fail(request.error());
  if (request->holdMs > 0) platform::sleepMilliseconds(request->holdMs);
  Result<std::string, ArithmeticError> line = answerArithmeticRequest(*request);
  if (!line) return fail(line.error());
  if (!writeAll(outFd, *line)) return fail(ArithmeticError::ResponseWriteFailed);
  return Status<ArithmeticError>::success();
}

}  // namespace tw
