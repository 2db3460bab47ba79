// Bad input on the audio paths: engine frames with no, negative, odd or too
// many samples or no buffer; null channel ids; null Wwise buffers; buffers
// reporting 0 or 6 channels, a capacity of 0, or more filled frames than they
// hold; float samples that are NaN, infinite or far out of range. None of it
// may crash, read or write outside a buffer, or lose audio already queued.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "KivraCommLog.h"
#include "KivraRtcEngine.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "TestSupport.h"
#include "ak_wrapper_c_api.h"

namespace {

namespace media = kivra::media;
namespace rtc = kivra::rtc;
using kivra::standin::FloatBufferProxy;
using Lines = std::vector<std::string>;

constexpr unsigned long long kTalkerObject = 9;
const char* const kTalkerChannel = "room";
constexpr unsigned kTalkerUid = 7;

media::AudioFrame frameOf(std::vector<int16_t>& samples, int channels, int samplesPerChannel) {
  media::AudioFrame f{};
  f.type = media::FRAME_TYPE_PCM16;
  f.samplesPerChannel = samplesPerChannel;
  f.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
  f.channels = channels;
  f.samplesPerSec = 48000;
  f.buffer = samples.empty() ? nullptr : samples.data();
  return f;
}

std::vector<int16_t> counting(size_t n, int first) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(first + static_cast<int>(i));
  return s;
}

class BadAudioInput : public ::testing::Test {
 protected:
  void SetUp() override {
    KW_UninitKivraWwisePlugin();
    ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&engine_), &track_,
                                      dir_.path().c_str()),
              0);
    observer_ = engine_.mediaEngine().observer();
    ASSERT_NE(observer_, nullptr);
    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(kTalkerObject, kTalkerChannel, kTalkerUid), 0);
    SetTransferRecordingData(true);
    SetTransferPlayoutData(true);
  }
  void TearDown() override { KW_UninitKivraWwisePlugin(); }

  Lines log() const {
    KV_FLUSH_LOG();
    return kivra::test::logMessages(dir_.path() + "/kivra_wwise_log.txt");
  }
  size_t count(const std::string& line) const {
    const Lines l = log();
    return static_cast<size_t>(std::count(l.begin(), l.end(), line));
  }

  void record(std::vector<int16_t>& s, int channels, int spc, const char* channel = "mic") {
    media::AudioFrame f = frameOf(s, channels, spc);
    observer_->onRecordAudioFrame(channel, f);
  }
  bool talker(std::vector<int16_t>& s, int channels, int spc, const char* channel = "room") {
    media::AudioFrame f = frameOf(s, channels, spc);
    return observer_->onPlaybackAudioFrameBeforeMixing(channel, kTalkerUid, f);
  }

  // Everything queued, in interleaved order, as Wwise receives it.
  std::vector<int> drainMic() { return drain(false); }
  std::vector<int> drainTalker() { return drain(true); }
  std::vector<int> drain(bool talker) {
    std::vector<int> out;
    for (;;) {
      FloatBufferProxy p(4096, 2);
      if (talker) {
        GetPlayoutAudioFrameByUid(&p, kTalkerObject);
      } else {
        GetRecodeAudioFrame(&p);
      }
      if (p.setFilledFramesCalls() == 0) return out;
      for (int i = 0; i < p.FilledFrames(); ++i) {
        out.push_back(static_cast<int>(p.channel(0)[i] * 32768.0f));
        out.push_back(static_cast<int>(p.channel(1)[i] * 32768.0f));
      }
    }
  }

  kivra::test::TempDir dir_{"badinput-audio"};
  kivra::standin::RecordingRtcEngine engine_;
  int track_ = 0;
  media::IAudioFrameObserver* observer_ = nullptr;
};

std::vector<int> asInts(const std::vector<int16_t>& s) {
  return std::vector<int>(s.begin(), s.end());
}

