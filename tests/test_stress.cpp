// Load test of the whole bridge on the threads a game runs it on: an engine
// recording thread and an engine playback thread calling the observer at full
// speed (microphone; three remote talkers before mixing, then the mix), a
// Wwise thread calling the six callbacks with buffers of every shape, and the
// game's thread (this one) mapping, looking up, unmapping, initialising and
// shutting down.
//
// Every stream carries a counting signal, so each delivered sample is checked
// for its exact value and its place: the microphone and the talkers as Wwise
// receives them, the processed microphone and the rendered mix as the engine
// receives them on its custom tracks. Blocks may be lost only whole, and in
// the steady phase every lost block must have its own overflow line in the
// log. Run it longer with KIVRA_STRESS_SECONDS (default 3).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KivraRtcEngine.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "LogRepeats.h"
#include "TestSupport.h"

namespace {

namespace media = kivra::media;
namespace rtc = kivra::rtc;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 480;  // per engine call
constexpr int kBlock = kFrames * 2;
constexpr int kTalkers = 3;
constexpr int kMaxSamples = 65535 * 2;
const char* const kMicChannel = "stress-mic";

struct TalkerDef {
  const char* channel;
  unsigned uid;
  unsigned long long gameObject;
};
// Two talkers share a uid in different channels: keys are (channel, uid).
const TalkerDef kTalkerDefs[kTalkers] = {
    {"room-1", 101, 1}, {"room-1", 102, 2}, {"room-2", 101, 3}};

// ---------------------------------------------------------------------------
// The counting signal. Frame f of stream s carries, in 16-bit values between
// 1000 and 30999 (so that 16-bit -> float -> 16-bit stays one to one):
//   left  = 1000 + (f / 7500) % 30000
//   right = 1000 + (f % 7500) * 4 + s
// which identifies the stream and the frame modulo kPeriod.
constexpr int64_t kPeriod = 7500LL * 30000;

int16_t leftOf(int64_t f) { return static_cast<int16_t>(1000 + (f / 7500) % 30000); }
int16_t rightOf(int64_t f, int s) { return static_cast<int16_t>(1000 + (f % 7500) * 4 + s); }

bool decode(int left, int right, int* stream, int64_t* frameMod) {
  if (left < 1000 || left >= 31000 || right < 1000 || right >= 31000) return false;
  *stream = (right - 1000) % 4;
  *frameMod = static_cast<int64_t>(left - 1000) * 7500 + (right - 1000) / 4;
  return true;
}

// What a 16-bit sample becomes after Wwise's float and back.
int16_t roundTrip(int16_t s) {
  const float x = static_cast<float>(s) * (1.0f / 32768.0f);
  return static_cast<int16_t>(std::trunc(static_cast<double>(x) * 32767.0));
}

// A float from the bridge that must be an exact 16-bit value / 32768.
bool exactSample(float x, int* s) {
  const float v = x * 32768.0f;
  const int i = static_cast<int>(v);
  if (static_cast<float>(i) != v) return false;
  *s = i;
  return true;
}

// ---------------------------------------------------------------------------
// Integrity failures, from any thread. The first few are kept for the report.
class Failures {
 public:
  void add(const char* fmt, long long a = 0, long long b = 0, long long c = 0) {
    const int n = count_.fetch_add(1) + 1;
    if (n > 20) return;
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.emplace_back(buf);
  }
  int count() const { return count_.load(); }
  std::string report() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string all;
    for (const std::string& m : messages_) all += m + "\n";
    return all;
  }

 private:
  std::atomic<int> count_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

Failures g_failures;

// ---------------------------------------------------------------------------
// An engine as a real one behaves towards its observer: its audio threads
// reach the bridge only through the registered observer, and clearing the
// registration returns only once no callback is in flight, so the bridge can
// be destroyed right after. Each engine thread holds its own mutex around a
// callback; registration swaps the pointer, then takes each mutex once.
//
// Custom tracks: ids encode their type in the low two bits. Pushes arrive on
// the Wwise thread (inside the bridge's push); the last frame of each track
// is kept in a preallocated buffer, under trackMutex_.
class StressEngine : public rtc::IRtcEngine, public media::IMediaEngine {
 public:
  enum Thread { kRecordThread = 0, kPlaybackThread = 1, kThreads = 2 };

  struct Capture {
    int64_t pushes = 0;
    int samplesPerChannel = 0;
    std::vector<int16_t> samples = std::vector<int16_t>(kMaxSamples);
  };

  int findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) override {
    if (iid != rtc::KIVRA_IID_MEDIA_ENGINE || inter == nullptr) return -1;
    *inter = static_cast<media::IMediaEngine*>(this);
    return 0;
  }

  int registerAudioFrameObserver(media::IAudioFrameObserver* observer) override {
    observer_.store(observer);
    for (std::mutex& m : threadLocks_) std::lock_guard<std::mutex> wait(m);
    registrations_.fetch_add(1);
    return 0;
  }

  int pushFrameToTrack(media::AudioFrame* frame, int trackId) override {
    std::lock_guard<std::mutex> guard(trackMutex_);
    const int type = trackId & 3;
    const bool known =
        trackId > 0 && trackId < nextTrack_ &&
        (type == rtc::AUDIO_TRACK_DIRECT || type == rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE);
    if (!known) {
      ++unknownTrackPushes_;
      return -1;
    }
    if (frame == nullptr || frame->type != media::FRAME_TYPE_PCM16 || frame->bytesPerSample != 2 ||
        frame->channels != 2 || frame->samplesPerSec != 48000 || frame->samplesPerChannel < 0 ||
        frame->samplesPerChannel > 65535 ||
        (frame->samplesPerChannel > 0 && frame->buffer == nullptr)) {
      g_failures.add("malformed frame pushed to track %lld", trackId);
      return -1;
    }
    Capture& c = type == rtc::AUDIO_TRACK_DIRECT ? direct_ : aec_;
    ++c.pushes;
    c.samplesPerChannel = frame->samplesPerChannel;
    if (frame->samplesPerChannel > 0)
      std::memcpy(c.samples.data(), frame->buffer, sizeof(int16_t) * 2 * frame->samplesPerChannel);
    return 0;
  }

