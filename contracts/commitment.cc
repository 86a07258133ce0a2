#include "contracts/commitment.h"

#include <cmath>

#include "contracts/decode.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/record_text.h"
#include "contracts/sha256.h"

namespace tw {

namespace {

constexpr size_t kInitialCanonicalBytes = 128;
constexpr unsigned char kSchemaSeparator = 0x00;

// Pass 1: the first number that is not a non-negative integer of at most 2^53-1 decides. The
// value is only inspected: pass 2 writes an integral float as the integer it equals, which is
// what replacing it would give, without copying the value.
Status<ContractError> checkNumbers(const Json& value) {
  switch (value.type()) {
    case Json::Type::Unsigned:
      if (value.asUnsigned() > kMaxSafeInteger) return fail(ContractError::OutOfRange);
      return Status<ContractError>::success();
    case Json::Type::Signed:
      return fail(ContractError::InvalidContract);
    case Json::Type::Float: {
      const double x = value.asFloat();
      if (!std::isfinite(x) || x < 0.0 || std::trunc(x) != x) {
        return fail(ContractError::InvalidContract);
      }
      if (x > static_cast<double>(kMaxSafeInteger)) return fail(ContractError::OutOfRange);
      return Status<ContractError>::success();
    }
    case Json::Type::Array:
      for (const Json& element : value.asArray()) {
        if (auto s = checkNumbers(element); !s) return s;
      }
      return Status<ContractError>::success();
    case Json::Type::Object:
      for (const auto& member : value.asObject()) {
        if (auto s = checkNumbers(member.second); !s) return s;
      }
      return Status<ContractError>::success();
    default:
      return Status<ContractError>::success();
  }
}

Result<std::string, ContractError> canonicalTextOf(const Json& value) {
  if (auto s = checkNumbers(value); !s) return fail(s.error());
  std::string text;
  text.reserve(kInitialCanonicalBytes);
  // Pass 2: after pass 1 every number is a non-negative integer of at most 2^53-1, held as an
  // unsigned integer or as an integral float.
  appendCompactJson(text, value, FloatStyle::AsInteger);
  return text;
}

// The canonical text is hashed as it is written, in parts of this size, so that a large result
// never needs its whole text in memory.
constexpr size_t kHashPartBytes = 65536;

}  // namespace

namespace detail {

// SHA-256 over schema tag, separator and canonical text as one message, in lower-case hex.
// Nothing can fail here once the library is loaded, so a failure of the digest routine is a
// broken process, reported as an invalid contract rather than as a commitment of unknown bytes.
class CommitmentHash {
 public:
  CommitmentHash() {
    update(kResultSchemaTag);
    update(std::string_view(reinterpret_cast<const char*>(&kSchemaSeparator), 1));
  }

  void update(std::string_view bytes) { sha256_.update(bytes); }

  Result<std::string, ContractError> finish() {
    const std::optional<Sha256Digest> digest = sha256_.finish();
    if (!digest) return fail(ContractError::InvalidContract);
    return lowerHex(*digest);
  }

 private:
  Sha256 sha256_;
};

}  // namespace detail

using detail::CommitmentHash;

Result<std::string, ContractError> canonicalJsonText(const Json& value) {
  return canonicalTextOf(value);
}

Result<std::string, ContractError> commitResult(const ReconciliationResult& result) {
  // Decoding toJsonValue(result) would report exactly what checkResultRecord reports and, when
  // it succeeds, give back `result` itself; its canonical text is then what appendCanonicalResult
  // writes. So the commitment covers exactly what survives validation without the round trip.
  if (auto checked = checkResultRecord(result); !checked) return fail(checked.error());
  return commitCheckedResult(result);
}

Result<std::string, ContractError> commitCheckedResult(const ReconciliationResult& result) {
  CommitmentHash hash;
  std::string part;
  part.reserve(kHashPartBytes + kInitialCanonicalBytes);
  appendCanonicalResult(part, result, kHashPartBytes, [&hash](std::string& text) {
    hash.update(text);
    text.clear();
  });
  hash.update(part);
  return hash.finish();
}

ResultCommitment::ResultCommitment()
    : hash_(std::make_unique<CommitmentHash>()), text_(), writer_(text_) {
  text_.reserve(kHashPartBytes + kInitialCanonicalBytes);
}

ResultCommitment::~ResultCommitment() = default;

void ResultCommitment::drainIfFull() {
  if (text_.size() < kHashPartBytes) return;
  hash_->update(text_);
  text_.clear();
}

void ResultCommitment::addAllocation(std::string_view allocationText) {
  writer_.nextAllocation().append(allocationText);
  drainIfFull();
}

void ResultCommitment::addPendingId(std::string_view idText) {
  writer_.nextPendingId().append(idText);
  drainIfFull();
}

void ResultCommitment::addResidual(std::string_view memberText) {
  writer_.nextResidual().append(memberText);
  drainIfFull();
}

Result<std::string, ContractError> ResultCommitment::finish(uint64_t revision,
                                                            std::string_view runId) {
  writer_.finish(revision, runId);
  if (!writer_.inOrder()) return fail(ContractError::InvalidContract);
  hash_->update(text_);
  text_.clear();
  return hash_->finish();
}

}  // namespace tw
