// What the simulation needs to measure latency from the audio itself, without
// asking the bridge: sources whose every frame can be recomputed from its
// index, a record of the Wwise mix as it was pushed, and a probe that finds
// each delivered frame in its source and so knows its age.
//
// Threading: a SimSource is immutable once built and may be read from any
// thread. A SimMixHistory is written by the Wwise thread and read by the
// engine's playback thread: one mutex guards it. A SimLatencyProbe belongs to
// the one thread that delivers into it and is read after that thread joined;
// the producer's progress it reads through SimProbeSource::produced() must be
// safe to read from that thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

// 48 kHz interleaved stereo audio for a simulated device, read by frame index.
// Past its end it reads as silence, or it loops. A looping source with a
// dither salt adds a pseudo-random value of -2..+2 (below -80 dBFS) to every
// sample of the second and later passes, a different one for every absolute
// frame, so that no stretch of audio repeats and a probe can tell every frame
// from every other. (Give the first pass its own dither: simDither.)
class KIVRA_SDK_API SimSource {
 public:
  SimSource() = default;
  explicit SimSource(std::vector<int16_t> stereo, bool loop = false, uint32_t ditherSalt = 0);

  void frame(int64_t f, int16_t& left, int16_t& right) const;
  // frames frames from f into out, as `channels` (1: the mean of both).
  void read(int64_t f, int frames, int channels, int16_t* out) const;
  int64_t frames() const { return static_cast<int64_t>(samples_.size() / 2); }
  bool loops() const { return loop_; }

 private:
  std::vector<int16_t> samples_;
  bool loop_ = false;
  uint32_t salt_ = 0;
};

// What a latency probe measures against: the frames a producer handed to the
// bridge and when.
class KIVRA_SDK_API SimProbeSource {
 public:
  virtual ~SimProbeSource() = default;
  // Frame f as handed over; false when it is not (or no longer) known.
  virtual bool frame(int64_t f, int16_t& left, int16_t& right) const = 0;
  // Clock time (sample frames) at which frame f was handed to the bridge.
  virtual int64_t handover(int64_t f) const = 0;
  // Frames handed over so far.
  virtual int64_t produced() const = 0;
};

// The Wwise mix as the bridge converts it for the engine (x 32767, truncated,
// clamped), with the time of each push: the source of the reverse stream.
class KIVRA_SDK_API SimMixHistory : public SimProbeSource {
 public:
  explicit SimMixHistory(int64_t keepFrames = 48000 * 10);
  // Wwise thread: one pushed block.
  void push(int64_t time, const float* left, const float* right, int frames);
  // The same for a block already in 16-bit (interleaved stereo): what an
  // engine thread hands over.
  void pushInterleaved(int64_t time, const int16_t* stereo, int frames);

  bool frame(int64_t f, int16_t& left, int16_t& right) const override;
  int64_t handover(int64_t f) const override;
  int64_t produced() const override;

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> ring_;   // interleaved, keepFrames frames
  std::vector<int64_t> times_;  // per frame: time of its push
  int64_t keep_;
  int64_t total_ = 0;
};

// The frames a simulated engine thread hands over: frame f of its source goes
// to the bridge in the block [b, b + blockFrames) that holds it, at the clock
// time of the block's end (recording: the block is complete) or of its start
// (playback: the block is due to be played), on a device clock that runs
// `ppm` fast. produced() follows the engine's progress counter.
class KIVRA_SDK_API SimEngineSourceView : public SimProbeSource {
 public:
  SimEngineSourceView(const SimSource& source, int blockFrames, bool atBlockEnd, double ppm,
                      const std::atomic<int64_t>& progress);
  bool frame(int64_t f, int16_t& left, int16_t& right) const override;
  int64_t handover(int64_t f) const override;
  int64_t produced() const override { return progress_.load(std::memory_order_acquire); }

 private:
  const SimSource& source_;
  int block_;
  bool atEnd_;
  double ppm_;
  const std::atomic<int64_t>& progress_;
};

// Adds -2..+2 of pseudo-random dither (below -80 dBFS) to every sample, the
// same for the same salt on every run.
KIVRA_SDK_API void simDither(std::vector<int16_t>& samples, uint32_t salt);

// Device time to clock time for a device clock `ppm` fast.
KIVRA_SDK_API int64_t simDeviceToClock(int64_t deviceFrames, double ppm);

struct SimLatencyMinute {
  double sumMs = 0;
  double maxMs = 0;
  int64_t frames = 0;
  double meanMs() const { return frames > 0 ? sumMs / static_cast<double>(frames) : 0; }
};

struct SimLatencyPoint {
  double seconds = 0;  // clock time of the delivery
  double ms = 0;       // age of the first frame that could be placed
};

// Finds every delivered frame in its source, in order: a frame that is the
// next one after the last found is placed at once; otherwise the probe looks
// further ahead for a run of frames that match (a gap the bridge left), and
// frames it cannot place (a crossfade, inserted silence) are counted apart.
class KIVRA_SDK_API SimLatencyProbe {
 public:
  explicit SimLatencyProbe(const SimProbeSource& source, double minuteSeconds = 60.0);

  // One delivery at clock time `time`: interleaved stereo 16-bit frames.
  void deliver(int64_t time, const int16_t* frames, int count);
  // The same from a Wwise buffer: each float is an exact 16-bit value / 32768.
  void deliverFloats(int64_t time, const float* left, const float* right, int count);

  int64_t placed() const { return placed_; }
  int64_t unplaced() const { return unplaced_; }
  int64_t skipped() const { return skipped_; }  // source frames jumped over
  int64_t gaps() const { return gaps_; }
  int64_t nextFrame() const { return next_; }
  bool started() const { return started_; }
  const SimProbeSource& source() const { return source_; }
  double lastMs() const { return lastMs_; }
  const std::vector<SimLatencyMinute>& minutes() const { return minutes_; }
  // One point per delivery, or fewer for long sessions (at most one per
  // pointSpacing seconds, keeping the largest age of the span).
  const std::vector<SimLatencyPoint>& trace() const { return trace_; }
  void setPointSpacing(double seconds) { spacing_ = seconds; }
  // Room for this many deliveries and minutes, so that the delivering thread
  // (an audio thread of the simulation) does not allocate.
  void reserve(size_t deliveries, size_t minutes);
  // Largest age of any frame delivered at or after clock time `from`.
  double maxMsSince(int64_t from) const;

 private:
  bool matches(int64_t f, const int16_t* fr, int count, int at, int run) const;
  void place(int64_t time, int64_t f);

  const SimProbeSource& source_;
  int64_t minuteFrames_;
  int64_t next_ = 0;
  bool started_ = false;
  int64_t placed_ = 0, unplaced_ = 0, skipped_ = 0, gaps_ = 0;
  double lastMs_ = 0;
  std::vector<SimLatencyMinute> minutes_;
  std::vector<SimLatencyPoint> trace_;
  double spacing_ = 0;
  // Per delivery time: the largest age seen (for maxMsSince).
  std::vector<std::pair<int64_t, double>> peaks_;
  std::vector<int16_t> scratch_;
};

}  // namespace sim
}  // namespace kivra
