// The project's stand-in for the closed KivraWwiseRTCSDK library: the six
// plugin-side callback setters, an RTC engine and media engine that record
// every call, and a Wwise buffer proxy over per-channel float arrays.
//
// Threading: the callback table and the recording engine are safe to use from
// several threads (each guards its state with its own mutex). A
// FloatBufferProxy belongs to the one thread that passes it to the bridge.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "IAkAudioBufferProxy.h"
#include "KivraRtcEngine.h"
#include "KivraWwisePluginApi.h"

namespace kivra {
namespace standin {

// What the bridge handed to the six KWPluginSetCallback_* setters.
struct PluginCallbacks {
  KWSetTransferRecordingDataCallback setTransferRecordingData = nullptr;
  KWGetRecodeAudioFrameCallback getRecodeAudioFrame = nullptr;
  KWPushRecodeAudioFrameAfterEffectCallback pushRecodeAudioFrameAfterEffect = nullptr;
  KWSetTransferPlayoutDataCallback setTransferPlayoutData = nullptr;
  KWGetPlayoutAudioFrameByUidCallback getPlayoutAudioFrameByUid = nullptr;
  KWPushPlayoutAudioFrameAfterEffectCallback pushPlayoutAudioFrameAfterEffect = nullptr;
  // Setter names in the order they were called, since the last reset.
  std::vector<std::string> setterCalls;
};

KIVRA_SDK_API PluginCallbacks pluginCallbacks();
KIVRA_SDK_API void resetPluginCallbacks();

// One frame pushed to a custom track, samples copied.
struct PushedFrame {
  int trackId = 0;
  media::AudioFrame frame{};  // buffer is null in the copy
  std::vector<int16_t> samples;
};

struct CustomTrack {
  int id = 0;
  rtc::AUDIO_TRACK_TYPE type = rtc::AUDIO_TRACK_INVALID;
  rtc::AudioTrackConfig config{};
};

// A media engine that records every call and answers with configurable
// results. Track ids are handed out from firstTrackId upwards.
class KIVRA_SDK_API RecordingMediaEngine : public media::IMediaEngine {
 public:
  RecordingMediaEngine();
  virtual ~RecordingMediaEngine();

  int registerAudioFrameObserver(media::IAudioFrameObserver* observer) override;
  int pushFrameToTrack(media::AudioFrame* frame, int trackId) override;
  int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                           const rtc::AudioTrackConfig& config) override;

  // The observer currently registered, or null.
  media::IAudioFrameObserver* observer() const;
  // Every argument registerAudioFrameObserver was called with, in order.
  std::vector<media::IAudioFrameObserver*> registrations() const;
  std::vector<CustomTrack> tracks() const;
  std::vector<PushedFrame> pushedFrames() const;
  // Pushed frames of one track, samples concatenated.
  std::vector<int16_t> samplesOfTrack(int trackId) const;
  void clearPushedFrames();

  // Results to answer with.
  void setRegisterResult(int result);
  void setFirstTrackId(int id);
  // When false, pushed frames are counted but their samples not kept.
  void setKeepSamples(bool keep);
  size_t pushCount() const;

 private:
  mutable std::mutex mutex_;
  media::IAudioFrameObserver* observer_ = nullptr;
  std::vector<media::IAudioFrameObserver*> registrations_;
  std::vector<CustomTrack> tracks_;
  std::vector<PushedFrame> pushed_;
  size_t pushCount_ = 0;
  int registerResult_ = 0;
  int nextTrackId_ = 1000;
  bool keepSamples_ = true;
};

// An RTC engine whose findInterface yields its RecordingMediaEngine, or
// leaves the pointer as it is when told to yield none.
class KIVRA_SDK_API RecordingRtcEngine : public rtc::IRtcEngine {
 public:
  RecordingRtcEngine();
  virtual ~RecordingRtcEngine();

  int findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) override;

  RecordingMediaEngine& mediaEngine() { return media_; }
  // How many findInterface calls, and with which ids.
  std::vector<int> findInterfaceCalls() const;
  // 0: always yield the media engine; n > 0: yield it for the first n calls
  // only; -1: never yield it.
  void setYieldMediaEngine(int mode);

 private:
  mutable std::mutex mutex_;
  RecordingMediaEngine media_;
  std::vector<int> findCalls_;
  int yieldMode_ = 0;
};

// A Wwise buffer: one float array per channel. Like a real one it has no
// channel at or above ChannelCount(): ChannelData refuses such an index with
// null and counts the call, so that a test fails on it. (The test side's
// channel() reaches at least two channels of storage.) Records the bridge's
// calls.
class KIVRA_SDK_API FloatBufferProxy : public IAkAudioBufferProxy {
 public:
  FloatBufferProxy(uint16_t capacityFrames, uint32_t channelCount);
  virtual ~FloatBufferProxy();

  uint16_t CapacityFrames() override;
  void MarkState(int state) override;
  void Reserved() override;
  void SetFilledFrames(uint16_t frames) override;
  uint16_t FilledFrames() override;
  uint32_t ChannelCount() override;
  float* ChannelData(uint32_t index) override;

  // Test-side access.
  std::vector<float>& channel(uint32_t index) { return data_[index]; }
  void setFilled(uint16_t frames) { filled_ = frames; }
  void fill(float value);
  int state() const { return state_; }
  int markStateCalls() const { return markStateCalls_; }
  int setFilledFramesCalls() const { return setFilledCalls_; }
  // ChannelData calls for an index at or above ChannelCount().
  int refusedChannelCalls() const { return refusedChannelCalls_; }
  void resetCallCounts();

 private:
  uint16_t capacity_;
  uint32_t channels_;
  std::vector<std::vector<float>> data_;
  uint16_t filled_ = 0;
  int state_ = 0;
  int markStateCalls_ = 0;
  int setFilledCalls_ = 0;
  int refusedChannelCalls_ = 0;
};

}  // namespace standin
}  // namespace kivra
