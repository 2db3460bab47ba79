// The format rules: channel layouts and the BS.775 downmix, pulls into
// buffers of any channel count, the rate a queue serves, and the watch that
// tells Wwise pulls at another rate. Then the three streams with buffers of
// 1, 2, 6 and 8 channels, and the bridge serving another rate.
#include <cmath>
#include <cstdlib>
#include <vector>

#include "KivraCommConversion.h"
#include "KivraCommFormat.h"
#include "test_bridge_fixture.h"

using kivra::format::RateWatch;
using kivra::standin::FloatBufferProxy;
namespace fmt = kivra::format;

namespace {

constexpr float kK = 0.70710678f;

// trunc(v * 32767) clamped: the bridge's float-to-int16 rule.
int16_t ref16(float v) {
  double p = std::trunc(static_cast<double>(v) * 32767.0);
  p = std::min(32767.0, std::max(-32768.0, p));
  return static_cast<int16_t>(p);
}

// Channel c of an n-channel buffer holds value(c) in every frame.
float value(int c) { return 0.05f * static_cast<float>(c + 1); }

// What the downmix must give for n channels, written out per layout.
void expectedStereo(int n, float& left, float& right) {
  const float v[8] = {value(0), value(1), value(2), value(3),
                      value(4), value(5), value(6), value(7)};
  switch (n) {
    case 1:
      left = right = v[0];
      return;
    case 2:
      left = v[0], right = v[1];
      return;
    case 3:
      left = v[0] + kK * v[2], right = v[1] + kK * v[2];
      return;  // L R C
    case 4:
      left = v[0] + kK * v[2], right = v[1] + kK * v[3];
      return;  // L R Ls Rs
    case 5:    // L R C Ls Rs
      left = v[0] + kK * (v[2] + v[3]), right = v[1] + kK * (v[2] + v[4]);
      return;
    case 6:  // 5.1: L R C Ls Rs LFE
      left = v[0] + kK * (v[2] + v[3]), right = v[1] + kK * (v[2] + v[4]);
      return;
    case 7:  // L R C Lb Rb Ls Rs
      left = v[0] + kK * (v[2] + v[3] + v[5]), right = v[1] + kK * (v[2] + v[4] + v[6]);
      return;
    case 8:  // 7.1: L R C Lb Rb Ls Rs LFE
      left = v[0] + kK * (v[2] + v[3] + v[5]), right = v[1] + kK * (v[2] + v[4] + v[6]);
      return;
  }
}

// Drives a RateWatch: the engine hands over 480-frame periods at the served
// rate, Wwise pulls `wwiseFrames` at `wwiseRate`, both on one clock (in
// microseconds). Returns the engine time (s) of each warning and its rate.
struct Warning {
  double at;
  int rate;
};
std::vector<Warning> watch(int served, int wwiseRate, int wwiseFrames, double seconds,
                           int engineBurst = 1, double hitchAt = -1, double hitchSeconds = 0) {
  RateWatch w;
  w.restart(served);
  std::vector<Warning> out;
  const double enginePeriod = 480.0 / served * engineBurst;
  const double wwisePeriod = static_cast<double>(wwiseFrames) / wwiseRate;
  double nextEngine = enginePeriod, nextWwise = 0;
  int64_t engineFrames = 0;
  while (nextEngine < seconds || nextWwise < seconds) {
    if (nextEngine <= nextWwise) {
      for (int b = 0; b < engineBurst; ++b) w.engineFrames(480);
      engineFrames += 480 * engineBurst;
      nextEngine += enginePeriod;
    } else {
      const bool away = hitchAt >= 0 && nextWwise >= hitchAt && nextWwise < hitchAt + hitchSeconds;
      if (!away) {
        const RateWatch::Verdict v = w.wwisePull(wwiseFrames);
        if (v.warn) out.push_back({static_cast<double>(engineFrames) / served, v.seenRate});
      }
      nextWwise += wwisePeriod;
    }
  }
  return out;
}

}  // namespace