TEST_F(BadAudioInput, EngineFramesWithoutReadableSamplesQueueNothingAndLoseNothing) {
  std::vector<int16_t> good = counting(960, 1);
  std::vector<int16_t> goodCopy = good;
  record(good, 2, 480);
  ASSERT_TRUE(talker(goodCopy, 2, 480));
  const std::vector<int16_t> sent = counting(960, 1);

  struct Shape {
    int channels, spc;
    bool buffer;
  };
  const Shape shapes[] = {{0, 480, true},  {2, 0, true},   {-2, 480, true},
                          {2, -480, true}, {-1, -1, true}, {2, 480, false}};
  for (const Shape& sh : shapes) {
    std::vector<int16_t> s = sh.buffer ? counting(960, 5000) : std::vector<int16_t>();
    const std::vector<int16_t> before = s;
    record(s, sh.channels, sh.spc);
    if (sh.channels < 0 || sh.spc < 0) {
      EXPECT_EQ(s, before) << "negative sizes: frame untouched";
    }
    std::vector<int16_t> t = sh.buffer ? counting(960, 5000) : std::vector<int16_t>();
    const bool accepted = talker(t, sh.channels, sh.spc);
    EXPECT_EQ(t, before);
    // Refused unless there was simply nothing to queue.
    EXPECT_EQ(accepted, sh.channels * sh.spc == 0 && sh.channels >= 0 && sh.spc >= 0)
        << sh.channels << " x " << sh.spc;
  }
  EXPECT_EQ(drainMic(), asInts(sent));
  EXPECT_EQ(drainTalker(), asInts(sent));
}

TEST_F(BadAudioInput, OddSampleCountsAreQueuedAsGivenAndDeliveredInWholeFrames) {
  std::vector<int16_t> mono = counting(481, 1);  // one channel, 481 samples
  record(mono, 1, 481);
  std::vector<int16_t> stereo = counting(960, 1000);
  record(stereo, 2, 480);
  // 1441 values queued: Wwise gets 720 whole stereo frames, one value stays.
  std::vector<int> want = asInts(counting(481, 1));
  for (int16_t v : counting(959, 1000)) want.push_back(v);
  EXPECT_EQ(drainMic(), want);
  // The left-over value is the first of the next pull.
  std::vector<int16_t> next = counting(960, 3000);
  record(next, 2, 480);
  const std::vector<int> after = drainMic();
  ASSERT_EQ(after.size(), 960u);
  EXPECT_EQ(after[0], 1959);
  EXPECT_EQ(after[1], 3000);
}

TEST_F(BadAudioInput, OversizedEngineFramesAreDroppedWholeAndLogged) {
  std::vector<int16_t> good = counting(960, 1);
  record(good, 2, 480);
  std::vector<int16_t> talkerGood = counting(960, 1);
  ASSERT_TRUE(talker(talkerGood, 2, 480));

  std::vector<int16_t> huge(40000, 123);
  record(huge, 2, 20000);
  EXPECT_TRUE(std::all_of(huge.begin(), huge.end(), [](int16_t v) { return v == 0; }))
      << "a dropped recorded frame is still silenced";
  std::vector<int16_t> huge2(40000, 123);
  EXPECT_FALSE(talker(huge2, 2, 20000));

  EXPECT_EQ(
      count("[zn] onRecordAudioFrame channelId mic record data is overflow, check why not consume"),
      1u);
  EXPECT_EQ(count("onPlaybackAudioFrameBeforeMixing playback uid 7 data overflow max(19201), "
                  "avail(960), drop(40000)"),
            1u);
  EXPECT_EQ(drainMic(), asInts(counting(960, 1)));
  EXPECT_EQ(drainTalker(), asInts(counting(960, 1)));
}

