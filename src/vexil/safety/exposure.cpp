// vexil.safety.exposure: the safety checks on the numeric side arguments of a model call: the exposure "E",
// the binomial trial counts "Ntrials", "scale", "offset", "weights" and the weights of one random effect.
//
// numpy is imported inside a check at the point where it is first needed, never at module import, so the
// module imports, and every check that returns before its numeric step runs, where numpy cannot be
// imported. numpy is used only through its Python objects (no numpy C API in this module).
//
// Every module-level name the checks use (SafetyError, the sibling helpers, math) is looked up in the module
// dict at call time, so replacing a module attribute changes later calls.
#include <cmath>
#include <cstring>
#include <vector>

#include "bind/module.hpp"

namespace {

using vexil::bind::Args;
using vexil::bind::call;
using vexil::bind::from_long;
using vexil::bind::Func;
using vexil::bind::FuncSpec;
using vexil::bind::getattr;
using vexil::bind::import_module;
using vexil::bind::Kind;
using vexil::bind::ModuleBuilder;
using vexil::bind::Name;
using vexil::bind::none;
using vexil::bind::PyError;
using vexil::bind::raise;
using vexil::bind::raise_format;
using vexil::bind::Ref;
using vexil::bind::require;
using vexil::bind::require_no_error;
using vexil::bind::require_ok;
using vexil::bind::str;
using vexil::bind::truth;

// --- messages ----------------------------------------------------------------------------------------------

const char kE1[] = "vexil safety check: 'E' (exposure) is only permitted for poisson or nbinomial likelihoods.";
const char kE2[] = "vexil safety check: 'E' (exposure) may not be empty.";
const char kE3[] = "vexil safety check: 'E' (exposure) must be strictly positive; found invalid values: {}.";
const char kE4[] = "vexil safety check: 'E' length ({}) must match number of observations ({}).";
const char kE5[] = "vexil safety check: 'E' (exposure) may not be empty for nbinomial.";
const char kE6[] =
    "vexil safety check: 'E' (exposure) must be strictly positive for nbinomial; found invalid values: {}.";
const char kE7[] = "vexil safety check: 'E' length ({}) must match number of observations ({}) for nbinomial.";

const char kT1[] =
    "vexil safety check: 'Ntrials' is only permitted for binomial/xbinomial/betabinomial/nbinomial2 likelihoods.";
const char kT2[] = "vexil safety check: provide 'Ntrials' for aggregated binomial responses (currently missing).";
const char kT3[] = "vexil safety check: could not interpret response when validating missing 'Ntrials'.";
const char kT4[] =
    "vexil safety check: aggregated binomial data requires 'Ntrials'; response contains values other than 0/1.";
const char kT5[] = "vexil safety check: 'Ntrials' may not be empty for binomial models.";
const char kT6[] = "vexil safety check: 'Ntrials' must be positive; found invalid values: {}.";
const char kT7[] = "vexil safety check: 'Ntrials' must be integers; found non-integer values: {}.";
const char kT8[] = "vexil safety check: 'Ntrials' length ({}) must match number of observations ({}).";

const char kS1[] =
    "vexil safety check: all entries in 'scale' must be strictly positive for gaussian/logistic/t/nbinomial; "
    "found invalid values ";
const char kS2[] = "vexil safety check: 'scale' must be non-negative for xbinomial/gamma/beta; found invalid values ";
const char kS3[] = "vexil safety check: 'scale' entries for xbinomial must be <= 1; found values above 1: ";
const char kS4[] =
    "vexil safety check: 'scale' is only permitted for gaussian, nbinomial, xbinomial, gamma, beta, logistic, or t "
    "likelihoods.";

const char kO1[] = "vexil safety check: could not interpret 'offset' as numeric values.";
const char kO2[] =
    "vexil safety check: 'offset' must not contain Inf values (NaN is allowed and treated as 0); found invalid "
    "entries (showing up to 5): ";
const char kO3[] = "vexil safety check: 'offset' length ({}) must match number of observations ({}).";

const char kW1[] =
    "vexil safety check: 'weights' must be strictly positive (> 0) and finite; found invalid entries (showing up "
    "to 5): ";
const char kW2[] = "vexil safety check: could not interpret 'weights' as numeric values.";
const char kW3a[] = "vexil safety check: random effect '";
const char kW3b[] = "' weights must be finite; found Inf/-Inf entries (showing up to 5): ";

// The upper bound of an "xbinomial" scale entry: 1 + 1e-12.
constexpr double kScaleUpper = 1.000000000001;

// --- names -------------------------------------------------------------------------------------------------

// Module globals.
Name kSafetyError("SafetyError"), kNormalizeFamilySpec("_normalize_family_spec"),
    kExtractResponseArray("_extract_response_array"), kAsFloatList("_as_float_list"),
    kInferObservationCount("_infer_observation_count"), kNormalizePositiveSequence("_normalize_positive_sequence"),
    kMath("math");
// Keys of the keyword dictionary (also the labels handed to the conversion helpers).
Name kFamily("family"), kE("E"), kNtrials("Ntrials"), kScale("scale"), kOffset("offset"), kWeights("weights");
// Family names.
Name kPoisson("poisson"), kNbinomial("nbinomial"), kBinomial("binomial"), kXbinomial("xbinomial"),
    kBetabinomial("betabinomial"), kNbinomial2("nbinomial2"), kGaussian("gaussian"), kGamma("gamma"),
    kBeta("beta"), kLogistic("logistic"), kT("t");
// Attributes of numpy, arrays, math and str.
Name kAsarray("asarray"), kDtype("dtype"), kReshape("reshape"), kRavel("ravel"), kIsfinite("isfinite"),
    kIsinf("isinf"), kIsnan("isnan"), kFloor("floor"), kUnique("unique"), kAny("any"), kTolist("tolist"),
    kSize("size"), kFormat("format");

// --- small helpers -----------------------------------------------------------------------------------------

// kwargs.get(key): the value, or None when the key is missing.
Ref get_key(PyObject* kwargs, Name& key) {
  PyObject* v = PyDict_GetItemWithError(kwargs, key.get());
  if (v) return Ref::borrow(v);
  require_no_error();
  return none();
}

bool is_none(const Ref& r) { return r.get() == Py_None; }

// bool(a <op> b)
bool compare(PyObject* a, PyObject* b, int op) {
  Ref r = require(PyObject_RichCompare(a, b, op));
  return truth(r.get());
}

// obj.name(*args)
template <class... A>
Ref method(PyObject* obj, Name& name, A... args) {
  PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
  return require(PyObject_VectorcallMethod(name.get(), argv, 1 + sizeof...(A), nullptr));
}

// np.<fn>(x)
Ref np_call(PyObject* np, Name& fn, PyObject* x) {
  Ref f = getattr(np, fn);
  return call(f.get(), x);
}

// np.asarray(obj, dtype=float)
Ref asarray_float(PyObject* np, PyObject* obj) {
  Ref f = getattr(np, kAsarray);
  Ref kwnames = require(PyTuple_Pack(1, kDtype.get()));
  PyObject* argv[] = {obj, reinterpret_cast<PyObject*>(&PyFloat_Type)};
  return require(PyObject_Vectorcall(f.get(), argv, 1, kwnames.get()));
}

// arr.reshape(-1)
Ref flatten(PyObject* arr) {
  Ref minus_one = from_long(-1);
  return method(arr, kReshape, minus_one.get());
}

// obj.size > 0
bool has_entries(PyObject* arr) {
  Ref size = getattr(arr, kSize);
  Ref zero = from_long(0);
  return compare(size.get(), zero.get(), Py_GT);
}

// arr[:5].tolist(): at most five values, cut before they are turned into Python objects.
Ref first_five_list(PyObject* arr) {
  Ref five = from_long(5);
  Ref cut = require(PySlice_New(nullptr, five.get(), nullptr));
  Ref head = require(PyObject_GetItem(arr, cut.get()));
  return method(head.get(), kTolist);
}

// template.format(args...)
template <class... A>
Ref format(const char* text, A... args) {
  Ref t = str(text);
  Ref f = getattr(t.get(), kFormat);
  return call(f.get(), static_cast<PyObject*>(args)...);
}

// head + str(obj) + tail
Ref concat(const char* head, PyObject* obj, const char* tail) {
  Ref h = str(head);
  Ref s = require(PyObject_Str(obj));
  Ref hs = require(PyUnicode_Concat(h.get(), s.get()));
  if (*tail == '\0') return hs;
  Ref t = str(tail);
  return require(PyUnicode_Concat(hs.get(), t.get()));
}

// --- exceptions --------------------------------------------------------------------------------------------

// The exception pending after a failed C API call, normalised and with its traceback attached.
struct Caught {
  Ref type, value, traceback;

