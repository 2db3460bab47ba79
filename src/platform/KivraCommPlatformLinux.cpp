// Linux (any POSIX platform other than Android and macOS): '/' separator, the
// pthread_t written as the stream writes it, default log directory
// $HOME/.kivra, made with mkdir 0755 when missing, no system log.
#include <pthread.h>

#include "KivraCommPlatformPosix.inc"
#include "platform/KivraCommPlatform.h"

namespace kivra {
namespace platform {

const char* name() { return "linux"; }
char pathSeparator() { return '/'; }
const char* separatorAndLogFileName() { return "/kivra_wwise_log.txt"; }
void writeThreadId(std::ostream& out) { out << pthread_self(); }
std::size_t formatThreadId(char* out, std::size_t size) {
  return posix::formatThreadValue(out, size, pthread_self());
}
bool localTime(std::time_t seconds, std::tm* out) { return posix::localTimeR(seconds, out); }
void lowerThreadPriority() { posix::niceThisThread(); }
const char* defaultLogEnvVar() { return "HOME"; }
const char* defaultLogSubdir() { return "/.kivra"; }
bool directoryExists(const std::string& path) { return posix::statIsDirectory(path); }
void createDirectory(const std::string& path) { (void)posix::makeDirectory0755(path); }
bool setEnvironmentVariable(const char* name, const char* value) {
  return posix::setEnv(name, value);
}

void ensureDefaultLogDir(const std::string& dir) {
  if (!directoryExists(dir)) createDirectory(dir);
}

}  // namespace platform
}  // namespace kivra
