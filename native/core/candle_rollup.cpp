// quillon.core.candle_rollup: the framework's grammar of bar frequencies and
// the clock-aligned N-minute aggregation of one-minute bars, for lists of
// Bar records and for OHLCV tables.
//
// Every path here must give what the plain Python operations give (sorted(),
// max(), sum(), datetime arithmetic, pandas' reductions and dtype inference),
// so each fast path is guarded by a test of the inputs it is exact for, and
// anything else goes through the interpreter's own operations.
#include "qn.hpp"

#include <datetime.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

#define ROLLUP_OBJECTS(O)                                                                         \
  O(AGGREGATABLE_NMIN) O(FREQ_RE) O(Bar) O(timedelta) O(pd) O(DataFrame) O(to_datetime)           \
  O(DatetimeArray) O(StringDtype) O(np) O(np_dtype) O(np_empty) O(np_intp) O(np_int64) O(np_float64)    \
  O(np_object) O(attrgetter_datetime) O(allowed_text) O(unit_min) O(unit_day) O(text_stable)       \
  O(int_0) O(int_60) O(kw_bar) O(kw_bar_n) O(kw_bar_v) O(kw_bar_nv) O(kw_minutes)        \
  O(kw_replace) O(kw_drop) O(kw_kind) O(kw_key) O(kw_dtype) O(col_open) O(col_high) O(col_low)     \
  O(col_close) O(col_volume) O(col_num_trds) O(col_value)
#define ROLLUP_NAMES(N)                                                                           \
  N(datetime) N(security) N(open) N(high) N(low) N(close) N(volume) N(num_trds) N(value) N(hour)   \
  N(minute) N(replace) N(match) N(groups) N(lower) N(empty) N(copy) N(iloc) N(reset_index)          \
  N(sort_values) N(index) N(to_numpy) N(array) N(asi8) N(unit) N(tz) N(tz_localize) N(localize)    \
  N(dtype) N(dtypes) N(columns) N(is_unique) N(take) N(isna) N(all) N(max) N(min) N(sum)    \
  N(fillna) N(assign) N(to_pydatetime) N(tolist) N(sort) N(kind)

struct State {
  QN_STATE(ROLLUP_OBJECTS, ROLLUP_NAMES)
  // Whether numpy adds up float64 runs the way numpy_sum does (probed at import).
  bool numpy_sum_known;
};

using qn::Ref;

constexpr int kNmin[] = {2, 3, 5, 10, 15, 20, 30, 60};

bool aggregatable(long long n) {
  for (int v : kNmin)
    if (v == n) return true;
  return false;
}

// ---- small helpers ------------------------------------------------------------

Ref item(PyObject* o, PyObject* key) { return Ref::check(PyObject_GetItem(o, key)); }
Ref item_at(PyObject* o, Py_ssize_t i) {
  Ref k = Ref::check(PyLong_FromSsize_t(i));
  return item(o, k.get());
}
void set_item(PyObject* o, PyObject* key, PyObject* v) {
  if (PyObject_SetItem(o, key, v) < 0) qn::throw_error();
}
Ref rich(PyObject* a, PyObject* b, int op) { return Ref::check(PyObject_RichCompare(a, b, op)); }
bool rich_bool(PyObject* a, PyObject* b, int op) { return qn::truthy(rich(a, b, op).get()); }
Ref number(PyObject* r) { return Ref::check(r); }

// A raised error set aside, to be raised later or dropped.
class Pending {
 public:
  bool set() const { return static_cast<bool>(error_); }
  void capture() { error_ = Ref::steal(PyErr_GetRaisedException()); }
  [[noreturn]] void reraise() {
    PyErr_SetRaisedException(error_.release());
    qn::throw_error();
  }

 private:
  Ref error_;
};

// `o` as a C long long when it is an int that fits; `overflow` tells the sign
// of a value that does not.
long long as_ll(PyObject* int_obj, int& overflow) {
  long long v = PyLong_AsLongLongAndOverflow(int_obj, &overflow);
  if (v == -1 && PyErr_Occurred()) qn::throw_error();
  return v;
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kUsPerMinute = 60'000'000;
constexpr int64_t kUsPerDay = 86'400'000'000;
// datetime.min and datetime.max in microseconds from the epoch.
constexpr int64_t kMinUs = -719162 * kUsPerDay;
constexpr int64_t kMaxUs = 2932896 * kUsPerDay + kUsPerDay - 1;

// Bucket key of a wall time: the day and the floored minute of the day, as
// one number. Equal keys are equal window starts.
int64_t key_of(int64_t us, long long n_min, bool n_huge) {
  int64_t day = floor_div(us, kUsPerDay);
  int64_t minute = (us - day * kUsPerDay) / kUsPerMinute;
  int64_t floored = n_huge ? 0 : (minute / n_min) * n_min;
  return day * 1440 + floored;
}

// A timedelta as microseconds, clamped far outside any gap two datetimes can
// have, so the comparison with a real gap keeps its answer.
int64_t delta_us(PyObject* td) {
  const int64_t days = PyDateTime_DELTA_GET_DAYS(td);
  if (days > 100'000'000) return INT64_MAX / 2;
  if (days < -100'000'000) return INT64_MIN / 2;
  return days * kUsPerDay + PyDateTime_DELTA_GET_SECONDS(td) * 1'000'000LL + PyDateTime_DELTA_GET_MICROSECONDS(td);
}

Ref make_timedelta_minutes(State& st, double minutes) {
  Ref m = qn::py_float(minutes);
  PyObject* argv[] = {m.get()};
  return qn::call_kw(st.timedelta, argv, 0, st.kw_minutes);
}

// ---- Python's sum() and max()/min() over a run of values ----------------------

// The value of an int (any PyLong) as a C long, or `overflow` set.
inline long compact_or_long(PyObject* v, int& overflow) {
  auto* lv = reinterpret_cast<PyLongObject*>(v);
  if (PyUnstable_Long_IsCompact(lv)) return static_cast<long>(PyUnstable_Long_CompactValue(lv));
  return PyLong_AsLongAndOverflow(v, &overflow);
}

// bool(v), without a call for the exact ints and floats records hold.
inline bool truth_of(PyObject* v) {
  if (v == Py_None) return false;
  if (PyLong_CheckExact(v)) {
    auto* lv = reinterpret_cast<PyLongObject*>(v);
    return !PyUnstable_Long_IsCompact(lv) || PyUnstable_Long_CompactValue(lv) != 0;
  }
  if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) != 0.0;
  return qn::truthy(v);
}

// sum(values) started from the int 0, reproducing the interpreter's own
// fast paths: machine ints while they fit a C long, then compensated float
// addition, then plain `+` for everything else. Which path a value takes
// decides the rounding, so the modes switch exactly where sum()'s do.
class PySum {
 public:
  void add(PyObject* v) {
    switch (mode_) {
      case Int:
        if (PyLong_CheckExact(v) || PyBool_Check(v)) {
          int overflow = 0;
          long b = compact_or_long(v, overflow);
          if (!overflow && (i_ >= 0 ? b <= LONG_MAX - i_ : b >= LONG_MIN - i_)) {
            i_ += b;
            return;
          }
        }
        {
          Ref start = Ref::check(PyLong_FromLongLong(i_));
          Ref r = number(PyNumber_Add(start.get(), v));
          if (PyFloat_CheckExact(r.get())) {
            mode_ = Float;
            f_ = PyFloat_AS_DOUBLE(r.get());
            c_ = 0.0;
          } else {
            mode_ = Obj;
            obj_ = std::move(r);
          }
        }
        return;
      case Float:
        if (PyFloat_CheckExact(v)) {
          const double x = PyFloat_AS_DOUBLE(v);
          const double t = f_ + x;
          if (std::fabs(f_) >= std::fabs(x))
            c_ += (f_ - t) + x;
          else
            c_ += (x - t) + f_;
          f_ = t;
          return;
        }
        if (PyLong_Check(v)) {
          int overflow = 0;
          long b = compact_or_long(v, overflow);
          if (!overflow) {
            f_ += static_cast<double>(b);
            return;
          }
        }
        {
          Ref start = qn::py_float(finish_float());
          obj_ = number(PyNumber_Add(start.get(), v));
          mode_ = Obj;
        }
        return;
      case Obj:
        obj_ = number(PyNumber_Add(obj_.get(), v));
        return;
    }
  }
  Ref result() {
    switch (mode_) {
      case Int:
        return Ref::check(PyLong_FromLongLong(i_));
      case Float:
        return qn::py_float(finish_float());
      case Obj:
        break;
    }
    return obj_.dup();
  }

 private:
  double finish_float() const {
    // The compensation is left out when it is not finite, so an overflowed
    // sum stays infinite instead of turning into a NaN.
    return (c_ != 0.0 && std::isfinite(c_)) ? f_ + c_ : f_;
  }
  enum Mode { Int, Float, Obj } mode_ = Int;
  long long i_ = 0;  // stays within [LONG_MIN, LONG_MAX]
  double f_ = 0.0, c_ = 0.0;
  Ref obj_;
};

// max() (op Py_GT) or min() (op Py_LT): a later value replaces the best one
// only when it compares strictly better, so the first of equals wins.
class PyExtreme {
 public:
  explicit PyExtreme(int op) : op_(op) {}
  void add(Ref v) {
    if (!best_) {
      best_ = std::move(v);
      return;
    }
    if (better(v.get(), best_.get())) best_ = std::move(v);
  }
  // For values the caller keeps alive until result().
  void add_borrowed(PyObject* v) {
    if (!borrowed_ || better(v, borrowed_)) borrowed_ = v;
  }
  Ref result() { return borrowed_ ? Ref::borrow(borrowed_) : std::move(best_); }

