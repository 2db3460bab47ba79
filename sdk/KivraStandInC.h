// A plain C face of the stand-in SDK for tests written in languages that
// cannot derive from its C++ interfaces (C# through P/Invoke, Python through
// ctypes): a recording RTC engine to hand to KW_InitKivraWwisePlugin, and what
// the bridge did with it and with the plugin side.
#pragma once

#include "KivraWwisePluginApi.h"

extern "C" {

// A recording engine, as the IRtcEngine* KW_InitKivraWwisePlugin takes.
// yieldMediaEngine 0: its findInterface yields no media engine, so binding
// fails. Free it with KivraStandIn_DestroyEngine after the bridge let go.
KIVRA_SDK_API void* KivraStandIn_CreateEngine(int yieldMediaEngine);
KIVRA_SDK_API void KivraStandIn_DestroyEngine(void* engine);
// Custom audio tracks the engine made so far, and whether an observer is
// registered with it now (1) or not (0). -1 for a null engine.
KIVRA_SDK_API int KivraStandIn_TrackCount(void* engine);
KIVRA_SDK_API int KivraStandIn_ObserverRegistered(void* engine);
// How many of the six plugin-side callbacks are set now.
KIVRA_SDK_API int KivraStandIn_CallbackCount(void);
}