  bool matches(PyObject* cls) const { return type && PyErr_GivenExceptionMatches(type.get(), cls); }
  // Sets it pending again and throws.
  [[noreturn]] void rethrow() {
    PyErr_Restore(type.release(), value.release(), traceback.release());
    throw PyError();
  }
};

Caught fetch() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (v && tb) PyException_SetTraceback(v, tb);
  return {Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
}

// Catches the pending exception when it derives from Exception; anything else (KeyboardInterrupt,
// SystemExit, ...) goes on as it is.
Caught catch_exception() {
  Caught c = fetch();
  if (!c.matches(PyExc_Exception)) c.rethrow();
  return c;
}

// As catch_exception, but a SafetyError (the module's current one) goes on as well: a rule violation found on
// the vectorised way is final.
Caught catch_non_safety(const Func& self) {
  Caught c = fetch();
  if (!c.matches(PyExc_Exception)) c.rethrow();
  Ref safety = self.global(kSafetyError);
  if (c.matches(safety.get())) c.rethrow();
  return c;
}

// raise SafetyError(message), or raise SafetyError(message) from cause.
[[noreturn]] void raise_safety(const Func& self, const Ref& message, Caught* cause = nullptr) {
  Ref cls = self.global(kSafetyError);
  Ref exc = call(cls.get(), message.get());
  if (!PyExceptionInstance_Check(exc.get())) raise(PyExc_TypeError, "exceptions must derive from BaseException");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  if (cause != nullptr && cause->value) {
    // As `raise ... from exc` inside the handler of exc: exc is both the cause and the context.
    PyException_SetCause(exc.get(), Py_NewRef(cause->value.get()));
    PyException_SetContext(exc.get(), Py_NewRef(cause->value.get()));
    PyErr_Restore(Py_NewRef(type), exc.release(), nullptr);
  } else {
    PyErr_SetObject(type, exc.get());
  }
  throw PyError();
}

[[noreturn]] void raise_safety(const Func& self, const char* message) { raise_safety(self, str(message)); }

// --- math tests --------------------------------------------------------------------------------------------

// True when `f` is the math module's own builtin `name`.
bool is_math_builtin(PyObject* f, const char* name) {
  if (!PyCFunction_Check(f)) return false;
  auto* cf = reinterpret_cast<PyCFunctionObject*>(f);
  if (cf->m_ml == nullptr || std::strcmp(cf->m_ml->ml_name, name) != 0) return false;
  PyObject* owner = cf->m_self;
  if (owner == nullptr || !PyModule_Check(owner)) return false;
  const char* mod = PyModule_GetName(owner);
  if (mod == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::strcmp(mod, "math") == 0;
}

// `math.<name>(v)` of the module global `math`, looked up at its first use in a check. When it is the math
// module's own function and v is a float, the test is done directly.
class MathTest {
 public:
  MathTest(const Func& self, Name& name, bool (*direct)(double)) : self_(self), name_(name), direct_(direct) {}

  bool operator()(PyObject* v) {
    resolve();
    if (genuine_ && PyFloat_CheckExact(v)) return direct_(PyFloat_AS_DOUBLE(v));
    Ref r = call(fn_.get(), v);
    return truth(r.get());
  }
  bool operator()(double v) {
    resolve();
    if (genuine_) return direct_(v);
    Ref f = vexil::bind::from_double(v);
    Ref r = call(fn_.get(), f.get());
    return truth(r.get());
  }

 private:
  void resolve() {
    if (fn_) return;
    Ref math = self_.global(kMath);
    fn_ = getattr(math.get(), name_);
    genuine_ = is_math_builtin(fn_.get(), name_.c_str());
  }

  const Func& self_;
  Name& name_;
  bool (*direct_)(double);
  Ref fn_;
  bool genuine_ = false;
};

bool direct_isnan(double v) { return std::isnan(v); }
bool direct_isinf(double v) { return std::isinf(v); }
bool direct_isfinite(double v) { return std::isfinite(v); }

// --- family list -------------------------------------------------------------------------------------------

// list(families), or list(_normalize_family_spec(kwargs.get("family"))) when families is None.
Ref family_list(const Func& self, PyObject* kwargs, PyObject* families) {
  if (families != Py_None) return require(PySequence_List(families));
  Ref family = get_key(kwargs, kFamily);
  Ref normalize = self.global(kNormalizeFamilySpec);
  Ref names = call(normalize.get(), family.get());
  return require(PySequence_List(names.get()));
}

// any(f == name for f in names)
bool has_family(PyObject* names, Name& name) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(names, i));
    if (compare(entry.get(), name.get(), Py_EQ)) return true;
  }
  return false;
}

