// vexil.options: the package-wide option store, its default table, reading, setting and the checks that
// run after every change.
//
// Every module-level name the functions use (the store, os, warnings, the program locators, the multibyte
// test and the module's own functions) is looked up in the module namespace at call time, so that replacing a
// module attribute changes later calls. When a name still holds this module's own function, the call takes a
// direct native path instead of going through the interpreter. Nothing is cached between calls: each read
// builds the default table anew (one processor-count query) and locates the engine while none is stored.
//
// The default table itself is a dict built once at import with the constant defaults (and a placeholder for
// the computed thread setting, so the key keeps its place); it is held privately by orvo_get_option_default
// and copied at every call. No lock is taken: the store is a plain dict shared by all threads.
#include <cctype>
#include <cstring>

#include "bind/module.hpp"

namespace {

using vexil::bind::Args;
using vexil::bind::Func;
using vexil::bind::FuncSpec;
using vexil::bind::Kind;
using vexil::bind::ModuleBuilder;
using vexil::bind::Name;
using vexil::bind::PyError;
using vexil::bind::Ref;
using vexil::bind::call;
using vexil::bind::from_bool;
using vexil::bind::getattr;
using vexil::bind::is_function_of;
using vexil::bind::none;
using vexil::bind::raise;
using vexil::bind::require;
using vexil::bind::require_no_error;
using vexil::bind::require_ok;
using vexil::bind::truth;

const char kModuleDoc[] =
    "Global options of the vexil package.\n"
    "\n"
    "Public functions:\n"
    "\n"
    "- orvo_get_option_default(): the default value of every option.\n"
    "- orvo_get_option(option=None): the current value of one, several or all options.\n"
    "- orvo_set_option(**kwargs): set one or more options; the positional form\n"
    "  orvo_set_option(\"key\", value) is accepted too.\n"
    "- orvo_enabled_Corvex_features(): whether the \"Corvex.features\" setting is on.\n";

// Module-level names, looked up at call time.
Name kOs("os"), kWarnings("warnings"), kStoreName("_ORVO_OPTIONS"), kCpuDefaultName("_cpu_default_string"),
    kGetDefaultName("orvo_get_option_default"), kGetOptionName("orvo_get_option"), kSetOneName("_set_one"),
    kPostSetName("_post_set_checks"), kCallBuiltin("orvo_call_builtin"), kTessorBuiltin("tessor_call_builtin"),
    kRemoteScript("orvo_remote_script"), kAnyMb("_any_mb");
// Attributes.
Name kCpuCount("cpu_count"), kPath("path"), kExists("exists"), kWarn("warn"), kLower("lower");
// Option keys and values.
Name kOrvoCall("orvo.call"), kTessorCall("tessor.call"), kNumThreads("num.threads"), kMode("orvo.mode"),
    kMallocLib("malloc.lib"), kWorkingDir("working.directory"), kFeatures("Corvex.features");
Name kCompact("compact"), kClassic("classic"), kTwostage("twostage"), kExperimental("experimental");
Name kDefault("default"), kCompiler("compiler"), kJe("je"), kTc("tc"), kMi("mi");
Name kRemote("remote"), kOrvoRemote("orvo.remote"), kEmpty(""), kSlash("/");

// --- the function tables -------------------------------------------------------------------------------------

Ref cpu_default_impl(Func& self, const Args& a);
Ref get_default_impl(Func& self, const Args& a);
Ref get_option_impl(Func& self, const Args& a);
Ref set_option_impl(Func& self, const Args& a);
Ref set_one_impl(Func& self, const Args& a);
Ref post_set_impl(Func& self, const Args& a);
Ref enabled_impl(Func& self, const Args& a);

const FuncSpec kCpuDefault(
    "_cpu_default_string", nullptr,
    "Default thread setting: the processor count, clamped to 1..16 (1 when unknown), followed by ':1'.", {}, "str",
    cpu_default_impl);

const FuncSpec kGetDefault(
    "orvo_get_option_default", nullptr,
    "Return a new dictionary of the default value of every option, in table order.\n"
    "\n"
    "Defaults only: the current options are not read and no program is located (no recursion into the\n"
    "current options), so this can be called at any time. \"num.threads\" is computed afresh at every call.",
    {}, "Dict[str, Any]", get_default_impl);

const FuncSpec kGetOption(
    "orvo_get_option", nullptr,
    "Get the current option or options.\n"
    "\n"
    "With option None (the default), return a new dictionary of all current values. With a key, return\n"
    "its current value; with any other iterable of keys, return the list of their values in order.\n"
    "\"orvo.call\" and \"tessor.call\" are handled specially to avoid recursion: when they are not set, the\n"
    "engine and the mesh generator are located at the time of the read.",
    {{"option", Kind::Positional, "Optional[Union[str, list]]"}}, nullptr, get_option_impl);

const FuncSpec kSetOption(
    "orvo_set_option", nullptr,
    "Set one or more options.\n"
    "\n"
    "Use either orvo_set_option('key', value) or orvo_set_option(key=value, ...); dotted keys are given in\n"
    "the keyword form by unpacking a mapping, as in orvo_set_option(**{\"num.threads\": \"4:1\"}). The\n"
    "values are stored as given, then the option checks run once.",
    {{"args", Kind::VarArgs}, {"kwargs", Kind::VarKwargs}}, "None", set_option_impl);

const FuncSpec kSetOne("_set_one", nullptr, "Validate one option key and store its value as given.",
                       {{"option", Kind::Positional, "str"}, {"value", Kind::Positional, "Any"}}, "None",
                       set_one_impl);

const FuncSpec kPostSet(
    "_post_set_checks", nullptr,
    "Check and normalise the options after a change: 'orvo.mode', 'malloc.lib', 'working.directory'.", {},
    "None", post_set_impl);

const FuncSpec kEnabled("orvo_enabled_Corvex_features", nullptr,
                        "Return True when the \"Corvex.features\" setting is truthy.", {}, "bool", enabled_impl);

Func& as_func(PyObject* o) noexcept { return *reinterpret_cast<Func*>(o); }

// --- small helpers ---------------------------------------------------------------------------------------------

// `key in mapping` (with the direct dict lookup for a plain dict).
bool contains(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) return require_ok(PyDict_Contains(mapping, key)) != 0;
  return require_ok(PySequence_Contains(mapping, key)) != 0;
}

