#include "KivraCommLatencyController.h"

#include "KivraCommFormat.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Quiet: below -30 dB under the recent peak level, and anything below
// -50 dBFS. The level decays slowly (10 s), so that pauses between words
// stay quiet against the words around them.
constexpr float kQuietFloor = 100.0f;
constexpr float kQuietBelowLevel = 1.0f / 32.0f;
// The level follows every 15th sample of what is delivered (both channels
// in turn): an envelope needs no more.
constexpr int kLevelStride = 15;
constexpr double kHalfPi = 1.57079632679489662;

int peakOf(const int16_t* s, int n) {
  int peak = 0;
  for (int i = 0; i < n; ++i) peak = std::max(peak, std::abs(static_cast<int>(s[i])));
  return peak;
}

// Peak of every stride-th sample of n.
int sampledPeakOf(const int16_t* s, int n, int stride) {
  int peak = 0;
  for (int i = 0; i < n; i += stride) peak = std::max(peak, std::abs(static_cast<int>(s[i])));
  return peak;
}

int16_t toSample(double v) {
  return static_cast<int16_t>(std::lrint(std::min(32767.0, std::max(-32768.0, v))));
}

// Equal-power weights at step i of n: the fading-out side, the fading-in side.
void fadeWeights(int i, int n, double& out, double& in) {
  const double theta = (static_cast<double>(i) + 0.5) / n * kHalfPi;
  out = std::cos(theta);
  in = std::sin(theta);
}

}  // namespace

KivraCommLatencyController::KivraCommLatencyController(Consumer consumer, int channels)
    : consumer_(consumer),
      channels_(std::min(std::max(channels, 1), kMaxChannels)),
      targetKnown_(consumer == Consumer::TakeAvailable) {}

void KivraCommLatencyController::setSampleRate(int rate) {
  rate = std::min(std::max(rate, kivra::format::kLowestRate), kMaxRate);
  auto at = [rate](int frames48k) { return kivra::format::scaledFrames(frames48k, rate); };
  f_.window = at(kWindowFrames);
  f_.deadBand = at(kDeadBandFrames);
  f_.keep = at(kKeepFrames);
  f_.quietChunk = at(kQuietChunkFrames);
  f_.crossfade = at(kCrossfadeFrames);
  f_.insertFade = at(kInsertFadeFrames);
  f_.quietWait = at(kQuietWaitFrames);
  f_.fastQuietWait = at(kFastQuietWaitFrames);
  f_.fastBacklog = at(kFastBacklogFrames);
  f_.awayExtra = at(kAwayExtraFrames);
  f_.levelDecay = 1.0f / static_cast<float>(10 * rate);
  restart();
}

void KivraCommLatencyController::restart(bool forgetTarget) {
  above_ = false;
  burstMax_ = previousBurstMax_ = 0;
  windowOpen_ = false;
  if (forgetTarget) {
    targetKnown_ = consumer_ == Consumer::TakeAvailable;
    targetFrames_ = 0;
  }
  removeBudget_ = 0;
  insertBudget_ = 0;
  refusedSinceFull_ = 0;
  stale_ = false;
}

int KivraCommLatencyController::quietThreshold() const {
  return static_cast<int>(std::max(kQuietFloor, level_ * kQuietBelowLevel));
}

bool KivraCommLatencyController::quietAhead(const KivraCommCircularBuffer& queue, int frames) {
  frames = std::min(frames, static_cast<int>(scratch_.size()) / channels_);
  if (frames <= 0) return false;
  if (queue.Peek(scratch_.data(), frames * channels_) < 0) return false;
  return peakOf(scratch_.data(), frames * channels_) <= quietThreshold();
}

void KivraCommLatencyController::track(const int16_t* out, int frames) {
  if (frames <= 0) return;
  const float peak = static_cast<float>(sampledPeakOf(out, frames * channels_, kLevelStride));
  // exp(-frames / 10 s), to first order: the decay needs no precision.
  const float decay = std::max(0.0f, 1.0f - static_cast<float>(frames) * f_.levelDecay);
  level_ = std::max(peak, level_ * decay);
  // The end of what was just heard: a cut or an insertion right after it
  // must find it quiet too.
  const int n = frames * channels_;
  const int tail = std::min(frames, f_.quietChunk) * channels_;
  tailPeak_ = peakOf(out + n - tail, tail);
}

