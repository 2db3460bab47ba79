// The latency controller on its own queue, driven by exact schedules of
// pushes and pulls: it must change nothing while the clocks match, remove a
// standing backlog (in quiet stretches first, else with a crossfade), never
// repeat or reorder a frame, replace stale audio, and keep a fixed-block
// consumer from running dry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "KivraCommCircularBuffer.h"
#include "KivraCommLatencyController.h"

namespace {

using Controller = KivraCommLatencyController;
constexpr int kBlock = 480;  // engine frames per call
constexpr int kQueue = 19200;

// A loud counting signal: frame f is (f mod 30000 + 1000, its negative), so
// every frame names itself and no stretch is ever quiet.
int16_t loud(int64_t f) { return static_cast<int16_t>(1000 + f % 30000); }

// Speech-like: 0.3 s of a loud counting tone, then 0.2 s at -57 dBFS
// (values -48..48 in a pattern of 97 frames, which no cut of whole 2 ms
// chunks shifts onto itself), so that each frame names itself within its
// period and a cut shows where it was made, in a pause too.
int16_t bursty(int64_t f) {
  const int64_t inCycle = f % 24000;
  if (inCycle < 14400) return static_cast<int16_t>(1000 + f % 20000);
  return static_cast<int16_t>((f * 31) % 97 - 48);
}

struct Source {
  int16_t (*fn)(int64_t) = loud;
  int64_t next = 0;
  void block(std::vector<int16_t>& out, int frames) {
    out.resize(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
      out[2 * static_cast<size_t>(i)] = fn(next + i);
      out[2 * static_cast<size_t>(i) + 1] = static_cast<int16_t>(-fn(next + i));
    }
    next += frames;
  }
};

// One queue, driven by engine blocks every 480 frames and pulls of
// `capacity` frames every `period` frames of the same clock (ties: the
// engine first). Each pull takes what is queued up to its capacity, as
// Wwise's pulls of the uplink and of a talker do.
struct TakeAvailableRun {
  KivraCommCircularBuffer queue{kQueue};
  KivraCommCircularBuffer plain{kQueue};
  Controller controller{Controller::Consumer::TakeAvailable, 2};
  Source source;
  std::vector<int16_t> block, out, plainOut;
  std::vector<int16_t> delivered;  // left channel of every frame, in order
  bool keep = false;
  bool identical = true;

  // Runs for `frames` of clock time. pullEvery: the consumer's period in
  // frames of the same clock (capacity frames per pull).
  void run(int64_t frames, int capacity, double pullEvery, double pullPhase = 0) {
    int64_t tEngine = kBlock;
    double tPull = pullPhase;
    out.resize(static_cast<size_t>(capacity) * 2);
    plainOut.resize(out.size());
    while (tEngine <= frames || tPull <= frames) {
      if (tEngine <= tPull) {
        source.block(block, kBlock);
        controller.push(queue, block.data(), kBlock * 2, nullptr);
        plain.Push(block.data(), kBlock * 2);
        tEngine += kBlock;
      } else {
        pull(capacity);
        tPull += pullEvery;
      }
    }
  }

