// Talkers mapped and unmapped through the exports give their memory back:
// after 10,000 of them the library's heap is where it was before. This
// binary replaces the global allocation functions to count live bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "ReplacedNew.h"
#include "TestFrames.h"
#include "TestSupport.h"
#include "test_handler_support.h"

namespace {

std::atomic<int64_t> g_liveBytes{0};
std::atomic<int64_t> g_peakBytes{0};

// Every block carries its size in a header of kHeader bytes (enough to keep
// the block's alignment for every type the library allocates).
constexpr std::size_t kHeader = 16;

void* allocate(std::size_t size) {
  void* raw = std::malloc(size + kHeader);
  if (raw == nullptr) return nullptr;
  std::memcpy(raw, &size, sizeof(size));
  const int64_t live =
      g_liveBytes.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
  int64_t peak = g_peakBytes.load();
  while (live > peak && !g_peakBytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(raw) + kHeader;
}

void release(void* p) {
  if (p == nullptr) return;
  void* raw = static_cast<char*>(p) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, raw, sizeof(size));
  g_liveBytes.fetch_sub(static_cast<int64_t>(size));
  std::free(raw);
}

}  // namespace

KIVRA_REPLACE_GLOBAL_NEW(allocate, release)

namespace {

constexpr int kBatch = 100;
constexpr int kBatches = 100;  // 10,000 talkers

unsigned uidOf(int batch, int i) { return 100000u + static_cast<unsigned>(batch * kBatch + i); }

// Maps a batch of talkers (each on its own game object), feeds each one
// engine frame, and unmaps them again, all through the exports.
void mapAndUnmapBatch(int batch, kivra::media::IAudioFrameObserver* observer) {
  kivra::test::StereoFrame block;
  kivra::media::AudioFrame& frame = block.frame;
  for (int i = 0; i < kBatch; ++i) {
    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(500000u + uidOf(batch, i), "room", uidOf(batch, i)),
              0);
    ASSERT_TRUE(observer->onPlaybackAudioFrameBeforeMixing("room", uidOf(batch, i), frame));
  }
  for (int i = 0; i < kBatch; ++i) ASSERT_EQ(KW_ClearReceiveOpenID("room", uidOf(batch, i)), 0);
  // Released: their frames are refused.
  ASSERT_FALSE(observer->onPlaybackAudioFrameBeforeMixing("room", uidOf(batch, 0), frame));
}

}  // namespace

TEST(TalkerMemory, TenThousandTalkersMappedAndUnmappedGiveTheirMemoryBack) {
  kivra::test::TempDir dir("talker-memory");
  kivra::standin::RecordingRtcEngine engine;
  engine.mediaEngine().setKeepSamples(false);
  int track = 0;
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<kivra::rtc::IRtcEngine*>(&engine), &track,
                                    dir.path().c_str()),
            0);
  kivra::media::IAudioFrameObserver* observer = engine.mediaEngine().observer();
  ASSERT_NE(observer, nullptr);
  KivraWwiseCommWrapper* bridge = KivraWwiseCommWrapperTestPeer::instance();
  ASSERT_NE(bridge, nullptr);

  // One batch first, so the registry's tables have grown to a batch.
  mapAndUnmapBatch(0, observer);
  const int64_t before = g_liveBytes.load();
  g_peakBytes.store(before);
  for (int batch = 1; batch <= kBatches; ++batch) {
    mapAndUnmapBatch(batch, observer);
    if (HasFatalFailure()) return;
  }
  const int64_t after = g_liveBytes.load();
  EXPECT_EQ(KivraWwiseCommWrapperTestPeer::userCount(*bridge), 0u);
  EXPECT_EQ(after, before) << "bytes kept after 10,000 talkers";
  // While a batch was mapped, its queues were there.
  EXPECT_GT(g_peakBytes.load() - before, static_cast<int64_t>(kBatch) * 19201 * 2);
  std::printf("live heap before %lld bytes, after 10,000 talkers %lld, peak %lld\n",
              static_cast<long long>(before), static_cast<long long>(after),
              static_cast<long long>(g_peakBytes.load()));
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
}
