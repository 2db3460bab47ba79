// Declarations shared with the KivraWwiseRTCSDK library: the RTC engine, its
// media engine and the audio-frame observer the bridge implements.
//
// Layout matters here. These classes cross the boundary between two separately
// built libraries, so record fields keep their order and every interface keeps
// its virtual-table order. Interfaces the bridge only calls have protected,
// non-virtual destructors so that no destructor slot shifts their tables.
#pragma once

#include <cstdint>

namespace kivra {
namespace rtc {

typedef unsigned int uid_t;     // remote user id, unsigned 32-bit
typedef const char* user_id_t;  // string form of a user id

enum INTERFACE_ID_TYPE {
  KIVRA_IID_MEDIA_ENGINE = 4,
};

enum AUDIO_TRACK_TYPE {
  AUDIO_TRACK_INVALID = -1,
  AUDIO_TRACK_MIXABLE = 0,
  AUDIO_TRACK_DIRECT = 1,
  AUDIO_TRACK_EXTERNAL_AEC_REFERENCE = 3,
};

struct AudioTrackConfig {
  bool enableLocalPlayback;
  bool enableAudioProcessing;
  bool enableDirectPublish;
};

// Handed in by the game, never released by the bridge.
class IRtcEngine {
 public:
  // Table slot 0. Only the pointer written to *inter counts.
  virtual int findInterface(INTERFACE_ID_TYPE iid, void** inter) = 0;

 protected:
  ~IRtcEngine() = default;
};

}  // namespace rtc

namespace media {

enum AUDIO_FRAME_TYPE {
  FRAME_TYPE_PCM16 = 0,
};

enum BYTES_PER_SAMPLE {
  TWO_BYTES_PER_SAMPLE = 2,
};

enum RAW_AUDIO_FRAME_OP_MODE_TYPE {
  RAW_AUDIO_FRAME_OP_MODE_READ_ONLY = 0,
  RAW_AUDIO_FRAME_OP_MODE_READ_WRITE = 2,
};

// Bits answered by getObservedAudioFramePosition().
enum AUDIO_FRAME_POSITION {
  AUDIO_FRAME_POSITION_NONE = 0,
  AUDIO_FRAME_POSITION_PLAYBACK = 1,
  AUDIO_FRAME_POSITION_RECORD = 2,
  AUDIO_FRAME_POSITION_MIXED = 4,
  AUDIO_FRAME_POSITION_BEFORE_MIXING = 8,
};

struct AudioFrame {
  AUDIO_FRAME_TYPE type;
  int samplesPerChannel;
  BYTES_PER_SAMPLE bytesPerSample;
  int channels;
  int samplesPerSec;
  void* buffer;  // interleaved int16, owned by whoever built the frame
  int64_t renderTimeMs;
  int avsync_type;
  int64_t presentationMs;
  int audioTrackNumber;
  uint32_t rtpTimestamp;
};

struct AudioParams {
  int sample_rate;
  int channels;
  RAW_AUDIO_FRAME_OP_MODE_TYPE mode;
  int samples_per_call;
};

// Called by the engine on its own audio threads. Table order is fixed.
class IAudioFrameObserverBase {
 public:
  virtual ~IAudioFrameObserverBase() {}
  virtual bool onRecordAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onPlaybackAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onMixedAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onEarMonitoringAudioFrame(AudioFrame& audioFrame) = 0;
  virtual bool onPlaybackAudioFrameBeforeMixing(const char* channelId, rtc::user_id_t userId,
                                                AudioFrame& audioFrame) {
    (void)channelId;
    (void)userId;
    (void)audioFrame;
    return true;
  }
  virtual int getObservedAudioFramePosition() = 0;
  virtual AudioParams getPlaybackAudioParams() = 0;
  virtual AudioParams getRecordAudioParams() = 0;
  virtual AudioParams getMixedAudioParams() = 0;
  virtual AudioParams getEarMonitoringAudioParams() = 0;
};

class IAudioFrameObserver : public IAudioFrameObserverBase {
 public:
  using IAudioFrameObserverBase::onPlaybackAudioFrameBeforeMixing;
  virtual bool onPlaybackAudioFrameBeforeMixing(const char* channelId, rtc::uid_t uid,
                                                AudioFrame& audioFrame) = 0;
};

// Obtained through IRtcEngine::findInterface(KIVRA_IID_MEDIA_ENGINE), never
// released. The bridge uses slots 0, 4 and 8; the slots in between belong to
// operations it never calls and are kept only so the used ones land in place.
class IMediaEngine {
 public:
  // Slot 0. A null observer unregisters.
  virtual int registerAudioFrameObserver(IAudioFrameObserver* observer) = 0;
  virtual int unusedSlot1() { return -1; }
  virtual int unusedSlot2() { return -1; }
  virtual int unusedSlot3() { return -1; }
  // Slot 4.
  virtual int pushFrameToTrack(AudioFrame* frame, int trackId) = 0;
  virtual int unusedSlot5() { return -1; }
  virtual int unusedSlot6() { return -1; }
  virtual int unusedSlot7() { return -1; }
  // Slot 8. Returns the new track's id.
  virtual int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                                   const rtc::AudioTrackConfig& config) = 0;

 protected:
  ~IMediaEngine() = default;
};

}  // namespace media
}  // namespace kivra
