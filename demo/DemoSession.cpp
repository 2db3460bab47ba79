#include "DemoSession.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "DemoAudio.h"
#include "DemoLibrary.h"
#include "DemoReport.h"
#include "KivraSimVoiceEngine.h"

namespace kivra {
namespace demo {
namespace {

constexpr int kBlockSamples = 960;  // 10 ms of 48 kHz stereo

// The published value of a microphone sample: int16 -> float x 1/32768 as the
// bridge hands it to Wwise, the effect, float -> int16 x 32767 truncated as
// the bridge publishes it. With the identity this is exactly s - sign(s).
int16_t expectedPublished(int16_t s, bool identity, float gain) {
  float x = static_cast<float>(s) * (1.0f / 32768.0f);
  if (!identity) x = std::min(1.0f, std::max(-1.0f, x * gain));
  return floatToInt16(x);
}

// Counts the log lines holding `needle` (and, if given, `needle2` after it).
struct LogCounts {
  int64_t lines = 0;
  int64_t recordOverflow = 0;
  int64_t reverseOverflow = 0;
  std::vector<std::pair<uint32_t, int64_t>> playbackOverflow;  // uid, lines
  // The latency controller's lines, by queue name ("uplink", "reverse",
  // "downlink uid 42 channel room1").
  std::map<std::string, LatencyStats> controller;
};

// "latency NAME: removed N frames in a quiet stretch ...", "... with a ...
// crossfade", "inserted N frames ...", "... N stale frames discarded ...".
void readControllerLine(const std::string& line, LogCounts& counts) {
  const size_t at = line.find(" latency ");
  if (at == std::string::npos) return;
  const size_t colon = line.find(": ", at + 9);
  if (colon == std::string::npos) return;
  LatencyStats& c = counts.controller[line.substr(at + 9, colon - at - 9)];
  const char* rest = line.c_str() + colon + 2;
  int n = 0;
  if (std::sscanf(rest, "removed %d frames", &n) == 1) {
    if (line.find("in a quiet stretch", colon) != std::string::npos) {
      ++c.quietRemovals;
      c.quietFrames += n;
    } else {
      ++c.crossfades;
      c.crossfadeFrames += n;
    }
  } else if (std::sscanf(rest, "inserted %d frames", &n) == 1) {
    ++c.insertions;
    c.insertedFrames += n;
  } else if (std::sscanf(rest, "queue full for longer than it holds, %d stale frames", &n) == 1) {
    ++c.staleEvents;
    c.staleFrames += n;
  } else if (std::sscanf(rest, "pulled again; %d more frames of stale audio", &n) == 1) {
    c.staleFrames += n;
  }
}

// How many lines one log line stands for: 1, or n for the bridge's summary
// "repeated <n> times in <t> ms, not written: <line>" of a line it repeated.
int64_t linesIn(const std::string& line) {
  const size_t at = line.find(" repeated ");
  long long n = 0;
  if (at != std::string::npos && line.find(", not written: ", at) != std::string::npos &&
      std::sscanf(line.c_str() + at, " repeated %lld times", &n) == 1) {
    return n;
  }
  return 1;
}

LogCounts readLog(const std::string& path) {
  LogCounts counts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    ++counts.lines;
    readControllerLine(line, counts);
    const int64_t n = linesIn(line);
    if (line.find("record data is overflow") != std::string::npos) counts.recordOverflow += n;
    if (line.find("reverse float audio frame overflow") != std::string::npos) {
      counts.reverseOverflow += n;
    }
    const std::string key = "playback uid ";
    const size_t at = line.find(key);
    if (at != std::string::npos && line.find("data overflow", at) != std::string::npos) {
      const uint32_t uid =
          static_cast<uint32_t>(std::strtoul(line.c_str() + at + key.size(), nullptr, 10));
      bool found = false;
      for (auto& p : counts.playbackOverflow) {
        if (p.first == uid) {
          p.second += n;
          found = true;
        }
      }
      if (!found) counts.playbackOverflow.emplace_back(uid, n);
    }
  }
  return counts;
}

double rmsDb(const std::vector<float>& interleaved, size_t channel) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = channel; i < interleaved.size(); i += 2) {
    sum += static_cast<double>(interleaved[i]) * interleaved[i];
    ++n;
  }
  if (n == 0 || sum <= 0) return -120.0;
  return std::max(-120.0, 10.0 * std::log10(sum / static_cast<double>(n)));
}

