// The Android rules: signed thread ids, $EXTERNAL_STORAGE/KivraAudio, and the
// directory messages on the system log (priority info, tag "NativeCode").
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "KivraCommLog.h"
#include "KivraCommLogPath.h"
#include "TestSupport.h"
#include "platform/KivraCommAndroidSystemLog.h"
#include "platform/KivraCommPlatform.h"
#include "test_log_support.h"
#include "test_platform_env.h"

namespace fs = std::filesystem;
using kivra::platform::android_log::SystemLogRecord;
using kivra::platform::android_log::takeSystemLogRecords;
using kivra::test::ScopedEnv;
using kivra::test::TempDir;

namespace {

void expectOneRecord(const std::string& message) {
  const std::vector<SystemLogRecord> records = takeSystemLogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].priority, 4);
  EXPECT_EQ(records[0].tag, "NativeCode");
  EXPECT_EQ(records[0].message, message);
}

}  // namespace

TEST(PlatformAndroid, RulesOfTheBuild) {
  EXPECT_STREQ(kivra::platform::name(), "android");
  EXPECT_EQ(kivra::platform::pathSeparator(), '/');
  std::ostringstream expected;
  expected << static_cast<long>(pthread_self());
  EXPECT_EQ(kivra::test::currentThreadId(), expected.str());
}

TEST(PlatformAndroid, CreatedThenAlreadyExists) {
  takeSystemLogRecords();
  TempDir storage("platform-android");
  ScopedEnv env("EXTERNAL_STORAGE", storage.path().c_str());
  const std::string dir = storage.path() + "/KivraAudio";

  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
  expectOneRecord("Directory created: " + dir);
  EXPECT_TRUE(directoryExists(dir));
  struct stat info;
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0755u & ~mask);

  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
  expectOneRecord("Directory already exists: " + dir);
}

TEST(PlatformAndroid, FailedCreationStillGivesThePath) {
  takeSystemLogRecords();
  TempDir base("platform-android-fail");
  {
    const std::string missing = base.path() + "/missing";
    ScopedEnv env("EXTERNAL_STORAGE", missing.c_str());
    EXPECT_EQ(getExternalStoragePath(), missing + "/KivraAudio/kivra_wwise_log.txt");
    expectOneRecord("Failed to create directory: " + missing + "/KivraAudio");
    EXPECT_FALSE(fs::exists(missing));
  }
  {
    // A plain file where the directory should be.
    ScopedEnv env("EXTERNAL_STORAGE", base.path().c_str());
    std::ofstream(base.path() + "/KivraAudio") << "not a directory";
    EXPECT_EQ(getExternalStoragePath(), base.path() + "/KivraAudio/kivra_wwise_log.txt");
    expectOneRecord("Failed to create directory: " + base.path() + "/KivraAudio");
  }
}

TEST(PlatformAndroid, UnsetStorageGivesTheBareNameAndMakesNothing) {
  takeSystemLogRecords();
  ScopedEnv env("EXTERNAL_STORAGE", nullptr);
  EXPECT_EQ(getExternalStoragePath(), "kivra_wwise_log.txt");
  EXPECT_TRUE(takeSystemLogRecords().empty());
  EXPECT_FALSE(fs::exists("KivraAudio"));
}

TEST(PlatformAndroid, DirectoryMessagesNeverReachTheLogFile) {
  takeSystemLogRecords();
  TempDir logDir("platform-android-log"), storage("platform-android-storage");
  KV_INIT_LOG(logDir.path().c_str());
  {
    ScopedEnv env("EXTERNAL_STORAGE", storage.path().c_str());
    getExternalStoragePath();
    getExternalStoragePath();
    createDirectory(storage.path() + "/x/y");
  }
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(takeSystemLogRecords().size(), 3u);
  EXPECT_TRUE(kivra::test::readLines(logDir.path() + "/kivra_wwise_log.txt").empty());
}
