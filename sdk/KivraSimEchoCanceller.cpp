#include "KivraSimEchoCanceller.h"

#include <algorithm>

#ifdef KIVRA_SIM_HAVE_WEBRTC_APM
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#endif

namespace kivra {
namespace sim {

#ifdef KIVRA_SIM_HAVE_WEBRTC_APM

namespace {

// Modules made ready at construction for the restarts a session needs (the
// first estimate and its correction): a restart then takes one instead of
// initialising the module again, which allocates on the recording thread.
constexpr size_t kSpareModules = 3;

webrtc::AudioProcessing* createModule(const SimEchoConfig& config) {
  webrtc::Config options;
  options.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(config.extendedFilter));
  options.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(config.delayAgnostic));
  return webrtc::AudioProcessing::Create(options);
}

// (Re)initialises a module: its state starts afresh, the options stay. The
// components are enabled first: the module hands the canceller its extra
// options (delay-agnostic, extended filter) when it initialises with the
// canceller enabled, not when the canceller is enabled afterwards.
bool setUpModule(webrtc::AudioProcessing* apm, const SimEchoConfig& config) {
  using webrtc::AudioProcessing;
  webrtc::EchoCancellation* aec = apm->echo_cancellation();
  const int level = std::min(2, std::max(0, config.suppressionLevel));
  bool good = aec->Enable(true) == AudioProcessing::kNoError;
  good = good && aec->set_suppression_level(static_cast<webrtc::EchoCancellation::SuppressionLevel>(
                     level)) == AudioProcessing::kNoError;
  good = good && aec->enable_drift_compensation(false) == AudioProcessing::kNoError;
  good =
      good && apm->high_pass_filter()->Enable(config.highPassFilter) == AudioProcessing::kNoError;
  webrtc::NoiseSuppression* ns = apm->noise_suppression();
  const int nsLevel = std::min(3, config.noiseSuppressionLevel);
  good = good && ns->Enable(nsLevel >= 0) == AudioProcessing::kNoError;
  if (nsLevel >= 0) {
    good = good && ns->set_level(static_cast<webrtc::NoiseSuppression::Level>(nsLevel)) ==
                       AudioProcessing::kNoError;
  }
  return good &&
         apm->Initialize(SimEchoCanceller::kRate, SimEchoCanceller::kRate, SimEchoCanceller::kRate,
                         AudioProcessing::kMono, AudioProcessing::kMono,
                         AudioProcessing::kStereo) == AudioProcessing::kNoError;
}

}  // namespace

struct SimEchoCanceller::Module {
  std::unique_ptr<webrtc::AudioProcessing> apm;
  // Ready for restarts; modules restarted away from are kept until the
  // canceller goes (freeing them would be heap work on the recording thread).
  std::vector<std::unique_ptr<webrtc::AudioProcessing>> spares, retired;
  // Deinterleaved float scratch: two far-end channels, one capture channel.
  float reverse[2][kFrames] = {};
  float captureIn[kFrames] = {};
  float captureOut[kFrames] = {};
};

bool SimEchoCanceller::available() { return true; }

SimEchoCanceller::SimEchoCanceller(const SimEchoConfig& config)
    : config_(config),
      module_(new Module),
      held_(static_cast<size_t>(kHeld) * kFrames * 2, 0),
      heldAt_(static_cast<size_t>(kHeld), 0) {
  toldMs_ = std::min(500, std::max(0, config.reportedDelayMs));
  module_->apm.reset(createModule(config_));
  if (module_->apm == nullptr) return;
  if (!configure()) {
    module_->apm.reset();
    return;
  }
  if (!config_.estimateDelay) return;
  module_->retired.reserve(64);
  for (size_t i = 0; i < kSpareModules; ++i) {
    std::unique_ptr<webrtc::AudioProcessing> spare(createModule(config_));
    if (spare != nullptr && setUpModule(spare.get(), config_)) {
      module_->spares.push_back(std::move(spare));
    }
  }
}

bool SimEchoCanceller::configure() { return setUpModule(module_->apm.get(), config_); }

bool SimEchoCanceller::restartModule() {
  Module& m = *module_;
  if (m.spares.empty() || m.retired.size() == m.retired.capacity()) {
    ++allocatingRestarts_;
    return configure();
  }
  m.retired.push_back(std::move(m.apm));
  m.apm = std::move(m.spares.back());
  m.spares.pop_back();
  return true;
}

SimEchoCanceller::~SimEchoCanceller() = default;

bool SimEchoCanceller::ok() const { return module_ && module_->apm != nullptr; }

