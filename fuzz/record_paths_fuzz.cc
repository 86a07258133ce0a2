// The direct record paths must agree with the general ones they stand in for:
//  - checkEntryRecord(e) reports what decodeEntry(toJsonValue(e)) reports, and on success that
//    round trip gives back e;
//  - checkResultRecord(r) likewise for decodeReconciliationResult, and commitResult(r) is the
//    SHA-256 of the schema tag, 0x00 and canonicalJsonText(toJsonValue(r));
//  - readPlainEntriesFrame(line), when it reads a line at all, gives the records that decodeEntry
//    gives for the elements of readJson(line), or records that checkEntryRecord refuses where
//    decodeEntry refuses them; and it reads every line that the general route reads into an
//    entries frame whose entries all decode.
// Records are built from the fuzz bytes out of small pools that mix valid and invalid values;
// entries frames are both the fuzz bytes themselves and frames written from such records in the
// ways hosts write them: members in any order, any whitespace, texts with or without escapes
// (\uXXXX for any character, surrogate pairs, the short escapes), rows in every number form.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"
#include "contracts/record_checks.h"
#include "contracts/test_records.h"
#include "fuzz/byte_source.h"
#include "worker/entries_frame.h"

namespace {

using tw::fuzzing::ByteSource;

const char* const kIds[] = {"E1",       "a",         "B-2.x:y_z",   "",          "-x",
                            "_x",       "prototype", "constructor", "__proto__", "a b",
                            "\xC3\xA9", "A10",       "A9"};
const char* const kAmounts[] = {"0",
                                "-1",
                                "100",
                                "00",
                                "-0",
                                "+1",
                                "1.0",
                                "",
                                "-",
                                "170141183460469231731687303715884105727",
                                "170141183460469231731687303715884105728",
                                "-170141183460469231731687303715884105728",
                                "-170141183460469231731687303715884105729"};
const char* const kDates[] = {"2024-02-29", "2023-02-29", "2000-02-29", "2100-02-29",
                              "0000-01-01", "2024-1-05",  "2024-12-31", "2024-13-01"};
const char* const kTexts[] = {
    "ref",        "a\tb",
    "x\x7F",      "\xC3\xA9t\xC3\xA9",
    "\xFF",       "",
    "line\nfeed", "Jo\xC3\xA3o \"Z\xC3\xA9\" C:\\dir/a\xE2\x82\xAC \xF0\x9F\x98\x80"};
const char* const kRoots[] = {"ABCDEFGH", "abcdefgh", "ABCDEFG", "12345678"};

std::optional<std::string> optionalText(ByteSource& in) {
  const uint8_t choice = in.next();
  if (choice % 3 == 0) return std::nullopt;
  return std::string(in.pick(kTexts));
}

tw::Ref makeRef(ByteSource& in) {
  tw::Ref ref;
  ref.sourceId = in.pick(kIds);
  ref.fileId = in.pick(kIds);
  ref.sheet = optionalText(in);
  ref.row = static_cast<uint32_t>(in.next()) * 0x01010101u;
  return ref;
}

tw::Entry makeEntry(ByteSource& in) {
  tw::Entry entry;
  entry.id = in.pick(kIds);
  entry.role = static_cast<tw::SourceRole>(in.next() % 5);  // 4 is out of range on purpose
  entry.root = in.pick(kRoots);
  entry.establishment = in.next() % 4 == 0
                            ? std::string("ABCDEFGH000100")
                            : tw::testing::validEstablishment(kRoots[in.next() % 4 == 0 ? 3 : 0]);
  entry.accountId = in.pick(kIds);
  entry.date = in.pick(kDates);
  entry.cents = in.pick(kAmounts);
  entry.reference = optionalText(in);
  entry.description = optionalText(in);
  entry.origin = makeRef(in);
  const size_t components = in.next() % 4 == 0 ? 65 : in.next() % 3;
  for (size_t i = 0; i < components; ++i) {
    entry.components.push_back(tw::EntryComponent{
        static_cast<tw::EntryComponentKind>(in.next() % 3), in.pick(kAmounts), makeRef(in)});
  }
  return entry;
}

tw::ReconciliationResult makeResult(ByteSource& in) {
  tw::ReconciliationResult result;
  result.runId = in.pick(kIds);
  const size_t allocations = in.next() % 4;
  for (size_t i = 0; i < allocations; ++i) {
    tw::Allocation a;
    a.stage = static_cast<tw::AllocationStage>(in.next() % 4);
    a.leftId = in.pick(kIds);
    a.rightId = in.pick(kIds);
    a.cents = in.pick(kAmounts);
    a.evidence.ruleId = in.pick(kIds);
    const size_t origins = in.next() % 4;
    for (size_t k = 0; k < origins; ++k) a.evidence.origins.push_back(makeRef(in));
    const size_t codes = in.next() % 4;
    for (size_t k = 0; k < codes; ++k)
      a.evidence.reasonCodes.push_back(static_cast<tw::ReasonCode>(in.next() % 4));
    result.allocations.push_back(std::move(a));
  }
  const size_t pending = in.next() % 3;
  for (size_t i = 0; i < pending; ++i) result.pendingIds.push_back(in.pick(kIds));
  const size_t residuals = in.next() % 3;
  for (size_t i = 0; i < residuals; ++i) result.residuals[in.pick(kIds)] = in.pick(kAmounts);
  const uint8_t revision = in.next();
  result.revision = revision < 200 ? revision : tw::kMaxSafeInteger + (revision - 200u) / 20u;
  return result;
}

std::string sha256Commitment(const std::string& canonical) {
  std::string message(tw::kResultSchemaTag);
  message.push_back('\0');
  message += canonical;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    std::abort();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

void compareEntry(const tw::Entry& entry) {
  auto checked = tw::checkEntryRecord(entry);
  auto decoded = tw::decodeEntry(tw::toJsonValue(entry));
  if (checked.ok() != decoded.ok()) std::abort();
  if (!checked.ok() && checked.error() != decoded.error()) std::abort();
  if (decoded.ok() && !(decoded.value() == entry)) std::abort();
}

void compareResult(const tw::ReconciliationResult& result) {
  auto decoded = tw::decodeReconciliationResult(tw::toJsonValue(result));
  auto committed = tw::commitResult(result);
  if (committed.ok() != decoded.ok()) std::abort();
  if (!decoded.ok()) {
    if (committed.error() != decoded.error()) std::abort();
    return;
  }
  if (!(decoded.value() == result)) std::abort();
  auto canonical = tw::canonicalJsonText(tw::toJsonValue(decoded.value()));
  if (!canonical.ok() || committed.value() != sha256Commitment(canonical.value())) std::abort();
}

void compareEntriesFrame(std::string_view line) {
  auto plain = tw::readPlainEntriesFrame(line);
  if (!plain) return;
  auto read = tw::readJson(line);
  if (!read.ok() || !read.value().isObject()) std::abort();
  const tw::Json* nonce = read.value().find("nonce");
  const tw::Json* entries = read.value().find("entries");
  if (!nonce || !nonce->isString() || nonce->asString() != plain->nonce) std::abort();
  if (!entries || !entries->isArray() || entries->asArray().size() != plain->entries.size())
    std::abort();
  for (size_t i = 0; i < plain->entries.size(); ++i) {
    auto decoded = tw::decodeEntry(entries->asArray()[i]);
    auto checked = tw::checkEntryRecord(plain->entries[i]);
    if (decoded.ok() != checked.ok()) std::abort();
    if (decoded.ok() && !(decoded.value() == plain->entries[i])) std::abort();
    if (!decoded.ok() && decoded.error() != checked.error()) std::abort();
  }
}

// ---- Entries frames written as hosts write them ----

const char* const kWhitespace[] = {"", "", "", " ", "\t", "\r\n ", "  "};

void space(ByteSource& in, std::string& out) {
  out += in.pick(kWhitespace);
}

void appendEscapedUnit(std::string& out, uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdefABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// The code point of the valid UTF-8 sequence at `text[i]`, and its length; 0 when none starts.
size_t utf8Sequence(std::string_view text, size_t i, uint32_t& code) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || i + length > text.size() || !tw::isValidUtf8(text.substr(i, length))) {
    return 0;
  }
  code = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
  return length;
}

// A JSON string for `text`, each character raw or escaped as the fuzz bytes choose.
void writeText(ByteSource& in, std::string& out, std::string_view text) {
  const uint8_t mode = in.next();  // 0: escape only what must be; 1: escape all; else: mixed
  auto escapeHere = [&] { return mode % 3 == 1 || (mode % 3 == 2 && in.next() % 2 == 0); };
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    uint32_t code = 0;
    if (byte >= 0x80) {
      const size_t length = utf8Sequence(text, i, code);
      if (length == 0 || !escapeHere()) {
        out.push_back(text[i]);
        ++i;
        continue;
      }
      if (code >= 0x10000) {
        appendEscapedUnit(out, 0xD800 + ((code - 0x10000) >> 10));
        appendEscapedUnit(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
      } else {
        appendEscapedUnit(out, code);
      }
      i += length;
      continue;
    }
    ++i;
    const bool must = byte < 0x20 || byte == '"' || byte == '\\';
    if (!must && !escapeHere()) {
      out.push_back(static_cast<char>(byte));
      continue;
    }
    const char* shortForm = nullptr;
    switch (byte) {
      case '"':
        shortForm = "\\\"";
        break;
      case '\\':
        shortForm = "\\\\";
        break;
      case '/':
        shortForm = "\\/";
        break;
      case '\b':
        shortForm = "\\b";
        break;
      case '\f':
        shortForm = "\\f";
        break;
      case '\n':
        shortForm = "\\n";
        break;
      case '\r':
        shortForm = "\\r";
        break;
      case '\t':
        shortForm = "\\t";
        break;
      default:
        break;
    }
    if (shortForm != nullptr && in.next() % 2 == 0) {
      out += shortForm;
    } else {
      appendEscapedUnit(out, byte);
    }
  }
  out.push_back('"');
}

// A number literal for `value`, in one of the forms the row rule takes, or now and then one it
// refuses.
void writeRow(ByteSource& in, std::string& out, uint64_t value) {
  static const char* const kOthers[] = {
      "-1",     "1.5",  "4294967296", "4294967296.0", "1e400",
      "1e-400", "-0.0", "-1e-400",    "0.5e1",        "18446744073709551616"};
  const std::string digits = std::to_string(value);
  const uint8_t form = in.next() % 10;
  switch (form) {
    case 0:
      out += digits + ".0";
      break;
    case 1:
      out += digits + ".000";
      break;
    case 2:
      out +=
          digits.substr(0, 1) + "." + digits.substr(1) + "0e" + std::to_string(digits.size() - 1);
      break;
    case 3:
      out += digits + "00E-2";
      break;
    case 4:
      out += "0." + digits + "e+" + std::to_string(digits.size());
      break;
    case 5:
      out += value == 0 ? "-0" : digits + "e0";
      break;
    case 6:
      out += in.pick(kOthers);
      break;
    default:
      out += digits;
      break;
  }
}

void writeValue(ByteSource& in, std::string& out, const tw::Json& value, bool isRow);

void writeObject(ByteSource& in, std::string& out, const tw::JsonObject& object) {
  std::vector<std::pair<const std::string*, const tw::Json*>> members;
  for (const auto& [name, member] : object) members.emplace_back(&name, &member);
  const uint8_t order = in.next() % 3;
  if (order == 1) std::reverse(members.begin(), members.end());
  if (order == 2 && !members.empty()) {
    std::rotate(members.begin(), members.begin() + in.next() % members.size(), members.end());
  }
  out.push_back('{');
  space(in, out);
  for (size_t i = 0; i < members.size(); ++i) {
    if (i > 0) {
      out.push_back(',');
      space(in, out);
    }
    writeText(in, out, *members[i].first);
    space(in, out);
    out.push_back(':');
    space(in, out);
    writeValue(in, out, *members[i].second, *members[i].first == "row");
    space(in, out);
  }
  out.push_back('}');
}

void writeValue(ByteSource& in, std::string& out, const tw::Json& value, bool isRow) {
  if (value.isObject()) return writeObject(in, out, value.asObject());
  if (value.isString()) return writeText(in, out, value.asString());
  if (isRow && value.isUnsigned()) return writeRow(in, out, value.asUnsigned());
  if (value.isArray()) {
    out.push_back('[');
    space(in, out);
    const tw::JsonArray& elements = value.asArray();
    for (size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) {
        out.push_back(',');
        space(in, out);
      }
      writeValue(in, out, elements[i], false);
      space(in, out);
    }
    out.push_back(']');
    return;
  }
  out += tw::toCompactJson(value);
}

