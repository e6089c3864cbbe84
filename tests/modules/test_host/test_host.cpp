// The test host: the MEX calls the modules make, implemented strictly. Every array the
// host hands out is registered; a call on an array that is not live, a data pointer
// asked of an array that has no real doubles, or a release of an input is a fault that
// ends the call. Output slots and inputs sit in blocks with guard entries on both
// sides, poisoned under AddressSanitizer so a stray access is reported at once.
#include "test_host.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <string>
#include <unordered_set>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TEST_HOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_HOST_ASAN 1
#endif
#endif

#if defined(TEST_HOST_ASAN)
#include <sanitizer/asan_interface.h>
#define TEST_HOST_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TEST_HOST_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TEST_HOST_POISON(p, n) ((void)(p), (void)(n))
#define TEST_HOST_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

struct mxArray_tag {
  mxClassID cls;
  std::vector<std::size_t> dims;
  std::size_t numel;
  bool complex;
  bool sparse;
  std::size_t stored;  // elements of storage in each part
  unsigned char* real;
  unsigned char* imag;
  long made_in_call;  // serial of the call that created it; 0 when the test made it
  // A cell's elements, or a struct's values (element i's field f at i * fields.size() + f),
  // null where none was set; each is registered, and released with its container.
  std::vector<mxArray*> children = {};
  std::vector<std::string> fields = {};
  mxArray* parent = nullptr;  // the container that holds it
};

