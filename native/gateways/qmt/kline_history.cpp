// quillon.gateways.qmt.kline_history: the pure helpers around the terminal's
// history call: period names, count caps, request time windows, bar-time
// parsing and the conversion of the bridge's JSON bar records into Bars.
#include "qn.hpp"

#include <datetime.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

#define KLINE_OBJECTS(O)                                                                    \
  O(Bar) O(Security) O(try_parsing_datetime) O(datetime) O(timedelta) O(strptime) O(now)   \
  O(FREQ_TO_QMT_PERIOD) O(DEFAULT_MAX_COUNT) O(time_formats) O(kw_bar) O(kw_days) O(zero) \
  O(cap_fallback) O(keys_open) O(keys_high) O(keys_low) O(keys_close) O(keys_volume)      \
  O(comma) O(fmt_day) O(fmt_second)
#define KLINE_NAMES(N)                                                                        \
  N(time) N(datetime) N(index) N(bar_time) N(stime) N(open) N(high) N(low) N(close) N(volume) \
  N(items) N(get) N(lower) N(strip) N(strftime)

struct State {
  QN_STATE(KLINE_OBJECTS, KLINE_NAMES)
};

using qn::Ref;

constexpr const char* kDayFreq = "1Day";

// ---- small helpers ----------------------------------------------------------

bool is_freq_day(PyObject* freq) { return PyUnicode_CompareWithASCIIString(freq, kDayFreq) == 0; }

// The characters str.strip() removes from ASCII text.
bool ascii_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }
bool digit(char c) { return c >= '0' && c <= '9'; }

PyObject* datetime_or_none(PyObject* o, const char* arg) {
  if (o != Py_None && !PyDateTime_Check(o)) qn::raise_arg_type(arg, "datetime", o);
  return o;
}

Ref now(State& st) { return qn::call(st.now); }

// float(v), or an empty Ref when the value is no number: the errors float()
// raises for text, containers and ints beyond the double range.
Ref float_or_skip(PyObject* v) {
  if (PyFloat_CheckExact(v)) return Ref::borrow(v);
  Ref r = Ref::steal(PyNumber_Float(v));
  if (!r) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return Ref();
    }
    qn::throw_error();
  }
  return r;
}

// Formats a datetime with "%Y%m%d" or "%Y%m%d%H%M%S". Four-digit years of a
// plain datetime are formatted here; other years and subclasses go through
// strftime, whose padding of small years differs between C libraries.
Ref format_time(State& st, PyObject* dt, bool day) {
  if (PyDateTime_CheckExact(dt)) {
    int y = PyDateTime_GET_YEAR(dt);
    if (y >= 1000) {
      char buf[32];
      int n = day ? std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt))
                  : std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", y, PyDateTime_GET_MONTH(dt),
                                  PyDateTime_GET_DAY(dt), PyDateTime_DATE_GET_HOUR(dt),
                                  PyDateTime_DATE_GET_MINUTE(dt), PyDateTime_DATE_GET_SECOND(dt));
      return qn::str(std::string_view(buf, static_cast<size_t>(n)));
    }
  }
  return qn::call_method(dt, st.str_strftime, day ? st.fmt_day : st.fmt_second);
}

// ---- bar times ----------------------------------------------------------------
// The terminal's layouts in their everyday spellings are read here; anything
// else goes through datetime.strptime itself, whose regex reading of numeric
// text (one-digit fields, first match wins) is the contract.

bool two(const char* p, int& out) {
  if (!digit(p[0]) || !digit(p[1])) return false;
  out = (p[0] - '0') * 10 + (p[1] - '0');
  return true;
}

bool four(const char* p, int& out) {
  int a = 0, b = 0;
  if (!two(p, a) || !two(p + 2, b)) return false;
  out = a * 100 + b;
  return true;
}

int days_in_month(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return 29;
  return days[m - 1];
}

// Builds the datetime when every field is a valid two-digit value: then the
// pattern's first alternatives take two digits each and consume the whole
// text, and the values are a real date and time. Anything else (13 as a
// month, second 60, 30 February, year 0) is left to strptime.
Ref make_fields(int y, int mo, int d, int h, int mi, int s) {
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 || s > 59) return Ref();
  return Ref::check(PyDateTime_FromDateAndTime(y, mo, d, h, mi, s, 0));
}