TEST(Format, RatesTheBridgeServesAndWhatTheyMakeOfPeriodsAndQueues) {
  for (int rate : {8000, 16000, 24000, 32000, 44100, 48000, 96000}) {
    EXPECT_TRUE(fmt::servableRate(rate)) << rate;
    EXPECT_EQ(fmt::periodFrames(rate) * 100, rate) << "10 ms, " << rate;
    EXPECT_EQ(fmt::queueSamples(rate), static_cast<uint32_t>(rate / 5 * 2)) << "200 ms stereo";
  }
  for (int rate : {0, -48000, 7999, 96001, 192000}) EXPECT_FALSE(fmt::servableRate(rate)) << rate;
  EXPECT_EQ(fmt::queueSamples(48000), 19200u) << "the queues of 48 kHz, as always";
  EXPECT_EQ(fmt::scaledFrames(144, 24000), 72);
  EXPECT_EQ(fmt::scaledFrames(144, 44100), 132);
  EXPECT_EQ(fmt::scaledFrames(1, 8000), 1) << "never 0";
}

TEST(Format, LayoutsPlaceTheCenterTheSurroundPairsAndTheLfeByCount) {
  const fmt::Layout l6 = fmt::layoutOf(6);
  EXPECT_EQ(l6.center, 2);
  ASSERT_EQ(l6.surroundPairs, 1);
  EXPECT_EQ(l6.surroundLeft[0], 3);
  EXPECT_EQ(l6.surroundRight[0], 4);  // 5 is the LFE, used by nothing
  const fmt::Layout l8 = fmt::layoutOf(8);
  EXPECT_EQ(l8.center, 2);
  ASSERT_EQ(l8.surroundPairs, 2);
  EXPECT_EQ(l8.surroundLeft[1], 5);
  EXPECT_EQ(l8.surroundRight[1], 6);  // 7 is the LFE
  EXPECT_EQ(fmt::layoutOf(4).center, -1);
  EXPECT_EQ(fmt::layoutOf(3).surroundPairs, 0);
  EXPECT_EQ(fmt::layoutOf(12).surroundPairs, 0) << "beyond 7.1: the front pair only";
}

TEST(Format, EveryChannelCountIsDownmixedToStereoByBs775AndTheLfeDropped) {
  for (int n = 1; n <= 8; ++n) {
    SCOPED_TRACE(n);
    FloatBufferProxy p(16, static_cast<uint32_t>(n));
    for (int c = 0; c < n; ++c) std::fill(p.channel(c).begin(), p.channel(c).end(), value(c));
    std::vector<int16_t> out(2 * 16 + 2, 0x7777);
    fmt::toInterleaved(&p, out.data(), 2, 16);
    float left = 0, right = 0;
    expectedStereo(n, left, right);
    // Exact for one and two channels; a downmix's sums may round (or fuse a
    // multiply and an add) otherwise than the expected value's: one step.
    const int step = n <= 2 ? 0 : 1;
    for (int i = 0; i < 16; ++i) {
      ASSERT_NEAR(out[2 * i], ref16(left), step) << i;
      ASSERT_NEAR(out[2 * i + 1], ref16(right), step) << i;
    }
    EXPECT_EQ(out[32], 0x7777) << "nothing past the frames";
    EXPECT_EQ(p.refusedChannelCalls(), 0);
  }
  // Only the LFE sounds: nothing reaches the engine.
  for (int n : {6, 8}) {
    FloatBufferProxy p(8, static_cast<uint32_t>(n));
    std::fill(p.channel(n - 1).begin(), p.channel(n - 1).end(), 0.9f);
    std::vector<int16_t> out(16, 0x7777);
    fmt::toInterleaved(&p, out.data(), 2, 8);
    for (int16_t s : out) EXPECT_EQ(s, 0) << n;
  }
  // Loud surround content clamps like any other sample.
  FloatBufferProxy loud(4, 6);
  for (int c = 0; c < 5; ++c) std::fill(loud.channel(c).begin(), loud.channel(c).end(), 0.9f);
  std::vector<int16_t> out(8);
  fmt::toInterleaved(&loud, out.data(), 2, 4);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], 32767);
}

