// Unboxed Python arithmetic with a fallback to the number protocol.
#include "num.hpp"

#include <climits>
#include <cmath>

namespace qn {

namespace {

constexpr long long kExactInDouble = 1LL << 53;  // ints up to this convert exactly
constexpr long long kSmallFactor = 1LL << 31;    // products of two such never overflow

bool fits_double(long long v) { return v >= -kExactInDouble && v <= kExactInDouble; }

Ref binop(PyObject* (*op)(PyObject*, PyObject*), const Num& a, const Num& b) {
  Ref x = a.py(), y = b.py();
  return Ref::check(op(x.get(), y.get()));
}

}  // namespace

Num Num::of(PyObject* o) {
  if (PyFloat_CheckExact(o)) return of_float(PyFloat_AS_DOUBLE(o));
  if (PyLong_CheckExact(o) || PyBool_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (!overflow) return of_int(v);
  }
  return of_obj(Ref::borrow(o));
}

Ref Num::py() const {
  switch (kind_) {
    case Float:
      return Ref::check(PyFloat_FromDouble(d_));
    case Int:
      return Ref::check(PyLong_FromLongLong(i_));
    default:
      return obj_.dup();
  }
}

Num operator*(const Num& a, const Num& b) {
  using K = Num::Kind;
  if (a.kind_ == K::Float && b.kind_ == K::Float) return Num::of_float(a.d_ * b.d_);
  if (a.kind_ == K::Float && b.kind_ == K::Int) return Num::of_float(a.d_ * static_cast<double>(b.i_));
  if (a.kind_ == K::Int && b.kind_ == K::Float) return Num::of_float(static_cast<double>(a.i_) * b.d_);
  if (a.kind_ == K::Int && b.kind_ == K::Int && a.i_ > -kSmallFactor && a.i_ < kSmallFactor &&
      b.i_ > -kSmallFactor && b.i_ < kSmallFactor)
    return Num::of_int(a.i_ * b.i_);
  return Num::of(binop(PyNumber_Multiply, a, b).get());
}

Num operator+(const Num& a, const Num& b) {
  using K = Num::Kind;
  if (a.kind_ == K::Float && b.kind_ == K::Float) return Num::of_float(a.d_ + b.d_);
  if (a.kind_ == K::Float && b.kind_ == K::Int) return Num::of_float(a.d_ + static_cast<double>(b.i_));
  if (a.kind_ == K::Int && b.kind_ == K::Float) return Num::of_float(static_cast<double>(a.i_) + b.d_);
  if (a.kind_ == K::Int && b.kind_ == K::Int &&
      !((b.i_ > 0 && a.i_ > LLONG_MAX - b.i_) || (b.i_ < 0 && a.i_ < LLONG_MIN - b.i_)))
    return Num::of_int(a.i_ + b.i_);
  return Num::of(binop(PyNumber_Add, a, b).get());
}

Num operator-(const Num& a, const Num& b) {
  using K = Num::Kind;
  if (a.kind_ == K::Float && b.kind_ == K::Float) return Num::of_float(a.d_ - b.d_);
  if (a.kind_ == K::Float && b.kind_ == K::Int) return Num::of_float(a.d_ - static_cast<double>(b.i_));
  if (a.kind_ == K::Int && b.kind_ == K::Float) return Num::of_float(static_cast<double>(a.i_) - b.d_);
  if (a.kind_ == K::Int && b.kind_ == K::Int &&
      !((b.i_ < 0 && a.i_ > LLONG_MAX + b.i_) || (b.i_ > 0 && a.i_ < LLONG_MIN + b.i_)))
    return Num::of_int(a.i_ - b.i_);
  return Num::of(binop(PyNumber_Subtract, a, b).get());
}

Num operator/(const Num& a, const Num& b) {
  using K = Num::Kind;
  // Division by zero raises ZeroDivisionError through the protocol.
  bool zero = (b.kind_ == K::Float && b.d_ == 0.0) || (b.kind_ == K::Int && b.i_ == 0);
  if (!zero) {
    if (a.kind_ == K::Float && b.kind_ == K::Float) return Num::of_float(a.d_ / b.d_);
    if (a.kind_ == K::Float && b.kind_ == K::Int && fits_double(b.i_))
      return Num::of_float(a.d_ / static_cast<double>(b.i_));
    if (a.kind_ == K::Int && b.kind_ == K::Float && fits_double(a.i_))
      return Num::of_float(static_cast<double>(a.i_) / b.d_);
    // Both exact in a double: IEEE division is the correctly rounded quotient.
    if (a.kind_ == K::Int && b.kind_ == K::Int && fits_double(a.i_) && fits_double(b.i_))
      return Num::of_float(static_cast<double>(a.i_) / static_cast<double>(b.i_));
  }
  return Num::of(binop(PyNumber_TrueDivide, a, b).get());
}

bool greater(const Num& a, const Num& b) {
  using K = Num::Kind;
  if (a.kind_ == K::Float && b.kind_ == K::Float) return a.d_ > b.d_;
  if (a.kind_ == K::Int && b.kind_ == K::Int) return a.i_ > b.i_;
  // Mixed int/float compares exactly in Python; within 2**53 so does a double.
  if (a.kind_ == K::Float && b.kind_ == K::Int && fits_double(b.i_)) return a.d_ > static_cast<double>(b.i_);
  if (a.kind_ == K::Int && b.kind_ == K::Float && fits_double(a.i_)) return static_cast<double>(a.i_) > b.d_;
  Ref x = a.py(), y = b.py();
  int r = PyObject_RichCompareBool(x.get(), y.get(), Py_GT);
  if (r < 0) throw_error();
  return r != 0;
}

Num Num::round(int ndigits) const {
  if (kind_ == Int) return *this;  // round(int, n >= 0) is the int itself
  if (kind_ == Float) {
    if (ndigits >= 0 && ndigits <= 15) {
      // Away from a tie the scaled value rounds to the same integer as the
      // exact decimal value of x, and k / 10**n (both exact) is then the
      // correctly rounded double that float.__round__ produces.
      static const double pow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
      const double scale = pow10[ndigits];
      const double y = d_ * scale;
      if (std::fabs(y) < 4.0e15) {
        const double k = std::round(y);
        const double distance_to_tie = std::fabs(std::fabs(y - std::trunc(y)) - 0.5);
        // y carries at most half an ulp of error from the product; demand a
        // margin far above that before trusting it.
        if (distance_to_tie > 1e-6 + std::fabs(y) * 1e-15) return of_float(k / scale);
      }
    }
    // float.__round__: the correctly rounded decimal text, read back.
    char* text = PyOS_double_to_string(d_, 'f', ndigits, 0, nullptr);
    if (!text) throw_error();
    double r = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (r == -1.0 && PyErr_Occurred()) throw_error();
    return of_float(r);
  }
  Ref n = Ref::check(PyLong_FromLong(ndigits));
  Ref name = Ref::check(PyUnicode_InternFromString("__round__"));
  PyObject* argv[] = {obj_.get(), n.get()};
  return of(Ref::check(PyObject_VectorcallMethod(name.get(), argv, 2, nullptr)).get());
}

Num Num::ceil() const {
  if (kind_ == Int) return *this;
  if (kind_ == Float) {
    double c = std::ceil(d_);
    if (std::isfinite(c) && c > -9.0e18 && c < 9.0e18) return of_int(static_cast<long long>(c));
    return of(Ref::check(PyLong_FromDouble(c)).get());  // raises for inf / nan as math.ceil
  }
  Ref math = Ref::check(PyImport_ImportModule("math"));
  Ref fn = Ref::check(PyObject_GetAttrString(math.get(), "ceil"));
  PyObject* argv[] = {obj_.get()};
  return of(Ref::check(PyObject_Vectorcall(fn.get(), argv, 1, nullptr)).get());
}

Num Num::trunc() const {
  if (kind_ == Int) return *this;
  if (kind_ == Float) {
    double t = std::trunc(d_);
    if (std::isfinite(t) && t > -9.0e18 && t < 9.0e18) return of_int(static_cast<long long>(t));
    return of(Ref::check(PyLong_FromDouble(t)).get());
  }
  return of(Ref::check(PyNumber_Long(obj_.get())).get());
}

Num Num::to_float() const {
  if (kind_ == Float) return *this;
  if (kind_ == Int) return of_float(static_cast<double>(i_));
  return of(Ref::check(PyNumber_Float(obj_.get())).get());
}

}  // namespace qn
