// The Wwise side's view of one Wwise buffer: one float array per channel,
// nominal range -1.0 to 1.0. Implemented by the plugin side of the
// KivraWwiseRTCSDK library, passed by pointer, valid only during the call.
#pragma once

#include <cstdint>

#include "KivraWwiseWrapperExport.h"

// The Windows DLL exports this class's special members and virtual table;
// other builds leave it to the build's visibility rules. A dllexport class
// exports only the members that are emitted, so the wrapper's Windows build
// declares them out of line and defines them once (IAkAudioBufferProxy.cpp);
// every other module, the SDK and the game included, keeps them inline.
#if defined(_WIN32) && defined(KIVRA_WRAPPER_BUILDING)
#define KIVRA_PROXY_API KW_API
#define KIVRA_PROXY_MEMBERS_OUT_OF_LINE 1
#else
#define KIVRA_PROXY_API
#define KIVRA_PROXY_MEMBERS_OUT_OF_LINE 0
#endif

class KIVRA_PROXY_API IAkAudioBufferProxy {
 public:
#if KIVRA_PROXY_MEMBERS_OUT_OF_LINE
  IAkAudioBufferProxy();
  IAkAudioBufferProxy(const IAkAudioBufferProxy& other);
  IAkAudioBufferProxy& operator=(const IAkAudioBufferProxy& other);
  virtual ~IAkAudioBufferProxy();
#else
  IAkAudioBufferProxy() = default;
  IAkAudioBufferProxy(const IAkAudioBufferProxy& other) = default;
  IAkAudioBufferProxy& operator=(const IAkAudioBufferProxy& other) = default;
  virtual ~IAkAudioBufferProxy() {}
#endif
  // Frames per channel the buffer can hold.
  virtual uint16_t CapacityFrames() = 0;
  // The bridge passes 45 after it filled the buffer.
  virtual void MarkState(int state) = 0;
  // Never called by the bridge.
  virtual void Reserved() = 0;
  // Frames per channel the bridge wrote.
  virtual void SetFilledFrames(uint16_t frames) = 0;
  // Frames per channel the plugin side filled.
  virtual uint16_t FilledFrames() = 0;
  // The channels, in Wwise's order (front left, front right, center, the
  // surround pairs, the LFE last). The bridge maps any count to and from the
  // engine's stereo.
  virtual uint32_t ChannelCount() = 0;
  // The bridge asks only for indices below ChannelCount().
  virtual float* ChannelData(uint32_t index) = 0;
};
