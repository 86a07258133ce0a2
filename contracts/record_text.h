// Compact JSON text of result records, written straight from the records.
//
// Each function appends exactly the bytes that appendCompactJson(toJsonValue(record)) would
// append (members in name order, the one escaping rule of json_writer.h) without building the
// JSON value first. For a result that checkResultRecord accepts, appendCanonicalResult gives the
// bytes of canonicalJsonText(toJsonValue(result)): its only numbers, rows and the revision, are
// then non-negative integers of at most 2^53-1, which both writers print the same way.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "contracts/source.h"

namespace tw {

void appendRecordJson(std::string& out, const Ref& ref);
void appendRecordJson(std::string& out, const Evidence& evidence);
void appendRecordJson(std::string& out, const Allocation& allocation);

// Appends the canonical text of `result` to `out`, calling `drain(out)` whenever `out` holds at
// least `drainBytes` bytes; `drain` consumes the text and clears `out`, so that a caller hashing
// the text as it comes never holds all of it. The last part is left in `out`.
void appendCanonicalResult(std::string& out, const ReconciliationResult& result, size_t drainBytes,
                           const std::function<void(std::string&)>& drain);

}  // namespace tw
