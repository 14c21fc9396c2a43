// vexil.safety.kindred: the checks of a model call's family control, control['family'].
//
// The family control carries per-likelihood settings: a variant number, hyperparameter settings, a censoring
// value for the beta likelihood, a link function and the link's own controls. This module decides which keys
// each likelihood accepts, which variant numbers are valid, what shape "hyper" must have, the range of
// "beta.censor.value", which link names each likelihood accepts and, for the quantile link, the range of the
// quantile level. A violation raises SafetyError; an acceptable call returns None.
//
// Family names are matched by their string value only: a non-string entry of the family list, or a name this
// module does not know, matches nothing, and no user code runs while the list is matched. Every other object
// of the call (control, blocks, keys, values) is read with the ordinary protocols, so whatever those raise
// propagates as a Python exception.
#include <string>

#include "bind/module.hpp"

namespace {

using namespace vexil::bind;

// ---------------------------------------------------------------------------------------------------------
// Tables

// The keys a control block may hold, as bits, in sorted order of their names (messages list keys sorted).
enum : unsigned {
  kKeyBetaCensor = 1u << 0,
  kKeyControlLink = 1u << 1,
  kKeyHyper = 1u << 2,
  kKeyLink = 1u << 3,
  kKeyVariant = 1u << 4,
};
constexpr int kNumKeys = 5;
const char* const kKeyText[kNumKeys] = {"beta.censor.value", "control.link", "hyper", "link", "variant"};

enum Lik : int {
  kBinomial,
  kXBinomial,
  kNBinomial,
  kNBinomial2,
  kBetaBinomial,
  kBeta,
  kLogistic,
  kLogLogistic,
  kLogLogisticSurv,
  kWeibull,
  kWeibullSurv,
  kExponential,
  kExponentialSurv,
  kLogNormal,
  kLogNormalSurv,
  kSn,
  kT,
  kGaussian,
  kPoisson,
  kGamma,
  kGammaSurv,
  kNumLik
};

struct Likelihood {
  const char* name;
  unsigned keys;     // accepted keys
  bool hyper_value;  // a non-None "hyper" is valid
  unsigned variants; // bit v set: variant number v is valid
};

constexpr unsigned V = kKeyVariant, H = kKeyHyper, B = kKeyBetaCensor, L = kKeyLink, C = kKeyControlLink;
constexpr unsigned V01 = 0b011, V012 = 0b111, V0 = 0b001;

const Likelihood kLik[kNumLik] = {
    {"binomial", V | L | C, false, V01},
    {"xbinomial", V | L | C, false, V01},
    {"nbinomial", V | H | L | C, true, V012},
    {"nbinomial2", V | H | L, false, V0},
    {"betabinomial", V | H | L, true, V01},
    {"beta", H | B | L, true, 0},
    {"logistic", H | L, true, 0},
    {"loglogistic", V | H | L, true, V01},
    {"loglogisticsurv", V | H | L, true, V01},
    {"weibull", V | H | L | C, true, V01},
    {"weibullsurv", V | H | L | C, true, V01},
    {"exponential", L, false, 0},
    {"exponentialsurv", H | L, true, 0},
    {"lognormal", H | L, true, 0},
    {"lognormalsurv", H | L, true, 0},
    {"sn", H | L, true, 0},
    {"t", H | L, true, 0},
    {"gaussian", H | L, true, 0},
    {"poisson", L, false, 0},
    {"gamma", H | L | C, true, 0},
    {"gammasurv", H | L | C, true, 0},
};

// Link names accepted per likelihood, in the order the dictionary form checks them. Names are sorted.
struct LinkRow {
  const char* name;       // the likelihood the row belongs to (and names in its message)
  int lik;                // the row runs when this likelihood is in the family list ...
  int also;               // ... or this one (-1: none)
  const char* links[13];  // sorted, nullptr-terminated
};

#define SORTED_LINKS_BINARY "cauchit", "ccloglog", "cloglog", "default", "loga", "logit", "loglog", "probit"
const LinkRow kLinkRows[] = {
    {"beta", kBeta, -1, {SORTED_LINKS_BINARY, nullptr}},
    {"exponential", kExponential, -1, {"default", "log", nullptr}},
    {"exponentialsurv", kExponentialSurv, -1, {"default", "log", "neglog", nullptr}},
    {"lognormal", kLogNormal, -1, {"default", "identity", nullptr}},
    {"lognormalsurv", kLogNormalSurv, -1, {"default", "identity", nullptr}},
    {"logistic", kLogistic, -1, {"default", "identity", nullptr}},
    {"sn", kSn, -1, {"default", "identity", nullptr}},
    {"loglogistic", kLogLogistic, -1, {"default", "log", "neglog", nullptr}},
    {"loglogisticsurv", kLogLogisticSurv, -1, {"default", "log", "neglog", nullptr}},
    {"weibull", kWeibull, -1, {"default", "log", "neglog", "quantile", nullptr}},
    {"weibullsurv", kWeibullSurv, -1, {"default", "log", "neglog", "quantile", nullptr}},
    {"t", kT, -1, {"default", "identity", nullptr}},
    {"gaussian", kGaussian, -1, {"cauchit", "default", "identity", "log", "loga", "logit", "logoffset", nullptr}},
    {"poisson", kPoisson, -1, {"default", "log", "logoffset", "quantile", nullptr}},
    {"binomial",
     kBinomial,
     kXBinomial,
     {"cauchit", "ccloglog", "cloglog", "default", "log", "loga", "logit", "loglog", "powerlogit", "probit", "robit",
      "sn", nullptr}},
    {"gamma", kGamma, -1, {"default", "log", "quantile", nullptr}},
    {"nbinomial", kNBinomial, -1, {"default", "log", "logoffset", nullptr}},
    {"nbinomial2", kNBinomial2, -1, {SORTED_LINKS_BINARY, nullptr}},
    {"betabinomial", kBetaBinomial, -1, {SORTED_LINKS_BINARY, "robit", "sn", nullptr}},
    {"gammasurv", kGammaSurv, -1, {"default", "log", "neglog", "quantile", nullptr}},
};
#undef SORTED_LINKS_BINARY

// ---------------------------------------------------------------------------------------------------------
// Names looked up in the module at call time, and keys read from the user's objects

Name kSafetyError("SafetyError"), kNormalizeFamilySpec("_normalize_family_spec"),
    kNormalizeLinkValue("_normalize_link_value"), kValidateSingle("_validate_single_family_control"),
    kValidateLink("_validate_link_for_family");
Name kFamily("family"), kControl("control"), kVariant("variant"), kHyper("hyper"), kBetaCensor("beta.censor.value"),
    kLink("link"), kControlLinkKey("control.link"), kQuantile("quantile"), kGet("get");

const char kPrefix[] = "vexil safety check: ";

// ---------------------------------------------------------------------------------------------------------
// Helpers

// Takes the pending exception (normalised, with its traceback attached) off the interpreter.
Ref take_pending() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

// raise SafetyError(message) [from cause], with SafetyError looked up in the module at call time.
[[noreturn]] void raise_safety(const Func& f, const Ref& message, Ref cause = {}) {
  Ref cls = f.global(kSafetyError);
  Ref exc = call(cls.get(), message.get());
  if (!PyExceptionInstance_Check(exc.get())) raise(PyExc_TypeError, "exceptions must derive from BaseException");
  if (cause) PyException_SetCause(exc.get(), Ref(cause).release());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  // As in `raise ... from exc` inside the handler of exc: the conversion error is also the context.
  if (cause) PyException_SetContext(exc.get(), cause.release());
  throw PyError();
}

template <class... A>
[[noreturn]] void raise_safety_format(const Func& f, const char* format, A... args) {
  raise_safety(f, require(PyUnicode_FromFormat(format, args...)));
}

// mapping.get(key): the dict's own lookup for a plain dict, the object's `get` method otherwise.
Ref map_get(PyObject* mapping, Name& key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key.get());
    if (v != nullptr) return Ref::borrow(v);
    require_no_error();
    return none();
  }
  return require(PyObject_CallMethodOneArg(mapping, kGet.get(), key.get()));
}

