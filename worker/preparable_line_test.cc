#include "worker/preparable_line.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tw {
namespace {

// The two threads of a session race for every line, as the input thread and the driver do: each
// line is prepared exactly once, and the driver, when it loses, gets the winner's preparation.
TEST(PreparableLine, EachLineIsPreparedOnceAndTheDriverGetsThePreparation) {
  constexpr int kLines = 300;
  std::vector<std::shared_ptr<PreparableLine>> lines;
  for (int i = 0; i < kLines; ++i) {
    lines.push_back(std::make_shared<PreparableLine>(
        R"({"entries":[],"kind":"entries","nonce":"session-nonce-)" + std::to_string(1000 + i) +
        R"(","version":1})"
        "\n"));
  }
  std::vector<int> preparedByInput(kLines, 0);
  std::thread input([&] {
    for (int i = kLines - 1; i >= 0; --i) {  // the newest first
      if (lines[i]->claim()) {
        lines[i]->prepare();
        preparedByInput[i] = 1;
      }
    }
  });
  std::vector<std::string> nonces;
  int preparedByDriver = 0;
  for (const auto& line : lines) {
    const bool mine = line->claim();  // the driver prepares its own claims as it judges them
    preparedByDriver += mine ? 1 : 0;
    PreparedFrame prepared = mine ? prepareFrame(line->text()) : line->takePrepared();
    ASSERT_TRUE(prepared.plainEntries.has_value());
    EXPECT_TRUE(prepared.entriesPassContract);
    nonces.push_back(prepared.plainEntries->nonce);
  }
  input.join();
  int byInput = 0;
  for (int i = 0; i < kLines; ++i) {
    EXPECT_EQ(nonces[i], "session-nonce-" + std::to_string(1000 + i));
    EXPECT_FALSE(lines[i]->claim());  // claimed once, by one of the two
    byInput += preparedByInput[i];
  }
  EXPECT_EQ(byInput + preparedByDriver, kLines);
}

}  // namespace
}  // namespace tw
