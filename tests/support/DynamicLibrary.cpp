#include "DynamicLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kivra {
namespace test {

namespace {

void* openLibrary(const std::string& path, std::string& error) {
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error += path + ": LoadLibraryA error " + std::to_string(GetLastError()) + "; ";
  }
  return reinterpret_cast<void*>(module);
#else
  // RTLD_LOCAL: the library's own symbols stay out of the global namespace,
  // as when a game engine loads a plugin.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error += path + ": " + (why != nullptr ? why : "dlopen failed") + "; ";
  }
  return handle;
#endif
}

}  // namespace

DynamicLibrary::DynamicLibrary(const std::string& path, const std::string& fallback) {
  if (!path.empty()) handle_ = openLibrary(path, error_);
  if (handle_ == nullptr && !fallback.empty()) handle_ = openLibrary(fallback, error_);
  if (handle_ != nullptr) error_.clear();
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
}

}  // namespace test
}  // namespace kivra
