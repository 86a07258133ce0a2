// What a refused record is refused for, for a person: the member, the code and a sentence.
//
// The decoders fill a ContractDetail in only when a caller passes one, and only on the way out
// of a failure; the code is decided by the checks alone, the detail just names the member they
// were looking at and says what its value lacks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "contracts/contract_error.h"
#include "contracts/json.h"

namespace tw {

struct ContractDetail {
  // Path of the member below the record, such as "origin.fileId" or "components[2].cents";
  // empty for the record itself.
  std::string member;
  ContractError code = ContractError::InvalidContract;
  std::string what;  // one sentence
};

// The value formats a check holds a member to, for the sentence.
enum class ValueFormat : uint8_t {
  Record,         // a JSON object of the record's declared members
  Identifier,     // identifier text
  Amount,         // amount text
  Date,           // date text
  FreeText,       // null or free text of at most `maxBytes`
  CompanyRoot,    // 8 bytes A-Z/0-9
  Establishment,  // 14 bytes with two check digits
  RootPrefix,     // the establishment begins with the root
  SourceRole,     // "erp", "sales", "settlement" or "bank"
  ComponentKind,  // "fee" or "reversal"
  List,           // an array of at most `limit` elements (input digests: 1 to `limit`)
  Row,            // a whole number up to 4294967295
  Version,        // the manifest version, 1
  Window,         // null, or {from, to} with from not after to
  Sha256,         // 64 lower-case hex digits
  VersionDigest,  // "sha256:" and 64 lower-case hex digits
  EngineVersion,  // 1 to 64 bytes of letters, digits, '+', '-', '.', ':', '_'
};

// A sentence saying why `value` (nullptr when the member is absent) fails `format` with `code`.
// `limit` is the byte limit of free text or the size limit of a list.
std::string explainValue(ValueFormat format, const Json* value, ContractError code,
                         size_t limit = 0);

// A sentence saying why the input digest `digest` may not follow `other` (at index `otherIndex`)
// in (sourceId, fileId) order or, when `sameFile`, gives the fileId of `other` another sha256.
// REQUIRES: both are objects whose sourceId and fileId are strings.
std::string explainDigestPair(const Json& digest, const Json& other, size_t otherIndex,
                              bool sameFile);

// A short, quoted, escaped rendering of a JSON value for a sentence (long texts cut).
std::string quoteValue(const Json& value);

}  // namespace tw
