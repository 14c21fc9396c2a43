// vexil.model_defs.latent.plexus: the multivariate iid and Wishart models, with the generated iidkd table.
#include <string>

#include "plexus_data.hpp"

namespace {

using vexil::bind::Ref;
using vexil::bind::require;
using vexil::bind::require_ok;
using namespace vexil::catalogue;

constexpr int kIidkdSize = 300;      // 24 * 25 / 2 hyperparameters
constexpr long kIidkdFirstId = 29101;

// theta1 carries the Wishart prior: the int 30 followed by 300 references to _SPECIAL_NUMBER. The 299 later
// entries are collected in their own dict first and then merged in after theta1.
Ref iidkd_hyper(vexil::bind::ModuleBuilder& m, PyObject* special) {
  Ref param = require(PyList_New(0));
  Ref thirty = vexil::bind::from_long(30);
  require_ok(PyList_Append(param.get(), thirty.get()));
  for (int i = 0; i < kIidkdSize; ++i) require_ok(PyList_Append(param.get(), special));
  Ref hyper = require(PyDict_New());
  Ref first = make_entry(m, EntryOrder::B, kIidkdFirstId, "theta1", "theta1", "wishartkd", param,
                         Ref::borrow(special), false, Transform::Identity);
  require_ok(PyDict_SetItemString(hyper.get(), "theta1", first.get()));
  Ref rest = require(PyDict_New());
  for (int i = 2; i <= kIidkdSize; ++i) {
    std::string key = "theta" + std::to_string(i);
    Ref entry = make_entry(m, EntryOrder::B, kIidkdFirstId - 1 + i, key.c_str(), key.c_str(), "none",
                           require(PyList_New(0)), Ref::borrow(special), false, Transform::Identity);
    require_ok(PyDict_SetItemString(rest.get(), key.c_str(), entry.get()));
  }
  require_ok(PyDict_Update(hyper.get(), rest.get()));
  return hyper;
}

void exec(vexil::bind::ModuleBuilder& m) {
  m.import("numpy", "np");
  Ref special = vexil::bind::from_double(1048576.0);  // 2 ** 20
  m.set("_SPECIAL_NUMBER", special);
  m.set("MODELS", make_models(m, kPlexusModels, [&](const Model&) { return iidkd_hyper(m, special.get()); }));
}

}  // namespace

VEXIL_MODULE(plexus, kPlexusDoc, exec)
