// Uplink: recorded frames queued and silenced, pulled into Wwise, pushed back
// after the effects and sent to the direct custom track.
#include <cmath>
#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

const char* const kOverflow =
    "[zn] onRecordAudioFrame channelId room-1 record data is overflow, check why not consume";

}  // namespace

TEST_F(BridgeTest, UplinkOffSilencesTheEngineFrameAndQueuesNothing) {
  EngineFrame f(480, 2);
  f.count(1);
  skipLog();
  EXPECT_FALSE(wrapper_->onRecordAudioFrame("room-1", f.frame));
  EXPECT_TRUE(f.allZero());
  EXPECT_EQ(Peer::recOrg(*wrapper_).GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::totalRecord(*wrapper_), 0);

  FloatBufferProxy p(1024, 2);
  p.fill(0.75f);
  p.setFilled(480);
  EXPECT_FALSE(wrapper_->popOriginRecordAudioFrame(&p));
  EXPECT_FALSE(wrapper_->pushRecordAudioFrameAfterEffect(&p));
  EXPECT_EQ(p.channel(0)[0], 0.75f);  // untouched
  EXPECT_EQ(p.markStateCalls() + p.setFilledFramesCalls(), 0);
  EXPECT_EQ(media_.pushCount(), 0u);
  EXPECT_TRUE(newLog().empty());
}

TEST_F(BridgeTest, UplinkDeliversEverythingQueuedUpToTheWwiseCapacity) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  EngineFrame f(480, 2);
  f.count(-480);
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  EXPECT_TRUE(f.allZero());  // the engine's own copy leaves silent
  EXPECT_EQ(Peer::totalRecord(w), 960);

  FloatBufferProxy p(1024, 2);
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(p.FilledFrames(), 480);
  EXPECT_EQ(p.setFilledFramesCalls(), 1);
  EXPECT_EQ(p.markStateCalls(), 1);
  EXPECT_EQ(p.state(), 45);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(p.channel(0)[i], (-480 + 2 * i) / 32768.0f);
    ASSERT_EQ(p.channel(1)[i], (-480 + 2 * i + 1) / 32768.0f);
  }
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
}

TEST_F(BridgeTest, UplinkSmallWwiseBufferLeavesTheRestQueuedInOrder) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  EngineFrame f(480, 2);
  f.count(0);
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  FloatBufferProxy p(256, 2);
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(p.FilledFrames(), 256);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 448);
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(p.FilledFrames(), 224);
  EXPECT_EQ(p.channel(0)[0], 512 / 32768.0f);  // continues where the first pull stopped
  EXPECT_EQ(p.channel(1)[223], 959 / 32768.0f);
}

TEST_F(BridgeTest, UplinkPullBeforeAnyRecordingOrWhenEmptyIsLogged) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  p.fill(0.5f);
  skipLog();
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(newLog(), Lines{"sdk not start save record data yet"});

  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  p.resetCallCounts();
  p.fill(0.5f);
  skipLog();
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&p));  // drained
  EXPECT_EQ(newLog(), Lines{"sdk record data is not ready"});
  EXPECT_EQ(p.markStateCalls() + p.setFilledFramesCalls(), 0);
  EXPECT_EQ(p.channel(0)[0], 0.5f);

  // A Wwise buffer of capacity 0 gets nothing either. Right away the line
  // would only be counted (the state goes on); a second later it starts a
  // new state, first saying how many were left out (none).
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  FloatBufferProxy none(0, 2);
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&none));
  EXPECT_TRUE(newLog().empty());
  clock_.advanceMs(1000);
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&none));
  EXPECT_EQ(newLog(), (Lines{"repeated 1 times in 0 ms, not written: sdk record data is not ready",
                             "sdk record data is not ready"}));
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 960);

  // A partial frame is never handed out.
  w.resetRecordState();
  EngineFrame odd(1, 1);
  odd.samples[0] = 5;
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", odd.frame));
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 1);

  // After a switch-over reset, the not-started line again.
  w.setTransferRecordDataState(false);
  w.setTransferRecordDataState(true);
  skipLog();
  EXPECT_FALSE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(newLog(), Lines{"sdk not start save record data yet"});
}

