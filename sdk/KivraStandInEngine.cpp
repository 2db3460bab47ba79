// Recording RTC engine, media engine and buffer proxy of the stand-in SDK.
#include <algorithm>
#include <cstring>

#include "KivraStandInSdk.h"

namespace kivra {
namespace standin {

RecordingMediaEngine::RecordingMediaEngine() = default;
RecordingMediaEngine::~RecordingMediaEngine() = default;

int RecordingMediaEngine::registerAudioFrameObserver(media::IAudioFrameObserver* observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  observer_ = observer;
  registrations_.push_back(observer);
  return registerResult_;
}

int RecordingMediaEngine::pushFrameToTrack(media::AudioFrame* frame, int trackId) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++pushCount_;
  if (!keepSamples_ || frame == nullptr) return 0;
  PushedFrame copy;
  copy.trackId = trackId;
  copy.frame = *frame;
  copy.frame.buffer = nullptr;
  const int n = frame->channels * frame->samplesPerChannel;
  if (n > 0 && frame->buffer != nullptr) {
    const int16_t* src = static_cast<const int16_t*>(frame->buffer);
    copy.samples.assign(src, src + n);
  }
  pushed_.push_back(std::move(copy));
  return 0;
}

int RecordingMediaEngine::makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                                               const rtc::AudioTrackConfig& config) {
  std::lock_guard<std::mutex> guard(mutex_);
  CustomTrack track;
  track.id = nextTrackId_++;
  track.type = trackType;
  track.config = config;
  tracks_.push_back(track);
  return track.id;
}

media::IAudioFrameObserver* RecordingMediaEngine::observer() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return observer_;
}

std::vector<media::IAudioFrameObserver*> RecordingMediaEngine::registrations() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return registrations_;
}

std::vector<CustomTrack> RecordingMediaEngine::tracks() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return tracks_;
}

std::vector<PushedFrame> RecordingMediaEngine::pushedFrames() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pushed_;
}

std::vector<int16_t> RecordingMediaEngine::samplesOfTrack(int trackId) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<int16_t> all;
  for (const PushedFrame& f : pushed_) {
    if (f.trackId == trackId) all.insert(all.end(), f.samples.begin(), f.samples.end());
  }
  return all;
}

void RecordingMediaEngine::clearPushedFrames() {
  std::lock_guard<std::mutex> guard(mutex_);
  pushed_.clear();
  pushCount_ = 0;
}

void RecordingMediaEngine::setRegisterResult(int result) {
  std::lock_guard<std::mutex> guard(mutex_);
  registerResult_ = result;
}

void RecordingMediaEngine::setFirstTrackId(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  nextTrackId_ = id;
}

void RecordingMediaEngine::setKeepSamples(bool keep) {
  std::lock_guard<std::mutex> guard(mutex_);
  keepSamples_ = keep;
}

size_t RecordingMediaEngine::pushCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pushCount_;
}

RecordingRtcEngine::RecordingRtcEngine() = default;
RecordingRtcEngine::~RecordingRtcEngine() = default;

int RecordingRtcEngine::findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) {
  std::lock_guard<std::mutex> guard(mutex_);
  findCalls_.push_back(static_cast<int>(iid));
  const int callNumber = static_cast<int>(findCalls_.size());
  const bool yield = iid == rtc::KIVRA_IID_MEDIA_ENGINE &&
                     (yieldMode_ == 0 || (yieldMode_ > 0 && callNumber <= yieldMode_));
  if (!yield || inter == nullptr) return -1;
  *inter = static_cast<media::IMediaEngine*>(&media_);
  return 0;
}

std::vector<int> RecordingRtcEngine::findInterfaceCalls() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return findCalls_;
}

void RecordingRtcEngine::setYieldMediaEngine(int mode) {
  std::lock_guard<std::mutex> guard(mutex_);
  yieldMode_ = mode;
}

FloatBufferProxy::FloatBufferProxy(uint16_t capacityFrames, uint32_t channelCount)
    : capacity_(capacityFrames),
      channels_(channelCount),
      data_(std::max<uint32_t>(channelCount, 2), std::vector<float>(capacityFrames, 0.0f)) {}

FloatBufferProxy::~FloatBufferProxy() = default;

uint16_t FloatBufferProxy::CapacityFrames() { return capacity_; }

void FloatBufferProxy::MarkState(int state) {
  state_ = state;
  ++markStateCalls_;
}

void FloatBufferProxy::Reserved() {}

void FloatBufferProxy::SetFilledFrames(uint16_t frames) {
  filled_ = frames;
  ++setFilledCalls_;
}

uint16_t FloatBufferProxy::FilledFrames() { return filled_; }

uint32_t FloatBufferProxy::ChannelCount() { return channels_; }

float* FloatBufferProxy::ChannelData(uint32_t index) {
  if (index >= channels_ || index >= data_.size()) {
    ++refusedChannelCalls_;
    return nullptr;
  }
  return data_[index].data();
}

void FloatBufferProxy::fill(float value) {
  for (std::vector<float>& ch : data_) std::fill(ch.begin(), ch.end(), value);
}

void FloatBufferProxy::resetCallCounts() {
  markStateCalls_ = 0;
  setFilledCalls_ = 0;
}

}  // namespace standin
}  // namespace kivra
