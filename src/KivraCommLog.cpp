// TEMPORARY minimal log writer so that every unit links; replaced by the real one.
#include "KivraCommLog.h"

#include <cstdarg>
#include <cstdio>

std::string LogPath;
std::ofstream* logFile = nullptr;
std::string LogDir;

void KV_INIT_LOG(const char* logPath) {
  if (logPath == nullptr) return;
  delete logFile;
  LogDir = logPath;
  LogPath = LogDir + "/kivra_wwise_log.txt";
  logFile = new std::ofstream(LogPath, std::ios_base::out);
}

void KV_LOG(const char* format, ...) {
  if (logFile == nullptr) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  *logFile << "0 " << getCurrentTimeMillis() << " " << buffer << std::endl;
}

void KV_SHUTDOWN_LOG() {
  delete logFile;
  logFile = nullptr;
}

std::string getCurrentTimeMillis() { return "2026-01-01 00:00:00:000"; }
std::string KV_GET_LOG_DIR() { return LogDir; }
