// The library's one log file. Every line: thread id, space, local time stamp
// with milliseconds, space, message, end of line.
//
// A line is formatted at the call, on the calling thread (its thread id, the
// time of the call), into a slot of a preallocated queue; the log thread
// writes the slots to the file in order and flushes as soon as the queue is
// empty. So no caller touches the file, allocates or waits for the disk; only
// KV_FLUSH_LOG (the game's thread, tests) and KV_SHUTDOWN_LOG wait for it.
//
// Threading: KV_LOG may be called from any thread at any time, also while
// KV_INIT_LOG or KV_SHUTDOWN_LOG runs on another. KV_INIT_LOG,
// KV_SHUTDOWN_LOG, KV_FLUSH_LOG and KV_GET_LOG_DIR belong to the game's
// thread (one internal mutex serialises the first two and KV_GET_LOG_DIR).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

// Full path of the log file (LogDir joined with "kivra_wwise_log.txt").
extern std::string LogPath;
// The open log stream, or null while the log is closed. Written by
// KV_INIT_LOG and KV_SHUTDOWN_LOG; only the log thread writes to the stream.
extern std::ofstream* logFile;
// The directory exactly as the caller passed it to KV_INIT_LOG.
extern std::string LogDir;

// Lines the queue holds before the log thread has written them. A line that
// finds the queue full is counted, not written, and the log thread then
// writes "log queue full: <n> lines lost".
constexpr std::size_t kKivraLogQueueLines = 1024;

// Opens (and empties) the log file in the directory logPath and starts the
// log thread. A null path is refused: nothing changes and no log is opened.
// An open log is closed first (everything queued written to its file).
void KV_INIT_LOG(const char* logPath);
// printf-style; one line per call. Does nothing while the log is closed.
// Messages longer than 511 characters are cut to 511.
void KV_LOG(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// KV_LOG with its arguments already collected.
void KV_VLOG(const char* format, va_list args);
// Waits until every line logged before the call is in the file (written and
// flushed by the log thread). Returns at once while the log is closed. Never
// call it on an audio thread: it waits for the disk.
void KV_FLUSH_LOG();
// Writes everything queued, stops the log thread and closes the log; LogPath
// and LogDir keep their values.
void KV_SHUTDOWN_LOG();
// The local time as "YYYY-MM-DD hh:mm:ss:mmm" (23 characters).
std::string getCurrentTimeMillis();
// A copy of LogDir (taken under the log's mutex, so safe beside KV_INIT_LOG).
std::string KV_GET_LOG_DIR();

// Monotonic nanoseconds that pace repeated lines (KivraCommLogRepeat). The
// steady clock unless a test installs its own; null puts the steady clock
// back. Any thread may read it; install it while nothing logs.
using KivraLogClock = int64_t (*)();
void KV_SET_LOG_CLOCK(KivraLogClock clock);
int64_t KV_LOG_CLOCK();
