#include "bind/function.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <typeinfo>

namespace vexil::bind {

void translate_exception() noexcept {
  try {
    throw;
  } catch (const PyError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native code failed without setting an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in native code: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in native code");
  }
}

namespace {

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// The conversion an annotation asks for. A built-in container, bare ("dict") or parameterised ("Dict[str, Any]",
// "set[str]"), must be exactly that type; an Optional[...] or a union is not checked.
FuncSpec::Conv conv_of(const char* annotation) {
  using C = FuncSpec::Conv;
  if (annotation == nullptr) return C::None;
  if (std::strcmp(annotation, "int") == 0) return C::Int;
  if (std::strcmp(annotation, "float") == 0) return C::Float;
  if (std::strcmp(annotation, "bool") == 0) return C::Bool;
  if (std::strcmp(annotation, "str") == 0) return C::Str;
  if (std::strchr(annotation, '|') != nullptr) return C::None;
  if (std::strcmp(annotation, "dict") == 0 || starts_with(annotation, "dict[") || starts_with(annotation, "Dict["))
    return C::Dict;
  if (std::strcmp(annotation, "tuple") == 0 || starts_with(annotation, "tuple[") || starts_with(annotation, "Tuple["))
    return C::Tuple;
  if (std::strcmp(annotation, "list") == 0 || starts_with(annotation, "list[") || starts_with(annotation, "List["))
    return C::List;
  if (std::strcmp(annotation, "set") == 0 || starts_with(annotation, "set[") || starts_with(annotation, "Set["))
    return C::Set;
  return C::None;
}

}  // namespace

FuncSpec::FuncSpec(const char* name_, const char* qualname_, const char* doc_, std::initializer_list<Param> params_,
                   const char* returns_, Impl impl_)
    : name(name_), qualname(qualname_ ? qualname_ : name_), doc(doc_), params(params_), returns(returns_),
      impl(impl_) {
  int i = 0;
  bool seen_star = false;
  for (const Param& p : params) {
    conv.push_back(p.kind == Kind::Positional || p.kind == Kind::KeywordOnly ? conv_of(p.annotation) : Conv::None);
    switch (p.kind) {
      case Kind::Positional:
        if (seen_star) std::terminate();  // a table error; caught by the test suite at import
        ++n_positional;
        break;
      case Kind::VarArgs:
        varargs = i;
        seen_star = true;
        break;
      case Kind::KeywordOnly:
        if (n_kwonly == 0) kwonly_begin = i;
        ++n_kwonly;
        seen_star = true;
        break;
      case Kind::VarKwargs:
        varkw = i;
        break;
    }
    ++i;
  }
  if (i > kMaxParams) std::terminate();
}

long long Args::as_int(int i) const {
  long long v = PyLong_AsLongLong(slots_[i].get());
  if (v == -1 && PyErr_Occurred()) throw PyError();
  return v;
}

// Grants the binder access to the argument slots.
struct FuncAccess {
  static Ref* slots(Args& a) noexcept { return a.slots_; }
};

namespace {

PyTypeObject FuncType = {PyVarObject_HEAD_INIT(nullptr, 0)};

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

[[noreturn]] void incorrect_type(const char* param, const char* expected, PyObject* got) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
               type_name(got));
}

// Applies the conversion of a parameter's annotation.
Ref convert(FuncSpec::Conv c, const char* pname, Ref value) {
  using C = FuncSpec::Conv;
  PyObject* v = value.get();
  switch (c) {
    case C::None:
      return value;
    case C::Int:
      if (PyLong_CheckExact(v)) return value;
      if (!PyNumber_Check(v)) incorrect_type(pname, "int", v);
      return require(PyNumber_Long(v));
    case C::Float: {
      if (PyFloat_CheckExact(v)) return value;
      double d = PyFloat_AsDouble(v);
      if (d == -1.0 && PyErr_Occurred()) throw PyError();
      return from_double(d);
    }
    case C::Bool:
      return from_bool(truth(v));
    case C::Str:
      if (!PyUnicode_CheckExact(v)) incorrect_type(pname, "str", v);
      return value;
    case C::Dict:
      if (!PyDict_CheckExact(v)) incorrect_type(pname, "dict", v);
      return value;
    case C::Tuple:
      if (!PyTuple_CheckExact(v)) incorrect_type(pname, "tuple", v);
      return value;
    case C::List:
      if (!PyList_CheckExact(v)) incorrect_type(pname, "list", v);
      return value;
    case C::Set:
      if (!PySet_CheckExact(v)) incorrect_type(pname, "set", v);
      return value;
  }
  return value;
}

