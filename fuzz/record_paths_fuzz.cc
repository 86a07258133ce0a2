// The direct record paths must agree with the general ones they stand in for:
//  - checkEntryRecord(e) reports what decodeEntry(toJsonValue(e)) reports, and on success that
//    round trip gives back e;
//  - checkResultRecord(r) likewise for decodeReconciliationResult, and commitResult(r) is the
//    SHA-256 of the schema tag, 0x00 and canonicalJsonText(toJsonValue(r));
//  - readPlainEntriesFrame(line), when it reads a line at all, gives the records that decodeEntry
//    gives for the elements of readJson(line), or records that checkEntryRecord refuses where
//    decodeEntry refuses them.
// Records are built from the fuzz bytes out of small pools that mix valid and invalid values.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"
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
const char* const kTexts[] = {"ref",  "a\tb", "x\x7F",     "\xC3\xA9t\xC3\xA9",
                              "\xFF", "",     "line\nfeed"};
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  compareEntriesFrame(std::string_view(reinterpret_cast<const char*>(data), size));
  ByteSource in(data, size);
  compareEntry(makeEntry(in));
  compareResult(makeResult(in));
  return 0;
}