// --- plain-way helpers -------------------------------------------------------------------------------------

// [float(v) for v in obj]; a failure raises SafetyError(message) from the conversion error.
std::vector<double> float_values(const Func& self, PyObject* obj, const char* message) {
  std::vector<double> values;
  try {
    Ref it = require(PyObject_GetIter(obj));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item = Ref::steal(raw);
      Ref f = require(PyNumber_Float(item.get()));
      values.push_back(PyFloat_AS_DOUBLE(f.get()));
    }
    require_no_error();
  } catch (const PyError&) {
    Caught c = catch_exception();
    raise_safety(self, str(message), &c);
  }
  return values;
}

// The first five of `values` (as floats) for which `bad` holds; every value is tested.
template <class Pred>
Ref first_five_of(const std::vector<double>& values, Pred bad) {
  Ref shown = require(PyList_New(0));
  for (double v : values) {
    if (!bad(v) || PyList_GET_SIZE(shown.get()) >= 5) continue;
    Ref f = vexil::bind::from_double(v);
    require_ok(PyList_Append(shown.get(), f.get()));
  }
  return shown;
}

// The first five entries of the iterable `values` (unchanged) for which `bad` holds; every entry is tested.
template <class Pred>
Ref first_five_entries(PyObject* values, Pred bad) {
  Ref shown = require(PyList_New(0));
  Ref it = require(PyObject_GetIter(values));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref v = Ref::steal(raw);
    if (bad(v.get()) && PyList_GET_SIZE(shown.get()) < 5) require_ok(PyList_Append(shown.get(), v.get()));
  }
  require_no_error();
  return shown;
}

