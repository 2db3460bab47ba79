// The Windows rules: decimal thread ids and %LOCALAPPDATA%/Kivra, made silently.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "KivraCommLogPath.h"
#include "TestSupport.h"
#include "platform/KivraCommPlatform.h"
#include "test_log_support.h"
#include "test_platform_env.h"

namespace fs = std::filesystem;
using kivra::test::ScopedEnv;
using kivra::test::TempDir;

TEST(PlatformWindows, RulesOfTheBuild) {
  EXPECT_STREQ(kivra::platform::name(), "windows");
  EXPECT_EQ(kivra::platform::pathSeparator(), '\\');
  EXPECT_STREQ(kivra::platform::separatorAndLogFileName(), "\\kivra_wwise_log.txt");
  const std::string id = kivra::test::currentThreadId();
  EXPECT_TRUE(kivra::test::isThreadIdOfPlatform(id)) << id;
  EXPECT_NE(id, "0");
}

TEST(PlatformWindows, DefaultPathUnderLocalAppDataIsCreated) {
  TempDir base("platform-windows");
  ScopedEnv env("LOCALAPPDATA", base.path().c_str());
  const std::string dir = base.path() + "/Kivra";
  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
  EXPECT_TRUE(fs::is_directory(dir));
  EXPECT_TRUE(directoryExists(dir));
  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
}

TEST(PlatformWindows, PlainFileCountsAsExisting) {
  TempDir base("platform-windows-file");
  ScopedEnv env("LOCALAPPDATA", base.path().c_str());
  std::ofstream(base.path() + "/Kivra") << "a file";
  EXPECT_EQ(getExternalStoragePath(), base.path() + "/Kivra/kivra_wwise_log.txt");
  EXPECT_TRUE(fs::is_regular_file(base.path() + "/Kivra"));
  EXPECT_FALSE(directoryExists(base.path() + "/Kivra"));
}

TEST(PlatformWindows, UnsetLocalAppDataGivesTheBareName) {
  ScopedEnv env("LOCALAPPDATA", nullptr);
  EXPECT_EQ(getExternalStoragePath(), "kivra_wwise_log.txt");
}
