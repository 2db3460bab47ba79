#include "KivraSimLatency.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kivra {
namespace sim {
namespace {

constexpr int kRate = 48000;
// Frames that must match in a row before a frame is placed after a gap.
constexpr int kRun = 6;

uint32_t mix32(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return static_cast<uint32_t>(x);
}

int16_t addDither(int16_t s, uint32_t d) {
  const int v = static_cast<int>(s) + static_cast<int>(d % 5) - 2;
  return static_cast<int16_t>(std::min(32767, std::max(-32768, v)));
}

// The bridge's Wwise-to-engine conversion: x 32767, truncated, clamped.
int16_t toInt16(float x) {
  if (!(x == x)) return 0;
  const double v = std::trunc(static_cast<double>(x) * 32767.0);
  return static_cast<int16_t>(std::min(32767.0, std::max(-32768.0, v)));
}

}  // namespace

void simDither(std::vector<int16_t>& samples, uint32_t salt) {
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = addDither(samples[i], mix32((static_cast<uint64_t>(i) << 9) ^ salt ^ 0x5bd1e995u));
  }
}

int64_t simDeviceToClock(int64_t deviceFrames, double ppm) {
  return std::llround(static_cast<double>(deviceFrames) / (1.0 + ppm * 1e-6));
}

// ---------------------------------------------------------------------------

SimSource::SimSource(std::vector<int16_t> stereo, bool loop, uint32_t ditherSalt)
    : samples_(std::move(stereo)), loop_(loop), salt_(ditherSalt) {
  if (samples_.size() % 2 != 0) samples_.pop_back();
}

void SimSource::frame(int64_t f, int16_t& left, int16_t& right) const {
  const int64_t n = frames();
  left = right = 0;
  if (f >= 0 && n > 0 && (loop_ || f < n)) {
    const size_t at = static_cast<size_t>(loop_ ? f % n : f);
    left = samples_[2 * at];
    right = samples_[2 * at + 1];
  }
  // The first pass is the audio as given; each further pass gets its own
  // dither, so that no frame of a looped source repeats another.
  if (salt_ != 0 && loop_ && f >= n) {
    const uint32_t d = mix32((static_cast<uint64_t>(f) << 8) ^ salt_);
    left = addDither(left, d);
    right = addDither(right, d >> 8);
  }
}

void SimSource::read(int64_t f, int frames, int channels, int16_t* out) const {
  for (int i = 0; i < frames; ++i) {
    int16_t l = 0, r = 0;
    frame(f + i, l, r);
    if (channels == 1) {
      out[i] = static_cast<int16_t>((static_cast<int>(l) + r) / 2);
    } else {
      out[2 * i] = l;
      out[2 * i + 1] = r;
    }
  }
}

// ---------------------------------------------------------------------------

SimMixHistory::SimMixHistory(int64_t keepFrames)
    : ring_(static_cast<size_t>(std::max<int64_t>(keepFrames, 1)) * 2),
      times_(static_cast<size_t>(std::max<int64_t>(keepFrames, 1))),
      keep_(std::max<int64_t>(keepFrames, 1)) {}

void SimMixHistory::push(int64_t time, const float* left, const float* right, int frames) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (int i = 0; i < frames; ++i) {
    const size_t at = static_cast<size_t>((total_ + i) % keep_);
    ring_[2 * at] = toInt16(left[i]);
    ring_[2 * at + 1] = toInt16(right[i]);
    times_[at] = time;
  }
  total_ += frames;
}

void SimMixHistory::pushInterleaved(int64_t time, const int16_t* stereo, int frames) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (int i = 0; i < frames; ++i) {
    const size_t at = static_cast<size_t>((total_ + i) % keep_);
    ring_[2 * at] = stereo[2 * i];
    ring_[2 * at + 1] = stereo[2 * i + 1];
    times_[at] = time;
  }
  total_ += frames;
}

bool SimMixHistory::frame(int64_t f, int16_t& left, int16_t& right) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (f < 0 || f >= total_ || f < total_ - keep_) return false;
  const size_t at = static_cast<size_t>(f % keep_);
  left = ring_[2 * at];
  right = ring_[2 * at + 1];
  return true;
}

int64_t SimMixHistory::handover(int64_t f) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (f < 0 || f >= total_ || f < total_ - keep_) return 0;
  return times_[static_cast<size_t>(f % keep_)];
}

int64_t SimMixHistory::produced() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return total_;
}

// ---------------------------------------------------------------------------

