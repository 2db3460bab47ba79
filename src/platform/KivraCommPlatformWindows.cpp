// Windows: '\' separator, GetCurrentThreadId() written as an unsigned long,
// localtime_s, and the default log directory %LOCALAPPDATA%/Kivra, tested with
// _access and made with _mkdir, silently.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <charconv>
#include <cstdlib>

#include "platform/KivraCommPlatform.h"

namespace kivra {
namespace platform {

const char* name() { return "windows"; }
char pathSeparator() { return '\\'; }
const char* separatorAndLogFileName() { return "\\kivra_wwise_log.txt"; }
void writeThreadId(std::ostream& out) { out << static_cast<unsigned long>(GetCurrentThreadId()); }
std::size_t formatThreadId(char* out, std::size_t size) {
  const std::to_chars_result r =
      std::to_chars(out, out + size, static_cast<unsigned long>(GetCurrentThreadId()));
  return r.ec == std::errc() ? static_cast<std::size_t>(r.ptr - out) : 0;
}
bool localTime(std::time_t seconds, std::tm* out) { return localtime_s(out, &seconds) == 0; }
void lowerThreadPriority() {
  (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}
const char* defaultLogEnvVar() { return "LOCALAPPDATA"; }
const char* defaultLogSubdir() { return "/Kivra"; }

void ensureDefaultLogDir(const std::string& dir) {
  // Anything of that name, a plain file too, counts as existing.
  if (_access(dir.c_str(), 0) == -1) (void)_mkdir(dir.c_str());
}

bool directoryExists(const std::string& path) {
  struct _stat info;
  if (_stat(path.c_str(), &info) != 0) return false;
  return (info.st_mode & _S_IFDIR) != 0;
}

void createDirectory(const std::string& path) { (void)_mkdir(path.c_str()); }

bool setEnvironmentVariable(const char* name, const char* value) {
  if (name == nullptr) return false;
  // An empty value removes the variable from the C runtime's environment.
  return _putenv_s(name, value != nullptr ? value : "") == 0;
}

}  // namespace platform
}  // namespace kivra
