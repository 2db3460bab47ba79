// End to end: the built library loaded at run time as a game loads it, its
// five functions resolved by name, the stand-in SDK loaded by the system
// loader as its dependency (and linked here to reach the plugin callbacks and
// the recording engine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "DynamicLibrary.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using kivra::standin::FloatBufferProxy;
using kivra::standin::PluginCallbacks;
using Lines = std::vector<std::string>;

using InitFn = int (*)(void*, int*, const char*);
using UninitFn = int (*)(void);
using SetMapFn = int (*)(const unsigned long long, const char*, unsigned int);
using GetMapFn = int (*)(const unsigned long long, char*, unsigned int*);
using ClearFn = int (*)(const char*, const unsigned int);

// Compile-time check that the pointer types above match the public header.
static_assert(std::is_same<decltype(&KW_InitKivraWwisePlugin), InitFn>::value, "init");
static_assert(std::is_same<decltype(&KW_UninitKivraWwisePlugin), UninitFn>::value, "uninit");
static_assert(std::is_same<decltype(&KW_SetUidToGameObjectIDMapping), SetMapFn>::value, "set");
static_assert(std::is_same<decltype(&KW_GetUidByGameObjectID), GetMapFn>::value, "get");
static_assert(std::is_same<decltype(&KW_ClearReceiveOpenID), ClearFn>::value, "clear");

const Lines kSetters = {"KWPluginSetCallback_SetTransferRecordingData",
                        "KWPluginSetCallback_GetRecodeAudioFrame",
                        "KWPluginSetCallback_PushRecodeAudioFrameAfterEffect",
                        "KWPluginSetCallback_SetTransferPlayoutData",
                        "KWPluginSetCallback_GetPlayoutAudioFrameByUid",
                        "KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect"};

struct Api {
  std::unique_ptr<kivra::test::DynamicLibrary> lib;
  InitFn init = nullptr;
  UninitFn uninit = nullptr;
  SetMapFn setMap = nullptr;
  GetMapFn getMap = nullptr;
  ClearFn clear = nullptr;
};

// Loaded once and kept for the whole run: the plugin side keeps pointers to
// its callbacks.
Api& api() {
  static Api a = [] {
    Api x;
    x.lib = std::make_unique<kivra::test::DynamicLibrary>(KIVRA_WRAPPER_LIBRARY_PATH,
                                                          KIVRA_WRAPPER_LIBRARY_NAME);
    x.init = x.lib->Function<InitFn>("KW_InitKivraWwisePlugin");
    x.uninit = x.lib->Function<UninitFn>("KW_UninitKivraWwisePlugin");
    x.setMap = x.lib->Function<SetMapFn>("KW_SetUidToGameObjectIDMapping");
    x.getMap = x.lib->Function<GetMapFn>("KW_GetUidByGameObjectID");
    x.clear = x.lib->Function<ClearFn>("KW_ClearReceiveOpenID");
    return x;
  }();
  return a;
}

std::string pointerText(const void* p) {
  char text[64];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

bool inOrder(const Lines& lines, const Lines& expected) {
  auto at = lines.begin();
  for (const std::string& e : expected) {
    at = std::find(at, lines.end(), e);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

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

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    Api& a = api();
    ASSERT_TRUE(a.lib->Loaded()) << a.lib->Error();
    ASSERT_TRUE(a.init && a.uninit && a.setMap && a.getMap && a.clear);
    kivra::standin::resetPluginCallbacks();
    a.uninit();
  }
  void TearDown() override {
    api().uninit();
    kivra::standin::resetPluginCallbacks();
  }

  // The log file the library wrote into dir_ (its name ends in the log's name
  // whatever separator the platform rules put before it).
  std::string logFile() const {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.path(), ec)) {
      const std::string name = e.path().filename().string();
      const std::string want = "kivra_wwise_log.txt";
      if (name.size() >= want.size() &&
          name.compare(name.size() - want.size(), want.size(), want) == 0)
        return e.path().string();
    }
    return std::string();
  }
  // Any export returns only once the lines logged before it are in the
  // file: a look-up that finds nothing waits for the callbacks' lines.
  Lines log() const {
    char channel[8] = "";
    unsigned int uid = 0;
    api().getMap(~0ull, channel, &uid);
    const std::string f = logFile();
    return f.empty() ? Lines() : kivra::test::logMessages(f);
  }

  void* engineArg() { return static_cast<kivra::rtc::IRtcEngine*>(&engine_); }
  kivra::standin::RecordingMediaEngine& media() { return engine_.mediaEngine(); }

  kivra::test::TempDir dir_{"e2e"};
  kivra::standin::RecordingRtcEngine engine_;
};

