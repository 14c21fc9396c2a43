// The native function object: a callable that behaves like a Python function.
//
// Every function a module exposes (and every nested function or method it creates at call time) is a
// `Func` driven by one declarative `FuncSpec`: name, qualname, docstring, parameters with their kinds and
// annotation strings, and the implementation. The same table drives argument binding (with CPython's own
// TypeError texts), the conversions by annotation, `__annotations__` and `inspect.signature`.
//
// Argument conventions applied after binding, by annotation text:
//   "int"    an exact int is kept; any other number goes through int(); a non-number raises
//            TypeError "Argument '<name>' has incorrect type (expected int, got <type>)"
//   "float"  converted with the interpreter's float conversion (its own TypeError on failure)
//   "bool"   taken by truth value
//   "str", and built-in containers bare or parameterised ("dict", "Dict[str, Any]", "Tuple[Any, ...]",
//            "set[str]", "List[int]")   must be exactly of that type, else the TypeError above
// Any other annotation (none, Optional[...], a union, a class name) is not checked.
#pragma once

#include <initializer_list>
#include <vector>

#include "bind/ref.hpp"

namespace vexil::bind {

enum class Kind : unsigned char { Positional, VarArgs, KeywordOnly, VarKwargs };

struct Param {
  const char* name;
  Kind kind = Kind::Positional;
  const char* annotation = nullptr;  // annotation string, or nullptr for none
};

struct Func;
class Args;

// An implementation receives the bound, converted arguments and returns a new reference (or throws).
using Impl = Ref (*)(Func& self, const Args& args);

constexpr int kMaxParams = 16;

class FuncSpec {
 public:
  // `qualname` nullptr means the same as `name`; `doc` nullptr means no docstring; `returns` nullptr means
  // no return annotation. Parameters must be listed in Python order: positional-or-keyword, *args,
  // keyword-only, **kwargs.
  FuncSpec(const char* name, const char* qualname, const char* doc, std::initializer_list<Param> params,
           const char* returns, Impl impl);

  enum class Conv : unsigned char { None, Int, Float, Bool, Str, Dict, Tuple, List, Set };

  const char* name;
  const char* qualname;
  const char* doc;
  std::vector<Param> params;
  std::vector<Conv> conv;
  const char* returns;
  Impl impl;
  int n_positional = 0;   // positional-or-keyword parameters
  int varargs = -1;       // index of *args, or -1
  int kwonly_begin = 0;   // first keyword-only parameter
  int n_kwonly = 0;
  int varkw = -1;         // index of **kwargs, or -1
};

// The bound arguments, one per parameter in declaration order (*args as a tuple, **kwargs as a dict).
class Args {
 public:
  PyObject* operator[](int i) const noexcept { return slots_[i].get(); }
  double as_double(int i) const { return PyFloat_AS_DOUBLE(slots_[i].get()); }  // "float" parameters
  long long as_int(int i) const;                                                 // "int" parameters
  bool as_bool(int i) const noexcept { return slots_[i].get() == Py_True; }      // "bool" parameters

 private:
  friend struct FuncAccess;
  Ref slots_[kMaxParams];
};

struct Func {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec* table;
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* module;       // __module__ (any object)
  PyObject* doc;          // __doc__ (any object)
  PyObject* globals;      // the namespace names are looked up in (a dict)
  PyObject* closure;      // objects captured at creation (any object, or NULL)
  PyObject* defaults;     // tuple or NULL
  PyObject* kwdefaults;   // dict or NULL
  PyObject* annotations;  // dict or NULL (built from the table on first access)
  PyObject* dict;         // __dict__ or NULL
  PyObject* weakrefs;

  // Looks a name up as a Python function body would: the globals, then the builtins (NameError if absent).
  Ref global(Name& name) const;
  // The captured object(s).
  PyObject* captured() const noexcept { return closure; }
  // Creates a function sharing this one's globals and module (a nested function or a method).
  Ref nested(const FuncSpec& table, Ref closure = {}, Ref defaults = {}, Ref kwdefaults = {}) const;
};

// Creates a function object. `globals` is the module dict, `module` the value of __module__.
Ref make_function(const FuncSpec& table, PyObject* globals, PyObject* module, Ref defaults = {},
                  Ref kwdefaults = {}, Ref closure = {});

// True when `o` is a native function object created from `table` (used to take the direct native path when a
// module attribute still holds the module's own function).
bool is_function_of(PyObject* o, const FuncSpec& table) noexcept;

// Readies the function type; called by every module's exec slot before creating functions.
void ready_function_type();

// Creates a class at run time: type(name, (object,), {"__module__": module, "__qualname__": qualname,
// <members>...}). Members are (name, object) pairs; native functions become methods.
Ref make_class(const char* name, const char* qualname, PyObject* module,
               std::initializer_list<std::pair<const char*, PyObject*>> members);

}  // namespace vexil::bind
