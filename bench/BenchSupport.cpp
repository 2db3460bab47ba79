#include "BenchSupport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <mutex>
#include <thread>

#include "KivraWwiseCommHandlerKivraInterface.h"

#ifndef KIVRA_BENCH_CXX_FLAGS
#define KIVRA_BENCH_CXX_FLAGS "unknown"
#endif
#ifndef KIVRA_BENCH_BUILD_TYPE
#define KIVRA_BENCH_BUILD_TYPE "unknown"
#endif

namespace kivra {
namespace bench {

const char* const kChannelId = "bench-channel";

int NullMediaEngine::registerAudioFrameObserver(media::IAudioFrameObserver*) { return 0; }

int NullMediaEngine::pushFrameToTrack(media::AudioFrame* frame, int) {
  ++pushes_;
  pushedSamples_ += static_cast<uint64_t>(frame->samplesPerChannel * frame->channels);
  return 0;
}

int NullMediaEngine::makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                                          const rtc::AudioTrackConfig&) {
  return trackType == rtc::AUDIO_TRACK_DIRECT ? kDirectTrackId : kAecTrackId;
}

EngineFrame::EngineFrame(int samplesPerChannel)
    : samples(static_cast<size_t>(samplesPerChannel) * kChannels) {
  frame.type = media::FRAME_TYPE_PCM16;
  frame.samplesPerChannel = samplesPerChannel;
  frame.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
  frame.channels = kChannels;
  frame.samplesPerSec = KivraWwiseCommWrapper::kDefaultValueOfSampleRate;
  frame.buffer = samples.data();
  fill(0);
}

void EngineFrame::fill(uint32_t phase) {
  fillInt16(samples.data(), static_cast<int>(samples.size()), phase);
}

namespace {
// Two incommensurate tones and a little hash noise, about -3 dBFS peak.
float signalAt(uint32_t n) {
  const float t = static_cast<float>(n % 48000u) / 48000.0f;
  uint32_t h = n * 2654435761u;
  h ^= h >> 15;
  const float noise = static_cast<float>(h & 0xFFFF) / 65536.0f - 0.5f;
  return 0.45f * std::sin(6.2831853f * 440.0f * t) + 0.2f * std::sin(6.2831853f * 1733.0f * t) +
         0.05f * noise;
}
}  // namespace

// One second of the signal, computed once: refilling frames between timed
// batches is then a plain copy.
constexpr uint32_t kTableSize = 48000;

const std::vector<float>& floatTable() {
  static const std::vector<float> table = [] {
    std::vector<float> t(kTableSize);
    for (uint32_t i = 0; i < kTableSize; ++i) t[i] = signalAt(i);
    return t;
  }();
  return table;
}

const std::vector<int16_t>& int16Table() {
  static const std::vector<int16_t> table = [] {
    std::vector<int16_t> t(kTableSize);
    for (uint32_t i = 0; i < kTableSize; ++i) t[i] = static_cast<int16_t>(signalAt(i) * 32000.0f);
    return t;
  }();
  return table;
}

template <typename T>
void fillFromTable(const std::vector<T>& table, T* out, int count, uint32_t phase) {
  uint32_t pos = phase % kTableSize;
  while (count > 0) {
    const int n = std::min<int>(count, static_cast<int>(kTableSize - pos));
    std::copy(table.begin() + pos, table.begin() + pos + static_cast<uint32_t>(n), out);
    out += n;
    count -= n;
    pos = 0;
  }
}

void fillInt16(int16_t* out, int count, uint32_t phase) {
  fillFromTable(int16Table(), out, count, phase);
}

void fillFloat(float* out, int count, uint32_t phase) {
  fillFromTable(floatTable(), out, count, phase);
}

void fillProxy(standin::FloatBufferProxy& proxy, uint16_t frames, uint32_t phase) {
  for (uint32_t c = 0; c < kChannels; ++c) {
    std::vector<float>& ch = proxy.channel(c);
    fillFloat(ch.data(), static_cast<int>(ch.size()), phase + c * 7919u);
  }
  proxy.setFilled(frames);
}

int NullRtcEngine::findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) {
  if (iid != rtc::KIVRA_IID_MEDIA_ENGINE || inter == nullptr) return -1;
  *inter = static_cast<media::IMediaEngine*>(&media_);
  return 0;
}

BridgeSession::BridgeSession(int talkers) : talkers_(talkers) {
  int trackId = -1;
  bound_ = FKivraWwiseCommHandlerKivraInterface::InitKivraWwisePlugin(&engine_, trackId) == 0 &&
           trackId == kDirectTrackId;
  FKivraWwiseCommHandlerKivraInterface::SetTransferRecordingData(true);
  FKivraWwiseCommHandlerKivraInterface::SetTransferPlayoutData(true);
  {
    std::lock_guard<KivraCommAudioMutex> lock(m_wrapper_lock_);
    bridge_ = m_wrapper;
  }
  for (int i = 0; i < talkers; ++i) gameMapTalker(talkerGameObject(i), talkerUid(i));
}

BridgeSession::~BridgeSession() { FKivraWwiseCommHandlerKivraInterface::UninitKivraWwisePlugin(); }

void BridgeSession::resetQueues() {
  std::lock_guard<KivraCommAudioMutex> lock(m_wrapper_lock_);
  bridge_->resetRecordState();
  bridge_->resetPlayState();
  bridge_->resetReverseState();
}

bool wwisePullRecord(BridgeSession&, standin::FloatBufferProxy* buffer) {
  const int before = buffer->markStateCalls();
  FKivraWwiseCommHandlerKivraInterface::GetRecodeAudioFrame(buffer);
  return buffer->markStateCalls() != before;
}

bool wwisePushRecord(BridgeSession& session, standin::FloatBufferProxy* buffer) {
  const uint64_t before = session.media().pushes();
  FKivraWwiseCommHandlerKivraInterface::PushRecodeAudioFrameAfterEffect(buffer);
  return session.media().pushes() != before;
}

bool wwisePullTalker(BridgeSession&, standin::FloatBufferProxy* buffer,
                     unsigned long long gameObject) {
  const int before = buffer->markStateCalls();
  FKivraWwiseCommHandlerKivraInterface::GetPlayoutAudioFrameByUid(buffer, gameObject);
  return buffer->markStateCalls() != before;
}

bool wwisePushReverse(BridgeSession& session, standin::FloatBufferProxy* buffer) {
  const uint64_t before = session.media().pushes();
  FKivraWwiseCommHandlerKivraInterface::PushPlayoutAudioFrameAfterEffect(buffer);
  return session.media().pushes() != before;
}

void gameMapTalker(unsigned long long gameObject, uint32_t uid) {
  const std::string channel(kChannelId);
  FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_SetUidToGameObjectIDMapping(gameObject,
                                                                                     channel, uid);
}

void gameUnmapTalker(uint32_t uid) {
  const std::string channel(kChannelId);
  FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_ClearReceiveOpenID(channel, uid);
}

std::string buildDescription() {
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) cpu = line.substr(colon + 2);
      break;
    }
  }
  std::string compiler = "unknown compiler";
#if defined(__clang__)
  compiler = std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
  compiler = std::string("g++ ") + __VERSION__;
#endif
  return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, " + compiler +
         ", " + KIVRA_BENCH_BUILD_TYPE + " flags '" + KIVRA_BENCH_CXX_FLAGS + "'";
}

}  // namespace bench
}  // namespace kivra
