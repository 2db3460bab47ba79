#include "KivraSimVoiceEngine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

namespace kivra {
namespace sim {
namespace {

// Adds to a record; a live-driven engine's records stop at their reserved
// room (a device thread must not allocate), a simulated one's grow.
template <typename T>
void keep(std::vector<T>& v, const T& x, bool bounded) {
  if (!bounded || v.size() < v.capacity()) v.push_back(x);
}

// A 16-bit frame at `rate` over `buffer`, rendered at `position`.
media::AudioFrame pcmFrame(void* buffer, int frames, int channels, int64_t position, int rate) {
  media::AudioFrame frame{};
  frame.type = media::FRAME_TYPE_PCM16;
  frame.samplesPerChannel = frames;
  frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
  frame.channels = channels;
  frame.samplesPerSec = rate;
  frame.buffer = buffer;
  frame.renderTimeMs = position * 1000 / rate;
  return frame;
}

// Stereo to mono in place: the mean of both channels.
void toMono(int16_t* samples, int frames) {
  for (int i = 0; i < frames; ++i)
    samples[i] = static_cast<int16_t>((samples[2 * i] + samples[2 * i + 1]) / 2);
}

int64_t nanosSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
      .count();
}

}  // namespace

SimVoiceEngine::SimVoiceEngine(SimClock& clock) : clock_(clock) {}

SimVoiceEngine::~SimVoiceEngine() {
  clock_.stop();
  join();
}

void SimVoiceEngine::setChannelId(const std::string& channelId) { channelId_ = channelId; }

void SimVoiceEngine::setMicrophone(std::vector<int16_t> stereo) {
  mic_ = SimSource(std::move(stereo));
}

void SimVoiceEngine::setMicrophoneSource(SimSource source) { mic_ = std::move(source); }

int SimVoiceEngine::addTalker(const std::string& channelId, rtc::uid_t uid,
                              std::vector<int16_t> stereo) {
  return addTalkerSource(channelId, uid, SimSource(std::move(stereo)));
}

int SimVoiceEngine::addTalkerSource(const std::string& channelId, rtc::uid_t uid,
                                    SimSource source) {
  Talker t;
  t.channelId = channelId;
  t.uid = uid;
  t.source = std::move(source);
  talkers_.push_back(std::move(t));
  return static_cast<int>(talkers_.size()) - 1;
}

bool SimVoiceEngine::enableEchoCanceller(const SimEchoConfig& config) {
  if (!SimEchoCanceller::available()) return false;
  std::unique_ptr<SimEchoCanceller> aec(new SimEchoCanceller(config));
  if (!aec->ok()) return false;
  std::lock_guard<std::mutex> guard(trackMutex_);
  aec_ = std::move(aec);
  refRing_.assign(static_cast<size_t>(kRefRingFrames) * 2, 0);
  refMarks_.assign(kRefMarks, RefMark());
  refScratch_.assign(static_cast<size_t>(kRefRingFrames) * 2, 0);
  return true;
}

void SimVoiceEngine::setReferenceLateMs(double ms) {
  refLate_ = static_cast<int64_t>(std::llround(std::max(0.0, ms) * kSampleRate / 1000.0));
}

void SimVoiceEngine::reserveSeconds(double seconds) {
  if (seconds < 0) seconds = 0;
  reserveSamples_ = static_cast<size_t>(seconds * kSampleRate * 2) + 8 * 65536;
}

int SimVoiceEngine::findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) {
  if (inter == nullptr || iid != rtc::KIVRA_IID_MEDIA_ENGINE) return -1;
  *inter = static_cast<media::IMediaEngine*>(this);
  return 0;
}

