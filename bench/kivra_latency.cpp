// kivra_latency: per-call latency distributions of the bridge's callbacks on
// real threads, with the other side running at the same time.
//
// Scenarios (each on its own fresh bridge object):
//  bridge/real     engine thread: every 10 ms block one recorded frame and one
//                  frame per talker; Wwise thread: every 1024 frames one pull,
//                  one push after effect, one pull per talker and one reverse
//                  push. Accelerated: the two threads keep the real ratio of
//                  calls through a shared frame clock, without sleeping.
//  bridge/flat     the same calls, both threads flat out (the queues overflow
//                  and underflow; the log is closed for these runs).
//  spsc/real|flat  reference: boost::lockfree::spsc_queue, engine side bulk
//                  push of 960 samples, Wwise side bulk pop of 2048.
//  mutexring/real|flat  reference: the ring buffer behind one std::mutex.
//  bridge/mapping  bridge/real plus a game thread that maps and unmaps a
//                  talker once per Wwise frame (registration under the
//                  front-end lock, as the registry does it).
//  bridge/gamebusy the control for bridge/mapping: the same game thread at
//                  the same cadence builds and frees a talker's record but
//                  takes no lock of the bridge, so that what a third busy
//                  thread on the cores costs the audio threads is told apart
//                  from what the front-end lock costs them.
// Every call is timed with the steady clock (its own cost, ~20 ns, included).
// Heap allocations are counted per thread over the measured calls.
#include <algorithm>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AllocCounter.h"
#include "BenchSupport.h"
#include "KivraCommAudioMutex.h"
#include "KivraCommCircularBuffer.h"
#include "KivraCommLog.h"
#include "KivraWwiseCommWrapper.h"

using kivra::bench::BridgeSession;
using kivra::bench::EngineFrame;
using kivra::bench::kChannelId;
using kivra::bench::kChannels;
using kivra::bench::kEngineFrames;
using kivra::bench::kEngineSamples;
using kivra::standin::FloatBufferProxy;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWwiseFrames = 1024;
constexpr int kWwiseSamples = kWwiseFrames * kChannels;
// The engine may run at most this many frames ahead of the Wwise side at the
// real cadence: two Wwise frames plus one block, far below the 200 ms queue.
constexpr int64_t kMaxLeadFrames = 2 * kWwiseFrames + kEngineFrames;
constexpr int kRingSamples = 19200;

// Latencies of one callback, in nanoseconds, preallocated before measuring.
struct Series {
  Series(std::string n, size_t reserve) : name(std::move(n)) { ns.reserve(reserve); }
  std::string name;
  std::vector<uint32_t> ns;
  uint64_t allocations = 0;
  uint64_t failures = 0;  // calls that returned false (drops, empty queues)
};

struct Scenario {
  std::string name;
  std::vector<Series> series;
  double seconds = 0;
};

// Times one call, appending its latency while room lasts.
template <typename F>
inline void timed(Series& s, F&& call) {
  const uint64_t a0 = kivra::bench::threadAllocationCount();
  const Clock::time_point t0 = Clock::now();
  const bool ok = call();
  const Clock::time_point t1 = Clock::now();
  s.allocations += kivra::bench::threadAllocationCount() - a0;
  if (!ok) ++s.failures;
  if (s.ns.size() < s.ns.capacity()) {
    const int64_t d = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
    s.ns.push_back(static_cast<uint32_t>(std::min<int64_t>(d, UINT32_MAX)));
  }
}

// Spins, then yields, until ready() holds.
template <typename Ready>
inline void waitUntil(Ready ready) {
  for (int spins = 0; !ready(); ++spins) {
    if (spins < 256) {
      kivra::cpuRelax();
    } else {
      std::this_thread::yield();
    }
  }
}

// Frame clock shared by the engine and the Wwise thread at the real cadence.
struct Cadence {
  bool paced = true;
  std::atomic<int64_t> produced{0};  // engine frames done
  std::atomic<int64_t> consumed{0};  // Wwise frames done
  std::atomic<bool> engineDone{false};
  std::atomic<bool> stop{false};

  void beforeEngineTick(int64_t k) {
    if (!paced) return;
    const int64_t end = (k + 1) * kEngineFrames;
    waitUntil([&] { return end - consumed.load(std::memory_order_acquire) <= kMaxLeadFrames; });
  }
  void afterEngineTick(int64_t k) {
    produced.store((k + 1) * kEngineFrames, std::memory_order_release);
  }
  // False when the engine has finished and the Wwise side should stop.
  bool beforeWwiseTick(int64_t j) {
    if (!paced) return !engineDone.load(std::memory_order_acquire);
    const int64_t end = (j + 1) * kWwiseFrames;
    waitUntil([&] {
      return produced.load(std::memory_order_acquire) >= end ||
             engineDone.load(std::memory_order_acquire);
    });
    return produced.load(std::memory_order_acquire) >= end;
  }
  void afterWwiseTick(int64_t j) {
    consumed.store((j + 1) * kWwiseFrames, std::memory_order_release);
  }
};

