// The plugin handler: binding, teardown, the three front-end states and the
// six forwarding operations, with their log lines in order.
#include <cmath>
#include <string>
#include <vector>

#include "test_handler_support.h"

namespace {

using kivra::standin::CustomTrack;
using kivra::standin::FloatBufferProxy;
using kivra::standin::PushedFrame;

const std::string kNotInit = "not initialized wrapper yet!";
const std::string kPushFailed = "failed to push wwise record data after effect!";

class HandlerTest : public FrontEndTest {
 protected:
  kivra::standin::RecordingMediaEngine& media() { return engine_.mediaEngine(); }
};

// An engine frame of 480 stereo frames, sample i = first + i.
struct Frame {
  std::vector<int16_t> s = std::vector<int16_t>(960);
  kivra::media::AudioFrame f{};
  explicit Frame(int first) {
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(first + static_cast<int>(i));
    f.type = kivra::media::FRAME_TYPE_PCM16;
    f.samplesPerChannel = 480;
    f.bytesPerSample = kivra::media::TWO_BYTES_PER_SAMPLE;
    f.channels = 2;
    f.samplesPerSec = 48000;
    f.buffer = s.data();
  }
};

TEST_F(HandlerTest, VersionIsOneZeroZero) { EXPECT_EQ(Handler::GetKivraWwiseVersion(), "1.0.0"); }

TEST_F(HandlerTest, SuccessfulInitBindsRegistersAndCreatesTwoTracks) {
  media().setFirstTrackId(500);
  int track = -7;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  KivraWwiseCommWrapper* w = wrapper();
  ASSERT_NE(w, nullptr);

  EXPECT_EQ(track, 500);
  EXPECT_EQ(engine_.findInterfaceCalls(), std::vector<int>({4, 4}));
  EXPECT_EQ(media().registrations(), std::vector<kivra::media::IAudioFrameObserver*>({w}));
  const std::vector<CustomTrack> tracks = media().tracks();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].type, kivra::rtc::AUDIO_TRACK_DIRECT);
  EXPECT_EQ(tracks[1].type, kivra::rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE);
  for (const CustomTrack& t : tracks) {
    EXPECT_FALSE(t.config.enableLocalPlayback);
    EXPECT_FALSE(t.config.enableAudioProcessing);
    EXPECT_TRUE(t.config.enableDirectPublish);
  }
  EXPECT_EQ(BridgePeer::trackDirect(*w), 500);
  EXPECT_EQ(BridgePeer::trackAec(*w), 501);
  EXPECT_EQ(BridgePeer::engine(*w), &engine_);
  EXPECT_EQ(HandlerPeer::engine(), &engine_);
  EXPECT_FALSE(BridgePeer::disabledUplink(*w));
  EXPECT_FALSE(BridgePeer::disabledDownlink(*w));
  EXPECT_EQ(w->getObservedAudioFramePosition(), 11);
  EXPECT_EQ(mediaEngine(), &media());

  EXPECT_EQ(newLog(),
            Lines({"Kivra wwise wrapper construct",
                   "Reverse audio buffer size: 19200(19201), record buffer size 19200",
                   "registerAudioFrameObserver: 0", "create wrapper " + pointerText(w) + " success",
                   "direct advanced track id 500, aec reference track id 501"}));
}

TEST_F(HandlerTest, FailedObserverRegistrationIsOnlyLogged) {
  media().setRegisterResult(-5);
  int track = -7;
  EXPECT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  EXPECT_EQ(track, 1000);
  EXPECT_TRUE(inOrder(newLog(), {"registerAudioFrameObserver: -5"}));
}

TEST_F(HandlerTest, NegativeTrackIdsAreStoredAndHandedBack) {
  media().setFirstTrackId(-3);
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  EXPECT_EQ(track, -3);
  EXPECT_EQ(BridgePeer::trackDirect(*wrapper()), -3);
  EXPECT_EQ(BridgePeer::trackAec(*wrapper()), -2);
}

TEST_F(HandlerTest, EngineWithoutMediaEngineFailsAndLeavesAnUnregisteredBridge) {
  engine_.setYieldMediaEngine(-1);
  int track = -7;
  EXPECT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), -1);
  EXPECT_EQ(track, -7);
  ASSERT_NE(wrapper(), nullptr);  // Wrapper only
  EXPECT_EQ(mediaEngine(), nullptr);
  EXPECT_TRUE(media().registrations().empty());
  EXPECT_TRUE(media().tracks().empty());
  EXPECT_EQ(engine_.findInterfaceCalls().size(), 1u);
  const Lines log = newLog();
  EXPECT_EQ(log.back(), "create wrapper failed!");
  EXPECT_EQ(countOf(log, "registerAudioFrameObserver: 0"), 0u);

  // Teardown has no media engine to unregister from.
  EXPECT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  EXPECT_TRUE(media().registrations().empty());
  EXPECT_EQ(wrapper(), nullptr);
}

