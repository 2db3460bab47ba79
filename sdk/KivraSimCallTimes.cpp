#include "KivraSimCallTimes.h"

#include <algorithm>
#include <cmath>

namespace kivra {
namespace sim {

void SimCallTimes::add(int64_t nanos) {
  nanos = std::max<int64_t>(0, nanos);
  ++counts_[static_cast<size_t>(std::min<int64_t>(nanos / 1000, kBuckets))];
  ++count_;
  sum_ += nanos;
  max_ = std::max(max_, nanos);
}

void SimCallTimes::merge(const SimCallTimes& other) {
  for (size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
  count_ += other.count_;
  sum_ += other.sum_;
  max_ = std::max(max_, other.max_);
}

void SimCallTimes::clear() {
  std::fill(counts_.begin(), counts_.end(), 0);
  count_ = max_ = sum_ = 0;
}

double SimCallTimes::meanMicros() const {
  return count_ > 0 ? static_cast<double>(sum_) / static_cast<double>(count_) / 1000.0 : 0.0;
}

double SimCallTimes::quantileMicros(double q) const {
  if (count_ == 0) return 0.0;
  if (q >= 1.0) return static_cast<double>(max_) / 1000.0;
  // The rank of the call that `q` of the calls do not exceed.
  const auto rank = static_cast<int64_t>(std::ceil(std::max(0.0, q) * static_cast<double>(count_)));
  int64_t seen = 0;
  for (size_t i = 0; i < counts_.size(); ++i) {
    seen += counts_[i];
    if (seen >= std::max<int64_t>(rank, 1)) {
      // A bucket's upper edge, never past the largest call.
      return std::min(static_cast<double>(i + 1), static_cast<double>(max_) / 1000.0);
    }
  }
  return static_cast<double>(max_) / 1000.0;
}

}  // namespace sim
}  // namespace kivra