// `mapping[key]` when `key in mapping`, else an empty Ref.
Ref lookup(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (v != nullptr) return Ref::borrow(v);
    require_no_error();
    return {};
  }
  if (require_ok(PySequence_Contains(mapping, key)) == 0) return {};
  return require(PyObject_GetItem(mapping, key));
}

void set_item(PyObject* mapping, PyObject* key, PyObject* value) {
  if (PyDict_CheckExact(mapping))
    require_ok(PyDict_SetItem(mapping, key, value));
  else
    require_ok(PyObject_SetItem(mapping, key, value));
}

Ref get_item(PyObject* mapping, PyObject* key) { return require(PyObject_GetItem(mapping, key)); }

// Exact string equality: true only for a str whose text equals `name`.
bool str_is(PyObject* o, Name& name) {
  if (!PyUnicode_Check(o)) return false;
  if (o == name.get()) return true;
  return PyUnicode_Compare(o, name.get()) == 0;  // cannot fail for two str objects
}

// `key == name` as a Python comparison (keys asked for may be any object).
bool equals(PyObject* key, Name& name) {
  if (key == name.get()) return true;
  if (PyUnicode_CheckExact(key)) return PyUnicode_Compare(key, name.get()) == 0;
  return require_ok(PyObject_RichCompareBool(name.get(), key, Py_EQ)) != 0;
}

bool ascii_equal_nocase(PyObject* s, const char* target) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (n != static_cast<Py_ssize_t>(std::strlen(target))) return false;
  const Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (std::tolower(d[i]) != static_cast<unsigned char>(target[i])) return false;
  return true;
}

// True when `v` is a str whose lower-case form is "remote" or "orvo.remote".
bool selects_remote(PyObject* v) {
  if (!PyUnicode_Check(v)) return false;
  if (PyUnicode_CheckExact(v) && PyUnicode_IS_ASCII(v))
    return ascii_equal_nocase(v, "remote") || ascii_equal_nocase(v, "orvo.remote");
  Ref lower = require(PyObject_CallMethodNoArgs(v, kLower.get()));
  return require_ok(PyObject_RichCompareBool(kRemote.get(), lower.get(), Py_EQ)) != 0 ||
         require_ok(PyObject_RichCompareBool(kOrvoRemote.get(), lower.get(), Py_EQ)) != 0;
}

// A str whose text starts with "/".
bool starts_with_slash(PyObject* o) {
  if (!PyUnicode_Check(o)) return false;
  Py_ssize_t r = PyUnicode_Tailmatch(o, kSlash.get(), 0, PY_SSIZE_T_MAX, -1);
  if (r < 0) throw PyError();
  return r == 1;
}