TEST_F(HandlerTest, SecondMediaEngineQueryYieldingNothingCreatesNoTrack) {
  engine_.setYieldMediaEngine(1);  // the binding gets it, the track query does not
  int track = -7;
  EXPECT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), -1);
  EXPECT_EQ(track, -7);
  EXPECT_TRUE(media().tracks().empty());
  EXPECT_EQ(newLog().back(), "get media engine failed, no custom audio track created!");
  // Bound all the same: teardown unregisters.
  KivraWwiseCommWrapper* w = wrapper();
  EXPECT_EQ(media().observer(), w);
  EXPECT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  EXPECT_EQ(media().observer(), nullptr);
}

TEST_F(HandlerTest, NullEngineIsRefusedWithoutTeardown) {
  int track = -7;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  KivraWwiseCommWrapper* w = wrapper();
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(7, "A", 42);
  skipLog();

  int other = -9;
  EXPECT_EQ(Handler::InitKivraWwisePlugin(nullptr, other), -1);
  EXPECT_EQ(other, -9);
  EXPECT_EQ(wrapper(), w);
  EXPECT_EQ(media().observer(), w);
  EXPECT_EQ(mediaEngine(), &media());
  EXPECT_EQ(HandlerPeer::forwardSize(), 1u);
  EXPECT_EQ(HandlerPeer::engine(), &engine_);
  EXPECT_EQ(newLog(), Lines({"init refused: null rtc engine!"}));
}

TEST_F(HandlerTest, SecondInitRebindsTheSameBridgeWithNewTracks) {
  int first = 0, second = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, first), 0);
  KivraWwiseCommWrapper* w = wrapper();
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(7, "A", 42);
  skipLog();
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, second), 0);
  EXPECT_EQ(wrapper(), w);
  EXPECT_EQ(first, 1000);
  EXPECT_EQ(second, 1002);
  EXPECT_EQ(media().tracks().size(), 4u);
  EXPECT_EQ(media().registrations(), std::vector<kivra::media::IAudioFrameObserver*>({w, w}));
  EXPECT_EQ(BridgePeer::trackDirect(*w), 1002);
  EXPECT_EQ(BridgePeer::trackAec(*w), 1003);
  EXPECT_EQ(HandlerPeer::forwardSize(), 1u);
  // No second construction.
  EXPECT_EQ(newLog(),
            Lines({"registerAudioFrameObserver: 0", "create wrapper " + pointerText(w) + " success",
                   "direct advanced track id 1002, aec reference track id 1003"}));
}

TEST_F(HandlerTest, TeardownUnregistersDestroysAndLogsBothLines) {
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  KivraWwiseCommWrapper* w = wrapper();
  skipLog();
  EXPECT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  EXPECT_EQ(media().registrations(), std::vector<kivra::media::IAudioFrameObserver*>({w, nullptr}));
  EXPECT_EQ(wrapper(), nullptr);
  EXPECT_EQ(mediaEngine(), nullptr);
  EXPECT_EQ(BridgePeer::instance(), nullptr);
  EXPECT_EQ(HandlerPeer::engine(), nullptr);
  EXPECT_EQ(newLog(), Lines({"destroy wrapper " + pointerText(w) + " in",
                             "destroy wrapper " + pointerText(w) + " out"}));

  // Again, with nothing left: both lines with a null pointer, no unregistering.
  EXPECT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  EXPECT_EQ(media().registrations().size(), 2u);
  EXPECT_EQ(newLog(), Lines({"destroy wrapper " + pointerText(nullptr) + " in",
                             "destroy wrapper " + pointerText(nullptr) + " out"}));
}