namespace test_host {

namespace {

// Thrown through the module to end a call, as a host unwinds out of a module. Not a
// std::exception, so a module's handlers for its own failures cannot take it.
struct host_unwind {
  ending how;
  std::string id;
  std::string message;
};

struct host_state {
  std::mutex lock;
  std::unordered_set<const mxArray*> live;
  bool in_call = false;
  long serial = 0;
  std::thread::id call_thread;
  std::string function;
  call_result* current = nullptr;
  bool unwound = false;  // the host ended the current call by throwing
  std::size_t limit = 0;
  std::size_t allocated = 0;
  bool warnings_are_errors = false;
  long interrupt_after = -1;
  long polls = 0;
  bool interrupt_pending = false;
};

host_state& state() {
  static host_state s;
  return s;
}

std::string format_text(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  return text;
}

// Caller holds the lock.
void record_fault(const std::string& what) {
  host_state& s = state();
  if (s.current) s.current->faults.push_back(what);
}

// Ends the current call from inside a host call, as a host unwinds out of a module.
[[noreturn]] void end_call(std::unique_lock<std::mutex>& held, ending how, const char* id,
                           const std::string& message) {
  state().unwound = true;
  held.unlock();
  throw host_unwind{how, id ? id : "", message};
}

// Ends the call for a fault of the module; outside a call the test itself misused the
// host.
[[noreturn]] void misuse(std::unique_lock<std::mutex>& held, const std::string& what) {
  if (!state().in_call) throw std::logic_error("test host: " + what);
  record_fault(what);
  end_call(held, ending::aborted, "", what);
}

// Every host call starts here: the lock, and the check that the module calls the host
// only on the thread that called it.
std::unique_lock<std::mutex> enter(const char* call) {
  host_state& s = state();
  std::unique_lock<std::mutex> held(s.lock);
  if (s.in_call && std::this_thread::get_id() != s.call_thread) {
    record_fault(format_text("%s called from a thread other than the calling thread", call));
  }
  return held;
}

const mxArray* checked(std::unique_lock<std::mutex>& held, const mxArray* a, const char* call) {
  if (!a || !state().live.count(a)) {
    misuse(held, format_text("%s on an array that is not live (%p)", call,
                             static_cast<const void*>(a)));
  }
  return a;
}

bool multiply(std::size_t a, std::size_t b, std::size_t* out) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
  *out = a * b;
  return true;
}

const char* class_name(mxClassID cls) {
  switch (cls) {
    case mxCELL_CLASS: return "cell";
    case mxSTRUCT_CLASS: return "struct";
    case mxLOGICAL_CLASS: return "logical";
    case mxCHAR_CLASS: return "char";
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxINT8_CLASS: return "int8";
    case mxUINT8_CLASS: return "uint8";
    case mxINT16_CLASS: return "int16";
    case mxUINT16_CLASS: return "uint16";
    case mxINT32_CLASS: return "int32";
    case mxUINT32_CLASS: return "uint32";
    case mxINT64_CLASS: return "int64";
    case mxUINT64_CLASS: return "uint64";
    case mxFUNCTION_CLASS: return "function_handle";
    default: return "unknown";
  }
}

bool has_storage(mxClassID cls) { return element_size(cls) != 0; }

bool is_numeric(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

double element(const mxArray* a, std::size_t i) {
  const unsigned char* p = a->real + i * element_size(a->cls);
  switch (a->cls) {
    case mxDOUBLE_CLASS: { double v; std::memcpy(&v, p, 8); return v; }
    case mxSINGLE_CLASS: { float v; std::memcpy(&v, p, 4); return v; }
    case mxINT8_CLASS: { std::int8_t v; std::memcpy(&v, p, 1); return v; }
    case mxUINT8_CLASS: { std::uint8_t v; std::memcpy(&v, p, 1); return v; }
    case mxINT16_CLASS: { std::int16_t v; std::memcpy(&v, p, 2); return v; }
    case mxUINT16_CLASS: { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
    case mxINT32_CLASS: { std::int32_t v; std::memcpy(&v, p, 4); return v; }
    case mxUINT32_CLASS: { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
    case mxINT64_CLASS: { std::int64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
    case mxUINT64_CLASS: { std::uint64_t v; std::memcpy(&v, p, 8); return static_cast<double>(v); }
    case mxLOGICAL_CLASS: return *p ? 1.0 : 0.0;
    case mxCHAR_CLASS: { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
    default: return 0.0;
  }
}

// Saturating conversion to an integer class, NaN as 0, as the hosts convert.
template <typename T>
T to_integer(double v) {
  if (std::isnan(v)) return 0;
  const double lo = static_cast<double>(std::numeric_limits<T>::min());
  const double hi = static_cast<double>(std::numeric_limits<T>::max());
  const double r = std::round(v);
  if (r <= lo) return std::numeric_limits<T>::min();
  if (r >= hi) return std::numeric_limits<T>::max();
  return static_cast<T>(r);
}

// Caller holds the lock. A container's elements go with it.
void free_array(mxArray* a) {
  for (mxArray* child : a->children) {
    if (!child) continue;
    state().live.erase(child);
    free_array(child);
  }
  std::free(a->real);
  std::free(a->imag);
  delete a;
}

// A new registered array; storage zero-filled. Caller holds the lock. Returns null when
// the storage cannot be had within the limit of the current call.
mxArray* new_array(mxClassID cls, std::vector<std::size_t> dims, bool complex, bool sparse,
                   long made_in_call, std::size_t* bytes_asked) {
  while (dims.size() < 2) dims.push_back(1);
  // Both the element count and the column count (all dimensions after the first) must
  // be representable, even for an empty array.
  std::size_t columns = 1;
  bool representable = true;
  for (std::size_t i = 1; i < dims.size(); ++i) {
    representable = representable && multiply(columns, dims[i], &columns);
  }
  std::size_t numel = 0;
  if (!representable || !multiply(dims[0], columns, &numel)) {
    *bytes_asked = std::numeric_limits<std::size_t>::max();
    return nullptr;
  }
  std::size_t stored = has_storage(cls) ? (sparse ? (numel ? 1 : 0) : numel) : 0;
  std::size_t part = 0;
  std::size_t total = 0;
  if (!multiply(stored, element_size(cls), &part) || !multiply(part, complex ? 2 : 1, &total)) {
    *bytes_asked = std::numeric_limits<std::size_t>::max();
    return nullptr;
  }
  *bytes_asked = total;
  host_state& s = state();
  if (made_in_call && s.limit && (total > s.limit || s.allocated > s.limit - total)) {
    return nullptr;
  }
  unsigned char* real = part ? static_cast<unsigned char*>(std::calloc(part, 1)) : nullptr;
  unsigned char* imag =
      (part && complex) ? static_cast<unsigned char*>(std::calloc(part, 1)) : nullptr;
  if ((part && !real) || (part && complex && !imag)) {
    std::free(real);
    std::free(imag);
    return nullptr;
  }
  if (made_in_call) s.allocated += total;
  mxArray* a = new mxArray{cls, dims, numel, complex, sparse, stored, real, imag, made_in_call};
  s.live.insert(a);
  return a;
}

constexpr std::size_t GUARD = 4;

template <typename T>
T* guard_value() {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(0x5a5a5a5a5a5a5a50ULL));
}

// A block of GUARD guards, count entries, GUARD guards; the guards poisoned.
template <typename T>
struct guarded_block {
  std::vector<T*> entries;
  std::size_t count;
  explicit guarded_block(std::size_t n) : entries(2 * GUARD + n, guard_value<T>()), count(n) {
    for (std::size_t i = 0; i < n; ++i) entries[GUARD + i] = nullptr;
    TEST_HOST_POISON(entries.data(), GUARD * sizeof(T*));
    TEST_HOST_POISON(entries.data() + GUARD + n, GUARD * sizeof(T*));
  }
  ~guarded_block() { TEST_HOST_UNPOISON(entries.data(), entries.size() * sizeof(T*)); }
  T** slots() { return entries.data() + GUARD; }
  // Unpoisons the guards and reports each one that changed.
  void check(const char* what, std::vector<std::string>& faults) {
    TEST_HOST_UNPOISON(entries.data(), entries.size() * sizeof(T*));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i >= GUARD && i < GUARD + count) continue;
      if (entries[i] != guard_value<T>()) {
        faults.push_back(format_text("%s guard entry at offset %ld was overwritten", what,
                                     static_cast<long>(i) - static_cast<long>(GUARD)));
      }
    }
  }
};

std::vector<unsigned char> contents(const mxArray* a) {
  const std::size_t part = a->stored * element_size(a->cls);
  std::vector<unsigned char> bytes(a->real, a->real + part);
  if (a->imag) bytes.insert(bytes.end(), a->imag, a->imag + part);
  return bytes;
}

}  // namespace

std::size_t element_size(mxClassID cls) {
  switch (cls) {
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
    case mxINT8_CLASS: case mxUINT8_CLASS: case mxLOGICAL_CLASS: return 1;
    default: return 0;
  }
}

mxArray* make_array(mxClassID cls, const std::vector<std::size_t>& dims, bool complex,
                    bool sparse) {
  if (sparse && cls != mxDOUBLE_CLASS && cls != mxLOGICAL_CLASS) {
    throw std::invalid_argument("test host: only double and logical arrays can be sparse");
  }
  if (complex && !is_numeric(cls)) {
    throw std::invalid_argument("test host: only numeric arrays can be complex");
  }
  std::lock_guard<std::mutex> held(state().lock);
  std::size_t bytes = 0;
  mxArray* a = new_array(cls, dims, complex, sparse, 0, &bytes);
  if (!a) throw std::bad_alloc();
  return a;
}

mxArray* make_matrix(std::size_t m, std::size_t n, const std::vector<double>& values) {
  mxArray* a = make_array(mxDOUBLE_CLASS, {m, n});
  if (values.size() != a->numel) {
    destroy(a);
    throw std::invalid_argument("test host: make_matrix needs m*n values");
  }
  if (!values.empty()) std::memcpy(a->real, values.data(), values.size() * sizeof(double));
  return a;
}

mxArray* make_scalar(double value) { return make_matrix(1, 1, {value}); }

void* storage(mxArray* a) { return a->real; }

std::size_t stored_elements(const mxArray* a) { return a->stored; }

void set_element(mxArray* a, std::size_t i, double v) {
  if (i >= a->stored) throw std::out_of_range("test host: element beyond the storage");
  unsigned char* p = a->real + i * element_size(a->cls);
  switch (a->cls) {
    case mxDOUBLE_CLASS: std::memcpy(p, &v, 8); break;
    case mxSINGLE_CLASS: { const float f = static_cast<float>(v); std::memcpy(p, &f, 4); break; }
    case mxINT8_CLASS: { const auto t = to_integer<std::int8_t>(v); std::memcpy(p, &t, 1); break; }
    case mxUINT8_CLASS: { const auto t = to_integer<std::uint8_t>(v); std::memcpy(p, &t, 1); break; }
    case mxINT16_CLASS: { const auto t = to_integer<std::int16_t>(v); std::memcpy(p, &t, 2); break; }
    case mxUINT16_CLASS: { const auto t = to_integer<std::uint16_t>(v); std::memcpy(p, &t, 2); break; }
    case mxINT32_CLASS: { const auto t = to_integer<std::int32_t>(v); std::memcpy(p, &t, 4); break; }
    case mxUINT32_CLASS: { const auto t = to_integer<std::uint32_t>(v); std::memcpy(p, &t, 4); break; }
    case mxINT64_CLASS: { const auto t = to_integer<std::int64_t>(v); std::memcpy(p, &t, 8); break; }
    case mxUINT64_CLASS: { const auto t = to_integer<std::uint64_t>(v); std::memcpy(p, &t, 8); break; }
    case mxLOGICAL_CLASS: *p = (v != 0.0); break;
    case mxCHAR_CLASS: { const auto t = to_integer<std::uint16_t>(v); std::memcpy(p, &t, 2); break; }
    default: break;
  }
}

void destroy(mxArray* a) {
  std::lock_guard<std::mutex> held(state().lock);
  if (!state().live.erase(a)) throw std::logic_error("test host: destroy of an array not live");
  free_array(a);
}

std::size_t destroy_all() {
  std::lock_guard<std::mutex> held(state().lock);
  host_state& s = state();
  const std::size_t count = s.live.size();
  std::vector<const mxArray*> tops;
  for (const mxArray* a : s.live)
    if (!a->parent) tops.push_back(a);
  for (const mxArray* a : tops) free_array(const_cast<mxArray*>(a));
  s.live.clear();
  return count;
}

std::size_t live_arrays() {
  std::lock_guard<std::mutex> held(state().lock);
  return state().live.size();
}

void set_allocation_limit(std::size_t bytes) {
  std::lock_guard<std::mutex> held(state().lock);
  state().limit = bytes;
}

void set_warnings_as_errors(bool on) {
  std::lock_guard<std::mutex> held(state().lock);
  state().warnings_are_errors = on;
}

void set_interrupt_after(long polls) {
  std::lock_guard<std::mutex> held(state().lock);
  state().interrupt_after = polls;
}

call_result call(const char* function, entry_point entry, int nlhs,
                 const std::vector<const mxArray*>& inputs) {
  host_state& s = state();
  call_result r;
  const std::size_t slot_count = nlhs < 1 ? 1 : static_cast<std::size_t>(nlhs);
  guarded_block<mxArray> out(slot_count);
  guarded_block<const mxArray> in(inputs.size());
  std::vector<std::vector<unsigned char>> before;
  {
    std::lock_guard<std::mutex> held(s.lock);
    if (s.in_call) throw std::logic_error("test host: nested module call");
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (!s.live.count(inputs[i])) throw std::logic_error("test host: input not live");
      before.push_back(contents(inputs[i]));
      in.slots()[i] = inputs[i];
    }
    s.in_call = true;
    s.serial += 1;
    s.call_thread = std::this_thread::get_id();
    s.function = function;
    s.current = &r;
    s.unwound = false;
    s.allocated = 0;
    s.polls = 0;
    s.interrupt_pending = false;
  }

  try {
    entry(nlhs, out.slots(), static_cast<int>(inputs.size()), in.slots());
    r.how = ending::returned;
  } catch (const host_unwind& u) {
    r.how = u.how;
    r.error_id = u.id;
    r.error_message = u.message;
  } catch (const std::exception& e) {
    r.how = ending::aborted;
    r.faults.push_back(format_text("a C++ exception escaped the module: %s", e.what()));
  } catch (...) {
    r.how = ending::aborted;
    r.faults.push_back("an exception of unknown type escaped the module");
  }

  std::lock_guard<std::mutex> held(s.lock);
  s.in_call = false;
  s.current = nullptr;
  if (r.how == ending::returned && s.unwound) {
    r.faults.push_back("the module returned although the host ended the call (its error "
                       "was caught and swallowed)");
  }
  out.check("output slot", r.faults);
  in.check("input", r.faults);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (in.slots()[i] != inputs[i]) {
      r.faults.push_back(format_text("input slot %zu was overwritten", i));
    }
    if (!s.live.count(inputs[i])) {
      r.faults.push_back(format_text("input %zu was released by the module", i));
    } else if (contents(inputs[i]) != before[i]) {
      r.faults.push_back(format_text("input %zu was modified by the module", i));
    }
  }

