// The kernel operator of a module call that solves on the training samples (krr_solve,
// krr_lml): the samples and weights as the host holds them, the threads and memory the
// environment allows, and the host's interrupt polling.
#pragma once

#include "core/solve/kernel_operator.h"
#include "modules/host/module_call.h"

namespace host {

// What the environment allows a call: read before any output exists, since reading may warn.
struct call_resources {
  int threads;    // 0: the default
  double memory;  // bytes the call may plan for
};
call_resources read_resources(const char* fn);

// Prepares A for X (d x n) and w; other_bytes is what the call holds besides, other_what
// what those are for. False, with the call's outOfMemory failure recorded, where the
// operator cannot be had.
bool prepare_operator(module_call& call, const call_resources& resources, const mxArray* X,
                      const mxArray* w, double ridge, int k, double cache_bytes,
                      double other_bytes, const char* other_what, krr::kernel_operator& A);

}  // namespace host
