#include "contracts/formats.h"

#include <array>
#include <cmath>

#include "contracts/decode.h"       // kMaxSafeInteger
#include "contracts/json_reader.h"  // isValidUtf8

namespace tw {

namespace {

constexpr bool isAsciiLetter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool isAsciiDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool isUpperOrDigit(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || isAsciiDigit(c);
}
bool isLowerHex(unsigned char c) {
  return isAsciiDigit(c) || (c >= 'a' && c <= 'f');
}

// Bytes an identifier may hold after its first: letters, digits, '-', '.', ':' and '_'. A table,
// because every identifier of every entry goes through it.
constexpr std::array<bool, 256> kIdentifierBytes = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    table[byte] = isAsciiLetter(byte) || isAsciiDigit(byte) || byte == '-' || byte == '.' ||
                  byte == ':' || byte == '_';
  }
  return table;
}();

// Identifiers that would name special members of objects in some host languages.
constexpr std::array<std::string_view, 3> kForbiddenIdentifiers = {"__proto__", "prototype",
                                                                   "constructor"};

constexpr std::array<int, 12> kFirstCheckWeights = {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
constexpr std::array<int, 13> kSecondCheckWeights = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
constexpr size_t kEstablishmentBytes = 14;
constexpr size_t kEstablishmentBodyBytes = 12;
constexpr size_t kDateBytes = 10;
constexpr size_t kSha256HexBytes = 64;
constexpr std::string_view kVersionDigestPrefix = "sha256:";
constexpr size_t kMaxEngineVersionBytes = 64;

// Modulus-11 check digit over the leading bytes of `text`, each counting its ASCII code minus 48.
template <size_t N>
int checkDigit(std::string_view text, const std::array<int, N>& weights) {
  int sum = 0;
  for (size_t i = 0; i < N; ++i) {
    sum += (static_cast<unsigned char>(text[i]) - 48) * weights[i];
  }
  const int remainder = sum % 11;
  return remainder < 2 ? 0 : 11 - remainder;
}

int digitsValue(std::string_view text) {
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

bool isLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
  switch (month) {
    case 2:
      return isLeapYear(year) ? 29 : 28;
    case 4:
    case 6:
    case 9:
    case 11:
      return 30;
    default:
      return 31;
  }
}

}  // namespace

bool isIdentifier(std::string_view text) {
  if (text.empty() || text.size() > kMaxIdentifierBytes) return false;
  const auto first = static_cast<unsigned char>(text[0]);
  if (!isAsciiLetter(first) && !isAsciiDigit(first)) return false;
  for (size_t i = 1; i < text.size(); ++i) {
    if (!kIdentifierBytes[static_cast<unsigned char>(text[i])]) return false;
  }
  for (std::string_view forbidden : kForbiddenIdentifiers) {
    if (text == forbidden) return false;
  }
  return true;
}

Result<__int128, ContractError> parseAmount(std::string_view text) {
  if (text.empty()) return fail(ContractError::InvalidAmount);
  const bool negative = text[0] == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty()) return fail(ContractError::InvalidAmount);
  for (char c : digits) {
    if (!isAsciiDigit(static_cast<unsigned char>(c))) return fail(ContractError::InvalidAmount);
  }
  if (digits.size() > 1 && digits[0] == '0') return fail(ContractError::InvalidAmount);
  if (negative && digits == "0") return fail(ContractError::InvalidAmount);
  // Negative values accumulate downward so that -2^127 is reachable.
  __int128 value = 0;
  for (char c : digits) {
    const int digit = c - '0';
    if (__builtin_mul_overflow(value, 10, &value)) return fail(ContractError::OutOfRange);
    const bool overflow = negative ? __builtin_sub_overflow(value, digit, &value)
                                   : __builtin_add_overflow(value, digit, &value);
    if (overflow) return fail(ContractError::OutOfRange);
  }
  return value;
}

std::string formatAmount(__int128 value) {
  // Digits are produced from the value itself (remainders are <= 0 for a negative value), so
  // -2^127 needs no negation.
  char buffer[48];
  size_t pos = sizeof buffer;
  const bool negative = value < 0;
  do {
    const int remainder = static_cast<int>(value % 10);
    buffer[--pos] = static_cast<char>('0' + (negative ? -remainder : remainder));
    value /= 10;
  } while (value != 0);
  if (negative) buffer[--pos] = '-';
  return std::string(buffer + pos, sizeof buffer - pos);
}

