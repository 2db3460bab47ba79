// The front end: game-object registry and plugin handler.
#include "KivraWwiseCommHandlerKivraInterface.h"

#include "KivraCommLog.h"
#include "KivraWwiseCommWrapper.h"

using kivra::rtc::uid_t;

// Front-end state. m_wrapper and m_kivra_media_engine are read and written
// under m_wrapper_lock_ only; the game thread's binding and teardown, the
// registry writers and the plugin side's forwarding operations all take it.
std::mutex m_wrapper_lock_;
KivraWwiseCommWrapper* m_wrapper = nullptr;
kivra::media::IMediaEngine* m_kivra_media_engine = nullptr;

// Written by the game's thread only; nothing reads it.
kivra::rtc::IRtcEngine* FKivraWwiseCommHandlerKivraInterface::m_pEngine = nullptr;
// Written by the game's thread under m_wrapper_lock_; read under it by the
// plugin side and by the game's own look-ups.
std::unordered_map<unsigned long long, std::pair<std::string, uid_t>>
    FKivraWwiseCommHandlerKivraInterface::m_gameObjectID2ChannelIDAndUserID;
std::unordered_map<std::pair<std::string, uid_t>, unsigned long long, KWChannelIDAndUserIDHash,
                   KWChannelIDAndUserIDEqual>
    FKivraWwiseCommHandlerKivraInterface::m_channelIDAndUserID2GameObjectID;

namespace {

// Custom tracks publish directly and bypass the engine's local processing:
// Wwise has already processed the audio.
constexpr kivra::rtc::AudioTrackConfig kCustomTrackConfig{false, false, true};

}  // namespace

size_t KWChannelIDAndUserIDHash::operator()(const std::pair<std::string, uid_t>& key) const {
  const size_t channelIDHash = std::hash<std::string>()(key.first);
  const size_t userIDHash = std::hash<uid_t>()(key.second);
  return channelIDHash ^ (userIDHash << 1);
}

bool KWChannelIDAndUserIDEqual::operator()(const std::pair<std::string, uid_t>& a,
                                           const std::pair<std::string, uid_t>& b) const {
  return a.first == b.first && a.second == b.second;
}

// ---------------------------------------------------------------------------
// Registry

void FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_SetUidToGameObjectIDMapping(
    const unsigned long long gameObjectID, const std::string& channelID, const uid_t& userID) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  m_gameObjectID2ChannelIDAndUserID[gameObjectID] = std::make_pair(channelID, userID);
  m_channelIDAndUserID2GameObjectID[std::make_pair(channelID, userID)] = gameObjectID;
  if (m_wrapper != nullptr && userID != 0) {
    m_wrapper->setReceiveOpenIDWithGameObjectID(gameObjectID, channelID, userID);
  }
  if (m_wrapper != nullptr) {
    m_wrapper->setTransferPlayerDataState(!m_channelIDAndUserID2GameObjectID.empty());
  }
  KV_LOG("register gameObjectId map, game id (%llu) -> uid (%u)", gameObjectID, userID);
}

const std::pair<std::string, uid_t>* FKivraWwiseCommHandlerKivraInterface::findGameObject(
    const unsigned long long gameObjectID) {
  const auto it = m_gameObjectID2ChannelIDAndUserID.find(gameObjectID);
  return it != m_gameObjectID2ChannelIDAndUserID.end() ? &it->second : nullptr;
}

bool FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_GetUidByGameObjectID(
    const unsigned long long gameObjectID, std::string& channelID, uid_t& userID) {
  const std::pair<std::string, uid_t>* entry = findGameObject(gameObjectID);
  if (entry == nullptr) return false;
  channelID = entry->first;
  userID = entry->second;
  return true;
}

bool FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_ClearReceiveOpenID(
    const std::string& channelID, const uid_t& userID) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  bool erased = false;
  const auto it = m_channelIDAndUserID2GameObjectID.find(std::make_pair(channelID, userID));
  if (it != m_channelIDAndUserID2GameObjectID.end()) {
    const unsigned long long gameObjectID = it->second;
    m_channelIDAndUserID2GameObjectID.erase(it);
    // The forward entry may already name another talker, or be gone: the two
    // maps are not exact inverses after re-registrations.
    erased = m_gameObjectID2ChannelIDAndUserID.erase(gameObjectID) != 0;
  }
  KV_LOG("unregister gameObjectId map, game id -> uid (%u)", userID);
  if (m_wrapper != nullptr) {
    m_wrapper->setTransferPlayerDataState(!m_channelIDAndUserID2GameObjectID.empty());
  }
  return erased;
}

// ---------------------------------------------------------------------------
// Binding and teardown

std::string FKivraWwiseCommHandlerKivraInterface::GetKivraWwiseVersion() { return "1.0.0"; }

int FKivraWwiseCommHandlerKivraInterface::setKivraEngineInstance(kivra::rtc::IRtcEngine* pEngine) {
  m_pEngine = pEngine;
  if (pEngine != nullptr) {
    std::lock_guard<std::mutex> guard(m_wrapper_lock_);
    void* mediaEngine = m_kivra_media_engine;
    pEngine->findInterface(kivra::rtc::KIVRA_IID_MEDIA_ENGINE, &mediaEngine);
    m_kivra_media_engine = static_cast<kivra::media::IMediaEngine*>(mediaEngine);
    m_wrapper = KivraWwiseCommWrapper::getInstance();
    if (m_wrapper == nullptr || m_kivra_media_engine == nullptr) {
      KV_LOG("create wrapper failed!");
      return -1;
    }
    m_wrapper->setEngine(pEngine);
    m_wrapper->setFeature(false, false);
    const int r = m_kivra_media_engine->registerAudioFrameObserver(m_wrapper);
    KV_LOG("registerAudioFrameObserver: %d", r);
    KV_LOG("create wrapper %p success", static_cast<void*>(m_wrapper));
    return 0;
  }

  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  KivraWwiseCommWrapper* p = m_wrapper;
  if (m_kivra_media_engine != nullptr) {
    m_kivra_media_engine->registerAudioFrameObserver(nullptr);
    m_kivra_media_engine = nullptr;
  }
  KV_LOG("destroy wrapper %p in", static_cast<void*>(p));
  m_wrapper = nullptr;
  KivraWwiseCommWrapper::destroyInstance(p);
  KV_LOG("destroy wrapper %p out", static_cast<void*>(p));
  m_gameObjectID2ChannelIDAndUserID.clear();
  m_channelIDAndUserID2GameObjectID.clear();
  return 0;
}

