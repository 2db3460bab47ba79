// The game-object registry: both maps, their key functors, re-registration and
// removal where the maps are not inverses, the downlink switch and the log.
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "TestFrames.h"
#include "test_handler_support.h"

namespace {

using Key = std::pair<std::string, kivra::rtc::uid_t>;

const char* const kRegister = "register gameObjectId map, game id (%llu) -> uid (%u)";

std::string registerLine(unsigned long long g, unsigned u) {
  char text[128];
  std::snprintf(text, sizeof(text), kRegister, g, u);
  return text;
}
std::string unregisterLine(unsigned u) {
  return "unregister gameObjectId map, game id -> uid (" + std::to_string(u) + ")";
}

class RegistryTest : public FrontEndTest {
 protected:
  static void reg(unsigned long long g, const std::string& c, kivra::rtc::uid_t u) {
    Handler::KWPlugin_Receive_SetUidToGameObjectIDMapping(g, c, u);
  }
  static bool clear(const std::string& c, kivra::rtc::uid_t u) {
    return Handler::KWPlugin_Receive_ClearReceiveOpenID(c, u);
  }
  // Looks g up; on a miss the out-arguments must come back untouched.
  static bool find(unsigned long long g, std::string& c, kivra::rtc::uid_t& u) {
    return Handler::KWPlugin_Receive_GetUidByGameObjectID(g, c, u);
  }
  static Key found(unsigned long long g) {
    std::string c = "untouched";
    kivra::rtc::uid_t u = 99999;
    if (!find(g, c, u)) return Key("<none>", 0);
    return Key(c, u);
  }
  // A bridge object without binding, as the plugin side's switch makes one.
  static KivraWwiseCommWrapper* makeBridge() {
    Handler::SetTransferPlayoutData(false);
    return wrapper();
  }
};

TEST(RegistryKeys, HashCombinesStringAndShiftedUid) {
  KWChannelIDAndUserIDHash hash;
  for (const Key& k : {Key("", 0), Key("room", 42), Key("room", 0x80000001u), Key("x", UINT_MAX)}) {
    const size_t expected =
        std::hash<std::string>()(k.first) ^ (std::hash<kivra::rtc::uid_t>()(k.second) << 1);
    EXPECT_EQ(hash(k), expected) << k.first << "/" << k.second;
  }
  // Keys that differ only in the uid's top bit may collide (the bit is shifted
  // out on 32-bit builds); equality still tells them apart.
  KWChannelIDAndUserIDEqual eq;
  EXPECT_FALSE(eq(Key("room", 1), Key("room", 0x80000001u)));
}

TEST(RegistryKeys, EqualityIsExactOnStringAndUid) {
  KWChannelIDAndUserIDEqual eq;
  EXPECT_TRUE(eq(Key("room", 42), Key("room", 42)));
  EXPECT_FALSE(eq(Key("room", 42), Key("room", 43)));
  EXPECT_FALSE(eq(Key("Room", 42), Key("room", 42)));
  EXPECT_FALSE(eq(Key("room", 42), Key("room ", 42)));
  EXPECT_FALSE(eq(Key(std::string("ro\0m", 4), 42), Key(std::string("ro\0n", 4), 42)));
  EXPECT_TRUE(eq(Key("", 0), Key("", 0)));
}

TEST_F(RegistryTest, EmptyRegistryMissesAndRemovalSwitchesDownlinkOff) {
  std::string c = "keep";
  kivra::rtc::uid_t u = 5;
  EXPECT_FALSE(find(7, c, u));
  EXPECT_EQ(c, "keep");
  EXPECT_EQ(u, 5u);

  // Without a bridge object: false and the log line, nothing else.
  EXPECT_FALSE(clear("A", 42));
  EXPECT_EQ(wrapper(), nullptr);
  EXPECT_EQ(newLog(), Lines({unregisterLine(42)}));

  // With one: its downlink goes off because no mapping is left.
  Handler::SetTransferPlayoutData(true);
  KivraWwiseCommWrapper* w = wrapper();
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(BridgePeer::playState(*w));
  EXPECT_FALSE(clear("A", 42));
  EXPECT_FALSE(BridgePeer::playState(*w));
}

TEST_F(RegistryTest, ReRegisteringAGameObjectLeavesTheOldReverseEntry) {
  reg(7, "A", 42);
  reg(7, "A", 43);
  EXPECT_EQ(found(7), Key("A", 43));
  EXPECT_EQ(HandlerPeer::forwardSize(), 1u);
  EXPECT_EQ(HandlerPeer::reverseOf("A", 42), 7);
  EXPECT_EQ(HandlerPeer::reverseOf("A", 43), 7);

  // The stale reverse entry still names 7, so removing (A, 42) erases 7.
  EXPECT_TRUE(clear("A", 42));
  EXPECT_EQ(found(7), Key("<none>", 0));
  EXPECT_EQ(HandlerPeer::reverseOf("A", 42), -1);
  EXPECT_EQ(HandlerPeer::reverseOf("A", 43), 7);
  // (A, 43)'s reverse entry goes, but no forward entry was left to erase.
  EXPECT_FALSE(clear("A", 43));
  EXPECT_EQ(HandlerPeer::reverseSize(), 0u);
  EXPECT_EQ(HandlerPeer::forwardSize(), 0u);
}

TEST_F(RegistryTest, TwoGameObjectsForOneTalkerRemoveOnlyTheLast) {
  KivraWwiseCommWrapper* w = makeBridge();
  reg(7, "A", 42);
  reg(8, "A", 42);
  EXPECT_EQ(found(7), Key("A", 42));
  EXPECT_EQ(found(8), Key("A", 42));
  EXPECT_EQ(HandlerPeer::reverseOf("A", 42), 8);
  EXPECT_TRUE(BridgePeer::playState(*w));

  EXPECT_TRUE(clear("A", 42));
  EXPECT_EQ(found(8), Key("<none>", 0));
  EXPECT_EQ(found(7), Key("A", 42));
  // The reverse map is empty, so the downlink is off although 7 is mapped.
  EXPECT_FALSE(BridgePeer::playState(*w));
  // Removing the same pair twice: the second finds nothing.
  EXPECT_FALSE(clear("A", 42));
  EXPECT_EQ(found(7), Key("A", 42));
}

TEST_F(RegistryTest, DownlinkStaysOnWhileAnyMappingIsLeft) {
  KivraWwiseCommWrapper* w = makeBridge();
  reg(1, "A", 42);
  reg(2, "A", 43);
  reg(3, "a", 42);
  EXPECT_EQ(HandlerPeer::reverseSize(), 3u);  // uid and letter case make distinct keys
  EXPECT_EQ(found(1), Key("A", 42));
  EXPECT_EQ(found(2), Key("A", 43));
  EXPECT_EQ(found(3), Key("a", 42));
  EXPECT_TRUE(clear("A", 42));
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_TRUE(clear("a", 42));
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_FALSE(clear("a", 43));  // never registered
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_TRUE(clear("A", 43));
  EXPECT_FALSE(BridgePeer::playState(*w));
}

TEST_F(RegistryTest, RegisteringAsksTheBridgeToKeepTheTalkerExceptUidZero) {
  KivraWwiseCommWrapper* w = makeBridge();
  ASSERT_FALSE(BridgePeer::playState(*w));
  reg(9, "A", 0);
  EXPECT_EQ(found(9), Key("A", 0));
  EXPECT_EQ(HandlerPeer::reverseOf("A", 0), 9);
  EXPECT_TRUE(BridgePeer::playState(*w));
  EXPECT_EQ(BridgePeer::userCount(*w), 0u);

  reg(10, "A", 42);
  EXPECT_TRUE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_EQ(BridgePeer::userCount(*w), 1u);
  // Removal releases the talker's record: no game object names it any more.
  EXPECT_TRUE(clear("A", 42));
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_EQ(BridgePeer::userCount(*w), 0u);
}

TEST_F(RegistryTest, WithoutABridgeOnlyTheMapsAndTheLogChange) {
  reg(18446744073709551615ull, "chan", 4294967295u);
  EXPECT_EQ(wrapper(), nullptr);
  EXPECT_EQ(BridgePeer::instance(), nullptr);
  EXPECT_EQ(found(18446744073709551615ull), Key("chan", 4294967295u));
  EXPECT_EQ(
      newLog(),
      Lines({"register gameObjectId map, game id (18446744073709551615) -> uid (4294967295)"}));

  // Not replayed: a bridge created later keeps no audio for the talker.
  Handler::SetTransferPlayoutData(true);
  ASSERT_NE(wrapper(), nullptr);
  EXPECT_EQ(BridgePeer::userCount(*wrapper()), 0u);
}

TEST_F(RegistryTest, LogLinesOfRegistrationAndRemoval) {
  makeBridge();
  skipLog();
  // The bridge keeps the talker and switches its downlink first; the
  // registry's own line comes last.
  reg(7, "A", 42);
  Lines log = newLog();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(inOrder(log, {"setReceiveOpenIDWithGameObjectID set channel id A and user id 42 "
                            "for game 7",
                            "setTransferPlayerDataState enable 1", registerLine(7, 42)}));
  EXPECT_EQ(log.back(), registerLine(7, 42));
  EXPECT_EQ(countOf(log, registerLine(7, 42)), 1u);
  // Removal logs, releases the talker, then switches the downlink.
  clear("A", 42);
  clear("A", 42);
  EXPECT_EQ(newLog(), Lines({unregisterLine(42), " release buffer for uid 42, channel A",
                             "setTransferPlayerDataState enable 0", unregisterLine(42),
                             "setTransferPlayerDataState enable 0"}));
}

TEST_F(RegistryTest, TeardownEmptiesBothMapsAndInitKeepsThem) {
  reg(7, "A", 42);
  reg(8, "B", 43);
  int track = -7;
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  EXPECT_EQ(found(7), Key("A", 42));
  ASSERT_EQ(Handler::InitKivraWwisePlugin(&engine_, track), 0);
  EXPECT_EQ(found(8), Key("B", 43));
  EXPECT_EQ(HandlerPeer::reverseSize(), 2u);

  EXPECT_EQ(Handler::UninitKivraWwisePlugin(), 0);
  EXPECT_EQ(HandlerPeer::forwardSize(), 0u);
  EXPECT_EQ(HandlerPeer::reverseSize(), 0u);
  EXPECT_EQ(found(7), Key("<none>", 0));
  EXPECT_FALSE(clear("A", 42));

  // Usable again after teardown, before any new binding.
  reg(7, "C", 1);
  EXPECT_EQ(found(7), Key("C", 1));
}

TEST_F(RegistryTest, AnyIdAndStringIsAccepted) {
  const std::string longId(4096, 'x');
  const std::string binary("\xff\xfe\x01", 3);
  reg(0, "", 0);
  reg(1, longId, 1);
  reg(2, binary, 2);
  EXPECT_EQ(found(0), Key("", 0));
  EXPECT_EQ(found(1), Key(longId, 1));
  EXPECT_EQ(found(2), Key(binary, 2));
  EXPECT_TRUE(clear("", 0));
  EXPECT_TRUE(clear(longId, 1));
  EXPECT_TRUE(clear(binary, 2));
  EXPECT_EQ(HandlerPeer::forwardSize(), 0u);
}

// ---------------------------------------------------------------------------
// A talker is released when no game object's mapping names it any more.

std::string releaseLine(const std::string& c, unsigned u) {
  return " release buffer for uid " + std::to_string(u) + ", channel " + c;
}

TEST_F(RegistryTest, AnUnmappedTalkerIsReleasedRefusedSilentlyAndFreshWhenMappedAgain) {
  KivraWwiseCommWrapper* w = makeBridge();
  reg(7, "A", 42);
  kivra::test::StereoFrame frame(5);
  ASSERT_TRUE(w->onPlaybackAudioFrameBeforeMixing("A", 42, frame.frame));
  ASSERT_EQ(BridgePeer::queued(*w, "A", 42), 960);
  skipLog();

  EXPECT_TRUE(clear("A", 42));
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_EQ(BridgePeer::userCount(*w), 0u);
  EXPECT_EQ(newLog(), Lines({unregisterLine(42), releaseLine("A", 42),
                             "setTransferPlayerDataState enable 0"}));

  // Its frames are refused like a never-mapped talker's: false, untouched,
  // no line; Wwise asking for its game object gets nothing, no line either.
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(w->onPlaybackAudioFrameBeforeMixing("A", 42, frame.frame));
  }
  EXPECT_EQ(frame.samples, std::vector<int16_t>(960, 5));
  kivra::standin::FloatBufferProxy pull(1024, 2);
  Handler::GetPlayoutAudioFrameByUid(&pull, 7);
  EXPECT_EQ(pull.markStateCalls(), 0);
  EXPECT_TRUE(newLog().empty());