  int pull(int capacity) {
    const int take = std::min(queue.GetAvailableFrames() / 2, capacity) * 2;
    const int plainTake = std::min(plain.GetAvailableFrames() / 2, capacity) * 2;
    Controller::Action a;
    const int got = controller.pull(queue, out.data(), take, capacity * 2, &a);
    plain.Pop(plainOut.data(), plainTake);
    if (take != plainTake ||
        (take > 0 && !std::equal(out.begin(), out.begin() + take, plainOut.begin()))) {
      identical = false;
    }
    if (got > 0 && keep) {
      for (int i = 0; i < take / 2; ++i) delivered.push_back(out[2 * static_cast<size_t>(i)]);
    }
    return got;
  }
};

// Clock frames for `seconds` of a matched-clock run. Those runs check what
// holds at any length (nothing changed, nothing lost), so KIVRA_SIM_HOUR_SCALE
// shortens them where the simulation runs slowly (an emulator, sanitizers),
// as it does the drift tests' hour; never below a minute.
int64_t matchedClockFrames(int seconds) {
  const char* env = std::getenv("KIVRA_SIM_HOUR_SCALE");
  const double scale = env != nullptr ? std::atof(env) : 1.0;
  const double s = seconds * (scale > 0 && scale <= 1 ? scale : 1.0);
  return static_cast<int64_t>(48000.0 * std::max(60.0, std::min<double>(seconds, s)));
}

int64_t actions(const Controller::Stats& s) {
  return s.quietRemovals + s.crossfadeRemovals + s.quietInsertions + s.fadeInsertions +
         s.staleEvents;
}

}  // namespace

// ---------------------------------------------------------------------------
// Matched clocks: an hour of every Wwise frame size, both orders at a tie,
// delivers exactly what the plain queue delivers.

TEST(LatencyController, MatchedClocksChangeNothingForAnHourAtEveryWwiseFrameSize) {
  for (int capacity : {256, 512, 1024, 2048}) {
    for (double phase : {0.0, 0.5}) {  // 0.5: every pull falls between engine blocks
      TakeAvailableRun r;
      // An hour of the common size, ten minutes of the others.
      r.run(matchedClockFrames(capacity == 1024 ? 3600 : 600), capacity, capacity, phase);
      EXPECT_TRUE(r.identical) << capacity << " phase " << phase;
      EXPECT_EQ(actions(r.controller.stats()), 0) << capacity;
      EXPECT_EQ(r.controller.stats().refusedBlocks, 0) << capacity;
    }
  }
}

// A consumer that merely runs in bursts (several pulls at once, then none,
// on average at the producer's rate) is not a standing queue.
TEST(LatencyController, BurstyConsumerOnMatchedClocksIsLeftAlone) {
  TakeAvailableRun r;
  // Four 1024-frame pulls every 4096 frames of the clock.
  int64_t tEngine = kBlock, tBurst = 4096;
  r.out.resize(2048);
  r.plainOut.resize(2048);
  const int64_t frames = matchedClockFrames(600);
  while (tEngine <= frames) {
    if (tEngine <= tBurst) {
      r.source.block(r.block, kBlock);
      r.controller.push(r.queue, r.block.data(), kBlock * 2, nullptr);
      r.plain.Push(r.block.data(), kBlock * 2);
      tEngine += kBlock;
    } else {
      for (int k = 0; k < 4; ++k) r.pull(1024);
      tBurst += 4096;
    }
  }
  EXPECT_TRUE(r.identical);
  EXPECT_EQ(actions(r.controller.stats()), 0);
}

