// The room the local player sits in: what Wwise renders is played by the
// speakers after an output latency, travels to the microphone through an echo
// path (a delay, a decaying impulse response, a gain, one per speaker) and
// adds to the local player's voice and a noise floor. The simulated voice
// engine records the microphone from here.
//
// Time is the simulation clock's, in sample frames at 48 kHz; the engine's
// microphone frame f is taken as captured at clock time f (the room assumes
// the engine's device clock has no drift).
//
// Threading: play() runs on the Wwise thread, capture() on the engine's
// recording thread; one mutex guards the speakers' ring. The components are
// written by capture() only and read after the session.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "KivraSimLatency.h"
#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

struct SimRoomConfig {
  // From Wwise's render callback to the first sample leaving the speakers.
  double outputLatencyMs = 0;
  // From the speakers' output to the microphone's samples: the converters'
  // latency and the distance through the air.
  double echoDelayMs = 40;
  // Gain of the direct path, left speaker; the right one is 2 dB quieter and
  // 0.2 ms later (the microphone sits off centre).
  double echoGainDb = -16;
  // Reflections: a decaying noise tail whose energy, all taps together, is
  // tailLevelDb against the direct path's, falling by 1/e every tailDecayMs.
  double tailMs = 30;
  double tailDecayMs = 6;
  double tailLevelDb = -6;
  double noiseDbfs = -72;  // RMS of the microphone's noise floor
  // Speakers, in Wwise's channel order: 2 (stereo), 6 (5.1), 8 (7.1). Each
  // one past the front pair is 1 dB quieter than the left one, and 0.5 dB
  // less for each further one, and a little later.
  int speakers = 2;
  uint32_t seed = 1;
};

class KIVRA_SDK_API SimRoom {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kMaxSpeakers = 8;

  SimRoom(const SimRoomConfig& config, SimSource nearVoice);
  SimRoom(const SimRoom&) = delete;
  SimRoom& operator=(const SimRoom&) = delete;

  const SimRoomConfig& config() const { return config_; }
  // Room for this many seconds of components, so capture() does not
  // allocate during the session.
  void reserveSeconds(double seconds);

  // Wwise thread: one rendered frame of `frames` stereo samples at clock time
  // `time`; it leaves the speakers outputLatency later.
  void play(int64_t time, const float* left, const float* right, int frames);
  // The same for every speaker: channels[c] for c < count (count at most the
  // room's speakers; a missing one plays silence).
  void play(int64_t time, const float* const* channels, int count, int frames);
  int speakers() const { return speakers_; }
  // Engine's recording thread: microphone frames [f, f + frames) as 16-bit
  // interleaved `channels` (the same signal in each).
  void capture(int64_t f, int frames, int channels, int16_t* out);

  // Per microphone frame, as full-scale floats (1.0 = 32768), for the frames
  // captured so far: the echo, the local voice and the noise.
  const std::vector<float>& echo() const { return echo_; }
  const std::vector<float>& nearVoice() const { return near_; }
  const std::vector<float>& noise() const { return noise_; }
  // The impulse responses, per speaker, from the speakers' output (the first
  // tap is echoDelay after the output).
  const std::vector<float>& response(int speaker) const { return ir_[speaker % speakers_]; }
  int64_t delayFrames() const { return delay_; }
  int64_t outputLatencyFrames() const { return latency_; }

 private:
  static constexpr int64_t kRingFrames = 1 << 17;  // 2.7 s
  float speaker(int channel, int64_t t) const;

  SimRoomConfig config_;
  SimSource near_source_;
  int64_t latency_ = 0;
  int64_t delay_ = 0;
  int speakers_ = 2;
  std::vector<float> ir_[kMaxSpeakers];
  uint64_t noiseState_;

  mutable std::mutex mutex_;
  std::vector<float> ring_;     // interleaved speakers_, by output time
  std::vector<int64_t> stamp_;  // the output time each slot holds
  std::vector<float> window_;   // capture scratch: both speakers, by time
  std::vector<int16_t> nearScratch_;

  std::vector<float> echo_, near_, noise_;
};

}  // namespace sim
}  // namespace kivra
