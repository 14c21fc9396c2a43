// Static table of the random-walk models (module vexil.model_defs.latent.steppe).
#pragma once

#include "catalogue.hpp"

namespace vexil::catalogue {

inline constexpr const char kSteppeDoc[] =
    "\n"
    "Random walk models: rw1, rw2, crw2, rw2d, rw2diid\n"
    "\n"
    "Temporal smoothing models based on random walks.\n";

// Hyperparameter entries: key, hyperid, name, short_name, prior, param, initial, fixed, transform.

inline constexpr Hyper kRw1Hyper[] = {
    {"theta", 4001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
};

inline constexpr Hyper kRw2Hyper[] = {
    {"theta", 5001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
};

inline constexpr Hyper kCrw2Hyper[] = {
    {"theta", 6001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
};

inline constexpr Hyper kRw2dHyper[] = {
    {"theta", 32001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
};

inline constexpr Hyper kRw2diidHyper[] = {
    {"theta1", 33001, "log precision", "prec", "pc.prec", "[1, 0.01]", "4", false, Transform::Log},
    {"theta2", 33002, "logit phi", "phi", "pc", "[0.5, 0.5]", "3", false, Transform::Logit},
};

// Records: model, doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required,
// set_default_values, min_diff, pdf, entry order, hyper, n_hyper.
inline constexpr Model kSteppeModels[] = {
    {"rw1", "Random walk of order 1",
     true, false, false, 1, "None", "None", false, false, "1e-06", "rw1",
     EntryOrder::A, kRw1Hyper, 1},
    {"rw2", "Random walk of order 2",
     true, false, false, 1, "None", "None", false, false, "0.0001", "rw2",
     EntryOrder::A, kRw2Hyper, 1},
    {"crw2", "Exact solution to the random walk of order 2",
     true, false, false, 2, "1", "None", false, false, "0.0001", "crw2",
     EntryOrder::A, kCrw2Hyper, 1},
    {"rw2d", "Thin-plate spline model",
     true, true, false, 1, "None", "None", false, true, nullptr, "rw2d",
     EntryOrder::B, kRw2dHyper, 1},
    {"rw2diid", "Thin-plate spline with iid noise",
     true, true, true, 2, "2", "None", false, true, nullptr, "rw2diid",
     EntryOrder::A, kRw2diidHyper, 2},
};

}  // namespace vexil::catalogue