KivraCommLatencyController::PushResult KivraCommLatencyController::push(
    KivraCommCircularBuffer& queue, int16_t* data, int length, StaleEvent* stale) {
  if (stale != nullptr) *stale = StaleEvent{};
  if (length > 0) producerTime_ += length / channels_;
  if (!stale_ && queue.Push(data, length) == length) {
    refusedSinceFull_ = 0;
    return PushResult::Stored;
  }
  const int keep = static_cast<int>(static_cast<int64_t>(queue.length()) * kStaleKeepPercent / 100);
  if (length <= 0 || data == nullptr || length > keep) {
    ++stats_.refusedBlocks;
    return PushResult::Refused;
  }
  if (!stale_) {
    // The first queue length of refused audio keeps the plain behaviour: the
    // consumer may just be late.
    refusedSinceFull_ += length;
    if (refusedSinceFull_ <= static_cast<int64_t>(queue.length())) {
      ++stats_.refusedBlocks;
      return PushResult::Refused;
    }
    // Full for longer than it holds: everything in it is older than the
    // queue is long. Nobody should hear it.
    stale_ = true;
    staleReplaced_ = 0;
    const int discarded = queue.GetAvailableFrames();
    if (discarded > 0) queue.Discard(discarded);
    ++stats_.staleEvents;
    stats_.staleDiscardedFrames += discarded / channels_;
    if (stale != nullptr) {
      stale->happened = true;
      stale->frames = discarded / channels_;
    }
  }
  // Stale until the consumer is back: keep only the newest audio.
  const int available = queue.GetAvailableFrames();
  int excess = available + length - keep;
  if (excess > 0) {
    excess = std::min(available, (excess + channels_ - 1) / channels_ * channels_);
    queue.Discard(excess);
    stats_.replacedFrames += excess / channels_;
    staleReplaced_ += excess / channels_;
  }
  if (queue.Push(data, length) != length) {
    ++stats_.refusedBlocks;
    return PushResult::Refused;
  }
  return PushResult::Replaced;
}

void KivraCommLatencyController::observe(int residue, int requestFrames) {
  consumerTime_ += requestFrames;
  // The consumer was away (a stall: the producer went on for more than two
  // pulls and a block, and for more than twice its largest burst between
  // two pulls of this window or the last): what it saw before says nothing
  // of the queue now. A producer whose device delivers in bursts (a sound
  // server's capture, 100 to 350 ms at a time) does not look like a stall
  // once its first burst has been seen.
  const int64_t advance = producerTime_ - producerAtLastPull_;
  const int64_t burst = std::max(burstMax_, previousBurstMax_);
  const bool wasAway = advance > std::max<int64_t>(2 * requestFrames + f_.awayExtra, 2 * burst);
  producerAtLastPull_ = producerTime_;
  burstMax_ = std::max(burstMax_, advance);
  if (wasAway) above_ = false;

  // Fixed windows: the least residue of each. Fixed blocks learn their target
  // from the first window after a restart, and refill when a window's least
  // residue falls below it.
  if (!windowOpen_) {
    windowOpen_ = true;
    windowSince_ = consumerTime_ - requestFrames;
    windowSinceProducer_ = producerTime_;
    windowMin_ = residue;
  } else {
    windowMin_ = std::min(windowMin_, residue);
  }
  if (windowPassed(windowSince_, windowSinceProducer_)) {
    windowOpen_ = false;
    previousBurstMax_ = burstMax_;
    burstMax_ = 0;
    if (consumer_ == Consumer::FixedBlocks) {
      if (!targetKnown_) {
        targetKnown_ = true;
        targetFrames_ = windowMin_;
        return;
      }
      if (windowMin_ >= targetFrames_ - f_.keep) {
        insertBudget_ = 0;
      } else if (windowMin_ < targetFrames_ - f_.deadBand && insertBudget_ == 0) {
        insertBudget_ = targetFrames_ - windowMin_ - f_.keep;
        insertDeadline_ = consumerTime_ + f_.quietWait;
        decisionBacklog_ = windowMin_ - targetFrames_;
      }
    }
  }
  if (!targetKnown_) return;

  // Removal, as CoDel decides: the residue stayed above the dead band for a
  // whole window; the least residue seen in it is standing backlog.
  if (residue <= targetFrames_ + f_.keep) removeBudget_ = 0;  // it drained by itself
  if (residue <= targetFrames_ + f_.deadBand) {
    above_ = false;
    return;
  }
  if (!above_) {
    above_ = true;
    if (removeBudget_ == 0) level_ = 0.0f;  // follow this episode's audio afresh
    aboveSince_ = consumerTime_ - requestFrames;
    aboveSinceProducer_ = producerTime_;
    aboveMin_ = residue;
  } else {
    aboveMin_ = std::min(aboveMin_, residue);
  }
  if (!windowPassed(aboveSince_, aboveSinceProducer_)) return;
  above_ = false;
  if (removeBudget_ > 0) return;  // the last decision is still being carried out
  removeBudget_ = aboveMin_ - targetFrames_ - f_.keep;
  decisionBacklog_ = aboveMin_ - targetFrames_;
  removeDeadline_ =
      consumerTime_ + (removeBudget_ >= f_.fastBacklog ? f_.fastQuietWait : f_.quietWait);
}

