// The echo scenario: a session in a room whose microphone hears the speakers,
// with the simulated voice engine's echo canceller fed by the bridge's
// AEC-reference track. Remote talkers speak alone, then the local player
// alone, then both (double talk), then the remote talkers again, over a game
// sound bed that plays throughout. Everything is measured on what the engine
// publishes, which is what the other players hear.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KivraSimEchoCanceller.h"
#include "KivraSimRoom.h"

namespace kivra {
namespace demo {

// One way the reverse stream can go.
struct EchoCase {
  std::string name;
  bool reverse = true;  // Wwise pushes its mix back to the bridge
  double lateMs = 0;    // the reference reaches the canceller this much later
};

// The three cases of the scenario: "working", "disabled" (nothing pushed to
// the AEC-reference track) and "late" (the reference reaches the canceller
// lateMs later than it arrived).
std::vector<EchoCase> echoCases(double lateMs = 100);

// The game dialogue's level on the center speaker of a surround room.
constexpr double kSurroundDialogueDbfs = -26;

struct EchoConfig {
  std::string libraryPath;  // empty: the library built beside the demo
  std::string outDir = "demo-out/echo";
  int wwiseFrames = 1024;
  sim::SimRoomConfig room;  // its outputLatencyMs is the speakers' latency
  sim::SimEchoConfig aec;
  // Speech of the remote talkers (clips, used in turn) and of the local
  // player; empty: the alsa-utils recordings.
  std::vector<std::string> farWavs;
  std::vector<std::string> nearWavs;
  double bedDbfs = -32;  // RMS of the game bed in the mix
  // The late case: the reference reaches the canceller this long after its
  // echo reaches the microphone.
  double lateMs = 100;
  // The four phases played this many times in a row (one session); the
  // figures are the first cycle's, with every cycle's ERLE and double talk
  // besides, to show what a long session does to the canceller.
  int cycles = 1;
  bool progress = false;
  // Wwise as the studio configured it: its rate (told to the bridge before
  // it binds), its master bus (1, 2, 6 or 8 channels; the room has as many
  // speakers) and game dialogue on the center channel (a phantom center at
  // -3 dB in each front speaker on a stereo bus) at dialogueDbfs RMS, -120
  // for none.
  int wwiseRate = 48000;
  int wwiseChannels = 2;
  double dialogueDbfs = -120;
  // The reference as the bridge sent it before it read the buffer's channel
  // count: the front pair of the master bus only (the "before" figure).
  bool frontPairReference = false;
};

// Session time of the four phases, in seconds; the phases are those of the
// local voice at the microphone and of the remote voices at the engine.
struct EchoPhases {
  double nearStart = 4.2;    // remote talkers alone before
  double doubleStart = 6.6;  // local player alone before
  double farStart = 9.0;     // double talk before, remote talkers again from
  double end = 12.0;
};

// The inputs, prepared once for every case: `cycles` rounds of the phases.
struct EchoInputs {
  EchoPhases phases;
  int cycles = 1;
  std::vector<std::vector<int16_t>> talkers;  // 48 kHz stereo, per remote talker
  std::vector<int16_t> nearVoice;             // 48 kHz stereo
  std::vector<int16_t> bed;                   // 48 kHz stereo
  std::vector<int16_t> dialogue;              // 48 kHz stereo (the same in both), or empty
};

// 48 kHz stereo converted to `rate` (speexdsp, as the simulation converts);
// empty when the simulation was built without the converter.
std::vector<int16_t> stereoAtRate(const std::vector<int16_t>& stereo48k, int rate);

// Loads the speech (or the default recordings) and synthesises the bed.
bool prepareEchoInputs(const EchoConfig& config, EchoInputs& inputs, std::string& error);

// What the measurements need, per microphone frame (full scale = 1.0): the
// echo, the local voice and the noise at the microphone, and what was
// published, in the same frames. The reference is the AEC-reference track's
// content, mono, by frame as Wwise rendered it; feedTimes the clock time (in
// frames) at which each of its 10 ms frames reached the canceller.
struct EchoSignals {
  std::vector<float> echo, nearVoice, noise, published, reference;
  std::vector<int64_t> feedTimes;
};

struct EchoFigures {
  std::string name;
  // Echo return loss enhancement over the far-end-only stretches, from one
  // second after the echo first reaches the microphone; and per stretch.
  double erleDb = 0, erleFirstDb = 0, erleLastDb = 0;
  // From the echo's first arrival until a 100 ms window first exceeds 10 dB
  // of ERLE; -1 when none does.
  double convergenceSeconds = -1;
  // The local voice's level in what was published against the clean voice.
  double nearAloneChangeDb = 0, doubleTalkChangeDb = 0;
  // How long before its echo reached the microphone each reference frame
  // reached the canceller: the least and the mean; `hasReference` false when
  // none did.
  bool hasReference = false;
  double leadMinMs = 0, leadMeanMs = 0;
  double echoLagMs = 0;     // reference to echo, from cross-correlation
  int outputLagFrames = 0;  // the canceller's own delay, from cross-correlation
  int64_t referenceFrames = 0, cancellerErrors = 0, publishedFrames = 0;
  int reportedDelayMs = 0;  // what the engine last told the canceller
  // The engine's own estimate of the reference's least lead (-1: none), how
  // long it held the reference back for it, and when (session seconds) it
  // first found it.
  int estimatedLeadMs = -1;
  // When the engine found the reference coming after its echo: by how much.
  int referenceLateMs = 0;
  int heldBackMs = 0;
  double leadFoundSeconds = -1;
  // Restarts of the canceller for a new delay estimate.
  int64_t cancellerRestarts = 0;
  // Times the canceller stood aside because the reference came after its echo.
  int64_t cancellerBypasses = 0;
  // Per cycle of the phases (one entry per cycle).
  std::vector<double> cycleErleDb, cycleDoubleTalkDb;
};

// How long to hold the reference back so that it reaches the canceller
// behindMs after its echo, given the working case's figures.
double lateHoldMs(const EchoFigures& working, double behindMs);

// The figures of one run. A measurement, separate from the session so that it
// can be checked on signals whose answer is known.
EchoFigures measureEcho(const EchoSignals& signals, const EchoPhases& phases);

// Runs one case; fills the figures, and the published track (interleaved
// stereo) and the signals measured when asked. False with a message when the
// session could not run.
bool runEchoCase(const EchoConfig& config, const EchoInputs& inputs, const EchoCase& echoCase,
                 EchoFigures& figures, std::vector<int16_t>* published, EchoSignals* signals,
                 std::string& error);

// The scenario: every case, the WAV files and report.txt in config.outDir.
// Returns the report text; false with a message on failure.
bool runEchoScenario(const EchoConfig& config, std::string& report, std::string& error);

struct EchoSweepCell {
  int wwiseFrames = 0;
  double outputLatencyMs = 0;
  EchoFigures figures;
};

// The working case at every Wwise frame size and output latency given; writes
// sweep.md (a table) and sweep.svg in config.outDir.
bool runEchoSweep(const EchoConfig& config, const std::vector<int>& frames,
                  const std::vector<double>& latenciesMs, std::vector<EchoSweepCell>& cells,
                  std::string& table, std::string& error);
std::string echoSweepTable(const std::vector<EchoSweepCell>& cells);
std::string echoSweepSvg(const std::vector<EchoSweepCell>& cells);

// The game bed: two channels of slowly swelling wind and effects at
// irregular times and places, at `dbfs` RMS; nothing repeats at a fixed
// period. 48 kHz stereo.
std::vector<int16_t> synthGameBed(double seconds, double dbfs);

// Option values: a number in [lo, hi]; a whole number in [lo, hi].
bool parseNumber(const std::string& s, double lo, double hi, double& out);
bool parseWhole(const std::string& s, int lo, int hi, int& out);

// kivra_demo --echo ...: the command line of the scenario and of the sweep.
int echoMain(int argc, char** argv);

}  // namespace demo
}  // namespace kivra
