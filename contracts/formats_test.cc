#include "contracts/formats.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "contracts/test_records.h"

namespace tw {
namespace {

TEST(Identifier, AcceptsAndRefuses) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"a", true},
      {"a-b.c:d_e", true},
      {"0abc", true},
      {std::string(128, 'x'), true},
      {std::string(129, 'x'), false},
      {"", false},
      {"-a", false},
      {"_a", false},
      {".a", false},
      {"a b", false},
      {"a/b", false},
      {"caf\xc3\xa9", false},
      {"__proto__", false},
      {"prototype", false},
      {"constructor", false},
      {"Constructor", true},  // forbidden words are compared byte for byte
      {"prototypes", true},
  };
  for (const Case& c : cases) EXPECT_EQ(isIdentifier(c.text), c.valid) << c.text;
}

TEST(Amount, ParsesCanonicalTexts) {
  const __int128 max = std::numeric_limits<__int128>::max();
  const __int128 min = std::numeric_limits<__int128>::min();
  struct Case {
    std::string text;
    __int128 value;
  };
  const Case cases[] = {
      {"0", 0},
      {"-1", -1},
      {"1500", 1500},
      {"170141183460469231731687303715884105727", max},
      {"-170141183460469231731687303715884105728", min},
  };
  for (const Case& c : cases) {
    auto parsed = parseAmount(c.text);
    ASSERT_TRUE(parsed.ok()) << c.text;
    EXPECT_TRUE(parsed.value() == c.value) << c.text;
    EXPECT_EQ(formatAmount(c.value), c.text);
  }
}

TEST(Amount, RefusesMalformedAndOutOfRangeTexts) {
  struct Case {
    std::string text;
    ContractError code;
  };
  const Case cases[] = {
      {"", ContractError::InvalidAmount},
      {"-", ContractError::InvalidAmount},
      {"00", ContractError::InvalidAmount},
      {"01", ContractError::InvalidAmount},
      {"-0", ContractError::InvalidAmount},
      {"-01", ContractError::InvalidAmount},
      {"+1", ContractError::InvalidAmount},
      {"1.0", ContractError::InvalidAmount},
      {"1e3", ContractError::InvalidAmount},
      {" 1", ContractError::InvalidAmount},
      {"1 ", ContractError::InvalidAmount},
      {"--1", ContractError::InvalidAmount},
      {"170141183460469231731687303715884105728", ContractError::OutOfRange},
      {"-170141183460469231731687303715884105729", ContractError::OutOfRange},
      {std::string(60, '9'), ContractError::OutOfRange},
      // A malformed text is malformed however long it is.
      {std::string(60, '9') + "x", ContractError::InvalidAmount},
  };
  for (const Case& c : cases) {
    auto parsed = parseAmount(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.error(), c.code) << c.text;
  }
}

TEST(Date, FollowsTheProlepticGregorianCalendar) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"2024-02-29", true},   {"2023-02-29", false}, {"2100-02-29", false}, {"2000-02-29", true},
      {"0000-01-01", false},  {"0001-01-01", true},  {"9999-12-31", true},  {"2024-1-05", false},
      {"2024-01-5", false},   {"2024-00-10", false}, {"2024-13-01", false}, {"2024-04-31", false},
      {"2024-04-30", true},   {"2024-01-00", false}, {"2024-01-32", false}, {"2024/01/01", false},
      {"2024-01-01 ", false}, {"20a4-01-01", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isDate(c.text), c.valid) << c.text;
}

TEST(FreeText, RefusesControlBytesAndLength) {
  EXPECT_TRUE(isFreeText("caf\xc3\xa9 ok", 512));
  EXPECT_TRUE(isFreeText(std::string(512, 'r'), 512));
  EXPECT_FALSE(isFreeText(std::string(513, 'r'), 512));
  EXPECT_FALSE(isFreeText("", 512));
  EXPECT_FALSE(isFreeText("a\tb", 512));
  EXPECT_FALSE(isFreeText("a\nb", 512));
  EXPECT_FALSE(isFreeText("a\x7f", 512));
  EXPECT_FALSE(isFreeText("caf\xc3", 512));       // cut multi-byte sequence
  EXPECT_FALSE(isFreeText("\xed\xa0\x80", 512));  // surrogate
}

