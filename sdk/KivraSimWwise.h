// A simulated Wwise sound engine on the plugin side of the stand-in SDK. Its
// audio thread renders one Wwise frame per period (1024 frames at 48 kHz by
// default) through the callbacks the bridge registered with the setters:
//  1. microphone: GetRecodeAudioFrame into a 2-channel buffer of one frame's
//     capacity, a gain (the identity in verify mode), then
//     PushRecodeAudioFrameAfterEffect with FilledFrames = what was pulled;
//  2. every game object with a voice: GetPlayoutAudioFrameByUid, through a
//     small per-voice jitter buffer (a voice starts once one frame is
//     buffered; a shortfall afterwards is an underrun), placed in the stereo
//     mix by its position relative to the listener at the origin (x right,
//     y up, z forward): inverse-distance attenuation clamped at a minimum
//     distance, constant-power panning by azimuth;
//  3. a game sound bed (music or effects, stereo), if any, into the mix, and
//     game dialogue, if any, on the center (a phantom center at -3 dB in
//     each front channel when the bus has no center);
//  4. the master bus (1, 2, 6 or 8 channels in Wwise's order; surrounds
//     carry the bed at half level, the LFE nothing):
//     PushPlayoutAudioFrameAfterEffect, then "the speakers" (a captured
//     stereo buffer of the front pair, and the room when there is one).
// It renders at its own sample rate (48 kHz by default); the bed and the
// dialogue are at that rate, and what reaches the room is converted to the
// room's 48 kHz. Voices may be mono: their buffers then have one channel.
// start() switches both transfers on (SetTransferRecordingData(true),
// SetTransferPlayoutData(true)); stop() switches them off.
//
// What real sessions do to it: its output device clock may run some ppm off
// the engine's; its audio thread may stall (a loading hitch: the frames due
// meanwhile are never rendered, as when a device callback comes back late);
// and a voice may go virtual for a while (Wwise stops pulling its game
// object, then pulls it again).
//
// Threading contract: setup (game objects, start) and stop/drain run on the
// caller's thread while the audio thread is not running; the audio thread
// owns every buffer and statistic while it runs, and allocates nothing per
// frame (buffers are sized at start()). Results are read after join().
// Live drive (startLive): no thread of its own; an output device's callback
// calls renderLive for each Wwise frame and is then the audio thread; its
// records stop growing at the room reserved at the start.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "IAkAudioBufferProxy.h"
#include "KivraSimCallTimes.h"
#include "KivraSimClock.h"
#include "KivraSimLatency.h"
#include "KivraSimResampler.h"
#include "KivraSimRoom.h"
#include "KivraStandInSdk.h"

namespace kivra {
namespace sim {

struct SimVec3 {
  float x = 0, y = 0, z = 0;
};

// A span of clock time (sample frames) during which something does not run.
struct SimSpan {
  int64_t start = 0;
  int64_t frames = 0;
  bool contains(int64_t t) const { return t >= start && t < start + frames; }
};

struct SimWwiseConfig {
  int framesPerBuffer = 1024;  // 256, 512, 1024, 2048 occur
  int sampleRate = 48000;      // Wwise's output rate
  int masterChannels = 2;      // 1, 2, 6 (5.1) or 8 (7.1)
  bool monoVoices = false;     // voices pulled into one-channel buffers
  // Game dialogue (at sampleRate, mixed to mono), scaled by dialogueGain.
  SimSource dialogue;
  float dialogueGain = 1.0f;
  double clockPpm = 0;          // the output device clock runs this much fast
  std::vector<SimSpan> stalls;  // the audio thread renders nothing in these
  bool captureSpeakers = true;  // keep the rendered mix (off for long sessions)
  // Add -2..+2 LSB of noise to the mix, so that a probe can place every
  // frame of the reverse stream even where the mix is silent.
  bool ditherMix = false;
  float micGain = 1.0f;
  bool identityMicEffect = false;  // verify mode: the samples pass untouched
  float minDistance = 1.0f;
  double reserveSeconds = 0;  // capture room for the speakers and statistics
  // Keep every voice sample Wwise received, as the 16-bit value it came
  // from (the bridge converts x 1/32768, so the value is recovered exactly).
  bool captureVoices = false;
  // Game sound played besides the voices, from the first rendered frame on,
  // scaled by bedGain. Empty: none.
  SimSource bed;
  float bedGain = 1.0f;
  // False: the mix is never pushed back to the bridge (a game that does not
  // hook the reverse stream); the speakers still play it.
  bool pushReverse = true;
  // The mix pushed back as its front pair only, in a two-channel buffer: what
  // a bridge that reads two channels whatever the count sends as reference.
  bool pushFrontPairOnly = false;
  // The room the speakers play into (not owned), or null.
  SimRoom* room = nullptr;
};

// A Wwise buffer: `channels` channels of preallocated float storage. Like a
// real one it has no channel at or above ChannelCount(): ChannelData refuses
// such an index (null) and counts the call.
class KIVRA_SDK_API SimBufferProxy : public IAkAudioBufferProxy {
 public:
  explicit SimBufferProxy(uint16_t capacityFrames, uint32_t channels = 2);
  uint16_t CapacityFrames() override { return capacity_; }
  void MarkState(int state) override {
    state_ = state;
    marked_ = true;
  }
  void Reserved() override {}
  void SetFilledFrames(uint16_t frames) override { filled_ = frames; }
  uint16_t FilledFrames() override { return filled_; }
  uint32_t ChannelCount() override { return static_cast<uint32_t>(data_.size()); }
  float* ChannelData(uint32_t index) override {
    if (index >= data_.size()) {
      ++refused_;
      return nullptr;
    }
    return data_[index].data();
  }
  int64_t refusedChannelCalls() const { return refused_; }

