// Python arithmetic on unboxed numbers. The fee models must give exactly
// what the interpreter's own `*`, `+`, `>`, round() and math.ceil() give,
// including which results are int and which float; `Num` computes floats and
// small ints in registers and hands anything else (huge ints, Decimal, numpy
// scalars, objects with their own operators) to the number protocol.
#pragma once

#include "ref.hpp"

namespace qn {

class Num {
 public:
  Num() noexcept : kind_(Int), i_(0) {}
  static Num of_float(double d) noexcept {
    Num n;
    n.kind_ = Float;
    n.d_ = d;
    return n;
  }
  static Num of_int(long long v) noexcept {
    Num n;
    n.kind_ = Int;
    n.i_ = v;
    return n;
  }
  /// Reads a Python number (borrowed); keeps a reference when it must.
  static Num of(PyObject* o);

  Num(const Num& o) : kind_(o.kind_), d_(o.d_), i_(o.i_), obj_(o.obj_.dup()) {}
  Num& operator=(const Num& o) {
    if (this != &o) {
      kind_ = o.kind_;
      d_ = o.d_;
      i_ = o.i_;
      obj_ = o.obj_.dup();
    }
    return *this;
  }
  Num(Num&&) noexcept = default;
  Num& operator=(Num&&) noexcept = default;

  /// A new reference to the value as a Python object.
  Ref py() const;

  friend Num operator*(const Num& a, const Num& b);
  friend Num operator+(const Num& a, const Num& b);
  friend Num operator-(const Num& a, const Num& b);
  /// Python's true division (int / int gives a float).
  friend Num operator/(const Num& a, const Num& b);
  Num& operator+=(const Num& b) { return *this = *this + b; }
  /// Python's `a > b`.
  friend bool greater(const Num& a, const Num& b);

  /// round(x, ndigits) of the interpreter (ties to even, ints unchanged).
  Num round(int ndigits) const;
  /// math.ceil(x): an int.
  Num ceil() const;
  /// int(x).
  Num trunc() const;
  /// float(x).
  Num to_float() const;

 private:
  enum Kind { Int, Float, Obj };
  static Num of_obj(Ref o) noexcept {
    Num n;
    n.kind_ = Obj;
    n.obj_ = std::move(o);
    return n;
  }
  Kind kind_;
  double d_ = 0.0;
  long long i_ = 0;
  Ref obj_;
};

/// The larger of two values as the fee schedules write it: `b` when b > a,
/// otherwise `a` (so on equality the first operand, with its type).
inline Num max_of(const Num& a, const Num& b) { return greater(b, a) ? b : a; }

}  // namespace qn
