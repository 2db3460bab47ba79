// Reverse: the mix Wwise renders goes to the AEC-reference track (direct
// mode) or replaces the engine's playback after buffering (buffered mode).
#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

const char* const kWait =
    "popReverseAudioFrameAfterEffect reverse audio frame wait for buffreing "
    "avaliable ";
const char* const kNotAvailable = "onPlaybackAudioFrame reverse data is not avaliable(";

// A rendered block whose frame i holds (base + i, -(base + i)) / 32768.
void render(FloatBufferProxy& p, int frames, int base) {
  for (int i = 0; i < frames; ++i) {
    p.channel(0)[i] = (base + i) / 32768.0f;
    p.channel(1)[i] = -(base + i) / 32768.0f;
  }
  p.setFilled(static_cast<uint16_t>(frames));
}

// What the 32767 scale makes of render()'s value v / 32768.
int16_t sent(int v) { return static_cast<int16_t>(v > 0 ? v - 1 : (v < 0 ? v + 1 : 0)); }

}  // namespace

TEST_F(BridgeTest, ReverseDirectSendsEachBlockToTheAecTrack) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  render(p, 480, 100);
  skipLog();
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_EQ(newLog(), Lines{"pushReverseAudioFrameAfterEffect reverse audio frame first push 960"});
  const auto frames = media_.pushedFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].trackId, kAecTrack);
  EXPECT_EQ(frames[0].frame.samplesPerChannel, 480);
  EXPECT_EQ(frames[0].frame.channels, 2);
  EXPECT_EQ(frames[0].frame.samplesPerSec, 48000);
  EXPECT_EQ(frames[0].frame.bytesPerSample, 2);
  EXPECT_EQ(frames[0].frame.type, kivra::media::FRAME_TYPE_PCM16);
  EXPECT_EQ(frames[0].frame.renderTimeMs, 0);
  ASSERT_EQ(frames[0].samples.size(), 960u);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(frames[0].samples[2 * i], sent(100 + i));
    ASSERT_EQ(frames[0].samples[2 * i + 1], sent(-(100 + i)));
  }
  EXPECT_EQ(Peer::totalReverse(w), 960);
  EXPECT_EQ(p.channel(0)[0], 100 / 32768.0f);  // the Wwise buffer is left as it was
  EXPECT_EQ(p.markStateCalls() + p.setFilledFramesCalls(), 0);

  // The engine's playback frame passes untouched.
  EngineFrame f(480, 2);
  f.count(5);
  EXPECT_TRUE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_EQ(f.samples[0], 5);
  EXPECT_EQ(f.samples[959], 964);

  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_TRUE(newLog().empty());
  EXPECT_EQ(Peer::totalReverse(w), 1920);
}

TEST_F(BridgeTest, ReverseNeedsTheUplinkSwitchAndValidFrames) {
  W& w = *wrapper_;
  FloatBufferProxy p(1024, 2);
  render(p, 480, 1);
  skipLog();
  EXPECT_FALSE(w.pushReverseAudioFrameAfterEffect(&p));  // uplink off
  w.setTransferRecordDataState(true);
  skipLog();
  p.setFilled(0);
  EXPECT_FALSE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_FALSE(w.pushReverseAudioFrameAfterEffect(nullptr));
  EXPECT_EQ(media_.pushCount(), 0u);
  EXPECT_EQ(Peer::totalReverse(w), 0);
  EXPECT_FALSE(Peer::firstReversePush(w));
  EXPECT_TRUE(newLog().empty());
}

TEST_F(BridgeTest, ReverseFirstPushLineReturnsAfterEachReset) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  render(p, 256, 1);
  skipLog();
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  w.resetReverseState();
  render(p, 100, 1);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_EQ(newLog(),
            (Lines{"pushReverseAudioFrameAfterEffect reverse audio frame first push 512",
                   "pushReverseAudioFrameAfterEffect reverse audio frame first push 200"}));
  EXPECT_EQ(Peer::totalReverse(w), 200);
}

TEST_F(BridgeTest, ReverseDirectWithoutAMediaEngineSendsNothing) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  m_kivra_media_engine = nullptr;
  FloatBufferProxy p(1024, 2);
  render(p, 480, 1);
  EXPECT_FALSE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_EQ(media_.pushCount(), 0u);
  EXPECT_EQ(p.channel(0)[0], 1 / 32768.0f);
  // Buffered mode needs no media engine.
  Peer::setDirectReverse(w, false);
  EXPECT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
}

