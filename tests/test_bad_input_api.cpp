// Bad input at the game's interface: null arguments, channel ids that are
// empty, very long or not UTF-8, game object ids and uids at their limits,
// and caller memory that goes away after the call. Every case gets a result
// the caller can rely on, changes nothing it should not, and loses no audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KivraCommLog.h"
#include "KivraRtcEngine.h"
#include "KivraStandInSdk.h"
#include "KivraWwiseWrapper.h"
#include "TestSupport.h"
#include "ak_wrapper_c_api.h"

namespace {

namespace media = kivra::media;
namespace rtc = kivra::rtc;
using kivra::standin::FloatBufferProxy;
using Lines = std::vector<std::string>;

class BadApiInput : public ::testing::Test {
 protected:
  void SetUp() override {
    KW_UninitKivraWwisePlugin();
    kivra::standin::resetPluginCallbacks();
    ASSERT_EQ(init(), 0);
    observer_ = engine_.mediaEngine().observer();
    ASSERT_NE(observer_, nullptr);
    SetTransferRecordingData(true);
  }
  void TearDown() override { KW_UninitKivraWwisePlugin(); }

  int init() {
    return KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&engine_), &track_,
                                   dir_.path().c_str());
  }
  Lines log() const {
    KV_FLUSH_LOG();
    return kivra::test::logMessages(dir_.path() + "/kivra_wwise_log.txt");
  }
  size_t count(const std::string& line) const {
    const Lines l = log();
    return static_cast<size_t>(std::count(l.begin(), l.end(), line));
  }

  // One 10 ms talker block whose samples start at `first`, counting up.
  bool talkerBlock(const char* channel, unsigned uid, int first) {
    std::vector<int16_t> s(960);
    for (int i = 0; i < 960; ++i) s[i] = static_cast<int16_t>(first + i);
    media::AudioFrame f{};
    f.type = media::FRAME_TYPE_PCM16;
    f.samplesPerChannel = 480;
    f.bytesPerSample = media::TWO_BYTES_PER_SAMPLE;
    f.channels = 2;
    f.samplesPerSec = 48000;
    f.buffer = s.data();
    return observer_->onPlaybackAudioFrameBeforeMixing(channel, uid, f);
  }

  // Pulls a game object's voice; true when the block counting from `first`
  // arrived whole and exact.
  bool pulls(unsigned long long gameObject, int first) {
    FloatBufferProxy p(1024, 2);
    GetPlayoutAudioFrameByUid(&p, gameObject);
    if (p.setFilledFramesCalls() != 1 || p.FilledFrames() != 480) return false;
    for (int i = 0; i < 480; ++i) {
      if (p.channel(0)[i] != static_cast<float>(first + 2 * i) / 32768.0f) return false;
      if (p.channel(1)[i] != static_cast<float>(first + 2 * i + 1) / 32768.0f) return false;
    }
    return true;
  }

  // Looks a game object up into a buffer of exactly the registered length + 1.
  int lookUp(unsigned long long gameObject, size_t longest, std::string* channel, unsigned* uid) {
    std::unique_ptr<char[]> buf(new char[longest + 1]);
    std::memset(buf.get(), 'q', longest + 1);
    const int r = KW_GetUidByGameObjectID(gameObject, buf.get(), uid);
    if (r == 0) *channel = buf.get();
    return r;
  }

  kivra::test::TempDir dir_{"badinput-api"};
  kivra::standin::RecordingRtcEngine engine_;
  int track_ = 0;
  media::IAudioFrameObserver* observer_ = nullptr;
};

TEST_F(BadApiInput, NullArgumentsAreRefusedLoggedAndChangeNothing) {
  ASSERT_EQ(KW_SetUidToGameObjectIDMapping(5, "room", 7), 0);

  EXPECT_EQ(KW_SetUidToGameObjectIDMapping(6, nullptr, 7), -1);
  char buf[16] = "untouched";
  unsigned uid = 99;
  EXPECT_EQ(KW_GetUidByGameObjectID(6, buf, &uid), -1);  // nothing was mapped
  EXPECT_EQ(KW_GetUidByGameObjectID(5, nullptr, &uid), -1);
  EXPECT_EQ(uid, 99u);
  EXPECT_EQ(KW_GetUidByGameObjectID(5, buf, nullptr), -1);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_EQ(KW_ClearReceiveOpenID(nullptr, 7), -1);

  // The mapping made before is intact and still carries audio.
  EXPECT_EQ(KW_GetUidByGameObjectID(5, buf, &uid), 0);
  EXPECT_STREQ(buf, "room");
  EXPECT_EQ(uid, 7u);
  ASSERT_TRUE(talkerBlock("room", 7, 100));
  EXPECT_TRUE(pulls(5, 100));

  EXPECT_EQ(count("register gameObjectId map refused: null channel id, game id (6)"), 1u);
  EXPECT_EQ(count("look up gameObjectId map refused: null argument, game id (5)"), 2u);
  EXPECT_EQ(count("unregister gameObjectId map refused: null channel id, uid (7)"), 1u);
}

