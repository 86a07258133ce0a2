#include "tallywarden/plan_input.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <utility>

#include "contracts/contract_detail.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/record_text.h"
#include "engine/costing.h"
#include "tallywarden/input_file.h"
#include "tallywarden/json_problem.h"
#include "worker/entries_frame.h"
#include "worker/fd_io.h"

namespace tw::tool {
namespace {

constexpr size_t kMaxTemplateBytes = size_t{4} << 20;
constexpr size_t kReadChunk = size_t{1} << 20;
// An entry's text longer than this cannot be an entry a session could carry (a frame line holds
// at most 65536 bytes); reading stops there rather than holding an unbounded text.
constexpr size_t kMaxEntryTextBytes = size_t{1} << 20;
constexpr std::string_view kDefaultRunIdPrefix = "run";
// Entry texts are decoded in batches of about this many bytes, on kDecodeThreads threads, with
// at most kBatchesInFlight batches read ahead of the oldest one not yet taken.
constexpr size_t kBatchBytes = size_t{1} << 20;
constexpr size_t kDecodeThreads = 2;
// Books are mostly written in identifier order, source by source: when the reading order falls
// into at most this many ascending runs, identifierOrder merges them instead of sorting.
constexpr size_t kMostMergedRuns = 64;
constexpr size_t kBatchesInFlight = 8;

// Entry texts of one file, one after another, with the line each begins on.
struct TextBatch {
  uint32_t file = 0;
  std::string bytes;
  std::vector<std::pair<uint64_t, size_t>> texts;  // (line, end offset in bytes)
};

// What a batch's texts decode to, in their order; `error` when one is not JSON (the texts
// after it are not decoded).
struct DecodedBatch {
  uint32_t file = 0;
  std::vector<Entry> entries;
  std::vector<EntryPlace> places;
  std::vector<Refusal> refusals;
  std::vector<size_t> idHashes;  // of the entries' identifiers
  bool failed = false;
  std::string error;
};

// The member of a refused entry that the run's checks looked at, for the person reading the
// refusal (the verdict itself is checkEntryForRun's).
std::string checkedMember(const Entry& entry, const RunManifest& manifest,
                          const std::set<std::pair<std::string, std::string>>& declared,
                          EngineError code) {
  if (code == EngineError::OutsideWindow) return "date";
  if (entry.root != manifest.root) return "root";
  if (!declared.count({entry.origin.sourceId, entry.origin.fileId})) return "origin";
  if (entry.role != SourceRole::Sales && !entry.components.empty()) return "components";
  for (size_t i = 0; i < entry.components.size(); ++i) {
    const EntryComponent& component = entry.components[i];
    const std::string path = "components[" + std::to_string(i) + "]";
    if (!declared.count({component.origin.sourceId, component.origin.fileId})) {
      return path + ".origin";
    }
    return path + ".cents";
  }
  return {};
}

class EntryReader {
 public:
  explicit EntryReader(const PlanTemplate& plan) : plan_(plan), runCheck_(plan.manifest) {
    for (const InputDigest& digest : plan.manifest.inputDigests) {
      declared_.emplace(digest.sourceId, digest.fileId);
    }
  }

  // Every text of the batch, in order, until one is not JSON.
  DecodedBatch decode(const TextBatch& batch) {
    DecodedBatch out;
    out.file = batch.file;
    out.entries.reserve(batch.texts.size());
    out.places.reserve(batch.texts.size());
    out.idHashes.reserve(batch.texts.size());
    size_t begin = 0;
    for (const auto& [line, end] : batch.texts) {
      const std::string_view text(batch.bytes.data() + begin, end - begin);
      begin = end;
      if (!take(batch.file, line, text, out, out.error)) {
        out.failed = true;
        break;
      }
    }
    return out;
  }

