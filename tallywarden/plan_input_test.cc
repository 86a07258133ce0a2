#include "tallywarden/plan_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "contracts/json_writer.h"
#include "contracts/source.h"

namespace tw::tool {
namespace {

// Texts of every kind the writer treats apart: plain, multi-byte, quotes and backslashes, the
// control bytes with a short escape and those without, and long ones past the block scan. With
// `plain`, only texts that need no escape.
std::string randomText(std::mt19937& random, bool plain) {
  static const std::string kPieces[] = {
      "a",  "NF 041201", "Lançamentos", "—",  "/",    "\x7f", "0123456789abcdef", "\"", "\\", "\b",
      "\t", "\n",        "\f",          "\r", "\x01", "\x1f"};
  constexpr size_t kPlainPieces = 7;
  std::string text;
  const size_t pieces = random() % 12;
  for (size_t i = 0; i < pieces; ++i) {
    text += kPieces[random() % (plain ? kPlainPieces : std::size(kPieces))];
  }
  return text;
}

Ref randomRef(std::mt19937& random, bool plain) {
  Ref ref{randomText(random, plain), randomText(random, plain), std::nullopt, 0};
  if (random() % 2 == 0) ref.sheet = randomText(random, plain);
  const uint32_t rows[] = {0, 9, 10, 99999, 4294967295u};
  ref.row = rows[random() % std::size(rows)];
  return ref;
}

// The size entryJsonBytes gives is the size of the text appendEntryJson writes, which is the
// entry's compact JSON, for entries with and without every optional member; written at once
// into room of that size, the text is the same.
TEST(EntryJsonBytes, IsTheSizeOfTheCompactText) {
  std::mt19937 random(20241208);
  for (int round = 0; round < 2000; ++round) {
    const bool plain = round % 2 == 0;
    Entry entry;
    entry.id = randomText(random, plain);
    entry.role = static_cast<SourceRole>(random() % 4);
    entry.root = randomText(random, plain);
    entry.establishment = randomText(random, plain);
    entry.accountId = randomText(random, plain);
    entry.date = randomText(random, plain);
    entry.cents = randomText(random, plain);
    if (random() % 3 != 0) entry.reference = randomText(random, plain);
    if (random() % 3 != 0) entry.description = randomText(random, plain);
    entry.origin = randomRef(random, plain);
    const size_t components = random() % 4;
    for (size_t i = 0; i < components; ++i) {
      entry.components.push_back(EntryComponent{static_cast<EntryComponentKind>(random() % 2),
                                                randomText(random, plain),
                                                randomRef(random, plain)});
    }
    std::string text;
    appendEntryJson(text, entry);
    ASSERT_EQ(text, toCompactJson(toJsonValue(entry)));
    ASSERT_EQ(entryJsonBytes(entry), text.size()) << text;
    std::string at = "[";
    appendEntryJson(at, entry, text.size());
    ASSERT_EQ(at, "[" + text);
  }
}

// Whatever the reading order (ascending runs few or many, long or of one entry), the order is
// the identifiers' byte order.
TEST(IdentifierOrder, IsTheIdentifiersOrder) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    const size_t count = random() % 400;
    std::vector<Entry> entries(count);
    for (size_t i = 0; i < count; ++i) {
      entries[i].id = "id-" + std::to_string(100000 + i);
      if (round % 3 == 0) entries[i].id = "Ç" + entries[i].id;  // bytes past 0x7F
    }
    // Cut into `runs` ascending runs, shuffled; some rounds shuffle everything.
    const size_t runs = round % 5 == 0 ? count : 1 + random() % 80;
    std::vector<std::vector<Entry>> pieces(runs);
    for (Entry& entry : entries) pieces[random() % runs].push_back(std::move(entry));
    std::shuffle(pieces.begin(), pieces.end(), random);
    std::vector<Entry> read;
    for (auto& piece : pieces) {
      for (Entry& entry : piece) read.push_back(std::move(entry));
    }
    std::vector<const Entry*> view;
    for (const Entry& entry : read) view.push_back(&entry);
    const std::vector<uint32_t> order = identifierOrder(view);
    ASSERT_EQ(order.size(), view.size());
    std::vector<bool> seen(view.size(), false);
    for (size_t i = 0; i < order.size(); ++i) {
      ASSERT_FALSE(seen[order[i]]);
      seen[order[i]] = true;
      if (i > 0) {
        ASSERT_LT(view[order[i - 1]]->id, view[order[i]]->id);
      }
    }
  }
}

}  // namespace
}  // namespace tw::tool
