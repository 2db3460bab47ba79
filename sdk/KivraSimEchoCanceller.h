// The simulated voice engine's acoustic echo canceller: the WebRTC audio
// processing module (libwebrtc-audio-processing), when the SDK was built with
// it. It works on 10 ms frames of 48 kHz audio: the far-end (reverse) stream,
// which is what the speakers play, and the capture stream, the microphone.
//
// Without the library available() is false and every call fails (false),
// leaving the audio untouched.
//
// Threading: one object is used from one thread at a time (the engine's
// recording thread). Everything is allocated at construction, spare modules
// for restarts included: a new delay estimate restarts the module with a
// spare, and only past the spares (more restarts than a session needs) does
// a restart initialise the module again, which allocates.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "KivraSimDelayEstimator.h"
#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

struct SimEchoConfig {
  // A longer adaptive filter (128 ms instead of 48 ms). Off: once the engine
  // has aligned the reference the echo's tail fits in 48 ms, and the
  // extended mode's suppressor takes more of the local voice in double talk.
  bool extendedFilter = false;
  // The module estimates the delay between reference and echo itself.
  bool delayAgnostic = true;
  // Non-linear suppressor: 0 low, 1 moderate, 2 high. Low: what the linear
  // filter leaves is little once the reference is aligned, and the
  // suppressor is what costs the local voice in double talk.
  int suppressionLevel = 0;
  // Noise suppression after the canceller, as a voice engine's capture path
  // runs it: -1 off, 0 low, 1 moderate, 2 high, 3 very high. It also takes
  // out the canceller's comfort noise, which the module shapes after the
  // quietest level it hears: a continuous game bed's own echo.
  int noiseSuppressionLevel = 1;
  bool highPassFilter = false;
  // Passed to set_stream_delay_ms before every capture frame: the delay
  // between handing a far-end frame to the module and processing the capture
  // frame that holds its echo. The engine cannot know it (the speakers are
  // Wwise's); it reports a typical game output path and, in delay-agnostic
  // mode, the module finds the actual delay within about 60 ms of it.
  int reportedDelayMs = 100;
  // Find the delay from the two streams (KivraSimDelayEstimator). Once
  // found, far-end frames that lead their echo by more than alignedLeadMs
  // are held back to that lead, the module is told the lead plus
  // delayMarginMs, and it restarts to align afresh. Until then, and without
  // estimation, reportedDelayMs is told and nothing is held back. When the
  // streams show the reference coming after its echo, the canceller stands
  // aside until a lead is found.
  bool estimateDelay = true;
  int alignedLeadMs = 40;
  int delayMarginMs = 20;
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

  // 10 ms of far-end audio, 480 interleaved frames of `channels` (1 or 2),
  // kept until it is due for the module.
  bool reverse(const int16_t* frames, int channels);
  // 10 ms of microphone audio, processed in place; `channels` 1 or 2 (the
  // two channels are mixed to mono, processed, and the result written to
  // both).
  bool capture(int16_t* frames, int channels);

  // The delay told with the last capture frame: the estimate once found,
  // the configured one until then.
  int reportedDelayMs() const { return toldMs_; }
  const SimDelayEstimator& delayEstimator() const { return estimator_; }
  // Capture frames processed before the estimate was first found (-1: not
  // found).
  int64_t delayFoundAtFrame() const { return foundAt_; }
  // How long far-end frames are held back now, in ms.
  int holdMs() const { return hold_ * 10; }
  // Restarts of the module for a new delay estimate; those past the spare
  // modules (which allocated).
  int64_t restarts() const { return restarts_; }
  int64_t allocatingRestarts() const { return allocatingRestarts_; }
  // Far-end frames left out at a restart because their time had passed.
  int64_t staleFramesDropped() const { return staleDropped_; }
  // Whether the canceller works now, and how often it stood aside because
  // the reference came after its echo.
  bool cancelling() const { return cancelling_; }
  int64_t bypasses() const { return bypasses_; }

  // Calls the module refused.
  int64_t errors() const { return errors_; }
  int64_t reverseFrames() const { return reverseFrames_; }
  int64_t captureFrames() const { return captureFrames_; }

 private:
  struct Module;
  SimEchoConfig config_;
  std::unique_ptr<Module> module_;
  bool configure();
  bool restartModule();
  bool processReverse(const int16_t* frames);

  // Far-end frames waiting to be due: stereo, with the capture count at
  // which they arrived.
  static constexpr int kHeld = 64;
  std::vector<int16_t> held_;
  std::vector<int64_t> heldAt_;
  int64_t heldHead_ = 0, heldTail_ = 0;
  int hold_ = 0;  // in 10 ms frames
  int64_t restarts_ = 0, allocatingRestarts_ = 0, staleDropped_ = 0;
  bool cancelling_ = true;
  int64_t bypasses_ = 0;

  SimDelayEstimator estimator_;
  int toldMs_ = 0;
  int64_t foundAt_ = -1;
  int64_t errors_ = 0;
  int64_t reverseFrames_ = 0;
  int64_t captureFrames_ = 0;
};

}  // namespace sim
}  // namespace kivra
