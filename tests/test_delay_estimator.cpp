// The simulated engine's delay estimator on envelopes with a known answer:
// talk-like far-end energy, its echo some frames later in the capture, the
// far end handed over one frame at a time or in Wwise-sized bursts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "KivraSimDelayEstimator.h"

namespace {

using kivra::sim::SimDelayEstimator;

// 10 ms mean squares of something like speech over a bed: syllables of 100
// to 300 ms at -20 to -35 dBFS with pauses, a bed at -60 dBFS.
std::vector<double> talk(int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> out(static_cast<size_t>(frames));
  int left = 0;
  double level = 0;
  for (auto& v : out) {
    if (left-- <= 0) {
      left = 10 + static_cast<int>(u(rng) * 20);
      level = u(rng) < 0.35 ? 0.0 : std::pow(10.0, (-20 - 15 * u(rng)) / 10);
    }
    v = 1e-6 + level * (0.5 + u(rng));
  }
  return out;
}

struct Outcome {
  int lockedAt = -1;  // capture frame of the first lock
  int leadMs = -1;
};

// Far frame j is handed at capture frame handedAt(j); its echo (gain -16 dB)
// is in capture frame j + echoAt(j), with `near` added and a -72 dBFS floor.
template <typename HandedAt, typename EchoAt>
Outcome drive(SimDelayEstimator& est, const std::vector<double>& far,
              const std::vector<double>& near, HandedAt handedAt, EchoAt echoAt, int captures) {
  Outcome run;
  std::vector<double> cap(static_cast<size_t>(captures) + 64, std::pow(10.0, -7.2));
  for (int j = 0; j < static_cast<int>(far.size()); ++j) {
    const int c = j + echoAt(j);
    if (c >= 0 && c < captures) cap[static_cast<size_t>(c)] += far[static_cast<size_t>(j)] * 0.025;
  }
  int next = 0;
  for (int c = 0; c < captures; ++c) {
    while (next < static_cast<int>(far.size()) && handedAt(next) <= c) {
      est.far(far[static_cast<size_t>(next++)]);
    }
    const double n = near.empty() ? 0.0 : near[static_cast<size_t>(c)];
    if (est.capture(cap[static_cast<size_t>(c)] + n) && run.lockedAt < 0) run.lockedAt = c;
  }
  run.leadMs = est.leadMs();
  return run;
}

TEST(DelayEstimator, FindsTheLeadOfFramesHandedOneAtATime) {
  for (int lead : {0, 3, 14, 27, 45}) {
    SimDelayEstimator est;
    const auto far = talk(1000, 7u + static_cast<uint32_t>(lead));
    const Outcome run = drive(
        est, far, {}, [](int j) { return j; }, [&](int) { return lead; }, 1000);
    EXPECT_EQ(run.leadMs, lead * 10) << "lead " << lead;
    // Found within two seconds of talk.
    EXPECT_GE(run.lockedAt, 0) << lead;
    EXPECT_LT(run.lockedAt, 200) << lead;
  }
}

TEST(DelayEstimator, BurstsGiveTheLeastLeadOfTheBurst) {
  // Bursts of 4 frames at every 4th capture: frame j arrives at capture
  // 4 floor(j / 4) and its echo is in capture frame j + E: the frames of a
  // burst lead their echo by E to E + 3 frames.
  for (int e : {3, 10}) {
    SimDelayEstimator est;
    const auto far = talk(1200, 99u + static_cast<uint32_t>(e));
    const Outcome run = drive(
        est, far, {}, [](int j) { return 4 * (j / 4); }, [&](int) { return e; }, 1200);
    EXPECT_EQ(run.leadMs, e * 10) << "least lead " << e;
  }
}

TEST(DelayEstimator, DoesNotLockOnUnrelatedStreamsOrSilence) {
  SimDelayEstimator unrelated;
  const auto far = talk(1500, 1), other = talk(1500, 2);
  // The capture holds only another talker: no echo at any lag.
  const Outcome run = drive(
      unrelated, far, other, [](int j) { return j; }, [](int) { return -100000; }, 1500);
  EXPECT_EQ(run.lockedAt, -1);
  EXPECT_FALSE(unrelated.locked());

  SimDelayEstimator silent;
  const std::vector<double> quiet(1500, 1e-9);
  drive(
      silent, quiet, {}, [](int j) { return j; }, [](int) { return 5; }, 1500);
  EXPECT_FALSE(silent.locked());
  EXPECT_EQ(silent.leadMs(), -1);
}

// A reference that comes 100 ms after its echo: nothing to lock on, and the
// streams say how late it is (to the estimate's 10 ms frame).
TEST(DelayEstimator, AReferenceAfterItsEchoIsShownLateNotLocked) {
  SimDelayEstimator est;
  const auto far = talk(1500, 21);
  const Outcome run = drive(
      est, far, {}, [](int j) { return j + 10; }, [](int) { return 0; }, 1500);
  EXPECT_EQ(run.lockedAt, -1);
  EXPECT_FALSE(est.locked());
  EXPECT_GE(est.referenceLateMs(), 90);
  EXPECT_LE(est.referenceLateMs(), 100);
}

TEST(DelayEstimator, HoldsThroughDoubleTalkAndFollowsAChangedPath) {
  SimDelayEstimator est;
  const auto far = talk(3000, 5);
  // A local talker as loud as the echo throughout.
  auto near = talk(3000, 6);
  for (auto& v : near) v *= 0.025;
  // The path grows from 60 to 150 ms halfway (a new output device).
  const Outcome run = drive(
      est, far, near, [](int j) { return j; }, [](int j) { return j < 1500 ? 6 : 15; }, 3000);
  EXPECT_GE(run.lockedAt, 0);
  EXPECT_LT(run.lockedAt, 1500);
  EXPECT_EQ(run.leadMs, 150);
}

// A sound server's bursts: on a fixed 120 ms path, the far frames arrive 90
// to 120 ms ahead of their echo, changing every 3 s. The estimate locks on
// the least lead and stays (each move would restart the canceller), and maps
// far frames to the capture frames that hold their echo. A second in which
// the reference comes 20 ms after its echo is not called late.
TEST(DelayEstimator, ServerBurstJitterNeitherMovesTheLeadNorLooksLate) {
  constexpr int kFrames = 6000;  // one minute
  constexpr int kEcho = 12;
  const auto far = talk(kFrames, 31);
  std::vector<double> cap(static_cast<size_t>(kFrames) + 16, std::pow(10.0, -7.2));
  for (int j = 0; j + kEcho < kFrames; ++j)
    cap[static_cast<size_t>(j + kEcho)] += far[static_cast<size_t>(j)] * 0.025;
  for (bool lateSecond : {false, true}) {
    auto leadOf = [&](int j) {
      if (lateSecond && j >= 3000 && j < 3100) return -2;
      return 9 + (j / 300) % 4;
    };
    SimDelayEstimator est;
    int changes = 0, next = 0, lateSeen = 0;
    for (int c = 0; c < kFrames; ++c) {
      while (next < kFrames && next + kEcho - leadOf(next) <= c)
        est.far(far[static_cast<size_t>(next++)]);
      if (est.capture(cap[static_cast<size_t>(c)])) ++changes;
      lateSeen = std::max(lateSeen, est.referenceLateMs());
    }
    EXPECT_EQ(lateSeen, 0) << lateSecond;
    if (lateSecond) continue;
    EXPECT_LE(changes, 2);  // the first lock, and at most one correction of it
    EXPECT_EQ(est.leadMs(), 90);
    for (int64_t j : {1000, 4000, 5900}) EXPECT_EQ(est.echoCaptureFrame(j), j + kEcho) << j;
  }
}

// An hour of a session on a fixed path: remote talk, minutes when only the
// local player talks, minutes of nothing but the bed. Every change of the
// estimate restarts the canceller, so after the first lock there must be
// none.
TEST(DelayEstimator, AnHourOnOnePathLocksOnceAndNeverMoves) {
  constexpr int kFrames = 360000;  // one hour of 10 ms frames
  auto far = talk(kFrames, 11);
  auto near = talk(kFrames, 12);
  for (int f = 0; f < kFrames; ++f) {
    const int minute = f / 6000;
    if (minute % 7 == 3 || minute % 7 == 4) far[static_cast<size_t>(f)] = 1e-6;  // local only
    if (minute % 7 == 6) far[static_cast<size_t>(f)] = 1e-6;                     // bed only
    near[static_cast<size_t>(f)] *= minute % 7 == 6 ? 0.0 : 0.025;
  }
  SimDelayEstimator est;
  int changes = 0;
  std::vector<double> cap(static_cast<size_t>(kFrames) + 16, std::pow(10.0, -7.2));
  for (int j = 0; j + 8 < kFrames; ++j)
    cap[static_cast<size_t>(j + 8)] += far[static_cast<size_t>(j)] * 0.025;
  for (int c = 0; c < kFrames; ++c) {
    est.far(far[static_cast<size_t>(c)]);
    if (est.capture(cap[static_cast<size_t>(c)] + near[static_cast<size_t>(c)])) ++changes;
  }
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(est.leadMs(), 80);
}

}  // namespace
