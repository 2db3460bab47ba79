// The bridge object: the RTC engine's audio-frame observer and owner of the
// queues of the three streams (uplink, downlink, reverse).
//
// Threading contract:
//  - Engine audio threads call the observer operations. They take only the
//    stream locks below, never the front-end lock.
//  - Wwise-side operations (pop*/push*), the transfer switches, the resets and
//    setReceiveOpenIDWithGameObjectID are called by the front end with its
//    lock (m_wrapper_lock_) held; that lock serialises them with each other,
//    so the per-operation scratch arrays below need no lock of their own.
//  - Lock order: front-end lock, then at most one stream lock. A stream lock
//    is held only around the ring copy and the fields it guards; conversions,
//    logging and the calls into the media engine run outside it (the pushes
//    into the media engine still run under the front-end lock, which keeps
//    m_kivra_media_engine stable).
//
//   m_rec_data_lock_      m_rec_org_buffer_, m_rec_latency_, m_total_record_frames_
//   m_rec_proc_data_lock_ m_rec_proc_buffer_, m_total_effect_frames_
//   m_player_data_lock_   m_player_buffer_map_ and every RemoteUserController
//                          (its queue and its latency controller)
//   m_play_proc_data_lock_ m_playback_proc_buffer_, m_playback_latency_,
//                          m_first_reverse_push_, m_first_reverse_pop_,
//                          m_total_reverse_frames_
//
//  - Each queue that crosses between the engine's clock and Wwise's has a
//    latency controller (KivraCommLatencyController.h) that keeps its
//    backlog short; it is used under the queue's lock, with the queue.
//
//  - m_rec_trans_state_ and m_play_trans_state_ are atomics: written under the
//    front-end lock, read by engine threads without it. So is m_rec_samplerate,
//    the rate served (KivraCommFormat.h): it changes only with every queue
//    rebuilt and restarted, under each queue's lock in turn.
//  - m_rate_watch_ (is Wwise pulling at the served rate?) is used under
//    m_rec_data_lock_: the engine's recording thread feeds it its frames,
//    Wwise's microphone pulls their own.
//  - The KivraCommLogRepeat members pace the lines a stream repeats while it
//    stays in a bad state; each has its own lock (taken after a stream lock,
//    never before one). A talker's pacing lives in its RemoteUserController
//    and is used under m_player_data_lock_, since the game may free the
//    record as soon as that lock is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "KivraCommAudioMutex.h"

#include "IAkAudioBufferProxy.h"
#include "KivraCommCircularBuffer.h"
#include "KivraCommFormat.h"
#include "KivraCommLatencyController.h"
#include "KivraCommLogRepeat.h"
#include "KivraRtcEngine.h"

class KivraWwiseCommWrapperTestPeer;

class KivraWwiseCommWrapper : public kivra::media::IAudioFrameObserver {
 public:
  static constexpr int kDefaultValueOfChannel = 2;
  static constexpr int kDefaultValueOfSampleRate = 48000;
  static constexpr int kDefaultNumOfRecordData = 10;
  static constexpr int kDefaultNumOfPlayoutData = 10;
  static constexpr int kDefaultNumOfReverseData = 6;
  // State code passed to MarkState after the bridge filled a Wwise buffer.
  static constexpr int kBufferStateFilled = 45;
  // Largest block a buffer proxy can describe: 16-bit frame counts, 2 channels
  // (the engine's side is stereo whatever Wwise's buffers hold).
  static constexpr int kMaxBlockSamples = 65535 * kDefaultValueOfChannel;
  // After a change of rate, frames of the old one dropped without a line
  // (those in flight); past these, each is logged like any other rate.
  static constexpr int kQuietDropsAfterChange = 50;

  struct RemoteUserController {
    bool transfer_start = false;
    std::unique_ptr<KivraCommCircularBuffer> player_buffer;
    // Keeps this talker's queue short; guarded like the queue.
    KivraCommLatencyController latency{KivraCommLatencyController::Consumer::TakeAvailable,
                                       kDefaultValueOfChannel};
    // The talker's overflow line.
    KivraCommLogRepeat overflow_log;
  };