  // After a normal return the slots must hold distinct live arrays of this call. After
  // an error the host discards whatever the slots hold, as the real hosts do.
  r.outputs.assign(out.slots(), out.slots() + slot_count);
  std::unordered_set<const mxArray*> slotted;
  for (std::size_t i = 0; i < slot_count; ++i) {
    const mxArray* a = r.outputs[i];
    if (!a) continue;
    const char* wrong = nullptr;
    if (!s.live.count(a)) {
      wrong = "an array that is not live";
    } else if (a->made_in_call != s.serial) {
      wrong = "an array the call did not create";
    } else if (!slotted.insert(a).second) {
      wrong = "an earlier slot's array";
    }
    if (wrong && r.how == ending::returned) {
      r.faults.push_back(format_text("output slot %zu holds %s", i, wrong));
    }
    if (wrong || r.how != ending::returned) r.outputs[i] = nullptr;
  }
  // What the call created and neither stored nor released: the host reclaims it. A
  // module that ended its call itself (by returning or by its error call) must have
  // released it first; where the host ended the call, reclaiming is the host's job.
  const bool module_ended = r.how == ending::returned || r.how == ending::module_error;
  std::vector<const mxArray*> left;
  for (const mxArray* a : s.live) {
    if (a->parent) continue;  // released with its container
    if (a->made_in_call == s.serial && (r.how != ending::returned || !slotted.count(a))) {
      left.push_back(a);
    }
  }
  for (const mxArray* a : left) {
    if (module_ended && !slotted.count(a)) {
      r.faults.push_back(format_text("a %zux%zu array created by the call was left behind",
                                     a->dims[0], a->numel / (a->dims[0] ? a->dims[0] : 1)));
    }
    s.live.erase(a);
    free_array(const_cast<mxArray*>(a));
  }
  r.interrupt_polls = s.polls;
  r.interrupt_still_pending = s.interrupt_pending;
  s.interrupt_pending = false;
  s.interrupt_after = -1;
  return r;
}