// ------------------------------------------------------------ the bridge

enum class Game { None, Mapping, Busy };

Scenario runBridge(const std::string& name, bool paced, int calls, int talkers, Game gameMode) {
  const bool mapping = gameMode != Game::None;
  Scenario sc;
  sc.name = name;
  BridgeSession session(talkers);
  KivraWwiseCommWrapper* bridge = session.bridge();
  const size_t wwiseCalls = static_cast<size_t>(calls) * kEngineFrames / kWwiseFrames + 16;
  sc.series.emplace_back("onRecordAudioFrame", static_cast<size_t>(calls));
  sc.series.emplace_back("onPlaybackAudioFrameBeforeMixing",
                         static_cast<size_t>(calls) * static_cast<size_t>(talkers));
  sc.series.emplace_back("GetRecodeAudioFrame", paced ? wwiseCalls : calls);
  sc.series.emplace_back("PushRecodeAudioFrameAfterEffect", paced ? wwiseCalls : calls);
  sc.series.emplace_back("GetPlayoutAudioFrameByUid",
                         (paced ? wwiseCalls : calls) * static_cast<size_t>(talkers));
  sc.series.emplace_back("PushPlayoutAudioFrameAfterEffect", paced ? wwiseCalls : calls);
  if (mapping) {
    const bool busy = gameMode == Game::Busy;
    sc.series.emplace_back(busy ? "game: build and free a record" : "game: map talker", wwiseCalls);
    sc.series.emplace_back(busy ? "game: (nothing)" : "game: unmap talker", busy ? 0 : wwiseCalls);
  }
  Series& rec = sc.series[0];
  Series& talk = sc.series[1];
  Series& pull = sc.series[2];
  Series& push = sc.series[3];
  Series& pullUid = sc.series[4];
  Series& reverse = sc.series[5];

  Cadence cadence;
  cadence.paced = paced;
  std::vector<uint32_t> uids;
  std::vector<unsigned long long> gameObjects;
  for (int i = 0; i < talkers; ++i) {
    uids.push_back(BridgeSession::talkerUid(i));
    gameObjects.push_back(BridgeSession::talkerGameObject(i));
  }

  const Clock::time_point start = Clock::now();
  std::thread wwise([&] {
    FloatBufferProxy recordBuffer(kWwiseFrames, kChannels);
    FloatBufferProxy voiceBuffer(kWwiseFrames, kChannels);
    FloatBufferProxy mixBuffer(kWwiseFrames, kChannels);
    kivra::bench::fillProxy(mixBuffer, kWwiseFrames, 3);
    for (int64_t j = 0; cadence.beforeWwiseTick(j); ++j) {
      timed(pull, [&] { return kivra::bench::wwisePullRecord(session, &recordBuffer); });
      // After an empty pull the buffer keeps its last valid frames; the
      // push sends whatever Wwise would hand back.
      timed(push, [&] { return kivra::bench::wwisePushRecord(session, &recordBuffer); });
      for (unsigned long long go : gameObjects) {
        timed(pullUid, [&] { return kivra::bench::wwisePullTalker(session, &voiceBuffer, go); });
      }
      timed(reverse, [&] { return kivra::bench::wwisePushReverse(session, &mixBuffer); });
      cadence.afterWwiseTick(j);
    }
  });
  std::thread game;
  if (mapping) {
    game = std::thread([&] {
      Series& map = sc.series[6];
      Series& unmap = sc.series[7];
      // Once per Wwise frame the game maps a talker, and unmaps it on the
      // next. Mapping replaces that talker's record (a new 200 ms queue)
      // under the front-end lock; unmapping touches only the registry.
      uint32_t n = 0;
      int64_t lastTick = -1;
      bool mapped = false;
      uint32_t uid = 0;
      while (!cadence.stop.load(std::memory_order_acquire)) {
        const int64_t tick = cadence.consumed.load(std::memory_order_acquire) / kWwiseFrames;
        if (tick == lastTick) {
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          continue;
        }
        lastTick = tick;
        if (!mapped) {
          uid = 900000u + (n++ % 16u);
          timed(map, [&] {
            if (gameMode == Game::Busy) {
              // Built and freed at once, off every lock of the bridge.
              return !KivraWwiseCommWrapper::makeRemoteUser(kChannelId, uid).empty();
            }
            kivra::bench::gameMapTalker(9000ull + uid, uid);
            return true;
          });
        } else if (gameMode == Game::Mapping) {
          timed(unmap, [&] {
            kivra::bench::gameUnmapTalker(uid);
            return true;
          });
        }
        mapped = !mapped;
      }
    });
  }
  std::thread engine([&] {
    std::vector<std::unique_ptr<EngineFrame>> frames;
    for (int i = 0; i < 64; ++i) frames.push_back(std::make_unique<EngineFrame>());
    EngineFrame talkerFrame;
    for (int64_t k = 0; k < calls; ++k) {
      cadence.beforeEngineTick(k);
      EngineFrame& f = *frames[static_cast<size_t>(k % 64)];
      timed(rec, [&] { return bridge->onRecordAudioFrame(kChannelId, f.frame); });
      for (uint32_t uid : uids) {
        timed(talk, [&] {
          return bridge->onPlaybackAudioFrameBeforeMixing(kChannelId, uid, talkerFrame.frame);
        });
      }
      cadence.afterEngineTick(k);
      // The recorded frame comes back silenced: give it fresh samples for
      // its next turn, outside the measured call.
      if (k % 64 == 63) {
        for (auto& fr : frames) fr->fill(static_cast<uint32_t>(k));
      }
    }
    cadence.engineDone.store(true, std::memory_order_release);
  });
  engine.join();
  wwise.join();
  cadence.stop.store(true, std::memory_order_release);
  if (game.joinable()) game.join();
  sc.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return sc;
}

