// KV_LOG runs on real-time audio threads: writing a line must not touch the
// heap. The global allocation functions are replaced in this binary to count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "KivraCommLog.h"
#include "ReplacedNew.h"
#include "TestSupport.h"

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;

void* allocate(std::size_t size) {
  if (t_counting) ++t_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void release(void* p) { std::free(p); }
}  // namespace

KIVRA_REPLACE_GLOBAL_NEW(allocate, release)

TEST(LogAllocations, WritingLinesUsesNoHeap) {
  kivra::test::TempDir dir("log-alloc");
  KV_INIT_LOG(dir.path().c_str());
  const std::string text(300, 't');
  KV_LOG("warm up %d", 0);  // first use may set up locale facets

  t_counting = true;
  t_allocations = 0;
  for (int i = 0; i < 1000; ++i) {
    KV_LOG("line %d of %s %u %lld %p", i, text.c_str(), 7u, -5LL, static_cast<void*>(&dir));
  }
  const long counted = t_allocations;
  t_counting = false;
  KV_SHUTDOWN_LOG();

  EXPECT_EQ(counted, 0);
  EXPECT_EQ(kivra::test::logMessages(dir.path() + "/kivra_wwise_log.txt").size(), 1001u);

  // The counter does see allocations, so zero above means something.
  t_counting = true;
  t_allocations = 0;
  long seen = 0;
  {
    std::string probe(100, 'p');
    seen = t_allocations;
  }
  t_counting = false;
  EXPECT_GE(seen, 1);
}
