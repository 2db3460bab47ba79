// The demo's audio devices through PortAudio.
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "DemoDevices.h"

namespace kivra {
namespace demo {
namespace {

// The most frames one callback may carry; longer ones are handed on in parts.
constexpr int kChunkFrames = 8192;

int64_t nanosSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0)
      .count();
}

void keepMax(std::atomic<int64_t>& at, int64_t v) {
  int64_t seen = at.load(std::memory_order_relaxed);
  while (v > seen && !at.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
  }
}

// ALSA prints a line for every configuration it cannot open while PortAudio
// probes devices, and JACK's client library for a server that is not
// running; the demo reports what matters itself. Both libraries come in
// with PortAudio, so they are found in the process rather than linked.
extern "C" void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
extern "C" void quietJack(const char*) {}

void silenceHostMessages() {
  using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
  using SetAlsaHandler = int (*)(AlsaHandler);
  using JackHandler = void (*)(const char*);
  using SetJackHandler = void (*)(JackHandler);
  if (void* sym = dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"))
    reinterpret_cast<SetAlsaHandler>(sym)(&quietAlsa);
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (void* sym = dlsym(RTLD_DEFAULT, name)) reinterpret_cast<SetJackHandler>(sym)(&quietJack);
  }
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string paError(const char* what, PaError err) {
  return std::string(what) + ": " + Pa_GetErrorText(err);
}

}  // namespace

struct AudioDevices::Impl {
  bool initialised = false;
  PaStream* input = nullptr;
  PaStream* output = nullptr;
  DeviceClient* client = nullptr;
  DeviceCounters* counters = nullptr;
  int inChannels = 2, outChannels = 2;
  double rate = 48000;
  // Device thread scratch: the capture as stereo, the playback as stereo.
  std::vector<float> inStereo, outStereo;

  static int onInput(const void* in, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                     PaStreamCallbackFlags flags, void* user) {
    auto* self = static_cast<Impl*>(user);
    const auto t0 = std::chrono::steady_clock::now();
    DeviceCounters& c = *self->counters;
    if (flags & paInputOverflow) c.inputOverflows.fetch_add(1, std::memory_order_relaxed);
    if (flags & paInputUnderflow) c.inputUnderflows.fetch_add(1, std::memory_order_relaxed);
    const float* src = static_cast<const float*>(in);
    for (unsigned long done = 0; done < frames;) {
      const int n = static_cast<int>(std::min<unsigned long>(frames - done, kChunkFrames));
      float* st = self->inStereo.data();
      for (int i = 0; i < n; ++i) {
        if (src == nullptr) {
          st[2 * i] = st[2 * i + 1] = 0.0f;
        } else if (self->inChannels == 1) {
          st[2 * i] = st[2 * i + 1] = src[done + static_cast<unsigned long>(i)];
        } else {
          const float* f = src + (done + static_cast<unsigned long>(i)) * self->inChannels;
          st[2 * i] = f[0];
          st[2 * i + 1] = f[1];
        }
      }
      self->client->captured(st, n);
      done += static_cast<unsigned long>(n);
    }
    c.inputCallbacks.fetch_add(1, std::memory_order_relaxed);
    c.inputFrames.fetch_add(static_cast<int64_t>(frames), std::memory_order_relaxed);
    const int64_t took = nanosSince(t0);
    keepMax(c.longestInputNanos, took);
    if (static_cast<double>(took) > static_cast<double>(frames) * 1e9 / self->rate)
      c.inputOverruns.fetch_add(1, std::memory_order_relaxed);
    return paContinue;
  }

