// The learner's seeded draws (fit.h): a MINSTD generator of its own, so that the subset,
// the restarts' perturbations and the held-out rows depend on the seed alone and equal the
// .m learner's draws number for number.
//
//   s_{k+1} = 48271 s_k mod (2^31 - 1),  u_k = s_k / (2^31 - 1)
//
// Every product is below 2^47, exact in 64-bit integers (and in doubles, as the .m had it).
#include "core/exact_arithmetic.h"

#include <algorithm>
#include <cmath>

#include "core/learn/fit.h"

namespace krr {
namespace {
constexpr std::uint64_t MODULUS = 2147483647;  // 2^31 - 1
constexpr std::uint64_t TWO26 = 67108864;      // 2^26
}  // namespace

std::vector<double> minstd_uniforms(std::uint64_t& state, std::int64_t count) {
  std::vector<double> u(count > 0 ? count : 0);
  for (auto& x : u) {
    state = (48271 * state) % MODULUS;
    x = static_cast<double>(state) / static_cast<double>(MODULUS);
  }
  return u;
}

// The seed's low 26 bits and its stream, then its high bits, each folded in and followed by
// four draws that spread nearby seeds apart.
std::uint64_t seeded_stream(std::uint64_t seed, int stream) {
  std::uint64_t s = 1 + ((seed % TWO26) + static_cast<std::uint64_t>(stream) * TWO26) % (MODULUS - 1);
  minstd_uniforms(s, 4);
  s = 1 + (s + seed / TWO26) % (MODULUS - 1);
  minstd_uniforms(s, 4);
  return s;
}

// The first m places of a Fisher-Yates shuffle of 0 ... n - 1, sorted: place i swaps with
// i + floor(u_i (n - i)), i from 0 (the .m's j = i + floor(u(i) (n - i + 1)), 1-based).
std::vector<std::int64_t> seeded_subset(std::int64_t n, std::int64_t m, std::uint64_t seed) {
  std::uint64_t s = seeded_stream(seed, 0);
  const std::vector<double> u = minstd_uniforms(s, m);
  std::vector<std::int64_t> order(n);
  for (std::int64_t i = 0; i < n; ++i) order[i] = i;
  for (std::int64_t i = 0; i < m; ++i) {
    const std::int64_t j =
        i + static_cast<std::int64_t>(std::floor(u[i] * static_cast<double>(n - i)));
    std::swap(order[i], order[j]);
  }
  order.resize(m);
  std::sort(order.begin(), order.end());
  return order;
}

// Box-Muller on pairs (u1, u2) of stream 1: r = sqrt(-2 log u1), then r cos(2 pi u2) and
// r sin(2 pi u2), in that order.
std::vector<double> seeded_normals(std::int64_t count, std::uint64_t seed) {
  std::uint64_t s = seeded_stream(seed, 1);
  const std::int64_t pairs = (count + 1) / 2;
  const std::vector<double> u = minstd_uniforms(s, 2 * pairs);
  const double two_pi = 2 * 3.141592653589793;
  std::vector<double> z;
  for (std::int64_t k = 0; k < pairs; ++k) {
    const double r = std::sqrt(-2 * std::log(u[2 * k]));
    z.push_back(r * std::cos(two_pi * u[2 * k + 1]));
    z.push_back(r * std::sin(two_pi * u[2 * k + 1]));
  }
  z.resize(count);
  return z;
}

double dense_stage_bytes(std::int64_t n) {
  return 5.0 * 8.0 * static_cast<double>(n) * static_cast<double>(n);
}

}  // namespace krr
