// Loads libKivraWwiseWrapper the way a game does: by path at run time, then
// the six exported functions by name.
#pragma once

#include <string>

namespace kivra {
namespace demo {

struct WrapperApi {
  int (*init)(void* engine, int* outTrackId, const char* logPath) = nullptr;
  int (*uninit)() = nullptr;
  int (*setMapping)(unsigned long long gameObjectID, const char* channelID,
                    unsigned int userID) = nullptr;
  int (*getMapping)(unsigned long long gameObjectID, char* channelID,
                    unsigned int* userID) = nullptr;
  int (*clearMapping)(const char* channelID, unsigned int userID) = nullptr;
  int (*setRate)(int sampleRate) = nullptr;
};

// Owns the loaded library; unloads it when destroyed.
class WrapperLibrary {
 public:
  WrapperLibrary() = default;
  ~WrapperLibrary();
  WrapperLibrary(const WrapperLibrary&) = delete;
  WrapperLibrary& operator=(const WrapperLibrary&) = delete;

  // False with a message naming the library or the missing function.
  bool load(const std::string& path, std::string& error);
  // The --library option's library, or the one built beside the demo when
  // the option is empty; the message starts with "--library: ".
  bool loadOption(const std::string& libraryOption, std::string& error);
  const WrapperApi& api() const { return api_; }

 private:
  void* handle_ = nullptr;
  WrapperApi api_;
};

// The library built beside the demo.
std::string defaultWrapperPath();

// Creates the output folder `dir` (and its parents). False with a message
// starting "--out: " when it cannot be made.
bool makeOutputFolder(const std::string& dir, std::string& error);

}  // namespace demo
}  // namespace kivra