SimEngineSourceView::SimEngineSourceView(const SimSource& source, int blockFrames, bool atBlockEnd,
                                         double ppm, const std::atomic<int64_t>& progress)
    : source_(source),
      block_(std::max(blockFrames, 1)),
      atEnd_(atBlockEnd),
      ppm_(ppm),
      progress_(progress) {}

bool SimEngineSourceView::frame(int64_t f, int16_t& left, int16_t& right) const {
  if (f < 0) return false;
  source_.frame(f, left, right);
  return true;
}

int64_t SimEngineSourceView::handover(int64_t f) const {
  const int64_t start = f / block_ * block_;
  return simDeviceToClock(atEnd_ ? start + block_ : start, ppm_);
}

// ---------------------------------------------------------------------------

SimLatencyProbe::SimLatencyProbe(const SimProbeSource& source, double minuteSeconds)
    : source_(source),
      minuteFrames_(std::max<int64_t>(1, std::llround(minuteSeconds * kRate))),
      scratch_(2 * 65536) {}

bool SimLatencyProbe::matches(int64_t f, const int16_t* fr, int count, int at, int run) const {
  for (int k = 0; k < run && at + k < count; ++k) {
    int16_t l = 0, r = 0;
    if (!source_.frame(f + k, l, r)) return false;
    if (l != fr[2 * (at + k)] || r != fr[2 * (at + k) + 1]) return false;
  }
  return true;
}

void SimLatencyProbe::place(int64_t time, int64_t f) {
  const double ms = static_cast<double>(time - source_.handover(f)) * 1000.0 / kRate;
  lastMs_ = ms;
  const size_t minute = static_cast<size_t>(std::max<int64_t>(0, time) / minuteFrames_);
  if (minutes_.size() <= minute) minutes_.resize(minute + 1);
  SimLatencyMinute& m = minutes_[minute];
  m.sumMs += ms;
  m.maxMs = std::max(m.maxMs, ms);
  ++m.frames;
  if (peaks_.empty() || peaks_.back().first != time) {
    peaks_.emplace_back(time, ms);
  } else {
    peaks_.back().second = std::max(peaks_.back().second, ms);
  }
  ++placed_;
}

void SimLatencyProbe::deliver(int64_t time, const int16_t* fr, int count) {
  bool first = true;
  for (int i = 0; i < count; ++i) {
    if (started_ && matches(next_, fr, count, i, 1)) {
      place(time, next_++);
    } else {
      // A gap: the first frame ahead where a run of frames matches.
      const int run = std::min(kRun, count - i);
      // A gap reaches at most to what the producer has handed over so far.
      const int64_t limit = source_.produced();
      int64_t found = -1;
      for (int64_t f = started_ ? next_ + 1 : 0; f < limit; ++f) {
        if (matches(f, fr, count, i, run)) {
          found = f;
          break;
        }
      }
      if (found < 0) {
        ++unplaced_;
        continue;
      }
      if (started_) {
        skipped_ += found - next_;
        ++gaps_;
      }
      started_ = true;
      next_ = found;
      place(time, next_++);
    }
    if (first) {
      first = false;
      const double seconds = static_cast<double>(time) / kRate;
      if (trace_.empty() || spacing_ <= 0 || seconds - trace_.back().seconds >= spacing_) {
        trace_.push_back({seconds, lastMs_});
      } else {
        trace_.back().ms = std::max(trace_.back().ms, lastMs_);
      }
    }
  }
}

void SimLatencyProbe::deliverFloats(int64_t time, const float* left, const float* right,
                                    int count) {
  count = std::min(count, static_cast<int>(scratch_.size() / 2));
  for (int i = 0; i < count; ++i) {
    scratch_[2 * static_cast<size_t>(i)] = static_cast<int16_t>(std::lrint(left[i] * 32768.0f));
    scratch_[2 * static_cast<size_t>(i) + 1] =
        static_cast<int16_t>(std::lrint(right[i] * 32768.0f));
  }
  deliver(time, scratch_.data(), count);
}

void SimLatencyProbe::reserve(size_t deliveries, size_t minutes) {
  trace_.reserve(deliveries);
  peaks_.reserve(deliveries);
  minutes_.reserve(minutes);
}

double SimLatencyProbe::maxMsSince(int64_t from) const {
  double worst = 0;
  for (auto it = peaks_.rbegin(); it != peaks_.rend() && it->first >= from; ++it) {
    worst = std::max(worst, it->second);
  }
  return worst;
}

}  // namespace sim
}  // namespace kivra