// A producer whose device delivers in bursts (a sound server's capture hands
// over 80 to 320 ms at once) and whose clock runs 1000 ppm fast: each burst
// lands between two pulls, and is no stall; the backlog the drift leaves is
// still removed, so the queue neither grows nor drops a block.
TEST(LatencyController, ProducerBurstsAreNotStallsAndItsDriftIsStillRemoved) {
  for (int burstBlocks : {4, 8, 16}) {
    KivraCommCircularBuffer queue(kQueue);
    Controller c(Controller::Consumer::TakeAvailable, 2);
    Source source;
    source.fn = bursty;
    std::vector<int16_t> block, out(2048);
    const double burstPeriod = burstBlocks * kBlock / 1.001;  // in consumer frames
    double tBurst = burstPeriod;
    int64_t tPull = 0, expectNext = 0;
    const int64_t frames = 48000 * 300;
    int64_t windowLeast = INT64_MAX, worstLateWindow = 0;
    bool ordered = true;
    while (tPull <= frames) {
      if (tBurst <= static_cast<double>(tPull)) {
        for (int k = 0; k < burstBlocks; ++k) {
          source.block(block, kBlock);
          c.push(queue, block.data(), kBlock * 2, nullptr);
        }
        tBurst += burstPeriod;
        continue;
      }
      const int take = std::min(queue.GetAvailableFrames() / 2, 1024) * 2;
      c.pull(queue, out.data(), take, 2048, nullptr);
      // Delivered frames are source frames in order (removals skip some).
      for (int i = 0; i < take / 2; ++i) {
        const int16_t v = out[2 * static_cast<size_t>(i)];
        while (expectNext < source.next && bursty(expectNext) != v) ++expectNext;
        ordered = ordered && expectNext < source.next;
        ++expectNext;
      }
      windowLeast = std::min<int64_t>(windowLeast, queue.GetAvailableFrames() / 2);
      tPull += 1024;
      if (tPull % 48128 == 0) {  // 47 pulls, about a second
        if (tPull > frames - 48000 * 60) worstLateWindow = std::max(worstLateWindow, windowLeast);
        windowLeast = INT64_MAX;
      }
    }
    // Five minutes at +1000 ppm add 300 ms (the queue holds 200): what
    // stands after the pulls in the last minute stays under one pull.
    EXPECT_LE(worstLateWindow, 1024) << burstBlocks << " blocks a burst";
    EXPECT_GT(c.stats().quietRemovals + c.stats().crossfadeRemovals, 0) << burstBlocks;
    EXPECT_EQ(c.stats().refusedBlocks, 0) << burstBlocks;
    EXPECT_TRUE(ordered) << burstBlocks;
  }
}

// ---------------------------------------------------------------------------
// Removal.

TEST(LatencyController, StandingBacklogWithoutPausesGoesWithOneCrossfadeAndNothingRepeats) {
  TakeAvailableRun r;
  r.keep = true;
  // A 150 ms hitch of the consumer: 15 blocks arrive unpulled.
  for (int k = 0; k < 15; ++k) {
    r.source.block(r.block, kBlock);
    r.controller.push(r.queue, r.block.data(), kBlock * 2, nullptr);
  }
  r.run(48000 * 5, 1024, 1024);
  const Controller::Stats& s = r.controller.stats();
  EXPECT_EQ(s.quietRemovals, 0);
  ASSERT_EQ(s.crossfadeRemovals, 1);
  // All of the standing backlog but what is kept above the target.
  EXPECT_GE(s.crossfadeRemovedFrames, 15 * kBlock - 2 * 1024 - Controller::kKeepFrames);
  EXPECT_LE(s.crossfadeRemovedFrames, 15 * kBlock);
  // After the crossfade the residue is back within the dead band.
  EXPECT_LE(r.queue.GetAvailableFrames() / 2, 1024 + Controller::kDeadBandFrames);

  // The delivered frames are the source's, in order, but for one splice:
  // kCrossfadeFrames blended frames, then the source again, exactly the
  // removed frames later.
  const int64_t cut = s.crossfadeRemovedFrames;
  const int fade = Controller::kCrossfadeFrames;
  auto src = [](int64_t f) { return static_cast<int16_t>(1000 + f % 30000); };
  size_t i = 0;
  while (i < r.delivered.size() && r.delivered[i] == src(static_cast<int64_t>(i))) ++i;
  const size_t splice = i;
  ASSERT_LT(splice + fade, r.delivered.size());
  for (i = splice + fade; i < r.delivered.size(); ++i) {
    ASSERT_EQ(r.delivered[i], src(static_cast<int64_t>(i) + cut)) << "frame " << i;
  }
}

