#include "bind/module.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vexil::bind {

ModuleBuilder::ModuleBuilder(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {
  name_ = require(PyObject_GetAttrString(module, "__name__"));
}

Ref import_module(const char* module) { return require(PyImport_ImportModule(module)); }

Ref ModuleBuilder::import(const char* module, const char* as) {
  Ref m = import_module(module);
  set(as, m);
  return m;
}

Ref ModuleBuilder::from_import(const char* module, const char* name, const char* as) {
  Ref fromlist = require(Py_BuildValue("(s)", name));
  Ref m;
  if (module[0] == '.') {
    int level = 0;
    while (module[level] == '.') ++level;
    Ref rest = str(module + level);
    m = require(PyImport_ImportModuleLevelObject(rest.get(), dict_, nullptr, fromlist.get(), level));
  } else {
    Ref modname = str(module);
    m = require(PyImport_ImportModuleLevelObject(modname.get(), dict_, nullptr, fromlist.get(), 0));
  }
  PyObject* v = PyObject_GetAttrString(m.get(), name);
  if (v == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  }
  Ref value = Ref::steal(v);
  set(as ? as : name, value);
  return value;
}

void ModuleBuilder::set(const char* name, const Ref& value) {
  require_ok(PyDict_SetItemString(dict_, name, value.get()));
}

Ref ModuleBuilder::function(const FuncSpec& table, Ref defaults, Ref kwdefaults, Ref closure) {
  return make_function(table, dict_, name_.get(), std::move(defaults), std::move(kwdefaults), std::move(closure));
}

Ref ModuleBuilder::def(const FuncSpec& table, Ref defaults, Ref kwdefaults, Ref closure) {
  Ref f = function(table, std::move(defaults), std::move(kwdefaults), std::move(closure));
  set(table.name, f);
  return f;
}

namespace {

Ref number_literal(const std::string& tok) {
  bool is_float = tok.find_first_of(".eE") != std::string::npos || tok.find("inf") != std::string::npos ||
                  tok.find("nan") != std::string::npos;
  if (is_float) {
    Ref s = str(tok.c_str());
    return require(PyFloat_FromString(s.get()));
  }
  return require(PyLong_FromString(tok.c_str(), nullptr, 10));
}

std::string trim(std::string s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

Ref literal(const char* text) {
  std::string t = trim(text);
  if (t == "None") return none();
  if (t == "True") return from_bool(true);
  if (t == "False") return from_bool(false);
  if (!t.empty() && t.front() == '[') {
    Ref list = require(PyList_New(0));
    std::string body = trim(t.substr(1, t.size() - 2));
    size_t pos = 0;
    while (!body.empty() && pos <= body.size()) {
      size_t comma = body.find(',', pos);
      std::string tok = trim(body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
      Ref v = number_literal(tok);
      require_ok(PyList_Append(list.get(), v.get()));
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
    return list;
  }
  return number_literal(t);
}

}  // namespace vexil::bind