// The number of observations differs from `length`: `count is not None and length != count`.
// Returns the count (a new reference) when it does, else an empty Ref.
Ref count_mismatch(const Func& self, PyObject* kwargs, PyObject* length) {
  Ref infer = self.global(kInferObservationCount);
  Ref count = call(infer.get(), kwargs);
  if (is_none(count) || !compare(length, count.get(), Py_NE)) return {};
  return count;
}

// --- exposure and trials -----------------------------------------------------------------------------------

Ref enforce_exposure_usage(Func& self, const Args& a) {
  PyObject* kwargs = a[0];
  Ref names = family_list(self, kwargs, a[1]);
  if (has_family(names.get(), kPoisson) || has_family(names.get(), kNbinomial)) return none();
  if (!is_none(get_key(kwargs, kE))) raise_safety(self, kE1);
  return none();
}

struct ExposureRules {
  Name& family;
  const char* empty;
  const char* invalid;
  const char* length;
};

Ref exposure_values(Func& self, const Args& a, const ExposureRules& rules) {
  PyObject* kwargs = a[0];
  Ref names = family_list(self, kwargs, a[1]);
  if (!has_family(names.get(), rules.family)) return none();
  Ref value = get_key(kwargs, kE);
  if (is_none(value)) return none();

  Ref as_float_list = self.global(kAsFloatList);
  Ref converted = call(as_float_list.get(), kE.get(), value.get());
  Ref exp_list = require(PySequence_List(converted.get()));
  if (PyList_GET_SIZE(exp_list.get()) == 0) raise_safety(self, rules.empty);

  Ref np = import_module("numpy");
  Ref arr = asarray_float(np.get(), exp_list.get());
  Ref zero = from_long(0);
  Ref positive = require(PyObject_RichCompare(arr.get(), zero.get(), Py_GT));
  Ref invalid = require(PyNumber_Invert(positive.get()));
  Ref any = method(invalid.get(), kAny);
  if (truth(any.get())) {
    Ref bad = require(PyObject_GetItem(arr.get(), invalid.get()));
    Ref shown = first_five_list(bad.get());
    raise_safety(self, format(rules.invalid, shown.get()));
  }

  Ref length = require(PyLong_FromSsize_t(PyList_GET_SIZE(exp_list.get())));
  if (Ref count = count_mismatch(self, kwargs, length.get())) raise_safety(self, format(rules.length, length.get(), count.get()));
  return none();
}

