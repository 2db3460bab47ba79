#include "KivraSimWwise.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace kivra {
namespace sim {
namespace {

// Frames the queue behind a probe holds: handed over, not yet received; -1
// when unknown (no probe, or nothing received yet).
int64_t queued(const SimLatencyProbe* probe) {
  if (probe == nullptr || !probe->started()) return -1;
  return probe->source().produced() - probe->nextFrame();
}

// A pull came back short although the queue held what it asked for.
bool shortPull(int64_t held, int got, int asked) {
  return held >= 0 && got < std::min<int64_t>(held, asked);
}

constexpr float kHalfPi = 1.57079632679489662f;

int clampFrames(int frames) { return std::min(std::max(frames, 16), 16384); }

int masterChannels(int channels) {
  return channels == 1 || channels == 6 || channels == 8 ? channels : 2;
}

// Runs one bridge callback and adds the wall time spent inside it.
template <typename Fn>
void timed(int64_t& nanos, int64_t& calls, SimCallTimes& times, Fn fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  const int64_t took =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  nanos += took;
  times.add(took);
  ++calls;
}

// Adds to a record; live, records stop at their reserved room (a device
// thread must not allocate), simulated ones grow.
template <typename T>
void keep(std::vector<T>& v, const T& x, bool bounded) {
  if (!bounded || v.size() < v.capacity()) v.push_back(x);
}

}  // namespace

SimBufferProxy::SimBufferProxy(uint16_t capacityFrames, uint32_t channels)
    : capacity_(capacityFrames),
      data_(std::max<uint32_t>(channels, 1), std::vector<float>(capacityFrames, 0.0f)) {}

void SimBufferProxy::prepare() {
  for (std::vector<float>& ch : data_) std::fill(ch.begin(), ch.end(), 0.0f);
  filled_ = 0;
  state_ = 0;
  marked_ = false;
}

int SimBufferProxy::delivered() const {
  if (!marked_) return 0;
  return std::min<int>(filled_, capacity_);
}

SimWwise::SimWwise(SimClock& clock, const SimWwiseConfig& config)
    : clock_(clock),
      config_(config),
      micProxy_(static_cast<uint16_t>(clampFrames(config.framesPerBuffer))),
      voiceProxy_(static_cast<uint16_t>(clampFrames(config.framesPerBuffer)),
                  config.monoVoices ? 1 : 2),
      mixProxy_(static_cast<uint16_t>(clampFrames(config.framesPerBuffer)),
                static_cast<uint32_t>(masterChannels(config.masterChannels))),
      frontProxy_(static_cast<uint16_t>(clampFrames(config.framesPerBuffer)), 2) {
  config_.framesPerBuffer = clampFrames(config.framesPerBuffer);
  config_.masterChannels = masterChannels(config.masterChannels);
  if (config_.sampleRate < 8000 || config_.sampleRate > 192000) config_.sampleRate = 48000;
  const size_t n = static_cast<size_t>(config_.framesPerBuffer);
  mixL_.assign(n, 0.0f);
  mixR_.assign(n, 0.0f);
  dialogueScratch_.assign(n * 2, 0);
  if (!(config_.minDistance > 0.0f)) config_.minDistance = 1.0f;
}

SimWwise::~SimWwise() {
  clock_.stop();
  join();
}

int SimWwise::addGameObject(uint64_t gameObjectId, SimVec3 position) {
  Voice v;
  v.object = gameObjectId;
  v.position = position;
  const float horizontal = std::sqrt(position.x * position.x + position.z * position.z);
  const float distance = std::sqrt(horizontal * horizontal + position.y * position.y);
  // Pan is the sine of the azimuth: -1 hard left, +1 hard right, front and
  // back alike. Constant power: gL^2 + gR^2 = 1 before attenuation.
  const float pan = horizontal > 0.0f ? position.x / horizontal : 0.0f;
  const float angle = (pan + 1.0f) * kHalfPi * 0.5f;
  const float attenuation = config_.minDistance / std::max(distance, config_.minDistance);
  v.gainLeft = std::cos(angle) * attenuation;
  v.gainRight = std::sin(angle) * attenuation;
  v.fifo.assign(static_cast<size_t>(config_.framesPerBuffer) * 4 * 2, 0.0f);
  voices_.push_back(std::move(v));
  return static_cast<int>(voices_.size()) - 1;
}

void SimWwise::addVirtualSpan(size_t voice, SimSpan span) {
  if (voice < voices_.size()) voices_[voice].virtualSpans.push_back(span);
}

void SimWwise::setVoiceProbe(size_t voice, SimLatencyProbe* probe) {
  if (voice < voices_.size()) voices_[voice].probe = probe;
}

bool SimWwise::start() {
  if (started_) return true;
  if (!prepare()) return false;
  const int task = clock_.addTask("wwise", 2);
  thread_ = std::thread([this, task] { loop(task); });
  return true;
}

bool SimWwise::startLive() {
  if (started_) return true;
  live_ = true;
  return prepare();
}

void SimWwise::renderLive(int64_t time, float* speakers) { renderFrame(time, speakers); }

bool SimWwise::prepare() {
  callbacks_ = kivra::standin::pluginCallbacks();
  const kivra::standin::PluginCallbacks& cb = callbacks_;
  if (!cb.setTransferRecordingData || !cb.getRecodeAudioFrame ||
      !cb.pushRecodeAudioFrameAfterEffect || !cb.setTransferPlayoutData ||
      !cb.getPlayoutAudioFrameByUid || !cb.pushPlayoutAudioFrameAfterEffect) {
    return false;
  }
  const int n = config_.framesPerBuffer;
  const size_t wwiseFrames =
      static_cast<size_t>(std::max(0.0, config_.reserveSeconds) * config_.sampleRate / n) + 16;
  roomConverters_.clear();
  roomScratch_.clear();
  if (config_.room != nullptr && config_.sampleRate != SimRoom::kRate) {
    for (int c = 0; c < config_.masterChannels; ++c) {
      roomConverters_.emplace_back(new SimResampler(config_.sampleRate, SimRoom::kRate, 1));
      roomScratch_.emplace_back(static_cast<size_t>(roomConverters_.back()->maxOutFrames(n)), 0.0f);
    }
  }
  frames_.reserve(wwiseFrames);
  if (config_.captureVoices) {
    for (Voice& v : voices_) v.captured.reserve(wwiseFrames * static_cast<size_t>(n) * 2 + 65536);
  }
  voicePulled_.reserve(wwiseFrames * voices_.size());
  if (config_.captureSpeakers) speakers_.reserve(wwiseFrames * static_cast<size_t>(n) * 2);
  bedScratch_.assign(static_cast<size_t>(n) * 2, 0);
  started_ = true;
  cb.setTransferRecordingData(true);
  cb.setTransferPlayoutData(true);
  return true;
}

void SimWwise::join() {
  if (thread_.joinable()) thread_.join();
}

void SimWwise::stop() {
  if (!started_) return;
  started_ = false;
  callbacks_.setTransferRecordingData(false);
  callbacks_.setTransferPlayoutData(false);
}

void SimWwise::drain() {
  if (!started_) return;
  SimBufferProxy big(65535);
  for (;;) {
    big.prepare();
    callbacks_.getRecodeAudioFrame(&big);
    const int got = big.delivered();
    if (got <= 0) break;
    micDrained_ += got;
  }
  for (Voice& v : voices_) {
    for (;;) {
      big.prepare();
      callbacks_.getPlayoutAudioFrameByUid(&big, v.object);
      const int got = big.delivered();
      if (got <= 0) break;
      v.drained += got;
    }
  }
}

void SimWwise::loop(int taskId) {
  const int64_t n = config_.framesPerBuffer;
  const int64_t rate = config_.sampleRate;
  for (int64_t j = 0;; ++j) {
    // Frame j starts at device time j * n at Wwise's rate, in 48 kHz frames.
    const int64_t due = simDeviceToClock((j * n * 48000 + rate / 2) / rate, config_.clockPpm);
    bool stalled = false;
    for (const SimSpan& s : config_.stalls) stalled = stalled || s.contains(due);
    if (stalled && due <= clock_.end()) {
      stalledFrames_ += n;
      continue;
    }
    if (!clock_.waitUntil(taskId, due)) break;
    renderFrame(clock_.now());
  }
}

void SimWwise::pullVoice(Voice& v, SimBufferProxy& proxy, int64_t time) {
  proxy.prepare();
  const int64_t held = queued(v.probe);
  timed(callbackNanos_, callbackCalls_, voicePullTimes_,
        [&] { callbacks_.getPlayoutAudioFrameByUid(&proxy, v.object); });
  const int got = proxy.delivered();
  if (shortPull(held, got, proxy.CapacityFrames())) ++v.shortPulls;
  keep(voicePulled_, static_cast<int32_t>(got), live_);
  v.total += got;
  const size_t cap = v.fifo.size() / 2;
  const float* l = proxy.ChannelData(0);
  const float* r = proxy.ChannelCount() > 1 ? proxy.ChannelData(1) : l;
  if (v.probe != nullptr && got > 0) v.probe->deliverFloats(time, l, r, got);
  if (config_.captureVoices) {
    for (int i = 0; i < got && v.captured.size() + 2 <= v.captured.capacity(); ++i) {
      v.captured.push_back(static_cast<int16_t>(std::lrint(l[i] * 32768.0f)));
      v.captured.push_back(static_cast<int16_t>(std::lrint(r[i] * 32768.0f)));
    }
  }
  for (int i = 0; i < got && v.count < cap; ++i) {
    const size_t at = (v.head + v.count) % cap;
    v.fifo[2 * at] = l[i];
    v.fifo[2 * at + 1] = r[i];
    ++v.count;
  }
}

void SimWwise::renderFrame(int64_t time, float* speakers) {
  const int n = config_.framesPerBuffer;
  SimWwiseFrame fr;
  fr.time = time;

  // Microphone through its effect and back.
  micProxy_.prepare();
  const int64_t micHeld = queued(micProbe_);
  timed(callbackNanos_, callbackCalls_, micPullTimes_,
        [&] { callbacks_.getRecodeAudioFrame(&micProxy_); });
  const int got = micProxy_.delivered();
  if (shortPull(micHeld, got, micProxy_.CapacityFrames())) ++micShort_;
  fr.micPulled = got;
  if (got > 0) {
    if (micProbe_ != nullptr) {
      micProbe_->deliverFloats(time, micProxy_.ChannelData(0), micProxy_.ChannelData(1), got);
    }
    micStarted_ = true;
    micTotal_ += got;
    for (uint32_t c = 0; c < 2; ++c) {
      float* d = micProxy_.ChannelData(c);
      if (!config_.identityMicEffect) {
        for (int i = 0; i < got; ++i)
          d[i] = std::min(1.0f, std::max(-1.0f, d[i] * config_.micGain));
      }
    }
    micProxy_.setFilled(got);
    timed(callbackNanos_, callbackCalls_, micPushTimes_,
          [&] { callbacks_.pushRecodeAudioFrameAfterEffect(&micProxy_); });
    for (uint32_t c = 0; c < 2; ++c) {
      const float* d = micProxy_.ChannelData(c);
      for (int i = 0; i < got; ++i) fr.micNotSilenced += d[i] != 0.0f ? 1 : 0;
    }
  } else if (micStarted_) {
    ++micUnderruns_;
  }

  // Voices into the 3-D mix.
  float* mixL = mixL_.data();
  float* mixR = mixR_.data();
  std::fill(mixL, mixL + n, 0.0f);
  std::fill(mixR, mixR + n, 0.0f);
  for (Voice& v : voices_) {
    bool isVirtual = false;
    for (const SimSpan& s : v.virtualSpans) isVirtual = isVirtual || s.contains(time);
    if (isVirtual) {
      // Not pulled: the voice's own buffer starts over when it comes back.
      ++v.virtualPulls;
      keep(voicePulled_, int32_t(0), live_);
      v.playing = false;
      v.count = 0;
      continue;
    }
    pullVoice(v, voiceProxy_, time);
    if (!v.playing && v.count >= static_cast<size_t>(n)) v.playing = true;
    if (!v.playing) continue;
    const size_t cap = v.fifo.size() / 2;
    const size_t take = std::min(v.count, static_cast<size_t>(n));
    for (size_t i = 0; i < take; ++i) {
      const size_t at = (v.head + i) % cap;
      const float mono = 0.5f * (v.fifo[2 * at] + v.fifo[2 * at + 1]);
      mixL[i] += mono * v.gainLeft;
      mixR[i] += mono * v.gainRight;
    }
    v.head = (v.head + take) % cap;
    v.count -= take;
    if (take < static_cast<size_t>(n)) {
      ++v.underruns;
      v.playing = false;  // buffer a whole frame again
    }
  }
  if (config_.bed.frames() > 0) {
    config_.bed.read(bedPosition_, n, 2, bedScratch_.data());
    bedPosition_ += n;
    const float g = config_.bedGain / 32768.0f;
    for (int i = 0; i < n; ++i) {
      mixL[i] += static_cast<float>(bedScratch_[static_cast<size_t>(2 * i)]) * g;
      mixR[i] += static_cast<float>(bedScratch_[static_cast<size_t>(2 * i + 1)]) * g;
    }
  }
  for (int i = 0; i < n; ++i) {
    if (config_.ditherMix) {
      ditherState_ = ditherState_ * 6364136223846793005ULL + 1442695040888963407ULL;
      const uint32_t d = static_cast<uint32_t>(ditherState_ >> 33);
      mixL[i] += static_cast<float>(static_cast<int>(d % 5) - 2) / 32768.0f;
      mixR[i] += static_cast<float>(static_cast<int>((d >> 8) % 5) - 2) / 32768.0f;
    }
    mixL[i] = std::min(1.0f, std::max(-1.0f, mixL[i]));
    mixR[i] = std::min(1.0f, std::max(-1.0f, mixR[i]));
    if (config_.captureSpeakers && (!live_ || speakers_.size() + 2 <= speakers_.capacity())) {
      speakers_.push_back(mixL[i]);
      speakers_.push_back(mixR[i]);
    }
    if (speakers != nullptr) {
      speakers[2 * i] = mixL[i];
      speakers[2 * i + 1] = mixR[i];
    }
  }
  // The master bus.
  const int channels = config_.masterChannels;
  if (channels == 1) {
    float* mono = mixProxy_.ChannelData(0);
    for (int i = 0; i < n; ++i) mono[i] = 0.5f * (mixL[i] + mixR[i]);
  } else {
    std::copy(mixL, mixL + n, mixProxy_.ChannelData(0));
    std::copy(mixR, mixR + n, mixProxy_.ChannelData(1));
  }
  if (channels > 2) {
    // 5.1 / 7.1: center, the surround pairs (the bed's ambience), the LFE.
    for (int c = 2; c < channels; ++c) {
      float* ch = mixProxy_.ChannelData(static_cast<uint32_t>(c));
      std::fill(ch, ch + n, 0.0f);
    }
    if (config_.bed.frames() > 0) {
      const float g = 0.5f * config_.bedGain / 32768.0f;
      for (int c = 3; c + 1 < channels; c += 2) {
        float* sl = mixProxy_.ChannelData(static_cast<uint32_t>(c));
        float* sr = mixProxy_.ChannelData(static_cast<uint32_t>(c + 1));
        for (int i = 0; i < n; ++i) {
          sl[i] = static_cast<float>(bedScratch_[static_cast<size_t>(2 * i)]) * g;
          sr[i] = static_cast<float>(bedScratch_[static_cast<size_t>(2 * i + 1)]) * g;
        }
      }
    }
  }
  if (config_.dialogue.frames() > 0) {
    config_.dialogue.read(dialoguePosition_, n, 1, dialogueScratch_.data());
    dialoguePosition_ += n;
    const float g = config_.dialogueGain / 32768.0f;
    if (channels > 2) {
      float* center = mixProxy_.ChannelData(2);
      for (int i = 0; i < n; ++i) center[i] = static_cast<float>(dialogueScratch_[i]) * g;
    } else {
      // No center: a phantom one, -3 dB in each front channel.
      const float side = g * 0.70710678f;
      for (int c = 0; c < channels; ++c) {
        float* ch = mixProxy_.ChannelData(static_cast<uint32_t>(c));
        for (int i = 0; i < n; ++i) ch[i] += static_cast<float>(dialogueScratch_[i]) * side;
      }
    }
  }
  if (channels > 2 || config_.dialogue.frames() > 0) {
    for (int c = 0; c < channels; ++c) {
      float* ch = mixProxy_.ChannelData(static_cast<uint32_t>(c));
      for (int i = 0; i < n; ++i) ch[i] = std::min(1.0f, std::max(-1.0f, ch[i]));
    }
  }
  mixProxy_.setFilled(n);
  if (config_.room != nullptr) {
    const float* bus[SimRoom::kMaxSpeakers] = {};
    const int count = std::min(channels, static_cast<int>(SimRoom::kMaxSpeakers));
    int frames = n;
    for (int c = 0; c < count; ++c) bus[c] = mixProxy_.ChannelData(static_cast<uint32_t>(c));
    if (!roomConverters_.empty()) {
      // To the room's rate, channel by channel.
      for (int c = 0; c < count; ++c) {
        const size_t k = static_cast<size_t>(c);
        frames = roomConverters_[k]->process(bus[c], n, roomScratch_[k].data(),
                                             static_cast<int>(roomScratch_[k].size()));
        bus[c] = roomScratch_[k].data();
      }
    }
    config_.room->play(time, bus, count, frames);
  }
  if (mixHistory_ != nullptr) mixHistory_->push(time, mixL, mixR, n);
  if (config_.pushReverse) {
    SimBufferProxy* pushed = &mixProxy_;
    if (config_.pushFrontPairOnly && channels >= 2) {
      std::copy(mixProxy_.ChannelData(0), mixProxy_.ChannelData(0) + n, frontProxy_.ChannelData(0));
      std::copy(mixProxy_.ChannelData(1), mixProxy_.ChannelData(1) + n, frontProxy_.ChannelData(1));
      frontProxy_.setFilled(n);
      pushed = &frontProxy_;
    }
    timed(callbackNanos_, callbackCalls_, mixPushTimes_,
          [&] { callbacks_.pushPlayoutAudioFrameAfterEffect(pushed); });
    ++reversePushes_;
  }
  keep(frames_, fr, live_);
}

}  // namespace sim
}  // namespace kivra
