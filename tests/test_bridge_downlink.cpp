// Downlink: one queue per (channel id, uid), filled by the engine before
// mixing and pulled by Wwise per game object.
#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

TEST_F(BridgeTest, DownlinkRegistrationLogsAndCreatesAnEmptyQueue) {
  W& w = *wrapper_;
  skipLog();
  w.setReceiveOpenIDWithGameObjectID(123456789012ull, "c", 7);
  EXPECT_EQ(newLog(), (Lines{"setReceiveOpenIDWithGameObjectID set channel id c and user id 7 for "
                             "game 123456789012",
                             " create buffer for uid 7, channel c"}));
  KivraCommCircularBuffer* b = Peer::userBuffer(w, "c", 7);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->length(), 19200u);
  EXPECT_EQ(b->capacity(), 19201u);
  EXPECT_EQ(b->GetAvailableFrames(), 0);
  EXPECT_FALSE(Peer::transferStart(w, "c", 7));
}

TEST_F(BridgeTest, DownlinkIgnoresTalkersWithoutARecord) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  f.count(1);
  skipLog();
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 8, f.frame));
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("d", 7, f.frame));
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("C", 7, f.frame));  // case matters
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing(nullptr, 7, f.frame));
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 0);
  EXPECT_EQ(f.samples[0], 1);  // the engine's frame is never modified
  EXPECT_TRUE(newLog().empty());

  // The Wwise side logs an unknown talker, once while it keeps asking.
  FloatBufferProxy p(1024, 2);
  EXPECT_FALSE(w.popOriginPlayerAudioFrameByUid(&p, "c", 8));
  EXPECT_FALSE(w.popOriginPlayerAudioFrameByUid(&p, "c", 8));
  EXPECT_EQ(newLog(),
            (Lines{"popOriginPlayerAudioFrameByUid the buffer map has no data for uid 8"}));
  EXPECT_EQ(p.markStateCalls() + p.setFilledFramesCalls(), 0);
}

TEST_F(BridgeTest, DownlinkQueuesWhateverTheTransferSwitchSays) {
  W& w = *wrapper_;
  ASSERT_FALSE(Peer::playState(w));
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  f.count(10);
  EXPECT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 960);
  EXPECT_EQ(f.samples[0], 10);
}

TEST_F(BridgeTest, DownlinkReRegistrationDiscardsTheOldQueue) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  FloatBufferProxy p(100, 2);
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  skipLog();
  w.setReceiveOpenIDWithGameObjectID(2, "c", 7);
  EXPECT_EQ(newLog(),
            (Lines{"setReceiveOpenIDWithGameObjectID set channel id c and user id 7 for game 2",
                   "warning, please check why userID 7 is reused",
                   " create buffer for uid 7, channel c"}));
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 0);
  EXPECT_FALSE(Peer::transferStart(w, "c", 7));
  EXPECT_EQ(Peer::userCount(w), 1u);
  // Same uid on another channel is another talker.
  w.setReceiveOpenIDWithGameObjectID(3, "d", 7);
  EXPECT_EQ(Peer::userCount(w), 2u);
}

TEST_F(BridgeTest, DownlinkFullQueueDropsTheBlockWithItsFigures) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  for (int k = 0; k < 20; ++k) {
    f.count(k * 960);
    ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  }
  skipLog();
  f.count(-1);
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  EXPECT_EQ(newLog(), Lines{"onPlaybackAudioFrameBeforeMixing playback uid 7 data overflow "
                            "max(19201), avail(19200), drop(960)"});
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 19200);
  // A smaller block that still fits after a pull goes in.
  FloatBufferProxy p(16, 2);
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  EngineFrame small(16, 2);
  small.count(5);
  EXPECT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, small.frame));
}

TEST_F(BridgeTest, DownlinkPullDeliversWholeFramesAndLogsTheFirstConsumeOnce) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  f.count(-300);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  FloatBufferProxy p(1024, 2);
  skipLog();
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  EXPECT_EQ(newLog(),
            Lines{"popOriginPlayerAudioFrameByUid data for uid 7 start to consume data(480)"});
  EXPECT_EQ(p.FilledFrames(), 480);
  EXPECT_EQ(p.state(), 45);
  EXPECT_EQ(p.markStateCalls(), 1);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(p.channel(0)[i], (-300 + 2 * i) / 32768.0f);
    ASSERT_EQ(p.channel(1)[i], (-300 + 2 * i + 1) / 32768.0f);
  }
  EXPECT_TRUE(Peer::transferStart(w, "c", 7));

  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  FloatBufferProxy small(100, 2);
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&small, "c", 7));
  EXPECT_EQ(small.FilledFrames(), 100);
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 760);
  EXPECT_TRUE(newLog().empty());
}

TEST_F(BridgeTest, DownlinkEmptyQueueLeavesTheWwiseBufferAlone) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  FloatBufferProxy p(1024, 2);
  p.fill(0.5f);
  skipLog();
  EXPECT_FALSE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  // The first pull logs the start even with nothing to give.
  EXPECT_EQ(newLog(),
            Lines{"popOriginPlayerAudioFrameByUid data for uid 7 start to consume data(0)"});
  EXPECT_FALSE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  EXPECT_TRUE(newLog().empty());
  EXPECT_EQ(p.markStateCalls() + p.setFilledFramesCalls(), 0);
  EXPECT_EQ(p.channel(1)[0], 0.5f);
  EXPECT_FALSE(w.popOriginPlayerAudioFrameByUid(nullptr, "c", 7));

  // After a playout reset the start line comes again.
  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  w.setTransferPlayerDataState(true);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  skipLog();
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  EXPECT_EQ(newLog(),
            Lines{"popOriginPlayerAudioFrameByUid data for uid 7 start to consume data(480)"});
}

TEST_F(BridgeTest, DownlinkKeepsTalkersApartAndLongChannelIdsWork) {
  W& w = *wrapper_;
  const std::string longId = "a-channel-id-much-longer-than-any-small-string-buffer";
  w.setReceiveOpenIDWithGameObjectID(1, longId, 7);
  w.setReceiveOpenIDWithGameObjectID(2, longId, 8);
  EngineFrame a(480, 2), b(480, 2);
  a.count(1000);
  b.count(-1000);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing(longId.c_str(), 7, a.frame));
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing(longId.c_str(), 8, b.frame));
  FloatBufferProxy p(1024, 2), q(1024, 2);
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, longId.c_str(), 8));
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&q, longId.c_str(), 7));
  EXPECT_EQ(p.channel(0)[0], -1000 / 32768.0f);
  EXPECT_EQ(q.channel(0)[0], 1000 / 32768.0f);
}

TEST_F(BridgeTest, DownlinkEmptyOrBrokenEngineFrames) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  skipLog();
  EngineFrame empty(0, 2);
  EXPECT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, empty.frame));  // nothing lost
  EngineFrame broken(480, 2);
  broken.frame.channels = -2;
  broken.frame.samplesPerChannel = -480;
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 7, broken.frame));
  broken.frame.channels = 2;
  broken.frame.samplesPerChannel = 480;
  broken.frame.buffer = nullptr;
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 7, broken.frame));
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 0);
  EXPECT_TRUE(newLog().empty());
}
