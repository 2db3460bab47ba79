// The Linux default log path: $HOME/.kivra, made with mode 0755 when missing.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>

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

TEST(PlatformLinux, RulesOfTheBuild) {
  EXPECT_STREQ(kivra::platform::name(), "linux");
  EXPECT_EQ(kivra::platform::pathSeparator(), '/');
  // The pthread_t as the stream writes it: unsigned decimal.
  std::ostringstream expected;
  expected << pthread_self();
  EXPECT_EQ(kivra::test::currentThreadId(), expected.str());
}

TEST(PlatformLinux, DefaultPathUnderHomeIsCreatedOnce) {
  TempDir home("platform-home");
  ScopedEnv env("HOME", home.path().c_str());
  const std::string dir = home.path() + "/.kivra";
  ASSERT_FALSE(fs::exists(dir));

  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
  ASSERT_TRUE(directoryExists(dir));
  struct stat info;
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0755u & ~mask);

  // Again: the directory is reused, its content left alone.
  std::ofstream(dir + "/keep.txt") << "x";
  EXPECT_EQ(getExternalStoragePath(), dir + "/kivra_wwise_log.txt");
  EXPECT_TRUE(fs::exists(dir + "/keep.txt"));
}

TEST(PlatformLinux, UnsetHomeGivesTheBareName) {
  ScopedEnv env("HOME", nullptr);
  EXPECT_EQ(getExternalStoragePath(), "kivra_wwise_log.txt");
}

TEST(PlatformLinux, DirectoryHelpers) {
  TempDir base("platform-dirs");
  const std::string file = base.path() + "/plain";
  std::ofstream(file) << "x";
  EXPECT_TRUE(directoryExists(base.path()));
  EXPECT_FALSE(directoryExists(file));
  EXPECT_FALSE(directoryExists(base.path() + "/missing"));
  createDirectory(base.path() + "/missing/child");  // no parents are made
  EXPECT_FALSE(fs::exists(base.path() + "/missing"));
  createDirectory(base.path() + "/made");
  EXPECT_TRUE(directoryExists(base.path() + "/made"));
}