// key in mapping
bool map_has(PyObject* mapping, Name& key) {
  if (PyDict_CheckExact(mapping)) return require_ok(PyDict_Contains(mapping, key.get())) != 0;
  return require_ok(PySequence_Contains(mapping, key.get())) != 0;
}

bool is_text(PyObject* o, const char* text) {
  return PyUnicode_Check(o) && PyUnicode_CompareWithASCIIString(o, text) == 0;
}

// The likelihood a family name stands for, by string value; -1 for anything else.
int likelihood_of(PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (int k = 0; k < kNumLik; ++k)
    if (PyUnicode_CompareWithASCIIString(name, kLik[k].name) == 0) return k;
  return -1;
}

// The likelihoods present in a family list (our own list), as bits.
unsigned long present_in(PyObject* family_list) {
  unsigned long mask = 0;
  Py_ssize_t n = PyList_GET_SIZE(family_list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    int k = likelihood_of(PyList_GET_ITEM(family_list, i));
    if (k >= 0) mask |= 1ul << k;
  }
  return mask;
}

bool has(unsigned long present, int lik) { return lik >= 0 && (present >> lik & 1ul) != 0; }

// Accepted key names, sorted and joined with ", ".
std::string joined_keys(unsigned keys) {
  std::string s;
  for (int b = 0; b < kNumKeys; ++b) {
    if (!(keys >> b & 1u)) continue;
    if (!s.empty()) s += ", ";
    s += kKeyText[b];
  }
  return s;
}

