// Ownership and errors: `Ref` owns one reference, a raw PyObject* is always
// borrowed, and a set Python error travels as the C++ exception `PyError`
// until the entry point CPython called hands it back as NULL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace qn {

/// Marker exception: a Python exception is set on this thread.
struct PyError {};

/// Throws PyError; the Python error must already be set.
[[noreturn]] void throw_error();
/// Sets `type` with a PyUnicode_FromFormat message and throws PyError.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);
/// Sets `type` with the given message object (borrowed) and throws PyError.
[[noreturn]] void raise_obj(PyObject* type, PyObject* msg);
/// A broken internal invariant: aborts loudly rather than limping on.
[[noreturn]] void fatal(const char* what) noexcept;

/// An owned, move-only reference (NULL allowed).
class Ref {
 public:
  Ref() noexcept = default;
  /// Takes over a new reference (may be NULL).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  /// Adds a reference to a borrowed object (may be NULL).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  /// Takes over the result of a C API call that returns a new reference or
  /// NULL with an error set; throws in the second case.
  static Ref check(PyObject* p) {
    if (!p) throw_error();
    return steal(p);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  /// Gives up ownership; the caller now owns the reference.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  Ref dup() const noexcept { return borrow(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }

/// Runs `body` (returning Ref) and converts every C++ exception into a
/// Python error: the one boundary between CPython and the layer.
template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (const PyError&) {
    if (!PyErr_Occurred()) fatal("PyError thrown without a Python error set");
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

/// Same boundary for entry points that return an int status (0 / -1).
template <class F>
int guard_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (const PyError&) {
    if (!PyErr_Occurred()) fatal("PyError thrown without a Python error set");
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return -1;
  }
}

}  // namespace qn
