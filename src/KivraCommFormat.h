// Every format rule of the bridge in one place: which sample rates it serves,
// what a rate makes of the engine's period and of a queue's length, how a
// Wwise buffer of any channel count maps to the engine's interleaved stereo,
// and how the bridge tells that Wwise renders at another rate than it serves.
//
// The bridge itself never resamples: it asks the engine for frames at the
// rate it serves (the observer parameters) and labels what it pushes with
// that rate. Channels are mapped here, on the audio paths, without
// allocation; a buffer is never asked for a channel at or above its
// ChannelCount().
//
// Threading: the functions are stateless. A RateWatch has no lock of its
// own: the bridge uses it under the uplink's recording lock.
#pragma once

#include <cstdint>

#include "IAkAudioBufferProxy.h"

namespace kivra::format {

constexpr int kDefaultRate = 48000;
constexpr int kLowestRate = 8000;
constexpr int kHighestRate = 96000;
// The engine's interleaved side is always stereo.
constexpr int kEngineChannels = 2;
// -3 dB: center and surrounds in a downmix to stereo (ITU-R BS.775).
constexpr float kMinus3dB = 0.70710678f;

bool servableRate(int rate);
// Frames of one engine period (10 ms) at `rate`.
int periodFrames(int rate);
// 16-bit values of a stream queue: 200 ms of stereo at `rate`.
uint32_t queueSamples(int rate);
// A duration given in frames at 48 kHz, in frames at `rate` (at least 1).
int scaledFrames(int framesAt48k, int rate);

// Where a Wwise buffer's channels are, by count: Wwise orders front left,
// front right, center, the surround pairs, the LFE last. 3: L R C; 4: L R
// Ls Rs; 5: L R C Ls Rs; 6: 5.1; 7: L R C and two surround pairs; 8: 7.1.
// Beyond 8 channels only the front pair is used.
struct Layout {
  int channels = 2;
  int center = -1;        // index, or -1
  int surroundLeft[3]{};  // indices of the surround pairs' left channels
  int surroundRight[3]{};
  int surroundPairs = 0;
};
Layout layoutOf(int channels);

// Wwise buffer -> `outChannels` interleaved 16-bit values, `frames` frames.
// Into stereo: a mono buffer goes to both channels, a surround one is
// downmixed (center and surrounds at -3 dB, LFE dropped), stereo is copied.
// Into another count: matching channels copied, the rest silent.
void toInterleaved(IAkAudioBufferProxy* buffer, int16_t* out, int outChannels, int frames);
// `inChannels` interleaved 16-bit values -> Wwise buffer, `frames` frames.
// From stereo: a mono buffer gets (left + right) / 2, a buffer of more than
// two channels gets front left and right and silence in the rest.
// From another count: matching channels copied, the rest silent.
void fromInterleaved(const int16_t* in, int inChannels, IAkAudioBufferProxy* buffer, int frames);
// Silence in the first `frames` frames of every channel.
void silence(IAkAudioBufferProxy* buffer, int frames);

// Tells from the cadence of Wwise's pulls whether Wwise renders at the rate
// the bridge serves. The engine's frames are the clock: they arrive at the
// served rate in real time. Over 2 s of them, the frames Wwise asked for give
// its rate. A window more than 15% off is a wrong rate at once; one 5 to 15%
// off must be confirmed by the next (two windows share their boundary, so a
// bursty engine's timing error in one is undone in the other). Wwise away for
// more than 250 ms (a hitch) starts the window over: a stall is not a rate.
class RateWatch {
 public:
  struct Verdict {
    bool warn = false;  // log the warning now (at most once a minute)
    int seenRate = 0;   // the rate Wwise pulls at, named
  };

  void restart(int servedRate);
  // Engine thread: frames it handed over at the served rate.
  void engineFrames(int frames) { engine_ += frames > 0 ? frames : 0; }
  // Wwise thread: one pull of `frames` (the buffer's capacity).
  Verdict wwisePull(int frames);
  int servedRate() const { return served_; }

  // The common rate within 1.5% of `rate`, else `rate` to the nearest 100 Hz.
  static int nameRate(double rate);

 private:
  int served_ = kDefaultRate;
  int64_t engine_ = 0, wwise_ = 0;
  bool open_ = false;
  int64_t windowEngine_ = 0, windowWwise_ = 0, lastEngine_ = 0;
  int previousSide_ = 0;
  int64_t previousEngine_ = 0, previousWwise_ = 0;
  bool warned_ = false;
  int64_t warnedAt_ = 0;
};

}  // namespace kivra::format
