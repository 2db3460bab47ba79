// Counting a line that the bridge paces: the first line of a bad state is
// written, its repeats are counted and summed up as
//   "repeated <n> times in <t> ms, not written: <first line>".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivra {
namespace test {

constexpr const char* kRepeatedMarker = ", not written: ";

// For a summary message: true, with its count and the message it stands for.
inline bool parseRepeated(const std::string& message, long long* count, long long* ms,
                          std::string* line) {
  long long n = 0, t = 0;
  int used = 0;
  if (std::sscanf(message.c_str(), "repeated %lld times in %lld ms%n", &n, &t, &used) != 2) {
    return false;
  }
  const std::string marker = kRepeatedMarker;
  if (message.compare(static_cast<size_t>(used), marker.size(), marker) != 0) return false;
  *count = n;
  *ms = t;
  *line = message.substr(static_cast<size_t>(used) + marker.size());
  return true;
}

// How many times a line occurred, the repeats left out included: a message
// for which match() holds counts 1, a summary of such a message its count.
template <typename Match>
int64_t occurrences(const std::vector<std::string>& messages, Match match) {
  int64_t total = 0;
  for (const std::string& m : messages) {
    long long n = 0, t = 0;
    std::string line;
    if (parseRepeated(m, &n, &t, &line)) {
      if (match(line)) total += n;
    } else if (match(m)) {
      ++total;
    }
  }
  return total;
}

}  // namespace test
}  // namespace kivra
