// Sizing of the kernel column cache from a byte budget.
#include "training/kernel_cache.h"

#include <cmath>

namespace krr {

int cache_column_count(double cache_bytes, int n) {
  const double columns = std::floor((cache_bytes / n) * 0.125);
  int m;
  if (columns >= 2147483648.0) {
    m = n;
  } else if (columns >= 0.0) {
    m = static_cast<int>(columns);
  } else {
    m = 0;  // negative or NaN
  }
  if (m > n) m = n;
  if (m < 2) m = 2;
  return m;
}

}  // namespace krr