SimVoiceEngine::Params SimVoiceEngine::honour(const media::AudioParams& p) {
  Params out;
  out.channels = p.channels == 1 ? 1 : 2;
  if (p.samples_per_call > 0) {
    out.frames = std::min(std::max(p.samples_per_call / out.channels, 1), kMaxFramesPerCall);
  }
  out.readWrite = p.mode == media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE;
  // Another rate is converted to when the converter is there; otherwise it is
  // noted and not honoured.
  if (p.sample_rate != 0 && p.sample_rate != kSampleRate) {
    if (SimResampler::available() && p.sample_rate >= kLowestRate &&
        p.sample_rate <= kHighestRate) {
      out.rate = p.sample_rate;
    } else {
      ++unsupportedParams_;
    }
  }
  return out;
}

int SimVoiceEngine::registerAudioFrameObserver(media::IAudioFrameObserver* observer) {
  std::unique_lock<std::mutex> lock(observerMutex_);
  // Callbacks already running finish with what they have: wait for them, so
  // the previous observer's owner may destroy it as soon as this returns, and
  // so that no period is cut by a change of format. The same observer
  // registered again is asked for its format again.
  if (observer_ != nullptr) observerIdle_.wait(lock, [&] { return inFlight_ == 0; });
  observer_ = observer;
  if (observer != nullptr) {
    recParams_ = honour(observer->getRecordAudioParams());
    playParams_ = honour(observer->getPlaybackAudioParams());
    prepareConverters();
  }
  return 0;
}

void SimVoiceEngine::prepareConverters() {
  recFifo_.reset();
  talkerFifos_.clear();
  if (recParams_.converted()) {
    recFifo_.reset(new SimRateFifo(kSampleRate, recParams_.rate, 2, kDevicePeriod,
                                   kMaxFramesPerCall, recParams_.frames));
  }
  if (playParams_.converted()) {
    for (size_t i = 0; i < talkers_.size(); ++i) {
      talkerFifos_.emplace_back(new SimRateFifo(kSampleRate, playParams_.rate, 2, kDevicePeriod,
                                                kMaxFramesPerCall, playParams_.frames));
    }
  }
  playOwed_ = 0;
  recDevFrame_.assign(static_cast<size_t>(kDevicePeriod) * 2, 0);
  playDevFrame_.assign(static_cast<size_t>(kDevicePeriod) * 2, 0);
  // Tracks get a converter for the rate the observer asked for, before any
  // frame arrives: a live device thread must not build one.
  std::lock_guard<std::mutex> guard(trackMutex_);
  for (size_t i = 0; i < tracks_.size(); ++i) {
    const int rate = tracks_[i].type == rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE ? playParams_.rate
                                                                                : recParams_.rate;
    if (rate != kSampleRate) trackConverter(i, rate);
  }
}

SimResampler* SimVoiceEngine::trackConverter(size_t i, int rate) {
  if (trackConverters_.size() < tracks_.size()) trackConverters_.resize(tracks_.size());
  std::unique_ptr<SimResampler>& c = trackConverters_[i];
  if (!c || c->inRate() != rate) {
    c.reset(new SimResampler(rate, kSampleRate, 2));
    const size_t most = static_cast<size_t>(c->maxOutFrames(65535)) * 2;
    if (trackScratch_.size() < most) trackScratch_.assign(most, 0);
  }
  return c->ok() ? c.get() : nullptr;
}

media::IAudioFrameObserver* SimVoiceEngine::observer() const {
  std::lock_guard<std::mutex> guard(observerMutex_);
  return observer_;
}

SimVoiceEngine::Params SimVoiceEngine::params(bool record) const {
  std::lock_guard<std::mutex> guard(observerMutex_);
  return record ? recParams_ : playParams_;
}

media::IAudioFrameObserver* SimVoiceEngine::acquire() {
  std::lock_guard<std::mutex> guard(observerMutex_);
  if (observer_ == nullptr) return nullptr;
  ++inFlight_;
  return observer_;
}

void SimVoiceEngine::release() {
  std::lock_guard<std::mutex> guard(observerMutex_);
  if (--inFlight_ == 0) observerIdle_.notify_all();
}

