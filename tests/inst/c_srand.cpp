// Test-only module: c_srand(seed) seeds the C library's generator, so module tests can
// replay the training module's random draws and compare two calls bit for bit.
#include <cstdlib>

#include "mex.h"

void mexFunction(int, mxArray*[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 1 || !mxIsNumeric(prhs[0]) || mxGetNumberOfElements(prhs[0]) != 1) {
    mexErrMsgIdAndTxt("c_srand:invalidInput", "c_srand: expected one numeric scalar seed");
  }
  std::srand(static_cast<unsigned>(mxGetScalar(prhs[0])));
}