 private:
  bool better(PyObject* a, PyObject* b) const {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
      const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
      return op_ == Py_GT ? x > y : x < y;
    }
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
      int oa = 0, ob = 0;
      long x = compact_or_long(a, oa), y = compact_or_long(b, ob);
      if (!oa && !ob) return op_ == Py_GT ? x > y : x < y;
    }
    int r = PyObject_RichCompareBool(a, b, op_);
    if (r < 0) qn::throw_error();
    return r != 0;
  }
  int op_;
  Ref best_;
  PyObject* borrowed_ = nullptr;
};

// ---- frequency grammar ------------------------------------------------------------

// str.isspace() for ASCII, which is what \s matches in a str pattern.
bool ascii_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

bool unit_word(const char* p, size_t len, bool& day) {
  char w[8];
  if (len == 0 || len > 7) return false;
  for (size_t i = 0; i < len; ++i) {
    char c = p[i];
    w[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view word(w, len);
  for (const char* u : {"min", "m", "mins", "minutes"})
    if (word == u) return day = false, true;
  for (const char* u : {"day", "d", "days"})
    if (word == u) return day = true, true;
  return false;
}

// Matches `freq` (an exact str) against the frequency pattern. False when it
// does not match; raises only what int() of the digits raises. ASCII text is
// read here (for ASCII the pattern is a plain token grammar); any other text
// goes through the compiled pattern itself.
bool match_freq(State& st, PyObject* freq, bool& day, Ref& n) {
  if (PyUnicode_IS_ASCII(freq)) {
    const char* p = static_cast<const char*>(PyUnicode_DATA(freq));
    const size_t len = static_cast<size_t>(PyUnicode_GET_LENGTH(freq));
    size_t i = 0;
    while (i < len && ascii_space(static_cast<unsigned char>(p[i]))) ++i;
    const size_t d0 = i;
    while (i < len && p[i] >= '0' && p[i] <= '9') ++i;
    const size_t d1 = i;
    if (d1 == d0) return false;
    while (i < len && ascii_space(static_cast<unsigned char>(p[i]))) ++i;
    const size_t w0 = i;
    while (i < len && !ascii_space(static_cast<unsigned char>(p[i]))) ++i;
    const size_t w1 = i;
    while (i < len && ascii_space(static_cast<unsigned char>(p[i]))) ++i;
    if (i != len || !unit_word(p + w0, w1 - w0, day)) return false;
    if (d1 - d0 <= 18) {
      long long v = 0;
      for (size_t k = d0; k < d1; ++k) v = v * 10 + (p[k] - '0');
      n = qn::py_int(v);
    } else {
      // Long digit runs follow int() exactly, its digit limit included.
      const std::string digits(p + d0, d1 - d0);
      n = Ref::check(PyLong_FromString(digits.c_str(), nullptr, 10));
    }
    return true;
  }
  Ref m = qn::call_method(st.FREQ_RE, st.str_match, freq);
  if (m.get() == Py_None) return false;
  Ref groups = qn::call_method(m.get(), st.str_groups);
  if (!PyTuple_CheckExact(groups.get()) || PyTuple_GET_SIZE(groups.get()) != 2)
    qn::raise(PyExc_SystemError, "unexpected groups of the frequency pattern");
  n = Ref::check(PyNumber_Long(PyTuple_GET_ITEM(groups.get(), 0)));
  Ref lowered = qn::call_method(PyTuple_GET_ITEM(groups.get(), 1), st.str_lower);
  // Only the first letter decides: "d" (and nothing else) lower-cases to "d".
  day = PyUnicode_GET_LENGTH(lowered.get()) > 0 && PyUnicode_READ_CHAR(lowered.get(), 0) == 'd';
  return true;
}

// parse_bar_freq's work: (day, n), or false with ValueError set (one of the
// documented texts). The error is set, not thrown: a refused text is an
// ordinary answer here, and a C++ throw would cost more than the parse.
bool parse_freq(State& st, PyObject* freq, bool& day, Ref& n) {
  if (PyUnicode_GET_LENGTH(freq) == 0) {
    PyErr_Format(PyExc_ValueError, "freq=%R is not a valid bar frequency", freq);
    return false;
  }
  if (match_freq(st, freq, day, n)) return true;
  PyErr_Format(PyExc_ValueError, "freq=%R is not supported. Use forms like '1Min', '5Min', '15min', or '1Day'.",
               freq);
  return false;
}

// N when `freq` is an aggregatable N-minute frequency, else a NULL Ref.
Ref aggregatable_nmin(State& st, PyObject* freq) {
  bool day = false;
  Ref n;
  if (PyUnicode_GET_LENGTH(freq) == 0) return Ref();
  try {
    if (!match_freq(st, freq, day, n)) return Ref();
  } catch (const qn::PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
    PyErr_Clear();
    return Ref();
  }
  if (day) return Ref();
  int overflow = 0;
  long long v = as_ll(n.get(), overflow);
  if (overflow || !aggregatable(v)) return Ref();
  return n;
}

constexpr char parse_bar_freq_doc[] = "parse_bar_freq($module, /, freq)\n--\n\n";
Ref parse_bar_freq(State& st, const qn::Args& a) {
  PyObject* freq = qn::exact_str(a[0], "freq");
  bool day = false;
  Ref n;
  if (!parse_freq(st, freq, day, n)) return Ref();  // NULL with the error set
  return Ref::check(PyTuple_Pack(2, day ? st.unit_day : st.unit_min, n.get()));
}

constexpr char try_parse_aggregatable_nmin_doc[] = "try_parse_aggregatable_nmin($module, /, freq)\n--\n\n";
Ref try_parse_aggregatable_nmin(State& st, const qn::Args& a) {
  Ref n = aggregatable_nmin(st, qn::exact_str(a[0], "freq"));
  return n ? std::move(n) : qn::none();
}

constexpr char is_nmin_aggregatable_doc[] = "is_nmin_aggregatable($module, /, freq)\n--\n\n";
Ref is_nmin_aggregatable(State& st, const qn::Args& a) {
  return qn::boolean(static_cast<bool>(aggregatable_nmin(st, qn::exact_str(a[0], "freq"))));
}

constexpr char to_backtest_interval_doc[] = "to_backtest_interval($module, /, freq)\n--\n\n";
Ref to_backtest_interval(State& st, const qn::Args& a) {
  PyObject* freq = qn::exact_str(a[0], "freq");
  bool day = false;
  Ref n;
  if (!parse_freq(st, freq, day, n)) return Ref();  // NULL with the error set
  int overflow = 0;
  const long long v = as_ll(n.get(), overflow);
  if (overflow) return Ref::check(PyUnicode_FromFormat("%S%s", n.get(), day ? "day" : "min"));
  const std::string text = std::to_string(v) + (day ? "day" : "min");
  return qn::str(text);
}

// ---- bucket keys -------------------------------------------------------------------

// n_min as an int object plus, when it is a positive machine int, its value.
struct Nmin {
  Ref obj;
  long long v = 0;
  bool machine = false;  // 1 <= v, fits a long long
  bool huge = false;     // above any long long
};

Nmin nmin_of(PyObject* o) {
  Nmin n;
  n.obj = qn::to_int(o, "n_min");
  int overflow = 0;
  n.v = as_ll(n.obj.get(), overflow);
  n.huge = overflow > 0;
  n.machine = !overflow && n.v >= 1;
  return n;
}

// dt.replace(hour=, minute=, second=0, microsecond=0) at the start of the
// window. An exact datetime is rebuilt here (tzinfo and fold kept, as replace
// keeps them); anything else, datetime subclasses included, runs its own
// hour, minute and replace.
Ref bucket_start(State& st, PyObject* dt, const Nmin& n) {
  if (n.machine && PyDateTime_CheckExact(dt)) {
    const long long total = PyDateTime_DATE_GET_HOUR(dt) * 60 + PyDateTime_DATE_GET_MINUTE(dt);
    const auto floored = static_cast<int>((total / n.v) * n.v);
    return Ref::check(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt), floored / 60, floored % 60, 0, 0,
        PyDateTime_DATE_GET_TZINFO(dt), PyDateTime_DATE_GET_FOLD(dt), PyDateTimeAPI->DateTimeType));
  }
  Ref hour = qn::getattr(dt, st.str_hour);
  Ref hours = number(PyNumber_Multiply(hour.get(), st.int_60));
  Ref minute = qn::getattr(dt, st.str_minute);
  Ref total = number(PyNumber_Add(hours.get(), minute.get()));
  Ref q = number(PyNumber_FloorDivide(total.get(), n.obj.get()));
  Ref floored = number(PyNumber_Multiply(q.get(), n.obj.get()));
  Ref replace = qn::getattr(dt, st.str_replace);
  Ref h = number(PyNumber_FloorDivide(floored.get(), st.int_60));
  Ref m = number(PyNumber_Remainder(floored.get(), st.int_60));
  PyObject* argv[] = {h.get(), m.get(), st.int_0, st.int_0};
  return qn::call_kw(replace.get(), argv, 0, st.kw_replace);
}

constexpr char bucket_start_doc[] = "_bucket_start($module, /, dt, n_min)\n--\n\n";
Ref bucket_start_fn(State& st, const qn::Args& a) { return bucket_start(st, a[0], nmin_of(a[1])); }

// ---- merging one bucket of bars ----------------------------------------------------

// getattr(bar, name, 0) or 0: its truth value is reported in `truth`.
Ref optional_count(State& st, PyObject* bar, PyObject* name, bool& truth) {
  Ref v = qn::getattr_opt(bar, name);
  if (!v) {
    truth = false;
    return Ref::borrow(st.int_0);
  }
  truth = qn::truthy(v.get());
  return truth ? std::move(v) : Ref::borrow(st.int_0);
}

