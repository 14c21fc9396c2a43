// Static table of the spatial models (module vexil.model_defs.latent.spatial).
#pragma once

#include "catalogue.hpp"

namespace vexil::catalogue {

inline constexpr const char kSpatialDoc[] =
    "\n"
    "Spatial models: besag, besag2, bym, bym2, besagproper, besagproper2, slm\n"
    "\n"
    "Conditional autoregressive (CAR) models for areal data.\n";

// Hyperparameter entries: key, hyperid, name, short_name, prior, param, initial, fixed, transform.

inline constexpr Hyper kBesagHyper[] = {
    {"theta", 8001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
};

inline constexpr Hyper kBesag2Hyper[] = {
    {"theta1", 9001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta2", 9002, "scaling parameter", "a", "loggamma", "[10, 10]", "0", false, Transform::Log},
};

inline constexpr Hyper kBymHyper[] = {
    {"theta1", 10001, "log unstructured precision", "prec.unstruct", "loggamma", "[1, 0.0005]", "4",
     false, Transform::Log},
    {"theta2", 10002, "log spatial precision", "prec.spatial", "loggamma", "[1, 0.0005]", "4", false,
     Transform::Log},
};

inline constexpr Hyper kBym2Hyper[] = {
    {"theta1", 11001, "log precision", "prec", "pc.prec", "[1, 0.01]", "4", false, Transform::Log},
    {"theta2", 11002, "logit phi", "phi", "pc", "[0.5, 0.5]", "-3", false, Transform::Logit},
};

inline constexpr Hyper kBesagproperHyper[] = {
    {"theta1", 12001, "log precision", "prec", "loggamma", "[1, 0.0005]", "2", false, Transform::Log},
    {"theta2", 12002, "log diagonal", "diag", "loggamma", "[1, 1]", "1", false, Transform::Log},
};

inline constexpr Hyper kBesagproper2Hyper[] = {
    {"theta1", 13001, "log precision", "prec", "loggamma", "[1, 0.0005]", "2", false, Transform::Log},
    {"theta2", 13002, "logit lambda", "lambda", "gaussian", "[0, 0.45]", "3", false, Transform::Logit},
};

inline constexpr Hyper kSlmHyper[] = {
    {"theta1", 34001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta2", 34002, "rho", "rho", "normal", "[0, 10]", "0", false, Transform::LogitReciprocal},
};

// Records: model, doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required,
// set_default_values, min_diff, pdf, entry order, hyper, n_hyper.
inline constexpr Model kSpatialModels[] = {
    {"besag", "The Besag area model (CAR-model)",
     true, false, false, 1, "None", "None", true, true, nullptr, "besag",
     EntryOrder::A, kBesagHyper, 1},
    {"besag2", "The shared Besag model",
     true, false, false, 1, "[1, 2]", "2", true, true, nullptr, "besag2",
     EntryOrder::A, kBesag2Hyper, 2},
    {"bym", "The BYM-model (Besag-York-Mollier model)",
     true, false, true, 2, "2", "None", true, true, nullptr, "bym",
     EntryOrder::A, kBymHyper, 2},
    {"bym2", "The BYM-model with the PC priors",
     true, false, true, 2, "2", "None", true, true, nullptr, "bym2",
     EntryOrder::A, kBym2Hyper, 2},
    {"besagproper", "A proper version of the Besag model",
     false, false, false, 1, "None", "None", true, true, nullptr, "besagproper",
     EntryOrder::A, kBesagproperHyper, 2},
    {"besagproper2", "An alternative proper version of the Besag model",
     false, false, false, 1, "None", "None", true, true, nullptr, "besagproper2",
     EntryOrder::A, kBesagproper2Hyper, 2},
    {"slm", "Spatial lag model",
     false, false, false, 1, "None", "None", true, true, nullptr, "slm",
     EntryOrder::B, kSlmHyper, 2},
};

}  // namespace vexil::catalogue
