// quillon.gateways.qmt.symbols: security codes between the framework's form
// (SH.600000) and the terminal's form (600000.SH).
#include "qn.hpp"

#include <cstring>
#include <string>
#include <string_view>

namespace {

#define SYMBOLS_OBJECTS(O) O(Exchange) O(Exchange_SSE) O(Exchange_SZSE)
#define SYMBOLS_NAMES(N) N(code) N(strip) N(upper)

struct State {
  QN_STATE(SYMBOLS_OBJECTS, SYMBOLS_NAMES)
};

using qn::Ref;

// ---- the conversion on UTF-8 text -----------------------------------------

bool is_sh(std::string_view w) { return w == "SH" || w == "SS" || w == "SSE"; }
bool is_sz(std::string_view w) { return w == "SZ" || w == "SZSE"; }

enum class Form { Qmt, Quillon };

// `raw` is already trimmed and upper-cased.
std::string convert(std::string_view raw, Form to) {
  size_t dot = raw.find('.');
  if (raw.empty() || dot == std::string_view::npos) return std::string(raw);
  std::string_view left = raw.substr(0, dot), right = raw.substr(dot + 1);
  std::string out;
  if (to == Form::Qmt) {
    if (is_sh(left)) return out.append(right).append(".SH");
    if (is_sz(left)) return out.append(right).append(".SZ");
    if (is_sh(right)) return out.append(left).append(".SH");
    if (is_sz(right)) return out.append(left).append(".SZ");
  } else {
    if (is_sh(right)) return out.append("SH.").append(left);
    if (is_sz(right)) return out.append("SZ.").append(left);
    if (is_sh(left)) return out.append("SH.").append(right);
    if (is_sz(left)) return out.append("SZ.").append(right);
  }
  return std::string(raw);
}

// The characters str.strip() removes from ASCII text.
bool ascii_space(unsigned char c) { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

// Text through UTF-8 with lone surrogates kept, so any str round-trips.
std::string utf8_of(PyObject* s) {
  Ref b = Ref::check(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(b.get()), static_cast<size_t>(PyBytes_GET_SIZE(b.get())));
}

Ref str_of(const std::string& s) {
  return Ref::check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

// code.strip().upper() as UTF-8; ASCII text never leaves C++.
std::string normalise(State& st, PyObject* code) {
  if (PyUnicode_IS_ASCII(code)) {
    const char* p = static_cast<const char*>(PyUnicode_DATA(code));
    size_t b = 0, e = static_cast<size_t>(PyUnicode_GET_LENGTH(code));
    while (b < e && ascii_space(static_cast<unsigned char>(p[b]))) ++b;
    while (e > b && ascii_space(static_cast<unsigned char>(p[e - 1]))) --e;
    std::string raw(p + b, e - b);
    for (char& c : raw)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return raw;
  }
  // Unicode whitespace and case mappings (ß -> SS) are the interpreter's.
  Ref stripped = qn::call_method(code, st.str_strip);
  Ref upper = qn::call_method(stripped.get(), st.str_upper);
  return utf8_of(upper.get());
}

// ---- ASCII codes, the common case: one pass, one allocation ---------------

struct Span {
  const char* p;
  size_t n;
};

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool word_is(Span w, std::string_view lit) {
  if (w.n != lit.size()) return false;
  for (size_t k = 0; k < w.n; ++k)
    if (upper(w.p[k]) != lit[k]) return false;
  return true;
}
bool span_sh(Span w) { return word_is(w, "SH") || word_is(w, "SS") || word_is(w, "SSE"); }
bool span_sz(Span w) { return word_is(w, "SZ") || word_is(w, "SZSE"); }

// A new str of the upper-cased parts, joined.
Ref ascii_join(Span a, Span b) {
  Ref out = Ref::check(PyUnicode_New(static_cast<Py_ssize_t>(a.n + b.n), 127));
  char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
  for (size_t k = 0; k < a.n; ++k) *dst++ = upper(a.p[k]);
  for (size_t k = 0; k < b.n; ++k) *dst++ = upper(b.p[k]);
  return out;
}

Ref ascii_convert(PyObject* code, Form to) {
  const char* p = static_cast<const char*>(PyUnicode_DATA(code));
  size_t b = 0, e = static_cast<size_t>(PyUnicode_GET_LENGTH(code));
  while (b < e && ascii_space(static_cast<unsigned char>(p[b]))) ++b;
  while (e > b && ascii_space(static_cast<unsigned char>(p[e - 1]))) --e;
  Span raw{p + b, e - b};
  const void* dot_ptr = raw.n ? std::memchr(raw.p, '.', raw.n) : nullptr;
  if (!dot_ptr) return ascii_join(raw, Span{"", 0});
  size_t dot = static_cast<size_t>(static_cast<const char*>(dot_ptr) - raw.p);
  Span left{raw.p, dot}, right{raw.p + dot + 1, raw.n - dot - 1};
  static constexpr Span sh_tail{".SH", 3}, sz_tail{".SZ", 3}, sh_head{"SH.", 3}, sz_head{"SZ.", 3};
  if (to == Form::Qmt) {
    if (span_sh(left)) return ascii_join(right, sh_tail);
    if (span_sz(left)) return ascii_join(right, sz_tail);
    if (span_sh(right)) return ascii_join(left, sh_tail);
    if (span_sz(right)) return ascii_join(left, sz_tail);
  } else {
    if (span_sh(right)) return ascii_join(sh_head, left);
    if (span_sz(right)) return ascii_join(sz_head, left);
    if (span_sh(left)) return ascii_join(sh_head, right);
    if (span_sz(left)) return ascii_join(sz_head, right);
  }
  return ascii_join(raw, Span{"", 0});
}

Ref convert_str(State& st, PyObject* code, Form to) {
  if (PyUnicode_IS_ASCII(code)) return ascii_convert(code, to);
  return str_of(convert(normalise(st, code), to));
}

bool ends_with(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---- functions ------------------------------------------------------------

constexpr char to_qmt_code_doc[] =
    "to_qmt_code($module, /, code)\n--\n\n"
    "Convert ``SH.600000`` / ``SZ.000001`` / ``600000.SH`` \u2192 ``600000.SH``.";
Ref to_qmt_code(State& st, const qn::Args& a) {
  return convert_str(st, qn::exact_str(a[0], "code"), Form::Qmt);
}

constexpr char from_qmt_code_doc[] =
    "from_qmt_code($module, /, code)\n--\n\n"
    "Convert ``600000.SH`` \u2192 ``SH.600000`` (quillon-style).";
Ref from_qmt_code(State& st, const qn::Args& a) {
  return convert_str(st, qn::exact_str(a[0], "code"), Form::Quillon);
}

constexpr char exchange_from_qmt_code_doc[] = "exchange_from_qmt_code($module, /, code)\n--\n\n";
Ref exchange_from_qmt_code(State& st, const qn::Args& a) {
  Ref q = convert_str(st, qn::exact_str(a[0], "code"), Form::Qmt);
  // Empty codes, bare numbers and other markets all count as Shanghai.
  return Ref::borrow(ends_with(utf8_of(q.get()), ".SZ") ? st.Exchange_SZSE : st.Exchange_SSE);
}

constexpr char security_codes_for_lookup_doc[] =
    "security_codes_for_lookup($module, /, security)\n--\n\n"
    "All code forms that may appear in bridge payloads for this security.";
Ref security_codes_for_lookup(State& st, const qn::Args& a) {
  Ref code = qn::getattr(a[0], st.str_code);
  if (!PyUnicode_CheckExact(code.get())) {
    // code.upper() comes first in the set, so its error (if any) wins.
    qn::call_method(code.get(), st.str_upper);
    qn::exact_str(code.get(), "code");
  }
  Ref up = qn::call_method(code.get(), st.str_upper);
  Ref q = convert_str(st, code.get(), Form::Qmt);
  Ref f = convert_str(st, code.get(), Form::Quillon);
  Ref forms = Ref::check(PySet_New(nullptr));
  auto add = [&](const Ref& s) {
    if (PySet_Add(forms.get(), s.get()) < 0) qn::throw_error();
  };
  add(code);
  add(up);
  add(q);
  add(f);
  // Converting again trims again: "SH.0 " came from "0 .SH" and is not yet clean.
  add(convert_str(st, f.get(), Form::Qmt));
  add(convert_str(st, q.get(), Form::Quillon));
  return forms;
}

PyMethodDef methods[] = {
    QN_FUNCTION(State, "to_qmt_code", to_qmt_code, to_qmt_code_doc),
    QN_FUNCTION(State, "from_qmt_code", from_qmt_code, from_qmt_code_doc),
    QN_FUNCTION(State, "exchange_from_qmt_code", exchange_from_qmt_code, exchange_from_qmt_code_doc),
    QN_FUNCTION(State, "security_codes_for_lookup", security_codes_for_lookup, security_codes_for_lookup_doc),
    QN_END_METHODS,
};

void init(PyObject* module, State& st) {
  qn::keep(st.Exchange, qn::import_from("quillon.core.constants", "Exchange"));
  qn::keep(st.Exchange_SSE, qn::getattr(st.Exchange, qn::intern("SSE").get()));
  qn::keep(st.Exchange_SZSE, qn::getattr(st.Exchange, qn::intern("SZSE").get()));
  Ref security = qn::import_from("quillon.core.security", "Security");
  qn::add_object(module, "Exchange", st.Exchange);
  qn::add_object(module, "Security", security.get());
}

}  // namespace

QN_MODULE(symbols, State, "Symbol helpers between quillon Security codes and Big QMT codes.", methods, init)
