// The buffer proxy's special members, defined once in the Windows DLL so that
// it exports them with the class's virtual table. Compiled into Windows
// builds only; elsewhere the header keeps them inline.
#include "IAkAudioBufferProxy.h"

IAkAudioBufferProxy::IAkAudioBufferProxy() = default;
IAkAudioBufferProxy::IAkAudioBufferProxy(const IAkAudioBufferProxy& other) = default;
IAkAudioBufferProxy& IAkAudioBufferProxy::operator=(const IAkAudioBufferProxy& other) = default;
IAkAudioBufferProxy::~IAkAudioBufferProxy() = default;
