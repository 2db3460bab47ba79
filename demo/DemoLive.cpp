#include "DemoLive.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "DemoAudio.h"
#include "DemoEcho.h"
#include "DemoLibrary.h"
#include "KivraSimClock.h"
#include "KivraSimLatency.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"

namespace kivra {
namespace demo {
namespace {

constexpr int kBlock = 480;            // the engine's period, 10 ms
constexpr int64_t kWindow = 4800;      // ERLE window, 100 ms
constexpr double kLoopSeconds = 12.0;  // the talkers' speech repeats
constexpr double kBedSeconds = 31.0;   // the bed repeats (not with the speech)
constexpr double kHeardDbfs = -50.0;   // a window the microphone hears the speakers in
constexpr int kMaxWwiseFrames = 4096;
constexpr int kMaxRefills = 8;
constexpr const char* kSoundDir = "/usr/share/sounds/alsa/";

std::atomic<bool> g_interrupted{false};
extern "C" void onInterrupt(int) { g_interrupted.store(true); }

double dbfs(double energy, double samples) {
  return samples > 0 && energy > 0 ? 10.0 * std::log10(energy / samples / (32768.0 * 32768.0))
                                   : -120.0;
}

double db(double ratio) { return ratio > 0 ? 10.0 * std::log10(ratio) : -120.0; }

int16_t toInt16(float x) {
  const long v = std::lrint(static_cast<double>(x) * 32768.0);
  return static_cast<int16_t>(std::min(32767L, std::max(-32768L, v)));
}

double rssMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return static_cast<double>(resident) * 4096.0 / (1024.0 * 1024.0);
}

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// The remote talkers' speech: the recordings take turns, one talker after
// the other, over a loop of kLoopSeconds.
bool talkerSpeech(std::vector<std::vector<int16_t>>& talkers, std::string& error) {
  std::vector<std::vector<int16_t>> clips;
  for (const char* f :
       {"Front_Left", "Front_Right", "Rear_Left", "Side_Left", "Rear_Right", "Side_Right"}) {
    std::vector<int16_t> clip;
    if (!loadAudioFile(std::string(kSoundDir) + f + ".wav", clip, error)) return false;
    clips.push_back(std::move(clip));
  }
  const size_t frames = static_cast<size_t>(kLoopSeconds * kRate);
  talkers.assign(2, std::vector<int16_t>(2 * frames, 0));
  for (size_t k = 0; k < 8; ++k) {
    std::vector<int16_t>& track = talkers[k % 2];
    const std::vector<int16_t>& clip = clips[k % clips.size()];
    const size_t at = static_cast<size_t>((0.2 + 1.5 * static_cast<double>(k)) * kRate);
    for (size_t i = 0; i < clip.size() / 2 && at + i < frames; ++i) {
      const int mono = (clip[2 * i] + clip[2 * i + 1]) / 2;
      track[2 * (at + i)] = track[2 * (at + i) + 1] = static_cast<int16_t>(mono);
    }
  }
  return true;
}

// Per block of `blockSeconds`, the median of each second's least added
// latency; -1 for a block with nothing delivered.
std::vector<double> backlogPerBlock(const sim::SimLatencyProbe& probe, double seconds,
                                    size_t blockSeconds) {
  // Whole seconds only: the last moments are the stop (the capture ends
  // first, and Wwise drains the queues it leaves).
  const size_t secs = static_cast<size_t>(std::floor(seconds)) - (seconds >= 1 ? 1 : 0);
  std::vector<double> least(secs, 1e300);
  for (const sim::SimLatencyPoint& p : probe.trace()) {
    const size_t s = static_cast<size_t>(std::max(0.0, p.seconds));
    if (s < secs) least[s] = std::min(least[s], p.ms);
  }
  std::vector<double> out;
  // A last block shorter than half its length is left out.
  for (size_t b = 0; b * blockSeconds + (blockSeconds + 1) / 2 <= secs; ++b) {
    std::vector<double> v;
    for (size_t s = b * blockSeconds; s < std::min(secs, (b + 1) * blockSeconds); ++s) {
      if (least[s] < 1e299) v.push_back(least[s]);
    }
    if (v.empty()) {
      out.push_back(-1);
      continue;
    }
    std::sort(v.begin(), v.end());
    out.push_back(v[v.size() / 2]);
  }
  return out;
}

CallFigures callFigures(const std::string& name, const sim::SimCallTimes& t, double periodUs) {
  CallFigures c;
  c.name = name;
  c.calls = t.count();
  c.p50 = t.quantileMicros(0.5);
  c.p99 = t.quantileMicros(0.99);
  c.p999 = t.quantileMicros(0.999);
  c.max = t.quantileMicros(1.0);
  c.periodUs = periodUs;
  return c;
}

}  // namespace

// ERLE on the published track: each second of it is found, sample for
// sample, in what the engine handed the bridge (the published track is that
// audio after Wwise's identity effect, less what the latency controller
// removed), so that every window of the published audio is set against the
// microphone window it came from.
void publishedErle(const std::vector<int16_t>& raw, const sim::SimMixHistory& handed,
                   const std::vector<int16_t>& pub, LiveResult& r) {
  const int64_t pubFrames = static_cast<int64_t>(pub.size() / 2);
  const int64_t handedFrames = handed.produced();
  constexpr int kRun = 64;
  // Wwise's buffer holds sample / 32768; the bridge publishes it x 32767.
  auto published = [](int16_t s) {
    return floatToInt16(static_cast<float>(s) * (1.0f / 32768.0f));
  };
  auto matchesAt = [&](int64_t p, int64_t f) {
    for (int k = 0; k < kRun; ++k) {
      int16_t l = 0, rr = 0;
      if (!handed.frame(f + k, l, rr)) return false;
      if (published(l) != pub[2 * (p + k)] || published(rr) != pub[2 * (p + k) + 1]) return false;
    }
    return true;
  };
  // The offsets (microphone frame less published frame) of the published
  // track, every 100 ms of it: each found near the last, the first anywhere.
  // A correction of the latency controller starts a new one.
  std::vector<int64_t> offsets;
  int64_t offset = -1;
  for (int64_t p = 0; p + kRun <= pubFrames; p += kWindow) {
    const int64_t base = p + std::max<int64_t>(offset, 0);
    for (int64_t d = 0; d < handedFrames && (offset < 0 || d <= 48000); ++d) {
      const int64_t f = base + d >= 0 && base + d + kRun <= handedFrames && matchesAt(p, base + d)
                            ? base + d
                            : (base - d >= 0 && matchesAt(p, base - d) ? base - d : -1);
      if (f < 0) continue;
      offset = f - p;
      if (offsets.empty() || offsets.back() != offset) offsets.push_back(offset);
      break;
    }
  }
  // The microphone's 100 ms windows from kSettleSeconds on, each against the
  // published audio it became: one offset from its first frame to its last
  // (a window a correction cut through is left out).
  double in = 0, out = 0;
  int64_t windows = 0;
  size_t at = 0;
  const int64_t rawFrames = static_cast<int64_t>(raw.size() / 2);
  for (int64_t m = static_cast<int64_t>(kSettleSeconds * kRate); m + kWindow <= rawFrames;
       m += kWindow) {
    int64_t p = -1;
    for (size_t k = at; k < offsets.size() && p < 0; ++k) {
      const int64_t q = m - offsets[k];
      if (q >= 0 && q + kWindow <= pubFrames && matchesAt(q, m) &&
          matchesAt(q + kWindow - kRun, m + kWindow - kRun)) {
        p = q;
        at = k;
      }
    }
    if (p < 0) continue;
    double e = 0, o = 0;
    for (int64_t i = 0; i < kWindow; ++i) {
      for (int c = 0; c < 2; ++c) {
        const double x = raw[static_cast<size_t>(2 * (m + i) + c)];
        const double y = pub[static_cast<size_t>(2 * (p + i) + c)];
        e += x * x;
        o += y * y;
      }
    }
    if (dbfs(e, 2.0 * kWindow) <= kHeardDbfs) continue;
    in += e;
    out += o;
    ++windows;
  }
  r.erleWindows = windows;
  r.erlePublishedDb = windows > 0 ? db(in / std::max(1.0, out)) : 0.0;
}

LiveDrive::LiveDrive(sim::SimClock& clock, sim::SimVoiceEngine& engine, sim::SimWwise& wwise,
                     sim::SimMixHistory& recordHistory, sim::SimLatencyProbe& micProbe,
                     std::vector<sim::SimLatencyProbe*> talkerProbes, size_t captureFrames,
                     int refills)
    : clock_(clock),
      engine_(engine),
      wwise_(wwise),
      recordHistory_(recordHistory),
      micProbe_(micProbe),
      talkerProbes_(std::move(talkerProbes)),
      wwiseFrames_(wwise.config().framesPerBuffer),
      ahead_(std::max(0, refills) * wwiseFrames_),
      block_(2 * kBlock, 0),
      // One device callback's most, the frames kept ahead and one more.
      rendered_(2 * static_cast<size_t>(kMaxDeviceFrames + ahead_ + wwiseFrames_), 0.0f),
      talkerMs_(talkerProbes_.size()) {
  rawMic_.reserve(2 * captureFrames);
  for (auto& t : talkerMs_) t.store(0.0);
}

double LiveMeter::takeDbfs() {
  const int64_t e = energy.exchange(0), n = samples.exchange(0);
  return dbfs(static_cast<double>(e), static_cast<double>(n));
}

void LiveDrive::captured(const float* stereo, int frames) {
  for (int i = 0; i < frames; ++i) {
    block_[2 * fill_] = toInt16(stereo[2 * i]);
    block_[2 * fill_ + 1] = toInt16(stereo[2 * i + 1]);
    if (++fill_ == kBlock) {
      fill_ = 0;
      period();
    }
  }
}

void LiveDrive::render(float* stereo, int frames) {
  frames = std::min(frames, kMaxDeviceFrames);
  while (ready_ < frames + ahead_) {
    wwise_.renderLive(clock_.now(), rendered_.data() + 2 * ready_);
    ready_ += wwiseFrames_;
    micMs_.store(micProbe_.lastMs(), std::memory_order_relaxed);
    for (size_t i = 0; i < talkerProbes_.size(); ++i)
      talkerMs_[i].store(talkerProbes_[i]->lastMs(), std::memory_order_relaxed);
  }
  std::memcpy(stereo, rendered_.data(), sizeof(float) * 2 * static_cast<size_t>(frames));
  std::memmove(rendered_.data(), rendered_.data() + 2 * frames,
               sizeof(float) * 2 * static_cast<size_t>(ready_ - frames));
  ready_ -= frames;
  int64_t e = 0;
  for (int i = 0; i < 2 * frames; ++i) {
    const int64_t v = toInt16(stereo[i]);
    e += v * v;
  }
  speakers.add(e, 2 * frames);
}

void LiveDrive::period() {
  int64_t e = 0;
  for (int i = 0; i < 2 * kBlock; ++i) e += static_cast<int64_t>(block_[i]) * block_[i];
  mic.add(e, 2 * kBlock);
  if (rawMic_.size() + 2 * kBlock <= rawMic_.capacity())
    rawMic_.insert(rawMic_.end(), block_.begin(), block_.end());
  engine_.runRecordPeriod(block_.data());
  // What the canceller made of it, as handed to the bridge.
  const int64_t end = recordHistory_.produced();
  int64_t out = 0;
  for (int64_t f = end - kBlock; f < end; ++f) {
    int16_t l = 0, r = 0;
    if (!recordHistory_.frame(f, l, r)) continue;
    out += static_cast<int64_t>(l) * l + static_cast<int64_t>(r) * r;
  }
  published.add(out, 2 * kBlock);
  const bool settled = clock_.now() >= static_cast<int64_t>(kSettleSeconds * kRate);
  if (settled && dbfs(static_cast<double>(e), 2 * kBlock) > kHeardDbfs) {
    heardIn.add(e, 1);
    heardOut.add(out, 1);
  }
  engine_.runPlaybackPeriod();
}

bool runLive(const LiveConfig& config, LiveResult& r, std::string& error) {
  namespace fs = std::filesystem;
  r = LiveResult();
  r.wwiseFrames = config.wwiseFrames;
  r.refills = config.refills;
  r.extendedFilter = config.extendedFilter;
  r.reverse = config.reverse;
  if (!AudioDevices::available()) {
    error = AudioDevices::unavailableReason();
    return false;
  }
  if (!sim::SimEchoCanceller::available()) {
    error = "the stand-in SDK was built without the echo canceller (scripts/install-deps.sh demo)";
    return false;
  }
  std::vector<std::vector<int16_t>> speech;
  if (!talkerSpeech(speech, error)) return false;
  WrapperLibrary library;
  if (!library.loadOption(config.libraryPath, error)) return false;
  const WrapperApi& api = library.api();
  if (!makeOutputFolder(config.outDir, error)) return false;
  const std::string logPath = (fs::path(config.outDir) / "kivra_wwise_log.txt").string();
  std::error_code ec;
  fs::remove(logPath, ec);

  // What is kept: a session of known length up to captureSeconds keeps its
  // audio; an open-ended one keeps the first captureSeconds.
  const double keepSeconds =
      config.seconds > 0 ? std::min(config.seconds, config.captureSeconds) : config.captureSeconds;
  r.captured = keepSeconds > 0;
  const double room = keepSeconds + 2.0;
  const auto keepFrames = static_cast<int64_t>(room * kRate);

  sim::SimClock clock(sim::ClockMode::Real, kRate);
  sim::SimVoiceEngine engine(clock);
  engine.setChannelId("room1");
  const uint32_t uids[2] = {42, 43};
  const uint64_t objects[2] = {100, 101};
  const sim::SimVec3 positions[2] = {{-1.0f, 0.0f, 1.0f}, {1.2f, 0.0f, 1.5f}};
  for (size_t i = 0; i < 2; ++i) {
    sim::simDither(speech[i], 201 + static_cast<uint32_t>(i));
    engine.addTalkerSource("room1", uids[i],
                           sim::SimSource(speech[i], true, 301 + static_cast<uint32_t>(i)));
  }
  engine.setCaptureTracks(r.captured);
  engine.reserveSeconds(r.captured ? room : 0.0);
  sim::SimEchoConfig aecConfig;
  // The 128 ms filter: a sound server moves the echo path by a few ms now
  // and then, and the 48 ms one loses the echo for one to three seconds
  // each time (15 dB seconds in two of three 30 s PulseAudio runs; none
  // with the longer filter).
  aecConfig.extendedFilter = config.extendedFilter;
  if (!engine.enableEchoCanceller(aecConfig)) {
    error = "the echo canceller could not be set up";
    return false;
  }
  // The record history is both the uplink probe's source and, for a
  // captured session, the published track's key to the microphone.
  sim::SimMixHistory recordHistory(std::max<int64_t>(keepFrames, 10 * kRate));
  std::vector<std::unique_ptr<sim::SimMixHistory>> talkerHistory;
  for (size_t i = 0; i < 2; ++i) {
    talkerHistory.push_back(std::make_unique<sim::SimMixHistory>(10 * kRate));
    engine.setTalkerHistory(i, talkerHistory.back().get());
  }
  engine.setRecordHistory(&recordHistory);
  engine.setRecordDither(true);

  int trackId = -1;
  if (api.init(static_cast<rtc::IRtcEngine*>(&engine), &trackId, config.outDir.c_str()) != 0) {
    error = "KW_InitKivraWwisePlugin failed; see " + logPath;
    api.uninit();
    return false;
  }
  for (size_t i = 0; i < 2; ++i) api.setMapping(objects[i], "room1", uids[i]);

  sim::SimWwiseConfig wc;
  wc.framesPerBuffer = std::min(config.wwiseFrames, kMaxWwiseFrames);
  wc.identityMicEffect = true;
  wc.reserveSeconds = r.captured ? room : 0.0;
  wc.captureSpeakers = r.captured;
  wc.ditherMix = true;
  wc.pushReverse = config.reverse;
  if (config.bed) wc.bed = sim::SimSource(synthGameBed(kBedSeconds, config.bedDbfs), true);
  sim::SimWwise wwise(clock, wc);
  for (size_t i = 0; i < 2; ++i) wwise.addGameObject(objects[i], positions[i]);

  // Probes: what Wwise receives, found in what the engine handed over.
  const double hours = std::max(config.seconds, 3600.0) / 3600.0;
  const auto deliveries = static_cast<size_t>(hours * 3600.0 * kRate / 256.0) + 64;
  const auto minutes = static_cast<size_t>(hours * 60.0) + 2;
  sim::SimLatencyProbe micProbe(recordHistory);
  micProbe.reserve(deliveries, minutes);
  wwise.setMicProbe(&micProbe);
  std::vector<std::unique_ptr<sim::SimLatencyProbe>> talkerProbes;
  std::vector<sim::SimLatencyProbe*> talkerProbePtrs;
  for (size_t i = 0; i < 2; ++i) {
    talkerProbes.push_back(std::make_unique<sim::SimLatencyProbe>(*talkerHistory[i]));
    talkerProbes.back()->reserve(deliveries, minutes);
    wwise.setVoiceProbe(i, talkerProbes.back().get());
    talkerProbePtrs.push_back(talkerProbes.back().get());
  }

  LiveDrive session(clock, engine, wwise, recordHistory, micProbe, talkerProbePtrs,
                    static_cast<size_t>(keepFrames), config.refills);
  AudioDevices devices;
  if (!devices.open(config.devices, session, error)) {
    api.uninit();
    return false;
  }
  r.devices = devices.opened();
  if (!wwise.startLive()) {
    error = "the bridge handed the plugin side no callbacks";
    api.uninit();
    return false;
  }
  engine.startLive();
  r.streams.resize(3);
  r.streams[0].name = "uplink";
  for (size_t i = 0; i < 2; ++i) {
    r.streams[i + 1].name = "downlink uid " + std::to_string(uids[i]) + " channel room1";
    r.streams[i + 1].uid = uids[i];
  }
  LogFollower log(logPath);

  g_interrupted.store(false);
  auto previous = std::signal(SIGINT, onInterrupt);
  clock.start();
  if (!devices.start(error)) {
    devices.stop();
    std::signal(SIGINT, previous);
    wwise.stop();
    api.uninit();
    return false;
  }
  const auto t0 = std::chrono::steady_clock::now();
  int64_t second = 0;
  double rss = rssMb();
  double heardIn = 0, heardOut = 0, minuteIn = 0, minuteOut = 0;
  std::vector<int64_t> linesPerSecond;  // from kSettleSeconds on
  while (!g_interrupted.load()) {
    ++second;
    std::this_thread::sleep_until(t0 + std::chrono::seconds(second));
    const int64_t lines = log.poll(r.streams);
    r.logLines += lines;
    if (second > kSettleSeconds) {
      r.maxLogLinesPerSecond = std::max(r.maxLogLinesPerSecond, lines);
      linesPerSecond.push_back(lines);
    }
    rss = rssMb();
    if (second == static_cast<int64_t>(kSettleSeconds)) r.rssStartMb = rss;
    if (second % 60 == 0) r.rssMbMinute.push_back(rss);
    const double micDb = session.mic.takeDbfs(), pubDb = session.published.takeDbfs(),
                 spkDb = session.speakers.takeDbfs();
    // The canceller's ERLE over this second, and over each minute.
    const auto secondIn = static_cast<double>(session.heardIn.energy.exchange(0));
    const auto secondOut = static_cast<double>(session.heardOut.energy.exchange(0));
    heardIn += secondIn;
    heardOut += secondOut;
    minuteIn += secondIn;
    minuteOut += secondOut;
    if (second % 60 == 0) {
      r.erleMinuteDb.push_back(minuteIn > 0 ? db(minuteIn / std::max(1.0, minuteOut)) : 0.0);
      minuteIn = minuteOut = 0;
    }
    if (config.progress) {
      const DeviceCounters& c = devices.counters();
      int64_t actions = 0;
      for (const LiveStream& s : r.streams)
        actions += s.quietRemovals + s.crossfadeRemovals + s.insertions;
      std::fprintf(stderr,
                   "live %5llds  mic %6.1f  published %6.1f  speakers %6.1f dBFS | queues up %5.1f"
                   " / %5.1f / %5.1f ms | controller %lld | ERLE %5.1f dB | xruns in %lld/%lld"
                   " out %lld/%lld | short %lld | log %lld\n",
                   static_cast<long long>(second), micDb, pubDb, spkDb, session.micMs(),
                   session.talkerMs(0), session.talkerMs(1), static_cast<long long>(actions),
                   secondIn > 0 && secondOut > 0 ? db(secondIn / secondOut) : 0.0,
                   static_cast<long long>(c.inputOverflows.load()),
                   static_cast<long long>(c.inputUnderflows.load()),
                   static_cast<long long>(c.outputUnderflows.load()),
                   static_cast<long long>(c.outputOverflows.load()),
                   static_cast<long long>(wwise.micShortPulls() + wwise.voiceShortPulls(0) +
                                          wwise.voiceShortPulls(1)),
                   static_cast<long long>(lines));
    }
    if (config.seconds > 0 && second >= static_cast<int64_t>(std::ceil(config.seconds))) break;
  }
  devices.stop();
  std::signal(SIGINT, previous);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.rssEndMb = rssMb();
  engine.finishLive();
  wwise.drain();
  wwise.stop();
  api.uninit();
  r.logLines += log.poll(r.streams);
  // The log's rate over each minute (or over the whole of a shorter run).
  const size_t span = std::min<size_t>(60, linesPerSecond.size());
  int64_t inSpan = 0;
  for (size_t i = 0; i < linesPerSecond.size(); ++i) {
    inSpan += linesPerSecond[i];
    if (i >= span) inSpan -= linesPerSecond[i - span];
    if (i + 1 >= span && span > 0)
      r.maxLogRate =
          std::max(r.maxLogRate, static_cast<double>(inSpan) / static_cast<double>(span));
  }

  // ---- Figures.
  const DeviceCounters& c = devices.counters();
  auto period = [](int64_t frames, int64_t calls) {
    return calls > 0 ? static_cast<double>(frames) / static_cast<double>(calls) * 1e6 / kRate : 0;
  };
  r.inputPeriodUs = period(c.inputFrames.load(), c.inputCallbacks.load());
  r.outputPeriodUs = period(c.outputFrames.load(), c.outputCallbacks.load());
  r.inputOverflows = c.inputOverflows.load();
  r.inputUnderflows = c.inputUnderflows.load();
  r.outputUnderflows = c.outputUnderflows.load();
  r.outputOverflows = c.outputOverflows.load();
  r.inputOverruns = c.inputOverruns.load();
  r.outputOverruns = c.outputOverruns.load();
  r.longestInputMs = static_cast<double>(c.longestInputNanos.load()) / 1e6;
  r.longestOutputMs = static_cast<double>(c.longestOutputNanos.load()) / 1e6;
  if (const sim::SimEchoCanceller* aec = engine.echoCanceller()) {
    r.estimatedLeadMs = aec->delayEstimator().leadMs();
    r.referenceLateMs = aec->delayEstimator().referenceLateMs();
    r.toldDelayMs = aec->reportedDelayMs();
    r.heldBackMs = aec->holdMs();
    r.cancellerRestarts = aec->restarts();
    r.allocatingRestarts = aec->allocatingRestarts();
    r.cancellerBypasses = aec->bypasses();
    if (aec->delayFoundAtFrame() >= 0)
      r.leadFoundSeconds = static_cast<double>(aec->delayFoundAtFrame()) * 0.01;
  }
  r.referenceDropped = engine.referenceDropped();
  heardIn += static_cast<double>(session.heardIn.energy.exchange(0));
  heardOut += static_cast<double>(session.heardOut.energy.exchange(0));
  r.erleCancellerDb = heardIn > 0 ? db(heardIn / std::max(1.0, heardOut)) : 0.0;

  // The engine's calls run on the capture thread, Wwise's on the playback one.
  r.calls.push_back(callFigures("onRecordAudioFrame", engine.recordCallTimes(), r.inputPeriodUs));
  r.calls.push_back(
      callFigures("onPlaybackAudioFrameBeforeMixing", engine.talkerCallTimes(), r.inputPeriodUs));
  r.calls.push_back(callFigures("onPlaybackAudioFrame", engine.mixCallTimes(), r.inputPeriodUs));
  r.calls.push_back(callFigures("GetRecodeAudioFrame", wwise.micPullTimes(), r.outputPeriodUs));
  r.calls.push_back(
      callFigures("PushRecodeAudioFrameAfterEffect", wwise.micPushTimes(), r.outputPeriodUs));
  r.calls.push_back(
      callFigures("GetPlayoutAudioFrameByUid", wwise.voicePullTimes(), r.outputPeriodUs));
  r.calls.push_back(
      callFigures("PushPlayoutAudioFrameAfterEffect", wwise.mixPushTimes(), r.outputPeriodUs));

  const sim::SimLatencyProbe* probes[3] = {&micProbe, talkerProbes[0].get(), talkerProbes[1].get()};
  for (size_t i = 0; i < 3; ++i) {
    LiveStream& s = r.streams[i];
    s.backlogMs = backlogPerBlock(*probes[i], r.seconds, 60);
    s.backlog10sMs = backlogPerBlock(*probes[i], r.seconds, 10);
    double sum = 0;
    int64_t frames = 0;
    for (const sim::SimLatencyMinute& m : probes[i]->minutes()) {
      sum += m.sumMs;
      frames += m.frames;
    }
    s.meanMs = frames > 0 ? sum / static_cast<double>(frames) : 0;
    s.shortPulls = i == 0 ? wwise.micShortPulls() : wwise.voiceShortPulls(i - 1);
  }

  // ---- Audio kept, the published-track ERLE and the WAV files.
  if (r.captured) {
    const sim::SimTrackCapture pub = engine.track(trackId);
    publishedErle(session.rawMic(), recordHistory, pub.samples, r);
    double e = 0;
    for (int16_t v : session.rawMic()) e += static_cast<double>(v) * v;
    r.micDbfs = dbfs(e, static_cast<double>(session.rawMic().size()));
    e = 0;
    for (int16_t v : pub.samples) e += static_cast<double>(v) * v;
    r.publishedDbfs = dbfs(e, static_cast<double>(pub.samples.size()));
    std::vector<int16_t> spk(wwise.speakers().size());
    e = 0;
    for (size_t i = 0; i < spk.size(); ++i) {
      spk[i] = toInt16(wwise.speakers()[i]);
      e += static_cast<double>(spk[i]) * spk[i];
    }
    r.speakersDbfs = dbfs(e, static_cast<double>(spk.size()));
    const std::pair<const char*, const std::vector<int16_t>*> wavs[] = {
        {"microphone.wav", &session.rawMic()},
        {"published.wav", &pub.samples},
        {"speakers.wav", &spk}};
    for (const auto& w : wavs) {
      const std::string path = (fs::path(config.outDir) / w.first).string();
      if (!writeWav16(path, *w.second, 2, error)) return false;
      r.files.push_back(path);
    }
  }
  r.files.push_back(logPath);
  return true;
}

std::string liveReport(const LiveResult& r) {
  std::ostringstream o;
  o << "Live session: " << fmt("%.1f", r.seconds) << " s, Wwise frames " << r.wwiseFrames << " ("
    << r.refills << " rendered ahead)"
    << ", reverse stream " << (r.reverse ? "working" : "disabled") << "\n";
  o << "  input '" << r.devices.inputName << "' (" << r.devices.hostApi << ", "
    << r.devices.inputChannels << " ch, reported latency " << fmt("%.1f", r.devices.inputLatencyMs)
    << " ms, " << fmt("%.0f", r.inputPeriodUs) << " us per callback)\n";
  o << "  output '" << r.devices.outputName << "' (" << r.devices.outputChannels
    << " ch, reported latency " << fmt("%.1f", r.devices.outputLatencyMs) << " ms, "
    << fmt("%.0f", r.outputPeriodUs) << " us per callback)\n";
  o << "Devices, as PortAudio reports them: input overflows " << r.inputOverflows << ", underflows "
    << r.inputUnderflows << "; output underflows " << r.outputUnderflows << ", overflows "
    << r.outputOverflows << "\n";
  o << "  callbacks longer than their audio: input " << r.inputOverruns << " (longest "
    << fmt("%.2f", r.longestInputMs) << " ms), output " << r.outputOverruns << " (longest "
    << fmt("%.2f", r.longestOutputMs) << " ms)\n";
  o << "Echo canceller (" << (r.extendedFilter ? "128" : "48") << " ms filter): lead found ";
  if (r.estimatedLeadMs >= 0) {
    o << r.estimatedLeadMs << " ms at " << fmt("%.2f", r.leadFoundSeconds) << " s";
  } else if (r.referenceLateMs > 0) {
    o << "-" << r.referenceLateMs << " ms (the reference came after its echo)";
  } else {
    o << "none";
  }
  o << "; told " << r.toldDelayMs << " ms, held back " << r.heldBackMs << " ms; restarts "
    << r.cancellerRestarts << ", stood aside " << r.cancellerBypasses
    << ", reference frames dropped " << r.referenceDropped << "\n";
  o << "ERLE from " << fmt("%.0f", kSettleSeconds)
    << " s, where the microphone hears the speakers: ";
  if (r.captured) {
    o << fmt("%.1f", r.erlePublishedDb) << " dB on the published track (" << r.erleWindows
      << " windows of 100 ms), ";
  }
  o << fmt("%.1f", r.erleCancellerDb) << " dB after the canceller";
  if (!r.erleMinuteDb.empty()) {
    o << "; per minute";
    for (double e : r.erleMinuteDb) o << " " << fmt("%.1f", e);
  }
  o << "\n";
  if (r.captured) {
    o << "Levels: microphone " << fmt("%.1f", r.micDbfs) << ", published "
      << fmt("%.1f", r.publishedDbfs) << ", speakers " << fmt("%.1f", r.speakersDbfs) << " dBFS\n";
  }
  o << "Bridge calls (us): p50 / p99 / p99.9 / max, against 10% of the device period\n";
  for (const CallFigures& c : r.calls) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "  %-34s %8lld calls %7.1f %7.1f %7.1f %8.1f  (bound %.0f)%s\n", c.name.c_str(),
                  static_cast<long long>(c.calls), c.p50, c.p99, c.p999, c.max, c.periodUs * 0.1,
                  c.p999 <= c.periodUs * 0.1 ? "" : "  OVER");
    o << line;
  }
  o << "Streams (standing backlog: per 10 s, or per minute past ten minutes, the median of each\n"
       "second's least added latency)\n";
  for (const LiveStream& s : r.streams) {
    o << "  " << s.name << ": added latency mean " << fmt("%.1f", s.meanMs) << " ms; backlog";
    for (double b : r.seconds > 600 ? s.backlogMs : s.backlog10sMs) o << " " << fmt("%.1f", b);
    o << " ms; controller: " << s.quietRemovals << " quiet removals, " << s.crossfadeRemovals
      << " crossfades (" << s.removedFrames << " frames), " << s.insertions
      << " insertions; overflow lines " << s.overflowLines
      << "; short pulls with the queue holding enough " << s.shortPulls << "\n";
  }
  o << "Log: " << r.logLines << " lines; from " << fmt("%.0f", kSettleSeconds) << " s at most "
    << r.maxLogLinesPerSecond << " in one second and " << fmt("%.2f", r.maxLogRate)
    << " a second over any minute\n";
  o << "Memory: resident " << fmt("%.1f", r.rssStartMb) << " MB at " << fmt("%.0f", kSettleSeconds)
    << " s, " << fmt("%.1f", r.rssEndMb) << " MB at the end";
  if (!r.rssMbMinute.empty()) {
    o << "; per minute";
    for (double m : r.rssMbMinute) o << " " << fmt("%.1f", m);
  }
  o << "\n";
  for (const std::string& f : r.files) o << "  wrote " << f << "\n";
  return o.str();
}

