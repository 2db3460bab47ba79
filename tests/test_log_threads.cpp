// Several threads logging at once, and opening and closing racing them: every
// line whole, none lost, each thread's lines in its own order.
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