// One output Bar from a time-ordered bucket. Fields are read in the order
// of the record: security and open of the first bar, every high, every low,
// close of the last, every volume, then the optional counts.
Ref merge_bucket(State& st, PyObject* const* bars, size_t count, PyObject* first, PyObject* last, PyObject* dt) {
  Ref security = qn::getattr(first, st.str_security);
  Ref open = qn::getattr(first, st.str_open);
  PyExtreme high(Py_GT), low(Py_LT);
  for (size_t i = 0; i < count; ++i) high.add(qn::getattr(bars[i], st.str_high));
  for (size_t i = 0; i < count; ++i) low.add(qn::getattr(bars[i], st.str_low));
  Ref close = qn::getattr(last, st.str_close);
  PySum volume, num_trds, value;
  for (size_t i = 0; i < count; ++i) volume.add(qn::getattr(bars[i], st.str_volume).get());
  bool any_trds = false, any_value = false;
  for (size_t i = 0; i < count; ++i) {
    bool t = false;
    Ref v = optional_count(st, bars[i], st.str_num_trds, t);
    any_trds = any_trds || t;
    num_trds.add(v.get());
  }
  for (size_t i = 0; i < count; ++i) {
    bool t = false;
    Ref v = optional_count(st, bars[i], st.str_value, t);
    any_value = any_value || t;
    value.add(v.get());
  }
  Ref hi = high.result(), lo = low.result(), vol = volume.result();
  Ref trds = any_trds ? num_trds.result() : Ref(), val = any_value ? value.result() : Ref();
  PyObject* argv[9] = {dt, security.get(), open.get(), hi.get(), lo.get(), close.get(), vol.get()};
  PyObject* kwnames = st.kw_bar;
  size_t k = 7;
  if (any_trds) argv[k++] = trds.get();
  if (any_value) argv[k++] = val.get();
  if (any_trds && any_value)
    kwnames = st.kw_bar_nv;
  else if (any_trds)
    kwnames = st.kw_bar_n;
  else if (any_value)
    kwnames = st.kw_bar_v;
  return qn::call_kw(st.Bar, argv, 0, kwnames);
}

bool is_start(PyObject* bar_convention) { return PyUnicode_CompareWithASCIIString(bar_convention, "start") == 0; }

constexpr char merge_bucket_doc[] = "_merge_bucket($module, /, bars, bar_convention)\n--\n\n";
Ref merge_bucket_fn(State& st, const qn::Args& a) {
  PyObject* bars = a[0];
  const bool start = is_start(qn::exact_str(a[1], "bar_convention"));
  Ref first = item(bars, st.int_0);
  Ref minus_one = qn::py_int(-1);
  Ref last = item(bars, minus_one.get());
  Ref dt = qn::getattr(start ? first.get() : last.get(), st.str_datetime);
  Ref all = Ref::check(PySequence_List(bars));
  const auto count = static_cast<size_t>(PyList_GET_SIZE(all.get()));
  if (count == 0) {
    // Indexable but empty when iterated: max() of nothing, after the first
    // bar's security and open were read.
    qn::getattr(first.get(), st.str_security);
    qn::getattr(first.get(), st.str_open);
    qn::raise(PyExc_ValueError, "max() iterable argument is empty");
  }
  return merge_bucket(st, &PyList_GET_ITEM(all.get(), 0), count, first.get(), last.get(), dt.get());
}

// ---- aggregation of bar lists ------------------------------------------------------

void check_nmin_aggregatable(State& st, const Nmin& n) {
  int overflow = 0;
  long long v = as_ll(n.obj.get(), overflow);
  if (overflow < 0 || (!overflow && v <= 1)) qn::raise(PyExc_ValueError, "n_min must be > 1, got %S", n.obj.get());
  if (overflow || !aggregatable(v))
    qn::raise(PyExc_ValueError, "n_min=%S is not supported. Allowed: %U", n.obj.get(), st.allowed_text);
}

// require_full's truth value, taken the first time a bucket is closed.
class LazyTruth {
 public:
  explicit LazyTruth(PyObject* o) : o_(o) {}
  bool get() {
    if (state_ < 0) state_ = qn::truthy(o_) ? 1 : 0;
    return state_ == 1;
  }

 private:
  PyObject* o_;
  int state_ = -1;
};

// The records of one call. A list or tuple is read in place, each record
// held only while it is in use: a private copy would cost a pass over every
// record at the start and another at the end, and would be traversed by each
// collection the merges trigger. The length is checked on every read, so
// records whose own code shrinks the list make the call fail rather than
// read freed memory. Any other iterable is collected into a list first.
class Records {
 public:
  explicit Records(PyObject* bars)
      : seq_(PyList_CheckExact(bars) || PyTuple_CheckExact(bars) ? Ref::borrow(bars)
                                                                 : Ref::check(PySequence_List(bars))),
        list_(PyList_CheckExact(seq_.get())),
        count_(static_cast<size_t>(Py_SIZE(seq_.get()))) {}
  size_t size() const { return count_; }
  PyObject* seq() const { return seq_.get(); }
  Ref at(size_t i) const {
    const auto k = static_cast<Py_ssize_t>(i);
    if (!list_) return Ref::borrow(PyTuple_GET_ITEM(seq_.get(), k));
    if (k >= PyList_GET_SIZE(seq_.get())) qn::raise(PyExc_RuntimeError, "list changed size during iteration");
    return Ref::borrow(PyList_GET_ITEM(seq_.get(), k));
  }

 private:
  Ref seq_;
  bool list_;
  size_t count_;
};

struct BarBuckets {
  State& st;
  const Nmin& n;
  LazyTruth& require_full;
  Ref out;

  bool wanted(size_t count) { return !require_full.get() || static_cast<long long>(count) >= n.v; }
  void append(Ref bar) {
    if (PyList_Append(out.get(), bar.get()) < 0) qn::throw_error();
  }
  void flush(PyObject* const* bars, size_t count, PyObject* first_dt, PyObject* last_dt, bool start) {
    if (count == 0 || !wanted(count)) return;
    append(merge_bucket(st, bars, count, bars[0], bars[count - 1], start ? first_dt : last_dt));
  }
};

// One bar of the native pass with the fields the merge needs, read in the
// same sweep as its time so that each record is visited once. A read that
// failed leaves its field empty and marks the row; the merge of a bucket
// holding such a row reads that bucket's records again, in the merge's own
// order, so any error is the one the merge itself raises (and a bucket that
// is dropped never raises at all).
struct BarRow {
  Ref bar, dt, high, low, volume, num_trds, value;
  int64_t us = 0, key = 0;
  bool reread = false;
};

// getattr(o, name) for the eager sweep: an empty Ref when it fails, and the
// error is dropped -- unless it is not an Exception (KeyboardInterrupt and
// the like must not be swallowed). `attr_error` tells an AttributeError.
Ref sweep_attr(PyObject* o, PyObject* name, bool& attr_error) {
  PyObject* v = PyObject_GetAttr(o, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) qn::throw_error();
  attr_error = PyErr_ExceptionMatches(PyExc_AttributeError);
  PyErr_Clear();
  return Ref();
}

// An optional count of a swept row: the value, or 0 for a missing attribute.
PyObject* count_of(State& st, const Ref& v) { return v ? v.get() : st.int_0; }

// merge_bucket on swept rows; `row(k)` is the k-th row of the bucket.
template <class Row>
Ref merge_rows(State& st, size_t count, Row row, bool start) {
  for (size_t i = 0; i < count; ++i) {
    if (!row(i).reread) continue;
    std::vector<PyObject*> bars(count);
    for (size_t k = 0; k < count; ++k) bars[k] = row(k).bar.get();
    return merge_bucket(st, bars.data(), count, bars[0], bars[count - 1], row(start ? 0 : count - 1).dt.get());
  }
  const BarRow& first = row(0);
  const BarRow& last = row(count - 1);
  Ref security = qn::getattr(first.bar.get(), st.str_security);
  Ref open = qn::getattr(first.bar.get(), st.str_open);
  PyExtreme high(Py_GT), low(Py_LT);
  for (size_t i = 0; i < count; ++i) high.add_borrowed(row(i).high.get());
  for (size_t i = 0; i < count; ++i) low.add_borrowed(row(i).low.get());
  Ref close = qn::getattr(last.bar.get(), st.str_close);
  PySum volume, num_trds, value;
  for (size_t i = 0; i < count; ++i) volume.add(row(i).volume.get());
  bool any_trds = false, any_value = false;
  for (size_t i = 0; i < count; ++i) {
    PyObject* v = count_of(st, row(i).num_trds);
    const bool t = truth_of(v);
    any_trds = any_trds || t;
    num_trds.add(t ? v : st.int_0);
  }
  for (size_t i = 0; i < count; ++i) {
    PyObject* v = count_of(st, row(i).value);
    const bool t = truth_of(v);
    any_value = any_value || t;
    value.add(t ? v : st.int_0);
  }
  Ref hi = high.result(), lo = low.result(), vol = volume.result();
  Ref trds = any_trds ? num_trds.result() : Ref(), val = any_value ? value.result() : Ref();
  PyObject* argv[9] = {(start ? first : last).dt.get(), security.get(), open.get(), hi.get(), lo.get(), close.get(),
                       vol.get()};
  size_t k = 7;
  if (any_trds) argv[k++] = trds.get();
  if (any_value) argv[k++] = val.get();
  PyObject* kwnames = any_trds ? (any_value ? st.kw_bar_nv : st.kw_bar_n) : (any_value ? st.kw_bar_v : st.kw_bar);
  return qn::call_kw(st.Bar, argv, 0, kwnames);
}