TEST(Format, PullsFillTheFrontPairAveragePairsIntoMonoAndSilenceTheRest) {
  std::vector<int16_t> in(2 * 10);
  for (int i = 0; i < 10; ++i) {
    in[2 * i] = static_cast<int16_t>(1000 * i + 1);  // odd sums: the mean is a half step
    in[2 * i + 1] = static_cast<int16_t>(-300 * i);
  }
  FloatBufferProxy mono(12, 1);
  mono.fill(9.0f);
  fmt::fromInterleaved(in.data(), 2, &mono, 10);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(mono.channel(0)[i], (in[2 * i] + in[2 * i + 1]) / 65536.0f) << i;
  }
  EXPECT_EQ(mono.channel(0)[10], 9.0f);
  EXPECT_EQ(mono.refusedChannelCalls(), 0);
  for (uint32_t n : {6u, 8u}) {
    FloatBufferProxy p(12, n);
    p.fill(9.0f);
    fmt::fromInterleaved(in.data(), 2, &p, 10);
    for (int i = 0; i < 10; ++i) {
      ASSERT_EQ(p.channel(0)[i], in[2 * i] / 32768.0f);
      ASSERT_EQ(p.channel(1)[i], in[2 * i + 1] / 32768.0f);
      for (uint32_t c = 2; c < n; ++c) ASSERT_EQ(p.channel(c)[i], 0.0f) << n << " " << c;
    }
    for (uint32_t c = 0; c < n; ++c) EXPECT_EQ(p.channel(c)[10], 9.0f) << "past the frames";
    EXPECT_EQ(p.refusedChannelCalls(), 0);
  }
}

TEST(Format, StereoBuffersAreTheOldCopyBitForBit) {
  std::srand(7);
  FloatBufferProxy p(300, 2);
  for (int i = 0; i < 300; ++i) {
    p.channel(0)[i] = (static_cast<float>(std::rand()) / RAND_MAX - 0.5f) * 2.2f;
    p.channel(1)[i] = (static_cast<float>(std::rand()) / RAND_MAX - 0.5f) * 2.2f;
  }
  std::vector<int16_t> viaFormat(600), direct(600);
  fmt::toInterleaved(&p, viaFormat.data(), 2, 300);
  kivra::convert::interleave2(p.channel(0).data(), p.channel(1).data(), direct.data(), 300);
  EXPECT_EQ(viaFormat, direct);
  FloatBufferProxy q(300, 2), r(300, 2);
  fmt::fromInterleaved(direct.data(), 2, &q, 300);
  kivra::convert::deinterleave2(direct.data(), r.channel(0).data(), r.channel(1).data(), 300);
  EXPECT_EQ(q.channel(0), r.channel(0));
  EXPECT_EQ(q.channel(1), r.channel(1));
}

TEST(Format, TheRateWatchStaysQuietAtTheServedRateWhateverTheTiming) {
  for (int frames : {256, 1024, 2048}) {
    EXPECT_TRUE(watch(48000, 48000, frames, 600.0).empty()) << frames;
    // An engine delivering 100 ms at once (a sound server's bursts).
    EXPECT_TRUE(watch(48000, 48000, frames, 600.0, 10).empty()) << frames << " bursty";
    // Loading hitches: 240 ms (within a window) and 2 s (past the hitch rule).
    EXPECT_TRUE(watch(48000, 48000, frames, 60.0, 1, 10.0, 0.24).empty()) << frames;
    EXPECT_TRUE(watch(48000, 48000, frames, 60.0, 1, 10.0, 2.0).empty()) << frames;
  }
  EXPECT_TRUE(watch(24000, 24000, 1024, 600.0).empty());
  EXPECT_TRUE(watch(44100, 44100, 512, 600.0, 10).empty());
}