TEST_F(EndToEnd, WholeSession) {
  Api& a = api();
  int track = -7;
  ASSERT_EQ(a.init(engineArg(), &track, dir_.path().c_str()), 0);

  // The six callbacks, in order, then the binding.
  const PluginCallbacks cb = kivra::standin::pluginCallbacks();
  EXPECT_EQ(cb.setterCalls, kSetters);
  ASSERT_TRUE(cb.setTransferRecordingData && cb.getRecodeAudioFrame &&
              cb.pushRecodeAudioFrameAfterEffect && cb.setTransferPlayoutData &&
              cb.getPlayoutAudioFrameByUid && cb.pushPlayoutAudioFrameAfterEffect);
  kivra::media::IAudioFrameObserver* observer = media().observer();
  ASSERT_NE(observer, nullptr);
  const std::vector<kivra::standin::CustomTrack> tracks = media().tracks();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].type, kivra::rtc::AUDIO_TRACK_DIRECT);
  EXPECT_EQ(tracks[1].type, kivra::rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE);
  for (const kivra::standin::CustomTrack& t : tracks) {
    EXPECT_FALSE(t.config.enableLocalPlayback);
    EXPECT_FALSE(t.config.enableAudioProcessing);
    EXPECT_TRUE(t.config.enableDirectPublish);
  }
  EXPECT_EQ(track, tracks[0].id);
  const int aecTrack = tracks[1].id;
  EXPECT_EQ(observer->getObservedAudioFramePosition(), 11);

  // Uplink: engine record frame -> Wwise pull -> Wwise effect -> direct track.
  cb.setTransferRecordingData(true);
  Frame mic(-300);
  ASSERT_TRUE(observer->onRecordAudioFrame("room", mic.f));
  for (int16_t s : mic.s) ASSERT_EQ(s, 0);  // the engine sends silence itself
  FloatBufferProxy rec(512, 2);
  cb.getRecodeAudioFrame(&rec);
  ASSERT_EQ(rec.state(), 45);
  ASSERT_EQ(rec.FilledFrames(), 480);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(rec.channel(0)[i], static_cast<float>(-300 + 2 * i) / 32768.0f) << i;
    ASSERT_EQ(rec.channel(1)[i], static_cast<float>(-299 + 2 * i) / 32768.0f) << i;
  }
  // The "effect": a ramp on the left, its negative on the right.
  for (int i = 0; i < 480; ++i) {
    rec.channel(0)[i] = static_cast<float>(i) / 1024.0f;
    rec.channel(1)[i] = -static_cast<float>(i) / 1024.0f;
  }
  cb.pushRecodeAudioFrameAfterEffect(&rec);
  std::vector<int16_t> sent = media().samplesOfTrack(track);
  ASSERT_EQ(sent.size(), 960u);
  for (int i = 0; i < 480; ++i) {
    const int expected = static_cast<int>(std::trunc(i * 32767.0 / 1024.0));
    ASSERT_EQ(sent[2 * i], expected) << i;
    ASSERT_EQ(sent[2 * i + 1], -expected) << i;
  }
  for (int i = 0; i < 480; ++i) ASSERT_EQ(rec.channel(0)[i], 0.0f);
  {
    const std::vector<kivra::standin::PushedFrame> frames = media().pushedFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frame.channels, 2);
    EXPECT_EQ(frames[0].frame.samplesPerChannel, 480);
    EXPECT_EQ(frames[0].frame.samplesPerSec, 48000);
  }

  // Downlink by game object.
  ASSERT_EQ(a.setMap(7, "room", 42), 0);
  cb.setTransferPlayoutData(true);
  Frame talker1(1000), talker2(3000);
  ASSERT_TRUE(observer->onPlaybackAudioFrameBeforeMixing("room", 42u, talker1.f));
  ASSERT_TRUE(observer->onPlaybackAudioFrameBeforeMixing("room", 42u, talker2.f));
  for (int block = 0; block < 2; ++block) {
    FloatBufferProxy out(480, 2);
    cb.getPlayoutAudioFrameByUid(&out, 7);
    ASSERT_EQ(out.state(), 45);
    ASSERT_EQ(out.FilledFrames(), 480);
    const int first = block == 0 ? 1000 : 3000;
    for (int i = 0; i < 480; ++i) {
      ASSERT_EQ(out.channel(0)[i], static_cast<float>(first + 2 * i) / 32768.0f) << block;
      ASSERT_EQ(out.channel(1)[i], static_cast<float>(first + 2 * i + 1) / 32768.0f) << block;
    }
  }
  FloatBufferProxy unmapped(480, 2);
  unmapped.fill(0.5f);
  cb.getPlayoutAudioFrameByUid(&unmapped, 8);
  EXPECT_EQ(unmapped.markStateCalls(), 0);
  EXPECT_EQ(unmapped.channel(0)[0], 0.5f);

  // Reverse: Wwise's mix to the AEC-reference track.
  FloatBufferProxy mix(480, 2);
  for (int i = 0; i < 480; ++i) {
    mix.channel(0)[i] = 0.25f;
    mix.channel(1)[i] = -0.5f;
  }
  mix.setFilled(480);
  cb.pushPlayoutAudioFrameAfterEffect(&mix);
  sent = media().samplesOfTrack(aecTrack);
  ASSERT_EQ(sent.size(), 960u);
  for (int i = 0; i < 480; ++i) {
    ASSERT_EQ(sent[2 * i], 8191);
    ASSERT_EQ(sent[2 * i + 1], -16383);
  }

  // Registry changes from the game.
  char channel[5] = {'x', 'x', 'x', 'x', 'x'};
  unsigned int uid = 0;
  ASSERT_EQ(a.getMap(7, channel, &uid), 0);
  EXPECT_STREQ(channel, "room");
  EXPECT_EQ(uid, 42u);
  EXPECT_EQ(a.clear("room", 42), 0);
  EXPECT_EQ(a.clear("room", 42), -1);
  EXPECT_EQ(a.getMap(7, channel, &uid), -1);
  // No game object names the talker any more: it is released, and its
  // frames are refused like those of a talker never mapped.
  FloatBufferProxy afterClear(480, 2);
  const std::vector<int16_t> before = talker1.s;
  EXPECT_FALSE(observer->onPlaybackAudioFrameBeforeMixing("room", 42u, talker1.f));
  EXPECT_EQ(talker1.s, before);
  cb.getPlayoutAudioFrameByUid(&afterClear, 7);
  EXPECT_EQ(afterClear.markStateCalls(), 0);

  EXPECT_EQ(a.uninit(), 0);
  EXPECT_EQ(media().observer(), nullptr);
  EXPECT_EQ(media().registrations().size(), 2u);

  const std::string w = pointerText(observer);
  const Lines lines = log();
  EXPECT_TRUE(inOrder(
      lines,
      {"Kivra wwise wrapper construct",
       "Reverse audio buffer size: 19200(19201), record buffer size 19200",
       "registerAudioFrameObserver: 0", "create wrapper " + w + " success",
       "direct advanced track id 1000, aec reference track id 1001",
       "setTransferRecordDataState enable 1", "register gameObjectId map, game id (7) -> uid (42)",
       "setTransferPlayerDataState enable 1", "unregister gameObjectId map, game id -> uid (42)",
       " release buffer for uid 42, channel room", "setTransferPlayerDataState enable 0",
       "destroy wrapper " + w + " in", "destroy wrapper " + w + " out"}))
      << ::testing::PrintToString(lines);
  // Every line has the layout: thread id, time stamp, message.
  for (const std::string& raw : kivra::test::readLines(logFile())) {
    EXPECT_NE(kivra::test::logMessage(raw), raw) << raw;
  }
}

