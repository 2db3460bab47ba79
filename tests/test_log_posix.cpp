// Descriptor accounting of the log stream, read from /proc/self/fd.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "KivraCommLog.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

int openDescriptors() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

}  // namespace

TEST(LogDescriptors, ReInitAndShutdownLeakNoDescriptor) {
  KV_SHUTDOWN_LOG();
  kivra::test::TempDir a("log-fd-a"), b("log-fd-b");
  const int before = openDescriptors();
  KV_INIT_LOG(a.path().c_str());
  EXPECT_EQ(openDescriptors(), before + 1);
  for (int i = 0; i < 50; ++i) {
    KV_INIT_LOG((i % 2 == 0 ? b : a).path().c_str());
    KV_LOG("round %d", i);
  }
  EXPECT_EQ(openDescriptors(), before + 1);  // only the current stream is open
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(openDescriptors(), before);

  // A stream that failed to open holds no descriptor either.
  KV_INIT_LOG((a.path() + "/missing").c_str());
  EXPECT_EQ(openDescriptors(), before);
  KV_SHUTDOWN_LOG();
}