TEST(EstablishmentCode, ChecksBothDigitsWithLettersCountingFromFortyEight) {
  // Numeric codes with well-known check digits, and alphanumeric ones whose letters count their
  // ASCII code minus 48 (A is 17).
  EXPECT_TRUE(isEstablishmentCode("11222333000181"));
  EXPECT_TRUE(isEstablishmentCode("12ABC34501DE35"));
  EXPECT_FALSE(isEstablishmentCode("11222333000182"));  // second digit wrong
  EXPECT_FALSE(isEstablishmentCode("11222333000191"));  // first digit wrong
  EXPECT_FALSE(isEstablishmentCode("12ABC34501DE3A"));  // check bytes must be digits
  EXPECT_FALSE(isEstablishmentCode("12abc34501de35"));  // lower case is refused
  EXPECT_FALSE(isEstablishmentCode("1122233300018"));
  EXPECT_EQ(establishmentWithCheckDigits("12ABC34501DE"), "12ABC34501DE35");
  EXPECT_EQ(establishmentWithCheckDigits("112223330001"), "11222333000181");
  // The test helper and the library agree on every root.
  for (std::string_view root : {"ABCDEFGH", "00000000", "ZZZZZZZZ", "A1B2C3D4"}) {
    const std::string code = testing::validEstablishment(root, "0A9Z");
    EXPECT_TRUE(isEstablishmentCode(code)) << code;
    EXPECT_EQ(code, establishmentWithCheckDigits(code.substr(0, 12)));
  }
}

TEST(CompanyRootAndDigests, ExactForms) {
  EXPECT_TRUE(isCompanyRoot("AB12CD34"));
  EXPECT_FALSE(isCompanyRoot("ab12cd34"));
  EXPECT_FALSE(isCompanyRoot("AB12CD3"));
  EXPECT_TRUE(isLowerHexSha256(std::string(64, 'f')));
  EXPECT_FALSE(isLowerHexSha256(std::string(63, 'f') + "F"));
  EXPECT_FALSE(isLowerHexSha256(std::string(65, 'f')));
  EXPECT_TRUE(isVersionDigest("sha256:" + std::string(64, '0')));
  EXPECT_FALSE(isVersionDigest("sha512:" + std::string(64, '0')));
  EXPECT_TRUE(isEngineVersion("1.2.3+build:4_x-y"));
  EXPECT_FALSE(isEngineVersion("1.2 3"));
  EXPECT_FALSE(isEngineVersion("+1"));
  EXPECT_TRUE(isEngineVersion(std::string(64, 'v')));
  EXPECT_FALSE(isEngineVersion(std::string(65, 'v')));
}

TEST(SafeInteger, FormsAndBounds) {
  struct Case {
    Json value;
    bool ok;
    uint64_t result;
    ContractError code;
  };
  const Case cases[] = {
      {Json(uint64_t{0}), true, 0, {}},
      {Json(uint64_t{9007199254740991ULL}), true, 9007199254740991ULL, {}},
      {Json(uint64_t{9007199254740992ULL}), false, 0, ContractError::OutOfRange},
      {Json(7.0), true, 7, {}},
      {Json(-0.0), true, 0, {}},
      {Json(9007199254740992.0), false, 0, ContractError::OutOfRange},
      {Json(1.5), false, 0, ContractError::InvalidContract},
      {Json(-1.0), false, 0, ContractError::InvalidContract},
      {Json(int64_t{-1}), false, 0, ContractError::InvalidContract},
      {Json(std::numeric_limits<double>::infinity()), false, 0, ContractError::InvalidContract},
      {Json(std::numeric_limits<double>::quiet_NaN()), false, 0, ContractError::InvalidContract},
      {Json("1"), false, 0, ContractError::InvalidContract},
      {Json(nullptr), false, 0, ContractError::InvalidContract},
  };
  for (const Case& c : cases) {
    auto value = safeIntegerValue(c.value);
    ASSERT_EQ(value.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(value.value(), c.result);
    } else {
      EXPECT_EQ(value.error(), c.code);
    }
  }
}

}  // namespace
}  // namespace tw