TEST_F(BadAudioInput, NullChannelIdsFromTheEngine) {
  // Fill the microphone queue, then overflow it with a null channel id: the
  // overflow line is still written, with an empty id.
  for (int i = 0; i < 20; ++i) {
    std::vector<int16_t> s = counting(960, i);
    record(s, 2, 480);
  }
  std::vector<int16_t> s = counting(960, 0);
  record(s, 2, 480, nullptr);
  EXPECT_EQ(
      count("[zn] onRecordAudioFrame channelId  record data is overflow, check why not consume"),
      1u);
  // No talker has a null channel: the frame is refused, nothing changes.
  std::vector<int16_t> t = counting(960, 0);
  EXPECT_FALSE(talker(t, 2, 480, nullptr));
  media::AudioFrame mix = frameOf(t, 2, 480);
  EXPECT_TRUE(observer_->onPlaybackAudioFrame(nullptr, mix));
  EXPECT_TRUE(observer_->onPlaybackAudioFrameBeforeMixing(nullptr, nullptr, mix));
  EXPECT_TRUE(drainTalker().empty());
  EXPECT_EQ(drainMic().size(), 19200u);
}

TEST_F(BadAudioInput, NullWwiseBuffersAreIgnoredAndQueuesKept) {
  std::vector<int16_t> good = counting(960, 1);
  record(good, 2, 480);
  std::vector<int16_t> t = counting(960, 1);
  ASSERT_TRUE(talker(t, 2, 480));
  const size_t pushesBefore = engine_.mediaEngine().pushCount();

  GetRecodeAudioFrame(nullptr);
  PushRecodeAudioFrameAfterEffect(nullptr);
  GetPlayoutAudioFrameByUid(nullptr, kTalkerObject);
  GetPlayoutAudioFrameByUid(nullptr, 12345);
  PushPlayoutAudioFrameAfterEffect(nullptr);

  EXPECT_EQ(engine_.mediaEngine().pushCount(), pushesBefore) << "nothing sent for a null buffer";
  EXPECT_EQ(count("failed to push wwise record data after effect!"), 1u);
  EXPECT_EQ(drainMic(), asInts(counting(960, 1)));
  EXPECT_EQ(drainTalker(), asInts(counting(960, 1)));
}

TEST_F(BadAudioInput, BufferProxiesReportingZeroOrSixChannels) {
  // No channel: no audio can go in or out, so nothing is taken or sent.
  {
    std::vector<int16_t> good = counting(960, 10);
    record(good, 2, 480);
    FloatBufferProxy none(1024, 0);
    GetRecodeAudioFrame(&none);
    EXPECT_EQ(none.setFilledFramesCalls(), 0);
    EXPECT_EQ(none.markStateCalls(), 0);
    const size_t pushes = engine_.mediaEngine().pushCount();
    none.setFilled(480);
    PushRecodeAudioFrameAfterEffect(&none);
    PushPlayoutAudioFrameAfterEffect(&none);
    EXPECT_EQ(engine_.mediaEngine().pushCount(), pushes);
    EXPECT_EQ(none.refusedChannelCalls(), 0);
    EXPECT_EQ(drainMic(), asInts(counting(960, 10))) << "the queue keeps its audio";
  }
  // Six channels (5.1): the pull fills front left and right and silences the
  // other four; the push downmixes all but the LFE.
  std::vector<int16_t> good = counting(960, 10);
  record(good, 2, 480);
  FloatBufferProxy p(1024, 6);
  p.fill(0.25f);
  GetRecodeAudioFrame(&p);
  ASSERT_EQ(p.FilledFrames(), 480);
  EXPECT_EQ(p.channel(0)[0], 10.0f / 32768.0f);
  EXPECT_EQ(p.channel(1)[479], 969.0f / 32768.0f);
  EXPECT_EQ(p.channel(0)[480], 0.25f);
  for (uint32_t c = 2; c < 6; ++c) {
    EXPECT_EQ(p.channel(c)[0], 0.0f) << c;
    EXPECT_EQ(p.channel(c)[479], 0.0f) << c;
    EXPECT_EQ(p.channel(c)[480], 0.25f) << c << ": beyond the frames, untouched";
  }
  engine_.mediaEngine().clearPushedFrames();
  PushRecodeAudioFrameAfterEffect(&p);
  const std::vector<int16_t> sent = engine_.mediaEngine().samplesOfTrack(track_);
  ASSERT_EQ(sent.size(), 960u);
  EXPECT_EQ(sent[0], 9);  // 10 / 32768 * 32767, truncated; the rest was silent
  for (uint32_t c = 0; c < 6; ++c) {
    EXPECT_EQ(p.channel(c)[479], 0.0f) << c;
    EXPECT_EQ(p.channel(c)[480], 0.25f) << c;
  }
  EXPECT_EQ(p.refusedChannelCalls(), 0);
}

