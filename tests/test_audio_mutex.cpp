// The audio-path lock: mutual exclusion under contention, and a waiter that
// outlasts the bounded retry blocks until the holder lets go, never enters
// beside it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "KivraCommAudioMutex.h"

namespace {

TEST(AudioMutex, ExcludesUnderContention) {
  KivraCommAudioMutex lock;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  long counter = 0;  // deliberately plain: only the lock protects it
  constexpr int kThreads = 4;
  constexpr int kRounds = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<KivraCommAudioMutex> guard(lock);
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++counter;
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(AudioMutex, WaiterPastTheRetryBlocksUntilReleased) {
  KivraCommAudioMutex lock;
  lock.lock();
  EXPECT_FALSE(lock.try_lock());
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    std::lock_guard<KivraCommAudioMutex> guard(lock);
    entered = true;
  });
  // Far longer than the retry: the waiter is now blocked, not inside.
  std::this_thread::sleep_for(std::chrono::milliseconds(20) + KivraCommAudioMutex::kSpin * 10);
  EXPECT_FALSE(entered.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(entered.load());
  ASSERT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
