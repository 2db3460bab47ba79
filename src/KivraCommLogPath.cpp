// The log-file path rule and the platform's default log path. Only the
// platform's separator and directory handling differ between builds; they
// come from the platform unit.
#include "KivraCommLogPath.h"

#include <cstdlib>

#include "KivraCommLog.h"
#include "platform/KivraCommPlatform.h"

const char* const kKivraLogFileName = "kivra_wwise_log.txt";

void kivraApplyLogPathRule(const char* dir) {
  LogDir = dir;
  LogPath = dir;
  // Only the platform's own separator counts; an empty path has none.
  if (!LogPath.empty() && LogPath.back() == kivra::platform::pathSeparator()) {
    LogPath += kKivraLogFileName;
  } else {
    LogPath += kivra::platform::separatorAndLogFileName();
  }
}

std::string getExternalStoragePath() {
  std::string path;
  const char* variable = kivra::platform::defaultLogEnvVar();
  const char* externalPath = variable != nullptr ? std::getenv(variable) : nullptr;
  if (externalPath != nullptr) {
    const std::string logDirPath = std::string(externalPath) + kivra::platform::defaultLogSubdir();
    kivra::platform::ensureDefaultLogDir(logDirPath);
    // The directory is used whatever the creation achieved; opening the file
    // is the caller's concern.
    path = logDirPath;
  }
  if (path.empty()) return kKivraLogFileName;
  // Always a forward slash here, also on Windows.
  return path + "/" + kKivraLogFileName;
}

bool directoryExists(const std::string& directoryPath) {
  return kivra::platform::directoryExists(directoryPath);
}

void createDirectory(const std::string& directoryPath) {
  kivra::platform::createDirectory(directoryPath);
}
