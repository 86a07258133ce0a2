// Small helpers for texts the engine writes or orders many times a run.
//
// amountText writes exactly what formatAmount writes. TextSortKey orders exactly as the texts
// compare (byte-wise, std::string_view order) while comparing their first 24 bytes as integers.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "contracts/formats.h"

namespace tw {

// The canonical amount text of a value; one that fits 64 bits is written by the standard
// conversion, which gives the same text ("-" and the digits, "0" for zero) without 128-bit
// divisions.
inline std::string amountText(__int128 value) {
  if (value >= INT64_MIN && value <= INT64_MAX) return std::to_string(static_cast<int64_t>(value));
  return formatAmount(value);
}

// A text with its first 24 bytes, zero-padded, as three big-endian integers. When the prefixes
// differ they order as the texts do: at the first differing byte either both texts have a byte,
// or the shorter text ended and is a prefix of the other. Equal prefixes of texts no longer than
// the prefix mean that the shorter text is a prefix of the other; only longer texts are read
// again.
struct TextSortKey {
  static constexpr size_t kPrefixWords = 3;
  static constexpr size_t kPrefixBytes = 8 * kPrefixWords;

  std::array<uint64_t, kPrefixWords> prefix{};
  std::string_view text;

  explicit TextSortKey(std::string_view value) : text(value) {
    unsigned char bytes[kPrefixBytes] = {};
    if (!value.empty()) {
      std::memcpy(bytes, value.data(), value.size() < kPrefixBytes ? value.size() : kPrefixBytes);
    }
    for (size_t word = 0; word < kPrefixWords; ++word) prefix[word] = bigEndian(bytes + 8 * word);
  }
  TextSortKey() = default;

  // -1, 0 or 1 as the texts compare.
  friend int compare(const TextSortKey& a, const TextSortKey& b) {
    for (size_t word = 0; word < kPrefixWords; ++word) {
      if (a.prefix[word] != b.prefix[word]) return a.prefix[word] < b.prefix[word] ? -1 : 1;
    }
    if (a.text.size() <= kPrefixBytes && b.text.size() <= kPrefixBytes) {
      return a.text.size() == b.text.size() ? 0 : a.text.size() < b.text.size() ? -1 : 1;
    }
    const int c = a.text.compare(b.text);
    return (c > 0) - (c < 0);
  }

 private:
  static uint64_t bigEndian(const unsigned char* bytes) {
    uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
    return value;
  }
};

}  // namespace tw
