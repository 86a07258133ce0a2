#include "worker/responses.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "contracts/json_writer.h"
#include "worker/test_pages.h"

namespace tw {
namespace {

using testing::ResultPageBody;
using testing::ResultPageWriter;
using testing::writeResultPage;

// Captures what is written to one end of a pipe.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  int writeEnd() const { return fds_[1]; }
  void closeRead() { closeFd(fds_[0]); }
  void closeWrite() { closeFd(fds_[1]); }
  // Everything written until the write end is closed.
  std::string readToEnd() {
    std::string out;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(got));
    return out;
  }
  // Everything written so far; closes the write end.
  std::string drain() {
    closeWrite();
    return readToEnd();
  }

 private:
  static void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST(SessionCodes, TextsAreTheProtocolVocabulary) {
  const std::pair<SessionCode, std::string_view> expected[] = {
      {SessionCode::FenceBusy, "C5_FENCE_BUSY"},
      {SessionCode::ReadFailed, "C5_READ_FAILED"},
      {SessionCode::Incomplete, "C5_INCOMPLETE"},
      {SessionCode::Limit, "C5_LIMIT"},
      {SessionCode::InvalidFrame, "C5_INVALID_FRAME"},
      {SessionCode::UnsupportedProtocol, "C5_UNSUPPORTED_PROTOCOL"},
      {SessionCode::InvalidOrder, "C5_INVALID_ORDER"},
      {SessionCode::InvalidNonce, "C5_INVALID_NONCE"},
      {SessionCode::NonceMismatch, "C5_NONCE_MISMATCH"},
      {SessionCode::InvalidManifest, "C5_INVALID_MANIFEST"},
      {SessionCode::InvalidEntries, "C5_INVALID_ENTRIES"},
      {SessionCode::InvalidEntry, "C5_INVALID_ENTRY"},
      {SessionCode::EngineFailed, "C5_ENGINE_FAILED"},
      {SessionCode::EngineDisconnected, "C5_ENGINE_DISCONNECTED"},
      {SessionCode::InvalidResult, "C5_INVALID_RESULT"},
      {SessionCode::ResponseLimit, "C5_RESPONSE_LIMIT"},
      {SessionCode::ResponseWriteFailed, "C5_RESPONSE_WRITE_FAILED"},
      {SessionCode::Cancelled, "CANCELLED"},
  };
  for (const auto& [code, text] : expected) EXPECT_EQ(sessionCodeText(code), text);
}

// A message whose compact text is exactly `size` bytes.
Json messageOfSize(size_t size) {
  const std::string empty = toCompactJson(makeObject({{"kind", "x"}, {"pad", ""}}));
  return makeObject({{"kind", "x"}, {"pad", std::string(size - empty.size(), 'a')}});
}

TEST(WriteResponse, WritesUpTo65536BytesAndALineFeedAndRefusesMoreWithoutWriting) {
  Pipe exact;
  const Json fits = messageOfSize(kMaxResponseBytes);
  // The pipe may hold less than a message; read it while writing.
  std::string out;
  std::thread reader([&] { out = exact.readToEnd(); });
  ASSERT_TRUE(writeResponse(exact.writeEnd(), fits).ok());
  exact.closeWrite();
  reader.join();
  EXPECT_EQ(out, toCompactJson(fits) + "\n");

  Pipe over;
  auto refused = writeResponse(over.writeEnd(), messageOfSize(kMaxResponseBytes + 1));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), SessionCode::ResponseLimit);
  EXPECT_EQ(over.drain(), "");
}

TEST(WriteResponse, ClosedReaderIsAWriteFailure) {
  ::signal(SIGPIPE, SIG_IGN);  // the worker ignores it at start-up
  Pipe pipe;
  pipe.closeRead();
  auto written =
      writeResponse(pipe.writeEnd(), failureObject(std::nullopt, SessionCode::Cancelled));
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), SessionCode::ResponseWriteFailed);
  EXPECT_EQ(writeResponse(-1, Json(1)).error(), SessionCode::ResponseWriteFailed);
}

TEST(Messages, MembersAppearInNameOrder) {
  EXPECT_EQ(toCompactJson(failureObject(std::nullopt, SessionCode::EngineFailed)),
            R"({"code":"C5_ENGINE_FAILED","kind":"failed","nonce":null,"version":1})");
  EXPECT_EQ(toCompactJson(failureObject(std::string("n"), SessionCode::Cancelled)),
            R"({"code":"CANCELLED","kind":"failed","nonce":"n","version":1})");
  EXPECT_EQ(toCompactJson(startedMessage("n")), R"({"kind":"started","nonce":"n","version":1})");
  EXPECT_EQ(toCompactJson(executingMessage("n")),
            R"({"kind":"executing","nonce":"n","version":1})");
  EXPECT_EQ(toCompactJson(completedMessage("n", 6, "c0ffee", 0, "run-1")),
            R"({"kind":"completed","metadata":{"pageCount":6,"resultCommitment":"c0ffee",)"
            R"("revision":0,"runId":"run-1"},"nonce":"n","version":1})");
}

TEST(WriteResultPage, WritesOnePageAndAdvancesTheIndex) {
  Pipe pipe;
  uint64_t index = 4;
  ResultPageBody body;
  body.residuals.emplace("E1", "-250");
  ASSERT_TRUE(writeResultPage(pipe.writeEnd(), "n", std::move(body), index, 6).ok());
  EXPECT_EQ(index, 5u);
  ASSERT_TRUE(writeResultPage(pipe.writeEnd(), "n", {}, index, 6).ok());
  EXPECT_EQ(pipe.drain(),
            R"({"kind":"resultPage","nonce":"n","page":{"allocations":[],"pendingIds":[],)"
            R"("residuals":{"E1":"-250"}},"pageCount":6,"pageIndex":4,"version":1})"
            "\n"
            R"({"kind":"resultPage","nonce":"n","page":{"allocations":[],"pendingIds":[],)"
            R"("residuals":{}},"pageCount":6,"pageIndex":5,"version":1})"
            "\n");
}

TEST(WriteResultPage, AnIndexThatCannotAdvanceIsALimit) {
  Pipe pipe;
  uint64_t index = UINT64_MAX;
  auto written = writeResultPage(pipe.writeEnd(), "n", {}, index, UINT64_MAX);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error(), SessionCode::ResponseLimit);
}

}  // namespace
}  // namespace tw
