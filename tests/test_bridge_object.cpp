// The bridge object: singleton, construction, observer answers, transfer
// switches and their resets.
#include "test_bridge_fixture.h"

using kivra::media::AudioParams;

TEST_F(BridgeTest, ConstructionLogsItsTwoLinesAndStartsEmpty) {
  const Lines lines = newLog();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Kivra wwise wrapper construct");
  EXPECT_EQ(lines[1], "Reverse audio buffer size: 19200(19201), record buffer size 19200");
  W& w = *wrapper_;
  EXPECT_EQ(Peer::totalRecord(w), 0);
  EXPECT_EQ(Peer::totalEffect(w), 0);
  EXPECT_EQ(Peer::totalReverse(w), 0);
  EXPECT_FALSE(Peer::recState(w));
  EXPECT_FALSE(Peer::playState(w));
  EXPECT_TRUE(Peer::directReverse(w));
  for (KivraCommCircularBuffer* b : {&Peer::recOrg(w), &Peer::recProc(w), &Peer::playbackProc(w)}) {
    EXPECT_EQ(b->GetAvailableFrames(), 0);
    EXPECT_EQ(b->length(), 19200u);
    EXPECT_EQ(b->capacity(), 19201u);
  }
  EXPECT_EQ(Peer::userCount(w), 0u);
}

TEST_F(BridgeTest, IsASingletonThatOnlyItsOwnPointerDestroys) {
  EXPECT_EQ(KivraWwiseCommWrapper::getInstance(), wrapper_);
  EXPECT_FALSE(KivraWwiseCommWrapper::destroyInstance(nullptr));
  int dummy = 0;
  EXPECT_FALSE(KivraWwiseCommWrapper::destroyInstance(reinterpret_cast<W*>(&dummy)));
  EXPECT_EQ(KivraWwiseCommWrapper::getInstance(), wrapper_);

  EXPECT_TRUE(KivraWwiseCommWrapper::destroyInstance(wrapper_));
  EXPECT_FALSE(KivraWwiseCommWrapper::destroyInstance(wrapper_));  // already gone
  skipLog();
  wrapper_ = KivraWwiseCommWrapper::getInstance();  // a fresh object, logged again
  ASSERT_NE(wrapper_, nullptr);
  EXPECT_EQ(Peer::totalRecord(*wrapper_), 0);
  EXPECT_EQ(newLog().size(), 2u);
}

TEST_F(BridgeTest, AnswersTheEnginesQueries) {
  EXPECT_EQ(wrapper_->getObservedAudioFramePosition(), 11);
  wrapper_->setFeature(true, false);
  EXPECT_EQ(wrapper_->getObservedAudioFramePosition(), 9);
  wrapper_->setFeature(false, true);
  EXPECT_EQ(wrapper_->getObservedAudioFramePosition(), 2);
  wrapper_->setFeature(true, true);
  EXPECT_EQ(wrapper_->getObservedAudioFramePosition(), 0);
  wrapper_->setFeature(false, false);
  EXPECT_EQ(wrapper_->getObservedAudioFramePosition(), 11);

  auto same = [](const AudioParams& p, int rate, int ch, int mode, int spc) {
    return p.sample_rate == rate && p.channels == ch && static_cast<int>(p.mode) == mode &&
           p.samples_per_call == spc;
  };
  EXPECT_TRUE(same(wrapper_->getPlaybackAudioParams(), 48000, 2, 2, 960));
  EXPECT_TRUE(same(wrapper_->getRecordAudioParams(), 48000, 2, 2, 960));
  EXPECT_TRUE(same(wrapper_->getMixedAudioParams(), 48000, 2, 2, 960));
  EXPECT_TRUE(same(wrapper_->getEarMonitoringAudioParams(), 0, 0, 0, 0));

  EngineFrame f(480, 2);
  f.count(1);
  EXPECT_FALSE(wrapper_->onMixedAudioFrame("c", f.frame));
  EXPECT_FALSE(wrapper_->onEarMonitoringAudioFrame(f.frame));
  kivra::media::IAudioFrameObserverBase& base = *wrapper_;
  EXPECT_TRUE(base.onPlaybackAudioFrameBeforeMixing("c", "7", f.frame));  // the base's answer
  EXPECT_EQ(f.samples[0], 1);
  EXPECT_EQ(f.samples[959], 960);
}