std::string liveFiguresJson(const LiveResult& r) {
  std::ostringstream o;
  auto list = [&](const std::vector<double>& v) {
    o << "[";
    for (size_t i = 0; i < v.size(); ++i) o << (i ? ", " : "") << fmt("%.3f", v[i]);
    o << "]";
  };
  o << "{\n  \"seconds\": " << fmt("%.2f", r.seconds)
    << ",\n  \"reverse\": " << (r.reverse ? "true" : "false") << ",\n  \"host_api\": \""
    << r.devices.hostApi << "\",\n  \"input_period_us\": " << fmt("%.1f", r.inputPeriodUs)
    << ",\n  \"output_period_us\": " << fmt("%.1f", r.outputPeriodUs)
    << ",\n  \"input_overflows\": " << r.inputOverflows
    << ",\n  \"input_underflows\": " << r.inputUnderflows
    << ",\n  \"output_underflows\": " << r.outputUnderflows
    << ",\n  \"output_overflows\": " << r.outputOverflows
    << ",\n  \"estimated_lead_ms\": " << r.estimatedLeadMs
    << ",\n  \"told_delay_ms\": " << r.toldDelayMs
    << ",\n  \"erle_published_db\": " << fmt("%.2f", r.erlePublishedDb)
    << ",\n  \"erle_canceller_db\": " << fmt("%.2f", r.erleCancellerDb)
    << ",\n  \"erle_windows\": " << r.erleWindows
    << ",\n  \"canceller_restarts\": " << r.cancellerRestarts
    << ",\n  \"allocating_restarts\": " << r.allocatingRestarts
    << ",\n  \"max_log_lines_per_second\": " << r.maxLogLinesPerSecond
    << ",\n  \"max_log_rate_per_minute\": " << fmt("%.3f", r.maxLogRate)
    << ",\n  \"rss_start_mb\": " << fmt("%.1f", r.rssStartMb)
    << ",\n  \"rss_end_mb\": " << fmt("%.1f", r.rssEndMb) << ",\n  \"rss_minute_mb\": ";
  list(r.rssMbMinute);
  o << ",\n  \"erle_minute_db\": ";
  list(r.erleMinuteDb);
  o << ",\n  \"calls\": [";
  for (size_t i = 0; i < r.calls.size(); ++i) {
    const CallFigures& c = r.calls[i];
    o << (i ? ",\n" : "\n") << "    {\"name\": \"" << c.name << "\", \"calls\": " << c.calls
      << ", \"p50_us\": " << fmt("%.1f", c.p50) << ", \"p99_us\": " << fmt("%.1f", c.p99)
      << ", \"p999_us\": " << fmt("%.1f", c.p999) << ", \"max_us\": " << fmt("%.1f", c.max)
      << ", \"period_us\": " << fmt("%.1f", c.periodUs) << "}";
  }
  o << "\n  ],\n  \"streams\": [";
  for (size_t i = 0; i < r.streams.size(); ++i) {
    const LiveStream& s = r.streams[i];
    o << (i ? ",\n" : "\n") << "    {\"name\": \"" << s.name
      << "\", \"mean_ms\": " << fmt("%.2f", s.meanMs) << ", \"short_pulls\": " << s.shortPulls
      << ", \"overflow_lines\": " << s.overflowLines << ", \"quiet_removals\": " << s.quietRemovals
      << ", \"crossfade_removals\": " << s.crossfadeRemovals << ", \"insertions\": " << s.insertions
      << ", \"backlog_minute_ms\": ";
    list(s.backlogMs);
    o << ", \"backlog_10s_ms\": ";
    list(s.backlog10sMs);
    o << "}";
  }
  o << "\n  ]\n}\n";
  return o.str();
}