// The sorted valid variant numbers as a Python list prints them, e.g. "[0, 1]".
std::string listed_variants(unsigned variants) {
  std::string s = "[";
  for (int v = 0; v < 3; ++v) {
    if (!(variants >> v & 1u)) continue;
    if (s.size() > 1) s += ", ";
    s += static_cast<char>('0' + v);
  }
  return s + "]";
}

unsigned key_bit(PyObject* key) {
  if (!PyUnicode_Check(key)) return 0;
  for (int b = 0; b < kNumKeys; ++b)
    if (PyUnicode_CompareWithASCIIString(key, kKeyText[b]) == 0) return 1u << b;
  return 0;
}

// The keys of `block` outside `accepted`, each rendered with str(), sorted and joined with ", "; an empty
// Ref when every key is accepted.
Ref offending_keys(PyObject* block, unsigned accepted) {
  Ref keys = PyDict_CheckExact(block) ? require(PyDict_Keys(block)) : require(PySequence_List(block));
  Ref bad = require(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    if (key_bit(key.get()) & accepted) continue;
    Ref text = PyUnicode_CheckExact(key.get()) ? key : require(PyObject_Str(key.get()));
    if (!PyUnicode_CheckExact(text.get())) text = require(PyUnicode_FromObject(text.get()));
    require_ok(PyList_Append(bad.get(), text.get()));
  }
  if (PyList_GET_SIZE(bad.get()) == 0) return {};
  require_ok(PyList_Sort(bad.get()));  // exact strings only: no user code runs
  Ref sep = str(", ");
  return require(PyUnicode_Join(sep.get(), bad.get()));
}

// int(value); a failure with any Exception raises `message()` from it. Returns whether the number is among
// `valid` (bits for 0, 1, 2).
template <class Message>
bool variant_valid(const Func& f, PyObject* value, unsigned valid, Message message) {
  Ref n = Ref::steal(PyNumber_Long(value));
  if (!n) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyError();
    Ref cause = take_pending();
    raise_safety(f, message(), std::move(cause));
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyError();
  return overflow == 0 && v >= 0 && v <= 2 && (valid >> v & 1u) != 0;
}

// float(value); a TypeError or ValueError raises `message()` from it, any other error propagates.
template <class Message>
Ref to_float(const Func& f, PyObject* value, Message message) {
  Ref x = Ref::steal(PyNumber_Float(value));
  if (!x) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError();
    Ref cause = take_pending();
    raise_safety(f, message(), std::move(cause));
  }
  return x;
}

// The beta censoring value of a block: None, or a number in [0, 0.5) (NaN passes).
void check_beta_censor(const Func& f, PyObject* block, PyObject* prefix) {
  Ref value = map_get(block, kBetaCensor);
  if (value.get() == Py_None) return;
  Ref x = to_float(f, value.get(), [&] {
    return require(PyUnicode_FromFormat("%s%U['beta.censor.value'] must be a number.", kPrefix, prefix));
  });
  double d = PyFloat_AS_DOUBLE(x.get());
  if (d < 0.0 || d >= 0.5)
    raise_safety_format(f, "%s%U['beta.censor.value'] must be in [0, 0.5); got %S.", kPrefix, prefix, x.get());
}

