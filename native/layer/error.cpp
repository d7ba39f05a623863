// Raising Python errors from C++ code.
#include "ref.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qn {

void throw_error() { throw PyError{}; }

void raise(PyObject* type, const char* fmt, ...) {
  va_list vargs;
  va_start(vargs, fmt);
  PyErr_FormatV(type, fmt, vargs);
  va_end(vargs);
  throw PyError{};
}

void raise_obj(PyObject* type, PyObject* msg) {
  PyErr_SetObject(type, msg);
  throw PyError{};
}

void fatal(const char* what) noexcept { Py_FatalError(what); }

}  // namespace qn