Ref parse_common(std::string_view t) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const char* p = t.data();
  switch (t.size()) {
    case 14:  // 20240102093000
      if (four(p, y) && two(p + 4, mo) && two(p + 6, d) && two(p + 8, h) && two(p + 10, mi) && two(p + 12, s))
        return make_fields(y, mo, d, h, mi, s);
      break;
    case 19:  // 2024-01-02 09:30:00
      if (p[4] == '-' && p[7] == '-' && p[10] == ' ' && p[13] == ':' && p[16] == ':' && four(p, y) &&
          two(p + 5, mo) && two(p + 8, d) && two(p + 11, h) && two(p + 14, mi) && two(p + 17, s))
        return make_fields(y, mo, d, h, mi, s);
      break;
    case 8:  // 20240102
      if (four(p, y) && two(p + 4, mo) && two(p + 6, d)) return make_fields(y, mo, d, 0, 0, 0);
      break;
    case 10:  // 2024-01-02
      if (p[4] == '-' && p[7] == '-' && four(p, y) && two(p + 5, mo) && two(p + 8, d))
        return make_fields(y, mo, d, 0, 0, 0);
      break;
    default:
      break;
  }
  return Ref();
}

// True when no layout can read the (stripped, ASCII) text, so strptime need
// not be asked: every layout starts with four digits, only the second one
// takes blanks, and after "%Y" the others need a digit (the first and third)
// or accept nothing but digits and dashes (the fourth).
bool matches_no_layout(std::string_view t) {
  for (char c : t)
    if (c <= ' ' || c >= 0x7f) return false;
  if (t.size() < 5) return true;
  for (size_t i = 0; i < 4; ++i)
    if (!digit(t[i])) return true;
  if (digit(t[4])) return false;
  for (char c : t)
    if (!digit(c) && c != '-') return true;
  return false;
}

Ref parse_with_layouts(State& st, PyObject* text) {
  const Py_ssize_t n = PyTuple_GET_SIZE(st.time_formats);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* argv[] = {nullptr, text, PyTuple_GET_ITEM(st.time_formats, i)};
    PyObject* r = PyObject_Vectorcall(st.strptime, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r) return Ref::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) qn::throw_error();
    PyErr_Clear();
  }
  return qn::call(st.try_parsing_datetime, text);
}

Ref parse_bar_time(State& st, PyObject* value) {
  if (PyDateTime_Check(value)) return Ref::borrow(value);
  if (value == Py_None) return now(st);
  Ref text = Ref::check(PyObject_Str(value));
  if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get())) {
    const char* p = static_cast<const char*>(PyUnicode_DATA(text.get()));
    size_t b = 0, e = static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()));
    while (b < e && ascii_space(static_cast<unsigned char>(p[b]))) ++b;
    while (e > b && ascii_space(static_cast<unsigned char>(p[e - 1]))) --e;
    if (b == e) return now(st);
    std::string_view t(p + b, e - b);
    if (Ref dt = parse_common(t)) return dt;
    if (b != 0 || e != static_cast<size_t>(PyUnicode_GET_LENGTH(text.get())))
      text = Ref::check(PyUnicode_Substring(text.get(), static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e)));
    if (matches_no_layout(t)) return qn::call(st.try_parsing_datetime, text.get());
    return parse_with_layouts(st, text.get());
  }
  // Unicode blanks and digits, and str subclasses, keep the interpreter's rules.
  Ref stripped = qn::call_method(text.get(), st.str_strip);
  if (!qn::truthy(stripped.get())) return now(st);
  return parse_with_layouts(st, stripped.get());
}

// ---- record fields --------------------------------------------------------------

// The record keys read, lower-case; the time keys first, in priority order.
enum Slot {
  kTime, kDatetime, kIndex, kBarTime, kStime, kNumTimeSlots,
  kOpen = kNumTimeSlots, kOpenPrice, kHigh, kHighPrice, kLow, kLowPrice,
  kClose, kClosePrice, kLast, kVolume, kVol, kNumSlots
};
constexpr std::string_view kSlotText[kNumSlots] = {
    "time", "datetime", "index", "bar_time", "stime", "open", "open_price", "high", "high_price",
    "low",  "low_price", "close", "close_price", "last", "volume", "vol"};
