// decodeRunManifest: the run manifest, its window and its input digests.
#include <map>
#include <string>
#include <utility>

#include "contracts/decode.h"
#include "contracts/decode_common.h"
#include "contracts/formats.h"

namespace tw {

using namespace decode_detail;

namespace {

constexpr std::array<std::string_view, 8> kManifestKeys = {
    "engineVersion", "inputDigests", "mappingVersion", "root",
    "ruleVersion",   "runId",        "version",        "window"};
static_assert(isSortedKeyList(kManifestKeys));
constexpr std::array<std::string_view, 2> kWindowKeys = {"from", "to"};
static_assert(isSortedKeyList(kWindowKeys));
constexpr std::array<std::string_view, 3> kDigestKeys = {"fileId", "sha256", "sourceId"};
static_assert(isSortedKeyList(kDigestKeys));

constexpr uint64_t kManifestVersion = 1;

Check invalid() {
  return fail(ContractError::InvalidContract);
}

// "inputDigests[i]", built only when a detail is wanted.
std::string digestPath(const ContractDetail* detail, size_t i) {
  if (detail == nullptr) return {};
  return "inputDigests[" + std::to_string(i) + "]";
}

Check checkWindow(const Json& value, ContractDetail* detail) {
  if (value.isNull()) return Check::success();
  if (!value.isObject()) return noted(invalid(), detail, "window", ValueFormat::Window, &value);
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kWindowKeys); !s) {
    if (detail != nullptr) noteUndeclaredKey(*detail, "window", object, kWindowKeys);
    return s;
  }
  const Json* from = member(object, "from");
  const Json* to = member(object, "to");
  if (from == nullptr || to == nullptr || !from->isString() || !to->isString()) {
    const bool fromFirst = from == nullptr || (to != nullptr && !from->isString());
    return noted(invalid(), detail, fromFirst ? "window.from" : "window.to", ValueFormat::Date,
                 fromFirst ? from : to);
  }
  if (auto s = checkDate(from); !s) return noted(s, detail, "window.from", ValueFormat::Date, from);
  if (auto s = checkDate(to); !s) return noted(s, detail, "window.to", ValueFormat::Date, to);
  // For valid date texts, text order is calendar order.
  if (to->asString() < from->asString()) {
    return noted(fail(ContractError::OutsideWindow), detail, "window", ValueFormat::Window, &value);
  }
  return Check::success();
}

// Fills in `detail` for the digest at `i` that may not follow, or repeats the fileId of, the
// digest at `j`.
void noteDigestPair(ContractDetail& detail, const JsonArray& digests, size_t i, size_t j,
                    bool sameFile) {
  detail.member = digestPath(&detail, i);
  detail.code = ContractError::InvalidContract;
  detail.what = explainDigestPair(digests[i], digests[j], j, sameFile);
}

Check checkInputDigests(const Json& value, ContractDetail* detail) {
  if (!value.isArray()) {
    return noted(invalid(), detail, "inputDigests", ValueFormat::List, &value, kMaxInputDigests);
  }
  const JsonArray& digests = value.asArray();
  if (digests.empty() || digests.size() > kMaxInputDigests) {
    return noted(invalid(), detail, "inputDigests", ValueFormat::List, &value, kMaxInputDigests);
  }
  // fileId -> sha256 of its first digest, for the rule that one file has one digest.
  std::map<std::string_view, std::string_view, std::less<>> digestOfFile;
  const std::string* previousSource = nullptr;
  const std::string* previousFile = nullptr;
  for (size_t i = 0; i < digests.size(); ++i) {
    const Json& element = digests[i];
    const std::string path = digestPath(detail, i);
    if (!element.isObject()) return noted(invalid(), detail, path, ValueFormat::Record, &element);
    const JsonObject& object = element.asObject();
    if (auto s = checkDeclaredKeys(object, kDigestKeys); !s) {
      if (detail != nullptr) noteUndeclaredKey(*detail, path, object, kDigestKeys);
      return s;
    }
    const Json* sourceId = member(object, "sourceId");
    if (auto s = checkIdentifier(sourceId); !s) {
      return noted(s, detail, memberPath(path, "sourceId"), ValueFormat::Identifier, sourceId);
    }
    const Json* fileId = member(object, "fileId");
    if (auto s = checkIdentifier(fileId); !s) {
      return noted(s, detail, memberPath(path, "fileId"), ValueFormat::Identifier, fileId);
    }
    const Json* sha256 = member(object, "sha256");
    if (sha256 == nullptr || !sha256->isString() || !isLowerHexSha256(sha256->asString())) {
      return noted(invalid(), detail, memberPath(path, "sha256"), ValueFormat::Sha256, sha256);
    }
    const std::string& source = sourceId->asString();
    const std::string& file = fileId->asString();
    if (previousSource != nullptr) {
      const int bySource = source.compare(*previousSource);
      if (bySource < 0 || (bySource == 0 && file.compare(*previousFile) <= 0)) {
        if (detail != nullptr) noteDigestPair(*detail, digests, i, i - 1, false);
        return invalid();
      }
    }
    previousSource = &source;
    previousFile = &file;
    auto [known, inserted] = digestOfFile.emplace(file, sha256->asString());
    if (!inserted && known->second != sha256->asString()) {
      if (detail != nullptr) {
        size_t first = 0;
        while (digests[first].asObject().at("fileId").asString() != file) ++first;
        noteDigestPair(*detail, digests, i, first, true);
      }
      return invalid();
    }
  }
  return Check::success();
}

Check checkVersionDigest(const Json* value) {
  if (!value->isString() || !isVersionDigest(value->asString())) return invalid();
  return Check::success();
}

