// Calls, printing and class building for the shared layer.
#include "pyapi.hpp"

namespace qn {

Ref intern(const char* s) { return Ref::check(PyUnicode_InternFromString(s)); }

Ref str(std::string_view s) {
  return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref py_float(double d) { return Ref::check(PyFloat_FromDouble(d)); }

Ref py_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }

Ref name_tuple(std::initializer_list<const char*> names) {
  Ref t = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, intern(n).release());
  return t;
}

Ref getattr_opt(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttr(o, name, &v) < 0) throw_error();
  return Ref::steal(v);
#else
  PyObject* v = PyObject_GetAttr(o, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return Ref();
#endif
}

Ref import(const char* name) { return Ref::check(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
  Ref m = import(module);
  return Ref::check(PyObject_GetAttrString(m.get(), name));
}

void print_line(PyObject* text) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (!out) raise(PyExc_RuntimeError, "lost sys.stdout");
  if (out == Py_None) return;  // as print(): no stream, nothing written
  Ref line = Ref::check(PyUnicode_FromFormat("%S\n", text));
  Ref write = intern("write");
  call_method(out, write.get(), line.get());
}

void print_line(std::string_view text) { print_line(str(text).get()); }

// ---- ClassBuilder ---------------------------------------------------------

ClassBuilder::ClassBuilder(PyObject* module, const char* name, PyObject* base, const char* doc)
    : module_(module), name_(name), base_(base) {
  ns_ = Ref::check(PyDict_New());
  Ref modname = Ref::check(PyModule_GetNameObject(module));
  if (PyDict_SetItemString(ns_.get(), "__module__", modname.get()) < 0) throw_error();
  if (PyDict_SetItemString(ns_.get(), "__qualname__", str(name).get()) < 0) throw_error();
  if (PyDict_SetItemString(ns_.get(), "__doc__", str(doc).get()) < 0) throw_error();
}

ClassBuilder& ClassBuilder::attr(const char* name, Ref value) {
  if (PyDict_SetItemString(ns_.get(), name, value.get()) < 0) throw_error();
  return *this;
}

ClassBuilder& ClassBuilder::add(PyMethodDef* def, bool prop) {
  if (n_members_ == static_cast<int>(sizeof members_ / sizeof members_[0])) fatal("qn: too many members");
  members_[n_members_++] = Member{def, prop};
  return *this;
}

Ref ClassBuilder::build() {
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base_));
  Ref bases = Ref::check(PyTuple_Pack(1, base_));
  Ref name = str(name_);
  Ref cls = call(metaclass, name.get(), bases.get(), ns_.get());
  if (!PyType_Check(cls.get()) || !(reinterpret_cast<PyTypeObject*>(cls.get())->tp_flags & Py_TPFLAGS_HEAPTYPE))
    raise(PyExc_TypeError, "metaclass of %s did not build a heap type", name_);
  // A class made by a metaclass call has no owning module; recording it lets
  // the METH_METHOD members (and those of Python subclasses that inherit
  // them) reach this module's state through PyType_GetModuleState.
  auto* ht = reinterpret_cast<PyHeapTypeObject*>(cls.get());
  if (!ht->ht_module) ht->ht_module = Py_NewRef(module_);
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  for (int i = 0; i < n_members_; ++i) {
    Ref descr = Ref::check(PyDescr_NewMethod(type, members_[i].def));
    if (members_[i].property) descr = call(reinterpret_cast<PyObject*>(&PyProperty_Type), descr.get());
    if (PyObject_SetAttrString(cls.get(), members_[i].def->ml_name, descr.get()) < 0) throw_error();
  }
  if (PyModule_AddObjectRef(module_, name_, cls.get()) < 0) throw_error();
  return cls;
}

}  // namespace qn
