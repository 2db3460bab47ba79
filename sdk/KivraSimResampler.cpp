#include "KivraSimResampler.h"

#include <algorithm>
#include <cstring>

#ifdef KIVRA_SIM_HAVE_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

namespace kivra {
namespace sim {

namespace {
constexpr int kQuality = 5;  // speexdsp's "desktop" quality
}

#ifdef KIVRA_SIM_HAVE_SPEEXDSP

bool SimResampler::available() { return true; }

SimResampler::SimResampler(int inRate, int outRate, int channels)
    : in_(inRate), out_(outRate), channels_(channels) {
  if (inRate <= 0 || outRate <= 0 || channels <= 0) return;
  int err = 0;
  state_ =
      speex_resampler_init(static_cast<spx_uint32_t>(channels), static_cast<spx_uint32_t>(inRate),
                           static_cast<spx_uint32_t>(outRate), kQuality, &err);
  if (err != RESAMPLER_ERR_SUCCESS && state_ != nullptr) {
    speex_resampler_destroy(static_cast<SpeexResamplerState*>(state_));
    state_ = nullptr;
  }
}

SimResampler::~SimResampler() {
  if (state_ != nullptr) speex_resampler_destroy(static_cast<SpeexResamplerState*>(state_));
}

int SimResampler::process(const int16_t* in, int frames, int16_t* out, int outCapacity) {
  if (state_ == nullptr || frames <= 0) return 0;
  spx_uint32_t inLen = static_cast<spx_uint32_t>(frames);
  spx_uint32_t outLen = static_cast<spx_uint32_t>(std::max(outCapacity, 0));
  speex_resampler_process_interleaved_int(static_cast<SpeexResamplerState*>(state_), in, &inLen,
                                          out, &outLen);
  return static_cast<int>(outLen);
}

int SimResampler::process(const float* in, int frames, float* out, int outCapacity) {
  if (state_ == nullptr || frames <= 0) return 0;
  spx_uint32_t inLen = static_cast<spx_uint32_t>(frames);
  spx_uint32_t outLen = static_cast<spx_uint32_t>(std::max(outCapacity, 0));
  speex_resampler_process_interleaved_float(static_cast<SpeexResamplerState*>(state_), in, &inLen,
                                            out, &outLen);
  return static_cast<int>(outLen);
}

#else

bool SimResampler::available() { return false; }
SimResampler::SimResampler(int inRate, int outRate, int channels)
    : in_(inRate), out_(outRate), channels_(channels) {}
SimResampler::~SimResampler() = default;
int SimResampler::process(const int16_t*, int, int16_t*, int) { return 0; }
int SimResampler::process(const float*, int, float*, int) { return 0; }

#endif

int SimResampler::maxOutFrames(int inFrames) const {
  if (in_ <= 0) return 0;
  return static_cast<int>((static_cast<int64_t>(inFrames) * out_ + in_ - 1) / in_) + 2;
}

SimRateFifo::SimRateFifo(int inRate, int outRate, int channels, int maxInFrames,
                         int maxPeriodFrames, int primeFrames)
    : resampler_(inRate, outRate, channels), channels_(channels) {
  const int most = resampler_.maxOutFrames(maxInFrames);
  scratch_.assign(static_cast<size_t>(most) * channels, 0);
  capacity_ = 2 * (most + maxPeriodFrames) + primeFrames;
  ring_.assign(static_cast<size_t>(capacity_) * channels, 0);
  count_ = std::min(primeFrames, capacity_);  // silence
}

void SimRateFifo::push(const int16_t* in, int frames) {
  const int n = resampler_.process(in, frames, scratch_.data(),
                                   static_cast<int>(scratch_.size()) / channels_);
  for (int i = 0; i < n && count_ < capacity_; ++i) {
    const int at = (head_ + count_) % capacity_;
    std::memcpy(&ring_[static_cast<size_t>(at) * channels_],
                &scratch_[static_cast<size_t>(i) * channels_], sizeof(int16_t) * channels_);
    ++count_;
  }
}

bool SimRateFifo::pop(int16_t* out, int frames) {
  const int take = std::min(frames, count_);
  for (int i = 0; i < take; ++i) {
    std::memcpy(out + static_cast<size_t>(i) * channels_,
                &ring_[static_cast<size_t>(head_) * channels_], sizeof(int16_t) * channels_);
    head_ = (head_ + 1) % capacity_;
  }
  count_ -= take;
  if (take < frames) {
    std::memset(out + static_cast<size_t>(take) * channels_, 0,
                sizeof(int16_t) * channels_ * static_cast<size_t>(frames - take));
    short_ += frames - take;
    return false;
  }
  return true;
}

}  // namespace sim
}  // namespace kivra
