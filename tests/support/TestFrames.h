// An engine frame over its own storage: 48 kHz interleaved stereo 16-bit
// samples, as the RTC engine hands them to the observer.
#pragma once

#include <cstdint>
#include <vector>

#include "KivraRtcEngine.h"

namespace kivra {
namespace test {

struct StereoFrame {
  explicit StereoFrame(int16_t value = 0, int samplesPerChannel = 480)
      : samples(static_cast<size_t>(samplesPerChannel) * 2, value) {
    frame.type = media::FRAME_TYPE_PCM16;
    frame.samplesPerChannel = samplesPerChannel;
    frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
    frame.channels = 2;
    frame.samplesPerSec = 48000;
    frame.buffer = samples.data();
  }
  StereoFrame(const StereoFrame&) = delete;
  StereoFrame& operator=(const StereoFrame&) = delete;

  std::vector<int16_t> samples;
  media::AudioFrame frame{};
};

}  // namespace test
}  // namespace kivra
