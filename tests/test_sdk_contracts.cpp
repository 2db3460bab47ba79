// The declarations shared with the voice SDK: record layout, enumeration
// values and virtual-table positions (Itanium C++ ABI, as g++, clang and
// mingw-w64 lay them out).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "IAkAudioBufferProxy.h"
#include "KivraRtcEngine.h"

using namespace kivra;

namespace {

// Itanium ABI: a pointer to a virtual member function holds 1 + the byte
// offset of its slot in the virtual table. The ARM variant of the ABI (32-
// and 64-bit) holds the byte offset itself and marks the pointer virtual in
// the low bit of the this-adjustment instead.
#if defined(__arm__) || defined(__aarch64__)
constexpr bool kArmMemberPointers = true;
#else
constexpr bool kArmMemberPointers = false;
#endif

template <typename PMF>
long slotOf(PMF pmf) {
  static_assert(sizeof(PMF) == 2 * sizeof(void*), "Itanium member pointer expected");
  std::ptrdiff_t raw[2] = {0, 0};
  std::memcpy(raw, &pmf, sizeof(raw));
  if (kArmMemberPointers) {
    if ((raw[1] & 1) == 0) return -1;  // not a virtual function
    return static_cast<long>(raw[0] / static_cast<std::ptrdiff_t>(sizeof(void*)));
  }
  return static_cast<long>((raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
}

}  // namespace

TEST(SdkContracts, EnumerationValuesAreTheSdkOnes) {
  EXPECT_EQ(media::FRAME_TYPE_PCM16, 0);
  EXPECT_EQ(media::TWO_BYTES_PER_SAMPLE, 2);
  EXPECT_EQ(media::RAW_AUDIO_FRAME_OP_MODE_READ_ONLY, 0);
  EXPECT_EQ(media::RAW_AUDIO_FRAME_OP_MODE_READ_WRITE, 2);
  EXPECT_EQ(rtc::KIVRA_IID_MEDIA_ENGINE, 4);
  EXPECT_EQ(rtc::AUDIO_TRACK_INVALID, -1);
  EXPECT_EQ(rtc::AUDIO_TRACK_MIXABLE, 0);
  EXPECT_EQ(rtc::AUDIO_TRACK_DIRECT, 1);
  EXPECT_EQ(rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE, 3);
  EXPECT_EQ(sizeof(media::AUDIO_FRAME_TYPE), sizeof(int));
  EXPECT_EQ(sizeof(rtc::uid_t), 4u);
  EXPECT_TRUE(std::is_unsigned<rtc::uid_t>::value);
}

TEST(SdkContracts, RecordsKeepTheirFieldOrder) {
  using media::AudioFrame;
  EXPECT_EQ(offsetof(AudioFrame, type), 0u);
  EXPECT_LT(offsetof(AudioFrame, type), offsetof(AudioFrame, samplesPerChannel));
  EXPECT_LT(offsetof(AudioFrame, samplesPerChannel), offsetof(AudioFrame, bytesPerSample));
  EXPECT_LT(offsetof(AudioFrame, bytesPerSample), offsetof(AudioFrame, channels));
  EXPECT_LT(offsetof(AudioFrame, channels), offsetof(AudioFrame, samplesPerSec));
  EXPECT_LT(offsetof(AudioFrame, samplesPerSec), offsetof(AudioFrame, buffer));
  EXPECT_LT(offsetof(AudioFrame, buffer), offsetof(AudioFrame, renderTimeMs));
  EXPECT_LT(offsetof(AudioFrame, renderTimeMs), offsetof(AudioFrame, avsync_type));
  EXPECT_LT(offsetof(AudioFrame, avsync_type), offsetof(AudioFrame, presentationMs));
  EXPECT_LT(offsetof(AudioFrame, presentationMs), offsetof(AudioFrame, audioTrackNumber));
  EXPECT_LT(offsetof(AudioFrame, audioTrackNumber), offsetof(AudioFrame, rtpTimestamp));
  EXPECT_EQ(sizeof(static_cast<AudioFrame*>(nullptr)->renderTimeMs), 8u);
  EXPECT_EQ(sizeof(static_cast<AudioFrame*>(nullptr)->rtpTimestamp), 4u);

  using media::AudioParams;
  EXPECT_EQ(offsetof(AudioParams, sample_rate), 0u);
  EXPECT_EQ(offsetof(AudioParams, channels), 4u);
  EXPECT_EQ(offsetof(AudioParams, mode), 8u);
  EXPECT_EQ(offsetof(AudioParams, samples_per_call), 12u);

  using rtc::AudioTrackConfig;
  EXPECT_EQ(sizeof(AudioTrackConfig), 3u);
  EXPECT_EQ(offsetof(AudioTrackConfig, enableLocalPlayback), 0u);
  EXPECT_EQ(offsetof(AudioTrackConfig, enableAudioProcessing), 1u);
  EXPECT_EQ(offsetof(AudioTrackConfig, enableDirectPublish), 2u);
}

TEST(SdkContracts, EngineOperationsSitAtTheirTablePositions) {
  EXPECT_EQ(slotOf(&rtc::IRtcEngine::findInterface), 0);
  EXPECT_EQ(slotOf(&media::IMediaEngine::registerAudioFrameObserver), 0);
  EXPECT_EQ(slotOf(&media::IMediaEngine::pushFrameToTrack), 4);
  EXPECT_EQ(slotOf(&media::IMediaEngine::makeCustomAudioTrack), 8);
}

TEST(SdkContracts, ObserverTableOrder) {
  using media::AudioFrame;
  using media::IAudioFrameObserver;
  using media::IAudioFrameObserverBase;
  // Slots 0 and 1: the virtual destructor (complete and deleting).
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::onRecordAudioFrame), 2);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::onPlaybackAudioFrame), 3);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::onMixedAudioFrame), 4);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::onEarMonitoringAudioFrame), 5);
  bool (IAudioFrameObserverBase::*beforeMixingByName)(const char*, rtc::user_id_t, AudioFrame&) =
      &IAudioFrameObserverBase::onPlaybackAudioFrameBeforeMixing;
  EXPECT_EQ(slotOf(beforeMixingByName), 6);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::getObservedAudioFramePosition), 7);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::getPlaybackAudioParams), 8);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::getRecordAudioParams), 9);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::getMixedAudioParams), 10);
  EXPECT_EQ(slotOf(&IAudioFrameObserverBase::getEarMonitoringAudioParams), 11);
  bool (IAudioFrameObserver::*beforeMixingByUid)(const char*, rtc::uid_t, AudioFrame&) =
      &IAudioFrameObserver::onPlaybackAudioFrameBeforeMixing;
  EXPECT_EQ(slotOf(beforeMixingByUid), 12);
}

