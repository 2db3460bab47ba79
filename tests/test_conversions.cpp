// Conversions between interleaved int16 and Wwise's per-channel floats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "KivraCommLog.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseCommWrapper.h"
#include "TestSupport.h"

using kivra::standin::FloatBufferProxy;
using W = KivraWwiseCommWrapper;

namespace {

int16_t toInt16(float v) {
  int16_t out = 0x1234;
  W::FloatToInt16(&v, &out, 1);
  return out;
}

float toFloat(int16_t s) {
  FloatBufferProxy p(1, 2);
  int16_t in[2] = {s, 0};
  W::Int16BufToAkBuffer(&p, in, 2, 1);
  return p.channel(0)[0];
}

// The stated rule: the exact product with 32767 truncated toward zero, then
// limited to the int16 range; NaN is 0.
int16_t reference(float v) {
  if (std::isnan(v)) return 0;
  double p = std::trunc(static_cast<double>(v) * 32767.0);
  if (p > 32767.0) p = 32767.0;
  if (p < -32768.0) p = -32768.0;
  return static_cast<int16_t>(p);
}

float fromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof(f));
  return f;
}

}  // namespace

TEST(Conversions, FloatToInt16ScalesBy32767AndTruncatesTowardZero) {
  EXPECT_EQ(toInt16(1.0f), 32767);
  EXPECT_EQ(toInt16(-1.0f), -32767);
  EXPECT_EQ(toInt16(0.5f), 16383);
  EXPECT_EQ(toInt16(-0.5f), -16383);
  EXPECT_EQ(toInt16(0.0f), 0);
  EXPECT_EQ(toInt16(-0.0f), 0);
  EXPECT_EQ(toInt16(1.0f / 32767.0f), 0);  // just below 1 after the product
  EXPECT_EQ(toInt16(2.0f / 32767.0f), 1);
  EXPECT_EQ(toInt16(-2.0f / 32767.0f), -1);
}

TEST(Conversions, Int16ToFloatScalesBy1Over32768) {
  EXPECT_EQ(toFloat(-32768), -1.0f);
  EXPECT_EQ(toFloat(32767), 0.999969482421875f);
  EXPECT_EQ(toFloat(16384), 0.5f);
  EXPECT_EQ(toFloat(1), 3.0517578125e-05f);
  EXPECT_EQ(toFloat(0), 0.0f);
}

TEST(Conversions, RoundTripLosesOneStepBecauseTheScalesDiffer) {
  EXPECT_EQ(toInt16(toFloat(32767)), 32766);
  EXPECT_EQ(toInt16(toFloat(16384)), 16383);
  EXPECT_EQ(toInt16(toFloat(-32768)), -32767);
  EXPECT_EQ(toInt16(toFloat(-5)), -4);
  EXPECT_EQ(toInt16(toFloat(0)), 0);
}