TEST(Format, TheRateWatchNamesAWrongRateWithinItsWindowsAndOnceAMinute) {
  // Half the served rate: at once after the first 2 s window.
  const std::vector<Warning> half = watch(48000, 24000, 1024, 185.0);
  ASSERT_EQ(half.size(), 4u) << "at 2, 62, 122 and 182 s";
  EXPECT_LE(half[0].at, 2.1);
  EXPECT_EQ(half[0].rate, 24000);
  // Never within a minute of the last; at the first window's end after it.
  for (size_t i = 1; i < half.size(); ++i) {
    EXPECT_GE(half[i].at - half[i - 1].at, 60.0);
    EXPECT_LE(half[i].at - half[i - 1].at, 62.2);
  }
  // 44.1 kHz pulling where 48 kHz is served (8% off): confirmed by a second window.
  const std::vector<Warning> cd = watch(48000, 44100, 512, 10.0, 10);
  ASSERT_EQ(cd.size(), 1u);
  EXPECT_LE(cd[0].at, 4.2);
  EXPECT_EQ(cd[0].rate, 44100);
  // Faster than served, and a rate with no common name.
  const std::vector<Warning> fast = watch(32000, 48000, 1024, 3.0);
  ASSERT_EQ(fast.size(), 1u);
  EXPECT_EQ(fast[0].rate, 48000);
  const std::vector<Warning> odd = watch(48000, 37000, 1024, 3.0);
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_NEAR(odd[0].rate, 37000, 100);
  // A restart forgets the last warning: a new session warns at once.
  EXPECT_EQ(RateWatch::nameRate(44117.0), 44100);
  EXPECT_EQ(RateWatch::nameRate(23950.0), 24000);
  EXPECT_EQ(RateWatch::nameRate(37049.0), 37000);
}

// The controller's durations follow the queue's rate: a standing residue of
// 100 frames is 2.1 ms at 48 kHz (within the 3 ms dead band, left alone) but
// 4.2 ms at 24 kHz (removed, down to what the dead band allows).
TEST(Format, TheLatencyControllersDurationsFollowTheRate) {
  for (int rate : {48000, 24000}) {
    SCOPED_TRACE(rate);
    const int period = rate / 100;
    KivraCommCircularBuffer ring(fmt::queueSamples(rate));
    KivraCommLatencyController c(KivraCommLatencyController::Consumer::TakeAvailable, 2);
    c.setSampleRate(rate);
    std::vector<int16_t> block(static_cast<size_t>(period) * 2, 0), out(block.size() + 400);
    ASSERT_EQ(c.push(ring, out.data(), 200, nullptr),
              KivraCommLatencyController::PushResult::Stored);
    for (int i = 0; i < 500; ++i) {  // 5 s
      c.push(ring, block.data(), period * 2, nullptr);
      c.pull(ring, out.data(), period * 2, period * 2, nullptr);
    }
    const int residue = ring.GetAvailableFrames() / 2;
    if (rate == 48000) {
      EXPECT_EQ(residue, 100);
      EXPECT_EQ(c.stats().quietRemovals, 0);
    } else {
      EXPECT_LE(residue, fmt::scaledFrames(KivraCommLatencyController::kDeadBandFrames, rate));
      EXPECT_GT(c.stats().quietRemovedFrames, 0);
    }
  }
}

