// The live mode: the session of the simulation on real audio devices. A
// capture stream drives the stand-in voice engine (its recording and its
// playback of the remote talkers, one 10 ms period per complete block of
// captured audio) and a playback stream drives the stand-in Wwise (one Wwise
// frame whenever the device needs more audio), so the bridge's callbacks run
// on two real device threads with two device clocks. The microphone goes
// through the engine's echo canceller, the bridge and Wwise's effect to the
// published track; two recorded remote talkers are placed left and right and
// played with a game bed to the speakers; the rendered mix comes back as the
// canceller's reference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DemoDevices.h"

namespace kivra {
namespace demo {

struct LiveConfig {
  std::string libraryPath;  // empty: the library built beside the demo
  std::string outDir = "demo-out/live";
  DeviceConfig devices;
  double seconds = 0;      // 0: until Ctrl-C
  int wwiseFrames = 1024;  // frames per Wwise buffer
  // Buffers Wwise keeps rendered ahead of its output device (its own output
  // latency, as a game's Wwise has; the echo reference leads by as much).
  int refills = 2;
  bool reverse = true;         // false: Wwise never pushes its mix back
  bool extendedFilter = true;  // the canceller's 128 ms filter (false: 48 ms)
  double bedDbfs = -32;        // the game bed's level in the mix
  bool bed = true;
  bool progress = true;  // a progress line once a second on stderr
  // Audio kept for the WAV files and the published-track figures; longer
  // sessions keep only their running figures.
  double captureSeconds = 120;
};

// Call durations of one kind of bridge call, in microseconds.
struct CallFigures {
  std::string name;
  int64_t calls = 0;
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  double periodUs = 0;  // the device period of the thread that makes them
};

// One queue of the bridge, as probes on the audio measured it.
struct LiveStream {
  std::string name;  // as the bridge's log names it: "uplink", "downlink uid 42 channel room1"
  uint32_t uid = 0;  // downlink: the talker
  // Per minute: the median over its seconds of each second's least added
  // latency (the backlog that stood all second), in ms; -1 when nothing was
  // delivered that minute.
  std::vector<double> backlogMs;
  std::vector<double> backlog10sMs;  // the same per 10 s
  double meanMs = 0;                 // added latency, every delivered frame
  int64_t shortPulls = 0;            // short while the queue held enough
  int64_t quietRemovals = 0, crossfadeRemovals = 0, insertions = 0;  // from the log
  int64_t removedFrames = 0;
  int64_t overflowLines = 0;  // blocks dropped for overflow, from the log
};

struct LiveResult {
  OpenedDevices devices;
  double seconds = 0;
  int wwiseFrames = 0, refills = 0;
  bool reverse = true, extendedFilter = true;
  bool captured = false;
  double inputPeriodUs = 0, outputPeriodUs = 0;  // mean frames per callback, as time
  int64_t inputOverflows = 0, inputUnderflows = 0, outputUnderflows = 0, outputOverflows = 0;
  int64_t inputOverruns = 0, outputOverruns = 0;
  double longestInputMs = 0, longestOutputMs = 0;
  // The echo canceller.
  int estimatedLeadMs = -1, referenceLateMs = 0, toldDelayMs = 0, heldBackMs = 0;
  double leadFoundSeconds = -1;
  int64_t cancellerRestarts = 0, cancellerBypasses = 0, referenceDropped = 0;
  int64_t allocatingRestarts = 0;  // restarts past the spare modules
  // ERLE over the windows where the microphone hears the speakers, from
  // kSettleSeconds on: on the published track (captured sessions), and on
  // the canceller's output (every session), with its value per minute.
  double erlePublishedDb = 0, erleCancellerDb = 0;
  int64_t erleWindows = 0;
  std::vector<double> erleMinuteDb;
  double micDbfs = -120, publishedDbfs = -120, speakersDbfs = -120;
  std::vector<CallFigures> calls;
  std::vector<LiveStream> streams;
  int64_t logLines = 0, maxLogLinesPerSecond = 0;  // the latter from kSettleSeconds on
  double maxLogRate = 0;            // lines a second over any minute from kSettleSeconds on
  std::vector<double> rssMbMinute;  // resident memory at each minute's end
  double rssStartMb = 0, rssEndMb = 0;
  std::vector<std::string> files;
};

// From this far into a session the figures count (the canceller has found
// the delay, the queues have settled).
constexpr double kSettleSeconds = 5.0;

bool runLive(const LiveConfig& config, LiveResult& result, std::string& error);
std::string liveReport(const LiveResult& result);
std::string liveFiguresJson(const LiveResult& result);

// kivra_demo --live ...
int liveMain(int argc, char** argv);

}  // namespace demo
}  // namespace kivra
