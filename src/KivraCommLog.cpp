// The log writer. Audio threads of the engine and of Wwise log through here,
// so a line costs one formatted write and one flush, with no heap use.
#include "KivraCommLog.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <locale>
#include <mutex>
#include <new>

#include "KivraCommLogPath.h"
#include "platform/KivraCommPlatform.h"

std::string LogPath;
std::ofstream* logFile = nullptr;
std::string LogDir;

namespace {

// Guards LogPath, logFile and LogDir. Held by KV_INIT_LOG and KV_SHUTDOWN_LOG
// for the whole open or close, and by KV_LOG from the null test to the flush,
// so lines of concurrent callers never mix and the stream cannot be deleted
// under a writer. Constant-initialised, so usable from any static constructor.
std::mutex g_logMutex;

constexpr std::size_t kMessageBufferSize = 512;
constexpr std::size_t kTimeStampBufferSize = 30;

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

// Fills buffer with "YYYY-MM-DD hh:mm:ss:mmm" for one sample of the wall clock
// in local time. Seconds and milliseconds come from the same sample.
void formatTimeStamp(char (&buffer)[kTimeStampBufferSize]) {
  using namespace std::chrono;
  const system_clock::time_point now = system_clock::now();
  // Rounded down (not towards zero) so both fields agree even before 1970.
  const auto millis = floor<milliseconds>(now.time_since_epoch()).count();
  const auto secs = floor<seconds>(now.time_since_epoch()).count();
  const int ms = static_cast<int>(millis - secs * 1000);

  std::tm local{};
  if (!kivra::platform::localTime(static_cast<std::time_t>(secs), &local)) local = std::tm{};
  // "%04d-%02d-%02d %02d:%02d:%02d:%03d", written digit by digit: the fields
  // are bounded, so the text is always exactly 23 characters.
  char* p = buffer;
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
  p = putDigits(p, ms, 3);
  *p = '\0';
}

// Closes and frees the open stream, if any. Caller holds g_logMutex.
void closeLogLocked() {
  if (logFile == nullptr) return;
  logFile->close();  // a failed close only sets the fail bit
  delete logFile;
  logFile = nullptr;
}

}  // namespace

void KV_INIT_LOG(const char* logPath) {
  if (logPath == nullptr) return;  // nothing to open: keep the current state
  std::lock_guard<std::mutex> lock(g_logMutex);
  // A re-init must not leave the earlier stream (and its descriptor) behind.
  closeLogLocked();
  try {
    kivraApplyLogPathRule(logPath);
  } catch (...) {
    return;  // out of memory composing the path: stay closed
  }
  // Truncating open; the exception mask stays at its default (none). A stream
  // that failed to open still counts as open and simply writes nothing.
  logFile = new (std::nothrow) std::ofstream(LogPath, std::ios_base::out);
  // The game may have set a global locale with digit grouping; thread ids must
  // stay plain numbers.
  if (logFile != nullptr) logFile->imbue(std::locale::classic());
}

void KV_LOG(const char* format, ...) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  // A closed log, or one whose file failed, would write nothing: skip the work.
  if (logFile == nullptr || !logFile->good() || format == nullptr) return;

  char message[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (written < 0) message[0] = '\0';  // encoding error: log the line without text

  char stamp[kTimeStampBufferSize];
  formatTimeStamp(stamp);

  std::ofstream& out = *logFile;
  kivra::platform::writeThreadId(out);
  out << ' ' << stamp << ' ' << message << std::endl;
}

void KV_SHUTDOWN_LOG() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  closeLogLocked();
}

std::string getCurrentTimeMillis() {
  char buffer[kTimeStampBufferSize];
  formatTimeStamp(buffer);
  return std::string(buffer);
}

std::string KV_GET_LOG_DIR() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return LogDir;
}
