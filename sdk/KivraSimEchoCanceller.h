// The simulated voice engine's acoustic echo canceller: the WebRTC audio
// processing module (libwebrtc-audio-processing), when the SDK was built with
// it. It works on 10 ms frames of 48 kHz audio: the far-end (reverse) stream,
// which is what the speakers play, and the capture stream, the microphone.
//
// Without the library available() is false and every call fails (false),
// leaving the audio untouched.
//
// Threading: one object is used from one thread at a time (the engine's
// recording thread); it allocates nothing after construction.
#pragma once

#include <cstdint>
#include <memory>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

struct SimEchoConfig {
  // A longer adaptive filter (128 ms instead of 48 ms) and robustness against
  // wrong delay reports.
  bool extendedFilter = true;
  // The module estimates the delay between reference and echo itself.
  bool delayAgnostic = true;
  // Non-linear suppressor: 0 low, 1 moderate, 2 high.
  int suppressionLevel = 1;
  bool highPassFilter = false;
  // Passed to set_stream_delay_ms before every capture frame: the delay
  // between handing a far-end frame to the module and processing the capture
  // frame that holds its echo. The engine cannot know it (the speakers are
  // Wwise's); it reports a typical game output path and, in delay-agnostic
  // mode, the module finds the actual delay within about 60 ms of it.
  int reportedDelayMs = 100;
};

class KIVRA_SDK_API SimEchoCanceller {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kFrames = 480;  // 10 ms

  // True when the SDK was built with the WebRTC audio processing module.
  static bool available();

  explicit SimEchoCanceller(const SimEchoConfig& config);
  ~SimEchoCanceller();
  SimEchoCanceller(const SimEchoCanceller&) = delete;
  SimEchoCanceller& operator=(const SimEchoCanceller&) = delete;

  // The module was created and configured.
  bool ok() const;
  const SimEchoConfig& config() const { return config_; }

  // 10 ms of far-end audio, 480 interleaved frames of `channels` (1 or 2).
  bool reverse(const int16_t* frames, int channels);
  // 10 ms of microphone audio, processed in place; `channels` 1 or 2 (the
  // two channels are mixed to mono, processed, and the result written to
  // both).
  bool capture(int16_t* frames, int channels);

  int reportedDelayMs() const { return config_.reportedDelayMs; }

  // Calls the module refused.
  int64_t errors() const { return errors_; }
  int64_t reverseFrames() const { return reverseFrames_; }
  int64_t captureFrames() const { return captureFrames_; }

 private:
  struct Module;
  SimEchoConfig config_;
  std::unique_ptr<Module> module_;
  int64_t errors_ = 0;
  int64_t reverseFrames_ = 0;
  int64_t captureFrames_ = 0;
};

}  // namespace sim
}  // namespace kivra
