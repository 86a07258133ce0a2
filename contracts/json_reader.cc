#include "contracts/json_reader.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace tw {

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  while (p < end) {
    // Texts are mostly ASCII: eight bytes at a time while none has its high bit set.
    uint64_t word = 0;
    while (end - p >= 8 && (std::memcpy(&word, p, 8), (word & kHighBits) == 0)) p += 8;
    if (p == end) break;
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    size_t extra;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code = lead & 0x07u;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3Fu);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000)) return false;  // overlong
    if (code >= 0xD800 && code <= 0xDFFF) return false;                                // surrogate
    if (code > 0x10FFFF) return false;
    p += extra + 1;
  }
  return true;
}

Result<Json, JsonReadError> readJsonNumber(std::string_view literal) {
  assert(!literal.empty());
  const bool integerLiteral = literal.find_first_of(".eE") == std::string_view::npos;
  if (integerLiteral) {
    if (literal[0] != '-') {
      uint64_t u = 0;
      auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), u);
      if (ec == std::errc() && end == literal.data() + literal.size()) return Json(u);
    } else if (literal != "-0") {
      int64_t i = 0;
      auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), i);
      if (ec == std::errc() && end == literal.data() + literal.size()) return Json(i);
    }
  }
  // strtod needs a terminated copy; it reads the C locale's decimal point, and the process
  // never changes its locale.
  std::string copy(literal);
  const double d = std::strtod(copy.c_str(), nullptr);
  if (!std::isfinite(d)) return fail(JsonReadError::NonFiniteNumber);
  return Json(d);  // underflow to zero or a subnormal is fine
}

namespace {

// Builds the Json tree from the reader's events and enforces the rules the event reader does not.
class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  bool Null() { return add(Json(nullptr)); }
  bool Bool(bool b) { return add(Json(b)); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    auto number = readJsonNumber(std::string_view(text, length));
    if (!number) return fault(number.error());
    return add(std::move(number).value());
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    std::string_view view(text, length);
    if (!isValidUtf8(view)) return fault(JsonReadError::InvalidText);
    return add(Json(std::string(view)));
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    std::string_view view(text, length);
    if (!isValidUtf8(view)) return fault(JsonReadError::InvalidText);
    stack_.back().pendingKey.assign(view);
    return true;
  }
  bool StartObject() { return open(true); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(false); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  std::optional<JsonReadError> fault() const { return fault_; }
  Json takeRoot() { return std::move(root_); }

 private:
  struct Open {
    bool isObject;
    JsonObject object;
    JsonArray array;
    std::string pendingKey;
  };

  bool fault(JsonReadError code) {
    fault_ = code;
    return false;
  }

  bool open(bool isObject) {
    if (stack_.size() >= kMaxJsonDepth) return fault(JsonReadError::TooDeep);
    stack_.push_back(Open{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Open top = std::move(stack_.back());
    stack_.pop_back();
    return add(top.isObject ? Json(std::move(top.object)) : Json(std::move(top.array)));
  }

  bool add(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Open& top = stack_.back();
    if (!top.isObject) {
      top.array.push_back(std::move(value));
      return true;
    }
    auto [it, inserted] = top.object.try_emplace(std::move(top.pendingKey), std::move(value));
    if (!inserted) return fault(JsonReadError::DuplicateMember);
    return true;
  }

  std::vector<Open> stack_;
  Json root_;
  std::optional<JsonReadError> fault_;
};

}  // namespace

Result<Json, JsonReadError> readJson(std::string_view text) {
  // The reader's streams take a NUL byte for the end of input, so a NUL followed by garbage would
  // pass. A raw NUL is never valid anywhere in a JSON text.
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) return fail(JsonReadError::Syntax);
  rapidjson::MemoryStream stream(text.data(), text.size());
  TreeBuilder builder;
  rapidjson::Reader reader;
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                              rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, builder);
  if (parsed.IsError()) return fail(builder.fault().value_or(JsonReadError::Syntax));
  return builder.takeRoot();
}

}  // namespace tw