TEST_F(EndToEnd, EngineWithoutMediaEngine) {
  engine_.setYieldMediaEngine(-1);
  int track = -7;
  EXPECT_EQ(api().init(engineArg(), &track, dir_.path().c_str()), -1);
  EXPECT_EQ(track, -7);
  EXPECT_FALSE(logFile().empty());
  EXPECT_EQ(log().back(), "create wrapper failed!");
  const PluginCallbacks cb = kivra::standin::pluginCallbacks();
  EXPECT_EQ(cb.setterCalls, kSetters);
  EXPECT_TRUE(media().registrations().empty());
  EXPECT_TRUE(media().tracks().empty());

  // The plugin side works on the unregistered bridge; nothing reaches a track.
  cb.setTransferRecordingData(true);
  FloatBufferProxy buf(480, 2);
  buf.setFilled(480);
  cb.pushRecodeAudioFrameAfterEffect(&buf);
  EXPECT_EQ(log().back(), "failed to push wwise record data after effect!");
  cb.pushPlayoutAudioFrameAfterEffect(&buf);
  EXPECT_EQ(media().pushCount(), 0u);
  EXPECT_EQ(api().uninit(), 0);
}

TEST_F(EndToEnd, RefusedArguments) {
  Api& a = api();
  int track = -7;
  EXPECT_EQ(a.init(nullptr, &track, dir_.path().c_str()), -1);
  EXPECT_EQ(track, -7);
  EXPECT_EQ(log().back(), "init refused: null rtc engine!");
  EXPECT_EQ(kivra::standin::pluginCallbacks().setterCalls.size(), 6u);

  EXPECT_EQ(a.init(engineArg(), nullptr, dir_.path().c_str()), -1);
  EXPECT_EQ(log().back(), "init refused: null track id argument!");
  EXPECT_EQ(media().observer(), nullptr);
  EXPECT_TRUE(engine_.findInterfaceCalls().empty());

  unsigned int uid = 77;
  char buf[8] = "keep";
  EXPECT_EQ(a.setMap(7, "room", 42), 0);
  EXPECT_EQ(a.setMap(8, nullptr, 43), -1);
  EXPECT_EQ(a.getMap(8, buf, &uid), -1);
  EXPECT_EQ(a.getMap(7, nullptr, &uid), -1);
  EXPECT_EQ(a.getMap(7, buf, nullptr), -1);
  EXPECT_EQ(uid, 77u);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(a.clear(nullptr, 42), -1);
  EXPECT_EQ(a.getMap(7, buf, &uid), 0);  // nothing was removed
  EXPECT_STREQ(buf, "room");
  EXPECT_EQ(uid, 42u);

  // A null log path: no log, the binding proceeds.
  ASSERT_EQ(a.uninit(), 0);
  const size_t before = log().size();
  EXPECT_EQ(a.init(engineArg(), &track, nullptr), 0);
  EXPECT_EQ(track, 1000);
  EXPECT_NE(media().observer(), nullptr);
  EXPECT_EQ(log().size(), before);
}