TEST_F(HandlerTest, EveryForwardingOperationWhileUnbound) {
  FloatBufferProxy buf(480, 2);
  buf.fill(0.5f);
  buf.setFilled(480);
  Handler::GetRecodeAudioFrame(&buf);
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  Handler::GetPlayoutAudioFrameByUid(&buf, 7);
  Handler::PushPlayoutAudioFrameAfterEffect(&buf);
  Handler::ResetReverseState();
  HandlerPeer::setTrackDirect(5);
  HandlerPeer::setTrackAec(6);
  // One line for the four callbacks; the teardown ends the state and says how
  // many were left out.
  EXPECT_EQ(newLog(), Lines({kNotInit}));
  EXPECT_EQ(wrapper(), nullptr);
  EXPECT_EQ(BridgePeer::instance(), nullptr);
  EXPECT_EQ(buf.markStateCalls(), 0);
  EXPECT_EQ(buf.setFilledFramesCalls(), 0);
  EXPECT_EQ(buf.channel(0)[0], 0.5f);
  EXPECT_EQ(buf.channel(1)[479], 0.5f);
  Handler::UninitKivraWwisePlugin();
  const Lines log = newLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "repeated 3 times in 0 ms, not written: " + kNotInit);
}

TEST_F(HandlerTest, TransferSwitchBeforeInitCreatesTheBridgeThatInitTakesOver) {
  Handler::SetTransferPlayoutData(true);
  KivraWwiseCommWrapper* w = wrapper();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_TRUE(media().registrations().empty());  // Wrapper only
  // The track-id setters now reach it.
  HandlerPeer::setTrackDirect(5);
  HandlerPeer::setTrackAec(6);
  EXPECT_EQ(BridgePeer::trackDirect(*w), 5);
  EXPECT_EQ(BridgePeer::trackAec(*w), 6);

  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  EXPECT_EQ(wrapper(), w);
  EXPECT_EQ(media().observer(), w);
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_EQ(BridgePeer::trackDirect(*w), 1000);
}

TEST_F(HandlerTest, AfterTeardownTheSwitchesCreateAFreshUnregisteredBridge) {
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  ASSERT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  skipLog();
  FloatBufferProxy buf(480, 2);
  Handler::GetRecodeAudioFrame(&buf);
  EXPECT_EQ(newLog(), Lines({kNotInit}));

  Handler::SetTransferRecordingData(true);
  KivraWwiseCommWrapper* w = wrapper();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(BridgePeer::recState(*w));
  EXPECT_EQ(media().observer(), nullptr);
  EXPECT_EQ(BridgePeer::trackDirect(*w), -1);
  const Lines log = newLog();
  EXPECT_TRUE(
      inOrder(log, {"Kivra wwise wrapper construct", "setTransferRecordDataState enable 1"}));
}

// Wrapper only: no media engine, so the pushes send nothing and the record
// push reports its failure.
TEST_F(HandlerTest, PushesInWrapperOnlyStateSendNothing) {
  engine_.setYieldMediaEngine(-1);
  int track = -7;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), -1);
  Handler::SetTransferRecordingData(true);
  Handler::SetTransferPlayoutData(true);
  skipLog();

  FloatBufferProxy buf(480, 2);
  buf.fill(0.25f);
  buf.setFilled(480);
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  Lines log = newLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), kPushFailed);
  EXPECT_EQ(countOf(log, kPushFailed), 1u);
  EXPECT_EQ(buf.channel(0)[0], 0.0f);  // the processed microphone never reaches Wwise's mix

  buf.fill(0.25f);
  Handler::PushPlayoutAudioFrameAfterEffect(&buf);
  EXPECT_EQ(countOf(newLog(), kPushFailed), 0u);
  EXPECT_EQ(media().pushCount(), 0u);
}

TEST_F(HandlerTest, RecordPushFailureIsLoggedWhenThePushFailsAndPacedWhileItRepeats) {
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  FloatBufferProxy buf(480, 2);
  buf.setFilled(480);
  skipLog();
  // Uplink off: the bridge refuses every block; the first failure says so,
  // the next ones are counted.
  for (int i = 0; i < 3; ++i) Handler::PushRecodeAudioFrameAfterEffect(&buf);
  EXPECT_EQ(newLog(), Lines({kPushFailed}));
  EXPECT_EQ(media().pushCount(), 0u);
  // Pushes that work end the state once a second has passed without a
  // failure, with the count of those left out.
  Handler::SetTransferRecordingData(true);
  Handler::PushRecodeAudioFrameAfterEffect(&buf);  // and the first-arrival line
  clock_.advanceMs(999);
  skipLog();
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  EXPECT_TRUE(newLog().empty());
  clock_.advanceMs(1);
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  EXPECT_EQ(newLog(), Lines({"repeated 2 times in 0 ms, not written: " + kPushFailed}));
  EXPECT_EQ(media().pushCount(), 3u);
  // Failing again is a new state.
  Handler::SetTransferRecordingData(false);
  skipLog();
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  EXPECT_EQ(newLog(), Lines({kPushFailed}));
}