TEST(Conversions, OutOfRangeClampsAndNaNIsSilence) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(toInt16(1.5f), 32767);
  EXPECT_EQ(toInt16(-2.0f), -32768);
  EXPECT_EQ(toInt16(-1.5f), -32768);
  EXPECT_EQ(toInt16(1e30f), 32767);
  EXPECT_EQ(toInt16(-1e30f), -32768);
  EXPECT_EQ(toInt16(inf), 32767);
  EXPECT_EQ(toInt16(-inf), -32768);
  EXPECT_EQ(toInt16(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(toInt16(-std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(toInt16(std::numeric_limits<float>::signaling_NaN()), 0);
  // Around the top and bottom of the range.
  EXPECT_EQ(toInt16(std::nextafter(1.0f, 2.0f)), 32767);
  EXPECT_EQ(toInt16(-1.0000305f), -32767);  // product -32767.9999...
  EXPECT_EQ(toInt16(-1.0000306f), -32768);
}

// Every 241st float bit pattern (all signs, exponents, NaNs and infinities),
// through the scalar-count entry and the stereo interleaving entry.
TEST(Conversions, MatchesTheExactRuleAcrossTheFloatRange) {
  const int kBlock = 4096;
  std::vector<float> in(kBlock);
  std::vector<int16_t> out(kBlock);
  FloatBufferProxy proxy(kBlock / 2, 2);
  std::vector<int16_t> inter(kBlock);
  uint64_t checked = 0;
  for (uint64_t u = 0; u < (1ull << 32);) {
    for (int i = 0; i < kBlock; ++i, u += 241) in[i] = fromBits(static_cast<uint32_t>(u));
    W::FloatToInt16(in.data(), out.data(), kBlock);
    for (int i = 0; i < kBlock / 2; ++i) {
      proxy.channel(0)[i] = in[2 * i];
      proxy.channel(1)[i] = in[2 * i + 1];
    }
    proxy.setFilled(kBlock / 2);
    W::AkBufferToInt16Buf(&proxy, inter.data(), 2);
    for (int i = 0; i < kBlock; ++i) {
      const int16_t want = reference(in[i]);
      ASSERT_EQ(out[i], want) << std::hexfloat << in[i];
      ASSERT_EQ(inter[i], want) << std::hexfloat << in[i];
    }
    checked += kBlock;
  }
  // Every float in [-1, 1] step 2^-16 apart, where the result is densest.
  std::vector<float> dense;
  for (int k = -65536; k <= 65536; ++k) dense.push_back(static_cast<float>(k) / 65536.0f);
  std::vector<int16_t> dout(dense.size());
  W::FloatToInt16(dense.data(), dout.data(), static_cast<int>(dense.size()));
  for (size_t i = 0; i < dense.size(); ++i) ASSERT_EQ(dout[i], reference(dense[i])) << dense[i];
  EXPECT_GT(checked, 17000000u);
}

TEST(Conversions, StereoLayoutBetweenInterleavedAndChannels) {
  FloatBufferProxy p(8, 2);
  p.fill(9.0f);
  int16_t in[6] = {-32768, 16384, 1, -1, 32767, 0};  // L0 R0 L1 R1 L2 R2
  W::Int16BufToAkBuffer(&p, in, 2, 3);
  EXPECT_EQ(p.setFilledFramesCalls(), 1);
  EXPECT_EQ(p.FilledFrames(), 3);
  EXPECT_EQ(p.markStateCalls(), 0);  // the callers mark the state
  EXPECT_EQ(p.channel(0)[0], -1.0f);
  EXPECT_EQ(p.channel(0)[1], 1.0f / 32768);
  EXPECT_EQ(p.channel(0)[2], 32767.0f / 32768);
  EXPECT_EQ(p.channel(1)[0], 0.5f);
  EXPECT_EQ(p.channel(1)[1], -1.0f / 32768);
  EXPECT_EQ(p.channel(1)[2], 0.0f);
  EXPECT_EQ(p.channel(0)[3], 9.0f);  // beyond the frames: untouched
  EXPECT_EQ(p.channel(1)[3], 9.0f);

  // And back: channel 0 to the even slots, channel 1 to the odd ones.
  FloatBufferProxy q(8, 2);
  q.channel(0)[0] = 1.0f;
  q.channel(0)[1] = 0.5f;
  q.channel(0)[2] = -0.25f;
  q.channel(1)[0] = -1.0f;
  q.channel(1)[1] = -0.5f;
  q.channel(1)[2] = 0.25f;
  q.setFilled(3);
  std::vector<int16_t> out(8, 0x7777);
  W::AkBufferToInt16Buf(&q, out.data(), 2);
  const int16_t want[6] = {32767, -32767, 16383, -16383, -8191, 8191};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], want[i]) << i;
  EXPECT_EQ(out[6], 0x7777);
}

// Every block length from 0 to 40 frames, so each split between the bulk and
// the remainder of the loops is exercised in both directions.
TEST(Conversions, EveryBlockLengthConvertsEverySampleOnce) {
  for (int frames = 0; frames <= 40; ++frames) {
    FloatBufferProxy p(48, 2);
    p.fill(7.0f);
    std::vector<int16_t> in(96);
    for (int i = 0; i < 96; ++i) in[i] = static_cast<int16_t>(i * 331 - 16000);
    W::Int16BufToAkBuffer(&p, in.data(), 2, frames);
    for (int i = 0; i < 48; ++i) {
      ASSERT_EQ(p.channel(0)[i], i < frames ? in[2 * i] / 32768.0f : 7.0f) << frames;
      ASSERT_EQ(p.channel(1)[i], i < frames ? in[2 * i + 1] / 32768.0f : 7.0f) << frames;
    }
    for (int i = 0; i < 48; ++i) {
      p.channel(0)[i] = (i - 20) / 19.0f;  // a few beyond full scale
      p.channel(1)[i] = (20 - i) / 23.0f;
    }
    p.setFilled(static_cast<uint16_t>(frames));
    std::vector<int16_t> out(96, 0x7777);
    W::AkBufferToInt16Buf(&p, out.data(), 2);
    for (int i = 0; i < 48; ++i) {
      ASSERT_EQ(out[2 * i], i < frames ? reference((i - 20) / 19.0f) : 0x7777) << frames;
      ASSERT_EQ(out[2 * i + 1], i < frames ? reference((20 - i) / 23.0f) : 0x7777) << frames;
    }
    std::vector<int16_t> flat(48, 0x7777);
    W::FloatToInt16(p.channel(0).data(), flat.data(), frames);
    for (int i = 0; i < 48; ++i)
      ASSERT_EQ(flat[i], i < frames ? reference((i - 20) / 19.0f) : 0x7777) << frames;
  }
}

TEST(Conversions, ZeroFramesStillDeclaresZeroValidFrames) {
  FloatBufferProxy p(8, 2);
  p.fill(0.25f);
  p.setFilled(5);
  int16_t in[2] = {1000, 1000};
  W::Int16BufToAkBuffer(&p, in, 2, 0);
  EXPECT_EQ(p.setFilledFramesCalls(), 1);
  EXPECT_EQ(p.FilledFrames(), 0);
  for (float f : p.channel(0)) EXPECT_EQ(f, 0.25f);
  for (float f : p.channel(1)) EXPECT_EQ(f, 0.25f);
}

TEST(Conversions, NeverPassesTheWwiseBufferWhateverTheCountsSay) {
  // FilledFrames beyond capacity: only the capacity is read.
  FloatBufferProxy p(4, 2);
  p.fill(0.5f);
  p.setFilled(100);
  std::vector<int16_t> out(20, 0x7777);
  W::AkBufferToInt16Buf(&p, out.data(), 2);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], 16383);
  for (int i = 8; i < 20; ++i) EXPECT_EQ(out[i], 0x7777);

  // More frames than capacity: only the capacity is written and declared.
  std::vector<int16_t> in(40, 8192);
  W::Int16BufToAkBuffer(&p, in.data(), 2, 20);
  EXPECT_EQ(p.FilledFrames(), 4);
  for (float f : p.channel(0)) EXPECT_EQ(f, 0.25f);

  // Negative frame counts write nothing and declare 0.
  W::Int16BufToAkBuffer(&p, in.data(), 2, -3);
  EXPECT_EQ(p.FilledFrames(), 0);
}

