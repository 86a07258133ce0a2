// Contract decoders: the bytes are read as JSON and offered to each decoder. A refusal is exactly
// one code of the contract space; an accepted record survives toJsonValue and decoding again
// unchanged, and its JSON form is a fixed point. Given a detail record, the decoders decide the
// same. An accepted result can always be committed.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contracts/commitment.h"
#include "contracts/decode.h"
#include "contracts/json_reader.h"

namespace {

void expectCode(tw::ContractError code) {
  switch (code) {
    case tw::ContractError::InvalidAmount:
    case tw::ContractError::InvalidDate:
    case tw::ContractError::OutsideWindow:
    case tw::ContractError::OutOfRange:
    case tw::ContractError::InvalidContract:
    case tw::ContractError::UnknownField:
      return;
  }
  std::abort();
}

template <class Record, class Decode>
void roundTrip(const tw::Json& value, Decode decode) {
  auto first = decode(value);
  if (!first.ok()) {
    expectCode(first.error());
    return;
  }
  const tw::Json encoded = tw::toJsonValue(first.value());
  auto second = decode(encoded);
  if (!second.ok() || !(second.value() == first.value())) std::abort();
  if (!(tw::toJsonValue(second.value()) == encoded)) std::abort();
}

// The decoder given a detail record decides exactly as the one without, and a refusal's detail
// carries the same code and a sentence of valid UTF-8.
template <class Decode, class DecodeWithDetail>
void sameWithDetail(const tw::Json& value, Decode decode, DecodeWithDetail decodeWithDetail) {
  auto plain = decode(value);
  tw::ContractDetail detail;
  auto detailed = decodeWithDetail(value, &detail);
  if (plain.ok() != detailed.ok()) std::abort();
  if (plain.ok()) return;
  if (plain.error() != detailed.error() || detail.code != plain.error()) std::abort();
  if (detail.what.empty() || !tw::isValidUtf8(detail.what)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto read = tw::readJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!read.ok()) return 0;
  const tw::Json& value = read.value();
  roundTrip<tw::Entry>(value, [](tw::Json v) { return tw::decodeEntry(std::move(v)); });
  roundTrip<tw::RunManifest>(value, [](tw::Json v) { return tw::decodeRunManifest(std::move(v)); });
  roundTrip<tw::ReconciliationResult>(
      value, [](tw::Json v) { return tw::decodeReconciliationResult(std::move(v)); });
  sameWithDetail(
      value, [](tw::Json v) { return tw::decodeEntry(std::move(v)); },
      [](tw::Json v, tw::ContractDetail* d) { return tw::decodeEntry(std::move(v), d); });
  sameWithDetail(
      value, [](tw::Json v) { return tw::decodeRunManifest(std::move(v)); },
      [](tw::Json v, tw::ContractDetail* d) { return tw::decodeRunManifest(std::move(v), d); });
  auto result = tw::decodeReconciliationResult(value);
  if (result.ok()) {
    auto commitment = tw::commitResult(result.value());
    if (!commitment.ok() || commitment.value().size() != 64) std::abort();
  }
  // Canonical text never fails on a value without numbers outside 0..2^53-1, and is itself
  // strict JSON.
  auto canonical = tw::canonicalJsonText(value);
  if (canonical.ok() && !tw::readJson(canonical.value()).ok()) std::abort();
  return 0;
}
