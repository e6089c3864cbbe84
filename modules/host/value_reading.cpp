// Reading of the host's values for the core (value_reading.h).
#include "core/exact_arithmetic.h"

#include "modules/host/value_reading.h"

#include <cstdint>

namespace host {

std::vector<double> numbers_of(const mxArray* a) {
  const std::size_t count = mxGetNumberOfElements(a);
  std::vector<double> out(count, 0.0);
  if (count == 0) return out;
  if (mxIsLogical(a)) {
    const mxLogical* v = mxGetLogicals(a);
    for (std::size_t i = 0; i < count; ++i) out[i] = v[i] ? 1.0 : 0.0;
    return out;
  }
  const void* data = mxGetData(a);
  switch (mxGetClassID(a)) {
#define KRR_READ(ID, TYPE) \
  case ID:                 \
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(static_cast<const TYPE*>(data)[i]); \
    break;
    KRR_READ(mxDOUBLE_CLASS, double)
    KRR_READ(mxSINGLE_CLASS, float)
    KRR_READ(mxINT8_CLASS, std::int8_t)
    KRR_READ(mxUINT8_CLASS, std::uint8_t)
    KRR_READ(mxINT16_CLASS, std::int16_t)
    KRR_READ(mxUINT16_CLASS, std::uint16_t)
    KRR_READ(mxINT32_CLASS, std::int32_t)
    KRR_READ(mxUINT32_CLASS, std::uint32_t)
    KRR_READ(mxINT64_CLASS, std::int64_t)
    KRR_READ(mxUINT64_CLASS, std::uint64_t)
#undef KRR_READ
    default:
      break;
  }
  return out;
}

bool text_of(const mxArray* a, std::string& text) {
  if (!mxIsChar(a) || mxGetNumberOfDimensions(a) != 2 || mxGetM(a) > 1) return false;
  char* s = mxArrayToString(a);
  if (!s) return false;
  text = s;
  mxFree(s);
  return true;
}

krr::option_value option_of(const mxArray* a) {
  krr::option_value v;
  v.rows = static_cast<std::int64_t>(mxGetM(a));
  v.cols = static_cast<std::int64_t>(mxGetN(a));  // the trailing dimensions' product
  v.class_name = mxGetClassName(a);
  if ((mxIsNumeric(a) || mxIsLogical(a)) && !mxIsSparse(a)) {
    v.kind = krr::option_value::type::numbers;
    v.logical = mxIsLogical(a);
    v.complex = mxIsComplex(a);
    v.numbers = numbers_of(a);
    return v;
  }
  if (text_of(a, v.text)) {
    v.kind = krr::option_value::type::text;
    return v;
  }
  v.kind = krr::option_value::type::other;
  if (mxIsCell(a)) {
    std::vector<std::string> texts;
    const std::size_t count = mxGetNumberOfElements(a);
    for (std::size_t i = 0; i < count; ++i) {
      std::string s;
      const mxArray* element = mxGetCell(a, i);
      if (!element || !text_of(element, s)) return v;
      texts.push_back(s);
    }
    v.kind = krr::option_value::type::texts;
    v.texts = texts;
  }
  return v;
}

std::string dims_text(const mxArray* a) {
  const std::size_t count = mxGetNumberOfDimensions(a);
  const mwSize* dims = mxGetDimensions(a);
  std::string s;
  for (std::size_t i = 0; i < count; ++i) {
    s += (i ? " x " : "") + std::to_string(static_cast<unsigned long long>(dims[i]));
  }
  return s;
}

mxArray* message_cells(const std::vector<krr::fit_message>& list) {
  mxArray* cell = mxCreateCellMatrix(list.size(), 2);
  for (std::size_t i = 0; i < list.size(); ++i) {
    mxSetCell(cell, i, mxCreateString(list[i].code.c_str()));
    mxSetCell(cell, list.size() + i, mxCreateString(list[i].message.c_str()));
  }
  return cell;
}

}  // namespace host
