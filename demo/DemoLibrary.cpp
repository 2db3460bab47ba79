#include "DemoLibrary.h"

#include <filesystem>

#include <dlfcn.h>

namespace kivra {
namespace demo {
namespace {

template <typename Fn>
bool resolve(void* handle, const char* name, Fn& out, std::string& error) {
  void* sym = dlsym(handle, name);
  if (sym == nullptr) {
    error = std::string("the library does not export ") + name;
    return false;
  }
  out = reinterpret_cast<Fn>(sym);
  return true;
}

}  // namespace

WrapperLibrary::~WrapperLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool WrapperLibrary::load(const std::string& path, std::string& error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error = "cannot load '" + path + "': " + (why != nullptr ? why : "unknown error");
    return false;
  }
  return resolve(handle_, "KW_InitKivraWwisePlugin", api_.init, error) &&
         resolve(handle_, "KW_UninitKivraWwisePlugin", api_.uninit, error) &&
         resolve(handle_, "KW_SetUidToGameObjectIDMapping", api_.setMapping, error) &&
         resolve(handle_, "KW_GetUidByGameObjectID", api_.getMapping, error) &&
         resolve(handle_, "KW_ClearReceiveOpenID", api_.clearMapping, error) &&
         resolve(handle_, "KW_SetWwiseSampleRate", api_.setRate, error);
}

bool WrapperLibrary::loadOption(const std::string& libraryOption, std::string& error) {
  if (load(libraryOption.empty() ? defaultWrapperPath() : libraryOption, error)) return true;
  error = "--library: " + error;
  return false;
}

std::string defaultWrapperPath() { return KIVRA_DEMO_WRAPPER_PATH; }

bool makeOutputFolder(const std::string& dir, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    error = "--out: cannot create folder '" + dir + "'";
    return false;
  }
  return true;
}

}  // namespace demo
}  // namespace kivra
