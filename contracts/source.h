// The records that cross the process boundary: ledger entries, the run manifest and the
// reconciliation result, with their enumerations. Records are plain owning values; amounts keep
// the exact text received (canonical decimal cents) and are converted with parseAmount wherever
// the system computes. Every record has toJsonValue, which never fails short of running out of
// memory; decoding from JSON is in contracts/decode.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"

namespace tw {

// ---- Enumerations (declaration order is the numeric order) ----

enum class SourceRole : uint8_t { Erp, Sales, Settlement, Bank };
enum class EntryComponentKind : uint8_t { Fee, Reversal };
// Text order differs from declaration order:
// "documented-composition" < "reference-match" < "review-approved".
enum class ReasonCode : uint8_t { ReferenceMatch, DocumentedComposition, ReviewApproved };
enum class AllocationStage : uint8_t { ErpBank, SalesSettlement, SettlementBank };

std::string_view toText(SourceRole role);
std::string_view toText(EntryComponentKind kind);
std::string_view toText(ReasonCode code);
std::string_view toText(AllocationStage stage);

// Exact, case-sensitive text to member; nullopt for any other text.
std::optional<SourceRole> sourceRoleFromText(std::string_view text);
std::optional<EntryComponentKind> componentKindFromText(std::string_view text);
std::optional<ReasonCode> reasonCodeFromText(std::string_view text);
std::optional<AllocationStage> allocationStageFromText(std::string_view text);

// ---- Ledger entry ----

// Where a ledger line was read from.
struct Ref {
  std::string sourceId;
  std::string fileId;
  std::optional<std::string> sheet;  // absent orders before any present sheet
  uint32_t row = 0;

  friend bool operator==(const Ref&, const Ref&) = default;
};

// The order of references: sourceId, then fileId (text order), then sheet (an absent sheet before
// any present one, present sheets in text order), then row. Shared by Ref and by the borrowed
// views of a reference that decoding compares.
template <class A, class B>
bool refOrderLess(const A& a, const B& b) {
  if (int c = std::string_view(a.sourceId).compare(b.sourceId); c != 0) return c < 0;
  if (int c = std::string_view(a.fileId).compare(b.fileId); c != 0) return c < 0;
  if (a.sheet.has_value() != b.sheet.has_value()) return !a.sheet.has_value();
  if (a.sheet) {
    if (int c = std::string_view(*a.sheet).compare(*b.sheet); c != 0) return c < 0;
  }
  return a.row < b.row;
}

bool operator<(const Ref& a, const Ref& b);

struct EntryComponent {
  EntryComponentKind kind = EntryComponentKind::Fee;
  std::string cents;  // amount text
  Ref origin;

  friend bool operator==(const EntryComponent&, const EntryComponent&) = default;
};

struct Entry {
  std::string id;
  SourceRole role = SourceRole::Erp;
  std::string root;           // company root, 8 bytes
  std::string establishment;  // 14 bytes, starts with root
  std::string accountId;
  std::string date;                        // YYYY-MM-DD
  std::string cents;                       // amount text
  std::optional<std::string> reference;    // key always present in JSON, null when absent
  std::optional<std::string> description;  // key left out of JSON when absent
  Ref origin;
  std::vector<EntryComponent> components;

  friend bool operator==(const Entry&, const Entry&) = default;
};

// ---- Run manifest ----

struct RunWindow {
  std::string from;  // inclusive
  std::string to;    // inclusive

  friend bool operator==(const RunWindow&, const RunWindow&) = default;
};

struct InputDigest {
  std::string sourceId;
  std::string fileId;
  std::string sha256;  // 64 lower-case hex digits

  friend bool operator==(const InputDigest&, const InputDigest&) = default;
};

struct RunManifest {
  uint8_t version = 1;
  std::string runId;
  std::string root;
  std::optional<RunWindow> window;  // key always present in JSON, null when absent
  std::vector<InputDigest> inputDigests;
  std::string mappingVersion;  // "sha256:" + 64 hex
  std::string ruleVersion;     // "sha256:" + 64 hex
  std::string engineVersion;

  friend bool operator==(const RunManifest&, const RunManifest&) = default;
};

// ---- Reconciliation result ----

struct Evidence {
  std::string ruleId;
  std::vector<Ref> origins;             // strictly ascending, 1 to 64
  std::vector<ReasonCode> reasonCodes;  // strictly ascending in text order, 1 to 3

  friend bool operator==(const Evidence&, const Evidence&) = default;
};

struct Allocation {
  AllocationStage stage = AllocationStage::ErpBank;
  std::string leftId;
  std::string rightId;
  std::string cents;  // amount text
  Evidence evidence;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

// Ordered by the system's text order (std::less<> on std::string compares unsigned bytes).
using ResidualMap = std::map<std::string, std::string, std::less<>>;

struct ReconciliationResult {
  std::string runId;
  std::vector<Allocation> allocations;
  std::vector<std::string> pendingIds;
  ResidualMap residuals;  // id -> amount text
  uint64_t revision = 0;

  friend bool operator==(const ReconciliationResult&, const ReconciliationResult&) = default;
};

// ---- JSON form ----

Json toJsonValue(SourceRole role);
Json toJsonValue(EntryComponentKind kind);
Json toJsonValue(ReasonCode code);
Json toJsonValue(AllocationStage stage);
Json toJsonValue(const Ref& ref);
Json toJsonValue(const EntryComponent& component);
Json toJsonValue(const Entry& entry);
Json toJsonValue(const RunWindow& window);
Json toJsonValue(const InputDigest& digest);
Json toJsonValue(const RunManifest& manifest);
Json toJsonValue(const Evidence& evidence);
Json toJsonValue(const Allocation& allocation);
Json toJsonValue(const ReconciliationResult& result);

}  // namespace tw