TEST_F(BridgeTest, ReverseBufferedWaitsForSixFramesThenPlaysInOrder) {
  W& w = *wrapper_;
  Peer::setDirectReverse(w, false);
  w.setTransferRecordDataState(true);
  EngineFrame f(480, 2);

  // Nothing pushed yet: silence, false, no log.
  f.count(1);
  skipLog();
  EXPECT_FALSE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_TRUE(f.allZero());
  EXPECT_TRUE(newLog().empty());

  FloatBufferProxy p(1024, 2);
  int base = 1;
  for (int k = 0; k < 5; ++k, base += 480) {
    render(p, 480, base);
    ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
    EXPECT_EQ(media_.pushCount(), 0u);  // buffered: nothing goes to a track
    skipLog();
    f.count(1);
    EXPECT_FALSE(w.onPlaybackAudioFrame("c", f.frame));
    EXPECT_TRUE(f.allZero());
    // The first waiting block writes both lines; the next ones are counted.
    const std::string n = std::to_string((k + 1) * 960);
    if (k == 0) {
      EXPECT_EQ(newLog(), (Lines{kWait + n, kNotAvailable + n + ")"}));
    } else {
      EXPECT_TRUE(newLog().empty()) << k;
    }
  }
  // 5760 samples = 6 whole frames: playing starts.
  render(p, 480, base);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  skipLog();
  EXPECT_TRUE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_EQ(newLog(), Lines{"popReverseAudioFrameAfterEffect reverse audio frame first consume "
                            "avaliable 5760(5760)"});
  EXPECT_TRUE(Peer::firstReversePop(w));
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(f.samples[2 * i], sent(1 + i));
    ASSERT_EQ(f.samples[2 * i + 1], sent(-(1 + i)));
  }
  for (int k = 1; k < 6; ++k) {
    ASSERT_TRUE(w.onPlaybackAudioFrame("c", f.frame));
    ASSERT_EQ(f.samples[0], sent(1 + 480 * k));
  }
  EXPECT_TRUE(newLog().empty());

  // A second later, an underrun: silence, false, and buffering starts over.
  // The waiting state is over (playing), so its count is written; the
  // not-available state has been quiet for a second, so its count comes
  // before its new first line.
  clock_.advanceMs(1000);
  f.count(1);
  EXPECT_FALSE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_TRUE(f.allZero());
  EXPECT_EQ(newLog(),
            (Lines{"repeated 4 times in 0 ms, not written: " + std::string(kWait) + "960",
                   "repeated 4 times in 0 ms, not written: " + std::string(kNotAvailable) + "960)",
                   std::string(kNotAvailable) + "0)"}));
  EXPECT_FALSE(Peer::firstReversePop(w));
  // Waiting again is a new state; not-available goes on (counted).
  render(p, 480, 1);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  skipLog();
  EXPECT_FALSE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_EQ(newLog(), (Lines{std::string(kWait) + "960"}));
}

TEST_F(BridgeTest, ReverseBufferedOverflowIsCountedButDropped) {
  W& w = *wrapper_;
  Peer::setDirectReverse(w, false);
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  render(p, 480, 1);
  for (int k = 0; k < 20; ++k) ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  skipLog();
  EXPECT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_EQ(newLog(), Lines{"pushReverseAudioFrameAfterEffect reverse float audio frame overflow "
                            "max(19201), avail(19200), drop(960)"});
  EXPECT_EQ(Peer::totalReverse(w), 21 * 960);
  EXPECT_EQ(Peer::playbackProc(w).GetAvailableFrames(), 19200);
}

TEST_F(BridgeTest, ReverseBufferedStopsWithTheUplinkAndOnEmptyFrames) {
  W& w = *wrapper_;
  Peer::setDirectReverse(w, false);
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  render(p, 480, 1);
  for (int k = 0; k < 8; ++k) ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&p));
  EngineFrame f(480, 2);
  ASSERT_TRUE(w.onPlaybackAudioFrame("c", f.frame));

  // A frame without samples neither plays nor disturbs the queue.
  EngineFrame empty(0, 2);
  skipLog();
  EXPECT_FALSE(w.onPlaybackAudioFrame("c", empty.frame));
  EXPECT_FALSE(w.popReverseAudioFrameAfterEffect(empty.frame));
  EXPECT_TRUE(newLog().empty());
  EXPECT_TRUE(Peer::firstReversePop(w));
  EXPECT_EQ(Peer::playbackProc(w).GetAvailableFrames(), 7 * 960);

  w.setTransferRecordDataState(false);
  f.count(1);
  EXPECT_FALSE(w.onPlaybackAudioFrame("c", f.frame));
  EXPECT_TRUE(f.allZero());
  EXPECT_FALSE(w.pushReverseAudioFrameAfterEffect(&p));
  EXPECT_FALSE(w.popReverseAudioFrameAfterEffect(f.frame));
  EXPECT_EQ(Peer::playbackProc(w).GetAvailableFrames(), 7 * 960);
  EXPECT_EQ(newLog(), Lines{"setTransferRecordDataState enable 0"});
}