Ref enforce_poisson_exposure(Func& self, const Args& a) {
  static const ExposureRules rules{kPoisson, kE2, kE3, kE4};
  return exposure_values(self, a, rules);
}

Ref enforce_nbinomial_exposure(Func& self, const Args& a) {
  static const ExposureRules rules{kNbinomial, kE5, kE6, kE7};
  return exposure_values(self, a, rules);
}

// Without "Ntrials" the response must be 0/1 data (NaN and infinities ignored).
void require_bernoulli_response(const Func& self, PyObject* kwargs) {
  Ref extract = self.global(kExtractResponseArray);
  Ref response = call(extract.get(), kwargs);
  if (is_none(response)) raise_safety(self, kT2);

  // Whether the distinct finite values include one other than 0.0 and 1.0.
  bool other = false;
  bool read = false;
  // First way: the distinct finite values of the response as a float array.
  try {
    Ref np = import_module("numpy");
    Ref arr = asarray_float(np.get(), response.get());
    Ref flat = flatten(arr.get());
    Ref finite = np_call(np.get(), kIsfinite, flat.get());
    Ref kept = require(PyObject_GetItem(flat.get(), finite.get()));
    Ref distinct = np_call(np.get(), kUnique, kept.get());
    // More than two distinct values can never all be 0 or 1.
    Ref size = getattr(distinct.get(), kSize);
    Ref two = from_long(2);
    if (compare(size.get(), two.get(), Py_GT)) {
      other = true;
    } else {
      Ref values = method(distinct.get(), kTolist);
      Ref it = require(PyObject_GetIter(values.get()));
      while (PyObject* raw = PyIter_Next(it.get())) {
        Ref v = Ref::steal(raw);
        double d = PyFloat_AsDouble(v.get());
        if (d == -1.0) require_no_error();
        if (d != 0.0 && d != 1.0) other = true;
      }
      require_no_error();
    }
    read = true;
  } catch (const PyError&) {
    catch_exception();  // discarded: the plain way decides
    other = false;
  }
  // Second way: float() of every item of the response, iterated directly.
  if (!read) {
    try {
      Ref it = require(PyObject_GetIter(response.get()));
      while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        Ref f = require(PyNumber_Float(item.get()));
        double d = PyFloat_AS_DOUBLE(f.get());
        if (std::isfinite(d) && d != 0.0 && d != 1.0) other = true;
      }
      require_no_error();
    } catch (const PyError&) {
      Caught c = catch_exception();
      raise_safety(self, str(kT3), &c);
    }
  }
  // Non-finite values are left out by numpy's finiteness test, whichever way read the values, so numpy is
  // needed here even after the plain way: an ImportError is not caught.
  import_module("numpy");
  if (other) raise_safety(self, kT4);
}

