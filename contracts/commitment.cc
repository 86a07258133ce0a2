#include "contracts/commitment.h"

#include <openssl/evp.h>

#include <cmath>

#include "contracts/decode.h"
#include "contracts/json_writer.h"

namespace tw {

namespace {

constexpr size_t kInitialCanonicalBytes = 128;
constexpr unsigned char kSchemaSeparator = 0x00;
constexpr size_t kDigestBytes = 32;

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

// Pass 2: compact text; after pass 1 every number is a safe non-negative integer.
void writeCanonical(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::Type::Null:
      out.append("null");
      break;
    case Json::Type::Bool:
      out.append(value.asBool() ? "true" : "false");
      break;
    case Json::Type::Unsigned:
      appendUnsigned(out, value.asUnsigned());
      break;
    case Json::Type::String:
      appendJsonString(out, value.asString());
      break;
    case Json::Type::Array: {
      out.push_back('[');
      bool first = true;
      for (const Json& element : value.asArray()) {
        if (!first) out.push_back(',');
        first = false;
        writeCanonical(out, element);
      }
      out.push_back(']');
      break;
    }
    case Json::Type::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [name, member] : value.asObject()) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonString(out, name);
        out.push_back(':');
        writeCanonical(out, member);
      }
      out.push_back('}');
      break;
    }
    case Json::Type::Float:  // integral and in range after pass 1; -0.0 is written as 0
      appendUnsigned(out, static_cast<uint64_t>(value.asFloat()));
      break;
    case Json::Type::Signed:
      break;  // refused by pass 1
  }
}

Result<std::string, ContractError> canonicalTextOf(const Json& value) {
  if (auto s = checkNumbers(value); !s) return fail(s.error());
  std::string text;
  text.reserve(kInitialCanonicalBytes);
  writeCanonical(text, value);
  return text;
}

// SHA-256 of schema tag, separator and text as one message, in lower-case hex. Nothing else can
// fail here once the library is loaded, so a failure of the digest routine is a broken process,
// reported as an invalid contract rather than as a commitment of unknown bytes.
Result<std::string, ContractError> hashCommitment(std::string_view canonicalText) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return fail(ContractError::InvalidContract);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const bool ok =
      EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
      EVP_DigestUpdate(context, kResultSchemaTag.data(), kResultSchemaTag.size()) == 1 &&
      EVP_DigestUpdate(context, &kSchemaSeparator, 1) == 1 &&
      EVP_DigestUpdate(context, canonicalText.data(), canonicalText.size()) == 1 &&
      EVP_DigestFinal_ex(context, digest, &digestLength) == 1;
  EVP_MD_CTX_free(context);
  if (!ok || digestLength != kDigestBytes) return fail(ContractError::InvalidContract);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * kDigestBytes);
  for (size_t i = 0; i < kDigestBytes; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

}  // namespace

Result<std::string, ContractError> canonicalJsonText(const Json& value) {
  return canonicalTextOf(value);
}

Result<std::string, ContractError> commitResult(const ReconciliationResult& result) {
  auto decoded = decodeReconciliationResult(toJsonValue(result));
  if (!decoded) return fail(decoded.error());
  // The commitment covers exactly what survived validation.
  auto text = canonicalTextOf(toJsonValue(decoded.value()));
  if (!text) return fail(text.error());
  return hashCommitment(text.value());
}

}  // namespace tw
