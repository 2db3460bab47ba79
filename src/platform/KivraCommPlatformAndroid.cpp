// Android: '/' separator, pthread_self() written as a signed long, default log
// directory $EXTERNAL_STORAGE/KivraAudio, whose test and creation are reported
// to the system log (priority info, tag "NativeCode"), never to the log file.
#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "KivraCommPlatformPosix.inc"
#include "platform/KivraCommAndroidSystemLog.h"
#include "platform/KivraCommPlatform.h"

#if defined(__ANDROID__)
#include <android/log.h>
#endif

namespace kivra {
namespace platform {
namespace android_log {

#if defined(__ANDROID__)

std::vector<SystemLogRecord> takeSystemLogRecords() { return {}; }

#define KIVRA_SYSTEM_LOG(...) \
  __android_log_print(android_log::kSystemLogPriorityInfo, android_log::kSystemLogTag, __VA_ARGS__)

#else  // Android rules on a desktop host: an in-memory system log.

namespace {

// Written by whichever thread creates or tests the default log directory and
// read by tests; g_recordsMutex guards g_records.
std::mutex g_recordsMutex;
std::vector<SystemLogRecord> g_records;

void recordSystemLog(int priority, const char* tag, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

void recordSystemLog(int priority, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (length > 0) {
    message.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(&message[0], message.size(), format, args);
    message.resize(static_cast<std::size_t>(length));
  }
  va_end(args);
  std::lock_guard<std::mutex> lock(g_recordsMutex);
  g_records.push_back(SystemLogRecord{priority, tag, std::move(message)});
}

}  // namespace

std::vector<SystemLogRecord> takeSystemLogRecords() {
  std::lock_guard<std::mutex> lock(g_recordsMutex);
  std::vector<SystemLogRecord> taken;
  taken.swap(g_records);
  return taken;
}

#define KIVRA_SYSTEM_LOG(...)                                                                   \
  android_log::recordSystemLog(android_log::kSystemLogPriorityInfo, android_log::kSystemLogTag, \
                               __VA_ARGS__)

#endif

}  // namespace android_log

const char* name() { return "android"; }
char pathSeparator() { return '/'; }
const char* separatorAndLogFileName() { return "/kivra_wwise_log.txt"; }
void writeThreadId(std::ostream& out) { out << static_cast<long>(pthread_self()); }
std::size_t formatThreadId(char* out, std::size_t size) {
  return posix::formatInteger(out, size, static_cast<long>(pthread_self()));
}
bool localTime(std::time_t seconds, std::tm* out) { return posix::localTimeR(seconds, out); }
// THREAD_PRIORITY_BACKGROUND.
void lowerThreadPriority() { posix::niceThisThread(); }
const char* defaultLogEnvVar() { return "EXTERNAL_STORAGE"; }
const char* defaultLogSubdir() { return "/KivraAudio"; }
bool directoryExists(const std::string& path) { return posix::statIsDirectory(path); }
bool setEnvironmentVariable(const char* name, const char* value) {
  return posix::setEnv(name, value);
}

void createDirectory(const std::string& path) {
  // The last component only; missing parents make it fail.
  if (posix::makeDirectory0755(path)) {
    KIVRA_SYSTEM_LOG("Directory created: %s", path.c_str());
  } else {
    KIVRA_SYSTEM_LOG("Failed to create directory: %s", path.c_str());
  }
}

void ensureDefaultLogDir(const std::string& dir) {
  if (directoryExists(dir)) {
    KIVRA_SYSTEM_LOG("Directory already exists: %s", dir.c_str());
  } else {
    createDirectory(dir);
  }
}

}  // namespace platform
}  // namespace kivra
