// tallywarden plan --manifest TEMPLATE ENTRIES... -o PLAN_DIR: a company's books cut into runs
// that pass.
//
// Every entry is read and checked first (plan_input.h). The books are then costed account by
// account with the engine's costing mode (engine/costing.h), which also names the entries that
// must stay together: units of one (account, reference), of one candidate, of candidates that
// claim one entry, and every cell past the costing cap. Units are packed first-fit into runs,
// in order of their first day, under every session limit and every engine bound, the cells'
// figures recomputed with the step count of the engine's subset search as they fill. A unit
// that passes a bound by itself is sliced into its reference bundles, kept in the order of their
// ties; what a slicing separates is listed. Each run is costed again, piece by piece (its
// entries of one account), and no plan is made unless every run passes. The folder is
// written into a temporary sibling and renamed into place.
//
// Besides the planning, one more thread (a task queue) sorts and costs the next account while
// one is planned, costs the pieces of the account just planned and writes the session of every
// run that takes no more entries; the results are the same as without it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "contracts/json_writer.h"
#include "contracts/sha256.h"
#include "engine/costing.h"
#include "engine/resolution.h"
#include "tallywarden/commands.h"
#include "tallywarden/plan_input.h"
#include "tallywarden/version.h"
#include "worker/frames.h"
#include "worker/line_reader.h"
#include "worker/platform.h"

namespace tw::tool {
namespace {

constexpr std::string_view kPlanUsage =
    "usage: tallywarden plan --manifest TEMPLATE ENTRIES... -o PLAN_DIR [--reject FILE] "
    "[--max-run-entries N] [--nonce-seed S]";
constexpr size_t kNonceBytes = 32;
constexpr uint64_t kFramesBesideEntries = 2;  // "start" and "execute"

struct PlanArgs {
  std::string_view manifest;
  std::vector<std::string_view> entries;
  std::string_view output;
  std::optional<std::string_view> reject;
  std::optional<size_t> maxRunEntries;
  std::optional<std::string_view> nonceSeed;
  bool baseline = false;
};

std::optional<PlanArgs> parseArgs(std::span<const std::string_view> args, std::string& error) {
  PlanArgs parsed;
  bool haveManifest = false;
  bool haveOutput = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&](std::string_view& into) {
      if (i + 1 >= args.size()) {
        error = std::string(arg) + " takes a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string_view text;
    if (arg == "--manifest") {
      if (haveManifest || !value(parsed.manifest)) {
        if (error.empty()) error = "--manifest is given once";
        return std::nullopt;
      }
      haveManifest = true;
    } else if (arg == "-o") {
      if (haveOutput || !value(parsed.output)) {
        if (error.empty()) error = "-o is given once";
        return std::nullopt;
      }
      haveOutput = true;
    } else if (arg == "--reject") {
      if (parsed.reject || !value(text)) {
        if (error.empty()) error = "--reject is given once";
        return std::nullopt;
      }
      parsed.reject = text;
    } else if (arg == "--nonce-seed") {
      if (parsed.nonceSeed || !value(text)) {
        if (error.empty()) error = "--nonce-seed is given once";
        return std::nullopt;
      }
      parsed.nonceSeed = text;
    } else if (arg == "--max-run-entries") {
      if (parsed.maxRunEntries || !value(text)) {
        if (error.empty()) error = "--max-run-entries is given once";
        return std::nullopt;
      }
      size_t n = 0;
      for (const char c : text) {
        if (c < '0' || c > '9' || n > kMaxHeldEntries) {
          n = 0;
          break;
        }
        n = n * 10 + static_cast<size_t>(c - '0');
      }
      if (n == 0) {
        error =
            "--max-run-entries takes a whole number from 1 to " + std::to_string(kMaxHeldEntries);
        return std::nullopt;
      }
      parsed.maxRunEntries = std::min(n, kMaxHeldEntries);
    } else if (arg == "--identifier-order-baseline") {
      parsed.baseline = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + std::string(arg) + "'";
      return std::nullopt;
    } else {
      parsed.entries.push_back(arg);
    }
  }
  if (!haveManifest || !haveOutput || parsed.entries.empty()) {
    error = "--manifest TEMPLATE, at least one ENTRIES file and -o PLAN_DIR are needed";
    return std::nullopt;
  }
  return parsed;
}

// ---- Frames ----------------------------------------------------------------------------------

std::string frameLine(JsonObject members, std::string_view nonce) {
  members["nonce"] = Json(std::string(nonce));
  members["version"] = Json(kProtocolVersion);
  return toCompactJson(Json(std::move(members))) + "\n";
}

// The "entries" frames of a run as the greedy cutter makes them: at most kMaxEntriesPerFrame
// entries and kMaxLineBytes bytes a line, in the order entries are added.
struct FrameFill {
  uint64_t frames = 0;     // entries frames
  uint64_t bytes = 0;      // their bytes
  size_t lastCount = 0;    // entries in the last frame
  uint64_t lastBytes = 0;  // its bytes

  static uint64_t emptyFrameBytes() {
    static const uint64_t bytes =
        frameLine(makeObject({{"entries", Json(JsonArray{})}, {"kind", Json("entries")}}),
                  std::string(kNonceBytes, '0'))
            .size();
    return bytes;
  }

  // False when one entry is too long for a frame of its own.
  bool add(uint32_t textBytes) {
    const uint64_t empty = emptyFrameBytes();
    if (empty + textBytes > kMaxLineBytes) return false;
    if (lastCount == 0 || lastCount == kMaxEntriesPerFrame ||
        lastBytes + 1 + textBytes > kMaxLineBytes) {
      ++frames;
      bytes += empty + textBytes;
      lastCount = 1;
      lastBytes = empty + textBytes;
      return true;
    }
    bytes += 1 + textBytes;
    lastBytes += 1 + textBytes;
    ++lastCount;
    return true;
  }
};

// ---- Units -----------------------------------------------------------------------------------

class Disjoint {
 public:
  explicit Disjoint(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  uint32_t find(uint32_t x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }
  void join(uint32_t a, uint32_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (a > b) std::swap(a, b);
    parent_[b] = a;  // the smaller index stays the root, which keeps the result deterministic
  }

 private:
  std::vector<uint32_t> parent_;
};

// A unit's part of one reference or composition cell: positions in the cell's lists, ascending.
struct CellPart {
  uint32_t cell = 0;
  std::span<const uint32_t> lefts;
  std::span<const uint32_t> rights;
};

// Its lists point into the pools of the UnitList that made it.
struct Unit {
  std::span<const uint32_t> members;  // account-local indexes, in ascending identifier
  std::span<const CellPart> cells;    // in ascending cell
  uint64_t groups = 0;
  uint64_t proposals = 0;
  uint32_t origins = 0;
  // The parts (indexes into `cells`) whose cell holds entries of other units too: only these
  // depend on the run. A part that holds its whole cell is judged once: the first of them
  // that passes a bound alone, at `alone` (none: UINT32_MAX), with its bound and figure.
  std::span<const uint32_t> shared;
  uint32_t alone = UINT32_MAX;
  EngineBound aloneBound = EngineBound::None;
  uint64_t aloneFigure = 0;
  uint64_t textBytes = 0;          // the members' compact texts
  uint32_t longestText = 0;        // the longest of them
  std::optional<uint32_t> bundle;  // an unplannable bundle's chunk: never two in one run
};

// Units and the pools their lists point into: a list is moved, never copied.
struct UnitList {
  UnitList() = default;
  UnitList(UnitList&&) = default;
  UnitList& operator=(UnitList&&) = default;
  UnitList(const UnitList&) = delete;
  UnitList& operator=(const UnitList&) = delete;

  std::vector<Unit> units;
  std::vector<uint32_t> members;
  std::vector<CellPart> parts;
  std::vector<uint32_t> positions;
  std::vector<uint32_t> shared;
};

// ---- Runs ------------------------------------------------------------------------------------

// A run's share of one cell of the current account: how many of its lefts and rights the run
// holds (which ones, runOf_ says). The shares of one cell are chained by `next`.
struct CellShare {
  uint32_t run = 0;
  uint32_t lefts = 0;
  uint32_t rights = 0;
  uint32_t next = UINT32_MAX;
};

struct Run {
  std::vector<uint32_t> entries;  // global indexes, in the order they are written
  FrameFill frames;
  uint64_t groups = 0;
  uint64_t proposals = 0;
  std::set<uint32_t> bundles;  // the current account's unplannable bundles
  bool full = false;           // takes no more entries
  bool told = false;           // Planner::onFull has been told
};

struct Limits {
  size_t runEntries = kMaxHeldEntries;
  uint64_t sessionBytes = kMaxSessionBytes;  // less the start and execute lines
  uint64_t frames = kMaxFramesPerSession - kFramesBesideEntries;
};

// ---- Costing the runs ------------------------------------------------------------------------

// A run's figures against every engine bound. Entries of different accounts never meet, so a
// run costs what its pieces (its entries of one account) cost, combined: entries, groups and
// proposals add up, the cell figures and origins are the largest of any piece.
struct RunFigures {
  std::vector<BoundFigure> figures;
  bool failed = false;  // a piece failed to cost, or passes a bound or the costing cap

