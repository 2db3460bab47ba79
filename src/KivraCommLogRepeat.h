// A line that a stream or a talker may repeat block after block for as long
// as it stays in a bad state (a queue full, a queue empty, a talker missing).
// The first line of the state is written exactly as given; while the state
// lasts its lines are counted, not written, and at most once a second, and
// when the state ends, one line says how many were left out and over how long:
//   "repeated <n> times in <t> ms, not written: <the state's first line>"
// The state ends once its line has not come for a second (seen by the next
// end() from a good block, or by the next line), or at once by flush(); the
// next line then starts a new state and is written again. A stream that flaps
// between good and bad blocks thus stays one state, written about once a
// second.
//
// Time comes from KV_LOG_CLOCK, which tests can replace. No heap use: the
// first line is kept in the object, the lines go through KV_LOG.
//
// Threading: any thread. m_lock_ orders the threads that share one (the audio
// thread whose stream it paces, and the game's or Wwise's thread that resets
// or releases that stream). Callers may hold a stream lock while calling it;
// it takes no other lock itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class KivraCommLogRepeat {
 public:
  // Pacing of the summaries, and the quiet time that ends a state.
  static constexpr int64_t kIntervalNs = 1000000000;

  KivraCommLogRepeat() = default;
  // Ends the state (see flush).
  ~KivraCommLogRepeat();
  KivraCommLogRepeat(const KivraCommLogRepeat&) = delete;
  KivraCommLogRepeat& operator=(const KivraCommLogRepeat&) = delete;

  // A line of the bad state, printf-style (KV_LOG's formats).
  void log(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  // The stream is well again. Costs one relaxed load while no state is open.
  void end();
  // Ends the state now, writing the count of what was left out: the stream
  // was reset, its talker released, or the bridge is going away.
  void flush();

 private:
  // m_lock_ held. Writes the summary of what was left out up to `until`.
  void summaryLocked(int64_t until);

  std::mutex m_lock_;
  // A state is open: end() has work. Read without m_lock_ as the fast path.
  std::atomic<bool> m_open_{false};
  // Guarded by m_lock_.
  uint32_t m_left_ = 0;  // lines counted since the last written one
  int64_t m_since_ = 0;  // time of the state's last written line
  int64_t m_last_ = 0;   // time of the state's last line
  char m_first_[512] = {};
};
