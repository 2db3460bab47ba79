// A C face of the stand-in SDK's recording engine, for script-layer tests
// (Python ctypes) that need a real engine object to pass to
// KW_InitKivraWwisePlugin. Test-only; never shipped.
#include "KivraStandInSdk.h"

#if defined(_WIN32)
#define KIVRA_PY_API extern "C" __declspec(dllexport)
#else
#define KIVRA_PY_API extern "C" __attribute__((visibility("default")))
#endif

using kivra::standin::RecordingRtcEngine;

namespace {
RecordingRtcEngine* cast(void* e) {
  return static_cast<RecordingRtcEngine*>(static_cast<kivra::rtc::IRtcEngine*>(e));
}
}  // namespace

// yieldMode as RecordingRtcEngine::setYieldMediaEngine. The result is the
// engine as an IRtcEngine*, ready for KW_InitKivraWwisePlugin.
KIVRA_PY_API void* kivra_py_engine_create(int yieldMode) {
  RecordingRtcEngine* engine = new RecordingRtcEngine();
  engine->setYieldMediaEngine(yieldMode);
  return static_cast<kivra::rtc::IRtcEngine*>(engine);
}

KIVRA_PY_API void kivra_py_engine_destroy(void* engine) { delete cast(engine); }

KIVRA_PY_API int kivra_py_engine_observer_registered(void* engine) {
  return cast(engine)->mediaEngine().observer() != nullptr ? 1 : 0;
}

KIVRA_PY_API int kivra_py_engine_track_count(void* engine) {
  return static_cast<int>(cast(engine)->mediaEngine().tracks().size());
}

KIVRA_PY_API int kivra_py_engine_track_id(void* engine, int index) {
  const auto tracks = cast(engine)->mediaEngine().tracks();
  if (index < 0 || static_cast<size_t>(index) >= tracks.size()) return -1;
  return tracks[static_cast<size_t>(index)].id;
}

KIVRA_PY_API int kivra_py_engine_track_type(void* engine, int index) {
  const auto tracks = cast(engine)->mediaEngine().tracks();
  if (index < 0 || static_cast<size_t>(index) >= tracks.size()) return -2;
  return tracks[static_cast<size_t>(index)].type;
}

// How many callback setters the wrapper has called since the last reset.
KIVRA_PY_API int kivra_py_setter_calls(void) {
  return static_cast<int>(kivra::standin::pluginCallbacks().setterCalls.size());
}

KIVRA_PY_API void kivra_py_reset_callbacks(void) { kivra::standin::resetPluginCallbacks(); }
