// The smallest game-side use of the installed library: an RTC engine of its
// own (the game's real one comes from the voice SDK), then one session
// through the six functions. Exit 0 when every result is the documented one.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "KivraRtcEngine.h"
#include "KivraWwiseWrapper.h"

namespace {

using namespace kivra;

class MediaEngine : public media::IMediaEngine {
 public:
  int registerAudioFrameObserver(media::IAudioFrameObserver* o) override {
    observer = o;
    return 0;
  }
  int pushFrameToTrack(media::AudioFrame*, int) override { return 0; }
  int makeCustomAudioTrack(rtc::AUDIO_TRACK_TYPE, const rtc::AudioTrackConfig&) override {
    return nextTrack++;
  }
  media::IAudioFrameObserver* observer = nullptr;
  int nextTrack = 7;
};

class RtcEngine : public rtc::IRtcEngine {
 public:
  int findInterface(rtc::INTERFACE_ID_TYPE iid, void** inter) override {
    if (iid != rtc::KIVRA_IID_MEDIA_ENGINE || inter == nullptr) return -1;
    *inter = static_cast<media::IMediaEngine*>(&media);
    return 0;
  }
  MediaEngine media;
};

int failures = 0;

void expect(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string logDir = argc > 1 ? argv[1] : ".";
  RtcEngine engine;
  int track = -1;
  expect(KW_InitKivraWwisePlugin(&engine, &track, logDir.c_str()) == 0, "init binds the engine");
  expect(track == 7, "init returns the direct track's id");
  expect(engine.media.observer != nullptr, "the bridge observes the engine");

  expect(KW_SetUidToGameObjectIDMapping(100, "room1", 42) == 0, "map game object 100");
  char channel[65] = {0};
  unsigned int uid = 0;
  expect(KW_GetUidByGameObjectID(100, channel, &uid) == 0 && std::strcmp(channel, "room1") == 0 &&
             uid == 42,
         "look-up gives room1/42");
  expect(KW_GetUidByGameObjectID(101, channel, &uid) == -1, "unmapped game object: -1");
  expect(KW_ClearReceiveOpenID("room1", 42) == 0, "unmap room1/42");
  expect(KW_ClearReceiveOpenID("room1", 42) == -1, "unmap again: -1");
  expect(KW_UninitKivraWwisePlugin() == 0, "shut down");
  expect(engine.media.observer == nullptr, "the bridge let go of the engine");

  std::ifstream log(logDir + "/kivra_wwise_log.txt");
  expect(log.good() && log.peek() != std::ifstream::traits_type::eof(), "log file written");
  std::printf("%s\n", failures == 0 ? "consumer: all checks passed" : "consumer: FAILED");
  return failures == 0 ? 0 : 1;
}
