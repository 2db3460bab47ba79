// The lock of every structure an audio thread shares with another thread.
//
// Every holder keeps it for a copy or a swap: well under a microsecond. A
// plain mutex puts a thread that finds it held to sleep at once, and waking
// it again costs far more than the hold (tens of microseconds on a loaded
// machine, and the sleeper's core may be given to another thread meanwhile).
// This one first retries for a short, bounded time, and only then blocks as
// a mutex does: a holder that loses its core mid-hold still costs a waiter
// no more than before, and never a busy wait longer than kSpin.
//
// Threading: any thread; not recursive. Meets the Lockable requirements, so
// std::lock_guard and std::unique_lock take it.
#pragma once

#include <chrono>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <emmintrin.h>
#define KIVRA_CPU_RELAX() _mm_pause()
#elif defined(_M_ARM64) || defined(_M_ARM)
#include <intrin.h>
#define KIVRA_CPU_RELAX() __yield()
#elif defined(__aarch64__) || defined(__arm__)
#define KIVRA_CPU_RELAX() __asm__ __volatile__("yield")
#else
#define KIVRA_CPU_RELAX() ((void)0)
#endif

namespace kivra {

// One pause of the CPU inside a spin loop: lets the sibling hardware thread
// run and saves power. Chosen once per CPU family.
inline void cpuRelax() { KIVRA_CPU_RELAX(); }

}  // namespace kivra

class KivraCommAudioMutex {
 public:
  // Longest retry before blocking: several times the longest hold measured,
  // far below one audio callback's budget.
  static constexpr std::chrono::nanoseconds kSpin{4000};

  KivraCommAudioMutex() = default;
  KivraCommAudioMutex(const KivraCommAudioMutex&) = delete;
  KivraCommAudioMutex& operator=(const KivraCommAudioMutex&) = delete;

  void lock() {
    if (m_mutex_.try_lock()) return;
    const auto deadline = std::chrono::steady_clock::now() + kSpin;
    do {
      for (int i = 0; i < 16; ++i) kivra::cpuRelax();
      if (m_mutex_.try_lock()) return;
    } while (std::chrono::steady_clock::now() < deadline);
    m_mutex_.lock();
  }
  bool try_lock() { return m_mutex_.try_lock(); }
  void unlock() { m_mutex_.unlock(); }

 private:
  std::mutex m_mutex_;
};
