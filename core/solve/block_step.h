// One step of exact block coordinate descent: choose k members (the largest gradient
// first, then the best of 60 random candidates at a time), solve their block system
// exactly (block_solution.h), and update the gradient of every sample.
#pragma once

#include <cstdint>

#include "core/kernel/kernel_math.h"
#include "core/parallel/row_team.h"
#include "core/solve/block_schedule.h"
#include "core/solve/block_solution.h"
#include "core/solve/block_workspace.h"
#include "core/solve/kernel_cache.h"
#include "core/kernel/kernel_column.h"
#include "core/solve/random_source.h"

namespace krr {

// Runs one block step from the gradient grad, whose largest absolute entry is at index
// `first`. On return ws.block_index[0..k-1] and ws.block_delta[0..k-1] hold the block and
// its solution and grad the new gradient; the result is max_abs_entry of the new gradient.
// t is the number of earlier block steps in this call; exactly 60*k values are drawn
// from rng. Rows are split across the schedule's threads without changing any value.
// Pivots too small for the bordered update and block members left out are counted in stats.
// Where the schedule is told to stop, the step ends early and its results are incomplete.
//
// Where a team shares the rows (core/parallel/row_team.h), data and grad hold this rank's
// rows of team.n(), the cache's columns those rows, and sample indices (first, the block,
// the result) are the team's. Every rank draws the same candidates; a member's rank sends
// its sample, its gradient entry and its values against the earlier members, so that each
// rank computes its rows of the member's column and solves the same block system; the
// candidates' scores and the new gradient's largest entry are each rank's best merged.
max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats, row_team& team);

// The same with every row in this process.
max_abs_result block_step(const training_data& data, int k, int first, double* grad,
                          std::int64_t t, random_source& rng, kernel_cache& cache,
                          block_workspace& ws, block_schedule& schedule,
                          block_solution_stats& stats);

}  // namespace krr
