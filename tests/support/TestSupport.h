// Helpers shared by the test binaries: scratch directories, reading the log.
#pragma once

#include <string>
#include <vector>

namespace kivra {
namespace test {

// A fresh, empty directory for one test, removed when the object dies.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Every line of a text file, without line ends; empty if it cannot be read.
std::vector<std::string> readLines(const std::string& file);
bool fileExists(const std::string& file);
// The message part of a log line (after thread id and time stamp), or the
// whole line if it does not have the log layout.
std::string logMessage(const std::string& line);
// The messages of every line of a log file, in order.
std::vector<std::string> logMessages(const std::string& file);

}  // namespace test
}  // namespace kivra