TEST(LatencyController, CrossfadeBlendsTheAudioDueNowIntoTheAudioAfterTheCutWithEqualPower) {
  TakeAvailableRun r;
  for (int k = 0; k < 15; ++k) {
    r.source.block(r.block, kBlock);
    r.controller.push(r.queue, r.block.data(), kBlock * 2, nullptr);
  }
  // Run pull by pull until the splice, keeping the last frame before it.
  int64_t tEngine = kBlock, tPull = 0;
  int16_t before = 0;
  r.out.resize(2048);
  r.plainOut.resize(2048);
  int take = 0;
  while (r.controller.stats().crossfadeRemovals == 0 && tPull < 48000 * 3) {
    if (tEngine <= tPull) {
      r.source.block(r.block, kBlock);
      r.controller.push(r.queue, r.block.data(), kBlock * 2, nullptr);
      tEngine += kBlock;
    } else {
      if (take > 0) before = r.out[static_cast<size_t>(take) - 2];
      take = std::min(r.queue.GetAvailableFrames() / 2, 1024) * 2;
      r.controller.pull(r.queue, r.out.data(), take, 2048, nullptr);
      tPull += 1024;
    }
  }
  ASSERT_EQ(r.controller.stats().crossfadeRemovals, 1);
  const int fade = Controller::kCrossfadeFrames;
  const int64_t cut = r.controller.stats().crossfadeRemovedFrames;
  ASSERT_GT(take / 2, fade);
  // Source frame numbers: a = the frame after `before`, b = a + cut.
  const int64_t a = (before - 1000 + 1) % 30000;
  auto src = [](int64_t f) { return 1000 + f % 30000; };
  // Past the fade, the audio after the cut, untouched.
  EXPECT_EQ(r.out[2 * static_cast<size_t>(fade)], src(a + cut + fade));
  EXPECT_EQ(r.out[2 * static_cast<size_t>(take / 2 - 1)], src(a + cut + take / 2 - 1));
  // In it, each frame is the audio due now and the audio after the cut,
  // weighted cos and sin of a quarter turn: equal power.
  for (int i = 0; i < fade; ++i) {
    const double theta = (i + 0.5) / fade * 1.5707963267948966;
    const double want = src(a + i) * std::cos(theta) + src(a + cut + i) * std::sin(theta);
    ASSERT_NEAR(r.out[2 * static_cast<size_t>(i)], want, 0.5 + 1e-9) << "fade frame " << i;
    ASSERT_NEAR(r.out[2 * static_cast<size_t>(i) + 1], -want, 0.5 + 1e-9) << "fade frame " << i;
  }
}

TEST(LatencyController, BacklogInSpeechGoesInItsPausesAndNoDeliveredSampleIsAltered) {
  TakeAvailableRun r;
  r.source.fn = bursty;
  r.keep = true;
  // A drift of 200 ppm: the consumer pulls 1024 frames every 1024.2048.
  r.run(48000LL * 600, 1024, 1024 * (1 + 200e-6));
  const Controller::Stats& s = r.controller.stats();
  EXPECT_GT(s.quietRemovals, 5);
  EXPECT_EQ(s.crossfadeRemovals, 0);
  EXPECT_EQ(s.refusedBlocks, 0);
  // Every delivered frame is exactly a source frame, in order; every gap
  // lies in a pause (the frames on both sides of it are quiet).
  int64_t f = 0;
  int gaps = 0;
  for (size_t i = 0; i < r.delivered.size(); ++i) {
    const int16_t v = r.delivered[i];
    if (v == bursty(f)) {
      ++f;
      continue;
    }
    int64_t g = f + 1;
    while (g < f + 48000 && bursty(g) != v) ++g;
    ASSERT_LT(g, f + 48000) << "frame " << i << " is not a later source frame";
    // Quiet frames repeat their values every 97 frames; require the next
    // delivered frames to continue from g.
    while (i + 1 < r.delivered.size() && r.delivered[i + 1] != bursty(g + 1) && g < f + 48000) {
      ++g;
      while (g < f + 48000 && bursty(g) != v) ++g;
    }
    // Quiet on both sides of the cut: what was heard just before it and just
    // after it, and what it took out.
    EXPECT_LT(std::abs(bursty(f - 1)), 100) << "cut right after loud audio at frame " << f;
    EXPECT_LT(std::abs(bursty(f)), 100) << "gap starts in loud audio at frame " << f;
    EXPECT_LT(std::abs(bursty(g - 1)), 100) << "gap ends in loud audio at frame " << g;
    EXPECT_LT(std::abs(bursty(g)), 100) << "cut right before loud audio at frame " << g;
    ++gaps;
    f = g + 1;
  }
  EXPECT_GT(gaps, 0);
  // The backlog stays short: 200 ppm for 10 minutes is 5760 frames of drift.
  EXPECT_LE(r.queue.GetAvailableFrames() / 2,
            1024 + Controller::kDeadBandFrames + 2 * Controller::kQuietChunkFrames);
}