TEST_F(HandlerTest, AMissingTalkerIsPacedPerGameObject) {
  // Mapped before any bridge existed, so the bridge has no record of them.
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(5, "A", 42);
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(6, "A", 43);
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  skipLog();
  FloatBufferProxy buf(480, 2);
  for (int i = 0; i < 3; ++i) {
    Handler::GetPlayoutAudioFrameByUid(&buf, 5);
    Handler::GetPlayoutAudioFrameByUid(&buf, 6);
  }
  // Each game object's first line; the repeats counted apart.
  EXPECT_EQ(newLog(),
            Lines({"popOriginPlayerAudioFrameByUid the buffer map has no data for uid 42",
                   "popOriginPlayerAudioFrameByUid the buffer map has no data for uid 43"}));
  // Removing 5's mapping ends its state.
  Handler::KWPlugin_Receive_ClearReceiveOpenID("A", 42);
  EXPECT_EQ(countOf(newLog(),
                    "repeated 2 times in 0 ms, not written: "
                    "popOriginPlayerAudioFrameByUid the buffer map has no data for uid 42"),
            1u);
  // Mapping 6 again, now with a bridge, gives the talker a record: the old
  // entry's count is written, and Wwise's pulls find the talker.
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(6, "A", 43);
  EXPECT_EQ(countOf(newLog(),
                    "repeated 2 times in 0 ms, not written: "
                    "popOriginPlayerAudioFrameByUid the buffer map has no data for uid 43"),
            1u);
  Handler::GetPlayoutAudioFrameByUid(&buf, 6);
  const Lines log = newLog();
  EXPECT_EQ(log,
            Lines({"popOriginPlayerAudioFrameByUid data for uid 43 start to consume data(0)"}));
}

TEST_F(HandlerTest, UplinkRoundTripThroughTheHandler) {
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  Handler::SetTransferRecordingData(true);
  Frame mic(-480);
  ASSERT_TRUE(wrapper()->onRecordAudioFrame("room", mic.f));

  FloatBufferProxy buf(480, 2);
  Handler::GetRecodeAudioFrame(&buf);
  ASSERT_EQ(buf.state(), 45);
  ASSERT_EQ(buf.FilledFrames(), 480);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(buf.channel(0)[i], static_cast<float>(-480 + 2 * i) / 32768.0f) << i;
    ASSERT_EQ(buf.channel(1)[i], static_cast<float>(-480 + 2 * i + 1) / 32768.0f) << i;
  }
  Handler::PushRecodeAudioFrameAfterEffect(&buf);
  const std::vector<int16_t> out = media().samplesOfTrack(track);
  ASSERT_EQ(out.size(), 960u);
  for (size_t i = 0; i < out.size(); ++i) {
    // s/32768 * 32767, truncated toward zero: one step toward zero.
    const int s = -480 + static_cast<int>(i);
    const int expected = s > 0 ? s - 1 : s < 0 ? s + 1 : 0;
    ASSERT_EQ(out[i], expected) << i;
  }
}

TEST_F(HandlerTest, PlayoutByGameObjectAndReverseToTheAecTrack) {
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  Handler::SetTransferRecordingData(true);  // also gates the reverse stream
  const std::string longChannel(40, 'c');   // beyond any short-string buffer
  Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(0x1234567890ull, longChannel, 42);
  Frame talker(100);
  ASSERT_TRUE(wrapper()->onPlaybackAudioFrameBeforeMixing(longChannel.c_str(), 42, talker.f));
  skipLog();

  // An unmapped game object: buffer untouched, nothing logged.
  FloatBufferProxy other(480, 2);
  other.fill(0.75f);
  Handler::GetPlayoutAudioFrameByUid(&other, 0x1234567891ull);
  EXPECT_EQ(other.markStateCalls(), 0);
  EXPECT_EQ(other.setFilledFramesCalls(), 0);
  EXPECT_EQ(other.channel(0)[0], 0.75f);
  EXPECT_TRUE(newLog().empty());

  FloatBufferProxy buf(480, 2);
  Handler::GetPlayoutAudioFrameByUid(&buf, 0x1234567890ull);
  ASSERT_EQ(buf.state(), 45);
  ASSERT_EQ(buf.FilledFrames(), 480);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(buf.channel(0)[i], static_cast<float>(100 + 2 * i) / 32768.0f) << i;
    ASSERT_EQ(buf.channel(1)[i], static_cast<float>(101 + 2 * i) / 32768.0f) << i;
  }

  // Wwise's rendered mix goes to the AEC-reference track.
  FloatBufferProxy mix(480, 2);
  for (int i = 0; i < 480; ++i) {
    mix.channel(0)[i] = static_cast<float>(i) / 1024.0f;
    mix.channel(1)[i] = -static_cast<float>(i) / 1024.0f;
  }
  mix.setFilled(480);
  Handler::PushPlayoutAudioFrameAfterEffect(&mix);
  const std::vector<int16_t> out = media().samplesOfTrack(track + 1);
  ASSERT_EQ(out.size(), 960u);
  for (int i = 0; i < 480; ++i) {
    const int expected = static_cast<int>(std::trunc(i * 32767.0 / 1024.0));
    ASSERT_EQ(out[2 * i], expected) << i;
    ASSERT_EQ(out[2 * i + 1], -expected) << i;
  }
  EXPECT_TRUE(media().samplesOfTrack(track).empty());
}

}  // namespace