int FKivraWwiseCommHandlerKivraInterface::InitKivraWwisePlugin(
    kivra::rtc::IRtcEngine* KivraRtcEngineInstance, int& OutDefaultCustomAudioTrackId) {
  // A null engine would turn the binding into a teardown; refuse it instead.
  if (KivraRtcEngineInstance == nullptr) {
    KV_LOG("init refused: null rtc engine!");
    return -1;
  }
  const int ret = setKivraEngineInstance(KivraRtcEngineInstance);
  if (ret != 0) return ret;

  void* queried = nullptr;
  KivraRtcEngineInstance->findInterface(kivra::rtc::KIVRA_IID_MEDIA_ENGINE, &queried);
  kivra::media::IMediaEngine* MediaEngine = static_cast<kivra::media::IMediaEngine*>(queried);
  if (MediaEngine == nullptr) {
    KV_LOG("get media engine failed, no custom audio track created!");
    return -1;
  }
  const int audioTrackIdDirectAdvanced =
      MediaEngine->makeCustomAudioTrack(kivra::rtc::AUDIO_TRACK_DIRECT, kCustomTrackConfig);
  setKivraCustomTrackIdDirectAdvanced(audioTrackIdDirectAdvanced);
  const int audioTrackIdAecReference = MediaEngine->makeCustomAudioTrack(
      kivra::rtc::AUDIO_TRACK_EXTERNAL_AEC_REFERENCE, kCustomTrackConfig);
  setKivraCustomTrackIdAecReference(audioTrackIdAecReference);
  KV_LOG("direct advanced track id %d, aec reference track id %d", audioTrackIdDirectAdvanced,
         audioTrackIdAecReference);
  OutDefaultCustomAudioTrackId = audioTrackIdDirectAdvanced;
  return 0;
}

int FKivraWwiseCommHandlerKivraInterface::UninitKivraWwisePlugin() {
  return setKivraEngineInstance(nullptr);
}

// The plugin side may already be calling back, and its pushes read the track
// ids under the front-end lock: store them under it too.
void FKivraWwiseCommHandlerKivraInterface::setKivraCustomTrackIdDirectAdvanced(int trackId) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->setSendTrackIdDirectAdvanced(trackId);
}

void FKivraWwiseCommHandlerKivraInterface::setKivraCustomTrackIdAecReference(int trackId) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->setSendTrackIdAecReference(trackId);
}

void FKivraWwiseCommHandlerKivraInterface::ResetReverseState() {
  // m_wrapper is also written by the plugin side's transfer switches.
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->resetReverseState();
}

// ---------------------------------------------------------------------------
// Forwarding operations (plugin side's threads)

void FKivraWwiseCommHandlerKivraInterface::SetTransferRecordingData(bool enable) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  m_wrapper = KivraWwiseCommWrapper::getInstance();
  if (m_wrapper != nullptr) m_wrapper->setTransferRecordDataState(enable);
}

void FKivraWwiseCommHandlerKivraInterface::GetRecodeAudioFrame(IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper == nullptr) {
    KV_LOG("not initialized wrapper yet!");
    return;
  }
  m_wrapper->popOriginRecordAudioFrame(AkBuffer);
}

void FKivraWwiseCommHandlerKivraInterface::PushRecodeAudioFrameAfterEffect(
    IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper == nullptr) {
    KV_LOG("not initialized wrapper yet!");
    return;
  }
  if (!m_wrapper->pushRecordAudioFrameAfterEffect(AkBuffer)) {
    KV_LOG("failed to push wwise record data after effect!");
  }
}

void FKivraWwiseCommHandlerKivraInterface::SetTransferPlayoutData(bool enable) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  m_wrapper = KivraWwiseCommWrapper::getInstance();
  if (m_wrapper != nullptr) m_wrapper->setTransferPlayerDataState(enable);
}

void FKivraWwiseCommHandlerKivraInterface::GetPlayoutAudioFrameByUid(
    IAkAudioBufferProxy* AkBuffer, unsigned long long gameObjectId) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper == nullptr) {
    KV_LOG("not initialized wrapper yet!");
    return;
  }
  // The registry cannot change while the lock is held, so the entry's own
  // string is passed on: no copy, no allocation on Wwise's audio thread.
  const std::pair<std::string, uid_t>* entry = findGameObject(gameObjectId);
  if (entry == nullptr) return;
  m_wrapper->popOriginPlayerAudioFrameByUid(AkBuffer, entry->first.c_str(), entry->second);
}

void FKivraWwiseCommHandlerKivraInterface::PushPlayoutAudioFrameAfterEffect(
    IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<std::mutex> guard(m_wrapper_lock_);
  if (m_wrapper == nullptr) {
    KV_LOG("not initialized wrapper yet!");
    return;
  }
  m_wrapper->pushReverseAudioFrameAfterEffect(AkBuffer);
}