void release_outputs(call_result& result) {
  for (mxArray*& a : result.outputs) {
    if (a) destroy(a);
    a = nullptr;
  }
}

std::string describe_faults(const call_result& result) {
  std::string text;
  for (const std::string& f : result.faults) text += f + "\n";
  return text;
}

}  // namespace test_host

using test_host::ending;
using test_host::host_state;

double* mxGetPr(const mxArray* a) {
  auto held = test_host::enter("mxGetPr");
  test_host::checked(held, a, "mxGetPr");
  if (a->cls != mxDOUBLE_CLASS) {
    test_host::misuse(held, test_host::format_text("mxGetPr on a %s array", test_host::class_name(a->cls)));
  }
  return reinterpret_cast<double*>(a->real);
}

double mxGetScalar(const mxArray* a) {
  auto held = test_host::enter("mxGetScalar");
  test_host::checked(held, a, "mxGetScalar");
  if (a->stored == 0) {
    test_host::misuse(held, test_host::format_text("mxGetScalar on a %s array with no elements",
                                                   test_host::class_name(a->cls)));
  }
  return test_host::element(a, 0);
}

std::size_t mxGetM(const mxArray* a) {
  auto held = test_host::enter("mxGetM");
  return test_host::checked(held, a, "mxGetM")->dims[0];
}

