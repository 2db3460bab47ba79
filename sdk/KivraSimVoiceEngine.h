// A simulated RTC voice engine for the stand-in SDK: it drives an audio-frame
// observer from its own recording and playback threads, paced by a SimClock,
// and captures what is pushed to its custom audio tracks.
//
// Recording thread: every period (the observer's getRecordAudioParams, asked
// at registration; 480 frames of 48 kHz stereo by default) it hands the next
// block of the microphone source to onRecordAudioFrame, at the time the block
// has been fully captured.
// Playback thread: every period it hands each remote talker's next block to
// onPlaybackAudioFrameBeforeMixing(channelId, uid, frame), then the engine's
// own mix of them to onPlaybackAudioFrame.
//
// Rates: the engine's devices run at 48 kHz. An observer that asks for
// another rate (its parameters' sample_rate) gets it, as from a real engine:
// each thread converts its devices' 10 ms periods (speexdsp, through a queue
// primed with one period of silence) and hands the observer its periods at
// that rate, as many as are due. Frames pushed to a custom track at another
// rate are converted to 48 kHz: the published audio and the echo canceller's
// reference are at the engine's rate.
//
// Echo canceller (optional, off by default): the engine keeps what arrives
// on its AEC-reference custom track, in the Wwise-frame chunks it arrives in,
// and at each recording period hands every complete 10 ms frame of it to the
// canceller as the far-end stream, then the recorded block as the capture
// stream, before the observer sees the block. The microphone can be a room
// (KivraSimRoom), whose echo comes from what Wwise renders.
//
// Threading contract:
//  - observerMutex_ guards observer_, the parameters and inFlight_. A thread
//    holds an in-flight mark (not the mutex) while it calls the observer, so
//    registerAudioFrameObserver(nullptr) returns only once no callback is
//    running: the observer may be destroyed right after. It must not be
//    called from inside an observer callback (it would wait for itself).
//  - trackMutex_ guards the custom tracks and their captures; pushes come
//    from whatever thread the caller uses (the Wwise thread, through the
//    bridge) and hold it only around the copy.
//  - The record and playback statistics are written by their own thread only
//    and read after join().
//  - Setup (sources, channel id, clock rate, reserve, probes) happens before
//    start().
//  - recordProgress_ and playbackProgress_ (frames handed to the observer so
//    far) are written by their own thread and may be read from any thread.
//  - Live drive (startLive): no threads of its own; a device's audio thread
//    calls runRecordPeriod and runPlaybackPeriod, one period at a time, and
//    is then "the recording thread" and "the playback thread" above. Every
//    record it keeps stops growing at the room reserved before the start,
//    so that thread never allocates.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivraRtcEngine.h"
#include "KivraSimCallTimes.h"
#include "KivraSimClock.h"
#include "KivraSimEchoCanceller.h"
#include "KivraSimLatency.h"
#include "KivraSimResampler.h"
#include "KivraSimRoom.h"
#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

// One frame as it arrived on a custom track.
struct SimTrackFrame {
  int64_t time = 0;    // clock time of arrival, in sample frames
  int64_t offset = 0;  // index of its first sample in SimTrackCapture::samples
  int samplesPerChannel = 0;
  int channels = 0;
  int samplesPerSec = 0;  // as pushed; the samples kept are at the engine's 48 kHz
};

struct SimTrackCapture {
  int id = 0;
  rtc::AUDIO_TRACK_TYPE type = rtc::AUDIO_TRACK_INVALID;
  rtc::AudioTrackConfig config{};
  std::vector<SimTrackFrame> frames;
  std::vector<int16_t> samples;  // interleaved, as pushed
  int64_t refusedFrames = 0;     // malformed frames refused with -1
  int64_t pushes = 0;            // frames accepted, captured or not
  int64_t pushedSamples = 0;
  int64_t uncapturedFrames = 0;   // accepted past the capture's reserved room
  int64_t unconvertedFrames = 0;  // at a rate with no converter ready (live), dropped
};

// One engine period as the engine saw it.
struct SimBlockEvent {
  int64_t time = 0;       // clock time of the callback, in sample frames
  int64_t offset = 0;     // source position of the block's first sample (interleaved index)
  int32_t samples = 0;    // interleaved samples in the block
  bool accepted = false;  // the observer's answer
};