// ---------------------------------------------------------------------------------------------------------
// _validate_link_for_family

// The accepted link names of one check: a row of the table, or a set given by the caller.
struct AllowedLinks {
  const LinkRow* row = nullptr;
  PyObject* set = nullptr;

  bool contains(PyObject* norm) const {
    if (set != nullptr) return require_ok(PySet_Contains(set, norm)) != 0;
    if (!PyUnicode_Check(norm)) return false;
    for (const char* const* l = row->links; *l; ++l)
      if (PyUnicode_CompareWithASCIIString(norm, *l) == 0) return true;
    return false;
  }
  // sorted(names) as a Python list prints
  Ref listed() const {
    if (set != nullptr) {
      Ref names = require(PySequence_List(set));
      require_ok(PyList_Sort(names.get()));
      return require(PyObject_Repr(names.get()));
    }
    std::string s = "[";
    for (const char* const* l = row->links; *l; ++l) {
      if (s.size() > 1) s += ", ";
      s += '\'';
      s += *l;
      s += '\'';
    }
    s += ']';
    return str(s.c_str());
  }
};

// `family_name` is either a C string (a table row) or an object rendered with str().
void validate_link(const Func& f, PyObject* block, const char* name_text, PyObject* name_obj, bool has_family,
                   const AllowedLinks& allowed) {
  if (!has_family || !map_has(block, kLink)) return;
  Ref raw = map_get(block, kLink);
  if (raw.get() == Py_None) return;
  Ref normalize = f.global(kNormalizeLinkValue);
  Ref norm = call(normalize.get(), raw.get());
  if (norm.get() == Py_None) return;
  if (!allowed.contains(norm.get())) {
    Ref name = name_obj ? require(PyObject_Str(name_obj)) : str(name_text);
    Ref listed = allowed.listed();
    raise_safety_format(f, "%scontrol['family']['link'] for %U must be one of %U; got '%S'.", kPrefix, name.get(),
                        listed.get(), raw.get());
  }
  bool quantile = PyUnicode_Check(norm.get()) ? is_text(norm.get(), "quantile")
                                               : require_ok(PyObject_RichCompareBool(norm.get(), str("quantile").get(),
                                                                                     Py_EQ)) != 0;
  if (!quantile) return;
  Ref ctrl = map_get(block, kControlLinkKey);
  if (!truth(ctrl.get())) ctrl = require(PyDict_New());
  Ref q = PyDict_Check(ctrl.get()) ? map_get(ctrl.get(), kQuantile) : none();
  if (q.get() == Py_None)
    raise_safety_format(f,
                        "%slink='quantile' requires control['family']['control.link']['quantile'] to be set to a "
                        "value in (0, 1).",
                        kPrefix);
  Ref x = to_float(f, q.get(), [] { return str("vexil safety check: control.link['quantile'] must be numeric."); });
  double d = PyFloat_AS_DOUBLE(x.get());
  if (!(0.0 < d && d < 1.0)) raise_safety_format(f, "%scontrol.link['quantile'] must be in (0, 1).", kPrefix);
}

Ref validate_link_impl(Func& f, const Args& a) {
  AllowedLinks allowed;
  allowed.set = a[3];
  validate_link(f, a[0], nullptr, a[1], a.as_bool(2), allowed);
  return none();
}

const FuncSpec kValidateLinkSpec("_validate_link_for_family", nullptr, nullptr,
                                 {{"family_block", Kind::Positional, "Dict[str, Any]"},
                                  {"family_name", Kind::Positional, "str"},
                                  {"has_family", Kind::Positional, "bool"},
                                  {"allowed_links", Kind::Positional, "set[str]"}},
                                 "None", validate_link_impl);

// ---------------------------------------------------------------------------------------------------------
// _validate_single_family_control

