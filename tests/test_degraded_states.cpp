// The three bad states a session can stay in for minutes, each run for a
// simulated minute with the stand-in engine and Wwise driving the library
// through its exports and callbacks (virtual clock, so a minute takes well
// under a second). The log may write at most two lines a second for the
// stream or talker in that state, and every block it left out is counted.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KivraCommLog.h"
#include "KivraSimClock.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "LogRepeats.h"
#include "TestSupport.h"

using kivra::sim::ClockMode;
using kivra::sim::SimClock;
using kivra::sim::SimVoiceEngine;
using kivra::sim::SimWwise;
using kivra::sim::SimWwiseConfig;
using Lines = std::vector<std::string>;

namespace {

constexpr int kRate = 48000;
constexpr int64_t kMinute = 60LL * kRate;
constexpr unsigned kUid = 42;
constexpr unsigned long long kObject = 99;

// The pacing of repeated lines follows the simulation's clock.
const SimClock* g_clock = nullptr;
int64_t simulatedNanos() { return g_clock->now() * (1000000000LL / kRate); }

struct Outcome {
  Lines log;                        // every message of the session
  int64_t talkerRefused = 0;        // blocks the bridge refused for the talker
  int64_t wwiseFrames = 0;          // Wwise frames rendered
  int64_t wwiseMicFramesEmpty = 0;  // of them, pulls that got no microphone
};

// One simulated minute. mapped: the game maps game object kObject to the
// talker; unmapAt >= 0: the game unmaps it at that frame; pulled: Wwise
// plays game object kObject; recording: the engine's threads run.
Outcome runMinute(bool mapped, int64_t unmapAt, bool pulled, bool recording) {
  kivra::test::TempDir dir("degraded");
  kivra::standin::resetPluginCallbacks();
  Outcome out;
  SimClock clock(ClockMode::Virtual);
  clock.setEnd(kMinute);
  g_clock = &clock;
  KV_SET_LOG_CLOCK(&simulatedNanos);
  {
    SimVoiceEngine engine(clock);
    engine.addTalker("room1", kUid, std::vector<int16_t>(static_cast<size_t>(kRate) * 2, 1000));
    engine.reserveSeconds(61);
    int track = 0;
    EXPECT_EQ(KW_InitKivraWwisePlugin(static_cast<kivra::rtc::IRtcEngine*>(&engine), &track,
                                      dir.path().c_str()),
              0);
    if (mapped) {
      EXPECT_EQ(KW_SetUidToGameObjectIDMapping(kObject, "room1", kUid), 0);
    }
    SimWwiseConfig config;
    config.reserveSeconds = 61;
    SimWwise wwise(clock, config);
    if (pulled) wwise.addGameObject(kObject, kivra::sim::SimVec3{0, 0, 1});
    std::thread game;
    if (unmapAt >= 0) {
      const int task = clock.addTask("game", 3);
      game = std::thread([&clock, task, unmapAt] {
        if (clock.waitUntil(task, unmapAt)) {
          EXPECT_EQ(KW_ClearReceiveOpenID("room1", kUid), 0);
          clock.finish(task);
        }
      });
    }
    if (recording) engine.start();
    EXPECT_TRUE(wwise.start());
    clock.start();
    if (recording) engine.join();
    wwise.join();
    if (game.joinable()) game.join();
    wwise.stop();
    EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
    out.talkerRefused = static_cast<int64_t>(engine.talkerRejections(0).size());
    out.wwiseFrames = static_cast<int64_t>(wwise.frames().size());
    for (const kivra::sim::SimWwiseFrame& f : wwise.frames()) {
      out.wwiseMicFramesEmpty += f.micPulled == 0 ? 1 : 0;
    }
  }
  KV_SET_LOG_CLOCK(nullptr);
  g_clock = nullptr;
  out.log = kivra::test::logMessages(dir.path() + "/kivra_wwise_log.txt");
  return out;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Lines written about one stream or talker (its first lines and summaries),
// and how many occurrences they stand for.
struct Written {
  int64_t lines = 0;
  int64_t occurrences = 0;
};

Written about(const Lines& log, const std::function<bool(const std::string&)>& match) {
  Written w;
  for (const std::string& m : log) {
    long long n = 0, ms = 0;
    std::string line;
    if (kivra::test::parseRepeated(m, &n, &ms, &line)) {
      if (match(line)) {
        ++w.lines;
        w.occurrences += n;
      }
    } else if (match(m)) {
      ++w.lines;
      ++w.occurrences;
    }
  }
  return w;
}

const std::string kTalkerOverflow =
    "onPlaybackAudioFrameBeforeMixing playback uid 42 data overflow";

}  // namespace

TEST(DegradedStates, AMappedTalkerWwiseDoesNotPull) {
  // A distant voice Wwise virtualised, or a sound not yet posted: 20 blocks
  // fill the talker's queue, the next 20 (200 ms) are dropped, and then what
  // it holds is stale: newer audio replaces it for the rest of the minute.
  const Outcome o = runMinute(true, -1, false, true);
  const Written w =
      about(o.log, [](const std::string& m) { return startsWith(m, kTalkerOverflow); });
  const Written stale = about(o.log, [](const std::string& m) {
    return startsWith(m, "latency downlink uid 42 channel room1: queue full for longer");
  });
  std::printf(
      "mapped talker not pulled: %lld lines for %lld dropped blocks, %lld stale line(s) "
      "(%zu lines in all)\n",
      static_cast<long long>(w.lines), static_cast<long long>(w.occurrences),
      static_cast<long long>(stale.lines), o.log.size());
  EXPECT_EQ(o.talkerRefused, 20);
  EXPECT_EQ(w.occurrences, o.talkerRefused);
  EXPECT_EQ(w.lines, 2);  // the first line, and the summary when the overflow ended
  EXPECT_EQ(stale.lines, 1);
  EXPECT_LE(o.log.size(), 2u * 60u);
}

TEST(DegradedStates, ATalkerUnmappedWhileStillInTheChannel) {
  // A despawned avatar whose player keeps talking: Wwise played it for ten
  // seconds, then the game unmapped it. Its frames are refused from then on,
  // without a line, and its queue is gone.
  const Outcome o = runMinute(true, 10LL * kRate, true, true);
  const Written w =
      about(o.log, [](const std::string& m) { return startsWith(m, kTalkerOverflow); });
  std::printf("talker unmapped in the channel: %lld overflow lines (%zu lines in all)\n",
              static_cast<long long>(w.lines), o.log.size());
  EXPECT_EQ(w.lines, 0);
  EXPECT_GE(o.talkerRefused, 50 * 100 - 1);
  EXPECT_LE(o.talkerRefused, 50 * 100 + 1);
  int releases = 0;
  for (const std::string& m : o.log) releases += m == " release buffer for uid 42, channel room1";
  EXPECT_EQ(releases, 1);
  // Nothing else about the talker either, once it was released.
  const Written any = about(o.log, [](const std::string& m) {
    return m.find("uid 42") != std::string::npos && m.find("uid (42)") == std::string::npos;
  });
  EXPECT_LE(any.lines, 5);
}

TEST(DegradedStates, WwisePullsTheMicrophoneBeforeTheEngineRecords) {
  const Outcome o = runMinute(false, -1, false, false);
  const Written w =
      about(o.log, [](const std::string& m) { return m == "sdk not start save record data yet"; });
  std::printf("Wwise pulling before the engine records: %lld lines for %lld pulls (%zu in all)\n",
              static_cast<long long>(w.lines), static_cast<long long>(w.occurrences), o.log.size());
  EXPECT_EQ(o.wwiseMicFramesEmpty, o.wwiseFrames);
  EXPECT_GE(o.wwiseFrames, 2800);
  EXPECT_EQ(w.occurrences, o.wwiseFrames);
  EXPECT_LE(w.lines, 2 * 60);
  EXPECT_GE(w.lines, 2);
}