  // Key of m_player_buffer_map_: (channel id, uid), channel id first. Also
  // compares against (string_view, uid) so the engine's per-talker look-ups
  // build no std::string.
  using RemoteUserKey = std::pair<std::string, uint32_t>;
  struct RemoteUserKeyLess {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      const int c = std::string_view(a.first).compare(std::string_view(b.first));
      return c < 0 || (c == 0 && a.second < b.second);
    }
  };

  using RemoteUserMap =
      std::map<RemoteUserKey, std::unique_ptr<RemoteUserController>, RemoteUserKeyLess>;
  // One talker's record outside the map: built, or taken out, by the game's
  // thread so that allocating and freeing happen outside every lock.
  using RemoteUserNode = RemoteUserMap::node_type;

  // What setTransferPlayerDataState's line says.
  struct TransferSwitch {
    bool bypassed;
    bool enable;
  };

  static KivraWwiseCommWrapper* getInstance();
  static bool destroyInstance(KivraWwiseCommWrapper* p);

  ~KivraWwiseCommWrapper() override;
  KivraWwiseCommWrapper(const KivraWwiseCommWrapper&) = delete;
  KivraWwiseCommWrapper& operator=(const KivraWwiseCommWrapper&) = delete;

  // IAudioFrameObserverBase, in table order.
  bool onRecordAudioFrame(const char* channelId, kivra::media::AudioFrame& audioFrame) override;
  bool onPlaybackAudioFrame(const char* channelId, kivra::media::AudioFrame& audioFrame) override;
  bool onMixedAudioFrame(const char* channelId, kivra::media::AudioFrame& audioFrame) override;
  bool onEarMonitoringAudioFrame(kivra::media::AudioFrame& audioFrame) override;
  using kivra::media::IAudioFrameObserver::onPlaybackAudioFrameBeforeMixing;
  int getObservedAudioFramePosition() override;
  kivra::media::AudioParams getPlaybackAudioParams() override;
  kivra::media::AudioParams getRecordAudioParams() override;
  kivra::media::AudioParams getMixedAudioParams() override;
  kivra::media::AudioParams getEarMonitoringAudioParams() override;
  // IAudioFrameObserver.
  bool onPlaybackAudioFrameBeforeMixing(const char* channelId, kivra::rtc::uid_t uid,
                                        kivra::media::AudioFrame& audioFrame) override;

  // Queues for one sample rate, built by the game's thread before any lock
  // (allocating; null members when out of memory), swapped in by
  // applySampleRate, and carrying the old queues out to be freed after it.
  struct RateQueues {
    std::unique_ptr<KivraCommCircularBuffer> record, effect, reverse;
    std::vector<std::unique_ptr<KivraCommCircularBuffer>> talkers;
    bool complete() const { return record && effect && reverse; }
  };
  static RateQueues makeRateQueues(int rate, size_t talkers);
  // Front end, under its lock: serves `rate` from now on. Every queue is
  // restarted; each takes a queue of `queues` sized for the rate (a talker
  // without one keeps its own). False, and nothing changed, for a rate the
  // bridge cannot serve or incomplete queues.
  bool applySampleRate(int rate, RateQueues& queues);
  // Both steps at once, allocating under the caller's lock (binding).
  bool setSampleRate(int rate);
  int sampleRate() const { return m_rec_samplerate; }
  size_t talkerCount();

  // Set by the front end while binding.
  void setEngine(kivra::rtc::IRtcEngine* engine);
  void setFeature(bool disableWwiseUplink, bool disableWwiseDownlink);
  void setSendTrackIdDirectAdvanced(int trackId);
  void setSendTrackIdAecReference(int trackId);

  // Transfer switches; a false-to-true change resets its stream.
  void setTransferRecordDataState(bool enable);
  void setTransferPlayerDataState(bool enable);
  // setTransferPlayerDataState in two steps, for a caller that writes the
  // line after releasing its own lock.
  TransferSwitch switchTransferPlayerDataState(bool enable);
  static void logTransferPlayerDataState(TransferSwitch done);
  void resetPlayState();
  void resetRecordState();
  void resetReverseState();

  // Uplink.
  bool popOriginRecordAudioFrame(IAkAudioBufferProxy* pBuffer);
  bool pushRecordAudioFrameAfterEffect(IAkAudioBufferProxy* pBuffer);
  bool popRecordAudioFrameAfterEffect(kivra::media::AudioFrame& audioFrame);

  // Downlink.
  void setReceiveOpenIDWithGameObjectID(unsigned long long gameObjectId,
                                        const std::string& channelId, const kivra::rtc::uid_t& uid);
  // missingLog paces the "has no data" line of that talker (the front end
  // keeps one per mapped game object); without one the bridge's own is used.
  bool popOriginPlayerAudioFrameByUid(IAkAudioBufferProxy* pBuffer, const char* channelId,
                                      kivra::rtc::uid_t uid,
                                      KivraCommLogRepeat* missingLog = nullptr);
  // setReceiveOpenIDWithGameObjectID in steps, for the front end: the record
  // is built (allocating; empty when out of memory) before any lock, swapped
  // in or taken out under m_player_data_lock_ alone (install returns the
  // record it replaced, take the record it removed; empty when none), and
  // logged and freed after the caller's lock.
  static RemoteUserNode makeRemoteUser(const std::string& channelId, kivra::rtc::uid_t uid,
                                       int rate = kivra::format::kDefaultRate);
  RemoteUserNode installRemoteUser(RemoteUserNode record);
  RemoteUserNode takeRemoteUser(const std::string& channelId, kivra::rtc::uid_t uid);
  static void logRemoteUser(unsigned long long gameObjectId, const std::string& channelId,
                            kivra::rtc::uid_t uid, bool built, bool reused);

  // Reverse.
  bool pushReverseAudioFrameAfterEffect(IAkAudioBufferProxy* pBuffer);
  bool popReverseAudioFrameAfterEffect(kivra::media::AudioFrame& audioFrame);

  // Conversions between interleaved int16 and Wwise's per-channel floats, by
  // the buffer's own ChannelCount() (channel mapping: KivraCommFormat.h).
  // Float to int16 scales by 32767, truncates toward zero, clamps to the int16
  // range and turns NaN into 0; int16 to float scales by 1/32768.
  static void AkBufferToInt16Buf(IAkAudioBufferProxy* buffer, int16_t* out, int channels);
  static void Int16BufToAkBuffer(IAkAudioBufferProxy* buffer, int16_t* in, int channels,
                                 int frames);
  static void FloatToInt16(float* in, int16_t* out, int count);

 private:
  KivraWwiseCommWrapper();

  static KivraWwiseCommWrapper* m_instance_;

  kivra::rtc::IRtcEngine* m_pEngine = nullptr;
  std::atomic<int> m_rec_samplerate{kDefaultValueOfSampleRate};
  // The rate served before the last change, until the engine delivers a
  // frame at the new one (0 then): its frames still in flight are dropped
  // without a line, so that a change logs one line; at most
  // kQuietDropsAfterChange of them, so that an engine that keeps the old
  // rate is not silent.
  std::atomic<int> m_rate_before_change_{0};
  std::atomic<int> m_quiet_drops_left_{0};
  bool quietDrop(const kivra::media::AudioFrame& frame);
  int m_rec_channels = kDefaultValueOfChannel;
  int m_play_channels = kDefaultValueOfChannel;
  kivra::format::RateWatch m_rate_watch_;
  std::unique_ptr<KivraCommCircularBuffer> m_rec_proc_buffer_;
  std::unique_ptr<KivraCommCircularBuffer> m_rec_org_buffer_;
  std::unique_ptr<KivraCommCircularBuffer> m_playback_proc_buffer_;
  KivraCommLatencyController m_rec_latency_{KivraCommLatencyController::Consumer::TakeAvailable,
                                            kDefaultValueOfChannel};
  KivraCommLatencyController m_playback_latency_{KivraCommLatencyController::Consumer::FixedBlocks,
                                                 kDefaultValueOfChannel};
  RemoteUserMap m_player_buffer_map_;
  std::atomic<bool> m_rec_trans_state_{false};
  std::atomic<bool> m_play_trans_state_{false};
  int64_t m_total_record_frames_ = 0;
  int64_t m_total_effect_frames_ = 0;
  int64_t m_total_reverse_frames_ = 0;
  KivraCommAudioMutex m_rec_data_lock_;
  KivraCommAudioMutex m_rec_proc_data_lock_;
  KivraCommAudioMutex m_player_data_lock_;
  KivraCommAudioMutex m_play_proc_data_lock_;
  bool m_first_reverse_push_ = false;
  bool m_first_reverse_pop_ = false;
  bool m_use_direct_push_reverse_ = true;
  // Written by the front end under its lock, read by engine threads (the
  // position query) and by the pushes: atomics keep those reads race-free.
  std::atomic<bool> m_disable_uplink_proc_{false};
  std::atomic<bool> m_disable_downlink_proc_{false};
  std::atomic<int> m_send_track_id_direct_advanced{-1};
  std::atomic<int> m_send_track_id_aec_reference{-1};

  // Scratch arrays, kMaxBlockSamples each, allocated at construction so that
  // no audio path allocates. Each serves one Wwise-side operation; those run
  // under the front-end lock, one at a time.
  std::vector<int16_t> m_rec_pop_scratch_;
  std::vector<int16_t> m_rec_push_scratch_;
  std::vector<int16_t> m_play_pop_scratch_;
  std::vector<int16_t> m_reverse_push_scratch_;

  // Lines a stream repeats while it stays in a bad state. Each stream's own
  // thread uses its pacing; the resets end them.
  KivraCommLogRepeat m_rec_overflow_log_;           // engine recording thread
  KivraCommLogRepeat m_rec_not_started_log_;        // Wwise-side pulls
  KivraCommLogRepeat m_rec_not_ready_log_;          // Wwise-side pulls
  KivraCommLogRepeat m_player_missing_log_;         // pulls without a pacing of their own
  KivraCommLogRepeat m_reverse_overflow_log_;       // Wwise-side pushes
  KivraCommLogRepeat m_reverse_wait_log_;           // engine playback thread
  KivraCommLogRepeat m_reverse_not_available_log_;  // engine playback thread
  KivraCommLogRepeat m_rec_rate_log_;               // engine recording thread
  KivraCommLogRepeat m_play_rate_log_;              // engine playback thread

  // Tests reach buffered reverse mode and the counters through this peer;
  // the shipped library never defines it.
  friend class KivraWwiseCommWrapperTestPeer;
};