// Wwise's rate through the front end: told before the binding it is served
// from it; told during a session every queue restarts and the engine is
// asked again (the observer registered again); the same rate again, or one
// the bridge cannot serve, changes nothing. The rate outlives the session.
TEST_F(HandlerTest, WwiseSampleRateIsServedFromInitAndChangedAtOnceDuringASession) {
  EXPECT_EQ(Handler::SetWwiseSampleRate(24000), 0);
  EXPECT_EQ(newLog(), Lines{"wwise sample rate 24000 Hz, served from the next init"});
  int track = 0;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  KivraWwiseCommWrapper* w = wrapper();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(inOrder(newLog(), Lines{"wwise sample rate 24000 Hz, served from this init",
                                      "registerAudioFrameObserver: 0"}));
  EXPECT_EQ(w->getRecordAudioParams().sample_rate, 24000);
  EXPECT_EQ(w->getPlaybackAudioParams().samples_per_call, 480);
  EXPECT_EQ(media().registrations().size(), 1u);

  // Audio queued at 24 kHz, then 44.1 kHz told: gone, and the engine asked.
  Handler::SetTransferRecordingData(true);
  Frame f(10);
  f.f.samplesPerSec = 24000;
  ASSERT_TRUE(w->onRecordAudioFrame("room", f.f));
  skipLog();
  EXPECT_EQ(Handler::SetWwiseSampleRate(44100), 0);
  EXPECT_EQ(newLog(), Lines{"wwise sample rate 44100 Hz, served now: queues restarted"});
  EXPECT_EQ(media().registrations(), std::vector<kivra::media::IAudioFrameObserver*>({w, w}));
  EXPECT_EQ(w->getRecordAudioParams().sample_rate, 44100);
  EXPECT_EQ(w->getRecordAudioParams().samples_per_call, 882);
  FloatBufferProxy pull(1024, 2);
  Handler::GetRecodeAudioFrame(&pull);
  EXPECT_EQ(pull.markStateCalls(), 0) << "the queue restarted empty";
  EXPECT_EQ(newLog(), Lines{"sdk not start save record data yet"});

  EXPECT_EQ(Handler::SetWwiseSampleRate(44100), 0);
  EXPECT_EQ(Handler::SetWwiseSampleRate(7999), -1);
  EXPECT_EQ(Handler::SetWwiseSampleRate(96001), -1);
  EXPECT_EQ(newLog(),
            (Lines{"wwise sample rate 44100 Hz, already served",
                   "wwise sample rate 7999 Hz refused: the bridge serves 8000 to 96000 Hz",
                   "wwise sample rate 96001 Hz refused: the bridge serves 8000 to 96000 Hz"}));
  EXPECT_EQ(media().registrations().size(), 2u);
  EXPECT_EQ(w->sampleRate(), 44100);

  // The next session serves it from its start.
  ASSERT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  ASSERT_NE(wrapper(), nullptr);
  EXPECT_EQ(wrapper()->getRecordAudioParams().sample_rate, 44100);
  // Pushes carry it.
  Handler::SetTransferRecordingData(true);
  FloatBufferProxy effect(1024, 2);
  effect.setFilled(441);
  media().clearPushedFrames();
  Handler::PushRecodeAudioFrameAfterEffect(&effect);
  const std::vector<PushedFrame> pushed = media().pushedFrames();
  ASSERT_EQ(pushed.size(), 1u);
  EXPECT_EQ(pushed[0].frame.samplesPerSec, 44100);
  EXPECT_EQ(pushed[0].frame.samplesPerChannel, 441);
}
