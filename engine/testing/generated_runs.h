// Generated runs for the engine's tests and benchmarks: a realistic mixed run and the worst
// cases the limits allow. Every run is a pure function of its parameters; entries come in
// ascending identifier order unless a test shuffles them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/source.h"
#include "contracts/test_records.h"

namespace tw::testing {

struct GeneratedRun {
  std::vector<Entry> entries;
  RunManifest manifest = makeManifest("run-generated");
};

// A distinct valid date for each index below 336 (28 days in each month of 2024).
inline std::string dateOf(uint32_t index) {
  const uint32_t month = 1 + (index / 28) % 12;
  const uint32_t day = 1 + index % 28;
  std::string text = "2024-00-00";
  text[5] = static_cast<char>('0' + month / 10);
  text[6] = static_cast<char>('0' + month % 10);
  text[8] = static_cast<char>('0' + day / 10);
  text[9] = static_cast<char>('0' + day % 10);
  return text;
}

// Fixed-width decimal, so that generated identifiers sort as their numbers.
inline std::string padded(uint64_t value, size_t width = 6) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// `prefix` followed by padded(value, width). (Appending to the prefix also keeps g++ 12 from a
// false -Wrestrict report on a literal added to a temporary string.)
inline std::string padded(std::string_view prefix, uint64_t value, size_t width = 6) {
  return std::string(prefix).append(padded(value, width));
}

// Deterministic pseudo-random numbers (64-bit linear congruential generator).
class Lcg {
 public:
  explicit Lcg(uint64_t seed) : state_(seed * 2862933555777941757ULL + 3037000493ULL) {}
  uint64_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_ >> 17;
  }
  uint64_t below(uint64_t bound) { return next() % bound; }

 private:
  uint64_t state_;
};

// A run of about `entryCount` entries mixing what real runs hold: exact reference matches in
// every stage, sales with fees, matches without references, compositions, mismatched amounts and
// unmatched lines. Each block of related entries gets an (account, day) of its own most of the
// time, and shares it with one other block otherwise.
inline GeneratedRun realisticRun(size_t entryCount, uint64_t seed = 1) {
  GeneratedRun run;
  run.entries.reserve(entryCount + 4);
  Lcg random(seed);
  uint64_t serial = 0;
  auto nextId = [&](std::string_view prefix) { return std::string(prefix) + padded(serial++); };
  auto amount = [&] { return static_cast<int64_t>(100 + random.below(5'000'000)); };
  for (uint64_t block = 0; run.entries.size() < entryCount; ++block) {
    const uint64_t slot = block % 4000;
    const std::string account = padded("ACC", slot % 150, 3);
    const std::string date = dateOf(static_cast<uint32_t>(slot / 150));
    const std::string ref = "REF-" + padded(block);
    const int64_t cents = amount();
    switch (block % 7) {
      case 0:  // ERP and bank agree by reference: an allocation.
        run.entries.push_back(
            makeEntry(nextId("E"), SourceRole::Erp, account, date, std::to_string(cents), ref));
        run.entries.push_back(
            makeEntry(nextId("B"), SourceRole::Bank, account, date, std::to_string(cents), ref));
        break;
      case 1: {  // Sale with a fee, its settlement, and the settlement's bank line.
        const int64_t fee = 1 + static_cast<int64_t>(random.below(500));
        Entry sale = makeEntry(nextId("S"), SourceRole::Sales, account, date,
                               std::to_string(cents + fee), ref);
        sale.components.push_back(makeFee(std::to_string(-fee), SourceRole::Sales,
                                          static_cast<uint32_t>(2 + block % 1000)));
        run.entries.push_back(std::move(sale));
        run.entries.push_back(makeEntry(nextId("T"), SourceRole::Settlement, account, date,
                                        std::to_string(cents), ref));
        run.entries.push_back(
            makeEntry(nextId("B"), SourceRole::Bank, account, date, std::to_string(cents), ref));
        break;
      }
      case 2:  // Same amount and day, no reference: a synthetic candidate.
        run.entries.push_back(
            makeEntry(nextId("E"), SourceRole::Erp, account, date, std::to_string(cents)));
        run.entries.push_back(
            makeEntry(nextId("B"), SourceRole::Bank, account, date, std::to_string(cents)));
        break;
      case 3: {  // Two ERP lines paid by one bank line: a composition.
        const int64_t part = 1 + static_cast<int64_t>(random.below(static_cast<uint64_t>(cents)));
        run.entries.push_back(makeEntry(nextId("E"), SourceRole::Erp, account, date,
                                        std::to_string(part), ref + "-1"));
        run.entries.push_back(makeEntry(nextId("E"), SourceRole::Erp, account, date,
                                        std::to_string(cents), ref + "-2"));
        run.entries.push_back(makeEntry(nextId("B"), SourceRole::Bank, account, date,
                                        std::to_string(cents + part), ref + "-3"));
        break;
      }
      case 4:  // Same reference, different amounts: a review hold.
        run.entries.push_back(
            makeEntry(nextId("E"), SourceRole::Erp, account, date, std::to_string(cents), ref));
        run.entries.push_back(makeEntry(nextId("B"), SourceRole::Bank, account, date,
                                        std::to_string(cents - 1), ref));
        break;
      case 5:  // Settlement straight to the bank.
        run.entries.push_back(makeEntry(nextId("T"), SourceRole::Settlement, account, date,
                                        std::to_string(cents), ref));
        run.entries.push_back(
            makeEntry(nextId("B"), SourceRole::Bank, account, date, std::to_string(cents), ref));
        break;
      default:  // A line nothing matches.
        run.entries.push_back(makeEntry(nextId("E"), SourceRole::Erp, account, date,
                                        std::to_string(cents), std::nullopt));
        break;
    }
  }
  run.entries.resize(entryCount);
  return run;
}