  void add(const RunCost& piece) {
    if (!piece.passes(kSessionEngineLimits)) {
      failed = true;
      return;
    }
    const std::vector<BoundFigure> more = piece.figures(kSessionEngineLimits);
    if (figures.empty()) {
      figures = more;
      return;
    }
    for (size_t i = 0; i < figures.size(); ++i) {
      const EngineBound bound = figures[i].bound;
      if (bound == EngineBound::Entries || bound == EngineBound::Groups ||
          bound == EngineBound::Proposals) {
        figures[i].figure += more[i].figure;
      } else {
        figures[i].figure = std::max(figures[i].figure, more[i].figure);
      }
    }
  }
  // True when every piece was costed and the combined run passes every bound.
  bool passes() const {
    if (failed || figures.empty()) return false;
    for (const BoundFigure& figure : figures) {
      if (figure.figure > figure.limit) return false;
    }
    return true;
  }
};

// Tasks run in the order they are added on a thread of its own, and on the calling thread in
// `drain`. Without a thread (one cannot be started) a task runs when it is added.
class TaskQueue {
 public:
  TaskQueue() {
    try {
      thread_ = std::thread([this] { work(); });
    } catch (...) {
      threaded_ = false;
    }
  }
  ~TaskQueue() { stop(); }
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  void add(std::function<void()> task) { push(std::move(task), false); }
  // Adds a task before every task not yet started.
  void addFirst(std::function<void()> task) { push(std::move(task), true); }

  // Runs tasks here too until `ready` is ready.
  void helpUntil(std::future<void>& ready) {
    for (;;) {
      if (ready.wait_for(std::chrono::seconds(0)) == std::future_status::ready) return;
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!tasks_.empty()) {
          task = std::move(tasks_.front());
          tasks_.pop_front();
        }
      }
      if (!task) break;
      task();
    }
    ready.wait();
  }

  // Runs tasks here too until every task added has run.
  void drain() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (tasks_.empty()) {
          done_.wait(lock, [this] { return running_ == 0 && tasks_.empty(); });
          if (tasks_.empty()) return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

 private:
  void push(std::function<void()> task, bool first) {
    if (!threaded_) {
      task();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (first) {
        tasks_.push_front(std::move(task));
      } else {
        tasks_.push_back(std::move(task));
      }
    }
    wake_.notify_one();
  }

  void work() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
        ++running_;
      }
      task();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
      }
      done_.notify_all();
    }
  }

  void stop() {
    if (!threaded_) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<std::function<void()>> tasks_;
  size_t running_ = 0;
  bool stopping_ = false;
  bool threaded_ = true;
  std::thread thread_;
};

// The runs' figures, from their pieces costed as tasks.
class PieceCoster {
 public:
  explicit PieceCoster(TaskQueue& tasks) : tasks_(tasks) {}
  // The tasks refer to this coster: none is left when it goes.
  ~PieceCoster() { tasks_.drain(); }
  PieceCoster(const PieceCoster&) = delete;
  PieceCoster& operator=(const PieceCoster&) = delete;

  // `order` lists the positions of `entries` by ascending identifier.
  void add(uint32_t run, std::vector<const Entry*> entries, std::vector<uint32_t> order) {
    tasks_.add([this, run, entries = std::move(entries), order = std::move(order)] {
      const std::atomic<bool> never{false};
      auto piece = costRun(entries, order, never);
      std::lock_guard<std::mutex> lock(mutex_);
      if (results_.size() <= run) results_.resize(run + 1);
      RunFigures& figures = results_[run];
      if (!piece) {
        figures.failed = true;
      } else {
        figures.add(*piece);
      }
    });
  }

  TaskQueue& tasks() { return tasks_; }

  // The figures by run. REQUIRES: the tasks have been drained.
  std::vector<RunFigures> take(size_t runs) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.resize(std::max(results_.size(), runs));
    return std::move(results_);
  }

 private:
  TaskQueue& tasks_;
  std::mutex mutex_;
  std::vector<RunFigures> results_;
};

// ---- Plan ------------------------------------------------------------------------------------

struct SlicedCell {
  AllocationStage stage;
  MatchPass pass;
  std::string accountId;
  std::string key;
  size_t left = 0;
  size_t right = 0;
  size_t runs = 0;
  uint64_t steps = 0;
  bool pastCap = false;
  std::vector<std::vector<std::string>> separated;
  std::vector<std::vector<std::string>> competing;
  std::optional<uint64_t> identifierOrderSeparated;  // with --identifier-order-baseline
};

struct Unplannable {
  std::vector<std::string> entries;
  EngineBound bound = EngineBound::None;
  uint64_t figure = 0;
  uint64_t limit = 0;
  std::vector<std::string> counterparts;
  std::vector<std::string> notPlanned;
};

class Planner {
 public:
  Planner(const PlanInput& input, const Limits& limits, PieceCoster& coster)
      : input_(input), limits_(limits), coster_(coster) {}

  // Plans every account; false with `error` when the engine refuses the books.
  bool plan(std::string& error) {
    std::map<std::string_view, std::vector<uint32_t>> accounts;
    for (uint32_t i = 0; i < input_.entries.size(); ++i) {
      accounts[input_.entries[i].accountId].push_back(i);
    }
    runOf_.assign(input_.entries.size(), UINT32_MAX);
    // Each account's entries in ascending identifier, and its costing, made on the task thread
    // while the account before it is planned.
    std::vector<std::pair<std::string_view, const std::vector<uint32_t>*>> list;
    for (const auto& [account, members] : accounts) list.emplace_back(account, &members);
    std::vector<Prepared> prepared(list.size());
    std::vector<std::future<void>> ready(list.size());
    auto prepareAhead = [&](size_t a) {
      auto done = std::make_shared<std::promise<void>>();
      ready[a] = done->get_future();
      coster_.tasks().addFirst([this, &prepared, &list, a, done] {
        prepare(*list[a].second, prepared[a]);
        done->set_value();
      });
    };
    // The first account is prepared here while the task thread prepares the second.
    if (list.size() > 1) prepareAhead(1);
    if (!list.empty()) {
      std::promise<void> done;
      ready[0] = done.get_future();
      prepare(*list[0].second, prepared[0]);
      done.set_value();
    }
    std::vector<size_t> before;
    for (size_t a = 0; a < list.size(); ++a) {
      const auto [account, membersOf] = list[a];
      const std::vector<uint32_t>& members = *membersOf;
      coster_.tasks().helpUntil(ready[a]);
      if (a > 0 && a + 1 < list.size()) prepareAhead(a + 1);
      Prepared current = std::move(prepared[a]);
      byIdentifier_ = std::move(current.order);
      before.clear();
      for (const Run& run : runs) before.push_back(run.entries.size());
      const bool planned = planAccount(account, members, current, error);
      current = Prepared{};
      if (!planned) {
        if (a + 1 < list.size()) ready[a + 1].wait();  // the task refers to this frame
        return false;
      }
      // The account's piece of every run that took some of its entries.
      for (uint32_t r = 0; r < runs.size(); ++r) {
        const std::vector<uint32_t>& entries = runs[r].entries;
        const size_t begin = r < before.size() ? before[r] : 0;
        if (begin == entries.size()) continue;
        std::vector<const Entry*> piece;
        std::vector<uint32_t> ranks;  // of the piece's entries in the account's identifier order
        piece.reserve(entries.size() - begin);
        ranks.reserve(entries.size() - begin);
        for (size_t i = begin; i < entries.size(); ++i) {
          piece.push_back(&entry(entries[i]));
          const auto local = std::lower_bound(members.begin(), members.end(), entries[i]);
          ranks.push_back(idRank_[static_cast<size_t>(local - members.begin())]);
        }
        std::vector<uint32_t> order(piece.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(),
                  [&ranks](uint32_t x, uint32_t y) { return ranks[x] < ranks[y]; });
        coster_.add(r, std::move(piece), std::move(order));
      }
      for (uint32_t r = 0; r < runs.size(); ++r) {
        if (!runs[r].full || runs[r].told) continue;
        runs[r].told = true;
        if (onFull) onFull(r);
      }
    }
    return true;
  }

  // Told of each run that takes no more entries, after the account that filled it.
  std::function<void(uint32_t run)> onFull;

  std::vector<Run> runs;
  std::vector<SlicedCell> sliced;
  std::vector<std::pair<std::string, std::string>> separatedPairs;
  std::vector<Unplannable> unplannable;
  uint64_t separatedCandidates = 0;
  bool baseline = false;  // also count what cutting in identifier order would separate
  uint64_t identifierOrderSeparated = 0;

 private:
  const Entry& entry(uint32_t global) const { return input_.entries[global]; }

  // An account's entries, their order by identifier and the account's costing.
  struct Prepared {
    std::vector<const Entry*> view;
    std::vector<uint32_t> order;  // positions in `view` by ascending identifier
    std::optional<Result<RunCost, EngineError>> cost;
    Disjoint bundles{0};
  };

  void prepare(const std::vector<uint32_t>& members, Prepared& out) const {
    out.view.reserve(members.size());
    for (const uint32_t i : members) out.view.push_back(&entry(i));
    out.order = identifierOrder(out.view);
    // The account's reference bundles: every entry of one reference together.
    // Each reference's first entry is found in an open-addressed table of entry positions, a
    // few bytes an entry beside the account's costing.
    out.bundles = Disjoint(members.size());
    size_t slots = 16;
    while (slots < 2 * members.size()) slots *= 2;
    std::vector<uint32_t> firstOf(slots, UINT32_MAX);
    for (uint32_t k = 0; k < members.size(); ++k) {
      if (!out.view[k]->reference) continue;
      const std::string_view reference = *out.view[k]->reference;
      size_t at = std::hash<std::string_view>{}(reference) & (slots - 1);
      while (firstOf[at] != UINT32_MAX && *out.view[firstOf[at]]->reference != reference) {
        at = (at + 1) & (slots - 1);
      }
      if (firstOf[at] == UINT32_MAX) {
        firstOf[at] = k;
      } else {
        out.bundles.join(firstOf[at], k);
      }
    }
    const std::atomic<bool> never{false};
    out.cost = costRun(out.view, out.order, never);
  }

