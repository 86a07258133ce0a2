#include "worker/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tw {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInOrderAndBlocksTheSenderWhileFull) {
  auto [sender, receiver] = makeChannel<int>(2);
  std::atomic<int> sent{0};
  std::thread producer([&, s = std::move(sender)]() mutable {
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(s.send(i));
      ++sent;
    }
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sent.load(), 2);  // the third send waits for room
  for (int i = 0; i < 5; ++i) {
    auto received = receiver.recv();
    ASSERT_EQ(received.status, ChannelStatus::Value);
    EXPECT_EQ(*received.value, i);
  }
  producer.join();
  // The producer's end went away with its thread.
  EXPECT_EQ(receiver.recv().status, ChannelStatus::Closed);
}

TEST(Channel, QueuedValuesOutliveTheProducer) {
  auto [sender, receiver] = makeChannel<std::string>(1);
  ASSERT_TRUE(sender.send("last"));
  EXPECT_EQ(receiver.tryRecv().status, ChannelStatus::Value);
  EXPECT_EQ(receiver.tryRecv().status, ChannelStatus::Empty);
  EXPECT_EQ(receiver.recvFor(5ms).status, ChannelStatus::Empty);
  ASSERT_TRUE(sender.send("after"));
  sender.close();
  auto received = receiver.tryRecv();
  ASSERT_EQ(received.status, ChannelStatus::Value);
  EXPECT_EQ(*received.value, "after");
  EXPECT_EQ(receiver.tryRecv().status, ChannelStatus::Closed);
  EXPECT_EQ(receiver.recvFor(1h).status, ChannelStatus::Closed);
}

TEST(Channel, TrySendNeverWaitsAndKeepsWhatItCannotQueue) {
  auto [sender, receiver] = makeChannel<std::string>(1);
  std::string first = "first";
  std::string second = "second";
  EXPECT_EQ(sender.trySend(first), SendStatus::Sent);
  EXPECT_EQ(sender.trySend(second), SendStatus::Full);
  EXPECT_EQ(second, "second");
  EXPECT_EQ(*receiver.recv().value, "first");
  EXPECT_EQ(sender.trySend(second), SendStatus::Sent);
  receiver.close();
  std::string third = "third";
  EXPECT_EQ(sender.trySend(third), SendStatus::Gone);
}

TEST(Channel, ANudgeEndsOneTimedWaitEarly) {
  Nudger<int> nudger;
  {
    auto [sender, receiver] = makeChannel<int>(2);
    nudger = receiver.nudger();
    nudger.nudge();
    EXPECT_EQ(receiver.recvFor(1h).status, ChannelStatus::Empty);   // at once, not in an hour
    EXPECT_EQ(receiver.recvFor(5ms).status, ChannelStatus::Empty);  // the nudge was used up
    std::thread other([&nudger] {
      std::this_thread::sleep_for(20ms);
      nudger.nudge();
    });
    EXPECT_EQ(receiver.recvFor(1h).status, ChannelStatus::Empty);
    other.join();
    ASSERT_TRUE(sender.send(7));
    nudger.nudge();
    EXPECT_EQ(*receiver.recvFor(1h).value, 7);  // what is queued still comes first
  }
  nudger.nudge();  // the channel is gone: nothing happens
}

TEST(Channel, ADepartingConsumerReleasesABlockedSender) {
  auto [sender, receiver] = makeChannel<int>(1);
  ASSERT_TRUE(sender.send(1));
  std::thread consumer([r = std::move(receiver)]() mutable {
    std::this_thread::sleep_for(20ms);
    r.close();
  });
  EXPECT_FALSE(sender.send(2));  // blocked until the consumer left
  consumer.join();
  EXPECT_FALSE(sender.send(3));
}

TEST(Channel, ADepartingProducerWakesAWaitingReceiver) {
  auto [sender, receiver] = makeChannel<int>(1);
  std::thread producer([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    s.close();
  });
  EXPECT_EQ(receiver.recv().status, ChannelStatus::Closed);
  producer.join();
}

}  // namespace
}  // namespace tw
