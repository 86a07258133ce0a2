#include "tallywarden/plan_input.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "contracts/json_writer.h"
#include "contracts/source.h"

namespace tw::tool {
namespace {

// Texts of every kind the writer treats apart: plain, multi-byte, quotes and backslashes, the
// control bytes with a short escape and those without, and long ones past the block scan.
std::string randomText(std::mt19937& random) {
  static const std::string kPieces[] = {
      "a",  "NF 041201", "Lançamentos", "—",    "\"",   "\\", "\b",   "\t",
      "\n", "\f",        "\r",          "\x01", "\x1f", "/",  "\x7f", "0123456789abcdef"};
  std::string text;
  const size_t pieces = random() % 12;
  for (size_t i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
  return text;
}

Ref randomRef(std::mt19937& random) {
  Ref ref{randomText(random), randomText(random), std::nullopt, 0};
  if (random() % 2 == 0) ref.sheet = randomText(random);
  const uint32_t rows[] = {0, 9, 10, 99999, 4294967295u};
  ref.row = rows[random() % std::size(rows)];
  return ref;
}

// The size entryJsonBytes gives is the size of the text appendEntryJson writes, which is the
// entry's compact JSON, for entries with and without every optional member.
TEST(EntryJsonBytes, IsTheSizeOfTheCompactText) {
  std::mt19937 random(20241208);
  for (int round = 0; round < 2000; ++round) {
    Entry entry;
    entry.id = randomText(random);
    entry.role = static_cast<SourceRole>(random() % 4);
    entry.root = randomText(random);
    entry.establishment = randomText(random);
    entry.accountId = randomText(random);
    entry.date = randomText(random);
    entry.cents = randomText(random);
    if (random() % 3 != 0) entry.reference = randomText(random);
    if (random() % 3 != 0) entry.description = randomText(random);
    entry.origin = randomRef(random);
    const size_t components = random() % 4;
    for (size_t i = 0; i < components; ++i) {
      entry.components.push_back(EntryComponent{static_cast<EntryComponentKind>(random() % 2),
                                                randomText(random), randomRef(random)});
    }
    std::string text;
    appendEntryJson(text, entry);
    ASSERT_EQ(text, toCompactJson(toJsonValue(entry)));
    ASSERT_EQ(entryJsonBytes(entry), text.size()) << text;
  }
}

}  // namespace
}  // namespace tw::tool
