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
//  - The registry maps are written only under m_wrapper_lock_.
//    KWPlugin_Receive_GetUidByGameObjectID takes no lock of its own: its
//    callers hold it (GetPlayoutAudioFrameByUid, KW_GetUidByGameObjectID).
//  - ResetReverseState and the track-id setters take the lock as well: the
//    plugin side's transfer switches write m_wrapper.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "IAkAudioBufferProxy.h"
#include "KivraRtcEngine.h"

class KivraWwiseCommWrapper;

// Front-end state at file scope, shared by the registry and the handler.
extern std::mutex m_wrapper_lock_;
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

class FKivraWwiseCommHandlerKivraInterface {
 public:
  FKivraWwiseCommHandlerKivraInterface() = delete;

  static std::string GetKivraWwiseVersion();
  static int InitKivraWwisePlugin(kivra::rtc::IRtcEngine* KivraRtcEngineInstance,
                                  int& OutDefaultCustomAudioTrackId);
  static int UninitKivraWwisePlugin();

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
  // The forward entry of a game object, or null. Takes no lock; the entry
  // stays valid while the caller holds m_wrapper_lock_.
  static const std::pair<std::string, kivra::rtc::uid_t>* findGameObject(
      const unsigned long long gameObjectID);

  static kivra::rtc::IRtcEngine* m_pEngine;
  static std::unordered_map<unsigned long long, std::pair<std::string, kivra::rtc::uid_t>>
      m_gameObjectID2ChannelIDAndUserID;
  static std::unordered_map<std::pair<std::string, kivra::rtc::uid_t>, unsigned long long,
                            KWChannelIDAndUserIDHash, KWChannelIDAndUserIDEqual>
      m_channelIDAndUserID2GameObjectID;

  friend class FKivraWwiseCommHandlerTestPeer;
};