class KIVRA_SDK_API SimVoiceEngine : public rtc::IRtcEngine, public media::IMediaEngine {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int kDefaultFramesPerCall = 480;
  static constexpr int kMaxFramesPerCall = 4800;  // 100 ms
  static constexpr int kDevicePeriod = 480;       // 10 ms of the devices
  static constexpr int kLowestRate = 8000, kHighestRate = 192000;

  explicit SimVoiceEngine(SimClock& clock);
  virtual ~SimVoiceEngine();
  SimVoiceEngine(const SimVoiceEngine&) = delete;
  SimVoiceEngine& operator=(const SimVoiceEngine&) = delete;

  // Setup, before start(). Sources are 48 kHz interleaved stereo; past their
  // end they read as silence.
  void setChannelId(const std::string& channelId);
  void setMicrophone(std::vector<int16_t> stereo);
  void setMicrophoneSource(SimSource source);
  // Returns the talker's index.
  int addTalker(const std::string& channelId, rtc::uid_t uid, std::vector<int16_t> stereo);
  int addTalkerSource(const std::string& channelId, rtc::uid_t uid, SimSource source);
  // The engine's audio device clock runs this many ppm fast (negative: slow)
  // against the simulation's clock; both of its threads follow it.
  void setClockPpm(double ppm) { ppm_ = ppm; }
  double clockPpm() const { return ppm_; }
  // Keep every sample pushed to the custom tracks (default). Off, only the
  // frames are counted: for sessions of hours.
  void setCaptureTracks(bool capture) { captureTracks_ = capture; }
  // Buffered reverse mode: each playback frame the observer filled (answered
  // true) is delivered to this probe.
  void setPlaybackProbe(SimLatencyProbe* probe) { playbackProbe_ = probe; }
  // The microphone is this room (not owned); it replaces the microphone
  // source.
  void setMicrophoneRoom(SimRoom* room) { room_ = room; }
  // Runs the echo canceller on the recording path, fed by the AEC-reference
  // track. False (and nothing changes) when the SDK was built without it.
  bool enableEchoCanceller(const SimEchoConfig& config);
  // A fault of the reference path: what arrives on the AEC-reference track
  // reaches the canceller this much later.
  void setReferenceLateMs(double ms);
  // Capture room for this much audio per track and per statistic, so the
  // audio threads do not allocate during the session.
  void reserveSeconds(double seconds);

