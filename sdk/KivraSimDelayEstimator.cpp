#include "KivraSimDelayEstimator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace kivra {
namespace sim {

double SimDelayEstimator::envelope(double meanSquare) {
  // dB, floored at -90 dBFS so that digital silence is a constant, not -inf.
  return 10.0 * std::log10(meanSquare + 1e-9);
}

void SimDelayEstimator::far(double meanSquare) {
  // Differenced envelopes: onsets and decays, not the slow level of a
  // continuous bed, carry the timing.
  const double e = envelope(meanSquare);
  const size_t slot = static_cast<size_t>(farCount_ % kHistory);
  farEnv_[slot] = farCount_ == 0 ? 0.0 : e - lastFar_;
  farHanded_[slot] = capCount_;
  if (meanSquare > kActiveMeanSquare) lastActiveFar_ = farCount_;
  lastFar_ = e;
  ++farCount_;
}

bool SimDelayEstimator::capture(double meanSquare) {
  const double e = envelope(meanSquare);
  const int64_t c = capCount_;
  capEnv_[static_cast<size_t>(c % kHistory)] = c == 0 ? 0.0 : e - lastCap_;
  lastCap_ = e;
  ++capCount_;
  if (++blockFrames_ >= kStableToMove) {
    previousBlockLeast_ = blockLeast_;
    blockLeast_ = INT64_MAX;
    blockFrames_ = 0;
  }
  if (!started_) {
    if (farCount_ == 0) return false;
    started_ = true;
    // Lag 0 pairs this capture frame with the newest far frame.
    offset_ = (farCount_ - 1) - c;
  }
  // Match the capture frame kSettle back, so that the far frames it pairs
  // with have arrived even when the reference comes in bursts.
  const int64_t t = c - kSettle;
  if (t < 0) return false;
  // The oldest far frame this capture frame is matched with: if none since
  // then was over silence there is nothing to learn.
  if (lastActiveFar_ < t + offset_ - (kLags - 1)) return false;
  const double y = capEnv_[static_cast<size_t>(t % kHistory)];
  syy_ = kForget * syy_ + (1 - kForget) * y * y;
  int best = -kBehind - 1;
  double bestCorr = 0;
  for (int lag = -kBehind; lag < kLags; ++lag) {
    const int64_t j = t + offset_ - lag;
    if (j < 0 || j >= farCount_ || j <= farCount_ - kHistory) continue;
    const double x = farEnv_[static_cast<size_t>(j % kHistory)];
    double& sxy = sxy_[static_cast<size_t>(lag + kBehind)];
    double& sxx = sxx_[static_cast<size_t>(lag + kBehind)];
    sxy = kForget * sxy + (1 - kForget) * x * y;
    sxx = kForget * sxx + (1 - kForget) * x * x;
    const double denom = std::sqrt(sxx * syy_);
    const double corr = denom > 1e-12 ? sxy / denom : 0.0;
    if (corr > bestCorr) {
      bestCorr = corr;
      best = lag;
    }
  }
  if (best < -kBehind || bestCorr < kThreshold) {
    bestRun_ = 0;
    return false;
  }
  if (best != best_) {
    best_ = best;
    bestRun_ = 0;
  }
  if (++bestRun_ < (lockedLead_ < 0 ? kStableFrames : kStableToMove)) return false;
  // The least lead of the recent far frames at this lag: the capture frame
  // holding each one's echo, less the capture count when it was handed over.
  // Bursts make the lead vary by up to a Wwise buffer; the canceller must
  // hold even the frame that came last.
  // Far frames handed over before the microphone had run kSettle frames are
  // left out: a device pair starting up (the output prefilled, the input not
  // yet running) hands them over far earlier than the path ever will again.
  int64_t least = INT64_MAX;
  for (int64_t j = farCount_ - 1, n = 0; j >= 0 && j > farCount_ - kHistory && n < 64; --j, ++n) {
    const int64_t handed = farHanded_[static_cast<size_t>(j % kHistory)];
    if (handed < kSettle) break;
    least = std::min(least, (j - offset_ + best) - handed);
  }
  if (least == INT64_MAX) return false;
  if (least < 0) {
    // The echo comes first: there is no lead to tell, only a fault to show,
    // once it has lasted (a burst can bring one frame late now and then).
    if (++lateRun_ >= kStableToMove) lateMs_ = static_cast<int>(-least) * 10;
    return false;
  }
  lateRun_ = 0;
  lateMs_ = 0;
  lockedLag_ = best;
  // A device that runs its callbacks in bursts (a sound server with a long
  // buffer) makes even that least vary by a burst's length from one
  // stretch to the next. The path's lead is the least over a longer memory
  // (two blocks of kStableToMove frames): a lower lead is taken at once (the
  // reference must never come late), a higher one only once the memory has
  // forgotten the lower.
  // The first lock is taken from the least alone and kept out of the
  // memory: a device's first second is not yet the path.
  if (lockedLead_ >= 0) blockLeast_ = std::min(blockLeast_, least);
  const int lead = static_cast<int>(std::min(previousBlockLeast_, std::min(blockLeast_, least)));
  // A change of less than kJitterFrames is burst jitter, not a new path: a
  // sound server's bursts move the least lead by up to 30 ms from one
  // stretch of seconds to the next, and the canceller's aligned lead leaves
  // room for that much.
  if (lockedLead_ >= 0 && std::abs(lead - lockedLead_) < kJitterFrames) return false;
  lockedLead_ = lead;
  return true;
}

}  // namespace sim
}  // namespace kivra
