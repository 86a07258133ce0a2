// Books with one known case of every reason a candidate is held for review or an entry is left
// without a candidate, each on an account of its own, and what the review of their run must say.
#pragma once

#include <string>
#include <vector>

#include "contracts/source.h"
#include "engine/review.h"
#include "engine/testing/engine_fixture.h"

namespace tw::testing {

struct ExpectedHold {
  const char* left;  // the first proposal's entries
  const char* right;
  MatchPass pass;
  uint8_t reasons;  // HoldReason bits
};

struct ExpectedLone {
  const char* id;
  uint8_t reasons;  // LoneReason bits
};

inline uint8_t bits(std::initializer_list<HoldReason> reasons) {
  uint8_t out = 0;
  for (HoldReason reason : reasons) out |= static_cast<uint8_t>(reason);
  return out;
}
inline uint8_t bits(std::initializer_list<LoneReason> reasons) {
  uint8_t out = 0;
  for (LoneReason reason : reasons) out |= static_cast<uint8_t>(reason);
  return out;
}

inline constexpr const char* kOtherDay = "2024-03-02";

inline std::vector<Entry> reviewBooks() {
  Entry reversed = salesEntry("S-rev", "1000", {"-30"}, std::nullopt, kDay, "A-rev");
  reversed.components.front().kind = EntryComponentKind::Reversal;
  return {
      // Held: the same reference, amounts 1,000.00 against 990.00.
      erpEntry("E-amt", "100000", "R-amt", kDay, "A-amt"),
      bankEntry("B-amt", "99000", "R-amt", kDay, "A-amt"),
      // Held: the same reference and amount, different days.
      erpEntry("E-day", "50000", "R-day", kDay, "A-day"),
      bankEntry("B-day", "50000", "R-day", kOtherDay, "A-day"),
      // Held: two receipts of one day add up to one bank line.
      erpEntry("E-c1", "10000", "R-c1", kDay, "A-comp"),
      erpEntry("E-c2", "20000", "R-c2", kDay, "A-comp"),
      bankEntry("B-c", "30000", "R-c", kDay, "A-comp"),
      // Held: an exact reference match whose receipt a composition also wants.
      erpEntry("E-x", "10000", "R-x", kDay, "A-ex"),
      bankEntry("B-x", "10000", "R-x", kDay, "A-ex"),
      erpEntry("E-y", "5000", "R-y", kDay, "A-ex"),
      bankEntry("B-y", "15000", "R-y2", kDay, "A-ex"),
      // Held: a PIX of 1,089.10 and the receipt of the same day, one without a reference.
      erpEntry("E-pix", "108910", std::nullopt, kDay, "A-pix"),
      bankEntry("B-pix", "108910", "PIX-77", kDay, "A-pix"),
      // Alone: one reference on two receipts (the bank line of another day).
      erpEntry("E-d1", "10000", "R-dup", kDay, "A-dup"),
      erpEntry("E-d2", "10000", "R-dup", kDay, "A-dup"),
      bankEntry("B-d", "20000", "R-dup", kOtherDay, "A-dup"),
      // Alone: sales kept out of sales-settlement.
      salesEntry("S-nofee", "1000", {}, std::nullopt, kDay, "A-nofee"),
      reversed,
      // Alone: no positive amount; no counterpart.
      erpEntry("E-neg", "-328239708", std::nullopt, kDay, "A-neg"),
      erpEntry("E-lone", "30000", "R-lone", kDay, "A-lone"),
  };
}

inline std::vector<ExpectedHold> reviewBooksHolds() {
  using H = HoldReason;
  return {
      {"E-amt", "B-amt", MatchPass::Reference, bits({H::AmountsDiffer})},
      {"E-day", "B-day", MatchPass::Reference, bits({H::DatesDiffer})},
      {"E-c1", "B-c", MatchPass::Composition, bits({H::SeveralEntries})},
      {"E-x", "B-x", MatchPass::Reference, bits({H::CompetesWithExact})},
      {"E-x", "B-y", MatchPass::Composition, bits({H::SeveralEntries, H::CompetesWithExact})},
      {"E-pix", "B-pix", MatchPass::Synthetic, 0},
  };
}

inline std::vector<ExpectedLone> reviewBooksLone() {
  using L = LoneReason;
  return {
      {"B-d", bits({L::SharedReference})},    {"E-d1", bits({L::SharedReference})},
      {"E-d2", bits({L::SharedReference})},   {"E-lone", bits({L::NoCounterpart})},
      {"E-neg", bits({L::NoPositiveAmount})}, {"S-nofee", bits({L::SaleWithoutFees})},
      {"S-rev", bits({L::SaleWithReversal})},
  };
}

}  // namespace tw::testing