  // rtc::IRtcEngine
  int findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) override;
  // media::IMediaEngine
  int registerAudioFrameObserver(media::IAudioFrameObserver* observer) override;
  int pushFrameToTrack(media::AudioFrame* frame, int trackId) override;
  int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                           const rtc::AudioTrackConfig& config) override;

  // Registers the two threads with the clock and starts them; they run until
  // the clock's end. join() waits for both.
  void start();
  void join();

  // Live drive: prepares what start() prepares but starts no thread; a
  // device thread then runs one engine period per call, in the period's
  // frames (framesPerCall). `captured` is that period's microphone, 48 kHz
  // interleaved stereo; null reads the microphone source (or room). Call
  // finishLive() once the device thread has stopped.
  void startLive();
  int framesPerCall(bool record) const { return params(record).frames; }
  void runRecordPeriod(const int16_t* captured);
  void runPlaybackPeriod();
  void finishLive() { join(); }
  // The block each recording period hands to the observer, after the echo
  // canceller, and each talker's block as handed over (for probes that
  // measure latency on live audio). Not owned; set before the start.
  void setRecordHistory(SimMixHistory* history) { recordHistory_ = history; }
  void setTalkerHistory(size_t talker, SimMixHistory* history);
  // Adds -2..+2 of dither to each recorded block after the echo canceller,
  // before the observer sees it, so that a probe can place every frame even
  // where the canceller left digital silence.
  void setRecordDither(bool on) { recordDither_ = on; }
  // Durations of the observer calls, per kind; complete after join().
  const SimCallTimes& recordCallTimes() const { return recTimes_; }
  const SimCallTimes& talkerCallTimes() const { return talkerTimes_; }
  const SimCallTimes& mixCallTimes() const { return mixTimes_; }

  media::IAudioFrameObserver* observer() const;
  const SimSource& microphone() const { return mic_; }
  const SimSource& talkerSource(size_t i) const { return talkers_[i].source; }
  // Frames handed to the observer so far, per thread.
  const std::atomic<int64_t>& recordProgress() const { return recordProgress_; }
  const std::atomic<int64_t>& playbackProgress() const { return playbackProgress_; }
  // Results, complete after join().
  const std::vector<SimBlockEvent>& recordEvents() const { return recordEvents_; }
  // One event per playback period; `accepted` is that of talker 0 (see
  // talkerRejections for every talker).
  const std::vector<SimBlockEvent>& playbackEvents() const { return playbackEvents_; }
  size_t talkerCount() const { return talkers_.size(); }
  const std::string& talkerChannel(size_t i) const { return talkers_[i].channelId; }
  rtc::uid_t talkerUid(size_t i) const { return talkers_[i].uid; }
  // Samples offered to the observer for talker i, and the clock times of the
  // callbacks it answered false (dropped or unknown to the observer).
  int64_t talkerSamplesOffered(size_t i) const { return talkers_[i].offered; }
  const std::vector<int64_t>& talkerRejections(size_t i) const { return talkers_[i].rejections; }
  // Microphone samples that left the observer non-zero (what the engine would
  // itself have sent).
  int64_t micSamplesNotSilenced() const { return micNotSilenced_; }
  // Wall time spent inside observer callbacks, in nanoseconds.
  int64_t observerNanos() const { return observerNanos_; }
  int64_t observerCalls() const { return observerCalls_; }
  // A parameter answer the engine could not honour (a rate other than 48000
  // without the converter, or out of its range).
  int64_t unsupportedParams() const { return unsupportedParams_; }
  std::vector<SimTrackCapture> tracks() const;
  // The echo canceller, or null when it is not enabled.
  const SimEchoCanceller* echoCanceller() const { return aec_.get(); }
  // Clock time at which each 10 ms far-end frame was handed to the canceller
  // (frame r holds reference frames [480 r, 480 r + 480) as they arrived).
  const std::vector<int64_t>& referenceFeedTimes() const { return refFeedTimes_; }
  // Reference frames the engine had no room for (dropped), and recorded
  // blocks the canceller could not take (not a multiple of 10 ms).
  int64_t referenceDropped() const { return refDropped_; }
  int64_t echoSkippedBlocks() const { return echoSkipped_; }
  // A copy of one track's capture; empty (id 0) when there is none.
  SimTrackCapture track(int trackId) const;
  // The first track of that type, or id 0.
  SimTrackCapture trackOfType(rtc::AUDIO_TRACK_TYPE type) const;

 private:
  struct Talker {
    std::string channelId;
    rtc::uid_t uid = 0;
    SimSource source;
    int64_t position = 0;  // next source frame
    int64_t offered = 0;
    std::vector<int64_t> rejections;
    SimMixHistory* history = nullptr;
  };
  struct Params {
    int channels = 2;
    int frames = kDefaultFramesPerCall;
    bool readWrite = true;
    int rate = kSampleRate;
    bool converted() const { return rate != kSampleRate; }
  };

  // Marks a callback in flight; returns the observer or null (no mark).
  media::IAudioFrameObserver* acquire();
  Params params(bool record) const;
  // trackMutex_ held: keeps a frame that arrived on the AEC-reference track.
  void keepReferenceLocked(const media::AudioFrame& frame, int64_t now);
  // Recording thread: far-end frames that have arrived, then the block.
  void cancelEcho(int16_t* block, int frames, int channels, int64_t now);
  void release();
  Params honour(const media::AudioParams& p);
  // observerMutex_ held, no callback in flight: converters for the rates asked.
  void prepareConverters();
  // trackMutex_ held: the converter of track i for frames at `rate`.
  SimResampler* trackConverter(size_t i, int rate);
  // Converted rates: one device period of each thread, then the observer's
  // periods that are due.
  void recordDevicePeriod(const Params& p, const int16_t* captured);
  void playbackDevicePeriod(const Params& p);
  // Hands the observer one recording period from recFrame_ / one playback
  // period (talker blocks from their sources or converters).
  void handRecord(const Params& p, media::IAudioFrameObserver* obs);
  // The observer registered again may switch a thread between the devices'
  // rate and a converted one: its device position is carried over.
  void followMode(bool record, const Params& p);
  void handPlayback(const Params& p, media::IAudioFrameObserver* obs);
  void prepareRun();
  void recordLoop(int taskId);
  void playbackLoop(int taskId);
  // One period of each thread; the position is the thread's own.
  void recordPeriod(const Params& p, const int16_t* captured);
  void playbackPeriod(const Params& p);
  int64_t toClock(int64_t deviceFrames) const { return simDeviceToClock(deviceFrames, ppm_); }

  SimClock& clock_;
  std::string channelId_ = "room1";
  SimSource mic_;
  std::vector<Talker> talkers_;
  double ppm_ = 0;
  bool captureTracks_ = true;
  SimLatencyProbe* playbackProbe_ = nullptr;
  std::atomic<int64_t> recordProgress_{0};
  std::atomic<int64_t> playbackProgress_{0};
  size_t reserveSamples_ = 0;

  mutable std::mutex observerMutex_;
  std::condition_variable observerIdle_;
  media::IAudioFrameObserver* observer_ = nullptr;
  Params recParams_;
  Params playParams_;
  int inFlight_ = 0;

  mutable std::mutex trackMutex_;
  std::vector<SimTrackCapture> tracks_;
  int nextTrackId_ = 1;

  std::thread recordThread_;
  std::thread playbackThread_;
  std::vector<SimBlockEvent> recordEvents_;
  std::vector<SimBlockEvent> playbackEvents_;
  int64_t micNotSilenced_ = 0;
  // Written by both engine threads: each keeps its own and they are summed
  // at join().
  int64_t recNanos_ = 0, playNanos_ = 0, recCalls_ = 0, playCalls_ = 0;
  int64_t observerNanos_ = 0, observerCalls_ = 0;
  int64_t unsupportedParams_ = 0;
  // Echo canceller and the reference as it arrived (trackMutex_ guards the
  // ring and the marks; the recording thread owns the rest).
  struct RefMark {
    int64_t time = 0;  // arrival
    int64_t end = 0;   // reference frames written once it is in
  };
  static constexpr int64_t kRefRingFrames = 1 << 16;  // 1.4 s
  static constexpr size_t kRefMarks = 1024;
  SimRoom* room_ = nullptr;
  std::unique_ptr<SimEchoCanceller> aec_;
  int64_t refLate_ = 0;
  std::vector<int16_t> refRing_;  // stereo
  int64_t refWritten_ = 0, refReady_ = 0, refRead_ = 0;
  std::vector<RefMark> refMarks_;
  size_t refMarkHead_ = 0, refMarkCount_ = 0;
  int64_t refDropped_ = 0;
  std::vector<int16_t> refScratch_;
  std::vector<int64_t> refFeedTimes_;
  int64_t echoSkipped_ = 0;
  // Per-thread scratch, sized at start().
  std::vector<int16_t> recFrame_, recCopy_, playFrame_, playMix_;
  int64_t recPosition_ = 0, playPosition_ = 0;  // next frame, per thread
  // Converted rates (observerMutex_ guards the pointers; each thread uses its
  // own while in flight): device positions, queues, device scratch.
  int64_t recDevice_ = 0, playDevice_ = 0;
  bool recConverted_ = false, playConverted_ = false;
  int64_t playOwed_ = 0;  // playback frames due, x 48000
  std::unique_ptr<SimRateFifo> recFifo_;
  std::vector<std::unique_ptr<SimRateFifo>> talkerFifos_;
  std::vector<int16_t> recDevFrame_, playDevFrame_;
  // Per track (trackMutex_): converters to 48 kHz and their output.
  std::vector<std::unique_ptr<SimResampler>> trackConverters_;
  std::vector<int16_t> trackScratch_;
  SimMixHistory* recordHistory_ = nullptr;
  bool recordDither_ = false;
  bool live_ = false;  // set by startLive() before the device thread runs
  uint64_t ditherState_ = 0x2545F4914F6CDD1DULL;
  SimCallTimes recTimes_, talkerTimes_, mixTimes_;
};

}  // namespace sim
}  // namespace kivra
