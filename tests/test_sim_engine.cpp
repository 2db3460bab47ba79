// The stand-in SDK's simulation: the clock's ordering, the voice engine's
// observer contract (parameters honoured, blocks in order, clearing the
// observer waits for a callback in flight) and the Wwise side's 3-D mix.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivraSimCallTimes.h"
#include "KivraSimClock.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"
#include "KivraStandInSdk.h"

using namespace kivra;
using kivra::sim::ClockMode;
using kivra::sim::SimClock;

namespace {

// An observer that records what the engine hands it.
class ProbeObserver : public media::IAudioFrameObserver {
 public:
  bool onRecordAudioFrame(const char*, media::AudioFrame& f) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++recordCalls;
    recordFrames.push_back(f.samplesPerChannel);
    recordChannels.push_back(f.channels);
    const int16_t* s = static_cast<const int16_t*>(f.buffer);
    recorded.insert(recorded.end(), s, s + f.channels * f.samplesPerChannel);
    if (silence) std::memset(f.buffer, 0, sizeof(int16_t) * f.channels * f.samplesPerChannel);
    if (blockRecord) {
      inRecord = true;
      entered.notify_all();
      released.wait(lock, [&] { return !blockRecord; });
      inRecord = false;
    }
    return true;
  }
  bool onPlaybackAudioFrame(const char*, media::AudioFrame& f) override {
    std::lock_guard<std::mutex> g(mutex);
    const int16_t* s = static_cast<const int16_t*>(f.buffer);
    mix.insert(mix.end(), s, s + f.channels * f.samplesPerChannel);
    return true;
  }
  bool onMixedAudioFrame(const char*, media::AudioFrame&) override { return false; }
  bool onEarMonitoringAudioFrame(media::AudioFrame&) override { return false; }
  using media::IAudioFrameObserver::onPlaybackAudioFrameBeforeMixing;
  bool onPlaybackAudioFrameBeforeMixing(const char* ch, rtc::uid_t uid,
                                        media::AudioFrame& f) override {
    std::lock_guard<std::mutex> g(mutex);
    talkerCalls.push_back(std::string(ch) + "/" + std::to_string(uid));
    const int16_t* s = static_cast<const int16_t*>(f.buffer);
    if (uid == 42) talker42.insert(talker42.end(), s, s + f.channels * f.samplesPerChannel);
    return uid == 42;
  }
  int getObservedAudioFramePosition() override { return 11; }
  media::AudioParams getPlaybackAudioParams() override { return play; }
  media::AudioParams getRecordAudioParams() override { return rec; }
  media::AudioParams getMixedAudioParams() override { return play; }
  media::AudioParams getEarMonitoringAudioParams() override { return {}; }

  media::AudioParams rec{48000, 2, media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE, 960};
  media::AudioParams play{48000, 2, media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE, 960};
  std::mutex mutex;
  std::condition_variable entered, released;
  bool blockRecord = false, inRecord = false, silence = true;
  int recordCalls = 0;
  std::vector<int> recordFrames, recordChannels;
  std::vector<int16_t> recorded, mix, talker42;
  std::vector<std::string> talkerCalls;
};

// A counting stereo signal: frame i holds (i, -i) modulo 30000.
std::vector<int16_t> counting(size_t frames, int offset = 0) {
  std::vector<int16_t> s(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    s[2 * i] = static_cast<int16_t>((static_cast<int>(i) + offset) % 30000);
    s[2 * i + 1] = static_cast<int16_t>(-((static_cast<int>(i) + offset) % 30000));
  }
  return s;
}

}  // namespace

TEST(SimClock, VirtualRunsEventsBySampleTimeThenPriorityOnEveryRun) {
  std::vector<std::string> first;
  for (int run = 0; run < 3; ++run) {
    SimClock clock(ClockMode::Virtual);
    clock.setEnd(4096);
    std::mutex m;
    std::vector<std::string> order;
    // Registered in the reverse of their priority: ties must still follow it.
    const int wwise = clock.addTask("wwise", 2);
    const int rec = clock.addTask("rec", 0);
    const int play = clock.addTask("play", 1);
    auto body = [&](int id, const char* name, int64_t first0, int64_t period) {
      for (int64_t t = first0;; t += period) {
        if (!clock.waitUntil(id, t)) break;
        EXPECT_EQ(clock.now(), t);
        std::lock_guard<std::mutex> g(m);
        order.push_back(std::string(name) + "@" + std::to_string(t));
      }
    };
    std::thread a(body, wwise, "wwise", 0, 1024);
    std::thread b(body, rec, "rec", 480, 480);
    std::thread c(body, play, "play", 0, 480);
    clock.start();
    a.join();
    b.join();
    c.join();
    EXPECT_TRUE(clock.done());
    // Times never go back; at one time the lower priority value runs first.
    for (size_t i = 1; i < order.size(); ++i) {
      const int64_t t0 = std::stoll(order[i - 1].substr(order[i - 1].find('@') + 1));
      const int64_t t1 = std::stoll(order[i].substr(order[i].find('@') + 1));
      EXPECT_LE(t0, t1) << order[i - 1] << " then " << order[i];
    }
    EXPECT_EQ(order[0], "play@0");
    EXPECT_EQ(order[1], "wwise@0");
    // 1920 is a multiple of 480 (rec and play both due): rec first.
    auto at = [&](const std::string& e) {
      return std::find(order.begin(), order.end(), e) - order.begin();
    };
    EXPECT_LT(at("rec@1920"), at("play@1920"));
    EXPECT_EQ(std::count_if(order.begin(), order.end(),
                            [](const std::string& e) { return e.rfind("wwise@", 0) == 0; }),
              5);  // 0, 1024, 2048, 3072, 4096: a time equal to the end still runs
    if (run == 0) first = order;
    EXPECT_EQ(order, first);
  }
}

