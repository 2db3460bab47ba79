// Audio devices for the demo's live mode: one capture stream and one playback
// stream, opened separately so that each runs on its own device clock, as a
// voice engine's recording and Wwise's output do in a game. The session code
// does not know which devices drive it: a DeviceClient receives what the
// capture stream recorded and fills what the playback stream plays.
//
// Built on PortAudio (ALSA, JACK and, through ALSA's pulse plugin,
// PulseAudio; WASAPI and Core Audio elsewhere). Without it, available()
// is false and open() says how to get it.
//
// Threading: open, start, stop and close run on one control thread. The
// client's captured() runs on the capture stream's thread and render() on
// the playback stream's (on JACK both may be one thread); the statistics are
// atomics written there and read anywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kivra {
namespace demo {

// Called on the device threads: no allocation, no file I/O, no waiting.
class DeviceClient {
 public:
  virtual ~DeviceClient() = default;
  // `frames` frames of interleaved stereo, 48 kHz, full scale 1.0.
  virtual void captured(const float* stereo, int frames) = 0;
  // Fill `frames` frames of interleaved stereo.
  virtual void render(float* stereo, int frames) = 0;
};

struct DeviceInfo {
  int index = -1;
  std::string name;
  std::string hostApi;
  int inputChannels = 0, outputChannels = 0;
  double defaultRate = 0;
  bool defaultInput = false, defaultOutput = false;
};

struct DeviceConfig {
  // A device index, or part of a device's name (case ignored); empty: the
  // default device.
  std::string input, output;
  int sampleRate = 48000;
  int framesPerBuffer = 0;      // 0: the host's choice
  double latencySeconds = 0.0;  // suggested latency; 0: the device's low default
  bool hostMessages = false;    // let ALSA print its own diagnostics
};

// What the streams reported, counted on their threads.
struct DeviceCounters {
  std::atomic<int64_t> inputCallbacks{0}, outputCallbacks{0};
  std::atomic<int64_t> inputFrames{0}, outputFrames{0};
  std::atomic<int64_t> inputOverflows{0}, inputUnderflows{0};
  std::atomic<int64_t> outputUnderflows{0}, outputOverflows{0};
  // Callbacks that took longer than the audio they carried.
  std::atomic<int64_t> inputOverruns{0}, outputOverruns{0};
  std::atomic<int64_t> longestInputNanos{0}, longestOutputNanos{0};
};

struct OpenedDevices {
  std::string inputName, outputName, hostApi;
  double inputLatencyMs = 0, outputLatencyMs = 0;  // as the streams report them
  int inputChannels = 0, outputChannels = 0;
};

class AudioDevices {
 public:
  AudioDevices();
  ~AudioDevices();
  AudioDevices(const AudioDevices&) = delete;
  AudioDevices& operator=(const AudioDevices&) = delete;

  // Built with an audio I/O library.
  static bool available();
  static std::string unavailableReason();

  bool list(std::vector<DeviceInfo>& devices, std::string& error);
  bool open(const DeviceConfig& config, DeviceClient& client, std::string& error);
  bool start(std::string& error);
  // Stops and closes both streams; the client is not called afterwards.
  void stop();

  const OpenedDevices& opened() const { return opened_; }
  const DeviceCounters& counters() const { return counters_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  OpenedDevices opened_;
  DeviceCounters counters_;
};

}  // namespace demo
}  // namespace kivra