std::size_t mxGetN(const mxArray* a) {
  auto held = test_host::enter("mxGetN");
  test_host::checked(held, a, "mxGetN");
  std::size_t n = 1;
  for (std::size_t i = 1; i < a->dims.size(); ++i) n *= a->dims[i];
  return n;
}

mwSize mxGetNumberOfDimensions(const mxArray* a) {
  auto held = test_host::enter("mxGetNumberOfDimensions");
  return test_host::checked(held, a, "mxGetNumberOfDimensions")->dims.size();
}

const mwSize* mxGetDimensions(const mxArray* a) {
  auto held = test_host::enter("mxGetDimensions");
  return test_host::checked(held, a, "mxGetDimensions")->dims.data();
}

std::size_t mxGetNumberOfElements(const mxArray* a) {
  auto held = test_host::enter("mxGetNumberOfElements");
  return test_host::checked(held, a, "mxGetNumberOfElements")->numel;
}

bool mxIsDouble(const mxArray* a) {
  auto held = test_host::enter("mxIsDouble");
  return test_host::checked(held, a, "mxIsDouble")->cls == mxDOUBLE_CLASS;
}

bool mxIsComplex(const mxArray* a) {
  auto held = test_host::enter("mxIsComplex");
  return test_host::checked(held, a, "mxIsComplex")->complex;
}

