// KivraCommCircularBuffer: sizes, all-or-nothing transfers, wrap-around,
// underflow silence and refused lengths.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "KivraCommCircularBuffer.h"

namespace {

std::vector<int16_t> counting(int first, int n) {
  std::vector<int16_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<int16_t>(first + i);
  return v;
}

}  // namespace

TEST(RingBuffer, SizeIsRaisedToTheMinimumAndKeepsOneEmptySlot) {
  struct Case {
    uint32_t size, length, capacity;
  } cases[] = {
      {0, 480, 481}, {1, 480, 481}, {480, 480, 481}, {481, 481, 482}, {19200, 19200, 19201}};
  for (const Case& c : cases) {
    KivraCommCircularBuffer b(c.size);
    EXPECT_EQ(b.length(), c.length) << c.size;
    EXPECT_EQ(b.capacity(), c.capacity) << c.size;
    EXPECT_EQ(b.GetAvailableFrames(), 0) << c.size;
  }
}

TEST(RingBuffer, HoldsExactlyItsLengthAndRefusesOverflowWhole) {
  KivraCommCircularBuffer b(480);
  std::vector<int16_t> big = counting(1, 481);
  EXPECT_EQ(b.Push(big.data(), 481), -1);  // larger than the whole buffer
  EXPECT_EQ(b.GetAvailableFrames(), 0);

  std::vector<int16_t> in = counting(100, 480);
  EXPECT_EQ(b.Push(in.data(), 480), 480);
  EXPECT_EQ(b.GetAvailableFrames(), 480);
  int16_t one = 5;
  EXPECT_EQ(b.Push(&one, 1), -1);
  EXPECT_EQ(b.GetAvailableFrames(), 480);

  // A partly filled buffer refuses a push one larger than its room, takes one that fits.
  std::vector<int16_t> out(300);
  EXPECT_EQ(b.Pop(out.data(), 300), 300);
  EXPECT_EQ(b.Push(big.data(), 301), -1);
  EXPECT_EQ(b.GetAvailableFrames(), 180);
  EXPECT_EQ(b.Push(big.data(), 300), 300);
  std::vector<int16_t> all(480);
  EXPECT_EQ(b.Pop(all.data(), 480), 480);
  for (int i = 0; i < 180; ++i) EXPECT_EQ(all[i], 100 + 300 + i);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(all[180 + i], 1 + i);
}

TEST(RingBuffer, WrapsOnPushAndOnPopInOrder) {
  KivraCommCircularBuffer b(480);  // 481 slots
  std::vector<int16_t> out(480);
  std::vector<int16_t> a = counting(0, 400);
  ASSERT_EQ(b.Push(a.data(), 400), 400);
  ASSERT_EQ(b.Pop(out.data(), 400), 400);
  // Write position 400: this push wraps (81 slots to the end, 119 from slot 0).
  std::vector<int16_t> w = counting(1000, 200);
  ASSERT_EQ(b.Push(w.data(), 200), 200);
  // Read in two pops, the first crossing the end of storage.
  ASSERT_EQ(b.Pop(out.data(), 150), 150);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(out[i], 1000 + i);
  ASSERT_EQ(b.Pop(out.data(), 50), 50);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(out[i], 1150 + i);
  EXPECT_EQ(b.GetAvailableFrames(), 0);

  // A full buffer whose contents wrap: write ends exactly at the end, then wraps to 0.
  std::vector<int16_t> f = counting(-300, 480);
  ASSERT_EQ(b.Push(f.data(), 480), 480);
  EXPECT_EQ(b.GetAvailableFrames(), 480);
  ASSERT_EQ(b.Pop(out.data(), 480), 480);
  for (int i = 0; i < 480; ++i) ASSERT_EQ(out[i], -300 + i);
}

