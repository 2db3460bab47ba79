// Several threads logging at once, and opening and closing racing them: every
// line whole, none lost (or every loss counted), each thread's lines in its
// own order, threads that take turns in their order; closing writes
// everything queued, and an export returns once its lines are in the file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KivraCommLog.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "TestSupport.h"
#include "test_log_support.h"

namespace fs = std::filesystem;
using kivra::test::LogLine;
using kivra::test::parseLogLine;
using kivra::test::readLines;
using kivra::test::TempDir;

namespace {

// "T<thread> N<number> <padding>": the padding makes torn lines likely to show.
bool parseMessage(const std::string& message, int* thread, int* number) {
  return std::sscanf(message.c_str(), "T%d N%d", thread, number) == 2;
}

}  // namespace

TEST(LogThreads, ConcurrentLinesAreWholeCompleteAndInOrder) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  constexpr int kRound = 100;
  static_assert(kThreads * kRound <= static_cast<int>(kKivraLogQueueLines), "rounds fit");
  TempDir dir("log-threads");
  KV_INIT_LOG(dir.path().c_str());

  std::vector<std::string> ids(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ids, &ready] {
      ids[t] = kivra::test::currentThreadId();
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      const std::string padding(40 + 7 * t, static_cast<char>('a' + t));
      for (int n = 0; n < kLines; ++n) {
        KV_LOG("T%d N%d %s", t, n, padding.c_str());
        // Waiting for the file now and then keeps the eight threads within
        // the queue's room, so none of their lines may be lost.
        if (n % kRound == kRound - 1) KV_FLUSH_LOG();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  KV_SHUTDOWN_LOG();

  const std::vector<std::string> lines =
      readLines((fs::path(dir.path()) / "kivra_wwise_log.txt").string());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::string& text : lines) {
    LogLine line;
    ASSERT_TRUE(parseLogLine(text, &line)) << text;
    int t = -1, n = -1;
    ASSERT_TRUE(parseMessage(line.message, &t, &n)) << text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    const std::string padding(40 + 7 * t, static_cast<char>('a' + t));
    ASSERT_EQ(line.message, "T" + std::to_string(t) + " N" + std::to_string(n) + " " + padding);
    ASSERT_EQ(line.threadId, ids[t]) << text;
    ASSERT_EQ(n, next[t]) << "thread " << t << " out of order";
    ++next[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
  std::set<std::string> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads));
}

