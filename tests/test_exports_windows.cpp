// The shipped Windows DLL as the loader sees it: it loads beside the SDK DLL
// with no GCC runtime DLLs, resolves every exported name, keeps its own
// internals unexported, exports a well-formed virtual table and type info for
// the buffer proxy, and runs the Windows log path rule.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char* const kSix[] = {"KW_InitKivraWwisePlugin",        "KW_UninitKivraWwisePlugin",
                            "KW_SetUidToGameObjectIDMapping", "KW_GetUidByGameObjectID",
                            "KW_ClearReceiveOpenID",          "KW_SetWwiseSampleRate"};

const char* const kProxyMembers[] = {
    "_ZN19IAkAudioBufferProxyC1Ev",    "_ZN19IAkAudioBufferProxyC2Ev",
    "_ZN19IAkAudioBufferProxyC1ERKS_", "_ZN19IAkAudioBufferProxyC2ERKS_",
    "_ZN19IAkAudioBufferProxyD0Ev",    "_ZN19IAkAudioBufferProxyD1Ev",
    "_ZN19IAkAudioBufferProxyD2Ev",    "_ZN19IAkAudioBufferProxyaSERKS_",
    "_ZTV19IAkAudioBufferProxy",       "_ZTI19IAkAudioBufferProxy"};

// Inside the library only: the callbacks reach the SDK by pointer.
const char* const kInternal[] = {"SetTransferRecordingData",
                                 "GetRecodeAudioFrame",
                                 "PushRecodeAudioFrameAfterEffect",
                                 "SetTransferPlayoutData",
                                 "GetPlayoutAudioFrameByUid",
                                 "PushPlayoutAudioFrameAfterEffect",
                                 "_Z11KV_INIT_LOGPKc",
                                 "_Z6KV_LOGPKcz",
                                 "LogDir",
                                 "m_wrapper"};

class WindowsDll : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA("KivraWwiseWrapper.dll");
    ASSERT_NE(module_, nullptr) << "LoadLibrary failed, error " << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  void* find(const char* name) { return reinterpret_cast<void*>(GetProcAddress(module_, name)); }
  HMODULE module_ = nullptr;
};

TEST_F(WindowsDll, ExportsTheSixFunctionsAndTheProxyMembersOnly) {
  for (const char* name : kSix) EXPECT_NE(find(name), nullptr) << name;
  for (const char* name : kProxyMembers) EXPECT_NE(find(name), nullptr) << name;
  for (const char* name : kInternal) EXPECT_EQ(find(name), nullptr) << name;
}

// A class derived in another module points its type info at the exported
// one and its constructors install the exported virtual table first.
TEST_F(WindowsDll, ProxyVirtualTablePointsAtTheExportedTypeInfo) {
  auto* vtable = static_cast<void* const*>(find("_ZTV19IAkAudioBufferProxy"));
  auto* typeInfo = static_cast<void* const*>(find("_ZTI19IAkAudioBufferProxy"));
  ASSERT_NE(vtable, nullptr);
  ASSERT_NE(typeInfo, nullptr);
  // Itanium layout: offset to top, then the type info.
  EXPECT_EQ(reinterpret_cast<std::intptr_t>(vtable[0]), 0);
  EXPECT_EQ(vtable[1], typeInfo);
  // The type info: its own virtual table, then the mangled class name.
  EXPECT_NE(typeInfo[0], nullptr);
  EXPECT_STREQ(static_cast<const char*>(typeInfo[1]), "19IAkAudioBufferProxy");
}

TEST_F(WindowsDll, SessionThroughTheExportsLogsToTheBackslashJoinedFile) {
  using InitFn = int (*)(void*, int*, const char*);
  using UninitFn = int (*)();
  using MapFn = int (*)(unsigned long long, const char*, unsigned int);
  using LookupFn = int (*)(unsigned long long, char*, unsigned int*);
  using ClearFn = int (*)(const char*, unsigned int);
  auto init = reinterpret_cast<InitFn>(find("KW_InitKivraWwisePlugin"));
  auto uninit = reinterpret_cast<UninitFn>(find("KW_UninitKivraWwisePlugin"));
  auto map = reinterpret_cast<MapFn>(find("KW_SetUidToGameObjectIDMapping"));
  auto lookup = reinterpret_cast<LookupFn>(find("KW_GetUidByGameObjectID"));
  auto clear = reinterpret_cast<ClearFn>(find("KW_ClearReceiveOpenID"));
  ASSERT_TRUE(init && uninit && map && lookup && clear);

  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("kivra_exports_" + std::to_string(GetCurrentProcessId()));
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  // A Windows path: backslashes, no trailing separator.
  std::string logDir = dir.string();
  ASSERT_EQ(logDir.find('/'), std::string::npos) << logDir;

  // No engine: binding fails, the log stays open and the registry works.
  int trackId = 12345;
  EXPECT_EQ(init(nullptr, &trackId, logDir.c_str()), -1);
  EXPECT_EQ(trackId, 12345);
  EXPECT_EQ(map(42, "chan", 7), 0);
  char channel[16] = "";
  unsigned int uid = 0;
  EXPECT_EQ(lookup(42, channel, &uid), 0);
  EXPECT_STREQ(channel, "chan");
  EXPECT_EQ(uid, 7u);
  EXPECT_EQ(clear("chan", 7), 0);
  std::strcpy(channel, "keep");
  EXPECT_EQ(lookup(42, channel, &uid), -1);
  EXPECT_STREQ(channel, "keep");
  EXPECT_EQ(uninit(), 0);

  std::ifstream log(dir / "kivra_wwise_log.txt");
  ASSERT_TRUE(log.good()) << "no " << logDir << "\\kivra_wwise_log.txt";
  // Windows thread id: GetCurrentThreadId() in decimal, then the time stamp.
  const std::string threadPrefix = std::to_string(GetCurrentThreadId()) + " ";
  const std::string mapLine = "register gameObjectId map, game id (42) -> uid (7)";
  bool found = false;
  std::string line;
  while (std::getline(log, line)) {
    EXPECT_EQ(line.rfind(threadPrefix, 0), 0u) << line;
    if (line.size() >= mapLine.size() &&
        line.compare(line.size() - mapLine.size(), mapLine.size(), mapLine) == 0) {
      found = true;
    }
  }
  EXPECT_TRUE(found) << "no line ending in: " << mapLine;
  log.close();
  std::filesystem::remove_all(dir);
}

}  // namespace
