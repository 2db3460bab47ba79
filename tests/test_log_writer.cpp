// The log file end to end: opening, the line layout, truncation, closing and
// the inputs that must not break it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <locale>
#include <mutex>
#include <streambuf>
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

class LogWriter : public ::testing::Test {
 protected:
  void SetUp() override { KV_SHUTDOWN_LOG(); }
  void TearDown() override { KV_SHUTDOWN_LOG(); }

  std::string logFileIn(const TempDir& dir) {
    return (fs::path(dir.path()) / "kivra_wwise_log.txt").string();
  }
};

// The stamp the test computes itself for a clock sample, to bracket the
// writer's own.
std::string expectedStamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  const std::time_t secs = system_clock::to_time_t(time_point_cast<seconds>(t));
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::localtime(&secs));
  char full[80];
  std::snprintf(full, sizeof(full), "%s:%03d", text, static_cast<int>(ms));
  return full;
}

// Groups digits in threes, as many national locales do.
struct GroupingPunct : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

// A disk that stops: a stream buffer that keeps what it is given, but holds
// its writer until opened. Unbuffered, so every write of the log thread
// reaches it.
class GateBuffer : public std::streambuf {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // True once a writer is held at the gate.
  bool holding() const { return holding_.load(); }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::unique_lock<std::mutex> lock(mutex_);
    holding_ = !open_;
    cv_.wait(lock, [&] { return open_; });
    text_.append(s, static_cast<size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  std::atomic<bool> holding_{false};
  std::string text_;
};

}  // namespace

