// Results by name (named_results.h).
#include "core/exact_arithmetic.h"

#include "modules/host/named_results.h"

namespace host {

mxArray* named_struct(const named_value* fields, std::size_t count) {
  // No heap storage of the module's own is live across the host's calls.
  const char* names[MOST_FIELDS];
  for (std::size_t i = 0; i < count; ++i) names[i] = fields[i].name;
  mxArray* s = mxCreateStructMatrix(1, 1, static_cast<int>(count), names);
  for (std::size_t i = 0; i < count; ++i) {
    mxSetField(s, 0, fields[i].name,
               fields[i].text ? mxCreateString(fields[i].text) : mxCreateDoubleScalar(fields[i].number));
  }
  return s;
}

const char* status_name(krr::solve_status status) {
  switch (status) {
    case krr::solve_status::converged: return "converged";
    case krr::solve_status::not_converged: return "workBound";
    case krr::solve_status::tolerance_unreachable: return "roundingFloor";
    case krr::solve_status::breakdown: return "overflow";
    case krr::solve_status::singular: return "zeroOperator";
    case krr::solve_status::interrupted: return "interrupted";
    case krr::solve_status::out_of_memory: return "outOfMemory";
  }
  return "unknown";
}

}  // namespace host