  bool planAccount(std::string_view account, const std::vector<uint32_t>& members,
                   Prepared& prepared, std::string& error) {
    const std::vector<const Entry*>& view = prepared.view;
    if (!*prepared.cost) {
      error = "the engine refuses the books of account " + std::string(account) + " (" +
              std::string(engineErrorName(prepared.cost->error())) + ")";
      return false;
    }
    const RunCost& cost = **prepared.cost;

    // Units: reference bundles, candidates, competing candidates, cells past the cap.
    Disjoint bundles = std::move(prepared.bundles);
    Disjoint units = bundles;
    for (const CostCandidate& candidate : cost.candidates) {
      if (candidate.pass == MatchPass::Synthetic || candidate.duplicate) continue;
      for (const CostIndex k : candidate.entries) units.join(candidate.entries.front(), k);
    }
    for (const std::vector<uint32_t>& set : cost.competing) {
      std::optional<CostIndex> first;
      for (const uint32_t c : set) {
        const CostCandidate& candidate = cost.candidates[c];
        if (candidate.pass == MatchPass::Synthetic) continue;
        if (!first) first = candidate.entries.front();
        units.join(*first, candidate.entries.front());
      }
    }
    for (const CellCost& cell : cost.cells) {
      if (!cell.pastCap) continue;
      for (const CostIndex k : cell.lefts) units.join(cell.lefts.front(), k);
      for (const CostIndex k : cell.rights) units.join(cell.lefts.front(), k);
    }

    indexAccount(cost, view);
    members_ = &members;
    const UnitList whole = makeUnits(cost, view, units, nullptr);
    runCells_ = &cost;
    view_ = &view;
    for (Run& run : runs) run.bundles.clear();
    shareHead_.assign(cost.cells.size(), UINT32_MAX);
    positionBegin_.assign(cost.cells.size() + 1, 0);
    for (uint32_t c = 0; c < cost.cells.size(); ++c) {
      const CellCost& cell = cost.cells[c];
      const size_t held =
          cell.pass == MatchPass::Composition ? cell.lefts.size() + cell.rights.size() : 0;
      positionBegin_[c + 1] = positionBegin_[c] + held;
    }
    positionRun_.assign(positionBegin_.back(), UINT32_MAX);
    shares_.clear();
    cellRefusals_.assign(cost.cells.size(), {});
    // Units in order of their first day, then first identifier.
    for (const Unit& unit : whole.units) {
      if (place(unit)) continue;
      sliceUnit(unit, cost, view, bundles);
    }
    reportAccount(account, cost, view, members);
    return true;
  }

