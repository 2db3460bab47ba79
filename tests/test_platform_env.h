// Sets an environment variable for one test and puts the old value back.
#pragma once

#include <cstdlib>
#include <string>

#include "platform/KivraCommPlatform.h"

namespace kivra {
namespace test {

class ScopedEnv {
 public:
  // value null: the variable is removed for the scope.
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    kivra::platform::setEnvironmentVariable(name, value);
  }
  ~ScopedEnv() {
    kivra::platform::setEnvironmentVariable(name_.c_str(), had_ ? old_.c_str() : nullptr);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace test
}  // namespace kivra
