// A log clock that a test moves by hand, so that the pacing of repeated lines
// (one summary a second) is tested without sleeping.
#pragma once

#include <atomic>
#include <cstdint>

#include "KivraCommLog.h"

namespace kivra {
namespace test {

// Installed as KV_LOG_CLOCK while it lives. Threading: any thread may read
// the time; the test thread moves it.
class ManualLogClock {
 public:
  static constexpr int64_t kSecond = 1000000000;
  static constexpr int64_t kMs = 1000000;

  explicit ManualLogClock(int64_t start = 1000 * kSecond) {
    now_.store(start);
    KV_SET_LOG_CLOCK(&read);
  }
  ~ManualLogClock() { KV_SET_LOG_CLOCK(nullptr); }
  ManualLogClock(const ManualLogClock&) = delete;
  ManualLogClock& operator=(const ManualLogClock&) = delete;

  void advance(int64_t ns) { now_.fetch_add(ns); }
  void advanceMs(int64_t ms) { advance(ms * kMs); }
  int64_t now() const { return now_.load(); }

 private:
  static int64_t read() { return now_.load(); }
  static inline std::atomic<int64_t> now_{0};
};

}  // namespace test
}  // namespace kivra