// Depth of one queue over time: what the engine pushed minus what Wwise
// pulled, from the simulator's own records.
struct DepthEvent {
  int64_t time;
  int order;  // engine before Wwise at the same time, as the clock runs them
  int64_t delta;
};

std::vector<TimePoint> depthSeries(std::vector<DepthEvent> events) {
  std::stable_sort(events.begin(), events.end(), [](const DepthEvent& a, const DepthEvent& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  // A step line: each change is drawn as a vertical edge at its time.
  std::vector<TimePoint> out;
  out.reserve(events.size() * 2);
  int64_t depth = 0;
  for (const DepthEvent& e : events) {
    const double t = static_cast<double>(e.time) / kRate;
    out.push_back({t, static_cast<double>(std::max<int64_t>(0, depth))});
    depth += e.delta;
    out.push_back({t, static_cast<double>(std::max<int64_t>(0, depth))});
  }
  return out;
}

void drawProgress(double done, double total, bool final) {
  const int width = 40;
  const double f = total > 0 ? std::min(1.0, std::max(0.0, done / total)) : 1.0;
  const int filled = static_cast<int>(f * width);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(width - filled), '.');
  std::fprintf(stderr, "\r[%s] %3d%% %6.2f / %.2f s", bar.c_str(), static_cast<int>(f * 100), done,
               total);
  if (final) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

}  // namespace

SessionConfig defaultSession() {
  SessionConfig c;
  TalkerConfig a;
  a.channel = "room1";
  a.uid = 42;
  a.object = 100;
  a.pos = {-3.0f, 0.0f, 1.0f};
  TalkerConfig b;
  b.channel = "room1";
  b.uid = 43;
  b.object = 101;
  b.pos = {4.0f, 0.0f, 2.0f};
  c.talkers = {a, b};
  return c;
}

SessionConfig longSession() {
  SessionConfig c = defaultSession();
  c.preset = "long";
  c.seconds = 3600.0;
  c.enginePpm = 100.0;
  c.wwisePpm = -100.0;
  for (double at = 120.0; at < 3600.0; at += 240.0) c.stalls.push_back({at, 0.3});
  c.stalls.push_back({31 * 60.0, 2.0});
  c.talkers[1].virtualSpans.push_back({20 * 60.0, 60.0});
  return c;
}

bool prepareInputs(SessionConfig& config, std::string& error) {
  // A long session loops its inputs: a minute of synthesised voice will do.
  const double synthSeconds = [&] {
    const double s = config.seconds > 0 ? config.seconds : 4.0;
    return s > kCaptureSeconds ? 60.0 : s;
  }();
  if (!config.micWav.empty()) {
    if (!loadAudioFile(config.micWav, config.mic, error)) {
      error = "--mic: " + error;
      return false;
    }
    if (config.seconds <= 0) {
      // The microphone's length, rounded up to whole 10 ms blocks.
      const double blocks = std::ceil(static_cast<double>(config.mic.size()) / kBlockSamples);
      config.seconds = blocks / 100.0;
      if (config.seconds < kMinSeconds) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "--mic: '%s' lasts %.2f s, a session at least %.0f s; give --seconds to "
                      "follow it with silence",
                      config.micWav.c_str(), config.seconds, kMinSeconds);
        error = text;
        return false;
      }
    }
  } else {
    if (config.seconds <= 0) config.seconds = 4.0;
    VoiceParams v;
    v.f0 = 125.0;
    v.seed = 7;
    v.level = 0.4;
    config.mic = synthVoice(synthSeconds, v);
  }
  // -84 dBFS of dither makes every frame unique, so the latency probes can
  // find each delivered frame in its source even in silence.
  sim::simDither(config.mic, 1);
  for (size_t i = 0; i < config.talkers.size(); ++i) {
    TalkerConfig& t = config.talkers[i];
    if (!t.wav.empty()) {
      if (!loadAudioFile(t.wav, t.samples, error)) {
        error = "--talker uid=" + std::to_string(t.uid) + ": " + error;
        return false;
      }
    } else {
      VoiceParams v;
      v.f0 =
          i % 2 == 0 ? 210.0 + 15.0 * static_cast<double>(i) : 95.0 + 10.0 * static_cast<double>(i);
      v.syllableRate = 3.5 + 0.7 * static_cast<double>(i % 3);
      v.seed = 100 + static_cast<unsigned>(i);
      v.level = 0.3;
      v.startDelay = 0.15 * static_cast<double>(i + 1);
      t.samples = synthVoice(synthSeconds, v);
    }
    sim::simDither(t.samples, 101 + static_cast<uint32_t>(i));
  }
  return true;
}