int SimVoiceEngine::pushFrameToTrack(media::AudioFrame* frame, int trackId) {
  const int64_t now = clock_.now();
  std::lock_guard<std::mutex> guard(trackMutex_);
  SimTrackCapture* track = nullptr;
  for (SimTrackCapture& t : tracks_) {
    if (t.id == trackId) track = &t;
  }
  if (track == nullptr || frame == nullptr) return -1;
  const size_t index = static_cast<size_t>(track - tracks_.data());
  const int64_t n = static_cast<int64_t>(frame->channels) * frame->samplesPerChannel;
  if (frame->channels <= 0 || frame->samplesPerChannel < 0 || n > 65535 * 8 ||
      (n > 0 && frame->buffer == nullptr)) {
    ++track->refusedFrames;
    return -1;
  }
  SimTrackFrame f;
  f.time = now;
  f.offset = static_cast<int64_t>(track->samples.size());
  f.samplesPerChannel = frame->samplesPerChannel;
  f.channels = frame->channels;
  f.samplesPerSec = frame->samplesPerSec;
  ++track->pushes;
  track->pushedSamples += n;
  // Another rate than the engine's: converted to it first.
  media::AudioFrame converted;
  if (frame->samplesPerSec != 0 && frame->samplesPerSec != kSampleRate && n > 0) {
    const bool ready = index < trackConverters_.size() && trackConverters_[index] &&
                       trackConverters_[index]->inRate() == frame->samplesPerSec;
    SimResampler* c = ready || !live_ ? trackConverter(index, frame->samplesPerSec) : nullptr;
    if (c == nullptr || frame->channels != 2) {
      track->unconvertedFrames += frame->samplesPerChannel;
      return 0;
    }
    converted = *frame;
    converted.samplesPerChannel =
        c->process(static_cast<const int16_t*>(frame->buffer), frame->samplesPerChannel,
                   trackScratch_.data(), static_cast<int>(trackScratch_.size() / 2));
    converted.samplesPerSec = kSampleRate;
    converted.buffer = trackScratch_.data();
    frame = &converted;
  }
  const int64_t kept = static_cast<int64_t>(frame->channels) * frame->samplesPerChannel;
  f.samplesPerChannel = frame->samplesPerChannel;
  if (aec_ && track->type == rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE)
    keepReferenceLocked(*frame, now);
  if (!captureTracks_) return 0;  // counted only
  // Live, the capture stops at the room reserved for it: a device thread
  // pushes.
  if (live_ && (track->frames.size() == track->frames.capacity() ||
                track->samples.size() + static_cast<size_t>(kept) > track->samples.capacity())) {
    ++track->uncapturedFrames;
    return 0;
  }
  track->frames.push_back(f);
  const int16_t* src = static_cast<const int16_t*>(frame->buffer);
  if (kept > 0) track->samples.insert(track->samples.end(), src, src + kept);
  return 0;
}

int SimVoiceEngine::makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                                         const rtc::AudioTrackConfig& config) {
  const int recRate = params(true).rate;
  const int playRate = params(false).rate;
  std::lock_guard<std::mutex> guard(trackMutex_);
  SimTrackCapture t;
  t.id = nextTrackId_++;
  t.type = trackType;
  t.config = config;
  if (captureTracks_) {
    t.samples.reserve(reserveSamples_);
    t.frames.reserve(reserveSamples_ / 480 + 64);
  }
  tracks_.push_back(std::move(t));
  const int rate = trackType == rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE ? playRate : recRate;
  if (rate != kSampleRate) trackConverter(tracks_.size() - 1, rate);
  return tracks_.back().id;
}

std::vector<SimTrackCapture> SimVoiceEngine::tracks() const {
  std::lock_guard<std::mutex> guard(trackMutex_);
  return tracks_;
}

