// Where the log file lives: the path rule applied by KV_INIT_LOG and the
// per-platform default log path. The platform's own rules come from
// platform/KivraCommPlatform.h, chosen once by the build.
#pragma once

#include <string>

// Log file name joined to the caller's directory.
extern const char* const kKivraLogFileName;  // "kivra_wwise_log.txt"

// LogDir := dir, LogPath := dir joined with the file name by the platform's
// separator rule. Called by KV_INIT_LOG with the log writer's lock held.
void kivraApplyLogPathRule(const char* dir);

// The platform's default log-file path (a file path, not a directory),
// creating its directory on the way where the platform has one.
std::string getExternalStoragePath();

// stat() succeeds and the directory bit (040000) is set.
bool directoryExists(const std::string& directoryPath);
// mkdir(directoryPath, 0755) (_mkdir on Windows), the last component only; the
// outcome goes to the platform's system log where it has one (Android).
void createDirectory(const std::string& directoryPath);
