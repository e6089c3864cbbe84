// The source of the block step's random candidate draws. The solver never seeds or
// owns a generator: the caller injects one, so tests can replay a known sequence and
// the host module can use the C library's rand exactly as users expect.
#pragma once

#include <cstdint>

namespace krr {

struct random_source {
  // Returns the next uniform integer in 0 ... 32767.
  int (*next15)(void* state);
  void* state;
};

// The C library's rand, brought to 15 bits (rand() mod 32768), never seeded here.
random_source c_library_random();

// A generator of its own (splitmix64, the top 15 bits of each output) on the 64-bit state
// *state, which the caller seeds and owns: the same seed gives the same draws everywhere.
random_source seeded_random(std::uint64_t* state);

// One step of splitmix64 on state: 64 uniform bits, the generator of seeded_random.
std::uint64_t splitmix64(std::uint64_t& state);

}  // namespace krr
