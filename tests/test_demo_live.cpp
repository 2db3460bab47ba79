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
#include <fstream>
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

// The log as the live report reads it: the controller's lines by the
// stream they name (not a stream whose name begins the same), the frames they
// removed, the overflow lines of each queue, and a line the writer has not
// finished yet left for the next read.
TEST(LiveReport, TheBridgesLogIsReadByStreamAndLine) {
  const std::string path = ::testing::TempDir() + "/live_log.txt";
  std::vector<kivra::demo::LiveStream> streams(3);
  streams[0].name = "uplink";
  streams[1].name = "downlink uid 4 channel room1";
  streams[1].uid = 4;
  streams[2].name = "downlink uid 42 channel room1";
  streams[2].uid = 42;
  const char* t = "139 2026-12-08 23:06:00:505 ";
  {
    std::ofstream log(path, std::ios::binary | std::ios::trunc);
    log << t << "latency uplink: removed 768 frames in a quiet stretch (standing backlog 896 "
        << "frames, target 0)\n"
        << t << "latency downlink uid 42 channel room1: removed 960 frames with a 240-frame "
        << "crossfade (standing backlog 1056 frames, target 0)\n"
        << t << "latency downlink uid 42 channel room1: removed 96 frames in a quiet stretch "
        << "(standing backlog 224 frames, target 0)\n"
        << t << "latency downlink uid 4 channel room1: inserted 480 frames of silence in a quiet "
        << "stretch (backlog 600 frames from target 0)\n"
        << t << "[zn] onRecordAudioFrame channelId room1 record data is overflow, check why\n"
        << t << "onPlaybackAudioFrameBeforeMixing playback uid 42 data overflow max(19201), "
        << "avail(18368), drop(960)\n"
        << t << "latency uplink: removed 192 frames in a quiet";  // not finished
  }
  kivra::demo::LogFollower follower(path);
  EXPECT_EQ(follower.poll(streams), 6);
  EXPECT_EQ(streams[0].quietRemovals, 1);
  EXPECT_EQ(streams[0].removedFrames, 768);
  EXPECT_EQ(streams[0].overflowLines, 1);
  EXPECT_EQ(streams[1].insertions, 1);
  EXPECT_EQ(streams[1].quietRemovals + streams[1].crossfadeRemovals, 0);
  EXPECT_EQ(streams[1].overflowLines, 0);
  EXPECT_EQ(streams[2].crossfadeRemovals, 1);
  EXPECT_EQ(streams[2].quietRemovals, 1);
  EXPECT_EQ(streams[2].removedFrames, 1056);
  EXPECT_EQ(streams[2].overflowLines, 1);
  {
    std::ofstream log(path, std::ios::binary | std::ios::app);
    log << " stretch (standing backlog 256 frames, target 0)\n";
  }
  EXPECT_EQ(follower.poll(streams), 1);
  EXPECT_EQ(streams[0].quietRemovals, 2);
  EXPECT_EQ(streams[0].removedFrames, 960);
  EXPECT_EQ(follower.poll(streams), 0);
}

// ERLE on the published track against a known answer. The far end speaks
// in every other 100 ms window and the local player in the others; the
// canceller took 20 dB off the echo. The published track is that audio
// after Wwise's identity effect, 12345 frames late, with 96 frames cut out
// at 7 s (a correction of the latency controller). A window set against the
// wrong microphone audio, even by 50 frames, takes in some of the local
// voice, 20 dB louder than what was left of the echo.
TEST(LiveReport, PublishedErleFindsEachWindowsMicrophoneAudio) {
  constexpr int kFrames = 10 * 48000;
  std::vector<int16_t> raw(2 * kFrames), cancelled(2 * kFrames);
  uint32_t state = 7;
  for (size_t i = 0; i < raw.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const int noise = static_cast<int32_t>(state >> 16) % 6000 - 3000;
    const bool far = (i / 2 / 4800) % 2 == 0;
    raw[i] = static_cast<int16_t>(far ? noise : 0);
    // What is left of the echo, or the local voice; a small pattern of its
    // own so that no two frames match.
    cancelled[i] = static_cast<int16_t>((far ? noise / 10 : noise) + static_cast<int>(i % 7) - 3);
  }
  sim::SimMixHistory handed(kFrames);
  handed.pushInterleaved(0, cancelled.data(), kFrames);
  std::vector<int16_t> pub(2 * 12345, 0);
  for (int f = 0; f < kFrames; ++f) {
    if (f >= 7 * 48000 && f < 7 * 48000 + 96) continue;
    for (int c = 0; c < 2; ++c)
      pub.push_back(floatToInt16(cancelled[static_cast<size_t>(2 * f + c)] / 32768.0f));
  }
  kivra::demo::LiveResult r;
  kivra::demo::publishedErle(raw, handed, pub, r);
  // The far end's windows from 5 s on, less at most one broken by the cut.
  EXPECT_GE(r.erleWindows, 24);
  EXPECT_LE(r.erleWindows, 25);
  EXPECT_NEAR(r.erlePublishedDb, 20.0, 0.2);
}

}  // namespace
