// Ring buffer against a reference queue: arbitrary sizes and sequences of
// Push, Pop, Peek, Discard and Reset with arbitrary (also non-positive)
// lengths. Every
// result, every popped sample and the stored count must match the model.
#include <cstdio>
#include <deque>
#include <vector>

#include "FuzzInput.h"
#include "KivraCommCircularBuffer.h"

using kivra::fuzz::fail;
using kivra::fuzz::FuzzInput;

namespace {
constexpr int kMaxLen = 40000;  // lengths beyond any buffer the target builds
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  // Sizes around the minimum (480) and the bridge's 19200.
  const uint32_t requested = in.u16() % 20000u;
  KivraCommCircularBuffer ring(requested);
  const int64_t length = requested > 480 ? requested : 480;
  if (ring.length() != length || ring.capacity() != length + 1) fail("wrong length or capacity");

  std::deque<int16_t> model;
  static std::vector<int16_t> src(kMaxLen + 1), dst(kMaxLen + 1);
  int16_t next = 0;

  while (!in.empty()) {
    const uint8_t op = in.u8() % 8;
    // Small lengths most of the time so the positions wrap often.
    int len = (op & 4) ? in.i16() : static_cast<int>(in.u8()) - 8;
    if (len > kMaxLen) len = kMaxLen;
    switch (op & 3) {
      case 0:
      case 1: {  // Push
        for (int i = 0; i < len; ++i) src[i] = next++;
        const int32_t r = ring.Push(src.data(), len);
        const bool fits = len > 0 && model.size() + static_cast<size_t>(len) <= ring.length();
        if (fits) {
          if (r != len) fail("push that fits refused");
          model.insert(model.end(), src.begin(), src.begin() + len);
        } else if (r != -1) {
          fail("push that does not fit accepted");
        }
        break;
      }
      case 2: {  // Pop
        const int marked = (len > 16 ? len : 16) + 1;
        for (int i = 0; i < marked; ++i) dst[i] = 0x5a5a;
        const int32_t r = ring.Pop(dst.data(), len);
        if (len <= 0) {
          if (r != -1) fail("pop of non-positive length accepted");
          for (int i = 0; i < 16; ++i)
            if (dst[i] != 0x5a5a) fail("refused pop touched the destination");
        } else if (static_cast<size_t>(len) > model.size()) {
          if (r != -1) fail("underflowing pop accepted");
          for (int i = 0; i < len; ++i)
            if (dst[i] != 0) fail("underflowing pop did not write silence");
          if (dst[len] != 0x5a5a) fail("underflowing pop wrote past its length");
        } else {
          if (r != len) fail("pop of stored samples refused");
          for (int i = 0; i < len; ++i) {
            if (dst[i] != model.front()) fail("popped sample differs from the model");
            model.pop_front();
          }
          if (dst[len] != 0x5a5a) fail("pop wrote past its length");
        }
        break;
      }
      case 3:
        if ((op & 4) == 0) {
          ring.Reset();
          model.clear();
        } else if (len % 2 == 0) {  // Peek at an offset: a copy, nothing consumed
          const int offset = in.u8() * 37;
          const int n = len / 2;
          for (int i = 0; i < 16; ++i) dst[i] = 0x5a5a;
          const int32_t r = ring.Peek(dst.data(), n, offset);
          const bool stored = n > 0 && static_cast<size_t>(offset) + n <= model.size();
          if (!stored) {
            if (r != -1) fail("peek beyond the stored samples accepted");
            for (int i = 0; i < 16; ++i)
              if (dst[i] != 0x5a5a) fail("refused peek touched the destination");
          } else {
            if (r != n) fail("peek of stored samples refused");
            for (int i = 0; i < n; ++i)
              if (dst[i] != model[static_cast<size_t>(offset + i)]) fail("peeked sample differs");
          }
        } else {  // Discard the oldest
          const int32_t r = ring.Discard(len);
          if (len > 0 && static_cast<size_t>(len) <= model.size()) {
            if (r != len) fail("discard of stored samples refused");
            model.erase(model.begin(), model.begin() + len);
          } else if (r != -1) {
            fail("discard beyond the stored samples accepted");
          }
        }
        break;
    }
    if (ring.GetAvailableFrames() != static_cast<int32_t>(model.size()))
      fail("stored count differs from the model");
  }
  return 0;
}