bool SimEchoCanceller::reverse(const int16_t* frames, int channels) {
  if (!ok() || frames == nullptr || (channels != 1 && channels != 2)) {
    ++errors_;
    return false;
  }
  if (heldTail_ - heldHead_ == kHeld) {
    // Full (a lead of over 600 ms): the oldest frame goes to the module now.
    const size_t slot = static_cast<size_t>(heldHead_ % kHeld);
    processReverse(held_.data() + slot * kFrames * 2);
    ++heldHead_;
  }
  const size_t slot = static_cast<size_t>(heldTail_ % kHeld);
  int16_t* dst = held_.data() + slot * kFrames * 2;
  double sum = 0;
  for (int i = 0; i < kFrames; ++i) {
    dst[2 * i] = frames[i * channels];
    dst[2 * i + 1] = frames[i * channels + channels - 1];
    const double mono = (dst[2 * i] + dst[2 * i + 1]) * (0.5 / 32768.0);
    sum += mono * mono;
  }
  heldAt_[slot] = captureFrames_;
  ++heldTail_;
  if (config_.estimateDelay) estimator_.far(sum / kFrames);
  return true;
}

bool SimEchoCanceller::processReverse(const int16_t* frames) {
  Module& m = *module_;
  for (int i = 0; i < kFrames; ++i) {
    m.reverse[0][i] = static_cast<float>(frames[2 * i]) * (1.0f / 32768.0f);
    m.reverse[1][i] = static_cast<float>(frames[2 * i + 1]) * (1.0f / 32768.0f);
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
  double energy = 0;
  for (int i = 0; i < kFrames; ++i) {
    const int sum = channels == 2 ? frames[2 * i] + frames[2 * i + 1] : 2 * frames[i];
    m.captureIn[i] = static_cast<float>(sum) * (0.5f / 32768.0f);
    energy += static_cast<double>(m.captureIn[i]) * m.captureIn[i];
  }
  bool restarted = false;
  if (config_.estimateDelay && estimator_.capture(energy / kFrames)) {
    restarted = true;
    // A new path: hold the far end back to the aligned lead and restart the
    // module, whose own alignment belonged to the old one.
    const int lead = estimator_.leadMs() / 10;
    const int aligned = std::max(0, config_.alignedLeadMs) / 10;
    hold_ = std::max(0, lead - aligned);
    toldMs_ = std::min(500, (lead - hold_) * 10 + std::max(0, config_.delayMarginMs));
    if (foundAt_ < 0) foundAt_ = captureFrames_;
    if (!restartModule()) ++errors_;
    cancelling_ = true;
    ++restarts_;
  } else if (cancelling_ && estimator_.referenceLateMs() > 0) {
    // The reference comes after its echo: nothing can be cancelled, and a
    // canceller fed such a reference only eats into the local voice. It
    // stands aside (noise suppression goes on) until a lead is found.
    if (m.apm->echo_cancellation()->Enable(false) != webrtc::AudioProcessing::kNoError) ++errors_;
    cancelling_ = false;
    ++bypasses_;
  }
  // The far-end frames now due, oldest first. Once the estimator has the
  // path, a frame is due aligned lead before the capture frame that holds
  // its echo: the delay the module sees is then the same for every frame,
  // however the sound server bursts the reference in. Until then, and for a
  // path shorter than the aligned lead, a frame is due hold_ after it came.
  const int aligned = std::max(0, config_.alignedLeadMs) / 10;
  for (;;) {
    if (heldHead_ == heldTail_) break;
    const int64_t arrived = heldAt_[static_cast<size_t>(heldHead_ % kHeld)];
    const int64_t echo = config_.estimateDelay ? estimator_.echoCaptureFrame(heldHead_) : -1;
    const int64_t due = echo >= 0 ? std::max(arrived, echo - aligned) : arrived + hold_;
    if (due > captureFrames_) break;
    // A module that starts afresh gets no frame whose time has passed: it
    // would take that late frame's delay for the path's, and unlearn it only
    // slowly (a 5 ms loopback stayed near 4 dB for 16 s after one).
    if (restarted && due < captureFrames_) {
      ++staleDropped_;
    } else {
      processReverse(held_.data() + static_cast<size_t>(heldHead_ % kHeld) * kFrames * 2);
    }
    ++heldHead_;
  }
  // Without a delay before every frame the module refuses to process it.
  m.apm->set_stream_delay_ms(toldMs_);
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
bool SimEchoCanceller::configure() { return false; }
bool SimEchoCanceller::restartModule() { return false; }
bool SimEchoCanceller::reverse(const int16_t*, int) {
  ++errors_;
  return false;
}
bool SimEchoCanceller::processReverse(const int16_t*) { return false; }
bool SimEchoCanceller::capture(int16_t*, int) {
  ++errors_;
  return false;
}

#endif

}  // namespace sim
}  // namespace kivra
