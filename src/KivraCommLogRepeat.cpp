#include "KivraCommLogRepeat.h"

#include <cstdarg>
#include <cstdio>

#include "KivraCommLog.h"

KivraCommLogRepeat::~KivraCommLogRepeat() { flush(); }

void KivraCommLogRepeat::log(const char* format, ...) {
  const int64_t now = KV_LOG_CLOCK();
  std::lock_guard<std::mutex> guard(m_lock_);
  bool open = m_open_.load(std::memory_order_relaxed);
  if (open && now - m_last_ >= kIntervalNs) {
    // Quiet for a second: the earlier state is over.
    summaryLocked(m_last_);
    open = false;
  }
  if (!open) {
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(m_first_, sizeof(m_first_), format, args);
    va_end(args);
    if (written < 0) m_first_[0] = '\0';
    KV_LOG("%s", m_first_);
    m_left_ = 0;
    m_since_ = m_last_ = now;
    m_open_.store(true, std::memory_order_relaxed);
    return;
  }
  ++m_left_;
  m_last_ = now;
  if (now - m_since_ >= kIntervalNs) {
    summaryLocked(now);
    m_since_ = now;
  }
}

void KivraCommLogRepeat::end() {
  if (!m_open_.load(std::memory_order_relaxed)) return;
  const int64_t now = KV_LOG_CLOCK();
  std::lock_guard<std::mutex> guard(m_lock_);
  // A bad block within a second of the last one continues the state, so a
  // stream that flaps between good and bad blocks stays one state.
  if (!m_open_.load(std::memory_order_relaxed) || now - m_last_ < kIntervalNs) return;
  summaryLocked(m_last_);
  m_open_.store(false, std::memory_order_relaxed);
}

void KivraCommLogRepeat::flush() {
  std::lock_guard<std::mutex> guard(m_lock_);
  if (!m_open_.load(std::memory_order_relaxed)) return;
  summaryLocked(m_last_);
  m_open_.store(false, std::memory_order_relaxed);
}

void KivraCommLogRepeat::summaryLocked(int64_t until) {
  if (m_left_ == 0) return;
  KV_LOG("repeated %u times in %lld ms, not written: %s", m_left_,
         static_cast<long long>((until - m_since_) / 1000000), m_first_);
  m_left_ = 0;
}