int32_t KivraCommLatencyController::pull(KivraCommCircularBuffer& queue, int16_t* out, int length,
                                         int request, Action* action) {
  Action done;
  // The consumer is back: a full queue is no longer stale.
  refusedSinceFull_ = 0;
  if (stale_) {
    stale_ = false;
    done.staleEnded = true;
    done.staleReplacedFrames = static_cast<int>(std::min<int64_t>(staleReplaced_, INT32_MAX));
  }
  if (action != nullptr) *action = done;

  const int ch = channels_;
  request = std::max(request, length);
  const int available = queue.GetAvailableFrames();
  if (length <= 0 || out == nullptr || available < length) {
    const int32_t result = queue.Pop(out, length);
    observe(available / ch, std::max(request, 0) / ch);
    return result;
  }

  const int lengthFrames = length / ch;
  int room = (available - request) / ch;  // frames removable beyond a full pull
  done.target = targetFrames_;
  done.backlog = decisionBacklog_;
  bool delivered = false;

  if (removeBudget_ > 0 && room > 0) {
    int removed = 0;
    // Quiet first: 2 ms at a time, while the 2 ms just heard and the next
    // 4 ms are quiet.
    while (removeBudget_ >= f_.quietChunk && room >= 2 * f_.quietChunk &&
           tailPeak_ <= quietThreshold() && quietAhead(queue, 2 * f_.quietChunk)) {
      queue.Discard(f_.quietChunk * ch);
      removeBudget_ -= f_.quietChunk;
      room -= f_.quietChunk;
      removed += f_.quietChunk;
    }
    if (removed > 0) {
      ++stats_.quietRemovals;
      stats_.quietRemovedFrames += removed;
      done.kind = ActionKind::QuietRemoval;
      done.frames = removed;
    } else if (consumerTime_ >= removeDeadline_) {
      // No pause came in time: splice with one equal-power crossfade from
      // the audio due now into the audio `cut` frames later.
      const int cut = std::min(removeBudget_, room);
      const int fade = std::min(cut, f_.crossfade);
      // The pull must reach past the fade (Wwise's are 256 frames or more).
      if (cut >= f_.quietChunk && lengthFrames > fade) {
        queue.Pop(scratch_.data(), fade * ch);
        if (cut > fade) queue.Discard((cut - fade) * ch);
        queue.Pop(out, length);
        for (int i = 0; i < fade; ++i) {
          double wOut = 0, wIn = 0;
          fadeWeights(i, fade, wOut, wIn);
          for (int c = 0; c < ch; ++c) {
            const int k = i * ch + c;
            out[k] = toSample(scratch_[static_cast<size_t>(k)] * wOut + out[k] * wIn);
          }
        }
        delivered = true;
        removeBudget_ -= cut;
        ++stats_.crossfadeRemovals;
        stats_.crossfadeRemovedFrames += cut;
        done.kind = ActionKind::CrossfadeRemoval;
        done.frames = cut;
        done.fadeFrames = fade;
      }
    }
    if (removeBudget_ < f_.quietChunk) removeBudget_ = 0;
  }

  if (!delivered && insertBudget_ > 0) {
    if (tailPeak_ <= quietThreshold() && quietAhead(queue, f_.quietChunk)) {
      // Silence between two quiet stretches.
      const int insert = std::min(insertBudget_, lengthFrames);
      std::memset(out, 0, static_cast<size_t>(insert) * ch * sizeof(int16_t));
      if (insert < lengthFrames) queue.Pop(out + insert * ch, (lengthFrames - insert) * ch);
      delivered = true;
      insertBudget_ -= insert;
      ++stats_.quietInsertions;
      stats_.quietInsertedFrames += insert;
      done.kind = ActionKind::QuietInsertion;
      done.frames = insert;
    } else if (consumerTime_ >= insertDeadline_ &&
               lengthFrames > 2 * f_.insertFade + f_.quietChunk) {
      // Fade out, silence, fade back in: the audio keeps its order, only
      // its level dips around the gap.
      const int fade = f_.insertFade;
      const int insert = std::min(insertBudget_, lengthFrames - 2 * fade);
      const int taken = lengthFrames - insert;
      queue.Pop(out, taken * ch);
      std::memmove(out + (fade + insert) * ch, out + fade * ch,
                   static_cast<size_t>(taken - fade) * ch * sizeof(int16_t));
      std::memset(out + fade * ch, 0, static_cast<size_t>(insert) * ch * sizeof(int16_t));
      for (int i = 0; i < fade; ++i) {
        double wOut = 0, wIn = 0;
        fadeWeights(i, fade, wOut, wIn);
        for (int c = 0; c < ch; ++c) {
          int16_t& a = out[i * ch + c];
          int16_t& b = out[(fade + insert + i) * ch + c];
          a = toSample(a * wOut);
          b = toSample(b * wIn);
        }
      }
      delivered = true;
      insertBudget_ -= insert;
      ++stats_.fadeInsertions;
      stats_.fadeInsertedFrames += insert;
      done.kind = ActionKind::FadeInsertion;
      done.frames = insert;
      done.fadeFrames = fade;
    }
    if (insertBudget_ < f_.keep) insertBudget_ = 0;
  }

  if (!delivered) queue.Pop(out, length);
  // The quiet test needs the level only once a backlog has stood for a while
  // (the window gives it a second of audio to follow): a queue in its steady
  // state costs no more than the copy.
  if (above_ || removeBudget_ > 0 || consumer_ == Consumer::FixedBlocks) track(out, lengthFrames);
  observe(queue.GetAvailableFrames() / ch, request / ch);
  if (action != nullptr) *action = done;
  return length;
}
