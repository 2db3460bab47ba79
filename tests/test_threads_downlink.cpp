// Two threads on one downlink talker: the engine queues the talker's 10 ms
// blocks while Wwise pulls them into 1024-frame buffers and pushes the
// rendered result back to the AEC-reference track.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

constexpr int kBlocks = 1500;
constexpr int kBlockSamples = 960;
constexpr int kStallAt = 500;
constexpr int kStallBlocks = 35;

// Any int16 value survives int16 -> float exactly; sample 0 names the block.
int16_t sampleOf(int block, int j) {
  if (j == 0) return static_cast<int16_t>(block);
  return static_cast<int16_t>((block * 7 + j * 13) % 65536 - 32768);
}

int16_t throughWwise(int16_t v) {  // 32767 / 32768, truncated toward zero
  return static_cast<int16_t>(v > 0 ? v - 1 : (v < 0 ? v + 1 : 0));
}

struct Stall {
  std::mutex m;
  std::condition_variable cv;
  bool requested = false;
  bool paused = false;
  bool released = false;
};

}  // namespace

TEST_F(BridgeTest, DownlinkTalkerAcrossThreadsLosesOnlyWholeLoggedBlocks) {
  W& w = *wrapper_;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    w.setTransferPlayerDataState(true);
    w.setTransferRecordDataState(true);  // lets the rendered result go back
    w.setReceiveOpenIDWithGameObjectID(99, "room-1", 42);
  }
  skipLog();
  std::atomic<bool> engineDone{false};
  std::atomic<int> refused{0};
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
        while (Peer::userDepth(w, "room-1", 42) > 2 * kBlockSamples) {
          std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
      }
      for (int j = 0; j < kBlockSamples; ++j) f.samples[j] = sampleOf(k, j);
      if (!w.onPlaybackAudioFrameBeforeMixing("room-1", 42, f.frame)) ++refused;
      // Another talker of the same channel, never registered, comes in between.
      w.onPlaybackAudioFrameBeforeMixing("room-1", 43, f.frame);
      if (k == kStallAt + kStallBlocks) {
        std::lock_guard<std::mutex> lock(stall.m);
        stall.released = true;
        stall.cv.notify_all();
      }
      if (k % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    engineDone = true;
  });

  std::vector<int16_t> received;  // written by the Wwise thread only
  std::thread wwise([&] {
    FloatBufferProxy p(1024, 2);
    received.reserve(static_cast<size_t>(kBlocks) * kBlockSamples);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(stall.m);
        if (stall.requested && !stall.paused) {
          stall.paused = true;
          stall.cv.notify_all();
          stall.cv.wait(lock, [&] { return stall.released; });
        }
      }
      const bool done = engineDone;
      bool pulled = false;
      {
        std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
        pulled = w.popOriginPlayerAudioFrameByUid(&p, "room-1", 42);
        if (pulled) {
          for (int i = 0; i < p.FilledFrames(); ++i) {
            received.push_back(static_cast<int16_t>(p.channel(0)[i] * 32768.0f));
            received.push_back(static_cast<int16_t>(p.channel(1)[i] * 32768.0f));
          }
          w.pushReverseAudioFrameAfterEffect(&p);
        }
      }
      if (!pulled) {
        if (done) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
  });
  engine.join();
  wwise.join();

  ASSERT_EQ(received.size() % kBlockSamples, 0u);
  const int delivered = static_cast<int>(received.size() / kBlockSamples);
  int previous = -1;
  for (int c = 0; c < delivered; ++c) {
    const int16_t* chunk = received.data() + static_cast<size_t>(c) * kBlockSamples;
    const int block = chunk[0];
    ASSERT_GT(block, previous) << "chunk " << c;
    ASSERT_LT(block, kBlocks);
    for (int j = 0; j < kBlockSamples; ++j)
      ASSERT_EQ(chunk[j], sampleOf(block, j)) << "block " << block << " sample " << j;
    previous = block;
  }
  const int lost = kBlocks - delivered;
  EXPECT_GE(lost, kStallBlocks - 20);
  EXPECT_EQ(refused.load(), lost);
  const std::string head =
      "onPlaybackAudioFrameBeforeMixing playback uid 42 data overflow "
      "max(19201), avail(";
  const std::string tail = "), drop(960)";
  // Each drop is in the log: written, or counted in a summary of repeats
  // (the reset ends the state and writes the last one).
  w.resetPlayState();
  const int64_t logged = kivra::test::occurrences(newLog(), [&](const std::string& line) {
    return line.compare(0, head.size(), head) == 0 && line.size() > tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  });
  EXPECT_EQ(logged, lost);

  // The rendered blocks reached the AEC-reference track in the same order.
  const std::vector<int16_t> back = media_.samplesOfTrack(kAecTrack);
  ASSERT_EQ(back.size(), received.size());
  for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], throughWwise(received[i])) << i;
}