constexpr size_t kLongestKey = 11;

struct Field {
  Slot first;
  int count;
};
constexpr Field kFields[5] = {{kOpen, 2}, {kHigh, 2}, {kLow, 2}, {kClose, 3}, {kVolume, 2}};

int slot_of(std::string_view lowered) {
  for (int i = 0; i < kNumSlots; ++i)
    if (kSlotText[i] == lowered) return i;
  return -1;
}

// Values whose float() or str() runs no Python code, so reading them cannot
// change the record behind the scan.
bool plain_number(PyObject* v) {
  return v == Py_None || PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
         PyUnicode_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v);
}
bool plain_time(PyObject* v) {
  return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBool_Check(v) || PyDateTime_Check(v);
}

// (key, value) of one element of row.items().
void unpack_pair(PyObject* item, Ref& k, Ref& v) {
  Ref t = PyTuple_CheckExact(item) ? Ref::borrow(item) : Ref::check(PySequence_Tuple(item));
  Py_ssize_t n = PyTuple_GET_SIZE(t.get());
  if (n > 2) qn::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (n < 2) qn::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
  k = Ref::borrow(PyTuple_GET_ITEM(t.get(), 0));
  v = Ref::borrow(PyTuple_GET_ITEM(t.get(), 1));
}

// str(key).lower()
Ref lowered_key(State& st, PyObject* key) {
  Ref s = Ref::check(PyObject_Str(key));
  return qn::call_method(s.get(), st.str_lower);
}

Ref row_items_iter(State& st, PyObject* row) {
  Ref items = qn::call_method(row, st.str_items);
  return Ref::check(PyObject_GetIter(items.get()));
}

// Any dict, through its own get() and items(): records with non-text keys,
// dict subclasses and values that run code on conversion take this path.
Ref generic_time_value(State& st, PyObject* row) {
  PyObject* keys[kNumTimeSlots] = {st.str_time, st.str_datetime, st.str_index, st.str_bar_time, st.str_stime};
  for (PyObject* tk : keys) {
    Ref v;
    if (PyDict_CheckExact(row)) {
      PyObject* got = PyDict_GetItemWithError(row, tk);
      if (!got && PyErr_Occurred()) qn::throw_error();
      v = Ref::borrow(got);
    } else {
      v = qn::call_method(row, st.str_get, tk);
    }
    if (v && v.get() != Py_None) return v;
    Ref it = row_items_iter(st, row);
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
      Ref k, val;
      unpack_pair(item.get(), k, val);
      Ref low = lowered_key(st, k.get());
      if (qn::equal(low.get(), tk) && val.get() != Py_None) return val;
    }
    if (PyErr_Occurred()) qn::throw_error();
  }
  return qn::none();
}

Ref row_number(State& st, PyObject* row, PyObject* keys, PyObject* dflt) {
  Ref view = Ref::check(PyDict_New());
  {
    Ref it = row_items_iter(st, row);
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
      Ref k, v;
      unpack_pair(item.get(), k, v);
      Ref low = lowered_key(st, k.get());
      if (PyDict_SetItem(view.get(), low.get(), v.get()) < 0) qn::throw_error();
    }
    if (PyErr_Occurred()) qn::throw_error();
  }
  Ref it = Ref::check(PyObject_GetIter(keys));
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    PyObject* got = PyDict_GetItemWithError(view.get(), key.get());
    if (!got) {
      if (PyErr_Occurred()) qn::throw_error();
      continue;
    }
    if (got == Py_None) continue;
    Ref v = Ref::borrow(got);
    if (Ref f = float_or_skip(v.get())) return f;
  }
  if (PyErr_Occurred()) qn::throw_error();
  return Ref::borrow(dflt);
}

