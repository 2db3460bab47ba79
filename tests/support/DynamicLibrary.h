// Loads a shared library at run time the way a game does, and resolves its
// functions by name. dlopen/dlsym on POSIX, LoadLibraryA/GetProcAddress on
// Windows (also under Wine).
#pragma once

#include <string>

namespace kivra {
namespace test {

class DynamicLibrary {
 public:
  // Tries each candidate in turn (a full path, then e.g. a bare file name that
  // the system loader finds beside the executable). Loaded() tells whether one
  // worked; Error() says why not.
  explicit DynamicLibrary(const std::string& path, const std::string& fallback = std::string());
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;

  template <typename Fn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace test
}  // namespace kivra