// Phase 1: every rule of the manifest in its fixed order; the first violation decides. A failure
// fills in `detail`, when given, with the manifest's member.
Check validateManifest(const Json& value, ContractDetail* detail) {
  if (!value.isObject()) return noted(invalid(), detail, "", ValueFormat::Record, &value);
  const JsonObject& object = value.asObject();
  if (auto s = checkDeclaredKeys(object, kManifestKeys); !s) {
    if (detail != nullptr) noteUndeclaredKey(*detail, "", object, kManifestKeys);
    return s;
  }
  if (object.size() != kManifestKeys.size()) {  // declared keys only, so all
    if (detail != nullptr) {
      for (const std::string_view key : kManifestKeys) {
        if (member(object, key) == nullptr) {
          noteFailure(*detail, ContractError::InvalidContract, key, ValueFormat::Record, nullptr,
                      0);
          break;
        }
      }
    }
    return invalid();
  }
  const Json* versionValue = member(object, "version");
  auto version = safeIntegerValue(*versionValue);
  if (!version)
    return noted(fail(version.error()), detail, "version", ValueFormat::Version, versionValue);
  if (*version != kManifestVersion) {
    return noted(invalid(), detail, "version", ValueFormat::Version, versionValue);
  }
  const Json* runId = member(object, "runId");
  if (auto s = checkIdentifier(runId); !s) {
    return noted(s, detail, "runId", ValueFormat::Identifier, runId);
  }
  const Json* root = member(object, "root");
  if (!root->isString() || !isCompanyRoot(root->asString())) {
    return noted(invalid(), detail, "root", ValueFormat::CompanyRoot, root);
  }
  const Json* window = member(object, "window");
  if (auto s = checkWindow(*window, detail); !s) return s;
  const Json* digests = member(object, "inputDigests");
  if (auto s = checkInputDigests(*digests, detail); !s) return s;
  const Json* mapping = member(object, "mappingVersion");
  if (auto s = checkVersionDigest(mapping); !s) {
    return noted(s, detail, "mappingVersion", ValueFormat::VersionDigest, mapping);
  }
  const Json* rules = member(object, "ruleVersion");
  if (auto s = checkVersionDigest(rules); !s) {
    return noted(s, detail, "ruleVersion", ValueFormat::VersionDigest, rules);
  }
  const Json* engineVersion = member(object, "engineVersion");
  if (!engineVersion->isString() || !isEngineVersion(engineVersion->asString())) {
    return noted(invalid(), detail, "engineVersion", ValueFormat::EngineVersion, engineVersion);
  }
  return Check::success();
}

std::optional<RunWindow> takeWindow(Phase2& phase2, Json* value) {
  if (value == nullptr || value->isNull()) return std::nullopt;
  JsonObject* object = phase2.object(value, kWindowKeys);
  if (object == nullptr) return std::nullopt;
  RunWindow window;
  window.from = phase2.takeString(*object, "from");
  window.to = phase2.takeString(*object, "to");
  return window;
}

std::vector<InputDigest> takeInputDigests(Phase2& phase2, Json* value) {
  std::vector<InputDigest> digests;
  if (value == nullptr) return digests;
  if (!value->isArray()) {
    phase2.fail("expected a JSON array");
    return digests;
  }
  digests.reserve(value->asArray().size());
  for (Json& element : value->asArray()) {
    JsonObject* object = phase2.object(&element, kDigestKeys);
    if (object == nullptr) return digests;
    InputDigest digest;
    digest.sourceId = phase2.takeString(*object, "sourceId");
    digest.fileId = phase2.takeString(*object, "fileId");
    digest.sha256 = phase2.takeString(*object, "sha256");
    digests.push_back(std::move(digest));
  }
  return digests;
}

// Phase 2: moves the texts of an accepted value into the record.
RunManifest takeManifest(Phase2& phase2, Json& value) {
  RunManifest manifest;
  JsonObject* object = phase2.object(&value, kManifestKeys);
  if (object == nullptr) return manifest;
  const uint64_t version = phase2.safeInteger(*object, "version");
  if (version != kManifestVersion) phase2.fail("unsupported manifest version");
  manifest.version = static_cast<uint8_t>(kManifestVersion);
  manifest.runId = phase2.takeString(*object, "runId");
  manifest.root = phase2.takeString(*object, "root");
  manifest.window = takeWindow(phase2, phase2.member(*object, "window"));
  manifest.inputDigests = takeInputDigests(phase2, phase2.member(*object, "inputDigests"));
  manifest.mappingVersion = phase2.takeString(*object, "mappingVersion");
  manifest.ruleVersion = phase2.takeString(*object, "ruleVersion");
  manifest.engineVersion = phase2.takeString(*object, "engineVersion");
  return manifest;
}

// Both decoders in one body; the one without a detail passes a constant null, so that the
// compiler can leave every detail branch out of it.
template <bool kWithDetail>
Result<RunManifest, ContractError> decodeRunManifestWith(Json& value, ContractDetail* detail) {
  if (!kWithDetail) detail = nullptr;
  if (auto s = validateManifest(value, detail); !s) return fail(s.error());
  Phase2 phase2;
  RunManifest manifest = takeManifest(phase2, value);
  if (!phase2.ok()) {
    if (detail != nullptr) *detail = ContractDetail{"", phase2.code(), "cannot be converted"};
    return fail(phase2.code());
  }
  return manifest;
}

}  // namespace

Result<RunManifest, ContractError> decodeRunManifest(Json value) {
  return decodeRunManifestWith<false>(value, nullptr);
}

Result<RunManifest, ContractError> decodeRunManifest(Json value, ContractDetail* detail) {
  return decodeRunManifestWith<true>(value, detail);
}

}  // namespace tw
