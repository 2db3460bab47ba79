#include "KivraSimRoom.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kivra {
namespace sim {
namespace {

uint32_t nextRandom(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<uint32_t>(state >> 33);
}

// Roughly normal, unit variance: a sum of four uniforms.
float gaussian(uint64_t& state) {
  float sum = 0;
  // nextRandom gives 31 bits: each uniform on [-1, 1).
  for (int i = 0; i < 4; ++i) sum += static_cast<float>(nextRandom(state)) / 1073741824.0f - 1.0f;
  return sum * 0.8660254f;  // four uniforms on [-1, 1) have variance 4/3
}

int64_t msToFrames(double ms) {
  return static_cast<int64_t>(std::llround(std::max(0.0, ms) * SimRoom::kRate / 1000.0));
}

}  // namespace

SimRoom::SimRoom(const SimRoomConfig& config, SimSource nearVoice)
    : config_(config),
      near_source_(std::move(nearVoice)),
      noiseState_(0x2545F4914F6CDD1DULL ^ config.seed) {
  speakers_ = std::min(std::max(config_.speakers, 1), kMaxSpeakers);
  latency_ = msToFrames(config_.outputLatencyMs);
  delay_ = msToFrames(config_.echoDelayMs);
  const int64_t tail = std::max<int64_t>(1, msToFrames(config_.tailMs));
  const double decayFrames = std::max(1.0, config_.tailDecayMs * kRate / 1000.0);
  const int64_t rightOffset = msToFrames(0.2);
  const double tailLevel = std::pow(10.0, config_.tailLevelDb / 20.0);
  auto offsetOf = [&](int c) { return c == 0 ? 0 : c == 1 ? rightOffset : msToFrames(0.1 * c); };
  int64_t maxOffset = 0;
  for (int c = 0; c < std::max(speakers_, 2); ++c) maxOffset = std::max(maxOffset, offsetOf(c));
  for (int c = 0; c < speakers_; ++c) {
    const int64_t offset = offsetOf(c);
    const double gainDb = c == 0   ? config_.echoGainDb
                          : c == 1 ? config_.echoGainDb - 2.0
                                   : config_.echoGainDb - 1.0 - 0.5 * (c - 2);
    const double gain = std::pow(10.0, gainDb / 20.0);
    std::vector<float> tailTaps(static_cast<size_t>(tail), 0.0f);
    uint64_t state = 0x9E3779B97F4A7C15ULL * (config_.seed + 7u * static_cast<uint32_t>(c) + 1u);
    // Reflections start half a millisecond after the direct sound; their
    // energy, all taps together, is tailLevelDb against the direct path's.
    double tailEnergy = 0;
    for (int64_t k = msToFrames(0.5); k < tail; ++k) {
      const double v = std::exp(-0.5 * static_cast<double>(k) / decayFrames) * gaussian(state);
      tailTaps[static_cast<size_t>(k)] = static_cast<float>(v);
      tailEnergy += v * v;
    }
    const double tailScale = tailEnergy > 0 ? gain * tailLevel / std::sqrt(tailEnergy) : 0.0;
    std::vector<float>& h = ir_[c];
    h.assign(static_cast<size_t>(tail + maxOffset + 1), 0.0f);
    h[static_cast<size_t>(offset)] = static_cast<float>(gain);
    for (int64_t k = 0; k < tail; ++k) {
      h[static_cast<size_t>(offset + k)] +=
          static_cast<float>(tailScale * tailTaps[static_cast<size_t>(k)]);
    }
  }
  ring_.assign(static_cast<size_t>(kRingFrames) * speakers_, 0.0f);
  stamp_.assign(static_cast<size_t>(kRingFrames), -1);
}

void SimRoom::reserveSeconds(double seconds) {
  const size_t n = static_cast<size_t>(std::max(0.0, seconds) * kRate) + 16384;
  echo_.reserve(n);
  near_.reserve(n);
  noise_.reserve(n);
  const size_t taps = ir_[0].size();
  window_.reserve(static_cast<size_t>(speakers_) * (16384 + taps));
  nearScratch_.reserve(16384);
}

void SimRoom::play(int64_t time, const float* left, const float* right, int frames) {
  const float* channels[2] = {left, right};
  play(time, channels, 2, frames);
}

void SimRoom::play(int64_t time, const float* const* channels, int count, int frames) {
  const size_t n = static_cast<size_t>(speakers_);
  std::lock_guard<std::mutex> guard(mutex_);
  for (int i = 0; i < frames; ++i) {
    const int64_t t = time + latency_ + i;
    const size_t slot = static_cast<size_t>(t & (kRingFrames - 1));
    for (size_t c = 0; c < n; ++c) {
      const float* ch = static_cast<int>(c) < count ? channels[c] : nullptr;
      ring_[n * slot + c] = ch != nullptr ? ch[i] : 0.0f;
    }
    stamp_[slot] = t;
  }
}

float SimRoom::speaker(int channel, int64_t t) const {
  if (t < 0) return 0.0f;
  const size_t slot = static_cast<size_t>(t & (kRingFrames - 1));
  return stamp_[slot] == t
             ? ring_[static_cast<size_t>(speakers_) * slot + static_cast<size_t>(channel)]
             : 0.0f;
}

void SimRoom::capture(int64_t f, int frames, int channels, int16_t* out) {
  if (frames <= 0) return;
  const int64_t taps = static_cast<int64_t>(ir_[0].size());
  const int64_t span = frames + taps - 1;
  // window_[c * span + j] is speaker c's output at time first + j.
  const int64_t first = f - delay_ - taps + 1;
  window_.resize(static_cast<size_t>(speakers_ * span));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (int c = 0; c < speakers_; ++c) {
      for (int64_t j = 0; j < span; ++j) {
        window_[static_cast<size_t>(c * span + j)] = speaker(c, first + j);
      }
    }
  }
  nearScratch_.resize(static_cast<size_t>(frames));
  near_source_.read(f, frames, 1, nearScratch_.data());
  const float noiseRms = static_cast<float>(std::pow(10.0, config_.noiseDbfs / 20.0));
  const size_t end = static_cast<size_t>(f + frames);
  if (echo_.size() < end) {
    echo_.resize(end, 0.0f);
    near_.resize(end, 0.0f);
    noise_.resize(end, 0.0f);
  }
  for (int i = 0; i < frames; ++i) {
    // Output time of tap k for this sample: f + i - delay - k, which is
    // window index (taps - 1 + i - k).
    double e = 0;
    for (int c = 0; c < speakers_; ++c) {
      const float* w = window_.data() + c * span + (taps - 1 + i);
      const float* h = ir_[c].data();
      float acc = 0;
      for (int64_t k = 0; k < taps; ++k) acc += h[k] * w[-k];
      e += acc;
    }
    const float voice = static_cast<float>(nearScratch_[static_cast<size_t>(i)]) / 32768.0f;
    const float n = noiseRms * gaussian(noiseState_);
    const size_t at = static_cast<size_t>(f + i);
    echo_[at] = static_cast<float>(e);
    near_[at] = voice;
    noise_[at] = n;
    const float x = (static_cast<float>(e) + voice + n) * 32768.0f;
    const float clamped = std::min(32767.0f, std::max(-32768.0f, std::nearbyint(x)));
    for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<int16_t>(clamped);
  }
}

}  // namespace sim
}  // namespace kivra
