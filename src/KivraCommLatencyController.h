// Keeps the backlog of one queue between two audio clocks short.
//
// Each queue of the bridge joins a producer on one device clock to a consumer
// on another. A queue is their only elasticity: a loading hitch, a voice that
// Wwise stops pulling for a while, or two clocks that drift apart leave a
// backlog that nothing else ever shortens, and every sample after it is late.
//
// The controller tells a standing backlog from a burst the way CoDel does for
// packet queues: what counts is the least depth the queue keeps after the
// consumer's pulls over a whole window (1 s of the consumer's time), not its
// depth now. A burst drains by itself within the window and is left alone;
// a residue that never drains is removed, down to what full pulls need.
// A window must pass on both clocks (the frames the consumer asked for and
// the frames the producer offered), so a consumer that merely runs in
// bursts, faster or slower than real time, never looks like a standing queue.
// Removal:
//  - first in quiet stretches (voice has pauses), 2 ms at a time, looking
//    ahead so that the audio on both sides of the cut is quiet too;
//  - when no quiet stretch comes within a bound (2 s for a small backlog,
//    250 ms after an outage), with one short equal-power crossfade.
// A consumer that takes fixed blocks (the engine's playback of the buffered
// reverse stream) may instead run low; the controller then inserts silence
// in a quiet stretch, or between two short fades, so that it never runs dry.
// No sample is ever repeated or reordered.
//
// Stale audio: a queue that nobody pulls fills and refuses every new block,
// keeping the oldest audio of the pause. Once it has refused as much as it
// holds, what it holds is stale: it is discarded and, until the consumer is
// back, new audio replaces the oldest.
//
// With matched clocks and no disturbance the residue stays within the dead
// band and the controller changes nothing: pushes and pulls behave exactly
// as the queue's own Push and Pop.
//
// Threading: no lock of its own and no allocation after construction. Each
// controller is used under the stream lock of the queue it serves, together
// with that queue (see KivraWwiseCommWrapper.h).
#pragma once

#include <array>
#include <cstdint>

#include "KivraCommCircularBuffer.h"

class KivraCommLatencyController {
 public:
  // How the consumer takes audio from the queue.
  enum class Consumer {
    // Each pull takes what is queued, up to its capacity (Wwise's pulls of
    // the uplink and of each talker): every residue a full pull leaves is
    // backlog, the target is 0.
    TakeAvailable,
    // Each pull takes one fixed block, all or nothing, after an initial
    // buffering (the engine's playback of the buffered reverse stream): the
    // residue the buffering leaves is the target, learned over the first
    // window after each restart.
    FixedBlocks,
  };

  enum class PushResult {
    Stored,    // the block was stored
    Refused,   // queue full: the block was dropped whole
    Replaced,  // queue stale: the block was stored in place of the oldest audio
  };

  enum class ActionKind : uint8_t {
    None,
    QuietRemoval,      // audio removed in a quiet stretch
    CrossfadeRemoval,  // audio removed with a crossfade
    QuietInsertion,    // silence inserted in a quiet stretch
    FadeInsertion,     // silence inserted between a fade-out and a fade-in
  };

  // What one pull did, for the caller to log once it has released its lock.
  struct Action {
    ActionKind kind = ActionKind::None;
    int frames = 0;      // frames removed or inserted
    int backlog = 0;     // standing residue (frames) that led to the decision
    int target = 0;      // residue (frames) the controller steers to
    int fadeFrames = 0;  // crossfade or fade length, in frames
    // The queue had gone stale and is pulled again: frames of stale audio
    // that newer audio replaced meanwhile (besides the discard at the start).
    bool staleEnded = false;
    int staleReplacedFrames = 0;
  };

  // A stale queue's contents were discarded (at most once per pause).
  struct StaleEvent {
    bool happened = false;
    int frames = 0;  // frames discarded
  };

  // Running totals since construction (restarts keep them).
  struct Stats {
    int64_t quietRemovals = 0, quietRemovedFrames = 0;
    int64_t crossfadeRemovals = 0, crossfadeRemovedFrames = 0;
    int64_t quietInsertions = 0, quietInsertedFrames = 0;
    int64_t fadeInsertions = 0, fadeInsertedFrames = 0;
    int64_t refusedBlocks = 0;
    int64_t staleEvents = 0, staleDiscardedFrames = 0, replacedFrames = 0;
  };

