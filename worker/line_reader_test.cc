#include "worker/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tw {
namespace {

using Kind = InputMessage::Kind;

// Reads `input` to the reader's end and lists what it delivered; the last element is the end.
std::vector<InputMessage> readAll(const std::string& input) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  const int fd = fileno(file);
  EXPECT_EQ(::write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  LineReader reader(fd);
  std::vector<InputMessage> messages;
  do {
    messages.push_back(reader.next());
  } while (messages.back().kind == Kind::Line);
  // The end is answered again, never a line.
  EXPECT_EQ(reader.next().kind, messages.back().kind);
  std::fclose(file);
  return messages;
}

std::string lineOf(size_t size) {
  return std::string(size - 1, 'x') + "\n";
}

TEST(LineReader, DeliversLinesWithTheirEndingsThenTheEnd) {
  const std::string big = lineOf(kMaxLineBytes);  // spans several 8192-byte reads
  auto messages = readAll("{}\n\r\n\n" + big + "a\r\n");
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[0].line, "{}\n");
  EXPECT_EQ(messages[1].line, "\r\n");
  EXPECT_EQ(messages[2].line, "\n");
  EXPECT_EQ(messages[3].line, big);
  EXPECT_EQ(messages[4].line, "a\r\n");
  EXPECT_EQ(messages[5].kind, Kind::EndOfInput);
}

TEST(LineReader, EndsWithAReadFailure) {
  struct Case {
    const char* name;
    std::string input;
    size_t linesBefore;
  };
  const Case cases[] = {
      {"LineOf65537Bytes", "{}\n" + lineOf(kMaxLineBytes + 1) + "{}\n", 1},
      {"OverlongWithoutLineFeed", std::string(kMaxLineBytes, 'x'), 0},
      {"PartialLastLine", "{}\n{\"kind\":\"execute\"}", 1},
      {"OnlyACarriageReturn", "\r", 0},
  };
  for (const Case& c : cases) {
    auto messages = readAll(c.input);
    ASSERT_EQ(messages.size(), c.linesBefore + 1) << c.name;
    EXPECT_EQ(messages.back().kind, Kind::ReadFailure) << c.name;
    EXPECT_TRUE(messages.back().line.empty()) << c.name;
  }
}

TEST(LineReader, EmptyInputIsTheEnd) {
  auto messages = readAll("");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, Kind::EndOfInput);
}

TEST(LineReader, AnUnreadableDescriptorIsAReadFailure) {
  LineReader reader(-1);
  EXPECT_EQ(reader.next().kind, Kind::ReadFailure);
}

}  // namespace
}  // namespace tw