void validate_single(const Func& f, PyObject* family_name, PyObject* block, PyObject* idx) {
  Ref prefix = idx == Py_None ? str("control['family']") : require(PyUnicode_FromFormat("control['family'][%S]", idx));
  int k = likelihood_of(family_name);
  static const Likelihood kUnknown = {"", 0, false, 0};  // a name outside the table accepts nothing
  const Likelihood& lik = k >= 0 ? kLik[k] : kUnknown;

  Ref bad = offending_keys(block, lik.keys);
  if (bad) {
    std::string keys = joined_keys(lik.keys);
    raise_safety_format(f, "%s%U only accepts {%s} for '%S' likelihood; got invalid keys: {%U}.", kPrefix,
                        prefix.get(), keys.c_str(), family_name, bad.get());
  }
  if (map_has(block, kVariant)) {
    Ref value = map_get(block, kVariant);
    if (!variant_valid(f, value.get(), lik.variants, [&] {
          return require(PyUnicode_FromFormat("%s%U['variant'] must be an integer (0 or 1).", kPrefix, prefix.get()));
        })) {
      std::string listed = listed_variants(lik.variants);
      raise_safety_format(f, "%s%U['variant'] must be one of %s for '%S'.", kPrefix, prefix.get(), listed.c_str(),
                          family_name);
    }
  }
  Ref hyper = map_get(block, kHyper);
  if (hyper.get() != Py_None) {
    if (!lik.hyper_value)
      raise_safety_format(f, "%s%U['hyper'] is not valid for '%S' likelihood.", kPrefix, prefix.get(), family_name);
    if (!PyDict_Check(hyper.get()) && !PyList_Check(hyper.get()))
      raise_safety_format(f, "%s%U['hyper'] must be a dict or list of dicts.", kPrefix, prefix.get());
  }
  if (k == kBeta && map_has(block, kBetaCensor)) check_beta_censor(f, block, prefix.get());
}

Ref validate_single_impl(Func& f, const Args& a) {
  validate_single(f, a[0], a[1], a[2]);
  return none();
}

const FuncSpec kValidateSingleSpec("_validate_single_family_control", nullptr,
                                   "Validate a single control.family dict against a specific likelihood.",
                                   {{"family_name", Kind::Positional, "str"},
                                    {"family_block", Kind::Positional, "Dict[str, Any]"},
                                    {"idx", Kind::Positional, "Optional[int]"}},
                                   "None", validate_single_impl);

// ---------------------------------------------------------------------------------------------------------
// enforce_binomial_kindred

// One control block per family, matched by position. Links are not looked at in this form.
void check_list_form(const Func& f, PyObject* family_list, PyObject* entries) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i)
    if (!PyDict_Check(PyList_GET_ITEM(entries, i)))
      raise_safety_format(f, "%scontrol['family'][%zd] must be a dict.", kPrefix, i);
  Py_ssize_t n_entries = PyList_GET_SIZE(entries), n_families = PyList_GET_SIZE(family_list);
  if (n_entries != n_families)
    raise_safety_format(f, "%scontrol['family'] has %zd entries but there are %zd families.", kPrefix, n_entries,
                        n_families);
  // The user's list may change under a block's own methods: read it afresh at each step, as zip() would.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries) && i < PyList_GET_SIZE(family_list); ++i) {
    Ref name = Ref::borrow(PyList_GET_ITEM(family_list, i));
    Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
    if (!truth(entry.get())) continue;
    Ref idx = from_long(static_cast<long>(i));
    Ref fn = f.global(kValidateSingle);
    if (is_function_of(fn.get(), kValidateSingleSpec)) {
      validate_single(f, name.get(), entry.get(), idx.get());
    } else {
      call(fn.get(), name.get(), entry.get(), idx.get());
    }
  }
}