TEST_F(BadAudioInput, CapacityZeroDeliversNothingAndKeepsTheQueue) {
  std::vector<int16_t> good = counting(960, 1);
  record(good, 2, 480);
  std::vector<int16_t> t = counting(960, 1);
  ASSERT_TRUE(talker(t, 2, 480));
  FloatBufferProxy empty(0, 2);
  GetRecodeAudioFrame(&empty);
  GetPlayoutAudioFrameByUid(&empty, kTalkerObject);
  EXPECT_EQ(empty.setFilledFramesCalls(), 0);
  EXPECT_EQ(empty.markStateCalls(), 0);
  EXPECT_EQ(count("sdk record data is not ready"), 1u);
  EXPECT_EQ(drainMic(), asInts(counting(960, 1)));
  EXPECT_EQ(drainTalker(), asInts(counting(960, 1)));
}

TEST_F(BadAudioInput, FilledFramesBeyondCapacityAreReadOnlyUpToCapacity) {
  // The buffer holds 100 frames per channel but claims 500; AddressSanitizer
  // reports any read past the 100.
  FloatBufferProxy p(100, 2);
  for (int i = 0; i < 100; ++i) {
    p.channel(0)[i] = 0.5f;
    p.channel(1)[i] = -0.5f;
  }
  p.setFilled(500);
  PushPlayoutAudioFrameAfterEffect(&p);
  p.setFilled(500);
  PushRecodeAudioFrameAfterEffect(&p);
  const std::vector<kivra::standin::PushedFrame> frames = engine_.mediaEngine().pushedFrames();
  ASSERT_EQ(frames.size(), 2u);
  for (const kivra::standin::PushedFrame& f : frames) {
    EXPECT_EQ(f.frame.samplesPerChannel, 100);
    ASSERT_EQ(f.samples.size(), 200u);
    EXPECT_EQ(f.samples[0], 16383);
    EXPECT_EQ(f.samples[199], -16383);
  }
  EXPECT_EQ(frames[0].trackId, track_ + 1);  // the AEC reference track
  EXPECT_EQ(frames[1].trackId, track_);
}

TEST_F(BadAudioInput, NonFiniteAndOutOfRangeFloatsAreClampedNotWrapped) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float in[] = {nan,    -nan,  inf,  -inf,  1e30f, -1e30f, 1.5f, -1.5f, 1.0000001f,
                      1e-40f, -0.0f, 1.0f, -1.0f, 0.5f,  -0.5f,  2.0f, -2.0f};
  const int16_t want[] = {0, 0, 32767, -32768, 32767, -32768, 32767, -32768, 32767,
                          0, 0, 32767, -32767, 16383, -16383, 32767, -32768};
  constexpr int n = sizeof(in) / sizeof(in[0]);
  for (bool reverse : {false, true}) {
    FloatBufferProxy p(n, 2);
    for (int i = 0; i < n; ++i) {
      p.channel(0)[i] = in[i];
      p.channel(1)[i] = in[n - 1 - i];
    }
    p.setFilled(n);
    engine_.mediaEngine().clearPushedFrames();
    if (reverse) {
      PushPlayoutAudioFrameAfterEffect(&p);
    } else {
      PushRecodeAudioFrameAfterEffect(&p);
    }
    const std::vector<int16_t> got =
        engine_.mediaEngine().samplesOfTrack(reverse ? track_ + 1 : track_);
    ASSERT_EQ(got.size(), 2u * n);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(got[2 * i], want[i]) << "sample " << i << (reverse ? " (reverse)" : " (uplink)");
      EXPECT_EQ(got[2 * i + 1], want[n - 1 - i]) << "sample " << i;
    }
  }
}

}  // namespace
