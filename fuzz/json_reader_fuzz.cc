// Strict reader: an accepted text, written compactly and read again, gives an equal value, and
// the compact text is a fixed point of reading and writing. Refused texts must fail cleanly
// (AddressSanitizer checks that nothing past the span is read).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "contracts/json_reader.h"
#include "contracts/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so a read one byte past the span is caught.
  std::unique_ptr<char[]> copy(new char[size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  auto first = tw::readJson(std::string_view(copy.get(), size));
  if (!first.ok()) return 0;
  const std::string text = tw::toCompactJson(first.value());
  auto second = tw::readJson(text);
  if (!second.ok() || !(second.value() == first.value())) std::abort();
  if (tw::toCompactJson(second.value()) != text) std::abort();
  return 0;
}
