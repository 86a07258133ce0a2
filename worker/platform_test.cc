#include "worker/platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace tw::platform {
namespace {

TEST(Platform, AThreadKeptOffAProcessorRunsOnAnother) {
  std::thread([] {
    EXPECT_FALSE(keepThisThreadOff(-1));
    const int before = currentProcessor();
    ASSERT_GE(before, 0);
    if (!keepThisThreadOff(before)) GTEST_SKIP() << "no other processor to run on";
    for (int turn = 0; turn < 100; ++turn) {
      EXPECT_NE(currentProcessor(), before);
      std::this_thread::yield();
    }
  }).join();
}

}  // namespace
}  // namespace tw::platform
