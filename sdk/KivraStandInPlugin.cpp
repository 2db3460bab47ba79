// The plugin side's callback setters: they keep what the bridge hands them.
#include <mutex>

#include "KivraStandInSdk.h"

namespace kivra {
namespace standin {
namespace {

std::mutex& callbackMutex() {
  static std::mutex m;
  return m;
}

PluginCallbacks& callbackTable() {
  static PluginCallbacks table;
  return table;
}

template <typename Fn>
void store(Fn PluginCallbacks::*slot, Fn callback, const char* setterName) {
  std::lock_guard<std::mutex> guard(callbackMutex());
  callbackTable().*slot = callback;
  callbackTable().setterCalls.emplace_back(setterName);
}

}  // namespace

PluginCallbacks pluginCallbacks() {
  std::lock_guard<std::mutex> guard(callbackMutex());
  return callbackTable();
}

void resetPluginCallbacks() {
  std::lock_guard<std::mutex> guard(callbackMutex());
  callbackTable() = PluginCallbacks();
}

}  // namespace standin
}  // namespace kivra

using kivra::standin::PluginCallbacks;
using kivra::standin::store;

extern "C" {

void KWPluginSetCallback_SetTransferRecordingData(KWSetTransferRecordingDataCallback callback) {
  store(&PluginCallbacks::setTransferRecordingData, callback,
        "KWPluginSetCallback_SetTransferRecordingData");
}

void KWPluginSetCallback_GetRecodeAudioFrame(KWGetRecodeAudioFrameCallback callback) {
  store(&PluginCallbacks::getRecodeAudioFrame, callback, "KWPluginSetCallback_GetRecodeAudioFrame");
}

void KWPluginSetCallback_PushRecodeAudioFrameAfterEffect(
    KWPushRecodeAudioFrameAfterEffectCallback callback) {
  store(&PluginCallbacks::pushRecodeAudioFrameAfterEffect, callback,
        "KWPluginSetCallback_PushRecodeAudioFrameAfterEffect");
}

void KWPluginSetCallback_SetTransferPlayoutData(KWSetTransferPlayoutDataCallback callback) {
  store(&PluginCallbacks::setTransferPlayoutData, callback,
        "KWPluginSetCallback_SetTransferPlayoutData");
}

void KWPluginSetCallback_GetPlayoutAudioFrameByUid(KWGetPlayoutAudioFrameByUidCallback callback) {
  store(&PluginCallbacks::getPlayoutAudioFrameByUid, callback,
        "KWPluginSetCallback_GetPlayoutAudioFrameByUid");
}

void KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect(
    KWPushPlayoutAudioFrameAfterEffectCallback callback) {
  store(&PluginCallbacks::pushPlayoutAudioFrameAfterEffect, callback,
        "KWPluginSetCallback_PushPlayoutAudioFrameAfterEffect");
}

}  // extern "C"
