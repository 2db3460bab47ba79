#include "DemoAudio.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace kivra {
namespace demo {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Two-pole resonator (band-pass), unity gain at its centre.
struct Resonator {
  double a1 = 0, a2 = 0, b0 = 0, y1 = 0, y2 = 0;
  void set(double freq, double bandwidth) {
    const double r = std::exp(-kPi * bandwidth / kRate);
    a1 = 2.0 * r * std::cos(2.0 * kPi * freq / kRate);
    a2 = -r * r;
    b0 = 1.0 - r;
  }
  double step(double x) {
    const double y = b0 * x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
  }
};

struct Lcg {
  uint32_t state;
  explicit Lcg(uint32_t seed) : state(seed * 2654435761u + 12345u) {}
  uint32_t next() {
    state = state * 1664525u + 1013904223u;
    return state;
  }
  double uniform() { return (next() >> 8) / 16777216.0; }  // [0, 1)
};

}  // namespace

int16_t floatToInt16(float x) {
  const double v = std::trunc(static_cast<double>(x) * 32767.0);
  if (std::isnan(v)) return 0;
  return static_cast<int16_t>(std::min(32767.0, std::max(-32768.0, v)));
}

bool loadAudioFile(const std::string& path, std::vector<int16_t>& stereo, std::string& error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    error = "cannot read audio file '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  if (info.channels <= 0 || info.samplerate <= 0 || info.frames <= 0) {
    sf_close(file);
    error = "audio file '" + path + "' holds no audio";
    return false;
  }
  if (info.frames > static_cast<sf_count_t>(kRate) * 3600) {
    sf_close(file);
    error = "audio file '" + path + "' is longer than an hour";
    return false;
  }
  const size_t frames = static_cast<size_t>(info.frames);
  const size_t ch = static_cast<size_t>(info.channels);
  stereo.clear();
  if (info.samplerate == kRate) {
    // Already at the session rate: take the 16-bit samples as libsndfile
    // gives them, no float round trip.
    std::vector<short> raw(frames * ch);
    const sf_count_t got = sf_readf_short(file, raw.data(), info.frames);
    sf_close(file);
    stereo.resize(static_cast<size_t>(got) * 2);
    for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
      stereo[2 * i] = raw[i * ch];
      stereo[2 * i + 1] = raw[i * ch + (ch > 1 ? 1 : 0)];
    }
    return true;
  }
  std::vector<float> raw(frames * ch);
  const sf_count_t got = sf_readf_float(file, raw.data(), info.frames);
  sf_close(file);
  std::vector<float> two(static_cast<size_t>(got) * 2);
  for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
    two[2 * i] = raw[i * ch];
    two[2 * i + 1] = raw[i * ch + (ch > 1 ? 1 : 0)];
  }
  const double ratio = static_cast<double>(kRate) / info.samplerate;
  std::vector<float> out(static_cast<size_t>(std::ceil(static_cast<double>(got) * ratio)) * 2 + 64);
  SRC_DATA data{};
  data.data_in = two.data();
  data.input_frames = static_cast<long>(got);
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size() / 2);
  data.src_ratio = ratio;
  const int rc = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 2);
  if (rc != 0) {
    error = "cannot resample '" + path + "' to 48000 Hz: " + src_strerror(rc);
    return false;
  }
  stereo.resize(static_cast<size_t>(data.output_frames_gen) * 2);
  for (size_t i = 0; i < stereo.size(); ++i) {
    const double v = std::round(static_cast<double>(out[i]) * 32767.0);
    stereo[i] = static_cast<int16_t>(std::min(32767.0, std::max(-32768.0, v)));
  }
  return true;
}

bool writeWav16(const std::string& path, const std::vector<int16_t>& samples, int channels,
                std::string& error, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    error = "cannot write '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
  const sf_count_t put = frames > 0 ? sf_writef_short(file, samples.data(), frames) : 0;
  sf_close(file);
  if (put != frames) {
    error = "cannot write '" + path + "': short write";
    return false;
  }
  return true;
}

std::vector<int16_t> synthVoice(double seconds, const VoiceParams& params) {
  static const double kVowels[5][3] = {
      {730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010}, {570, 840, 2410}, {300, 870, 2240}};
  const size_t frames = static_cast<size_t>(std::max(0.0, seconds) * kRate);
  std::vector<int16_t> out(frames * 2, 0);
  Lcg rng(params.seed);
  Resonator f[3];
  const double syllable = 1.0 / params.syllableRate;
  double phase = 0.0, prevGlottal = 0.0;
  int vowel = -1;
  size_t syllableIndex = static_cast<size_t>(-1);
  std::vector<double> buffer(frames, 0.0);
  double peak = 0.0;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate - params.startDelay;
    if (t < 0) continue;
    // Phrases of five syllables and a pause of two syllables.
    const size_t index = static_cast<size_t>(t / syllable);
    const size_t inPhrase = index % 7;
    const double local = t / syllable - static_cast<double>(index);  // 0..1 within the syllable
    if (index != syllableIndex) {
      syllableIndex = index;
      vowel = static_cast<int>(rng.next() % 5);
      for (int k = 0; k < 3; ++k) f[k].set(kVowels[vowel][k], 70.0 + 30.0 * k);
    }
    if (inPhrase >= 5) continue;
    const double envelope = std::pow(std::sin(kPi * std::min(1.0, local / 0.85)), 2.0);
    // Intonation: a slow fall over the phrase, a rise on each syllable, vibrato.
    const double contour = 1.0 + 0.12 * (1.0 - (inPhrase + local) / 5.0) + 0.04 * local;
    const double f0 = params.f0 * contour * (1.0 + 0.01 * std::sin(2.0 * kPi * 5.5 * t));
    phase += f0 / kRate;
    if (phase >= 1.0) phase -= 1.0;
    // Rosenberg glottal pulse; its derivative models the lips' radiation.
    double g = 0.0;
    if (phase < 0.4) {
      g = 0.5 * (1.0 - std::cos(kPi * phase / 0.4));
    } else if (phase < 0.56) {
      g = std::cos(kPi * (phase - 0.4) / 0.32);
    }
    const double source = (g - prevGlottal) * 40.0 + 0.02 * (rng.uniform() - 0.5);
    prevGlottal = g;
    const double y = f[0].step(source) + 0.6 * f[1].step(source) + 0.3 * f[2].step(source);
    buffer[i] = y * envelope;
    peak = std::max(peak, std::fabs(buffer[i]));
  }
  const double scale = peak > 0 ? params.level / peak : 0.0;
  for (size_t i = 0; i < frames; ++i) {
    const int16_t s = static_cast<int16_t>(std::lround(buffer[i] * scale * 32767.0));
    out[2 * i] = s;
    out[2 * i + 1] = s;
  }
  return out;
}

}  // namespace demo
}  // namespace kivra
