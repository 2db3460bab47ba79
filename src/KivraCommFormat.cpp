#include "KivraCommFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "KivraCommConversion.h"

namespace kivra::format {
namespace {

using convert::floatToInt16;
using convert::int16ToFloat;

// A window of engine time over which Wwise's rate is measured, a gap in
// Wwise's pulls that makes it a hitch, and how often the warning may repeat.
constexpr int kWindowSeconds = 2;
constexpr int kHitchDivisor = 4;  // 250 ms
constexpr int kWarnSeconds = 60;
constexpr double kTolerance = 0.05;
constexpr double kAtOnce = 0.15;

constexpr int kCommonRates[] = {8000,  11025, 16000, 22050, 24000, 32000,
                                44100, 48000, 88200, 96000, 192000};

// Channel `index` of the buffer, or null when it has none.
float* channelOf(IAkAudioBufferProxy* buffer, uint32_t count, int index) {
  if (index < 0 || static_cast<uint32_t>(index) >= count) return nullptr;
  return buffer->ChannelData(static_cast<uint32_t>(index));
}

void zeroInterleaved(int16_t* out, int channels, int frames, int channel) {
  for (int i = 0; i < frames; ++i) out[i * channels + channel] = 0;
}

}  // namespace

bool servableRate(int rate) { return rate >= kLowestRate && rate <= kHighestRate; }

int periodFrames(int rate) { return rate / 100; }

uint32_t queueSamples(int rate) { return static_cast<uint32_t>(rate / 5) * kEngineChannels; }

int scaledFrames(int framesAt48k, int rate) {
  const int64_t scaled =
      (static_cast<int64_t>(framesAt48k) * rate + kDefaultRate / 2) / kDefaultRate;
  return static_cast<int>(std::max<int64_t>(scaled, 1));
}

Layout layoutOf(int channels) {
  Layout l;
  l.channels = channels;
  if (channels <= 2 || channels > 8) return l;
  // Odd counts have a center and no LFE; even counts from 6 on have both.
  const bool center = channels % 2 == 1 || channels >= 6;
  const bool lfe = channels % 2 == 0 && channels >= 6;
  int next = 2;
  if (center) l.center = next++;
  const int last = channels - (lfe ? 1 : 0);
  while (next + 1 < last && l.surroundPairs < 3) {
    l.surroundLeft[l.surroundPairs] = next;
    l.surroundRight[l.surroundPairs] = next + 1;
    ++l.surroundPairs;
    next += 2;
  }
  return l;
}

void toInterleaved(IAkAudioBufferProxy* buffer, int16_t* out, int outChannels, int frames) {
  if (buffer == nullptr || out == nullptr || outChannels <= 0 || frames <= 0) return;
  const uint32_t count = buffer->ChannelCount();
  if (outChannels != kEngineChannels || count == kEngineChannels) {
    const float* left = outChannels == 2 ? channelOf(buffer, count, 0) : nullptr;
    const float* right = outChannels == 2 ? channelOf(buffer, count, 1) : nullptr;
    if (left != nullptr && right != nullptr) {
      convert::interleave2(left, right, out, frames);
      return;
    }
    for (int c = 0; c < outChannels; ++c) {
      const float* src = channelOf(buffer, count, c);
      if (src == nullptr) {
        zeroInterleaved(out, outChannels, frames, c);
      } else {
        for (int i = 0; i < frames; ++i) out[i * outChannels + c] = floatToInt16(src[i]);
      }
    }
    return;
  }
  // Mono and surround go through a small stack buffer of stereo floats, so
  // that the sums and the conversion run as plain loops the compiler
  // vectorises (the conversion is the stereo kernel's).
  constexpr int kChunk = 256;
  float left[kChunk], right[kChunk];
  if (count == 1) {
    const float* mono = channelOf(buffer, count, 0);
    for (int at = 0; at < frames; at += kChunk) {
      const int n = std::min(kChunk, frames - at);
      if (mono == nullptr) {
        std::fill(left, left + n, 0.0f);
        convert::interleave2(left, left, out + 2 * at, n);
      } else {
        convert::interleave2(mono + at, mono + at, out + 2 * at, n);
      }
    }
    return;
  }
  // Surround (or none): downmixed to stereo.
  const Layout l = layoutOf(static_cast<int>(count));
  const float* fl = channelOf(buffer, count, 0);
  const float* fr = channelOf(buffer, count, 1);
  const float* c = channelOf(buffer, count, l.center);
  const float* sl[3] = {};
  const float* sr[3] = {};
  for (int p = 0; p < l.surroundPairs; ++p) {
    sl[p] = channelOf(buffer, count, l.surroundLeft[p]);
    sr[p] = channelOf(buffer, count, l.surroundRight[p]);
  }
  for (int at = 0; at < frames; at += kChunk) {
    const int n = std::min(kChunk, frames - at);
    // The side sums: center, then each pair's channel of that side.
    std::fill(left, left + n, 0.0f);
    std::fill(right, right + n, 0.0f);
    if (c != nullptr) {
      for (int i = 0; i < n; ++i) left[i] += c[at + i];
      for (int i = 0; i < n; ++i) right[i] += c[at + i];
    }
    for (int p = 0; p < l.surroundPairs; ++p) {
      if (sl[p] != nullptr) {
        for (int i = 0; i < n; ++i) left[i] += sl[p][at + i];
      }
      if (sr[p] != nullptr) {
        for (int i = 0; i < n; ++i) right[i] += sr[p][at + i];
      }
    }
    for (int i = 0; i < n; ++i) left[i] *= kMinus3dB;
    for (int i = 0; i < n; ++i) right[i] *= kMinus3dB;
    if (fl != nullptr) {
      for (int i = 0; i < n; ++i) left[i] = fl[at + i] + left[i];
    }
    if (fr != nullptr) {
      for (int i = 0; i < n; ++i) right[i] = fr[at + i] + right[i];
    }
    convert::interleave2(left, right, out + 2 * at, n);
  }
}

void fromInterleaved(const int16_t* in, int inChannels, IAkAudioBufferProxy* buffer, int frames) {
  if (buffer == nullptr || in == nullptr || inChannels <= 0 || frames <= 0) return;
  const uint32_t count = buffer->ChannelCount();
  if (inChannels == kEngineChannels && count == 1) {
    float* mono = channelOf(buffer, count, 0);
    if (mono == nullptr) return;
    // Exact in float: each term is a multiple of 2^-15 below 1.
    for (int i = 0; i < frames; ++i)
      mono[i] = (int16ToFloat(in[2 * i]) + int16ToFloat(in[2 * i + 1])) * 0.5f;
    return;
  }
  if (inChannels == kEngineChannels) {
    float* left = channelOf(buffer, count, 0);
    float* right = channelOf(buffer, count, 1);
    if (left != nullptr && right != nullptr) {
      convert::deinterleave2(in, left, right, frames);
      for (uint32_t c = 2; c < count; ++c) {
        float* rest = buffer->ChannelData(c);
        if (rest != nullptr) std::fill(rest, rest + frames, 0.0f);
      }
      return;
    }
  }
  for (uint32_t c = 0; c < count; ++c) {
    float* dst = buffer->ChannelData(c);
    if (dst == nullptr) continue;
    if (static_cast<int>(c) >= inChannels) {
      std::fill(dst, dst + frames, 0.0f);
      continue;
    }
    const int16_t* src = in + c;
    for (int i = 0; i < frames; ++i) dst[i] = int16ToFloat(src[i * inChannels]);
  }
}

void silence(IAkAudioBufferProxy* buffer, int frames) {
  if (buffer == nullptr || frames <= 0) return;
  const uint32_t count = buffer->ChannelCount();
  for (uint32_t c = 0; c < count; ++c) {
    float* data = buffer->ChannelData(c);
    if (data != nullptr) std::fill(data, data + frames, 0.0f);
  }
}

// ---------------------------------------------------------------------------
// RateWatch

void RateWatch::restart(int servedRate) {
  served_ = servableRate(servedRate) ? servedRate : kDefaultRate;
  engine_ = wwise_ = 0;
  open_ = false;
  previousSide_ = 0;
  warned_ = false;
}

int RateWatch::nameRate(double rate) {
  for (int common : kCommonRates) {
    if (std::fabs(rate - common) <= 0.015 * common) return common;
  }
  return static_cast<int>(std::lround(rate / 100.0)) * 100;
}

RateWatch::Verdict RateWatch::wwisePull(int frames) {
  Verdict verdict;
  const int64_t now = engine_;
  if (!open_ || now - lastEngine_ > served_ / kHitchDivisor) {
    // The first pull, or the first after a hitch: a window starts here.
    open_ = true;
    windowEngine_ = now;
    windowWwise_ = wwise_;
    if (now - lastEngine_ > served_ / kHitchDivisor) previousSide_ = 0;
  } else if (now - windowEngine_ >= static_cast<int64_t>(kWindowSeconds) * served_) {
    const int64_t spanEngine = now - windowEngine_;
    const int64_t spanWwise = wwise_ - windowWwise_;
    const double ratio = static_cast<double>(spanWwise) / static_cast<double>(spanEngine);
    const int side = ratio > 1.0 + kTolerance ? 1 : ratio < 1.0 - kTolerance ? -1 : 0;
    double seen = ratio;
    bool wrong = false;
    if (side != 0 && std::fabs(ratio - 1.0) > kAtOnce) {
      wrong = true;
    } else if (side != 0 && side == previousSide_) {
      wrong = true;
      seen = static_cast<double>(spanWwise + previousWwise_) /
             static_cast<double>(spanEngine + previousEngine_);
    }
    previousSide_ = side;
    previousEngine_ = spanEngine;
    previousWwise_ = spanWwise;
    windowEngine_ = now;
    windowWwise_ = wwise_;
    if (wrong && (!warned_ || now - warnedAt_ >= static_cast<int64_t>(kWarnSeconds) * served_)) {
      warned_ = true;
      warnedAt_ = now;
      verdict.warn = true;
      verdict.seenRate = nameRate(seen * served_);
    }
  }
  lastEngine_ = now;
  wwise_ += frames > 0 ? frames : 0;
  return verdict;
}

}  // namespace kivra::format
