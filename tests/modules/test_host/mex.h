// The MEX interface as the test host provides it: exactly the calls the modules
// make, with the host's names and signatures, so the modules compile unchanged against
// it. Compiling a module for the test host puts this folder first on the include path.
#pragma once

#include <cstddef>

typedef std::size_t mwSize;
typedef std::size_t mwIndex;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX } mxComplexity;

struct mxArray_tag;
typedef struct mxArray_tag mxArray;
typedef bool mxLogical;

double* mxGetPr(const mxArray* a);
double mxGetScalar(const mxArray* a);
std::size_t mxGetM(const mxArray* a);
std::size_t mxGetN(const mxArray* a);
mwSize mxGetNumberOfDimensions(const mxArray* a);
const mwSize* mxGetDimensions(const mxArray* a);
std::size_t mxGetNumberOfElements(const mxArray* a);
bool mxIsDouble(const mxArray* a);
bool mxIsComplex(const mxArray* a);
bool mxIsSparse(const mxArray* a);
bool mxIsNumeric(const mxArray* a);
const char* mxGetClassName(const mxArray* a);
mxClassID mxGetClassID(const mxArray* a);
void* mxGetData(const mxArray* a);
bool mxIsLogical(const mxArray* a);
mxLogical* mxGetLogicals(const mxArray* a);
bool mxIsChar(const mxArray* a);
bool mxIsCell(const mxArray* a);
mxArray* mxGetCell(const mxArray* a, mwIndex i);
// A char array as a C string the caller frees with mxFree (null where a is not char).
char* mxArrayToString(const mxArray* a);
// A struct's field: its number (-1 where the struct has no such field), and the value of
// element i (null where it has none, or no such field).
int mxGetFieldNumber(const mxArray* s, const char* field);
mxArray* mxGetField(const mxArray* s, mwIndex i, const char* field);
void mxFree(void* p);

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID cls, mxComplexity flag);
mxArray* mxCreateString(const char* text);
mxArray* mxCreateCellMatrix(mwSize m, mwSize n);
mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int fields, const char** names);
// The container takes the value: it is released with the container.
void mxSetCell(mxArray* cell, mwIndex i, mxArray* value);
void mxSetField(mxArray* s, mwIndex i, const char* field, mxArray* value);
void mxDestroyArray(mxArray* a);
// A struct's fields as the tests and fuzzers read the modules' results: the value of field
// of element i (null where none was set, or where s has no such field), and the fields'
// count and names in order.
mxArray* mxGetField(const mxArray* s, mwIndex i, const char* field);
int mxGetNumberOfFields(const mxArray* s);
const char* mxGetFieldNameByNumber(const mxArray* s, int n);

int mexPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Like the real hosts' error call it never returns: the test host throws.
void mexErrMsgIdAndTxt(const char* id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