void warn(const Func& self, PyObject* message) {
  Ref warnings = self.global(kWarnings);
  Ref fn = getattr(warnings.get(), kWarn);
  call(fn.get(), message);
}

// `os.path.exists(value)`; a value that cannot be tested as a path (TypeError) does not exist there.
bool path_exists(const Func& self, PyObject* value) {
  Ref os = self.global(kOs);
  Ref path = getattr(os.get(), kPath);
  Ref exists = getattr(path.get(), kExists);
  PyObject* r = PyObject_CallOneArg(exists.get(), value);
  if (r == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError();
    PyErr_Clear();
    return false;
  }
  return truth(Ref::steal(r).get());
}

// --- defaults --------------------------------------------------------------------------------------------------

// The constant part of the default table, in table order; "num.threads" holds a placeholder.
Ref make_default_table() {
  Ref t = require(PyDict_New());
  auto put = [&](PyObject* key, const Ref& value) { require_ok(PyDict_SetItem(t.get(), key, value.get())); };
  auto key = [](const char* k) { return require(PyUnicode_InternFromString(k)); };
  Ref yes = from_bool(true), no = from_bool(false), nil = none();
  Ref zero = vexil::bind::from_long(0), two = vexil::bind::from_long(2);
  put(key("orvo.arg").get(), nil);
  put(key("tessor.arg").get(), Ref::borrow(kEmpty.get()));
  put(kNumThreads.get(), nil);
  put(key("smtp").get(), Ref::borrow(kDefault.get()));
  put(key("safe").get(), yes);
  put(key("keep").get(), no);
  put(key("verbose").get(), no);
  put(key("save.memory").get(), no);
  put(key("internal.opt").get(), yes);
  put(kWorkingDir.get(), nil);
  put(key("silent").get(), yes);
  put(key("debug").get(), no);
  put(key("show.warning.graph.file").get(), yes);
  put(key("scale.model.default").get(), no);
  put(key("short.summary").get(), no);
  put(key("orvo.timeout").get(), zero);
  put(key("tessor.timeout").get(), zero);
  put(kMode.get(), Ref::borrow(kCompact.get()));
  put(kMallocLib.get(), Ref::borrow(kMi.get()));
  put(key("tessor.evolution").get(), two);
  put(key("tessor.evolution.warn").get(), yes);
  put(key("tessor.evolution.verbosity").get(), Ref::borrow(kDefault.get()));
  put(kFeatures.get(), no);
  put(key("numa").get(), no);
  return t;
}

Ref cpu_default(const Func& self) {
  Ref os = self.global(kOs);
  Ref fn = getattr(os.get(), kCpuCount);
  Ref n = call(fn.get());
  if (PyLong_CheckExact(n.get())) {
    int overflow = 0;
    long c = PyLong_AsLongAndOverflow(n.get(), &overflow);
    if (c == -1 && PyErr_Occurred()) throw PyError();
    if (overflow > 0 || c > 16) c = 16;
    if (overflow < 0 || c < 1) c = 1;  // also an unknown (zero) count
    return require(PyUnicode_FromFormat("%ld:1", c));
  }
  // Any other answer: a false one counts as 1, then clamped to 1..16 and formatted as format(n) does.
  if (!truth(n.get())) n = vexil::bind::from_long(1);
  Ref hi = vexil::bind::from_long(16), lo = vexil::bind::from_long(1);
  if (require_ok(PyObject_RichCompareBool(n.get(), hi.get(), Py_GT))) n = hi;
  if (require_ok(PyObject_RichCompareBool(n.get(), lo.get(), Py_LT))) n = lo;
  Ref text = require(PyObject_Format(n.get(), kEmpty.get()));
  return require(PyUnicode_FromFormat("%U:1", text.get()));
}

Ref cpu_default_via(const Func& self) {
  Ref fn = self.global(kCpuDefaultName);
  if (is_function_of(fn.get(), kCpuDefault)) return cpu_default(as_func(fn.get()));
  return call(fn.get());
}

Ref build_defaults(const Func& self) {
  PyObject* table = self.captured();
  if (table == nullptr || !PyDict_CheckExact(table)) raise(PyExc_SystemError, "option default table missing");
  Ref d = require(PyDict_Copy(table));
  Ref threads = cpu_default_via(self);
  require_ok(PyDict_SetItem(d.get(), kNumThreads.get(), threads.get()));
  return d;
}

Ref defaults_via(const Func& self) {
  Ref fn = self.global(kGetDefaultName);
  if (is_function_of(fn.get(), kGetDefault)) return build_defaults(as_func(fn.get()));
  return call(fn.get());
}

