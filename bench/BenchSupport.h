// Shared by the benchmark executables: an engine whose media engine does
// nothing, the library bound through its front end with remote talkers,
// engine frames and test signals, and the plugin side's callbacks made
// through the front end's own operations.
//
// Threading: a BridgeSession is created and destroyed on one thread while no
// other thread uses the library. The Wwise-side calls follow the front end's
// rules (it takes m_wrapper_lock_ for each); the engine-side calls go
// straight to the observer, as the engine's audio threads do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "IAkAudioBufferProxy.h"
#include "KivraRtcEngine.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseCommWrapper.h"

namespace kivra {
namespace bench {

constexpr int kChannels = 2;
constexpr int kEngineFrames = 480;                         // 10 ms at 48 kHz
constexpr int kEngineSamples = kEngineFrames * kChannels;  // 960
constexpr int kDirectTrackId = 7001;
constexpr int kAecTrackId = 7002;
extern const char* const kChannelId;

// pushFrameToTrack does no work beyond counting, so the benchmarks measure
// the bridge alone. Called under the front-end lock only.
class NullMediaEngine : public media::IMediaEngine {
 public:
  virtual ~NullMediaEngine() = default;
  int registerAudioFrameObserver(media::IAudioFrameObserver* observer) override;
  int pushFrameToTrack(media::AudioFrame* frame, int trackId) override;
  int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE trackType,
                           const rtc::AudioTrackConfig& config) override;
  uint64_t pushes() const { return pushes_; }
  uint64_t pushedSamples() const { return pushedSamples_; }

 private:
  uint64_t pushes_ = 0;
  uint64_t pushedSamples_ = 0;
};

// One engine frame of interleaved int16 samples with its own storage.
struct EngineFrame {
  explicit EngineFrame(int samplesPerChannel = kEngineFrames);
  EngineFrame(const EngineFrame&) = delete;
  EngineFrame& operator=(const EngineFrame&) = delete;
  // Writes a full-scale test signal (never all zero) starting at phase.
  void fill(uint32_t phase);
  std::vector<int16_t> samples;
  media::AudioFrame frame{};
};

// Deterministic test signals: a wide-band mix, always within range.
void fillInt16(int16_t* out, int count, uint32_t phase);
void fillFloat(float* out, int count, uint32_t phase);
// Fills both channels of a Wwise buffer and marks `frames` valid.
void fillProxy(standin::FloatBufferProxy& proxy, uint16_t frames, uint32_t phase);

// An engine whose media-engine query yields its NullMediaEngine.
class NullRtcEngine : public rtc::IRtcEngine {
 public:
  virtual ~NullRtcEngine() = default;
  int findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) override;
  NullMediaEngine& media() { return media_; }

 private:
  NullMediaEngine media_;
};

// The library bound through the front end exactly as a game binds it
// (InitKivraWwisePlugin), both transfers switched on by the plugin side's
// callbacks, and `talkers` remote talkers mapped through the registry on
// kChannelId with uids talkerUid(0..n-1), game objects talkerGameObject(i).
class BridgeSession {
 public:
  explicit BridgeSession(int talkers);
  ~BridgeSession();
  BridgeSession(const BridgeSession&) = delete;
  BridgeSession& operator=(const BridgeSession&) = delete;

  static uint32_t talkerUid(int index) { return 1000u + static_cast<uint32_t>(index); }
  static unsigned long long talkerGameObject(int index) {
    return 500ull + static_cast<unsigned long long>(index);
  }

  // The bridge object: the engine-side calls go straight to it, as the
  // engine calls its observer.
  KivraWwiseCommWrapper* bridge() const { return bridge_; }
  NullMediaEngine& media() { return engine_.media(); }
  int talkers() const { return talkers_; }
  bool bound() const { return bound_; }

  // Empties every queue (the resets of the transfer switches), under the
  // front-end lock, without logging.
  void resetQueues();

 private:
  NullRtcEngine engine_;
  KivraWwiseCommWrapper* bridge_ = nullptr;
  int talkers_ = 0;
  bool bound_ = false;
};

// The plugin side's callbacks, through the front end's static operations.
// Each answers whether the bridge did its work: the buffer was filled (the
// pulls), or a frame reached the engine (the pushes).
bool wwisePullRecord(BridgeSession& session, standin::FloatBufferProxy* buffer);
bool wwisePushRecord(BridgeSession& session, standin::FloatBufferProxy* buffer);
bool wwisePullTalker(BridgeSession& session, standin::FloatBufferProxy* buffer,
                     unsigned long long gameObject);
bool wwisePushReverse(BridgeSession& session, standin::FloatBufferProxy* buffer);
// The game's registry calls (KW_SetUidToGameObjectIDMapping and
// KW_ClearReceiveOpenID do exactly these).
void gameMapTalker(unsigned long long gameObject, uint32_t uid);
void gameUnmapTalker(uint32_t uid);

// Machine and build facts printed with every report.
std::string buildDescription();

}  // namespace bench
}  // namespace kivra