// ------------------------------------------------------------ references

template <typename Push, typename Pop>
Scenario runQueue(const std::string& name, bool paced, int calls, Push pushBlock, Pop popFrame) {
  Scenario sc;
  sc.name = name;
  const size_t wwiseCalls = static_cast<size_t>(calls) * kEngineFrames / kWwiseFrames + 16;
  sc.series.emplace_back("push 960", static_cast<size_t>(calls));
  sc.series.emplace_back("pop 2048", paced ? wwiseCalls : static_cast<size_t>(calls));
  Series& push = sc.series[0];
  Series& pop = sc.series[1];
  Cadence cadence;
  cadence.paced = paced;
  const Clock::time_point start = Clock::now();
  std::thread consumer([&] {
    std::vector<int16_t> out(kWwiseSamples);
    for (int64_t j = 0; cadence.beforeWwiseTick(j); ++j) {
      timed(pop, [&] { return popFrame(out.data()); });
      cadence.afterWwiseTick(j);
    }
  });
  std::thread producer([&] {
    std::vector<int16_t> in(kEngineSamples);
    kivra::bench::fillInt16(in.data(), kEngineSamples, 1);
    for (int64_t k = 0; k < calls; ++k) {
      cadence.beforeEngineTick(k);
      timed(push, [&] { return pushBlock(in.data()); });
      cadence.afterEngineTick(k);
    }
    cadence.engineDone.store(true, std::memory_order_release);
  });
  producer.join();
  consumer.join();
  sc.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return sc;
}

using SpscQueue = boost::lockfree::spsc_queue<int16_t, boost::lockfree::capacity<kRingSamples + 1>>;

Scenario runSpsc(const std::string& name, bool paced, int calls) {
  auto queue = std::make_unique<SpscQueue>();
  return runQueue(
      name, paced, calls,
      [&](const int16_t* in) { return queue->push(in, kEngineSamples) == kEngineSamples; },
      [&](int16_t* out) {
        // Whole frames only, as the bridge delivers them.
        const size_t avail = queue->read_available() & ~static_cast<size_t>(1);
        const size_t n = std::min<size_t>(avail, kWwiseSamples);
        return n > 0 && queue->pop(out, n) == n;
      });
}

Scenario runMutexRing(const std::string& name, bool paced, int calls) {
  KivraCommCircularBuffer ring(kRingSamples);
  std::mutex lock;
  return runQueue(
      name, paced, calls,
      [&](int16_t* in) {
        std::lock_guard<std::mutex> guard(lock);
        return ring.Push(in, kEngineSamples) == kEngineSamples;
      },
      [&](int16_t* out) {
        std::lock_guard<std::mutex> guard(lock);
        const int avail = ring.GetAvailableFrames() / kChannels * kChannels;
        const int n = std::min(avail, kWwiseSamples);
        return n > 0 && ring.Pop(out, n) == n;
      });
}

