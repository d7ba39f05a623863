// Calls into Python, attribute access, printing, module state, entry points
// and classes derived from the framework's Python classes.
#pragma once

#include "args.hpp"
#include "ref.hpp"

#include <initializer_list>
#include <string_view>

namespace qn {

// ---- objects and calls ----------------------------------------------------

/// An interned str; throws on failure.
Ref intern(const char* s);
/// A new str from UTF-8 text.
Ref str(std::string_view s);
Ref py_float(double d);
Ref py_int(long long v);
/// A tuple of interned names, for the kwnames of vectorcall.
Ref name_tuple(std::initializer_list<const char*> names);

/// getattr(o, name), `name` an (interned) str.
inline Ref getattr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }
/// getattr(o, name, None-like): NULL Ref when the attribute is missing.
Ref getattr_opt(PyObject* o, PyObject* name);
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
  if (PyObject_SetAttr(o, name, v) < 0) throw_error();
}
/// `import name` and return the module.
Ref import(const char* name);
/// from module import name.
Ref import_from(const char* module, const char* name);

/// f(*args) through vectorcall.
template <class... A>
Ref call(PyObject* f, A... args) {
  PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
  return Ref::check(
      PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
/// f(*positional, **dict(zip(kwnames, keyword values))) through vectorcall:
/// `argv` holds the positional values then the keyword values, in the order
/// of the cached `kwnames` tuple, so no dict is built per call.
inline Ref call_kw(PyObject* f, PyObject* const* argv, size_t npos, PyObject* kwnames) {
  return Ref::check(PyObject_Vectorcall(f, argv, npos, kwnames));
}
/// o.name(*args) through vectorcall.
template <class... A>
Ref call_method(PyObject* o, PyObject* name, A... args) {
  PyObject* argv[] = {o, static_cast<PyObject*>(args)...};
  return Ref::check(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              nullptr));
}
/// bool(o), throwing when __bool__ raises.
inline bool truthy(PyObject* o) {
  int r = PyObject_IsTrue(o);
  if (r < 0) throw_error();
  return r != 0;
}
/// a == b with the objects' own equality.
inline bool equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  // Two objects of one type that keeps object's comparison (enum members
  // among them) are equal only when identical: no call needed.
  if (Py_TYPE(a) == Py_TYPE(b) && Py_TYPE(a)->tp_richcompare == PyBaseObject_Type.tp_richcompare) return false;
  int r = PyObject_RichCompareBool(a, b, Py_EQ);
  if (r < 0) throw_error();
  return r != 0;
}

/// Writes `text` and a newline to sys.stdout, as print() does, so the line
/// interleaves with the framework's own output and follows redirection.
void print_line(PyObject* text);
void print_line(std::string_view text);

// ---- module state ---------------------------------------------------------
// A module lists its cached objects once; the list expands into the fields,
// the GC traverse and the clear, so they cannot drift apart:
//   #define MY_OBJECTS(O) O(Bar) O(kw_bar)
//   #define MY_NAMES(N) N(open) N(close)        // fields str_open, str_close
//   struct State { QN_STATE(MY_OBJECTS, MY_NAMES) };

#define QN_OBJ_FIELD_(n) PyObject* n;
#define QN_STR_FIELD_(n) PyObject* str_##n;
#define QN_OBJ_VISIT_(n) Py_VISIT(n);
#define QN_STR_VISIT_(n) Py_VISIT(str_##n);
#define QN_OBJ_CLEAR_(n) Py_CLEAR(n);
#define QN_STR_CLEAR_(n) Py_CLEAR(str_##n);
#define QN_STR_INTERN_(n) str_##n = ::qn::intern(#n).release();
#define QN_NONE_(F)

#define QN_STATE(OBJECTS, NAMES)                          \
  OBJECTS(QN_OBJ_FIELD_)                                  \
  NAMES(QN_STR_FIELD_)                                    \
  int traverse([[maybe_unused]] visitproc visit,          \
               [[maybe_unused]] void* arg) {              \
    OBJECTS(QN_OBJ_VISIT_) NAMES(QN_STR_VISIT_) return 0; \
  }                                                       \
  void clear() { OBJECTS(QN_OBJ_CLEAR_) NAMES(QN_STR_CLEAR_) } \
  void intern_names() { NAMES(QN_STR_INTERN_) }

/// module.name = value (a new reference is taken).
inline void add_object(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) throw_error();
}