bool placeholder(State& st, PyObject* bar) {
  PyObject* fields[] = {st.str_open, st.str_high, st.str_low, st.str_close, st.str_volume};
  for (PyObject* name : fields) {
    Ref v = qn::getattr(bar, name);
    if (PyFloat_CheckExact(v.get())) {
      if (PyFloat_AS_DOUBLE(v.get()) != 0.0) return false;  // NaN is no zero
      continue;
    }
    if (!qn::truthy(v.get())) continue;
    Ref f = Ref::check(PyNumber_Float(v.get()));
    if (PyFloat_AS_DOUBLE(f.get()) != 0.0) return false;
  }
  return true;
}

Ref make_bar(State& st, PyObject* dt, PyObject* security, Ref (&num)[5]) {
  PyObject* argv[] = {dt, security, num[0].get(), num[1].get(), num[2].get(), num[3].get(), num[4].get()};
  return qn::call_kw(st.Bar, argv, 0, st.kw_bar);
}

Ref generic_row(State& st, PyObject* row, PyObject* security) {
  Ref tv = generic_time_value(st, row);
  Ref dt = parse_bar_time(st, tv.get());
  PyObject* keys[5] = {st.keys_open, st.keys_high, st.keys_low, st.keys_close, st.keys_volume};
  Ref num[5];
  for (int i = 0; i < 5; ++i) num[i] = row_number(st, row, keys[i], st.zero);
  return make_bar(st, dt.get(), security, num);
}

