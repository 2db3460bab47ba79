// kivra_bench: every cost of the bridge next to the copy floor, in one run on
// one machine. Each figure is also printed as a ratio to one memcpy of a
// 10 ms block (1920 bytes) measured in the same run.
//
// Every benchmark runs in batches timed with a steady clock (manual time);
// a preparation some operations need (a filled queue, fresh input) is
// untimed. "blocks" says how many 10 ms blocks one batch moves, and the
// figure used for the ratios is the median batch's time per block. Every bridge benchmark checks
// that the measured operations succeeded (a measured early-out would be worthless) and counts heap
// allocations inside the timed part.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "AllocCounter.h"
#include "BenchSupport.h"
#include "KivraCommCircularBuffer.h"
#include "KivraCommLog.h"
#include "KivraWwiseCommWrapper.h"

using kivra::bench::allocationCount;
using kivra::bench::BridgeSession;
using kivra::bench::EngineFrame;
using kivra::bench::kChannelId;
using kivra::bench::kChannels;
using kivra::bench::kEngineFrames;
using kivra::bench::kEngineSamples;
using kivra::standin::FloatBufferProxy;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRingSamples = 19200;  // the bridge's 200 ms queues

// Times one batch of operations per iteration (manual time) and keeps each
// batch's time per block: the reported figure (ns_per_block) is the median
// batch, which preemption by other processes barely moves. Allocations are
// counted inside the timed batches only.
class BatchClock {
 public:
  BatchClock(benchmark::State& st, double blocksPerBatch) : st_(st), blocks_(blocksPerBatch) {
    perBlockNs_.reserve(1 << 16);
  }
  void start() {
    a0_ = allocationCount();
    t0_ = Clock::now();
  }
  void stop() {
    const Clock::time_point t1 = Clock::now();
    allocs_ += allocationCount() - a0_;
    const double s = std::chrono::duration<double>(t1 - t0_).count();
    st_.SetIterationTime(s);
    perBlockNs_.push_back(s * 1e9 / blocks_);
  }
  void finish() {
    st_.counters["blocks"] = blocks_;
    const double blocks = blocks_ * static_cast<double>(st_.iterations());
    st_.counters["allocs_per_block"] = blocks > 0 ? static_cast<double>(allocs_) / blocks : 0.0;
    if (!perBlockNs_.empty()) {
      auto mid = perBlockNs_.begin() + static_cast<std::ptrdiff_t>(perBlockNs_.size() / 2);
      std::nth_element(perBlockNs_.begin(), mid, perBlockNs_.end());
      st_.counters["ns_per_block"] = *mid;
    }
  }

 private:
  benchmark::State& st_;
  double blocks_;
  uint64_t a0_ = 0;
  uint64_t allocs_ = 0;
  Clock::time_point t0_;
  std::vector<double> perBlockNs_;
};

// Runs `op(i)` for i in [0, batch) per iteration after an untimed `prepare()`.
// op returns false when the bridge refused the operation.
template <typename Prepare, typename Op>
void runBatched(benchmark::State& st, int batch, Prepare prepare, Op op) {
  BatchClock clock(st, batch);
  uint64_t failures = 0;
  for (auto _ : st) {
    prepare();
    clock.start();
    for (int i = 0; i < batch; ++i) failures += op(i) ? 0 : 1;
    clock.stop();
  }
  clock.finish();
  if (failures != 0) st.SkipWithError("an operation on the measured path failed");
}

// Calls `op()` `reps` times per timed batch; each call moves blocksPerCall
// blocks of 10 ms.
template <typename Op>
void runRepeated(benchmark::State& st, int reps, double blocksPerCall, Op op) {
  BatchClock clock(st, reps * blocksPerCall);
  for (auto _ : st) {
    clock.start();
    for (int r = 0; r < reps; ++r) op();
    clock.stop();
  }
  clock.finish();
}

// ---------------------------------------------------------------- floor

