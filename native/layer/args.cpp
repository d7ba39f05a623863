// The argument parser and every message text of the argument checks.
#include "args.hpp"

#include <cstring>

namespace qn {

// ---- text signatures ------------------------------------------------------

namespace {

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Splits the parameter list at top-level commas (defaults may hold quoted
// text or brackets).
std::vector<std::string> split_params(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  int depth = 0;
  char quote = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quote) {
      cur += c;
      if (c == '\\' && i + 1 < s.size()) {
        cur += s[++i];
      } else if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') --depth;
    if (c == ',' && depth == 0) {
      out.push_back(trim(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!trim(cur).empty()) out.push_back(trim(cur));
  return out;
}

}  // namespace

Sig Sig::parse(const char* doc) {
  Sig sig;
  const char* open = std::strchr(doc, '(');
  const char* end = std::strstr(doc, ")\n--\n\n");
  if (!open || !end || end < open) fatal("qn: docstring without a text signature");
  sig.name.assign(doc, open);
  bool kwonly = false;
  bool seen_default = false;
  for (const std::string& tok : split_params(std::string(open + 1, end))) {
    if (tok.empty()) fatal("qn: empty parameter in a text signature");
    if (tok[0] == '$') continue;  // $module / $self: bound, never passed
    if (tok == "/") {
      sig.n_posonly = static_cast<Py_ssize_t>(sig.params.size());
      continue;
    }
    if (tok == "*") {
      kwonly = true;
      continue;
    }
    if (tok.rfind("**", 0) == 0) {
      sig.var_kw = true;
      continue;
    }
    if (tok[0] == '*') {
      sig.var_args = true;
      kwonly = true;
      continue;
    }
    Param p;
    size_t eq = tok.find('=');
    p.name = trim(tok.substr(0, eq));
    p.has_default = eq != std::string::npos;
    if (!kwonly) {
      if (p.has_default) {
        seen_default = true;
      } else {
        if (seen_default) fatal("qn: required parameter after a default");
        ++sig.n_required;
      }
      ++sig.n_pos;
    }
    sig.params.push_back(std::move(p));
  }
  if (static_cast<Py_ssize_t>(sig.params.size()) > kMaxParams) fatal("qn: too many parameters");
  return sig;
}

// ---- parsing --------------------------------------------------------------

namespace {

[[noreturn]] void raise_count(const Sig& sig, bool exact_allowed, Py_ssize_t expected,
                              const char* bound, Py_ssize_t given) {
  const char* how = exact_allowed ? "exactly" : bound;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               sig.name.c_str(), how, expected, expected == 1 ? "" : "s", given);
  throw PyError{};
}

// True when the text of `key` equals `name` (ASCII names, UTF-8 compare).
bool name_matches(PyObject* key, const std::string& name) {
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(key, &len);
  if (!s) {
    PyErr_Clear();  // unencodable name: it matches no parameter
    return false;
  }
  return static_cast<size_t>(len) == name.size() && std::memcmp(s, name.data(), name.size()) == 0;
}

}  // namespace

void Args::parse(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t n_params = static_cast<Py_ssize_t>(sig.params.size());
  // A signature is "exact" when it takes a fixed number of positionals.
  const bool exact = sig.n_required == sig.n_pos && !sig.var_args;
  if (nargs > sig.n_pos && !sig.var_args) raise_count(sig, exact, sig.n_pos, "at most", nargs);
  const Py_ssize_t n_positional = nargs < sig.n_pos ? nargs : sig.n_pos;
  for (Py_ssize_t i = 0; i < n_positional; ++i) v_[i] = args[i];
  if (nargs > sig.n_pos) {
    rest_ = args + sig.n_pos;
    n_rest_ = nargs - sig.n_pos;
  }

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%s() keywords must be strings", sig.name.c_str());
    Py_ssize_t found = -1;
    // Names compare as UTF-8 text, so a keyword built at run time matches too.
    for (Py_ssize_t i = sig.n_posonly; i < n_params && found < 0; ++i)
      if (name_matches(key, sig.params[i].name)) found = i;
    if (found < 0) {
      if (!sig.var_kw)
        raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name.c_str(), key);
      if (!kw_) kw_ = Ref::check(PyDict_New());
      if (PyDict_SetItem(kw_.get(), key, value) < 0) throw_error();
      continue;
    }
    if (v_[found])
      raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name.c_str(), key);
    v_[found] = value;
  }

  for (Py_ssize_t i = 0; i < sig.n_required; ++i)
    if (!v_[i]) raise_count(sig, exact, sig.n_required, "at least", i < nargs ? nargs : i);
  for (Py_ssize_t i = sig.n_pos; i < n_params; ++i)
    if (!v_[i] && !sig.params[i].has_default)
      raise(PyExc_TypeError, "%s() needs keyword-only argument %s", sig.name.c_str(),
            sig.params[i].name.c_str());
}

Ref Args::rest_tuple() const {
  Ref t = Ref::check(PyTuple_New(n_rest_));
  for (Py_ssize_t i = 0; i < n_rest_; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(rest_[i]));
  return t;
}

Ref Args::kwargs_dict() const { return kw_ ? kw_.dup() : Ref::check(PyDict_New()); }

// ---- conversions ------------------------------------------------------------

void raise_arg_type(const char* arg, const char* expected, PyObject* got) {
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
        Py_TYPE(got)->tp_name);
}

PyObject* exact_str(PyObject* o, const char* arg) {
  if (!PyUnicode_CheckExact(o)) raise_arg_type(arg, "str", o);
  return o;
}

PyObject* str_or_none(PyObject* o, const char* arg) {
  if (o != Py_None && !PyUnicode_CheckExact(o)) raise_arg_type(arg, "str", o);
  return o;
}

PyObject* exact_dict(PyObject* o, const char* arg) {
  if (!PyDict_CheckExact(o)) raise_arg_type(arg, "dict", o);
  return o;
}

PyObject* dict_or_none(PyObject* o, const char* arg) {
  if (o != Py_None && !PyDict_CheckExact(o)) raise_arg_type(arg, "dict", o);
  return o;
}

PyObject* exact_list(PyObject* o, const char* arg) {
  if (!PyList_CheckExact(o)) raise_arg_type(arg, "list", o);
  return o;
}

PyObject* list_or_none(PyObject* o, const char* arg) {
  if (o != Py_None && !PyList_CheckExact(o)) raise_arg_type(arg, "list", o);
  return o;
}

bool is_int_like(PyObject* o) noexcept {
  if (PyLong_Check(o) || PyFloat_Check(o)) return true;
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb && (nb->nb_int || nb->nb_index);
}

bool is_float_like(PyObject* o) noexcept {
  if (PyLong_Check(o) || PyFloat_Check(o)) return true;
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb && (nb->nb_float || nb->nb_index);
}

Ref to_int(PyObject* o, const char* arg) {
  if (PyLong_CheckExact(o)) return Ref::borrow(o);
  if (!is_int_like(o)) raise_arg_type(arg, "int", o);
  return Ref::check(PyNumber_Long(o));
}

long long to_ll(PyObject* o, const char* arg) {
  if (PyLong_CheckExact(o)) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
  }
  Ref i = to_int(o, arg);
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

double to_double(PyObject* o, const char* arg) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  if (!is_float_like(o)) raise_arg_type(arg, "float", o);
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_error();
  return d;
}

PyObject* expect_str_result(PyObject* o) {
  if (o != Py_None && !PyUnicode_CheckExact(o))
    raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(o)->tp_name);
  return o;
}

}  // namespace qn