/// Stores a new reference into a state field (the field must be empty).
inline void keep(PyObject*& field, Ref value) { field = value.release(); }

// ---- entry points ---------------------------------------------------------

template <class State>
State& module_state(PyObject* module) noexcept {
  return *static_cast<State*>(PyModule_GetState(module));
}

/// A module-level function: METH_FASTCALL | METH_KEYWORDS, `self` is the module.
template <class State, Ref (*Body)(State&, const Args&), const char* Doc>
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] {
    Args a;
    a.parse(sig_of<Doc>(), args, nargs, kwnames);
    return Body(module_state<State>(module), a);
  });
}

/// A method of a class built by `make_class`: METH_METHOD gives the defining
/// class, whose module holds the state.
template <class State, Ref (*Body)(State&, PyObject*, const Args&), const char* Doc>
PyObject* method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                 PyObject* kwnames) noexcept {
  return guard([&] {
    void* st = PyType_GetModuleState(cls);
    if (!st) throw_error();
    Args a;
    a.parse(sig_of<Doc>(), args, PyVectorcall_NARGS(nargsf), kwnames);
    return Body(*static_cast<State*>(st), self, a);
  });
}

#define QN_FUNCTION(State, pyname, body, doc)                                                     \
  {                                                                                               \
    pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                      \
                &::qn::function<State, body, doc>)),                                              \
        METH_FASTCALL | METH_KEYWORDS, doc                                                        \
  }
#define QN_METHOD(State, pyname, body, doc)                                                       \
  {                                                                                               \
    pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                      \
                &::qn::method<State, body, doc>)),                                                \
        METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc                                          \
  }
#define QN_END_METHODS \
  { nullptr, nullptr, 0, nullptr }

/// Module exec: interns the state's names, then runs `init` (which fills
/// the rest of the state and the module's attributes).
template <class State, void (*Init)(PyObject*, State&)>
int module_exec(PyObject* module) noexcept {
  return guard_status([&] {
    State& st = module_state<State>(module);
    st.intern_names();
    Init(module, st);
  });
}

/// Defines the module's PyModuleDef and its PyInit_<name> entry point.
#define QN_MODULE(name, State, doc, methods, init)                                                 \
  static int name##_traverse(PyObject* m, visitproc visit, void* arg) {                           \
    State* st = static_cast<State*>(PyModule_GetState(m));                                        \
    return st ? st->traverse(visit, arg) : 0;                                                     \
  }                                                                                               \
  static int name##_clear(PyObject* m) {                                                          \
    State* st = static_cast<State*>(PyModule_GetState(m));                                        \
    if (st) st->clear();                                                                          \
    return 0;                                                                                     \
  }                                                                                               \
  static void name##_free(void* m) { name##_clear(static_cast<PyObject*>(m)); }                   \
  static PyModuleDef_Slot name##_slots[] = {                                                      \
      {Py_mod_exec, reinterpret_cast<void*>(&::qn::module_exec<State, init>)},                    \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                 \
      {0, nullptr}};                                                                              \
  static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, doc, sizeof(State), methods,      \
                                   name##_slots, name##_traverse, name##_clear, name##_free};       \
  PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }

// ---- classes on Python base classes ---------------------------------------

/// A method or read-only property to attach to a built class.
struct Member {
  PyMethodDef* def;   // METH_METHOD | METH_FASTCALL | METH_KEYWORDS
  bool property = false;
};

/// Builds a class the way a Python `class` statement would: the base's
/// metaclass is called with the name, the bases and a namespace holding
/// __module__, __qualname__, __doc__ and the class attributes, so the base's
/// hooks run. Methods are then attached as method descriptors bound to the
/// new class, and properties as `property` objects around such methods.
class ClassBuilder {
 public:
  ClassBuilder(PyObject* module, const char* name, PyObject* base, const char* doc);
  /// A class attribute; takes ownership of `value`.
  ClassBuilder& attr(const char* name, Ref value);
  ClassBuilder& member(PyMethodDef* def) { return add(def, false); }
  ClassBuilder& property(PyMethodDef* def) { return add(def, true); }
  /// Creates the class, attaches the members and adds it to the module.
  Ref build();

 private:
  ClassBuilder& add(PyMethodDef* def, bool prop);
  PyObject* module_;
  const char* name_;
  PyObject* base_;
  Ref ns_;
  Member members_[32];
  int n_members_ = 0;
};

}  // namespace qn