Ref enforce_binomial_trials(Func& self, const Args& a) {
  PyObject* kwargs = a[0];
  Ref names = family_list(self, kwargs, a[1]);
  bool required = has_family(names.get(), kBinomial) || has_family(names.get(), kXbinomial) ||
                  has_family(names.get(), kBetabinomial) || has_family(names.get(), kNbinomial2);
  Ref value = get_key(kwargs, kNtrials);
  if (!required) {
    if (!is_none(value)) raise_safety(self, kT1);
    return none();
  }
  if (is_none(value)) {
    require_bernoulli_response(self, kwargs);
    return none();
  }

  Ref as_float_list = self.global(kAsFloatList);
  Ref converted = call(as_float_list.get(), kNtrials.get(), value.get());
  Ref trials_list = require(PySequence_List(converted.get()));
  if (PyList_GET_SIZE(trials_list.get()) == 0) raise_safety(self, kT5);

  Ref np = import_module("numpy");
  Ref trials = asarray_float(np.get(), trials_list.get());
  Ref zero = from_long(0);
  Ref not_positive = require(PyObject_RichCompare(trials.get(), zero.get(), Py_LE));
  Ref bad = require(PyObject_GetItem(trials.get(), not_positive.get()));
  if (has_entries(bad.get())) {
    Ref shown = first_five_list(bad.get());
    raise_safety(self, format(kT6, shown.get()));
  }
  Ref whole = np_call(np.get(), kFloor, trials.get());
  Ref fractional = require(PyObject_RichCompare(trials.get(), whole.get(), Py_NE));
  bad = require(PyObject_GetItem(trials.get(), fractional.get()));
  if (has_entries(bad.get())) {
    Ref shown = first_five_list(bad.get());
    raise_safety(self, format(kT7, shown.get()));
  }

  Ref length = require(PyLong_FromSsize_t(PyList_GET_SIZE(trials_list.get())));
  if (Ref count = count_mismatch(self, kwargs, length.get())) raise_safety(self, format(kT8, length.get(), count.get()));
  return none();
}

// --- scale, offset and weights -----------------------------------------------------------------------------

Ref enforce_scale_usage(Func& self, const Args& a) {
  PyObject* kwargs = a[0];
  Ref names = family_list(self, kwargs, a[1]);
  PyObject* n = names.get();
  bool gaussian = has_family(n, kGaussian);
  bool xbinomial = has_family(n, kXbinomial);
  bool gamma = has_family(n, kGamma);
  bool beta = has_family(n, kBeta);
  bool logistic = has_family(n, kLogistic);
  bool t = has_family(n, kT);
  bool nbinomial = has_family(n, kNbinomial);
  bool positive_group = gaussian || logistic || t || nbinomial;
  bool non_negative_group = xbinomial || gamma || beta;

  Ref scale = get_key(kwargs, kScale);
  if (!positive_group && !non_negative_group) {
    if (!is_none(scale)) raise_safety(self, kS4);
    return none();
  }
  if (is_none(scale)) return none();

  Ref normalize = self.global(kNormalizePositiveSequence);
  Ref values = call(normalize.get(), kScale.get(), scale.get());
  MathTest is_nan(self, kIsnan, direct_isnan);
  Ref zero = vexil::bind::from_double(0.0);

  if (positive_group) {
    // not (v > 0.0) or isnan(v)
    Ref bad = first_five_entries(values.get(), [&](PyObject* v) {
      bool above = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) > 0.0 : compare(v, zero.get(), Py_GT);
      return !above || is_nan(v);
    });
    if (PyList_GET_SIZE(bad.get()) > 0) raise_safety(self, concat(kS1, bad.get(), "."));
    return none();
  }

  // v < 0.0 or isnan(v)
  Ref bad = first_five_entries(values.get(), [&](PyObject* v) {
    bool below = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) < 0.0 : compare(v, zero.get(), Py_LT);
    return below || is_nan(v);
  });
  if (PyList_GET_SIZE(bad.get()) > 0) raise_safety(self, concat(kS2, bad.get(), "."));

  if (xbinomial) {
    Ref upper = vexil::bind::from_double(kScaleUpper);
    Ref above = first_five_entries(values.get(), [&](PyObject* v) {
      return PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) > kScaleUpper : compare(v, upper.get(), Py_GT);
    });
    if (PyList_GET_SIZE(above.get()) > 0) raise_safety(self, concat(kS3, above.get(), "."));
  }
  return none();
}

