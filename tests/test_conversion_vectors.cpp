// The conversion loops run several samples per step with a scalar tail, so a
// fault shows as a wrong lane, a swapped channel, a bad tail or a stray write
// past the block. These tests compare every entry against the plain rule at
// every length and offset, and on the inputs whose product with 32767 lies
// just beside an integer (where rounding the product in float goes wrong).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KivraCommConversion.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseCommWrapper.h"

using kivra::standin::FloatBufferProxy;
using W = KivraWwiseCommWrapper;

namespace {

// The exact product with 32767 truncated toward zero, limited to int16; NaN 0.
int16_t rule(float v) {
  if (std::isnan(v)) return 0;
  double p = std::trunc(static_cast<double>(v) * 32767.0);
  if (p > 32767.0) p = 32767.0;
  if (p < -32768.0) p = -32768.0;
  return static_cast<int16_t>(p);
}

// Floats on both sides of every k / 32767, k over the whole int16 range and
// a little beyond: the closest calls the truncation has to make.
std::vector<float> boundaryInputs() {
  std::vector<float> v;
  for (int k = -32770; k <= 32770; ++k) {
    float f = static_cast<float>(static_cast<double>(k) / 32767.0);
    float down = f, up = f;
    v.push_back(f);
    for (int s = 0; s < 3; ++s) {
      down = std::nextafter(down, -2.0f);
      up = std::nextafter(up, 2.0f);
      v.push_back(down);
      v.push_back(up);
    }
  }
  v.push_back(NAN);
  v.push_back(-NAN);
  v.push_back(INFINITY);
  v.push_back(-INFINITY);
  return v;
}

constexpr int16_t kGuard = 0x5A5A;
constexpr float kGuardF = 12345.0f;

}  // namespace

TEST(ConversionVectors, FloatToInt16AtEveryLengthAndOffset) {
  const std::vector<float> inputs = boundaryInputs();
  ASSERT_GT(inputs.size(), 400000u);
  // Whole boundary set in one call.
  std::vector<int16_t> out(inputs.size() + 1, kGuard);
  std::vector<float> in(inputs);
  W::FloatToInt16(in.data(), out.data(), static_cast<int>(in.size()));
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], rule(in[i])) << std::hexfloat << in[i] << " at " << i;
  }
  EXPECT_EQ(out[in.size()], kGuard) << "wrote past the block";

  // Short blocks at every start offset: each tail length, misaligned loads.
  for (int offset = 0; offset < 8; ++offset) {
    for (int count = 0; count <= 37; ++count) {
      std::vector<int16_t> o(static_cast<size_t>(count) + 2, kGuard);
      const size_t start = static_cast<size_t>(offset * 1009 + count * 17);
      W::FloatToInt16(in.data() + start, o.data() + 1, count);
      ASSERT_EQ(o[0], kGuard);
      for (int i = 0; i < count; ++i) {
        ASSERT_EQ(o[static_cast<size_t>(i) + 1], rule(in[start + static_cast<size_t>(i)]))
            << "offset " << offset << " count " << count << " index " << i;
      }
      ASSERT_EQ(o[static_cast<size_t>(count) + 1], kGuard) << "count " << count;
    }
  }
}

TEST(ConversionVectors, AkBufferToInt16BufInterleavesEveryFrame) {
  const std::vector<float> inputs = boundaryInputs();
  // Left and right from different parts of the set, so a swapped or
  // duplicated channel cannot pass.
  const int frames = 30000;
  FloatBufferProxy proxy(frames, 2);
  for (int i = 0; i < frames; ++i) {
    proxy.channel(0)[static_cast<size_t>(i)] = inputs[static_cast<size_t>(i)];
    proxy.channel(1)[static_cast<size_t>(i)] = inputs[inputs.size() - 1 - static_cast<size_t>(i)];
  }
  for (int n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 255, 480, 1023, 1024, 29999, 30000}) {
    proxy.setFilled(static_cast<uint16_t>(n));
    std::vector<int16_t> out(static_cast<size_t>(n) * 2 + 1, kGuard);
    W::AkBufferToInt16Buf(&proxy, out.data(), 2);
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(out[2 * static_cast<size_t>(i)], rule(proxy.channel(0)[static_cast<size_t>(i)]))
          << "left, frames " << n << " index " << i;
      ASSERT_EQ(out[2 * static_cast<size_t>(i) + 1], rule(proxy.channel(1)[static_cast<size_t>(i)]))
          << "right, frames " << n << " index " << i;
    }
    ASSERT_EQ(out[2 * static_cast<size_t>(n)], kGuard) << "frames " << n;
  }
}

TEST(ConversionVectors, Int16BufToAkBufferSplitsEveryValueAndFrameCount) {
  // Every int16 value on the left, the same values reversed on the right.
  const int frames = 65536;
  std::vector<int16_t> in(static_cast<size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    in[2 * static_cast<size_t>(i)] = static_cast<int16_t>(i - 32768);
    in[2 * static_cast<size_t>(i) + 1] = static_cast<int16_t>(32767 - i);
  }
  for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 480, 1021, 1024, 65535}) {
    FloatBufferProxy proxy(65535, 2);
    proxy.fill(kGuardF);
    // Start at an odd frame so loads straddle 16-byte lines.
    const size_t start = n == 65535 ? 1 : 4097;
    W::Int16BufToAkBuffer(&proxy, in.data() + 2 * start, 2, n);
    EXPECT_EQ(proxy.FilledFrames(), n);
    for (int i = 0; i < n; ++i) {
      const size_t k = start + static_cast<size_t>(i);
      ASSERT_EQ(proxy.channel(0)[static_cast<size_t>(i)], static_cast<float>(in[2 * k]) / 32768.0f)
          << "left, frames " << n << " index " << i;
      ASSERT_EQ(proxy.channel(1)[static_cast<size_t>(i)],
                static_cast<float>(in[2 * k + 1]) / 32768.0f)
          << "right, frames " << n << " index " << i;
    }
    if (n < 65535) {
      ASSERT_EQ(proxy.channel(0)[static_cast<size_t>(n)], kGuardF) << "frames " << n;
      ASSERT_EQ(proxy.channel(1)[static_cast<size_t>(n)], kGuardF) << "frames " << n;
    }
  }
}

// The build converts with the loops of its CPU: the tests above then prove
// those loops, not a fallback.
TEST(ConversionVectors, TheBuildConvertsWithTheLoopsOfItsCpu) {
  const std::string expected = KIVRA_EXPECTED_CONVERT_KERNEL;
  if (expected.empty()) GTEST_SKIP() << "no vector loops expected for this CPU";
  EXPECT_EQ(kivra::convert::kernelName(), expected);
}