bool mxIsSparse(const mxArray* a) {
  auto held = test_host::enter("mxIsSparse");
  return test_host::checked(held, a, "mxIsSparse")->sparse;
}

bool mxIsNumeric(const mxArray* a) {
  auto held = test_host::enter("mxIsNumeric");
  return test_host::is_numeric(test_host::checked(held, a, "mxIsNumeric")->cls);
}

const char* mxGetClassName(const mxArray* a) {
  auto held = test_host::enter("mxGetClassName");
  return test_host::class_name(test_host::checked(held, a, "mxGetClassName")->cls);
}

mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  auto held = test_host::enter("mxCreateDoubleMatrix");
  host_state& s = test_host::state();
  std::size_t bytes = 0;
  mxArray* a = test_host::new_array(mxDOUBLE_CLASS, {m, n}, flag == mxCOMPLEX, false,
                                    s.in_call ? s.serial : 0, &bytes);
  if (a) return a;
  if (!s.in_call) throw std::bad_alloc();
  // As a host does: the failed request ends the call with the host's own error.
  test_host::end_call(held, ending::host_out_of_memory, "",
                      test_host::format_text("%s: failed to allocate %zu bytes of memory",
                                             s.function.c_str(), bytes));
}

void mxDestroyArray(mxArray* a) {
  auto held = test_host::enter("mxDestroyArray");
  if (!a) return;
  host_state& s = test_host::state();
  test_host::checked(held, a, "mxDestroyArray");
  if (s.in_call && a->made_in_call != s.serial) {
    test_host::misuse(held, "mxDestroyArray on an array the call did not create (an input?)");
  }
  s.live.erase(a);
  test_host::free_array(a);
}

int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = test_host::format_text(format, args);
  va_end(args);
  auto held = test_host::enter("mexPrintf");
  host_state& s = test_host::state();
  if (s.current) {
    s.current->printed += text;
  } else {
    std::fputs(text.c_str(), stdout);
  }
  return static_cast<int>(text.size());
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = test_host::format_text(format, args);
  va_end(args);
  auto held = test_host::enter("mexErrMsgIdAndTxt");
  if (!test_host::state().in_call) {
    throw std::logic_error("test host: error call outside a module call: " + text);
  }
  test_host::end_call(held, ending::module_error, id, text);
}

void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = test_host::format_text(format, args);
  va_end(args);
  auto held = test_host::enter("mexWarnMsgIdAndTxt");
  host_state& s = test_host::state();
  if (s.current) s.current->warnings.push_back({id ? id : "", text});
  // As a host does when the user turned warnings into errors.
  if (s.in_call && s.warnings_are_errors) test_host::end_call(held, ending::module_error, id, text);
}

mxClassID mxGetClassID(const mxArray* a) {
  auto held = test_host::enter("mxGetClassID");
  return test_host::checked(held, a, "mxGetClassID")->cls;
}

void* mxGetData(const mxArray* a) {
  auto held = test_host::enter("mxGetData");
  test_host::checked(held, a, "mxGetData");
  if (a->sparse) test_host::misuse(held, "mxGetData on a sparse array");
  return a->real;
}

bool mxIsLogical(const mxArray* a) {
  auto held = test_host::enter("mxIsLogical");
  return test_host::checked(held, a, "mxIsLogical")->cls == mxLOGICAL_CLASS;
}

mxLogical* mxGetLogicals(const mxArray* a) {
  auto held = test_host::enter("mxGetLogicals");
  test_host::checked(held, a, "mxGetLogicals");
  if (a->cls != mxLOGICAL_CLASS) {
    test_host::misuse(held, test_host::format_text("mxGetLogicals on a %s array", test_host::class_name(a->cls)));
  }
  return reinterpret_cast<mxLogical*>(a->real);
}

bool mxIsChar(const mxArray* a) {
  auto held = test_host::enter("mxIsChar");
  return test_host::checked(held, a, "mxIsChar")->cls == mxCHAR_CLASS;
}

bool mxIsCell(const mxArray* a) {
  auto held = test_host::enter("mxIsCell");
  return test_host::checked(held, a, "mxIsCell")->cls == mxCELL_CLASS;
}

