#include "contracts/contract_detail.h"

#include <string>

#include "contracts/formats.h"
#include "contracts/json_reader.h"
#include "contracts/json_writer.h"

namespace tw {
namespace {

constexpr size_t kQuotedBytes = 60;

std::string typeName(const Json& value) {
  if (value.isNull()) return "null";
  if (value.isBool()) return "a boolean";
  if (value.isNumber()) return "the number " + toCompactJson(value);
  if (value.isString()) return "a string";
  if (value.isArray()) return "an array";
  return "an object";
}

bool isUpperOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string byteText(std::string_view text, size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "byte " + std::to_string(i + 1) + " (";
  if (byte >= 0x20 && byte < 0x7f) {
    out += '\'';
    out += static_cast<char>(byte);
    out += "', ";
  }
  out += "0x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
  out += ')';
  return out;
}

std::string explainIdentifier(std::string_view text) {
  if (text.empty()) return "is empty; an identifier has 1 to 128 bytes";
  if (text.size() > kMaxIdentifierBytes) {
    return "is " + std::to_string(text.size()) + " bytes long; an identifier has at most 128";
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (i == 0 && !alnum)
      return "must begin with an ASCII letter or digit, not " + byteText(text, 0);
    if (!alnum && c != '-' && c != '.' && c != ':' && c != '_') {
      return "has " + byteText(text, i) +
             ", which an identifier may not hold (letters, digits, '-', '.', ':' and '_' only)";
    }
  }
  return "is a reserved word (\"__proto__\", \"prototype\" and \"constructor\" are refused)";
}

std::string explainFreeText(std::string_view text, size_t limit) {
  if (text.empty()) return "is empty; write null for no text";
  if (text.size() > limit) {
    return "is " + std::to_string(text.size()) + " bytes long; at most " + std::to_string(limit) +
           " are allowed";
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      return "has the control character " + byteText(text, i) +
             "; tabs, line feeds and other control characters are refused";
    }
  }
  if (!isValidUtf8(text)) return "is not valid UTF-8";
  return "is not free text";
}

std::string explainRoot(std::string_view text) {
  if (text.size() != 8) {
    return "is " + std::to_string(text.size()) +
           " bytes long; a company root is exactly 8 upper-case letters or digits";
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (!isUpperOrDigit(text[i]))
      return "has " + byteText(text, i) + "; only A-Z and 0-9 are allowed";
  }
  return "is not a company root";
}

std::string explainEstablishment(std::string_view text) {
  if (text.size() != 14) {
    return "is " + std::to_string(text.size()) +
           " bytes long; an establishment code is exactly 14 (12 letters or digits, 2 check "
           "digits)";
  }
  for (size_t i = 0; i < 12; ++i) {
    if (!isUpperOrDigit(text[i])) {
      return "has " + byteText(text, i) + "; bytes 1 to 12 must be A-Z or 0-9";
    }
  }
  for (size_t i = 12; i < 14; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return "has " + byteText(text, i) + "; bytes 13 and 14 are check digits";
    }
  }
  const std::string expected = establishmentWithCheckDigits(text.substr(0, 12));
  if (expected[12] != text[12]) {
    return std::string("has a wrong first check digit: byte 13 should be ") + expected[12] +
           ", not " + text[12] + " (the code would be " + expected + ")";
  }
  if (expected[13] != text[13]) {
    return std::string("has a wrong second check digit: byte 14 should be ") + expected[13] +
           ", not " + text[13] + " (the code would be " + expected + ")";
  }
  return "is not an establishment code";
}

// `text` against 64 lower-case hexadecimal digits, after `prefix` bytes already judged.
std::string explainHex(std::string_view text, size_t prefix) {
  constexpr size_t kHexDigits = 64;
  if (text.size() != prefix + kHexDigits) {
    return "has " + std::to_string(text.size() - prefix) +
           " bytes after \"sha256:\"; a sha256 is exactly 64 lower-case hexadecimal digits";
  }
  for (size_t i = prefix; i < text.size(); ++i) {
    const char c = text[i];
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) {
      return "has " + byteText(text, i) + "; a sha256 is 64 of 0-9 and a-f (lower case)";
    }
  }
  return "is not a sha256";
}

std::string explainSha256(std::string_view text) {
  if (text.size() != 64) {
    return "is " + std::to_string(text.size()) +
           " bytes long; a sha256 is exactly 64 lower-case hexadecimal digits";
  }
  return explainHex(text, 0);
}

std::string explainVersionDigest(std::string_view text) {
  constexpr std::string_view kPrefix = "sha256:";
  if (text.substr(0, kPrefix.size()) != kPrefix) {
    return "must begin with \"sha256:\" and go on with 64 lower-case hexadecimal digits";
  }
  return explainHex(text, kPrefix.size());
}

