#include "DemoEcho.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DemoAudio.h"
#include "DemoLibrary.h"
#include "DemoSession.h"
#include "KivraSimClock.h"
#include "KivraSimResampler.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"

namespace kivra {
namespace demo {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kWindow = 4800;  // 100 ms
constexpr const char* kSoundDir = "/usr/share/sounds/alsa/";

struct Rng {
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  double uniform() {  // [0, 1)
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
  }
  double signedUniform() { return 2.0 * uniform() - 1.0; }
};

int64_t frameOf(double seconds) { return static_cast<int64_t>(std::llround(seconds * kRate)); }

// Adds a mono clip (taken from a stereo one) to a stereo track at `at`.
void place(std::vector<int16_t>& track, const std::vector<int16_t>& clip, double at) {
  const int64_t start = frameOf(at);
  const int64_t frames = static_cast<int64_t>(track.size() / 2);
  for (int64_t i = 0; i < static_cast<int64_t>(clip.size() / 2) && start + i < frames; ++i) {
    const int mono = (clip[static_cast<size_t>(2 * i)] + clip[static_cast<size_t>(2 * i + 1)]) / 2;
    for (int c = 0; c < 2; ++c) {
      const size_t at2 = static_cast<size_t>(2 * (start + i) + c);
      track[at2] = static_cast<int16_t>(std::min(32767, std::max(-32768, track[at2] + mono)));
    }
  }
}

}  // namespace

// The bed's two channels of wind differ from each other; its effects are
// impacts and short chirps.
std::vector<int16_t> synthGameBed(double seconds, double dbfs) {
  const int64_t frames = frameOf(seconds);
  std::vector<double> left(static_cast<size_t>(frames), 0.0), right(left);
  Rng rng(17);
  // Wind: white noise through two one-pole low-passes, per channel.
  double lp[2][2] = {{0, 0}, {0, 0}};
  for (int64_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double swell = 0.6 + 0.4 * std::sin(2 * kPi * 0.13 * t) * std::sin(2 * kPi * 0.071 * t);
    for (int c = 0; c < 2; ++c) {
      const double x = rng.signedUniform();
      lp[c][0] += 0.08 * (x - lp[c][0]);
      lp[c][1] += 0.08 * (lp[c][0] - lp[c][1]);
      (c == 0 ? left : right)[static_cast<size_t>(i)] += 2.5 * swell * lp[c][1];
    }
  }
  // Effects.
  double at = 0.15;
  while (at < seconds) {
    const int64_t start = frameOf(at);
    const double pan = rng.uniform();
    const double gl = std::cos(pan * kPi / 2), gr = std::sin(pan * kPi / 2);
    if (rng.uniform() < 0.6) {
      // An impact: a noise burst through a resonator, decaying.
      const double freq = 150 + 900 * rng.uniform();
      const double decay = 0.05 + 0.2 * rng.uniform();
      const double r = std::exp(-kPi * freq * 0.3 / kRate);
      const double a1 = 2 * r * std::cos(2 * kPi * freq / kRate), a2 = -r * r;
      double y1 = 0, y2 = 0;
      for (int64_t i = 0; i < frameOf(decay * 5) && start + i < frames; ++i) {
        const double env = std::exp(-static_cast<double>(i) / (decay * kRate));
        const double y = (1 - r) * rng.signedUniform() * env * 6.0 + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        left[static_cast<size_t>(start + i)] += gl * y;
        right[static_cast<size_t>(start + i)] += gr * y;
      }
    } else {
      // A chirp: a rising tone of a tenth of a second.
      const double f0 = 500 + 500 * rng.uniform();
      double phase = 0;
      const int64_t n = frameOf(0.12);
      for (int64_t i = 0; i < n && start + i < frames; ++i) {
        const double u = static_cast<double>(i) / static_cast<double>(n);
        phase += 2 * kPi * f0 * (1 + u) / kRate;
        const double y = 0.25 * std::sin(phase) * std::sin(kPi * u);
        left[static_cast<size_t>(start + i)] += gl * y;
        right[static_cast<size_t>(start + i)] += gr * y;
      }
    }
    at += 0.35 + 0.9 * rng.uniform();
  }
  double energy = 0;
  for (int64_t i = 0; i < frames; ++i) {
    energy += left[static_cast<size_t>(i)] * left[static_cast<size_t>(i)] +
              right[static_cast<size_t>(i)] * right[static_cast<size_t>(i)];
  }
  const double rms = std::sqrt(energy / std::max<double>(1.0, 2.0 * static_cast<double>(frames)));
  const double gain = rms > 0 ? std::pow(10.0, dbfs / 20.0) / rms : 0.0;
  std::vector<int16_t> out(static_cast<size_t>(2 * frames));
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < 2; ++c) {
      const double v = (c == 0 ? left : right)[static_cast<size_t>(i)] * gain * 32768.0;
      out[static_cast<size_t>(2 * i + c)] =
          static_cast<int16_t>(std::min(32767.0, std::max(-32768.0, std::nearbyint(v))));
    }
  }
  return out;
}

