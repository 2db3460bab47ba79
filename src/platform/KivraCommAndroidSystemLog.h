// The Android system log as the Android build writes to it. On a device it
// is liblog's __android_log_print; the Android rules built on a desktop host
// have no liblog and keep the messages in memory instead, for tests to read.
#pragma once

#include <string>
#include <vector>

namespace kivra {
namespace platform {
namespace android_log {

// Priority and tag of every message the library writes there.
constexpr int kSystemLogPriorityInfo = 4;  // ANDROID_LOG_INFO
constexpr const char* kSystemLogTag = "NativeCode";

struct SystemLogRecord {
  int priority;
  std::string tag;
  std::string message;
};

// The messages written since the last call, oldest first, and forgets them.
// Empty on a device, where the messages went to the real system log.
std::vector<SystemLogRecord> takeSystemLogRecords();

}  // namespace android_log
}  // namespace platform
}  // namespace kivra
