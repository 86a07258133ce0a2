// The figures a report shows for a result: per stage, what was matched and what is left open;
// the residual totals; and, when the session input is at hand, both per day.
//
// An entry's open amount is the magnitude of its residual, counted in the stage that reports it:
// ERP entries in erp-bank, sales in sales-settlement, settlement in settlement-bank, bank entries
// in erp-bank when an erp-bank allocation names them and in settlement-bank otherwise. An entry's
// role comes from the session input, or else from the allocations that name it; an entry that
// neither tells about is counted apart. Per day, an allocation counts on its left entry's date
// and an open amount on its entry's date.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <map>
#include <string>

#include "contracts/source.h"
#include "tallywarden/report_input.h"

namespace tw::tool {

// A sum of cents that remembers that it overflowed signed 128 bits.
struct Amount {
  __int128 value = 0;
  bool overflow = false;

  void add(__int128 cents) { overflow = overflow || __builtin_add_overflow(value, cents, &value); }
  void add(const Amount& other) {
    add(other.value);
    overflow = overflow || other.overflow;
  }
};

// Cents as decimal currency, exactly: "-1,234,567.89"; "0.05"; "(overflow)" for a sum that
// overflowed.
std::string formatCurrency(__int128 cents);
std::string formatCurrency(const Amount& amount);

struct StageFigures {
  size_t allocations = 0;
  Amount matched;
  size_t openEntries = 0;  // entries reported in this stage with a residual other than 0
  Amount open;
};

struct DayFigures {
  Amount matched;
  Amount open;
};

struct ReportFigures {
  std::array<StageFigures, 3> stages;  // in AllocationStage order: see stageAt
  size_t openUnplaced = 0;             // open entries whose stage is not known
  Amount openUnplacedAmount;
  size_t residuals = 0;
  size_t pending = 0;
  Amount residualNet;       // the residuals' sum
  Amount residualPositive;  // of the positive ones
  Amount residualNegative;  // of the negative ones
  // With the session input: per date (YYYY-MM-DD), and the result's identifiers it lacks.
  std::map<std::string, DayFigures> days;
  size_t idsNotInInput = 0;
};

// The stage whose figures are ReportFigures::stages[index].
// REQUIRES: index < 3.
inline AllocationStage stageAt(size_t index) {
  assert(index < 3);
  return static_cast<AllocationStage>(index);
}

// `input` may be null. Amounts that do not parse (a result that did not verify) count as 0.
[[nodiscard]] ReportFigures computeFigures(const ReconciliationResult& result,
                                           const SessionEntries* input);

}  // namespace tw::tool
