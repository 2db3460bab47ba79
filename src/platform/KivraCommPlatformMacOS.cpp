// macOS: '/' separator, the thread id as a pointer ("0x..." hexadecimal), and
// the bare file name as the default log path (no environment, no directory).
#include <pthread.h>

#include "KivraCommPlatformPosix.inc"
#include "platform/KivraCommPlatform.h"

namespace kivra {
namespace platform {

const char* name() { return "macos"; }
char pathSeparator() { return '/'; }
const char* separatorAndLogFileName() { return "/kivra_wwise_log.txt"; }
void writeThreadId(std::ostream& out) { out << reinterpret_cast<const void*>(pthread_self()); }
std::size_t formatThreadId(char* out, std::size_t size) {
  return posix::formatPointer(out, size, reinterpret_cast<const void*>(pthread_self()));
}
bool localTime(std::time_t seconds, std::tm* out) { return posix::localTimeR(seconds, out); }
void lowerThreadPriority() {
#if defined(__APPLE__)
  (void)pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#endif
}
const char* defaultLogEnvVar() { return nullptr; }
const char* defaultLogSubdir() { return ""; }
bool directoryExists(const std::string& path) { return posix::statIsDirectory(path); }
void createDirectory(const std::string& path) { (void)posix::makeDirectory0755(path); }
bool setEnvironmentVariable(const char* name, const char* value) {
  return posix::setEnv(name, value);
}
void ensureDefaultLogDir(const std::string&) {}

}  // namespace platform
}  // namespace kivra
