// Reading log lines back for the log writer's tests: the layout check and
// the thread-id form of the build's platform.
#pragma once

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "KivraCommLog.h"
#include "platform/KivraCommPlatform.h"

namespace kivra {
namespace test {

struct LogLine {
  std::string threadId;
  std::string stamp;
  std::string message;
};

inline bool allDigits(const std::string& s, size_t from, size_t count) {
  if (from + count > s.size()) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

inline int field(const std::string& s, size_t from, size_t count) {
  return std::stoi(s.substr(from, count));
}

// "YYYY-MM-DD hh:mm:ss:mmm" with every field in its range.
inline bool isTimeStamp(const std::string& s) {
  if (s.size() != 23) return false;
  if (!allDigits(s, 0, 4) || s[4] != '-' || !allDigits(s, 5, 2) || s[7] != '-' ||
      !allDigits(s, 8, 2) || s[10] != ' ' || !allDigits(s, 11, 2) || s[13] != ':' ||
      !allDigits(s, 14, 2) || s[16] != ':' || !allDigits(s, 17, 2) || s[19] != ':' ||
      !allDigits(s, 20, 3)) {
    return false;
  }
  const int month = field(s, 5, 2), day = field(s, 8, 2), hour = field(s, 11, 2);
  const int minute = field(s, 14, 2), second = field(s, 17, 2);
  return field(s, 0, 4) >= 2000 && month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
         hour <= 23 && minute <= 59 && second <= 60;
}

// The thread id in the form the build's platform writes it.
inline bool isThreadIdOfPlatform(const std::string& id) {
  if (id.empty()) return false;
  const std::string platform = kivra::platform::name();
  if (platform == "macos") {
    if (id.size() < 3 || id.compare(0, 2, "0x") != 0) return false;
    for (size_t i = 2; i < id.size(); ++i) {
      if (!std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return true;
  }
  const size_t start = (platform == "android" && id[0] == '-') ? 1 : 0;
  return id.size() > start && allDigits(id, start, id.size() - start);
}

// Splits one line; false when it does not have the log layout.
inline bool parseLogLine(const std::string& line, LogLine* out) {
  const size_t space = line.find(' ');
  if (space == std::string::npos || space == 0) return false;
  if (line.size() < space + 1 + 23 + 1 || line[space + 1 + 23] != ' ') return false;
  out->threadId = line.substr(0, space);
  out->stamp = line.substr(space + 1, 23);
  out->message = line.substr(space + 1 + 23 + 1);
  return isThreadIdOfPlatform(out->threadId) && isTimeStamp(out->stamp);
}

// The calling thread's id as the log writes it.
inline std::string currentThreadId() {
  std::ostringstream out;
  kivra::platform::writeThreadId(out);
  return out.str();
}

// The whole file as bytes (text mode, so "\r\n" reads as "\n" on Windows).
inline std::string readAll(const std::string& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace test
}  // namespace kivra