SimTrackCapture SimVoiceEngine::track(int trackId) const {
  std::lock_guard<std::mutex> guard(trackMutex_);
  for (const SimTrackCapture& t : tracks_) {
    if (t.id == trackId) return t;
  }
  return SimTrackCapture();
}

SimTrackCapture SimVoiceEngine::trackOfType(rtc::AUDIO_TRACK_TYPE type) const {
  std::lock_guard<std::mutex> guard(trackMutex_);
  for (const SimTrackCapture& t : tracks_) {
    if (t.type == type) return t;
  }
  return SimTrackCapture();
}

void SimVoiceEngine::setTalkerHistory(size_t talker, SimMixHistory* history) {
  if (talker < talkers_.size()) talkers_[talker].history = history;
}

void SimVoiceEngine::prepareRun() {
  const size_t blocks = reserveSamples_ / 960 + 64;
  recordEvents_.reserve(blocks);
  refFeedTimes_.reserve(blocks + 64);
  playbackEvents_.reserve(blocks);
  for (Talker& t : talkers_) t.rejections.reserve(blocks);
  const size_t scratch = static_cast<size_t>(kMaxFramesPerCall) * 2;
  recFrame_.assign(scratch, 0);
  recCopy_.assign(scratch, 0);
  playFrame_.assign(scratch, 0);
  playMix_.assign(scratch, 0);
  recPosition_ = 0;
  playPosition_ = 0;
  recDevice_ = 0;
  playDevice_ = 0;
  recConverted_ = playConverted_ = false;
}

void SimVoiceEngine::start() {
  if (recordThread_.joinable() || playbackThread_.joinable()) return;
  prepareRun();
  // Ties at one sample time: the microphone block first, then playback, then
  // whatever registers later (the Wwise frame).
  const int recTask = clock_.addTask("engine-record", 0);
  const int playTask = clock_.addTask("engine-playback", 1);
  recordThread_ = std::thread([this, recTask] { recordLoop(recTask); });
  playbackThread_ = std::thread([this, playTask] { playbackLoop(playTask); });
}

void SimVoiceEngine::startLive() {
  if (recordThread_.joinable() || playbackThread_.joinable()) return;
  prepareRun();
  live_ = true;
}

void SimVoiceEngine::followMode(bool record, const Params& p) {
  bool& was = record ? recConverted_ : playConverted_;
  if (p.converted() == was) return;
  was = p.converted();
  int64_t& device = record ? recDevice_ : playDevice_;
  int64_t& position = record ? recPosition_ : playPosition_;
  // At the devices' rate the observer's positions are device frames.
  if (was) {
    device = position;
  } else {
    position = device;
  }
}

void SimVoiceEngine::runRecordPeriod(const int16_t* captured) {
  const Params p = params(true);
  followMode(true, p);
  if (p.converted()) {
    recordDevicePeriod(p, captured);
  } else {
    recordPeriod(p, captured);
  }
}

void SimVoiceEngine::runPlaybackPeriod() {
  const Params p = params(false);
  followMode(false, p);
  if (p.converted()) {
    playbackDevicePeriod(p);
  } else {
    playbackPeriod(p);
  }
}

void SimVoiceEngine::join() {
  if (recordThread_.joinable()) recordThread_.join();
  if (playbackThread_.joinable()) playbackThread_.join();
  observerNanos_ = recNanos_ + playNanos_;
  observerCalls_ = recCalls_ + playCalls_;
}

void SimVoiceEngine::recordLoop(int taskId) {
  for (;;) {
    const Params p = params(true);
    followMode(true, p);
    // The block is handed over once it has been fully captured.
    if (p.converted()) {
      if (!clock_.waitUntil(taskId, toClock(recDevice_ + kDevicePeriod))) break;
      recordDevicePeriod(p, nullptr);
      continue;
    }
    if (!clock_.waitUntil(taskId, toClock(recPosition_ + p.frames))) break;
    recordPeriod(p, nullptr);
  }
}