bool isDate(std::string_view text) {
  if (text.size() != kDateBytes || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!isAsciiDigit(static_cast<unsigned char>(text[i]))) return false;
  }
  const int year = digitsValue(text.substr(0, 4));
  const int month = digitsValue(text.substr(5, 2));
  const int day = digitsValue(text.substr(8, 2));
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  return day <= daysInMonth(year, month);
}

bool isFreeText(std::string_view text, size_t maxBytes) {
  if (text.empty() || text.size() > maxBytes) return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  // Texts from the reader are always valid UTF-8; records built in memory must be too, or the
  // JSON written from them would not be JSON.
  return isValidUtf8(text);
}

bool isCompanyRoot(std::string_view text) {
  if (text.size() != kCompanyRootBytes) return false;
  for (char c : text) {
    if (!isUpperOrDigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool isEstablishmentCode(std::string_view text) {
  if (text.size() != kEstablishmentBytes) return false;
  for (size_t i = 0; i < kEstablishmentBodyBytes; ++i) {
    if (!isUpperOrDigit(static_cast<unsigned char>(text[i]))) return false;
  }
  if (!isAsciiDigit(static_cast<unsigned char>(text[12])) ||
      !isAsciiDigit(static_cast<unsigned char>(text[13]))) {
    return false;
  }
  return checkDigit(text, kFirstCheckWeights) == text[12] - '0' &&
         checkDigit(text, kSecondCheckWeights) == text[13] - '0';
}

std::string establishmentWithCheckDigits(std::string_view first12) {
  std::string code(first12.substr(0, kEstablishmentBodyBytes));
  code.resize(kEstablishmentBodyBytes, '0');
  code.push_back(static_cast<char>('0' + checkDigit(code, kFirstCheckWeights)));
  code.push_back(static_cast<char>('0' + checkDigit(code, kSecondCheckWeights)));
  return code;
}

bool isLowerHexSha256(std::string_view text) {
  if (text.size() != kSha256HexBytes) return false;
  for (char c : text) {
    if (!isLowerHex(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool isVersionDigest(std::string_view text) {
  return text.size() == kVersionDigestPrefix.size() + kSha256HexBytes &&
         text.substr(0, kVersionDigestPrefix.size()) == kVersionDigestPrefix &&
         isLowerHexSha256(text.substr(kVersionDigestPrefix.size()));
}

bool isEngineVersion(std::string_view text) {
  if (text.empty() || text.size() > kMaxEngineVersionBytes) return false;
  const auto first = static_cast<unsigned char>(text[0]);
  if (!isAsciiLetter(first) && !isAsciiDigit(first)) return false;
  for (size_t i = 1; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.' && c != ':' &&
        c != '_') {
      return false;
    }
  }
  return true;
}

Result<uint64_t, ContractError> safeIntegerValue(const Json& value) {
  switch (value.type()) {
    case Json::Type::Unsigned:
      if (value.asUnsigned() > kMaxSafeInteger) return fail(ContractError::OutOfRange);
      return value.asUnsigned();
    case Json::Type::Signed:  // the reader holds only negative integers as signed
      if (value.asSigned() < 0) return fail(ContractError::InvalidContract);
      return static_cast<uint64_t>(value.asSigned());
    case Json::Type::Float: {
      const double x = value.asFloat();
      // NaN fails every comparison, so it is refused by the integral test; infinities are
      // refused explicitly as "not a number" rather than as a large one.
      if (std::isinf(x)) return fail(ContractError::InvalidContract);
      if (x < 0.0) return fail(ContractError::InvalidContract);
      if (!(std::trunc(x) == x)) return fail(ContractError::InvalidContract);
      if (x > static_cast<double>(kMaxSafeInteger)) return fail(ContractError::OutOfRange);
      return static_cast<uint64_t>(x);  // -0.0 converts to 0
    }
    default:
      return fail(ContractError::InvalidContract);
  }
}

}  // namespace tw