  int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE type,
                           const rtc::AudioTrackConfig& config) override {
    std::lock_guard<std::mutex> guard(trackMutex_);
    if (config.enableLocalPlayback || config.enableAudioProcessing || !config.enableDirectPublish)
      g_failures.add("custom track made with another configuration");
    if (type != rtc::AUDIO_TRACK_DIRECT && type != rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE) {
      g_failures.add("custom track of type %lld", type);
      return -1;
    }
    const int id = (trackSeq_++ << 2) | type;
    nextTrack_ = id + 1;
    return id;
  }

  // Runs fn(observer) if one is registered; the registration cannot be
  // cleared while fn runs.
  template <typename Fn>
  bool withObserver(Thread t, Fn fn) {
    std::lock_guard<std::mutex> guard(threadLocks_[t]);
    media::IAudioFrameObserver* o = observer_.load();
    if (o == nullptr) return false;
    fn(o);
    return true;
  }

  media::IAudioFrameObserver* observer() const { return observer_.load(); }
  int64_t directPushes() {
    std::lock_guard<std::mutex> guard(trackMutex_);
    return direct_.pushes;
  }
  int64_t aecPushes() {
    std::lock_guard<std::mutex> guard(trackMutex_);
    return aec_.pushes;
  }
  // The last frame of a track: samples per channel and a copy of its samples.
  int lastFrame(bool direct, std::vector<int16_t>& out) {
    std::lock_guard<std::mutex> guard(trackMutex_);
    const Capture& c = direct ? direct_ : aec_;
    std::memcpy(out.data(), c.samples.data(), sizeof(int16_t) * 2 * c.samplesPerChannel);
    return c.samplesPerChannel;
  }
  int64_t unknownTrackPushes() {
    std::lock_guard<std::mutex> guard(trackMutex_);
    return unknownTrackPushes_;
  }
  int trackType(int id) const { return id & 3; }

 private:
  std::atomic<media::IAudioFrameObserver*> observer_{nullptr};
  std::mutex threadLocks_[kThreads];
  std::atomic<int> registrations_{0};
  std::mutex trackMutex_;
  Capture direct_, aec_;
  int trackSeq_ = 1;
  int nextTrack_ = 1;
  int64_t unknownTrackPushes_ = 0;
};

// ---------------------------------------------------------------------------
// One stream's delivered frames, in order. A gap is allowed between whole
// engine blocks (an overflow drop), anywhere across a reset of the stream (a
// new epoch: teardown, re-registration, transfer switched back on), and where
// the latency controller removed a standing backlog; those frames are counted
// apart and checked against the controller's log lines. A controller splice
// may blend the first frames of a pull (a crossfade): they are counted as
// delivered but carry no frame number. Nothing may ever go backwards or be
// delivered twice. Absolute frame numbers follow from the deltas, so the tail
// loss can be computed.
struct StreamCheck {
  static constexpr int kMaxFade = 240;  // longest crossfade of the controller

  const char* name = "";
  int stream = 0;
  bool started = false;
  int64_t last = -1;  // absolute number of the last frame delivered
  int64_t frames = 0;
  int64_t lostBlocks = 0;
  int64_t controllerLost = 0;  // frames removed where no whole block went
  int64_t blended = 0;         // crossfaded frames delivered
  int64_t resyncs = 0;
  std::vector<int64_t> mods = std::vector<int64_t>(65536);
  std::vector<char> valid = std::vector<char>(65536);

  // startAtZero: the stream's first frame is frame 0 (steady phase).
  void begin(const char* n, int s, bool startAtZero) {
    name = n;
    stream = s;
    started = startAtZero;
    last = -1;
    frames = lostBlocks = controllerLost = blended = resyncs = 0;
  }

  static int64_t forward(int64_t from, int64_t to) {
    return ((to - from) % kPeriod + kPeriod) % kPeriod;
  }

  // One pull: n frames, left and right 16-bit values.
  void pull(const int* left, const int* right, int n, bool newEpoch) {
    for (int i = 0; i < n; ++i) {
      int s = 0;
      int64_t mod = 0;
      valid[i] = decode(left[i], right[i], &s, &mod) && s == stream;
      mods[i] = mod;
    }
    // A pull whose first frame does not continue the stream (the next frame,
    // whole blocks later, or a new epoch) starts with a crossfade: its genuine
    // frames resume where two valid frames in a row continue forward.
    int fade = 0;
    // A stale queue's discard also starts a pull with a gap, but its first
    // frame is genuine: valid, forward, and followed by its successor.
    const bool genuineGap = n > 0 && valid[0] && forward(last, mods[0]) < kPeriod / 2 &&
                            (n == 1 || (valid[1] && forward(mods[0], mods[1]) == 1));
    if (n > 0 && started && !newEpoch && !continues(0) && !genuineGap) {
      fade = -1;
      for (int j = 1; j + 1 < n && j <= kMaxFade; ++j) {
        if (valid[j] && valid[j + 1] && forward(mods[j], mods[j + 1]) == 1 &&
            forward(last, mods[j]) < kPeriod / 2) {
          fade = j;
          break;
        }
      }
      if (fade < 0) {
        g_failures.add("stream %lld: pull of %lld frames starts off the stream", stream, n);
        fade = 0;
      }
    }
    blended += fade;
    frames += fade;
    for (int i = fade; i < n; ++i) {
      if (!valid[i]) {
        g_failures.add("stream %lld: foreign or corrupt sample (%lld, %lld)", stream, left[i],
                       right[i]);
        continue;
      }
      frame(mods[i], newEpoch && i == fade, i == fade ? fade : 0);
    }
  }

  // Frame i of the pull continues the stream without a splice.
  bool continues(int i) const {
    if (!valid[i]) return false;
    const int64_t delta = forward(last, mods[i]);
    return delta == 1 || (delta > 0 && delta < kPeriod / 2 && (last + 1) % kFrames == 0 &&
                          (last + delta) % kFrames == 0);
  }