  // Mapped again: a fresh, empty queue (nothing reused), frames accepted.
  reg(7, "A", 42);
  EXPECT_EQ(BridgePeer::queued(*w, "A", 42), 0);
  const Lines log = newLog();
  EXPECT_EQ(countOf(log, "warning, please check why userID 42 is reused"), 0u);
  EXPECT_EQ(countOf(log, " create buffer for uid 42, channel A"), 1u);
  EXPECT_TRUE(w->onPlaybackAudioFrameBeforeMixing("A", 42, frame.frame));
  EXPECT_EQ(BridgePeer::queued(*w, "A", 42), 960);
}

TEST_F(RegistryTest, AGameObjectMappedToAnotherTalkerReleasesTheFirst) {
  KivraWwiseCommWrapper* w = makeBridge();
  reg(7, "A", 42);
  skipLog();
  reg(7, "A", 43);
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_TRUE(BridgePeer::hasUser(*w, "A", 43));
  EXPECT_EQ(countOf(newLog(), releaseLine("A", 42)), 1u);
  // Removing (A, 42) erases game object 7's entry, which names (A, 43): no
  // game object names (A, 43) any more either.
  EXPECT_TRUE(clear("A", 42));
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 43));
  EXPECT_EQ(countOf(newLog(), releaseLine("A", 43)), 1u);
  EXPECT_FALSE(clear("A", 43));
  EXPECT_TRUE(newLog() == Lines({unregisterLine(43), "setTransferPlayerDataState enable 0"}));
  EXPECT_EQ(BridgePeer::userCount(*w), 0u);
}