// --- reading ---------------------------------------------------------------------------------------------------

// The mesh-tool location: the stored value, else the locator's answer (None when it finds nothing).
Ref resolve_tessor(const Func& self, PyObject* store) {
  if (Ref v = lookup(store, kTessorCall.get())) return v;
  Ref fn = self.global(kTessorBuiltin);
  PyObject* r = PyObject_CallNoArgs(fn.get());
  if (r != nullptr) return Ref::steal(r);
  if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) || PyErr_ExceptionMatches(PyExc_RuntimeError)) {
    PyErr_Clear();
    return none();
  }
  throw PyError();
}

// A value of "orvo.call" that selects the remote script is replaced by the script's location when there is one.
Ref resolve_remote(const Func& self, Ref value) {
  if (!selects_remote(value.get())) return value;
  Ref fn = self.global(kRemoteScript);
  Ref script = call(fn.get());
  return truth(script.get()) ? script : value;
}

[[noreturn]] void unknown_option(PyObject* text) {
  Ref msg = require(PyUnicode_FromFormat("Unknown option '%U'", text));
  PyErr_SetObject(PyExc_KeyError, msg.get());
  throw PyError();
}

Ref read_options(const Func& self, PyObject* option) {
  Ref defaults = defaults_via(self);
  Ref store = self.global(kStoreName);
  if (!contains(store.get(), kOrvoCall.get())) {
    Ref engine = call(self.global(kCallBuiltin).get());
    set_item(defaults.get(), kOrvoCall.get(), engine.get());
  }

  if (option == Py_None) {
    Ref all = PyDict_CheckExact(defaults.get())
                  ? require(PyDict_Copy(defaults.get()))
                  : require(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), defaults.get()));
    require_ok(PyDict_Update(all.get(), store.get()));
    Ref tessor = resolve_tessor(self, store.get());
    require_ok(PyDict_SetItem(all.get(), kTessorCall.get(), tessor.get()));
    if (Ref stored = lookup(store.get(), kOrvoCall.get())) {
      Ref resolved = resolve_remote(self, stored);
      if (resolved.get() != stored.get()) require_ok(PyDict_SetItem(all.get(), kOrvoCall.get(), resolved.get()));
    }
    return all;
  }

  auto value_of = [&](PyObject* key) -> Ref {
    Ref v = lookup(store.get(), key);
    if (!v) {
      if (equals(key, kTessorCall)) {
        v = resolve_tessor(self, store.get());
      } else {
        v = lookup(defaults.get(), key);
        if (!v) unknown_option(require(PyObject_Format(key, kEmpty.get())).get());
      }
    }
    if (equals(key, kOrvoCall)) v = resolve_remote(self, std::move(v));
    return v;
  };

  if (PyUnicode_Check(option)) return value_of(option);
  Ref keys = require(PySequence_List(option));
  Py_ssize_t n = PyList_GET_SIZE(keys.get());
  Ref out = require(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    Ref v = value_of(key.get());
    PyList_SET_ITEM(out.get(), i, v.release());
  }
  return out;
}

Ref read_via(const Func& self, Name& key) {
  Ref fn = self.global(kGetOptionName);
  if (is_function_of(fn.get(), kGetOption)) return read_options(as_func(fn.get()), key.get());
  return call(fn.get(), key.get());
}

// --- setting ---------------------------------------------------------------------------------------------------

void set_one(const Func& self, PyObject* key, PyObject* value) {
  Ref defaults = defaults_via(self);
  bool valid = contains(defaults.get(), key) || equals(key, kOrvoCall) || equals(key, kTessorCall);
  if (!valid) unknown_option(key);
  Ref store = self.global(kStoreName);
  set_item(store.get(), key, value);
}

void set_one_via(const Func& self, PyObject* key, PyObject* value) {
  Ref fn = self.global(kSetOneName);
  // A key that is not exactly a str goes through the call, whose argument check rejects it.
  if (is_function_of(fn.get(), kSetOne) && PyUnicode_CheckExact(key)) return set_one(as_func(fn.get()), key, value);
  call(fn.get(), key, value);
}

void store_value(const Func& self, Name& key, PyObject* value) {
  Ref store = self.global(kStoreName);
  set_item(store.get(), key.get(), value);
}

