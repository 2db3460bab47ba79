// Every shared declaration used the way the two libraries use them, so that
// the compiler lays out each record and virtual table: compiled only to have
// clang print those layouts (tests/abi/check_layout.py), never linked.
#include "IAkAudioBufferProxy.h"
#include "KivraRtcEngine.h"
#include "KivraWwisePluginApi.h"
#include "KivraWwiseWrapper.h"

using namespace kivra;

int useEverySharedDeclaration(rtc::IRtcEngine* engine, media::IMediaEngine* media,
                              media::IAudioFrameObserver* observer, IAkAudioBufferProxy* buffer) {
  media::AudioFrame frame{};
  rtc::AudioTrackConfig config{};
  media::AudioParams params = observer->getRecordAudioParams();
  void* found = nullptr;
  engine->findInterface(rtc::KIVRA_IID_MEDIA_ENGINE, &found);
  media->registerAudioFrameObserver(observer);
  media->pushFrameToTrack(&frame, 1);
  media->makeCustomAudioTrack(rtc::AUDIO_TRACK_DIRECT, config);
  observer->onRecordAudioFrame("", frame);
  observer->onPlaybackAudioFrameBeforeMixing("", rtc::uid_t{1}, frame);
  buffer->ChannelData(buffer->ChannelCount() - 1)[0] = 0.0f;
  delete observer;
  delete buffer;
  return params.channels + static_cast<int>(sizeof(media::AudioFrame) + sizeof(media::AudioParams) +
                                            sizeof(rtc::AudioTrackConfig));
}
