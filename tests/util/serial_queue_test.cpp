#include "util/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessel {
namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInOrderOffTheCallersThread) {
  SerialQueue queue("test");
  std::mutex lock;
  std::vector<int> order;
  std::atomic<int> running = 0;
  std::atomic<bool> overlapped = false;
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> onCaller = false;
  // Callers on several threads; each one's tasks keep their order.
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      for (int i = 0; i < 25; ++i) {
        queue.async([&, c, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          if (std::this_thread::get_id() == caller) onCaller = true;
          {
            std::lock_guard guard(lock);
            order.push_back(c * 100 + i);
          }
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& thread : callers) thread.join();
  // A task that throws ends only itself.
  queue.async([] { throw std::runtime_error("refresh failed"); });
  queue.async([&] {
    std::lock_guard guard(lock);
    order.push_back(-1);
  });
  queue.drain();

  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(onCaller);
  ASSERT_EQ(order.size(), 101U);
  EXPECT_EQ(order.back(), -1);
  for (int c = 0; c < 4; ++c) {
    int last = -1;
    for (int item : order) {
      if (item / 100 != c || item < 0) continue;
      EXPECT_EQ(item % 100, last + 1);
      last = item % 100;
    }
    EXPECT_EQ(last, 24);
  }
}

TEST(SerialQueue, DestructionWaitsForTheRunningTaskAndDropsTheRest) {
  std::atomic<bool> started = false;
  std::atomic<bool> finished = false;
  std::atomic<int> later = 0;
  {
    SerialQueue queue("test");
    queue.async([&] {
      started = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      finished = true;
    });
    for (int i = 0; i < 10; ++i) queue.async([&] { ++later; });
    while (!started) std::this_thread::yield();
  }
  EXPECT_TRUE(finished);
  EXPECT_EQ(later, 0);

  // A queue never given a task starts no thread and ends at once.
  SerialQueue idle("idle");
  idle.drain();
}

}  // namespace
}  // namespace tessel
