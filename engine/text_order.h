// Small helpers for texts the engine writes or orders many times a run.
//
// amountText writes exactly what formatAmount writes. TextSortKey orders exactly as the texts
// compare (byte-wise, std::string_view order) while comparing their first 16 bytes as integers.
#pragma once

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

// A text with its first 16 bytes, zero-padded, as two big-endian integers. When the prefixes
// differ they order as the texts do: at the first differing byte either both texts have a byte,
// or the shorter text ended and is a prefix of the other. Equal prefixes fall back to the texts.
struct TextSortKey {
  uint64_t high = 0;
  uint64_t low = 0;
  std::string_view text;

  explicit TextSortKey(std::string_view value) : text(value) {
    unsigned char bytes[16] = {};
    if (!value.empty()) std::memcpy(bytes, value.data(), value.size() < 16 ? value.size() : 16);
    high = bigEndian(bytes);
    low = bigEndian(bytes + 8);
  }
  TextSortKey() = default;

  // -1, 0 or 1 as the texts compare.
  friend int compare(const TextSortKey& a, const TextSortKey& b) {
    if (a.high != b.high) return a.high < b.high ? -1 : 1;
    if (a.low != b.low) return a.low < b.low ? -1 : 1;
    const int c = a.text.compare(b.text);
    return (c > 0) - (c < 0);
  }

 private:
  static uint64_t bigEndian(const unsigned char* bytes) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
    return value;
  }
};

}  // namespace tw
