// The gradient update of a block step: grad += (columns) * delta, row by row, with every
// row adding the members' terms in member order.
#pragma once

#include <cstdint>

#include "core/kernel/kernel_math.h"

namespace krr {

// grad[r] += columns[j][r] * delta[j] for j = 0 ... k-1 in order, for r in [begin, end),
// in one pass over tiles of rows. Returns max_abs_part of the updated rows.
max_abs_result update_gradient_rows(const double* const* columns, const double* delta, int k,
                                    double* grad, std::int64_t begin, std::int64_t end);

// The same pass over two accumulations sharing the columns: grad[r] += columns[j][r] * coef[j]
// and size[r] += columns[j][r] * abs_coef[j], each in order of j, for r in [begin, end).
void update_gradient_and_size_rows(const double* const* columns, const double* coef,
                                   const double* abs_coef, int count, double* grad, double* size,
                                   std::int64_t begin, std::int64_t end);

// out[q*ld + r] += columns[j][r] * coef[q*stride + j] for j = 0 ... count-1 in order, for
// every q < p and r in [begin, end): several right-hand sides (or vectors) at once, stored
// column by column, each kernel column read once per tile of rows.
void accumulate_columns(const double* const* columns, const double* coef, std::int64_t stride,
                        int count, int p, double* out, std::int64_t ld, std::int64_t begin,
                        std::int64_t end);

}  // namespace krr
