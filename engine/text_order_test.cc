#include "engine/text_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/formats.h"

namespace tw {
namespace {

int sign(int value) {
  return (value > 0) - (value < 0);
}

// Every pair of a set of texts built around the 24-byte prefix: prefixes of each other, embedded
// zero bytes, bytes above 0x7F, texts equal up to or beyond the prefix.
TEST(TextSortKey, OrdersAsTheTextsCompare) {
  const std::string zero(1, '\0');
  const std::string base24 = "abcdefghijklmnopqrstuvwx";
  const std::vector<std::string> texts = {
      "",
      "a",
      "a" + zero,
      "a" + zero + zero,
      "ab",
      "\x80",
      "\xff\xff",
      base24.substr(0, 23),
      base24.substr(0, 23) + zero,
      base24,
      base24 + zero,
      base24 + "a",
      base24 + "b",
      base24 + "a" + zero,
      base24.substr(0, 23) + "y",
      base24 + base24,
      "erp-2024-05-00806",
      "erp-2024-05-00807",
      "erp-2024-05-0080",
  };
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      SCOPED_TRACE(testing::PrintToString(a) + " vs " + testing::PrintToString(b));
      EXPECT_EQ(compare(TextSortKey(a), TextSortKey(b)), sign(std::string_view(a).compare(b)));
    }
  }
}

TEST(AmountText, WritesWhatFormatAmountWrites) {
  const __int128 int64Max = INT64_MAX;
  const __int128 int64Min = INT64_MIN;
  const __int128 int128Max = ~(static_cast<unsigned __int128>(1) << 127);
  const __int128 int128Min = -int128Max - 1;
  for (const __int128 value :
       {__int128{0}, __int128{1}, __int128{-1}, __int128{10}, __int128{-970}, int64Max,
        int64Max + 1, int64Min, int64Min - 1, int128Max, int128Min}) {
    EXPECT_EQ(amountText(value), formatAmount(value));
  }
}

}  // namespace
}  // namespace tw
