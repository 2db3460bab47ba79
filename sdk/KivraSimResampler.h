// Sample-rate conversion for the simulated devices and engine, done as a real
// engine and sound server do it: with the speexdsp resampler (the one
// PulseAudio uses), quality 5. The engine converts between its device rate
// (48 kHz) and the rate an observer asks for; the simulated Wwise converts
// its output to the room's rate.
//
// Optional: without speexdsp (cross builds) available() is false and every
// converter is empty (ok() false); the engine then serves 48 kHz only.
//
// Threading: none of its own; one converter belongs to one thread at a time.
// No allocation after construction.
#pragma once

#include <cstdint>
#include <vector>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

class KIVRA_SDK_API SimResampler {
 public:
  static bool available();

  SimResampler(int inRate, int outRate, int channels);
  ~SimResampler();
  SimResampler(const SimResampler&) = delete;
  SimResampler& operator=(const SimResampler&) = delete;

  bool ok() const { return state_ != nullptr; }
  int inRate() const { return in_; }
  int outRate() const { return out_; }
  int channels() const { return channels_; }
  // Most frames `inFrames` can yield.
  int maxOutFrames(int inFrames) const;
  // Converts all of `in` (interleaved); returns the frames written, at most
  // outCapacity.
  int process(const int16_t* in, int frames, int16_t* out, int outCapacity);
  int process(const float* in, int frames, float* out, int outCapacity);

 private:
  void* state_ = nullptr;
  int in_, out_, channels_;
};

// A converter feeding a queue that hands out whole periods of the output
// rate: an engine's device delivers 10 ms at its rate, its observer takes
// periods at its own. Primed with `primeFrames` of silence, so that a period
// is there as soon as its time has come.
class KIVRA_SDK_API SimRateFifo {
 public:
  SimRateFifo(int inRate, int outRate, int channels, int maxInFrames, int maxPeriodFrames,
              int primeFrames);
  bool ok() const { return resampler_.ok(); }
  void push(const int16_t* in, int frames);
  int available() const { return count_; }
  // `frames` frames, or zeros past what it holds (then false).
  bool pop(int16_t* out, int frames);
  int64_t shortFrames() const { return short_; }

 private:
  SimResampler resampler_;
  int channels_;
  std::vector<int16_t> scratch_;
  std::vector<int16_t> ring_;
  int head_ = 0, count_ = 0, capacity_ = 0;
  int64_t short_ = 0;
};

}  // namespace sim
}  // namespace kivra
