// One simulated voice session through the bridge: the simulated voice engine
// and Wwise sound engine of the stand-in SDK, joined by libKivraWwiseWrapper
// loaded at run time; then the measurements, the WAV files, the timeline
// picture and the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KivraSimClock.h"
#include "KivraSimLatency.h"
#include "KivraSimWwise.h"

namespace kivra {
namespace demo {

// A span of session time, in seconds.
struct SpanConfig {
  double at = 0;
  double seconds = 0;
};

struct TalkerConfig {
  std::string channel = "room1";
  uint32_t uid = 0;
  uint64_t object = 0;
  std::string wav;  // empty: a synthesised voice
  sim::SimVec3 pos;
  std::vector<int16_t> samples;          // 48 kHz stereo, filled by prepareInputs
  std::vector<SpanConfig> virtualSpans;  // Wwise does not pull this voice
};

struct SessionConfig {
  std::string libraryPath;   // empty: the library built beside the demo
  std::string micWav;        // empty: a synthesised voice
  std::vector<int16_t> mic;  // 48 kHz stereo, filled by prepareInputs
  std::vector<TalkerConfig> talkers;
  double seconds = 0;  // 0: the microphone's length (4 s when synthesised)
  sim::ClockMode clock = sim::ClockMode::Virtual;
  int wwiseFrames = 1024;
  float gain = 1.0f;
  bool verify = false;
  std::string outDir = "demo-out";
  std::string channel = "room1";  // the microphone's channel id
  bool progress = false;          // draw a progress bar on stderr
  // What real sessions do: device clocks off by some ppm, Wwise stalls.
  double enginePpm = 0;
  double wwisePpm = 0;
  std::vector<SpanConfig> stalls;
  std::string preset;  // the name of the preset the session came from, if any
  // Wwise as the studio configured it: its rate, the rate told to the bridge
  // through KW_SetWwiseSampleRate before it binds (0: none told, so 48 kHz
  // served; --wwise-rate sets both), its master bus (1, 2, 6 or 8 channels)
  // and mono voice buffers.
  int wwiseRate = 48000;
  int toldRate = 0;
  // A rate told during the session, once the clock has passed toldLaterAt
  // seconds (0: none), as a game does when Wwise is set up again.
  int toldLater = 0;
  double toldLaterAt = 0;
  int wwiseChannels = 2;
  bool monoVoices = false;
};

// Sessions longer than this keep no audio (no WAV files, no sample-by-sample
// checks); their inputs loop and latency is measured by the probes alone.
constexpr double kCaptureSeconds = 120.0;

// "mono", "stereo", "5.1", "7.1" as Wwise's channel count; false for
// anything else.
bool parseWwiseChannels(const std::string& text, int& channels);
const char* wwiseChannelsName(int channels);

// The built-in session: a synthesised microphone voice and two synthesised
// talkers, one to the left and one to the right of the listener.
SessionConfig defaultSession();
// One hour of what a game session goes through: the engine's clock 100 ppm
// fast and Wwise's 100 ppm slow, a 300 ms Wwise stall every four minutes and
// a 2 s one at 31:00, and the second talker virtual from 20:00 for a minute.
SessionConfig longSession();

// The shortest session: every stream then carries audio whatever the Wwise
// frame size (16384 frames are 0.34 s).
constexpr double kMinSeconds = 1.0;

// Loads (or synthesises) every input and fixes the session length. False
// with a message naming the input at fault.
bool prepareInputs(SessionConfig& config, std::string& error);

// Checks, before a session, that the wrapper library loads with its six
// functions and that the output folder can be created and written to. False
// with a message naming --library or --out.
bool checkOutputs(const SessionConfig& config, std::string& error);

struct TimePoint {
  double t = 0;  // seconds
  double v = 0;
};

// Added latency of one stream as the probes measured it from the audio, and
// what the bridge's latency controller did (from its log lines).
struct LatencyStats {
  std::vector<sim::SimLatencyMinute> minutes;
  std::vector<TimePoint> trace;  // ms, by session time
  double meanMs = 0, maxMs = 0;
  int64_t placed = 0, unplaced = 0, skippedFrames = 0, gaps = 0;
  int64_t quietRemovals = 0, quietFrames = 0;
  int64_t crossfades = 0, crossfadeFrames = 0;
  int64_t insertions = 0, insertedFrames = 0;
  int64_t staleEvents = 0, staleFrames = 0;
};

struct StreamStats {
  std::string name;
  int64_t samples = 0;       // interleaved samples carried
  int64_t droppedLog = 0;    // blocks, from the bridge's overflow lines
  int64_t droppedCount = 0;  // blocks, from sample accounting
  int64_t underruns = 0;
  int64_t remaining = 0;     // samples still queued when the session ended
  int64_t contentDiffs = 0;  // talkers: samples Wwise received with a wrong value
  LatencyStats latency;
  double blocks() const { return static_cast<double>(samples) / 960.0; }
  double seconds() const { return static_cast<double>(samples) / 96000.0; }
};

struct SessionResult {
  std::string clockName;
  double seconds = 0;
  int wwiseFrames = 0;
  int wwiseRate = 48000;  // what Wwise rendered at
  int toldRate = 0;       // what the bridge was told (0: nothing)
  int wwiseChannels = 2;
  bool monoVoices = false;
  float gain = 1.0f;
  bool verify = false;
  bool captured = true;  // false: a long session, see kCaptureSeconds
  double wallSeconds = 0;

  StreamStats uplink;                // microphone -> published (direct track)
  std::vector<StreamStats> talkers;  // engine -> Wwise, per talker
  StreamStats reverse;               // Wwise mix -> AEC reference track
  double latencyMeanMs = 0, latencyMaxMs = 0;
  int64_t latencySamples = 0;
  double observerUsPer10ms = 0, pluginUsPer10ms = 0;
  // Published samples that are not the expected value of the microphone
  // sample they carry (beyond one step when an effect gain applies).
  int64_t uplinkContentDiffs = 0;
  int64_t micNotSilenced = 0;  // engine-side microphone samples left non-zero
  int64_t aecMismatches = 0;   // AEC reference samples that differ from the speakers
  double speakersLeftDb = -120, speakersRightDb = -120;
  int64_t logLines = 0;

  bool verifyOk = false;
  std::string verifyMessage;

  // Timeline, for the picture.
  std::vector<TimePoint> micDepth;
  std::vector<std::vector<TimePoint>> talkerDepth;
  std::vector<double> micDrops;
  std::vector<std::vector<double>> talkerDrops;
  std::vector<TimePoint> latency;

  std::vector<std::string> files;
};

// Runs the session and writes its outputs into config.outDir. False with a
// message when it could not run (the result then holds nothing useful).
bool runSession(const SessionConfig& config, SessionResult& result, std::string& error);

}  // namespace demo
}  // namespace kivra
