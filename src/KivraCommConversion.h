#pragma once

#include <cstdint>
#include <cstring>

// The sample conversions between the engine's interleaved 16-bit samples and
// Wwise's per-channel floats, with the CPU-specific loops behind them.
// Stateless: any thread may call them at any time.
namespace kivra::convert {

// Wwise to engine scales by 32767, engine to Wwise by 1/32768: not inverses,
// and kept that way because both sides of the product rely on these values.
constexpr float kInt16ToFloat = 1.0f / 32768.0f;

// -1.0000306f, the float nearest -1 whose product with 32767 is below -32768.
constexpr uint32_t kLowestBits = 0xBF800101u;

inline uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof(u));
  return u;
}

inline float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof(f));
  return f;
}

inline uint32_t maskOf(bool b) { return 0u - static_cast<uint32_t>(b); }

// trunc(v * 32767) in exact arithmetic, clamped to the int16 range, NaN as 0.
// Float ops and bit masks only, no selects on floats: g++ keeps such loops
// free of branches and vectorises them (a float select gets jump-threaded
// into branches). Inputs are first limited to [-1.0000306, 1], which clamps
// the result exactly. p = v * 32767 is rounded, but v * 32768 is exact, so
// e = v * 32768 - trunc(p) (an exact difference) against v tells on which
// side of trunc(p) the exact product lies.
inline int16_t floatToInt16(float v) {
  uint32_t u = bitsOf(v) & maskOf(v == v);  // NaN -> 0
  const uint32_t hi = maskOf(v > 1.0f);     // +-inf clamp here too
  const uint32_t lo = maskOf(v < floatOf(kLowestBits));
  u = (u & ~(hi | lo)) | (bitsOf(1.0f) & hi) | (kLowestBits & lo);
  v = floatOf(u);
  const int32_t t = static_cast<int32_t>(v * 32767.0f);
  const float e = v * 32768.0f - static_cast<float>(t);
  const int32_t r =
      t - static_cast<int32_t>((v > 0.0f) & (e < v)) + static_cast<int32_t>((v < 0.0f) & (e > v));
  return static_cast<int16_t>(r);
}

inline float int16ToFloat(int16_t s) { return static_cast<float>(s) * kInt16ToFloat; }

// Two float channels to interleaved 16-bit frames.
void interleave2(const float* __restrict left, const float* __restrict right,
                 int16_t* __restrict out, int frames);
// Interleaved 16-bit frames to two float channels.
void deinterleave2(const int16_t* __restrict in, float* __restrict left, float* __restrict right,
                   int frames);
// One float array to 16-bit samples.
void convertFloats(const float* __restrict in, int16_t* __restrict out, int count);

// Which loops this build converts with: "sse2", "neon" or "portable".
const char* kernelName();

}  // namespace kivra::convert
