#include "worker/arithmetic.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

namespace tw {
namespace {

using E = ArithmeticError;

struct DecodeCase {
  const char* text;
  std::optional<ArithmeticRequest> expected;  // nothing: InvalidRequest
};

bool operator==(const ArithmeticRequest& a, const ArithmeticRequest& b) {
  return a.version == b.version && a.left == b.left && a.right == b.right && a.holdMs == b.holdMs;
}

TEST(ArithmeticDecode, RulesOfTheRequestRecord) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const std::vector<DecodeCase> cases = {
      {R"({"version":1,"command":"sum","left":2,"right":3})", ArithmeticRequest{1, 2, 3, 0}},
      {R"({"hold_ms":7,"right":-3,"left":2,"command":"sum","version":9})",
       ArithmeticRequest{9, 2, -3, 7}},
      {R"([255,"sum",-9223372036854775808,9223372036854775807,18446744073709551615])",
       ArithmeticRequest{255, kMin, kMax, std::numeric_limits<uint64_t>::max()}},
      {R"([0,{"sum":null},0,0])", ArithmeticRequest{0, 0, 0, 0}},
      // The version and the hold are judged after decoding, not here.
      {R"([2,"sum",1,1,5000])", ArithmeticRequest{2, 1, 1, 5000}},

      {R"([256,"sum",1,1])", std::nullopt},
      {R"([-1,"sum",1,1])", std::nullopt},
      {R"([1e0,"sum",1,1])", std::nullopt},
      {R"([null,"sum",1,1])", std::nullopt},
      {R"([true,"sum",1,1])", std::nullopt},
      // "-0" is read as a float, never as the integer 0.
      {R"([1,"sum",-0,1])", std::nullopt},
      {R"([1,"sum",1,-0])", std::nullopt},
      {R"([1,"sum",1,1,-0])", std::nullopt},
      {R"([1,"sum",0.5,1])", std::nullopt},
      {R"([1,"sum",1,-9223372036854775809])", std::nullopt},
      {R"([1,"sum",1,18446744073709551616])", std::nullopt},
      {R"([1,"sum",1,1,18446744073709551616])", std::nullopt},
      {R"([1,"sum",1,"1"])", std::nullopt},
      {R"([1,"sum",[1],1])", std::nullopt},
      {R"([1,"sum ",1,1])", std::nullopt},
      {R"([1,"Sum",1,1])", std::nullopt},
      {R"([1,"",1,1])", std::nullopt},
      {R"([1,null,1,1])", std::nullopt},
      {R"([1,["sum"],1,1])", std::nullopt},
      {R"([1,{"sum":0},1,1])", std::nullopt},
      {R"([1,{"sum":null,"x":null},1,1])", std::nullopt},
      {R"([1,{},1,1])", std::nullopt},
      {R"([1,{"SUM":null},1,1])", std::nullopt},
      {R"([1,"sum",1,1,null])", std::nullopt},
      {R"([])", std::nullopt},
      {R"([1,"sum",1])", std::nullopt},
      {R"([1,"sum",1,1,0,0])", std::nullopt},
      {R"([[1,"sum",1,1]])", std::nullopt},
      {R"({"version":1,"command":"sum","left":2,"right":3,"Hold_ms":0})", std::nullopt},
      {R"({"version":1,"command":"sum","left":2,"right":3,"holdMs":0})", std::nullopt},
      {R"({"version":1,"command":"sum","left":2})", std::nullopt},
      {R"({"command":"sum","left":2,"right":3})", std::nullopt},
      {R"({"version":1,"version":1,"command":"sum","left":2,"right":3})", std::nullopt},
      {R"({"version":1,"command":"sum","left":2,"right":3}})", std::nullopt},
      {R"("sum")", std::nullopt},
      {"null", std::nullopt},
      {"", std::nullopt},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    Result<ArithmeticRequest, ArithmeticError> decoded = decodeArithmeticRequest(c.text);
    if (c.expected) {
      ASSERT_TRUE(decoded.ok()) << arithmeticErrorText(decoded.error());
      EXPECT_TRUE(*decoded == *c.expected);
    } else {
      ASSERT_FALSE(decoded.ok());
      EXPECT_EQ(decoded.error(), E::InvalidRequest);
    }
  }
}

TEST(ArithmeticDecode, NulInsideTheTextIsRefused) {
  const std::string text("[1,\"sum\",1,1]\0", 14);
  EXPECT_FALSE(decodeArithmeticRequest(text).ok());
}

TEST(ArithmeticCheck, FirstFailingCheckDecides) {
  struct Case {
    std::string text;
    std::optional<E> code;
  };
  const std::vector<Case> cases = {
      {R"([1,"sum",1,1,1000])", std::nullopt},
      {std::string(R"([1,"sum",1,1])") + std::string(1024 - 13, ' '), std::nullopt},
      {std::string(R"([1,"sum",1,1])") + std::string(1025 - 13, ' '), E::RequestTooLarge},
      // Too large wins over invalid.
      {std::string(1025, 'x'), E::RequestTooLarge},
      // Invalid wins over an unsupported version.
      {R"([2,"add",1,1])", E::InvalidRequest},
      // An unsupported version wins over a bad hold.
      {R"([2,"sum",1,1,5000])", E::UnsupportedProtocol},
      {R"([0,"sum",1,1])", E::UnsupportedProtocol},
      {R"([1,"sum",1,1,1001])", E::InvalidHold},
      {R"([1,"sum",1,1,18446744073709551615])", E::InvalidHold},
      // The sum is not judged before the hold.
      {R"([1,"sum",9223372036854775807,1,1000])", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Result<ArithmeticRequest, ArithmeticError> checked = checkArithmeticRequest(c.text);
    if (c.code) {
      ASSERT_FALSE(checked.ok());
      EXPECT_EQ(arithmeticErrorText(checked.error()), arithmeticErrorText(*c.code));
    } else {
      EXPECT_TRUE(checked.ok()) << arithmeticErrorText(checked.error());
    }
  }
}

TEST(ArithmeticAnswer, ExactLineOrOverflow) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    int64_t left;
    int64_t right;
    const char* line;  // nullptr: overflow
  };
  const std::vector<Case> cases = {
      {2, 3, "{\"version\":1,\"ok\":true,\"value\":5}\n"},
      {0, 0, "{\"version\":1,\"ok\":true,\"value\":0}\n"},
      {-10, 3, "{\"version\":1,\"ok\":true,\"value\":-7}\n"},
      {kMin, 0, "{\"version\":1,\"ok\":true,\"value\":-9223372036854775808}\n"},
      {kMax, 0, "{\"version\":1,\"ok\":true,\"value\":9223372036854775807}\n"},
      {kMax, kMin, "{\"version\":1,\"ok\":true,\"value\":-1}\n"},
      {kMax, 1, nullptr},
      {kMin, -1, nullptr},
      {kMin, kMin, nullptr},
      {kMax, kMax, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.left) + " + " + std::to_string(c.right));
    Result<std::string, ArithmeticError> line =
        answerArithmeticRequest(ArithmeticRequest{1, c.left, c.right, 0});
    if (c.line) {
      ASSERT_TRUE(line.ok());
      EXPECT_EQ(line.value(), c.line);
    } else {
      ASSERT_FALSE(line.ok());
      EXPECT_EQ(line.error(), E::ArithmeticOverflow);
    }
  }
}