TEST(SimClock, StopEndsEveryWait) {
  SimClock clock(ClockMode::Real);
  const int id = clock.addTask("t", 0);
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread t([&] {
    result = clock.waitUntil(id, 48000 * 600);  // ten minutes away
    returned = true;
  });
  clock.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load());
  clock.stop();
  t.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(clock.done());
}

TEST(SimVoiceEngine, DeliversMicrophoneAndTalkersInOrderAtTheObserversParameters) {
  SimClock clock(ClockMode::Virtual);
  clock.setEnd(4800);  // 100 ms
  sim::SimVoiceEngine engine(clock);
  engine.setMicrophone(counting(4800));
  engine.addTalker("c", 42, counting(4800, 7));
  engine.addTalker("c", 43, counting(4800, 9));
  ProbeObserver obs;
  obs.rec = {48000, 1, media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE, 240};  // mono, 240 per call
  void* media = nullptr;
  ASSERT_EQ(engine.findInterface(rtc::KIVRA_IID_MEDIA_ENGINE, &media), 0);
  ASSERT_EQ(media, static_cast<media::IMediaEngine*>(&engine));
  static_cast<media::IMediaEngine*>(media)->registerAudioFrameObserver(&obs);
  engine.reserveSeconds(1);
  engine.start();
  clock.start();
  engine.join();

  // Mono at 240 frames per call: 20 calls, each the average of L and R.
  ASSERT_EQ(obs.recordCalls, 20);
  for (int f : obs.recordFrames) EXPECT_EQ(f, 240);
  for (int c : obs.recordChannels) EXPECT_EQ(c, 1);
  ASSERT_EQ(obs.recorded.size(), 4800u);
  for (size_t i = 0; i < obs.recorded.size(); ++i)
    EXPECT_EQ(obs.recorded[i], 0) << i;  // (i + -i)/2
  ASSERT_EQ(engine.recordEvents().size(), 20u);
  EXPECT_EQ(engine.recordEvents()[0].time, 240);  // handed over once captured
  EXPECT_EQ(engine.micSamplesNotSilenced(), 0);

  // Talkers: 10 periods of 480 stereo frames, talker 42 then 43 each period.
  ASSERT_EQ(obs.talkerCalls.size(), 20u);
  EXPECT_EQ(obs.talkerCalls[0], "c/42");
  EXPECT_EQ(obs.talkerCalls[1], "c/43");
  EXPECT_EQ(obs.talker42, counting(4800, 7));
  // The engine's mix is the saturating sum of both talkers.
  ASSERT_EQ(obs.mix.size(), 9600u);
  const std::vector<int16_t> a = counting(4800, 7), b = counting(4800, 9);
  for (size_t i = 0; i < obs.mix.size(); ++i) {
    const int s = std::min(32767, std::max(-32768, a[i] + b[i]));
    ASSERT_EQ(obs.mix[i], s) << i;
  }
  // Talker 43 was refused every time: the engine noted each refusal.
  EXPECT_EQ(engine.talkerRejections(1).size(), 10u);
  EXPECT_TRUE(engine.talkerRejections(0).empty());
  static_cast<media::IMediaEngine*>(media)->registerAudioFrameObserver(nullptr);
}

TEST(SimVoiceEngine, ReadOnlyObserverCannotSilenceTheEnginesSend) {
  SimClock clock(ClockMode::Virtual);
  clock.setEnd(960);
  sim::SimVoiceEngine engine(clock);
  engine.setMicrophone(counting(960, 1));
  ProbeObserver obs;
  obs.rec.mode = media::RAW_AUDIO_FRAME_OP_MODE_READ_ONLY;
  engine.registerAudioFrameObserver(&obs);
  engine.start();
  clock.start();
  engine.join();
  EXPECT_EQ(obs.recordCalls, 2);
  EXPECT_EQ(engine.micSamplesNotSilenced(), 1920);
  engine.registerAudioFrameObserver(nullptr);
}