namespace {

const char* kLiveUsage =
    "Usage: kivra_demo --live [options]\n"
    "Runs the voice session live: the default (or chosen) capture device is the voice\n"
    "engine's microphone and drives its recording and playback; the output device plays\n"
    "what the simulated Wwise renders: two remote talkers placed left and right, and a game\n"
    "bed. The microphone goes through the engine's echo canceller, fed by the bridge's\n"
    "reverse stream, and through Wwise back to the published track. A line a second on\n"
    "stderr; Ctrl-C (or --seconds) stops, then the report and WAV files.\n"
    "\n"
    "Options:\n"
    "  --list-devices      list the audio devices and exit\n"
    "  --input DEV         capture device: an index or part of a name (default: the default)\n"
    "  --output DEV        playback device, the same way\n"
    "  --latency-ms MS     suggested device latency, 1..1000 (default: the device's low one;\n"
    "                      100 is steadier through PulseAudio)\n"
    "  --device-frames N   frames per device callback, 16..8192 (default: the host's choice)\n"
    "  --wwise-frames N    frames per Wwise buffer, 64..4096 (default 1024)\n"
    "  --wwise-refills N   buffers Wwise keeps rendered ahead of the output device, 0..8\n"
    "                      (default 2): its output latency beyond the device's own\n"
    "  --seconds S         stop after S seconds, 1..86400 (default: at Ctrl-C)\n"
    "  --no-reverse        Wwise never pushes its mix back: the canceller has no reference\n"
    "  --aec-filter basic|extended\n"
    "                      the canceller's adaptive filter, 48 or 128 ms (default extended)\n"
    "  --bed-dbfs D        the game bed's level, -120..-6 (default -32); --no-bed: none\n"
    "  --capture-seconds S audio kept for the WAV files and the published-track figures,\n"
    "                      0..600 (default 120)\n"
    "  --out DIR           output folder (default demo-out/live)\n"
    "  --library PATH      libKivraWwiseWrapper to load (default: the one built with the demo)\n"
    "  --quiet             no progress line\n"
    "  --host-messages     let the sound system print its own diagnostics\n"
    "\n"
    "Outputs in DIR: microphone.wav (what the device captured), published.wav (what the other\n"
    "players hear), speakers.wav (what Wwise rendered), report.txt, figures.json and the\n"
    "bridge's kivra_wwise_log.txt.\n"
    "Exit status: 0 success, 2 bad arguments, 3 the session could not run.\n";

int liveFail(const std::string& message) {
  std::fprintf(stderr, "kivra_demo --live: %s\n(see kivra_demo --live --help)\n", message.c_str());
  return 2;
}

}  // namespace