// One synthetic cell of `side` ERP and `side` bank entries without references, all on one
// account and day, with pairwise distinct amounts: the pass compares every pair and finds none.
inline GeneratedRun distinctSyntheticCell(uint32_t side) {
  GeneratedRun run;
  for (uint32_t i = 0; i < side; ++i) {
    run.entries.push_back(makeEntry(padded("E", i), SourceRole::Erp, "ACC", "2024-03-01",
                                    std::to_string(1000 + 2 * i)));
  }
  for (uint32_t i = 0; i < side; ++i) {
    run.entries.push_back(makeEntry(padded("B", i), SourceRole::Bank, "ACC", "2024-03-01",
                                    std::to_string(1001 + 2 * i)));
  }
  return run;
}

// `cells` composition cells, each of nine ERP entries and one bank entry whose amount none of
// the subsets reaches: each cell's search walks all 512 subsets and spends 1023 of its 1024
// steps.
inline GeneratedRun compositionCellsAtBudget(uint32_t cells) {
  GeneratedRun run;
  for (uint32_t cell = 0; cell < cells; ++cell) {
    const std::string account = padded("ACC", cell);
    for (uint32_t i = 0; i < 9; ++i) {
      run.entries.push_back(makeEntry(padded("E", cell) + "-" + std::to_string(i), SourceRole::Erp,
                                      account, "2024-03-01", std::to_string(10 + i),
                                      padded("R", cell * 10 + i)));
    }
    run.entries.push_back(makeEntry(padded("B", cell), SourceRole::Bank, account, "2024-03-01",
                                    "1000000", padded("R", cell * 10 + 9)));
  }
  return run;
}

// `cells` composition cells near the widest shape the limits allow: four ERP entries of 1 cent
// and 252 bank entries, 48 of 2 cents and 204 of 0 cents (1008 of the 1024 pairs). Each 2-cent
// target has six solutions for 21 steps, 1008 steps a cell; each group carries all 256 members.
// 34 cells make 9792 groups with 19584 proposals.
inline GeneratedRun wideCompositionCells(uint32_t cells) {
  GeneratedRun run;
  for (uint32_t cell = 0; cell < cells; ++cell) {
    const std::string account = padded("ACC", cell);
    const std::string prefix = padded(cell) + "-";
    for (uint32_t i = 0; i < 4; ++i) {
      run.entries.push_back(makeEntry("E" + prefix + padded(i, 3), SourceRole::Erp, account,
                                      "2024-03-01", "1", "RE" + prefix + padded(i, 3)));
    }
    for (uint32_t i = 0; i < 252; ++i) {
      run.entries.push_back(makeEntry("B" + prefix + padded(i, 3), SourceRole::Bank, account,
                                      "2024-03-01", i < 48 ? "2" : "0",
                                      "RB" + prefix + padded(i, 3)));
    }
  }
  return run;
}

// `lefts` by `rights` ERP and bank entries without references and of one amount on one account
// and day: every pair is a synthetic candidate, lefts * rights groups in all.
inline GeneratedRun equalSyntheticCell(uint32_t lefts, uint32_t rights,
                                       std::string_view account = "ACC") {
  GeneratedRun run;
  for (uint32_t i = 0; i < lefts; ++i) {
    run.entries.push_back(makeEntry(padded(std::string("E").append(account), i), SourceRole::Erp,
                                    std::string(account), "2024-03-01", "500"));
  }
  for (uint32_t i = 0; i < rights; ++i) {
    run.entries.push_back(makeEntry(padded(std::string("B").append(account), i), SourceRole::Bank,
                                    std::string(account), "2024-03-01", "500"));
  }
  return run;
}

}  // namespace tw::testing
