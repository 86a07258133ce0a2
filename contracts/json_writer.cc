#include "contracts/json_writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tw {

namespace {

// Bytes written as an escape: the quote, the backslash and the control characters.
constexpr std::array<bool, 256> kEscapedBytes = [] {
  std::array<bool, 256> table{};
  for (size_t byte = 0; byte < 0x20; ++byte) table[byte] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t plain = plainJsonTextLength(text);
  if (plain == text.size()) {  // nearly every text: nothing to escape
    const size_t at = out.size();
    out.resize(at + text.size() + 2);
    char* const quoted = out.data() + at;
    quoted[0] = '"';
    std::memcpy(quoted + 1, text.data(), text.size());
    quoted[text.size() + 1] = '"';
    return;
  }
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  size_t runStart = 0;
  for (size_t i = plain; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!kEscapedBytes[byte]) continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    switch (byte) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case 0x08:
        out.append("\\b");
        break;
      case 0x09:
        out.append("\\t");
        break;
      case 0x0A:
        out.append("\\n");
        break;
      case 0x0C:
        out.append("\\f");
        break;
      case 0x0D:
        out.append("\\r");
        break;
      default:
        out.append("\\u00");
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
  out.push_back('"');
}

void appendUnsigned(std::string& out, uint64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

namespace {

void appendSigned(std::string& out, int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

constexpr double kLargestExactInteger = 9007199254740991.0;  // 2^53 - 1

void appendFloat(std::string& out, double value, FloatStyle style) {
  if (style == FloatStyle::AsInteger && value >= 0.0 && value <= kLargestExactInteger &&
      std::trunc(value) == value) {
    appendUnsigned(out, static_cast<uint64_t>(value));  // -0.0 compares equal to 0.0: "0"
    return;
  }
  if (!std::isfinite(value)) {  // never produced by the reader; written as null to stay JSON
    out.append("null");
    return;
  }
  char digits[40];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  std::string_view text(digits, static_cast<size_t>(end - digits));
  out.append(text);
  // Keep the float form visible so the text reads back as a float ("-0" would read as -0.0,
  // but "5" would read as an unsigned integer).
  if (text.find_first_of(".eE") == std::string_view::npos && text != "-0") out.append(".0");
}

}  // namespace

void appendCompactJson(std::string& out, const Json& value, FloatStyle floats) {
  switch (value.type()) {
    case Json::Type::Null:
      out.append("null");
      break;
    case Json::Type::Bool:
      out.append(value.asBool() ? "true" : "false");
      break;
    case Json::Type::Unsigned:
      appendUnsigned(out, value.asUnsigned());
      break;
    case Json::Type::Signed:
      appendSigned(out, value.asSigned());
      break;
    case Json::Type::Float:
      appendFloat(out, value.asFloat(), floats);
      break;
    case Json::Type::String:
      appendJsonString(out, value.asString());
      break;
    case Json::Type::Array: {
      out.push_back('[');
      bool first = true;
      for (const Json& element : value.asArray()) {
        if (!first) out.push_back(',');
        first = false;
        appendCompactJson(out, element, floats);
      }
      out.push_back(']');
      break;
    }
    case Json::Type::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [name, member] : value.asObject()) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonString(out, name);
        out.push_back(':');
        appendCompactJson(out, member, floats);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string toCompactJson(const Json& value) {
  std::string out;
  out.reserve(128);
  appendCompactJson(out, value);
  return out;
}

}  // namespace tw