// Sweeps one record into a row; false when its time is not a datetime the
// native pass can take (not an exact datetime, or another tzinfo than `tz0`).
bool sweep_row(State& st, Ref bar, const Nmin& n, PyObject*& tz0, bool first, BarRow& row) {
  Ref dt = qn::getattr(bar.get(), st.str_datetime);
  PyObject* d = dt.get();
  if (!PyDateTime_CheckExact(d)) return false;
  PyObject* tz = PyDateTime_DATE_GET_TZINFO(d);
  if (first) tz0 = tz;
  if (tz != tz0) return false;
  const int64_t days = days_from_civil(PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d));
  const int minute = PyDateTime_DATE_GET_HOUR(d) * 60 + PyDateTime_DATE_GET_MINUTE(d);
  row.us = days * kUsPerDay + minute * kUsPerMinute + PyDateTime_DATE_GET_SECOND(d) * 1'000'000LL +
           PyDateTime_DATE_GET_MICROSECOND(d);
  row.key = days * 1440 + (minute / n.v) * n.v;
  row.dt = std::move(dt);
  PyObject* b = bar.get();
  bool attr_error = false;
  row.high = sweep_attr(b, st.str_high, attr_error);
  row.low = sweep_attr(b, st.str_low, attr_error);
  row.volume = sweep_attr(b, st.str_volume, attr_error);
  row.reread = !row.high || !row.low || !row.volume;
  attr_error = true;
  row.num_trds = sweep_attr(b, st.str_num_trds, attr_error);
  if (!row.num_trds && !attr_error) row.reread = true;
  attr_error = true;
  row.value = sweep_attr(b, st.str_value, attr_error);
  if (!row.value && !attr_error) row.reread = true;
  row.bar = std::move(bar);
  return true;
}

Ref aggregate_bars(State& st, PyObject* bars, const Nmin& n, PyObject* require_full, bool start,
                   double max_gap_minutes) {
  check_nmin_aggregatable(st, n);
  if (!qn::truthy(bars)) return Ref::check(PyList_New(0));

  const Records records(bars);
  const size_t count = records.size();
  LazyTruth full(require_full);
  BarBuckets buckets{st, n, full, Ref::check(PyList_New(0))};

  // The gap limit is needed while sweeping, but its error (a NaN, say) must
  // come after every time has been read, as it does after the sort.
  Pending gap_error;
  int64_t gap_limit = 0;
  Ref max_gap;
  try {
    max_gap = make_timedelta_minutes(st, max_gap_minutes);
    gap_limit = delta_us(max_gap.get());
  } catch (const qn::PyError&) {
    gap_error.capture();
  }

  // Exact datetimes sharing one tzinfo (naive ones included) sort, subtract
  // and compare as wall-clock times, which is what the native pass does.
  // Records usually come in time order: then each bucket is merged as soon
  // as it closes, while its records are still in cache, and only that
  // bucket's rows are kept. A merge that fails meanwhile is held back until
  // every time has been read (the sort reads them all before any merge). The
  // first record out of order ends this; the call then starts over sorted.
  bool native = true, in_order = true, merging = !gap_error.set();
  {
    std::vector<BarRow> bucket;
    Pending merge_error;
    auto close_bucket = [&] {
      if (merging && !bucket.empty()) {
        try {
          if (buckets.wanted(bucket.size()))
            buckets.append(merge_rows(st, bucket.size(), [&](size_t k) -> const BarRow& { return bucket[k]; }, start));
        } catch (const qn::PyError&) {
          merge_error.capture();
          merging = false;
        }
      }
      bucket.clear();
    };
    PyObject* tz0 = nullptr;
    int64_t prev_us = 0, bucket_key = 0;
    for (size_t i = 0; i < count; ++i) {
      BarRow row;
      if (!sweep_row(st, records.at(i), n, tz0, i == 0, row)) {
        native = false;
        break;
      }
      if (i > 0) {
        if (row.us < prev_us) {
          in_order = false;
          break;
        }
        if (!merging || row.us - prev_us > gap_limit || row.key != bucket_key) close_bucket();
      }
      if (bucket.empty()) bucket_key = row.key;
      prev_us = row.us;
      bucket.push_back(std::move(row));
    }
    if (native && in_order) {
      if (gap_error.set()) gap_error.reraise();
      close_bucket();
      if (merge_error.set()) merge_error.reraise();
      return std::move(buckets.out);
    }
  }

  if (native) {
    // Out of order: what was merged is dropped, and every record is swept
    // again, sorted by time (stably) and merged.
    buckets.out = Ref::check(PyList_New(0));
    std::vector<BarRow> rows(count);
    PyObject* tz0 = nullptr;
    for (size_t i = 0; i < count && native; ++i) native = sweep_row(st, records.at(i), n, tz0, i == 0, rows[i]);
    if (native) {
      if (gap_error.set()) gap_error.reraise();
      std::vector<size_t> order(count);
      for (size_t i = 0; i < count; ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return rows[x].us < rows[y].us; });
      size_t start_i = 0;
      for (size_t i = 1; i <= count; ++i) {
        if (i < count) {
          const BarRow& cur = rows[order[i]];
          const BarRow& prev = rows[order[i - 1]];
          if (cur.us - prev.us <= gap_limit && cur.key == rows[order[start_i]].key) continue;
        }
        const size_t s0 = start_i;
        if (buckets.wanted(i - s0))
          buckets.append(merge_rows(st, i - s0, [&](size_t k) -> const BarRow& { return rows[order[s0 + k]]; }, start));
        start_i = i;
      }
      return std::move(buckets.out);
    }
    buckets.out = Ref::check(PyList_New(0));
  }

  // Mixed zones, datetime subclasses (pandas Timestamps) and other objects:
  // the interpreter's own sort, subtraction and comparisons.
  Ref ordered = Ref::check(PySequence_List(records.seq()));
  {
    Ref sort = qn::getattr(ordered.get(), st.str_sort);
    PyObject* argv[] = {st.attrgetter_datetime};
    qn::call_kw(sort.get(), argv, 0, st.kw_key);
  }
  if (gap_error.set()) gap_error.reraise();
  const auto sorted_count = static_cast<size_t>(PyList_GET_SIZE(ordered.get()));
  if (sorted_count == 0) return std::move(buckets.out);
  PyObject* const* sorted_bars = &PyList_GET_ITEM(ordered.get(), 0);
  size_t start_i = 0;
  Ref bucket_key, prev_dt;
  for (size_t i = 0; i < sorted_count; ++i) {
    Ref dt = qn::getattr(sorted_bars[i], st.str_datetime);
    Ref key = bucket_start(st, dt.get(), n);
    if (i > start_i) {
      Ref gap = number(PyNumber_Subtract(dt.get(), prev_dt.get()));
      if (rich_bool(gap.get(), max_gap.get(), Py_GT) || rich_bool(key.get(), bucket_key.get(), Py_NE)) {
        Ref f = qn::getattr(sorted_bars[start_i], st.str_datetime);
        buckets.flush(&sorted_bars[start_i], i - start_i, f.get(), prev_dt.get(), start);
        start_i = i;
      }
    }
    if (i == start_i) bucket_key = std::move(key);
    prev_dt = std::move(dt);
  }
  Ref f = qn::getattr(sorted_bars[start_i], st.str_datetime);
  Ref l = qn::getattr(sorted_bars[sorted_count - 1], st.str_datetime);
  buckets.flush(&sorted_bars[start_i], sorted_count - start_i, f.get(), l.get(), start);
  return std::move(buckets.out);
}

constexpr char aggregate_1min_bars_doc[] =
    "aggregate_1min_bars($module, /, bars, n_min, *, require_full=True, bar_convention='end', "
    "max_gap_minutes=1.5)\n--\n\n";
Ref aggregate_1min_bars(State& st, const qn::Args& a) {
  Nmin n = nmin_of(a[1]);
  PyObject* conv = a[3] ? qn::exact_str(a[3], "bar_convention") : nullptr;
  const double gap = a[4] ? qn::to_double(a[4], "max_gap_minutes") : 1.5;
  return aggregate_bars(st, a[0], n, a.get(2, Py_True), conv && is_start(conv), gap);
}

// Benchmark floor only (not part of the module's interface): the attribute
// reads aggregate_1min_bars cannot avoid and one Bar built per n_min bars,
// with no sorting, bucketing or arithmetic.
constexpr char read_floor_doc[] = "_read_floor($module, /, bars, n_min)\n--\n\n";
Ref read_floor(State& st, const qn::Args& a) {
  const Records records(a[0]);
  const Py_ssize_t n = std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(qn::to_ll(a[1], "n_min")));
  const auto count = static_cast<Py_ssize_t>(records.size());
  Ref out = Ref::check(PyList_New(0));
  for (Py_ssize_t s = 0; s + n <= count; s += n) {
    Ref first = records.at(static_cast<size_t>(s));
    Ref last = records.at(static_cast<size_t>(s + n - 1));
    Ref dt, hi, lo, vol;
    for (Py_ssize_t i = s; i < s + n; ++i) {
      Ref held = records.at(static_cast<size_t>(i));
      PyObject* bar = held.get();
      dt = qn::getattr(bar, st.str_datetime);
      hi = qn::getattr(bar, st.str_high);
      lo = qn::getattr(bar, st.str_low);
      vol = qn::getattr(bar, st.str_volume);
      qn::getattr_opt(bar, st.str_num_trds);
      qn::getattr_opt(bar, st.str_value);
    }
    Ref security = qn::getattr(first.get(), st.str_security);
    Ref open = qn::getattr(first.get(), st.str_open);
    Ref close = qn::getattr(last.get(), st.str_close);
    PyObject* argv[] = {dt.get(), security.get(), open.get(), hi.get(), lo.get(), close.get(), vol.get()};
    Ref bar = qn::call_kw(st.Bar, argv, 0, st.kw_bar);
    if (PyList_Append(out.get(), bar.get()) < 0) qn::throw_error();
  }
  return out;
}

// ---- table aggregation: numpy buffers ----------------------------------------------