  // The units of the account by `ties`, those of `only` when given, in order of first day then
  // first identifier, with their parts of every cell that has both sides.
  UnitList makeUnits(const RunCost& cost, const std::vector<const Entry*>& view, Disjoint& ties,
                     const std::span<const uint32_t>* only) {
    std::vector<uint32_t> order;
    if (only != nullptr) {
      order.assign(only->begin(), only->end());
      std::sort(order.begin(), order.end(),
                [this](uint32_t a, uint32_t b) { return idRank_[a] < idRank_[b]; });
    } else {
      order = byIdentifier_;
    }
    UnitList out;
    std::vector<Unit>& list = out.units;
    std::vector<std::string_view> firstDay;
    std::vector<uint32_t> begin;  // by unit: where its members go in the pool, then its count
    for (const uint32_t k : order) {
      const uint32_t root = ties.find(k);
      uint32_t& u = rootUnit_[root];
      if (u == UINT32_MAX) {
        u = static_cast<uint32_t>(list.size());
        list.emplace_back();
        firstDay.push_back(view[k]->date);
        begin.push_back(0);
      }
      unitOf_[k] = u;
      ++begin[u];
      const uint32_t textBytes = input_.textBytes[(*members_)[k]];
      list[u].textBytes += textBytes;
      list[u].longestText = std::max(list[u].longestText, textBytes);
      firstDay[u] = std::min<std::string_view>(firstDay[u], view[k]->date);
    }
    for (const uint32_t k : order) rootUnit_[ties.find(k)] = UINT32_MAX;
    // Members in the pool by unit, each unit's in ascending identifier.
    uint32_t total = 0;
    for (uint32_t& b : begin) {
      const uint32_t count = b;
      b = total;
      total += count;
    }
    std::vector<uint32_t> end(begin);
    out.members.resize(order.size());
    for (const uint32_t k : order) out.members[end[unitOf_[k]]++] = k;
    for (uint32_t u = 0; u < list.size(); ++u) {
      list[u].members = std::span<const uint32_t>(out.members).subspan(begin[u], end[u] - begin[u]);
    }
    // Each unit's cells in ascending cell; its members in ascending identifier give each cell's
    // positions in ascending order. Each part's lists are set once the pool is full.
    std::vector<std::pair<uint32_t, uint32_t>> unitRefs;  // (cell, index into refs_)
    std::vector<uint32_t> listBegin;  // by part: where its lefts begin, then its rights
    std::vector<uint32_t> partBegin(list.size() + 1, 0);
    for (uint32_t u = 0; u < list.size(); ++u) {
      partBegin[u] = static_cast<uint32_t>(out.parts.size());
      unitRefs.clear();
      for (const uint32_t k : list[u].members) {
        for (uint32_t r = refBegin_[k]; r < refBegin_[k + 1]; ++r) {
          unitRefs.emplace_back(refs_[r].cell, r);
        }
      }
      std::stable_sort(unitRefs.begin(), unitRefs.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (size_t i = 0; i < unitRefs.size();) {
        const uint32_t cell = unitRefs[i].first;
        size_t j = i;
        while (j < unitRefs.size() && unitRefs[j].first == cell) ++j;
        listBegin.push_back(static_cast<uint32_t>(out.positions.size()));
        for (size_t m = i; m < j; ++m) {
          const CellRef& ref = refs_[unitRefs[m].second];
          if (!ref.right) out.positions.push_back(ref.pos);
        }
        listBegin.push_back(static_cast<uint32_t>(out.positions.size()));
        for (size_t m = i; m < j; ++m) {
          const CellRef& ref = refs_[unitRefs[m].second];
          if (ref.right) out.positions.push_back(ref.pos);
        }
        CellPart part;
        part.cell = cell;
        out.parts.push_back(part);
        i = j;
      }
    }
    partBegin[list.size()] = static_cast<uint32_t>(out.parts.size());
    const std::span<const uint32_t> positions(out.positions);
    listBegin.push_back(static_cast<uint32_t>(positions.size()));
    for (size_t p = 0; p < out.parts.size(); ++p) {
      const uint32_t lefts = listBegin[2 * p];
      const uint32_t rights = listBegin[2 * p + 1];
      const uint32_t last = listBegin[2 * p + 2];
      out.parts[p].lefts = positions.subspan(lefts, rights - lefts);
      out.parts[p].rights = positions.subspan(rights, last - rights);
    }
    std::vector<uint32_t> sharedBegin(list.size() + 1, 0);
    for (uint32_t u = 0; u < list.size(); ++u) {
      Unit& unit = list[u];
      unit.cells = std::span<const CellPart>(out.parts).subspan(partBegin[u],
                                                                partBegin[u + 1] - partBegin[u]);
      sharedBegin[u] = static_cast<uint32_t>(out.shared.size());
      for (uint32_t i = 0; i < unit.cells.size(); ++i) {
        const CellPart& part = unit.cells[i];
        const CellCost& cell = cost.cells[part.cell];
        if (part.lefts.size() != cell.lefts.size() || part.rights.size() != cell.rights.size()) {
          out.shared.push_back(i);
          continue;
        }
        if (unit.alone != UINT32_MAX) continue;
        const EngineBound bound = cellBound(cell.lefts.size(), cell.rights.size(), cell.pass,
                                            cell.leftAmounts, cell.rightAmounts, unit.aloneFigure);
        if (bound != EngineBound::None) {
          unit.alone = i;
          unit.aloneBound = bound;
        }
      }
    }
    sharedBegin[list.size()] = static_cast<uint32_t>(out.shared.size());
    for (uint32_t u = 0; u < list.size(); ++u) {
      list[u].shared = std::span<const uint32_t>(out.shared)
                           .subspan(sharedBegin[u], sharedBegin[u + 1] - sharedBegin[u]);
    }
    for (const uint32_t k : order) {
      const uint32_t u = unitOf_[k];
      for (uint32_t c = candBegin_[k]; c < candBegin_[k + 1]; ++c) {
        const CostCandidate& candidate = cost.candidates[cands_[c]];
        // A synthetic pair is counted with its left entry's unit: at most what the run collects.
        if (candidate.pass != MatchPass::Synthetic) {
          bool whole = true;
          for (const CostIndex m : candidate.entries) whole = whole && unitOf_[m] == u;
          if (!whole) continue;
        }
        list[u].groups += 1;
        list[u].proposals += candidate.proposals;
        list[u].origins = std::max(list[u].origins, candidate.origins);
      }
    }
    for (const uint32_t k : order) unitOf_[k] = UINT32_MAX;
    std::vector<uint32_t> byDay(list.size());
    std::iota(byDay.begin(), byDay.end(), 0);
    std::stable_sort(byDay.begin(), byDay.end(), [&](uint32_t a, uint32_t b) {
      return firstDay[a] != firstDay[b]
                 ? firstDay[a] < firstDay[b]
                 : idRank_[list[a].members.front()] < idRank_[list[b].members.front()];
    });
    std::vector<Unit> sorted;
    sorted.reserve(list.size());
    for (const uint32_t u : byDay) sorted.push_back(list[u]);
    list = std::move(sorted);
    return out;
  }

  // The account's entries' places in its cells, and the candidates each entry leads (its first
  // named entry) or takes part in, as offsets by entry.
  void indexAccount(const RunCost& cost, const std::vector<const Entry*>& view) {
    const size_t n = view.size();
    idRank_.resize(n);
    for (uint32_t i = 0; i < n; ++i) idRank_[byIdentifier_[i]] = i;
    rootUnit_.assign(n, UINT32_MAX);
    partOf_.assign(n, UINT32_MAX);
    // By entry, in the order of the cells, lefts before rights.
    refBegin_.assign(n + 1, 0);
    for (const CellCost& cell : cost.cells) {
      if (cell.pass == MatchPass::Synthetic) continue;
      for (const CostIndex k : cell.lefts) ++refBegin_[k + 1];
      for (const CostIndex k : cell.rights) ++refBegin_[k + 1];
    }
    for (size_t k = 0; k < n; ++k) refBegin_[k + 1] += refBegin_[k];
    refs_.resize(refBegin_[n]);
    {
      std::vector<uint32_t> at(refBegin_.begin(), refBegin_.end() - 1);
      for (uint32_t c = 0; c < cost.cells.size(); ++c) {
        const CellCost& cell = cost.cells[c];
        if (cell.pass == MatchPass::Synthetic) continue;
        for (uint32_t p = 0; p < cell.lefts.size(); ++p) refs_[at[cell.lefts[p]]++] = {c, p, false};
        for (uint32_t p = 0; p < cell.rights.size(); ++p) {
          refs_[at[cell.rights[p]]++] = {c, p, true};
        }
      }
    }
    auto csr = [n](const std::vector<std::pair<uint32_t, uint32_t>>& pairs,
                   std::vector<uint32_t>& begin, std::vector<uint32_t>& items) {
      begin.assign(n + 1, 0);
      items.assign(pairs.size(), 0);
      for (const auto& [k, c] : pairs) ++begin[k + 1];
      for (size_t k = 0; k < n; ++k) begin[k + 1] += begin[k];
      std::vector<uint32_t> at(begin.begin(), begin.end() - 1);
      for (const auto& [k, c] : pairs) items[at[k]++] = c;
    };
    std::vector<std::pair<uint32_t, uint32_t>> leads;
    std::vector<std::pair<uint32_t, uint32_t>> takes;
    for (uint32_t c = 0; c < cost.candidates.size(); ++c) {
      const CostCandidate& candidate = cost.candidates[c];
      if (candidate.duplicate) continue;
      leads.emplace_back(candidate.entries.front(), c);
      if (candidate.pass == MatchPass::Synthetic) continue;
      for (const CostIndex k : candidate.entries) takes.emplace_back(k, c);
    }
    csr(leads, candBegin_, cands_);
    csr(takes, takesBegin_, takes_);
    unitOf_.assign(n, UINT32_MAX);
  }

  // The share of `cell` that run `index` holds; none when it holds none.
  const CellShare* shareOf(uint32_t cell, uint32_t index) const {
    for (uint32_t s = shareHead_[cell]; s != UINT32_MAX; s = shares_[s].next) {
      if (shares_[s].run == index) return &shares_[s];
    }
    return nullptr;
  }

  // Whether `unit` fits `run`, runs[index] or a new run (index kNoRun); with `why`, the bound
  // that it would pass and its figure.
  static constexpr uint32_t kNoRun = UINT32_MAX;
  bool fits(const Unit& unit, const Run& run, uint32_t index, EngineBound* why = nullptr,
            uint64_t* figure = nullptr, uint32_t* refusingCell = nullptr) const {
    auto refuse = [&](EngineBound bound, uint64_t value) {
      if (why != nullptr) *why = bound;
      if (figure != nullptr) *figure = value;
      return false;
    };
    const bool empty = run.entries.empty();
    if (!empty && run.entries.size() + unit.members.size() > limits_.runEntries) {
      return refuse(EngineBound::Entries, run.entries.size() + unit.members.size());
    }
    if (run.entries.size() + unit.members.size() > kMaxHeldEntries) {
      return refuse(EngineBound::Entries, run.entries.size() + unit.members.size());
    }
    if (unit.bundle && run.bundles.count(*unit.bundle)) return refuse(EngineBound::None, 0);
    // Each entry adds at most one frame and its text with an empty frame's bytes: when that
    // much fits, the frames do; else they are cut entry by entry.
    // And each adds at least its text and a comma: when that much does not fit, they do not.
    const uint64_t emptyFrame = emptyFrame_;
    const uint64_t count = unit.members.size();
    if (run.frames.bytes + count + unit.textBytes > limits_.sessionBytes) {
      return refuse(EngineBound::None, 0);
    }
    if (emptyFrame + unit.longestText > kMaxLineBytes ||
        run.frames.frames + count > limits_.frames ||
        run.frames.bytes + count * emptyFrame + unit.textBytes > limits_.sessionBytes) {
      FrameFill frames = run.frames;
      for (const uint32_t k : unit.members) {
        if (!frames.add(input_.textBytes[(*members_)[k]])) {
          return refuse(EngineBound::None, 0);
        }
      }
      if (frames.frames > limits_.frames || frames.bytes > limits_.sessionBytes) {
        return refuse(EngineBound::None, 0);
      }
    }
    if (run.groups + unit.groups > kSessionEngineLimits.maxGroups) {
      return refuse(EngineBound::Groups, run.groups + unit.groups);
    }
    if (run.proposals + unit.proposals > kSessionEngineLimits.maxProposals) {
      return refuse(EngineBound::Proposals, run.proposals + unit.proposals);
    }
    if (unit.origins > kMaxAllocationOrigins) return refuse(EngineBound::Origins, unit.origins);
    // The cells in the unit's order; those the unit holds whole were judged when it was made.
    auto refuseAlone = [&] {
      if (refusingCell != nullptr) *refusingCell = unit.cells[unit.alone].cell;
      return refuse(unit.aloneBound, unit.aloneFigure);
    };
    for (const uint32_t i : unit.shared) {
      if (unit.alone < i) return refuseAlone();
      const CellPart& part = unit.cells[i];
      const CellCost& cell = runCells_->cells[part.cell];
      const CellShare* share = index == kNoRun ? nullptr : shareOf(part.cell, index);
      const size_t left = part.lefts.size() + (share != nullptr ? share->lefts : 0);
      const size_t right = part.rights.size() + (share != nullptr ? share->rights : 0);
      if (left == 0 || right == 0) continue;  // a cell without both sides costs nothing
      if (refusingCell != nullptr) *refusingCell = part.cell;
      if (left > kSessionEngineLimits.maxCellSide || right > kSessionEngineLimits.maxCellSide) {
        return refuse(EngineBound::CellSide, std::max(left, right));
      }
      if (left * right > kSessionEngineLimits.maxCellWork) {
        return refuse(EngineBound::CellPairs, left * right);
      }
      if (cell.pass != MatchPass::Composition) continue;
      // A cell too small to spend the bound's steps, whatever its amounts, is not counted.
      if (compositionStepsBound(left, right) <= kSessionEngineLimits.maxCellWork) continue;
      // The amounts of the run's share and the unit's part, in the cell's order: the run holds
      // the positions positionRun_ gives it, the part its own.
      auto merged = [&](const uint32_t* holders, std::span<const uint32_t> more, size_t wanted,
                        std::span<const __int128> all, std::vector<__int128>& out) {
        out.clear();
        if (share == nullptr) {
          for (const uint32_t p : more) out.push_back(all[p]);
          return;
        }
        size_t m = 0;
        for (uint32_t p = 0; p < all.size() && out.size() < wanted; ++p) {
          const bool inPart = m < more.size() && more[m] == p;
          m += inPart ? 1 : 0;
          if (inPart || holders[p] == index) out.push_back(all[p]);
        }
      };
      const uint32_t* holders = positionRun_.data() + positionBegin_[part.cell];
      merged(holders, part.lefts, left, cell.leftAmounts, amounts_);
      merged(holders + cell.lefts.size(), part.rights, right, cell.rightAmounts, targets_);
      const CellSteps steps =
          compositionCellSteps(amounts_, targets_, kSessionEngineLimits.maxCellWork + 1);
      if (steps.steps > kSessionEngineLimits.maxCellWork) {
        return refuse(EngineBound::CellSteps, steps.steps);
      }
    }
    if (unit.alone != UINT32_MAX) return refuseAlone();
    return true;
  }

  // The bound a cell of `left` and `right` entries passes (None when it passes none), and its
  // figure; composition cells count their steps over `amounts` and `targets`.
  static EngineBound cellBound(size_t left, size_t right, MatchPass pass,
                               std::span<const __int128> amounts, std::span<const __int128> targets,
                               uint64_t& figure) {
    if (left == 0 || right == 0) return EngineBound::None;
    if (left > kSessionEngineLimits.maxCellSide || right > kSessionEngineLimits.maxCellSide) {
      figure = std::max(left, right);
      return EngineBound::CellSide;
    }
    if (left * right > kSessionEngineLimits.maxCellWork) {
      figure = left * right;
      return EngineBound::CellPairs;
    }
    if (pass != MatchPass::Composition) return EngineBound::None;
    const CellSteps steps =
        compositionCellSteps(amounts, targets, kSessionEngineLimits.maxCellWork + 1);
    if (steps.steps > kSessionEngineLimits.maxCellWork) {
      figure = steps.steps;
      return EngineBound::CellSteps;
    }
    return EngineBound::None;
  }

  void commit(const Unit& unit, uint32_t index) {
    Run& run = runs[index];
    for (const uint32_t k : unit.members) {
      const uint32_t global = (*members_)[k];
      run.entries.push_back(global);
      run.frames.add(input_.textBytes[global]);
      runOf_[global] = index;
    }
    run.groups += unit.groups;
    run.proposals += unit.proposals;
    for (const CellPart& part : unit.cells) {
      uint32_t at = shareHead_[part.cell];
      while (at != UINT32_MAX && shares_[at].run != index) at = shares_[at].next;
      if (at == UINT32_MAX) {
        // Shares are chained in the order runs first took part of the cell.
        at = static_cast<uint32_t>(shares_.size());
        shares_.push_back(CellShare{index, 0, 0, UINT32_MAX});
        uint32_t* link = &shareHead_[part.cell];
        while (*link != UINT32_MAX) link = &shares_[*link].next;
        *link = at;
      }
      shares_[at].lefts += static_cast<uint32_t>(part.lefts.size());
      shares_[at].rights += static_cast<uint32_t>(part.rights.size());
      const CellCost& cell = runCells_->cells[part.cell];
      if (cell.pass != MatchPass::Composition) continue;
      uint32_t* const held = positionRun_.data() + positionBegin_[part.cell];
      for (const uint32_t p : part.lefts) held[p] = index;
      for (const uint32_t p : part.rights) held[cell.lefts.size() + p] = index;
    }
    if (unit.bundle) run.bundles.insert(*unit.bundle);
    if (run.entries.size() >= limits_.runEntries) run.full = true;
  }

  // First fit; false when the unit does not fit even a run of its own. A run that has refused
  // parts of one cell kRefusalsBeforeSkip times is not offered that cell's parts again: its share
  // of the cell is full, and counting the cell's steps again for every later part would cost more
  // than all the rest of the plan.
  static constexpr uint8_t kRefusalsBeforeSkip = 2;
  // A run that refuses a unit with less room than this left takes no more units.
  static constexpr size_t kRoomEntries = 16;
  static constexpr uint64_t kRoomBytes = 16 * 1024;

  bool place(const Unit& unit) {
    // The runs that refused parts of one of the unit's cells often enough.
    blocked_.resize(runs.size(), 0);
    for (const CellPart& part : unit.cells) {
      for (const auto& [run, count] : cellRefusals_[part.cell]) {
        if (count >= kRefusalsBeforeSkip) blocked_[run] = 1;
      }
    }
    const bool placed = placeFirstFit(unit);
    for (const CellPart& part : unit.cells) {
      for (const auto& refusal : cellRefusals_[part.cell]) blocked_[refusal.first] = 0;
    }
    return placed;
  }

  bool placeFirstFit(const Unit& unit) {
    for (uint32_t r = firstOpen_; r < runs.size(); ++r) {
      if (runs[r].full) {
        if (r == firstOpen_) ++firstOpen_;
        continue;
      }
      if (blocked_[r]) continue;
      uint32_t cell = UINT32_MAX;
      EngineBound bound = EngineBound::None;
      if (fits(unit, runs[r], r, &bound, nullptr, &cell)) {
        commit(unit, r);
        return true;
      }
      if (cell != UINT32_MAX &&
          (bound == EngineBound::CellSide || bound == EngineBound::CellPairs ||
           bound == EngineBound::CellSteps)) {
        std::vector<std::pair<uint32_t, uint8_t>>& refusals = cellRefusals_[cell];
        auto it = std::find_if(refusals.begin(), refusals.end(),
                               [r](const auto& refusal) { return refusal.first == r; });
        if (it == refusals.end()) {
          refusals.emplace_back(r, 1);
        } else if (it->second < UINT8_MAX) {
          ++it->second;
        }
      }
      // A run with little room left is closed, so that later units do not try it one by one.
      const Run& run = runs[r];
      if (run.entries.size() + kRoomEntries >= limits_.runEntries ||
          run.frames.bytes + kRoomBytes >= limits_.sessionBytes ||
          run.frames.frames + 1 >= limits_.frames) {
        runs[r].full = true;
      }
    }
    Run fresh;
    if (!fits(unit, fresh, kNoRun)) return false;
    runs.push_back(std::move(fresh));
    commit(unit, static_cast<uint32_t>(runs.size() - 1));
    return true;
  }

  // A unit that passes a bound by itself: its reference bundles (and entries without a
  // reference), in the order in which its candidates tie them, each placed first-fit. A bundle
  // that passes a bound by itself cannot be planned whole: it is cut by role into chunks that
  // never leave one entry of a role that had several (no candidate the whole would not have),
  // and no two chunks share a run.
  void sliceUnit(const Unit& unit, const RunCost& cost, const std::vector<const Entry*>& view,
                 Disjoint& bundles) {
    const UnitList made = makeUnits(cost, view, bundles, &unit.members);
    const std::vector<Unit>& parts = made.units;
    // Order of ties: a walk over the candidates that join parts, from the first part.
    for (uint32_t p = 0; p < parts.size(); ++p) {
      for (const uint32_t k : parts[p].members) partOf_[k] = p;
    }
    std::vector<std::vector<uint32_t>> next(parts.size());
    for (uint32_t p = 0; p < parts.size(); ++p) {
      for (const uint32_t k : parts[p].members) {
        for (uint32_t t = takesBegin_[k]; t < takesBegin_[k + 1]; ++t) {
          for (const CostIndex m : cost.candidates[takes_[t]].entries) {
            const uint32_t other = partOf_[m];
            if (other == UINT32_MAX || other == p) continue;
            next[p].push_back(other);
          }
        }
      }
      std::sort(next[p].begin(), next[p].end());
      next[p].erase(std::unique(next[p].begin(), next[p].end()), next[p].end());
    }
    for (const Unit& part : parts) {
      for (const uint32_t k : part.members) partOf_[k] = UINT32_MAX;
    }
    std::vector<bool> seen(parts.size(), false);
    std::vector<uint32_t> walk;
    for (uint32_t start = 0; start < parts.size(); ++start) {
      if (seen[start]) continue;
      std::vector<uint32_t> queue{start};
      seen[start] = true;
      for (size_t q = 0; q < queue.size(); ++q) {
        walk.push_back(queue[q]);
        for (const uint32_t p : next[queue[q]]) {
          if (!seen[p]) {
            seen[p] = true;
            queue.push_back(p);
          }
        }
      }
    }
    for (const uint32_t p : walk) {
      if (place(parts[p])) continue;
      cutBundle(parts[p], cost, view);
    }
  }

  void cutBundle(const Unit& part, const RunCost& cost, const std::vector<const Entry*>& view) {
    Unit probe = part;
    EngineBound bound = EngineBound::None;
    uint64_t figure = 0;
    Run empty;
    (void)fits(probe, empty, kNoRun, &bound, &figure);
    Unplannable record;
    record.bound = bound;
    record.figure = figure;
    record.limit = boundLimit(bound);
    // Chunks by role: pairs (three at the end) of a role with several entries, else one.
    std::map<SourceRole, std::vector<uint32_t>> byRole;
    for (const uint32_t k : part.members) byRole[view[k]->role].push_back(k);
    std::vector<std::vector<uint32_t>> chunks;
    for (auto& [role, list] : byRole) {
      if (list.size() < 2) {
        chunks.push_back(list);
        continue;
      }
      for (size_t i = 0; i < list.size(); i += 2) {
        if (i + 3 == list.size()) {
          chunks.push_back({list[i], list[i + 1], list[i + 2]});
          break;
        }
        chunks.push_back({list[i], list[i + 1]});
      }
    }
    // The entries no run can take with all their counterparts are told as the bundle's smallest
    // role (the first of equals): for a sale whose allocation would carry too many origins, the
    // sale; its counterparts are the bundle's entries of every other role.
    SourceRole fewest = byRole.begin()->first;
    for (const auto& [role, list] : byRole) {
      if (list.size() < byRole[fewest].size()) fewest = role;
    }
    for (const uint32_t k : part.members) {
      (view[k]->role == fewest ? record.entries : record.counterparts).emplace_back(view[k]->id);
    }
    const uint32_t bundleId = nextBundle_++;
    Disjoint ties(view.size());
    for (const std::vector<uint32_t>& chunk : chunks) {
      for (const uint32_t k : chunk) ties.join(chunk.front(), k);
    }
    UnitList pieces = makeUnits(cost, view, ties, &part.members);
    for (Unit& piece : pieces.units) {
      piece.bundle = bundleId;
      if (!place(piece)) {
        // Never reached for a piece of at most three entries of one role; kept out of every
        // run rather than planned into a failing one.
        for (const uint32_t k : piece.members) record.notPlanned.emplace_back(view[k]->id);
      }
    }
    unplannable.push_back(std::move(record));
  }

  static uint64_t boundLimit(EngineBound bound) {
    switch (bound) {
      case EngineBound::Entries:
        return kSessionEngineLimits.maxEntries;
      case EngineBound::CellSide:
        return kSessionEngineLimits.maxCellSide;
      case EngineBound::CellPairs:
      case EngineBound::CellSteps:
        return kSessionEngineLimits.maxCellWork;
      case EngineBound::Groups:
        return kSessionEngineLimits.maxGroups;
      case EngineBound::Proposals:
        return kSessionEngineLimits.maxProposals;
      case EngineBound::Origins:
        return kMaxAllocationOrigins;
      case EngineBound::None:
        break;
    }
    return 0;
  }

  // Cells whose entries went to several runs, the candidates that lost entries to another run
  // and those they competed with, and synthetic pairs split between runs.
  void reportAccount(std::string_view account, const RunCost& cost,
                     const std::vector<const Entry*>& view, const std::vector<uint32_t>& members) {
    auto runOf = [&](CostIndex k) { return runOf_[members[k]]; };
    std::vector<bool> separated(cost.candidates.size(), false);
    for (uint32_t c = 0; c < cost.candidates.size(); ++c) {
      const CostCandidate& candidate = cost.candidates[c];
      if (candidate.duplicate) continue;
      const uint32_t run = runOf(candidate.entries.front());
      bool split = false;
      for (const CostIndex k : candidate.entries) split = split || runOf(k) != run;
      if (!split) continue;
      if (candidate.pass == MatchPass::Synthetic) {
        separatedPairs.emplace_back(view[candidate.entries.front()]->id,
                                    view[candidate.entries.back()]->id);
      } else {
        separated[c] = true;
      }
    }
    std::vector<std::vector<uint32_t>> competitors(cost.candidates.size());
    for (const std::vector<uint32_t>& set : cost.competing) {
      for (const uint32_t c : set) {
        if (!separated[c]) continue;
        for (const uint32_t other : set) {
          if (other != c) competitors[c].push_back(other);
        }
      }
    }
    auto ids = [&](const CostCandidate& candidate) {
      std::vector<std::string> list;
      for (const CostIndex k : candidate.entries) list.emplace_back(view[k]->id);
      return list;
    };
    for (const CellCost& cell : cost.cells) {
      if (cell.pass == MatchPass::Synthetic) continue;
      std::set<uint32_t> cellRuns;
      for (const CostIndex k : cell.lefts) cellRuns.insert(runOf(k));
      for (const CostIndex k : cell.rights) cellRuns.insert(runOf(k));
      const bool overBound =
          cell.pastCap ||
          std::max(cell.lefts.size(), cell.rights.size()) > kSessionEngineLimits.maxCellSide ||
          cell.pairs > kSessionEngineLimits.maxCellWork ||
          cell.steps > kSessionEngineLimits.maxCellWork;
      bool anySeparated = false;
      for (uint32_t c = cell.candidatesBegin; c < cell.candidatesEnd; ++c) {
        anySeparated = anySeparated || separated[c];
      }
      if (cellRuns.size() < 2 || (!overBound && !anySeparated)) continue;
      SlicedCell record;
      record.stage = cell.stage;
      record.pass = cell.pass;
      record.accountId = std::string(account);
      const Entry& sample = *view[cell.lefts.front()];
      record.key = cell.pass == MatchPass::Reference ? sample.reference.value_or("") : sample.date;
      record.left = cell.lefts.size();
      record.right = cell.rights.size();
      record.runs = cellRuns.size();
      record.steps = cell.steps;
      record.pastCap = cell.pastCap;
      std::set<uint32_t> listedCompetitors;
      for (uint32_t c = cell.candidatesBegin; c < cell.candidatesEnd; ++c) {
        if (!separated[c]) continue;
        record.separated.push_back(ids(cost.candidates[c]));
        ++separatedCandidates;
        for (const uint32_t other : competitors[c]) {
          if (listedCompetitors.insert(other).second) {
            record.competing.push_back(ids(cost.candidates[other]));
          }
        }
      }
      if (baseline) {
        record.identifierOrderSeparated = identifierOrderCut(cost, cell, separated.size());
        identifierOrderSeparated += *record.identifierOrderSeparated;
      }
      sliced.push_back(std::move(record));
    }
  }

  // The candidates of `cell` that cutting it in identifier order into the fewest passing parts
  // would separate: entries taken in ascending identifier, a part closed when the next entry
  // would make it pass a bound.
  uint64_t identifierOrderCut(const RunCost& cost, const CellCost& cell, size_t candidates) const {
    struct Item {
      CostIndex entry;
      uint32_t pos;
      bool right;
    };
    std::vector<Item> items;
    for (uint32_t p = 0; p < cell.lefts.size(); ++p) items.push_back({cell.lefts[p], p, false});
    for (uint32_t p = 0; p < cell.rights.size(); ++p) items.push_back({cell.rights[p], p, true});
    std::sort(items.begin(), items.end(),
              [this](const Item& a, const Item& b) { return idRank_[a.entry] < idRank_[b.entry]; });
    std::map<CostIndex, uint32_t> partOf;
    std::vector<__int128> amounts;
    std::vector<__int128> targets;
    uint32_t part = 0;
    auto passes = [&](const std::vector<__int128>& a, const std::vector<__int128>& t) {
      if (a.empty() || t.empty()) return true;
      if (a.size() > kSessionEngineLimits.maxCellSide ||
          t.size() > kSessionEngineLimits.maxCellSide ||
          a.size() * t.size() > kSessionEngineLimits.maxCellWork) {
        return false;
      }
      if (cell.pass != MatchPass::Composition) return true;
      return compositionCellSteps(a, t, kSessionEngineLimits.maxCellWork + 1).steps <=
             kSessionEngineLimits.maxCellWork;
    };
    for (const Item& item : items) {
      // Amounts in ascending identifier are the cell's order.
      const __int128 amount =
          cell.pass == MatchPass::Composition
              ? (item.right ? cell.rightAmounts[item.pos] : cell.leftAmounts[item.pos])
              : 0;
      (item.right ? targets : amounts).push_back(amount);
      if (!passes(amounts, targets)) {
        (item.right ? targets : amounts).pop_back();
        ++part;
        amounts.clear();
        targets.clear();
        (item.right ? targets : amounts).push_back(amount);
      }
      partOf[item.entry] = part;
    }
    uint64_t separated = 0;
    for (uint32_t c = cell.candidatesBegin; c < cell.candidatesEnd && c < candidates; ++c) {
      const CostCandidate& candidate = cost.candidates[c];
      if (candidate.duplicate || candidate.pass == MatchPass::Synthetic) continue;
      std::set<uint32_t> parts;
      for (const CostIndex k : candidate.entries) {
        const auto it = partOf.find(k);
        parts.insert(it != partOf.end() ? it->second : UINT32_MAX);
      }
      separated += parts.size() > 1 ? 1 : 0;
    }
    return separated;
  }

  const PlanInput& input_;
  Limits limits_;
  PieceCoster& coster_;
  const uint64_t emptyFrame_ = FrameFill::emptyFrameBytes();
  std::vector<uint32_t> runOf_;
  const RunCost* runCells_ = nullptr;
  const std::vector<const Entry*>* view_ = nullptr;
  const std::vector<uint32_t>* members_ = nullptr;
  uint32_t firstOpen_ = 0;
  uint32_t nextBundle_ = 0;
  // Per account (indexAccount).
  struct CellRef {
    uint32_t cell;
    uint32_t pos;
    bool right;
  };
  std::vector<uint32_t> refBegin_;
  std::vector<CellRef> refs_;
  std::vector<uint32_t> candBegin_;
  std::vector<uint32_t> cands_;
  std::vector<uint32_t> takesBegin_;
  std::vector<uint32_t> takes_;
  std::vector<uint32_t> unitOf_;  // scratch: UINT32_MAX between calls of makeUnits
  // By cell of the account: (run, parts of the cell the run refused).
  std::vector<std::vector<std::pair<uint32_t, uint8_t>>> cellRefusals_;
  std::vector<uint32_t> shareHead_;  // by cell of the account: its first share in shares_
  std::vector<CellShare> shares_;
  // Composition cells of the account: the run of each position (lefts, then rights), from
  // positionBegin_[cell].
  std::vector<size_t> positionBegin_;
  std::vector<uint32_t> positionRun_;
  mutable std::vector<__int128> amounts_;  // scratch of fits
  mutable std::vector<__int128> targets_;
  std::vector<uint8_t> blocked_;        // by run: scratch of place, zero between calls
  std::vector<uint32_t> byIdentifier_;  // the account's entries in ascending identifier
  std::vector<uint32_t> idRank_;        // by account entry: its place in byIdentifier_
  std::vector<uint32_t> rootUnit_;      // scratch of makeUnits: UINT32_MAX between calls
  std::vector<uint32_t> partOf_;        // scratch of sliceUnit: UINT32_MAX between calls
};

// ---- Writing ---------------------------------------------------------------------------------

std::optional<std::string> nonceFor(const std::optional<std::string_view>& seed,
                                    std::string_view runId) {
  if (!seed) {
    std::random_device device;  // the operating system's source
    unsigned char bytes[kNonceBytes / 2];
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
    return lowerHex(bytes);
  }
  Sha256 digest;
  digest.update("tallywarden plan nonce");
  digest.update(std::string_view("\0", 1));
  digest.update(*seed);
  digest.update(std::string_view("\0", 1));
  digest.update(runId);
  const auto bytes = digest.finish();
  if (!bytes) return std::nullopt;
  return lowerHex(std::span(*bytes).first(kNonceBytes / 2));
}

// Files and folders through std::filesystem, the same on every platform the tool is built for.
std::filesystem::path fsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool writeFile(const std::string& path, std::string_view bytes, std::string& error) {
  std::error_code exists;
  if (std::filesystem::exists(fsPath(path), exists)) {
    error = "cannot create " + path + ": it exists";
    return false;
  }
  std::ofstream file(fsPath(path), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(fsPath(path), ignored);
}

// PLAN_DIR must not exist, or be an empty directory.
bool outputFree(const std::string& path, std::string& error) {
  std::error_code failed;
  const auto status = std::filesystem::status(fsPath(path), failed);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  if (failed) {
    error = "cannot look at " + path + ": " + failed.message();
    return false;
  }
  if (status.type() != std::filesystem::file_type::directory) {
    error = path + " exists and is not a directory";
    return false;
  }
  const bool empty = std::filesystem::is_empty(fsPath(path), failed);
  if (failed) {
    error = "cannot read " + path + ": " + failed.message();
    return false;
  }
  if (!empty) error = path + " is not empty; a plan is written into a new or empty folder";
  return empty;
}

// A new folder named `prefix` and a number no folder there has yet; empty when none can be made.
std::string makeFreshFolder(const std::string& prefix) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = prefix + std::to_string(random() % 1000000000u);
    std::error_code failed;
    if (std::filesystem::create_directory(fsPath(path), failed) && !failed) return path;
  }
  return {};
}

