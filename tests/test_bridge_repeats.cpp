// Every line a stream of the bridge repeats while it stays in a bad state:
// the first line exactly as before, the repeats counted (one summary a
// second, one when the state ends), and a new state written again. The
// reverse wait and not-available lines are covered with the buffered
// reverse mode in test_bridge_reverse.cpp.
#include <functional>

#include "test_bridge_fixture.h"

using kivra::standin::FloatBufferProxy;

namespace {

// One stream's bad block and good block, and the first line a bad block
// writes. restart() brings the stream back where a bad block is possible
// again after a good one (most streams need nothing).
struct Site {
  const char* name;
  std::function<void(W&)> setUp;
  std::function<void(W&)> bad;
  std::function<void(W&)> good;
  std::function<void(W&)> restart;
  std::string firstLine;
};

std::string summary(int n, long long ms, const std::string& line) {
  return "repeated " + std::to_string(n) + " times in " + std::to_string(ms) +
         " ms, not written: " + line;
}

EngineFrame& block() {
  static EngineFrame f(480, 2);
  f.count(1);
  return f;
}

// Wwise takes one block out (a consumer that is there but too slow, so the
// queue never goes stale), then the engine records blocks while they fit
// (the queue holds 20) and one more that is dropped.
void recordUntilDropped(W& w) {
  static FloatBufferProxy one(480, 2);
  if (Peer::recOrg(w).GetAvailableFrames() >= 960) w.popOriginRecordAudioFrame(&one);
  while (Peer::recOrg(w).GetAvailableFrames() + 960 <= 19200) {
    w.onRecordAudioFrame("room-1", block().frame);
  }
  w.onRecordAudioFrame("room-1", block().frame);
}

void talkerUntilDropped(W& w) {
  static FloatBufferProxy one(480, 2);
  if (Peer::userBuffer(w, "c", 7)->GetAvailableFrames() >= 960) {
    w.popOriginPlayerAudioFrameByUid(&one, "c", 7);
  }
  while (Peer::userBuffer(w, "c", 7)->GetAvailableFrames() + 960 <= 19200) {
    w.onPlaybackAudioFrameBeforeMixing("c", 7, block().frame);
  }
  w.onPlaybackAudioFrameBeforeMixing("c", 7, block().frame);
}

// A talker (c, 7) that Wwise has started to consume.
void talkerConsumed(W& w, FloatBufferProxy* pull) {
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  w.popOriginPlayerAudioFrameByUid(pull, "c", 7);
}

void reverseUntilDropped(W& w) {
  FloatBufferProxy p(1024, 2);
  p.setFilled(480);
  if (Peer::playbackProc(w).GetAvailableFrames() >= 960) {
    EngineFrame out(480, 2);
    w.onPlaybackAudioFrame("c", out.frame);
  }
  while (Peer::playbackProc(w).GetAvailableFrames() + 960 <= 19200) {
    w.pushReverseAudioFrameAfterEffect(&p);
  }
  w.pushReverseAudioFrameAfterEffect(&p);
}

std::vector<Site> sites() {
  static FloatBufferProxy pullBuffer(1024, 2);
  FloatBufferProxy* pull = &pullBuffer;
  return {
      {"record overflow", [](W& w) { w.setTransferRecordDataState(true); }, recordUntilDropped,
       [pull](W& w) {
         w.popOriginRecordAudioFrame(pull);
         w.onRecordAudioFrame("room-1", block().frame);
       },
       nullptr,
       "[zn] onRecordAudioFrame channelId room-1 record data is overflow, check why not "
       "consume"},
      {"record not started", [](W& w) { w.setTransferRecordDataState(true); },
       [pull](W& w) { w.popOriginRecordAudioFrame(pull); },
       [pull](W& w) {
         w.onRecordAudioFrame("room-1", block().frame);
         w.popOriginRecordAudioFrame(pull);
       },
       [](W& w) {
         w.setTransferRecordDataState(false);
         w.setTransferRecordDataState(true);
       },
       "sdk not start save record data yet"},
      {"record not ready",
       [pull](W& w) {
         w.setTransferRecordDataState(true);
         w.onRecordAudioFrame("room-1", block().frame);
         w.popOriginRecordAudioFrame(pull);
       },
       [pull](W& w) { w.popOriginRecordAudioFrame(pull); },
       [pull](W& w) {
         w.onRecordAudioFrame("room-1", block().frame);
         w.popOriginRecordAudioFrame(pull);
       },
       nullptr, "sdk record data is not ready"},
      {"talker overflow", [pull](W& w) { talkerConsumed(w, pull); }, talkerUntilDropped,
       [](W& w) {
         // One block out, one in: the queue stays full, so the next bad
         // block's line reads the same.
         FloatBufferProxy one(480, 2);
         w.popOriginPlayerAudioFrameByUid(&one, "c", 7);
         w.onPlaybackAudioFrameBeforeMixing("c", 7, block().frame);
       },
       nullptr,
       "onPlaybackAudioFrameBeforeMixing playback uid 7 data overflow max(19201), "
       "avail(19200), drop(960)"},
      {"talker missing", [pull](W& w) { talkerConsumed(w, pull); },
       [pull](W& w) { w.popOriginPlayerAudioFrameByUid(pull, "c", 8); },
       [pull](W& w) { w.popOriginPlayerAudioFrameByUid(pull, "c", 7); }, nullptr,
       "popOriginPlayerAudioFrameByUid the buffer map has no data for uid 8"},
      {"reverse overflow",
       [](W& w) {
         // Buffered mode, already playing.
         Peer::setDirectReverse(w, false);
         w.setTransferRecordDataState(true);
         FloatBufferProxy p(1024, 2);
         p.setFilled(480);
         for (int i = 0; i < 6; ++i) w.pushReverseAudioFrameAfterEffect(&p);
         EngineFrame out(480, 2);
         w.onPlaybackAudioFrame("c", out.frame);
       },
       reverseUntilDropped,
       [](W& w) {
         EngineFrame out(480, 2);
         w.onPlaybackAudioFrame("c", out.frame);
         FloatBufferProxy p(1024, 2);
         p.setFilled(480);
         w.pushReverseAudioFrameAfterEffect(&p);
       },
       nullptr,
       "pushReverseAudioFrameAfterEffect reverse float audio frame overflow max(19201), "
       "avail(19200), drop(960)"},
  };
}

}  // namespace

