// The log writer. Audio threads of the engine and of Wwise log through here:
// a line costs its formatting into a preallocated slot, no heap and no file
// I/O; the log thread writes the slots to the file.
#include "KivraCommLog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <locale>
#include <mutex>
#include <new>
#include <thread>

#include "KivraCommLogPath.h"
#include "platform/KivraCommPlatform.h"

std::string LogPath;
std::ofstream* logFile = nullptr;
std::string LogDir;

namespace {

constexpr std::size_t kMessageBufferSize = 512;
constexpr std::size_t kTimeStampLength = 23;
constexpr std::size_t kTimeStampBufferSize = 30;
// Room for any platform's thread id (20 digits and a sign, or "0x" and 16).
constexpr std::size_t kThreadIdRoom = 32;
constexpr std::size_t kLineRoom =
    kThreadIdRoom + 1 + kTimeStampLength + 1 + (kMessageBufferSize - 1) + 1;
constexpr uint64_t kSlotMask = kKivraLogQueueLines - 1;
static_assert((kKivraLogQueueLines & kSlotMask) == 0, "the queue size is a power of two");
// The log thread writes at least this often while lines keep coming, so a
// flush waiter is never starved by a busy queue.
constexpr int kLinesPerFlush = 64;
// The log thread writes what has come every kWritePeriod, and after
// kQuietPeriods periods without a line only every kIdlePeriod. Producers do
// not wake it for each line (that would be a system call and a context
// switch per line on the audio threads); they wake it only when the queue is
// half full or a line was lost. KV_FLUSH_LOG and closing wake it at once.
constexpr std::chrono::milliseconds kWritePeriod(5);
constexpr std::chrono::milliseconds kIdlePeriod(50);
constexpr int kQuietPeriods = 20;
constexpr uint64_t kWakeBacklog = kKivraLogQueueLines / 2;
// How long the process's exit waits for queued lines to reach the file.
constexpr std::chrono::milliseconds kExitDrainLimit(500);

// One queued line, ready to write: "<thread id> <stamp> <message>\n".
// The queue is a bounded ring of these with a sequence number per slot
// (Vyukov's bounded queue): a slot whose sequence equals a position is free
// for the producer that claims that position; the producer fills it and sets
// the sequence to position + 1, which hands it to the log thread; the log
// thread writes it and sets position + queue size, freeing it for the next
// lap. Claiming is a compare-and-swap on g_enqueuePos, so producers never
// block each other or the log thread.
struct alignas(64) Slot {
  std::atomic<uint64_t> seq;
  uint32_t length;
  char text[kLineRoom];
};

// Threading: producers (any thread) claim and fill slots; only the log thread
// reads them. Static storage, so a KV_LOG racing KV_SHUTDOWN_LOG never
// touches freed memory.
Slot g_slots[kKivraLogQueueLines];
// Next position to claim (every KV_LOG that found room claimed one below it).
std::atomic<uint64_t> g_enqueuePos{0};
// Every line below this position is in the file; written by the log thread.
std::atomic<uint64_t> g_writtenPos{0};
// Lines that found the queue full since the log thread last reported them.
std::atomic<uint64_t> g_lost{0};
// KV_LOG queues lines only while this is set (log open, log thread running).
std::atomic<bool> g_accepting{false};
// KV_LOG calls between their test of g_accepting and the end of their line;
// closing waits for them, so no line is queued after the last drain.
std::atomic<int> g_inFlight{0};
// Set by the log thread before it sleeps; producers wake it only then.
std::atomic<bool> g_writerSleeping{false};
std::atomic<bool> g_stopWriter{false};
std::atomic<bool> g_writerDone{true};
// KV_FLUSH_LOG callers waiting for g_writtenPos.
std::atomic<int> g_flushWaiters{0};
std::atomic<KivraLogClock> g_clock{nullptr};

// Wakes the log thread and the flush waiters. Built in static storage on
// first use and never destroyed, so the log thread may still wait on it while
// the process exits (and no heap block outlives an unloaded library).
struct Wake {
  std::mutex mutex;
  std::condition_variable writer;   // the log thread sleeps here
  std::condition_variable written;  // KV_FLUSH_LOG callers sleep here
};
Wake& wake() {
  alignas(Wake) static unsigned char storage[sizeof(Wake)];
  static Wake* const w = new (storage) Wake();
  return *w;
}

// Guards LogPath, logFile, LogDir and g_writer: held by KV_INIT_LOG and
// KV_SHUTDOWN_LOG for the whole open or close (the game's thread), never by
// KV_LOG. Constant-initialised, so usable from any static constructor.
std::mutex g_logMutex;
std::thread* g_writer = nullptr;

// Writes value zero-padded in exactly width digits, clamped to what fits.
char* putDigits(char* out, int value, int width) {
  int limit = 1;
  for (int i = 0; i < width; ++i) limit *= 10;
  if (value < 0) value = 0;
  if (value >= limit) value = limit - 1;
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Writes "YYYY-MM-DD hh:mm:ss:mmm" (exactly 23 characters, no NUL) for one
// sample of the wall clock in local time. Seconds and milliseconds come from
// the same sample.
void formatTimeStamp(char* out) {
  using namespace std::chrono;
  const system_clock::time_point now = system_clock::now();
  // Rounded down (not towards zero) so both fields agree even before 1970.
  const auto millis = floor<milliseconds>(now.time_since_epoch()).count();
  const auto secs = floor<seconds>(now.time_since_epoch()).count();
  const int ms = static_cast<int>(millis - secs * 1000);

  std::tm local{};
  if (!kivra::platform::localTime(static_cast<std::time_t>(secs), &local)) local = std::tm{};
  // The fields are bounded, so the text is always exactly 23 characters.
  char* p = out;
  p = putDigits(p, local.tm_year + 1900, 4);
  *p++ = '-';
  p = putDigits(p, local.tm_mon + 1, 2);
  *p++ = '-';
  p = putDigits(p, local.tm_mday, 2);
  *p++ = ' ';
  p = putDigits(p, local.tm_hour, 2);
  *p++ = ':';
  p = putDigits(p, local.tm_min, 2);
  *p++ = ':';
  p = putDigits(p, local.tm_sec, 2);
  *p++ = ':';
  putDigits(p, ms, 3);
}

// Formats one whole line into out (kLineRoom bytes) and returns its length.
// The time stamp is taken once the message is formatted.
uint32_t formatLine(char* out, const char* format, va_list args) {
  char* p = out + kivra::platform::formatThreadId(out, kThreadIdRoom);
  *p++ = ' ';
  char* stamp = p;
  p += kTimeStampLength;
  *p++ = ' ';
  const int written = std::vsnprintf(p, kMessageBufferSize, format, args);
  // An encoding error logs the line without text; the message ends at its
  // first NUL, as the old stream writer wrote it.
  p += written < 0 ? 0 : std::strlen(p);
  *p++ = '\n';
  formatTimeStamp(stamp);
  return static_cast<uint32_t>(p - out);
}

uint32_t formatLinef(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const uint32_t length = formatLine(out, format, args);
  va_end(args);
  return length;
}

// Called by a producer whose line made the queue half full, or was lost.
void wakeWriter() {
  // Without the mutex: a producer may be an audio thread. A wake-up lost to
  // the log thread going to sleep at that instant costs one period.
  if (g_writerSleeping.load(std::memory_order_seq_cst)) wake().writer.notify_one();
}

void queueLine(const char* format, va_list args) {
  uint64_t pos = g_enqueuePos.load(std::memory_order_relaxed);
  Slot* slot = nullptr;
  for (;;) {
    slot = &g_slots[pos & kSlotMask];
    const uint64_t seq = slot->seq.load(std::memory_order_acquire);
    const int64_t lap = static_cast<int64_t>(seq - pos);
    if (lap == 0) {
      if (g_enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (lap < 0) {
      // Full: the log thread has not written this slot's previous line yet.
      g_lost.fetch_add(1, std::memory_order_relaxed);
      wakeWriter();
      return;
    } else {
      pos = g_enqueuePos.load(std::memory_order_relaxed);
    }
  }
  slot->length = formatLine(slot->text, format, args);
  slot->seq.store(pos + 1, std::memory_order_seq_cst);
  if (pos - g_writtenPos.load(std::memory_order_relaxed) >= kWakeBacklog) wakeWriter();
}

// The log thread's view of the queue: its head slot, if a line is ready.
Slot* readyHead(uint64_t head) {
  Slot* slot = &g_slots[head & kSlotMask];
  return slot->seq.load(std::memory_order_seq_cst) == head + 1 ? slot : nullptr;
}

// Flushes, then tells the flush waiters that every line below head is in the
// file.
void publishWritten(std::ofstream& out, uint64_t head) {
  out.flush();
  g_writtenPos.store(head, std::memory_order_seq_cst);
  if (g_flushWaiters.load(std::memory_order_seq_cst) > 0) {
    std::lock_guard<std::mutex> lock(wake().mutex);
    wake().written.notify_all();
  }
}

// One line for the lines that found the queue full since the last report.
bool reportLost(std::ofstream& out) {
  const uint64_t lost = g_lost.exchange(0, std::memory_order_relaxed);
  if (lost == 0) return false;
  char line[kLineRoom];
  const uint32_t length =
      formatLinef(line, "log queue full: %llu lines lost", static_cast<unsigned long long>(lost));
  out.write(line, length);
  return true;
}

// The log thread: writes the queue in order until asked to stop, then writes
// what is left and returns. It alone touches the stream while it runs.
void writeLoop(std::ofstream* stream, uint64_t head) {
  kivra::platform::lowerThreadPriority();
  std::ofstream& out = *stream;
  int sinceFlush = 0;
  int quiet = 0;  // periods in a row without a line
  for (;;) {
    if (Slot* slot = readyHead(head)) {
      quiet = 0;
      out.write(slot->text, slot->length);
      slot->seq.store(head + kKivraLogQueueLines, std::memory_order_release);
      ++head;
      if (++sinceFlush >= kLinesPerFlush) {
        // A flush that returns has the losses before it counted in the file.
        reportLost(out);
        publishWritten(out, head);
        sinceFlush = 0;
      }
      continue;
    }
    if (reportLost(out)) ++sinceFlush;
    if (sinceFlush > 0 || g_writtenPos.load(std::memory_order_relaxed) != head) {
      publishWritten(out, head);
      sinceFlush = 0;
    }
    if (head != g_enqueuePos.load(std::memory_order_acquire)) {
      // A producer has claimed the head slot and is still formatting it.
      std::this_thread::yield();
      continue;
    }
    if (g_stopWriter.load(std::memory_order_acquire)) break;
    std::unique_lock<std::mutex> lock(wake().mutex);
    g_writerSleeping.store(true, std::memory_order_seq_cst);
    if (g_flushWaiters.load(std::memory_order_seq_cst) == 0 &&
        g_lost.load(std::memory_order_seq_cst) == 0 &&
        !g_stopWriter.load(std::memory_order_seq_cst)) {
      wake().writer.wait_for(lock, quiet < kQuietPeriods ? kWritePeriod : kIdlePeriod);
      if (readyHead(head) == nullptr) ++quiet;
    }
    g_writerSleeping.store(false, std::memory_order_seq_cst);
  }
  // Lines counted lost by the last producers before the stop.
  reportLost(out);
  out.flush();
  {
    std::lock_guard<std::mutex> lock(wake().mutex);
    g_writerDone.store(true, std::memory_order_release);
    wake().written.notify_all();
  }
}

// Lets the log thread take lines, starting at the current position.
// Caller holds g_logMutex; no producer is queueing (g_accepting is false).
bool startWriterLocked(std::ofstream* stream) {
  const uint64_t start = g_enqueuePos.load(std::memory_order_relaxed);
  for (uint64_t i = 0; i < kKivraLogQueueLines; ++i) {
    g_slots[(start + i) & kSlotMask].seq.store(start + i, std::memory_order_relaxed);
  }
  g_writtenPos.store(start, std::memory_order_relaxed);
  g_lost.store(0, std::memory_order_relaxed);
  g_stopWriter.store(false, std::memory_order_relaxed);
  g_writerDone.store(false, std::memory_order_release);
  try {
    g_writer = new std::thread(writeLoop, stream, start);
  } catch (...) {
    // No thread: the log stays open but writes nothing, like a file that
    // failed to open.
    g_writerDone.store(true, std::memory_order_release);
    return false;
  }
  g_accepting.store(true, std::memory_order_seq_cst);
  return true;
}

// Stops queueing and waits for the KV_LOG calls already past their test.
// False if they did not finish by the deadline (only the process's exit sets
// one: a thread killed in the middle of a line never finishes).
bool stopAccepting(const std::chrono::steady_clock::time_point* deadline) {
  g_accepting.store(false, std::memory_order_seq_cst);
  while (g_inFlight.load(std::memory_order_seq_cst) != 0) {
    if (deadline != nullptr && std::chrono::steady_clock::now() > *deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void askWriterToStop() {
  std::lock_guard<std::mutex> lock(wake().mutex);
  g_stopWriter.store(true, std::memory_order_seq_cst);
  wake().writer.notify_one();
}

void closeStreamLocked() {
  if (logFile == nullptr) return;
  logFile->close();  // a failed close only sets the fail bit
  delete logFile;
  logFile = nullptr;
}

// Writes everything queued, stops the log thread and closes the stream.
// Caller holds g_logMutex.
void closeLogLocked() {
  stopAccepting(nullptr);
  if (g_writer != nullptr) {
    askWriterToStop();
    g_writer->join();
    delete g_writer;
    g_writer = nullptr;
  }
  closeStreamLocked();
}

// A log the game never shut down is closed when the process exits (or the
// library is unloaded), with its queued lines written. The wait is bounded
// and the thread is never joined here: where the system has already ended
// the log thread, or holds a lock that thread needs to end, a join would
// never return.
struct CloseLogAtExit {
  ~CloseLogAtExit() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_writer == nullptr) {
      closeStreamLocked();
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kExitDrainLimit;
    stopAccepting(&deadline);
    askWriterToStop();
    while (!g_writerDone.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const bool done = g_writerDone.load(std::memory_order_acquire);
    g_writer->detach();
    delete g_writer;
    g_writer = nullptr;
    // A log thread still writing keeps its stream; the system closes it.
    if (done) closeStreamLocked();
  }
};
CloseLogAtExit g_closeLogAtExit;

}  // namespace

void KV_INIT_LOG(const char* logPath) {
  if (logPath == nullptr) return;  // nothing to open: keep the current state
  std::lock_guard<std::mutex> lock(g_logMutex);
  // A re-init writes and closes the earlier log first.
  closeLogLocked();
  try {
    kivraApplyLogPathRule(logPath);
  } catch (...) {
    return;  // out of memory composing the path: stay closed
  }
  // Truncating open; the exception mask stays at its default (none). A stream
  // that failed to open still counts as open and simply writes nothing.
  logFile = new (std::nothrow) std::ofstream(LogPath, std::ios_base::out);
  if (logFile == nullptr) return;
  logFile->imbue(std::locale::classic());
  if (!logFile->good()) return;
  // The first local-time conversion of a process may read the time zone
  // files: do it here rather than in the first line an audio thread logs.
  char stamp[kTimeStampBufferSize];
  formatTimeStamp(stamp);
  startWriterLocked(logFile);
}

void KV_LOG(const char* format, ...) {
  va_list args;
  va_start(args, format);
  KV_VLOG(format, args);
  va_end(args);
}

void KV_VLOG(const char* format, va_list args) {
  if (format == nullptr) return;
  g_inFlight.fetch_add(1, std::memory_order_seq_cst);
  // A closed log, or one whose file failed, would write nothing: skip the work.
  if (g_accepting.load(std::memory_order_seq_cst)) queueLine(format, args);
  g_inFlight.fetch_sub(1, std::memory_order_release);
}

void KV_FLUSH_LOG() {
  const uint64_t target = g_enqueuePos.load(std::memory_order_seq_cst);
  if (g_writtenPos.load(std::memory_order_seq_cst) >= target) return;
  try {
    std::unique_lock<std::mutex> lock(wake().mutex);
    g_flushWaiters.fetch_add(1, std::memory_order_seq_cst);
    wake().writer.notify_one();
    wake().written.wait(lock, [target] {
      return g_writtenPos.load(std::memory_order_seq_cst) >= target ||
             g_writerDone.load(std::memory_order_acquire);
    });
    g_flushWaiters.fetch_sub(1, std::memory_order_seq_cst);
  } catch (...) {
    // A failed wait only means returning early; the lines still get written.
  }
}

void KV_SHUTDOWN_LOG() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  closeLogLocked();
}

std::string getCurrentTimeMillis() {
  char buffer[kTimeStampBufferSize];
  formatTimeStamp(buffer);
  buffer[kTimeStampLength] = '\0';
  return std::string(buffer);
}

std::string KV_GET_LOG_DIR() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return LogDir;
}

void KV_SET_LOG_CLOCK(KivraLogClock clock) { g_clock.store(clock, std::memory_order_release); }

int64_t KV_LOG_CLOCK() {
  const KivraLogClock clock = g_clock.load(std::memory_order_acquire);
  if (clock != nullptr) return clock();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
