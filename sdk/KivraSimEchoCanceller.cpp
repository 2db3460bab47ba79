#include "KivraSimEchoCanceller.h"

#include <algorithm>

#ifdef KIVRA_SIM_HAVE_WEBRTC_APM
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#endif

namespace kivra {
namespace sim {

#ifdef KIVRA_SIM_HAVE_WEBRTC_APM

struct SimEchoCanceller::Module {
  std::unique_ptr<webrtc::AudioProcessing> apm;
  // Deinterleaved float scratch: two far-end channels, one capture channel.
  float reverse[2][kFrames] = {};
  float captureIn[kFrames] = {};
  float captureOut[kFrames] = {};
};

bool SimEchoCanceller::available() { return true; }

SimEchoCanceller::SimEchoCanceller(const SimEchoConfig& config)
    : config_(config), module_(new Module) {
  webrtc::Config options;
  options.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(config.extendedFilter));
  options.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(config.delayAgnostic));
  module_->apm.reset(webrtc::AudioProcessing::Create(options));
  webrtc::AudioProcessing* apm = module_->apm.get();
  if (apm == nullptr) return;
  bool good = apm->Initialize(kRate, kRate, kRate, webrtc::AudioProcessing::kMono,
                              webrtc::AudioProcessing::kMono, webrtc::AudioProcessing::kStereo) ==
              webrtc::AudioProcessing::kNoError;
  webrtc::EchoCancellation* aec = apm->echo_cancellation();
  const int level = std::min(2, std::max(0, config.suppressionLevel));
  good = good && aec->Enable(true) == webrtc::AudioProcessing::kNoError;
  good = good && aec->set_suppression_level(static_cast<webrtc::EchoCancellation::SuppressionLevel>(
                     level)) == webrtc::AudioProcessing::kNoError;
  good = good && aec->enable_drift_compensation(false) == webrtc::AudioProcessing::kNoError;
  good = good && apm->high_pass_filter()->Enable(config.highPassFilter) ==
                     webrtc::AudioProcessing::kNoError;
  if (!good) module_->apm.reset();
}

SimEchoCanceller::~SimEchoCanceller() = default;

bool SimEchoCanceller::ok() const { return module_ && module_->apm != nullptr; }

bool SimEchoCanceller::reverse(const int16_t* frames, int channels) {
  if (!ok() || frames == nullptr || (channels != 1 && channels != 2)) {
    ++errors_;
    return false;
  }
  Module& m = *module_;
  for (int i = 0; i < kFrames; ++i) {
    const int16_t left = frames[i * channels];
    const int16_t right = frames[i * channels + channels - 1];
    m.reverse[0][i] = static_cast<float>(left) * (1.0f / 32768.0f);
    m.reverse[1][i] = static_cast<float>(right) * (1.0f / 32768.0f);
  }
  const float* const src[2] = {m.reverse[0], m.reverse[1]};
  float* const dest[2] = {m.reverse[0], m.reverse[1]};
  const webrtc::StreamConfig stereo(kRate, 2);
  if (m.apm->ProcessReverseStream(src, stereo, stereo, dest) != webrtc::AudioProcessing::kNoError) {
    ++errors_;
    return false;
  }
  ++reverseFrames_;
  return true;
}

bool SimEchoCanceller::capture(int16_t* frames, int channels) {
  if (!ok() || frames == nullptr || (channels != 1 && channels != 2)) {
    ++errors_;
    return false;
  }
  Module& m = *module_;
  for (int i = 0; i < kFrames; ++i) {
    const int sum = channels == 2 ? frames[2 * i] + frames[2 * i + 1] : 2 * frames[i];
    m.captureIn[i] = static_cast<float>(sum) * (0.5f / 32768.0f);
  }
  // Without a delay before every frame the module refuses to process it.
  m.apm->set_stream_delay_ms(std::min(500, std::max(0, config_.reportedDelayMs)));
  const float* const src[1] = {m.captureIn};
  float* const dest[1] = {m.captureOut};
  const webrtc::StreamConfig mono(kRate, 1);
  if (m.apm->ProcessStream(src, mono, mono, dest) != webrtc::AudioProcessing::kNoError) {
    ++errors_;
    return false;
  }
  for (int i = 0; i < kFrames; ++i) {
    const float x = std::min(1.0f, std::max(-1.0f, m.captureOut[i])) * 32767.0f;
    const int16_t s = static_cast<int16_t>(x >= 0 ? x + 0.5f : x - 0.5f);
    for (int c = 0; c < channels; ++c) frames[i * channels + c] = s;
  }
  ++captureFrames_;
  return true;
}

#else  // no WebRTC audio processing module

struct SimEchoCanceller::Module {};

bool SimEchoCanceller::available() { return false; }
SimEchoCanceller::SimEchoCanceller(const SimEchoConfig& config) : config_(config) {}
SimEchoCanceller::~SimEchoCanceller() = default;
bool SimEchoCanceller::ok() const { return false; }
bool SimEchoCanceller::reverse(const int16_t*, int) {
  ++errors_;
  return false;
}
bool SimEchoCanceller::capture(int16_t*, int) {
  ++errors_;
  return false;
}

#endif

}  // namespace sim
}  // namespace kivra
