// Shared by the bridge-object tests: the test peer that reaches the bridge
// object's private state, and a fixture that gives each test a fresh log, a
// fresh bridge object and a recording media engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KivraCommLog.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseCommHandlerKivraInterface.h"
#include "KivraWwiseCommWrapper.h"
#include "LogRepeats.h"
#include "TestSupport.h"
#include "test_log_clock.h"

class KivraWwiseCommWrapperTestPeer {
 public:
  using W = KivraWwiseCommWrapper;
  static void setDirectReverse(W& w, bool direct) { w.m_use_direct_push_reverse_ = direct; }
  static bool directReverse(W& w) { return w.m_use_direct_push_reverse_; }
  static int64_t totalRecord(W& w) { return w.m_total_record_frames_; }
  static int64_t totalEffect(W& w) { return w.m_total_effect_frames_; }
  static int64_t totalReverse(W& w) { return w.m_total_reverse_frames_; }
  static bool recState(W& w) { return w.m_rec_trans_state_; }
  static bool playState(W& w) { return w.m_play_trans_state_; }
  static bool firstReversePush(W& w) { return w.m_first_reverse_push_; }
  static bool firstReversePop(W& w) { return w.m_first_reverse_pop_; }
  static int trackDirect(W& w) { return w.m_send_track_id_direct_advanced; }
  static int trackAec(W& w) { return w.m_send_track_id_aec_reference; }
  static KivraCommCircularBuffer& recOrg(W& w) { return *w.m_rec_org_buffer_; }
  static KivraCommCircularBuffer& recProc(W& w) { return *w.m_rec_proc_buffer_; }
  static KivraCommCircularBuffer& playbackProc(W& w) { return *w.m_playback_proc_buffer_; }
  static size_t userCount(W& w) { return w.m_player_buffer_map_.size(); }
  // The talker's queue, or null when the talker has no record.
  static KivraCommCircularBuffer* userBuffer(W& w, const std::string& ch, uint32_t uid) {
    auto it = w.m_player_buffer_map_.find(W::RemoteUserKey(ch, uid));
    return it == w.m_player_buffer_map_.end() ? nullptr : it->second->player_buffer.get();
  }
  static bool transferStart(W& w, const std::string& ch, uint32_t uid) {
    auto it = w.m_player_buffer_map_.find(W::RemoteUserKey(ch, uid));
    return it != w.m_player_buffer_map_.end() && it->second->transfer_start;
  }
  static int capacityOf(const KivraCommCircularBuffer& b) { return static_cast<int>(b.capacity()); }
  // Queue depths read under their stream locks, from any thread.
  static int recDepth(W& w) {
    std::lock_guard<KivraCommAudioMutex> guard(w.m_rec_data_lock_);
    return w.m_rec_org_buffer_->GetAvailableFrames();
  }
  static int userDepth(W& w, const std::string& ch, uint32_t uid) {
    std::lock_guard<KivraCommAudioMutex> guard(w.m_player_data_lock_);
    auto it = w.m_player_buffer_map_.find(W::RemoteUserKey(ch, uid));
    return it == w.m_player_buffer_map_.end() ? 0 : it->second->player_buffer->GetAvailableFrames();
  }
  static const KivraCommLatencyController& recLatency(W& w) { return w.m_rec_latency_; }
  static const KivraCommLatencyController& reverseLatency(W& w) { return w.m_playback_latency_; }
};

using Peer = KivraWwiseCommWrapperTestPeer;
using W = KivraWwiseCommWrapper;

// An engine frame over its own sample storage.
struct EngineFrame {
  std::vector<int16_t> samples;
  kivra::media::AudioFrame frame{};
  EngineFrame(int samplesPerChannel, int channels)
      : samples(static_cast<size_t>(samplesPerChannel) * channels) {
    frame.type = kivra::media::FRAME_TYPE_PCM16;
    frame.samplesPerChannel = samplesPerChannel;
    frame.bytesPerSample = kivra::media::TWO_BYTES_PER_SAMPLE;
    frame.channels = channels;
    frame.samplesPerSec = 48000;
    frame.buffer = samples.data();
  }
  // Sample i (interleaved) = first + i.
  void count(int first) {
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(first + i);
  }
  bool allZero() const {
    for (int16_t s : samples)
      if (s != 0) return false;
    return true;
  }
};

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = new kivra::test::TempDir("core");
    KV_INIT_LOG(dir_->path().c_str());
    wrapper_ = KivraWwiseCommWrapper::getInstance();
    ASSERT_NE(wrapper_, nullptr);
    m_kivra_media_engine = &media_;
    wrapper_->setSendTrackIdDirectAdvanced(kDirectTrack);
    wrapper_->setSendTrackIdAecReference(kAecTrack);
  }
  void TearDown() override {
    m_kivra_media_engine = nullptr;
    KivraWwiseCommWrapper::destroyInstance(wrapper_);
    KV_SHUTDOWN_LOG();
    delete dir_;
  }

  // Log messages written since the last call (or since the log was opened).
  std::vector<std::string> newLog() {
    KV_FLUSH_LOG();
    std::vector<std::string> all = kivra::test::logMessages(LogPath);
    std::vector<std::string> fresh;
    for (size_t i = seen_; i < all.size(); ++i) fresh.push_back(all[i]);
    seen_ = all.size();
    return fresh;
  }
  // Drops what the log holds so far.
  void skipLog() { newLog(); }

  // Repeated lines are paced by this clock; a test moves it by hand.
  kivra::test::ManualLogClock clock_;
  static constexpr int kDirectTrack = 7001;
  static constexpr int kAecTrack = 7003;
  kivra::test::TempDir* dir_ = nullptr;
  KivraWwiseCommWrapper* wrapper_ = nullptr;
  kivra::standin::RecordingMediaEngine media_;
  size_t seen_ = 0;
};

using Lines = std::vector<std::string>;
