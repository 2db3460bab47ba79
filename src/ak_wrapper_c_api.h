// The six callbacks handed to the Wwise plugin side. Plain unmangled names;
// each forwards unchanged to the front-end operation of the same name. The
// six game-facing exports are declared in include/KivraWwiseWrapper.h.
#pragma once

#include "IAkAudioBufferProxy.h"

extern "C" {
void SetTransferRecordingData(bool enable);
void GetRecodeAudioFrame(IAkAudioBufferProxy* AkBuffer);
void PushRecodeAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer);
void SetTransferPlayoutData(bool enable);
void GetPlayoutAudioFrameByUid(IAkAudioBufferProxy* AkBuffer, unsigned long long gameObjectId);
void PushPlayoutAudioFrameAfterEffect(IAkAudioBufferProxy* AkBuffer);
}