TEST_F(RegistryTest, ATalkerStaysWhileAnyGameObjectNamesIt) {
  KivraWwiseCommWrapper* w = makeBridge();
  reg(7, "A", 42);
  reg(8, "A", 42);
  // (A, 42)'s reverse entry names 8: only 8's entry goes; 7 still names it.
  EXPECT_TRUE(clear("A", 42));
  EXPECT_EQ(found(7), Key("A", 42));
  EXPECT_TRUE(BridgePeer::hasUser(*w, "A", 42));
  // Re-registering 7 to the same talker keeps it too.
  reg(7, "A", 42);
  EXPECT_TRUE(BridgePeer::hasUser(*w, "A", 42));
  skipLog();
  // 7 moves on: nothing names (A, 42).
  reg(7, "B", 42);
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_TRUE(BridgePeer::hasUser(*w, "B", 42));
  EXPECT_EQ(countOf(newLog(), releaseLine("A", 42)), 1u);
}

TEST_F(RegistryTest, ReleasingATalkerWithoutARecordIsQuiet) {
  // Registered before any bridge existed (never replayed), or uid 0: the
  // bridge holds no record, so removal releases nothing and says nothing.
  reg(7, "A", 42);
  KivraWwiseCommWrapper* w = makeBridge();
  reg(9, "A", 0);
  skipLog();
  EXPECT_TRUE(clear("A", 42));
  EXPECT_TRUE(clear("A", 0));
  EXPECT_EQ(newLog(), Lines({unregisterLine(42), "setTransferPlayerDataState enable 1",
                             unregisterLine(0), "setTransferPlayerDataState enable 0"}));
  EXPECT_EQ(BridgePeer::userCount(*w), 0u);
  // Without a bridge at all: the maps change, nothing else.
  Handler::UninitKivraWwisePlugin();
  reg(7, "A", 42);
  EXPECT_TRUE(clear("A", 42));
  EXPECT_EQ(HandlerPeer::forwardSize(), 0u);
}

TEST_F(RegistryTest, TeardownForgetsWhoNamesWhichTalker) {
  reg(7, "A", 42);
  reg(8, "A", 42);
  Handler::UninitKivraWwisePlugin();
  // After teardown one mapping is the only one naming the talker again.
  KivraWwiseCommWrapper* w = makeBridge();
  reg(7, "A", 42);
  ASSERT_TRUE(BridgePeer::hasUser(*w, "A", 42));
  EXPECT_TRUE(clear("A", 42));
  EXPECT_FALSE(BridgePeer::hasUser(*w, "A", 42));
}

}  // namespace
