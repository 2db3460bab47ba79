// Two threads on the uplink: the engine records 10 ms blocks while Wwise
// pulls them into 1024-frame buffers and pushes them back. Every delivered
// sample must arrive once, in order, with its exact converted value, and
// blocks may only be lost whole, each loss logged.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

constexpr int kBlocks = 1500;
constexpr int kBlockSamples = 960;  // 480 frames x 2
constexpr int kStallAt = 700;       // Wwise stops pulling while 30 blocks arrive
constexpr int kStallBlocks = 30;

// Values stay in 1..32767, where the trip through Wwise maps v to v - 1 and
// so keeps them apart; sample 0 names the block.
int16_t sampleOf(int block, int j) {
  if (j == 0) return static_cast<int16_t>(1 + block);
  return static_cast<int16_t>(1 + (block * 7 + j * 13) % 32767);
}

// Lets the engine thread hold the Wwise thread still at one point.
struct Stall {
  std::mutex m;
  std::condition_variable cv;
  bool requested = false;
  bool paused = false;
  bool released = false;
};

}  // namespace

TEST_F(BridgeTest, UplinkAcrossThreadsLosesOnlyWholeLoggedBlocks) {
  W& w = *wrapper_;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    w.setTransferRecordDataState(true);
  }
  skipLog();
  std::atomic<bool> engineDone{false};
  std::atomic<int> engineFailures{0};
  Stall stall;

  std::thread engine([&] {
    EngineFrame f(480, 2);
    for (int k = 0; k < kBlocks; ++k) {
      if (k == kStallAt) {
        std::unique_lock<std::mutex> lock(stall.m);
        stall.requested = true;
        stall.cv.wait(lock, [&] { return stall.paused; });
      }
      // A device clock paces the engine: outside the stall it never runs more
      // than two blocks ahead of Wwise, as real devices on matched clocks do,
      // so the latency controller has no standing backlog to remove.
      if (k < kStallAt || k > kStallAt + kStallBlocks) {
        while (Peer::recDepth(w) > 2 * kBlockSamples) {
          std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
      }
      for (int j = 0; j < kBlockSamples; ++j) f.samples[j] = sampleOf(k, j);
      if (!w.onRecordAudioFrame("room-1", f.frame) || !f.allZero()) ++engineFailures;
      if (k == kStallAt + kStallBlocks) {
        std::lock_guard<std::mutex> lock(stall.m);
        stall.released = true;
        stall.cv.notify_all();
      }
      if (k % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    engineDone = true;
  });

  std::thread wwise([&] {
    FloatBufferProxy p(1024, 2);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(stall.m);
        if (stall.requested && !stall.paused) {
          stall.paused = true;
          stall.cv.notify_all();
          stall.cv.wait(lock, [&] { return stall.released; });
        }
      }
      const bool done = engineDone;  // read before pulling: nothing comes after
      bool pulled = false;
      {
        std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);  // as the front end does
        pulled = w.popOriginRecordAudioFrame(&p);
        if (pulled) w.pushRecordAudioFrameAfterEffect(&p);
      }
      if (!pulled) {
        if (done) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  });
  engine.join();
  wwise.join();
  EXPECT_EQ(engineFailures.load(), 0);

  const std::vector<int16_t> out = media_.samplesOfTrack(kDirectTrack);
  ASSERT_EQ(out.size() % kBlockSamples, 0u);
  const int delivered = static_cast<int>(out.size() / kBlockSamples);
  int previous = -1;
  for (int c = 0; c < delivered; ++c) {
    const int16_t* chunk = out.data() + static_cast<size_t>(c) * kBlockSamples;
    const int block = chunk[0];  // sampleOf(block, 0) - 1
    ASSERT_GT(block, previous) << "chunk " << c;
    ASSERT_LT(block, kBlocks);
    for (int j = 0; j < kBlockSamples; ++j)
      ASSERT_EQ(chunk[j], sampleOf(block, j) - 1) << "block " << block << " sample " << j;
    previous = block;
  }
  const int lost = kBlocks - delivered;
  EXPECT_GE(lost, kStallBlocks - 20);  // the queue holds 20 blocks
  const std::string overflow =
      "[zn] onRecordAudioFrame channelId room-1 record data is overflow, check why not consume";
  EXPECT_EQ(Peer::totalRecord(w), static_cast<int64_t>(delivered) * kBlockSamples);
  // Each drop is in the log: written, or counted in a summary of repeats
  // (the reset ends the state and writes the last one).
  w.resetRecordState();
  const int64_t logged =
      kivra::test::occurrences(newLog(), [&](const std::string& line) { return line == overflow; });
  EXPECT_EQ(logged, lost);
}
