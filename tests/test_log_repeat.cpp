// The pacing of repeated lines: the first line of a state exact, its repeats
// counted and summed up once a second and when the state ends, a new state
// written again, a flapping stream kept to one state, and counts exact
// across threads. Time is moved by hand.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "KivraCommLog.h"
#include "KivraCommLogRepeat.h"
#include "LogRepeats.h"
#include "TestSupport.h"
#include "test_log_clock.h"

using kivra::test::ManualLogClock;
using Lines = std::vector<std::string>;

namespace {

class LogRepeat : public ::testing::Test {
 protected:
  void SetUp() override { KV_INIT_LOG(dir_.path().c_str()); }
  void TearDown() override { KV_SHUTDOWN_LOG(); }

  // Messages written since the last call.
  Lines newLog() {
    KV_FLUSH_LOG();
    const Lines all = kivra::test::logMessages(LogPath);
    Lines fresh(all.begin() + static_cast<long>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  static std::string summary(unsigned n, long long ms, const std::string& line) {
    return "repeated " + std::to_string(n) + " times in " + std::to_string(ms) +
           " ms, not written: " + line;
  }

  kivra::test::TempDir dir_{"log-repeat"};
  ManualLogClock clock_;
  size_t seen_ = 0;
};

}  // namespace

TEST_F(LogRepeat, FirstLineExactThenOneSummaryASecond) {
  KivraCommLogRepeat r;
  r.log("queue %s overflow max(%d), avail(%d)", "q1", 19201, 19200);
  EXPECT_EQ(newLog(), Lines{"queue q1 overflow max(19201), avail(19200)"});
  // 99 more blocks of 10 ms: counted, not written.
  for (int i = 0; i < 99; ++i) {
    clock_.advanceMs(10);
    r.log("queue %s overflow max(%d), avail(%d)", "q1", 19201, 19200 - i);
  }
  EXPECT_TRUE(newLog().empty());
  // The 100th, a second after the first line, brings the summary.
  clock_.advanceMs(10);
  r.log("queue %s overflow max(%d), avail(%d)", "q1", 19201, 1);
  EXPECT_EQ(newLog(), Lines{summary(100, 1000, "queue q1 overflow max(19201), avail(19200)")});
  // And so on, once a second.
  for (int i = 0; i < 250; ++i) {
    clock_.advanceMs(10);
    r.log("queue %s overflow", "q1");
  }
  EXPECT_EQ(newLog(), (Lines{summary(100, 1000, "queue q1 overflow max(19201), avail(19200)"),
                             summary(100, 1000, "queue q1 overflow max(19201), avail(19200)")}));
  // The stream is well again. Within a second of the last bad block the
  // state stays open; a second later it ends, with the count of the rest.
  clock_.advanceMs(999);
  r.end();
  EXPECT_TRUE(newLog().empty());
  clock_.advanceMs(1);
  r.end();
  EXPECT_EQ(newLog(), Lines{summary(50, 500, "queue q1 overflow max(19201), avail(19200)")});
  r.end();
  EXPECT_TRUE(newLog().empty());
  // A new state: its own first line, exactly.
  r.log("queue %s overflow max(%d), avail(%d)", "q1", 19201, 7);
  EXPECT_EQ(newLog(), Lines{"queue q1 overflow max(19201), avail(7)"});
}

TEST_F(LogRepeat, AQuietSecondEndsTheStateWithoutAnEnd) {
  KivraCommLogRepeat r;
  r.log("not ready");
  clock_.advanceMs(300);
  r.log("not ready");
  r.log("not ready");
  EXPECT_EQ(newLog(), Lines{"not ready"});
  // Nothing for a second, then the line again: the earlier state's count,
  // then a new first line.
  clock_.advanceMs(1000);
  r.log("not ready");
  EXPECT_EQ(newLog(), (Lines{summary(2, 300, "not ready"), "not ready"}));
  // A state with nothing left out ends silently.
  clock_.advanceMs(1000);
  r.log("not ready");
  EXPECT_EQ(newLog(), Lines{"not ready"});
}

TEST_F(LogRepeat, FlushEndsTheStateNowAndDestructionFlushes) {
  {
    KivraCommLogRepeat r;
    r.log("a %d", 1);
    r.log("a %d", 2);
    r.flush();  // a reset or a release: the count now, whatever the time
    EXPECT_EQ(newLog(), (Lines{"a 1", summary(1, 0, "a 1")}));
    r.log("a %d", 3);  // a new state at once
    clock_.advanceMs(20);
    r.log("a %d", 4);
    r.log("a %d", 5);
    EXPECT_EQ(newLog(), Lines{"a 3"});
  }
  EXPECT_EQ(newLog(), Lines{summary(2, 20, "a 3")});
  // Nothing open: flush and end write nothing.
  KivraCommLogRepeat idle;
  idle.flush();
  idle.end();
  EXPECT_TRUE(newLog().empty());
}

TEST_F(LogRepeat, AFlappingStreamStaysOneState) {
  // A bad block every third block of 10 ms, good ones between: each good
  // block calls end(). Over a minute the 2000 bad blocks stay one state.
  KivraCommLogRepeat r;
  int bad = 0;
  for (int block = 0; block < 6000; ++block) {
    clock_.advanceMs(10);
    if (block % 3 == 0) {
      r.log("overflow");
      ++bad;
    } else {
      r.end();
    }
  }
  r.flush();
  // The first line, a summary a second and the last count.
  const Lines log = newLog();
  EXPECT_LE(log.size(), 62u);
  EXPECT_GE(log.size(), 55u);
  EXPECT_EQ(kivra::test::occurrences(log, [](const std::string& l) { return l == "overflow"; }),
            bad);
}

TEST_F(LogRepeat, CountsAreExactAcrossThreads) {
  // Several threads hit the same state (and one keeps ending it): every line
  // is written or counted once.
  KivraCommLogRepeat r;
  constexpr int kThreads = 4, kLines = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, &r, t] {
      for (int i = 0; i < kLines; ++i) {
        r.log("shared %d", t);
        if (t == 0 && i % 100 == 0) clock_.advanceMs(37);
        if (i % 7 == 0) r.end();
      }
    });
  }
  for (std::thread& th : threads) th.join();
  r.flush();
  const Lines log = newLog();
  EXPECT_EQ(kivra::test::occurrences(
                log, [](const std::string& l) { return l.compare(0, 7, "shared ") == 0; }),
            kThreads * kLines);
}

TEST_F(LogRepeat, NothingIsWrittenWhileTheLogIsClosedAndCountingGoesOn) {
  KV_SHUTDOWN_LOG();
  KivraCommLogRepeat r;
  r.log("closed");
  r.log("closed");
  KV_INIT_LOG(dir_.path().c_str());
  seen_ = 0;
  r.log("closed");
  r.flush();
  // The first line went nowhere; the summary still counts both repeats.
  EXPECT_EQ(newLog(), Lines{summary(2, 0, "closed")});
}