// ------------------------------------------------------------ statistics

double percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t i = static_cast<size_t>(std::ceil(p / 100.0 * sorted.size()));
  return sorted[std::min(sorted.size() - 1, i == 0 ? 0 : i - 1)];
}

std::string jsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Summary line per series, and its JSON object with a CCDF (fraction of
// calls slower than t) at logarithmic steps.
std::string report(Scenario& sc, std::FILE* console) {
  std::ostringstream js;
  js << "{\"name\":\"" << jsonEscape(sc.name) << "\",\"seconds\":" << sc.seconds << ",\"series\":[";
  std::fprintf(console, "\n%s (%.2f s)\n", sc.name.c_str(), sc.seconds);
  std::fprintf(console, "  %-34s %9s %8s %8s %8s %9s %9s %7s %7s %8s\n", "callback", "calls",
               "p50 ns", "p99 ns", "p99.9 ns", "p99.99 ns", "max ns", ">100us", "allocs", "false");
  bool first = true;
  for (Series& s : sc.series) {
    std::vector<uint32_t>& v = s.ns;
    std::sort(v.begin(), v.end());
    const double p50 = percentile(v, 50), p99 = percentile(v, 99), p999 = percentile(v, 99.9),
                 p9999 = percentile(v, 99.99);
    const double mx = v.empty() ? 0 : v.back();
    const size_t over100us = static_cast<size_t>(
        v.end() - std::upper_bound(v.begin(), v.end(), static_cast<uint32_t>(100000)));
    std::fprintf(console, "  %-34s %9zu %8.0f %8.0f %8.0f %9.0f %9.0f %7zu %7llu %8llu\n",
                 s.name.c_str(), v.size(), p50, p99, p999, p9999, mx, over100us,
                 static_cast<unsigned long long>(s.allocations),
                 static_cast<unsigned long long>(s.failures));
    js << (first ? "" : ",") << "{\"name\":\"" << jsonEscape(s.name) << "\",\"calls\":" << v.size()
       << ",\"p50\":" << p50 << ",\"p99\":" << p99 << ",\"p999\":" << p999 << ",\"p9999\":" << p9999
       << ",\"max\":" << mx << ",\"over100us\":" << over100us
       << ",\"allocations\":" << s.allocations << ",\"false_results\":" << s.failures
       << ",\"ccdf\":[";
    bool firstPoint = true;
    for (double t = 10; !v.empty(); t *= 1.12) {
      const size_t above = static_cast<size_t>(
          v.end() -
          std::upper_bound(v.begin(), v.end(),
                           static_cast<uint32_t>(std::min(t, static_cast<double>(UINT32_MAX)))));
      if (above == 0) {
        js << (firstPoint ? "" : ",") << "[" << std::lround(t) << ",0]";
        break;
      }
      js << (firstPoint ? "" : ",") << "[" << std::lround(t) << ","
         << static_cast<double>(above) / v.size() << "]";
      firstPoint = false;
    }
    js << "]}";
    first = false;
  }
  js << "]}";
  return js.str();
}

std::string loadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a.empty() ? "unknown" : a + " " + b + " " + c;
}