TEST_F(BridgeTest, UplinkFullQueueDropsWholeBlocks) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  EngineFrame f(480, 2);
  for (int k = 0; k < 20; ++k) {
    f.count(k * 960);
    ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  }
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 19200);
  skipLog();
  for (int k = 20; k < 22; ++k) {
    f.count(k * 960);
    EXPECT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
    EXPECT_TRUE(f.allZero());  // silenced even when dropped
  }
  // The first drop is written, the second counted.
  EXPECT_EQ(newLog(), (Lines{kOverflow}));
  EXPECT_EQ(Peer::totalRecord(w), 19200);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 19200);
  // What stays is the first twenty blocks, untouched.
  FloatBufferProxy p(9600, 2);
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  EXPECT_EQ(p.channel(0)[0], 0.0f);
  EXPECT_EQ(p.channel(1)[9599], static_cast<int16_t>(19199) / 32768.0f);
}

TEST_F(BridgeTest, UplinkEmptyOrBrokenEngineFramesQueueNothingAndLogNothing) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  skipLog();
  EngineFrame empty(0, 2);
  EXPECT_TRUE(w.onRecordAudioFrame("room-1", empty.frame));
  EngineFrame negative(480, 2);
  negative.count(1);
  negative.frame.channels = -2;
  negative.frame.samplesPerChannel = -480;  // product positive, still nonsense
  EXPECT_TRUE(w.onRecordAudioFrame("room-1", negative.frame));
  EXPECT_EQ(negative.samples[0], 1);  // not touched
  EngineFrame noBuffer(480, 2);
  noBuffer.frame.buffer = nullptr;
  EXPECT_TRUE(w.onRecordAudioFrame(nullptr, noBuffer.frame));
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::totalRecord(w), 0);
  EXPECT_TRUE(newLog().empty());
}

TEST_F(BridgeTest, UplinkPushSendsToTheDirectTrackAndSilencesWwise) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  // Four channels (quad): the surround pair joins the front pair at -3 dB,
  // and all four are silenced.
  FloatBufferProxy p(1024, 4);
  for (int i = 0; i < 480; ++i) {
    p.channel(0)[i] = i / 1024.0f;
    p.channel(1)[i] = -i / 1024.0f;
    p.channel(2)[i] = 0.5f;
    p.channel(3)[i] = -0.25f;
  }
  p.channel(0)[480] = 0.125f;  // beyond the valid frames
  p.setFilled(480);
  skipLog();
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));
  EXPECT_EQ(newLog(),
            Lines{"pushRecordAudioFrameAfterEffect first record effect data arrive, frames 480, "
                  "channel 4"});
  const auto frames = media_.pushedFrames();
  ASSERT_EQ(frames.size(), 1u);
  const auto& pf = frames[0];
  EXPECT_EQ(pf.trackId, kDirectTrack);
  EXPECT_EQ(pf.frame.type, kivra::media::FRAME_TYPE_PCM16);
  EXPECT_EQ(pf.frame.samplesPerChannel, 480);
  EXPECT_EQ(pf.frame.bytesPerSample, 2);
  EXPECT_EQ(pf.frame.channels, 2);
  EXPECT_EQ(pf.frame.samplesPerSec, 48000);
  EXPECT_EQ(pf.frame.renderTimeMs, 0);
  EXPECT_EQ(pf.frame.avsync_type, 0);
  EXPECT_EQ(pf.frame.presentationMs, 0);
  EXPECT_EQ(pf.frame.audioTrackNumber, 0);
  EXPECT_EQ(pf.frame.rtpTimestamp, 0u);
  ASSERT_EQ(pf.samples.size(), 960u);
  for (int i = 0; i < 480; ++i) {
    const double left = static_cast<double>(i / 1024.0f + 0.70710678f * 0.5f);
    const double right = static_cast<double>(-i / 1024.0f + 0.70710678f * -0.25f);
    // Within a step: the sums may round (or fuse) otherwise than these.
    ASSERT_NEAR(pf.samples[2 * i], std::trunc(left * 32767), 1) << i;
    ASSERT_NEAR(pf.samples[2 * i + 1], std::trunc(right * 32767), 1) << i;
  }
  for (int c = 0; c < 4; ++c)
    for (int i = 0; i < 480; ++i) ASSERT_EQ(p.channel(c)[i], 0.0f) << c << " " << i;
  EXPECT_EQ(p.channel(0)[480], 0.125f);
  EXPECT_EQ(Peer::totalEffect(w), 480);

  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));
  EXPECT_TRUE(newLog().empty());  // the first-arrival line only once
  EXPECT_EQ(Peer::totalEffect(w), 960);
}