  // `skipped`: blended frames delivered just before this one.
  void frame(int64_t mod, bool newEpoch, int skipped) {
    ++frames;
    if (!started) {
      started = true;
      last = mod;
      return;
    }
    const int64_t delta = forward(last, mod);
    if (delta == 0 || delta > kPeriod / 2) {
      g_failures.add("stream %lld: frame after %lld delivered again or out of order", stream, last);
      return;
    }
    if (delta <= skipped) {
      g_failures.add("stream %lld: crossfade of %lld frames without a removal", stream, skipped);
      return;
    }
    const int64_t next = last + delta;
    const int64_t gap = delta - 1 - skipped;
    if (gap > 0) {
      if (newEpoch) {
        ++resyncs;
      } else if (skipped == 0 && (last + 1) % kFrames == 0 && next % kFrames == 0) {
        lostBlocks += gap / kFrames;
      } else {
        controllerLost += gap;
      }
    }
    last = next;
  }
};

// ---------------------------------------------------------------------------
// Buffer shapes the Wwise thread cycles through.
const uint16_t kCapacities[] = {0, 1, 480, 1024, 65535};
// Stereo, 5.1 and 7.1 buffers (mono buffers average the two channels, so
// their samples cannot be traced back to the sources; the format tests
// cover them).
const uint32_t kChannelCounts[] = {2, 6, 8};
constexpr int kShapes = 15;

struct ShapeSet {
  std::vector<std::unique_ptr<kivra::standin::FloatBufferProxy>> proxies;
  ShapeSet() {
    for (uint16_t cap : kCapacities)
      for (uint32_t ch : kChannelCounts)
        proxies.push_back(std::make_unique<kivra::standin::FloatBufferProxy>(cap, ch));
  }
  kivra::standin::FloatBufferProxy& at(int64_t i) { return *proxies[i % kShapes]; }
};

// What the threads share. Counters are written by one thread each and read
// after it joined.
struct Shared {
  StressEngine engine;
  kivra::standin::PluginCallbacks cb;
  std::atomic<bool> stopEngine{false};
  std::atomic<bool> stopWwise{false};
  std::atomic<bool> drain{false};
  // Bumped by the game thread before and after anything that may reset a
  // stream's queue: odd while such a change is under way.
  std::atomic<int64_t> generation{0};
  bool steady = false;  // phase 1: nothing resets, everything must flow

  // Engine side.
  int64_t micFrames = 0;
  int64_t talkerFrames[kTalkers] = {};
  int64_t talkerRefused[kTalkers] = {};
  int64_t engineBlocks = 0;

  // Wwise side.
  StreamCheck mic, talkers[kTalkers], direct;
  int64_t micPulls = 0, talkerPulls = 0, reversePushes = 0, reverseSent = 0, samplesChecked = 0;
  int64_t toggles = 0;
};

// Marks a game-thread operation that may reset queues (see Shared::generation).
class ResetScope {
 public:
  explicit ResetScope(Shared* sh) : sh_(sh) { sh_->generation.fetch_add(1); }
  ~ResetScope() { sh_->generation.fetch_add(1); }
  ResetScope(const ResetScope&) = delete;
  ResetScope& operator=(const ResetScope&) = delete;

 private:
  Shared* sh_;
};

// ---------------------------------------------------------------------------
// Engine threads.

void recordThread(Shared* sh) {
  std::vector<int16_t> block(kBlock);
  media::AudioFrame frame{};
  while (!sh->stopEngine.load()) {
    for (int i = 0; i < kFrames; ++i) {
      block[2 * i] = leftOf(sh->micFrames + i);
      block[2 * i + 1] = rightOf(sh->micFrames + i, 0);
    }
    frame.type = media::FRAME_TYPE_PCM16;
    frame.samplesPerChannel = kFrames;
    frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
    frame.channels = 2;
    frame.samplesPerSec = 48000;
    frame.buffer = block.data();
    const bool seen = sh->engine.withObserver(
        StressEngine::kRecordThread,
        [&](media::IAudioFrameObserver* o) { o->onRecordAudioFrame(kMicChannel, frame); });
    if (seen) {
      for (int16_t s : block)
        if (s != 0) {
          g_failures.add("recorded frame left the bridge unsilenced");
          break;
        }
    }
    sh->micFrames += kFrames;
    // Full speed, but let the other threads of a 2-core machine run too.
    if (sh->micFrames % (4 * kFrames) == 0) std::this_thread::yield();
  }
}

void playbackThread(Shared* sh) {
  std::vector<int16_t> block(kBlock), mix(kBlock);
  media::AudioFrame frame{};
  frame.type = media::FRAME_TYPE_PCM16;
  frame.samplesPerChannel = kFrames;
  frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
  frame.channels = 2;
  frame.samplesPerSec = 48000;
  while (!sh->stopEngine.load()) {
    for (int t = 0; t < kTalkers; ++t) {
      const int64_t f0 = sh->talkerFrames[t];
      for (int i = 0; i < kFrames; ++i) {
        block[2 * i] = leftOf(f0 + i);
        block[2 * i + 1] = rightOf(f0 + i, t + 1);
      }
      frame.buffer = block.data();
      bool accepted = true;
      const bool seen = sh->engine.withObserver(
          StressEngine::kPlaybackThread, [&](media::IAudioFrameObserver* o) {
            accepted = o->onPlaybackAudioFrameBeforeMixing(kTalkerDefs[t].channel,
                                                           kTalkerDefs[t].uid, frame);
          });
      if (seen) {
        if (!accepted) ++sh->talkerRefused[t];
        if (block[0] != leftOf(f0) || block[kBlock - 1] != rightOf(f0 + kFrames - 1, t + 1))
          g_failures.add("talker frame changed by the bridge");
      }
      sh->talkerFrames[t] += kFrames;
    }
    for (int i = 0; i < kBlock; ++i) mix[i] = static_cast<int16_t>(i * 13);
    frame.buffer = mix.data();
    bool answer = true;
    const bool seen = sh->engine.withObserver(
        StressEngine::kPlaybackThread,
        [&](media::IAudioFrameObserver* o) { answer = o->onPlaybackAudioFrame("room-1", frame); });
    if (seen &&
        (!answer || mix[1] != 13 || mix[kBlock - 1] != static_cast<int16_t>((kBlock - 1) * 13)))
      g_failures.add("engine mix not passed through unchanged");
    ++sh->engineBlocks;
    if (sh->engineBlocks % 4 == 0) std::this_thread::yield();
  }
}

