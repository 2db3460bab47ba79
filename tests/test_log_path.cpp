// The log-file path rule with the build's separator, and KV_GET_LOG_DIR.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "KivraCommLog.h"
#include "KivraCommLogPath.h"
#include "TestSupport.h"
#include "platform/KivraCommPlatform.h"

namespace fs = std::filesystem;

namespace {

bool isWindows() { return std::string(kivra::platform::name()) == "windows"; }

std::string pathFor(const std::string& dir) {
  kivraApplyLogPathRule(dir.c_str());
  return LogPath;
}

}  // namespace

// Runs first in this binary: nothing has been opened yet.
TEST(LogPath, DirectoryIsEmptyBeforeAnyInit) {
  EXPECT_EQ(KV_GET_LOG_DIR(), "");
  EXPECT_EQ(LogPath, "");
  EXPECT_EQ(logFile, nullptr);
}

TEST(LogPath, OnlyThePlatformSeparatorCounts) {
  EXPECT_STREQ(kKivraLogFileName, "kivra_wwise_log.txt");
  if (isWindows()) {
    EXPECT_EQ(kivra::platform::pathSeparator(), '\\');
    EXPECT_EQ(pathFor("C:\\logs"), "C:\\logs\\kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("C:\\logs\\"), "C:\\logs\\kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("C:/logs/"), "C:/logs/\\kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("C:/logs"), "C:/logs\\kivra_wwise_log.txt");
    EXPECT_EQ(pathFor(""), "\\kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("\\"), "\\kivra_wwise_log.txt");
  } else {
    EXPECT_EQ(kivra::platform::pathSeparator(), '/');
    EXPECT_EQ(pathFor("/data/logs"), "/data/logs/kivra_wwise_log.txt");
    EXPECT_EQ(LogDir, "/data/logs");
    EXPECT_EQ(pathFor("/data/logs/"), "/data/logs/kivra_wwise_log.txt");
    EXPECT_EQ(LogDir, "/data/logs/");
    EXPECT_EQ(pathFor("C:\\logs\\"), "C:\\logs\\/kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("/data//"), "/data//kivra_wwise_log.txt");  // one separator added at most
    EXPECT_EQ(pathFor(""), "/kivra_wwise_log.txt");
    EXPECT_EQ(pathFor("/"), "/kivra_wwise_log.txt");
  }
  EXPECT_EQ(pathFor("relative"),
            std::string("relative") + (isWindows() ? "\\" : "/") + "kivra_wwise_log.txt");
  pathFor("");
  EXPECT_EQ(KV_GET_LOG_DIR(), "");
}

TEST(LogPath, InitKeepsTheDirectoryExactlyAndShutdownKeepsBoth) {
  kivra::test::TempDir dir("log-path");
  const char sep = kivra::platform::pathSeparator();
  const std::string withSep = dir.path() + sep;
  const std::string expectedFile = dir.path() + sep + "kivra_wwise_log.txt";

  KV_INIT_LOG(dir.path().c_str());
  EXPECT_EQ(KV_GET_LOG_DIR(), dir.path());
  EXPECT_EQ(LogPath, expectedFile);
  KV_LOG("plain");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(KV_GET_LOG_DIR(), dir.path());
  EXPECT_EQ(LogPath, expectedFile);
  EXPECT_EQ(kivra::test::logMessages(expectedFile), std::vector<std::string>{"plain"});

  // With a trailing separator: the same file, the argument kept as given.
  KV_INIT_LOG(withSep.c_str());
  EXPECT_EQ(KV_GET_LOG_DIR(), withSep);
  EXPECT_EQ(LogPath, expectedFile);
  KV_LOG("trailing");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(KV_GET_LOG_DIR(), withSep);
  EXPECT_EQ(kivra::test::logMessages(expectedFile), std::vector<std::string>{"trailing"});
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);
}
