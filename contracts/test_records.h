// Test helpers that build valid contract records, so that a test states only what it varies.
//
// Every entry made here has the company root kTestRoot, an establishment code with correct check
// digits, and an origin {sourceId "src-<role>", fileId "file-<role>", sheet null, row 1}. The
// manifest of makeManifest declares input digests for exactly the four (src-<role>, file-<role>)
// pairs, in ascending order, so every entry and fee built here is covered by it.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "contracts/source.h"

namespace tw::testing {

inline constexpr std::string_view kTestRoot = "ABCDEFGH";
inline constexpr std::string_view kTestVersionDigest =
    "sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline constexpr std::string_view kTestEngineVersion = "engine-1.0.0";

// Modulus-11 check digit over the first N bytes, each counting its ASCII code minus 48.
template <size_t N>
inline char testCheckDigit(std::string_view text, const std::array<int, N>& weights) {
  int sum = 0;
  for (size_t i = 0; i < N; ++i) sum += (static_cast<unsigned char>(text[i]) - 48) * weights[i];
  const int remainder = sum % 11;
  return static_cast<char>('0' + (remainder < 2 ? 0 : 11 - remainder));
}

// root8 followed by `branch` (4 bytes of A-Z/0-9) and both check digits.
inline std::string validEstablishment(std::string_view root8, std::string_view branch = "0001") {
  static constexpr std::array<int, 12> kFirst = {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
  static constexpr std::array<int, 13> kSecond = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
  std::string code;
  code.reserve(14);
  code.append(root8);
  code.append(branch);
  code.push_back(testCheckDigit(code, kFirst));
  code.push_back(testCheckDigit(code, kSecond));
  return code;
}

inline Ref makeRef(std::string sourceId, std::string fileId,
                   std::optional<std::string> sheet = std::nullopt, uint32_t row = 1) {
  return Ref{std::move(sourceId), std::move(fileId), std::move(sheet), row};
}

// The origin every record of `role` built here carries.
inline Ref roleOrigin(SourceRole role, uint32_t row = 1) {
  const std::string name(toText(role));
  return makeRef("src-" + name, "file-" + name, std::nullopt, row);
}

inline Entry makeEntry(std::string id, SourceRole role, std::string accountId, std::string date,
                       std::string cents, std::optional<std::string> reference = std::nullopt) {
  Entry entry;
  entry.id = std::move(id);
  entry.role = role;
  entry.root = std::string(kTestRoot);
  entry.establishment = validEstablishment(kTestRoot);
  entry.accountId = std::move(accountId);
  entry.date = std::move(date);
  entry.cents = std::move(cents);
  entry.reference = std::move(reference);
  entry.origin = roleOrigin(role);
  return entry;
}

// A fee component whose origin is covered by makeManifest (settlement file by default).
inline EntryComponent makeFee(std::string cents, SourceRole role = SourceRole::Settlement,
                              uint32_t row = 2) {
  return EntryComponent{EntryComponentKind::Fee, std::move(cents), roleOrigin(role, row)};
}

// 64 lower-case hex digits derived from `seed`, distinct for distinct seeds of up to 64 bytes.
inline std::string testSha256(std::string_view seed) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string digest(64, '0');
  for (size_t i = 0; i < seed.size() && i < 32; ++i) {
    const auto byte = static_cast<unsigned char>(seed[i]);
    digest[2 * i] = kHex[byte >> 4];
    digest[2 * i + 1] = kHex[byte & 0x0F];
  }
  return digest;
}

inline RunManifest makeManifest(std::string runId) {
  RunManifest manifest;
  manifest.version = 1;
  manifest.runId = std::move(runId);
  manifest.root = std::string(kTestRoot);
  manifest.window = std::nullopt;
  // Ascending by (sourceId, fileId): src-bank < src-erp < src-sales < src-settlement.
  for (SourceRole role :
       {SourceRole::Bank, SourceRole::Erp, SourceRole::Sales, SourceRole::Settlement}) {
    const Ref origin = roleOrigin(role);
    manifest.inputDigests.push_back(
        InputDigest{origin.sourceId, origin.fileId, testSha256(origin.fileId)});
  }
  manifest.mappingVersion = std::string(kTestVersionDigest);
  manifest.ruleVersion = std::string(kTestVersionDigest);
  manifest.engineVersion = std::string(kTestEngineVersion);
  return manifest;
}

inline RunManifest makeManifest(std::string runId, std::string from, std::string to) {
  RunManifest manifest = makeManifest(std::move(runId));
  manifest.window = RunWindow{std::move(from), std::move(to)};
  return manifest;
}

}  // namespace tw::testing
