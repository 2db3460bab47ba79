// The six functions a game calls and the six callbacks handed to the Wwise
// plugin side. Thin adapters over the front end; nothing may throw across
// these C boundaries, so every export catches what the front end's string
// copies could throw.
#include "ak_wrapper_c_api.h"

#include <cstring>
#include <mutex>
#include <string>

#include "KivraCommLog.h"
#include "KivraWwiseCommHandlerKivraInterface.h"
#include "KivraWwisePluginApi.h"
#include "KivraWwiseWrapper.h"

using Handler = FKivraWwiseCommHandlerKivraInterface;

namespace {

// Channel ids up to this length are copied out of the registry without
// allocating under the front-end lock.
constexpr size_t kChannelIdRoom = 256;

// When an export returns, every line logged before it was called and every
// line it logged itself is in the file: a game (or a test) can wait for the
// log by calling any export. Only the game's thread waits here; the audio
// threads' callbacks never do.
struct LogWrittenOnReturn {
  LogWrittenOnReturn() = default;
  LogWrittenOnReturn(const LogWrittenOnReturn&) = delete;
  LogWrittenOnReturn& operator=(const LogWrittenOnReturn&) = delete;
  ~LogWrittenOnReturn() { KV_FLUSH_LOG(); }
};

}  // namespace

extern "C" {

void SetTransferRecordingData(bool enable) { Handler::SetTransferRecordingData(enable); }

void GetRecodeAudioFrame(IAkAudioBufferProxy* AkBuffer) { Handler::GetRecodeAudioFrame(AkBuffer); }

void PushRecodeAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer) {
  Handler::PushRecodeAudioFrameAfterEffect(AkBuffer);
}

void SetTransferPlayoutData(bool enable) { Handler::SetTransferPlayoutData(enable); }

void GetPlayoutAudioFrameByUid(IAkAudioBufferProxy* AkBuffer, unsigned long long gameObjectId) {
  Handler::GetPlayoutAudioFrameByUid(AkBuffer, gameObjectId);
}

void PushPlayoutAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer) {
  Handler::PushPlayoutAudioFrameAfterEffect(AkBuffer);
}

KW_API int KW_InitKivraWwisePlugin(void* KivraRtcEngineInstance, int* OutDefaultCustomAudioTrackId,
                                   const char* logPath) {
  const LogWrittenOnReturn logWritten;
  try {
    // A null path opens no log; the binding still proceeds.
    if (logPath != nullptr) KV_INIT_LOG(logPath);
    KWPluginSetCallback_SetTransferRecordingData(SetTransferRecordingData);
    KWPluginSetCallback_GetRecodeAudioFrame(GetRecodeAudioFrame);
    KWPluginSetCallback_PushRecodeAudioFrameAfterEffect(PushRecodeAudioFrameAfterEffect);
    KWPluginSetCallback_SetTransferPlayoutData(SetTransferPlayoutData);
    KWPluginSetCallback_GetPlayoutAudioFrameByUid(GetPlayoutAudioFrameByUid);
    KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect(PushPlayoutAudioFrameAfterEffect);
    if (OutDefaultCustomAudioTrackId == nullptr) {
      KV_LOG("init refused: null track id argument!");
      return -1;
    }
    kivra::rtc::IRtcEngine* engine = static_cast<kivra::rtc::IRtcEngine*>(KivraRtcEngineInstance);
    return Handler::InitKivraWwisePlugin(engine, *OutDefaultCustomAudioTrackId);
  } catch (...) {
    KV_LOG("init failed: out of memory!");
    return -1;
  }
}

KW_API int KW_UninitKivraWwisePlugin(void) {
  const LogWrittenOnReturn logWritten;
  const int ret = Handler::UninitKivraWwisePlugin();
  KV_SHUTDOWN_LOG();
  return ret;
}

KW_API int KW_SetWwiseSampleRate(int sampleRate) {
  const LogWrittenOnReturn logWritten;
  try {
    return Handler::SetWwiseSampleRate(sampleRate);
  } catch (...) {
    KV_LOG("wwise sample rate %d Hz not served: out of memory", sampleRate);
    return -1;
  }
}

KW_API int KW_SetUidToGameObjectIDMapping(const unsigned long long gameObjectID,
                                          const char* channelID, unsigned int userID) {
  const LogWrittenOnReturn logWritten;
  if (channelID == nullptr) {
    KV_LOG("register gameObjectId map refused: null channel id, game id (%llu)", gameObjectID);
    return -1;
  }
  try {
    const std::string channelIDStr(channelID);
    Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(gameObjectID, channelIDStr, userID);
    return 0;
  } catch (...) {
    KV_LOG("register gameObjectId map failed: out of memory, game id (%llu)", gameObjectID);
    return -1;
  }
}

KW_API int KW_GetUidByGameObjectID(const unsigned long long gameObjectID, char* channelID,
                                   unsigned int* userID) {
  const LogWrittenOnReturn logWritten;
  if (channelID == nullptr || userID == nullptr) {
    KV_LOG("look up gameObjectId map refused: null argument, game id (%llu)", gameObjectID);
    return -1;
  }
  try {
    std::string channelIDStr;
    channelIDStr.reserve(kChannelIdRoom);
    kivra::rtc::uid_t uid = 0;
    bool found = false;
    {
      // Makes the look-up safe against registry calls from other threads.
      std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
      found = Handler::KWPlugin_Receive_GetUidByGameObjectID(gameObjectID, channelIDStr, uid);
    }
    if (!found) return -1;
    // Unbounded by contract: the caller's buffer holds the longest channel id
    // it registered plus the NUL.
    std::memcpy(channelID, channelIDStr.c_str(), channelIDStr.size() + 1);
    *userID = uid;
    return 0;
  } catch (...) {
    KV_LOG("look up gameObjectId map failed: out of memory, game id (%llu)", gameObjectID);
    return -1;
  }
}

KW_API int KW_ClearReceiveOpenID(const char* channelID, const unsigned int userID) {
  const LogWrittenOnReturn logWritten;
  if (channelID == nullptr) {
    KV_LOG("unregister gameObjectId map refused: null channel id, uid (%u)", userID);
    return -1;
  }
  try {
    const std::string channelIDStr(channelID);
    return Handler::KWPlugin_Receive_ClearReceiveOpenID(channelIDStr, userID) ? 0 : -1;
  } catch (...) {
    KV_LOG("unregister gameObjectId map failed: out of memory, uid (%u)", userID);
    return -1;
  }
}

}  // extern "C"