void SimVoiceEngine::recordPeriod(const Params& p, const int16_t* captured) {
  const int64_t position = recPosition_;
  media::IAudioFrameObserver* obs = acquire();
  const int frames = p.frames;
  if (captured != nullptr) {
    for (int i = 0; i < frames; ++i) {
      if (p.channels == 1) {
        recFrame_[static_cast<size_t>(i)] =
            static_cast<int16_t>((captured[2 * i] + captured[2 * i + 1]) / 2);
      } else {
        recFrame_[static_cast<size_t>(2 * i)] = captured[2 * i];
        recFrame_[static_cast<size_t>(2 * i + 1)] = captured[2 * i + 1];
      }
    }
  } else if (room_ != nullptr) {
    room_->capture(position, frames, p.channels, recFrame_.data());
  } else {
    mic_.read(position, frames, p.channels, recFrame_.data());
  }
  if (aec_) cancelEcho(recFrame_.data(), frames, p.channels, clock_.now());
  handRecord(p, obs);
}

void SimVoiceEngine::recordDevicePeriod(const Params& p, const int16_t* captured) {
  media::IAudioFrameObserver* obs = acquire();
  if (obs == nullptr || !recFifo_) {
    if (obs != nullptr) release();
    recDevice_ += kDevicePeriod;
    return;
  }
  int16_t* dev = recDevFrame_.data();
  if (captured != nullptr) {
    std::memcpy(dev, captured, sizeof(int16_t) * kDevicePeriod * 2);
  } else if (room_ != nullptr) {
    room_->capture(recDevice_, kDevicePeriod, 2, dev);
  } else {
    mic_.read(recDevice_, kDevicePeriod, 2, dev);
  }
  // The canceller works at the device's rate, before the conversion.
  if (aec_) cancelEcho(dev, kDevicePeriod, 2, clock_.now());
  recFifo_->push(dev, kDevicePeriod);
  recDevice_ += kDevicePeriod;
  // Each period handed over takes a mark of its own (released by handRecord);
  // the device period's mark keeps the converters in place meanwhile.
  while (recFifo_->available() >= p.frames) {
    recFifo_->pop(recFrame_.data(), p.frames);
    if (p.channels == 1) toMono(recFrame_.data(), p.frames);
    handRecord(p, acquire());
  }
  release();
}

void SimVoiceEngine::handRecord(const Params& p, media::IAudioFrameObserver* obs) {
  const int64_t position = recPosition_;
  const int frames = p.frames;
  const int n = frames * p.channels;
  if (recordDither_) {
    for (int i = 0; i < n; ++i) {
      ditherState_ = ditherState_ * 6364136223846793005ULL + 1442695040888963407ULL;
      const int d = static_cast<int>((ditherState_ >> 33) % 5) - 2;
      const int v = recFrame_[static_cast<size_t>(i)] + d;
      recFrame_[static_cast<size_t>(i)] =
          static_cast<int16_t>(std::min(32767, std::max(-32768, v)));
    }
  }
  SimBlockEvent ev;
  ev.time = clock_.now();
  ev.offset = position * 2;
  ev.samples = frames * 2;
  if (obs != nullptr) {
    // The observer may silence a read-write block: a copy keeps what it got.
    std::memcpy(recCopy_.data(), recFrame_.data(), sizeof(int16_t) * static_cast<size_t>(n));
    int16_t* buf = p.readWrite ? recFrame_.data() : recCopy_.data();
    media::AudioFrame frame = pcmFrame(buf, frames, p.channels, position, p.rate);
    const auto t0 = std::chrono::steady_clock::now();
    ev.accepted = obs->onRecordAudioFrame(channelId_.c_str(), frame);
    const int64_t took = nanosSince(t0);
    recNanos_ += took;
    recTimes_.add(took);
    ++recCalls_;
    release();
    // Recorded once the observer has it, so that a reader never counts a
    // block the bridge has not queued yet.
    if (recordHistory_ != nullptr && p.channels == 2) {
      recordHistory_->pushInterleaved(ev.time, recCopy_.data(), frames);
    }
    // What the engine itself would send: the observer's result in
    // read-write mode, the untouched block otherwise.
    for (int i = 0; i < n; ++i) {
      if (recFrame_[static_cast<size_t>(i)] != 0) ++micNotSilenced_;
    }
  }
  keep(recordEvents_, ev, live_);
  recPosition_ = position + frames;
  recordProgress_.store(recPosition_, std::memory_order_release);
}

