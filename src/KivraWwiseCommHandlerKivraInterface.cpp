// The front end: game-object registry and plugin handler.
#include "KivraWwiseCommHandlerKivraInterface.h"

#include "KivraCommLog.h"
#include "KivraWwiseCommWrapper.h"

using kivra::rtc::uid_t;

// Front-end state. m_wrapper and m_kivra_media_engine are read and written
// under m_wrapper_lock_ only; the game thread's binding and teardown, the
// registry writers and the plugin side's forwarding operations all take it.
KivraCommAudioMutex m_wrapper_lock_;
KivraWwiseCommWrapper* m_wrapper = nullptr;
kivra::media::IMediaEngine* m_kivra_media_engine = nullptr;

// Written by the game's thread only; nothing reads it.
kivra::rtc::IRtcEngine* FKivraWwiseCommHandlerKivraInterface::m_pEngine = nullptr;
// Written by the game's thread; read when binding and when building a
// talker's record.
std::atomic<int> FKivraWwiseCommHandlerKivraInterface::m_wwiseSampleRate{
    kivra::format::kDefaultRate};
// Written by the game's thread under m_wrapper_lock_; read under it by the
// plugin side and by the game's own look-ups.
FKivraWwiseCommHandlerKivraInterface::ForwardMap
    FKivraWwiseCommHandlerKivraInterface::m_gameObjectID2ChannelIDAndUserID;
FKivraWwiseCommHandlerKivraInterface::ReverseMap
    FKivraWwiseCommHandlerKivraInterface::m_channelIDAndUserID2GameObjectID;
// Read and written by the game's thread under m_wrapper_lock_.
FKivraWwiseCommHandlerKivraInterface::MappingCountMap
    FKivraWwiseCommHandlerKivraInterface::m_channelIDAndUserID2MappingCount;

namespace {

// Custom tracks publish directly and bypass the engine's local processing:
// Wwise has already processed the audio.
constexpr kivra::rtc::AudioTrackConfig kCustomTrackConfig{false, false, true};

// Lines the data callbacks repeat for every block; used under m_wrapper_lock_.
KivraCommLogRepeat m_no_wrapper_log_;
KivraCommLogRepeat m_push_record_failed_log_;

// A node for Map holding one entry built from args; allocates, so it is
// called before the front-end lock.
template <typename Map, typename... Args>
typename Map::node_type makeNode(Args&&... args) {
  Map staging;
  staging.emplace(std::forward<Args>(args)...);
  return staging.extract(staging.begin());
}

// Grows a table's buckets, doubling, when one more entry would need them;
// never shrinks them (reserve alone would, and then grow again every time).
template <typename Map>
void makeRoomForOne(Map& map) {
  const float needed = static_cast<float>(map.size() + 1);
  if (needed > map.max_load_factor() * static_cast<float>(map.bucket_count())) {
    map.reserve(2 * map.size() + 1);
  }
}

// Binding and teardown start a new session: the data callbacks' states end.
// m_wrapper_lock_ held.
void endDataCallbackStates() {
  m_no_wrapper_log_.flush();
  m_push_record_failed_log_.flush();
}

// The bridge object a data callback may use, or null after logging that
// there is none. m_wrapper_lock_ held.
KivraWwiseCommWrapper* wrapperForData() {
  if (m_wrapper == nullptr) {
    m_no_wrapper_log_.log("not initialized wrapper yet!");
    return nullptr;
  }
  m_no_wrapper_log_.end();
  return m_wrapper;
}

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
  // Everything that allocates or copies a string, before the lock: the map
  // nodes and the talker's record (only the bridge object keeps audio of a
  // uid other than 0). What the lock takes out is freed after it.
  ForwardMap::node_type forward =
      makeNode<ForwardMap>(std::piecewise_construct, std::forward_as_tuple(gameObjectID),
                           std::forward_as_tuple(channelID, userID));
  ReverseMap::node_type reverse = makeNode<ReverseMap>(TalkerKey(channelID, userID), gameObjectID);
  MappingCountMap::node_type count = makeNode<MappingCountMap>(TalkerKey(channelID, userID), 1u);
  KivraWwiseCommWrapper::RemoteUserNode record;
  if (userID != 0) {
    record = KivraWwiseCommWrapper::makeRemoteUser(channelID, userID, m_wwiseSampleRate);
  }
  const bool built = !record.empty();