TEST_F(BridgeTest, UplinkPushOfNoFramesStillSendsAnEmptyFrame) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  FloatBufferProxy p(1024, 2);
  p.setFilled(0);
  skipLog();
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));
  const auto frames = media_.pushedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].frame.samplesPerChannel, 0);
  EXPECT_EQ(Peer::totalEffect(w), 0);
  const Lines first{
      "pushRecordAudioFrameAfterEffect first record effect data arrive, frames 0, "
      "channel 2"};
  EXPECT_EQ(newLog(), (Lines{first[0], first[0]}));  // logged again: nothing counted yet
}

TEST_F(BridgeTest, UplinkPushWithoutAMediaEngineSendsNothingButStillSilences) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  m_kivra_media_engine = nullptr;
  FloatBufferProxy p(512, 2);
  p.fill(0.5f);
  p.setFilled(480);
  EXPECT_FALSE(w.pushRecordAudioFrameAfterEffect(&p));
  EXPECT_EQ(media_.pushCount(), 0u);
  for (int i = 0; i < 480; ++i) ASSERT_EQ(p.channel(0)[i], 0.0f);
  EXPECT_EQ(p.channel(0)[480], 0.5f);
  EXPECT_EQ(Peer::totalEffect(w), 480);
  EXPECT_FALSE(w.pushRecordAudioFrameAfterEffect(nullptr));
  EXPECT_FALSE(w.popOriginRecordAudioFrame(nullptr));
}

TEST_F(BridgeTest, UplinkEndToEndValuesThroughWwise) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  EngineFrame f(480, 2);
  for (size_t i = 0; i < f.samples.size(); ++i)
    f.samples[i] = static_cast<int16_t>(i % 2 ? -32768 + 37 * i : 32767 - 29 * i);
  const std::vector<int16_t> original = f.samples;
  ASSERT_TRUE(w.onRecordAudioFrame("room-1", f.frame));
  FloatBufferProxy p(1024, 2);
  ASSERT_TRUE(w.popOriginRecordAudioFrame(&p));
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&p));  // Wwise applied no effect
  const std::vector<int16_t> sent = media_.samplesOfTrack(kDirectTrack);
  ASSERT_EQ(sent.size(), 960u);
  for (size_t i = 0; i < 960; ++i) {
    const int s = original[i];
    const int want = s > 0 ? s - 1 : (s < 0 ? s + 1 : 0);  // 32767/32768 truncated
    ASSERT_EQ(sent[i], want) << i;
  }
}

TEST_F(BridgeTest, UplinkProcessedQueueIsReadIntoEngineFrames) {
  W& w = *wrapper_;
  EngineFrame f(480, 2);
  f.count(3);
  EXPECT_FALSE(w.popRecordAudioFrameAfterEffect(f.frame));  // switched off
  EXPECT_EQ(f.samples[0], 3);
  w.setTransferRecordDataState(true);
  EXPECT_FALSE(w.popRecordAudioFrameAfterEffect(f.frame));  // empty: silence
  EXPECT_TRUE(f.allZero());
  std::vector<int16_t> block(960);
  for (int i = 0; i < 960; ++i) block[i] = static_cast<int16_t>(i - 400);
  ASSERT_EQ(Peer::recProc(w).Push(block.data(), 960), 960);
  EXPECT_TRUE(w.popRecordAudioFrameAfterEffect(f.frame));
  EXPECT_EQ(f.samples, block);
}
