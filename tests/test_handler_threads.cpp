// The plugin side calls its six callbacks from its own thread while the game
// initialises, maps, feeds engine frames and tears down. Run under
// ThreadSanitizer (the tsan preset) this proves the front-end lock covers
// every shared field, the track ids stored by initialisation included.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <set>
#include <thread>

#include "KivraWwiseWrapper.h"
#include "ak_wrapper_c_api.h"
#include "test_handler_support.h"

namespace {

using kivra::standin::FloatBufferProxy;

class FrontEndThreads : public FrontEndTest {};

struct EngineFrame {
  std::vector<int16_t> s = std::vector<int16_t>(960, 1000);
  kivra::media::AudioFrame f{};
  EngineFrame() {
    f.type = kivra::media::FRAME_TYPE_PCM16;
    f.samplesPerChannel = 480;
    f.bytesPerSample = kivra::media::TWO_BYTES_PER_SAMPLE;
    f.channels = 2;
    f.samplesPerSec = 48000;
    f.buffer = s.data();
  }
};

TEST_F(FrontEndThreads, CallbacksDuringInitAndUninit) {
  constexpr int kCycles = 60;
  kivra::standin::RecordingRtcEngine noMedia;
  noMedia.setYieldMediaEngine(-1);

  std::atomic<bool> stop{false};
  std::atomic<long> iterations{0};
  std::thread plugin([&] {
    FloatBufferProxy buf(32, 2);
    long i = 0;
    while (!stop.load()) {
      SetTransferRecordingData(i % 5 != 0);
      GetRecodeAudioFrame(&buf);
      buf.fill(0.125f);
      buf.setFilled(32);
      PushRecodeAudioFrameAfterEffect(&buf);
      SetTransferPlayoutData(i % 3 != 0);
      GetPlayoutAudioFrameByUid(&buf, 7);
      buf.fill(-0.125f);
      buf.setFilled(32);
      PushPlayoutAudioFrameAfterEffect(&buf);
      iterations.store(++i);
    }
  });

  kivra::standin::RecordingMediaEngine& media = engine_.mediaEngine();
  std::set<int> created = {-1};  // pushes before the ids are stored go to -1
  EngineFrame frame;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const bool failing = cycle % 10 == 9;
    int track = -7;
    const int r =
        KW_InitKivraWwisePlugin(failing ? static_cast<kivra::rtc::IRtcEngine*>(&noMedia) : &engine_,
                                &track, dir_->path().c_str());
    ASSERT_EQ(r, failing ? -1 : 0) << cycle;
    if (!failing) {
      std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
      ASSERT_NE(m_wrapper, nullptr);
      EXPECT_EQ(BridgePeer::trackDirect(*m_wrapper), track);
      EXPECT_EQ(BridgePeer::trackAec(*m_wrapper), track + 1);
    }
    for (const kivra::standin::CustomTrack& t : media.tracks()) created.insert(t.id);

    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(7, "room", 42), 0);
    // The game's thread stands in for the engine's audio threads while the
    // observer is registered (it is also the thread that unregisters it).
    if (kivra::media::IAudioFrameObserver* obs = media.observer()) {
      for (int k = 0; k < 4; ++k) {
        obs->onRecordAudioFrame("room", frame.f);
        obs->onPlaybackAudioFrameBeforeMixing("room", 42u, frame.f);
      }
    }
    char channel[8];
    unsigned int uid = 0;
    EXPECT_EQ(KW_GetUidByGameObjectID(7, channel, &uid), 0);
    KW_ClearReceiveOpenID("room", 42);
    EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
    EXPECT_EQ(media.observer(), nullptr);

    for (const kivra::standin::PushedFrame& p : media.pushedFrames()) {
      ASSERT_TRUE(created.count(p.trackId)) << "push to unknown track " << p.trackId;
    }
    media.clearPushedFrames();
    // Let the plugin side run a little in every state.
    const long seen = iterations.load();
    while (iterations.load() < seen + 5) std::this_thread::yield();
  }
  stop.store(true);
  plugin.join();
  EXPECT_GT(iterations.load(), kCycles * 5L);
  // Reopen the log the fixture's teardown expects to close.
  KV_INIT_LOG(dir_->path().c_str());
}

// A media engine that, while initialisation creates the direct track, lets
// the plugin side run a record push and holds it inside pushFrameToTrack (so
// inside the front-end lock) for a while.
class HoldingMediaEngine : public kivra::standin::RecordingMediaEngine {
 public:
  int makeCustomAudioTrack(kivra::rtc::AUDIO_TRACK_TYPE type,
                           const kivra::rtc::AudioTrackConfig& config) override {
    const int id = RecordingMediaEngine::makeCustomAudioTrack(type, config);
    if (armed_ && type == kivra::rtc::AUDIO_TRACK_DIRECT) {
      std::unique_lock<std::mutex> lock(m_);
      pushWanted_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return insidePush_; });
    }
    return id;
  }
  int pushFrameToTrack(kivra::media::AudioFrame* frame, int trackId) override {
    if (armed_) {
      {
        std::lock_guard<std::mutex> lock(m_);
        insidePush_ = true;
        cv_.notify_all();
      }
      // Initialisation now wants to store the new ids; it must wait for us.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      idSeenAtEndOfPush_ = BridgePeer::trackDirect(*m_wrapper);  // lock held by the caller
      armed_ = false;
    }
    return RecordingMediaEngine::pushFrameToTrack(frame, trackId);
  }
  void waitForPushRequest() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return pushWanted_; });
  }

  std::atomic<bool> armed_{false};
  int idSeenAtEndOfPush_ = 0;

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool pushWanted_ = false;
  bool insidePush_ = false;
};

class HoldingEngine : public kivra::rtc::IRtcEngine {
 public:
  int findInterface(kivra::rtc::INTERFACE_ID_TYPE, void** inter) override {
    *inter = static_cast<kivra::media::IMediaEngine*>(&media);
    return 0;
  }
  HoldingMediaEngine media;
};

TEST_F(FrontEndThreads, TrackIdsAreStoredUnderTheFrontEndLock) {
  HoldingEngine engine;
  int first = 0;
  ASSERT_EQ(KW_InitKivraWwisePlugin(&engine, &first, dir_->path().c_str()), 0);
  SetTransferRecordingData(true);

  engine.media.armed_ = true;
  std::thread plugin([&] {
    engine.media.waitForPushRequest();
    FloatBufferProxy buf(480, 2);
    buf.setFilled(480);
    PushRecodeAudioFrameAfterEffect(&buf);
  });
  int second = 0;
  ASSERT_EQ(KW_InitKivraWwisePlugin(&engine, &second, dir_->path().c_str()), 0);
  plugin.join();

  // While the push held the lock the old id stayed in place.
  EXPECT_EQ(engine.media.idSeenAtEndOfPush_, first);
  const std::vector<kivra::standin::PushedFrame> pushed = engine.media.pushedFrames();
  ASSERT_EQ(pushed.size(), 1u);
  EXPECT_EQ(pushed[0].trackId, first);
  EXPECT_NE(second, first);
  {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    EXPECT_EQ(BridgePeer::trackDirect(*m_wrapper), second);
    EXPECT_EQ(BridgePeer::trackAec(*m_wrapper), second + 1);
  }
  // The engine dies with this scope: unbind before.
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
  KV_INIT_LOG(dir_->path().c_str());
}

}  // namespace
