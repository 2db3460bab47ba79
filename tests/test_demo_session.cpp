// The demo's sessions end to end: the simulated engine and Wwise joined by
// libKivraWwiseWrapper, loaded at run time as a game loads it.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <thread>

#include "DemoAudio.h"
#include "DemoSession.h"
#include "KivraSimResampler.h"

using namespace kivra::demo;
namespace fs = std::filesystem;

// Counts heap allocations made by threads other than the test's own (the
// engine's and the Wwise simulator's audio threads) while switched on.
namespace {
std::atomic<bool> g_countOtherThreads{false};
std::atomic<long> g_otherThreadAllocations{0};
std::thread::id g_testThread;

void* countedAlloc(std::size_t n) {
  if (g_countOtherThreads.load(std::memory_order_relaxed) &&
      std::this_thread::get_id() != g_testThread) {
    g_otherThreadAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n); }
void* operator new[](std::size_t n) { return countedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

const char* kMicWav = "/usr/share/sounds/alsa/Front_Center.wav";
const char* kTalkerWav = "/usr/share/sounds/alsa/Front_Left.wav";

std::string scratch(const std::string& name) {
  const char* base = std::getenv("KIVRA_TEST_TMP");
  const fs::path dir = fs::path(base != nullptr ? base : "test-tmp") / ("demo_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

std::string bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A WAV file as written: its samples (interleaved) and its rate.
struct Wav {
  std::vector<int16_t> samples;
  int channels = 0;
  int rate = 0;
};

Wav readWav(const std::string& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) return w;
  w.channels = info.channels;
  w.rate = info.samplerate;
  w.samples.resize(static_cast<size_t>(info.frames * info.channels));
  sf_readf_short(f, w.samples.data(), info.frames);
  sf_close(f);
  return w;
}

// The frequency of channel 0 from its rising zero crossings (each placed
// between its two samples), over [from, to) seconds; 0 when it has none.
double toneHz(const Wav& w, double from, double to) {
  const int64_t n = static_cast<int64_t>(w.samples.size()) / std::max(w.channels, 1);
  const int64_t a = static_cast<int64_t>(from * w.rate);
  const int64_t b = std::min<int64_t>(n, static_cast<int64_t>(to * w.rate));
  double first = -1, last = -1;
  int64_t crossings = 0;
  for (int64_t i = std::max<int64_t>(a, 1); i < b; ++i) {
    const double x0 = w.samples[static_cast<size_t>((i - 1) * w.channels)];
    const double x1 = w.samples[static_cast<size_t>(i * w.channels)];
    if (x0 < 0 && x1 >= 0) {
      const double at = static_cast<double>(i - 1) + x0 / (x0 - x1);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return static_cast<double>(crossings - 1) * w.rate / (last - first);
}

// 48 kHz stereo, a sine of `hz` at -12 dBFS on both channels.
std::vector<int16_t> tone(double hz, double seconds) {
  const size_t frames = static_cast<size_t>(seconds * 48000);
  std::vector<int16_t> v(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const double x =
        8192.0 * std::sin(2.0 * 3.14159265358979323846 * hz * static_cast<double>(i) / 48000.0);
    v[2 * i] = v[2 * i + 1] = static_cast<int16_t>(std::lrint(x));
  }
  return v;
}

// One talker straight ahead and a microphone, both a 1 kHz tone.
SessionConfig toneSession(const std::string& out, double seconds) {
  SessionConfig c;
  c.mic = tone(1000.0, seconds);
  TalkerConfig t;
  t.uid = 42;
  t.object = 100;
  t.pos = {0.0f, 0.0f, 1.0f};
  t.samples = tone(1000.0, seconds);
  c.talkers = {t};
  c.seconds = seconds;
  c.outDir = out;
  return c;
}

// Runs a session counting the heap allocations of every thread but this one
// (the engine's and Wwise's audio threads) into g_otherThreadAllocations.
bool runCountingAudioThreadAllocations(const SessionConfig& c, SessionResult& r,
                                       std::string& error) {
  g_testThread = std::this_thread::get_id();
  g_otherThreadAllocations = 0;
  g_countOtherThreads = true;
  const bool ok = runSession(c, r, error);
  g_countOtherThreads = false;
  return ok;
}

int countLines(const std::string& path, const std::string& text) {
  std::ifstream in(path);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

SessionConfig recordingSession(const std::string& out) {
  SessionConfig c;
  c.micWav = kMicWav;
  TalkerConfig t;
  t.channel = "room1";
  t.uid = 42;
  t.object = 100;
  t.wav = kTalkerWav;
  t.pos = {-3.0f, 0.0f, 1.0f};
  c.talkers = {t};
  c.verify = true;
  c.outDir = out;
  return c;
}

}  // namespace

TEST(DemoSession, VirtualSessionOnARecordingPublishesTheMicrophoneExactly) {
  if (!fs::exists(kMicWav) || !fs::exists(kTalkerWav)) GTEST_SKIP() << "alsa-utils sounds missing";
  // Nothing told, and 48 kHz told through the export: the same exact session.
  for (int told : {0, 48000}) {
    SCOPED_TRACE(told);
    SessionConfig c = recordingSession(scratch("verify" + std::to_string(told)));
    c.toldRate = told;
    std::string error;
    ASSERT_TRUE(prepareInputs(c, error)) << error;
    // Front_Center.wav is 68545 frames at 48 kHz: the session rounds up to
    // whole 10 ms blocks.
    EXPECT_DOUBLE_EQ(c.seconds, 1.43);
    SessionResult r;
    ASSERT_TRUE(runSession(c, r, error)) << error;
    EXPECT_TRUE(r.verifyOk) << r.verifyMessage;
    EXPECT_EQ(r.uplink.droppedLog, 0);
    EXPECT_EQ(r.uplink.droppedCount, 0);
    // 143 blocks recorded; what is not published is still queued, at most one
    // Wwise frame's worth.
    EXPECT_EQ(r.uplink.samples + r.uplink.remaining, 143 * 960);
    EXPECT_LE(r.uplink.remaining, 1024 * 2 + 960);
    EXPECT_GT(r.uplink.seconds(), 1.39);
    // The published WAV holds exactly what the direct track received.
    std::vector<int16_t> published;
    ASSERT_TRUE(loadAudioFile(c.outDir + "/published.wav", published, error)) << error;
    EXPECT_EQ(static_cast<int64_t>(published.size()), r.uplink.samples);
    for (size_t i = 0; i < published.size(); ++i) {
      const int s = c.mic[i];
      ASSERT_EQ(published[i], s - (s > 0) + (s < 0)) << "sample " << i;
    }
    // The talker is to the left: the left speaker is louder.
    EXPECT_GT(r.speakersLeftDb, r.speakersRightDb + 6.0);
    EXPECT_EQ(r.talkers.at(0).droppedCount, 0);
    // And the talker reached Wwise sample for sample.
    EXPECT_EQ(r.talkers.at(0).contentDiffs, 0);
    EXPECT_EQ(r.talkers.at(0).samples + r.talkers.at(0).remaining, 143 * 960);
    EXPECT_EQ(r.aecMismatches, 0);
    EXPECT_EQ(r.micNotSilenced, 0);
    EXPECT_GT(r.latencyMeanMs, 0.0);
    EXPECT_LE(r.latencyMaxMs, 1000.0 * (1024 + 480) / 48000 + 1e-9);
    EXPECT_TRUE(fs::exists(c.outDir + "/timeline.svg"));
    EXPECT_TRUE(fs::exists(c.outDir + "/kivra_wwise_log.txt"));
  }
}

TEST(DemoSession, VirtualSessionsAreIdenticalFromRunToRun) {
  std::string error;
  SessionConfig a = defaultSession();
  a.seconds = 1.5;
  a.wwiseFrames = 512;
  a.gain = 0.7f;
  a.outDir = scratch("det_a");
  SessionConfig b = a;
  b.outDir = scratch("det_b");
  ASSERT_TRUE(prepareInputs(a, error)) << error;
  ASSERT_TRUE(prepareInputs(b, error)) << error;
  SessionResult ra, rb;
  ASSERT_TRUE(runSession(a, ra, error)) << error;
  ASSERT_TRUE(runSession(b, rb, error)) << error;
  for (const char* f : {"microphone.wav", "published.wav", "aec_reference.wav", "speakers.wav"}) {
    const std::string x = bytes(a.outDir + "/" + f), y = bytes(b.outDir + "/" + f);
    EXPECT_GT(x.size(), 44u) << f;
    EXPECT_TRUE(x == y) << f << " differs between two runs";
  }
  EXPECT_EQ(ra.latencyMeanMs, rb.latencyMeanMs);
  EXPECT_EQ(ra.micDepth.size(), rb.micDepth.size());
  // The gain reached the published track: 0.7 of the input, within a step.
  std::vector<int16_t> pub;
  ASSERT_TRUE(loadAudioFile(a.outDir + "/published.wav", pub, error)) << error;
  ASSERT_FALSE(pub.empty());
  double in = 0, out = 0;
  for (size_t i = 0; i < pub.size(); ++i) {
    in += std::abs(static_cast<double>(a.mic[i]));
    out += std::abs(static_cast<double>(pub[i]));
  }
  EXPECT_NEAR(out / in, 0.7, 0.01);
}

TEST(DemoSession, RealTimeSessionOfTwoSecondsLosesNoBlock) {
  std::string error;
  SessionConfig c = defaultSession();
  c.seconds = 2.0;
  c.clock = kivra::sim::ClockMode::Real;
  c.verify = true;
  c.outDir = scratch("real");
  ASSERT_TRUE(prepareInputs(c, error)) << error;
  SessionResult r;
  ASSERT_TRUE(runSession(c, r, error)) << error;
  // What the bridge controls, whatever the scheduler does to the threads (a
  // loaded machine can hold the Wwise thread back past the queue's 200 ms):
  // every block dropped is logged, and the published track is the microphone
  // exactly unless a drop or a latency correction happened.
  EXPECT_GE(r.wallSeconds, 1.9);
  ASSERT_EQ(r.talkers.size(), 2u);
  int64_t corrections = 0, drops = r.uplink.droppedCount + r.reverse.droppedCount;
  for (const StreamStats* s : {&r.uplink, &r.talkers[0], &r.talkers[1]}) {
    EXPECT_EQ(s->droppedLog, s->droppedCount) << s->name;
    corrections += s->latency.quietRemovals + s->latency.crossfades + s->latency.insertions;
    if (s != &r.uplink) drops += s->droppedCount;
  }
  // Nothing published twice: what was recorded covers what left the queue.
  EXPECT_GE(r.uplink.droppedCount, 0);
  if (drops == 0 && corrections == 0) {
    EXPECT_TRUE(r.verifyOk) << r.verifyMessage;
  }
}

TEST(DemoSession, AnOverloadedQueueDropsWholeBlocksAndEveryDropIsLogged) {
  // Wwise buffers of 12000 frames (250 ms) outrun the bridge's 200 ms
  // queues: blocks are dropped whole, each one logged (written, or counted
  // in a summary of repeats).
  std::string error;
  SessionConfig c = defaultSession();
  c.seconds = 2.0;
  c.wwiseFrames = 12000;
  c.verify = true;
  c.outDir = scratch("overload");
  ASSERT_TRUE(prepareInputs(c, error)) << error;
  SessionResult r;
  ASSERT_TRUE(runSession(c, r, error)) << error;
  EXPECT_FALSE(r.verifyOk) << r.verifyMessage;
  EXPECT_GT(r.uplink.droppedCount, 0);
  EXPECT_EQ(r.uplink.droppedLog, r.uplink.droppedCount);
  EXPECT_EQ(static_cast<int64_t>(r.micDrops.size()), r.uplink.droppedCount);
  // What did get through is intact: whole blocks, in order, exact values.
  EXPECT_EQ(r.uplinkContentDiffs, 0);
  EXPECT_EQ(r.uplink.samples % 960, 0);
  for (const StreamStats& t : r.talkers) {
    EXPECT_GT(t.droppedCount, 0) << t.name;
    EXPECT_EQ(t.droppedLog, t.droppedCount) << t.name;
    EXPECT_EQ(t.contentDiffs, 0) << t.name;
  }
}

TEST(DemoSession, AudioThreadsDoNotAllocatePerBlock) {
  // Ten seconds: 1000 engine periods and 469 Wwise frames. The audio threads
  // may allocate a few times (a log line's time stamp), never per block.
  std::string error;
  SessionConfig c = defaultSession();
  c.seconds = 10.0;
  c.outDir = scratch("alloc");
  ASSERT_TRUE(prepareInputs(c, error)) << error;
  SessionResult r;
  ASSERT_TRUE(runCountingAudioThreadAllocations(c, r, error)) << error;
  EXPECT_EQ(r.uplink.droppedCount, 0);
  EXPECT_LT(g_otherThreadAllocations.load(), 40) << "allocations on the audio threads";
  std::printf("audio-thread allocations over 10 s: %ld\n", g_otherThreadAllocations.load());
}

TEST(DemoSession, AudioThreadsDoNotAllocatePerBlockAtAnotherRateAndLayout) {
  if (!kivra::sim::SimResampler::available()) GTEST_SKIP() << "built without speexdsp";
  // 44.1 kHz told, a 5.1 master bus and mono voices: the engine converts on
  // its threads, the bridge maps channels on Wwise's; neither allocates.
  std::string error;
  SessionConfig c = defaultSession();
  c.seconds = 10.0;
  c.wwiseRate = 44100;
  c.toldRate = 44100;
  c.wwiseChannels = 6;
  c.monoVoices = true;
  c.outDir = scratch("alloc441");
  ASSERT_TRUE(prepareInputs(c, error)) << error;
  SessionResult r;
  ASSERT_TRUE(runCountingAudioThreadAllocations(c, r, error)) << error;
  EXPECT_EQ(r.uplink.droppedLog, 0);
  EXPECT_LT(g_otherThreadAllocations.load(), 40) << "allocations on the audio threads";
}

// Wwise at 24, 32 and 44.1 kHz, its rate told through the export: the
// engine converts, so a 1 kHz tone keeps its pitch through each stream (the
// published track and the AEC reference at the engine's 48 kHz, the voice
// Wwise rendered at its own rate). 48 kHz told is the control.
TEST(DemoSession, AToneKeepsItsPitchThroughEachStreamAtEveryRateTold) {
  if (!kivra::sim::SimResampler::available()) GTEST_SKIP() << "built without speexdsp";
  for (int rate : {24000, 32000, 44100, 48000}) {
    SCOPED_TRACE(rate);
    SessionConfig c = toneSession(scratch("pitch" + std::to_string(rate)), 3.0);
    c.wwiseRate = rate;
    c.toldRate = rate;
    std::string error;
    SessionResult r;
    ASSERT_TRUE(runSession(c, r, error)) << error;
    const Wav published = readWav(c.outDir + "/published.wav");
    const Wav speakers = readWav(c.outDir + "/speakers.wav");
    const Wav reference = readWav(c.outDir + "/aec_reference.wav");
    EXPECT_EQ(published.rate, 48000);
    EXPECT_EQ(speakers.rate, rate);
    EXPECT_EQ(reference.rate, 48000);
    const double up = toneHz(published, 0.5, 2.5);
    const double down = toneHz(speakers, 0.5, 2.5);
    const double back = toneHz(reference, 0.5, 2.5);
    EXPECT_NEAR(up, 1000.0, 0.5) << "uplink";
    EXPECT_NEAR(down, 1000.0, 0.5) << "downlink";
    EXPECT_NEAR(back, 1000.0, 0.5) << "reverse";
    std::printf("%d Hz: uplink %.4f Hz, downlink %.4f Hz, reverse %.4f Hz\n", rate, up, down, back);
    EXPECT_EQ(r.uplink.droppedLog, 0);
    EXPECT_EQ(r.talkers.at(0).droppedLog, 0);
    EXPECT_EQ(countLines(c.outDir + "/kivra_wwise_log.txt", "wwise pulls at about"), 0);
  }
}

// The wrong rate told (nothing told, so 48 kHz served, while Wwise renders at
// 24 kHz): one warning naming the rate seen within 3 s and at most one a
// minute after; the queues stay bounded and the log does not flood.
TEST(DemoSession, AWrongRateIsWarnedOnceAMinuteWhileTheQueuesStayBounded) {
  const std::string warning =
      "wwise pulls at about 24000 Hz while the bridge serves 48000 Hz: tell the bridge Wwise's "
      "rate with KW_SetWwiseSampleRate";
  {
    SessionConfig c = toneSession(scratch("wrong3"), 3.0);
    c.wwiseRate = 24000;
    std::string error;
    SessionResult r;
    ASSERT_TRUE(runSession(c, r, error)) << error;
    EXPECT_EQ(countLines(c.outDir + "/kivra_wwise_log.txt", warning), 1) << "within 3 s";
    // And the tone shows why: Wwise plays 48 kHz audio at 24 kHz, an octave low.
    EXPECT_NEAR(toneHz(readWav(c.outDir + "/speakers.wav"), 0.5, 2.5), 500.0, 5.0);
  }
  // Two minutes and a bit of synthesised voices (every frame unique, so the
  // probes can place it): warnings at 2, 62 and 122 s.
  SessionConfig c = defaultSession();
  c.seconds = 130.0;
  c.wwiseRate = 24000;
  c.outDir = scratch("wrong");
  std::string error;
  ASSERT_TRUE(prepareInputs(c, error)) << error;
  SessionResult r;
  ASSERT_TRUE(runSession(c, r, error)) << error;
  const std::string log = c.outDir + "/kivra_wwise_log.txt";
  EXPECT_EQ(countLines(log, warning), 3);
  EXPECT_EQ(countLines(log, "wwise pulls at about"), 3);
  // Bounded: no frame Wwise received was older than the queue's 200 ms of
  // audio take to drain at half speed, and a Wwise frame (400 + 43 ms).
  EXPECT_LT(r.uplink.latency.maxMs, 450.0);
  for (const StreamStats& t : r.talkers) EXPECT_LT(t.latency.maxMs, 450.0) << t.name;
  // The engine delivers twice what Wwise takes: half is dropped, in paced
  // overflow episodes and the controller's removals, about one line a second
  // per stream (three here).
  EXPECT_LT(r.logLines, 130 * 4);
  std::printf("wrong rate, 130 s: %lld log lines, uplink max %.1f ms, talker max %.1f ms\n",
              static_cast<long long>(r.logLines), r.uplink.latency.maxMs,
              r.talkers.at(0).latency.maxMs);
}

// The rate told during a session (Wwise at 24 kHz from the start, the bridge
// told at 2.5 s): it applies at once with one line, the frames
// of the old rate still in flight are dropped without lines, and from then on
// Wwise's voices play at their pitch.
TEST(DemoSession, ARateToldDuringASessionAppliesAtOnceWithOneLine) {
  if (!kivra::sim::SimResampler::available()) GTEST_SKIP() << "built without speexdsp";
  SessionConfig c = toneSession(scratch("toldlater"), 4.0);
  c.wwiseRate = 24000;
  c.toldLater = 24000;
  c.toldLaterAt = 2.5;
  std::string error;
  SessionResult r;
  ASSERT_TRUE(runSession(c, r, error)) << error;
  const std::string log = c.outDir + "/kivra_wwise_log.txt";
  EXPECT_EQ(countLines(log, "wwise sample rate 24000 Hz, served now: queues restarted"), 1);
  EXPECT_EQ(countLines(log, "wwise sample rate"), 1);
  EXPECT_EQ(countLines(log, "engine frame at"), 0);
  EXPECT_LE(countLines(log, "wwise pulls at about 24000 Hz"), 1);
  const Wav speakers = readWav(c.outDir + "/speakers.wav");
  EXPECT_NEAR(toneHz(speakers, 0.5, 2.0), 500.0, 5.0) << "before: an octave low";
  EXPECT_NEAR(toneHz(speakers, 3.2, 3.9), 1000.0, 0.5) << "after: its own pitch";
}

TEST(DemoSession, UnreadableInputIsRefusedNamingTheArgument) {
  SessionConfig c = defaultSession();
  c.micWav = "/nonexistent/mic.wav";
  std::string error;
  EXPECT_FALSE(prepareInputs(c, error));
  EXPECT_NE(error.find("--mic"), std::string::npos) << error;
  EXPECT_NE(error.find("/nonexistent/mic.wav"), std::string::npos) << error;

  const std::string notAudio = scratch("notaudio") + "/talker.wav";
  std::ofstream(notAudio) << "this is not audio";
  c = defaultSession();
  c.talkers[0].wav = notAudio;
  EXPECT_FALSE(prepareInputs(c, error));
  EXPECT_NE(error.find("--talker uid=42"), std::string::npos) << error;
}

TEST(DemoSession, AnotherRateIsResampledTo48kStereo) {
  // A mono 16 kHz file of one second becomes 48000 stereo frames at the same
  // level.
  const std::string path = scratch("resample") + "/mono16k.wav";
  std::vector<int16_t> mono(16000);
  for (size_t i = 0; i < mono.size(); ++i) {
    mono[i] = static_cast<int16_t>(8000.0 * std::sin(2 * 3.14159265358979 * 440.0 * i / 16000.0));
  }
  SF_INFO info{};
  info.samplerate = 16000;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(sf_writef_short(f, mono.data(), 16000), 16000);
  sf_close(f);

  std::vector<int16_t> stereo;
  std::string error;
  ASSERT_TRUE(loadAudioFile(path, stereo, error)) << error;
  EXPECT_NEAR(static_cast<double>(stereo.size() / 2), 48000.0, 4.0);
  double sum = 0;
  for (size_t i = 0; i + 1 < stereo.size(); i += 2) {
    ASSERT_EQ(stereo[i], stereo[i + 1]) << "frame " << i / 2;
    if (i > 2000 && i < stereo.size() - 2000) sum += double(stereo[i]) * stereo[i];
  }
  const double rms = std::sqrt(sum / (stereo.size() / 2 - 2000));
  EXPECT_NEAR(rms, 8000.0 / std::sqrt(2.0), 8000.0 * 0.05);
}
