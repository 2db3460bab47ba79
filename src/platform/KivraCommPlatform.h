// Everything that differs between the platforms the library is built for.
// Exactly one implementation file is compiled into a build, chosen by
// cmake/KivraPlatform.cmake: Windows, Android, macOS or Linux (other POSIX).
// The rest of the library is platform-neutral and calls only this.
#pragma once

#include <cstddef>
#include <ctime>
#include <ostream>
#include <string>

namespace kivra {
namespace platform {

// The platform's name, for tests and diagnostics: "windows", "android",
// "macos" or "linux".
const char* name();

// The separator KV_INIT_LOG tests for and joins with.
char pathSeparator();
// The separator followed by the log file name.
const char* separatorAndLogFileName();

// Writes the calling thread's id in the platform's form.
void writeThreadId(std::ostream& out);
// The same text, written into out (at most size characters, no NUL); returns
// its length. Every log line calls it on its own thread: no heap, no locale.
std::size_t formatThreadId(char* out, std::size_t size);

// Lets the calling thread (the log thread) yield to every thread of normal
// priority: it must never take a core from an audio thread. Best effort.
void lowerThreadPriority();

// Reentrant local-time conversion; false on failure.
bool localTime(std::time_t seconds, std::tm* out);

// Default log directory: the environment variable read (null for none) and
// the subdirectory appended to its value.
const char* defaultLogEnvVar();
const char* defaultLogSubdir();
// Makes sure the default log directory exists, the platform's way (the
// Android and Linux builds test with stat and create with mkdir 0755, the
// Windows build with _access and _mkdir).
void ensureDefaultLogDir(const std::string& dir);

// Directory test and creation (POSIX: stat, mkdir 0755; Windows: _stat,
// _mkdir); the Android build also reports the creation to the system log.
bool directoryExists(const std::string& path);
void createDirectory(const std::string& path);

// Sets (value non-null) or removes (value null) an environment variable of the
// process; true on success. For tools and tests that steer the default path.
bool setEnvironmentVariable(const char* name, const char* value);

}  // namespace platform
}  // namespace kivra