 private:
  // One entry's text, beginning on `line` of file `file`. False with `error` when it is not
  // JSON.
  bool take(uint32_t file, uint64_t line, std::string_view text, DecodedBatch& input_,
            std::string& error) {
    std::optional<Entry> entry = readPlain(text);
    if (!entry) {
      Refusal refusal{file, line, {}, {}, {}, {}};
      auto value = readJson(text);
      if (!value) {
        error = "line " + std::to_string(line) + " " + jsonReadProblem(value.error());
        return false;
      }
      if (value->isObject()) {
        if (const Json* id = value->find("id"); id != nullptr && id->isString()) {
          refusal.id = id->asString();
        }
      }
      ContractDetail detail;
      auto decoded = decodeEntry(std::move(*value), &detail);
      if (!decoded) {
        refusal.member = detail.member;
        refusal.rule = detail.what;
        refusal.code = contractErrorName(detail.code);
        input_.refusals.push_back(std::move(refusal));
        return true;
      }
      entry = std::move(*decoded);
    }
    Refusal refusal{file, line, entry->id, {}, {}, {}};
    std::string_view rule;
    if (auto checked = runCheck_.check(*entry, rule); !checked) {
      refusal.member = checkedMember(*entry, plan_.manifest, declared_, checked.error());
      refusal.rule = std::string(rule);
      if (checked.error() == EngineError::OutsideWindow) {
        refusal.rule = "a bank entry's date lies outside the period (the template's window)";
      }
      refusal.code = engineErrorName(checked.error());
      input_.refusals.push_back(std::move(refusal));
      return true;
    }
    input_.places.push_back(EntryPlace{line, file, static_cast<uint32_t>(entryJsonBytes(*entry))});
    input_.idHashes.push_back(std::hash<std::string_view>{}(entry->id));
    input_.entries.push_back(std::move(*entry));
    return true;
  }

  // The worker's direct reader of an entries frame, on a frame of this one entry: the record
  // decodeEntry would give, when the text is a plain entry that passes the entry contract.
  std::optional<Entry> readPlain(std::string_view text) {
    static constexpr std::string_view kHead =
        "{\"version\":1,\"kind\":\"entries\",\"nonce\":\"plan-entry-text\",\"entries\":[";
    frame_.assign(kHead);
    frame_.append(text);
    frame_.append("]}");
    std::optional<PlainEntriesFrame> plain = readPlainEntriesFrame(frame_);
    if (!plain || plain->entries.size() != 1 || !checkEntryRecord(plain->entries.front())) {
      return std::nullopt;
    }
    return std::move(plain->entries.front());
  }

  const PlanTemplate& plan_;
  std::set<std::pair<std::string, std::string>> declared_;
  std::string frame_;
  EntryRunCheck runCheck_;
};

// Decodes batches on threads of its own (each with its own reader) and gives the results back
// in the order the batches were handed on. Without threads (none can be started) a batch is
// decoded when it is handed on.
class DecodePool {
 public:
  explicit DecodePool(const PlanTemplate& plan) : plan_(plan) {
    try {
      for (size_t i = 0; i < kDecodeThreads; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
      stop();
    }
  }
  ~DecodePool() { stop(); }
  DecodePool(const DecodePool&) = delete;
  DecodePool& operator=(const DecodePool&) = delete;

  void submit(TextBatch batch) {
    const uint64_t seq = submitted_++;
    if (threads_.empty()) {
      EntryReader reader(plan_);
      done_.emplace(seq, reader.decode(batch));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.emplace_back(seq, std::move(batch));
    }
    wake_.notify_one();
  }

  size_t pending() const { return submitted_ - taken_; }

  // The oldest result not yet taken; with `wait`, waits for it. Nothing when it is not ready
  // or every result has been taken.
  std::optional<DecodedBatch> next(bool wait) {
    if (taken_ == submitted_) return std::nullopt;
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) ready_.wait(lock, [this] { return done_.count(taken_) > 0; });
    const auto it = done_.find(taken_);
    if (it == done_.end()) return std::nullopt;
    DecodedBatch out = std::move(it->second);
    done_.erase(it);
    ++taken_;
    return out;
  }

