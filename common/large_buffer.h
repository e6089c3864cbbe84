// Storage for the largest arrays (the kernel column cache). Pages are mapped lazily, so
// memory is only committed for columns actually stored, and on Linux the range asks for
// transparent huge pages: rows of many columns are read at random, and huge pages keep
// those reads from missing the TLB.
#pragma once

#include <cstddef>

namespace krr {

class large_buffer {
 public:
  large_buffer() = default;
  // Uninitialised storage for `bytes` bytes; empty (data() null) when it cannot be had.
  explicit large_buffer(std::size_t bytes);
  ~large_buffer();
  large_buffer(const large_buffer&) = delete;
  large_buffer& operator=(const large_buffer&) = delete;

  void* data() const { return data_; }

 private:
  void* base_ = nullptr;
  std::size_t mapped_ = 0;
  void* data_ = nullptr;
};

}  // namespace krr