Ref enforce_offset_values(Func& self, const Args& a) {
  PyObject* kwargs = a[0];
  Ref offset = get_key(kwargs, kOffset);
  if (is_none(offset)) return none();

  // Vectorised way. A rule violation found here is final; any other failure leads to the plain way.
  try {
    Ref np = import_module("numpy");
    Ref arr = asarray_float(np.get(), offset.get());
    Ref flat = flatten(arr.get());
    Ref infinite = np_call(np.get(), kIsinf, flat.get());
    Ref bad = require(PyObject_GetItem(flat.get(), infinite.get()));
    if (has_entries(bad.get())) {
      Ref shown = first_five_list(bad.get());
      raise_safety(self, concat(kO2, shown.get(), ""));
    }
    Ref size = getattr(flat.get(), kSize);
    if (Ref count = count_mismatch(self, kwargs, size.get())) raise_safety(self, format(kO3, size.get(), count.get()));
    return none();
  } catch (const PyError&) {
    catch_non_safety(self);
  }

  // Plain way.
  std::vector<double> values = float_values(self, offset.get(), kO1);
  MathTest is_inf(self, kIsinf, direct_isinf);
  Ref shown = first_five_of(values, [&](double v) { return is_inf(v); });
  if (PyList_GET_SIZE(shown.get()) > 0) raise_safety(self, concat(kO2, shown.get(), ""));
  Ref length = require(PyLong_FromSize_t(values.size()));
  if (Ref count = count_mismatch(self, kwargs, length.get())) raise_safety(self, format(kO3, length.get(), count.get()));
  return none();
}

Ref enforce_weights_values(Func& self, const Args& a) {
  PyObject* kwargs = a[0];
  Ref weights = get_key(kwargs, kWeights);
  if (is_none(weights)) return none();

  // Vectorised way.
  try {
    Ref np = import_module("numpy");
    Ref arr = asarray_float(np.get(), weights.get());
    Ref flat = flatten(arr.get());
    Ref finite = np_call(np.get(), kIsfinite, flat.get());
    Ref not_finite = require(PyNumber_Invert(finite.get()));
    Ref zero = vexil::bind::from_double(0.0);
    Ref not_positive = require(PyObject_RichCompare(flat.get(), zero.get(), Py_LE));
    Ref invalid = require(PyNumber_Or(not_finite.get(), not_positive.get()));
    Ref bad = require(PyObject_GetItem(flat.get(), invalid.get()));
    if (has_entries(bad.get())) {
      Ref shown = first_five_list(bad.get());
      raise_safety(self, concat(kW1, shown.get(), ""));
    }
    return none();
  } catch (const PyError&) {
    catch_non_safety(self);
  }

  // Plain way: not isfinite(v) or v <= 0.0.
  std::vector<double> values = float_values(self, weights.get(), kW2);
  MathTest is_finite(self, kIsfinite, direct_isfinite);
  Ref shown = first_five_of(values, [&](double v) { return !is_finite(v) || v <= 0.0; });
  if (PyList_GET_SIZE(shown.get()) > 0) raise_safety(self, concat(kW1, shown.get(), ""));
  return none();
}

