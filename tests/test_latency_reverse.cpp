// The reverse stream in buffered mode (the rendered mix queued for the
// engine's playback) under the same disturbances as the other streams, in
// virtual time: the simulated engine and Wwise drive the bridge through its
// exports, a probe finds every frame the engine plays in the mix Wwise
// pushed, and measures its age.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "KivraSimLatency.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"
#include "KivraWwiseWrapper.h"
#include "LogRepeats.h"
#include "TestSupport.h"
#include "test_bridge_fixture.h"

namespace {

// The simulated hour of the drift tests. KIVRA_SIM_HOUR_SCALE shortens it
// where the simulation runs slowly (sanitizers, an emulator); the checks
// cover every whole minute that runs.
double simulatedHour() {
  const char* env = std::getenv("KIVRA_SIM_HOUR_SCALE");
  const double scale = env != nullptr ? std::atof(env) : 1.0;
  return 3600.0 * (scale > 0 && scale <= 1 ? scale : 1.0);
}

namespace sim = kivra::sim;
constexpr int kRate = 48000;

// A talker with pauses: 0.3 s of a 220 Hz tone, 0.2 s of silence, looped;
// every pass dithered so that the mix never repeats.
std::vector<int16_t> burstyVoice() {
  std::vector<int16_t> v(static_cast<size_t>(kRate) * 2 * 10);
  for (size_t f = 0; f < v.size() / 2; ++f) {
    const bool on = f % 24000 < 14400;
    const int16_t s =
        on ? static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 220.0 * f / kRate)) : 0;
    v[2 * f] = v[2 * f + 1] = s;
  }
  sim::simDither(v, 7);
  return v;
}

struct ReverseResult {
  std::vector<sim::SimLatencyMinute> minutes;
  std::map<double, double> ageByTime;  // first frame of each playback frame
  int64_t placed = 0, unplaced = 0, skipped = 0;
  KivraCommLatencyController::Stats stats;
  int64_t notAvailableLines = 0, overflowLines = 0;  // occurrences
};

struct ReverseConfig {
  double seconds = 60;
  int wwiseFrames = 1024;
  double wwisePpm = 0;
  std::vector<sim::SimSpan> stalls;
};

ReverseResult runReverse(const ReverseConfig& rc, const std::string& name) {
  kivra::test::TempDir dir("reverse_" + name);
  sim::SimClock clock(sim::ClockMode::Virtual, kRate);
  clock.setEnd(static_cast<int64_t>(rc.seconds * kRate));
  sim::SimVoiceEngine engine(clock);
  engine.addTalkerSource("room1", 42, sim::SimSource(burstyVoice(), true, 99));
  engine.setCaptureTracks(false);
  sim::SimMixHistory history(kRate * 5);
  sim::SimLatencyProbe probe(history);
  probe.reserve(static_cast<size_t>(rc.seconds * 100) + 64,
                static_cast<size_t>(rc.seconds / 60) + 2);
  engine.setPlaybackProbe(&probe);

  int track = 0;
  EXPECT_EQ(KW_InitKivraWwisePlugin(static_cast<kivra::rtc::IRtcEngine*>(&engine), &track,
                                    dir.path().c_str()),
            0);
  KivraWwiseCommWrapper* w = KivraWwiseCommWrapper::getInstance();
  Peer::setDirectReverse(*w, false);
  EXPECT_EQ(KW_SetUidToGameObjectIDMapping(100, "room1", 42), 0);

  sim::SimWwiseConfig wc;
  wc.framesPerBuffer = rc.wwiseFrames;
  wc.clockPpm = rc.wwisePpm;
  wc.stalls = rc.stalls;
  wc.captureSpeakers = false;
  wc.ditherMix = true;
  sim::SimWwise wwise(clock, wc);
  wwise.addGameObject(100, {0, 0, 1});
  wwise.setMixHistory(&history);
  EXPECT_TRUE(wwise.start());
  engine.start();
  clock.start();
  while (!clock.done()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  engine.join();
  wwise.join();

  ReverseResult r;
  r.stats = Peer::reverseLatency(*w).stats();
  wwise.stop();
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
  r.minutes = probe.minutes();
  for (const sim::SimLatencyPoint& p : probe.trace()) r.ageByTime[p.seconds] = p.ms;
  r.placed = probe.placed();
  r.unplaced = probe.unplaced();
  r.skipped = probe.skipped();
  // Occurrences: a summary of repeats stands for as many lines.
  for (const std::string& line : kivra::test::logMessages(dir.path() + "/kivra_wwise_log.txt")) {
    long long n = 1, ms = 0;
    std::string repeated;
    if (!kivra::test::parseRepeated(line, &n, &ms, &repeated)) n = 1;
    if (line.find("reverse data is not avaliable") != std::string::npos) r.notAvailableLines += n;
    if (line.find("reverse float audio frame overflow") != std::string::npos) r.overflowLines += n;
  }
  return r;
}

double meanAge(const ReverseResult& r, double from, double to) {
  double sum = 0;
  int n = 0;
  for (const auto& p : r.ageByTime) {
    if (p.first >= from && p.first < to) {
      sum += p.second;
      ++n;
    }
  }
  return n > 0 ? sum / n : -1;
}

int64_t corrections(const KivraCommLatencyController::Stats& s) {
  return s.quietRemovals + s.crossfadeRemovals + s.quietInsertions + s.fadeInsertions +
         s.staleEvents;
}

}  // namespace

