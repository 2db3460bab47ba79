#include "TestSupport.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace kivra {
namespace test {

namespace {
std::atomic<int> g_counter{0};
}

TempDir::TempDir(const std::string& tag) {
  const char* base = std::getenv("KIVRA_TEST_TMP");
  fs::path root = base != nullptr ? fs::path(base) : fs::temp_directory_path() / "kivra-tests";
  std::error_code ec;
  fs::create_directories(root, ec);
  fs::path dir;
  do {
    dir = root / (tag + "-" + std::to_string(std::rand()) + "-" + std::to_string(++g_counter));
  } while (fs::exists(dir));
  fs::create_directories(dir, ec);
  path_ = dir.string();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::vector<std::string> readLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool fileExists(const std::string& file) {
  std::error_code ec;
  return fs::exists(file, ec);
}

std::string logMessage(const std::string& line) {
  // "<thread id> YYYY-MM-DD hh:mm:ss:mmm <message>"
  const size_t firstSpace = line.find(' ');
  if (firstSpace == std::string::npos) return line;
  const size_t stampEnd = firstSpace + 1 + 23;
  if (line.size() < stampEnd + 1 || line[stampEnd] != ' ') return line;
  return line.substr(stampEnd + 1);
}

std::vector<std::string> logMessages(const std::string& file) {
  std::vector<std::string> out;
  for (const std::string& l : readLines(file)) out.push_back(logMessage(l));
  return out;
}

}  // namespace test
}  // namespace kivra