TEST_F(BadApiInput, InitRefusesNullEngineAndNullOutArgumentWithoutUnbinding) {
  int out = -7;
  EXPECT_EQ(KW_InitKivraWwisePlugin(nullptr, &out, dir_.path().c_str()), -1);
  EXPECT_EQ(out, -7);
  // Each init reopens (empties) the log, so look at it after each call.
  EXPECT_EQ(count("init refused: null rtc engine!"), 1u);
  EXPECT_EQ(KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&engine_), nullptr,
                                    dir_.path().c_str()),
            -1);
  // Still bound: the observer is registered and the uplink still flows.
  EXPECT_EQ(engine_.mediaEngine().observer(), observer_);
  std::vector<int16_t> s(960, 1234);
  media::AudioFrame f{};
  f.samplesPerChannel = 480;
  f.channels = 2;
  f.buffer = s.data();
  observer_->onRecordAudioFrame("mic", f);
  FloatBufferProxy p(1024, 2);
  GetRecodeAudioFrame(&p);
  EXPECT_EQ(p.FilledFrames(), 480);
  EXPECT_EQ(count("init refused: null track id argument!"), 1u);
}

TEST_F(BadApiInput, InitWithoutUsableLogDirectoryStillBinds) {
  KW_UninitKivraWwisePlugin();
  int out = 0;
  // A null path opens no log; a missing directory opens one that writes nowhere.
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&engine_), &out, nullptr), 0);
  EXPECT_NE(engine_.mediaEngine().observer(), nullptr);
  EXPECT_EQ(KW_UninitKivraWwisePlugin(), 0);
  const std::string missing = dir_.path() + "/no/such/dir";
  ASSERT_EQ(KW_InitKivraWwisePlugin(static_cast<rtc::IRtcEngine*>(&engine_), &out, missing.c_str()),
            0);
  EXPECT_FALSE(kivra::test::fileExists(missing + "/kivra_wwise_log.txt"));
  observer_ = engine_.mediaEngine().observer();
  ASSERT_EQ(KW_SetUidToGameObjectIDMapping(1, "c", 2), 0);
  ASSERT_TRUE(talkerBlock("c", 2, -500));
  EXPECT_TRUE(pulls(1, -500));
}

TEST_F(BadApiInput, ChannelIdsEmptyHugeOrNotUtf8AreKeptByteForByte) {
  const std::string huge(100 * 1024, 'x');
  const std::vector<std::string> ids = {"",     huge,  "\xff\xfe\xc3\x28", "room\xe2\x82",
                                        "Room", "room"};
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(100 + i, ids[i].c_str(), 40), 0) << i;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string channel;
    unsigned uid = 0;
    ASSERT_EQ(lookUp(100 + i, huge.size(), &channel, &uid), 0) << i;
    EXPECT_EQ(channel, ids[i]) << i;
    EXPECT_EQ(uid, 40u);
  }
  // Each id is its own talker ("Room" and "room" too): audio lands only on
  // the game object mapped to it.
  for (size_t i = 0; i < ids.size(); ++i)
    ASSERT_TRUE(talkerBlock(ids[i].c_str(), 40, static_cast<int>(1000 * i))) << i;
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_TRUE(pulls(100 + i, 1000 * i)) << i;

  // Removal by the same bytes works; the log never holds a line past its
  // 511-character message limit, whatever the id's length.
  EXPECT_EQ(KW_ClearReceiveOpenID(huge.c_str(), 40), 0);
  EXPECT_EQ(KW_ClearReceiveOpenID("", 40), 0);
  EXPECT_EQ(KW_ClearReceiveOpenID("", 40), -1);
  for (const std::string& line : log()) EXPECT_LE(line.size(), 511u);
}

