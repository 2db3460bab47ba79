// Durations of calls into the bridge, kept as a histogram so that an audio
// thread can record every call without allocating: 1 us buckets up to 20 ms,
// longer calls in the last bucket (their largest value is kept exactly).
//
// Threading: one writer (the audio thread that makes the calls); read once
// that thread has stopped, or merged into another after it has.
#pragma once

#include <cstdint>
#include <vector>

#include "KivraWwisePluginApi.h"

namespace kivra {
namespace sim {

class KIVRA_SDK_API SimCallTimes {
 public:
  static constexpr int kBuckets = 20000;  // 1 us each

  SimCallTimes() : counts_(kBuckets + 1, 0) {}

  void add(int64_t nanos);
  void merge(const SimCallTimes& other);
  void clear();

  int64_t count() const { return count_; }
  int64_t maxNanos() const { return max_; }
  double meanMicros() const;
  // The duration that `q` (0..1) of the calls did not exceed, in
  // microseconds, to the bucket's upper edge (the largest value for q = 1).
  double quantileMicros(double q) const;

 private:
  std::vector<int64_t> counts_;
  int64_t count_ = 0, max_ = 0, sum_ = 0;
};

}  // namespace sim
}  // namespace kivra