TEST_F(EndToEnd, RegistryWithoutEngineAndExactBuffers) {
  Api& a = api();
  EXPECT_EQ(a.uninit(), 0);  // no initialisation took place
  const std::string longId(300, 'L');
  EXPECT_EQ(a.setMap(1, longId.c_str(), 5), 0);
  EXPECT_EQ(a.setMap(2, "", 0), 0);
  EXPECT_EQ(a.setMap(0xFFFFFFFFFFFFFFFFull, "max", 0xFFFFFFFFu), 0);

  // A buffer of exactly strlen + 1 bytes, followed by guard bytes.
  std::vector<char> buf(longId.size() + 1 + 16, '#');
  unsigned int uid = 0;
  ASSERT_EQ(a.getMap(1, buf.data(), &uid), 0);
  EXPECT_EQ(std::string(buf.data()), longId);
  EXPECT_EQ(uid, 5u);
  for (size_t i = longId.size() + 1; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << i;
  ASSERT_EQ(a.getMap(2, buf.data(), &uid), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'L');  // only the NUL was written
  EXPECT_EQ(uid, 0u);
  ASSERT_EQ(a.getMap(0xFFFFFFFFFFFFFFFFull, buf.data(), &uid), 0);
  EXPECT_STREQ(buf.data(), "max");
  EXPECT_EQ(uid, 0xFFFFFFFFu);
  EXPECT_EQ(a.clear(longId.c_str(), 5), 0);
  EXPECT_EQ(a.clear(longId.c_str(), 5), -1);
  EXPECT_EQ(a.uninit(), 0);  // teardown empties the registry
  EXPECT_EQ(a.getMap(2, buf.data(), &uid), -1);
}

TEST_F(EndToEnd, RepeatedInitAndUninit) {
  Api& a = api();
  for (int cycle = 0; cycle < 3; ++cycle) {
    int track = -7;
    ASSERT_EQ(a.init(engineArg(), &track, dir_.path().c_str()), 0) << cycle;
    EXPECT_EQ(track, 1000 + 2 * cycle);
    EXPECT_EQ(kivra::standin::pluginCallbacks().setterCalls.size(), 6u * (cycle + 1));
    // Each init opens the log afresh.
    const Lines lines = log();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Kivra wwise wrapper construct") << cycle;
    EXPECT_EQ(a.uninit(), 0);
    EXPECT_EQ(media().observer(), nullptr);
  }
  EXPECT_EQ(media().tracks().size(), 6u);
}

}  // namespace