TEST_F(BridgeTest, StoresWhatTheFrontEndSets) {
  wrapper_->setSendTrackIdDirectAdvanced(-4);
  wrapper_->setSendTrackIdAecReference(12);
  EXPECT_EQ(Peer::trackDirect(*wrapper_), -4);
  EXPECT_EQ(Peer::trackAec(*wrapper_), 12);
  kivra::standin::RecordingRtcEngine engine;
  wrapper_->setEngine(&engine);  // kept for the front end only; nothing to observe but no crash
}

TEST_F(BridgeTest, RecordSwitchResetsRecordAndReverseOnlyWhenTurnedOn) {
  W& w = *wrapper_;
  skipLog();
  w.setTransferRecordDataState(true);
  EXPECT_EQ(newLog(), Lines{"setTransferRecordDataState enable 1"});
  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onRecordAudioFrame("c", f.frame));
  kivra::standin::FloatBufferProxy rev(480, 2);
  rev.setFilled(480);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&rev));
  ASSERT_EQ(Peer::totalRecord(w), 960);
  ASSERT_EQ(Peer::totalReverse(w), 960);
  skipLog();

  w.setTransferRecordDataState(true);  // already on: nothing is reset
  EXPECT_EQ(Peer::totalRecord(w), 960);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 960);
  EXPECT_EQ(Peer::totalReverse(w), 960);
  EXPECT_TRUE(Peer::firstReversePush(w));
  w.setTransferRecordDataState(false);  // off: nothing is reset either
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 960);
  EXPECT_EQ(Peer::totalReverse(w), 960);
  EXPECT_EQ(newLog(),
            (Lines{"setTransferRecordDataState enable 1", "setTransferRecordDataState enable 0"}));

  w.setTransferRecordDataState(true);  // off to on: both streams start over
  EXPECT_EQ(Peer::totalRecord(w), 0);
  EXPECT_EQ(Peer::totalEffect(w), 0);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::totalReverse(w), 0);
  EXPECT_FALSE(Peer::firstReversePush(w));
  EXPECT_TRUE(Peer::recState(w));
}

TEST_F(BridgeTest, BypassedStreamsIgnoreTheirSwitch) {
  W& w = *wrapper_;
  w.setFeature(true, true);
  skipLog();
  w.setTransferRecordDataState(true);
  w.setTransferPlayerDataState(true);
  EXPECT_FALSE(Peer::recState(w));
  EXPECT_FALSE(Peer::playState(w));
  EXPECT_EQ(newLog(),
            (Lines{"setTransferRecordDataState Already config bypass wwise uplink proc",
                   "setTransferPlayerDataState Already config bypass wwise downlink proc"}));
  w.setFeature(false, false);
  w.setTransferPlayerDataState(true);
  EXPECT_TRUE(Peer::playState(w));
  EXPECT_EQ(newLog(), Lines{"setTransferPlayerDataState enable 1"});
}

TEST_F(BridgeTest, PlayoutSwitchResetsEveryTalkerWhenTurnedOn) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  w.setReceiveOpenIDWithGameObjectID(2, "d", 8);
  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("d", 8, f.frame));
  kivra::standin::FloatBufferProxy p(100, 2);
  ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&p, "c", 7));
  ASSERT_TRUE(Peer::transferStart(w, "c", 7));

  w.setTransferPlayerDataState(true);
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::userBuffer(w, "d", 8)->GetAvailableFrames(), 0);
  EXPECT_FALSE(Peer::transferStart(w, "c", 7));
  EXPECT_EQ(Peer::userCount(w), 2u);  // records stay

  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  w.setTransferPlayerDataState(true);  // already on: queued samples stay
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 960);
  w.setTransferPlayerDataState(false);
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 960);
}

TEST_F(BridgeTest, ResetsClearTheirOwnStreamOnly) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  EngineFrame f(480, 2);
  f.count(1);
  ASSERT_TRUE(w.onRecordAudioFrame("c", f.frame));
  f.count(1);
  ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, f.frame));
  Peer::setDirectReverse(w, false);
  kivra::standin::FloatBufferProxy rev(480, 2);
  rev.setFilled(480);
  ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&rev));

  w.resetReverseState();
  EXPECT_EQ(Peer::playbackProc(w).GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::totalReverse(w), 0);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 960);
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 960);

  w.resetRecordState();
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
  EXPECT_EQ(Peer::totalRecord(w), 0);
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 960);

  w.resetPlayState();
  EXPECT_EQ(Peer::userBuffer(w, "c", 7)->GetAvailableFrames(), 0);
}
