// The three sample conversions against the exact formula: float to int16 is
// the product with 32767 (exact in double), truncated toward zero, clamped to
// the int16 range, NaN giving 0; int16 to float is the product with 1/32768.
// Arbitrary float bit patterns (NaN, infinities, denormals), frame counts,
// channel counts and buffer shapes; a buffer is never asked for a channel it
// does not have, and any count maps to and from stereo by the format rules
// (mono averaged or doubled, surround downmixed at -3 dB without the LFE).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "KivraCommFormat.h"
#include "KivraWwiseCommWrapper.h"

using kivra::fuzz::fail;
using kivra::fuzz::FuzzInput;

namespace {

int16_t expectedInt16(float x) {
  if (std::isnan(x)) return 0;
  const double t = std::trunc(static_cast<double>(x) * 32767.0);
  if (t > 32767.0) return 32767;
  if (t < -32768.0) return -32768;
  return static_cast<int16_t>(t);
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A Wwise buffer whose channel arrays are exactly CapacityFrames long, so
// AddressSanitizer sees any access past them.
class ExactProxy : public IAkAudioBufferProxy {
 public:
  ExactProxy(uint16_t capacity, uint32_t channelCount, uint32_t storedChannels)
      : capacity_(capacity), channelCount_(channelCount) {
    for (uint32_t c = 0; c < storedChannels; ++c)
      channels_.emplace_back(new float[capacity]);  // zero-size arrays are fine
  }
  uint16_t CapacityFrames() override { return capacity_; }
  void MarkState(int) override { ++markStates_; }
  void Reserved() override {}
  void SetFilledFrames(uint16_t frames) override {
    filled_ = frames;
    ++setFilledCalls_;
  }
  uint16_t FilledFrames() override { return filled_; }
  uint32_t ChannelCount() override { return channelCount_; }
  float* ChannelData(uint32_t index) override {
    if (index >= channelCount_) fail("ChannelData asked for a channel the buffer does not have");
    return index < channels_.size() ? channels_[index].get() : nullptr;
  }

  uint16_t capacity_;
  uint32_t channelCount_;
  std::vector<std::unique_ptr<float[]>> channels_;
  uint16_t filled_ = 0;
  int markStates_ = 0;
  int setFilledCalls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t op = in.u8() % 3;
  const int channels = 1 + in.u8() % 4;
  const uint32_t channelCount = in.u8() % 9;
  const uint32_t stored = channelCount;
  // Mostly small buffers, sometimes up to the 16-bit limit.
  uint16_t capacity = in.u16();
  if ((in.u8() & 31) != 31) capacity %= 260;
  ExactProxy proxy(capacity, channelCount, stored);

  if (op == 0) {  // Wwise floats -> interleaved int16
    const uint16_t filled = capacity == 0 ? 0 : in.u16() % (capacity + 1);
    proxy.filled_ = filled;
    // The first 64 samples of each channel come from the input, the rest
    // repeat them, so huge buffers stay cheap.
    for (uint32_t c = 0; c < stored; ++c)
      for (uint16_t i = 0; i < capacity; ++i)
        proxy.channels_[c][i] = i < 64 ? in.f32() : proxy.channels_[c][i % 64];
    std::vector<int16_t> out(static_cast<size_t>(filled) * channels + 1, 0x5a5a);
    KivraWwiseCommWrapper::AkBufferToInt16Buf(&proxy, out.data(), channels);
    const uint32_t n = channelCount;
    const kivra::format::Layout layout = kivra::format::layoutOf(static_cast<int>(n));
    for (int c = 0; c < channels; ++c)
      for (uint16_t i = 0; i < filled; ++i) {
        const int16_t got = out[static_cast<size_t>(i) * channels + c];
        if (channels != 2 || n == 2) {  // channel for channel, silence past the buffer's
          const int16_t want =
              static_cast<uint32_t>(c) < n ? expectedInt16(proxy.channels_[c][i]) : int16_t{0};
          if (got != want) fail("AkBufferToInt16Buf: wrong sample");
        } else if (n == 1) {  // mono to both
          if (got != expectedInt16(proxy.channels_[0][i])) fail("AkBufferToInt16Buf: mono");
        } else if (n == 0) {
          if (got != 0) fail("AkBufferToInt16Buf: a buffer without channels is silence");
        } else {  // downmixed: within a step of the exact sum, or both clamped alike
          // Checked where float sums cannot cancel: every input within +-4.
          const double k = kivra::format::kMinus3dB;
          double side = layout.center >= 0 ? proxy.channels_[layout.center][i] : 0.0;
          double largest = std::fabs(side) + std::fabs(proxy.channels_[c][i]);
          for (int p = 0; p < layout.surroundPairs; ++p) {
            const float v =
                proxy.channels_[c == 0 ? layout.surroundLeft[p] : layout.surroundRight[p]][i];
            side += v;
            largest = std::max(largest, std::fabs(static_cast<double>(v)));
          }
          const double exact = static_cast<double>(proxy.channels_[c][i]) + k * side;
          if (std::isfinite(exact) && largest <= 4.0) {
            const double t = std::max(-32768.0, std::min(32767.0, std::trunc(exact * 32767.0)));
            if (std::fabs(got - t) > 1.0) fail("AkBufferToInt16Buf: wrong downmix");
          }
        }
      }
    if (out.back() != 0x5a5a) fail("AkBufferToInt16Buf wrote past FilledFrames x channels");
    if (proxy.setFilledCalls_ != 0 || proxy.markStates_ != 0)
      fail("AkBufferToInt16Buf changed the buffer's state");
  } else if (op == 1) {  // interleaved int16 -> Wwise floats
    const uint16_t frames = capacity == 0 ? 0 : in.u16() % (capacity + 1);
    std::vector<int16_t> src(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < src.size(); ++i) src[i] = i < 128 ? in.i16() : src[i % 128];
    const float sentinel = 1234.5f;
    for (uint32_t c = 0; c < stored; ++c)
      for (uint16_t i = 0; i < capacity; ++i) proxy.channels_[c][i] = sentinel;
    KivraWwiseCommWrapper::Int16BufToAkBuffer(&proxy, src.data(), channels, frames);
    const float scale = 1.0f / 32768.0f;
    for (uint32_t c = 0; c < stored; ++c)
      for (uint16_t i = 0; i < capacity; ++i) {
        const float got = proxy.channels_[c][i];
        if (i >= frames) {
          if (!sameBits(got, sentinel)) fail("Int16BufToAkBuffer wrote past the frames");
          continue;
        }
        float want = 0.0f;                   // a channel beyond the source's is silenced
        if (channels == 2 && stored == 1) {  // stereo into mono: the mean
          want = (static_cast<float>(src[2 * static_cast<size_t>(i)]) * scale +
                  static_cast<float>(src[2 * static_cast<size_t>(i) + 1]) * scale) *
                 0.5f;
        } else if (static_cast<int>(c) < channels) {
          want = static_cast<float>(src[static_cast<size_t>(i) * channels + c]) * scale;
        }
        if (!sameBits(got, want)) fail("Int16BufToAkBuffer: wrong sample");
      }
    if (proxy.setFilledCalls_ != 1 || proxy.filled_ != frames)
      fail("Int16BufToAkBuffer did not declare the frames valid");
    if (proxy.markStates_ != 0) fail("Int16BufToAkBuffer called MarkState");
  } else {  // FloatToInt16, also with null pointers
    const int count = in.u16() % 2048;
    const uint8_t nulls = in.u8() % 4;
    std::vector<float> src(count);
    for (float& f : src) f = in.f32();
    std::vector<int16_t> out(static_cast<size_t>(count) + 1, 0x5a5a);
    KivraWwiseCommWrapper::FloatToInt16((nulls & 1) ? nullptr : src.data(),
                                        (nulls & 2) ? nullptr : out.data(), count);
    for (int i = 0; i < count; ++i) {
      const int16_t want = nulls ? int16_t{0x5a5a} : expectedInt16(src[i]);
      if (out[i] != want) fail("FloatToInt16: wrong sample");
    }
    if (out.back() != 0x5a5a) fail("FloatToInt16 wrote past count");
  }
  return 0;
}
