// Shared by the front-end unit tests: peers that reach the front end's and the
// bridge object's private state, and a fixture that gives each test a fresh
// log, a fresh stand-in callback table and an unbound front end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "KivraCommLog.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseCommHandlerKivraInterface.h"
#include "KivraWwiseCommWrapper.h"
#include "TestSupport.h"
#include "test_log_clock.h"

class FKivraWwiseCommHandlerTestPeer {
 public:
  using H = FKivraWwiseCommHandlerKivraInterface;
  static size_t forwardSize() { return H::m_gameObjectID2ChannelIDAndUserID.size(); }
  static size_t reverseSize() { return H::m_channelIDAndUserID2GameObjectID.size(); }
  // The game object the reverse entry of (channel, uid) names, or -1 when none.
  static long long reverseOf(const std::string& channel, kivra::rtc::uid_t uid) {
    auto it = H::m_channelIDAndUserID2GameObjectID.find(std::make_pair(channel, uid));
    return it == H::m_channelIDAndUserID2GameObjectID.end() ? -1
                                                            : static_cast<long long>(it->second);
  }
  static kivra::rtc::IRtcEngine* engine() { return H::m_pEngine; }
  static void setTrackDirect(int id) { H::setKivraCustomTrackIdDirectAdvanced(id); }
  static void setTrackAec(int id) { H::setKivraCustomTrackIdAecReference(id); }
};

class KivraWwiseCommWrapperTestPeer {
 public:
  using W = KivraWwiseCommWrapper;
  static bool recState(W& w) { return w.m_rec_trans_state_; }
  static bool playState(W& w) { return w.m_play_trans_state_; }
  static int trackDirect(W& w) { return w.m_send_track_id_direct_advanced; }
  static int trackAec(W& w) { return w.m_send_track_id_aec_reference; }
  static size_t userCount(W& w) {
    std::lock_guard<KivraCommAudioMutex> guard(w.m_player_data_lock_);
    return w.m_player_buffer_map_.size();
  }
  static bool hasUser(W& w, const std::string& channel, uint32_t uid) {
    std::lock_guard<KivraCommAudioMutex> guard(w.m_player_data_lock_);
    return w.m_player_buffer_map_.count(W::RemoteUserKey(channel, uid)) != 0;
  }
  // Samples queued for the talker, or -1 when it has no record.
  static int queued(W& w, const std::string& channel, uint32_t uid) {
    std::lock_guard<KivraCommAudioMutex> guard(w.m_player_data_lock_);
    auto it = w.m_player_buffer_map_.find(W::RemoteUserKey(channel, uid));
    return it == w.m_player_buffer_map_.end() ? -1
                                              : it->second->player_buffer->GetAvailableFrames();
  }
  static bool disabledUplink(W& w) { return w.m_disable_uplink_proc_; }
  static bool disabledDownlink(W& w) { return w.m_disable_downlink_proc_; }
  static kivra::rtc::IRtcEngine* engine(W& w) { return w.m_pEngine; }
  static W* instance() { return W::m_instance_; }
};

using HandlerPeer = FKivraWwiseCommHandlerTestPeer;
using BridgePeer = KivraWwiseCommWrapperTestPeer;
using Handler = FKivraWwiseCommHandlerKivraInterface;
using Lines = std::vector<std::string>;

// "%p" as the library's log prints it.
inline std::string pointerText(const void* p) {
  char text[64];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

// True when every line of `expected` occurs in `lines`, in that order.
inline bool inOrder(const Lines& lines, const Lines& expected) {
  auto at = lines.begin();
  for (const std::string& e : expected) {
    at = std::find(at, lines.end(), e);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

inline size_t countOf(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class FrontEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = new kivra::test::TempDir("frontend");
    KV_INIT_LOG(dir_->path().c_str());
    kivra::standin::resetPluginCallbacks();
    // Start unbound and at 48 kHz, whatever an earlier test left.
    Handler::UninitKivraWwisePlugin();
    Handler::SetWwiseSampleRate(48000);
    skipLog();
  }
  void TearDown() override {
    Handler::UninitKivraWwisePlugin();
    KV_SHUTDOWN_LOG();
    delete dir_;
  }

  // Log messages written since the last call.
  Lines newLog() {
    KV_FLUSH_LOG();
    Lines all = kivra::test::logMessages(LogPath);
    Lines fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end());
    seen_ = all.size();
    return fresh;
  }
  void skipLog() { newLog(); }

  // The current bridge object, read under the front-end lock.
  static KivraWwiseCommWrapper* wrapper() {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    return m_wrapper;
  }
  static kivra::media::IMediaEngine* mediaEngine() {
    std::lock_guard<KivraCommAudioMutex> guard(m_wrapper_lock_);
    return m_kivra_media_engine;
  }

  kivra::test::TempDir* dir_ = nullptr;
  // Repeated lines are paced by this clock; a test moves it by hand.
  kivra::test::ManualLogClock clock_;
  kivra::standin::RecordingRtcEngine engine_;
  size_t seen_ = 0;
};