// A read view of a one-dimensional numpy array through the buffer protocol.
class ArrayView {
 public:
  ArrayView(PyObject* array, bool writable) {
    if (PyObject_GetBuffer(array, &view_, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)) < 0)
      qn::throw_error();
    held_ = true;
    if (view_.ndim != 1) qn::raise(PyExc_SystemError, "expected a one-dimensional array");
  }
  ~ArrayView() {
    if (held_) PyBuffer_Release(&view_);
  }
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;
  Py_ssize_t size() const { return view_.shape[0]; }
  template <class T>
  T at(Py_ssize_t i) const {
    return *reinterpret_cast<const T*>(static_cast<const char*>(view_.buf) + i * view_.strides[0]);
  }
  template <class T>
  T& ref(Py_ssize_t i) {
    return *reinterpret_cast<T*>(static_cast<char*>(view_.buf) + i * view_.strides[0]);
  }
  char format() const { return view_.format && view_.format[1] == '\0' ? view_.format[0] : '?'; }
  Py_ssize_t itemsize() const { return view_.itemsize; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

bool is_int64_format(const ArrayView& v) {
  const char f = v.format();
  return v.itemsize() == 8 && (f == 'q' || f == 'l' || f == 'n');
}

Ref np_empty(State& st, Py_ssize_t n, PyObject* dtype) {
  Ref size = Ref::check(PyLong_FromSsize_t(n));
  return qn::call(st.np_empty, size.get(), dtype);
}

Ref intp_array(State& st, const std::vector<Py_ssize_t>& v) {
  Ref arr = np_empty(st, static_cast<Py_ssize_t>(v.size()), st.np_intp);
  ArrayView w(arr.get(), true);
  if (w.itemsize() != static_cast<Py_ssize_t>(sizeof(Py_ssize_t))) qn::raise(PyExc_SystemError, "intp size");
  for (size_t i = 0; i < v.size(); ++i) w.ref<Py_ssize_t>(static_cast<Py_ssize_t>(i)) = v[i];
  return arr;
}

// numpy's pairwise summation of a float64 run (8 accumulators below 128
// values, halves above), the order in which numpy adds a reduction.
double pairwise_sum(const double* a, size_t n) {
  if (n < 8) {
    double r = -0.0;
    for (size_t i = 0; i < n; ++i) r += a[i];
    return r;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    size_t i = 8;
    for (; i < n - (n % 8); i += 8)
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// What a float64 reduction gives: numpy starts it from the identity 0.0 and
// adds the pairwise sum of the values.
double numpy_sum(const double* a, size_t n) { return 0.0 + pairwise_sum(a, n); }

// True when numpy's own sum agrees with numpy_sum on sample runs (below and
// above the 8 and 128 value steps of its blocking); otherwise the tables are
// built row by row, with pandas doing the sums.
bool probe_numpy_sum(State& st) {
  for (int trial = 0; trial < 6; ++trial) {
    const size_t n = 9 + static_cast<size_t>(trial) * 47;
    std::vector<double> v(n);
    uint64_t x = 0x9E3779B97F4A7C15ULL * static_cast<uint64_t>(trial + 1);
    for (size_t i = 0; i < n; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      const double mant = static_cast<double>(x >> 11) / 9007199254740992.0 - 0.5;
      v[i] = std::ldexp(mant, static_cast<int>(x % 40) - 10);
    }
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), qn::py_float(v[i]).release());
    Ref arr_np = qn::call_method(st.np, qn::intern("asarray").get(), list.get());
    Ref s = qn::call_method(arr_np.get(), st.str_sum);
    const double got = PyFloat_AsDouble(s.get());
    if (got == -1.0 && PyErr_Occurred()) qn::throw_error();
    if (got != numpy_sum(v.data(), n)) return false;
  }
  return true;
}

// ---- table aggregation: the time column ----------------------------------------------

constexpr int64_t kNaT = INT64_MIN;

// The converted time column read as integers: the sort key (the instant, as
// pandas sorts it) and the wall-clock microseconds that bucket keys and gaps
// are taken from. `native` is false when the per-row Python semantics could
// differ from wall-clock arithmetic (see read_times).
struct Times {
  bool native = false;
  std::vector<int64_t> instant;  // kNaT for missing times
  std::vector<int64_t> wall;     // microseconds, floor of the value
  bool has_nanoseconds = false;
};

int64_t unit_factor(PyObject* unit, bool& ns) {
  ns = false;
  if (PyUnicode_CompareWithASCIIString(unit, "s") == 0) return 1'000'000;
  if (PyUnicode_CompareWithASCIIString(unit, "ms") == 0) return 1'000;
  if (PyUnicode_CompareWithASCIIString(unit, "us") == 0) return 1;
  if (PyUnicode_CompareWithASCIIString(unit, "ns") == 0) return ns = true, 1;
  return 0;
}

void read_i8(PyObject* array, std::vector<int64_t>& out) {
  ArrayView v(array, false);
  if (!is_int64_format(v)) qn::raise(PyExc_SystemError, "expected int64 values");
  out.resize(static_cast<size_t>(v.size()));
  for (Py_ssize_t i = 0; i < v.size(); ++i) out[static_cast<size_t>(i)] = v.at<int64_t>(i);
}

// Each row's time is a Timestamp turned into a datetime. Rows of one column
// share its tzinfo object, so gaps and key comparisons are wall-clock
// arithmetic -- except for pytz zones, whose datetimes carry one tzinfo per
// UTC offset: those take the Python route unless the offset never changes.
Times read_times(State& st, PyObject* times, size_t rows) {
  Times t;
  Ref arr = qn::getattr(times, st.str_array);
  int is_dt = PyObject_IsInstance(arr.get(), st.DatetimeArray);
  if (is_dt < 0) qn::throw_error();
  if (!is_dt) return t;
  Ref unit = qn::getattr(arr.get(), st.str_unit);
  bool ns = false;
  const int64_t factor = PyUnicode_CheckExact(unit.get()) ? unit_factor(unit.get(), ns) : 0;
  if (!factor) return t;
  read_i8(qn::getattr(arr.get(), st.str_asi8).get(), t.instant);
  if (t.instant.size() != rows) return t;
  Ref tz = qn::getattr(arr.get(), st.str_tz);
  if (tz.get() == Py_None) {
    t.wall = t.instant;
  } else {
    Ref naive = qn::call_method(arr.get(), st.str_tz_localize, Py_None);
    read_i8(qn::getattr(naive.get(), st.str_asi8).get(), t.wall);
    if (t.wall.size() != rows) return t;
    if (qn::getattr_opt(tz.get(), st.str_localize)) {
      bool seen = false;
      int64_t offset = 0;
      for (size_t i = 0; i < rows; ++i) {
        if (t.instant[i] == kNaT) continue;
        const int64_t o = t.wall[i] - t.instant[i];
        if (seen && o != offset) return t;
        seen = true;
        offset = o;
      }
    }
  }
  for (size_t i = 0; i < rows; ++i) {
    int64_t& w = t.wall[i];
    if (t.instant[i] == kNaT) continue;
    if (ns) {
      if (floor_div(w, 1000) * 1000 != w) t.has_nanoseconds = true;
      w = floor_div(w, 1000);
    } else if (factor > 1) {
      if (w > kMaxUs / factor || w < kMinUs / factor) return t;
      w *= factor;
    }
    // Beyond datetime's range the rows' own conversion raises: let it.
    if (w < kMinUs || w > kMaxUs) return t;
  }
  t.native = true;
  return t;
}

struct Bucket {
  Py_ssize_t i0, i1;  // rows [i0, i1) of the sorted table
};

// Bucket boundaries on wall-clock integers. A missing time (NaT, sorted
// last) is its own bucket: its key and its gaps compare unequal and false.
void native_buckets(const Times& t, const std::vector<Py_ssize_t>& order, const Nmin& n, int64_t gap_limit,
                    std::vector<Bucket>& out) {
  const auto rows = static_cast<Py_ssize_t>(order.size());
  Py_ssize_t start = 0;
  int64_t bucket_key = 0;
  for (Py_ssize_t i = 0; i < rows; ++i) {
    const auto p = static_cast<size_t>(order[static_cast<size_t>(i)]);
    const bool nat = t.instant[p] == kNaT;
    const int64_t key = nat ? 0 : key_of(t.wall[p], n.v, n.huge);
    if (i > 0) {
      const auto q = static_cast<size_t>(order[static_cast<size_t>(i - 1)]);
      const bool prev_nat = t.instant[q] == kNaT;
      if (nat || prev_nat || t.wall[p] - t.wall[q] > gap_limit || key != bucket_key) {
        out.push_back({start, i});
        start = i;
      }
    }
    if (i == start) bucket_key = key;
  }
  out.push_back({start, rows});
}

// Bucket boundaries through the rows' own objects: Timestamp.to_pydatetime,
// replace, subtraction and comparison, as the per-row loop does them. An
// error stops the pass; the buckets closed before it still count, since
// they would have been emitted before the error surfaced.
void python_buckets(State& st, PyObject* sorted_times, const Nmin& n, PyObject* max_gap, std::vector<Bucket>& out,
                    Pending& pending) {
  Ref values = qn::call_method(sorted_times, st.str_tolist);
  if (!PyList_Check(values.get())) qn::raise(PyExc_SystemError, "tolist() gave no list");
  const Py_ssize_t rows = PyList_GET_SIZE(values.get());
  Py_ssize_t start = 0;
  Ref prev = qn::call_method(PyList_GET_ITEM(values.get(), 0), st.str_to_pydatetime);
  Ref bucket_key = bucket_start(st, prev.get(), n);
  try {
    for (Py_ssize_t i = 1; i < rows; ++i) {
      Ref t = qn::call_method(PyList_GET_ITEM(values.get(), i), st.str_to_pydatetime);
      Ref key = bucket_start(st, t.get(), n);
      Ref gap = number(PyNumber_Subtract(t.get(), prev.get()));
      if (rich_bool(gap.get(), max_gap, Py_GT) || rich_bool(key.get(), bucket_key.get(), Py_NE)) {
        out.push_back({start, i});
        start = i;
        bucket_key = std::move(key);
      }
      prev = std::move(t);
    }
  } catch (const qn::PyError&) {
    pending.capture();
    return;
  }
  out.push_back({start, rows});
}

// ---- table aggregation: building the output --------------------------------------------

struct Table {
  State& st;
  PyObject* df;
  PyObject* time_col;
  bool start;
  std::vector<Py_ssize_t> order;  // sorted row -> input row
  std::vector<Bucket> emitted;
};

bool has_column(PyObject* columns, PyObject* name) {
  int r = PySequence_Contains(columns, name);
  if (r < 0) qn::throw_error();
  return r != 0;
}

// The per-bucket steps on a sorted copy of the table, for the inputs whose
// result the column-wise build below cannot promise to equal.
Ref build_rows(Table& tb, Pending& pending) {
  State& st = tb.st;
  Ref order = intp_array(st, tb.order);
  Ref iloc = qn::getattr(tb.df, st.str_iloc);
  Ref taken = item(iloc.get(), order.get());
  PyObject* kw_drop_argv[] = {Py_True};
  Ref reset = qn::getattr(taken.get(), st.str_reset_index);
  Ref work = qn::call_kw(reset.get(), kw_drop_argv, 0, st.kw_drop);
  Ref columns = qn::getattr(work.get(), st.str_columns);
  const bool has_trds = has_column(columns.get(), st.col_num_trds);
  const bool has_value = has_column(columns.get(), st.col_value);
  Ref work_iloc = qn::getattr(work.get(), st.str_iloc);
  Ref rows = Ref::check(PyList_New(0));
  Ref minus_one = qn::py_int(-1);
  for (const Bucket& b : tb.emitted) {
    Ref lo = Ref::check(PyLong_FromSsize_t(b.i0)), hi = Ref::check(PyLong_FromSsize_t(b.i1));
    Ref slice = Ref::check(PySlice_New(lo.get(), hi.get(), nullptr));
    Ref chunk = item(work_iloc.get(), slice.get());
    Ref chunk_iloc = qn::getattr(chunk.get(), st.str_iloc);
    Ref first = item(chunk_iloc.get(), st.int_0);
    Ref last = item(chunk_iloc.get(), minus_one.get());
    Ref row = qn::call(reinterpret_cast<PyObject*>(&PyDict_Type), first.get());
    set_item(row.get(), tb.time_col, item(tb.start ? first.get() : last.get(), tb.time_col).get());
    set_item(row.get(), st.col_open, item(first.get(), st.col_open).get());
    set_item(row.get(), st.col_high, qn::call_method(item(chunk.get(), st.col_high).get(), st.str_max).get());
    set_item(row.get(), st.col_low, qn::call_method(item(chunk.get(), st.col_low).get(), st.str_min).get());
    set_item(row.get(), st.col_close, item(last.get(), st.col_close).get());
    set_item(row.get(), st.col_volume, qn::call_method(item(chunk.get(), st.col_volume).get(), st.str_sum).get());
    for (auto [present, name] : {std::pair{has_trds, st.col_num_trds}, std::pair{has_value, st.col_value}}) {
      if (!present) continue;
      Ref filled = qn::call_method(item(chunk.get(), name).get(), st.str_fillna, st.int_0);
      set_item(row.get(), name, qn::call_method(filled.get(), st.str_sum).get());
    }
    if (PyList_Append(rows.get(), row.get()) < 0) qn::throw_error();
  }
  if (pending.set()) pending.reraise();
  Ref out = qn::call(st.DataFrame, rows.get());
  Ref converted = qn::call(st.to_datetime, item(out.get(), tb.time_col).get());
  Ref kwargs = Ref::check(PyDict_New());
  set_item(kwargs.get(), tb.time_col, converted.get());
  Ref assign = qn::getattr(out.get(), st.str_assign);
  Ref empty_args = Ref::check(PyTuple_New(0));
  out = Ref::check(PyObject_Call(assign.get(), empty_args.get(), kwargs.get()));
  Ref cols = Ref::check(PyList_New(0));
  if (PyList_Append(cols.get(), tb.time_col) < 0) qn::throw_error();
  Ref out_cols = Ref::check(PySequence_List(qn::getattr(out.get(), st.str_columns).get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out_cols.get()); ++i) {
    PyObject* c = PyList_GET_ITEM(out_cols.get(), i);
    if (rich_bool(c, tb.time_col, Py_NE) && PyList_Append(cols.get(), c) < 0) qn::throw_error();
  }
  Ref selected = item(out.get(), cols.get());
  Ref reset_out = qn::getattr(selected.get(), st.str_reset_index);
  return qn::call_kw(reset_out.get(), kw_drop_argv, 0, st.kw_drop);
}

enum class Role { Time, First, Last, Max, Min, Sum, FilledSum };

bool label_is(PyObject* label, PyObject* name) {
  int r = PyObject_RichCompareBool(label, name, Py_EQ);
  if (r < 0) qn::throw_error();
  return r != 0;
}

// Reductions of one int64 or float64 column over the emitted buckets, in
// pandas' terms: max/min skip NaN (all-NaN gives NaN), sums count NaN as 0.
Ref reduce_column(Table& tb, PyObject* values, Role role) {
  State& st = tb.st;
  ArrayView in(values, false);
  const bool is_float = in.format() == 'd' && in.itemsize() == 8;
  const auto k = static_cast<Py_ssize_t>(tb.emitted.size());
  Ref out = np_empty(st, k, is_float ? st.np_float64 : st.np_int64);
  ArrayView w(out.get(), true);
  std::vector<double> run;
  for (Py_ssize_t b = 0; b < k; ++b) {
    const Bucket& bk = tb.emitted[static_cast<size_t>(b)];
    if (is_float) {
      run.clear();
      for (Py_ssize_t i = bk.i0; i < bk.i1; ++i) run.push_back(in.at<double>(tb.order[static_cast<size_t>(i)]));
      double r;
      if (role == Role::Max || role == Role::Min) {
        bool seen = false;
        r = NAN;
        for (double x : run) {
          if (std::isnan(x)) continue;
          if (!seen || (role == Role::Max ? x > r : x < r)) r = x;
          seen = true;
        }
      } else {
        for (double& x : run)
          if (std::isnan(x)) x = 0.0;
        r = numpy_sum(run.data(), run.size());
      }
      w.ref<double>(b) = r;
    } else {
      uint64_t acc = 0;
      int64_t ext = 0;
      for (Py_ssize_t i = bk.i0; i < bk.i1; ++i) {
        const int64_t x = in.at<int64_t>(tb.order[static_cast<size_t>(i)]);
        if (i == bk.i0) ext = x;
        if (role == Role::Max && x > ext) ext = x;
        if (role == Role::Min && x < ext) ext = x;
        acc += static_cast<uint64_t>(x);  // numpy's int64 sum wraps
      }
      w.ref<int64_t>(b) = (role == Role::Max || role == Role::Min) ? ext : static_cast<int64_t>(acc);
    }
  }
  return out;
}

bool numpy_dtype_is(PyObject* dtype, PyObject* wanted) {
  return dtype == wanted || (Py_TYPE(dtype) == Py_TYPE(wanted) && label_is(dtype, wanted));
}

// The first-row (or last-row) values of one column, as the output column the
// row-by-row build would infer from them; a NULL Ref when this build cannot
// promise that (the caller then builds row by row). A row of mixed columns
// keeps each value's own type, so the inferred dtype is the column's own
// when the one-row probe says so and the values cannot change it (a column
// of only missing values would).
Ref pass_through(Table& tb, PyObject* series, PyObject* probe_value, PyObject* probe_dtype, const Ref& positions,
                 bool to_time) {
  State& st = tb.st;
  Ref dtype = qn::getattr(series, st.str_dtype);
  const bool same = label_is(dtype.get(), probe_dtype);
  Ref kind_obj = qn::getattr_opt(dtype.get(), st.str_kind);
  const int numpy_dtype = PyObject_IsInstance(dtype.get(), st.np_dtype);
  if (numpy_dtype < 0) qn::throw_error();
  char kind = 0;
  if (kind_obj && PyUnicode_Check(kind_obj.get()) && PyUnicode_GET_LENGTH(kind_obj.get()) == 1)
    kind = static_cast<char>(PyUnicode_READ_CHAR(kind_obj.get(), 0));
  Ref values;
  if (numpy_dtype && kind == 'O') {
    // Objects: only runs of exact str, whose inferred dtype (object, or the
    // str dtype where pandas infers it) the probe shows when its own value
    // is a str too.
    if (!PyUnicode_CheckExact(probe_value)) return Ref();
    Ref arr = qn::call_method(series, st.str_to_numpy);
    values = qn::call_method(arr.get(), st.str_take, positions.get());
    Ref list = qn::call_method(values.get(), st.str_tolist);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
      if (!PyUnicode_CheckExact(PyList_GET_ITEM(list.get(), i))) return Ref();
    if (!numpy_dtype_is(probe_dtype, st.np_object)) {
      Ref array_fn = qn::getattr(st.pd, st.str_array);
      PyObject* argv[] = {values.get(), probe_dtype};
      values = qn::call_kw(array_fn.get(), argv, 1, st.kw_dtype);
    }
  } else {
    if (!same) return Ref();
    if (numpy_dtype && (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c')) {
      if (to_time) return Ref();
      Ref arr = qn::call_method(series, st.str_to_numpy);
      return qn::call_method(arr.get(), st.str_take, positions.get());
    }
    const bool datetimelike = kind == 'M' || kind == 'm';
    const int text = datetimelike ? 0 : PyObject_IsInstance(dtype.get(), st.StringDtype);
    if (text < 0) qn::throw_error();
    if (!datetimelike && !text) return Ref();
    if (to_time && kind == 'm') return Ref();
    Ref arr = qn::getattr(series, st.str_array);
    values = qn::call_method(arr.get(), st.str_take, positions.get());
    Ref na = qn::call_method(values.get(), st.str_isna);
    if (qn::truthy(qn::call_method(na.get(), st.str_all).get())) return Ref();
    if (datetimelike) return values;
  }
  if (!to_time) return values;
  Ref converted = qn::call(st.to_datetime, values.get());
  return qn::getattr(converted.get(), st.str_array);
}

// Column-wise build: one gather per column for first/last-row values, the
// reductions computed here, one DataFrame at the end. NULL when an input
// needs the row-by-row build.
Ref build_columns(Table& tb) {
  State& st = tb.st;
  Ref columns = Ref::check(PySequence_List(qn::getattr(tb.df, st.str_columns).get()));
  if (!qn::truthy(qn::getattr(qn::getattr(tb.df, st.str_columns).get(), st.str_is_unique).get())) return Ref();
  PyObject* special[] = {st.col_open, st.col_high, st.col_low, st.col_close, st.col_volume, st.col_num_trds,
                         st.col_value};
  for (PyObject* s : special)
    if (label_is(tb.time_col, s)) return Ref();
  if (!st.numpy_sum_known) return Ref();

  std::vector<Py_ssize_t> first_rows, last_rows;
  for (const Bucket& b : tb.emitted) {
    first_rows.push_back(tb.order[static_cast<size_t>(b.i0)]);
    last_rows.push_back(tb.order[static_cast<size_t>(b.i1 - 1)]);
  }
  Ref first_pos = intp_array(st, first_rows), last_pos = intp_array(st, last_rows);

  // One row as the row-by-row build sees it: its inferred dtypes.
  Ref iloc = qn::getattr(tb.df, st.str_iloc);
  Ref probe_row = item_at(iloc.get(), first_rows[0]);
  Ref probe_dict = qn::call(reinterpret_cast<PyObject*>(&PyDict_Type), probe_row.get());
  Ref probe_list = Ref::check(PyList_New(1));
  PyList_SET_ITEM(probe_list.get(), 0, probe_dict.dup().release());
  Ref probe = qn::call(st.DataFrame, probe_list.get());
  Ref probe_dtypes = Ref::check(PySequence_List(qn::getattr(probe.get(), st.str_dtypes).get()));
  if (PyList_GET_SIZE(probe_dtypes.get()) != PyList_GET_SIZE(columns.get())) return Ref();

  // Columns whose dtype rules this build out go first, the costly time
  // conversion last, so a refusal comes before most of the work.
  const Py_ssize_t ncols = PyList_GET_SIZE(columns.get());
  std::vector<Role> roles(static_cast<size_t>(ncols));
  std::vector<Ref> series(static_cast<size_t>(ncols)), values(static_cast<size_t>(ncols));
  for (Py_ssize_t c = 0; c < ncols; ++c) {
    PyObject* label = PyList_GET_ITEM(columns.get(), c);
    Role role = Role::First;
    if (label_is(label, tb.time_col))
      role = Role::Time;
    else if (label_is(label, st.col_close))
      role = Role::Last;
    else if (label_is(label, st.col_high))
      role = Role::Max;
    else if (label_is(label, st.col_low))
      role = Role::Min;
    else if (label_is(label, st.col_volume))
      role = Role::Sum;
    else if (label_is(label, st.col_num_trds) || label_is(label, st.col_value))
      role = Role::FilledSum;
    roles[static_cast<size_t>(c)] = role;
    series[static_cast<size_t>(c)] = item(tb.df, label);
    if (role == Role::Max || role == Role::Min || role == Role::Sum || role == Role::FilledSum) {
      Ref dtype = qn::getattr(series[static_cast<size_t>(c)].get(), st.str_dtype);
      if (!numpy_dtype_is(dtype.get(), st.np_float64) && !numpy_dtype_is(dtype.get(), st.np_int64)) return Ref();
    }
  }
  if (std::count(roles.begin(), roles.end(), Role::Time) != 1) return Ref();
  for (int pass = 0; pass < 2; ++pass) {
    for (Py_ssize_t c = 0; c < ncols; ++c) {
      const Role role = roles[static_cast<size_t>(c)];
      if (role != Role::First && role != Role::Last && role != Role::Time) continue;
      if ((role == Role::Time) != (pass == 1)) continue;
      PyObject* label = PyList_GET_ITEM(columns.get(), c);
      const Ref& pos = role == Role::Last ? last_pos : role == Role::Time && !tb.start ? last_pos : first_pos;
      PyObject* probe_value = PyDict_GetItemWithError(probe_dict.get(), label);  // borrowed
      if (!probe_value) {
        if (PyErr_Occurred()) qn::throw_error();
        return Ref();
      }
      values[static_cast<size_t>(c)] = pass_through(tb, series[static_cast<size_t>(c)].get(), probe_value,
                                                    PyList_GET_ITEM(probe_dtypes.get(), c), pos, role == Role::Time);
      if (!values[static_cast<size_t>(c)]) return Ref();
    }
  }
  Ref result = Ref::check(PyDict_New());
  for (Py_ssize_t c = 0; c < ncols; ++c)
    if (roles[static_cast<size_t>(c)] == Role::Time) set_item(result.get(), tb.time_col, values[static_cast<size_t>(c)].get());
  for (Py_ssize_t c = 0; c < ncols; ++c) {
    const Role role = roles[static_cast<size_t>(c)];
    if (role == Role::Time) continue;
    Ref& v = values[static_cast<size_t>(c)];
    if (!v) {
      Ref arr = qn::call_method(series[static_cast<size_t>(c)].get(), st.str_to_numpy);
      v = reduce_column(tb, arr.get(), role);
    }
    set_item(result.get(), PyList_GET_ITEM(columns.get(), c), v.get());
  }
  return qn::call(st.DataFrame, result.get());
}

constexpr char aggregate_1min_ohlcv_df_doc[] =
    "aggregate_1min_ohlcv_df($module, /, df, n_min, *, require_full=True, bar_convention='end', "
    "max_gap_minutes=1.5, time_col='time_key')\n--\n\n"
    "Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept).";
Ref aggregate_1min_ohlcv_df(State& st, const qn::Args& a) {
  PyObject* df = a[0];
  Nmin n = nmin_of(a[1]);
  PyObject* require_full = a.get(2, Py_True);
  PyObject* conv = a[3] ? qn::exact_str(a[3], "bar_convention") : nullptr;
  const double gap_minutes = a[4] ? qn::to_double(a[4], "max_gap_minutes") : 1.5;
  PyObject* time_col = a[5] ? qn::exact_str(a[5], "time_col") : nullptr;
  Ref default_time_col;
  if (!time_col) {
    default_time_col = qn::intern("time_key");
    time_col = default_time_col.get();
  }

  if (df == Py_None) return qn::call(st.DataFrame);
  int is_df = PyObject_IsInstance(df, st.DataFrame);
  if (is_df < 0) qn::throw_error();
  if (!is_df) qn::raise_arg_type("df", "DataFrame", df);
  if (qn::truthy(qn::getattr(df, st.str_empty).get())) return qn::call_method(df, st.str_copy);
  if (!n.huge && n.v <= 1) return qn::call_method(df, st.str_copy);

  const Py_ssize_t rows = PyObject_Length(df);
  if (rows < 0) qn::throw_error();
  Ref column = item(df, time_col);
  Ref converted = qn::call(st.to_datetime, column.get());
  PyObject* drop_argv[] = {Py_True};
  Ref reset = qn::getattr(converted.get(), st.str_reset_index);
  Ref times = qn::call_kw(reset.get(), drop_argv, 0, st.kw_drop);

  Table tb{st, df, time_col, conv && is_start(conv), {}, {}};
  Times t = read_times(st, times.get(), static_cast<size_t>(rows));
  Ref sorted_times;
  if (t.native) {
    // Stable, by the instant, missing times last: what sort_values does.
    tb.order.resize(static_cast<size_t>(rows));
    for (Py_ssize_t i = 0; i < rows; ++i) tb.order[static_cast<size_t>(i)] = i;
    auto before = [&](Py_ssize_t x, Py_ssize_t y) {
      const int64_t a1 = t.instant[static_cast<size_t>(x)], b1 = t.instant[static_cast<size_t>(y)];
      if (a1 == kNaT) return false;
      return b1 == kNaT || a1 < b1;
    };
    if (!std::is_sorted(tb.order.begin(), tb.order.end(), before))
      std::stable_sort(tb.order.begin(), tb.order.end(), before);
  } else {
    PyObject* kind_argv[] = {st.text_stable};
    Ref sort = qn::getattr(times.get(), st.str_sort_values);
    sorted_times = qn::call_kw(sort.get(), kind_argv, 0, st.kw_kind);
    Ref index = qn::call_method(qn::getattr(sorted_times.get(), st.str_index).get(), st.str_to_numpy);
    std::vector<int64_t> positions;
    read_i8(index.get(), positions);
    tb.order.assign(positions.begin(), positions.end());
  }

  Ref max_gap = make_timedelta_minutes(st, gap_minutes);
  std::vector<Bucket> buckets;
  Pending pending;
  if (t.native) {
    if (t.has_nanoseconds &&
        PyErr_WarnEx(PyExc_UserWarning, "Discarding nonzero nanoseconds in conversion.", 1) < 0)
      qn::throw_error();
    native_buckets(t, tb.order, n, delta_us(max_gap.get()), buckets);
  } else {
    python_buckets(st, sorted_times.get(), n, max_gap.get(), buckets, pending);
  }

  LazyTruth full(require_full);
  for (const Bucket& b : buckets) {
    if (full.get() && (n.huge || b.i1 - b.i0 < n.v)) continue;
    tb.emitted.push_back(b);
  }
  if (tb.emitted.empty()) {
    if (pending.set()) pending.reraise();
    Ref iloc = qn::getattr(df, st.str_iloc);
    Ref none_slice = Ref::check(PySlice_New(st.int_0, st.int_0, nullptr));
    Ref empty = item(iloc.get(), none_slice.get());
    Ref reset_empty = qn::getattr(empty.get(), st.str_reset_index);
    Ref out = qn::call_kw(reset_empty.get(), drop_argv, 0, st.kw_drop);
    return qn::call_method(out.get(), st.str_copy);
  }
  // The first bucket's row reads open, high, low, close and volume, in that
  // order: a missing one fails there whichever build runs.
  Ref columns = qn::getattr(df, st.str_columns);
  for (PyObject* name : {st.col_open, st.col_high, st.col_low, st.col_close, st.col_volume})
    if (!has_column(columns.get(), name)) qn::raise_obj(PyExc_KeyError, name);
  if (!pending.set()) {
    Ref out = build_columns(tb);
    if (out) return out;
  }
  return build_rows(tb, pending);
}

// ---- fetch orchestration ---------------------------------------------------------------

Ref fetch_aggregated(State& st, const Nmin& n, PyObject* periods, PyObject* fetch_1min, bool start) {
  if (rich_bool(periods, st.int_0, Py_LE)) qn::raise(PyExc_ValueError, "periods must be > 0, got %S", periods);
  Ref scaled = number(PyNumber_Multiply(periods, n.obj.get()));
  Ref fetch_count = number(PyNumber_Add(scaled.get(), n.obj.get()));
  Ref fetched = qn::call(fetch_1min, fetch_count.get());
  Ref bars_1m = qn::truthy(fetched.get()) ? std::move(fetched) : Ref::check(PyList_New(0));
  Ref aggregated = aggregate_bars(st, bars_1m.get(), n, Py_True, start, 1.5);
  const Py_ssize_t got = PyList_GET_SIZE(aggregated.get());
  Ref got_obj = Ref::check(PyLong_FromSsize_t(got));
  if (rich_bool(got_obj.get(), periods, Py_LT)) {
    const Py_ssize_t used = PyObject_Length(bars_1m.get());
    if (used < 0) qn::throw_error();
    qn::raise(PyExc_ValueError, "Not enough aggregated %SMin bars: need %S, got %zd from %zd 1Min bars.",
              n.obj.get(), periods, got, used);
  }
  const Py_ssize_t want = PyLong_AsSsize_t(periods);  // <= got here
  if (want == -1 && PyErr_Occurred()) qn::throw_error();
  return Ref::check(PyList_GetSlice(aggregated.get(), got - want, got));
}

constexpr char fetch_aggregated_nmin_bars_doc[] =
    "fetch_aggregated_nmin_bars($module, /, *, n_min, periods, fetch_1min, bar_convention='end')\n--\n\n";
Ref fetch_aggregated_nmin_bars(State& st, const qn::Args& a) {
  Nmin n = nmin_of(a[0]);
  Ref periods = qn::to_int(a[1], "periods");
  PyObject* conv = a[3] ? qn::exact_str(a[3], "bar_convention") : nullptr;
  return fetch_aggregated(st, n, periods.get(), a[2], conv && is_start(conv));
}

constexpr char maybe_req_aggregated_nmin_doc[] =
    "maybe_req_aggregated_nmin($module, /, freq, periods, fetch_1min, bar_convention='end')\n--\n\n";
Ref maybe_req_aggregated_nmin(State& st, const qn::Args& a) {
  PyObject* freq = qn::exact_str(a[0], "freq");
  Ref periods = qn::to_int(a[1], "periods");
  PyObject* conv = a[3] ? qn::exact_str(a[3], "bar_convention") : nullptr;
  Ref n = aggregatable_nmin(st, freq);
  if (!n) return qn::none();
  return fetch_aggregated(st, nmin_of(n.get()), periods.get(), a[2], conv && is_start(conv));
}

// ---- module ------------------------------------------------------------------------------

PyMethodDef methods[] = {
    QN_FUNCTION(State, "parse_bar_freq", parse_bar_freq, parse_bar_freq_doc),
    QN_FUNCTION(State, "try_parse_aggregatable_nmin", try_parse_aggregatable_nmin, try_parse_aggregatable_nmin_doc),
    QN_FUNCTION(State, "is_nmin_aggregatable", is_nmin_aggregatable, is_nmin_aggregatable_doc),
    QN_FUNCTION(State, "to_backtest_interval", to_backtest_interval, to_backtest_interval_doc),
    QN_FUNCTION(State, "_bucket_start", bucket_start_fn, bucket_start_doc),
    QN_FUNCTION(State, "_merge_bucket", merge_bucket_fn, merge_bucket_doc),
    QN_FUNCTION(State, "aggregate_1min_bars", aggregate_1min_bars, aggregate_1min_bars_doc),
    QN_FUNCTION(State, "aggregate_1min_ohlcv_df", aggregate_1min_ohlcv_df, aggregate_1min_ohlcv_df_doc),
    QN_FUNCTION(State, "fetch_aggregated_nmin_bars", fetch_aggregated_nmin_bars, fetch_aggregated_nmin_bars_doc),
    QN_FUNCTION(State, "maybe_req_aggregated_nmin", maybe_req_aggregated_nmin, maybe_req_aggregated_nmin_doc),
    QN_FUNCTION(State, "_read_floor", read_floor, read_floor_doc),
    QN_END_METHODS,
};

void init(PyObject* module, State& st) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) qn::throw_error();

  Ref re = qn::import("re");
  Ref datetime_mod = qn::import("datetime");
  Ref datetime_type = qn::getattr(datetime_mod.get(), st.str_datetime);
  qn::keep(st.timedelta, qn::getattr(datetime_mod.get(), qn::intern("timedelta").get()));
  Ref typing = qn::import("typing");
  qn::keep(st.pd, qn::import("pandas"));
  qn::keep(st.Bar, qn::import_from("quillon.core.data", "Bar"));
  qn::add_object(module, "re", re.get());
  qn::add_object(module, "datetime", datetime_type.get());
  qn::add_object(module, "timedelta", st.timedelta);
  for (const char* name : {"Callable", "Dict", "List", "Optional", "Sequence"})
    qn::add_object(module, name, qn::getattr(typing.get(), qn::intern(name).get()).get());
  qn::add_object(module, "pd", st.pd);
  qn::add_object(module, "Bar", st.Bar);

  Ref nmin = Ref::check(PyTuple_New(sizeof kNmin / sizeof kNmin[0]));
  std::string allowed;
  for (size_t i = 0; i < sizeof kNmin / sizeof kNmin[0]; ++i) {
    PyTuple_SET_ITEM(nmin.get(), static_cast<Py_ssize_t>(i), qn::py_int(kNmin[i]).release());
    allowed += (i ? ", " : "") + std::to_string(kNmin[i]);
  }
  qn::keep(st.AGGREGATABLE_NMIN, std::move(nmin));
  qn::keep(st.allowed_text, qn::str(allowed));
  qn::add_object(module, "AGGREGATABLE_NMIN", st.AGGREGATABLE_NMIN);
  Ref pattern = qn::str(R"(^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$)");
  Ref ignorecase = qn::getattr(re.get(), qn::intern("IGNORECASE").get());
  qn::keep(st.FREQ_RE, qn::call_method(re.get(), qn::intern("compile").get(), pattern.get(), ignorecase.get()));
  qn::add_object(module, "_FREQ_RE", st.FREQ_RE);

  qn::keep(st.DataFrame, qn::getattr(st.pd, qn::intern("DataFrame").get()));
  qn::keep(st.to_datetime, qn::getattr(st.pd, qn::intern("to_datetime").get()));
  Ref arrays = qn::getattr(st.pd, qn::intern("arrays").get());
  qn::keep(st.DatetimeArray, qn::getattr(arrays.get(), qn::intern("DatetimeArray").get()));
  qn::keep(st.np, qn::import("numpy"));
  qn::keep(st.np_empty, qn::getattr(st.np, qn::intern("empty").get()));
  qn::keep(st.np_dtype, qn::getattr(st.np, st.str_dtype));
  qn::keep(st.StringDtype, qn::getattr(st.pd, qn::intern("StringDtype").get()));
  for (auto [field, name] : {std::pair{&st.np_intp, "intp"}, std::pair{&st.np_int64, "int64"},
                             std::pair{&st.np_float64, "float64"}, std::pair{&st.np_object, "object"}})
    qn::keep(*field, qn::call(st.np_dtype, qn::str(name).get()));

  Ref operator_mod = qn::import("operator");
  qn::keep(st.attrgetter_datetime,
           qn::call(qn::getattr(operator_mod.get(), qn::intern("attrgetter").get()).get(), st.str_datetime));
  qn::keep(st.unit_min, qn::intern("min"));
  qn::keep(st.unit_day, qn::intern("day"));
  qn::keep(st.text_stable, qn::intern("stable"));
  qn::keep(st.int_0, qn::py_int(0));
  qn::keep(st.int_60, qn::py_int(60));
  qn::keep(st.kw_bar, qn::name_tuple({"datetime", "security", "open", "high", "low", "close", "volume"}));
  qn::keep(st.kw_bar_n,
           qn::name_tuple({"datetime", "security", "open", "high", "low", "close", "volume", "num_trds"}));
  qn::keep(st.kw_bar_v, qn::name_tuple({"datetime", "security", "open", "high", "low", "close", "volume", "value"}));
  qn::keep(st.kw_bar_nv, qn::name_tuple({"datetime", "security", "open", "high", "low", "close", "volume",
                                         "num_trds", "value"}));
  qn::keep(st.kw_minutes, qn::name_tuple({"minutes"}));
  qn::keep(st.kw_replace, qn::name_tuple({"hour", "minute", "second", "microsecond"}));
  qn::keep(st.kw_drop, qn::name_tuple({"drop"}));
  qn::keep(st.kw_kind, qn::name_tuple({"kind"}));
  qn::keep(st.kw_key, qn::name_tuple({"key"}));
  qn::keep(st.kw_dtype, qn::name_tuple({"dtype"}));
  for (auto [field, name] : {std::pair{&st.col_open, "open"}, std::pair{&st.col_high, "high"},
                             std::pair{&st.col_low, "low"}, std::pair{&st.col_close, "close"},
                             std::pair{&st.col_volume, "volume"}, std::pair{&st.col_num_trds, "num_trds"},
                             std::pair{&st.col_value, "value"}})
    qn::keep(*field, qn::intern(name));
  st.numpy_sum_known = probe_numpy_sum(st);
}

}  // namespace

QN_MODULE(candle_rollup, State, nullptr, methods, init)