 private:
  void work() {
    EntryReader reader(plan_);
    for (;;) {
      std::pair<uint64_t, TextBatch> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      DecodedBatch decoded = reader.decode(job.second);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.emplace(job.first, std::move(decoded));
      }
      ready_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  const PlanTemplate& plan_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ready_;
  std::deque<std::pair<uint64_t, TextBatch>> jobs_;
  std::map<uint64_t, DecodedBatch> done_;
  uint64_t submitted_ = 0;
  uint64_t taken_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Gathers the texts the splitter cuts into batches, hands them to the pool and takes the
// results into the input in order. The first text that is not JSON stops it.
class EntryBatcher {
 public:
  EntryBatcher(const PlanTemplate& plan, PlanInput& input,
               const std::vector<std::string_view>& paths)
      : pool_(plan), input_(input), paths_(paths) {}

  // False with `error` (the file named) when an earlier text was found not to be JSON.
  bool take(uint32_t file, uint64_t line, std::string_view text, std::string& error) {
    if (!batch_.texts.empty() && batch_.file != file) flush();
    batch_.file = file;
    batch_.bytes.append(text);
    batch_.texts.emplace_back(line, batch_.bytes.size());
    if (batch_.bytes.size() >= kBatchBytes) flush();
    return collect(false, error);
  }

  bool failed() const { return failed_; }

  std::vector<size_t> idHashes;  // of the entries taken, in order

  // Every text handed on is decoded and taken; false with `error` when one is not JSON.
  bool finish(std::string& error) {
    flush();
    return collect(true, error);
  }

 private:
  void flush() {
    if (batch_.texts.empty()) return;
    pool_.submit(std::move(batch_));
    batch_ = TextBatch{};
  }

  bool collect(bool all, std::string& error) {
    if (failed_) {
      error = failure_;
      return false;
    }
    for (;;) {
      const bool wait = all || pool_.pending() > kBatchesInFlight;
      std::optional<DecodedBatch> decoded = pool_.next(wait);
      if (!decoded) return true;
      input_.entries.append(std::move(decoded->entries));
      input_.places.insert(input_.places.end(), decoded->places.begin(), decoded->places.end());
      for (Refusal& refusal : decoded->refusals) input_.refusals.push_back(std::move(refusal));
      idHashes.insert(idHashes.end(), decoded->idHashes.begin(), decoded->idHashes.end());
      if (decoded->failed) {
        failed_ = true;
        failure_ = std::string(paths_[decoded->file]) + " " + decoded->error;
        error = failure_;
        return false;
      }
    }
  }

  DecodePool pool_;
  PlanInput& input_;
  const std::vector<std::string_view>& paths_;
  TextBatch batch_;
  bool failed_ = false;
  std::string failure_;
};

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Cuts a file into entry texts as it is read: lines, or the elements of one JSON array.
class FileSplitter {
 public:
  FileSplitter(uint32_t file, EntryBatcher& reader) : file_(file), reader_(reader) {}

  bool feed(std::string_view bytes, std::string& error) {
    size_t at = 0;
    while (at < bytes.size()) {
      if (mode_ == Mode::Lines) {
        // Whole runs of a line's bytes at once.
        const size_t end = bytes.find('\n', at);
        const size_t stop = end == std::string_view::npos ? bytes.size() : end;
        if (text_.empty() && end != std::string_view::npos && end - at <= kMaxEntryTextBytes) {
          // A whole line within the bytes is taken where it is.
          if (!flushText(bytes.substr(at, end - at), error)) return false;
          ++line_;
          textLine_ = line_;
          at = end + 1;
          continue;
        }
        if (text_.size() + (stop - at) > kMaxEntryTextBytes) {
          error = "line " + std::to_string(textLine_) + " holds an entry text longer than " +
                  std::to_string(kMaxEntryTextBytes) + " bytes";
          return false;
        }
        text_.append(bytes.data() + at, stop - at);
        at = stop;
        if (at < bytes.size() && !step('\n', error)) return false;
        ++at;
        continue;
      }
      if (!step(bytes[at++], error)) return false;
    }
    return true;
  }

  bool finish(std::string& error) {
    switch (mode_) {
      case Mode::Unknown:
        error = "is empty (no entries; write [] for none)";
        return false;
      case Mode::Lines:
        if (!flushLine(error)) return false;
        if (entries_ == 0) {
          error = "holds no entry";
          return false;
        }
        return true;
      case Mode::Array:
        if (state_ != ArrayState::Done) {
          error = "ends inside its JSON array (line " + std::to_string(line_) + ")";
          return false;
        }
        return true;
    }
    return true;
  }

 private:
  enum class Mode : uint8_t { Unknown, Lines, Array };
  enum class ArrayState : uint8_t { BeforeValue, InValue, AfterValue, Done };

  bool step(char c, std::string& error) {
    if (mode_ == Mode::Unknown) {
      if (c == '\n') ++line_;
      if (isSpace(c)) return true;
      mode_ = c == '[' ? Mode::Array : Mode::Lines;
      if (mode_ == Mode::Array) return true;
      textLine_ = line_;
    }
    if (mode_ == Mode::Lines) {
      if (c == '\n') {
        if (!flushLine(error)) return false;
        ++line_;
        textLine_ = line_;
        return true;
      }
      return append(c, error);
    }
    return arrayStep(c, error);
  }

  bool append(char c, std::string& error) {
    if (text_.size() >= kMaxEntryTextBytes) {
      error = "line " + std::to_string(textLine_) + " holds an entry text longer than " +
              std::to_string(kMaxEntryTextBytes) + " bytes";
      return false;
    }
    text_.push_back(c);
    return true;
  }

  bool flushLine(std::string& error) {
    if (!flushText(text_, error)) return false;
    text_.clear();
    return true;
  }

  bool flushText(std::string_view text, std::string& error) {
    const bool blank = std::all_of(text.begin(), text.end(), isSpace);
    if (!blank) {
      ++entries_;
      if (!reader_.take(file_, textLine_, text, error)) return false;
    }
    return true;
  }

  bool arrayStep(char c, std::string& error) {
    switch (state_) {
      case ArrayState::Done:
        if (c == '\n') ++line_;
        if (isSpace(c)) return true;
        error = "holds more after its JSON array (line " + std::to_string(line_) + ")";
        return false;
      case ArrayState::BeforeValue:
      case ArrayState::AfterValue:
        if (c == '\n') ++line_;
        if (isSpace(c)) return true;
        if (c == ']' && (state_ == ArrayState::AfterValue || entries_ == 0) && !afterComma_) {
          state_ = ArrayState::Done;
          return true;
        }
        if (state_ == ArrayState::AfterValue) {
          if (c != ',') {
            error = "line " + std::to_string(line_) + " is not JSON: ',' or ']' expected";
            return false;
          }
          state_ = ArrayState::BeforeValue;
          afterComma_ = true;
          return true;
        }
        if (c == ']' || c == ',') {
          error = "line " + std::to_string(line_) + " is not JSON: a value expected";
          return false;
        }
        state_ = ArrayState::InValue;
        textLine_ = line_;
        depth_ = 0;
        inString_ = false;
        escaped_ = false;
        return valueStep(c, error);
      case ArrayState::InValue:
        return valueStep(c, error);
    }
    return true;
  }

  // A byte of an element; the element ends where its outermost container closes, or, for a
  // scalar, at the first byte after it that cannot belong to it.
  bool valueStep(char c, std::string& error) {
    if (inString_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        inString_ = false;
      }
      if (c == '\n') ++line_;
      return append(c, error);
    }
    if (depth_ == 0 && !text_.empty() && (c == ',' || c == ']' || isSpace(c))) {
      if (!endValue(error)) return false;
      return arrayStep(c, error);
    }
    if (c == '\n') ++line_;
    if (c == '"') inString_ = true;
    if (c == '{' || c == '[') ++depth_;
    if (c == '}' || c == ']') {
      if (depth_ == 0) {
        error = "line " + std::to_string(line_) + " is not JSON: an unmatched '" +
                std::string(1, c) + "'";
        return false;
      }
      --depth_;
    }
    if (!append(c, error)) return false;
    if (depth_ == 0 && (c == '}' || c == ']')) return endValue(error);
    return true;
  }

  bool endValue(std::string& error) {
    ++entries_;
    afterComma_ = false;
    state_ = ArrayState::AfterValue;
    const bool taken = reader_.take(file_, textLine_, text_, error);
    text_.clear();
    return taken;
  }

  uint32_t file_;
  EntryBatcher& reader_;
  Mode mode_ = Mode::Unknown;
  ArrayState state_ = ArrayState::BeforeValue;
  uint64_t line_ = 1;
  uint64_t textLine_ = 1;
  std::string text_;
  size_t entries_ = 0;
  int depth_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool afterComma_ = false;
};

// Refuses every entry whose identifier another accepted entry also has. `idHashes` are the
// hashes of the identifiers.
void refuseRepeatedIds(PlanInput& input, const std::vector<std::string_view>& paths,
                       std::vector<size_t> idHashes) {
  {
    // Most books repeat no identifier, and no two of their identifiers hash alike: find that out
    // without sorting the identifiers themselves.
    std::sort(idHashes.begin(), idHashes.end());
    if (std::adjacent_find(idHashes.begin(), idHashes.end()) == idHashes.end()) return;
  }
  std::vector<uint32_t> order(input.entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&input](uint32_t a, uint32_t b) {
    const std::string& ia = input.entries[a].id;
    const std::string& ib = input.entries[b].id;
    return ia != ib ? ia < ib : a < b;
  });
  std::vector<bool> repeated(input.entries.size(), false);
  bool any = false;
  for (size_t k = 1; k < order.size(); ++k) {
    if (input.entries[order[k]].id == input.entries[order[k - 1]].id) {
      repeated[order[k]] = repeated[order[k - 1]] = true;
      any = true;
    }
  }
  if (!any) return;
  // Each use names the first use elsewhere.
  for (size_t k = 0; k < order.size();) {
    size_t end = k + 1;
    while (end < order.size() && input.entries[order[end]].id == input.entries[order[k]].id) {
      ++end;
    }
    if (end - k > 1) {
      const EntryPlace& first = input.places[order[k]];
      for (size_t m = k; m < end; ++m) {
        const EntryPlace& place = input.places[order[m]];
        const EntryPlace& other = m == k ? input.places[order[k + 1]] : first;
        input.refusals.push_back(Refusal{place.file, place.line, input.entries[order[m]].id, "id",
                                         "the id is used by another entry too (" +
                                             std::string(paths[other.file]) + " line " +
                                             std::to_string(other.line) +
                                             "); an id is used once in all "
                                             "the books",
                                         "InconsistentInput"});
      }
    }
    k = end;
  }
  std::vector<EntryPlace> places;
  for (size_t i = 0; i < input.entries.size(); ++i) {
    if (!repeated[i]) places.push_back(input.places[i]);
  }
  input.entries.drop(repeated);
  input.places = std::move(places);
}

// The bytes appendJsonString writes for `text`.
size_t jsonStringBytes(std::string_view text) {
  size_t bytes = text.size() + 2;
  for (size_t i = plainJsonTextLength(text); i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '"' || byte == '\\' || byte == 0x08 || byte == 0x09 || byte == 0x0A ||
        byte == 0x0C || byte == 0x0D) {
      bytes += 1;  // a backslash and one letter
    } else if (byte < 0x20) {
      bytes += 5;  // \u00 and two hex digits
    }
  }
  return bytes;
}

size_t decimalBytes(uint64_t value) {
  size_t digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

// An entry's compact text (as toCompactJson(toJsonValue(entry)) writes it), told part by part
// to `out`: raw bytes, JSON strings and the one number. The one place the planner knows its
// layout; the sinks below count it, write it into room made for it, or append it. False when
// `out` refuses a string.
template <class Sink>
bool writeRefText(Sink& out, const Ref& ref) {
  out.raw("{\"fileId\":");
  if (!out.text(ref.fileId)) return false;
  out.raw(",\"row\":");
  out.number(ref.row);
  out.raw(",\"sheet\":");
  if (!ref.sheet) {
    out.raw("null");
  } else if (!out.text(*ref.sheet)) {
    return false;
  }
  out.raw(",\"sourceId\":");
  if (!out.text(ref.sourceId)) return false;
  out.raw("}");
  return true;
}

template <class Sink>
bool writeEntryText(Sink& out, const Entry& entry) {
  out.raw("{\"accountId\":");
  if (!out.text(entry.accountId)) return false;
  out.raw(",\"cents\":");
  if (!out.text(entry.cents)) return false;
  out.raw(",\"components\":[");
  for (size_t i = 0; i < entry.components.size(); ++i) {
    const EntryComponent& component = entry.components[i];
    out.raw(i == 0 ? "{\"cents\":" : ",{\"cents\":");
    if (!out.text(component.cents)) return false;
    out.raw(",\"kind\":");
    if (!out.text(toText(component.kind))) return false;
    out.raw(",\"origin\":");
    if (!writeRefText(out, component.origin)) return false;
    out.raw("}");
  }
  out.raw("],\"date\":");
  if (!out.text(entry.date)) return false;
  if (entry.description) {
    out.raw(",\"description\":");
    if (!out.text(*entry.description)) return false;
  }
  out.raw(",\"establishment\":");
  if (!out.text(entry.establishment)) return false;
  out.raw(",\"id\":");
  if (!out.text(entry.id)) return false;
  out.raw(",\"origin\":");
  if (!writeRefText(out, entry.origin)) return false;
  out.raw(",\"reference\":");
  if (!entry.reference) {
    out.raw("null");
  } else if (!out.text(*entry.reference)) {
    return false;
  }
  out.raw(",\"role\":");
  if (!out.text(toText(entry.role))) return false;
  out.raw(",\"root\":");
  if (!out.text(entry.root)) return false;
  out.raw("}");
  return true;
}

// Counts the text's bytes.
struct EntryTextSize {
  size_t bytes = 0;
  void raw(std::string_view part) { bytes += part.size(); }
  bool text(std::string_view text) {
    bytes += jsonStringBytes(text);
    return true;
  }
  void number(uint64_t value) { bytes += decimalBytes(value); }
};

// Appends the text, strings escaped as appendJsonString escapes them.
struct EntryTextAppender {
  std::string& out;
  void raw(std::string_view part) { out.append(part); }
  bool text(std::string_view text) {
    appendJsonString(out, text);
    return true;
  }
  void number(uint64_t value) { appendUnsigned(out, value); }
};

}  // namespace

std::optional<PlanTemplate> readTemplate(std::string_view path, std::string_view defaultVersion,
                                         std::string& error) {
  std::optional<InputFile> file = InputFile::open(path, error);
  if (!file) return std::nullopt;
  std::string bytes;
  bool more = false;
  if (!file->readBounded(kMaxTemplateBytes, bytes, more, error)) return std::nullopt;
  if (more) {
    error = "TEMPLATE is larger than " + std::to_string(kMaxTemplateBytes) + " bytes";
    return std::nullopt;
  }
  auto value = readJson(bytes);
  if (!value) {
    error = "TEMPLATE " + jsonReadProblem(value.error());
    return std::nullopt;
  }
  if (!value->isObject()) {
    error = "TEMPLATE is no run manifest: not a JSON object";
    return std::nullopt;
  }
  JsonObject object = value->asObject();
  PlanTemplate plan;
  plan.runIdPrefix = std::string(kDefaultRunIdPrefix);
  if (auto it = object.find("runId"); it != object.end()) {
    if (!it->second.isString()) {
      error =
          "TEMPLATE is no run manifest template: \"runId\", when given, is a text (the prefix "
          "of every run's runId)";
      return std::nullopt;
    }
    plan.runIdPrefix = it->second.asString();
  }
  // The longest runId the plan can write must be a valid one.
  object["runId"] = Json(plan.runIdPrefix + "-" + std::string(kRunIdSuffixDigits, '9'));
  if (object.find("window") == object.end()) object["window"] = Json(nullptr);
  if (object.find("engineVersion") == object.end()) {
    object["engineVersion"] = Json(std::string(defaultVersion));
  }
  ContractDetail detail;
  auto manifest = decodeRunManifest(Json(std::move(object)), &detail);
  if (!manifest) {
    error = "TEMPLATE is no run manifest: " +
            (detail.member.empty() ? std::string() : "member " + detail.member + ": ") +
            detail.what + " [" + std::string(contractErrorName(detail.code)) + "]";
    if (detail.member == "runId") {
      error += " (the runId prefix with \"-\" and " + std::to_string(kRunIdSuffixDigits) +
               " digits must be an identifier)";
    }
    return std::nullopt;
  }
  plan.manifest = std::move(*manifest);
  return plan;
}

bool readEntries(const std::vector<std::string_view>& paths, const PlanTemplate& plan,
                 PlanInput& input, std::string& error) {
  EntryBatcher batcher(plan, input, paths);
  // A problem of the input found while reading comes after every text before it: one of those
  // that is not JSON is told instead.
  auto fail = [&](std::string why) {
    if (!batcher.finish(error)) return false;
    error = std::move(why);
    return false;
  };
  std::string chunk;
  for (uint32_t file = 0; file < paths.size(); ++file) {
    const std::string name(paths[file]);
    std::optional<InputFile> opened = InputFile::open(paths[file], error);
    if (!opened) return fail(error);
    FileSplitter splitter(file, batcher);
    for (;;) {
      chunk.resize(kReadChunk);
      const std::ptrdiff_t got = readRetrying(opened->fd(), chunk.data(), chunk.size());
      if (got < 0) return fail("cannot read " + name + ": " + std::strerror(errno));
      if (got == 0) break;
      if (!splitter.feed(std::string_view(chunk.data(), static_cast<size_t>(got)), error)) {
        return batcher.failed() ? false : fail(name + " " + error);
      }
    }
    if (!splitter.finish(error)) return batcher.failed() ? false : fail(name + " " + error);
  }
  if (!batcher.finish(error)) return false;
  refuseRepeatedIds(input, paths, std::move(batcher.idHashes));
  std::stable_sort(input.refusals.begin(), input.refusals.end(),
                   [](const Refusal& a, const Refusal& b) {
                     return a.file != b.file ? a.file < b.file : a.line < b.line;
                   });
  // Planning needs only the sizes, beside every entry at once.
  input.textBytes.reserve(input.places.size());
  for (const EntryPlace& place : input.places) input.textBytes.push_back(place.textBytes);
  std::vector<EntryPlace>().swap(input.places);
  return true;
}

// Books are mostly written in identifier order, source by source: when the reading order falls
// into at most this many ascending runs, they are merged instead of sorted.
std::vector<uint32_t> identifierOrder(std::span<const Entry* const> entries) {
  std::vector<uint32_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  const auto less = [&entries](uint32_t x, uint32_t y) { return entries[x]->id < entries[y]->id; };
  std::vector<size_t> bounds{0};  // where each ascending run begins, then the end
  for (uint32_t i = 1; i < entries.size() && bounds.size() <= kMostMergedRuns; ++i) {
    if (less(i, i - 1)) bounds.push_back(i);
  }
  if (bounds.size() > kMostMergedRuns) {
    std::sort(order.begin(), order.end(), less);
    return order;
  }
  bounds.push_back(entries.size());
  while (bounds.size() > 2) {
    std::vector<size_t> merged{0};
    for (size_t r = 0; r + 2 < bounds.size(); r += 2) {
      std::inplace_merge(order.begin() + static_cast<std::ptrdiff_t>(bounds[r]),
                         order.begin() + static_cast<std::ptrdiff_t>(bounds[r + 1]),
                         order.begin() + static_cast<std::ptrdiff_t>(bounds[r + 2]), less);
      merged.push_back(bounds[r + 2]);
    }
    if (merged.back() != entries.size()) merged.push_back(entries.size());
    bounds = std::move(merged);
  }
  return order;
}

size_t entryJsonBytes(const Entry& entry) {
  EntryTextSize size;
  (void)writeEntryText(size, entry);
  return size.bytes;
}

namespace {

// Writes an entry's compact text into room made for it, as long as no text needs an escape.
class PlainEntryWriter {
 public:
  explicit PlainEntryWriter(char* at) : at_(at) {}

  // False, with nothing written, when `text` needs an escape.
  bool text(std::string_view text) {
    if (plainJsonTextLength(text) != text.size()) return false;
    *at_++ = '"';
    raw(text);
    *at_++ = '"';
    return true;
  }
  void raw(std::string_view bytes) {
    std::memcpy(at_, bytes.data(), bytes.size());
    at_ += bytes.size();
  }
  void number(uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) *at_++ = digits[--count];
  }
  char* at() const { return at_; }

 private:
  char* at_;
};

}  // namespace

void appendEntryJson(std::string& out, const Entry& entry, size_t bytes) {
  const size_t at = out.size();
  out.resize(at + bytes);
  // Texts written plain take no more room than escaped: an escape stops the writer in time.
  PlainEntryWriter writer(out.data() + at);
  if (writeEntryText(writer, entry) && writer.at() == out.data() + out.size()) return;
  out.resize(at);
  appendEntryJson(out, entry);
}

void appendEntryJson(std::string& out, const Entry& entry) {
  EntryTextAppender appender{out};
  (void)writeEntryText(appender, entry);
}

}  // namespace tw::tool
