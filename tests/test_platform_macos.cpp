// The macOS rules: pointer-form thread ids and always the bare default name.
#include <gtest/gtest.h>
#include <pthread.h>

#include <filesystem>
#include <string>

#include "KivraCommLogPath.h"
#include "TestSupport.h"
#include "platform/KivraCommPlatform.h"
#include "test_log_support.h"
#include "test_platform_env.h"

namespace fs = std::filesystem;
using kivra::test::ScopedEnv;
using kivra::test::TempDir;

TEST(PlatformMacOS, RulesOfTheBuild) {
  EXPECT_STREQ(kivra::platform::name(), "macos");
  EXPECT_EQ(kivra::platform::pathSeparator(), '/');
  std::ostringstream expected;
  expected << reinterpret_cast<const void*>(pthread_self());
  const std::string id = kivra::test::currentThreadId();
  EXPECT_EQ(id, expected.str());
  EXPECT_EQ(id.compare(0, 2, "0x"), 0) << id;
}

TEST(PlatformMacOS, DefaultPathIsAlwaysTheBareName) {
  TempDir dir("platform-macos");
  ScopedEnv home("HOME", dir.path().c_str());
  ScopedEnv storage("EXTERNAL_STORAGE", dir.path().c_str());
  ScopedEnv local("LOCALAPPDATA", dir.path().c_str());
  EXPECT_EQ(getExternalStoragePath(), "kivra_wwise_log.txt");
  EXPECT_TRUE(fs::is_empty(dir.path()));  // touches no directory
  ScopedEnv noHome("HOME", nullptr);
  EXPECT_EQ(getExternalStoragePath(), "kivra_wwise_log.txt");
}
