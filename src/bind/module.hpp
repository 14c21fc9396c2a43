// Building an extension module: multi-phase initialisation whose exec slot runs the module's statements in
// order (imports, constants, tables, function definitions), binding each result as a module attribute.
#pragma once

#include "bind/function.hpp"

namespace vexil::bind {

class ModuleBuilder {
 public:
  explicit ModuleBuilder(PyObject* module);

  PyObject* module() const noexcept { return module_; }
  PyObject* dict() const noexcept { return dict_; }
  PyObject* name() const noexcept { return name_.get(); }

  // `import <module>` bound as `as` (the top-level package is bound for a dotted name without `as`, as
  // Python does; give `as` to bind the submodule itself, like `import a.b as x`).
  Ref import(const char* module, const char* as);
  // `from <module> import <name> as <as>`; relative names are resolved against this module's package.
  Ref from_import(const char* module, const char* name, const char* as = nullptr);
  // Binds a value.
  void set(const char* name, const Ref& value);
  // Defines a module-level function from its table and binds it under its name.
  Ref def(const FuncSpec& table, Ref defaults = {}, Ref kwdefaults = {}, Ref closure = {});
  // Creates a function of this module without binding it (e.g. a lambda stored in a table).
  Ref function(const FuncSpec& table, Ref defaults = {}, Ref kwdefaults = {}, Ref closure = {});

 private:
  PyObject* module_;
  PyObject* dict_;
  Ref name_;
};

// Imports `module` as `import` would (honouring sys.modules and import hooks).
Ref import_module(const char* module);

// Parses a Python number, None, True/False or flat list-of-numbers literal ("None", "4", "2.0", "5e-05",
// "[1, 5e-05]") into a new object. Ints are those without '.', 'e', 'E', "inf" or "nan".
Ref literal(const char* text);

}  // namespace vexil::bind

// Defines PyInit_<name> with multi-phase initialisation; `exec` is `void exec(ModuleBuilder&)`.
#define VEXIL_MODULE(modname, docstring, exec_fn)                                                           \
  static int vexil_exec_##modname(PyObject* m) noexcept {                                                   \
    return ::vexil::bind::guard_status([&] {                                                                \
      ::vexil::bind::ready_function_type();                                                                 \
      ::vexil::bind::ModuleBuilder builder(m);                                                              \
      exec_fn(builder);                                                                                     \
    });                                                                                                     \
  }                                                                                                         \
  static PyModuleDef_Slot vexil_slots_##modname[] = {                                                       \
      {Py_mod_exec, reinterpret_cast<void*>(vexil_exec_##modname)}, {0, nullptr}};                          \
  static PyModuleDef vexil_def_##modname = {PyModuleDef_HEAD_INIT, #modname, docstring, 0, nullptr,         \
                                             vexil_slots_##modname, nullptr, nullptr, nullptr};             \
  PyMODINIT_FUNC PyInit_##modname(void) { return PyModuleDef_Init(&vexil_def_##modname); }