// "f() missing 2 required positional arguments: 'a' and 'b'" as CPython words it.
[[noreturn]] void missing_arguments(const Func& f, const char* kind, const std::vector<const char*>& names) {
  Ref list = require(PyList_New(0));
  for (const char* n : names) {
    Ref s = str(n);
    Ref r = require(PyObject_Repr(s.get()));
    require_ok(PyList_Append(list.get(), r.get()));
  }
  Py_ssize_t len = PyList_GET_SIZE(list.get());
  Ref joined;
  if (len == 1) {
    joined = Ref::borrow(PyList_GET_ITEM(list.get(), 0));
  } else if (len == 2) {
    joined = require(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(list.get(), 0), PyList_GET_ITEM(list.get(), 1)));
  } else {
    Ref tail = require(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(list.get(), len - 2),
                                            PyList_GET_ITEM(list.get(), len - 1)));
    require_ok(PyList_SetSlice(list.get(), len - 2, len, nullptr));
    Ref comma = str(", ");
    Ref head = require(PyUnicode_Join(comma.get(), list.get()));
    joined = require(PyUnicode_Concat(head.get(), tail.get()));
  }
  raise_format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f.qualname, static_cast<int>(len), kind,
               len == 1 ? "" : "s", joined.get());
}

[[noreturn]] void too_many_positional(const Func& f, Py_ssize_t given, Py_ssize_t kwonly_given) {
  const FuncSpec& s = *f.table;
  Py_ssize_t defcount = f.defaults ? PyTuple_GET_SIZE(f.defaults) : 0;
  Ref sig;
  bool plural;
  if (defcount) {
    plural = true;
    Py_ssize_t atleast = s.n_positional - defcount;
    // Not clamped at 0: CPython prints a negative lower bound when __defaults__ is longer than the
    // parameter list, and the text must match it.
    sig = require(PyUnicode_FromFormat("from %zd to %zd", atleast, static_cast<Py_ssize_t>(s.n_positional)));
  } else {
    plural = s.n_positional != 1;
    sig = require(PyUnicode_FromFormat("%zd", static_cast<Py_ssize_t>(s.n_positional)));
  }
  Ref kwonly_sig;
  if (kwonly_given) {
    kwonly_sig = require(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                              given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
  } else {
    kwonly_sig = str("");
  }
  raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f.qualname, sig.get(),
               plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
}

// Index of the parameter that may receive keyword `key`, or -1.
int find_keyword(const FuncSpec& s, PyObject* key) {
  int n = static_cast<int>(s.params.size());
  for (int i = 0; i < n; ++i) {
    const Param& p = s.params[i];
    if (p.kind != Kind::Positional && p.kind != Kind::KeywordOnly) continue;
    if (PyUnicode_CompareWithASCIIString(key, p.name) == 0) return i;
  }
  return -1;
}

// Binds a call to the parameters, exactly as CPython 3.11 binds a call to a Python function.
void bind_arguments(const Func& f, PyObject* const* argv, Py_ssize_t argc, PyObject* kwnames, Ref* slots) {
  const FuncSpec& s = *f.table;
  Ref kwdict;
  if (s.varkw >= 0) kwdict = require(PyDict_New());

  Py_ssize_t n = argc < s.n_positional ? argc : s.n_positional;
  for (Py_ssize_t i = 0; i < n; ++i) slots[i] = Ref::borrow(argv[i]);
  if (s.varargs >= 0) {
    Py_ssize_t extra = argc > n ? argc - n : 0;
    Ref tup = require(PyTuple_New(extra));
    for (Py_ssize_t i = 0; i < extra; ++i) {
      Py_INCREF(argv[n + i]);
      PyTuple_SET_ITEM(tup.get(), i, argv[n + i]);
    }
    slots[s.varargs] = std::move(tup);
  }

  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = argv[argc + k];
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%U() keywords must be strings", f.qualname);
    int j = find_keyword(s, key);
    if (j < 0) {
      if (!kwdict) raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname, key);
      require_ok(PyDict_SetItem(kwdict.get(), key, value));
      continue;
    }
    if (slots[j]) raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f.qualname, key);
    slots[j] = Ref::borrow(value);
  }

  if (argc > s.n_positional && s.varargs < 0) {
    Py_ssize_t kwonly_given = 0;
    for (int i = s.kwonly_begin; i < s.kwonly_begin + s.n_kwonly; ++i)
      if (slots[i]) ++kwonly_given;
    too_many_positional(f, argc, kwonly_given);
  }

  if (argc < s.n_positional) {
    Py_ssize_t defcount = f.defaults ? PyTuple_GET_SIZE(f.defaults) : 0;
    Py_ssize_t m = s.n_positional - defcount;
    std::vector<const char*> missing;
    for (Py_ssize_t i = argc; i < m; ++i)
      if (!slots[i]) missing.push_back(s.params[i].name);
    if (!missing.empty()) missing_arguments(f, "positional", missing);
    for (Py_ssize_t i = m > argc ? m : argc; i < s.n_positional; ++i)
      if (!slots[i]) slots[i] = Ref::borrow(PyTuple_GET_ITEM(f.defaults, i - m));
  }

  if (s.n_kwonly) {
    std::vector<const char*> missing;
    for (int i = s.kwonly_begin; i < s.kwonly_begin + s.n_kwonly; ++i) {
      if (slots[i]) continue;
      if (f.kwdefaults) {
        PyObject* d = PyDict_GetItemString(f.kwdefaults, s.params[i].name);
        if (d) {
          slots[i] = Ref::borrow(d);
          continue;
        }
      }
      missing.push_back(s.params[i].name);
    }
    if (!missing.empty()) missing_arguments(f, "keyword-only", missing);
  }
  if (s.varkw >= 0) slots[s.varkw] = std::move(kwdict);

  int np = static_cast<int>(s.params.size());
  for (int i = 0; i < np; ++i)
    if (s.conv[i] != FuncSpec::Conv::None) slots[i] = convert(s.conv[i], s.params[i].name, std::move(slots[i]));
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* argv, size_t nargsf, PyObject* kwnames) noexcept {
  Func& f = *reinterpret_cast<Func*>(callable);
  return guard([&] {
    Args args;
    bind_arguments(f, argv, PyVectorcall_NARGS(nargsf), kwnames, FuncAccess::slots(args));
    Ref result = f.table->impl(f, args);
    if (!result && !PyErr_Occurred()) raise(PyExc_SystemError, "native function returned no result");
    return result;
  });
}