Json boundsJson(const std::vector<BoundFigure>& figures, uint64_t entries, uint64_t bytes,
                uint64_t frames) {
  JsonObject object;
  for (const BoundFigure& figure : figures) {
    object[std::string(toText(figure.bound))] =
        Json(makeObject({{"figure", Json(figure.figure)}, {"limit", Json(figure.limit)}}));
  }
  object["session-bytes"] =
      Json(makeObject({{"figure", Json(bytes)}, {"limit", Json(uint64_t{kMaxSessionBytes})}}));
  object["session-frames"] =
      Json(makeObject({{"figure", Json(frames)}, {"limit", Json(uint64_t{kMaxFramesPerSession})}}));
  object["session-entries"] =
      Json(makeObject({{"figure", Json(entries)}, {"limit", Json(uint64_t{kMaxHeldEntries})}}));
  return Json(std::move(object));
}

Json idLists(const std::vector<std::vector<std::string>>& lists) {
  JsonArray array;
  for (const auto& list : lists) {
    JsonArray ids;
    for (const std::string& id : list) ids.emplace_back(id);
    array.emplace_back(std::move(ids));
  }
  return Json(std::move(array));
}

Json idList(const std::vector<std::string>& list) {
  JsonArray ids;
  for (const std::string& id : list) ids.emplace_back(id);
  return Json(std::move(ids));
}