// One pass over a plain record whose keys are all exact str: it finds the
// same values as the lookups and lower-cased views of the generic path (the
// exact time key, the first non-None value per lower-cased time key, the
// last value per lower-cased field key). Returns an empty Ref when the record
// needs the generic path.
Ref fast_row(State& st, PyObject* row, PyObject* security) {
  Ref exact[kNumTimeSlots], first[kNumTimeSlots], last[kNumSlots];
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  char buf[kLongestKey];
  while (PyDict_Next(row, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return Ref();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    if (len > static_cast<Py_ssize_t>(kLongestKey)) continue;  // lower() never shortens text
    int slot = -1;
    bool as_written = false;
    if (PyUnicode_IS_ASCII(key)) {
      const char* p = static_cast<const char*>(PyUnicode_DATA(key));
      as_written = true;
      for (Py_ssize_t i = 0; i < len; ++i) {
        char c = p[i];
        if (c >= 'A' && c <= 'Z') {
          c = static_cast<char>(c - 'A' + 'a');
          as_written = false;
        }
        buf[i] = c;
      }
      slot = slot_of(std::string_view(buf, static_cast<size_t>(len)));
    } else {
      // Non-ASCII text may still lower to a wanted key (KELVIN SIGN gives
      // 'k'); the pair is held across the call, which allocates.
      Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
      Ref low = qn::call_method(key, st.str_lower);
      if (PyUnicode_IS_ASCII(low.get()) && PyUnicode_GET_LENGTH(low.get()) <= static_cast<Py_ssize_t>(kLongestKey))
        slot = slot_of(std::string_view(static_cast<const char*>(PyUnicode_DATA(low.get())),
                                        static_cast<size_t>(PyUnicode_GET_LENGTH(low.get()))));
    }
    if (slot < 0) continue;
    if (slot < kNumTimeSlots) {
      if (as_written) exact[slot] = Ref::borrow(value);
      if (value != Py_None && !first[slot]) first[slot] = Ref::borrow(value);
    } else {
      last[slot] = Ref::borrow(value);
    }
  }
  PyObject* tv = Py_None;
  for (int i = 0; i < kNumTimeSlots; ++i) {
    if (exact[i] && exact[i].get() != Py_None) {
      tv = exact[i].get();
      break;
    }
    if (first[i]) {
      tv = first[i].get();
      break;
    }
  }
  if (!plain_time(tv)) return Ref();
  for (int i = kNumTimeSlots; i < kNumSlots; ++i)
    if (last[i] && !plain_number(last[i].get())) return Ref();

  Ref time_value = Ref::borrow(tv);
  Ref dt = parse_bar_time(st, time_value.get());
  Ref num[5];
  for (int f = 0; f < 5; ++f) {
    for (int j = 0; j < kFields[f].count && !num[f]; ++j) {
      PyObject* v = last[kFields[f].first + j].get();
      if (v && v != Py_None) num[f] = float_or_skip(v);
    }
    if (!num[f]) num[f] = Ref::borrow(st.zero);
  }
  return make_bar(st, dt.get(), security, num);
}

// ---- functions --------------------------------------------------------------

constexpr char qmt_period_for_freq_doc[] = "qmt_period_for_freq($module, /, freq)\n--\n\n";
Ref qmt_period_for_freq(State& st, const qn::Args& a) {
  PyObject* freq = qn::exact_str(a[0], "freq");
  PyObject* got = PyDict_GetItemWithError(st.FREQ_TO_QMT_PERIOD, freq);
  if (!got && PyErr_Occurred()) qn::throw_error();
  if (got) {
    Ref period = Ref::borrow(got);
    if (qn::truthy(period.get())) return period;
  }
  Ref keys = Ref::check(PyDict_Keys(st.FREQ_TO_QMT_PERIOD));
  if (PyList_Sort(keys.get()) < 0) qn::throw_error();
  Ref allowed = Ref::check(PyUnicode_Join(st.comma, keys.get()));
  qn::raise(PyExc_ValueError, "freq=%R is not supported. Allowed: %U", freq, allowed.get());
}

constexpr char clamp_periods_doc[] = "clamp_periods($module, /, freq, periods, max_count=None)\n--\n\n";
Ref clamp_periods(State& st, const qn::Args& a) {
  PyObject* freq = qn::exact_str(a[0], "freq");
  Ref periods = qn::to_int(a[1], "periods");
  Ref cap;
  if (a.has(2) && a[2] != Py_None) cap = qn::to_int(a[2], "max_count");
  int overflow = 0;
  long long p = PyLong_AsLongLongAndOverflow(periods.get(), &overflow);
  if (overflow < 0 || (overflow == 0 && p <= 0))
    qn::raise(PyExc_ValueError, "periods must be a positive int, got %R", periods.get());
  if (!cap) {
    PyObject* got = PyDict_GetItemWithError(st.DEFAULT_MAX_COUNT, freq);
    if (!got && PyErr_Occurred()) qn::throw_error();
    if (got) {
      Ref held = Ref::borrow(got);
      cap = PyLong_CheckExact(got) ? std::move(held) : Ref::check(PyNumber_Long(held.get()));
    } else {
      cap = Ref::borrow(st.cap_fallback);
    }
  }
  int smaller = PyObject_RichCompareBool(cap.get(), periods.get(), Py_LT);
  if (smaller < 0) qn::throw_error();
  return smaller ? std::move(cap) : std::move(periods);
}

constexpr char format_qmt_end_time_doc[] =
    "format_qmt_end_time($module, /, cur_datetime, freq)\n--\n\n"
    "Format end_time for get_market_data_ex ('' = latest available).";
Ref format_qmt_end_time(State& st, const qn::Args& a) {
  PyObject* cur = datetime_or_none(a[0], "cur_datetime");
  PyObject* freq = qn::exact_str(a[1], "freq");
  if (cur == Py_None) return qn::str("");
  return format_time(st, cur, is_freq_day(freq));
}

constexpr char format_qmt_start_time_doc[] =
    "format_qmt_start_time($module, /, cur_datetime, periods, freq)\n--\n\n"
    "Estimate start_time so Big QMT returns a real lookback window.";
Ref format_qmt_start_time(State& st, const qn::Args& a) {
  PyObject* cur = datetime_or_none(a[0], "cur_datetime");
  Ref periods = qn::to_int(a[1], "periods");
  PyObject* freq = qn::exact_str(a[2], "freq");
  const bool day = is_freq_day(freq);
  Ref end = cur == Py_None ? now(st) : Ref::borrow(cur);

  int overflow = 0;
  long long p = PyLong_AsLongLongAndOverflow(periods.get(), &overflow);
  if (overflow < 0 || (overflow == 0 && p < 1)) p = 1;
  Ref delta;
  // Lookbacks beyond a C int are far past what timedelta holds: let it say so.
  const long long limit = day ? (INT_MAX - 14) / 2 : INT_MAX;
  if (overflow > 0 || p > limit) {
    Ref days;
    if (day) {
      Ref two = qn::py_int(2), fourteen = qn::py_int(14);
      Ref twice = Ref::check(PyNumber_Multiply(periods.get(), two.get()));
      days = Ref::check(PyNumber_Add(twice.get(), fourteen.get()));
    } else {
      Ref per_day = qn::py_int(240), margin = qn::py_int(5);
      Ref q = Ref::check(PyNumber_FloorDivide(periods.get(), per_day.get()));
      days = Ref::check(PyNumber_Add(q.get(), margin.get()));
    }
    PyObject* argv[] = {days.get()};
    delta = qn::call_kw(st.timedelta, argv, 0, st.kw_days);
  } else {
    long long days = day ? p * 2 + 14 : p / 240 + 5;
    delta = Ref::check(PyDelta_FromDSU(static_cast<int>(days), 0, 0));
  }
  Ref start = Ref::check(PyNumber_Subtract(end.get(), delta.get()));
  return format_time(st, start.get(), day);
}

constexpr char parse_qmt_bar_time_doc[] =
    "parse_qmt_bar_time($module, /, value)\n--\n\n"
    "Parse QMT bar index / time field into datetime.";
Ref parse_qmt_bar_time(State& st, const qn::Args& a) { return parse_bar_time(st, a[0]); }

constexpr char row_number_doc[] = "_row_number($module, /, row, keys, default=0.0)\n--\n\n";
Ref row_number_fn(State& st, const qn::Args& a) {
  PyObject* row = a[0];
  if (!PyDict_Check(row)) qn::raise_arg_type("row", "dict", row);
  Ref dflt = Ref::borrow(st.zero);
  if (a.has(2)) dflt = PyFloat_CheckExact(a[2]) ? Ref::borrow(a[2]) : qn::py_float(qn::to_double(a[2], "default"));
  return row_number(st, row, a[1], dflt.get());
}

constexpr char is_placeholder_bar_doc[] =
    "is_placeholder_bar($module, /, bar)\n--\n\n"
    "True for fill_data placeholders (all-zero OHLC and no volume).";
Ref is_placeholder_bar(State& st, const qn::Args& a) { return qn::boolean(placeholder(st, a[0])); }

constexpr char records_to_bars_doc[] =
    "records_to_bars($module, /, records, security, drop_placeholders=True)\n--\n\n"
    "Map JSON bar records from the bridge into ``List[Bar]``.";
Ref records_to_bars(State& st, const qn::Args& a) {
  PyObject* records = a[0];
  PyObject* security = a[1];
  const bool drop = a.has(2) ? qn::truthy(a[2]) : true;
  Ref out = Ref::check(PyList_New(0));
  if (!qn::truthy(records)) return out;

  auto take = [&](PyObject* row) {
    if (!PyDict_Check(row)) return;
    Ref bar;
    if (PyDict_CheckExact(row)) bar = fast_row(st, row, security);
    if (!bar) bar = generic_row(st, row, security);
    if (drop && placeholder(st, bar.get())) return;
    if (PyList_Append(out.get(), bar.get()) < 0) qn::throw_error();
  };
  // Each row is held while it is read: Bar() and the time parser run Python
  // code, which may change the list under the loop.
  if (PyList_CheckExact(records)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
      Ref row = Ref::borrow(PyList_GET_ITEM(records, i));
      take(row.get());
    }
  } else if (PyTuple_CheckExact(records)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(records); ++i) take(PyTuple_GET_ITEM(records, i));
  } else {
    Ref it = Ref::check(PyObject_GetIter(records));
    while (Ref row = Ref::steal(PyIter_Next(it.get()))) take(row.get());
    if (PyErr_Occurred()) qn::throw_error();
  }
  return out;
}

