// The library's one log file. Every line: thread id, space, local time stamp
// with milliseconds, space, message, end of line (flushed at once).
//
// Threading: KV_LOG may be called from any thread at any time, also while
// KV_INIT_LOG or KV_SHUTDOWN_LOG runs on another; one internal mutex makes
// each line whole and keeps the stream alive while it is written.
#pragma once

#include <fstream>
#include <string>

// Full path of the log file (LogDir joined with "kivra_wwise_log.txt").
extern std::string LogPath;
// The open log stream, or null while the log is closed.
extern std::ofstream* logFile;
// The directory exactly as the caller passed it to KV_INIT_LOG.
extern std::string LogDir;

// Opens (and empties) the log file in the directory logPath. A null path is
// refused: nothing changes and no log is opened.
void KV_INIT_LOG(const char* logPath);
// printf-style; one line per call. Does nothing while the log is closed.
// Messages longer than 511 characters are cut to 511.
void KV_LOG(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Closes the log; LogPath and LogDir keep their values.
void KV_SHUTDOWN_LOG();
// The local time as "YYYY-MM-DD hh:mm:ss:mmm" (23 characters).
std::string getCurrentTimeMillis();
// A copy of LogDir (taken under the log's mutex, so safe beside KV_INIT_LOG).
std::string KV_GET_LOG_DIR();