  // Durations, in frames at 48 kHz. Consumer time over which a residue must
  // persist to count as standing.
  static constexpr int kWindowFrames = 48000;
  // Residue above (or below) the target that is tolerated.
  static constexpr int kDeadBandFrames = 144;
  // Residue left above the target after a removal.
  static constexpr int kKeepFrames = 48;
  // Unit of quiet removal and of the quiet look-ahead.
  static constexpr int kQuietChunkFrames = 96;
  static constexpr int kCrossfadeFrames = 240;
  static constexpr int kInsertFadeFrames = 120;
  // How long a removal waits for a quiet stretch before it crossfades.
  static constexpr int kQuietWaitFrames = 96000;
  static constexpr int kFastQuietWaitFrames = 12000;
  // A backlog at least this large is an outage: catch up fast.
  static constexpr int kFastBacklogFrames = 2400;
  // Stale queue: what it keeps of the newest audio, as a share of its length.
  static constexpr int kStaleKeepPercent = 75;
  static constexpr int kMaxChannels = 2;
  // Beyond two pulls, what the producer may run on before a pull counts as
  // a return from a stall.
  static constexpr int kAwayExtraFrames = 480;
  // The durations above are frames at 48 kHz; a queue at another rate scales
  // them (setSampleRate), up to this rate.
  static constexpr int kMaxRate = 96000;

  KivraCommLatencyController(Consumer consumer, int channels);

  // Producer side: Push with the stale rule above. `stale` (may be null)
  // reports a discard of stale contents.
  PushResult push(KivraCommCircularBuffer& queue, int16_t* data, int length, StaleEvent* stale);

  // Consumer side: takes `length` samples (whole frames) into `out` exactly
  // as queue.Pop would (-1 and zeros when fewer are stored), after removing
  // standing backlog just ahead of them, or with silence inserted among them.
  // `request` is what a full pull asks for (at least `length`): only what
  // lies beyond it may be removed. `action` (may be null) reports what was
  // done.
  int32_t pull(KivraCommCircularBuffer& queue, int16_t* out, int length, int request,
               Action* action);

  // The queue's audio is at `rate` Hz: every duration is scaled from 48 kHz
  // to it (48 kHz until told). Restarts the controller.
  void setSampleRate(int rate);

  // The queue was emptied or its consumer starts over: forget the residue
  // seen so far. A reset forgets a fixed-block consumer's target too; its
  // re-buffering after an underrun keeps it, so that the queue is steered
  // back to the level it had before.
  void restart(bool forgetTarget = true);

  const Stats& stats() const { return stats_; }
  bool targetKnown() const { return targetKnown_; }
  int targetFrames() const { return targetFrames_; }
  int pendingRemovalFrames() const { return removeBudget_; }

 private:
  void observe(int residueFrames, int requestFrames);
  // A window that opened at these times has passed on both clocks.
  bool windowPassed(int64_t consumerSince, int64_t producerSince) const {
    return consumerTime_ - consumerSince >= f_.window && producerTime_ - producerSince >= f_.window;
  }
  // True when the next `frames` queued frames are all quiet.
  bool quietAhead(const KivraCommCircularBuffer& queue, int frames);
  void track(const int16_t* out, int frames);
  int quietThreshold() const;

  const Consumer consumer_;
  const int channels_;
  // The durations at the queue's rate.
  struct Durations {
    int window = kWindowFrames, deadBand = kDeadBandFrames, keep = kKeepFrames;
    int quietChunk = kQuietChunkFrames, crossfade = kCrossfadeFrames;
    int insertFade = kInsertFadeFrames, quietWait = kQuietWaitFrames;
    int fastQuietWait = kFastQuietWaitFrames, fastBacklog = kFastBacklogFrames;
    int awayExtra = kAwayExtraFrames;
    float levelDecay = 1.0f / 480000.0f;  // 10 s
  };
  Durations f_;

  // Residue tracking. Times are frames the consumer asked for and frames the
  // producer offered since construction.
  int64_t consumerTime_ = 0;
  int64_t producerTime_ = 0;
  int64_t producerAtLastPull_ = 0;
  // The producer's largest advance between two pulls, in this fixed window
  // and the last: its burst size, so that a burst is not taken for a stall.
  int64_t burstMax_ = 0, previousBurstMax_ = 0;
  bool above_ = false;  // residue above the dead band since aboveSince_
  int64_t aboveSince_ = 0, aboveSinceProducer_ = 0;
  int aboveMin_ = 0;
  bool windowOpen_ = false;  // fixed windows and their least residue
  int64_t windowSince_ = 0, windowSinceProducer_ = 0;
  int windowMin_ = 0;
  bool targetKnown_;
  int targetFrames_ = 0;

  // Pending corrections.
  int removeBudget_ = 0, insertBudget_ = 0;
  int64_t removeDeadline_ = 0, insertDeadline_ = 0;
  int decisionBacklog_ = 0;

  // Level of the delivered audio, for the quiet test.
  float level_ = 0.0f;
  int tailPeak_ = 0;  // peak of the last chunk delivered (while tracking)

  // Stale rule.
  int64_t refusedSinceFull_ = 0;
  bool stale_ = false;
  int64_t staleReplaced_ = 0;  // frames replaced since the queue went stale

  Stats stats_;
  std::array<int16_t, kMaxChannels * kCrossfadeFrames * kMaxRate / 48000> scratch_{};
};
