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

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "DemoDevices.h"
#include "KivraSimClock.h"
#include "KivraSimLatency.h"
#include "KivraSimVoiceEngine.h"
#include "KivraSimWwise.h"

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
// The most frames a device callback hands over at once (DemoDevices passes
// longer ones on in parts).
constexpr int kMaxDeviceFrames = 8192;

// Running sums a device thread adds to and the control thread takes once a
// second.
struct LiveMeter {
  std::atomic<int64_t> energy{0};  // sum of squares of 16-bit samples
  std::atomic<int64_t> samples{0};
  void add(int64_t e, int64_t n) {
    energy.fetch_add(e, std::memory_order_relaxed);
    samples.fetch_add(n, std::memory_order_relaxed);
  }
  double takeDbfs();  // the level since the last take
};

// What the two device threads run: the same engine and Wwise objects a
// simulated session runs on its clock, driven by device callbacks. The
// capture thread gathers whole engine periods (10 ms) from whatever the
// device hands over and runs the engine's recording and playback for each;
// the playback thread renders whole Wwise frames, `refills` frames ahead of
// what the device asks for. Nothing on either thread allocates, writes a
// file or waits on the control thread.
//
// Threading: captured() on the capture thread, render() on the playback
// thread (they may be one); the meters and the probes' last ages are
// atomics read anywhere; rawMic() once both have stopped.
class LiveDrive : public DeviceClient {
 public:
  LiveDrive(sim::SimClock& clock, sim::SimVoiceEngine& engine, sim::SimWwise& wwise,
            sim::SimMixHistory& recordHistory, sim::SimLatencyProbe& micProbe,
            std::vector<sim::SimLatencyProbe*> talkerProbes, size_t captureFrames, int refills);

  void captured(const float* stereo, int frames) override;
  void render(float* stereo, int frames) override;

  LiveMeter mic, published, speakers;
  // The canceller's running ERLE, over windows the microphone hears the
  // speakers in, from kSettleSeconds on: what went in and what came out.
  LiveMeter heardIn, heardOut;
  double micMs() const { return micMs_.load(std::memory_order_relaxed); }
  double talkerMs(size_t i) const { return talkerMs_[i].load(std::memory_order_relaxed); }
  // The microphone as captured (up to captureFrames), after the stop.
  const std::vector<int16_t>& rawMic() const { return rawMic_; }

 private:
  void period();

  sim::SimClock& clock_;
  sim::SimVoiceEngine& engine_;
  sim::SimWwise& wwise_;
  sim::SimMixHistory& recordHistory_;
  sim::SimLatencyProbe& micProbe_;
  std::vector<sim::SimLatencyProbe*> talkerProbes_;
  const int wwiseFrames_;
  const int ahead_;             // frames rendered ahead of the device
  std::vector<int16_t> block_;  // capture thread: the period being filled
  int fill_ = 0;
  std::vector<float> rendered_;  // playback thread: frames rendered, not yet played
  int ready_ = 0;
  std::atomic<double> micMs_{0};
  std::vector<std::atomic<double>> talkerMs_;
  std::vector<int16_t> rawMic_;  // capture thread, read after the stop
};

// The bridge's log, read as it grows: lines per second and the latency
// controller's and overflow lines per stream.
class LogFollower {
 public:
  explicit LogFollower(std::string path) : path_(std::move(path)) {}

  // New complete lines since the last call.
  int64_t poll(std::vector<LiveStream>& streams) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return 0;
    in.seekg(offset_);
    std::string line;
    int64_t lines = 0;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // an unfinished line: read it next time
      offset_ += static_cast<std::streamoff>(line.size() + 1);
      ++lines;
      classify(line, streams);
    }
    return lines;
  }

 private:
  static void classify(const std::string& line, std::vector<LiveStream>& streams) {
    for (LiveStream& s : streams) {
      const std::string tag = " latency " + s.name;
      const size_t at = line.find(tag);
      if (at != std::string::npos && line.compare(at + tag.size(), 1, ":") == 0) {
        int frames = 0;
        if (line.find("quiet stretch") != std::string::npos &&
            line.find("removed") != std::string::npos) {
          ++s.quietRemovals;
        } else if (line.find("crossfade") != std::string::npos) {
          ++s.crossfadeRemovals;
        } else if (line.find("inserted") != std::string::npos) {
          ++s.insertions;
        }
        const size_t r = line.find("removed ", at);
        if (r != std::string::npos && std::sscanf(line.c_str() + r, "removed %d", &frames) == 1)
          s.removedFrames += frames;
      }
    }
    if (line.find("overflow") != std::string::npos) {
      if (line.find("onRecordAudioFrame") != std::string::npos && !streams.empty())
        ++streams[0].overflowLines;
      for (size_t i = 1; i < streams.size(); ++i) {
        // "playback uid 42 data overflow ..." in the downlink's lines.
        if (line.find("playback uid " + std::to_string(streams[i].uid) + " ") != std::string::npos)
          ++streams[i].overflowLines;
      }
    }
  }

  std::string path_;
  std::streamoff offset_ = 0;
};

// ERLE on the published track (fills erlePublishedDb and erleWindows): raw is
// the microphone as captured, handed what the engine handed the bridge (the
// published audio before Wwise's identity effect), pub the published track.
void publishedErle(const std::vector<int16_t>& raw, const sim::SimMixHistory& handed,
                   const std::vector<int16_t>& pub, LiveResult& r);

bool runLive(const LiveConfig& config, LiveResult& result, std::string& error);
std::string liveReport(const LiveResult& result);
std::string liveFiguresJson(const LiveResult& result);

// kivra_demo --live ...
int liveMain(int argc, char** argv);

}  // namespace demo
}  // namespace kivra