TEST(SimVoiceEngine, ClearingTheObserverWaitsForACallbackInFlight) {
  SimClock clock(ClockMode::Real);
  clock.setEnd(48000 * 10);
  sim::SimVoiceEngine engine(clock);
  engine.setMicrophone(counting(48000));
  auto obs = std::make_unique<ProbeObserver>();
  obs->blockRecord = true;
  engine.registerAudioFrameObserver(obs.get());
  engine.start();
  clock.start();
  {
    std::unique_lock<std::mutex> lock(obs->mutex);
    ASSERT_TRUE(
        obs->entered.wait_for(lock, std::chrono::seconds(5), [&] { return obs->inRecord; }));
  }
  std::atomic<bool> cleared{false};
  std::thread clearer([&] {
    engine.registerAudioFrameObserver(nullptr);
    cleared = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(cleared.load()) << "returned while onRecordAudioFrame was still running";
  int callsBefore = 0;
  {
    std::lock_guard<std::mutex> g(obs->mutex);
    obs->blockRecord = false;
    callsBefore = obs->recordCalls;
  }
  obs->released.notify_all();
  clearer.join();
  EXPECT_TRUE(cleared.load());
  {
    std::lock_guard<std::mutex> g(obs->mutex);
    EXPECT_FALSE(obs->inRecord);
  }
  EXPECT_EQ(engine.observer(), nullptr);
  // The observer may die now: the engine never calls it again.
  obs.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  clock.stop();
  engine.join();
  EXPECT_EQ(callsBefore, 1);
}

TEST(SimVoiceEngine, CustomTracksCaptureFramesWithTheirArrivalAndRefuseMalformedOnes) {
  SimClock clock(ClockMode::Virtual);
  sim::SimVoiceEngine engine(clock);
  rtc::AudioTrackConfig cfg{false, false, true};
  const int direct = engine.makeCustomAudioTrack(rtc::AUDIO_TRACK_DIRECT, cfg);
  const int aec = engine.makeCustomAudioTrack(rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE, cfg);
  EXPECT_NE(direct, aec);
  std::vector<int16_t> s = {1, 2, 3, 4, 5, 6};
  media::AudioFrame f{};
  f.samplesPerChannel = 3;
  f.channels = 2;
  f.samplesPerSec = 48000;
  f.buffer = s.data();
  EXPECT_EQ(engine.pushFrameToTrack(&f, direct), 0);
  EXPECT_EQ(engine.pushFrameToTrack(&f, 999), -1);
  media::AudioFrame bad = f;
  bad.buffer = nullptr;
  EXPECT_EQ(engine.pushFrameToTrack(&bad, direct), -1);
  bad = f;
  bad.channels = 0;
  EXPECT_EQ(engine.pushFrameToTrack(&bad, direct), -1);
  const sim::SimTrackCapture t = engine.track(direct);
  EXPECT_EQ(t.type, rtc::AUDIO_TRACK_DIRECT);
  EXPECT_TRUE(t.config.enableDirectPublish);
  EXPECT_EQ(t.samples, s);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0].samplesPerChannel, 3);
  EXPECT_EQ(t.refusedFrames, 2);
  EXPECT_EQ(engine.trackOfType(rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE).id, aec);
}

namespace {

// Plugin-side callbacks of a fake bridge: every voice is a constant 0.5.
std::vector<bool> g_recordSwitch, g_playoutSwitch;
std::vector<float> g_reverse;
void fakeSetRecording(bool on) { g_recordSwitch.push_back(on); }
void fakeSetPlayout(bool on) { g_playoutSwitch.push_back(on); }
void fakeGetRecord(IAkAudioBufferProxy*) {}
void fakePushRecord(IAkAudioBufferProxy*) {}
void fakeGetVoice(IAkAudioBufferProxy* b, unsigned long long) {
  const int n = b->CapacityFrames();
  for (uint32_t c = 0; c < 2; ++c) {
    float* d = b->ChannelData(c);
    for (int i = 0; i < n; ++i) d[i] = 0.5f;
  }
  b->SetFilledFrames(static_cast<uint16_t>(n));
  b->MarkState(45);
}
void fakePushReverse(IAkAudioBufferProxy* b) {
  for (int i = 0; i < b->FilledFrames(); ++i) g_reverse.push_back(b->ChannelData(0)[i]);
}

}  // namespace