// The queue full behind a stopped disk: the lines that do not fit are
// counted, and once the disk moves one line says how many; KV_FLUSH_LOG
// returns only once everything logged before it is written. Built on every
// platform the suite runs on (no file system tricks).
TEST_F(LogWriter, LinesLostToAFullQueueAreCountedAndTheFlushWaitsForTheDisk) {
  TempDir dir("log-gate");
  KV_INIT_LOG(dir.path().c_str());
  ASSERT_NE(logFile, nullptr);
  KV_FLUSH_LOG();  // the log thread is idle: the stream may change hands
  GateBuffer gate;
  logFile->std::ios::rdbuf(&gate);

  KV_LOG("first");
  for (int i = 0; i < 2000 && !gate.holding(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(gate.holding()) << "the log thread never wrote";
  // The log thread is held with "first"; the queue takes its length more.
  const int extra = 100;
  for (int i = 0; i < static_cast<int>(kKivraLogQueueLines) + extra; ++i) KV_LOG("line %d", i);

  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    KV_FLUSH_LOG();
    flushed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(flushed.load()) << "the flush returned while the disk was stopped";
  gate.open();
  flusher.join();

  // Every line logged before the flush is in, in order, and so is the count
  // of the lost ones: written + lost = logged.
  const std::string text = gate.text();
  unsigned long long lost = 0;
  size_t lines = 0, at = 0;
  int next = 0;
  bool ordered = true;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    LogLine l;
    const std::string line = text.substr(at, end - at);
    ASSERT_TRUE(parseLogLine(line, &l)) << line;
    ++lines;
    unsigned long long n = 0;
    int k = 0;
    if (std::sscanf(l.message.c_str(), "log queue full: %llu lines lost", &n) == 1) {
      lost += n;
    } else if (std::sscanf(l.message.c_str(), "line %d", &k) == 1) {
      ordered = ordered && k >= next;
      next = k + 1;
    }
  }
  EXPECT_TRUE(ordered);
  EXPECT_GE(lost, static_cast<unsigned long long>(extra));
  EXPECT_EQ(lines - 1 + lost, 1 + kKivraLogQueueLines + extra)
      << "lines lost without being counted";
  KV_SHUTDOWN_LOG();  // while the gate, the stream's buffer now, still exists
}

TEST_F(LogWriter, NothingIsWrittenBeforeInitOrAfterShutdown) {
  TempDir dir("log-closed");
  KV_LOG("before init %d", 1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_EQ(logFile, nullptr);

  KV_INIT_LOG(dir.path().c_str());
  ASSERT_NE(logFile, nullptr);
  EXPECT_TRUE(fs::exists(logFileIn(dir)));  // created by the open, still empty
  EXPECT_TRUE(readLines(logFileIn(dir)).empty());
  KV_LOG("inside");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(logFile, nullptr);
  KV_LOG("after shutdown %s", "x");
  KV_SHUTDOWN_LOG();  // a second shutdown does nothing

  const std::vector<std::string> lines = readLines(logFileIn(dir));
  ASSERT_EQ(lines.size(), 1u);
  LogLine line;
  ASSERT_TRUE(parseLogLine(lines[0], &line)) << lines[0];
  EXPECT_EQ(line.message, "inside");
}

TEST_F(LogWriter, EachCallIsOneLineInTheLayout) {
  TempDir dir("log-layout");
  KV_INIT_LOG(dir.path().c_str());
  const auto before = std::chrono::system_clock::now();
  KV_LOG("int %d unsigned %u text %s", -7, 42u, "abc");
  KV_LOG("wide %lld %llu", -9000000000LL, 18000000000ULL);
  KV_LOG("%s", "");
  const auto after = std::chrono::system_clock::now();
  KV_SHUTDOWN_LOG();

  const std::string raw = kivra::test::readAll(logFileIn(dir));
  const std::vector<std::string> lines = readLines(logFileIn(dir));
  ASSERT_EQ(lines.size(), 3u) << raw;
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw.back(), '\n');

  const std::string me = kivra::test::currentThreadId();
  const std::string low = expectedStamp(before), high = expectedStamp(after);
  const char* messages[] = {"int -7 unsigned 42 text abc", "wide -9000000000 18000000000", ""};
  std::string previousStamp;
  for (size_t i = 0; i < lines.size(); ++i) {
    LogLine line;
    ASSERT_TRUE(parseLogLine(lines[i], &line)) << lines[i];
    EXPECT_EQ(line.threadId, me);
    EXPECT_EQ(line.message, messages[i]);
    // Local time with milliseconds from the wall clock of the call.
    EXPECT_LE(low, line.stamp);
    EXPECT_GE(high, line.stamp);
    EXPECT_LE(previousStamp, line.stamp);
    previousStamp = line.stamp;
  }
  // The empty message still has its separating space after the stamp.
  EXPECT_EQ(lines[2], me + " " + previousStamp + " ");
}

TEST_F(LogWriter, TimeStampIsLocalTimeWithColonBeforeMilliseconds) {
  for (int i = 0; i < 50; ++i) {
    const auto before = std::chrono::system_clock::now();
    const std::string stamp = getCurrentTimeMillis();
    const auto after = std::chrono::system_clock::now();
    ASSERT_TRUE(kivra::test::isTimeStamp(stamp)) << stamp;
    EXPECT_EQ(stamp[19], ':');
    EXPECT_LE(expectedStamp(before), stamp);
    EXPECT_GE(expectedStamp(after), stamp);
  }
}

TEST_F(LogWriter, MessagesAreWrittenUnchangedAndLongOnesCutAt511) {
  TempDir dir("log-messages");
  KV_INIT_LOG(dir.path().c_str());
  KV_LOG("first\nsecond");
  KV_LOG("100%% sure %p", static_cast<void*>(&dir));
  const std::string exact(511, 'e');
  const std::string tooLong(2000, 'x');
  KV_LOG("%s", exact.c_str());
  KV_LOG("%s", tooLong.c_str());
  KV_LOG("%s|%s", std::string(600, 'a').c_str(), "tail never seen");
  KV_LOG("after the long ones");
  KV_SHUTDOWN_LOG();

  const std::vector<std::string> lines = readLines(logFileIn(dir));
  ASSERT_EQ(lines.size(), 7u);
  LogLine line;
  ASSERT_TRUE(parseLogLine(lines[0], &line));
  EXPECT_EQ(line.message, "first");
  EXPECT_EQ(lines[1], "second");  // the newline is kept, then the line's own end
  ASSERT_TRUE(parseLogLine(lines[2], &line));
  EXPECT_EQ(line.message.substr(0, 10), "100% sure ");
  ASSERT_TRUE(parseLogLine(lines[3], &line));
  EXPECT_EQ(line.message, exact);
  ASSERT_TRUE(parseLogLine(lines[4], &line));
  EXPECT_EQ(line.message, std::string(511, 'x'));
  ASSERT_TRUE(parseLogLine(lines[5], &line));
  EXPECT_EQ(line.message, std::string(511, 'a'));
  ASSERT_TRUE(parseLogLine(lines[6], &line));
  EXPECT_EQ(line.message, "after the long ones");
}

TEST_F(LogWriter, EveryInitEmptiesTheFile) {
  TempDir dir("log-truncate");
  {
    std::FILE* old = std::fopen(logFileIn(dir).c_str(), "w");
    ASSERT_NE(old, nullptr);
    std::fputs("an older log\nwith two lines\n", old);
    std::fclose(old);
  }
  KV_INIT_LOG(dir.path().c_str());
  EXPECT_TRUE(readLines(logFileIn(dir)).empty());
  KV_LOG("run %d", 1);
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(kivra::test::logMessages(logFileIn(dir)), std::vector<std::string>{"run 1"});

  KV_INIT_LOG(dir.path().c_str());
  EXPECT_TRUE(readLines(logFileIn(dir)).empty());
  KV_LOG("run %d", 2);
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(kivra::test::logMessages(logFileIn(dir)), std::vector<std::string>{"run 2"});
}

TEST_F(LogWriter, MissingDirectoryOrNullPathIsHarmless) {
  TempDir dir("log-missing");
  const std::string missing = (fs::path(dir.path()) / "no" / "such").string();
  KV_INIT_LOG(missing.c_str());
  KV_LOG("lost %d", 1);
  KV_SHUTDOWN_LOG();
  KV_SHUTDOWN_LOG();
  EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "no"));  // no directory is made
  EXPECT_EQ(KV_GET_LOG_DIR(), missing);

  // A null path changes nothing: an open log stays open and keeps writing.
  KV_INIT_LOG(dir.path().c_str());
  const std::string pathBefore = LogPath;
  KV_INIT_LOG(nullptr);
  EXPECT_EQ(LogPath, pathBefore);
  EXPECT_EQ(KV_GET_LOG_DIR(), dir.path());
  KV_LOG("still open");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(kivra::test::logMessages(logFileIn(dir)), std::vector<std::string>{"still open"});

  // ... and a closed log stays closed.
  KV_INIT_LOG(nullptr);
  EXPECT_EQ(logFile, nullptr);
  KV_LOG("nowhere");
  EXPECT_EQ(kivra::test::logMessages(logFileIn(dir)), std::vector<std::string>{"still open"});
}