  static int onOutput(const void*, void* out, unsigned long frames, const PaStreamCallbackTimeInfo*,
                      PaStreamCallbackFlags flags, void* user) {
    auto* self = static_cast<Impl*>(user);
    const auto t0 = std::chrono::steady_clock::now();
    DeviceCounters& c = *self->counters;
    if (flags & paOutputUnderflow) c.outputUnderflows.fetch_add(1, std::memory_order_relaxed);
    if (flags & paOutputOverflow) c.outputOverflows.fetch_add(1, std::memory_order_relaxed);
    float* dst = static_cast<float*>(out);
    for (unsigned long done = 0; done < frames;) {
      const int n = static_cast<int>(std::min<unsigned long>(frames - done, kChunkFrames));
      float* st = self->outStereo.data();
      self->client->render(st, n);
      for (int i = 0; i < n; ++i) {
        float* f = dst + (done + static_cast<unsigned long>(i)) * self->outChannels;
        if (self->outChannels == 1) {
          f[0] = 0.5f * (st[2 * i] + st[2 * i + 1]);
        } else {
          f[0] = st[2 * i];
          f[1] = st[2 * i + 1];
          for (int k = 2; k < self->outChannels; ++k) f[k] = 0.0f;
        }
      }
      done += static_cast<unsigned long>(n);
    }
    c.outputCallbacks.fetch_add(1, std::memory_order_relaxed);
    c.outputFrames.fetch_add(static_cast<int64_t>(frames), std::memory_order_relaxed);
    const int64_t took = nanosSince(t0);
    keepMax(c.longestOutputNanos, took);
    if (static_cast<double>(took) > static_cast<double>(frames) * 1e9 / self->rate)
      c.outputOverruns.fetch_add(1, std::memory_order_relaxed);
    return paContinue;
  }

  bool init(bool hostMessages, std::string& error) {
    if (initialised) return true;
    if (!hostMessages) silenceHostMessages();
    const PaError err = Pa_Initialize();
    if (err != paNoError) {
      error = paError("audio I/O could not start", err);
      return false;
    }
    initialised = true;
    return true;
  }

  // A device by index or by part of its name, with channels in the wanted
  // direction; the default device when `want` is empty.
  int find(const std::string& want, bool input, std::string& error) const {
    if (want.empty()) {
      const int d = input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
      if (d == paNoDevice)
        error = std::string("no default ") + (input ? "input" : "output") + " device";
      return d == paNoDevice ? -1 : d;
    }
    const bool digits = std::all_of(want.begin(), want.end(), [](char ch) {
      return std::isdigit(static_cast<unsigned char>(ch));
    });
    const int count = Pa_GetDeviceCount();
    for (int d = 0; d < count; ++d) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(d);
      if (info == nullptr) continue;
      const int ch = input ? info->maxInputChannels : info->maxOutputChannels;
      if (ch <= 0) continue;
      if (digits ? std::to_string(d) == want
                 : lower(info->name).find(lower(want)) != std::string::npos) {
        return d;
      }
    }
    error = std::string("no ") + (input ? "input" : "output") + " device '" + want +
            "' (kivra_demo --live --list-devices)";
    return -1;
  }
};

AudioDevices::AudioDevices() : impl_(new Impl) {}

AudioDevices::~AudioDevices() {
  stop();
  if (impl_->initialised) Pa_Terminate();
}

bool AudioDevices::available() { return true; }

std::string AudioDevices::unavailableReason() { return ""; }

bool AudioDevices::list(std::vector<DeviceInfo>& devices, std::string& error) {
  if (!impl_->init(false, error)) return false;
  devices.clear();
  const int count = Pa_GetDeviceCount();
  for (int d = 0; d < count; ++d) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(d);
    if (info == nullptr) continue;
    DeviceInfo out;
    out.index = d;
    out.name = info->name;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    out.hostApi = api != nullptr ? api->name : "";
    out.inputChannels = info->maxInputChannels;
    out.outputChannels = info->maxOutputChannels;
    out.defaultRate = info->defaultSampleRate;
    out.defaultInput = d == Pa_GetDefaultInputDevice();
    out.defaultOutput = d == Pa_GetDefaultOutputDevice();
    devices.push_back(out);
  }
  return true;
}

