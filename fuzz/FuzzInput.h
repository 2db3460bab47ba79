// Reads a fuzzer's input as a stream of little-endian values; past the end
// every read yields zeros, so a target never reads out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kivra {
namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return pos_ < size_ ? size_ - pos_ : 0; }

  uint8_t u8() {
    if (pos_ >= size_) return 0;
    return data_[pos_++];
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
  int16_t i16() { return static_cast<int16_t>(u16()); }
  float f32() {
    const uint32_t bits = u32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }

  // A string of up to 254 bytes (any byte but NUL), or, when the length byte
  // is 255, longLen copies of one byte.
  std::string str(size_t longLen) {
    const uint8_t n = u8();
    std::string s;
    if (n == 255) {
      const uint8_t fill = u8();
      s.assign(longLen, static_cast<char>(fill == 0 ? 'x' : fill));
      return s;
    }
    for (uint8_t i = 0; i < n && !empty(); ++i) {
      const uint8_t c = u8();
      s.push_back(static_cast<char>(c == 0 ? 0x80 : c));
    }
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Aborts with a message: a fuzz target's way of reporting a wrong result.
[[noreturn]] inline void fail(const char* what) {
  std::fputs(what, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace fuzz
}  // namespace kivra
