// The echo canceller in the simulated engine, fed by the bridge's
// AEC-reference track: the room, the measurement, and the echo scenario with
// the reverse stream working, disabled and late, at several Wwise frame sizes
// and output latencies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DemoAudio.h"
#include "DemoEcho.h"
#include "KivraSimResampler.h"
#include "KivraSimRoom.h"

namespace fs = std::filesystem;
using kivra::demo::EchoCase;
using kivra::demo::EchoConfig;
using kivra::demo::EchoFigures;
using kivra::demo::EchoInputs;
using kivra::demo::EchoPhases;
using kivra::demo::EchoSignals;

namespace {

std::string scratch(const std::string& name) {
  const char* base = std::getenv("KIVRA_TEST_TMP");
  const fs::path dir = fs::path(base != nullptr ? base : "test-tmp") / ("echo_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

bool haveRecordings() { return fs::exists("/usr/share/sounds/alsa/Front_Center.wav"); }

// Deterministic noise bursts: 0.3 s on, 0.2 s off, at about -26 dBFS.
std::vector<float> bursts(size_t frames, uint32_t seed) {
  std::vector<float> x(frames, 0.0f);
  uint32_t s = seed;
  for (size_t i = 0; i < frames; ++i) {
    s = s * 1664525u + 1013904223u;
    if ((i / 4800) % 5 < 3) x[i] = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * 0.17f;
  }
  return x;
}

}  // namespace

// ---- The room: the echo of what Wwise renders, and the other components.

TEST(EchoRoom, EchoOfAClickArrivesAfterLatencyAndPathWithItsGain) {
  kivra::sim::SimRoomConfig rc;
  rc.outputLatencyMs = 25;
  rc.echoDelayMs = 40;
  rc.echoGainDb = -10;
  rc.noiseDbfs = -90;
  kivra::sim::SimRoom room(rc, kivra::sim::SimSource());
  room.reserveSeconds(1);
  // One rendered frame with a click on the left speaker at its 100th sample.
  std::vector<float> left(1024, 0.0f), right(1024, 0.0f);
  left[100] = 0.5f;
  room.play(2048, left.data(), right.data(), 1024);
  std::vector<int16_t> mic(2 * 9600);
  room.capture(0, 9600, 2, mic.data());
  const std::vector<float>& echo = room.echo();
  ASSERT_EQ(echo.size(), 9600u);
  size_t peak = 0;
  for (size_t i = 0; i < echo.size(); ++i) {
    if (std::fabs(echo[i]) > std::fabs(echo[peak])) peak = i;
  }
  // 2048 + 100, then 25 ms (1200 frames) to the speakers, 40 ms (1920) to the mic.
  EXPECT_EQ(peak, 2048u + 100u + 1200u + 1920u);
  EXPECT_NEAR(echo[peak], 0.5 * std::pow(10.0, -10.0 / 20.0), 1e-4);
  // Nothing before the echo's arrival; both channels of the microphone alike.
  for (size_t i = 0; i < peak; ++i) ASSERT_EQ(echo[i], 0.0f) << i;
  for (size_t i = 0; i < 9600; ++i) ASSERT_EQ(mic[2 * i], mic[2 * i + 1]);
}

TEST(EchoRoom, MicrophoneIsVoicePlusEchoPlusNoiseAtTheFloorAsked) {
  kivra::sim::SimRoomConfig rc;
  rc.noiseDbfs = -60;
  std::vector<int16_t> voice(2 * 4800);
  for (size_t i = 0; i < 4800; ++i) voice[2 * i] = voice[2 * i + 1] = static_cast<int16_t>(i % 700);
  kivra::sim::SimRoom room(rc, kivra::sim::SimSource(voice));
  std::vector<int16_t> mic(4800);
  room.capture(0, 4800, 1, mic.data());
  double noise = 0;
  for (size_t i = 0; i < 4800; ++i) {
    noise += static_cast<double>(room.noise()[i]) * room.noise()[i];
    EXPECT_NEAR(room.nearVoice()[i] * 32768.0f, static_cast<float>(i % 700), 1e-3);
    const float sum = (room.echo()[i] + room.nearVoice()[i] + room.noise()[i]) * 32768.0f;
    ASSERT_NEAR(mic[i], sum, 0.51f) << i;
  }
  EXPECT_NEAR(10 * std::log10(noise / 4800), -60.0, 0.5);
}

// ---- The measurement, on signals whose answer is known.

TEST(EchoMeasure, ErleLevelChangeAndLeadOnKnownSignals) {
  EchoPhases p;  // 0-4.2 far, 4.2-6.6 near, 6.6-9 double, 9-12 far
  const size_t n = 12 * 48000;
  EchoSignals s;
  s.echo = bursts(n, 1);
  s.noise.assign(n, 0.0f);
  s.nearVoice.assign(n, 0.0f);
  const std::vector<float> voice = bursts(n, 2);
  for (size_t i = static_cast<size_t>(4.5 * 48000); i < static_cast<size_t>(8.5 * 48000); ++i) {
    s.nearVoice[i] = voice[i];
  }
  // The canceller delays by 32 frames, removes 40 dB of echo, and keeps the
  // local voice whole alone but at half its amplitude (-6 dB) in double talk.
  const int lag = 32;
  s.published.assign(n + lag, 0.0f);
  for (size_t i = 0; i < n; ++i) {
    const float keep = i >= static_cast<size_t>(6.6 * 48000) ? 0.5f : 1.0f;
    s.published[i + lag] = 0.01f * s.echo[i] + keep * s.nearVoice[i];
  }
  // The reference runs 3000 frames ahead of its echo, each 10 ms frame fed
  // 1000 frames after its first sample was rendered: a lead of 2000 frames.
  s.reference.assign(n, 0.0f);
  for (size_t i = 0; i + 3000 < n; ++i) s.reference[i] = s.echo[i + 3000];
  for (int64_t r = 0; r * 480 < static_cast<int64_t>(n); ++r) s.feedTimes.push_back(r * 480 + 1000);

  const EchoFigures f = kivra::demo::measureEcho(s, p);
  EXPECT_EQ(f.outputLagFrames, lag);
  EXPECT_NEAR(f.erleDb, 40.0, 0.2);
  EXPECT_NEAR(f.erleFirstDb, 40.0, 0.2);
  EXPECT_NEAR(f.erleLastDb, 40.0, 0.2);
  EXPECT_NEAR(f.nearAloneChangeDb, 0.0, 0.1);
  EXPECT_NEAR(f.doubleTalkChangeDb, -6.02, 0.1);
  ASSERT_TRUE(f.hasReference);
  EXPECT_NEAR(f.echoLagMs, 3000.0 / 48.0, 0.05);
  EXPECT_NEAR(f.leadMinMs, 2000.0 / 48.0, 0.05);
  EXPECT_NEAR(f.leadMeanMs, 2000.0 / 48.0, 0.05);
  // The echo is there from the start and cancelled at once: the first window.
  EXPECT_NEAR(f.convergenceSeconds, 0.1, 1e-9);

  // Nothing removed: 0 dB, and never converged.
  for (size_t i = 0; i < n; ++i) s.published[i + lag] = s.echo[i] + s.nearVoice[i];
  const EchoFigures none = kivra::demo::measureEcho(s, p);
  EXPECT_NEAR(none.erleDb, 0.0, 0.1);
  EXPECT_LT(none.convergenceSeconds, 0);
  // Fed 4000 frames after rendering: the reference is 1000 frames late.
  for (int64_t r = 0; r < static_cast<int64_t>(s.feedTimes.size()); ++r)
    s.feedTimes[static_cast<size_t>(r)] = r * 480 + 4000;
  EXPECT_NEAR(kivra::demo::measureEcho(s, p).leadMinMs, -1000.0 / 48.0, 0.05);
}

// ---- The scenario through the bridge.

class EchoScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveRecordings()) GTEST_SKIP() << "alsa-utils sounds missing";
    config_.room.outputLatencyMs = 20;
    std::string error;
    ASSERT_TRUE(kivra::demo::prepareEchoInputs(config_, inputs_, error)) << error;
  }
  EchoFigures run(const EchoCase& c, EchoSignals* signals = nullptr) {
    EchoFigures f;
    std::string error;
    EXPECT_TRUE(kivra::demo::runEchoCase(config_, inputs_, c, f, nullptr, signals, error)) << error;
    EXPECT_EQ(f.cancellerErrors, 0);
    return f;
  }
  EchoConfig config_;
  EchoInputs inputs_;
};