TEST_F(LogWriter, SecondInitClosesTheFirstStream) {
  TempDir first("log-first"), second("log-second");
  KV_INIT_LOG(first.path().c_str());
  KV_LOG("to the first");
  KV_INIT_LOG(second.path().c_str());
  KV_LOG("to the second");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(kivra::test::logMessages(logFileIn(first)), std::vector<std::string>{"to the first"});
  EXPECT_EQ(kivra::test::logMessages(logFileIn(second)), std::vector<std::string>{"to the second"});
  // Closed, so the first directory can go (Windows refuses to delete open files).
  std::error_code ec;
  EXPECT_TRUE(fs::remove(logFileIn(first), ec)) << ec.message();

  // Re-opening the same directory while open starts that file afresh.
  KV_INIT_LOG(second.path().c_str());
  KV_LOG("a");
  KV_INIT_LOG(second.path().c_str());
  KV_LOG("b");
  KV_SHUTDOWN_LOG();
  EXPECT_EQ(kivra::test::logMessages(logFileIn(second)), std::vector<std::string>{"b"});
}

TEST_F(LogWriter, GameLocaleDoesNotChangeTheLineLayout) {
  const std::string me = kivra::test::currentThreadId();
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
  TempDir dir("log-locale");
  KV_INIT_LOG(dir.path().c_str());
  KV_LOG("count %d", 1234567);
  KV_SHUTDOWN_LOG();
  std::locale::global(previous);

  const std::vector<std::string> lines = readLines(logFileIn(dir));
  ASSERT_EQ(lines.size(), 1u);
  LogLine line;
  ASSERT_TRUE(parseLogLine(lines[0], &line)) << lines[0];
  EXPECT_EQ(line.threadId, me);
  EXPECT_EQ(line.message, "count 1234567");
}