  // Empties the buffer before it is handed out to be filled.
  void prepare();
  // Frames the bridge delivered: FilledFrames() once it marked the buffer
  // filled, else 0; never more than the capacity.
  int delivered() const;
  void setFilled(int frames) { filled_ = static_cast<uint16_t>(frames); }
  int state() const { return state_; }

 private:
  uint16_t capacity_;
  std::vector<std::vector<float>> data_;
  int64_t refused_ = 0;
  uint16_t filled_ = 0;
  int state_ = 0;
  bool marked_ = false;
};

// One Wwise frame as the simulator saw it.
struct SimWwiseFrame {
  int64_t time = 0;            // clock time of the frame, in sample frames
  int32_t micPulled = 0;       // frames pulled from the microphone queue
  int32_t micNotSilenced = 0;  // samples still non-zero after the record push
};

class KIVRA_SDK_API SimWwise {
 public:
  SimWwise(SimClock& clock, const SimWwiseConfig& config);
  ~SimWwise();
  SimWwise(const SimWwise&) = delete;
  SimWwise& operator=(const SimWwise&) = delete;

  // Setup, before start().
  int addGameObject(uint64_t gameObjectId, SimVec3 position);
  // Voice i is virtual (not pulled) during the span.
  void addVirtualSpan(size_t voice, SimSpan span);
  // Every pull of the microphone / of voice i is delivered to the probe; every
  // mix pushed back is recorded in the history.
  void setMicProbe(SimLatencyProbe* probe) { micProbe_ = probe; }
  void setVoiceProbe(size_t voice, SimLatencyProbe* probe);
  void setMixHistory(SimMixHistory* history) { mixHistory_ = history; }

  // Takes the callbacks the bridge registered, switches both transfers on
  // and starts the audio thread. False when a callback is missing.
  bool start();
  void join();
  // After join(): pulls whatever is still queued (counted, not rendered).
  void drain();
  // Switches both transfers off.
  void stop();

  // Live drive: what start() does, but no thread: the caller renders each
  // frame with renderLive (framesPerBuffer frames of the mix, interleaved
  // stereo, into `speakers`) at clock time `time`.
  bool startLive();
  void renderLive(int64_t time, float* speakers);
  // Durations of the bridge's callbacks, per callback; complete after
  // join() (live: once the device has stopped).
  const SimCallTimes& micPullTimes() const { return micPullTimes_; }
  const SimCallTimes& micPushTimes() const { return micPushTimes_; }
  const SimCallTimes& voicePullTimes() const { return voicePullTimes_; }
  const SimCallTimes& mixPushTimes() const { return mixPushTimes_; }

  const SimWwiseConfig& config() const { return config_; }
  size_t voiceCount() const { return voices_.size(); }
  uint64_t voiceObject(size_t i) const { return voices_[i].object; }
  SimVec3 voicePosition(size_t i) const { return voices_[i].position; }
  float voiceGainLeft(size_t i) const { return voices_[i].gainLeft; }
  float voiceGainRight(size_t i) const { return voices_[i].gainRight; }

