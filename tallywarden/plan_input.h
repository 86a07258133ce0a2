// What `tallywarden plan` reads: the run manifest template and the entries of the books, read
// as a stream (one entry a line, or one JSON array a file), the entries' texts decoded with the
// worker's contract decoder in batches on two threads and checked with the run's own entry checks
// against the template, taken in reading order. Only the decoded records are kept, never a JSON
// tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/source.h"

namespace tw::tool {

// The template: a run manifest without runId, with an optional runId prefix and window.
struct PlanTemplate {
  RunManifest manifest;  // runId set to a placeholder; window the period or none
  std::string runIdPrefix;
};

// Reads and checks TEMPLATE; one sentence in `error` when it is no manifest.
std::optional<PlanTemplate> readTemplate(std::string_view path, std::string_view defaultVersion,
                                         std::string& error);

// The longest runId suffix a plan writes: "-" and up to this many digits.
inline constexpr size_t kRunIdSuffixDigits = 6;

// An entry refused by the checks, where it is.
struct Refusal {
  uint32_t file = 0;  // index into the ENTRIES paths
  uint64_t line = 0;  // 1-based line where the entry's text begins
  std::string id;     // the entry's id when it has a string one
  std::string member;
  std::string rule;
  std::string code;
};

// Where an accepted entry came from, and the size of its compact text.
struct EntryPlace {
  uint64_t line = 0;
  uint32_t file = 0;
  uint32_t textBytes = 0;
};

// Entries in the blocks they were decoded in, reached by their place in reading order.
class EntryStore {
 public:
  size_t size() const { return index_.size(); }
  const Entry& operator[](size_t i) const { return *index_[i]; }

  // Appends the block's entries, which stay where they are.
  void append(std::vector<Entry> block) {
    for (const Entry& entry : block) index_.push_back(&entry);
    blocks_.push_back(std::move(block));
  }

  // Frees the entries of every `parts`-th block from block `part` on; two calls with different
  // `part` may run at once. size() stays. REQUIRES: no entry is read afterwards.
  void freeBlocks(size_t part, size_t parts) {
    for (size_t i = part; i < blocks_.size(); i += parts) std::vector<Entry>().swap(blocks_[i]);
  }

  // Keeps only the entries `drop` does not mark, in order.
  void drop(const std::vector<bool>& marks) {
    size_t kept = 0;
    for (size_t i = 0; i < index_.size(); ++i) {
      if (!marks[i]) index_[kept++] = index_[i];
    }
    index_.resize(kept);
  }

 private:
  std::vector<std::vector<Entry>> blocks_;  // moving a block keeps its entries where they are
  std::vector<const Entry*> index_;
};

struct PlanInput {
  EntryStore entries;               // accepted, in reading order
  std::vector<EntryPlace> places;   // by accepted entry, while reading; empty once read
  std::vector<uint32_t> textBytes;  // by accepted entry: the size of its compact text
  std::vector<Refusal> refusals;
};

// Reads every ENTRIES file in order into `input`. False with one sentence in `error` when a
// file cannot be read or is not JSON (the tool cannot go on); refused entries are listed, not
// errors. Identifiers repeated across all files are refused (every use after the first).
bool readEntries(const std::vector<std::string_view>& paths, const PlanTemplate& plan,
                 PlanInput& input, std::string& error);

// The positions of `entries` by ascending identifier. REQUIRES: the identifiers are unique.
std::vector<uint32_t> identifierOrder(std::span<const Entry* const> entries);

// The compact JSON text of an entry, as toCompactJson(toJsonValue(entry)) writes it.
void appendEntryJson(std::string& out, const Entry& entry);

// The size of that text, without writing it.
size_t entryJsonBytes(const Entry& entry);

// The same text, appended at once. REQUIRES: `bytes` is entryJsonBytes(entry).
void appendEntryJson(std::string& out, const Entry& entry, size_t bytes);

}  // namespace tw::tool