void SimVoiceEngine::keepReferenceLocked(const media::AudioFrame& frame, int64_t now) {
  const int64_t frames = frame.samplesPerChannel;
  if (frames <= 0 || frame.buffer == nullptr) return;
  // The canceller runs at the engine's rate; a reference at another rate, or
  // one the ring or the marks have no room for, is dropped.
  if (frame.samplesPerSec != kSampleRate || refWritten_ + frames - refRead_ > kRefRingFrames ||
      refMarkCount_ == kRefMarks) {
    refDropped_ += frames;
    return;
  }
  const int16_t* src = static_cast<const int16_t*>(frame.buffer);
  const int ch = frame.channels;
  for (int64_t i = 0; i < frames; ++i) {
    const size_t slot = static_cast<size_t>((refWritten_ + i) & (kRefRingFrames - 1));
    refRing_[2 * slot] = src[i * ch];
    refRing_[2 * slot + 1] = src[i * ch + (ch > 1 ? 1 : 0)];
  }
  refWritten_ += frames;
  RefMark& m = refMarks_[(refMarkHead_ + refMarkCount_) % kRefMarks];
  m.time = now;
  m.end = refWritten_;
  ++refMarkCount_;
}

void SimVoiceEngine::cancelEcho(int16_t* block, int frames, int channels, int64_t now) {
  constexpr int kChunk = SimEchoCanceller::kFrames;
  int64_t chunks = 0;
  {
    // Every complete 10 ms of reference that has arrived by now, copied out.
    std::lock_guard<std::mutex> guard(trackMutex_);
    while (refMarkCount_ > 0 && refMarks_[refMarkHead_].time + refLate_ <= now) {
      refReady_ = refMarks_[refMarkHead_].end;
      refMarkHead_ = (refMarkHead_ + 1) % kRefMarks;
      --refMarkCount_;
    }
    chunks = (refReady_ - refRead_) / kChunk;
    for (int64_t i = 0; i < chunks * kChunk; ++i) {
      const size_t slot = static_cast<size_t>((refRead_ + i) & (kRefRingFrames - 1));
      refScratch_[static_cast<size_t>(2 * i)] = refRing_[2 * slot];
      refScratch_[static_cast<size_t>(2 * i + 1)] = refRing_[2 * slot + 1];
    }
    refRead_ += chunks * kChunk;
  }
  for (int64_t c = 0; c < chunks; ++c) {
    aec_->reverse(refScratch_.data() + c * kChunk * 2, 2);
    if (refFeedTimes_.size() < refFeedTimes_.capacity()) refFeedTimes_.push_back(now);
  }
  if (frames % kChunk != 0) {
    ++echoSkipped_;
    return;
  }
  for (int at = 0; at < frames; at += kChunk) aec_->capture(block + at * channels, channels);
}

void SimVoiceEngine::playbackLoop(int taskId) {
  for (;;) {
    // A playback block is handed over when it is due to be played, if it
    // ends within the session.
    const Params p = params(false);
    followMode(false, p);
    const int64_t at = p.converted() ? playDevice_ : playPosition_;
    const int64_t length = p.converted() ? kDevicePeriod : p.frames;
    if (toClock(at + length) > clock_.end()) {
      clock_.finish(taskId);
      break;
    }
    if (!clock_.waitUntil(taskId, toClock(at))) break;
    if (p.converted()) {
      playbackDevicePeriod(p);
    } else {
      playbackPeriod(p);
    }
  }
}