  ForwardMap::node_type previous;
  MappingCountMap::node_type previousCount;
  KivraWwiseCommWrapper::RemoteUserNode released, replaced;
  KivraWwiseCommWrapper::TransferSwitch transfer{};
  bool bound = false;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    // Bucket tables grow here, if at all (only past the largest size so
    // far): a failure leaves everything as it was, and the inserts below
    // cannot fail.
    makeRoomForOne(m_gameObjectID2ChannelIDAndUserID);
    makeRoomForOne(m_channelIDAndUserID2GameObjectID);
    makeRoomForOne(m_channelIDAndUserID2MappingCount);
    previous = m_gameObjectID2ChannelIDAndUserID.extract(gameObjectID);
    m_gameObjectID2ChannelIDAndUserID.insert(std::move(forward));
    // A node not needed (its key was there) goes back out, to be freed later.
    auto rev = m_channelIDAndUserID2GameObjectID.insert(std::move(reverse));
    if (!rev.inserted) rev.position->second = gameObjectID;
    reverse = std::move(rev.node);
    auto named = m_channelIDAndUserID2MappingCount.insert(std::move(count));
    if (!named.inserted) ++named.position->second;
    count = std::move(named.node);
    // The game object played another talker (or the same one) before.
    if (!previous.empty()) unnameTalkerLocked(previous.mapped().talker, previousCount, released);
    bound = m_wrapper != nullptr;
    if (bound) {
      if (built) replaced = m_wrapper->installRemoteUser(std::move(record));
      transfer =
          m_wrapper->switchTransferPlayerDataState(!m_channelIDAndUserID2GameObjectID.empty());
    }
  }
  if (bound && userID != 0) {
    KivraWwiseCommWrapper::logRemoteUser(gameObjectID, channelID, userID, built, !replaced.empty());
  }
  if (!released.empty()) {
    KV_LOG(" release buffer for uid %d, channel %s", static_cast<int>(released.key().second),
           released.key().first.c_str());
  }
  if (bound) KivraWwiseCommWrapper::logTransferPlayerDataState(transfer);
  KV_LOG("register gameObjectId map, game id (%llu) -> uid (%u)", gameObjectID, userID);
}

void FKivraWwiseCommHandlerKivraInterface::unnameTalkerLocked(
    const TalkerKey& talker, MappingCountMap::node_type& count,
    KivraWwiseCommWrapper::RemoteUserNode& record) {
  const auto it = m_channelIDAndUserID2MappingCount.find(talker);
  if (it == m_channelIDAndUserID2MappingCount.end() || --it->second != 0) return;
  count = m_channelIDAndUserID2MappingCount.extract(it);
  if (m_wrapper != nullptr) record = m_wrapper->takeRemoteUser(talker.first, talker.second);
}

KWGameObjectEntry* FKivraWwiseCommHandlerKivraInterface::findGameObject(
    const unsigned long long gameObjectID) {
  const auto it = m_gameObjectID2ChannelIDAndUserID.find(gameObjectID);
  return it != m_gameObjectID2ChannelIDAndUserID.end() ? &it->second : nullptr;
}

bool FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_GetUidByGameObjectID(
    const unsigned long long gameObjectID, std::string& channelID, uid_t& userID) {
  const KWGameObjectEntry* entry = findGameObject(gameObjectID);
  if (entry == nullptr) return false;
  channelID = entry->talker.first;
  userID = entry->talker.second;
  return true;
}