TEST_F(EchoScenario, WorkingReverseStreamCancelsAndDisabledOrLateDoesNot) {
  config_.outDir = scratch("cases");
  const std::vector<EchoCase> cases = kivra::demo::echoCases();
  ASSERT_EQ(cases.size(), 3u);
  EchoSignals s;
  const EchoFigures working = run(cases[0], &s);
  EXPECT_GE(working.erleDb, 25.0);
  // After the double talk the canceller has had time to settle.
  EXPECT_GE(working.erleLastDb, 26.0);
  EXPECT_GE(working.convergenceSeconds, 0.0);
  EXPECT_LE(working.convergenceSeconds, 1.0);
  EXPECT_GE(working.doubleTalkChangeDb, -6.0);
  EXPECT_GE(working.leadMinMs, 0.0);
  // The engine found the reference's least lead itself, to its 10 ms frame,
  // within the first far-end stretch.
  ASSERT_GE(working.estimatedLeadMs, 0);
  EXPECT_GE(working.estimatedLeadMs, working.leadMinMs - 1.0);
  EXPECT_LE(working.estimatedLeadMs, working.leadMinMs + 11.0);
  EXPECT_GT(working.leadFoundSeconds, 0.0);
  EXPECT_LT(working.leadFoundSeconds, 2.0);
  // Every sample recorded was published (the whole session, less what was
  // still queued at the end).
  EXPECT_GT(working.publishedFrames, 12 * 48000 - 2 * 1024);
  // The reference reached the canceller rebuffered to 10 ms: never before
  // the Wwise frame holding its last sample was pushed, and at the first
  // recording period after it.
  ASSERT_GT(s.feedTimes.size(), 1000u);
  for (size_t r = 0; r < s.feedTimes.size(); ++r) {
    const int64_t pushed = (static_cast<int64_t>(r) * 480 + 479) / 1024 * 1024;
    ASSERT_GT(s.feedTimes[r], pushed) << r;
    ASSERT_LE(s.feedTimes[r], pushed + 480) << r;
  }

  const EchoFigures disabled = run(cases[1]);
  EXPECT_LE(disabled.erleDb, 3.0);
  EXPECT_FALSE(disabled.hasReference);
  EXPECT_EQ(disabled.estimatedLeadMs, -1);
  // Without a reference the local voice passes as it is.
  EXPECT_NEAR(disabled.nearAloneChangeDb, 0.0, 1.0);

  // Held back until it reaches the canceller 100 ms after its echo.
  EchoCase lateCase = cases[2];
  lateCase.lateMs = kivra::demo::lateHoldMs(working, 100.0);
  const EchoFigures late = run(lateCase);
  EXPECT_LE(late.erleDb, 3.0);
  ASSERT_TRUE(late.hasReference);
  EXPECT_NEAR(late.leadMinMs, -100.0, 1.0);
  // The engine saw the reference come after its echo and told no lead.
  EXPECT_EQ(late.estimatedLeadMs, -1);
  EXPECT_GE(late.referenceLateMs, 80);
  EXPECT_LE(late.referenceLateMs, 110);
  // ...and its canceller stood aside rather than eat into the local voice.
  EXPECT_EQ(late.cancellerBypasses, 1);
  EXPECT_GE(late.doubleTalkChangeDb, -1.5);
}

