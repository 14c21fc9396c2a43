// vexil.safety.capture: the snapshot of a user's model call and the run of every safety check of the package.
//
// The checks are module attributes, bound by the imports below and looked up anew at each call, so replacing
// one in this module replaces it for the next capture. The order of the table is the order in which a user
// learns of the problems of a call: the first check that raises ends the capture.
#include "bind/module.hpp"

namespace {

using namespace vexil::bind;

struct Check {
  Name name;
  bool families;  // receives the family list as families=
};

Check kChecks[] = {
    {Name("enforce_gaussian_hyperstructure"), true},
    {Name("enforce_gamma_hyperstructure"), true},
    {Name("enforce_gamma_support"), true},
    {Name("enforce_logistic_hyperstructure"), true},
    {Name("enforce_loglogistic_hyperstructure"), true},
    {Name("enforce_nbinomial_hyperstructure"), true},
    {Name("enforce_betabinomial_hyperstructure"), true},
    {Name("enforce_sn_hyperstructure"), true},
    {Name("enforce_t_hyperstructure"), true},
    {Name("enforce_beta_hyperstructure"), true},
    {Name("enforce_scale_usage"), true},
    {Name("enforce_control_structure"), true},
    {Name("enforce_random_structure"), false},
    {Name("enforce_compute_section"), false},
    {Name("enforce_exposure_usage"), true},
    {Name("enforce_poisson_exposure"), true},
    {Name("enforce_nbinomial_exposure"), true},
    {Name("enforce_binomial_trials"), true},
    {Name("enforce_binomial_kindred"), true},
    {Name("enforce_multiple_likelihood_response"), true},
    {Name("enforce_beta_support"), true},
    {Name("enforce_survival_response"), true},
    {Name("enforce_poisson_support"), true},
    {Name("enforce_nbinomial_support"), true},
    {Name("enforce_binomial_support"), true},
    {Name("enforce_exponential_support"), true},
    {Name("enforce_lognormal_support"), true},
    {Name("enforce_weibull_support"), true},
    {Name("enforce_loglogistic_support"), true},
    {Name("enforce_gaussian_support"), true},
    {Name("enforce_logistic_support"), true},
    {Name("enforce_t_support"), true},
    {Name("enforce_sn_support"), true},
    {Name("enforce_offset_values"), false},
    {Name("enforce_weights_values"), false},
    {Name("enforce_untested_arguments"), false},
};

Name kEnforceAllowedFamily("enforce_allowed_family"), kFamilies("families"), kArgsKey("__args__"),
    kFamiliesKey("__families__");

// The keyword names of a check call that passes the family list: ("families",), kept for the process.
PyObject* families_kwnames() {
  static PyObject* names = nullptr;
  if (names == nullptr) {
    names = PyTuple_Pack(1, kFamilies.get());
    if (names == nullptr) throw PyError();
  }
  return names;
}

Ref capture_impl(Func& f, const Args& a) {
  PyObject* args = a[0];
  PyObject* kwargs = a[1];

  Ref snapshot = require(PyDict_Copy(kwargs));
  // tuple(args) of a tuple is the tuple itself.
  require_ok(PyDict_SetItem(snapshot.get(), kArgsKey.get(), args));
  Ref allowed_family = f.global(kEnforceAllowedFamily);
  Ref families = call(allowed_family.get(), snapshot.get());
  Ref names = require(PySequence_Tuple(families.get()));
  require_ok(PyDict_SetItem(snapshot.get(), kFamiliesKey.get(), names.get()));

  PyObject* kwnames = families_kwnames();
  for (Check& check : kChecks) {
    Ref fn = f.global(check.name);
    PyObject* argv[3] = {nullptr, snapshot.get(), families.get()};
    Ref ignored = require(PyObject_Vectorcall(fn.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              check.families ? kwnames : nullptr));
  }
  return snapshot;
}

const FuncSpec kCaptureSpec("capture_user_call", nullptr,
                            "Snapshot the raw arguments supplied by the user.\n"
                            "\n"
                            "Parameters\n"
                            "----------\n"
                            "args : tuple\n"
                            "    Positional arguments as received by the public entry point.\n"
                            "kwargs : dict\n"
                            "    Keyword arguments as received by the public entry point.\n"
                            "\n"
                            "Returns\n"
                            "-------\n"
                            "dict\n"
                            "    A shallow copy of the keyword arguments for downstream use.\n",
                            {{"args", Kind::Positional, "Tuple[Any, ...]"}, {"kwargs", Kind::Positional, "Dict[str, Any]"}},
                            "Dict[str, Any]", capture_impl);

void exec(ModuleBuilder& m) {
  m.from_import("typing", "Any");
  m.from_import("typing", "Dict");
  m.from_import("typing", "Tuple");
  m.from_import(".control", "enforce_compute_section");
  m.from_import(".control", "enforce_control_structure");
  for (const char* name : {"enforce_binomial_trials", "enforce_exposure_usage", "enforce_nbinomial_exposure",
                           "enforce_offset_values", "enforce_poisson_exposure", "enforce_scale_usage",
                           "enforce_weights_values"})
    m.from_import(".exposure", name);
  m.from_import(".family", "enforce_allowed_family");
  m.from_import(".kindred", "enforce_binomial_kindred");
  for (const char* name : {"enforce_beta_hyperstructure", "enforce_betabinomial_hyperstructure",
                           "enforce_gamma_hyperstructure", "enforce_gaussian_hyperstructure",
                           "enforce_logistic_hyperstructure", "enforce_loglogistic_hyperstructure",
                           "enforce_nbinomial_hyperstructure", "enforce_sn_hyperstructure", "enforce_t_hyperstructure"})
    m.from_import(".hyperstructure", name);
  m.from_import(".random", "enforce_random_structure");
  for (const char* name :
       {"enforce_multiple_likelihood_response", "enforce_survival_response", "enforce_untested_arguments"})
    m.from_import(".response", name);
  for (const char* name : {"enforce_beta_support", "enforce_binomial_support", "enforce_exponential_support",
                           "enforce_gamma_support", "enforce_gaussian_support", "enforce_lognormal_support",
                           "enforce_logistic_support", "enforce_loglogistic_support", "enforce_nbinomial_support",
                           "enforce_poisson_support", "enforce_sn_support", "enforce_t_support",
                           "enforce_weibull_support"})
    m.from_import(".support", name);
  m.def(kCaptureSpec);
}

}  // namespace

VEXIL_MODULE(capture, "User call capture and orchestration of all safety checks.", exec)