// The run's manifest: the template's, with its runId, the files its entries and components
// come from, and a window within the period that holds its bank entries.
RunManifest runManifest(const PlanTemplate& plan, const std::string& runId,
                        const std::vector<const Entry*>& entries) {
  RunManifest manifest = plan.manifest;
  manifest.runId = runId;
  std::set<std::pair<std::string_view, std::string_view>> used;
  std::string_view first;
  std::string_view last;
  // Entries of one run mostly come from a few files, an entry's and its components' in turn:
  // the last few added are not looked up.
  constexpr size_t kRecentFiles = 4;
  std::pair<std::string_view, std::string_view> recent[kRecentFiles];
  size_t recentCount = 0;
  size_t nextRecent = 0;
  auto use = [&](const Ref& origin) {
    const std::pair<std::string_view, std::string_view> file(origin.sourceId, origin.fileId);
    for (size_t i = 0; i < recentCount; ++i) {
      if (recent[i] == file) return;
    }
    used.insert(file);
    recent[nextRecent] = file;
    nextRecent = (nextRecent + 1) % kRecentFiles;
    recentCount = std::min(recentCount + 1, kRecentFiles);
  };
  for (const Entry* entry : entries) {
    use(entry->origin);
    for (const EntryComponent& component : entry->components) use(component.origin);
    if (first.empty() || entry->date < first) first = entry->date;
    if (last.empty() || entry->date > last) last = entry->date;
  }
  std::vector<InputDigest> digests;
  for (const InputDigest& digest : manifest.inputDigests) {
    if (used.count({digest.sourceId, digest.fileId})) digests.push_back(digest);
  }
  manifest.inputDigests = std::move(digests);
  if (manifest.window) {
    // The run's days within the period: every bank entry is inside both.
    RunWindow window{std::string(std::max<std::string_view>(first, manifest.window->from)),
                     std::string(std::min<std::string_view>(last, manifest.window->to))};
    if (window.from <= window.to) manifest.window = std::move(window);
  }
  return manifest;
}