Ref enforce_random_weights_values(Func& self, const Args& a) {
  PyObject* weights_vec = a[0];
  PyObject* label = a[1];  // a str exactly (checked by the binder)
  try {
    Ref np = import_module("numpy");
    Ref arr = asarray_float(np.get(), weights_vec);
    Ref flat = method(arr.get(), kRavel);
    Ref infinite = np_call(np.get(), kIsinf, flat.get());
    Ref any = method(infinite.get(), kAny);
    if (truth(any.get())) {
      Ref bad = require(PyObject_GetItem(flat.get(), infinite.get()));
      Ref shown = first_five_list(bad.get());
      Ref head = str(kW3a);
      Ref with_label = require(PyUnicode_Concat(head.get(), label));
      Ref text = concat(kW3b, shown.get(), "");
      raise_safety(self, require(PyUnicode_Concat(with_label.get(), text.get())));
    }
  } catch (const PyError&) {
    catch_non_safety(self);  // weights that cannot be read as numbers are not reported here
  }
  return none();
}

// --- module ------------------------------------------------------------------------------------------------

const char kDictAnnotation[] = "Dict[str, Any]";
const char kFamiliesAnnotation[] = "Iterable[str] | None";

#define VEXIL_FAMILY_CHECK(name, doc)                                                                           \
  const FuncSpec k_##name(#name, nullptr, doc,                                                                 \
                          {{"kwargs", Kind::Positional, kDictAnnotation},                                      \
                           {"families", Kind::KeywordOnly, kFamiliesAnnotation}},                              \
                          "None", name)
VEXIL_FAMILY_CHECK(enforce_exposure_usage, nullptr);
VEXIL_FAMILY_CHECK(enforce_poisson_exposure, nullptr);
VEXIL_FAMILY_CHECK(enforce_nbinomial_exposure,
                   "Validate exposure (E) for nbinomial likelihood: must be strictly positive.");
VEXIL_FAMILY_CHECK(enforce_binomial_trials, nullptr);
VEXIL_FAMILY_CHECK(enforce_scale_usage, nullptr);
#undef VEXIL_FAMILY_CHECK

const FuncSpec k_enforce_offset_values(
    "enforce_offset_values", nullptr,
    "Validate offset values: no Inf allowed, and the length must match the number of observations (NaN is "
    "allowed and treated as 0).",
    {{"kwargs", Kind::Positional, kDictAnnotation}}, "None", enforce_offset_values);
const FuncSpec k_enforce_weights_values("enforce_weights_values", nullptr,
                                        "Validate that weights values are strictly positive and finite.",
                                        {{"kwargs", Kind::Positional, kDictAnnotation}}, "None",
                                        enforce_weights_values);
const FuncSpec k_enforce_random_weights_values(
    "enforce_random_weights_values", nullptr,
    "Validate random effect weights: must be finite (NaN allowed, replaced with 0 upstream).",
    {{"weights_vec"}, {"label", Kind::Positional, "str"}}, "None", enforce_random_weights_values);

// {"families": None}, a new dict for every function.
Ref families_default() {
  Ref d = require(PyDict_New());
  require_ok(PyDict_SetItemString(d.get(), "families", Py_None));
  return d;
}

void exec(ModuleBuilder& m) {
  m.import("math", "math");
  m.from_import("typing", "Any");
  m.from_import("typing", "Dict");
  m.from_import("typing", "Iterable");
  m.from_import(".errors", "SafetyError");
  m.from_import(".family", "_normalize_family_spec");
  m.from_import(".response", "_extract_response_array");
  m.from_import(".utils", "_as_float_list");
  m.from_import(".utils", "_infer_observation_count");
  m.from_import(".utils", "_normalize_positive_sequence");

  m.def(k_enforce_exposure_usage, {}, families_default());
  m.def(k_enforce_poisson_exposure, {}, families_default());
  m.def(k_enforce_nbinomial_exposure, {}, families_default());
  m.def(k_enforce_binomial_trials, {}, families_default());
  m.def(k_enforce_scale_usage, {}, families_default());
  m.def(k_enforce_offset_values);
  m.def(k_enforce_weights_values);
  m.def(k_enforce_random_weights_values);
}

}  // namespace

VEXIL_MODULE(exposure, "Exposure, trials, scale, and weights validation.", exec)
