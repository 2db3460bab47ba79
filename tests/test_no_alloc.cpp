// Every audio path, in steady state, allocates nothing: this binary replaces
// the global allocation functions and counts calls while a path runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "ReplacedNew.h"
#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

// Called through a pointer so that the compiler cannot pair the replaced
// operators with malloc and free and warn about a mismatch.
void (*volatile g_free)(void*) = std::free;

void release(void* p) { g_free(p); }

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* allocate(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  void* p = std::malloc(size == 0 ? 1 : size);
  return p;
}

void* allocateAligned(std::size_t size, std::size_t align) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (align < sizeof(void*)) align = sizeof(void*);
  // Over-allocate and keep the raw pointer just below the aligned block.
  void* raw = std::malloc(size + align + sizeof(void*));
  if (raw == nullptr) return nullptr;
  std::uintptr_t base = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
  std::uintptr_t aligned = (base + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}

void releaseAligned(void* p) {
  if (p != nullptr) release(reinterpret_cast<void**>(p)[-1]);
}

// Counts the allocations made while it lives.
class AllocationWindow {
 public:
  AllocationWindow() {
    g_allocations = 0;
    g_counting = true;
  }
  ~AllocationWindow() { g_counting = false; }
  long count() const { return g_allocations.load(); }
};

}  // namespace

KIVRA_REPLACE_GLOBAL_NEW(allocate, release)
void* operator new(std::size_t size, std::align_val_t align) {
  void* p = allocateAligned(size, static_cast<std::size_t>(align));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocateAligned(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocateAligned(size, static_cast<std::size_t>(align));
}
void operator delete(void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  releaseAligned(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  releaseAligned(p);
}

namespace {

constexpr int kBlocks = 5000;

class NoAllocTest : public BridgeTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    if (!GetParam()) KV_SHUTDOWN_LOG();  // the log closed, or left open
    media_.setKeepSamples(false);        // the stand-in engine would copy otherwise
    wrapper_->setTransferRecordDataState(true);
    wrapper_->setTransferPlayerDataState(true);
    wrapper_->setReceiveOpenIDWithGameObjectID(1, "a-channel-id-longer-than-small-strings", 42);
  }
};

}  // namespace

// The counter itself must see allocations, or a zero below would prove nothing.
TEST(NoAllocSelfCheck, TheCounterSeesAllocations) {
  AllocationWindow window;
  std::string* s = new std::string(100, 'x');
  int* a = new (std::align_val_t(64)) int[4];
  ::operator delete[](a, std::align_val_t(64));
  delete s;
  EXPECT_GE(window.count(), 3);
}

TEST_P(NoAllocTest, UplinkRecordPullAndPush) {
  W& w = *wrapper_;
  EngineFrame f(480, 2);
  FloatBufferProxy p(1024, 2);
  f.count(1);
  ASSERT_TRUE(w.onRecordAudioFrame("room", f.frame));  // warm-up
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));
  AllocationWindow window;
  for (int k = 0; k < kBlocks; ++k) {
    if (!w.onRecordAudioFrame("room", f.frame)) break;
    if (!w.popOriginRecordAudioFrame(&p)) break;
    if (!w.pushRecordAudioFrameAfterEffect(&p)) break;
  }
  EXPECT_EQ(window.count(), 0);
  EXPECT_EQ(media_.pushCount(), static_cast<size_t>(kBlocks + 1));
}

TEST_P(NoAllocTest, DownlinkTalkerFrameAndPullByUid) {
  W& w = *wrapper_;
  const char* id = "a-channel-id-longer-than-small-strings";
  EngineFrame f(480, 2);
  FloatBufferProxy p(1024, 2);
  f.count(1);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing(id, 42, f.frame));
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, id, 42));
  int pulled = 0;
  AllocationWindow window;
  for (int k = 0; k < kBlocks; ++k) {
    w.onPlaybackAudioFrameBeforeMixing(id, 42, f.frame);
    w.onPlaybackAudioFrameBeforeMixing(id, 43, f.frame);  // unknown talker
    pulled += w.popOriginPlayerAudioFrameByUid(&p, id, 42) ? 1 : 0;
  }
  EXPECT_EQ(window.count(), 0);
  EXPECT_EQ(pulled, kBlocks);
}