TEST_F(BridgeTest, EachRepeatedLineIsWrittenOnceCountedAndWrittenAgainForANewState) {
  // The record overflow site's engine delivers twice what Wwise pulls, which
  // is also what Wwise at half the served rate looks like: that warning (at
  // most once a minute) is not one of the lines paced here.
  int rateWarnings = 0;
  auto fresh = [&] {
    Lines lines;
    for (std::string& line : newLog()) {
      if (line.rfind("wwise pulls at about 24000 Hz while the bridge serves 48000 Hz", 0) == 0) {
        ++rateWarnings;
      } else {
        lines.push_back(std::move(line));
      }
    }
    return lines;
  };
  for (const Site& site : sites()) {
    SCOPED_TRACE(site.name);
    // A fresh bridge per site.
    KivraWwiseCommWrapper::destroyInstance(wrapper_);
    wrapper_ = KivraWwiseCommWrapper::getInstance();
    W& w = *wrapper_;
    site.setUp(w);
    skipLog();

    // The first bad block: its line, exactly.
    site.bad(w);
    EXPECT_EQ(fresh(), Lines{site.firstLine});
    // A second of bad blocks, 10 ms apart: counted, then one summary.
    for (int i = 0; i < 99; ++i) {
      clock_.advanceMs(10);
      site.bad(w);
    }
    EXPECT_TRUE(fresh().empty());
    clock_.advanceMs(10);
    site.bad(w);
    EXPECT_EQ(fresh(), Lines{summary(100, 1000, site.firstLine)});
    // Five more at once, then good blocks: within a second nothing, a
    // second after the last bad block the state ends with its count.
    for (int i = 0; i < 5; ++i) site.bad(w);
    site.good(w);
    clock_.advanceMs(999);
    site.good(w);
    EXPECT_TRUE(fresh().empty());
    clock_.advanceMs(1);
    site.good(w);
    EXPECT_EQ(fresh(), Lines{summary(5, 0, site.firstLine)});
    // The state comes back: its first line again.
    if (site.restart) site.restart(w);
    skipLog();
    site.bad(w);
    EXPECT_EQ(fresh(), Lines{site.firstLine});
    // A reset (or the bridge going away) ends a state at once.
    site.bad(w);
    site.bad(w);
    KivraWwiseCommWrapper::destroyInstance(wrapper_);
    wrapper_ = nullptr;
    EXPECT_EQ(fresh(), Lines{summary(2, 0, site.firstLine)});
    wrapper_ = KivraWwiseCommWrapper::getInstance();
  }
  // Once for the record overflow site's two seconds of engine audio, never again
  // within the minute.
  EXPECT_EQ(rateWarnings, 1);
}

TEST_F(BridgeTest, ResetsEndTheirStreamsStates) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  FloatBufferProxy pull(1024, 2);
  recordUntilDropped(w);
  recordUntilDropped(w);
  talkerUntilDropped(w);
  talkerUntilDropped(w);
  talkerUntilDropped(w);
  skipLog();
  w.resetRecordState();
  EXPECT_EQ(newLog(), Lines{summary(1, 0,
                                    "[zn] onRecordAudioFrame channelId room-1 record data is "
                                    "overflow, check why not consume")});
  w.resetPlayState();
  EXPECT_EQ(newLog(), Lines{summary(2, 0,
                                    "onPlaybackAudioFrameBeforeMixing playback uid 7 data "
                                    "overflow max(19201), avail(19200), drop(960)")});
  // Right after a reset the next bad block writes its line again.
  talkerUntilDropped(w);
  EXPECT_EQ(newLog(), Lines{"onPlaybackAudioFrameBeforeMixing playback uid 7 data overflow "
                            "max(19201), avail(19200), drop(960)"});
}