struct WrittenRun {
  std::string runId;
  uint64_t bytes = 0;
  uint64_t frames = 0;
  std::string firstDate;
  std::string lastDate;
  std::vector<std::string> accounts;
  std::vector<BoundFigure> figures;
};

}  // namespace

int runPlan(std::span<const std::string_view> args, Streams streams) {
  std::string error;
  auto cannotRun = [&streams](const std::string& why) {
    streams.err << "tallywarden plan: " << why << "\n";
    return kExitCannotRun;
  };
  const std::optional<PlanArgs> parsed = parseArgs(args, error);
  if (!parsed) return cannotRun(error + " (" + std::string(kPlanUsage) + ")");
  const std::string output(parsed->output);
  if (!outputFree(output, error)) return cannotRun(error);

  std::optional<PlanTemplate> plan = readTemplate(parsed->manifest, kToolVersion, error);
  if (!plan) return cannotRun(error);
  platform::prepareRecordHeap();
  PlanInput input;
  if (!readEntries(parsed->entries, *plan, input, error)) return cannotRun(error);

  if (!input.refusals.empty()) {
    std::string listing;
    for (const Refusal& refusal : input.refusals) {
      listing += std::string(parsed->entries[refusal.file]) + ":" + std::to_string(refusal.line) +
                 ": entry " + (refusal.id.empty() ? "(no id)" : refusal.id) + ": " +
                 (refusal.member.empty() ? "(the entry)" : refusal.member) + ": " + refusal.rule +
                 " [" + refusal.code + "]\n";
    }
    if (!parsed->reject) {
      streams.err << listing << "tallywarden plan: " << input.refusals.size()
                  << (input.refusals.size() == 1 ? " entry is" : " entries are")
                  << " refused; nothing is planned (--reject FILE writes them there and plans "
                     "the rest)\n";
      return kExitFails;
    }
    std::string rejected;
    for (const Refusal& refusal : input.refusals) {
      rejected += toCompactJson(Json(
                      makeObject({{"file", Json(std::string(parsed->entries[refusal.file]))},
                                  {"line", Json(refusal.line)},
                                  {"id", refusal.id.empty() ? Json(nullptr) : Json(refusal.id)},
                                  {"member", Json(refusal.member)},
                                  {"rule", Json(refusal.rule)},
                                  {"code", Json(refusal.code)}}))) +
                  "\n";
    }
    const std::string rejectPath(*parsed->reject);
    removeTree(rejectPath);
    if (!writeFile(rejectPath, rejected, error)) return cannotRun(error);
    streams.out << input.refusals.size()
                << (input.refusals.size() == 1 ? " entry is" : " entries are")
                << " refused and written to " << rejectPath
                << "; the rest are planned as other books (a refused entry could have shared a "
                   "reference with them)\n";
  }

  // The start line of any run is at most the template's with every digest and the longest id.
  const std::string longestStart =
      frameLine(makeObject({{"kind", Json("start")}, {"manifest", toJsonValue(plan->manifest)}}),
                std::string(kNonceBytes, '0'));
  const std::string sampleExecute =
      frameLine(makeObject({{"kind", Json("execute")}}), std::string(kNonceBytes, '0'));
  Limits limits;
  limits.runEntries = parsed->maxRunEntries.value_or(kMaxHeldEntries);
  limits.sessionBytes = kMaxSessionBytes - longestStart.size() - sampleExecute.size();

  TaskQueue tasks;
  PieceCoster coster(tasks);

  // Write into a temporary sibling, then rename into place.
  std::string parent = ".";
  std::string base = output;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (const size_t slash = base.rfind('/'); slash != std::string::npos) {
    parent = slash == 0 ? "/" : base.substr(0, slash);
    base = base.substr(slash + 1);
  }
  const std::string temporary = makeFreshFolder(parent + "/." + base + ".plan-");
  if (temporary.empty()) return cannotRun("cannot make a folder beside " + output);
  auto abandon = [&](const std::string& why) {
    tasks.drain();  // the tasks refer to what is here
    removeTree(temporary);
    return cannotRun(why);
  };
  std::error_code notMade;
  if (!std::filesystem::create_directory(fsPath(temporary + "/sessions"), notMade) || notMade) {
    return abandon("cannot make " + temporary + "/sessions: " + notMade.message());
  }
  Planner planner(input, limits, coster);
  planner.baseline = parsed->baseline;
  // Each run's session is written as a task: a run that takes no more entries while planning
  // goes on, beside it, and the rest once it is done. The width of the runIds is known only at
  // the end: the runs written before are written again if it is not the one they took.
  constexpr size_t kLeastWidth = 4;
  std::deque<WrittenRun> written;  // by run; tasks hold references, which pushing keeps
  std::deque<std::string> failures;
  auto writeSession = [&](size_t r, const std::vector<uint32_t>& runEntries, size_t width,
                          WrittenRun& out, std::string& failure) {
    out = WrittenRun{};
    std::string suffix = std::to_string(r + 1);
    suffix.insert(0, width - suffix.size(), '0');
    out.runId = plan->runIdPrefix + "-" + suffix;
    std::vector<const Entry*> entries;
    entries.reserve(runEntries.size());
    std::set<std::string_view> accounts;
    std::string_view lastAccount;  // a run's entries come account by account
    for (const uint32_t i : runEntries) {
      entries.push_back(&input.entries[i]);
      if (accounts.empty() || input.entries[i].accountId != lastAccount) {
        lastAccount = input.entries[i].accountId;
        accounts.insert(lastAccount);
      }
    }
    for (const std::string_view account : accounts) out.accounts.emplace_back(account);
    const std::optional<std::string> nonce = nonceFor(parsed->nonceSeed, out.runId);
    if (!nonce) {
      failure = "no digest for the nonce";
      return;
    }
    const RunManifest manifest = runManifest(*plan, out.runId, entries);
    std::string text = frameLine(
        makeObject({{"kind", Json("start")}, {"manifest", toJsonValue(manifest)}}), *nonce);
    text.reserve(kMaxSessionBytes);
    const std::string head = "{\"entries\":[";
    const std::string tail = "],\"kind\":\"entries\",\"nonce\":\"" + *nonce + "\",\"version\":1}\n";
    size_t inFrame = 0;
    size_t lineStart = text.size();
    std::string_view firstDate;
    std::string_view lastDate;
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint32_t textBytes = input.textBytes[runEntries[i]];
      if (inFrame == kMaxEntriesPerFrame ||
          (inFrame > 0 &&
           (text.size() - lineStart) + 1 + textBytes + tail.size() > kMaxLineBytes)) {
        text += tail;
        inFrame = 0;
      }
      if (inFrame == 0) {
        lineStart = text.size();
        text += head;
        ++out.frames;
      } else {
        text += ',';
      }
      appendEntryJson(text, *entries[i], textBytes);
      ++inFrame;
      const std::string_view date = entries[i]->date;
      if (firstDate.empty() || date < firstDate) firstDate = date;
      if (date > lastDate) lastDate = date;
    }
    out.firstDate = std::string(firstDate);
    out.lastDate = std::string(lastDate);
    if (inFrame > 0) text += tail;
    text += frameLine(makeObject({{"kind", Json("execute")}}), *nonce);
    out.frames += kFramesBesideEntries;
    out.bytes = text.size();
    if (out.bytes > kMaxSessionBytes || out.frames > kMaxFramesPerSession) {
      failure = "run " + out.runId + " would pass a session limit (a fault of the planner)";
      return;
    }
    std::string notWritten;
    if (!writeFile(temporary + "/sessions/" + out.runId + ".ndjson", text, notWritten)) {
      failure = std::move(notWritten);
    }
  };
  auto queueSession = [&](size_t r, std::vector<uint32_t> runEntries, size_t width) {
    while (written.size() <= r) {
      written.emplace_back();
      failures.emplace_back();
    }
    WrittenRun& out = written[r];
    std::string& failure = failures[r];
    tasks.add([&writeSession, &out, &failure, r, width, runEntries = std::move(runEntries)] {
      writeSession(r, runEntries, width, out, failure);
    });
  };
  std::vector<bool> queued;
  planner.onFull = [&](uint32_t r) {
    if (std::to_string(r + 1).size() > kLeastWidth) return;  // written at the end
    if (queued.size() <= r) queued.resize(r + 1, false);
    queued[r] = true;
    queueSession(r, planner.runs[r].entries, kLeastWidth);
  };
  if (!planner.plan(error)) return abandon(error);
  const size_t width = std::max<size_t>(kLeastWidth, std::to_string(planner.runs.size()).size());
  if (width > kRunIdSuffixDigits) return abandon("more runs than run identifiers");
  queued.resize(planner.runs.size(), false);
  if (width != kLeastWidth) {
    tasks.drain();
    for (size_t r = 0; r < queued.size(); ++r) {
      if (!queued[r]) continue;
      if (failures[r].empty()) removeTree(temporary + "/sessions/" + written[r].runId + ".ndjson");
      failures[r].clear();
      queued[r] = false;
    }
  }
  for (size_t r = 0; r < planner.runs.size(); ++r) {
    if (!queued[r]) queueSession(r, planner.runs[r].entries, width);
  }
  tasks.drain();
  uint64_t totalBytes = 0;
  for (size_t r = 0; r < written.size(); ++r) {
    if (!failures[r].empty()) return abandon(failures[r]);
    totalBytes += written[r].bytes;
  }
  // The runs' figures, costed beside the planning and the writing.
  std::vector<RunFigures> figures = coster.take(planner.runs.size());
  for (size_t r = 0; r < written.size(); ++r) {
    if (!figures[r].passes()) {
      return abandon("run " + written[r].runId +
                     " would not pass the engine's bounds (a fault of the "
                     "planner; nothing is written)");
    }
    written[r].figures = std::move(figures[r].figures);
  }
  // The entries are not read again: freed on both threads.
  tasks.add([&input] { input.entries.freeBlocks(1, 2); });
  input.entries.freeBlocks(0, 2);
  tasks.drain();

  JsonArray runsJson;
  for (size_t r = 0; r < written.size(); ++r) {
    const WrittenRun& run = written[r];
    JsonArray accounts;
    for (const std::string& account : run.accounts) accounts.emplace_back(account);
    runsJson.emplace_back(
        makeObject({{"runId", Json(run.runId)},
                    {"session", Json("sessions/" + run.runId + ".ndjson")},
                    {"entries", Json(uint64_t{planner.runs[r].entries.size()})},
                    {"bytes", Json(run.bytes)},
                    {"frames", Json(run.frames)},
                    {"accounts", Json(std::move(accounts))},
                    {"firstDate", Json(run.firstDate)},
                    {"lastDate", Json(run.lastDate)},
                    {"bounds", boundsJson(run.figures, planner.runs[r].entries.size(), run.bytes,
                                          run.frames)}}));
  }
  JsonArray slicedJson;
  for (const SlicedCell& cell : planner.sliced) {
    slicedJson.emplace_back(makeObject(
        {{"stage", Json(toText(cell.stage))},
         {"pass", Json(toText(cell.pass))},
         {"accountId", Json(cell.accountId)},
         {"key", Json(cell.key)},
         {"left", Json(uint64_t{cell.left})},
         {"right", Json(uint64_t{cell.right})},
         {"runs", Json(uint64_t{cell.runs})},
         {"steps", Json(cell.steps)},
         {"pastCostingCap", Json(cell.pastCap)},
         {"separationsKnown", Json(!cell.pastCap)},
         {"separated", idLists(cell.separated)},
         {"identifierOrderSeparated",
          cell.identifierOrderSeparated ? Json(*cell.identifierOrderSeparated) : Json(nullptr)},
         {"competing", idLists(cell.competing)}}));
  }
  JsonArray pairsJson;
  for (const auto& [left, right] : planner.separatedPairs) {
    pairsJson.emplace_back(JsonArray{Json(left), Json(right)});
  }
  JsonArray unplannableJson;
  for (const Unplannable& item : planner.unplannable) {
    unplannableJson.emplace_back(makeObject(
        {{"entries", idList(item.entries)},
         {"bound", Json(toText(item.bound))},
         {"figure", Json(item.figure)},
         {"limit", Json(item.limit)},
         {"counterparts", idList(item.counterparts)},
         {"notPlanned", idList(item.notPlanned)},
         {"plannedAs",
          Json("cut by role into chunks in separate runs, so that the bound is not reached")}}));
  }
  Json period(nullptr);
  if (plan->manifest.window) {
    period = Json(makeObject(
        {{"from", Json(plan->manifest.window->from)}, {"to", Json(plan->manifest.window->to)}}));
  }
  const Json planJson(makeObject(
      {{"version", Json(uint64_t{1})},
       {"engineVersion", Json(plan->manifest.engineVersion)},
       {"period", std::move(period)},
       {"runs", Json(std::move(runsJson))},
       {"slicedCells", Json(std::move(slicedJson))},
       {"separatedPairs", Json(std::move(pairsJson))},
       {"unplannable", Json(std::move(unplannableJson))},
       {"totals", Json(makeObject(
                      {{"entries", Json(uint64_t{input.entries.size()})},
                       {"refused", Json(uint64_t{input.refusals.size()})},
                       {"runs", Json(uint64_t{written.size()})},
                       {"bytes", Json(totalBytes)},
                       {"slicedCells", Json(uint64_t{planner.sliced.size()})},
                       {"separatedCandidates", Json(planner.separatedCandidates)},
                       {"identifierOrderSeparated",
                        parsed->baseline ? Json(planner.identifierOrderSeparated) : Json(nullptr)},
                       {"separatedPairs", Json(uint64_t{planner.separatedPairs.size()})},
                       {"unplannable", Json(uint64_t{planner.unplannable.size()})}}))}}));
  if (!writeFile(temporary + "/plan.json", toCompactJson(planJson) + "\n", error)) {
    return abandon(error);
  }
  // An empty PLAN_DIR is replaced (POSIX renames over it; elsewhere it goes first).
  std::error_code notMoved;
  std::filesystem::rename(fsPath(temporary), fsPath(output), notMoved);
  if (notMoved && std::filesystem::is_empty(fsPath(output), notMoved) &&
      std::filesystem::remove(fsPath(output), notMoved)) {
    std::filesystem::rename(fsPath(temporary), fsPath(output), notMoved);
  }
  if (notMoved) return abandon("cannot move the plan into " + output + ": " + notMoved.message());
  streams.out << "planned " << input.entries.size() << " entries into " << written.size()
              << (written.size() == 1 ? " run" : " runs") << " in " << output << " ("
              << planner.sliced.size() << " sliced cells, " << planner.separatedCandidates
              << " separated candidates, " << planner.separatedPairs.size()
              << " separated synthetic pairs, " << planner.unplannable.size()
              << " unplannable bundles)\n";
  return kExitPasses;
}

}  // namespace tw::tool