// A surround room: a 5.1 master bus and six speakers, the game's dialogue on
// the center one. The reference the bridge sends is the bus downmixed, so the
// dialogue is cancelled too; the front pair alone (what a bridge reading two
// channels whatever the count sent) leaves it. The same holds with Wwise at
// 24 and 44.1 kHz, told through the export: the engine converts both ways.
TEST_F(EchoScenario, ASurroundBusIsCancelledWithItsCenterAtEveryRate) {
  config_.outDir = scratch("surround");
  config_.wwiseChannels = 6;
  config_.dialogueDbfs = kivra::demo::kSurroundDialogueDbfs;
  std::string error;
  ASSERT_TRUE(kivra::demo::prepareEchoInputs(config_, inputs_, error)) << error;
  const EchoCase working = kivra::demo::echoCases()[0];
  const EchoFigures downmixed = run(working);
  EXPECT_GE(downmixed.erleDb, 25.0);
  EXPECT_GE(downmixed.doubleTalkChangeDb, -6.0);
  config_.frontPairReference = true;
  const EchoFigures frontPair = run(working);
  EXPECT_LE(frontPair.erleDb, 20.0) << "the center's echo stays in";
  EXPECT_GE(downmixed.erleDb, frontPair.erleDb + 10.0);
  config_.frontPairReference = false;
  std::printf("5.1, 48 kHz: ERLE %.1f dB downmixed, %.1f dB front pair only\n", downmixed.erleDb,
              frontPair.erleDb);
  if (!kivra::sim::SimResampler::available()) GTEST_SKIP() << "built without speexdsp";
  for (int rate : {24000, 44100}) {
    config_.wwiseRate = rate;
    const EchoFigures f = run(working);
    EXPECT_GE(f.erleDb, 25.0) << rate;
    EXPECT_GE(f.doubleTalkChangeDb, -6.0) << rate;
    EXPECT_NEAR(f.nearAloneChangeDb, downmixed.nearAloneChangeDb, 1.5) << rate;
    std::printf("5.1, %d Hz: ERLE %.1f dB, double talk %+.1f dB\n", rate, f.erleDb,
                f.doubleTalkChangeDb);
  }
}

