// The six callback setters exported by the Wwise plugin side of the
// KivraWwiseRTCSDK library. The bridge registers its callbacks once per
// initialisation, in the order declared here; results are ignored.
#pragma once

#include "IAkAudioBufferProxy.h"

#if defined(_WIN32)
#if defined(KIVRA_SDK_BUILDING)
#define KIVRA_SDK_API __declspec(dllexport)
#else
#define KIVRA_SDK_API __declspec(dllimport)
#endif
#else
#define KIVRA_SDK_API __attribute__((visibility("default")))
#endif

extern "C" {

typedef void (*KWSetTransferRecordingDataCallback)(bool enable);
typedef void (*KWGetRecodeAudioFrameCallback)(IAkAudioBufferProxy* AkBuffer);
typedef void (*KWPushRecodeAudioFrameAfterEffectCallback)(IAkAudioBufferProxy* AkBuffer);
typedef void (*KWSetTransferPlayoutDataCallback)(bool enable);
typedef void (*KWGetPlayoutAudioFrameByUidCallback)(IAkAudioBufferProxy* AkBuffer,
                                                    unsigned long long gameObjectId);
typedef void (*KWPushPlayoutAudioFrameAfterEffectCallback)(IAkAudioBufferProxy* AkBuffer);

KIVRA_SDK_API void KWPluginSetCallback_SetTransferRecordingData(
    KWSetTransferRecordingDataCallback callback);
KIVRA_SDK_API void KWPluginSetCallback_GetRecodeAudioFrame(KWGetRecodeAudioFrameCallback callback);
KIVRA_SDK_API void KWPluginSetCallback_PushRecodeAudioFrameAfterEffect(
    KWPushRecodeAudioFrameAfterEffectCallback callback);
KIVRA_SDK_API void KWPluginSetCallback_SetTransferPlayoutData(
    KWSetTransferPlayoutDataCallback callback);
KIVRA_SDK_API void KWPluginSetCallback_GetPlayoutAudioFrameByUid(
    KWGetPlayoutAudioFrameByUidCallback callback);
KIVRA_SDK_API void KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect(
    KWPushPlayoutAudioFrameAfterEffectCallback callback);

}  // extern "C"