int liveMain(int argc, char** argv) {
  LiveConfig config;
  bool listOnly = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string v = hasValue ? argv[i + 1] : "";
    double d = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kLiveUsage, stdout);
      return 0;
    } else if (arg == "--list-devices") {
      listOnly = true;
    } else if (arg == "--input" && hasValue) {
      config.devices.input = v;
      ++i;
    } else if (arg == "--output" && hasValue) {
      config.devices.output = v;
      ++i;
    } else if (arg == "--latency-ms" && hasValue) {
      if (!parseNumber(v, 1, 1000, d)) return liveFail("--latency-ms '" + v + "': 1 to 1000");
      config.devices.latencySeconds = d / 1000.0;
      ++i;
    } else if (arg == "--device-frames" && hasValue) {
      if (!parseWhole(v, 16, 8192, config.devices.framesPerBuffer))
        return liveFail("--device-frames '" + v + "': a whole number from 16 to 8192");
      ++i;
    } else if (arg == "--wwise-frames" && hasValue) {
      if (!parseWhole(v, 64, kMaxWwiseFrames, config.wwiseFrames))
        return liveFail("--wwise-frames '" + v + "': a whole number from 64 to 4096");
      ++i;
    } else if (arg == "--wwise-refills" && hasValue) {
      if (!parseWhole(v, 0, kMaxRefills, config.refills))
        return liveFail("--wwise-refills '" + v + "': a whole number from 0 to 8");
      ++i;
    } else if (arg == "--seconds" && hasValue) {
      if (!parseNumber(v, 1, 86400, config.seconds))
        return liveFail("--seconds '" + v + "': 1 to 86400");
      ++i;
    } else if (arg == "--aec-filter" && hasValue && (v == "basic" || v == "extended")) {
      config.extendedFilter = v == "extended";
      ++i;
    } else if (arg == "--no-reverse") {
      config.reverse = false;
    } else if (arg == "--bed-dbfs" && hasValue) {
      if (!parseNumber(v, -120, -6, config.bedDbfs)) return liveFail("--bed-dbfs '" + v + "'");
      ++i;
    } else if (arg == "--no-bed") {
      config.bed = false;
    } else if (arg == "--capture-seconds" && hasValue) {
      if (!parseNumber(v, 0, 600, config.captureSeconds))
        return liveFail("--capture-seconds '" + v + "': 0 to 600");
      ++i;
    } else if (arg == "--out" && hasValue && !v.empty()) {
      config.outDir = v;
      ++i;
    } else if (arg == "--library" && hasValue) {
      config.libraryPath = v;
      ++i;
    } else if (arg == "--quiet") {
      config.progress = false;
    } else if (arg == "--host-messages") {
      config.devices.hostMessages = true;
    } else {
      return liveFail("unknown or incomplete option '" + arg + "'");
    }
  }
  if (listOnly) {
    AudioDevices devices;
    std::vector<DeviceInfo> list;
    std::string error;
    if (!devices.list(list, error)) {
      std::fprintf(stderr, "kivra_demo --live: %s\n", error.c_str());
      return 3;
    }
    for (const DeviceInfo& d : list) {
      std::printf("%3d  %-40s %-6s in %2d  out %2d  %6.0f Hz%s%s\n", d.index, d.name.c_str(),
                  d.hostApi.c_str(), d.inputChannels, d.outputChannels, d.defaultRate,
                  d.defaultInput ? "  default input" : "",
                  d.defaultOutput ? "  default output" : "");
    }
    return 0;
  }
  LiveResult result;
  std::string error;
  if (!runLive(config, result, error)) {
    std::fprintf(stderr, "kivra_demo --live: %s\n", error.c_str());
    return 3;
  }
  const std::string report = liveReport(result);
  std::fputs(report.c_str(), stdout);
  namespace fs = std::filesystem;
  std::ofstream(fs::path(config.outDir) / "report.txt") << report;
  std::ofstream(fs::path(config.outDir) / "figures.json") << liveFiguresJson(result);
  return 0;
}

}  // namespace demo
}  // namespace kivra
