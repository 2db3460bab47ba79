// The live mode's drive without a sound card: two threads stand in for a
// capture and a playback device, calling back in sizes no engine period or
// Wwise frame divides (333 and 441 frames), as a device does. Checked: what
// the microphone captured is published sample for sample, each talker
// reaches Wwise sample for sample, and neither device thread allocates.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "DemoAudio.h"
#include "DemoLibrary.h"
#include "DemoLive.h"
#include "ReplacedNew.h"

namespace {

void (*volatile g_free)(void*) = std::free;
thread_local bool t_counting = false;
std::atomic<long> g_deviceAllocations{0};

void* allocate(std::size_t size) {
  if (t_counting) g_deviceAllocations.fetch_add(1);
  return std::malloc(size == 0 ? 1 : size);
}

void release(void* p) {
  if (t_counting && p != nullptr) g_deviceAllocations.fetch_add(1);
  g_free(p);
}

}  // namespace

KIVRA_REPLACE_GLOBAL_NEW(allocate, release)

namespace {

using kivra::demo::floatToInt16;
namespace sim = kivra::sim;

constexpr int kRate = 48000;
constexpr int kCaptureFrames = 333;
constexpr int kPlaybackFrames = 441;
constexpr int kSeconds = 2;

// 48 kHz stereo with every frame different: a slow ramp in the left channel,
// its negative in the right, with a small pseudo-random part.
std::vector<int16_t> uniqueSignal(int frames, int seed) {
  std::vector<int16_t> out(static_cast<size_t>(2 * frames));
  uint32_t state = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (int i = 0; i < frames; ++i) {
    state = state * 1664525u + 1013904223u;
    const int v = (i * 7) % 20000 - 10000 + static_cast<int>(state >> 28);
    out[static_cast<size_t>(2 * i)] = static_cast<int16_t>(v);
    out[static_cast<size_t>(2 * i + 1)] = static_cast<int16_t>(-v / 2);
  }
  return out;
}

// Where `run` starts inside `whole`, or -1.
int64_t find(const std::vector<int16_t>& whole, const std::vector<int16_t>& run, size_t at,
             size_t length) {
  for (size_t i = 0; i + length <= whole.size(); i += 2) {
    bool same = true;
    for (size_t k = 0; k < length && same; ++k) same = whole[i + k] == run[at + k];
    if (same) return static_cast<int64_t>(i);
  }
  return -1;
}

TEST(LiveDrive, OddDeviceCallbacksCarryEveryStreamExactlyWithoutAllocating) {
  kivra::demo::WrapperLibrary library;
  std::string error;
  ASSERT_TRUE(library.loadOption("", error)) << error;
  const kivra::demo::WrapperApi& api = library.api();
  const std::string logDir = ::testing::TempDir();

  const int frames = kSeconds * kRate + kRate / 2;
  const std::vector<int16_t> mic = uniqueSignal(frames, 1);
  const std::vector<int16_t> talker = uniqueSignal(frames, 2);

  sim::SimClock clock(sim::ClockMode::Real, kRate);
  sim::SimVoiceEngine engine(clock);
  engine.setChannelId("room1");
  engine.addTalkerSource("room1", 42, sim::SimSource(talker));
  engine.reserveSeconds(kSeconds + 1.0);
  sim::SimMixHistory recordHistory(10 * kRate);
  sim::SimMixHistory talkerHistory(10 * kRate);
  engine.setRecordHistory(&recordHistory);
  engine.setTalkerHistory(0, &talkerHistory);

  int trackId = -1;
  ASSERT_EQ(api.init(static_cast<kivra::rtc::IRtcEngine*>(&engine), &trackId, logDir.c_str()), 0);
  ASSERT_EQ(api.setMapping(100, "room1", 42), 0);

  sim::SimWwiseConfig wc;
  wc.framesPerBuffer = 256;
  wc.identityMicEffect = true;
  wc.captureVoices = true;
  wc.captureSpeakers = false;
  wc.reserveSeconds = kSeconds + 1.0;
  sim::SimWwise wwise(clock, wc);
  wwise.addGameObject(100, sim::SimVec3{-1.0f, 0.0f, 1.0f});
  sim::SimLatencyProbe micProbe(recordHistory), talkerProbe(talkerHistory);
  micProbe.reserve(4096, 4);
  talkerProbe.reserve(4096, 4);
  wwise.setMicProbe(&micProbe);
  wwise.setVoiceProbe(0, &talkerProbe);

  kivra::demo::LiveDrive drive(clock, engine, wwise, recordHistory, micProbe, {&talkerProbe},
                               static_cast<size_t>(frames), 2);
  ASSERT_TRUE(wwise.startLive());
  engine.startLive();
  clock.start();

  // Device threads, each paced by its own sleep (two clocks); counting
  // starts after their first callbacks.
  std::atomic<bool> stop{false};
  std::atomic<long> lateAllocations{0};
  std::thread capture([&] {
    std::vector<float> buf(2 * kCaptureFrames);
    const auto t0 = std::chrono::steady_clock::now();
    for (int done = 0, n = 0; done + kCaptureFrames <= kSeconds * kRate; done += kCaptureFrames) {
      for (int i = 0; i < 2 * kCaptureFrames; ++i)
        buf[static_cast<size_t>(i)] = mic[static_cast<size_t>(2 * done + i)] / 32768.0f;
      t_counting = ++n > 3;
      drive.captured(buf.data(), kCaptureFrames);
      t_counting = false;
      std::this_thread::sleep_until(
          t0 + std::chrono::microseconds(int64_t(done + kCaptureFrames) * 1000000 / kRate));
    }
    stop = true;
  });
  std::thread playback([&] {
    std::vector<float> buf(2 * kPlaybackFrames);
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t done = 0, n = 0; !stop; done += kPlaybackFrames) {
      t_counting = ++n > 3;
      drive.render(buf.data(), kPlaybackFrames);
      t_counting = false;
      std::this_thread::sleep_until(
          t0 + std::chrono::microseconds((done + kPlaybackFrames) * 1000000 / kRate));
    }
  });
  capture.join();
  playback.join();
  lateAllocations = g_deviceAllocations.load();
  engine.finishLive();
  wwise.drain();
  wwise.stop();
  api.uninit();