TEST_F(BadApiInput, GameObjectIdsAtTheLimitsStayDistinct) {
  const unsigned long long ids[] = {0ull, ~0ull, (1ull << 32) | 1, 1ull, 1ull << 63};
  for (int i = 0; i < 5; ++i) {
    const std::string channel = "talker-" + std::to_string(i);
    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(ids[i], channel.c_str(), 10 + i), 0);
  }
  for (int i = 0; i < 5; ++i) {
    std::string channel;
    unsigned uid = 0;
    ASSERT_EQ(lookUp(ids[i], 16, &channel, &uid), 0);
    EXPECT_EQ(channel, "talker-" + std::to_string(i));
    EXPECT_EQ(uid, 10u + i);
    ASSERT_TRUE(talkerBlock(channel.c_str(), 10 + i, 300 * i));
  }
  // The callback carries the full 64-bit id: no truncation mixes up 1 and 2^32 + 1.
  for (int i = 4; i >= 0; --i) EXPECT_TRUE(pulls(ids[i], 300 * i)) << i;
  EXPECT_EQ(count("register gameObjectId map, game id (18446744073709551615) -> uid (11)"), 1u);
}

TEST_F(BadApiInput, UidsAtTheLimits) {
  // uid 0 is stored but keeps no audio; the largest uid works like any other.
  ASSERT_EQ(KW_SetUidToGameObjectIDMapping(1, "c", 0), 0);
  ASSERT_EQ(KW_SetUidToGameObjectIDMapping(2, "c", 0xFFFFFFFFu), 0);
  std::string channel;
  unsigned uid = 5;
  ASSERT_EQ(lookUp(1, 1, &channel, &uid), 0);
  EXPECT_EQ(uid, 0u);
  EXPECT_FALSE(talkerBlock("c", 0, 1));
  FloatBufferProxy p(1024, 2);
  GetPlayoutAudioFrameByUid(&p, 1);
  EXPECT_EQ(p.setFilledFramesCalls(), 0);

  ASSERT_TRUE(talkerBlock("c", 0xFFFFFFFFu, 7));
  EXPECT_TRUE(pulls(2, 7));
  EXPECT_EQ(count("register gameObjectId map, game id (2) -> uid (4294967295)"), 1u);
  EXPECT_EQ(count(" create buffer for uid -1, channel c"), 1u);  // the bridge prints %d
  EXPECT_EQ(KW_ClearReceiveOpenID("c", 0xFFFFFFFFu), 0);
}

TEST_F(BadApiInput, CallerMemoryIsNotKeptAfterTheCall) {
  // The channel id is copied: the caller may free or reuse its string.
  {
    std::unique_ptr<char[]> id(new char[8]);
    std::strcpy(id.get(), "gone");
    ASSERT_EQ(KW_SetUidToGameObjectIDMapping(3, id.get(), 8), 0);
    std::strcpy(id.get(), "reused");
  }
  std::string channel;
  unsigned uid = 0;
  ASSERT_EQ(lookUp(3, 8, &channel, &uid), 0);
  EXPECT_EQ(channel, "gone");

  // Engine frames and Wwise buffers are used only during the call that passes
  // them (AddressSanitizer would report any later access to these).
  {
    auto samples = std::make_unique<std::vector<int16_t>>(960);
    for (int i = 0; i < 960; ++i) (*samples)[i] = static_cast<int16_t>(i + 1);
    media::AudioFrame f{};
    f.samplesPerChannel = 480;
    f.channels = 2;
    f.buffer = samples->data();
    ASSERT_TRUE(observer_->onPlaybackAudioFrameBeforeMixing("gone", 8, f));
  }
  {
    auto first = std::make_unique<FloatBufferProxy>(100, 2);
    GetPlayoutAudioFrameByUid(first.get(), 3);
    EXPECT_EQ(first->FilledFrames(), 100);
    first->setFilled(100);
    PushPlayoutAudioFrameAfterEffect(first.get());
    PushRecodeAudioFrameAfterEffect(first.get());
  }
  FloatBufferProxy rest(1024, 2);
  GetPlayoutAudioFrameByUid(&rest, 3);
  ASSERT_EQ(rest.FilledFrames(), 380);
  EXPECT_EQ(rest.channel(0)[0], 201.0f / 32768.0f);
  EXPECT_EQ(rest.channel(1)[379], 960.0f / 32768.0f);
}

}  // namespace