std::string explainString(ValueFormat format, std::string_view text, ContractError code,
                          size_t limit) {
  switch (format) {
    case ValueFormat::Identifier:
      return explainIdentifier(text);
    case ValueFormat::Amount:
      if (code == ContractError::OutOfRange) return "lies outside the signed 128-bit range";
      return "is not whole cents in canonical form (an optional '-', digits, no leading zero, "
             "no '+', '.', exponent or spaces, and not -0)";
    case ValueFormat::Date:
      return "is not a calendar date written YYYY-MM-DD (year 0001 to 9999)";
    case ValueFormat::FreeText:
      return explainFreeText(text, limit);
    case ValueFormat::CompanyRoot:
      return explainRoot(text);
    case ValueFormat::Establishment:
      return explainEstablishment(text);
    case ValueFormat::SourceRole:
      return "must be \"erp\", \"sales\", \"settlement\" or \"bank\" (lower case)";
    case ValueFormat::ComponentKind:
      return "must be \"fee\" or \"reversal\"";
    case ValueFormat::Sha256:
      return explainSha256(text);
    case ValueFormat::VersionDigest:
      return explainVersionDigest(text);
    case ValueFormat::EngineVersion:
      return "must be 1 to 64 bytes: a letter or digit, then letters, digits, '+', '-', '.', "
             "':' or '_'";
    default:
      return "is not accepted here";
  }
}

}  // namespace

std::string quoteValue(const Json& value) {
  std::string text = toCompactJson(value);
  if (text.size() > kQuotedBytes) {
    // Cut at the start of a character, so that the sentence stays valid UTF-8.
    size_t cut = kQuotedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "...";
  }
  return text;
}

std::string explainDigestPair(const Json& digest, const Json& other, size_t otherIndex,
                              bool sameFile) {
  const auto pair = [](const Json& d) {
    const JsonObject& o = d.asObject();
    std::string text = "(";
    text += quoteValue(o.at("sourceId"));
    text += ", ";
    text += quoteValue(o.at("fileId"));
    text += ')';
    return text;
  };
  const std::string where = "inputDigests[" + std::to_string(otherIndex) + "]";
  if (sameFile) {
    return "gives fileId " + quoteValue(digest.asObject().at("fileId")) + " another sha256 than " +
           where + " does; one file has one sha256";
  }
  const std::string order = "; digests ascend by (sourceId, fileId), each pair once";
  if (pair(digest) == pair(other)) return pair(digest) + " repeats " + where + order;
  return pair(digest) + " sorts before " + where + " " + pair(other) + ", which it follows" + order;
}

std::string explainValue(ValueFormat format, const Json* value, ContractError code, size_t limit) {
  if (value == nullptr) return "is missing";
  const std::string shown = quoteValue(*value);
  switch (format) {
    case ValueFormat::Record:
      return value->isObject() ? "is not accepted here"
                               : "must be a JSON object, not " + typeName(*value);
    case ValueFormat::RootPrefix:
      return shown + " does not begin with the entry's root";
    case ValueFormat::List:
      if (!value->isArray()) return "must be an array, not " + typeName(*value);
      if (value->asArray().empty()) return "is empty; at least one element is required";
      return "holds " + std::to_string(value->asArray().size()) + " elements; at most " +
             std::to_string(limit) + " are allowed";
    case ValueFormat::Row:
      if (code == ContractError::OutOfRange) return shown + " is above 4294967295";
      return value->isNumber() ? shown + " is not a whole number of at least 0"
                               : "must be a number, not " + typeName(*value);
    case ValueFormat::Version:
      if (code == ContractError::OutOfRange) return shown + " is above 2^53-1";
      return value->isNumber() ? shown + " is not 1"
                               : "must be the number 1, not " + typeName(*value);
    case ValueFormat::Window:
      if (code == ContractError::OutsideWindow && value->isObject()) {
        const JsonObject& window = value->asObject();
        return "starts on " + quoteValue(window.at("from")) + ", after it ends on " +
               quoteValue(window.at("to"));
      }
      return value->isObject() ? "must hold \"from\" and \"to\" as dates"
                               : "must be null or an object, not " + typeName(*value);
    default:
      break;
  }
  if (format == ValueFormat::FreeText && value->isNull()) return "is null";
  if (!value->isString()) {
    return format == ValueFormat::Amount
               ? "must be a string of cents such as \"1050\", not " + typeName(*value)
               : "must be a string, not " + typeName(*value);
  }
  return shown + " " + explainString(format, value->asString(), code, limit);
}

}  // namespace tw