bool FKivraWwiseCommHandlerKivraInterface::KWPlugin_Receive_ClearReceiveOpenID(
    const std::string& channelID, const uid_t& userID) {
  const TalkerKey key(channelID, userID);  // the look-up key, copied before the lock
  ReverseMap::node_type reverse;
  ForwardMap::node_type forward;
  MappingCountMap::node_type count;
  KivraWwiseCommWrapper::RemoteUserNode released;
  KivraWwiseCommWrapper::TransferSwitch transfer{};
  bool bound = false;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    const auto it = m_channelIDAndUserID2GameObjectID.find(key);
    if (it != m_channelIDAndUserID2GameObjectID.end()) {
      const unsigned long long gameObjectID = it->second;
      reverse = m_channelIDAndUserID2GameObjectID.extract(it);
      // The forward entry may already name another talker, or be gone: the
      // two maps are not exact inverses after re-registrations.
      forward = m_gameObjectID2ChannelIDAndUserID.extract(gameObjectID);
      if (!forward.empty()) unnameTalkerLocked(forward.mapped().talker, count, released);
    }
    bound = m_wrapper != nullptr;
    if (bound) {
      transfer =
          m_wrapper->switchTransferPlayerDataState(!m_channelIDAndUserID2GameObjectID.empty());
    }
  }
  KV_LOG("unregister gameObjectId map, game id -> uid (%u)", userID);
  if (!released.empty()) {
    KV_LOG(" release buffer for uid %d, channel %s", static_cast<int>(released.key().second),
           released.key().first.c_str());
  }
  if (bound) KivraWwiseCommWrapper::logTransferPlayerDataState(transfer);
  return !forward.empty();
}

// ---------------------------------------------------------------------------
// Binding and teardown

std::string FKivraWwiseCommHandlerKivraInterface::GetKivraWwiseVersion() { return "1.0.0"; }

int FKivraWwiseCommHandlerKivraInterface::setKivraEngineInstance(kivra::rtc::IRtcEngine* pEngine) {
  m_pEngine = pEngine;
  if (pEngine != nullptr) {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    endDataCallbackStates();
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
    // Before registering: the engine asks for the observer's format then.
    const int rate = m_wwiseSampleRate;
    if (m_wrapper->sampleRate() != rate && !m_wrapper->setSampleRate(rate)) {
      KV_LOG("wwise sample rate %d Hz not served: out of memory, serving %d Hz", rate,
             m_wrapper->sampleRate());
    } else if (rate != kivra::format::kDefaultRate) {
      // A rate told before the log was open is in the log from here.
      KV_LOG("wwise sample rate %d Hz, served from this init", rate);
    }
    const int r = m_kivra_media_engine->registerAudioFrameObserver(m_wrapper);
    KV_LOG("registerAudioFrameObserver: %d", r);
    KV_LOG("create wrapper %p success", static_cast<void*>(m_wrapper));
    return 0;
  }

  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  endDataCallbackStates();
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
  m_channelIDAndUserID2MappingCount.clear();
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

int FKivraWwiseCommHandlerKivraInterface::SetWwiseSampleRate(int sampleRate) {
  if (!kivra::format::servableRate(sampleRate)) {
    KV_LOG("wwise sample rate %d Hz refused: the bridge serves 8000 to 96000 Hz", sampleRate);
    return -1;
  }
  const int previous = m_wwiseSampleRate.exchange(sampleRate);
  bool bound = false;
  int served = 0;
  size_t talkers = 0;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    if (m_wrapper != nullptr) {
      served = m_wrapper->sampleRate();
      talkers = m_wrapper->talkerCount();
    }
    bound = m_wrapper != nullptr && m_kivra_media_engine != nullptr;
  }
  if (served == sampleRate) {
    KV_LOG("wwise sample rate %d Hz, already served", sampleRate);
    return 0;
  }
  // The new queues are built before the lock Wwise's audio thread waits on;
  // the old ones are freed after it.
  KivraWwiseCommWrapper::RateQueues queues =
      KivraWwiseCommWrapper::makeRateQueues(sampleRate, talkers);
  if (served != 0 && !queues.complete()) {
    m_wwiseSampleRate = previous;  // refused: nothing changes
    KV_LOG("wwise sample rate %d Hz not served: out of memory", sampleRate);
    return -1;
  }
  bool applied = false;
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    if (m_wrapper != nullptr) applied = m_wrapper->applySampleRate(sampleRate, queues);
    bound = m_wrapper != nullptr && m_kivra_media_engine != nullptr;
    // Registered again, the engine asks for the observer's format again.
    if (applied && bound) m_kivra_media_engine->registerAudioFrameObserver(m_wrapper);
  }
  if (applied && bound) {
    KV_LOG("wwise sample rate %d Hz, served now: queues restarted", sampleRate);
  } else {
    KV_LOG("wwise sample rate %d Hz, served from the next init", sampleRate);
  }
  return 0;
}