TEST(LogThreads, InitAndShutdownRacingLoggersAreSafe) {
  constexpr int kLoggers = 4;
  TempDir a("log-race-a"), b("log-race-b");
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kLoggers; ++t) {
    loggers.emplace_back([t, &stop, &calls] {
      for (int n = 0; !stop.load(); ++n) {
        KV_LOG("T%d N%d racing", t, n);
        (void)KV_GET_LOG_DIR();
        calls.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    KV_INIT_LOG((round % 2 == 0 ? a : b).path().c_str());
    if (round % 3 == 0) std::this_thread::yield();
    KV_SHUTDOWN_LOG();
    if (round % 5 == 0) KV_SHUTDOWN_LOG();
  }
  // A last open period whose lines must all be well formed.
  KV_INIT_LOG(a.path().c_str());
  const long startCalls = calls.load();
  while (calls.load() < startCalls + 2000) std::this_thread::yield();
  stop.store(true);
  for (std::thread& th : loggers) th.join();
  KV_SHUTDOWN_LOG();

  const std::vector<std::string> lines =
      readLines((fs::path(a.path()) / "kivra_wwise_log.txt").string());
  EXPECT_GE(lines.size(), 1000u);
  // Flat-out loggers may fill the queue: the lines that did not fit are
  // counted, and every gap in a thread's numbers must be among them.
  std::map<int, int> last;
  long long gaps = 0, reported = 0;
  for (const std::string& text : lines) {
    LogLine line;
    ASSERT_TRUE(parseLogLine(text, &line)) << text;
    unsigned long long lost = 0;
    if (std::sscanf(line.message.c_str(), "log queue full: %llu lines lost", &lost) == 1) {
      reported += static_cast<long long>(lost);
      continue;
    }
    int t = -1, n = -1;
    ASSERT_TRUE(parseMessage(line.message, &t, &n)) << text;
    ASSERT_EQ(line.message, "T" + std::to_string(t) + " N" + std::to_string(n) + " racing");
    auto it = last.find(t);
    if (it != last.end()) {
      ASSERT_GT(n, it->second) << "thread " << t << " reordered a line";
      gaps += n - it->second - 1;
    }
    last[t] = n;
  }
  EXPECT_LE(gaps, reported) << "lines lost without being counted";
  // Lines of the earlier periods went to the other directory's file, all whole.
  for (const std::string& text : readLines((fs::path(b.path()) / "kivra_wwise_log.txt").string())) {
    LogLine line;
    ASSERT_TRUE(parseLogLine(text, &line)) << text;
  }
}

TEST(LogThreads, LinesOfTwoThreadsTakingTurnsStayInTheirOrder) {
  // Two threads take turns, each logging only once the other's line has been
  // logged: the file must hold the turns in that order.
  TempDir dir("log-turns");
  KV_INIT_LOG(dir.path().c_str());
  constexpr int kTurns = 2000;
  std::atomic<int> turn{0};
  auto player = [&turn](int me) {
    for (int t = me; t < kTurns; t += 2) {
      while (turn.load(std::memory_order_acquire) != t) std::this_thread::yield();
      KV_LOG("turn %d", t);
      turn.store(t + 1, std::memory_order_release);
      if (t % 200 == me) KV_FLUSH_LOG();  // stay within the queue's room
    }
  };
  std::thread a(player, 0), b(player, 1);
  a.join();
  b.join();
  KV_SHUTDOWN_LOG();
  const std::vector<std::string> messages =
      kivra::test::logMessages((fs::path(dir.path()) / "kivra_wwise_log.txt").string());
  ASSERT_EQ(messages.size(), static_cast<size_t>(kTurns));
  for (int t = 0; t < kTurns; ++t) ASSERT_EQ(messages[t], "turn " + std::to_string(t));
}

TEST(LogThreads, ShutdownWritesEverythingQueued) {
  // Lines still queued when the log closes all reach the file: four threads
  // log as fast as they can, and the log is closed right after.
  TempDir dir("log-shutdown");
  KV_INIT_LOG(dir.path().c_str());
  constexpr int kThreads = 4, kLines = 250;  // within the queue's room
  const std::string padding(400, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int n = 0; n < kLines; ++n) KV_LOG("T%d N%d %s", t, n, padding.c_str());
    });
  }
  for (std::thread& th : threads) th.join();
  KV_SHUTDOWN_LOG();
  const std::vector<std::string> messages =
      kivra::test::logMessages((fs::path(dir.path()) / "kivra_wwise_log.txt").string());
  EXPECT_EQ(messages.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::string& m : messages) {
    int t = -1, n = -1;
    ASSERT_TRUE(parseMessage(m, &t, &n)) << m;
    ASSERT_EQ(n, next[t]++);
  }
}

TEST(LogThreads, AnExportReturnsOnlyOnceEarlierLinesAndItsOwnAreInTheFile) {
  TempDir dir("log-exports");
  kivra::standin::resetPluginCallbacks();
  kivra::standin::RecordingRtcEngine engine;
  int track = 0;
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<kivra::rtc::IRtcEngine*>(&engine), &track,
                                    dir.path().c_str()),
            0);
  const std::string file = (fs::path(dir.path()) / "kivra_wwise_log.txt").string();
  // Read at once, without waiting: the export's own lines are there.
  std::vector<std::string> messages = kivra::test::logMessages(file);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "direct advanced track id 1000, aec reference track id 1001");

  // An audio thread logs a burst (long lines, so writing takes a while);
  // the game's next export returns only once all of it is in the file.
  const std::string padding(450, 'q');
  for (int round = 0; round < 5; ++round) {
    std::thread audio([&padding, round] {
      for (int n = 0; n < 800; ++n) KV_LOG("audio %d %d %s", round, n, padding.c_str());
    });
    audio.join();
    char channel[16] = "";
    unsigned int uid = 0;
    EXPECT_EQ(KW_GetUidByGameObjectID(77, channel, &uid), -1);
    messages = kivra::test::logMessages(file);
    ASSERT_FALSE(messages.empty());
    ASSERT_EQ(messages.back(), "audio " + std::to_string(round) + " 799 " + padding);
  }

  EXPECT_EQ(KW_SetUidToGameObjectIDMapping(77, "room", 42), 0);
  messages = kivra::test::logMessages(file);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "register gameObjectId map, game id (77) -> uid (42)");
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
}
