#include "KivraCommCircularBuffer.h"

#include <cstring>
#include <new>

namespace {

// Counts are returned as int32, so the length stays below INT32_MAX.
constexpr uint32_t kMaxBufferLength = 0x7FFFFFFEu;

uint32_t clampLength(uint32_t size) {
  if (size <= KivraCommCircularBuffer::kMinBufferSizeInFrames) {
    return KivraCommCircularBuffer::kMinBufferSizeInFrames;
  }
  return size > kMaxBufferLength ? kMaxBufferLength : size;
}

}  // namespace

KivraCommCircularBuffer::KivraCommCircularBuffer(uint32_t size)
    : mReadPtrPosition(0),
      mWritePtrPosition(0),
      mInt16BufferLength(clampLength(size)),
      mInt16BufferCapacity(mInt16BufferLength + 1),
      mInt16BufferPtr(new (std::nothrow) int16_t[mInt16BufferCapacity]) {}

KivraCommCircularBuffer::~KivraCommCircularBuffer() {
  if (mInt16BufferPtr != nullptr) {
    delete[] mInt16BufferPtr;
    mInt16BufferPtr = nullptr;
  }
}

int32_t KivraCommCircularBuffer::GetAvailableFrames() const {
  const uint32_t read = mReadPtrPosition;
  const uint32_t write = mWritePtrPosition;
  const uint32_t stored = write >= read ? write - read : write + mInt16BufferCapacity - read;
  return static_cast<int32_t>(stored);
}

int32_t KivraCommCircularBuffer::Push(int16_t* data, int length) {
  if (length <= 0 || data == nullptr || mInt16BufferPtr == nullptr) return -1;
  const uint64_t stored = static_cast<uint32_t>(GetAvailableFrames());
  if (stored + static_cast<uint64_t>(length) > mInt16BufferLength) return -1;

  const uint32_t n = static_cast<uint32_t>(length);
  const uint32_t write = mWritePtrPosition;
  const uint32_t roomToEnd = mInt16BufferCapacity - write;
  if (mWritePtrPosition < mReadPtrPosition || roomToEnd >= n) {
    std::memcpy(mInt16BufferPtr + write, data, n * sizeof(int16_t));
  } else {
    std::memcpy(mInt16BufferPtr + write, data, roomToEnd * sizeof(int16_t));
    std::memcpy(mInt16BufferPtr, data + roomToEnd, (n - roomToEnd) * sizeof(int16_t));
  }
  uint32_t next = write + n;
  if (next >= mInt16BufferCapacity) next -= mInt16BufferCapacity;
  mWritePtrPosition = next;
  return length;
}

int32_t KivraCommCircularBuffer::Pop(int16_t* data, int length) {
  if (length <= 0 || data == nullptr) return -1;
  const uint32_t n = static_cast<uint32_t>(length);
  if (mInt16BufferPtr == nullptr || static_cast<uint32_t>(GetAvailableFrames()) < n) {
    // Underflow: the caller gets silence and nothing is consumed.
    std::memset(data, 0, static_cast<size_t>(n) * sizeof(int16_t));
    return -1;
  }
  copyOut(data, mReadPtrPosition, n);
  advanceRead(n);
  return length;
}

void KivraCommCircularBuffer::Reset() {
  mReadPtrPosition = 0;
  mWritePtrPosition = 0;
}

int32_t KivraCommCircularBuffer::Peek(int16_t* data, int length, int offset) const {
  if (length <= 0 || offset < 0 || data == nullptr || mInt16BufferPtr == nullptr) return -1;
  const uint64_t stored = static_cast<uint32_t>(GetAvailableFrames());
  if (static_cast<uint64_t>(offset) + static_cast<uint64_t>(length) > stored) return -1;
  uint32_t from = mReadPtrPosition + static_cast<uint32_t>(offset);
  if (from >= mInt16BufferCapacity) from -= mInt16BufferCapacity;
  copyOut(data, from, static_cast<uint32_t>(length));
  return length;
}

int32_t KivraCommCircularBuffer::Discard(int length) {
  if (length <= 0 || static_cast<uint32_t>(GetAvailableFrames()) < static_cast<uint32_t>(length)) {
    return -1;
  }
  advanceRead(static_cast<uint32_t>(length));
  return length;
}

void KivraCommCircularBuffer::copyOut(int16_t* data, uint32_t from, uint32_t n) const {
  // Stored samples wrap at most once: one or two block copies.
  const uint32_t firstPiece = mInt16BufferCapacity - from;
  if (firstPiece >= n) {
    std::memcpy(data, mInt16BufferPtr + from, n * sizeof(int16_t));
  } else {
    std::memcpy(data, mInt16BufferPtr + from, firstPiece * sizeof(int16_t));
    std::memcpy(data + firstPiece, mInt16BufferPtr, (n - firstPiece) * sizeof(int16_t));
  }
}

void KivraCommCircularBuffer::advanceRead(uint32_t n) {
  uint32_t next = mReadPtrPosition + n;
  if (next >= mInt16BufferCapacity) next -= mInt16BufferCapacity;
  mReadPtrPosition = next;
}