TEST(ArithmeticErrorText, EveryCodeHasItsText) {
  EXPECT_EQ(arithmeticErrorText(E::RequestReadFailed), "REQUEST_READ_FAILED");
  EXPECT_EQ(arithmeticErrorText(E::RequestTooLarge), "REQUEST_TOO_LARGE");
  EXPECT_EQ(arithmeticErrorText(E::InvalidRequest), "INVALID_REQUEST");
  EXPECT_EQ(arithmeticErrorText(E::UnsupportedProtocol), "UNSUPPORTED_PROTOCOL");
  EXPECT_EQ(arithmeticErrorText(E::InvalidHold), "INVALID_HOLD");
  EXPECT_EQ(arithmeticErrorText(E::ArithmeticOverflow), "ARITHMETIC_OVERFLOW");
  EXPECT_EQ(arithmeticErrorText(E::ResponseWriteFailed), "RESPONSE_WRITE_FAILED");
}

// The I/O shell over descriptors: the codes that only it can produce.
TEST(ArithmeticMode, ReadAndWriteFailuresHaveTheirCodes) {
  const int directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  Status<ArithmeticError> readFailed = runArithmeticMode(directory, out[1]);
  ASSERT_FALSE(readFailed.ok());
  EXPECT_EQ(readFailed.error(), E::RequestReadFailed);
  ::close(directory);

  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  const std::string_view request = R"([1,"sum",40,2])";
  ASSERT_EQ(::write(in[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ::close(in[1]);
  // Standard input as the output: reading end of a pipe, not writable.
  Status<ArithmeticError> writeFailed = runArithmeticMode(in[0], out[0]);
  ASSERT_FALSE(writeFailed.ok());
  EXPECT_EQ(writeFailed.error(), E::ResponseWriteFailed);
  ::close(in[0]);

  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::write(in[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ::close(in[1]);
  EXPECT_TRUE(runArithmeticMode(in[0], out[1]).ok());
  ::close(in[0]);
  ::close(out[1]);
  char answer[64] = {};
  const ssize_t got = ::read(out[0], answer, sizeof answer);
  ::close(out[0]);
  EXPECT_EQ(std::string(answer, got > 0 ? static_cast<size_t>(got) : 0),
            "{\"version\":1,\"ok\":true,\"value\":42}\n");
}

}  // namespace
}  // namespace tw