TEST(SdkContracts, BufferProxyTableOrder) {
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::CapacityFrames), 2);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::MarkState), 3);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::Reserved), 4);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::SetFilledFrames), 5);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::FilledFrames), 6);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::ChannelCount), 7);
  EXPECT_EQ(slotOf(&IAkAudioBufferProxy::ChannelData), 8);
}

// A default observer answers true to the string-id overload it does not
// override; a derived class that overrides only the uid overload keeps it.
namespace {
struct MinimalObserver : media::IAudioFrameObserver {
  bool onRecordAudioFrame(const char*, media::AudioFrame&) override { return false; }
  bool onPlaybackAudioFrame(const char*, media::AudioFrame&) override { return false; }
  bool onMixedAudioFrame(const char*, media::AudioFrame&) override { return false; }
  bool onEarMonitoringAudioFrame(media::AudioFrame&) override { return false; }
  int getObservedAudioFramePosition() override { return 0; }
  media::AudioParams getPlaybackAudioParams() override { return {}; }
  media::AudioParams getRecordAudioParams() override { return {}; }
  media::AudioParams getMixedAudioParams() override { return {}; }
  media::AudioParams getEarMonitoringAudioParams() override { return {}; }
  bool onPlaybackAudioFrameBeforeMixing(const char*, rtc::uid_t, media::AudioFrame&) override {
    return false;
  }
};
}  // namespace

TEST(SdkContracts, StringIdBeforeMixingDefaultsToTrue) {
  MinimalObserver observer;
  media::AudioFrame frame{};
  media::IAudioFrameObserverBase& base = observer;
  EXPECT_TRUE(base.onPlaybackAudioFrameBeforeMixing("c", static_cast<rtc::user_id_t>("7"), frame));
  EXPECT_FALSE(observer.onPlaybackAudioFrameBeforeMixing("c", rtc::uid_t{7}, frame));
}
