#include "KivraSimClock.h"

namespace kivra {
namespace sim {

SimClock::SimClock(ClockMode mode, int sampleRate)
    : mode_(mode), sampleRate_(sampleRate > 0 ? sampleRate : 48000) {}

SimClock::~SimClock() = default;

void SimClock::setEnd(int64_t endFrame) {
  std::lock_guard<std::mutex> guard(mutex_);
  end_ = endFrame;
}

int64_t SimClock::end() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return end_;
}

int SimClock::addTask(const std::string& name, int priority) {
  std::lock_guard<std::mutex> guard(mutex_);
  Task t;
  t.name = name;
  t.priority = priority;
  tasks_.push_back(t);
  return static_cast<int>(tasks_.size()) - 1;
}

void SimClock::grantLocked() {
  if (mode_ != ClockMode::Virtual || !started_ || running_ >= 0) return;
  int best = -1;
  for (size_t i = 0; i < tasks_.size(); ++i) {
    const Task& t = tasks_[i];
    if (t.finished) continue;
    if (!t.waiting) return;  // someone has not declared its next time yet
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const Task& b = tasks_[static_cast<size_t>(best)];
    if (t.nextFrame < b.nextFrame || (t.nextFrame == b.nextFrame && t.priority < b.priority)) {
      best = static_cast<int>(i);
    }
  }
  if (best < 0) return;
  running_ = best;
  virtualNow_.store(tasks_[static_cast<size_t>(best)].nextFrame, std::memory_order_relaxed);
  cv_.notify_all();
}

void SimClock::finishLocked(int taskId) {
  if (taskId < 0 || static_cast<size_t>(taskId) >= tasks_.size()) return;
  Task& t = tasks_[static_cast<size_t>(taskId)];
  t.finished = true;
  t.waiting = false;
  if (running_ == taskId) running_ = -1;
  grantLocked();
  cv_.notify_all();
}

bool SimClock::waitUntil(int taskId, int64_t frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (taskId < 0 || static_cast<size_t>(taskId) >= tasks_.size()) return false;
  if (tasks_[static_cast<size_t>(taskId)].finished) return false;
  if (stopped_ || frame > end_) {
    finishLocked(taskId);
    return false;
  }
  if (mode_ == ClockMode::Virtual) {
    Task& self = tasks_[static_cast<size_t>(taskId)];
    self.nextFrame = frame;
    self.waiting = true;
    if (running_ == taskId) running_ = -1;
    grantLocked();
    cv_.wait(lock, [&] { return stopped_ || running_ == taskId; });
    tasks_[static_cast<size_t>(taskId)].waiting = false;
    if (stopped_) {
      finishLocked(taskId);
      return false;
    }
    return true;
  }
  cv_.wait(lock, [&] { return stopped_ || started_; });
  if (stopped_) {
    finishLocked(taskId);
    return false;
  }
  const auto deadline =
      epoch_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(static_cast<double>(frame) / sampleRate_));
  if (cv_.wait_until(lock, deadline, [&] { return stopped_; })) {
    finishLocked(taskId);
    return false;
  }
  return true;
}

void SimClock::finish(int taskId) {
  std::lock_guard<std::mutex> guard(mutex_);
  finishLocked(taskId);
}

void SimClock::start() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (started_) return;
  started_ = true;
  epoch_ = std::chrono::steady_clock::now();
  epochNs_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(epoch_.time_since_epoch()).count(),
      std::memory_order_release);
  grantLocked();
  cv_.notify_all();
}

void SimClock::stop() {
  std::lock_guard<std::mutex> guard(mutex_);
  stopped_ = true;
  cv_.notify_all();
}

bool SimClock::done() const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Task& t : tasks_) {
    if (!t.finished) return false;
  }
  return true;
}

int64_t SimClock::now() const {
  if (mode_ == ClockMode::Virtual) return virtualNow_.load(std::memory_order_relaxed);
  const int64_t epoch = epochNs_.load(std::memory_order_acquire);
  if (epoch < 0) return 0;
  const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  return (nowNs - epoch) * sampleRate_ / 1000000000;
}

}  // namespace sim
}  // namespace kivra
