#include "worker/platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace tw::platform {
namespace {

TEST(Platform, AThreadKeptOffAProcessorRunsOnAnotherUntilLetGo) {
  std::thread([] {
    EXPECT_FALSE(keepThisThreadOff(-1));
    const int before = currentProcessor();
    ASSERT_GE(before, 0);
    if (!keepThisThreadOff(before)) GTEST_SKIP() << "no other processor to run on";
    for (int turn = 0; turn < 100; ++turn) {
      EXPECT_NE(currentProcessor(), before);
      std::this_thread::yield();
    }
    letThisThreadRunAnywhere();
    // Let go, the thread may be kept off a processor again, the one it is on now included.
    EXPECT_TRUE(keepThisThreadOff(currentProcessor()));
    letThisThreadRunAnywhere();
  }).join();
}

}  // namespace
}  // namespace tw::platform