bool AudioDevices::open(const DeviceConfig& config, DeviceClient& client, std::string& error) {
  Impl& m = *impl_;
  if (!m.init(config.hostMessages, error)) return false;
  const int in = m.find(config.input, true, error);
  if (in < 0) return false;
  const int out = m.find(config.output, false, error);
  if (out < 0) return false;
  const PaDeviceInfo* inInfo = Pa_GetDeviceInfo(in);
  const PaDeviceInfo* outInfo = Pa_GetDeviceInfo(out);
  m.client = &client;
  m.counters = &counters_;
  m.rate = config.sampleRate;
  m.inChannels = std::min(2, inInfo->maxInputChannels);
  m.outChannels = std::min(2, outInfo->maxOutputChannels);
  m.inStereo.assign(static_cast<size_t>(kChunkFrames) * 2, 0.0f);
  m.outStereo.assign(static_cast<size_t>(kChunkFrames) * 2, 0.0f);

  PaStreamParameters ip{};
  ip.device = in;
  ip.channelCount = m.inChannels;
  ip.sampleFormat = paFloat32;
  ip.suggestedLatency =
      config.latencySeconds > 0 ? config.latencySeconds : inInfo->defaultLowInputLatency;
  PaStreamParameters op{};
  op.device = out;
  op.channelCount = m.outChannels;
  op.sampleFormat = paFloat32;
  op.suggestedLatency =
      config.latencySeconds > 0 ? config.latencySeconds : outInfo->defaultLowOutputLatency;
  const unsigned long fpb = config.framesPerBuffer > 0
                                ? static_cast<unsigned long>(config.framesPerBuffer)
                                : paFramesPerBufferUnspecified;
  PaError err =
      Pa_OpenStream(&m.input, &ip, nullptr, config.sampleRate, fpb, paClipOff, &Impl::onInput, &m);
  if (err != paNoError) {
    m.input = nullptr;
    error = paError((std::string("cannot open the input '") + inInfo->name + "'").c_str(), err);
    return false;
  }
  err = Pa_OpenStream(&m.output, nullptr, &op, config.sampleRate, fpb, paClipOff | paDitherOff,
                      &Impl::onOutput, &m);
  if (err != paNoError) {
    Pa_CloseStream(m.input);
    m.input = m.output = nullptr;
    error = paError((std::string("cannot open the output '") + outInfo->name + "'").c_str(), err);
    return false;
  }
  opened_.inputName = inInfo->name;
  opened_.outputName = outInfo->name;
  const PaHostApiInfo* api = Pa_GetHostApiInfo(inInfo->hostApi);
  opened_.hostApi = api != nullptr ? api->name : "";
  opened_.inputChannels = m.inChannels;
  opened_.outputChannels = m.outChannels;
  if (const PaStreamInfo* si = Pa_GetStreamInfo(m.input))
    opened_.inputLatencyMs = si->inputLatency * 1000.0;
  if (const PaStreamInfo* so = Pa_GetStreamInfo(m.output))
    opened_.outputLatencyMs = so->outputLatency * 1000.0;
  return true;
}

bool AudioDevices::start(std::string& error) {
  Impl& m = *impl_;
  if (m.input == nullptr || m.output == nullptr) {
    error = "the devices are not open";
    return false;
  }
  // Playback first: the first captured block then finds Wwise running.
  PaError err = Pa_StartStream(m.output);
  if (err == paNoError) err = Pa_StartStream(m.input);
  if (err != paNoError) {
    error = paError("cannot start the streams", err);
    return false;
  }
  return true;
}

void AudioDevices::stop() {
  Impl& m = *impl_;
  for (PaStream** s : {&m.input, &m.output}) {
    if (*s == nullptr) continue;
    // Abort, not stop: a stop waits for the device to hand over its last
    // buffer, and a capture device that has stopped delivering never does.
    Pa_AbortStream(*s);
    Pa_CloseStream(*s);
    *s = nullptr;
  }
}

}  // namespace demo
}  // namespace kivra