// A backlog is acted on at the pull that completes a whole window on both
// clocks since the residue first stood above the dead band: not a pull
// earlier, not a pull later. The consumer pulls 1024 frames every 1000 of
// the producer's frames (its clock 2.4% fast: the producer's window ends
// two pulls after its own) or every 1100 (7% slow: its own ends two pulls
// after the producer's).
TEST(LatencyController, AStandingBacklogIsActedOnTheVeryPullItsWindowEnds) {
  for (int every : {1000, 1100}) {
    KivraCommCircularBuffer queue(kQueue);
    Controller c(Controller::Consumer::TakeAvailable, 2);
    Source source;  // loud: the removal waits, the decision shows as pending
    std::vector<int16_t> block, out(2 * 1024);
    int64_t producer = 0, consumer = 0;
    auto push = [&] {
      source.block(block, kBlock);
      c.push(queue, block.data(), 2 * kBlock, nullptr);
      producer += kBlock;
    };
    for (int k = 0; k < 12; ++k) push();  // 120 ms of backlog
    int64_t tEngine = kBlock, tPull = 0;
    int pull = 0, aboveAt = -1, decidedAt = -1, expectedAt = -1;
    int64_t consumerSince = 0, producerSince = 0;
    bool consumerLast = false;
    while (decidedAt < 0 && pull < 200) {
      if (tEngine <= tPull) {
        push();
        tEngine += kBlock;
        continue;
      }
      const int take = std::min(queue.GetAvailableFrames() / 2, 1024);
      c.pull(queue, out.data(), 2 * take, 2 * 1024, nullptr);
      consumer += 1024;
      const int residue = queue.GetAvailableFrames() / 2;
      if (aboveAt < 0 && residue > Controller::kDeadBandFrames) {
        aboveAt = pull;
        consumerSince = consumer - 1024;
        producerSince = producer;
      }
      const bool consumerDone = consumer - consumerSince >= Controller::kWindowFrames;
      const bool producerDone = producer - producerSince >= Controller::kWindowFrames;
      if (aboveAt >= 0 && expectedAt < 0 && consumerDone && producerDone) {
        expectedAt = pull;
        consumerLast = consumer - 1024 - consumerSince < Controller::kWindowFrames;
      }
      if (c.pendingRemovalFrames() > 0) decidedAt = pull;
      ++pull;
      tPull += every;
    }
    ASSERT_GE(aboveAt, 0) << every;
    ASSERT_GE(expectedAt, 0) << every;
    EXPECT_EQ(decidedAt, expectedAt) << "every " << every << ", standing from pull " << aboveAt;
    EXPECT_EQ(consumerLast, every > 1024) << "which clock's window ends last, every " << every;
  }
}

