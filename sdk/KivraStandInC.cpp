// The stand-in SDK's plain C face, over the recording engine and the plugin
// side's callback table.
#include "KivraStandInC.h"

#include <new>

#include "KivraStandInSdk.h"

namespace {

using kivra::standin::RecordingRtcEngine;

RecordingRtcEngine* recording(void* engine) {
  return static_cast<RecordingRtcEngine*>(static_cast<kivra::rtc::IRtcEngine*>(engine));
}

}  // namespace

void* KivraStandIn_CreateEngine(int yieldMediaEngine) {
  RecordingRtcEngine* engine = new (std::nothrow) RecordingRtcEngine();
  if (engine == nullptr) return nullptr;
  if (yieldMediaEngine == 0) engine->setYieldMediaEngine(-1);
  return static_cast<kivra::rtc::IRtcEngine*>(engine);
}

void KivraStandIn_DestroyEngine(void* engine) {
  if (engine != nullptr) delete recording(engine);
}

int KivraStandIn_TrackCount(void* engine) {
  if (engine == nullptr) return -1;
  return static_cast<int>(recording(engine)->mediaEngine().tracks().size());
}

int KivraStandIn_ObserverRegistered(void* engine) {
  if (engine == nullptr) return -1;
  return recording(engine)->mediaEngine().observer() != nullptr ? 1 : 0;
}

int KivraStandIn_CallbackCount(void) {
  const kivra::standin::PluginCallbacks c = kivra::standin::pluginCallbacks();
  return (c.setTransferRecordingData != nullptr) + (c.getRecodeAudioFrame != nullptr) +
         (c.pushRecodeAudioFrameAfterEffect != nullptr) + (c.setTransferPlayoutData != nullptr) +
         (c.getPlayoutAudioFrameByUid != nullptr) + (c.pushPlayoutAudioFrameAfterEffect != nullptr);
}
