#include "tests/session_frames.h"

#include <utility>

#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/test_records.h"

namespace tw::test {

std::string startLine(const RunManifest& manifest, const std::string& nonce) {
  return toCompactJson(makeObject({{"version", 1},
                                   {"kind", "start"},
                                   {"nonce", nonce},
                                   {"manifest", toJsonValue(manifest)}})) +
         "\n";
}

std::string startLine() {
  return startLine(testing::makeManifest("run-1"));
}

std::string entriesLine(const JsonArray& values, const std::string& nonce) {
  return toCompactJson(makeObject(
             {{"version", 1}, {"kind", "entries"}, {"nonce", nonce}, {"entries", values}})) +
         "\n";
}

std::string entriesLine(const std::vector<Entry>& entries, const std::string& nonce) {
  JsonArray values;
  values.reserve(entries.size());
  for (const Entry& entry : entries) values.push_back(toJsonValue(entry));
  return entriesLine(values, nonce);
}

std::string plainLine(const std::string& kind, const std::string& nonce) {
  return toCompactJson(makeObject({{"version", 1}, {"kind", kind}, {"nonce", nonce}})) + "\n";
}

std::string paddedTo(std::string line, size_t size) {
  line.pop_back();
  if (line.size() + 1 < size) line.append(size - line.size() - 1, ' ');
  line.push_back('\n');
  return line;
}

std::string withCrLf(std::string line) {
  line.insert(line.size() - 1, "\r");
  return line;
}

std::vector<Entry> erpEntries(size_t count, size_t first) {
  std::vector<Entry> entries;
  entries.reserve(count);
  for (size_t i = first; i < first + count; ++i) {
    entries.push_back(testing::makeEntry("E" + std::to_string(i), SourceRole::Erp, "acct-1",
                                         "2024-03-01", "100"));
  }
  return entries;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return lines;
}

std::string kindOf(const std::string& line) {
  auto value = readJson(line);
  if (!value) return "";
  const Json* kind = value->find("kind");
  return kind && kind->isString() ? kind->asString() : "";
}

namespace {

bool hasMembers(const Json& value, std::initializer_list<std::string_view> names) {
  if (!value.isObject() || value.asObject().size() != names.size()) return false;
  for (std::string_view name : names) {
    if (!value.find(name)) return false;
  }
  return true;
}

bool isUnsignedEqual(const Json* value, uint64_t expected) {
  return value && value->isUnsigned() && value->asUnsigned() == expected;
}

}  // namespace

std::optional<Delivery> readDelivery(const std::vector<std::string>& lines,
                                     const std::string& nonce, std::string& problem) {
  if (lines.empty()) {
    problem = "no pages";
    return std::nullopt;
  }
  const uint64_t pages = lines.size() - 1;
  JsonArray allocations, pendingIds;
  JsonObject residuals;
  int section = 0;  // allocations, pending identifiers, residuals: never backwards
  for (uint64_t index = 0; index < pages; ++index) {
    problem = "page " + std::to_string(index) + ": " + lines[index];
    auto message = readJson(lines[index]);
    if (!message ||
        !hasMembers(*message, {"kind", "nonce", "page", "pageCount", "pageIndex", "version"})) {
      return std::nullopt;
    }
    if (kindOf(lines[index]) != "resultPage" || *message->find("nonce") != Json(nonce) ||
        !isUnsignedEqual(message->find("version"), 1) ||
        !isUnsignedEqual(message->find("pageIndex"), index) ||
        !isUnsignedEqual(message->find("pageCount"), pages)) {
      return std::nullopt;
    }
    Json page = *message->find("page");
    if (!hasMembers(page, {"allocations", "pendingIds", "residuals"})) return std::nullopt;
    JsonObject& body = page.asObject();
    if (!body["allocations"].isArray() || !body["pendingIds"].isArray() ||
        !body["residuals"].isObject()) {
      return std::nullopt;
    }
    const size_t items[] = {body["allocations"].asArray().size(),
                            body["pendingIds"].asArray().size(),
                            body["residuals"].asObject().size()};
    const size_t total = items[0] + items[1] + items[2];
    if (total == 0 && pages == 1) continue;  // the single page of an empty result
    if (total != 1) return std::nullopt;
    const int here = items[0] ? 0 : items[1] ? 1 : 2;
    if (here < section) return std::nullopt;
    section = here;
    if (here == 0) allocations.push_back(body["allocations"].asArray()[0]);
    if (here == 1) pendingIds.push_back(body["pendingIds"].asArray()[0]);
    if (here == 2) {
      auto& [key, cents] = *body["residuals"].asObject().begin();
      if (!residuals.empty() && !(residuals.rbegin()->first < key)) return std::nullopt;
      residuals.emplace(key, cents);
    }
  }

  problem = "closing message: " + lines.back();
  auto completed = readJson(lines.back());
  if (!completed || !hasMembers(*completed, {"kind", "metadata", "nonce", "version"}) ||
      kindOf(lines.back()) != "completed" || *completed->find("nonce") != Json(nonce) ||
      !isUnsignedEqual(completed->find("version"), 1)) {
    return std::nullopt;
  }
  const Json& metadata = *completed->find("metadata");
  if (!hasMembers(metadata, {"pageCount", "resultCommitment", "revision", "runId"}) ||
      !isUnsignedEqual(metadata.find("pageCount"), pages) ||
      !metadata.find("resultCommitment")->isString()) {
    return std::nullopt;
  }
  JsonObject resultValue;
  resultValue.emplace("allocations", std::move(allocations));
  resultValue.emplace("pendingIds", std::move(pendingIds));
  resultValue.emplace("residuals", std::move(residuals));
  resultValue.emplace("revision", *metadata.find("revision"));
  resultValue.emplace("runId", *metadata.find("runId"));
  auto result = decodeReconciliationResult(Json(std::move(resultValue)));
  if (!result) {
    problem = "the pages do not form a valid result";
    return std::nullopt;
  }
  problem.clear();
  return Delivery{std::move(result).value(), metadata.find("resultCommitment")->asString(), pages};
}

}  // namespace tw::test