TEST(SimWwise, PlacesVoicesByDistanceAndAzimuthWithConstantPower) {
  standin::resetPluginCallbacks();
  KWPluginSetCallback_SetTransferRecordingData(fakeSetRecording);
  KWPluginSetCallback_GetRecodeAudioFrame(fakeGetRecord);
  KWPluginSetCallback_PushRecodeAudioFrameAfterEffect(fakePushRecord);
  KWPluginSetCallback_SetTransferPlayoutData(fakeSetPlayout);
  KWPluginSetCallback_GetPlayoutAudioFrameByUid(fakeGetVoice);
  KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect(fakePushReverse);
  g_recordSwitch.clear();
  g_playoutSwitch.clear();
  g_reverse.clear();

  SimClock clock(ClockMode::Virtual);
  clock.setEnd(512 * 3);
  sim::SimWwiseConfig cfg;
  cfg.framesPerBuffer = 512;
  cfg.reserveSeconds = 1;
  sim::SimWwise wwise(clock, cfg);
  wwise.addGameObject(1, {-2.0f, 0.0f, 0.0f});  // hard left, 2 m
  ASSERT_TRUE(wwise.start());
  EXPECT_EQ(g_recordSwitch, std::vector<bool>{true});
  EXPECT_EQ(g_playoutSwitch, std::vector<bool>{true});
  clock.start();
  wwise.join();
  wwise.stop();
  EXPECT_EQ(g_recordSwitch, (std::vector<bool>{true, false}));
  EXPECT_EQ(g_playoutSwitch, (std::vector<bool>{true, false}));

  // Hard left at 2 m with a 1 m minimum distance: left 0.5 x 1/2, right 0.
  EXPECT_NEAR(wwise.voiceGainLeft(0), 0.5f, 1e-6);
  EXPECT_NEAR(wwise.voiceGainRight(0), 0.0f, 1e-6);
  const std::vector<float>& sp = wwise.speakers();
  ASSERT_EQ(sp.size(), 4u * 512 * 2);  // frames at 0, 512, 1024, 1536
  EXPECT_FLOAT_EQ(sp[0], 0.25f);
  EXPECT_FLOAT_EQ(sp[1], 0.0f);
  EXPECT_EQ(g_reverse.size(), 4u * 512);
  EXPECT_FLOAT_EQ(g_reverse[100], 0.25f);
  EXPECT_EQ(wwise.voiceUnderruns(0), 0);

  // Straight ahead inside the minimum distance: equal power, unattenuated.
  SimClock clock2(ClockMode::Virtual);
  sim::SimWwise front(clock2, cfg);
  front.addGameObject(2, {0.0f, 0.0f, 0.5f});
  EXPECT_NEAR(front.voiceGainLeft(0), std::sqrt(0.5f), 1e-6);
  EXPECT_NEAR(front.voiceGainRight(0), std::sqrt(0.5f), 1e-6);
  // 45 degrees to the right at 4 m: power sums to 1/16, right louder.
  front.addGameObject(3, {2.8284271f, 0.0f, 2.8284271f});
  const float l = front.voiceGainLeft(1), r = front.voiceGainRight(1);
  EXPECT_NEAR(l * l + r * r, 1.0f / 16.0f, 1e-5);
  EXPECT_GT(r, l);
  standin::resetPluginCallbacks();
}

// Call durations for the live report: quantiles to the microsecond bucket
// above them, the largest exact (past the histogram's 20 ms too), and two
// threads' histograms merged as one.
TEST(SimCallTimes, QuantilesToTheMicrosecondAndTheLongestExactly) {
  kivra::sim::SimCallTimes a, b;
  for (int us = 1; us <= 1000; ++us) (us % 2 ? a : b).add(int64_t(us) * 1000 + 300);
  a.merge(b);
  EXPECT_EQ(a.count(), 1000);
  EXPECT_DOUBLE_EQ(a.quantileMicros(0.5), 501.0);   // the 500th call, 500.3 us
  EXPECT_DOUBLE_EQ(a.quantileMicros(0.99), 991.0);  // the 990th
  EXPECT_DOUBLE_EQ(a.quantileMicros(0.999), 1000.0);
  EXPECT_DOUBLE_EQ(a.quantileMicros(1.0), 1000.3);
  EXPECT_NEAR(a.meanMicros(), 500.8, 1e-9);
  a.add(25000000);  // 25 ms: beyond the buckets
  EXPECT_DOUBLE_EQ(a.quantileMicros(1.0), 25000.0);
  EXPECT_DOUBLE_EQ(a.quantileMicros(0.5), 502.0);  // now the 501st of 1001
  a.clear();
  EXPECT_EQ(a.count(), 0);
  EXPECT_DOUBLE_EQ(a.quantileMicros(0.999), 0.0);
}