PyMethodDef methods[] = {
    QN_FUNCTION(State, "qmt_period_for_freq", qmt_period_for_freq, qmt_period_for_freq_doc),
    QN_FUNCTION(State, "clamp_periods", clamp_periods, clamp_periods_doc),
    QN_FUNCTION(State, "format_qmt_end_time", format_qmt_end_time, format_qmt_end_time_doc),
    QN_FUNCTION(State, "format_qmt_start_time", format_qmt_start_time, format_qmt_start_time_doc),
    QN_FUNCTION(State, "parse_qmt_bar_time", parse_qmt_bar_time, parse_qmt_bar_time_doc),
    QN_FUNCTION(State, "_row_number", row_number_fn, row_number_doc),
    QN_FUNCTION(State, "is_placeholder_bar", is_placeholder_bar, is_placeholder_bar_doc),
    QN_FUNCTION(State, "records_to_bars", records_to_bars, records_to_bars_doc),
    QN_END_METHODS,
};

Ref str_dict(std::initializer_list<std::pair<const char*, Ref>> items) {
  Ref d = Ref::check(PyDict_New());
  for (const auto& [k, v] : items)
    if (PyDict_SetItemString(d.get(), k, v.get()) < 0) qn::throw_error();
  return d;
}

Ref str_tuple(std::initializer_list<const char*> items) {
  Ref t = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const char* s : items) PyTuple_SET_ITEM(t.get(), i++, qn::str(s).release());
  return t;
}