// Buffers of 1, 2, 6 and 8 channels through the three streams: each is asked
// only for the channels it has, and the audio is mapped by the format rules.
TEST_F(BridgeTest, EveryStreamMapsTheBuffersOwnChannelCount) {
  W& w = *wrapper_;
  w.setTransferRecordDataState(true);
  w.setTransferPlayerDataState(true);
  Peer::setDirectReverse(w, true);
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  for (uint32_t n : {1u, 2u, 6u, 8u}) {
    SCOPED_TRACE(n);
    // Uplink pull and downlink pull: one engine block each.
    EngineFrame mic(480, 2);
    for (int i = 0; i < 480; ++i) {
      mic.samples[2 * i] = static_cast<int16_t>(3 * i + 1);
      mic.samples[2 * i + 1] = static_cast<int16_t>(-2 * i);
    }
    EngineFrame talk = mic;
    talk.frame.buffer = talk.samples.data();
    ASSERT_TRUE(w.onRecordAudioFrame("room", mic.frame));
    ASSERT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, talk.frame));
    FloatBufferProxy up(1024, n), down(1024, n);
    up.fill(5.0f);
    down.fill(5.0f);
    ASSERT_TRUE(w.popOriginRecordAudioFrame(&up));
    ASSERT_TRUE(w.popOriginPlayerAudioFrameByUid(&down, "c", 7));
    for (FloatBufferProxy* p : {&up, &down}) {
      ASSERT_EQ(p->FilledFrames(), 480);
      for (int i = 0; i < 480; ++i) {
        const int l = 3 * i + 1, r = -2 * i;
        if (n == 1) {
          ASSERT_EQ(p->channel(0)[i], (l + r) / 65536.0f) << i;
        } else {
          ASSERT_EQ(p->channel(0)[i], l / 32768.0f) << i;
          ASSERT_EQ(p->channel(1)[i], r / 32768.0f) << i;
          for (uint32_t c = 2; c < n; ++c) ASSERT_EQ(p->channel(c)[i], 0.0f) << c;
        }
      }
      EXPECT_EQ(p->channel(0)[480], 5.0f) << "past the frames";
      EXPECT_EQ(p->refusedChannelCalls(), 0);
    }
    // Uplink push and reverse push: the mapping to stereo.
    FloatBufferProxy effect(1024, n), mix(1024, n);
    for (uint32_t c = 0; c < n; ++c) {
      std::fill(effect.channel(c).begin(), effect.channel(c).end(), value(static_cast<int>(c)));
      std::fill(mix.channel(c).begin(), mix.channel(c).end(), value(static_cast<int>(c)));
    }
    effect.setFilled(480);
    mix.setFilled(480);
    media_.clearPushedFrames();
    ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&effect));
    ASSERT_TRUE(w.pushReverseAudioFrameAfterEffect(&mix));
    float left = 0, right = 0;
    expectedStereo(static_cast<int>(n), left, right);
    for (int track : {kDirectTrack, kAecTrack}) {
      const std::vector<int16_t> sent = media_.samplesOfTrack(track);
      ASSERT_EQ(sent.size(), 960u) << track;
      const int step = n <= 2 ? 0 : 1;  // a downmix: within a step
      for (int i = 0; i < 480; ++i) {
        ASSERT_NEAR(sent[2 * i], ref16(left), step) << track << " " << i;
        ASSERT_NEAR(sent[2 * i + 1], ref16(right), step) << track << " " << i;
      }
    }
    // The processed microphone was silenced in every channel it has; the
    // mix was left as Wwise rendered it.
    for (uint32_t c = 0; c < n; ++c) {
      EXPECT_EQ(effect.channel(c)[479], 0.0f) << c;
      EXPECT_EQ(mix.channel(c)[479], value(static_cast<int>(c))) << c;
    }
    EXPECT_EQ(effect.refusedChannelCalls() + mix.refusedChannelCalls(), 0);
  }
}