void SimVoiceEngine::playbackPeriod(const Params& p) { handPlayback(p, acquire()); }

void SimVoiceEngine::playbackDevicePeriod(const Params& p) {
  media::IAudioFrameObserver* obs = acquire();
  if (obs == nullptr || talkerFifos_.size() != talkers_.size()) {
    if (obs != nullptr) release();
    playDevice_ += kDevicePeriod;
    return;
  }
  for (size_t i = 0; i < talkers_.size(); ++i) {
    talkers_[i].source.read(playDevice_, kDevicePeriod, 2, playDevFrame_.data());
    talkerFifos_[i]->push(playDevFrame_.data(), kDevicePeriod);
  }
  playDevice_ += kDevicePeriod;
  // The periods this device period makes due, at the observer's rate.
  playOwed_ += static_cast<int64_t>(kDevicePeriod) * p.rate;
  const int64_t period = static_cast<int64_t>(p.frames) * kSampleRate;
  while (playOwed_ >= period) {
    playOwed_ -= period;
    handPlayback(p, acquire());
  }
  release();
}

void SimVoiceEngine::handPlayback(const Params& p, media::IAudioFrameObserver* obs) {
  const int64_t position = playPosition_;
  const int frames = p.frames;
  const int n = frames * p.channels;
  SimBlockEvent ev;
  ev.time = clock_.now();
  ev.offset = position * 2;
  ev.samples = frames * 2;
  std::fill(playMix_.begin(), playMix_.begin() + n, int16_t(0));
  for (size_t i = 0; i < talkers_.size(); ++i) {
    Talker& t = talkers_[i];
    if (p.converted()) {
      talkerFifos_[i]->pop(playFrame_.data(), frames);
      if (p.channels == 1) toMono(playFrame_.data(), frames);
    } else {
      t.source.read(position, frames, p.channels, playFrame_.data());
    }
    for (int k = 0; k < n; ++k) {
      const int s = playMix_[static_cast<size_t>(k)] + playFrame_[static_cast<size_t>(k)];
      playMix_[static_cast<size_t>(k)] = static_cast<int16_t>(std::min(32767, std::max(-32768, s)));
    }
    if (obs == nullptr) continue;
    media::AudioFrame frame = pcmFrame(playFrame_.data(), frames, p.channels, position, p.rate);
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = obs->onPlaybackAudioFrameBeforeMixing(t.channelId.c_str(), t.uid, frame);
    const int64_t took = nanosSince(t0);
    playNanos_ += took;
    talkerTimes_.add(took);
    ++playCalls_;
    if (t.history != nullptr && p.channels == 2) {
      t.history->pushInterleaved(ev.time, playFrame_.data(), frames);
    }
    t.offered += n;
    if (!ok) keep(t.rejections, ev.time, live_);
    if (i == 0) ev.accepted = ok;
  }
  if (obs != nullptr) {
    media::AudioFrame mix = pcmFrame(playMix_.data(), frames, p.channels, position, p.rate);
    const auto t0 = std::chrono::steady_clock::now();
    const bool filled = obs->onPlaybackAudioFrame(channelId_.c_str(), mix);
    const int64_t took = nanosSince(t0);
    playNanos_ += took;
    mixTimes_.add(took);
    if (filled && playbackProbe_ != nullptr && p.channels == 2) {
      playbackProbe_->deliver(ev.time, playMix_.data(), frames);
    }
    ++playCalls_;
    release();
  }
  keep(playbackEvents_, ev, live_);
  playPosition_ = position + frames;
  playbackProgress_.store(playPosition_, std::memory_order_release);
}

}  // namespace sim
}  // namespace kivra