  // Results.
  const std::vector<SimWwiseFrame>& frames() const { return frames_; }
  // Frames pulled for voice i in frame f: voicePulled()[f * voiceCount() + i].
  const std::vector<int32_t>& voicePulled() const { return voicePulled_; }
  int64_t voiceUnderruns(size_t i) const { return voices_[i].underruns; }
  int64_t micUnderruns() const { return micUnderruns_; }
  int64_t micFramesPulled() const { return micTotal_; }
  int64_t voiceFramesPulled(size_t i) const { return voices_[i].total; }
  int64_t micFramesDrained() const { return micDrained_; }
  int64_t voiceFramesDrained(size_t i) const { return voices_[i].drained; }
  // With captureVoices: voice i's samples as pulled, interleaved stereo.
  const std::vector<int16_t>& voiceCapture(size_t i) const { return voices_[i].captured; }
  // Interleaved stereo floats, one Wwise frame after another.
  const std::vector<float>& speakers() const { return speakers_; }
  int64_t reversePushes() const { return reversePushes_; }
  // Frames that fell in a stall and were never rendered.
  int64_t stalledFrames() const { return stalledFrames_; }
  int64_t voiceVirtualPulls(size_t i) const { return voices_[i].virtualPulls; }
  // Pulls that came back short while the queue held what they asked for (the
  // queue's content known from the probe: handed over and not yet received).
  // Needs the probes; counted once the stream has started.
  int64_t micShortPulls() const { return micShort_; }
  int64_t voiceShortPulls(size_t i) const { return voices_[i].shortPulls; }
  // ChannelData calls for a channel the buffer does not have, every buffer.
  int64_t refusedChannelCalls() const {
    return micProxy_.refusedChannelCalls() + voiceProxy_.refusedChannelCalls() +
           mixProxy_.refusedChannelCalls() + frontProxy_.refusedChannelCalls();
  }
  // Wall time spent inside the bridge's callbacks, in nanoseconds.
  int64_t callbackNanos() const { return callbackNanos_; }
  int64_t callbackCalls() const { return callbackCalls_; }

 private:
  struct Voice {
    uint64_t object = 0;
    SimVec3 position;
    float gainLeft = 0, gainRight = 0;
    std::vector<float> fifo;     // interleaved stereo ring
    size_t head = 0, count = 0;  // in frames
    bool playing = false;
    int64_t underruns = 0, total = 0, drained = 0;
    std::vector<int16_t> captured;
    std::vector<SimSpan> virtualSpans;
    int64_t virtualPulls = 0;
    int64_t shortPulls = 0;
    SimLatencyProbe* probe = nullptr;
  };

  bool prepare();
  void loop(int taskId);
  void renderFrame(int64_t time, float* speakers = nullptr);
  void pullVoice(Voice& v, SimBufferProxy& proxy, int64_t time);

  SimClock& clock_;
  SimWwiseConfig config_;
  kivra::standin::PluginCallbacks callbacks_;
  std::vector<Voice> voices_;
  SimBufferProxy micProxy_;
  SimBufferProxy voiceProxy_;
  SimBufferProxy mixProxy_;
  SimBufferProxy frontProxy_;
  std::vector<float> mixL_, mixR_;  // the stereo mix before the master bus
  int64_t dialoguePosition_ = 0;
  std::vector<int16_t> dialogueScratch_;
  // Output to the room's rate, per channel, when Wwise renders at another.
  std::vector<std::unique_ptr<SimResampler>> roomConverters_;
  std::vector<std::vector<float>> roomScratch_;
  std::thread thread_;
  bool started_ = false;
  bool micStarted_ = false;
  std::vector<SimWwiseFrame> frames_;
  std::vector<int32_t> voicePulled_;
  std::vector<float> speakers_;
  int64_t micUnderruns_ = 0, micTotal_ = 0, micDrained_ = 0, micShort_ = 0;
  int64_t reversePushes_ = 0;
  int64_t stalledFrames_ = 0;
  uint64_t ditherState_ = 0x9E3779B97F4A7C15ULL;
  int64_t bedPosition_ = 0;
  std::vector<int16_t> bedScratch_;
  SimLatencyProbe* micProbe_ = nullptr;
  SimMixHistory* mixHistory_ = nullptr;
  int64_t callbackNanos_ = 0, callbackCalls_ = 0;
  SimCallTimes micPullTimes_, micPushTimes_, voicePullTimes_, mixPushTimes_;
  bool live_ = false;
};

}  // namespace sim
}  // namespace kivra
