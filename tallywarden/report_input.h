// The entries of a captured session input, for joining their details into a report.
//
// The input is the frames a host wrote, one JSON object a line. Each line is read with the strict
// JSON reader; "start" gives the nonce and the run identifier, every element of an "entries"
// frame that the entry decoder accepts is kept under its identifier (the first of a repeated
// identifier wins). Lines of any other kind, and lines that are not frames, are passed over and
// counted; nothing here refuses the input.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/source.h"

namespace tw::tool {

// Most bytes of a session input read: the session's byte limit, and a carriage return per frame.
extern const size_t kMaxInputBytes;

struct SessionEntries {
  std::optional<std::string> nonce;  // of the first "start" frame
  std::optional<std::string> runId;  // of its manifest, when it decodes
  std::map<std::string, Entry, std::less<>> entries;
  size_t linesPassedOver = 0;    // not an entries frame (a "start", "execute" or other line)
  size_t entriesUnreadable = 0;  // elements the entry decoder refuses
  size_t entriesRepeated = 0;    // identifiers seen before
};

[[nodiscard]] SessionEntries readSessionEntries(std::string_view bytes);

}  // namespace tw::tool