TEST(RingBuffer, UnderflowWritesSilenceAndConsumesNothing) {
  KivraCommCircularBuffer b(480);
  std::vector<int16_t> in = counting(1, 9);
  ASSERT_EQ(b.Push(in.data(), 9), 9);
  std::vector<int16_t> out(12, 0x7777);
  EXPECT_EQ(b.Pop(out.data(), 10), -1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[10], 0x7777);  // nothing past the requested range
  EXPECT_EQ(b.GetAvailableFrames(), 9);
  EXPECT_EQ(b.Pop(out.data(), 9), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], 1 + i);
}

TEST(RingBuffer, NonPositiveLengthsAndNullDataAreRefusedWithoutChange) {
  KivraCommCircularBuffer b(480);
  std::vector<int16_t> in = counting(1, 10);
  EXPECT_EQ(b.Push(in.data(), 0), -1);
  EXPECT_EQ(b.Push(in.data(), -5), -1);
  EXPECT_EQ(b.Push(nullptr, 4), -1);
  EXPECT_EQ(b.GetAvailableFrames(), 0);
  ASSERT_EQ(b.Push(in.data(), 10), 10);
  std::vector<int16_t> out(4, 0x5555);
  EXPECT_EQ(b.Pop(out.data(), 0), -1);
  EXPECT_EQ(b.Pop(out.data(), -1), -1);
  EXPECT_EQ(b.Pop(nullptr, 4), -1);
  for (int16_t s : out) EXPECT_EQ(s, 0x5555);  // destination untouched
  EXPECT_EQ(b.GetAvailableFrames(), 10);
}

TEST(RingBuffer, ResetEmptiesTheBufferAndItStaysUsable) {
  KivraCommCircularBuffer b(480);
  std::vector<int16_t> in = counting(1, 300);
  ASSERT_EQ(b.Push(in.data(), 300), 300);
  std::vector<int16_t> out(300);
  ASSERT_EQ(b.Pop(out.data(), 100), 100);
  b.Reset();
  EXPECT_EQ(b.GetAvailableFrames(), 0);
  EXPECT_EQ(b.Pop(out.data(), 1), -1);
  std::vector<int16_t> full = counting(50, 480);
  ASSERT_EQ(b.Push(full.data(), 480), 480);  // the full length again after a reset
  ASSERT_EQ(b.Pop(out.data(), 300), 300);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(out[i], 50 + i);
}

// Random pushes and pops against a plain queue: every result, every sample
// and the stored count must match.
TEST(RingBuffer, MatchesAReferenceQueueOverRandomTraffic) {
  std::mt19937 rng(12345);
  for (uint32_t size : {480u, 481u, 1000u, 19200u}) {
    KivraCommCircularBuffer b(size);
    std::deque<int16_t> model;
    int16_t next = 0;
    std::vector<int16_t> scratch(2 * size + 10);
    std::uniform_int_distribution<int> len(-2, static_cast<int>(size) + 5);
    const int steps = size > 1000 ? 3000 : 20000;
    for (int step = 0; step < steps; ++step) {
      const int n = len(rng);
      if (rng() & 1) {
        for (int i = 0; i < std::max(n, 0); ++i) scratch[i] = next++;
        const bool fits = n > 0 && model.size() + static_cast<size_t>(n) <= b.length();
        ASSERT_EQ(b.Push(scratch.data(), n), fits ? n : -1) << "step " << step;
        if (fits) {
          model.insert(model.end(), scratch.begin(), scratch.begin() + n);
        } else {
          next = static_cast<int16_t>(next - std::max(n, 0));
        }
      } else {
        const bool enough = n > 0 && model.size() >= static_cast<size_t>(n);
        ASSERT_EQ(b.Pop(scratch.data(), n), enough ? n : -1) << "step " << step;
        for (int i = 0; i < std::max(n, 0); ++i) {
          const int16_t expected = enough ? model.front() : 0;
          ASSERT_EQ(scratch[i], expected) << "step " << step << " sample " << i;
          if (enough) model.pop_front();
        }
      }
      ASSERT_EQ(b.GetAvailableFrames(), static_cast<int32_t>(model.size()));
    }
  }
}
