// Reductions over long vectors in a fixed order, so that the same inputs give the same bits
// wherever and on however many threads they run, yet run in vector lanes.
#pragma once

#include <cstdint>

namespace krr {

constexpr int SUM_LANES = 8;

// sum over r < n of a[r] b[r] in SUM_LANES partial sums (row r into lane r mod SUM_LANES),
// each in row order, then the lanes in order.
double lane_dot(const double* a, const double* b, std::int64_t n);

}  // namespace krr
