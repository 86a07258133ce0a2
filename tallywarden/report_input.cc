#include "tallywarden/report_input.h"

#include <cstring>
#include <utility>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "worker/frames.h"

namespace tw::tool {

const size_t kMaxInputBytes = kMaxSessionBytes + kMaxFramesPerSession;

namespace {

void readLine(std::string_view line, SessionEntries& out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto read = readJson(line);
  const Json* kind = read ? read->find("kind") : nullptr;
  if (kind == nullptr || !kind->isString()) {
    ++out.linesPassedOver;
    return;
  }
  if (kind->asString() == "start") {
    ++out.linesPassedOver;
    if (out.nonce) return;
    if (const Json* nonce = read->find("nonce"); nonce != nullptr && nonce->isString()) {
      out.nonce = nonce->asString();
    }
    if (const Json* manifest = read->find("manifest"); manifest != nullptr) {
      if (auto decoded = decodeRunManifest(*manifest)) out.runId = decoded->runId;
    }
    return;
  }
  JsonObject& frame = read->asObject();  // find() answered, so it is an object
  auto entries = frame.find("entries");
  if (kind->asString() != "entries" || entries == frame.end() || !entries->second.isArray()) {
    ++out.linesPassedOver;
    return;
  }
  for (Json& element : entries->second.asArray()) {
    auto entry = decodeEntry(std::move(element));
    if (!entry) {
      ++out.entriesUnreadable;
      continue;
    }
    std::string id = entry->id;
    if (!out.entries.try_emplace(std::move(id), std::move(entry).value()).second) {
      ++out.entriesRepeated;
    }
  }
}

}  // namespace

SessionEntries readSessionEntries(std::string_view bytes) {
  SessionEntries out;
  size_t start = 0;
  while (start < bytes.size()) {
    const void* found = std::memchr(bytes.data() + start, '\n', bytes.size() - start);
    const size_t end = found ? static_cast<const char*>(found) - bytes.data() : bytes.size();
    readLine(bytes.substr(start, end - start), out);
    start = end + 1;
  }
  return out;
}

}  // namespace tw::tool