// One control block for the model as a whole, checked against every family of the list at once.
void check_dict_form(const Func& f, PyObject* family_list, PyObject* block) {
  unsigned long present = present_in(family_list);
  if (present == 0) return;

  unsigned accepted = 0;
  bool hyper_allowed = false;
  for (int k = 0; k < kNumLik; ++k) {
    if (!has(present, k)) continue;
    accepted |= kLik[k].keys;
    hyper_allowed = hyper_allowed || kLik[k].hyper_value;
  }
  Ref bad = offending_keys(block, accepted);
  if (bad) {
    std::string keys = joined_keys(accepted);
    raise_safety_format(f, "%scontrol['family'] only accepts %s for these likelihoods: %U.", kPrefix, keys.c_str(),
                        bad.get());
  }

  if (map_has(block, kVariant)) {
    unsigned valid = V01;
    if (has(present, kNBinomial)) valid |= 0b100;
    if (has(present, kNBinomial2)) valid = V0;
    Ref value = map_get(block, kVariant);
    if (!variant_valid(f, value.get(), valid, [] {
          return str("vexil safety check: control['family']['variant'] must be an integer (0 or 1).");
        })) {
      std::string listed = listed_variants(valid);
      raise_safety_format(f, "%scontrol['family']['variant'] must be one of %s for the requested family.", kPrefix,
                          listed.c_str());
    }
  }

  Ref hyper = map_get(block, kHyper);
  if (hyper.get() != Py_None) {
    if (!hyper_allowed)
      raise_safety_format(f,
                          "%scontrol['family']['hyper'] is only allowed for gaussian/gamma/gammasurv/exponentialsurv/"
                          "nbinomial/betabinomial/beta/logistic/lognormal/lognormalsurv/weibull/weibullsurv/"
                          "loglogistic/loglogisticsurv/sn/t.",
                          kPrefix);
    if (!PyDict_Check(hyper.get()) && !PyList_Check(hyper.get()))
      raise_safety_format(f, "%scontrol['family']['hyper'] must be a dict or list of dicts.", kPrefix);
  }

  if (has(present, kBeta) && map_has(block, kBetaCensor)) check_beta_censor(f, block, str("control['family']").get());

  for (const LinkRow& row : kLinkRows) {
    bool row_present = has(present, row.lik) || has(present, row.also);
    Ref fn = f.global(kValidateLink);
    if (is_function_of(fn.get(), kValidateLinkSpec)) {
      AllowedLinks allowed;
      allowed.row = &row;
      validate_link(f, block, row.name, nullptr, row_present, allowed);
      continue;
    }
    Ref names = require(PySet_New(nullptr));
    for (const char* const* l = row.links; *l; ++l) require_ok(PySet_Add(names.get(), str(*l).get()));
    Ref name = str(row.name);
    call(fn.get(), block, name.get(), row_present ? Py_True : Py_False, names.get());
  }
}

Ref enforce_impl(Func& f, const Args& a) {
  PyObject* kwargs = a[0];
  PyObject* families = a[1];

  Ref family_list;
  if (families != Py_None) {
    family_list = require(PySequence_List(families));
  } else {
    Ref raw = map_get(kwargs, kFamily);
    Ref normalize = f.global(kNormalizeFamilySpec);
    Ref names = call(normalize.get(), raw.get());
    family_list = require(PySequence_List(names.get()));
  }

  Ref control = map_get(kwargs, kControl);
  if (!truth(control.get()) || !PyDict_Check(control.get())) return none();
  Ref block = map_get(control.get(), kFamily);
  if (block.get() == Py_None) return none();
  if (PyList_Check(block.get())) {
    check_list_form(f, family_list.get(), block.get());
    return none();
  }
  if (!PyDict_Check(block.get()))
    raise_safety_format(f, "%scontrol['family'] must be a dict (or list of dicts for multiple families).", kPrefix);
  check_dict_form(f, family_list.get(), block.get());
  return none();
}

const FuncSpec kEnforceSpec("enforce_binomial_kindred", nullptr, nullptr,
                            {{"kwargs", Kind::Positional, "Dict[str, Any]"},
                             {"families", Kind::KeywordOnly, "Iterable[str] | None"}},
                            "None", enforce_impl);

void exec(ModuleBuilder& m) {
  m.from_import("typing", "Any");
  m.from_import("typing", "Dict");
  m.from_import("typing", "Iterable");
  m.from_import("typing", "Optional");
  m.from_import(".errors", "SafetyError");
  m.from_import(".family", "_normalize_family_spec");
  m.from_import(".family", "_normalize_link_value");
  m.def(kEnforceSpec, {}, require(Py_BuildValue("{sO}", "families", Py_None)));
  m.def(kValidateSingleSpec, require(Py_BuildValue("(O)", Py_None)));
  m.def(kValidateLinkSpec);
}

}  // namespace

VEXIL_MODULE(kindred, nullptr, exec)