// The source and destination are 64-byte aligned and half a page apart.
// (glibc copies above ~2 KB with rep movsb, which on some AMD virtual
// machines is many times slower when the destination lies just above the
// source modulo 4 KB; half a page apart stays clear of that case.)
void BM_Memcpy(benchmark::State& st) {
  const size_t bytes = static_cast<size_t>(st.range(0));
  const size_t pages = (bytes + 4095) & ~static_cast<size_t>(4095);
  // Room for the alignment, the source's pages, the half page and the copy.
  std::vector<char> storage(4096 + pages + 2048 + bytes);
  char* src = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(storage.data()) + 4095) &
                                      ~static_cast<uintptr_t>(4095));
  char* dst = src + pages + 2048;
  std::memset(src, 1, bytes);
  runRepeated(st, 64, 1, [&] {
    benchmark::DoNotOptimize(src);
    std::memcpy(dst, src, bytes);
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_Memcpy)->Name("floor/memcpy")->Arg(1920)->Arg(4096)->UseManualTime();

// ---------------------------------------------------------- conversions

void BM_AkBufferToInt16Buf(benchmark::State& st) {
  const int frames = static_cast<int>(st.range(0));
  FloatBufferProxy proxy(static_cast<uint16_t>(frames), kChannels);
  kivra::bench::fillProxy(proxy, static_cast<uint16_t>(frames), 1);
  std::vector<int16_t> out(static_cast<size_t>(frames) * kChannels);
  runRepeated(st, 16, frames / static_cast<double>(kEngineFrames), [&] {
    KivraWwiseCommWrapper::AkBufferToInt16Buf(&proxy, out.data(), kChannels);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_AkBufferToInt16Buf)
    ->Name("conv/AkBufferToInt16Buf")
    ->Arg(480)
    ->Arg(1024)
    ->UseManualTime();

void BM_Int16BufToAkBuffer(benchmark::State& st) {
  const int frames = static_cast<int>(st.range(0));
  FloatBufferProxy proxy(static_cast<uint16_t>(frames), kChannels);
  std::vector<int16_t> in(static_cast<size_t>(frames) * kChannels);
  kivra::bench::fillInt16(in.data(), static_cast<int>(in.size()), 3);
  runRepeated(st, 16, frames / static_cast<double>(kEngineFrames), [&] {
    KivraWwiseCommWrapper::Int16BufToAkBuffer(&proxy, in.data(), kChannels, frames);
    benchmark::DoNotOptimize(proxy.channel(0).data());
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_Int16BufToAkBuffer)
    ->Name("conv/Int16BufToAkBuffer")
    ->Arg(480)
    ->Arg(1024)
    ->UseManualTime();

// The same two conversions with Wwise buffers of other channel counts: a
// mono voice, a 5.1 and a 7.1 master bus (downmixed to stereo on the way
// to the engine, front pair filled and the rest silenced on the way back).
void BM_AkBufferToStereo(benchmark::State& st) {
  const int frames = static_cast<int>(st.range(0));
  const uint32_t channels = static_cast<uint32_t>(st.range(1));
  FloatBufferProxy proxy(static_cast<uint16_t>(frames), channels);
  for (uint32_t c = 0; c < channels; ++c) {
    kivra::bench::fillFloat(proxy.channel(c).data(), frames, 7u + c);
  }
  proxy.setFilled(static_cast<uint16_t>(frames));
  std::vector<int16_t> out(static_cast<size_t>(frames) * kChannels);
  runRepeated(st, 16, frames / static_cast<double>(kEngineFrames), [&] {
    KivraWwiseCommWrapper::AkBufferToInt16Buf(&proxy, out.data(), kChannels);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_AkBufferToStereo)
    ->Name("conv/AkBufferToInt16Buf/channels")
    ->Args({1024, 1})
    ->Args({1024, 6})
    ->Args({1024, 8})
    ->UseManualTime();

void BM_StereoToAkBuffer(benchmark::State& st) {
  const int frames = static_cast<int>(st.range(0));
  const uint32_t channels = static_cast<uint32_t>(st.range(1));
  FloatBufferProxy proxy(static_cast<uint16_t>(frames), channels);
  std::vector<int16_t> in(static_cast<size_t>(frames) * kChannels);
  kivra::bench::fillInt16(in.data(), static_cast<int>(in.size()), 3);
  runRepeated(st, 16, frames / static_cast<double>(kEngineFrames), [&] {
    KivraWwiseCommWrapper::Int16BufToAkBuffer(&proxy, in.data(), kChannels, frames);
    benchmark::DoNotOptimize(proxy.channel(0).data());
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_StereoToAkBuffer)
    ->Name("conv/Int16BufToAkBuffer/channels")
    ->Args({1024, 1})
    ->Args({1024, 6})
    ->Args({1024, 8})
    ->UseManualTime();

// FloatToInt16 over frames x 2 values, the size of a stereo block.
void BM_FloatToInt16(benchmark::State& st) {
  const int frames = static_cast<int>(st.range(0));
  const int count = frames * kChannels;
  std::vector<float> in(static_cast<size_t>(count));
  kivra::bench::fillFloat(in.data(), count, 5);
  std::vector<int16_t> out(static_cast<size_t>(count));
  runRepeated(st, 16, frames / static_cast<double>(kEngineFrames), [&] {
    KivraWwiseCommWrapper::FloatToInt16(in.data(), out.data(), count);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
}
BENCHMARK(BM_FloatToInt16)->Name("conv/FloatToInt16")->Arg(480)->Arg(1024)->UseManualTime();

// ---------------------------------------------------------- ring buffer

// One push and one pop of a 960-sample block. Variants:
//  no_wrap: the 19200-sample queue, emptied to slot 0 after each pop;
//  wrap:    a queue of exactly one block (961 slots), so every push and pop
//           after the first is split in two, at every split point in turn;
//  steady:  the 19200-sample queue left running (one block in 20 wraps).
enum RingMode { kNoWrap = 0, kWrap = 1, kSteady = 2 };

template <bool kLocked, RingMode mode>
void BM_RingPushPop(benchmark::State& st) {
  KivraCommCircularBuffer ring(mode == kWrap ? kEngineSamples : kRingSamples);
  std::mutex lock;
  std::vector<int16_t> in(kEngineSamples), out(kEngineSamples);
  kivra::bench::fillInt16(in.data(), kEngineSamples, 9);
  uint64_t failures = 0;
  runRepeated(st, 32, 1, [&] {
    if (kLocked) {
      {
        std::lock_guard<std::mutex> guard(lock);
        failures += ring.Push(in.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
      }
      std::lock_guard<std::mutex> guard(lock);
      failures += ring.Pop(out.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
    } else {
      failures += ring.Push(in.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
      failures += ring.Pop(out.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
    }
    if (mode == kNoWrap) ring.Reset();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
  if (failures != 0) st.SkipWithError("ring refused a block");
  if (out[0] != in[0] || out[kEngineSamples - 1] != in[kEngineSamples - 1]) {
    st.SkipWithError("ring returned wrong samples");
  }
}
BENCHMARK_TEMPLATE(BM_RingPushPop, false, kNoWrap)->Name("ring/push_pop/no_wrap")->UseManualTime();
BENCHMARK_TEMPLATE(BM_RingPushPop, false, kWrap)->Name("ring/push_pop/wrap")->UseManualTime();
BENCHMARK_TEMPLATE(BM_RingPushPop, false, kSteady)->Name("ring/push_pop/steady")->UseManualTime();
BENCHMARK_TEMPLATE(BM_RingPushPop, true, kNoWrap)
    ->Name("ring/push_pop_mutex/no_wrap")
    ->UseManualTime();
BENCHMARK_TEMPLATE(BM_RingPushPop, true, kWrap)->Name("ring/push_pop_mutex/wrap")->UseManualTime();
BENCHMARK_TEMPLATE(BM_RingPushPop, true, kSteady)
    ->Name("ring/push_pop_mutex/steady")
    ->UseManualTime();

// One Wwise frame (1024 frames, 2048 samples, 4 KB) in and out of the running
// 19200-sample queue: the copies above glibc's rep movsb threshold.
void BM_RingWwiseFrame(benchmark::State& st) {
  constexpr int kSamples = 2048;
  KivraCommCircularBuffer ring(kRingSamples);
  std::vector<int16_t> in(kSamples), out(kSamples);
  kivra::bench::fillInt16(in.data(), kSamples, 9);
  uint64_t failures = 0;
  runRepeated(st, 16, kSamples / static_cast<double>(kEngineSamples), [&] {
    failures += ring.Push(in.data(), kSamples) == kSamples ? 0 : 1;
    failures += ring.Pop(out.data(), kSamples) == kSamples ? 0 : 1;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
  if (failures != 0) st.SkipWithError("ring refused a block");
}
BENCHMARK(BM_RingWwiseFrame)->Name("ring/push_pop_1024_frames/steady")->UseManualTime();

// Reference: Boost's lock-free single-producer single-consumer queue, bulk
// push and pop of the same blocks, same 200 ms capacity.
using SpscQueue = boost::lockfree::spsc_queue<int16_t, boost::lockfree::capacity<kRingSamples + 1>>;

void BM_SpscPushPop(benchmark::State& st) {
  auto queue = std::make_unique<SpscQueue>();
  std::vector<int16_t> in(kEngineSamples), out(kEngineSamples);
  kivra::bench::fillInt16(in.data(), kEngineSamples, 9);
  uint64_t failures = 0;
  runRepeated(st, 32, 1, [&] {
    failures += queue->push(in.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
    failures += queue->pop(out.data(), kEngineSamples) == kEngineSamples ? 0 : 1;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  });
  if (failures != 0) st.SkipWithError("spsc_queue refused a block");
}
BENCHMARK(BM_SpscPushPop)->Name("ref/spsc_queue/push_pop")->UseManualTime();

// ------------------------------------------------- single paths, per block

constexpr int kBatch = 8;  // blocks per timed batch; 8 x 960 fits any queue

// The single-path benchmarks keep the bridge in its steady state: a batch
// that fills a queue is followed by untimed pulls that empty it again, and
// the other way round. (The bridge's resets would make the next pull or push
// log its first-time line, which is no steady state.)
struct PathFixture {
  explicit PathFixture(int talkers) : session(talkers) {
    if (!session.bound()) std::fprintf(stderr, "kivra_bench: binding failed\n");
    for (int i = 0; i < kBatch; ++i) {
      frames.push_back(std::make_unique<EngineFrame>());
      buffers.push_back(std::make_unique<FloatBufferProxy>(kEngineFrames, kChannels));
    }
  }
  void refillFrames() {
    for (int i = 0; i < kBatch; ++i) frames[i]->fill(static_cast<uint32_t>(i) * 960u);
  }
  void refillBuffers() {
    for (int i = 0; i < kBatch; ++i) {
      kivra::bench::fillProxy(*buffers[i], kEngineFrames, static_cast<uint32_t>(i) * 480u);
    }
  }
  void queueRecorded() {
    refillFrames();
    for (int i = 0; i < kBatch; ++i) bridge()->onRecordAudioFrame(kChannelId, frames[i]->frame);
  }
  void drainRecorded() {
    for (int i = 0; i < kBatch; ++i) kivra::bench::wwisePullRecord(session, buffers[i].get());
  }
  void queueTalker(uint32_t uid) {
    for (int i = 0; i < kBatch; ++i) {
      bridge()->onPlaybackAudioFrameBeforeMixing(kChannelId, uid, frames[i]->frame);
    }
  }
  void drainTalker() {
    for (int i = 0; i < kBatch; ++i) {
      kivra::bench::wwisePullTalker(session, buffers[i].get(), BridgeSession::talkerGameObject(0));
    }
  }
  KivraWwiseCommWrapper* bridge() { return session.bridge(); }

  BridgeSession session;
  std::vector<std::unique_ptr<EngineFrame>> frames;
  std::vector<std::unique_ptr<FloatBufferProxy>> buffers;
};

// Engine thread: one recorded 10 ms frame queued and silenced.
void BM_PathRecordFrame(benchmark::State& st) {
  PathFixture fx(1);
  bool queued = false;
  runBatched(
      st, kBatch,
      [&] {
        if (queued) fx.drainRecorded();
        queued = true;
        fx.refillFrames();
      },
      [&](int i) { return fx.bridge()->onRecordAudioFrame(kChannelId, fx.frames[i]->frame); });
}
BENCHMARK(BM_PathRecordFrame)->Name("path/uplink/record_frame")->UseManualTime();

// Wwise thread: GetRecodeAudioFrame of one 10 ms block into a Wwise buffer.
void BM_PathPullRecord(benchmark::State& st) {
  PathFixture fx(1);
  runBatched(
      st, kBatch, [&] { fx.queueRecorded(); },
      [&](int i) { return kivra::bench::wwisePullRecord(fx.session, fx.buffers[i].get()); });
}
BENCHMARK(BM_PathPullRecord)->Name("path/uplink/pull")->UseManualTime();

// Wwise thread: PushRecodeAudioFrameAfterEffect of one processed block to the
// direct track (the Wwise buffer is then silenced).
void BM_PathPushRecord(benchmark::State& st) {
  PathFixture fx(1);
  const uint64_t pushes0 = fx.session.media().pushes();
  runBatched(
      st, kBatch, [&] { fx.refillBuffers(); },
      [&](int i) { return kivra::bench::wwisePushRecord(fx.session, fx.buffers[i].get()); });
  if (fx.session.media().pushes() == pushes0) st.SkipWithError("nothing reached the track");
}
BENCHMARK(BM_PathPushRecord)->Name("path/uplink/push_after_effect")->UseManualTime();

// Engine thread: one remote talker's 10 ms frame before mixing.
void BM_PathTalkerFrame(benchmark::State& st) {
  PathFixture fx(1);
  const uint32_t uid = BridgeSession::talkerUid(0);
  bool queued = false;
  runBatched(
      st, kBatch,
      [&] {
        if (queued) fx.drainTalker();
        queued = true;
      },
      [&](int i) {
        return fx.bridge()->onPlaybackAudioFrameBeforeMixing(kChannelId, uid, fx.frames[i]->frame);
      });
}
BENCHMARK(BM_PathTalkerFrame)->Name("path/downlink/talker_frame")->UseManualTime();

// Wwise thread: GetPlayoutAudioFrameByUid of one 10 ms block.
void BM_PathPullTalker(benchmark::State& st) {
  PathFixture fx(1);
  const uint32_t uid = BridgeSession::talkerUid(0);
  runBatched(
      st, kBatch, [&] { fx.queueTalker(uid); },
      [&](int i) {
        return kivra::bench::wwisePullTalker(fx.session, fx.buffers[i].get(),
                                             BridgeSession::talkerGameObject(0));
      });
}
BENCHMARK(BM_PathPullTalker)->Name("path/downlink/pull_by_uid")->UseManualTime();

// Wwise thread: PushPlayoutAudioFrameAfterEffect of one rendered block to the
// AEC-reference track.
void BM_PathPushReverse(benchmark::State& st) {
  PathFixture fx(1);
  fx.refillBuffers();
  const uint64_t pushes0 = fx.session.media().pushes();
  runBatched(
      st, kBatch, [] {},
      [&](int i) { return kivra::bench::wwisePushReverse(fx.session, fx.buffers[i].get()); });
  if (fx.session.media().pushes() == pushes0) st.SkipWithError("nothing reached the track");
}
BENCHMARK(BM_PathPushReverse)->Name("path/reverse/push")->UseManualTime();

// ----------------------------------------------- full duplex and scaling

// A timeline of engine ticks (480 frames) and Wwise ticks (wwiseFrames),
// ordered by their start time, repeated over whole periods so the queues end
// where they began. The queues are primed with one Wwise frame so every pull
// is full. Full mode runs everything the bridge does per 10 ms; stream mode
// runs only one stream's four ring copies and two conversions (recorded
// frame, its pull, one talker's frame and its pull), the classic figure.
struct Timeline {
  int engineTicks = 0;
  int wwiseTicks = 0;
  std::vector<bool> isWwise;  // event order
};

Timeline makeTimeline(int wwiseFrames, int minEngineTicks) {
  const int lcm = std::lcm(kEngineFrames, wwiseFrames);
  int periods = 1;
  while (periods * lcm / kEngineFrames < minEngineTicks) ++periods;
  Timeline t;
  t.engineTicks = periods * lcm / kEngineFrames;
  t.wwiseTicks = periods * lcm / wwiseFrames;
  int e = 0, w = 0;
  while (e < t.engineTicks || w < t.wwiseTicks) {
    // An engine block that starts at the same time as a Wwise frame comes
    // first; the priming keeps every pull full either way.
    const long long te = static_cast<long long>(e) * kEngineFrames;
    const long long tw = static_cast<long long>(w) * wwiseFrames;
    if (w >= t.wwiseTicks || (e < t.engineTicks && te <= tw)) {
      t.isWwise.push_back(false);
      ++e;
    } else {
      t.isWwise.push_back(true);
      ++w;
    }
  }
  return t;
}

void runDuplex(benchmark::State& st, int talkers, int wwiseFrames, bool full) {
  BridgeSession session(talkers);
  KivraWwiseCommWrapper* bridge = session.bridge();
  const Timeline tl = makeTimeline(wwiseFrames, 16);
  std::vector<std::unique_ptr<EngineFrame>> recorded;
  for (int i = 0; i < tl.engineTicks; ++i) recorded.push_back(std::make_unique<EngineFrame>());
  EngineFrame talkerFrame;
  EngineFrame playbackFrame;
  const uint16_t f = static_cast<uint16_t>(wwiseFrames);
  FloatBufferProxy recordBuffer(f, kChannels);
  FloatBufferProxy voiceBuffer(f, kChannels);
  FloatBufferProxy mixBuffer(f, kChannels);
  kivra::bench::fillProxy(mixBuffer, f, 77);
  const int primeTicks = (wwiseFrames + kEngineFrames - 1) / kEngineFrames;
  std::vector<uint32_t> uids;
  std::vector<unsigned long long> gameObjects;
  for (int i = 0; i < talkers; ++i) {
    uids.push_back(BridgeSession::talkerUid(i));
    gameObjects.push_back(BridgeSession::talkerGameObject(i));
  }
  const uint64_t pushes0 = session.media().pushes();
  const uint64_t samples0 = session.media().pushedSamples();

  BatchClock clock(st, tl.engineTicks);
  uint64_t failures = 0;
  // Every period leaves the queues as it found them, primed once here.
  for (int i = 0; i < primeTicks; ++i) {
    recorded[0]->fill(static_cast<uint32_t>(i));
    bridge->onRecordAudioFrame(kChannelId, recorded[0]->frame);
    for (uint32_t uid : uids) {
      bridge->onPlaybackAudioFrameBeforeMixing(kChannelId, uid, talkerFrame.frame);
    }
  }
  for (auto _ : st) {
    for (int i = 0; i < tl.engineTicks; ++i) recorded[i]->fill(static_cast<uint32_t>(i) * 960u);

    clock.start();
    int e = 0;
    for (bool wwise : tl.isWwise) {
      if (!wwise) {
        failures += bridge->onRecordAudioFrame(kChannelId, recorded[e++]->frame) ? 0 : 1;
        if (full) {
          for (uint32_t uid : uids) {
            failures += bridge->onPlaybackAudioFrameBeforeMixing(kChannelId, uid, talkerFrame.frame)
                            ? 0
                            : 1;
          }
          failures += bridge->onPlaybackAudioFrame(kChannelId, playbackFrame.frame) ? 0 : 1;
        } else {
          failures +=
              bridge->onPlaybackAudioFrameBeforeMixing(kChannelId, uids[0], talkerFrame.frame) ? 0
                                                                                               : 1;
        }
      } else {
        failures += kivra::bench::wwisePullRecord(session, &recordBuffer) ? 0 : 1;
        if (full) {
          failures += kivra::bench::wwisePushRecord(session, &recordBuffer) ? 0 : 1;
          for (unsigned long long go : gameObjects) {
            failures += kivra::bench::wwisePullTalker(session, &voiceBuffer, go) ? 0 : 1;
          }
          failures += kivra::bench::wwisePushReverse(session, &mixBuffer) ? 0 : 1;
        } else {
          failures += kivra::bench::wwisePullTalker(session, &voiceBuffer, gameObjects[0]) ? 0 : 1;
        }
      }
    }
    clock.stop();
  }
  clock.finish();
  if (failures != 0) st.SkipWithError("an operation on the measured path failed");
  if (full) {
    // Both pushes of every Wwise tick must have reached the engine with full
    // frames: the pulls were never short.
    const uint64_t ticks = static_cast<uint64_t>(st.iterations()) * tl.wwiseTicks;
    if (session.media().pushes() - pushes0 != 2 * ticks ||
        session.media().pushedSamples() - samples0 != 2 * ticks * f * kChannels) {
      st.SkipWithError("the tracks did not receive every full frame");
    }
  }
}

// Full duplex, 480-frame Wwise frames (one 10 ms block each), 1/8/32 talkers.
void BM_FullDuplexBlock(benchmark::State& st) {
  runDuplex(st, static_cast<int>(st.range(0)), kEngineFrames, true);
}
BENCHMARK(BM_FullDuplexBlock)
    ->Name("duplex/block")
    ->ArgName("talkers")
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->UseManualTime();

// One stream: four ring copies and two conversions per 10 ms.
void BM_OneStreamDuplex(benchmark::State& st) { runDuplex(st, 1, kEngineFrames, false); }
BENCHMARK(BM_OneStreamDuplex)->Name("duplex/one_stream")->UseManualTime();

// Scaling: cost per 10 ms against talkers (Wwise frame 1024) and against the
// Wwise frame size (1 and 8 talkers).
void BM_ScaleTalkers(benchmark::State& st) {
  runDuplex(st, static_cast<int>(st.range(0)), 1024, true);
}
BENCHMARK(BM_ScaleTalkers)
    ->Name("scale/talkers")
    ->ArgName("n")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->UseManualTime();

void BM_ScaleWwiseFrame(benchmark::State& st) {
  runDuplex(st, static_cast<int>(st.range(1)), static_cast<int>(st.range(0)), true);
}
BENCHMARK(BM_ScaleWwiseFrame)
    ->Name("scale/wwise_frame")
    ->ArgNames({"frames", "talkers"})
    ->ArgsProduct({{256, 512, 1024, 2048}, {1, 8}})
    ->UseManualTime();

// ------------------------------------------------------------ reporting

// Prints the usual console table, then every result per 10 ms block (the
// median batch) as a ratio to floor/memcpy/1920 of the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions keep the median; without, the single run.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1) continue;
      std::string name = run.run_name.str();
      const std::string manual = "/manual_time";
      if (name.size() > manual.size() &&
          name.compare(name.size() - manual.size(), manual.size(), manual) == 0) {
        name.resize(name.size() - manual.size());
      }
      auto blocks = run.counters.find("blocks");
      const double perIteration = run.GetAdjustedRealTime() * toNs(run.time_unit);
      const double b = blocks != run.counters.end() ? blocks->second.value : 1.0;
      auto median = run.counters.find("ns_per_block");
      auto allocs = run.counters.find("allocs_per_block");
      Row row{name, median != run.counters.end() ? median->second.value : perIteration / b,
              allocs != run.counters.end() ? allocs->second.value : 0.0};
      if (order_.count(name) == 0) names_.push_back(name);
      order_[name] = row;
    }
  }
  void Finalize() override {
    benchmark::ConsoleReporter::Finalize();
    auto floor = order_.find("floor/memcpy/1920");
    if (floor == order_.end() || floor->second.nsPerBlock <= 0) return;
    const double f = floor->second.nsPerBlock;
    std::printf("\nPer 10 ms block (480 frames x 2), ratio to one 1920-byte memcpy (%.1f ns)\n", f);
    std::printf("%-44s %12s %10s %12s\n", "benchmark", "ns/block", "x memcpy", "allocs/block");
    for (const std::string& name : names_) {
      const Row& r = order_[name];
      std::printf("%-44s %12.1f %10.2f %12.3g\n", name.c_str(), r.nsPerBlock, r.nsPerBlock / f,
                  r.allocs);
    }
    std::printf("\n%s\n", kivra::bench::buildDescription().c_str());
  }

 private:
  struct Row {
    std::string name;
    double nsPerBlock = 0;
    double allocs = 0;
  };
  static double toNs(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond:
        return 1e9;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kMicrosecond:
        return 1e3;
      default:
        return 1.0;
    }
  }
  std::vector<std::string> names_;
  std::map<std::string, Row> order_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The log is open, as in a game: a steady-state path that logged would
  // show in its time (and in its allocation count).
  const char* logDir = std::getenv("KIVRA_BENCH_LOG_DIR");
  KV_INIT_LOG(logDir != nullptr ? logDir : "/tmp");
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  KV_SHUTDOWN_LOG();
  return 0;
}
