// The simulation's clock: it decides when each participant (the voice
// engine's recording and playback threads, the Wwise audio thread) runs its
// next period.
//
// Real mode: each participant sleeps to its next absolute deadline
// (epoch + sample time), so late wake-ups never accumulate into drift.
// Virtual mode: participants still run on their own threads, but the clock
// hands a single baton around: a participant runs only when every other one
// is waiting, and the one whose requested sample time is the earliest goes
// first (ties: lower priority value first, then lower task id). The order of
// events is therefore the same on every run and on every machine, and the
// session runs as fast as the machine allows.
//
// Threading: every member may be called from any thread; one mutex guards the
// task table, the baton and the session state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

enum class ClockMode { Real, Virtual };

class KIVRA_SDK_API SimClock {
 public:
  explicit SimClock(ClockMode mode, int sampleRate = 48000);
  ~SimClock();
  SimClock(const SimClock&) = delete;
  SimClock& operator=(const SimClock&) = delete;

  ClockMode mode() const { return mode_; }
  int sampleRate() const { return sampleRate_; }

  // Session length in sample frames: a wait for a time past it ends the
  // waiting task. Set before start().
  void setEnd(int64_t endFrame);
  int64_t end() const;

  // Registers a participant before it first waits. Returns its id.
  int addTask(const std::string& name, int priority);
  // Blocks until the clock reaches `frame` (and, in virtual mode, until it is
  // this task's turn). Returns false when the session is over for this task:
  // `frame` is past the end, or stop() was called; the task then counts
  // as finished and must not wait again.
  bool waitUntil(int taskId, int64_t frame);
  // The task leaves the session (it will not wait again).
  void finish(int taskId);

  // Fixes time zero and lets the participants run. Call once every
  // participant has been added.
  void start();
  // Ends the session early: every pending and later wait returns false.
  void stop();
  // True once every registered task has finished.
  bool done() const;

  // Current time in sample frames. Real mode: elapsed since start(). Virtual
  // mode: the time granted to the task that runs (or ran last).
  int64_t now() const;

 private:
  struct Task {
    std::string name;
    int priority = 0;
    int64_t nextFrame = 0;
    bool waiting = false;
    bool finished = false;
  };

  // Virtual mode, mutex held: gives the baton to the earliest waiting task
  // once no task runs and every unfinished task waits.
  void grantLocked();
  void finishLocked(int taskId);

  const ClockMode mode_;
  const int sampleRate_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Task> tasks_;
  int64_t end_ = INT64_MAX;
  bool started_ = false;
  bool stopped_ = false;
  int running_ = -1;
  std::chrono::steady_clock::time_point epoch_{};
  std::atomic<int64_t> virtualNow_{0};
  // Real mode: steady-clock epoch in nanoseconds, -1 before start(); read
  // without the mutex so audio threads can time-stamp cheaply.
  std::atomic<int64_t> epochNs_{-1};
};

}  // namespace sim
}  // namespace kivra