void post_set_checks(const Func& self) {
  // Engine mode.
  Ref mode = read_via(self, kMode);
  bool experimental = str_is(mode.get(), kExperimental);
  if (!(experimental || str_is(mode.get(), kCompact) || str_is(mode.get(), kClassic) ||
        str_is(mode.get(), kTwostage)))
    raise(PyExc_ValueError, "Invalid 'orvo.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'.");
  if (experimental) store_value(self, kMode, kCompact.get());

  // Memory allocator library.
  Ref ml = read_via(self, kMallocLib);
  auto store_default_allocator = [&] {
    Ref defaults = defaults_via(self);
    Ref d = get_item(defaults.get(), kMallocLib.get());
    store_value(self, kMallocLib, d.get());
  };
  if (ml.get() == Py_None || str_is(ml.get(), kDefault)) {
    store_default_allocator();
  } else if (starts_with_slash(ml.get()) && !path_exists(self, ml.get())) {
    Ref msg = require(PyUnicode_FromFormat(
        "User-defined library for option 'malloc.lib', %U, does not exist. Using default.", ml.get()));
    warn(self, msg.get());
    store_default_allocator();
  } else if (!(str_is(ml.get(), kDefault) || str_is(ml.get(), kCompiler) || str_is(ml.get(), kJe) ||
               str_is(ml.get(), kTc) || str_is(ml.get(), kMi)) &&
             !path_exists(self, ml.get())) {
    Ref msg = require(
        PyUnicode_FromFormat("Value for option 'malloc.lib' = %R may not be available on this system.", ml.get()));
    warn(self, msg.get());
  }

  // Working directory.
  Ref wd = read_via(self, kWorkingDir);
  if (PyUnicode_Check(wd.get())) {
    Ref any_mb = self.global(kAnyMb);
    Ref multibyte = call(any_mb.get(), wd.get());
    if (truth(multibyte.get())) {
      Ref msg = require(PyUnicode_FromFormat(
          "*** working.directory=[%U] contains multibyte characters. This may fail on some systems.", wd.get()));
      warn(self, msg.get());
    }
  }
}

void post_set_via(const Func& self) {
  Ref fn = self.global(kPostSetName);
  if (is_function_of(fn.get(), kPostSet)) return post_set_checks(as_func(fn.get()));
  call(fn.get());
}

// --- entry points ----------------------------------------------------------------------------------------------

Ref cpu_default_impl(Func& self, const Args&) { return cpu_default(self); }

Ref get_default_impl(Func& self, const Args&) { return build_defaults(self); }

Ref get_option_impl(Func& self, const Args& a) { return read_options(self, a[0]); }

Ref set_option_impl(Func& self, const Args& a) {
  PyObject* args = a[0];
  PyObject* kwargs = a[1];
  Py_ssize_t npos = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
  if (npos == 2 && nkw == 0) {
    PyObject* key = PyTuple_GET_ITEM(args, 0);
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "First positional argument must be a string key");
    set_one_via(self, key, PyTuple_GET_ITEM(args, 1));
  } else if (npos == 0 && nkw > 0) {
    // The keyword dict belongs to this call alone, so nothing else changes it while it is walked.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      Ref key = Ref::borrow(k), value = Ref::borrow(v);
      set_one_via(self, key.get(), value.get());
    }
  } else {
    raise(PyExc_TypeError, "Use either orvo_set_option('key', value) or orvo_set_option(key=value, ...).");
  }
  post_set_via(self);
  return none();
}

Ref set_one_impl(Func& self, const Args& a) {
  set_one(self, a[0], a[1]);
  return none();
}

Ref post_set_impl(Func& self, const Args&) {
  post_set_checks(self);
  return none();
}

Ref enabled_impl(Func& self, const Args&) {
  Ref v = read_via(self, kFeatures);
  return from_bool(truth(v.get()));
}

void exec(ModuleBuilder& m) {
  m.import("os", "os");
  m.import("warnings", "warnings");
  m.from_import("typing", "Any");
  m.from_import("typing", "Dict");
  m.from_import("typing", "Optional");
  m.from_import("typing", "Union");
  m.from_import(".binary.call", "orvo_call_builtin");
  m.from_import(".binary.call", "tessor_call_builtin");
  m.from_import(".binary.call", "orvo_remote_script");
  m.from_import(".utils", "orvo_anyMultibyteUTF8Characters", "_any_mb");

  m.set("_ORVO_OPTIONS", require(PyDict_New()));

  m.def(kCpuDefault);
  m.def(kGetDefault, {}, {}, make_default_table());
  m.def(kGetOption, require(Py_BuildValue("(O)", Py_None)));
  m.def(kSetOption);
  m.def(kSetOne);
  m.def(kPostSet);
  m.def(kEnabled);
}

}  // namespace

VEXIL_MODULE(options, kModuleDoc, exec)
