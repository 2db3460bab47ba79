// How long after the engine hands a far-end frame to its echo canceller that
// frame's echo reaches the microphone: the delay the canceller must be told.
//
// The engine cannot know it for the AEC-reference track: the speakers are
// Wwise's, so the delay is Wwise's output latency plus the room, and the
// reference arrives in Wwise-sized bursts. It is found instead by matching the
// two streams' 10 ms loudness envelopes: the far end indexed by its own frame
// count, the microphone by capture frame. The lag with the best correlation
// says which capture frame holds each far frame's echo; the lead is that
// capture frame minus the one at whose turn the far frame was handed over,
// the least over the recent far frames (bursts make it vary from frame to
// frame, and the canceller must hold even the frame that came last).
//
// Threading: one object is used from one thread at a time (the engine's
// recording thread). Fixed-size arrays; no allocation.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

class KIVRA_SDK_API SimDelayEstimator {
 public:
  // Lags searched, in 10 ms frames: leads from 0 to 500 ms, and down to
  // -120 ms, so that a reference that comes after its echo is found as such
  // rather than matched to some later syllable.
  static constexpr int kLags = 51;
  static constexpr int kBehind = 12;

  // A far-end frame handed to the canceller (its mean square, full scale 1).
  void far(double meanSquare);
  // A microphone frame about to be processed (its mean square). Returns true
  // when the estimate changed with this frame.
  bool capture(double meanSquare);

  // True once a lag has stood out long enough to be trusted.
  bool locked() const { return lockedLead_ >= 0; }
  // The lead in ms (10 ms resolution), or -1 before the first lock.
  int leadMs() const { return lockedLead_ < 0 ? -1 : lockedLead_ * 10; }
  // The capture frame that holds far frame `far`'s echo (both counted from
  // the first handed to the estimator), by the lag that stood last; -1
  // before the first lock.
  int64_t echoCaptureFrame(int64_t far) const {
    return lockedLead_ < 0 ? -1 : far - offset_ + lockedLag_;
  }
  // How long after its echo the reference comes, in ms, when that is what
  // the streams show (nothing can cancel such an echo); 0 otherwise.
  int referenceLateMs() const { return lateMs_; }

 private:
  // Far frames and capture frames kept: the search reaches kLags back from
  // the newest capture frame, plus the wait for bursts (kSettle).
  static constexpr int kSettle = 20;
  static constexpr int kHistory = 128;
  static constexpr double kForget = 0.995;  // 2 s memory at 100 frames/s
  static constexpr double kThreshold = 0.35;
  static constexpr int kStableFrames = 30;   // to lock the first time
  static constexpr int kStableToMove = 200;  // to move once locked
  static constexpr int kJitterFrames = 4;    // the least move of the lead
  // A far frame under -55 dBFS is silence: while the far end has been silent
  // for the whole search, the statistics stand still, so that the first
  // onset after a long pause cannot outweigh what was learnt before it.
  static constexpr double kActiveMeanSquare = 3.2e-6;

  static double envelope(double meanSquare);

  // Far frame j: its differenced envelope and the capture count when it was
  // handed over.
  std::array<double, kHistory> farEnv_{};
  std::array<int64_t, kHistory> farHanded_{};
  std::array<double, kHistory> capEnv_{};
  int64_t farCount_ = 0;
  int64_t lastActiveFar_ = -1;  // index of the last far frame over silence
  int64_t capCount_ = 0;
  double lastFar_ = 0, lastCap_ = 0;
  // Far index = capture index + offset_ - lag: fixed when the first capture
  // frame finds far frames, so that lag 0 is a lead of about 0.
  int64_t offset_ = 0;
  bool started_ = false;

  // Indexed by lag + kBehind.
  std::array<double, kLags + kBehind> sxy_{}, sxx_{};
  double syy_ = 0;
  int best_ = -1000;  // no lag yet
  int bestRun_ = 0;
  int lockedLead_ = -1;
  int lockedLag_ = 0;  // the lag that stood when the lead was last computed
  // The least lead over the current and the previous block of capture
  // frames (kStableToMove each).
  int64_t blockLeast_ = INT64_MAX, previousBlockLeast_ = INT64_MAX;
  int blockFrames_ = 0;
  int lateMs_ = 0;
  int lateRun_ = 0;  // lead computations in a row that found the reference late
};

}  // namespace sim
}  // namespace kivra
