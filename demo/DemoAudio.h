// Audio in and out for the demo: any file libsndfile reads, converted to
// 48 kHz interleaved stereo 16-bit; 16-bit WAV output; a synthesised voice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivra {
namespace demo {

constexpr int kRate = 48000;

// Reads `path`, keeps two channels (a mono file is duplicated, channels past
// the second are left out), resamples to 48 kHz with libsamplerate. False
// with a message naming the file when it cannot be read.
bool loadAudioFile(const std::string& path, std::vector<int16_t>& stereo, std::string& error);

// Writes interleaved 16-bit PCM as a WAV file (48 kHz unless told).
bool writeWav16(const std::string& path, const std::vector<int16_t>& samples, int channels,
                std::string& error, int rate = kRate);

// A voice-like signal: a glottal pulse train with vibrato and an intonation
// contour through three vowel formant resonators, shaped into syllables and
// phrases. Deterministic for given parameters. Interleaved stereo, 48 kHz.
struct VoiceParams {
  double f0 = 130.0;          // fundamental, Hz
  double syllableRate = 4.0;  // syllables per second
  double level = 0.35;        // peak, full scale = 1
  unsigned seed = 1;          // vowel order and aspiration noise
  double startDelay = 0.0;    // silence before the first syllable, s
};
std::vector<int16_t> synthVoice(double seconds, const VoiceParams& params);

// Float to 16-bit as the bridge converts: x 32767, truncated toward zero,
// clamped.
int16_t floatToInt16(float x);

}  // namespace demo
}  // namespace kivra