// The plugin side may already be calling back, and its pushes read the track
// ids under the front-end lock: store them under it too.
void FKivraWwiseCommHandlerKivraInterface::setKivraCustomTrackIdDirectAdvanced(int trackId) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->setSendTrackIdDirectAdvanced(trackId);
}

void FKivraWwiseCommHandlerKivraInterface::setKivraCustomTrackIdAecReference(int trackId) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->setSendTrackIdAecReference(trackId);
}

void FKivraWwiseCommHandlerKivraInterface::ResetReverseState() {
  // m_wrapper is also written by the plugin side's transfer switches.
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  if (m_wrapper != nullptr) m_wrapper->resetReverseState();
}

// ---------------------------------------------------------------------------
// Forwarding operations (plugin side's threads)

void FKivraWwiseCommHandlerKivraInterface::SetTransferRecordingData(bool enable) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  m_wrapper = KivraWwiseCommWrapper::getInstance();
  if (m_wrapper != nullptr) m_wrapper->setTransferRecordDataState(enable);
}

void FKivraWwiseCommHandlerKivraInterface::GetRecodeAudioFrame(IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  if (KivraWwiseCommWrapper* wrapper = wrapperForData())
    wrapper->popOriginRecordAudioFrame(AkBuffer);
}

void FKivraWwiseCommHandlerKivraInterface::PushRecodeAudioFrameAfterEffect(
    IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  KivraWwiseCommWrapper* wrapper = wrapperForData();
  if (wrapper == nullptr) return;
  if (wrapper->pushRecordAudioFrameAfterEffect(AkBuffer)) {
    m_push_record_failed_log_.end();
  } else {
    m_push_record_failed_log_.log("failed to push wwise record data after effect!");
  }
}

void FKivraWwiseCommHandlerKivraInterface::SetTransferPlayoutData(bool enable) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  m_wrapper = KivraWwiseCommWrapper::getInstance();
  if (m_wrapper != nullptr) m_wrapper->setTransferPlayerDataState(enable);
}

void FKivraWwiseCommHandlerKivraInterface::GetPlayoutAudioFrameByUid(
    IAkAudioBufferProxy* AkBuffer, unsigned long long gameObjectId) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  KivraWwiseCommWrapper* wrapper = wrapperForData();
  if (wrapper == nullptr) return;
  // The registry cannot change while the lock is held, so the entry's own
  // string is passed on: no copy, no allocation on Wwise's audio thread.
  KWGameObjectEntry* entry = findGameObject(gameObjectId);
  if (entry == nullptr) return;
  wrapper->popOriginPlayerAudioFrameByUid(AkBuffer, entry->talker.first.c_str(),
                                          entry->talker.second, &entry->missing_log);
}

void FKivraWwiseCommHandlerKivraInterface::PushPlayoutAudioFrameAfterEffect(
    IAkAudioBufferProxy* AkBuffer) {
  std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
  if (KivraWwiseCommWrapper* wrapper = wrapperForData()) {
    wrapper->pushReverseAudioFrameAfterEffect(AkBuffer);
  }
}