void init(PyObject* module, State& st) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) qn::throw_error();

  qn::keep(st.datetime, qn::import_from("datetime", "datetime"));
  qn::keep(st.timedelta, qn::import_from("datetime", "timedelta"));
  qn::keep(st.strptime, qn::getattr(st.datetime, qn::intern("strptime").get()));
  qn::keep(st.now, qn::getattr(st.datetime, qn::intern("now").get()));
  qn::keep(st.Bar, qn::import_from("quillon.core.data", "Bar"));
  qn::keep(st.Security, qn::import_from("quillon.core.security", "Security"));
  qn::keep(st.try_parsing_datetime, qn::import_from("quillon.core.utility", "try_parsing_datetime"));

  // The tables are the module's own dicts: changes made to them through the
  // module attributes are seen by the functions.
  qn::keep(st.FREQ_TO_QMT_PERIOD, str_dict({{"1Day", qn::str("1d")}, {"1Min", qn::str("1m")}}));
  qn::keep(st.DEFAULT_MAX_COUNT, str_dict({{"1Day", qn::py_int(5000)}, {"1Min", qn::py_int(1000)}}));
  qn::keep(st.time_formats, str_tuple({"%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d"}));

  qn::keep(st.kw_bar, qn::name_tuple({"datetime", "security", "open", "high", "low", "close", "volume"}));
  qn::keep(st.kw_days, qn::name_tuple({"days"}));
  qn::keep(st.zero, qn::py_float(0.0));
  qn::keep(st.cap_fallback, qn::py_int(1000));
  qn::keep(st.keys_open, str_tuple({"open", "open_price"}));
  qn::keep(st.keys_high, str_tuple({"high", "high_price"}));
  qn::keep(st.keys_low, str_tuple({"low", "low_price"}));
  qn::keep(st.keys_close, str_tuple({"close", "close_price", "last"}));
  qn::keep(st.keys_volume, str_tuple({"volume", "vol"}));
  qn::keep(st.comma, qn::str(", "));
  qn::keep(st.fmt_day, qn::str("%Y%m%d"));
  qn::keep(st.fmt_second, qn::str("%Y%m%d%H%M%S"));

  qn::add_object(module, "FREQ_TO_QMT_PERIOD", st.FREQ_TO_QMT_PERIOD);
  qn::add_object(module, "DEFAULT_MAX_COUNT", st.DEFAULT_MAX_COUNT);
  qn::add_object(module, "_QMT_TIME_FORMATS", st.time_formats);
  qn::add_object(module, "datetime", st.datetime);
  qn::add_object(module, "timedelta", st.timedelta);
  for (const char* name : {"Any", "Dict", "List", "Optional", "Sequence"}) qn::add_object(module, name, qn::import_from("typing", name).get());
  qn::add_object(module, "Bar", st.Bar);
  qn::add_object(module, "Security", st.Security);
  qn::add_object(module, "try_parsing_datetime", st.try_parsing_datetime);
}

}  // namespace

QN_MODULE(kline_history, State, "Helpers for Big QMT historical bars (get_market_data_ex over Redis).", methods,
          init)
