// tallywarden pack MANIFEST ENTRIES [-o FILE]: a session input the worker will complete.
//
// The manifest and the entries are written compactly with the contracts' writer into a "start"
// frame with a fresh nonce, "entries" frames cut by bytes and count, and "execute". The session
// is then judged by the same replay as check, and written only when the worker would complete
// it; otherwise check's explanation is given, with the entry's place in ENTRIES.
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "tallywarden/commands.h"
#include "tallywarden/input_file.h"
#include "tallywarden/json_problem.h"
#include "tallywarden/replay.h"
#include "worker/frames.h"
#include "worker/line_reader.h"

namespace tw::tool {
namespace {

constexpr std::string_view kPackUsage = "usage: tallywarden pack MANIFEST ENTRIES [-o FILE]";
// ENTRIES may hold several sessions' worth, so that pack can say how many runs they need.
constexpr size_t kMaxEntriesFileBytes = size_t{256} << 20;
constexpr size_t kMaxManifestFileBytes = kMaxSessionBytes;
constexpr size_t kNonceBytes = 32;
// Besides the entries frames, a session holds one "start" and one "execute".
constexpr uint64_t kFramesBesideEntries = 2;

struct PackArgs {
  std::string_view manifest;
  std::string_view entries;
  std::optional<std::string_view> output;
};

std::optional<PackArgs> parseArgs(std::span<const std::string_view> args, std::string& error) {
  std::vector<std::string_view> files;
  PackArgs parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size() || parsed.output) {
        error = "-o takes one FILE";
        return std::nullopt;
      }
      parsed.output = args[++i];
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      error = "unknown option '" + std::string(args[i]) + "'";
      return std::nullopt;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) {
    error = "MANIFEST and ENTRIES are both needed, and nothing else";
    return std::nullopt;
  }
  parsed.manifest = files[0];
  parsed.entries = files[1];
  return parsed;
}

std::optional<std::string> readWhole(std::string_view path, size_t limit, std::string& error) {
  std::optional<InputFile> file = InputFile::open(path, error);
  if (!file) return std::nullopt;
  std::string bytes;
  bool more = false;
  if (!file->readBounded(limit, bytes, more, error)) return std::nullopt;
  if (more) {
    error = std::string(path) + " is larger than " + std::to_string(limit) + " bytes";
    return std::nullopt;
  }
  return bytes;
}

// One entry as given, and where it was: its line in ENTRIES (one entry a line) or 0.
struct GivenEntry {
  std::string text;  // compact
  size_t line = 0;
};

// A JSON array, or one entry a line (blank lines passed over).
std::optional<std::vector<GivenEntry>> readEntries(const std::string& bytes, std::string& error) {
  std::vector<GivenEntry> entries;
  const size_t first = bytes.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && bytes[first] == '[') {
    auto value = readJson(bytes);
    if (!value || !value->isArray()) {
      error =
          "ENTRIES " + (value ? std::string("is not an array") : jsonReadProblem(value.error()));
      return std::nullopt;
    }
    for (const Json& element : value->asArray()) entries.push_back({toCompactJson(element), 0});
    return entries;
  }
  size_t start = 0;
  for (size_t line = 1; start < bytes.size(); ++line) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string_view text(bytes.data() + start, end - start);
    start = end + 1;
    if (text.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    auto value = readJson(text);
    if (!value) {
      error = "ENTRIES line " + std::to_string(line) + " " + jsonReadProblem(value.error());
      return std::nullopt;
    }
    entries.push_back({toCompactJson(*value), line});
  }
  return entries;
}

std::string freshNonce() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;  // the operating system's source
  std::string nonce;
  while (nonce.size() < kNonceBytes) {
    const unsigned value = device();
    for (int shift = 0; shift < 32 && nonce.size() < kNonceBytes; shift += 4) {
      nonce.push_back(kDigits[(value >> shift) & 15]);
    }
  }
  return nonce;
}

std::string frameLine(JsonObject members, const std::string& nonce) {
  members["nonce"] = Json(nonce);
  members["version"] = Json(kProtocolVersion);
  return toCompactJson(Json(std::move(members))) + "\n";
}

// The entries frames: at most kMaxEntriesPerFrame entries and kMaxLineBytes bytes a line. An
// entry too long for a frame of its own is named in `error`.
std::optional<std::vector<std::string>> cutFrames(const std::vector<GivenEntry>& entries,
                                                  const std::string& nonce, std::string& error) {
  const std::string empty =
      frameLine(makeObject({{"entries", Json(JsonArray{})}, {"kind", Json("entries")}}), nonce);
  const size_t open = empty.find("[]") + 1;  // the array's contents go here
  std::vector<std::string> frames;
  std::string frame;
  size_t count = 0;
  auto close = [&] {
    if (count > 0) frames.push_back(std::move(frame));
    frame.clear();
    count = 0;
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& text = entries[i].text;
    if (empty.size() + text.size() > kMaxLineBytes) {
      error = "entry " + std::to_string(i) + " is " + std::to_string(text.size()) +
              " bytes written compactly; a frame of one entry holds at most " +
              std::to_string(kMaxLineBytes - empty.size());
      return std::nullopt;
    }
    if (count == kMaxEntriesPerFrame ||
        (count > 0 && frame.size() + 1 + text.size() > kMaxLineBytes)) {
      close();
    }
    if (count == 0) {
      frame = empty;
      frame.insert(open, text);
    } else {
      frame.insert(frame.size() - (empty.size() - open), "," + text);
    }
    ++count;
  }
  close();
  return frames;
}