// Another rate served: the engine is asked for 10 ms periods at it, the queues
// hold 200 ms of it, pushes carry it, and an engine frame at another rate is
// dropped (silenced) with a paced line instead of playing at the wrong speed.
TEST_F(BridgeTest, AnotherRateServedSizesEverythingAndRefusesFramesOfOtherRates) {
  W& w = *wrapper_;
  w.setReceiveOpenIDWithGameObjectID(1, "c", 7);
  ASSERT_TRUE(w.setSampleRate(24000));
  EXPECT_EQ(w.sampleRate(), 24000);
  const kivra::media::AudioParams rec = w.getRecordAudioParams();
  const kivra::media::AudioParams play = w.getPlaybackAudioParams();
  EXPECT_EQ(rec.sample_rate, 24000);
  EXPECT_EQ(rec.samples_per_call, 480) << "240 stereo frames: 10 ms";
  EXPECT_EQ(play.sample_rate, 24000);
  EXPECT_EQ(play.samples_per_call, 480);
  EXPECT_EQ(Peer::capacityOf(Peer::recOrg(w)), 9601) << "200 ms at 24 kHz";
  ASSERT_NE(Peer::userBuffer(w, "c", 7), nullptr);
  EXPECT_EQ(Peer::capacityOf(*Peer::userBuffer(w, "c", 7)), 9601) << "the talker's queue too";
  w.setReceiveOpenIDWithGameObjectID(2, "c", 8);
  EXPECT_EQ(Peer::capacityOf(*Peer::userBuffer(w, "c", 8)), 9601) << "and a talker added later";

  w.setTransferRecordDataState(true);
  skipLog();
  EngineFrame good(240, 2), wrong(480, 2);
  good.frame.samplesPerSec = 24000;
  good.count(100);
  wrong.count(100);
  // Frames of the rate served before, still in flight when it changed: dropped
  // without a line (a change logs one line), until the engine delivers at the
  // new rate.
  EXPECT_FALSE(w.onRecordAudioFrame("room", wrong.frame));
  EXPECT_TRUE(wrong.allZero());
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 7, wrong.frame));
  EXPECT_TRUE(newLog().empty());
  // ...but not forever: an engine that keeps the old rate is not silent.
  for (int i = 0; i < W::kQuietDropsAfterChange; ++i) w.onRecordAudioFrame("room", wrong.frame);
  EXPECT_EQ(newLog(), Lines{"onRecordAudioFrame engine frame at 48000 Hz while the bridge serves "
                            "24000 Hz, dropped"});
  clock_.advanceMs(2000);
  skipLog();
  EXPECT_TRUE(w.onPlaybackAudioFrameBeforeMixing("c", 7, good.frame));
  EXPECT_TRUE(w.onRecordAudioFrame("room", good.frame));
  ASSERT_EQ(Peer::recOrg(w).GetAvailableFrames(), 480);
  Peer::recOrg(w).Reset();
  skipLog();  // the end of the dropping, with its count
  good.count(100);
  wrong.count(100);
  EXPECT_FALSE(w.onRecordAudioFrame("room", wrong.frame));
  EXPECT_TRUE(wrong.allZero()) << "the engine's copy is silenced all the same";
  EXPECT_FALSE(w.onPlaybackAudioFrameBeforeMixing("c", 7, wrong.frame));
  EXPECT_EQ(newLog(),
            (Lines{"onRecordAudioFrame engine frame at 48000 Hz while the bridge serves 24000 Hz, "
                   "dropped",
                   "onPlaybackAudioFrameBeforeMixing engine frame at 48000 Hz while the bridge "
                   "serves 24000 Hz, dropped"}));
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
  EXPECT_TRUE(w.onRecordAudioFrame("room", good.frame));
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 480);
  // What the bridge pushes carries the rate served.
  FloatBufferProxy effect(1024, 2);
  effect.setFilled(240);
  media_.clearPushedFrames();
  ASSERT_TRUE(w.pushRecordAudioFrameAfterEffect(&effect));
  ASSERT_EQ(media_.pushedFrames().size(), 1u);
  EXPECT_EQ(media_.pushedFrames()[0].frame.samplesPerSec, 24000);
  // A rate the bridge cannot serve changes nothing.
  EXPECT_FALSE(w.setSampleRate(7999));
  EXPECT_EQ(w.sampleRate(), 24000);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 480);
  // Back to 48 kHz: the queues of old, restarted.
  ASSERT_TRUE(w.setSampleRate(48000));
  EXPECT_EQ(Peer::capacityOf(Peer::recOrg(w)), 19201);
  EXPECT_EQ(Peer::recOrg(w).GetAvailableFrames(), 0);
  EXPECT_EQ(w.getRecordAudioParams().samples_per_call, 960);
}