namespace {

double energy(const std::vector<float>& x, int64_t from, int64_t to) {
  double sum = 0;
  from = std::max<int64_t>(0, from);
  to = std::min<int64_t>(to, static_cast<int64_t>(x.size()));
  for (int64_t i = from; i < to; ++i)
    sum += static_cast<double>(x[static_cast<size_t>(i)]) * x[static_cast<size_t>(i)];
  return sum;
}

double db(double ratio) { return ratio > 0 ? 10.0 * std::log10(ratio) : -120.0; }

// The published sample of microphone frame f, given the canceller's delay.
float pubAt(const EchoSignals& s, int64_t f, int lag) {
  const int64_t j = f + lag;
  return j >= 0 && j < static_cast<int64_t>(s.published.size())
             ? s.published[static_cast<size_t>(j)]
             : 0.0f;
}

// The lag (0..maxLag) at which `b` best follows `a`: maximises
// sum a[i] * b[i + lag] over i in [from, to).
int bestLag(const std::vector<float>& a, const std::vector<float>& b, int64_t from, int64_t to,
            int maxLag) {
  double best = -1e300;
  int at = 0;
  to = std::min<int64_t>(to, static_cast<int64_t>(a.size()));
  for (int lag = 0; lag <= maxLag; ++lag) {
    const int64_t end = std::min<int64_t>(to, static_cast<int64_t>(b.size()) - lag);
    double sum = 0;
    for (int64_t i = std::max<int64_t>(0, from); i < end; ++i) {
      sum += static_cast<double>(a[static_cast<size_t>(i)]) * b[static_cast<size_t>(i + lag)];
    }
    if (sum > best) {
      best = sum;
      at = lag;
    }
  }
  return at;
}

std::vector<float> decimate(const std::vector<float>& x, int factor) {
  std::vector<float> out(x.size() / static_cast<size_t>(factor));
  for (size_t i = 0; i < out.size(); ++i) {
    float sum = 0;
    for (int k = 0; k < factor; ++k)
      sum += x[i * static_cast<size_t>(factor) + static_cast<size_t>(k)];
    out[i] = sum;
  }
  return out;
}

std::string fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

void progressLine(bool on, const std::string& text) {
  if (!on) return;
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace

double lateHoldMs(const EchoFigures& working, double behindMs) {
  return std::max(0.0, working.leadMinMs) + behindMs;
}

std::vector<EchoCase> echoCases(double lateMs) {
  EchoCase working;
  working.name = "working";
  EchoCase disabled;
  disabled.name = "disabled";
  disabled.reverse = false;
  EchoCase late;
  late.name = "late";
  late.lateMs = lateMs;
  return {working, disabled, late};
}

bool prepareEchoInputs(const EchoConfig& config, EchoInputs& in, std::string& error) {
  in = EchoInputs();
  const EchoPhases& p = in.phases;
  std::vector<std::string> far = config.farWavs, near = config.nearWavs;
  if (far.empty()) {
    for (const char* f :
         {"Front_Left", "Front_Right", "Rear_Left", "Side_Left", "Rear_Right", "Side_Right"}) {
      far.push_back(std::string(kSoundDir) + f + ".wav");
    }
  }
  if (near.empty()) {
    for (const char* f : {"Front_Center", "Rear_Center"}) {
      near.push_back(std::string(kSoundDir) + f + ".wav");
    }
  }
  auto load = [&](const std::vector<std::string>& paths, std::vector<std::vector<int16_t>>& out) {
    for (const std::string& path : paths) {
      std::vector<int16_t> clip;
      if (!loadAudioFile(path, clip, error)) return false;
      out.push_back(std::move(clip));
    }
    return true;
  };
  std::vector<std::vector<int16_t>> farClips, nearClips;
  if (!load(far, farClips) || !load(near, nearClips)) return false;

  const size_t samples = static_cast<size_t>(2 * frameOf(p.end));
  in.talkers.assign(2, std::vector<int16_t>(samples, 0));
  in.nearVoice.assign(samples, 0);
  // The remote talkers take turns, two clips per far-end phase and one each
  // in double talk; the local player speaks once alone and once in double
  // talk. Clips longer than their slot are cut at the phase's end.
  size_t next = 0;
  auto farClip = [&](int talker, double at, double until) {
    std::vector<int16_t> clip = farClips[next++ % farClips.size()];
    clip.resize(std::min(clip.size(), static_cast<size_t>(2 * frameOf(until - at))));
    place(in.talkers[static_cast<size_t>(talker)], clip, at);
  };
  const double farEnd = p.nearStart - 0.3;
  farClip(0, 0.5, farEnd);
  farClip(1, 0.5 + (farEnd - 0.5) / 2, farEnd);
  farClip(0, p.doubleStart + 0.1, p.farStart - 0.2);
  farClip(1, p.doubleStart + 0.8, p.farStart - 0.2);
  farClip(0, p.farStart + 0.2, p.end);
  farClip(1, p.farStart + 0.2 + (p.end - p.farStart) / 2, p.end - 0.1);
  auto nearClip = [&](size_t i, double at, double until) {
    std::vector<int16_t> clip = nearClips[i % nearClips.size()];
    clip.resize(std::min(clip.size(), static_cast<size_t>(2 * frameOf(until - at))));
    place(in.nearVoice, clip, at);
  };
  nearClip(0, p.nearStart + 0.3, p.doubleStart - 0.1);
  nearClip(1, p.doubleStart + 0.3, p.farStart - 0.3);
  // Further cycles repeat the voices; the bed goes on without repeating.
  in.cycles = std::max(1, config.cycles);
  for (auto* track : {&in.talkers[0], &in.talkers[1], &in.nearVoice}) {
    track->reserve(samples * static_cast<size_t>(in.cycles));
    for (int c = 1; c < in.cycles; ++c)
      track->insert(track->end(), track->begin(),
                    track->begin() + static_cast<std::ptrdiff_t>(samples));
  }
  in.bed = synthGameBed(p.end * in.cycles + 1.0, config.bedDbfs);
  if (config.dialogueDbfs > -120) {
    // A character of the game talking on and on: its own voice, low and slow.
    VoiceParams v;
    v.f0 = 105.0;
    v.syllableRate = 3.2;
    v.seed = 77;
    v.startDelay = 0.2;
    in.dialogue = synthVoice(p.end * in.cycles + 1.0, v);
    double sum = 0;
    for (int16_t s : in.dialogue) sum += static_cast<double>(s) * s;
    const double rms = std::sqrt(sum / std::max<size_t>(in.dialogue.size(), 1)) / 32768.0;
    const double gain = rms > 0 ? std::pow(10.0, config.dialogueDbfs / 20.0) / rms : 0.0;
    for (int16_t& s : in.dialogue) {
      s = static_cast<int16_t>(std::lrint(std::min(32767.0, std::max(-32768.0, s * gain))));
    }
  }
  return true;
}

std::vector<int16_t> stereoAtRate(const std::vector<int16_t>& stereo48k, int rate) {
  if (rate == kRate) return stereo48k;
  sim::SimResampler r(kRate, rate, 2);
  if (!r.ok()) return {};
  const int chunk = 4800;
  std::vector<int16_t> out;
  std::vector<int16_t> scratch(static_cast<size_t>(r.maxOutFrames(chunk)) * 2);
  out.reserve(stereo48k.size() * static_cast<size_t>(rate) / kRate + 64);
  const int frames = static_cast<int>(stereo48k.size() / 2);
  for (int at = 0; at < frames; at += chunk) {
    const int n = std::min(chunk, frames - at);
    const int got = r.process(stereo48k.data() + 2 * static_cast<size_t>(at), n, scratch.data(),
                              static_cast<int>(scratch.size() / 2));
    out.insert(out.end(), scratch.begin(), scratch.begin() + 2 * got);
  }
  return out;
}

namespace {

// Frames [from, from + frames) of every signal, as if that stretch were a
// session of its own.
EchoSignals sliceSignals(const EchoSignals& s, int64_t from, int64_t frames) {
  auto cut = [&](const std::vector<float>& v) {
    const auto size = static_cast<int64_t>(v.size());
    const int64_t a = std::min(from, size), b = std::min(from + frames, size);
    return std::vector<float>(v.begin() + a, v.begin() + b);
  };
  EchoSignals out;
  out.echo = cut(s.echo);
  out.nearVoice = cut(s.nearVoice);
  out.noise = cut(s.noise);
  out.published = cut(s.published);
  out.reference = cut(s.reference);
  const int64_t first = from / 480, count = frames / 480;
  for (int64_t r = first; r < first + count && r < static_cast<int64_t>(s.feedTimes.size()); ++r) {
    out.feedTimes.push_back(s.feedTimes[static_cast<size_t>(r)] - from);
  }
  return out;
}

}  // namespace

EchoFigures measureEcho(const EchoSignals& s, const EchoPhases& phases) {
  EchoFigures out;
  const int64_t total = static_cast<int64_t>(s.echo.size());
  out.publishedFrames = static_cast<int64_t>(s.published.size());
  const int64_t nearStart = frameOf(phases.nearStart), doubleStart = frameOf(phases.doubleStart),
                farStart = frameOf(phases.farStart);
  // The delay from the microphone to what was published, from the local
  // voice alone: up to 100 ms (Wwise's frames are longer at lower rates),
  // found on the signals decimated by 4, then to the frame around it.
  {
    const int coarse = 4 * bestLag(decimate(s.nearVoice, 4), decimate(s.published, 4),
                                   nearStart / 4, doubleStart / 4, 4800 / 4);
    int best = coarse;
    double bestSum = -1e300;
    const int64_t end = std::min<int64_t>(doubleStart, static_cast<int64_t>(s.nearVoice.size()));
    for (int lag = std::max(0, coarse - 8); lag <= coarse + 8; ++lag) {
      double sum = 0;
      for (int64_t i = nearStart; i < end; ++i) {
        if (i + lag >= static_cast<int64_t>(s.published.size())) break;
        sum += static_cast<double>(s.nearVoice[static_cast<size_t>(i)]) *
               s.published[static_cast<size_t>(i + lag)];
      }
      if (sum > bestSum) {
        bestSum = sum;
        best = lag;
      }
    }
    out.outputLagFrames = best;
  }
  const int lag = out.outputLagFrames;
  auto pubEnergy = [&](int64_t from, int64_t to) {
    double sum = 0;
    for (int64_t f = from; f < to; ++f) {
      const double v = pubAt(s, f, lag);
      sum += v * v;
    }
    return sum;
  };
  const double noiseWindow = energy(s.noise, 0, total) / std::max<int64_t>(1, total) * kWindow;

  // Convergence: the echo's first arrival (10 dB above the noise), then the
  // first 100 ms window, in steps of 10 ms, with 10 dB of ERLE.
  int64_t onset = -1;
  for (int64_t f = 0; f + kWindow <= std::min(total, nearStart); f += 480) {
    const double e = energy(s.echo, f, f + kWindow);
    if (onset < 0 && e > 10 * noiseWindow) onset = f;
    if (onset >= 0 && e > 10 * noiseWindow &&
        db(e / std::max(1e-30, pubEnergy(f, f + kWindow))) >= 10) {
      out.convergenceSeconds = static_cast<double>(f + kWindow - onset) / kRate;
      break;
    }
  }

  // ERLE over whole windows of the far-end-only stretches where the local
  // voice is silent.
  auto erle = [&](int64_t from, int64_t to, double& echoSum, double& pubSum) {
    for (int64_t f = from; f + kWindow <= to; f += kWindow) {
      if (energy(s.nearVoice, f, f + kWindow) > 0) continue;
      echoSum += energy(s.echo, f, f + kWindow);
      pubSum += pubEnergy(f, f + kWindow);
    }
  };
  double e1 = 0, p1 = 0, e2 = 0, p2 = 0;
  erle(std::max<int64_t>(0, onset) + kRate, nearStart, e1, p1);
  erle(farStart, total, e2, p2);
  out.erleFirstDb = db(e1 / std::max(1e-30, p1));
  out.erleLastDb = db(e2 / std::max(1e-30, p2));
  out.erleDb = db((e1 + e2) / std::max(1e-30, p1 + p2));

  // The local voice's level: the published signal projected on the clean
  // voice, window by window (echo and noise do not correlate with it).
  auto levelChange = [&](int64_t from, int64_t to) {
    double kept = 0, clean = 0;
    for (int64_t f = from; f + kWindow <= to; f += kWindow) {
      double nn = 0, pn = 0;
      for (int64_t i = f; i < f + kWindow; ++i) {
        const double n = s.nearVoice[static_cast<size_t>(i)];
        nn += n * n;
        pn += n * pubAt(s, i, lag);
      }
      if (nn < kWindow * 1e-6) continue;  // below -60 dBFS: the voice is not speaking
      kept += std::max(0.0, pn) * std::max(0.0, pn) / nn;
      clean += nn;
    }
    return clean > 0 ? db(kept / clean) : 0.0;
  };
  out.nearAloneChangeDb = levelChange(nearStart, doubleStart);
  out.doubleTalkChangeDb = levelChange(doubleStart, farStart);

  // Reference to echo: cross-correlation at 12 kHz over the first stretch,
  // then the lead of every 10 ms reference frame that reached the canceller.
  out.referenceFrames = static_cast<int64_t>(s.feedTimes.size());
  if (!s.feedTimes.empty() && !s.reference.empty()) {
    const int factor = 4;
    const std::vector<float> echo = decimate(s.echo, factor), ref = decimate(s.reference, factor);
    const int coarse =
        bestLag(ref, echo, 0, nearStart / factor, static_cast<int>(0.4 * kRate / factor));
    // Refine at the full rate around the coarse lag.
    int fine = coarse * factor;
    double best = -1e300;
    for (int l = std::max(0, coarse * factor - 2 * factor); l <= coarse * factor + 2 * factor;
         ++l) {
      double sum = 0;
      for (int64_t i = 0; i + l < std::min<int64_t>(nearStart, total); ++i) {
        if (i >= static_cast<int64_t>(s.reference.size())) break;
        sum += static_cast<double>(s.reference[static_cast<size_t>(i)]) *
               s.echo[static_cast<size_t>(i + l)];
      }
      if (sum > best) {
        best = sum;
        fine = l;
      }
    }
    out.echoLagMs = fine * 1000.0 / kRate;
    double sum = 0, least = 1e300;
    for (size_t r = 0; r < s.feedTimes.size(); ++r) {
      const double lead =
          static_cast<double>(static_cast<int64_t>(r) * 480 + fine - s.feedTimes[r]);
      sum += lead;
      least = std::min(least, lead);
    }
    out.hasReference = true;
    out.leadMinMs = least * 1000.0 / kRate;
    out.leadMeanMs = sum / static_cast<double>(s.feedTimes.size()) * 1000.0 / kRate;
  }
  return out;
}

bool runEchoCase(const EchoConfig& config, const EchoInputs& inputs, const EchoCase& echoCase,
                 EchoFigures& figures, std::vector<int16_t>* published, EchoSignals* signals,
                 std::string& error) {
  namespace fs = std::filesystem;
  if (!sim::SimEchoCanceller::available()) {
    error =
        "the stand-in SDK was built without the echo canceller (libwebrtc-audio-processing-dev;"
        " scripts/install-deps.sh demo)";
    return false;
  }
  WrapperLibrary library;
  if (!library.loadOption(config.libraryPath, error)) return false;
  const WrapperApi& api = library.api();
  const std::string logDir = (fs::path(config.outDir) / ("log-" + echoCase.name)).string();
  if (!makeOutputFolder(logDir, error)) return false;
  const double seconds = inputs.phases.end * inputs.cycles;
  const int64_t totalFrames = frameOf(seconds);

  sim::SimClock clock(sim::ClockMode::Virtual, kRate);
  clock.setEnd(totalFrames);
  sim::SimRoomConfig roomConfig = config.room;
  roomConfig.speakers = config.wwiseChannels;
  sim::SimRoom room(roomConfig, sim::SimSource(inputs.nearVoice));
  room.reserveSeconds(seconds + 1.0);
  sim::SimVoiceEngine engine(clock);
  engine.setChannelId("room1");
  engine.setMicrophoneRoom(&room);
  const uint32_t uids[2] = {42, 43};
  const uint64_t objects[2] = {100, 101};
  const sim::SimVec3 positions[2] = {{-1.0f, 0.0f, 1.0f}, {1.2f, 0.0f, 1.5f}};
  for (size_t i = 0; i < inputs.talkers.size() && i < 2; ++i) {
    engine.addTalkerSource("room1", uids[i], sim::SimSource(inputs.talkers[i]));
  }
  engine.reserveSeconds(seconds + 1.0);
  if (!engine.enableEchoCanceller(config.aec)) {
    error = "the echo canceller could not be set up";
    return false;
  }
  engine.setReferenceLateMs(echoCase.lateMs);

  // Wwise's rate, told as a game tells it, before the binding.
  const int rate = config.wwiseRate;
  if (rate != kRate && api.setRate(rate) != 0) {
    error = "the bridge refused Wwise's rate " + std::to_string(rate) + " Hz";
    return false;
  }
  const std::vector<int16_t> bed = stereoAtRate(inputs.bed, rate);
  const std::vector<int16_t> dialogue = stereoAtRate(inputs.dialogue, rate);
  if (bed.empty() && !inputs.bed.empty()) {
    error = "Wwise at " + std::to_string(rate) +
            " Hz needs the simulation's rate converter (libspeexdsp-dev)";
    return false;
  }
  int trackId = -1;
  if (api.init(static_cast<rtc::IRtcEngine*>(&engine), &trackId, logDir.c_str()) != 0) {
    error = "KW_InitKivraWwisePlugin failed; see " + logDir;
    api.uninit();
    return false;
  }
  for (size_t i = 0; i < inputs.talkers.size() && i < 2; ++i) {
    api.setMapping(objects[i], "room1", uids[i]);
  }
  sim::SimWwiseConfig wc;
  wc.framesPerBuffer = config.wwiseFrames;
  wc.identityMicEffect = true;
  wc.reserveSeconds = seconds + 1.0;
  wc.captureSpeakers = false;
  wc.bed = sim::SimSource(bed);
  wc.sampleRate = rate;
  wc.masterChannels = config.wwiseChannels;
  wc.dialogue = sim::SimSource(dialogue);
  wc.pushFrontPairOnly = config.frontPairReference;
  wc.pushReverse = echoCase.reverse;
  wc.room = &room;
  sim::SimWwise wwise(clock, wc);
  for (size_t i = 0; i < inputs.talkers.size() && i < 2; ++i) {
    wwise.addGameObject(objects[i], positions[i]);
  }
  if (!wwise.start()) {
    error = "the bridge handed the plugin side no callbacks";
    api.uninit();
    return false;
  }
  engine.start();
  clock.start();
  while (!clock.done()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  engine.join();
  wwise.join();
  wwise.drain();
  wwise.stop();
  api.uninit();

  const sim::SimTrackCapture pub = engine.track(trackId);
  const sim::SimTrackCapture aec = engine.trackOfType(rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE);
  EchoSignals s;
  s.echo = room.echo();
  s.nearVoice = room.nearVoice();
  s.noise = room.noise();
  s.published.resize(pub.samples.size() / 2);
  for (size_t i = 0; i < s.published.size(); ++i) {
    s.published[i] = static_cast<float>(pub.samples[2 * i] + pub.samples[2 * i + 1]) / 65536.0f;
  }
  s.reference.resize(aec.samples.size() / 2);
  for (size_t i = 0; i < s.reference.size(); ++i) {
    s.reference[i] = static_cast<float>(aec.samples[2 * i] + aec.samples[2 * i + 1]) / 65536.0f;
  }
  s.feedTimes = engine.referenceFeedTimes();
  // Every cycle is measured as a session of its own; the first one's
  // figures stand for the case.
  const int64_t cycleFrames = frameOf(inputs.phases.end);
  std::vector<double> erle, doubleTalk;
  for (int c = 0; c < inputs.cycles; ++c) {
    const EchoFigures f =
        inputs.cycles == 1
            ? measureEcho(s, inputs.phases)
            : measureEcho(sliceSignals(s, c * cycleFrames, cycleFrames), inputs.phases);
    if (c == 0) figures = f;
    erle.push_back(f.erleDb);
    doubleTalk.push_back(f.doubleTalkChangeDb);
  }
  figures.cycleErleDb = std::move(erle);
  figures.cycleDoubleTalkDb = std::move(doubleTalk);
  figures.name = echoCase.name;
  if (engine.echoCanceller() != nullptr) {
    figures.cancellerErrors = engine.echoCanceller()->errors();
    const sim::SimEchoCanceller& aec = *engine.echoCanceller();
    figures.reportedDelayMs = aec.reportedDelayMs();
    figures.estimatedLeadMs = aec.delayEstimator().leadMs();
    figures.referenceLateMs = aec.delayEstimator().referenceLateMs();
    figures.heldBackMs = aec.holdMs();
    figures.cancellerRestarts = aec.restarts();
    figures.cancellerBypasses = aec.bypasses();
    if (aec.delayFoundAtFrame() >= 0) {
      figures.leadFoundSeconds = static_cast<double>(aec.delayFoundAtFrame()) * 0.01;
    }
  }
  if (published != nullptr) *published = pub.samples;
  if (signals != nullptr) *signals = std::move(s);
  return true;
}

namespace {

std::string describeSetup(const EchoConfig& c) {
  std::ostringstream o;
  o << "Wwise frames " << c.wwiseFrames << ", output latency "
    << fmt("%.0f", c.room.outputLatencyMs) << " ms; echo path " << fmt("%.0f", c.room.echoDelayMs)
    << " ms, direct " << fmt("%.0f", c.room.echoGainDb) << " dB, a " << fmt("%.0f", c.room.tailMs)
    << " ms tail; noise floor " << fmt("%.0f", c.room.noiseDbfs) << " dBFS; game bed "
    << fmt("%.0f", c.bedDbfs) << " dBFS (stereo)";
  if (c.wwiseRate != kRate) o << "; Wwise at " << c.wwiseRate << " Hz (told)";
  if (c.wwiseChannels != 2) {
    o << "; " << c.wwiseChannels << "-channel master bus, " << c.wwiseChannels << " speakers";
  }
  if (c.dialogueDbfs > -120) {
    o << "; game dialogue " << fmt("%.0f", c.dialogueDbfs) << " dBFS on the "
      << (c.wwiseChannels > 2 ? "center speaker" : "phantom center");
  }
  if (c.frontPairReference) o << "; reference: the front pair only (as before)";
  return o.str();
}

std::string describeCanceller(const sim::SimEchoConfig& a) {
  static const char* levels[] = {"low", "moderate", "high", "very high"};
  std::ostringstream o;
  o << "WebRTC audio processing module (AEC), extended filter " << (a.extendedFilter ? "on" : "off")
    << ", delay-agnostic " << (a.delayAgnostic ? "on" : "off") << ", suppression "
    << levels[std::min(2, std::max(0, a.suppressionLevel))] << ", noise suppression "
    << (a.noiseSuppressionLevel < 0 ? "off" : levels[std::min(3, a.noiseSuppressionLevel)]);
  if (a.estimateDelay) {
    o << "; delay found by the engine: the reference held back to a " << a.alignedLeadMs
      << " ms lead, told lead + " << a.delayMarginMs << " ms (" << a.reportedDelayMs
      << " ms until found)";
  } else {
    o << "; stream delay reported " << a.reportedDelayMs << " ms";
  }
  return o.str();
}

// The lead the engine found ("-N ms": the reference came N ms after its echo).
std::string leadFoundText(const EchoFigures& f) {
  if (f.estimatedLeadMs >= 0) return std::to_string(f.estimatedLeadMs) + " ms";
  return f.referenceLateMs > 0 ? "-" + std::to_string(f.referenceLateMs) + " ms" : "none";
}

// The same with when it was found.
std::string foundText(const EchoFigures& f) {
  if (f.estimatedLeadMs < 0) return leadFoundText(f);
  return leadFoundText(f) + " at " + fmt("%.2f", f.leadFoundSeconds) + " s";
}

std::string leadText(const EchoFigures& f) {
  if (!f.hasReference) return "no reference";
  return fmt("%+.1f", f.leadMinMs) + " / " + fmt("%+.1f", f.leadMeanMs) + " ms";
}

}  // namespace

bool runEchoScenario(const EchoConfig& config, std::string& report, std::string& error) {
  namespace fs = std::filesystem;
  EchoInputs inputs;
  if (!prepareEchoInputs(config, inputs, error)) return false;
  if (!makeOutputFolder(config.outDir, error)) return false;
  std::vector<EchoFigures> all;
  std::vector<std::string> files;
  for (EchoCase c : echoCases()) {
    // The late case holds the reference back until it reaches the canceller
    // config.lateMs after its echo reaches the microphone.
    if (c.lateMs > 0 && !all.empty()) c.lateMs = lateHoldMs(all.front(), config.lateMs);
    progressLine(config.progress, "echo: running the '" + c.name + "' case");
    EchoFigures f;
    std::vector<int16_t> pub;
    EchoSignals s;
    if (!runEchoCase(config, inputs, c, f, &pub, &s, error)) return false;
    const std::string name = "published_" + c.name + ".wav";
    if (!writeWav16((fs::path(config.outDir) / name).string(), pub, 2, error)) return false;
    files.push_back(name);
    if (all.empty()) {
      // The microphone is the same in every case: the room hears the same mix.
      std::vector<int16_t> mic(2 * s.echo.size(), 0);
      for (size_t i = 0; i < s.echo.size(); ++i) {
        const float x = (s.echo[i] + s.nearVoice[i] + s.noise[i]) * 32768.0f;
        const int16_t v =
            static_cast<int16_t>(std::min(32767.0f, std::max(-32768.0f, std::nearbyint(x))));
        mic[2 * i] = v;
        mic[2 * i + 1] = v;
      }
      if (!writeWav16((fs::path(config.outDir) / "microphone.wav").string(), mic, 2, error)) {
        return false;
      }
      files.push_back("microphone.wav");
    }
    all.push_back(f);
  }
  const EchoPhases& p = inputs.phases;
  std::ostringstream o;
  o << "Echo scenario: the engine's echo canceller fed by the AEC-reference track\n"
    << "Cases: working; disabled (nothing pushed to the AEC-reference track); late (the reference\n"
    << "held back until it reaches the canceller " << fmt("%.0f", config.lateMs)
    << " ms after its echo reaches the microphone)\n"
    << "Setup: " << describeSetup(config) << "\n"
    << "Echo canceller: " << describeCanceller(config.aec) << "\n"
    << "Phases: remote talkers alone 0-" << fmt("%.1f", p.nearStart) << " s, local player alone "
    << fmt("%.1f", p.nearStart) << "-" << fmt("%.1f", p.doubleStart) << " s, double talk "
    << fmt("%.1f", p.doubleStart) << "-" << fmt("%.1f", p.farStart) << " s, remote talkers again "
    << fmt("%.1f", p.farStart) << "-" << fmt("%.1f", p.end) << " s; game bed throughout\n"
    << "Measured on the published track (what the other players hear):\n\n";
  char line[320];
  std::snprintf(line, sizeof line, "%-9s %8s %8s %8s %10s %8s %8s %22s %8s %8s %6s %8s\n", "case",
                "ERLE", "first", "last", "10 dB in", "alone", "dbl talk", "ref lead min / mean",
                "echo lag", "found", "held", "delay");
  o << line;
  for (const EchoFigures& f : all) {
    std::snprintf(
        line, sizeof line,
        "%-9s %5.1f dB %5.1f dB %5.1f dB %10s %+5.1f dB %+5.1f dB %22s %5.1f ms %8s %3d ms %5d "
        "ms\n",
        f.name.c_str(), f.erleDb, f.erleFirstDb, f.erleLastDb,
        f.convergenceSeconds < 0 ? "never" : (fmt("%.2f", f.convergenceSeconds) + " s").c_str(),
        f.nearAloneChangeDb, f.doubleTalkChangeDb, leadText(f).c_str(),
        f.hasReference ? f.echoLagMs : 0.0, leadFoundText(f).c_str(), f.heldBackMs,
        f.reportedDelayMs);
    o << line;
  }
  if (inputs.cycles > 1) {
    o << "\nOver " << inputs.cycles << " cycles of the phases ("
      << fmt("%.1f", p.end * inputs.cycles / 60.0) << " min), per cycle:\n";
    for (const EchoFigures& f : all) {
      const auto erle = std::minmax_element(f.cycleErleDb.begin(), f.cycleErleDb.end());
      const auto dt = std::minmax_element(f.cycleDoubleTalkDb.begin(), f.cycleDoubleTalkDb.end());
      std::snprintf(line, sizeof line,
                    "%-9s ERLE %5.1f to %5.1f dB, double talk %+5.1f to %+5.1f dB, canceller "
                    "restarts %lld, stood aside %lld\n",
                    f.name.c_str(), *erle.first, *erle.second, *dt.first, *dt.second,
                    static_cast<long long>(f.cancellerRestarts),
                    static_cast<long long>(f.cancellerBypasses));
      o << line;
    }
  }
  o << "\nERLE: echo at the microphone over what was published, far-end-only stretches (local\n"
       "voice silent), from 1 s after the echo first arrives; first/last: each stretch.\n"
       "10 dB in: from the echo's first arrival until a 100 ms window first exceeds 10 dB.\n"
       "alone / dbl talk: the local voice's level change against the clean voice.\n"
       "ref lead: how long before its echo reached the microphone each 10 ms reference frame\n"
       "reached the canceller (negative: after). echo lag: reference to echo.\n"
       "found / held: the least lead the engine found itself, and how long it then held the\n"
       "reference back (negative: the reference came after its echo, and the canceller stood\n"
       "aside). delay: what it last told the canceller (set_stream_delay_ms).\n"
    << "\nFiles:";
  for (const std::string& f : files) o << " " << f;
  o << " report.txt\n";
  report = o.str();
  std::ofstream out(fs::path(config.outDir) / "report.txt");
  out << report;
  if (!out) {
    error = "cannot write report.txt in '" + config.outDir + "'";
    return false;
  }
  return true;
}

std::string echoSweepTable(const std::vector<EchoSweepCell>& cells) {
  std::ostringstream o;
  o << "| Wwise frames | output latency | ERLE | 10 dB in | double talk | reference lead (min / "
       "mean) | echo lag | lead found | held back | delay told |\n"
       "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const EchoSweepCell& c : cells) {
    const EchoFigures& f = c.figures;
    o << "| " << c.wwiseFrames << " | " << fmt("%.0f", c.outputLatencyMs) << " ms | "
      << fmt("%.1f", f.erleDb) << " dB | "
      << (f.convergenceSeconds < 0 ? std::string("never")
                                   : fmt("%.2f", f.convergenceSeconds) + " s")
      << " | " << fmt("%+.1f", f.doubleTalkChangeDb) << " dB | " << leadText(f) << " | "
      << fmt("%.1f", f.echoLagMs) << " ms | " << foundText(f) << " | " << f.heldBackMs << " ms | "
      << f.reportedDelayMs << " ms |\n";
  }
  return o.str();
}

std::string echoSweepSvg(const std::vector<EchoSweepCell>& cells) {
  // Two panels side by side: ERLE and the reference's least lead, each
  // against the output latency, one line per Wwise frame size.
  std::vector<int> sizes;
  double maxLatency = 1, maxLead = 10, minLead = 0;
  for (const EchoSweepCell& c : cells) {
    if (std::find(sizes.begin(), sizes.end(), c.wwiseFrames) == sizes.end()) {
      sizes.push_back(c.wwiseFrames);
    }
    maxLatency = std::max(maxLatency, c.outputLatencyMs);
    maxLead = std::max(maxLead, c.figures.leadMeanMs);
    minLead = std::min(minLead, c.figures.leadMinMs);
  }
  maxLead = std::ceil(maxLead / 20) * 20;
  minLead = std::floor(minLead / 20) * 20;
  const char* colors[] = {"#1b9e77", "#d95f02", "#7570b3", "#e7298a", "#66a61e", "#e6ab02"};
  const double w = 360, h = 240, left = 60, top = 40, gap = 90;
  std::ostringstream o;
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << left + 2 * w + gap + 30
    << "\" height=\"" << top + h + 80 << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  struct Panel {
    const char* title;
    double lo, hi, step;
    bool erle;
  };
  const Panel panels[2] = {
      {"ERLE over far-end-only stretches (dB)", 0, 50, 10, true},
      {"Reference lead over its echo: least, mean (dashed), ms", minLead, maxLead, 20, false}};
  for (int p = 0; p < 2; ++p) {
    const Panel& pn = panels[p];
    const double x0 = left + p * (w + gap);
    auto X = [&](double ms) { return x0 + ms / maxLatency * w; };
    auto Y = [&](double v) { return top + h - (v - pn.lo) / (pn.hi - pn.lo) * h; };
    o << "<text x=\"" << x0 << "\" y=\"" << top - 14 << "\" font-weight=\"bold\">" << pn.title
      << "</text>\n";
    o << "<rect x=\"" << x0 << "\" y=\"" << top << "\" width=\"" << w << "\" height=\"" << h
      << "\" fill=\"none\" stroke=\"#444\"/>\n";
    for (double v = pn.lo; v <= pn.hi + 1e-9; v += pn.step) {
      o << "<line x1=\"" << x0 << "\" x2=\"" << x0 + w << "\" y1=\"" << Y(v) << "\" y2=\"" << Y(v)
        << "\" stroke=\"#ddd\"/><text x=\"" << x0 - 6 << "\" y=\"" << Y(v) + 4
        << "\" text-anchor=\"end\">" << fmt("%.0f", v) << "</text>\n";
    }
    for (double ms = 0; ms <= maxLatency + 1e-9; ms += 20) {
      o << "<text x=\"" << X(ms) << "\" y=\"" << top + h + 16 << "\" text-anchor=\"middle\">"
        << fmt("%.0f", ms) << "</text>\n";
    }
    o << "<text x=\"" << x0 + w / 2 << "\" y=\"" << top + h + 34
      << "\" text-anchor=\"middle\">output latency (ms)</text>\n";
    // The requirement line: 25 dB of ERLE; a lead of 0.
    const double mark = pn.erle ? 25.0 : 0.0;
    o << "<line x1=\"" << x0 << "\" x2=\"" << x0 + w << "\" y1=\"" << Y(mark) << "\" y2=\""
      << Y(mark) << "\" stroke=\"#c00\" stroke-dasharray=\"5,4\"/>\n";
    // The lead panel: the least lead solid, the mean dashed.
    for (int line = 0; line < (pn.erle ? 1 : 2); ++line) {
      for (size_t k = 0; k < sizes.size(); ++k) {
        std::ostringstream pts;
        for (const EchoSweepCell& c : cells) {
          if (c.wwiseFrames != sizes[k]) continue;
          const double v =
              pn.erle ? c.figures.erleDb : (line == 0 ? c.figures.leadMinMs : c.figures.leadMeanMs);
          pts << X(c.outputLatencyMs) << "," << Y(std::min(pn.hi, std::max(pn.lo, v))) << " ";
        }
        o << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << colors[k % 6] << "\""
          << (line == 1 ? " stroke-dasharray=\"6,3\"" : "") << " points=\"" << pts.str()
          << "\"/>\n";
      }
    }
  }
  for (size_t k = 0; k < sizes.size(); ++k) {
    const double x = left + static_cast<double>(k) * 150;
    o << "<rect x=\"" << x << "\" y=\"" << top + h + 50 << "\" width=\"14\" height=\"4\" fill=\""
      << colors[k % 6] << "\"/><text x=\"" << x + 20 << "\" y=\"" << top + h + 56
      << "\">Wwise frame " << sizes[k] << "</text>\n";
  }
  o << "</svg>\n";
  return o.str();
}

bool runEchoSweep(const EchoConfig& config, const std::vector<int>& frames,
                  const std::vector<double>& latenciesMs, std::vector<EchoSweepCell>& cells,
                  std::string& table, std::string& error) {
  namespace fs = std::filesystem;
  EchoInputs inputs;
  if (!prepareEchoInputs(config, inputs, error)) return false;
  std::error_code ec;
  fs::create_directories(config.outDir, ec);
  const EchoCase working = echoCases().front();
  cells.clear();
  for (int n : frames) {
    for (double ms : latenciesMs) {
      EchoConfig c = config;
      c.wwiseFrames = n;
      c.room.outputLatencyMs = ms;
      EchoSweepCell cell;
      cell.wwiseFrames = n;
      cell.outputLatencyMs = ms;
      progressLine(config.progress, "echo sweep: Wwise frames " + std::to_string(n) +
                                        ", output latency " + fmt("%.0f", ms) + " ms");
      if (!runEchoCase(c, inputs, working, cell.figures, nullptr, nullptr, error)) return false;
      cells.push_back(cell);
    }
  }
  table = echoSweepTable(cells);
  std::ofstream md(fs::path(config.outDir) / "sweep.md");
  md << table;
  std::ofstream svg(fs::path(config.outDir) / "sweep.svg");
  svg << echoSweepSvg(cells);
  if (!md || !svg) {
    error = "cannot write sweep.md / sweep.svg in '" + config.outDir + "'";
    return false;
  }
  return true;
}

namespace {

const char* kEchoUsage =
    "Usage: kivra_demo --echo [options]\n"
    "Runs the echo scenario: the simulated voice engine's echo canceller (the WebRTC audio\n"
    "processing module) fed by the bridge's AEC-reference track, in a room whose microphone\n"
    "hears the speakers. Remote talkers speak alone, then the local player, then both, then the\n"
    "remote talkers again, over a game sound bed. Three cases: the reverse stream working,\n"
    "disabled (nothing pushed to the AEC-reference track) and the reference 100 ms late.\n"
    "\n"
    "Options:\n"
    "  --out DIR             output folder (default ./demo-out/echo)\n"
    "  --wwise-frames N      frames per Wwise buffer, 256..4096 (default 1024)\n"
    "  --output-latency MS   from Wwise's render to the speakers, 0..200 ms (default 20)\n"
    "  --far FILE            remote speech, repeatable (default: alsa-utils recordings)\n"
    "  --near FILE           the local player's speech, repeatable (default: alsa-utils)\n"
    "  --sweep               instead: the working case at Wwise frames 256, 512, 1024, 2048\n"
    "                        and output latencies 0 to 100 ms; writes sweep.md and sweep.svg\n"
    "  --cycles N            play the four phases N times in one session, 1..60 (default 1)\n"
    "  --late-ms MS          the late case: the reference reaches the canceller this long\n"
    "                        after its echo reaches the microphone (default 100)\n"
    "  --bed-dbfs DB         the game bed's level in the mix (default -32; -120: none)\n"
    "  --wwise-rate HZ       the rate Wwise renders at, told to the bridge, 8000..96000\n"
    "                        (default 48000)\n"
    "  --wwise-channels mono|stereo|5.1|7.1\n"
    "                        Wwise's master bus; the room has as many speakers (default\n"
    "                        stereo). 5.1 and 7.1 put game dialogue on the center speaker\n"
    "  --dialogue-dbfs DB    the game dialogue's level (default -120, none; -26 in surround)\n"
    "  --front-pair-reference\n"
    "                        push only the master bus's front pair back, as a bridge that\n"
    "                        reads two channels whatever the count did (the before figure)\n"
    "  --noise-dbfs DB       the microphone's noise floor (default -72)\n"
    "  --aec-delay MS        tell the canceller this delay throughout, instead of the lead the\n"
    "                        engine finds (it tells 100 ms until it has found one)\n"
    "  --aec-suppression N   suppressor: 0 low, 1 moderate, 2 high (default 0)\n"
    "  --aec-ns N            noise suppression after the canceller: -1 off, 0 low, 1 moderate,\n"
    "                        2 high, 3 very high (default 1)\n"
    "  --aec-extended-filter the extended 128 ms adaptive filter instead of the 48 ms one\n"
    "  --aec-reported-delay-only\n"
    "                        no delay-agnostic mode: the canceller trusts the reported delay\n"
    "  --library PATH        libKivraWwiseWrapper to load (default: the one built with the demo)\n"
    "  --help                this text\n"
    "\n"
    "Outputs in DIR: microphone.wav, published_working.wav, published_disabled.wav,\n"
    "published_late.wav (what the other players hear in each case) and report.txt.\n"
    "Exit status: 0 success, 2 bad arguments or inputs, 3 session error.\n";

int echoFail(const std::string& message) {
  std::fprintf(stderr, "kivra_demo --echo: %s\n(see kivra_demo --echo --help)\n", message.c_str());
  return 2;
}

}  // namespace

bool parseNumber(const std::string& s, double lo, double hi, double& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return end != nullptr && *end == '\0' && out >= lo && out <= hi;
}

// A whole number in [lo, hi].
bool parseWhole(const std::string& s, int lo, int hi, int& out) {
  double d = 0;
  if (!parseNumber(s, lo, hi, d) || d != std::floor(d)) return false;
  out = static_cast<int>(d);
  return true;
}

int echoMain(int argc, char** argv) {
  EchoConfig config;
  config.room.outputLatencyMs = 20;
  config.progress = true;
  bool sweep = false;
  bool dialogueDefault = false, dialogueGiven = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string v = hasValue ? argv[i + 1] : "";
    double d = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kEchoUsage, stdout);
      return 0;
    } else if (arg == "--sweep") {
      sweep = true;
    } else if (arg == "--out" && hasValue && !v.empty()) {
      config.outDir = v;
      ++i;
    } else if (arg == "--wwise-frames" && hasValue) {
      if (!parseWhole(v, 256, 4096, config.wwiseFrames)) {
        return echoFail("--wwise-frames '" + v + "': must be a whole number from 256 to 4096");
      }
      ++i;
    } else if (arg == "--output-latency" && hasValue) {
      if (!parseNumber(v, 0, 200, d)) {
        return echoFail("--output-latency '" + v + "': must be a number of ms from 0 to 200");
      }
      config.room.outputLatencyMs = d;
      ++i;
    } else if (arg == "--aec-delay" && hasValue) {
      if (!parseNumber(v, 0, 500, d)) return echoFail("--aec-delay '" + v + "': 0 to 500 ms");
      config.aec.reportedDelayMs = static_cast<int>(d);
      config.aec.estimateDelay = false;
      ++i;
    } else if (arg == "--aec-suppression" && hasValue) {
      if (!parseWhole(v, 0, 2, config.aec.suppressionLevel)) {
        return echoFail("--aec-suppression '" + v + "': 0, 1 or 2");
      }
      ++i;
    } else if (arg == "--cycles" && hasValue) {
      if (!parseWhole(v, 1, 60, config.cycles)) {
        return echoFail("--cycles '" + v + "': a whole number from 1 to 60");
      }
      ++i;
    } else if (arg == "--aec-ns" && hasValue) {
      if (!parseWhole(v, -1, 3, config.aec.noiseSuppressionLevel)) {
        return echoFail("--aec-ns '" + v + "': -1, 0, 1, 2 or 3");
      }
      ++i;
    } else if (arg == "--late-ms" && hasValue) {
      if (!parseNumber(v, 0, 1000, d)) return echoFail("--late-ms '" + v + "': 0 to 1000");
      config.lateMs = d;
      ++i;
    } else if (arg == "--bed-dbfs" && hasValue) {
      if (!parseNumber(v, -120, -6, d)) return echoFail("--bed-dbfs '" + v + "': -120 to -6");
      config.bedDbfs = d;
      ++i;
    } else if (arg == "--noise-dbfs" && hasValue) {
      if (!parseNumber(v, -120, -30, d)) return echoFail("--noise-dbfs '" + v + "': -120 to -30");
      config.room.noiseDbfs = d;
      ++i;
    } else if (arg == "--wwise-rate" && hasValue) {
      if (!parseWhole(v, 8000, 96000, config.wwiseRate)) {
        return echoFail("--wwise-rate '" + v + "': a whole number from 8000 to 96000");
      }
      ++i;
    } else if (arg == "--wwise-channels" && hasValue) {
      if (!parseWwiseChannels(v, config.wwiseChannels)) {
        return echoFail("--wwise-channels '" + v + "': mono, stereo, 5.1 or 7.1");
      }
      dialogueDefault = config.wwiseChannels > 2;
      ++i;
    } else if (arg == "--dialogue-dbfs" && hasValue) {
      if (!parseNumber(v, -120, -6, d)) return echoFail("--dialogue-dbfs '" + v + "': -120 to -6");
      config.dialogueDbfs = d;
      dialogueGiven = true;
      ++i;
    } else if (arg == "--front-pair-reference") {
      config.frontPairReference = true;
    } else if (arg == "--aec-extended-filter") {
      config.aec.extendedFilter = true;
    } else if (arg == "--aec-reported-delay-only") {
      config.aec.delayAgnostic = false;
    } else if (arg == "--far" && hasValue && !v.empty()) {
      config.farWavs.push_back(v);
      ++i;
    } else if (arg == "--near" && hasValue && !v.empty()) {
      config.nearWavs.push_back(v);
      ++i;
    } else if (arg == "--library" && hasValue && !v.empty()) {
      config.libraryPath = v;
      ++i;
    } else if (arg == "--out" || arg == "--wwise-frames" || arg == "--output-latency" ||
               arg == "--far" || arg == "--near" || arg == "--library" || arg == "--aec-delay" ||
               arg == "--aec-suppression" || arg == "--bed-dbfs" || arg == "--late-ms" ||
               arg == "--noise-dbfs" || arg == "--aec-ns" || arg == "--cycles" ||
               arg == "--wwise-rate" || arg == "--wwise-channels" || arg == "--dialogue-dbfs") {
      return echoFail(arg + " needs a value");
    } else {
      return echoFail("unknown argument '" + arg + "'");
    }
  }
  // A surround room has the game's dialogue on its center speaker.
  if (dialogueDefault && !dialogueGiven) config.dialogueDbfs = kSurroundDialogueDbfs;
  if (!sim::SimEchoCanceller::available()) {
    std::fprintf(stderr,
                 "kivra_demo --echo: built without the echo canceller (libwebrtc-audio-processing-"
                 "dev; scripts/install-deps.sh demo)\n");
    return 3;
  }
  std::string error, text;
  if (sweep) {
    std::vector<EchoSweepCell> cells;
    if (!runEchoSweep(config, {256, 512, 1024, 2048}, {0, 20, 40, 60, 80, 100}, cells, text,
                      error)) {
      std::fprintf(stderr, "kivra_demo --echo: %s\n", error.c_str());
      return error.rfind("--", 0) == 0 || error.find("audio file") != std::string::npos ? 2 : 3;
    }
  } else if (!runEchoScenario(config, text, error)) {
    std::fprintf(stderr, "kivra_demo --echo: %s\n", error.c_str());
    return error.find("audio file") != std::string::npos ? 2 : 3;
  }
  std::fputs(text.c_str(), stdout);
  return 0;
}

}  // namespace demo
}  // namespace kivra
