// The C library's rand as a random_source. Where RAND_MAX exceeds 32767 (glibc yields
// 31 bits) the low 15 bits are kept, so each value is uniform on 0 ... 32767.
#include "core/exact_arithmetic.h"

#include "core/solve/random_source.h"

#include <cstdlib>

namespace krr {

namespace {
int c_rand15(void*) { return std::rand() % 32768; }

int splitmix15(void* state) {
  return static_cast<int>(splitmix64(*static_cast<std::uint64_t*>(state)) >> 49);
}
}  // namespace

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

random_source c_library_random() { return random_source{&c_rand15, nullptr}; }

random_source seeded_random(std::uint64_t* state) { return random_source{&splitmix15, state}; }

}  // namespace krr
