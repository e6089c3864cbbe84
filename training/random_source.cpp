// The C library's rand as a random_source. Where RAND_MAX exceeds 32767 (glibc yields
// 31 bits) the low 15 bits are kept, so each value is uniform on 0 ... 32767.
#include "common/exact_arithmetic.h"

#include "training/random_source.h"

#include <cstdlib>

namespace krr {

namespace {
int c_rand15(void*) { return std::rand() % 32768; }
}  // namespace

random_source c_library_random() { return random_source{&c_rand15, nullptr}; }

}  // namespace krr
