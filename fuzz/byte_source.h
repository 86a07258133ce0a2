// Turns fuzz bytes into choices for structure-aware targets. Past the end every choice is 0, so
// any input, however short, describes a complete structure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::fuzzing {

class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool empty() const { return pos_ >= size_; }

  // One element of a fixed pool.
  template <class T, size_t N>
  const T& pick(const T (&pool)[N]) {
    return pool[next() % N];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace tw::fuzzing
