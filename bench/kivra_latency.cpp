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
#include "KivraCommCircularBuffer.h"
#include "KivraCommLog.h"
#include "KivraWwiseCommWrapper.h"
#include "platform/KivraCommPlatform.h"

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

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins, then yields, until ready() holds.
template <typename Ready>
inline void waitUntil(Ready ready) {
  for (int spins = 0; !ready(); ++spins) {
    if (spins < 256) {
      cpuRelax();
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

Scenario runBridge(const std::string& name, bool paced, int calls, int talkers, bool mapping) {
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
    sc.series.emplace_back("game: map talker", wwiseCalls);
    sc.series.emplace_back("game: unmap talker", wwiseCalls);
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
      // A game's audio threads run above its game thread (Wwise raises its
      // own); without privileges the bench can only lower the game thread.
      // Otherwise, with the two audio threads spinning on two cores, every
      // wake of this thread preempts one of them mid-call, and the figure
      // measures the scheduler rather than the front-end lock.
      kivra::platform::lowerThreadPriority();
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
            kivra::bench::gameMapTalker(9000ull + uid, uid);
            return true;
          });
        } else {
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
               "  --rounds   run the scenarios R times in turn and compare bridge/mapping\n"
               "             with bridge/real per round (median of the p99 ratios)\n");
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
      {"bridge/real", [&] { return runBridge("bridge/real", true, calls, talkers, false); }},
      {"bridge/flat", [&] { return runBridge("bridge/flat", false, calls, talkers, false); }},
      {"spsc/real", [&] { return runSpsc("spsc/real", true, calls); }},
      {"spsc/flat", [&] { return runSpsc("spsc/flat", false, calls); }},
      {"mutexring/real", [&] { return runMutexRing("mutexring/real", true, calls); }},
      {"mutexring/flat", [&] { return runMutexRing("mutexring/flat", false, calls); }},
      {"bridge/mapping", [&] { return runBridge("bridge/mapping", true, calls, talkers, true); }},
  };
  std::vector<std::string> json;
  // p99 per callback of bridge/real and bridge/mapping, per round: the two
  // run back to back, so a round compares them under the same load.
  std::vector<std::vector<double>> realP99(static_cast<size_t>(rounds));
  std::vector<std::vector<double>> mappingP99(static_cast<size_t>(rounds));
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
      const bool real = sc.name == "bridge/real";
      if (!real && sc.name != "bridge/mapping") continue;
      std::vector<double>& p99 = (real ? realP99 : mappingP99)[static_cast<size_t>(round)];
      // The four Wwise callbacks come after the two engine ones.
      for (size_t i = 2; i < 6; ++i) {
        p99.push_back(percentile(sc.series[i].ns, 99));
        if (round == 0 && real) callbacks.push_back(sc.series[i].name);
      }
    }
  }
  if (!callbacks.empty() && !mappingP99[0].empty()) {
    std::printf(
        "\nbridge/mapping against bridge/real, Wwise callbacks' p99 ratio over %d round(s):\n",
        rounds);
    for (size_t c = 0; c < callbacks.size(); ++c) {
      std::vector<double> ratios;
      for (int r = 0; r < rounds; ++r) {
        const size_t ri = static_cast<size_t>(r);
        ratios.push_back(mappingP99[ri][c] / std::max(1.0, realP99[ri][c]));
      }
      std::sort(ratios.begin(), ratios.end());
      std::printf("  %-34s median %.2fx  (min %.2fx, max %.2fx)\n", callbacks[c].c_str(),
                  ratios[ratios.size() / 2], ratios.front(), ratios.back());
    }
  }
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