  EXPECT_EQ(lateAllocations.load(), 0) << "heap calls on the device threads after warm-up";

  // Uplink: the published track is the captured microphone, as Wwise's
  // identity effect hands it back (x 1/32768, then x 32767 truncated), in
  // order and unbroken from its first block on.
  const sim::SimTrackCapture pub = engine.track(trackId);
  ASSERT_GT(pub.samples.size(), static_cast<size_t>(kRate));  // over half a second
  std::vector<int16_t> expected(mic.size());
  for (size_t i = 0; i < mic.size(); ++i) expected[i] = floatToInt16(mic[i] / 32768.0f);
  const int64_t start = find(expected, pub.samples, 0, 64);
  ASSERT_GE(start, 0) << "the first published frames are not the microphone's";
  for (size_t i = 0; i < pub.samples.size(); ++i) {
    ASSERT_EQ(pub.samples[i], expected[static_cast<size_t>(start) + i]) << "published sample " << i;
  }

  // Downlink: what Wwise pulled for the game object is the talker's audio,
  // in order and unbroken.
  const std::vector<int16_t>& voice = wwise.voiceCapture(0);
  ASSERT_GT(voice.size(), static_cast<size_t>(kRate));
  const int64_t vstart = find(talker, voice, 0, 64);
  ASSERT_GE(vstart, 0);
  for (size_t i = 0; i < voice.size(); ++i) {
    ASSERT_EQ(voice[i], talker[static_cast<size_t>(vstart) + i]) << "voice sample " << i;
  }
  EXPECT_EQ(wwise.micShortPulls(), 0);
  EXPECT_EQ(wwise.voiceShortPulls(0), 0);
  // Every period the capture thread completed was handed to the engine.
  EXPECT_EQ(engine.recordProgress().load(),
            kSeconds * kRate / kCaptureFrames * kCaptureFrames / 480 * 480);
}

}  // namespace