// Cells of the sweep: the smallest Wwise frame and 1024 frames, with no output
// latency and with 100 ms; at every corner, including the largest frame, the
// reference must lead its echo and the canceller must take 25 dB off it.
TEST_F(EchoScenario, SweepCellsKeepTheReferenceAheadAndCancel) {
  config_.outDir = scratch("sweep");
  std::vector<kivra::demo::EchoSweepCell> cells;
  std::string table, error;
  ASSERT_TRUE(kivra::demo::runEchoSweep(config_, {256, 1024}, {0, 100}, cells, table, error))
      << error;
  ASSERT_EQ(cells.size(), 4u);
  for (const kivra::demo::EchoSweepCell& c : cells) {
    SCOPED_TRACE("Wwise frames " + std::to_string(c.wwiseFrames) + ", output latency " +
                 std::to_string(c.outputLatencyMs) + " ms");
    EXPECT_GE(c.figures.erleDb, 25.0);
    EXPECT_GE(c.figures.doubleTalkChangeDb, -6.0);
    EXPECT_LE(c.figures.convergenceSeconds, 1.0);
    EXPECT_GE(c.figures.estimatedLeadMs, c.figures.leadMinMs - 1.0);
    EXPECT_LE(c.figures.estimatedLeadMs, c.figures.leadMinMs + 11.0);
    EXPECT_GE(c.figures.convergenceSeconds, 0.0);
    EXPECT_GE(c.figures.leadMinMs, 0.0);
  }
  // More output latency, more lead: the speakers hold the echo back longer.
  EXPECT_NEAR(cells[1].figures.leadMinMs - cells[0].figures.leadMinMs, 100.0, 1.0);
  EXPECT_TRUE(fs::exists(fs::path(config_.outDir) / "sweep.svg"));
  EXPECT_NE(table.find("| 1024 | 100 ms |"), std::string::npos) << table;

  // The largest frame: the reference still leads, by less at its least
  // (the engine waits for whole 10 ms frames) and more on average.
  std::vector<kivra::demo::EchoSweepCell> big;
  ASSERT_TRUE(kivra::demo::runEchoSweep(config_, {2048}, {0, 100}, big, table, error)) << error;
  ASSERT_EQ(big.size(), 2u);
  EXPECT_GE(big[0].figures.leadMinMs, 0.0);
  EXPECT_GT(big[0].figures.leadMeanMs, cells[0].figures.leadMeanMs + 10.0);
  // Its lead varies by a whole Wwise buffer; at 100 ms output latency only a
  // delay found from the streams keeps the canceller on it.
  for (const kivra::demo::EchoSweepCell& c : big) EXPECT_GE(c.figures.erleDb, 25.0);
}

// A longer session: the phases five times over (a minute). The canceller
// restarts once, for the lead it found, and every cycle keeps the figures;
// the first cycle's are within a dB of a one-cycle session's (the next cycle,
// not the end of the session, follows it).
TEST_F(EchoScenario, EveryCycleOfALongerSessionKeepsItsFigures) {
  config_.outDir = scratch("cycles");
  const EchoFigures one = run(kivra::demo::echoCases()[0]);
  config_.cycles = 5;
  std::string error;
  ASSERT_TRUE(kivra::demo::prepareEchoInputs(config_, inputs_, error)) << error;
  const EchoFigures five = run(kivra::demo::echoCases()[0]);
  ASSERT_EQ(five.cycleErleDb.size(), 5u);
  ASSERT_EQ(five.cycleDoubleTalkDb.size(), 5u);
  EXPECT_EQ(five.cancellerRestarts, 1);
  EXPECT_EQ(one.cancellerRestarts, 1);
  EXPECT_NEAR(five.erleDb, one.erleDb, 1.0);
  for (size_t c = 0; c < 5; ++c) {
    EXPECT_GE(five.cycleErleDb[c], 25.0) << "cycle " << c;
    EXPECT_GE(five.cycleDoubleTalkDb[c], -6.0) << "cycle " << c;
  }
}

TEST_F(EchoScenario, ScenarioWritesThreeListenableTracksAndTheReport) {
  config_.outDir = scratch("files");
  std::string report, error;
  ASSERT_TRUE(kivra::demo::runEchoScenario(config_, report, error)) << error;
  for (const char* name : {"working", "disabled", "late"}) {
    std::vector<int16_t> pub;
    const std::string path = config_.outDir + "/published_" + name + ".wav";
    ASSERT_TRUE(kivra::demo::loadAudioFile(path, pub, error)) << error;
    EXPECT_GT(pub.size(), static_cast<size_t>(2 * 11 * 48000)) << name;
    EXPECT_NE(report.find(std::string("\n") + name + " "), std::string::npos) << report;
  }
  std::ifstream in(config_.outDir + "/report.txt");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), report);
  EXPECT_TRUE(fs::exists(config_.outDir + "/microphone.wav"));
}
