#include "KivraCommConversion.h"

// The one place where the target CPU picks the conversion loops. Each kernel
// file defines, for its CPU, kKernelName and three step functions that
// convert kStep frames (or samples) at once with exactly floatToInt16's and
// int16ToFloat's results; the loops below run the steps and finish the
// remainder with the scalar rule.
//   SSE2: baseline on every x86-64 target.
//   NEON: baseline on AArch64; on 32-bit ARM only when the build targets a
//         CPU with NEON (-mfpu=neon), which defines __ARM_NEON.
//   Anything else: the portable steps.
#if defined(__SSE2__) || defined(_M_X64)
#include "simd/KivraCommConvertSse2.inc"
#elif defined(__ARM_NEON)
#include "simd/KivraCommConvertNeon.inc"
#else
#include "simd/KivraCommConvertPortable.inc"
#endif

namespace kivra::convert {

void interleave2(const float* __restrict left, const float* __restrict right,
                 int16_t* __restrict out, int frames) {
  int i = 0;
  for (; i + kStep <= frames; i += kStep) interleaveStep(left + i, right + i, out + 2 * i);
  for (; i < frames; ++i) {
    out[2 * i] = floatToInt16(left[i]);
    out[2 * i + 1] = floatToInt16(right[i]);
  }
}

void deinterleave2(const int16_t* __restrict in, float* __restrict left, float* __restrict right,
                   int frames) {
  int i = 0;
  for (; i + kStep <= frames; i += kStep) deinterleaveStep(in + 2 * i, left + i, right + i);
  for (; i < frames; ++i) {
    left[i] = int16ToFloat(in[2 * i]);
    right[i] = int16ToFloat(in[2 * i + 1]);
  }
}

void convertFloats(const float* __restrict in, int16_t* __restrict out, int count) {
  int i = 0;
  for (; i + kStep <= count; i += kStep) convertStep(in + i, out + i);
  for (; i < count; ++i) out[i] = floatToInt16(in[i]);
}

const char* kernelName() { return kKernelName; }

}  // namespace kivra::convert