// ---------------------------------------------------------------------------
// The Wwise thread: pulls the microphone and pushes it back after "effects"
// (none), pulls every talker's game object, pushes the rendered mix.

struct WwiseState {
  ShapeSet micShapes, talkerShapes, mixShapes;
  kivra::standin::FloatBufferProxy big{65535, 2};
  std::vector<int16_t> expected = std::vector<int16_t>(kMaxSamples);
  std::vector<int16_t> got = std::vector<int16_t>(kMaxSamples);
  std::vector<int> left = std::vector<int>(65536), right = std::vector<int>(65536);
  // Per stream (0 microphone, 1.. talkers): the generation read before the
  // last pull that delivered, and whether this thread reset the stream since.
  int64_t lastGen[1 + kTalkers] = {-1, -1, -1, -1};
  bool selfReset[1 + kTalkers] = {true, true, true, true};

  // A reset may lie between the last delivering pull and this one exactly
  // when the generation moved since before that pull, or was odd then.
  bool newEpoch(int stream, int64_t before, int64_t after) {
    const int64_t last = lastGen[stream];
    const bool reset = selfReset[stream] || after != last || (last & 1) != 0;
    lastGen[stream] = before;
    selfReset[stream] = false;
    return reset;
  }
  int64_t iter = 0, mixSeq = 0;
};

const float kSentinel = -3.0f;

// Pulls the microphone into p and pushes it back; returns frames delivered.
int micRound(Shared* sh, WwiseState* w, kivra::standin::FloatBufferProxy& p) {
  p.setFilled(0);
  p.resetCallCounts();
  const int64_t genBefore = sh->generation.load();
  sh->cb.getRecodeAudioFrame(&p);
  const int64_t genAfter = sh->generation.load();
  ++sh->micPulls;
  int n = 0;
  if (p.setFilledFramesCalls() > 0) {
    n = p.FilledFrames();
    if (n > p.CapacityFrames() || p.markStateCalls() != 1 || p.state() != 45)
      g_failures.add("microphone pull: filled %lld of %lld, MarkState calls %lld", n,
                     p.CapacityFrames(), p.markStateCalls());
    n = std::min<int>(n, p.CapacityFrames());
    // Nothing resets in the steady phase: every gap there is a loss.
    const bool newEpoch = w->newEpoch(0, genBefore, genAfter) && !sh->steady;
    const float* l = p.ChannelData(0);
    const float* r = p.ChannelData(1);
    for (int i = 0; i < n; ++i) {
      int ls = 0, rs = 0;
      if (!exactSample(l[i], &ls) || !exactSample(r[i], &rs)) {
        g_failures.add("microphone sample is not an exact 16-bit value");
        n = i;
        break;
      }
      w->left[i] = ls;
      w->right[i] = rs;
      w->expected[2 * i] = roundTrip(static_cast<int16_t>(ls));
      w->expected[2 * i + 1] = roundTrip(static_cast<int16_t>(rs));
    }
    sh->mic.pull(w->left.data(), w->right.data(), n, newEpoch);
    sh->samplesChecked += 2 * n;
  } else if (p.markStateCalls() != 0) {
    g_failures.add("MarkState without SetFilledFrames on the microphone");
  }

  // Back from "effects": exactly what was pulled must reach the direct track.
  const int64_t before = sh->engine.directPushes();
  sh->cb.pushRecodeAudioFrameAfterEffect(&p);
  if (sh->engine.directPushes() != before) {
    const int m = sh->engine.lastFrame(true, w->got);
    if (m != n) g_failures.add("direct track got %lld frames, Wwise pushed %lld", m, n);
    for (int i = 0; i < 2 * std::min(m, n); ++i)
      if (w->got[i] != w->expected[i]) {
        g_failures.add("direct track sample %lld is %lld, expected %lld", i, w->got[i],
                       w->expected[i]);
        break;
      }
    sh->samplesChecked += 2 * std::min(m, n);
    // The processed microphone must not also be heard through Wwise.
    for (uint32_t c = 0; c < p.ChannelCount(); ++c)
      for (int i = 0; i < n; ++i)
        if (p.ChannelData(c)[i] != 0.0f) {
          g_failures.add("record push left channel %lld unsilenced", c);
          c = p.ChannelCount();
          break;
        }
  } else if (sh->steady) {
    g_failures.add("steady phase: processed microphone not sent (%lld frames)", n);
  }
  return n;
}

