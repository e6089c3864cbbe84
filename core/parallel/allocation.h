// Allocation that records what it could not get instead of throwing, so that a budget the
// machine cannot hold becomes a clear refusal naming the bytes and what they were for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

namespace krr {

struct allocation_failure {
  bool failed = false;
  double bytes = 0.0;          // the request that failed
  const char* what = nullptr;  // what it was for
};

// count elements of T (at least one is allocated), zero-filled when asked. Otherwise the
// contents are left uninitialised, so a large array is mapped lazily and commits memory only
// where it is written. Once a failure is recorded nothing more is allocated.
template <typename T>
std::unique_ptr<T[]> try_allocate(std::uint64_t count, bool zero, const char* what,
                                  allocation_failure& failure) {
  if (failure.failed) return nullptr;
  const std::uint64_t limit = std::numeric_limits<std::size_t>::max() / sizeof(T);
  T* p = nullptr;
  if (count <= limit) {
    const std::size_t c = static_cast<std::size_t>(count ? count : 1);
    p = zero ? new (std::nothrow) T[c]() : new (std::nothrow) T[c];
  }
  if (!p) {
    failure.failed = true;
    failure.bytes = static_cast<double>(count) * sizeof(T);
    failure.what = what;
  }
  return std::unique_ptr<T[]>(p);
}

}  // namespace krr