// --- type slots --------------------------------------------------------------------------------------------

int func_traverse(PyObject* self, visitproc visit, void* arg) {
  Func* f = reinterpret_cast<Func*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->globals);
  Py_VISIT(f->closure);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

int func_clear(PyObject* self) {
  Func* f = reinterpret_cast<Func*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

void func_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Func* f = reinterpret_cast<Func*>(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  func_clear(self);
  PyObject_GC_Del(self);
}

PyObject* func_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Func*>(self)->qualname, self);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// --- attributes ----------------------------------------------------------------------------------------------

Func* F(PyObject* self) { return reinterpret_cast<Func*>(self); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(F(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(F(self)->name, Py_NewRef(value));
  return 0;
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(F(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(F(self)->qualname, Py_NewRef(value));
  return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(F(self)->defaults ? F(self)->defaults : Py_None); }
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(F(self)->defaults, Py_XNewRef(value));
  return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) {
  return Py_NewRef(F(self)->kwdefaults ? F(self)->kwdefaults : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(F(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

Ref build_annotations(const FuncSpec& s) {
  Ref d = require(PyDict_New());
  for (const Param& p : s.params) {
    if (p.annotation == nullptr) continue;
    Ref v = str(p.annotation);
    require_ok(PyDict_SetItemString(d.get(), p.name, v.get()));
  }
  if (s.returns) {
    Ref v = str(s.returns);
    require_ok(PyDict_SetItemString(d.get(), "return", v.get()));
  }
  return d;
}

PyObject* get_annotations(PyObject* self, void*) {
  Func* f = F(self);
  if (f->annotations == nullptr) {
    PyObject* d = guard([&] { return build_annotations(*f->table); });
    if (d == nullptr) return nullptr;
    f->annotations = d;
  }
  return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || value == Py_None) {
    // As for a Python function, deleting the annotations leaves an empty dict (not the declared ones).
    PyObject* empty = PyDict_New();
    if (empty == nullptr) return -1;
    Py_XSETREF(F(self)->annotations, empty);
    return 0;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(F(self)->annotations, Py_NewRef(value));
  return 0;
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(F(self)->globals); }

// inspect.signature(f): built from the same table that drives the binder, with the current defaults and
// annotations, so the two always agree.
Name kInspect("inspect"), kParameter("Parameter"), kSignature("Signature"), kDefault("default"),
    kAnnotation("annotation"), kReturnAnnotation("return_annotation"), kReturn("return"),
    kPositionalOrKeyword("POSITIONAL_OR_KEYWORD"), kVarPositional("VAR_POSITIONAL"), kKeywordOnly("KEYWORD_ONLY"),
    kVarKeyword("VAR_KEYWORD");

PyObject* get_signature(PyObject* self, void*) {
  return guard([&] {
    Func* f = F(self);
    const FuncSpec& s = *f->table;
    Ref inspect = require(PyImport_Import(kInspect.get()));
    Ref parameter = getattr(inspect.get(), kParameter);
    Ref signature = getattr(inspect.get(), kSignature);
    Ref ann = require(get_annotations(self, nullptr));
    Ref params = require(PyList_New(0));
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    int i = 0;
    for (const Param& p : s.params) {
      Name* kind_name = p.kind == Kind::Positional   ? &kPositionalOrKeyword
                        : p.kind == Kind::VarArgs     ? &kVarPositional
                        : p.kind == Kind::KeywordOnly ? &kKeywordOnly
                                                      : &kVarKeyword;
      Ref kind = getattr(parameter.get(), *kind_name);
      Ref pname = str(p.name);
      Ref kwargs = require(PyDict_New());
      if (p.kind == Kind::Positional && i >= s.n_positional - defcount)
        require_ok(PyDict_SetItem(kwargs.get(), kDefault.get(),
                                  PyTuple_GET_ITEM(f->defaults, i - (s.n_positional - defcount))));
      if (p.kind == Kind::KeywordOnly && f->kwdefaults) {
        PyObject* d = PyDict_GetItemWithError(f->kwdefaults, pname.get());
        if (d) require_ok(PyDict_SetItem(kwargs.get(), kDefault.get(), d));
        require_no_error();
      }
      if (PyDict_Check(ann.get())) {
        PyObject* a = PyDict_GetItemWithError(ann.get(), pname.get());
        if (a) require_ok(PyDict_SetItem(kwargs.get(), kAnnotation.get(), a));
        require_no_error();
      }
      Ref args = require(PyTuple_Pack(2, pname.get(), kind.get()));
      Ref prm = require(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
      require_ok(PyList_Append(params.get(), prm.get()));
      ++i;
    }
    Ref kwargs = require(PyDict_New());
    if (PyDict_Check(ann.get())) {
      PyObject* r = PyDict_GetItemWithError(ann.get(), kReturn.get());
      if (r) require_ok(PyDict_SetItem(kwargs.get(), kReturnAnnotation.get(), r));
      require_no_error();
    }
    Ref args = require(PyTuple_Pack(1, params.get()));
    return require(PyObject_Call(signature.get(), args.get(), kwargs.get()));
  });
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Func, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Func, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Func, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Func, weakrefs), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Func, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Module-level functions pickle by reference, as Python functions do.
PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(F(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void ready_function_type() {
  if (FuncType.tp_flags & Py_TPFLAGS_READY) return;
  FuncType.tp_name = "vexil.function";
  FuncType.tp_doc = "A function implemented natively by vexil.";
  FuncType.tp_basicsize = sizeof(Func);
  FuncType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                      Py_TPFLAGS_METHOD_DESCRIPTOR;
  FuncType.tp_vectorcall_offset = offsetof(Func, vectorcall);
  FuncType.tp_call = PyVectorcall_Call;
  FuncType.tp_dealloc = func_dealloc;
  FuncType.tp_traverse = func_traverse;
  FuncType.tp_clear = func_clear;
  FuncType.tp_repr = func_repr;
  FuncType.tp_descr_get = func_descr_get;
  FuncType.tp_getset = func_getset;
  FuncType.tp_members = func_members;
  FuncType.tp_methods = func_methods;
  FuncType.tp_dictoffset = offsetof(Func, dict);
  FuncType.tp_weaklistoffset = offsetof(Func, weakrefs);
  require_ok(PyType_Ready(&FuncType));
}

Ref make_function(const FuncSpec& table, PyObject* globals, PyObject* module, Ref defaults, Ref kwdefaults,
                  Ref closure) {
  Func* f = PyObject_GC_New(Func, &FuncType);
  if (f == nullptr) throw PyError();
  f->vectorcall = func_vectorcall;
  f->table = &table;
  f->name = nullptr;
  f->qualname = nullptr;
  f->module = Py_NewRef(module);
  f->doc = nullptr;
  f->globals = Py_NewRef(globals);
  f->closure = closure.release();
  f->defaults = defaults.release();
  f->kwdefaults = kwdefaults.release();
  f->annotations = nullptr;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
  f->name = require(PyUnicode_InternFromString(table.name)).release();
  f->qualname = require(PyUnicode_InternFromString(table.qualname)).release();
  f->doc = table.doc ? str(table.doc).release() : Py_NewRef(Py_None);
  PyObject_GC_Track(self.get());
  return self;
}

bool is_function_of(PyObject* o, const FuncSpec& table) noexcept {
  return Py_TYPE(o) == &FuncType && reinterpret_cast<Func*>(o)->table == &table;
}

Ref Func::global(Name& n) const {
  PyObject* key = n.get();
  PyObject* v = PyDict_GetItemWithError(globals, key);
  if (v) return Ref::borrow(v);
  require_no_error();
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins) {
    v = PyDict_GetItemWithError(builtins, key);
    if (v) return Ref::borrow(v);
    require_no_error();
  }
  raise_format(PyExc_NameError, "name '%U' is not defined", key);
}

Ref Func::nested(const FuncSpec& s, Ref closure_, Ref defaults_, Ref kwdefaults_) const {
  return make_function(s, globals, module, std::move(defaults_), std::move(kwdefaults_), std::move(closure_));
}

Ref make_class(const char* name, const char* qualname, PyObject* module,
               std::initializer_list<std::pair<const char*, PyObject*>> members) {
  Ref ns = require(PyDict_New());
  require_ok(PyDict_SetItemString(ns.get(), "__module__", module));
  Ref q = str(qualname);
  require_ok(PyDict_SetItemString(ns.get(), "__qualname__", q.get()));
  for (const auto& [k, v] : members) require_ok(PyDict_SetItemString(ns.get(), k, v));
  Ref n = str(name);
  Ref bases = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  return require(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), n.get(), bases.get(),
                                              ns.get(), nullptr));
}

}  // namespace vexil::bind