TEST_P(NoAllocTest, ReverseDirectPushAndPlayback) {
  W& w = *wrapper_;
  FloatBufferProxy p(1024, 2);
  p.setFilled(480);
  EngineFrame f(480, 2);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  AllocationWindow window;
  for (int k = 0; k < kBlocks; ++k) {
    w.pushReverseAudioFrameAfterEffect(&p);
    w.onPlaybackAudioFrame("room", f.frame);
  }
  EXPECT_EQ(window.count(), 0);
  EXPECT_EQ(media_.pushCount(), static_cast<size_t>(kBlocks + 1));
}

TEST_P(NoAllocTest, ReverseBufferedPushAndPlayback) {
  W& w = *wrapper_;
  Peer::setDirectReverse(w, false);
  FloatBufferProxy p(1024, 2);
  p.setFilled(480);
  EngineFrame f(480, 2);
  for (int k = 0; k < 8; ++k) ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  ASSERT_TRUE(w.onPlaybackAudioFrame("room", f.frame));  // playing from here on
  int played = 0;
  AllocationWindow window;
  for (int k = 0; k < kBlocks; ++k) {
    w.pushReverseAudioFrameAfterEffect(&p);
    played += w.onPlaybackAudioFrame("room", f.frame) ? 1 : 0;
  }
  EXPECT_EQ(window.count(), 0);
  EXPECT_EQ(played, kBlocks);
}

INSTANTIATE_TEST_SUITE_P(LogClosedAndOpen, NoAllocTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("LogOpen") : std::string("LogClosed");
                         });

// The latency controller's corrections run on the audio threads too: a
// crossfade, quiet removals, silence inserted and a stale queue replaced.
TEST(NoAllocLatencyController, EveryCorrectionRunsWithoutAllocating) {
  KivraCommCircularBuffer queue(19200), reverse(19200);
  KivraCommLatencyController take(KivraCommLatencyController::Consumer::TakeAvailable, 2);
  KivraCommLatencyController fixed(KivraCommLatencyController::Consumer::FixedBlocks, 2);
  std::vector<int16_t> loud(960, 12000), quiet(2048, 3), out(2048);
  KivraCommLatencyController::Action action;
  KivraCommLatencyController::StaleEvent stale;
  AllocationWindow window;
  // A standing backlog of loud audio: removed with a crossfade.
  for (int k = 0; k < 12; ++k) take.push(queue, loud.data(), 960, &stale);
  for (int k = 0; k < 400; ++k) {
    take.push(queue, loud.data(), 960, &stale);
    take.pull(queue, out.data(), std::min(queue.GetAvailableFrames() / 2, 480) * 2, 960, &action);
  }
  // Then of quiet audio: removed in quiet stretches.
  for (int k = 0; k < 12; ++k) take.push(queue, quiet.data(), 960, &stale);
  for (int k = 0; k < 400; ++k) {
    take.push(queue, quiet.data(), 960, &stale);
    take.pull(queue, out.data(), std::min(queue.GetAvailableFrames() / 2, 480) * 2, 960, &action);
  }
  // Nobody pulls: the queue goes stale and new audio replaces the oldest.
  for (int k = 0; k < 100; ++k) take.push(queue, quiet.data(), 960, &stale);
  take.pull(queue, out.data(), 960, 960, &action);
  // A fixed-block consumer running low on quiet audio: silence inserted.
  for (int k = 0; k < 12; ++k) fixed.push(reverse, quiet.data(), 2048, &stale);
  for (int k = 0; k < 3000; ++k) {
    if (k % 2 == 0) fixed.push(reverse, quiet.data(), 1900, &stale);  // 950 frames per 960
    fixed.pull(reverse, out.data(), 960, 960, &action);
  }
  const long allocations = window.count();
  EXPECT_GT(take.stats().crossfadeRemovals, 0);
  EXPECT_GT(take.stats().quietRemovals, 0);
  EXPECT_GT(take.stats().staleEvents, 0);
  EXPECT_GT(fixed.stats().quietInsertions, 0);
  EXPECT_EQ(allocations, 0);
}