mxArray* mxGetCell(const mxArray* a, mwIndex i) {
  auto held = test_host::enter("mxGetCell");
  test_host::checked(held, a, "mxGetCell");
  if (a->cls != mxCELL_CLASS || i >= a->numel) {
    test_host::misuse(held, test_host::format_text("mxGetCell of element %zu of a %s array of %zu",
                                                   i, test_host::class_name(a->cls), a->numel));
  }
  return a->children.empty() ? nullptr : a->children[i];
}

char* mxArrayToString(const mxArray* a) {
  auto held = test_host::enter("mxArrayToString");
  test_host::checked(held, a, "mxArrayToString");
  if (a->cls != mxCHAR_CLASS) return nullptr;
  char* text = static_cast<char*>(std::malloc(a->numel + 1));
  if (!text) return nullptr;
  // Each 16-bit code unit: ASCII as itself, any other as '?' (the hosts convert those to
  // their own encoding, which no module relies on).
  for (std::size_t i = 0; i < a->numel; ++i) {
    const double unit = test_host::element(a, i);
    text[i] = unit < 128 ? static_cast<char>(unit) : '?';
  }
  text[a->numel] = '\0';
  return text;
}

void mxFree(void* p) { std::free(p); }

int mxGetFieldNumber(const mxArray* s, const char* field) {
  auto held = test_host::enter("mxGetFieldNumber");
  test_host::checked(held, s, "mxGetFieldNumber");
  if (s->cls != mxSTRUCT_CLASS) {
    test_host::misuse(held, test_host::format_text("mxGetFieldNumber on a %s array", test_host::class_name(s->cls)));
  }
  for (std::size_t f = 0; f < s->fields.size(); ++f)
    if (s->fields[f] == field) return static_cast<int>(f);
  return -1;
}

mxArray* mxGetField(const mxArray* s, mwIndex i, const char* field) {
  auto held = test_host::enter("mxGetField");
  test_host::checked(held, s, "mxGetField");
  if (s->cls != mxSTRUCT_CLASS || i >= s->numel) {
    test_host::misuse(held, test_host::format_text("mxGetField of element %zu of a %s array of %zu",
                                                   i, test_host::class_name(s->cls), s->numel));
  }
  for (std::size_t f = 0; f < s->fields.size(); ++f)
    if (s->fields[f] == field) return s->children[i * s->fields.size() + f];
  return nullptr;
}

namespace test_host {
namespace {

// A new array of the current call (or of the test, outside one); a failed request ends the
// call with the host's own error, as mxCreateDoubleMatrix's does.
mxArray* created(std::unique_lock<std::mutex>& held, mxClassID cls, std::vector<std::size_t> dims) {
  host_state& s = state();
  std::size_t bytes = 0;
  mxArray* a = new_array(cls, dims, false, false, s.in_call ? s.serial : 0, &bytes);
  if (a) return a;
  if (!s.in_call) throw std::bad_alloc();
  end_call(held, ending::host_out_of_memory, "",
           format_text("%s: failed to allocate %zu bytes of memory", s.function.c_str(), bytes));
}

// Puts value into slot of container, which takes it.
void adopt(std::unique_lock<std::mutex>& held, mxArray* container, std::size_t slot, mxArray* value,
           const char* call) {
  checked(held, container, call);
  checked(held, value, call);
  if (value->parent || value == container) misuse(held, format_text("%s of an array already held", call));
  if (state().in_call && value->made_in_call != state().serial) {
    misuse(held, format_text("%s of an array the call did not create", call));
  }
  mxArray*& place = container->children[slot];
  if (place) {
    state().live.erase(place);
    free_array(place);
  }
  place = value;
  value->parent = container;
}

}  // namespace
}  // namespace test_host

mxArray* mxCreateDoubleScalar(double value) {
  auto held = test_host::enter("mxCreateDoubleScalar");
  mxArray* a = test_host::created(held, mxDOUBLE_CLASS, {1, 1});
  std::memcpy(a->real, &value, sizeof value);
  return a;
}

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID cls, mxComplexity flag) {
  auto held = test_host::enter("mxCreateNumericArray");
  host_state& s = test_host::state();
  if (!test_host::is_numeric(cls)) {
    test_host::misuse(held, test_host::format_text("mxCreateNumericArray of class %s", test_host::class_name(cls)));
  }
  std::size_t bytes = 0;
  mxArray* a = test_host::new_array(cls, std::vector<std::size_t>(dims, dims + ndim), flag == mxCOMPLEX,
                                    false, s.in_call ? s.serial : 0, &bytes);
  if (a) return a;
  if (!s.in_call) throw std::bad_alloc();
  test_host::end_call(held, ending::host_out_of_memory, "",
                      test_host::format_text("%s: failed to allocate %zu bytes of memory",
                                             s.function.c_str(), bytes));
}