// After a stall's backlog, in quiet audio that lets a removal take as much
// as it likes, with pulls four times the pushes between them: a removal
// takes only what lies beyond a full pull, so every pull still delivers
// what the queue held for it, source frames in order, none twice.
TEST(LatencyController, ARemovalNeverTakesAudioThePullAskedFor) {
  // Quiet (-48..48) and never the same run twice.
  auto quiet = [](int64_t f) {
    return static_cast<int16_t>(((static_cast<uint64_t>(f) * 2654435761u) >> 11) % 97 - 48);
  };
  KivraCommCircularBuffer queue(kQueue);
  Controller c(Controller::Consumer::TakeAvailable, 2);
  std::vector<int16_t> block(2 * kBlock), out(2 * 2048);
  int64_t pushed = 0, next = 0;
  auto push = [&] {
    for (int i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = quiet(pushed + i);
    c.push(queue, block.data(), 2 * kBlock, nullptr);
    pushed += kBlock;
  };
  for (int k = 0; k < 20; ++k) push();  // 200 ms queued by a stall: the queue full
  // Then a consumer 10% faster than the producer: a pull of 2048 frames
  // every 1862 of the producer's, so each pull finds less than the last; the
  // backlog still stands a whole window before it drains by itself.
  int64_t tEngine = kBlock;
  double tPull = 0;
  while (tPull < 48000 * 10) {
    if (static_cast<double>(tEngine) <= tPull) {
      push();
      tEngine += kBlock;
      continue;
    }
    const int take = std::min(queue.GetAvailableFrames() / 2, 2048);
    ASSERT_EQ(c.pull(queue, out.data(), 2 * take, 2 * 2048, nullptr), 2 * take);
    // A removal skips frames before the pull's first; after it the pull is
    // the queue's next frames, none of them seen before.
    int64_t first = next;
    auto runAt = [&](int64_t f) {
      for (int i = 0; i < take; ++i)
        if (f + i >= pushed || quiet(f + i) != out[2 * static_cast<size_t>(i)]) return false;
      return true;
    };
    while (first < next + 9600 && !runAt(first)) ++first;
    ASSERT_LT(first, next + 9600) << "pull at " << tPull << " is not the queue's next frames";
    next = first + take;
    tPull += 2048 / 1.1;
  }
  EXPECT_GT(c.stats().quietRemovals, 0);
}

// ---------------------------------------------------------------------------
// Stale audio.

TEST(LatencyController, QueueNobodyPullsRefusesForItsLengthThenKeepsOnlyTheNewest) {
  KivraCommCircularBuffer queue(kQueue);
  Controller c(Controller::Consumer::TakeAvailable, 2);
  Source src;
  std::vector<int16_t> block;
  std::vector<Controller::PushResult> results;
  Controller::StaleEvent stale;
  int staleAt = -1, staleFrames = 0;
  for (int k = 0; k < 100; ++k) {
    src.block(block, kBlock);
    results.push_back(c.push(queue, block.data(), kBlock * 2, &stale));
    if (stale.happened) {
      staleAt = k;
      staleFrames = stale.frames;
    }
  }
  // 20 blocks fill the queue, the next 20 (200 ms) are refused as before.
  for (int k = 0; k < 20; ++k) EXPECT_EQ(results[k], Controller::PushResult::Stored) << k;
  for (int k = 20; k < 40; ++k) EXPECT_EQ(results[k], Controller::PushResult::Refused) << k;
  // Then what it holds is stale: the 20 first blocks go, new audio comes in.
  EXPECT_EQ(staleAt, 40);
  EXPECT_EQ(staleFrames, 20 * kBlock);
  for (int k = 40; k < 100; ++k) EXPECT_EQ(results[k], Controller::PushResult::Replaced) << k;
  EXPECT_EQ(c.stats().refusedBlocks, 20);
  EXPECT_EQ(c.stats().staleEvents, 1);
  // It holds the newest 150 ms: blocks 85..99.
  EXPECT_EQ(queue.GetAvailableFrames(), 15 * kBlock * 2);
  std::vector<int16_t> out(15 * kBlock * 2);
  Controller::Action a;
  ASSERT_EQ(c.pull(queue, out.data(), static_cast<int>(out.size()), 65535 * 2, &a),
            static_cast<int>(out.size()));
  EXPECT_EQ(out[0], loud(85 * kBlock));
  EXPECT_EQ(out[out.size() - 2], loud(100 * kBlock - 1));
  // The pull ends the stale state and says how much newer audio replaced.
  EXPECT_TRUE(a.staleEnded);
  EXPECT_EQ(a.staleReplacedFrames, (60 - 15) * kBlock);
  // Pulled again, a full queue refuses for 200 ms again before going stale.
  for (int k = 0; k < 20; ++k) {
    src.block(block, kBlock);
    EXPECT_EQ(c.push(queue, block.data(), kBlock * 2, &stale), Controller::PushResult::Stored);
  }
  src.block(block, kBlock);
  EXPECT_EQ(c.push(queue, block.data(), kBlock * 2, &stale), Controller::PushResult::Refused);
}

TEST(LatencyController, ShortOverflowKeepsThePlainBehaviourAndAPullResetsTheCount) {
  KivraCommCircularBuffer queue(kQueue);
  Controller c(Controller::Consumer::TakeAvailable, 2);
  Source src;
  std::vector<int16_t> block, out(2 * kBlock);
  for (int round = 0; round < 50; ++round) {
    // Fill, overflow for 19 blocks (under 200 ms), then one pull.
    while (queue.GetAvailableFrames() + kBlock * 2 <= kQueue) {
      src.block(block, kBlock);
      ASSERT_EQ(c.push(queue, block.data(), kBlock * 2, nullptr), Controller::PushResult::Stored);
    }
    for (int k = 0; k < 19; ++k) {
      src.block(block, kBlock);
      ASSERT_EQ(c.push(queue, block.data(), kBlock * 2, nullptr), Controller::PushResult::Refused);
    }
    c.pull(queue, out.data(), kBlock * 2, kBlock * 2, nullptr);
  }
  EXPECT_EQ(c.stats().staleEvents, 0);
}

// ---------------------------------------------------------------------------
// A fixed-block consumer (the engine's playback of the buffered reverse
// stream): Wwise pushes 1024-frame blocks, the engine takes 480 at a time
// after buffering six of them.
struct FixedBlocksRun {
  KivraCommCircularBuffer queue{kQueue};
  Controller controller{Controller::Consumer::FixedBlocks, 2};
  Source source;
  std::vector<int16_t> block, out = std::vector<int16_t>(kBlock * 2);
  std::vector<int16_t> delivered;
  bool store = true;      // keep every delivered frame in `delivered`
  int64_t checked = 0;    // otherwise: frames compared with the source
  int64_t mismatch = -1;  // the first frame that was not the source's
  bool playing = false;
  int underruns = 0;
  int64_t pulls = 0;

  // Wwise pushes `wwiseFrames` every `producerPeriod` frames of the clock.
  void run(int64_t frames, int wwiseFrames, double producerPeriod) {
    double tPush = 0;
    int64_t tPull = 0;
    while (tPull <= frames) {
      if (tPush <= static_cast<double>(tPull)) {
        source.block(block, wwiseFrames);
        controller.push(queue, block.data(), wwiseFrames * 2, nullptr);
        tPush += producerPeriod;
      } else {
        if (!playing && queue.GetAvailableFrames() / (2 * kBlock) >= 6) {
          playing = true;
          controller.restart();
        }
        if (playing) {
          ++pulls;
          if (controller.pull(queue, out.data(), kBlock * 2, kBlock * 2, nullptr) < 0) {
            ++underruns;
            playing = false;
          } else {
            for (int i = 0; i < kBlock; ++i) {
              const int16_t v = out[2 * static_cast<size_t>(i)];
              if (store) {
                delivered.push_back(v);
              } else if (v != source.fn(checked++) && mismatch < 0) {
                mismatch = checked - 1;
              }
            }
          }
        }
        tPull += kBlock;
      }
    }
  }
};

TEST(LatencyController, FixedBlocksLearnTheirTargetAndLeaveMatchedClocksAlone) {
  for (int wwiseFrames : {256, 1024, 2048}) {
    FixedBlocksRun r;
    r.store = false;
    const int64_t frames = matchedClockFrames(wwiseFrames == 1024 ? 3600 : 600);
    r.run(frames, wwiseFrames, wwiseFrames);
    EXPECT_TRUE(r.controller.targetKnown());
    EXPECT_GT(r.controller.targetFrames(), 0);
    EXPECT_EQ(actions(r.controller.stats()), 0);
    EXPECT_EQ(r.underruns, 0);
    // Exactly the source, in order.
    EXPECT_EQ(r.mismatch, -1) << wwiseFrames;
    EXPECT_GT(r.checked, frames - 48000LL * 10) << wwiseFrames;
  }
}

TEST(LatencyController, FixedBlocksFromASlowerProducerGetSilenceInPausesInsteadOfRunningDry) {
  FixedBlocksRun r;
  r.source.fn = bursty;
  // The producer's clock is 300 ppm slow: 4.3 frames short every second.
  r.run(48000LL * 1800, 1024, 1024 * (1 + 300e-6));
  const Controller::Stats& s = r.controller.stats();
  EXPECT_EQ(r.underruns, 0);
  EXPECT_GT(s.quietInsertions, 0);
  EXPECT_EQ(s.fadeInsertions, 0);
  EXPECT_EQ(s.quietRemovals + s.crossfadeRemovals, 0);
  // 300 ppm of 30 minutes, less what the queue may lose within its dead band.
  EXPECT_GE(s.quietInsertedFrames, 48000 * 1800 * 300e-6 - 2 * Controller::kDeadBandFrames);
  // Inserted frames are zeros between quiet frames; the rest is the source
  // in order.
  int64_t f = 0;
  int64_t zeros = 0;
  for (size_t i = 0; i < r.delivered.size(); ++i) {
    if (r.delivered[i] == bursty(f)) {
      ++f;
      continue;
    }
    ASSERT_EQ(r.delivered[i], 0) << "delivered frame " << i << " is neither source nor silence";
    // Quiet on both sides: the frame heard before the silence and the one
    // heard after it.
    ASSERT_LT(std::abs(bursty(f - 1)), 100) << "silence inserted right after loud audio at " << f;
    ASSERT_LT(std::abs(bursty(f)), 100) << "silence inserted in loud audio at frame " << f;
    ++zeros;
  }
  EXPECT_GE(zeros, s.quietInsertedFrames - 16);  // a source 0 may match an inserted one
}

TEST(LatencyController, FixedBlocksWithoutPausesGetFadedGapsNotUnderruns) {
  FixedBlocksRun r;
  r.run(48000LL * 600, 1024, 1024 * (1 + 300e-6));
  const Controller::Stats& s = r.controller.stats();
  EXPECT_EQ(r.underruns, 0);
  EXPECT_EQ(s.quietInsertions, 0);
  EXPECT_GT(s.fadeInsertions, 0);
  // Nothing removed, nothing reordered: each delivered frame is the next
  // source frame, that frame scaled down by a fade, or inserted silence.
  int64_t f = 0, zeros = 0, faded = 0;
  for (size_t i = 0; i < r.delivered.size(); ++i) {
    const int v = r.delivered[i];
    if (v == loud(f)) {
      ++f;
    } else if (v == 0) {
      ++zeros;
    } else {
      ASSERT_GT(v, 0) << i;
      ASSERT_LT(v, loud(f)) << "frame " << i << " is not source frame " << f << " faded";
      ++f;
      ++faded;
    }
  }
  EXPECT_EQ(zeros, s.fadeInsertedFrames);
  EXPECT_LE(faded, s.fadeInsertions * 2 * Controller::kInsertFadeFrames);
  EXPECT_GT(faded, 0);
}