void usage() {
  std::fprintf(stderr,
               "usage: kivra_latency [--calls N] [--talkers T] [--out FILE] [--log-dir DIR]\n"
               "                     [--only NAME]... [--rounds R]\n"
               "  --calls    engine callbacks per scenario (default 1000000)\n"
               "  --talkers  remote talkers in the bridge scenarios (default 4)\n"
               "  --out      write the distributions as JSON\n"
               "  --log-dir  open the bridge's log there for the paced runs (default: closed)\n"
               "  --only     run only the named scenario(s), e.g. bridge/real\n"
               "  --rounds   run the scenarios R times in turn and compare bridge/mapping,\n"
               "             bridge/gamebusy and bridge/real per round (median of the p99\n"
               "             ratios)\n");
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 1000000;
  int talkers = 4;
  std::string out;
  std::string logDir;
  std::vector<std::string> only;
  int rounds = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--calls" && hasValue) {
      calls = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--talkers" && hasValue) {
      talkers = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--out" && hasValue) {
      out = argv[++i];
    } else if (a == "--log-dir" && hasValue) {
      logDir = argv[++i];
    } else if (a == "--only" && hasValue) {
      only.push_back(argv[++i]);
    } else if (a == "--rounds" && hasValue) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      usage();
      return 2;
    }
  }
  if (!logDir.empty()) KV_INIT_LOG(logDir.c_str());
  const std::string load = loadAverage();
  std::printf("kivra_latency: %d engine calls per scenario, %d talkers, Wwise frame %d\n", calls,
              talkers, kWwiseFrames);
  std::printf("%s\nload average at start: %s\n", kivra::bench::buildDescription().c_str(),
              load.c_str());

  struct Job {
    const char* name;
    std::function<Scenario()> run;
  };
  const std::vector<Job> jobs = {
      {"bridge/real", [&] { return runBridge("bridge/real", true, calls, talkers, Game::None); }},
      {"bridge/flat", [&] { return runBridge("bridge/flat", false, calls, talkers, Game::None); }},
      {"spsc/real", [&] { return runSpsc("spsc/real", true, calls); }},
      {"spsc/flat", [&] { return runSpsc("spsc/flat", false, calls); }},
      {"mutexring/real", [&] { return runMutexRing("mutexring/real", true, calls); }},
      {"mutexring/flat", [&] { return runMutexRing("mutexring/flat", false, calls); }},
      {"bridge/mapping",
       [&] { return runBridge("bridge/mapping", true, calls, talkers, Game::Mapping); }},
      {"bridge/gamebusy",
       [&] { return runBridge("bridge/gamebusy", true, calls, talkers, Game::Busy); }},
  };
  std::vector<std::string> json;
  // p99 of the Wwise callbacks per scenario and round: the scenarios of a
  // round run back to back, so a round compares them under the same load.
  const std::vector<std::string> compared = {"bridge/real", "bridge/mapping", "bridge/gamebusy"};
  std::vector<std::vector<std::vector<double>>> p99(
      compared.size(), std::vector<std::vector<double>>(static_cast<size_t>(rounds)));
  std::vector<std::string> callbacks;
  for (int round = 0; round < rounds; ++round) {
    for (const Job& job : jobs) {
      if (!only.empty() && std::find(only.begin(), only.end(), job.name) == only.end()) continue;
      // Flat out, one side of every queue fails on most calls and the bridge
      // logs each failure: with the log open that would time the disk, so
      // those runs keep it closed.
      const bool flat = std::string(job.name).find("/flat") != std::string::npos;
      if (flat && !logDir.empty()) KV_SHUTDOWN_LOG();
      Scenario sc = job.run();
      if (flat && !logDir.empty()) KV_INIT_LOG(logDir.c_str());
      const std::string js = report(sc, stdout);
      if (round == 0) json.push_back(js);
      const auto which = std::find(compared.begin(), compared.end(), sc.name);
      if (which == compared.end()) continue;
      std::vector<double>& row =
          p99[static_cast<size_t>(which - compared.begin())][static_cast<size_t>(round)];
      // The four Wwise callbacks come after the two engine ones.
      for (size_t i = 2; i < 6; ++i) {
        row.push_back(percentile(sc.series[i].ns, 99));
        if (callbacks.size() < 4) callbacks.push_back(sc.series[i].name);
      }
    }
  }
  // Median over the rounds of the per-round ratio of two scenarios' p99.
  const auto compare = [&](size_t num, size_t den) {
    if (p99[num][0].empty() || p99[den][0].empty()) return;
    std::printf("\n%s against %s, Wwise callbacks' p99 ratio over %d round(s):\n",
                compared[num].c_str(), compared[den].c_str(), rounds);
    for (size_t c = 0; c < callbacks.size(); ++c) {
      std::vector<double> ratios;
      for (size_t r = 0; r < static_cast<size_t>(rounds); ++r) {
        ratios.push_back(p99[num][r][c] / std::max(1.0, p99[den][r][c]));
      }
      std::sort(ratios.begin(), ratios.end());
      std::printf("  %-34s median %.2fx  (min %.2fx, max %.2fx)\n", callbacks[c].c_str(),
                  ratios[ratios.size() / 2], ratios.front(), ratios.back());
    }
  };
  compare(1, 0);
  compare(2, 0);
  compare(1, 2);
  if (!out.empty()) {
    std::ofstream f(out);
    f << "{\"machine\":\"" << jsonEscape(kivra::bench::buildDescription())
      << "\",\"load_average\":\"" << load << "\",\"calls\":" << calls << ",\"talkers\":" << talkers
      << ",\"wwise_frames\":" << kWwiseFrames << ",\"scenarios\":[";
    for (size_t i = 0; i < json.size(); ++i) f << (i ? "," : "") << json[i];
    f << "]}\n";
    if (!f) {
      std::fprintf(stderr, "kivra_latency: cannot write %s\n", out.c_str());
      return 1;
    }
  }
  if (!logDir.empty()) KV_SHUTDOWN_LOG();
  return 0;
}