TEST(LatencyReverse, MatchedClocksPlayTheMixUntouchedAtEveryWwiseFrameSize) {
  for (int frames : {256, 1024, 2048}) {
    ReverseConfig c;
    c.seconds = simulatedHour() < 3600 ? 30 : 120;
    c.wwiseFrames = frames;
    const ReverseResult r = runReverse(c, "matched_" + std::to_string(frames));
    EXPECT_EQ(corrections(r.stats), 0) << frames;
    EXPECT_EQ(r.unplaced, 0) << frames;
    EXPECT_EQ(r.skipped, 0) << frames;
    EXPECT_EQ(r.overflowLines, 0) << frames;
    EXPECT_GT(r.placed, kRate * (c.seconds - 5)) << frames;
  }
}

TEST(LatencyReverse, AfterAWwiseStallTheQueueReturnsToItsLevelWithinTwoSeconds) {
  const ReverseConfig calm{40, 1024, 0, {}};
  const ReverseResult base = runReverse(calm, "stall_none");
  const double undisturbed = meanAge(base, 5, 40);
  ASSERT_GT(undisturbed, 0);
  for (double stall : {0.05, 0.3, 2.0}) {
    ReverseConfig c = calm;
    c.stalls.push_back({10 * kRate, static_cast<int64_t>(stall * kRate)});
    const ReverseResult r =
        runReverse(c, "stall_" + std::to_string(static_cast<int>(stall * 1000)));
    const double resumed = 10 + stall;
    for (double t = resumed + 2; t + 1 <= 40; t += 1) {
      EXPECT_NEAR(meanAge(r, t, t + 1), meanAge(base, t, t + 1), 5.0)
          << "stall " << stall << " s, second " << t;
    }
    // The stall emptied the queue: the engine played silence and buffered
    // again, as before.
    EXPECT_GT(r.notAvailableLines, base.notAvailableLines) << stall;
  }
}

TEST(LatencyReverse, ThreeHundredPpmOfDriftEitherWayForAnHourStaysBounded) {
  const ReverseResult base =
      runReverse({std::min(300.0, simulatedHour()), 1024, 0, {}}, "drift_none");
  double undisturbed = 0;
  for (const sim::SimLatencyMinute& m : base.minutes) undisturbed += m.meanMs();
  undisturbed /= static_cast<double>(base.minutes.size());
  for (double ppm : {-300.0, 300.0}) {
    const double hour = simulatedHour();
    const ReverseResult r = runReverse({hour, 1024, ppm, {}}, "drift_" + std::to_string(int(ppm)));
    const size_t minutes = static_cast<size_t>(hour / 60);
    ASSERT_GE(r.minutes.size(), minutes);
    for (size_t m = 0; m < minutes; ++m) {
      EXPECT_NEAR(r.minutes[m].meanMs(), undisturbed, 5.0) << ppm << " ppm, minute " << m + 1;
    }
    EXPECT_EQ(r.overflowLines, 0) << ppm;
    // It never ran dry after it started.
    EXPECT_EQ(r.notAvailableLines, base.notAvailableLines) << ppm;
    if (ppm > 0) {
      // Wwise fast: its surplus removed, in the talker's pauses.
      EXPECT_GT(r.stats.quietRemovals, 0);
      EXPECT_GE(r.stats.quietRemovals, 9 * r.stats.crossfadeRemovals);
    } else {
      // Wwise slow: silence added in the pauses instead of running dry.
      EXPECT_GT(r.stats.quietInsertions, 0);
      EXPECT_GE(r.stats.quietInsertions, 9 * r.stats.fadeInsertions);
    }
  }
}
