// Arguments: each public callable declares its signature once, as the text
// signature at the head of its docstring ("name($module, /, a, b=0, *, c)").
// The same text gives inspect.signature() its answer and the parser its
// rules, so the two cannot drift. The parser follows the interpreter's
// conventions for positional-or-keyword, keyword-only, *args and **kwargs,
// and every message text of the argument checks lives in args.cpp.
#pragma once

#include "ref.hpp"

#include <string>
#include <vector>

namespace qn {

/// A parsed text signature (pure C++ data, shared by all interpreters).
struct Sig {
  struct Param {
    std::string name;
    bool has_default = false;
  };
  std::string name;           // function name used in messages
  std::vector<Param> params;  // named parameters, positional ones first
  Py_ssize_t n_posonly = 0;   // leading positional-only parameters
  Py_ssize_t n_pos = 0;       // positional (positional-only + positional-or-keyword)
  Py_ssize_t n_required = 0;  // leading positional parameters without default
  bool var_args = false;
  bool var_kw = false;

  /// Parses "name($module, /, a, b=1, *args, c, **kw)\n--\n\n..."; aborts on
  /// a malformed signature, which is a programming error.
  static Sig parse(const char* doc);
};

/// The Sig of a docstring, parsed once per process.
template <const char* Doc>
const Sig& sig_of() {
  static const Sig sig = Sig::parse(Doc);
  return sig;
}

inline constexpr Py_ssize_t kMaxParams = 16;

/// Borrowed views of one call's arguments after parsing. Missing optional
/// parameters are NULL: the body applies the default it documents.
class Args {
 public:
  PyObject* operator[](Py_ssize_t i) const noexcept { return v_[i]; }
  /// The parameter, or `dflt` (borrowed) when it was not given.
  PyObject* get(Py_ssize_t i, PyObject* dflt) const noexcept { return v_[i] ? v_[i] : dflt; }
  bool has(Py_ssize_t i) const noexcept { return v_[i] != nullptr; }
  /// Extra positional arguments (*args), borrowed from the call's vector.
  PyObject* const* rest() const noexcept { return rest_; }
  Py_ssize_t rest_count() const noexcept { return n_rest_; }
  /// A new tuple of the extra positional arguments.
  Ref rest_tuple() const;
  /// Extra keyword arguments (**kwargs): a dict, or NULL when none were given.
  PyObject* kwargs() const noexcept { return kw_.get(); }
  /// Extra keyword arguments as a dict, creating an empty one if needed.
  Ref kwargs_dict() const;

  void parse(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

 private:
  PyObject* v_[kMaxParams] = {};
  PyObject* const* rest_ = nullptr;
  Py_ssize_t n_rest_ = 0;
  Ref kw_;
};

// ---- argument conversions -------------------------------------------------
// Each refuses a wrong type with the interpreter-wide message
// "Argument '<name>' has incorrect type (expected <type>, got <type>)".

[[noreturn]] void raise_arg_type(const char* arg, const char* expected, PyObject* got);

/// An exact `str` (no subclasses, no None); returns it borrowed.
PyObject* exact_str(PyObject* o, const char* arg);
/// An exact `str` or None; returns it borrowed.
PyObject* str_or_none(PyObject* o, const char* arg);
/// An exact `dict`; returns it borrowed.
PyObject* exact_dict(PyObject* o, const char* arg);
/// An exact `dict` or None; returns it borrowed.
PyObject* dict_or_none(PyObject* o, const char* arg);
/// An exact `list`; returns it borrowed.
PyObject* exact_list(PyObject* o, const char* arg);
/// An exact `list` or None; returns it borrowed.
PyObject* list_or_none(PyObject* o, const char* arg);

/// True when `o` is a number that int() takes (int, bool, float, or a type
/// with __int__ / __index__); str and bytes are not numbers here.
bool is_int_like(PyObject* o) noexcept;
/// True when `o` is a number that float() takes without parsing text.
bool is_float_like(PyObject* o) noexcept;

/// int(o) for a number: a new exact int of any size (floats truncate).
Ref to_int(PyObject* o, const char* arg);
/// int(o) as a C long long; OverflowError when it does not fit.
long long to_ll(PyObject* o, const char* arg);
/// float(o) for a number.
double to_double(PyObject* o, const char* arg);

/// Checks the result of a method declared to return `str` (None passes).
PyObject* expect_str_result(PyObject* o);

}  // namespace qn