mxArray* mxCreateString(const char* text) {
  auto held = test_host::enter("mxCreateString");
  const std::size_t length = std::strlen(text);
  mxArray* a = test_host::created(held, mxCHAR_CLASS, {1, length});
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint16_t c = static_cast<unsigned char>(text[i]);
    std::memcpy(a->real + 2 * i, &c, 2);
  }
  return a;
}

mxArray* mxCreateCellMatrix(mwSize m, mwSize n) {
  auto held = test_host::enter("mxCreateCellMatrix");
  mxArray* a = test_host::created(held, mxCELL_CLASS, {m, n});
  a->children.assign(a->numel, nullptr);
  return a;
}

mxArray* mxCreateStructMatrix(mwSize m, mwSize n, int fields, const char** names) {
  auto held = test_host::enter("mxCreateStructMatrix");
  mxArray* a = test_host::created(held, mxSTRUCT_CLASS, {m, n});
  for (int f = 0; f < fields; ++f) a->fields.push_back(names[f]);
  a->children.assign(a->numel * a->fields.size(), nullptr);
  return a;
}

void mxSetCell(mxArray* cell, mwIndex i, mxArray* value) {
  auto held = test_host::enter("mxSetCell");
  test_host::checked(held, cell, "mxSetCell");
  if (cell->cls != mxCELL_CLASS || i >= cell->numel) {
    test_host::misuse(held, test_host::format_text("mxSetCell of element %zu of a %s array of %zu",
                                                   i, test_host::class_name(cell->cls), cell->numel));
  }
  test_host::adopt(held, cell, i, value, "mxSetCell");
}

void mxSetField(mxArray* s, mwIndex i, const char* field, mxArray* value) {
  auto held = test_host::enter("mxSetField");
  test_host::checked(held, s, "mxSetField");
  std::size_t f = 0;
  while (f < s->fields.size() && s->fields[f] != field) ++f;
  if (s->cls != mxSTRUCT_CLASS || i >= s->numel || f == s->fields.size()) {
    test_host::misuse(held, test_host::format_text("mxSetField of field %s of element %zu of a %s array",
                                                   field, i, test_host::class_name(s->cls)));
  }
  test_host::adopt(held, s, i * s->fields.size() + f, value, "mxSetField");
}

int mxGetNumberOfFields(const mxArray* s) {
  auto held = test_host::enter("mxGetNumberOfFields");
  test_host::checked(held, s, "mxGetNumberOfFields");
  if (s->cls != mxSTRUCT_CLASS) {
    test_host::misuse(held, test_host::format_text("mxGetNumberOfFields of a %s array",
                                                   test_host::class_name(s->cls)));
  }
  return static_cast<int>(s->fields.size());
}

const char* mxGetFieldNameByNumber(const mxArray* s, int n) {
  auto held = test_host::enter("mxGetFieldNameByNumber");
  test_host::checked(held, s, "mxGetFieldNameByNumber");
  if (s->cls != mxSTRUCT_CLASS || n < 0 || static_cast<std::size_t>(n) >= s->fields.size()) {
    test_host::misuse(held, test_host::format_text("mxGetFieldNameByNumber of field %d of a %s array",
                                                   n, test_host::class_name(s->cls)));
  }
  return s->fields[n].c_str();
}

// The interrupt flag of the host that the binding polls outside Octave.
extern "C" bool utIsInterruptPending() {
  auto held = test_host::enter("utIsInterruptPending");
  host_state& s = test_host::state();
  if (s.interrupt_after >= 0 && s.polls >= s.interrupt_after) {
    s.interrupt_pending = true;
    s.interrupt_after = -1;
  }
  s.polls += 1;
  return s.interrupt_pending;
}

extern "C" bool utSetInterruptPending(bool pending) {
  auto held = test_host::enter("utSetInterruptPending");
  host_state& s = test_host::state();
  const bool was = s.interrupt_pending;
  s.interrupt_pending = pending;
  return was;
}
