// Small validators of host arguments. Each returns true when its rule holds and
// otherwise records a failure whose message names the argument and what was expected;
// the module entries only chain them.
#pragma once

#include <cstddef>

#include "modules/host/call_failure.h"
#include "mex.h"

namespace host {

bool check_input_count(int nrhs, int expected, const char* fn, call_failure& failure);
bool check_output_count(int nlhs, int most, const char* fn, call_failure& failure);

// A real (not complex), full (not sparse) double array.
bool check_real_double_array(const mxArray* a, const char* fn, const char* name,
                             call_failure& failure);

// At most two dimensions, so that rows and columns say all of its shape.
bool check_two_dimensional(const mxArray* a, const char* fn, const char* name,
                           call_failure& failure);

// At least `needed` elements; `reason` says where the count comes from.
bool check_min_elements(const mxArray* a, std::size_t needed, const char* reason,
                        const char* fn, const char* name, call_failure& failure);

// At least d + 1 weights for the d x n sample matrix X. Where w has one per column of X
// instead, X was most likely given with one sample per row, and the message says so.
bool check_weight_count(const mxArray* w, std::size_t d, std::size_t n, const char* fn,
                        call_failure& failure);

// A count the solver indexes with 32-bit integers.
bool check_count_fits_int32(std::size_t count, const char* what, const char* fn,
                            const char* name, call_failure& failure);

bool check_all_finite(const double* v, std::size_t count, const char* fn, const char* name,
                      call_failure& failure);
bool check_all_nonnegative(const double* v, std::size_t count, const char* fn,
                           const char* name, call_failure& failure);

// The training samples and their weights, as every training module reads them: X a real
// d x n matrix of finite values with at least one column (counts within 32 bits), w at least
// d + 1 finite weights >= 0.
bool check_samples_and_weights(const mxArray* X, const mxArray* w, const char* fn,
                               std::size_t& d, std::size_t& n, call_failure& failure);

// A real n x c matrix of finite values (c >= 1), named `name`; rows says what n is.
bool check_finite_matrix(const mxArray* a, std::size_t n, const char* rows, const char* fn,
                         const char* name, call_failure& failure);

// A real numeric scalar of any numeric class (exactly one element, not complex, not
// sparse, not logical or char); its value is stored in *value.
bool read_real_scalar(const mxArray* a, const char* fn, const char* name, double* value,
                      call_failure& failure);

// A warm start V0 of an internal solve: empty (none), or a real n x columns matrix of
// finite values; `columns_are` says what its columns are.
bool check_warm_start(const mxArray* V0, std::size_t n, std::size_t columns,
                      const char* columns_are, const char* fn, call_failure& failure);

// The block size read from the option `name` (already a whole number >= 1): at most n.
bool check_block_size(double k, const char* name, std::size_t n, const char* fn,
                      call_failure& failure);

// The ridge: finite and nonnegative, or (positive) greater than 0.
bool check_ridge(double ridge, bool positive, const char* fn, call_failure& failure);

// Writes v as the host displays it (NaN, Inf, -Inf spelled out) into buffer.
const char* show(double v, char (&buffer)[32]);

}  // namespace host
