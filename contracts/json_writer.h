// Compact JSON writing: no whitespace, object members in map order, and the one escaping rule
// used by every message and by the canonical result text: `"` and `\` get a backslash; 0x08,
// 0x09, 0x0A, 0x0C, 0x0D become \b \t \n \f \r; other bytes below 0x20 become \u00 and two
// lower-case hex digits; every other byte (solidus, 0x7F, multi-byte UTF-8) is copied raw.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "contracts/json.h"

namespace tw {

// Appends `text` as a quoted, escaped JSON string.
void appendJsonString(std::string& out, std::string_view text);

namespace json_writer_detail {

inline bool isEscapedByte(unsigned char byte) {
  return byte < 0x20 || byte == '"' || byte == '\\';
}

// Sixteen bytes at a time are held in the compiler's vector type (one register on the targets we
// build for), each lane all ones where its byte must be escaped; eight bytes at a time after that.
using Bytes16 = uint8_t __attribute__((vector_size(16)));
using Words2 = uint64_t __attribute__((vector_size(16)));

// The first flagged lane of `half` (eight lanes of 0x00 or 0xFF, one at least flagged), and the
// mask of the lanes before it, lanes in memory order.
inline size_t firstFlaggedLane(uint64_t half) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<size_t>(__builtin_ctzll(half)) / 8;
  }
  return static_cast<size_t>(__builtin_clzll(half)) / 8;
}
inline uint64_t lanesBeforeFirstFlag(uint64_t half) {
  if constexpr (std::endian::native == std::endian::little) return (half & (0 - half)) - 1;
  return ~(~uint64_t{0} >> __builtin_clzll(half));
}

// For the eight-byte words, each of the three tests ("below 0x20", "quote", "backslash") flags
// the high bit of every byte that passes it with the borrow of one subtraction; a borrow can only
// flag a byte after one that truly passes, so the lowest flag is always exact.
// With `kNoteHighBits`, also whether a byte of the prefix has its high bit set. Inline, because
// readers call it for every text and member name.
template <bool kNoteHighBits>
inline size_t plainLength(std::string_view text, bool* highBits) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + sizeof(Bytes16) <= text.size(); i += sizeof(Bytes16)) {
    Bytes16 block;
    std::memcpy(&block, text.data() + i, sizeof block);
    const auto flags = reinterpret_cast<Words2>((block < 0x20) | (block == '"') | (block == '\\'));
    const uint64_t low = flags[0];
    const uint64_t high = flags[1];
    const auto words = reinterpret_cast<Words2>(block);
    if ((low | high) == 0) {
      if constexpr (kNoteHighBits) seen |= words[0] | words[1];
      continue;
    }
    if constexpr (kNoteHighBits) {
      seen |= low != 0 ? words[0] & lanesBeforeFirstFlag(low)
                       : words[0] | (words[1] & lanesBeforeFirstFlag(high));
      *highBits = (seen & kHighBits) != 0;
    }
    return i + (low != 0 ? firstFlaggedLane(low) : 8 + firstFlaggedLane(high));
  }
  for (; i + sizeof(uint64_t) <= text.size(); i += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const uint64_t quotes = word ^ (kOnes * uint8_t{'"'});
    const uint64_t backslashes = word ^ (kOnes * uint8_t{'\\'});
    const uint64_t flagged = (((word - kOnes * 0x20) & ~word) | ((quotes - kOnes) & ~quotes) |
                              ((backslashes - kOnes) & ~backslashes)) &
                             kHighBits;
    if (flagged != 0) {
      const size_t length = i + static_cast<size_t>(__builtin_ctzll(flagged)) / 8;
      if constexpr (kNoteHighBits) {
        // Only the bytes before the first flagged one: a flag is exact for the lowest byte.
        const uint64_t before = (flagged & (0 - flagged)) - 1;
        seen |= word & before;
        *highBits = (seen & kHighBits) != 0;
      }
      return length;
    }
    if constexpr (kNoteHighBits) seen |= word;
  }
  while (i < text.size() && !isEscapedByte(static_cast<unsigned char>(text[i]))) {
    if constexpr (kNoteHighBits) seen |= static_cast<unsigned char>(text[i]);
    ++i;
  }
  if constexpr (kNoteHighBits) *highBits = (seen & kHighBits) != 0;
  return i;
}

}  // namespace json_writer_detail

// The length of the longest prefix of `text` without a byte that a JSON string cannot hold as it
// is: a quote, a backslash or a byte below 0x20. Written strings escape exactly those bytes; a
// string being read ends or holds an escape, or is invalid, at the first of them.
inline size_t plainJsonTextLength(std::string_view text) {
  return json_writer_detail::plainLength<false>(text, nullptr);
}

// The same length; `highBits` tells whether a byte of that prefix is above 0x7F.
inline size_t plainJsonTextLength(std::string_view text, bool& highBits) {
  return json_writer_detail::plainLength<true>(text, &highBits);
}

// Appends the decimal digits of `value`.
void appendUnsigned(std::string& out, uint64_t value);

// How floats are written. RoundTrip: the shortest text that reads back as the same float (floats
// never occur in messages, only in values echoed for tests). AsInteger: an integral float from 0
// to 2^53-1 as the integer it holds, negative zero as 0, as a canonical text requires; any other
// float falls back to RoundTrip.
enum class FloatStyle : uint8_t { RoundTrip, AsInteger };

// Appends the compact text of `value`.
void appendCompactJson(std::string& out, const Json& value,
                       FloatStyle floats = FloatStyle::RoundTrip);

std::string toCompactJson(const Json& value);

}  // namespace tw