TEST(Conversions, OtherChannelCountsUseTheSameLayout) {
  FloatBufferProxy p(4, 3);
  int16_t in[6] = {100, 200, 300, 400, 500, 600};  // 2 frames of 3 channels
  W::Int16BufToAkBuffer(&p, in, 3, 2);
  EXPECT_EQ(p.channel(0)[1], 400.0f / 32768);
  EXPECT_EQ(p.channel(2)[0], 300.0f / 32768);
  p.setFilled(2);
  std::vector<int16_t> out(6);
  W::AkBufferToInt16Buf(&p, out.data(), 3);
  const int16_t want[6] = {99, 199, 299, 399, 499, 599};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], want[i]);
}

TEST(Conversions, FloatToInt16RefusesNullPointersWithALogLine) {
  kivra::test::TempDir dir("conv");
  KV_INIT_LOG(dir.path().c_str());
  float in[2] = {0.5f, 0.5f};
  int16_t out[2] = {7, 7};
  W::FloatToInt16(nullptr, out, 2);
  W::FloatToInt16(in, nullptr, 2);
  W::FloatToInt16(in, out, 0);  // nothing to do, no line
  EXPECT_EQ(out[0], 7);
  KV_SHUTDOWN_LOG();
  const std::vector<std::string> lines = kivra::test::logMessages(LogPath);
  char a[128], b[128];
  std::snprintf(a, sizeof(a), "in %p, out %p fatal", static_cast<void*>(nullptr),
                static_cast<void*>(out));
  std::snprintf(b, sizeof(b), "in %p, out %p fatal", static_cast<void*>(in),
                static_cast<void*>(nullptr));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], a);
  EXPECT_EQ(lines[1], b);
}