// Pulls one talker's game object into p; returns frames delivered.
int talkerRound(Shared* sh, WwiseState* w, int t, kivra::standin::FloatBufferProxy& p) {
  const int cap = p.CapacityFrames();
  // Sentinels where the bridge must not write: past what it delivers, and
  // in channels above its two.
  const int marks = std::min(cap, 1100);
  for (int c = 0; c < 2; ++c) std::fill(p.ChannelData(c), p.ChannelData(c) + marks, kSentinel);
  if (p.ChannelCount() > 2) std::fill(p.ChannelData(2), p.ChannelData(2) + marks, kSentinel);
  p.setFilled(0);
  p.resetCallCounts();
  const int64_t genBefore = sh->generation.load();
  sh->cb.getPlayoutAudioFrameByUid(&p, kTalkerDefs[t].gameObject);
  const int64_t genAfter = sh->generation.load();
  ++sh->talkerPulls;
  if (p.setFilledFramesCalls() == 0) {
    if (p.markStateCalls() != 0) g_failures.add("MarkState without SetFilledFrames (talker)");
    if (marks > 0 && p.ChannelData(0)[0] != kSentinel)
      g_failures.add("talker %lld: empty pull wrote into the buffer", t);
    return 0;
  }
  int n = p.FilledFrames();
  if (n > cap || p.markStateCalls() != 1 || p.state() != 45)
    g_failures.add("talker %lld: filled %lld of %lld", t, n, cap);
  n = std::min(n, cap);
  // Nothing resets in the steady phase: every gap there is a loss.
  const bool newEpoch = w->newEpoch(1 + t, genBefore, genAfter) && !sh->steady;
  const float* l = p.ChannelData(0);
  const float* r = p.ChannelData(1);
  int exact = n;
  for (int i = 0; i < n; ++i) {
    int ls = 0, rs = 0;
    if (!exactSample(l[i], &ls) || !exactSample(r[i], &rs)) {
      g_failures.add("talker %lld sample is not an exact 16-bit value", t);
      exact = i;
      break;
    }
    w->left[i] = ls;
    w->right[i] = rs;
  }
  sh->talkers[t].pull(w->left.data(), w->right.data(), exact, newEpoch);
  sh->samplesChecked += 2 * n;
  for (int c = 0; c < 2; ++c)
    for (int i = n; i < marks; ++i)
      if (p.ChannelData(c)[i] != kSentinel) {
        g_failures.add("talker %lld: written past the %lld frames delivered", t, n);
        c = 2;
        break;
      }
  // Channels above the front pair: silenced over what was delivered only.
  if (p.ChannelCount() > 2 && n > 0 && p.ChannelData(2)[0] != 0.0f)
    g_failures.add("talker %lld: channel 2 not silenced", t);
  if (p.ChannelCount() > 2 && n < marks && p.ChannelData(2)[n] != kSentinel)
    g_failures.add("talker %lld: channel 2 written past the frames delivered", t);
  if (p.refusedChannelCalls() != 0) g_failures.add("talker %lld: channel index refused", t);
  return n;
}

// The rendered mix: block b carries left = 1000 + b % 30000 and right =
// 1000 + i % 30000 for its frame i; its shape and fill follow from b.
void mixRound(Shared* sh, WwiseState* w) {
  const int64_t b = w->mixSeq++;
  kivra::standin::FloatBufferProxy& p = w->mixShapes.at(b);
  const int cap = p.CapacityFrames();
  const int filled = (b / kShapes) % 2 == 0 ? cap : cap / 2;
  const int16_t left = static_cast<int16_t>(1000 + b % 30000);
  std::fill(p.ChannelData(0), p.ChannelData(0) + filled, left * (1.0f / 32768.0f));
  for (int i = 0; i < filled; ++i)
    p.ChannelData(1)[i] = static_cast<float>(1000 + i % 30000) * (1.0f / 32768.0f);
  // A surround bus whose other channels are silent: the downmix is exact.
  for (uint32_t c = 2; c < p.ChannelCount(); ++c)
    std::fill(p.ChannelData(c), p.ChannelData(c) + filled, 0.0f);
  p.setFilled(static_cast<uint16_t>(filled));
  const int64_t before = sh->engine.aecPushes();
  sh->cb.pushPlayoutAudioFrameAfterEffect(&p);
  ++sh->reversePushes;
  if (sh->engine.aecPushes() == before) {
    if (sh->steady && filled > 0) g_failures.add("steady phase: mix block %lld not sent", b);
    return;
  }
  ++sh->reverseSent;
  if (filled == 0) g_failures.add("empty mix block %lld sent", b);
  const int m = sh->engine.lastFrame(false, w->got);
  if (m != filled) g_failures.add("mix block %lld: %lld frames sent of %lld", b, m, filled);
  const int16_t wantLeft = roundTrip(left);
  for (int i = 0; i < std::min(m, filled); ++i) {
    if (w->got[2 * i] != wantLeft ||
        w->got[2 * i + 1] != roundTrip(static_cast<int16_t>(1000 + i % 30000))) {
      g_failures.add("mix block %lld frame %lld is wrong on the AEC track", b, i);
      break;
    }
  }
  sh->samplesChecked += 2 * std::min(m, filled);
  if (filled > 0 && p.ChannelData(0)[filled - 1] != left * (1.0f / 32768.0f))
    g_failures.add("reverse push changed the Wwise buffer");
}

void wwiseThread(Shared* sh) {
  auto w = std::make_unique<WwiseState>();
  std::minstd_rand rng(7);
  while (!sh->stopWwise.load()) {
    if (sh->drain.load()) {
      // Engine stopped: empty every queue with the largest buffer.
      int got = micRound(sh, w.get(), w->big);
      for (int t = 0; t < kTalkers; ++t) got += talkerRound(sh, w.get(), t, w->big);
      if (got == 0) break;
      continue;
    }
    const int64_t i = w->iter++;
    micRound(sh, w.get(), w->micShapes.at(i));
    for (int t = 0; t < kTalkers; ++t) talkerRound(sh, w.get(), t, w->talkerShapes.at(i + t));
    if (i % 7 == 0) {
      // A game object nobody mapped: the buffer stays untouched.
      kivra::standin::FloatBufferProxy& p = w->talkerShapes.at(i + 5);
      p.resetCallCounts();
      sh->cb.getPlayoutAudioFrameByUid(&p, (i & 8) ? ~0ull : 0ull);
      if (p.setFilledFramesCalls() != 0) g_failures.add("unmapped game object got audio");
    }
    mixRound(sh, w.get());
    if (!sh->steady && i % 50 == 0) {
      // As the plugin side does when it starts: switch the uplink on. After a
      // teardown this creates a bridge object that a later binding takes over.
      w->selfReset[0] = true;
      sh->cb.setTransferRecordingData(true);
    }
    if (!sh->steady && rng() % 300 == 0) {
      // The plugin side switches a transfer off and on again: a reset.
      const bool uplink = rng() % 2 == 0;
      for (bool& r : w->selfReset) r = true;
      if (uplink) {
        sh->cb.setTransferRecordingData(false);
        sh->cb.setTransferRecordingData(true);
      } else {
        sh->cb.setTransferPlayoutData(false);
        sh->cb.setTransferPlayoutData(true);
      }
      ++sh->toggles;
    }
  }
}

