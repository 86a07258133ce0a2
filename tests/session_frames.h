// Building session input and checking session output for process-level tests.
//
// Frames are built from the contract test records, so a test states only what it varies. The
// delivery check reads the lines a worker wrote after "executing", checks the page sequence and
// rebuilds the result from the pages, so that a test can compare the "completed" commitment with
// the commitment of exactly what the pages said.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contracts/json.h"
#include "contracts/source.h"

namespace tw::test {

inline const std::string kHostNonce = "host-session-0001";

std::string startLine(const RunManifest& manifest, const std::string& nonce = kHostNonce);
// "start" with the manifest of the contract test records (run "run-1").
std::string startLine();
std::string entriesLine(const std::vector<Entry>& entries, const std::string& nonce = kHostNonce);
std::string entriesLine(const JsonArray& values, const std::string& nonce = kHostNonce);
// "execute" or "cancel".
std::string plainLine(const std::string& kind, const std::string& nonce = kHostNonce);
// The same frame with spaces before its line feed, `size` bytes long in all.
std::string paddedTo(std::string line, size_t size);
// The same frame ended by carriage return and line feed.
std::string withCrLf(std::string line);

// `count` ERP entries E<first>, E<first+1>, ... (about 240 bytes each as JSON).
std::vector<Entry> erpEntries(size_t count, size_t first = 0);

// Output text cut at line feeds; a text not ending in a line feed leaves its tail as a last line.
std::vector<std::string> splitLines(const std::string& text);

// The member "kind" of a message line, or "" when the line is not such an object.
std::string kindOf(const std::string& line);

// What the pages and the closing message of one delivered result said.
struct Delivery {
  ReconciliationResult result;  // rebuilt from the pages and the metadata
  std::string commitment;
  uint64_t pageCount = 0;
};

// Checks `lines` (everything after "executing") as one delivered result with nonce `nonce`: page
// indexes 0, 1, ... with one item per page (or the single empty page), allocations before
// pending identifiers before residuals, then one "completed" with the page count. Returns the
// delivery, or nothing (with `problem` set) when a rule is broken.
std::optional<Delivery> readDelivery(const std::vector<std::string>& lines,
                                     const std::string& nonce, std::string& problem);

}  // namespace tw::test