bool checkOutputs(const SessionConfig& config, std::string& error) {
  namespace fs = std::filesystem;
  {
    WrapperLibrary library;
    if (!library.loadOption(config.libraryPath, error)) return false;
  }
  std::error_code ec;
  fs::create_directories(config.outDir, ec);
  if (ec || !fs::is_directory(config.outDir)) {
    error = "--out: cannot create folder '" + config.outDir + "'" +
            (ec ? " (" + ec.message() + ")" : std::string());
    return false;
  }
  const fs::path probe = fs::path(config.outDir) / ".kivra_demo_write_check";
  bool writable = false;
  {
    std::ofstream f(probe);
    writable = static_cast<bool>(f << "x" << std::flush);
  }
  fs::remove(probe, ec);
  if (!writable) {
    error = "--out: cannot write in folder '" + config.outDir + "'";
    return false;
  }
  return true;
}

bool parseWwiseChannels(const std::string& text, int& channels) {
  const std::pair<const char*, int> names[] = {{"mono", 1}, {"stereo", 2}, {"5.1", 6}, {"7.1", 8}};
  for (const auto& n : names) {
    if (text == n.first) {
      channels = n.second;
      return true;
    }
  }
  return false;
}

const char* wwiseChannelsName(int channels) {
  return channels == 1 ? "mono" : channels == 6 ? "5.1" : channels == 8 ? "7.1" : "stereo";
}