// ---------------------------------------------------------------------------
// The log: every line "<thread id> <23-char stamp> <message>", whole.

bool stampAt(const std::string& s, size_t p) {
  static const char kForm[] = "dddd-dd-dd dd:dd:dd:ddd";
  if (s.size() < p + 23) return false;
  for (size_t i = 0; i < 23; ++i) {
    const char c = s[p + i];
    if (kForm[i] == 'd' ? (c < '0' || c > '9') : c != kForm[i]) return false;
  }
  return true;
}

struct LogCounts {
  int64_t lines = 0, malformed = 0, micOverflow = 0, badOverflowFigures = 0;
  std::map<unsigned, int64_t> talkerOverflow;  // by uid
  // Frames the latency controller removed or let go stale, by queue name
  // ("uplink", "downlink uid 101 channel room-1").
  std::map<std::string, int64_t> controllerFrames;
};

// "latency NAME: removed N frames ...", "... N stale frames discarded ...",
// "... N more frames of stale audio were replaced ...": adds N to NAME.
void countControllerLine(const std::string& msg, LogCounts& c) {
  if (msg.compare(0, 8, "latency ") != 0) return;
  const size_t colon = msg.find(": ", 8);
  if (colon == std::string::npos) return;
  const std::string name = msg.substr(8, colon - 8);
  const char* rest = msg.c_str() + colon + 2;
  int n = 0;
  if (std::sscanf(rest, "removed %d frames", &n) == 1 ||
      std::sscanf(rest, "queue full for longer than it holds, %d stale frames", &n) == 1 ||
      std::sscanf(rest, "pulled again; %d more frames of stale audio", &n) == 1) {
    c.controllerFrames[name] += n;
  }
}

LogCounts readLog(const std::string& file) {
  LogCounts c;
  const std::string micLine = std::string("[zn] onRecordAudioFrame channelId ") + kMicChannel +
                              " record data is overflow, check why not consume";
  const std::string talkerPrefix = "onPlaybackAudioFrameBeforeMixing playback uid ";
  for (const std::string& line : kivra::test::readLines(file)) {
    ++c.lines;
    const size_t sp = line.find(' ');
    bool ok = sp != std::string::npos && sp > 0 && stampAt(line, sp + 1) && line.size() > sp + 24 &&
              line[sp + 24] == ' ';
    std::string msg = ok ? line.substr(sp + 25) : std::string();
    // A torn or interleaved line shows a second stamp inside the message.
    for (size_t p = 0; ok && p + 23 <= msg.size(); ++p)
      if (msg[p] >= '0' && msg[p] <= '9' && stampAt(msg, p)) ok = false;
    if (!ok) {
      if (++c.malformed <= 3) g_failures.add("malformed log line (%lld chars)", line.size());
      continue;
    }
    countControllerLine(msg, c);
    // A summary of left-out repeats stands for that many lines of its kind.
    long long weight = 1, ms = 0;
    std::string repeated;
    if (kivra::test::parseRepeated(msg, &weight, &ms, &repeated)) msg = repeated;
    if (msg == micLine) {
      c.micOverflow += weight;
    } else if (msg.compare(0, talkerPrefix.size(), talkerPrefix) == 0) {
      unsigned uid = 0;
      int max = 0, avail = 0, drop = 0;
      if (std::sscanf(msg.c_str() + talkerPrefix.size(),
                      "%u data overflow max(%d), avail(%d), drop(%d)", &uid, &max, &avail,
                      &drop) != 4 ||
          max != 19201 || drop != kBlock || avail + drop <= 19200 || avail > 19200)
        ++c.badOverflowFigures;
      c.talkerOverflow[uid] += weight;
    }
  }
  return c;
}

double stressSeconds() {
  const char* env = std::getenv("KIVRA_STRESS_SECONDS");
  const double s = env != nullptr ? std::atof(env) : 3.0;
  return s > 0.2 ? s : 3.0;
}

std::string logFile(const kivra::test::TempDir& dir) { return dir.path() + "/kivra_wwise_log.txt"; }

// The game's registry, as the game itself keeps it, to check the look-ups.
struct GameRegistry {
  std::map<unsigned long long, std::pair<std::string, unsigned>> fwd;
  std::map<std::pair<std::string, unsigned>, unsigned long long> rev;
  size_t longest = 0;

  void map(unsigned long long g, const std::string& c, unsigned u) {
    EXPECT_EQ(KW_SetUidToGameObjectIDMapping(g, c.c_str(), u), 0);
    fwd[g] = {c, u};
    rev[{c, u}] = g;
    longest = std::max(longest, c.size());
  }
  void clear(const std::string& c, unsigned u) {
    int want = -1;
    const auto it = rev.find({c, u});
    if (it != rev.end()) {
      const unsigned long long g = it->second;
      rev.erase(it);
      want = fwd.erase(g) ? 0 : -1;
    }
    if (KW_ClearReceiveOpenID(c.c_str(), u) != want)
      g_failures.add("KW_ClearReceiveOpenID answered against the registry");
  }
  void lookUp(unsigned long long g) {
    std::vector<char> buf(longest + 1, 'q');
    unsigned uid = 4242;
    const int r = KW_GetUidByGameObjectID(g, buf.data(), &uid);
    const auto it = fwd.find(g);
    if (it == fwd.end()) {
      if (r != -1 || uid != 4242 || buf[0] != 'q')
        g_failures.add("look-up of unmapped game object %lld answered", g);
    } else if (r != 0 || it->second.first != buf.data() || it->second.second != uid) {
      g_failures.add("look-up of game object %lld gave another talker", g);
    }
  }
  void teardown() {
    fwd.clear();
    rev.clear();
  }
};

