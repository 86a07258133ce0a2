// Builds one valid ledger entry from fuzz choices: a handful of accounts, dates, references and
// amounts, so that entries collide in cells often; sales entries get fee components (and, on
// some inputs, a reversal). Every entry is covered by tw::testing::makeManifest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "contracts/source.h"
#include "contracts/test_records.h"
#include "fuzz/byte_source.h"

namespace tw::fuzzing {

inline Entry chooseEntry(ByteSource& in, std::string id) {
  static const char* const kAccounts[] = {"acc-1", "acc-2"};
  static const char* const kDates[] = {"2024-01-01", "2024-01-02", "2024-01-03"};
  static const char* const kReferences[] = {"INV-1", "INV-2", "INV-3"};
  static const char* const kAmounts[] = {"100", "200", "300", "50", "0", "-100", "150", "970"};
  static const SourceRole kRoles[] = {SourceRole::Erp, SourceRole::Sales, SourceRole::Settlement,
                                      SourceRole::Bank};
  const uint8_t shape = in.next();
  const uint8_t values = in.next();
  const SourceRole role = kRoles[shape % 4];
  std::optional<std::string> reference;
  if ((shape >> 2) % 4 != 0) reference = kReferences[((shape >> 2) % 4) - 1];
  Entry entry = testing::makeEntry(std::move(id), role, kAccounts[(shape >> 4) % 2],
                                   kDates[(values >> 3) % 3], kAmounts[values % 8], reference);
  const bool variant = (values & 0x80) != 0;
  if (role == SourceRole::Sales) {
    const uint8_t fees = (shape >> 5) % 4;
    for (uint8_t f = 0; f < fees; ++f) {
      entry.components.push_back(testing::makeFee(f == 2 ? "-30" : "-1", SourceRole::Sales,
                                                  static_cast<uint32_t>(10 + f)));
      // A reversal keeps the entry out of the sales-settlement stage.
      if (f == 2 && variant) entry.components.back().kind = EntryComponentKind::Reversal;
    }
  }
  if (variant) entry.description = "note " + std::to_string(values);
  return entry;
}

}  // namespace tw::fuzzing
