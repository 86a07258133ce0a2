// A direct reader for "entries" frames: the line is read as strict JSON straight into entry
// records, without building the JSON value first.
//
// readPlainEntriesFrame succeeds only for a line that the strict JSON reader accepts, holding an
// object with exactly the members "version" (the literal 1), "kind" ("entries"), "nonce" (a
// string) and "entries" (an array whose elements are objects with only declared keys, each
// present once, every required key present, texts as strings, nulls only where allowed, rows as
// numbers the safe integer rule takes, of at most 2^32-1). It takes every form of such a line:
// members in any order, any JSON whitespace, every escape, every number form. For such a line,
// decodeEntry on each element of readJson(line) would give exactly the records returned here,
// or fail exactly where checkEntryRecord fails. Anything else (another kind, another shape, a
// syntax error) gives nullopt, and the caller decodes the line the general way, which decides
// every refusal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/source.h"

namespace tw {

struct PlainEntriesFrame {
  std::string nonce;
  std::vector<Entry> entries;
};

std::optional<PlainEntriesFrame> readPlainEntriesFrame(std::string_view line);

}  // namespace tw