std::string randomChannel(std::minstd_rand& rng) {
  switch (rng() % 6) {
    case 0:
      return "";
    case 1:
      return std::string(1000 + rng() % 3000, 'c');
    case 2:
      return "\xff\xfe\xc3\x28 not utf-8";
    case 3:
      return "ROOM-1";  // differs from "room-1" in case only
    default:
      return "extra-" + std::to_string(rng() % 5);
  }
}

unsigned long long randomGameObject(std::minstd_rand& rng) {
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1:
      return ~0ull;
    default:
      return 10 + rng() % 20;  // never a talker's game object
  }
}

TEST(Stress, StreamsStayExactUnderLoadAndLifecycleChurn) {
  const double seconds = stressSeconds();
  kivra::test::TempDir dir("stress");
  auto sh = std::make_unique<Shared>();
  int track = 0;

  // ---- Phase 1, steady: one binding, everything flowing, nothing resets.
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&sh->engine), &track,
                                    dir.path().c_str()),
            0);
  EXPECT_EQ(sh->engine.trackType(track), rtc::AUDIO_TRACK_DIRECT);
  sh->cb = kivra::standin::pluginCallbacks();
  ASSERT_TRUE(sh->cb.getRecodeAudioFrame && sh->cb.pushRecodeAudioFrameAfterEffect &&
              sh->cb.getPlayoutAudioFrameByUid && sh->cb.pushPlayoutAudioFrameAfterEffect &&
              sh->cb.setTransferRecordingData && sh->cb.setTransferPlayoutData);
  ASSERT_NE(sh->engine.observer(), nullptr);
  GameRegistry game;
  for (const TalkerDef& t : kTalkerDefs) game.map(t.gameObject, t.channel, t.uid);
  sh->cb.setTransferRecordingData(true);
  sh->cb.setTransferPlayoutData(true);
  sh->steady = true;
  sh->mic.begin("microphone", 0, true);
  for (int t = 0; t < kTalkers; ++t) sh->talkers[t].begin("talker", t + 1, true);

  std::thread wwise(wwiseThread, sh.get());
  std::thread rec(recordThread, sh.get());
  std::thread play(playbackThread, sh.get());
  const auto phase1End = Clock::now() + std::chrono::duration<double>(seconds / 3);
  std::minstd_rand rng(11);
  int64_t lookUps = 0;
  while (Clock::now() < phase1End) {
    game.lookUp(kTalkerDefs[rng() % kTalkers].gameObject);
    game.lookUp(randomGameObject(rng));
    lookUps += 2;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  sh->stopEngine = true;
  rec.join();
  play.join();
  sh->drain = true;  // the Wwise thread empties every queue, then stops
  wwise.join();

  // Every frame the engine produced was delivered, lost in whole blocks, or
  // removed by the latency controller.
  const int64_t micProduced = sh->micFrames;
  const int64_t micTail = micProduced - (sh->mic.last + 1);
  const int64_t micLost = sh->mic.lostBlocks + micTail / kFrames;
  const int64_t micLostFrames = micLost * kFrames + sh->mic.controllerLost;
  EXPECT_EQ(micTail % kFrames, 0);
  EXPECT_EQ(sh->mic.frames + micLostFrames, micProduced);
  int64_t talkerLost[kTalkers];
  int64_t talkerLostFrames[kTalkers];
  for (int t = 0; t < kTalkers; ++t) {
    const int64_t tail = sh->talkerFrames[t] - (sh->talkers[t].last + 1);
    EXPECT_EQ(tail % kFrames, 0) << "talker " << t;
    talkerLost[t] = sh->talkers[t].lostBlocks + tail / kFrames;
    talkerLostFrames[t] = talkerLost[t] * kFrames + sh->talkers[t].controllerLost;
    EXPECT_EQ(sh->talkers[t].frames + talkerLostFrames[t], sh->talkerFrames[t]);
    EXPECT_GT(sh->talkers[t].frames, 0) << "talker " << t;
  }
  EXPECT_GT(sh->mic.frames, 0);
  const int64_t phase1Direct = sh->engine.directPushes();
  const int64_t phase1Aec = sh->engine.aecPushes();
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
  game.teardown();
  EXPECT_EQ(sh->engine.observer(), nullptr);

  // Every refused block in the log (its own line, or counted in a summary),
  // and a controller line for every other frame lost: together they account
  // for every frame.
  LogCounts log1 = readLog(logFile(dir));
  EXPECT_EQ(log1.malformed, 0);
  EXPECT_EQ(log1.badOverflowFigures, 0);
  EXPECT_EQ(log1.micOverflow * kFrames + log1.controllerFrames["uplink"], micLostFrames);
  EXPECT_EQ(log1.talkerOverflow[101], sh->talkerRefused[0] + sh->talkerRefused[2]);
  EXPECT_EQ(log1.talkerOverflow[102], sh->talkerRefused[1]);
  for (int t = 0; t < kTalkers; ++t) {
    // The engine learns of each refused block from the observer's answer.
    const std::string name =
        "downlink uid " + std::to_string(kTalkerDefs[t].uid) + " channel " + kTalkerDefs[t].channel;
    EXPECT_EQ(sh->talkerRefused[t] * kFrames + log1.controllerFrames[name], talkerLostFrames[t])
        << "talker " << t;
  }

  std::printf(
      "steady phase: engine blocks mic %lld, talkers %lld/%lld/%lld; carried to Wwise mic %lld, "
      "talkers %lld/%lld/%lld; dropped mic %lld, talkers %lld/%lld/%lld; direct-track frames "
      "%lld, AEC frames %lld; log lines %lld; look-ups %lld\n",
      static_cast<long long>(micProduced / kFrames),
      static_cast<long long>(sh->talkerFrames[0] / kFrames),
      static_cast<long long>(sh->talkerFrames[1] / kFrames),
      static_cast<long long>(sh->talkerFrames[2] / kFrames),
      static_cast<long long>(sh->mic.frames / kFrames),
      static_cast<long long>(sh->talkers[0].frames / kFrames),
      static_cast<long long>(sh->talkers[1].frames / kFrames),
      static_cast<long long>(sh->talkers[2].frames / kFrames), static_cast<long long>(micLost),
      static_cast<long long>(talkerLost[0]), static_cast<long long>(talkerLost[1]),
      static_cast<long long>(talkerLost[2]), static_cast<long long>(phase1Direct),
      static_cast<long long>(phase1Aec), static_cast<long long>(log1.lines),
      static_cast<long long>(lookUps));

  // ---- Phase 2, churn: init, mapping, unmapping, look-ups, uninit in a
  // loop while every stream runs at full speed.
  sh->steady = false;
  sh->stopEngine = false;
  sh->stopWwise = false;
  sh->drain = false;
  sh->mic.begin("microphone", 0, false);
  for (int t = 0; t < kTalkers; ++t) sh->talkers[t].begin("talker", t + 1, false);
  const int64_t steadySamples = sh->samplesChecked;
  const int64_t micBefore = sh->micFrames;
  std::thread wwise2(wwiseThread, sh.get());
  std::thread rec2(recordThread, sh.get());
  std::thread play2(playbackThread, sh.get());
  const auto phase2End = Clock::now() + std::chrono::duration<double>(seconds * 2 / 3);
  int64_t cycles = 0, rebinds = 0, registryOps = 0;
  while (Clock::now() < phase2End) {
    {
      ResetScope scope(sh.get());
      if (KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&sh->engine), &track,
                                  dir.path().c_str()) != 0)
        g_failures.add("init failed in cycle %lld", cycles);
    }
    if (sh->engine.trackType(track) != rtc::AUDIO_TRACK_DIRECT)
      g_failures.add("init handed back a track that is not the direct one");
    if (sh->engine.observer() == nullptr) g_failures.add("observer not registered by init");
    for (const TalkerDef& t : kTalkerDefs) {
      ResetScope scope(sh.get());
      game.map(t.gameObject, t.channel, t.uid);
    }
    const int ops = 20 + static_cast<int>(rng() % 200);
    for (int k = 0; k < ops; ++k) {
      ++registryOps;
      switch (rng() % 8) {
        case 0:
        case 1: {
          ResetScope scope(sh.get());
          game.map(randomGameObject(rng), randomChannel(rng), rng() % 3 == 0 ? 0 : 500 + rng() % 4);
          break;
        }
        case 2:
          game.clear(randomChannel(rng), rng() % 3 == 0 ? 0 : 500 + rng() % 4);
          break;
        case 3: {
          // A talker leaves and comes back: its queue starts afresh.
          const TalkerDef& t = kTalkerDefs[rng() % kTalkers];
          ResetScope scope(sh.get());
          game.clear(t.channel, t.uid);
          if (rng() % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
          game.map(t.gameObject, t.channel, t.uid);
          break;
        }
        case 4:
          if (rng() % 40 == 0) {
            // Initialised again without shutting down: rebinds the same bridge.
            ResetScope scope(sh.get());
            if (KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&sh->engine), &track,
                                        dir.path().c_str()) != 0)
              g_failures.add("second init failed");
            ++rebinds;
          }
          break;
        default:
          game.lookUp(rng() % 2 ? kTalkerDefs[rng() % kTalkers].gameObject : randomGameObject(rng));
          break;
      }
      if (rng() % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    {
      ResetScope scope(sh.get());
      if (KW_UninitKivraWwisePlugin() != 0) g_failures.add("uninit did not answer 0");
    }
    game.teardown();
    if (sh->engine.observer() != nullptr) g_failures.add("observer still registered");
    if (rng() % 8 == 0) {
      // Shut down twice, and use the registry while nothing is bound.
      ResetScope scope(sh.get());
      if (KW_UninitKivraWwisePlugin() != 0) g_failures.add("second uninit did not answer 0");
      game.map(77, "unbound", 9);
      game.lookUp(77);
      game.clear("unbound", 9);
    }
    const LogCounts log = readLog(logFile(dir));
    if (log.malformed != 0 || log.badOverflowFigures != 0)
      g_failures.add("cycle %lld: log has %lld malformed lines", cycles, log.malformed);
    ++cycles;
  }
  sh->stopEngine = true;
  rec2.join();
  play2.join();
  sh->stopWwise = true;
  wwise2.join();
  game.teardown();
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);

  EXPECT_GT(cycles, 0);
  EXPECT_GT(sh->mic.frames, 0);
  std::printf(
      "churn phase: init/uninit cycles %lld (+%lld rebinds), registry operations %lld, transfer "
      "toggles %lld, engine mic blocks %lld, carried mic %lld, talkers %lld/%lld/%lld, resyncs "
      "after resets mic %lld, talkers %lld/%lld/%lld, whole blocks dropped mic %lld\n",
      static_cast<long long>(cycles), static_cast<long long>(rebinds),
      static_cast<long long>(registryOps), static_cast<long long>(sh->toggles),
      static_cast<long long>((sh->micFrames - micBefore) / kFrames),
      static_cast<long long>(sh->mic.frames / kFrames),
      static_cast<long long>(sh->talkers[0].frames / kFrames),
      static_cast<long long>(sh->talkers[1].frames / kFrames),
      static_cast<long long>(sh->talkers[2].frames / kFrames),
      static_cast<long long>(sh->mic.resyncs), static_cast<long long>(sh->talkers[0].resyncs),
      static_cast<long long>(sh->talkers[1].resyncs),
      static_cast<long long>(sh->talkers[2].resyncs), static_cast<long long>(sh->mic.lostBlocks));
  std::printf(
      "total: samples checked %lld (steady %lld), Wwise pulls mic %lld, talkers %lld, mix pushes "
      "%lld (%lld sent), pushes to a track the engine never made %lld, integrity failures %d\n",
      static_cast<long long>(sh->samplesChecked), static_cast<long long>(steadySamples),
      static_cast<long long>(sh->micPulls), static_cast<long long>(sh->talkerPulls),
      static_cast<long long>(sh->reversePushes), static_cast<long long>(sh->reverseSent),
      static_cast<long long>(sh->engine.unknownTrackPushes()), g_failures.count());
  EXPECT_EQ(g_failures.count(), 0) << g_failures.report();
}

}  // namespace
