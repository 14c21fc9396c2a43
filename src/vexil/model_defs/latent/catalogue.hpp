// Shared by the four latent-model catalogue modules: the static description of a model table and the
// builder that turns it into the module's MODELS dict at import.
#pragma once

#include <cstddef>

#include "bind/module.hpp"

namespace vexil::catalogue {

// The conversion pair of a hyperparameter entry.
enum class Transform { Log, Logit, LogitReciprocal, Correlation, Identity };

// The two insertion orders of the keys of a hyperparameter entry.
enum class EntryOrder { A, B };

// Literal values are written as Python literals and parsed at import: "None", "True", "1", "-1",
// "2.0", "5e-05", "[1, 5e-05]", "[]". An int literal has no '.', 'e' or 'E'; everything else numeric is
// a float. Lists hold numbers only.
struct Hyper {
  const char* key;         // "theta" or "theta1", "theta2", ...
  long hyperid;
  const char* name;
  const char* short_name;
  const char* prior;
  const char* param;       // list literal
  const char* initial;     // number literal
  bool fixed;
  Transform transform;
};

struct Model {
  const char* model;       // key in MODELS
  const char* doc;
  bool constr;
  bool nrow_ncol;
  bool augmented;
  long aug_factor;
  const char* aug_constr;  // literal: "None", "1" or "[1, 2]"
  const char* n_div_by;    // literal: "None" or an int
  bool n_required;
  bool set_default_values;
  const char* min_diff;    // float literal, or nullptr where the record has no min_diff key
  const char* pdf;
  EntryOrder order;
  const Hyper* hyper;      // the model's entries, in table order
  int n_hyper;
};

// The conversion functions. Each is an anonymous one-parameter function ("<lambda>", parameter `x`) that
// looks numpy up through the module global `np` at every call and runs its operations in a fixed order, so
// Python numbers, numpy scalars and arrays all follow the arithmetic of the argument itself.
const bind::FuncSpec& to_theta_spec(Transform t);
const bind::FuncSpec& from_theta_spec(Transform t);

// One hyperparameter entry dict, in the given key order. `initial` and `param` are passed in already built
// so that generated tables can share one object where the model requires it.
bind::Ref make_entry(bind::ModuleBuilder& m, EntryOrder order, long hyperid, const char* name,
                     const char* short_name, const char* prior, bind::Ref param, bind::Ref initial, bool fixed,
                     Transform transform);

// The hyperparameter table of a written-out model.
bind::Ref make_hyper(bind::ModuleBuilder& m, const Model& model);

// A model-definition record around the given hyperparameter table.
bind::Ref make_record(const Model& model, bind::Ref hyper);

// Builds MODELS from a table; `hyper_for` may supply the hyperparameter table of a generated model.
template <std::size_t N, class HyperFor>
bind::Ref make_models(bind::ModuleBuilder& m, const Model (&models)[N], HyperFor hyper_for) {
  bind::Ref out = bind::require(PyDict_New());
  for (const Model& model : models) {
    bind::Ref hyper = model.hyper ? make_hyper(m, model) : hyper_for(model);
    bind::Ref record = make_record(model, std::move(hyper));
    bind::require_ok(PyDict_SetItemString(out.get(), model.model, record.get()));
  }
  return out;
}

}  // namespace vexil::catalogue
