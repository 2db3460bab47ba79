// Fixed-size FIFO of interleaved int16 samples with all-or-nothing transfers.
// Every count is a count of 16-bit values (channels x frames).
//
// Threading: none of its own. Each instance is guarded by the bridge object's
// lock for its stream (see KivraWwiseCommWrapper.h).
#pragma once

#include <cstdint>

class KivraCommCircularBuffer {
 public:
  static constexpr uint32_t kMinBufferSizeInFrames = 480;

  explicit KivraCommCircularBuffer(uint32_t size);
  ~KivraCommCircularBuffer();
  KivraCommCircularBuffer(const KivraCommCircularBuffer&) = delete;
  KivraCommCircularBuffer& operator=(const KivraCommCircularBuffer&) = delete;

  // Appends length samples, or none: returns length, or -1. Refuses a
  // non-positive length, null data and a buffer whose storage could not be
  // allocated.
  int32_t Push(int16_t* data, int length);
  // Removes the oldest length samples, or none (then writes length zeros to
  // data): returns length, or -1. A non-positive length or null data leaves
  // data untouched.
  int32_t Pop(int16_t* data, int length);
  void Reset();
  int32_t GetAvailableFrames() const;
  // Copies length samples starting offset samples after the oldest, without
  // consuming them: returns length, or -1 (data untouched) when fewer are
  // stored. Lets the latency controller look ahead for quiet audio.
  int32_t Peek(int16_t* data, int length, int offset = 0) const;
  // Drops the oldest length samples: returns length, or -1 (nothing dropped)
  // when fewer are stored.
  int32_t Discard(int length);

  uint32_t length() const { return mInt16BufferLength; }
  uint32_t capacity() const { return mInt16BufferCapacity; }

 private:
  // Copies n stored samples starting at slot `from` (n must be stored).
  void copyOut(int16_t* data, uint32_t from, uint32_t n) const;
  void advanceRead(uint32_t n);

  uint32_t mReadPtrPosition;
  uint32_t mWritePtrPosition;
  uint32_t mInt16BufferLength;
  uint32_t mInt16BufferCapacity;
  int16_t* mInt16BufferPtr;

  friend class KivraWwiseCommWrapper;
};