bool runSession(const SessionConfig& config, SessionResult& r, std::string& error) {
  namespace fs = std::filesystem;
  r = SessionResult();
  r.clockName = config.clock == sim::ClockMode::Real ? "real" : "virtual";
  r.wwiseFrames = config.wwiseFrames;
  r.wwiseRate = config.wwiseRate;
  r.toldRate = config.toldRate;
  r.wwiseChannels = config.wwiseChannels;
  r.monoVoices = config.monoVoices;
  r.gain = config.gain;
  r.verify = config.verify;

  WrapperLibrary library;
  if (!library.loadOption(config.libraryPath, error)) return false;
  const WrapperApi& api = library.api();
  if (!makeOutputFolder(config.outDir, error)) return false;
  const std::string logPath = (fs::path(config.outDir) / "kivra_wwise_log.txt").string();

  const int64_t totalFrames =
      static_cast<int64_t>(std::llround(config.seconds * 100.0)) * (kRate / 100);
  r.seconds = static_cast<double>(totalFrames) / kRate;
  r.captured = r.seconds <= kCaptureSeconds;
  const bool disturbed = config.enginePpm != 0 || config.wwisePpm != 0 || !config.stalls.empty() ||
                         config.toldLater != 0 ||
                         std::any_of(config.talkers.begin(), config.talkers.end(),
                                     [](const TalkerConfig& t) { return !t.virtualSpans.empty(); });
  auto span = [](const SpanConfig& c) {
    return sim::SimSpan{std::llround(c.at * kRate), std::llround(c.seconds * kRate)};
  };

  sim::SimClock clock(config.clock, kRate);
  clock.setEnd(totalFrames);
  sim::SimVoiceEngine engine(clock);
  engine.setChannelId(config.channel);
  // A long session loops its inputs, each pass with its own dither.
  engine.setMicrophoneSource(sim::SimSource(config.mic, !r.captured, 1));
  for (size_t i = 0; i < config.talkers.size(); ++i) {
    const TalkerConfig& t = config.talkers[i];
    engine.addTalkerSource(t.channel, t.uid,
                           sim::SimSource(t.samples, !r.captured, 101 + static_cast<uint32_t>(i)));
  }
  engine.setClockPpm(config.enginePpm);
  engine.setCaptureTracks(r.captured);
  engine.reserveSeconds(r.captured ? r.seconds + 1.0 : 0.0);

  // Wwise's rate is told before the bridge binds, as a game does when it
  // sets Wwise up; 0 tells nothing (the bridge then serves 48 kHz).
  const int rate = config.wwiseRate;
  const int served = config.toldRate > 0 ? config.toldRate : kRate;
  if (config.toldRate > 0 && api.setRate(config.toldRate) != 0) {
    error = "--wwise-rate: the bridge refused " + std::to_string(config.toldRate) + " Hz";
    return false;
  }
  int trackId = -1;
  if (api.init(static_cast<rtc::IRtcEngine*>(&engine), &trackId, config.outDir.c_str()) != 0) {
    error = "KW_InitKivraWwisePlugin failed; see " + logPath;
    api.uninit();
    return false;
  }
  for (const TalkerConfig& t : config.talkers) api.setMapping(t.object, t.channel.c_str(), t.uid);

  sim::SimWwiseConfig wc;
  wc.framesPerBuffer = config.wwiseFrames;
  wc.sampleRate = rate;
  wc.masterChannels = config.wwiseChannels;
  wc.monoVoices = config.monoVoices;
  wc.micGain = config.gain;
  wc.identityMicEffect = config.verify;
  wc.reserveSeconds = r.captured ? r.seconds + 1.0 : 0.0;
  wc.captureVoices = r.captured;
  wc.captureSpeakers = r.captured;
  wc.clockPpm = config.wwisePpm;
  for (const SpanConfig& st : config.stalls) wc.stalls.push_back(span(st));
  sim::SimWwise wwise(clock, wc);
  for (const TalkerConfig& t : config.talkers) wwise.addGameObject(t.object, t.pos);
  for (size_t i = 0; i < config.talkers.size(); ++i) {
    for (const SpanConfig& v : config.talkers[i].virtualSpans) wwise.addVirtualSpan(i, span(v));
  }

  // Latency probes: each finds what Wwise receives in the source the engine
  // handed over (480-frame blocks; the microphone's when complete, the
  // talkers' when due to be played). At another rate than the devices' the
  // engine converts, so the probes look in what it handed the bridge, kept
  // as it went.
  const bool converted = served != kRate;
  const sim::SimEngineSourceView micView(engine.microphone(), 480, true, config.enginePpm,
                                         engine.recordProgress());
  const int64_t historyFrames = 10LL * rate;
  sim::SimMixHistory micHistory(historyFrames);
  std::vector<std::unique_ptr<sim::SimMixHistory>> talkerHistories;
  if (converted) engine.setRecordHistory(&micHistory);
  sim::SimLatencyProbe micProbe(converted ? static_cast<const sim::SimProbeSource&>(micHistory)
                                          : static_cast<const sim::SimProbeSource&>(micView));
  std::vector<std::unique_ptr<sim::SimEngineSourceView>> talkerViews;
  std::vector<std::unique_ptr<sim::SimLatencyProbe>> talkerProbes;
  const double spacing = r.captured ? 0.0 : 0.5;
  const size_t deliveries =
      static_cast<size_t>(r.seconds * kRate / std::max(16, config.wwiseFrames)) + 64;
  const size_t minutes = static_cast<size_t>(r.seconds / 60.0) + 2;
  micProbe.setPointSpacing(spacing);
  micProbe.reserve(deliveries, minutes);
  // A rate told during the session changes what the engine hands over in
  // its middle: the probes cannot follow, and measure nothing then.
  const bool probes = config.toldLater == 0;
  if (probes) wwise.setMicProbe(&micProbe);
  for (size_t i = 0; i < config.talkers.size(); ++i) {
    talkerViews.push_back(std::make_unique<sim::SimEngineSourceView>(
        engine.talkerSource(i), 480, false, config.enginePpm, engine.playbackProgress()));
    talkerHistories.push_back(std::make_unique<sim::SimMixHistory>(historyFrames));
    if (converted) engine.setTalkerHistory(i, talkerHistories.back().get());
    talkerProbes.push_back(std::make_unique<sim::SimLatencyProbe>(
        converted ? static_cast<const sim::SimProbeSource&>(*talkerHistories.back())
                  : static_cast<const sim::SimProbeSource&>(*talkerViews.back())));
    talkerProbes.back()->setPointSpacing(spacing);
    talkerProbes.back()->reserve(deliveries, minutes);
    // A mono voice's buffer holds the mean of both channels: not a frame of
    // the talker's stereo source, so it cannot be placed.
    if (probes && !config.monoVoices) wwise.setVoiceProbe(i, talkerProbes.back().get());
  }
  if (!wwise.start()) {
    error = "the bridge handed the plugin side no callbacks";
    api.uninit();
    return false;
  }
  engine.start();

  const auto wall0 = std::chrono::steady_clock::now();
  // The game's thread, when it tells a rate during the session: a participant
  // of the clock, so that it acts at its time in virtual time too.
  std::thread game;
  if (config.toldLater > 0) {
    const int task = clock.addTask("game", 3);
    const int64_t at = std::llround(config.toldLaterAt * kRate);
    game = std::thread([&clock, &api, &config, task, at] {
      if (clock.waitUntil(task, at)) api.setRate(config.toldLater);
      clock.finish(task);
    });
  }
  clock.start();
  while (!clock.done()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(config.progress ? 50 : 10));
    if (config.progress) drawProgress(static_cast<double>(clock.now()) / kRate, r.seconds, false);
  }
  engine.join();
  wwise.join();
  if (game.joinable()) game.join();
  r.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  if (config.progress) drawProgress(r.seconds, r.seconds, true);
  wwise.drain();
  wwise.stop();
  api.uninit();

  // ---- Uplink: microphone -> published track.
  const sim::SimTrackCapture published = engine.track(trackId);
  const sim::SimTrackCapture aec = engine.trackOfType(rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE);
  const std::vector<sim::SimBlockEvent>& rec = engine.recordEvents();
  const std::vector<sim::SimWwiseFrame>& wf = wwise.frames();
  const std::vector<int16_t>& pub = published.samples;
  auto micAt = [&](int64_t i) -> int16_t {
    return i < static_cast<int64_t>(config.mic.size()) ? config.mic[static_cast<size_t>(i)] : 0;
  };
  // Which blocks the bridge's queue (19200 samples, all or nothing) had room
  // for, replayed from what the engine pushed and Wwise pulled, in clock
  // order. The published content below confirms it sample by sample. This
  // holds for undisturbed sessions only: with drift, stalls or virtual
  // voices the latency controller removes audio too, and the probes check
  // the content instead.
  const bool exact = r.captured && !disturbed && !converted && rate == kRate;
  std::vector<bool> accepted(rec.size(), false);
  if (exact) {
    size_t ri = 0, fi = 0;
    int64_t depth = 0;
    while (ri < rec.size() || fi < wf.size()) {
      const bool takeRec = fi >= wf.size() || (ri < rec.size() && rec[ri].time <= wf[fi].time);
      if (takeRec) {
        if (depth + rec[ri].samples <= 19200) {
          accepted[ri] = true;
          depth += rec[ri].samples;
        } else {
          r.micDrops.push_back(static_cast<double>(rec[ri].time) / kRate);
        }
        ++ri;
      } else {
        depth -= std::min<int64_t>(depth, 2 * static_cast<int64_t>(wf[fi].micPulled));
        ++fi;
      }
    }
  }
  const int tolerance = config.verify ? 0 : 1;
  int64_t delivered = 0, pubPos = 0, contentDiffs = 0;
  int64_t firstDiff = -1, firstDiffMic = 0;
  int16_t diffWant = 0, diffGot = 0;
  double latencySum = 0;
  size_t frameIdx = 0;
  std::vector<TimePoint> latency;
  for (size_t ei = 0; ei < rec.size(); ++ei) {
    const sim::SimBlockEvent& e = rec[ei];
    delivered += e.samples;
    if (!exact) continue;
    if (!accepted[ei] || pubPos >= static_cast<int64_t>(pub.size())) continue;
    const int64_t len = std::min<int64_t>(e.samples, static_cast<int64_t>(pub.size()) - pubPos);
    for (int64_t k = 0; k < len; ++k) {
      const int want = expectedPublished(micAt(e.offset + k), config.verify, config.gain);
      const int got = pub[static_cast<size_t>(pubPos + k)];
      if (std::abs(want - got) > tolerance) {
        if (firstDiff < 0) {
          firstDiff = pubPos + k;
          firstDiffMic = e.offset + k;
          diffWant = static_cast<int16_t>(want);
          diffGot = static_cast<int16_t>(got);
        }
        ++contentDiffs;
      }
    }
    // Latency of every sample of the block: its publication time minus the
    // time the engine handed the block to the bridge.
    for (int64_t k = 0; k < len; ++k) {
      const int64_t q = pubPos + k;
      while (frameIdx + 1 < published.frames.size() && published.frames[frameIdx + 1].offset <= q) {
        ++frameIdx;
      }
      const double ms =
          static_cast<double>(published.frames[frameIdx].time - e.time) * 1000.0 / kRate;
      latencySum += ms;
      r.latencyMaxMs = std::max(r.latencyMaxMs, ms);
      ++r.latencySamples;
      if (k == 0) latency.push_back({static_cast<double>(e.time) / kRate, ms});
    }
    pubPos += len;
  }
  r.latency = std::move(latency);
  r.latencyMeanMs = r.latencySamples > 0 ? latencySum / static_cast<double>(r.latencySamples) : 0;
  const int64_t unmatched = exact ? static_cast<int64_t>(pub.size()) - pubPos : 0;
  r.uplinkContentDiffs = contentDiffs + unmatched;

  const std::string logFile = logPath;
  const LogCounts log = readLog(logFile);
  r.logLines = log.lines;
  r.uplink.name = "microphone -> published (direct track)";
  r.uplink.samples = published.pushedSamples;
  r.uplink.remaining = wwise.micFramesDrained() * 2;
  r.uplink.droppedLog = log.recordOverflow;
  auto controllerOf = [&](const std::string& name) {
    const auto it = log.controller.find(name);
    return it != log.controller.end() ? it->second : LatencyStats();
  };
  // Removed by the latency controller: not dropped blocks.
  auto removedSamples = [](const LatencyStats& c) {
    return 2 * (c.quietFrames + c.crossfadeFrames + c.staleFrames - c.insertedFrames);
  };
  r.uplink.latency = controllerOf("uplink");
  r.uplink.droppedCount = (delivered - r.uplink.samples - r.uplink.remaining -
                           removedSamples(r.uplink.latency) + kBlockSamples - 1) /
                          kBlockSamples;
  r.uplink.underruns = wwise.micUnderruns();
  r.micNotSilenced = engine.micSamplesNotSilenced();

  // ---- Downlink: engine -> Wwise per talker.
  const size_t nv = wwise.voiceCount();
  const std::vector<int32_t>& vp = wwise.voicePulled();
  for (size_t i = 0; i < config.talkers.size(); ++i) {
    const TalkerConfig& t = config.talkers[i];
    StreamStats s;
    s.name = "talker " + t.channel + "/" + std::to_string(t.uid) + " -> object " +
             std::to_string(t.object);
    s.samples = wwise.voiceFramesPulled(i) * 2;
    s.remaining = wwise.voiceFramesDrained(i) * 2;
    const int64_t offered = engine.talkerSamplesOffered(i);
    s.latency = controllerOf("downlink uid " + std::to_string(t.uid) + " channel " + t.channel);
    s.droppedCount =
        (offered - s.samples - s.remaining - removedSamples(s.latency) + kBlockSamples - 1) /
        kBlockSamples;
    for (const auto& p : log.playbackOverflow) {
      if (p.first == t.uid) s.droppedLog = p.second;
    }
    s.underruns = wwise.voiceUnderruns(i);
    // What Wwise received must be the talker's blocks the bridge accepted
    // (the engine saw every refusal), in order, sample for sample.
    if (exact) {
      const std::vector<int16_t>& got = wwise.voiceCapture(i);
      const std::vector<int64_t>& refused = engine.talkerRejections(i);
      size_t ri = 0, at = 0;
      int64_t diffs = 0;
      for (const sim::SimBlockEvent& e : engine.playbackEvents()) {
        while (ri < refused.size() && refused[ri] < e.time) ++ri;
        if (ri < refused.size() && refused[ri] == e.time) {
          ++ri;
          continue;
        }
        for (int32_t k = 0; k < e.samples && at < got.size(); ++k, ++at) {
          const int64_t src = e.offset + k;
          const int16_t want = src < static_cast<int64_t>(t.samples.size())
                                   ? t.samples[static_cast<size_t>(src)]
                                   : 0;
          if (got[at] != want) ++diffs;
        }
      }
      s.contentDiffs = diffs;
    }
    r.talkers.push_back(s);
    if (!exact) continue;

    std::vector<DepthEvent> ev;
    const std::vector<int64_t>& rej = engine.talkerRejections(i);
    std::vector<double> drops;
    size_t ri = 0;
    for (const sim::SimBlockEvent& e : engine.playbackEvents()) {
      bool rejected = false;
      while (ri < rej.size() && rej[ri] < e.time) ++ri;
      if (ri < rej.size() && rej[ri] == e.time) {
        rejected = true;
        ++ri;
        drops.push_back(static_cast<double>(e.time) / kRate);
      }
      if (!rejected) ev.push_back({e.time, 0, e.samples / 2});
    }
    for (size_t f = 0; f < wf.size(); ++f) ev.push_back({wf[f].time, 1, -vp[f * nv + i]});
    r.talkerDepth.push_back(depthSeries(std::move(ev)));
    r.talkerDrops.push_back(std::move(drops));
  }
  if (exact) {
    std::vector<DepthEvent> ev;
    for (size_t ei = 0; ei < rec.size(); ++ei) {
      if (accepted[ei]) ev.push_back({rec[ei].time, 0, rec[ei].samples / 2});
    }
    for (const sim::SimWwiseFrame& f : wf) ev.push_back({f.time, 1, -f.micPulled});
    r.micDepth = depthSeries(std::move(ev));
  }

  // ---- Latency as the probes measured it.
  auto fill = [&](LatencyStats& L, const sim::SimLatencyProbe& p) {
    L.minutes = p.minutes();
    double sum = 0;
    int64_t n = 0;
    for (const sim::SimLatencyMinute& m : L.minutes) {
      sum += m.sumMs;
      n += m.frames;
      L.maxMs = std::max(L.maxMs, m.maxMs);
    }
    L.meanMs = n > 0 ? sum / static_cast<double>(n) : 0;
    for (const sim::SimLatencyPoint& pt : p.trace()) L.trace.push_back({pt.seconds, pt.ms});
    L.placed = p.placed();
    L.unplaced = p.unplaced();
    L.skippedFrames = p.skipped();
    L.gaps = p.gaps();
  };
  fill(r.uplink.latency, micProbe);
  for (size_t i = 0; i < r.talkers.size(); ++i) fill(r.talkers[i].latency, *talkerProbes[i]);

  // ---- Reverse: the Wwise mix -> AEC reference track.
  const std::vector<float>& speakers = wwise.speakers();
  std::vector<int16_t> speakers16(speakers.size());
  for (size_t i = 0; i < speakers.size(); ++i) speakers16[i] = floatToInt16(speakers[i]);
  r.reverse.name = "Wwise mix -> AEC reference track";
  r.reverse.samples = aec.pushedSamples;
  r.reverse.droppedLog = log.reverseOverflow;
  const int64_t mixSamples = wwise.reversePushes() * wwise.config().framesPerBuffer * 2;
  r.reverse.droppedCount =
      (std::max<int64_t>(0, mixSamples - r.reverse.samples) + kBlockSamples - 1) / kBlockSamples;
  // The engine keeps the reference at its own rate: compared at 48 kHz only.
  const size_t common = converted || rate != kRate || config.wwiseChannels != 2
                            ? 0
                            : std::min(aec.samples.size(), speakers16.size());
  for (size_t i = 0; i < common; ++i) {
    if (std::abs(aec.samples[i] - speakers16[i]) > 1) ++r.aecMismatches;
  }
  r.speakersLeftDb = rmsDb(speakers, 0);
  r.speakersRightDb = rmsDb(speakers, 1);

  const double tens = r.seconds * 100.0;
  r.observerUsPer10ms = tens > 0 ? static_cast<double>(engine.observerNanos()) / 1000.0 / tens : 0;
  r.pluginUsPer10ms = tens > 0 ? static_cast<double>(wwise.callbackNanos()) / 1000.0 / tens : 0;

  // ---- Verification.
  if (config.verify) {
    char msg[512];
    const bool accounted = delivered == r.uplink.samples + r.uplink.remaining;
    int64_t talkerDiffs = 0;
    for (const StreamStats& t : r.talkers) talkerDiffs += t.contentDiffs;
    if (r.uplink.samples == 0) {
      r.verifyOk = false;
      std::snprintf(msg, sizeof msg, "FAILED: nothing was published");
    } else if (contentDiffs > 0 || unmatched > 0) {
      r.verifyOk = false;
      std::snprintf(msg, sizeof msg,
                    "FAILED: %lld published samples differ; the first, sample %lld: expected %d "
                    "(microphone sample %lld = %d), published %d",
                    static_cast<long long>(contentDiffs + unmatched),
                    static_cast<long long>(firstDiff), diffWant,
                    static_cast<long long>(firstDiffMic), micAt(firstDiffMic), diffGot);
    } else if (talkerDiffs > 0) {
      r.verifyOk = false;
      std::snprintf(msg, sizeof msg,
                    "FAILED: %lld talker samples reached Wwise with another value than the "
                    "talker's own",
                    static_cast<long long>(talkerDiffs));
    } else if (!accounted || r.uplink.droppedLog > 0) {
      r.verifyOk = false;
      std::snprintf(msg, sizeof msg,
                    "FAILED: %lld samples recorded, %lld published, %lld still queued, %lld "
                    "overflow lines",
                    static_cast<long long>(delivered), static_cast<long long>(r.uplink.samples),
                    static_cast<long long>(r.uplink.remaining),
                    static_cast<long long>(r.uplink.droppedLog));
    } else {
      r.verifyOk = true;
      std::snprintf(msg, sizeof msg,
                    "OK: the published track equals the microphone input sample for sample "
                    "(%lld samples, %.2f s, each the exact int16 -> float x 1/32768 -> int16 x "
                    "32767 truncated value; no gap, repeat or reordering; %lld samples still "
                    "queued at the end; every talker sample reached Wwise exactly)",
                    static_cast<long long>(r.uplink.samples), r.uplink.seconds(),
                    static_cast<long long>(r.uplink.remaining));
    }
    r.verifyMessage = msg;
  }

  // ---- Outputs.
  auto out = [&](const char* name) { return (fs::path(config.outDir) / name).string(); };
  // The microphone as the engine was fed it: cut at the session's end, or
  // followed by silence when the input is shorter.
  std::vector<int16_t> micIn(r.captured ? static_cast<size_t>(totalFrames * 2) : 0, 0);
  std::copy_n(config.mic.begin(), std::min(config.mic.size(), micIn.size()), micIn.begin());
  // The engine's tracks are at its 48 kHz; the speakers at Wwise's rate.
  struct Wav {
    const char* name;
    const std::vector<int16_t>* data;
    int rate;
  };
  const Wav wavs[] = {{"microphone.wav", &micIn, kRate},
                      {"published.wav", &pub, kRate},
                      {"aec_reference.wav", &aec.samples, kRate},
                      {"speakers.wav", &speakers16, rate}};
  for (const Wav& w : wavs) {
    if (!r.captured) break;  // a long session keeps no audio
    if (!writeWav16(out(w.name), *w.data, 2, error, w.rate)) return false;
    r.files.push_back(out(w.name));
  }
  {
    std::ofstream svg(out("timeline.svg"));
    svg << timelineSvg(r, config);
    if (!svg) {
      error = "cannot write " + out("timeline.svg");
      return false;
    }
    r.files.push_back(out("timeline.svg"));
  }
  r.files.push_back(logFile);
  r.files.push_back(out("report.txt"));
  {
    std::ofstream txt(out("report.txt"));
    txt << formatReport(r, config);
  }
  return true;
}

}  // namespace demo
}  // namespace kivra