std::string writeEntriesFrame(ByteSource& in) {
  tw::JsonArray entries;
  const size_t count = in.next() % 4;
  for (size_t i = 0; i < count; ++i) entries.push_back(tw::toJsonValue(makeEntry(in)));
  const tw::Json frame(tw::makeObject({{"version", 1},
                                       {"kind", "entries"},
                                       {"nonce", "nonce-0123456789abcdef"},
                                       {"entries", std::move(entries)}}));
  std::string line;
  space(in, line);
  writeValue(in, line, frame, false);
  space(in, line);
  line += in.next() % 4 == 0 ? "\r\n" : "\n";
  return line;
}

// Whether the general route reads `line` as an entries frame of the right members whose every
// entry decodes: then the direct reader must read it too.
bool generalRouteAccepts(std::string_view line) {
  auto read = tw::readJson(line);
  if (!read.ok() || !read.value().isObject() || read.value().asObject().size() != 4) return false;
  const tw::Json* version = read.value().find("version");
  const tw::Json* kind = read.value().find("kind");
  const tw::Json* nonce = read.value().find("nonce");
  const tw::Json* entries = read.value().find("entries");
  if (!version || !version->isUnsigned() || version->asUnsigned() != 1) return false;
  if (!kind || !kind->isString() || kind->asString() != "entries") return false;
  if (!nonce || !nonce->isString() || !entries || !entries->isArray()) return false;
  for (const tw::Json& element : entries->asArray()) {
    if (!tw::decodeEntry(element).ok()) return false;
  }
  return true;
}

void compareWrittenFrame(std::string_view line) {
  compareEntriesFrame(line);
  if (generalRouteAccepts(line) && !tw::readPlainEntriesFrame(line)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  compareEntriesFrame(std::string_view(reinterpret_cast<const char*>(data), size));
  ByteSource in(data, size);
  compareEntry(makeEntry(in));
  compareResult(makeResult(in));
  compareWrittenFrame(writeEntriesFrame(in));
  return 0;
}