// Sessions the frames need, filled in order up to every session limit.
size_t runsNeeded(const std::vector<std::string>& frames, size_t fixedBytes,
                  const std::vector<size_t>& frameEntries) {
  size_t runs = 1;
  uint64_t framesInRun = kFramesBesideEntries;
  uint64_t bytesInRun = fixedBytes;
  size_t entriesInRun = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (framesInRun + 1 > kMaxFramesPerSession ||
        bytesInRun + frames[i].size() > kMaxSessionBytes ||
        entriesInRun + frameEntries[i] > kMaxHeldEntries) {
      ++runs;
      framesInRun = kFramesBesideEntries;
      bytesInRun = fixedBytes;
      entriesInRun = 0;
    }
    ++framesInRun;
    bytesInRun += frames[i].size();
    entriesInRun += frameEntries[i];
  }
  return runs;
}

size_t entriesIn(const std::string& frame) {
  auto value = readJson(frame);
  if (!value || !value->isObject()) return 0;
  const Json* entries = value->find("entries");
  return entries != nullptr && entries->isArray() ? entries->asArray().size() : 0;
}

}  // namespace

int runPack(std::span<const std::string_view> args, Streams streams) {
  std::string error;
  const std::optional<PackArgs> parsed = parseArgs(args, error);
  auto cannotRun = [&streams](const std::string& why) {
    streams.err << "tallywarden pack: " << why << "\n";
    return kExitCannotRun;
  };
  if (!parsed) return cannotRun(error + " (" + std::string(kPackUsage) + ")");
  if (parsed->manifest == "-" && parsed->entries == "-") {
    return cannotRun("MANIFEST and ENTRIES cannot both be standard input");
  }
  const std::optional<std::string> manifestBytes =
      readWhole(parsed->manifest, kMaxManifestFileBytes, error);
  if (!manifestBytes) return cannotRun(error);
  auto manifest = readJson(*manifestBytes);
  if (!manifest) return cannotRun("MANIFEST " + jsonReadProblem(manifest.error()));
  const std::optional<std::string> entriesBytes =
      readWhole(parsed->entries, kMaxEntriesFileBytes, error);
  if (!entriesBytes) return cannotRun(error);
  if (entriesBytes->empty()) return cannotRun("ENTRIES is empty (write [] for no entries)");
  std::optional<std::vector<GivenEntry>> entries = readEntries(*entriesBytes, error);
  if (!entries) return cannotRun(error);

  const std::string nonce = freshNonce();
  const std::string start =
      frameLine(makeObject({{"kind", Json("start")}, {"manifest", std::move(*manifest)}}), nonce);
  const std::string execute = frameLine(makeObject({{"kind", Json("execute")}}), nonce);
  std::optional<std::vector<std::string>> frames = cutFrames(*entries, nonce, error);
  if (!frames) {
    streams.err << "tallywarden pack: refused: " << error << "\n";
    return kExitFails;
  }
  std::vector<size_t> frameEntries;
  uint64_t bytes = start.size() + execute.size();
  for (const std::string& frame : *frames) {
    frameEntries.push_back(entriesIn(frame));
    bytes += frame.size();
  }
  const uint64_t frameCount = frames->size() + kFramesBesideEntries;
  if (frameCount > kMaxFramesPerSession || bytes > kMaxSessionBytes ||
      entries->size() > kMaxHeldEntries) {
    const size_t runs = runsNeeded(*frames, start.size() + execute.size(), frameEntries);
    streams.err << "tallywarden pack: refused: " << entries->size() << " entries make "
                << frameCount << " frames and " << bytes << " bytes; a session holds at most "
                << kMaxHeldEntries << " entries, " << kMaxFramesPerSession << " frames and "
                << kMaxSessionBytes << " bytes, so these entries need " << runs
                << " runs (split by account or by period: entries in different runs are never "
                   "matched with each other)\n";
    return kExitFails;
  }
  std::string session = start;
  for (const std::string& frame : *frames) session += frame;
  session += execute;

  const std::optional<Verdict> verdict = replayBytes(session);
  if (!verdict) return cannotRun("no temporary file for judging the session");
  if (verdict->outcome != Outcome::Completed) {
    streams.err << "tallywarden pack: refused: the worker would end this session "
                << toText(verdict->outcome) << "\n"
                << refusalText(*verdict);
    // Where the refused entry stands in ENTRIES.
    const std::optional<size_t> index =
        verdict->fault && verdict->fault->index ? verdict->fault->index : verdict->engineEntryIndex;
    const std::optional<uint64_t> line = verdict->fault ? verdict->line : verdict->engineEntryLine;
    if (index && line && *line >= 2 && *line - 2 < frameEntries.size()) {
      size_t given = *index;
      for (size_t f = 0; f + 2 < *line; ++f) given += frameEntries[f];
      streams.err << "  that is ENTRIES element " << given;
      if (given < entries->size() && (*entries)[given].line != 0) {
        streams.err << " (line " << (*entries)[given].line << ")";
      }
      streams.err << "\n";
    }
    return kExitFails;
  }
  if (parsed->output) {
    std::ofstream out{std::string(*parsed->output), std::ios::binary | std::ios::trunc};
    out << session;
    out.close();
    if (!out) return cannotRun("cannot write " + std::string(*parsed->output));
    streams.out << "packed " << entries->size() << " entries in " << frameCount << " frames, "
                << bytes << " bytes, nonce " << nonce << "; check: completed\n";
  } else {
    streams.out << session;
  }
  return kExitPasses;
}

}  // namespace tw::tool
