// The front end: binds the bridge object to one RTC engine, keeps the
// game-object registry and serves the six plugin-side requests.
//
// Threading contract:
//  - m_wrapper_lock_ (the front-end lock, not recursive) serialises binding,
//    teardown, registration, removal and the six forwarding operations, so
//    the bridge object cannot be destroyed while one of them uses it and
//    m_kivra_media_engine cannot change under a push.
//  - The game's thread runs Init/Uninit and the registry operations, one call
//    at a time; the plugin side calls the forwarding operations from its own
//    audio threads.
//  - The registry maps are written only under m_wrapper_lock_, and only by
//    swapping in map nodes built before it and taking out nodes freed after
//    it: the game's mapping calls allocate, copy and log outside the lock
//    that Wwise's audio thread waits for in every callback.
//    KWPlugin_Receive_GetUidByGameObjectID takes no lock of its own: its
//    callers hold it (GetPlayoutAudioFrameByUid, KW_GetUidByGameObjectID).
//  - A talker keeps its record in the bridge object while at least one game
//    object's forward entry names it (m_channelIDAndUserID2MappingCount);
//    when none does, the record is taken out and freed.
//  - ResetReverseState and the track-id setters take the lock as well: the
//    plugin side's transfer switches write m_wrapper.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>

#include <string>
#include <unordered_map>
#include <utility>
#include "KivraCommAudioMutex.h"

#include "IAkAudioBufferProxy.h"
#include "KivraCommLogRepeat.h"
#include "KivraRtcEngine.h"
#include "KivraWwiseCommWrapper.h"

// Front-end state at file scope, shared by the registry and the handler.
extern KivraCommAudioMutex m_wrapper_lock_;
extern KivraWwiseCommWrapper* m_wrapper;
// The bound engine's media engine, or null. The bridge object's uplink and
// reverse pushes send through it; read and written under m_wrapper_lock_.
extern kivra::media::IMediaEngine* m_kivra_media_engine;

struct KWChannelIDAndUserIDHash {
  size_t operator()(const std::pair<std::string, kivra::rtc::uid_t>& key) const;
};

struct KWChannelIDAndUserIDEqual {
  bool operator()(const std::pair<std::string, kivra::rtc::uid_t>& a,
                  const std::pair<std::string, kivra::rtc::uid_t>& b) const;
};

// A game object's forward entry: the talker it plays, and the pacing of the
// "has no data" line while the bridge object has no record of that talker.
// The pacing is used by Wwise's thread under m_wrapper_lock_.
struct KWGameObjectEntry {
  KWGameObjectEntry(const std::string& channelID, kivra::rtc::uid_t userID)
      : talker(channelID, userID) {}
  std::pair<std::string, kivra::rtc::uid_t> talker;
  KivraCommLogRepeat missing_log;
};

class FKivraWwiseCommHandlerKivraInterface {
 public:
  FKivraWwiseCommHandlerKivraInterface() = delete;

  static std::string GetKivraWwiseVersion();
  static int InitKivraWwisePlugin(kivra::rtc::IRtcEngine* KivraRtcEngineInstance,
                                  int& OutDefaultCustomAudioTrackId);
  static int UninitKivraWwisePlugin();
  // The rate Wwise renders at: applied to the bound bridge at once (its
  // queues restarted, the engine asked again for its frames), and to every
  // later binding. 0, or -1 for a rate the bridge cannot serve.
  static int SetWwiseSampleRate(int sampleRate);

  // Forwarding operations, called by the plugin side.
  static void SetTransferRecordingData(bool enable);
  static void GetRecodeAudioFrame(IAkAudioBufferProxy* AkBuffer);
  static void PushRecodeAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer);
  static void SetTransferPlayoutData(bool enable);
  static void GetPlayoutAudioFrameByUid(IAkAudioBufferProxy* AkBuffer,
                                        unsigned long long gameObjectId);
  static void PushPlayoutAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer);
  static void ResetReverseState();

  // Game-object registry.
  static void KWPlugin_Receive_SetUidToGameObjectIDMapping(const unsigned long long gameObjectID,
                                                           const std::string& channelID,
                                                           const kivra::rtc::uid_t& userID);
  static bool KWPlugin_Receive_GetUidByGameObjectID(const unsigned long long gameObjectID,
                                                    std::string& channelID,
                                                    kivra::rtc::uid_t& userID);
  static bool KWPlugin_Receive_ClearReceiveOpenID(const std::string& channelID,
                                                  const kivra::rtc::uid_t& userID);

 private:
  static int setKivraEngineInstance(kivra::rtc::IRtcEngine* pEngine);
  static void setKivraCustomTrackIdDirectAdvanced(int trackId);
  static void setKivraCustomTrackIdAecReference(int trackId);
  using TalkerKey = std::pair<std::string, kivra::rtc::uid_t>;
  using ForwardMap = std::unordered_map<unsigned long long, KWGameObjectEntry>;
  using ReverseMap = std::unordered_map<TalkerKey, unsigned long long, KWChannelIDAndUserIDHash,
                                        KWChannelIDAndUserIDEqual>;
  using MappingCountMap =
      std::unordered_map<TalkerKey, size_t, KWChannelIDAndUserIDHash, KWChannelIDAndUserIDEqual>;

  // The forward entry of a game object, or null. Takes no lock; the entry
  // stays valid while the caller holds m_wrapper_lock_.
  static KWGameObjectEntry* findGameObject(const unsigned long long gameObjectID);
  // m_wrapper_lock_ held. One forward entry fewer names `talker`; when none
  // is left, its count entry and its record in the bridge object (if any) are
  // taken out into the two nodes, for the caller to free after the lock.
  static void unnameTalkerLocked(const TalkerKey& talker, MappingCountMap::node_type& count,
                                 KivraWwiseCommWrapper::RemoteUserNode& record);

  static kivra::rtc::IRtcEngine* m_pEngine;
  // The rate the game told (48000 until told); kept across bindings.
  static std::atomic<int> m_wwiseSampleRate;
  static ForwardMap m_gameObjectID2ChannelIDAndUserID;
  static ReverseMap m_channelIDAndUserID2GameObjectID;
  // How many forward entries name each talker; a talker is absent when none.
  static MappingCountMap m_channelIDAndUserID2MappingCount;

  friend class FKivraWwiseCommHandlerTestPeer;
};
