// The log file replaced by a FIFO that nobody reads: a disk that has stopped.
// The log thread blocks in its write; the queue fills; the lines that do not
// fit are counted, and no audio thread ever waits: the engine's and Wwise's
// callbacks all return while not one byte more can reach the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "KivraCommLog.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "TestFrames.h"
#include "TestSupport.h"
#include "test_log_clock.h"
#include "test_log_support.h"

using Clock = std::chrono::steady_clock;

namespace {

// A FIFO in place of kivra_wwise_log.txt, with its read end open (so the
// log's open does not block) but not read until read() is called.
class StalledLogFile {
 public:
  StalledLogFile() {
    path_ = dir_.path() + "/kivra_wwise_log.txt";
    ok_ = mkfifo(path_.c_str(), 0600) == 0;
    fd_ = ok_ ? open(path_.c_str(), O_RDONLY | O_NONBLOCK) : -1;
  }
  ~StalledLogFile() {
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  StalledLogFile(const StalledLogFile&) = delete;
  StalledLogFile& operator=(const StalledLogFile&) = delete;

  bool ok() const { return ok_ && fd_ >= 0; }
  const std::string& dir() const { return dir_.path(); }

  // The disk moves again: reads everything until the log is closed.
  void startReading() {
    if (reader_.joinable()) return;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    reader_ = std::thread([this] {
      char buffer[4096];
      for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof(buffer));
        if (n <= 0) break;  // end of file: the log closed its end
        text_.append(buffer, static_cast<size_t>(n));
      }
    });
  }
  // After the log closed: the messages that reached the file.
  std::vector<std::string> messages() {
    if (reader_.joinable()) reader_.join();
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text_.size()) {
      const size_t end = text_.find('\n', at);
      const std::string line = text_.substr(at, end - at);
      kivra::test::LogLine parsed;
      EXPECT_TRUE(kivra::test::parseLogLine(line, &parsed)) << line;
      out.push_back(parsed.message);
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return out;
  }

 private:
  kivra::test::TempDir dir_{"log-fifo"};
  std::string path_;
  bool ok_ = false;
  int fd_ = -1;
  std::thread reader_;
  std::string text_;
};

// Runs work on its own thread and waits for it at most a minute: with the
// file stalled, work that waited for it would never end. The file is read
// afterwards either way, so the test can finish.
bool finishesWhileStalled(StalledLogFile& file, const std::function<void()>& work) {
  auto done = std::async(std::launch::async, work);
  const bool finished = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!finished) {
    file.startReading();
    done.wait();
  }
  return finished;
}

// The lines lost to a full queue, as the log thread reported them.
long long reportedLost(const std::vector<std::string>& messages) {
  long long lost = 0;
  for (const std::string& m : messages) {
    unsigned long long n = 0;
    if (std::sscanf(m.c_str(), "log queue full: %llu lines lost", &n) == 1) lost += n;
  }
  return static_cast<long long>(lost);
}

}  // namespace

TEST(LogStalled, AFullQueueCountsEveryLineThatDidNotFit) {
  KV_SHUTDOWN_LOG();
  StalledLogFile file;
  ASSERT_TRUE(file.ok());
  KV_INIT_LOG(file.dir().c_str());
  // Far more than the pipe and the queue hold together.
  constexpr int kLines = 5000;
  EXPECT_TRUE(finishesWhileStalled(file, [] {
    for (int i = 0; i < kLines; ++i) KV_LOG("L%d some padding to fill the pipe sooner", i);
  })) << "a line waited for the file";
  file.startReading();
  KV_SHUTDOWN_LOG();  // writes everything queued, then the count
  const std::vector<std::string> messages = file.messages();

  int written = 0, previous = -1;
  for (const std::string& m : messages) {
    int n = -1;
    if (std::sscanf(m.c_str(), "L%d ", &n) != 1) continue;
    EXPECT_GT(n, previous) << "out of order";
    previous = n;
    ++written;
  }
  const long long lost = reportedLost(messages);
  EXPECT_GT(lost, 0);
  EXPECT_EQ(written + lost, kLines) << "lines lost without being counted";
  EXPECT_GE(written, static_cast<int>(kKivraLogQueueLines));
}

TEST(LogStalled, AudioCallbacksNeverWaitForTheFile) {
  KV_SHUTDOWN_LOG();
  kivra::standin::resetPluginCallbacks();
  StalledLogFile file;
  ASSERT_TRUE(file.ok());
  kivra::test::ManualLogClock clock;
  kivra::standin::RecordingRtcEngine engine;
  engine.mediaEngine().setKeepSamples(false);
  int track = 0;
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<kivra::rtc::IRtcEngine*>(&engine), &track,
                                    file.dir().c_str()),
            0);
  // Game object 5 plays a uid-0 talker: the bridge keeps no audio for it, so
  // every pull of it logs.
  ASSERT_EQ(KW_SetUidToGameObjectIDMapping(5, "room", 0), 0);
  kivra::media::IAudioFrameObserver* observer = engine.mediaEngine().observer();
  ASSERT_NE(observer, nullptr);
  const kivra::standin::PluginCallbacks cb = kivra::standin::pluginCallbacks();
  cb.setTransferRecordingData(true);
  // Back the log up: the pipe full, the log thread stuck in its write, the
  // queue full.
  EXPECT_TRUE(finishesWhileStalled(file, [] {
    for (int i = 0; i < 5000; ++i) KV_LOG("filler %d with padding to fill the pipe sooner", i);
  })) << "a line waited for the file";

  // The engine's recording thread and Wwise's audio thread, 500 blocks each.
  // The clock jumps a second per block, so every block writes lines (the
  // queue being full, they are counted as lost).
  constexpr int kBlocks = 500;
  std::atomic<int64_t> slowestNs{0};
  auto note = [&slowestNs](Clock::time_point t0) {
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
    int64_t seen = slowestNs.load();
    while (ns > seen && !slowestNs.compare_exchange_weak(seen, ns)) {
    }
  };
  auto engineThread = std::async(std::launch::async, [&] {
    kivra::test::StereoFrame block(3);
    for (int k = 0; k < kBlocks; ++k) {
      clock.advanceMs(1000);
      const Clock::time_point t0 = Clock::now();
      observer->onRecordAudioFrame("room", block.frame);  // overflows after 20 blocks
      note(t0);
    }
  });
  auto wwiseThread = std::async(std::launch::async, [&] {
    kivra::standin::FloatBufferProxy buffer(1024, 2);
    for (int k = 0; k < kBlocks; ++k) {
      clock.advanceMs(1000);
      const Clock::time_point t0 = Clock::now();
      cb.getPlayoutAudioFrameByUid(&buffer, 5);
      note(t0);
    }
  });
  // Nothing reads the file: a callback that waited for it would never end.
  const bool engineDone =
      engineThread.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  const bool wwiseDone =
      wwiseThread.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  file.startReading();  // lets everything finish either way
  EXPECT_TRUE(engineDone) << "the engine's callback waited for the file";
  EXPECT_TRUE(wwiseDone) << "a Wwise callback waited for the file";
  engineThread.wait();
  wwiseThread.wait();
  // A generous bound: the file accepted nothing while they ran.
  EXPECT_LT(slowestNs.load(), 100000000) << "slowest callback " << slowestNs.load() << " ns";
  std::printf("slowest callback while the file was stalled: %lld ns\n",
              static_cast<long long>(slowestNs.load()));

  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
  const std::vector<std::string> messages = file.messages();
  EXPECT_GT(reportedLost(messages), 0);
  // Everything logged before the stall is there, in order, first line first.
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "registerAudioFrameObserver: 0"), 1);
}
