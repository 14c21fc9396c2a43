// Static table of the autoregressive models (module vexil.model_defs.latent.autoregressive).
#pragma once

#include "catalogue.hpp"

namespace vexil::catalogue {

inline constexpr const char kAutoregressiveDoc[] =
    "\n"
    "Autoregressive models: ar1, ar1c, ar, ou\n"
    "\n"
    "Time series models with autoregressive structure.\n";

// Hyperparameter entries: key, hyperid, name, short_name, prior, param, initial, fixed, transform.

inline constexpr Hyper kAr1Hyper[] = {
    {"theta1", 14001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta2", 14002, "logit lag one correlation", "rho", "normal", "[0, 0.15]", "2", false,
     Transform::Correlation},
    {"theta3", 14003, "mean", "mean", "normal", "[0, 1]", "0", true, Transform::Identity},
};

inline constexpr Hyper kAr1cHyper[] = {
    {"theta1", 14101, "log precision", "prec", "pc.prec", "[1, 0.01]", "4", false, Transform::Log},
    {"theta2", 14102, "logit lag one correlation", "rho", "pc.cor0", "[0.5, 0.5]", "2", false,
     Transform::Correlation},
};

inline constexpr Hyper kArHyper[] = {
    {"theta1", 15001, "log precision", "prec", "pc.prec", "[3, 0.01]", "4", false, Transform::Log},
    {"theta2", 15002, "pacf1", "pacf1", "pc.cor0", "[0.5, 0.5]", "1", false, Transform::Correlation},
    {"theta3", 15003, "pacf2", "pacf2", "pc.cor0", "[0.5, 0.4]", "0", false, Transform::Correlation},
    {"theta4", 15004, "pacf3", "pacf3", "pc.cor0", "[0.5, 0.3]", "0", false, Transform::Correlation},
    {"theta5", 15005, "pacf4", "pacf4", "pc.cor0", "[0.5, 0.2]", "0", false, Transform::Correlation},
    {"theta6", 15006, "pacf5", "pacf5", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
    {"theta7", 15007, "pacf6", "pacf6", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
    {"theta8", 15008, "pacf7", "pacf7", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
    {"theta9", 15009, "pacf8", "pacf8", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
    {"theta10", 15010, "pacf9", "pacf9", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
    {"theta11", 15011, "pacf10", "pacf10", "pc.cor0", "[0.5, 0.1]", "0", false, Transform::Correlation},
};

inline constexpr Hyper kOuHyper[] = {
    {"theta1", 16001, "log precision", "prec", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta2", 16002, "log phi", "phi", "normal", "[0, 0.2]", "-1", false, Transform::Log},
};

// Records: model, doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required,
// set_default_values, min_diff, pdf, entry order, hyper, n_hyper.
inline constexpr Model kAutoregressiveModels[] = {
    {"ar1", "Auto-regressive model of order 1 (AR(1))",
     false, false, false, 1, "None", "None", false, false, nullptr, "ar1",
     EntryOrder::A, kAr1Hyper, 3},
    {"ar1c", "Auto-regressive model of order 1 w/covariates",
     false, false, false, 1, "None", "None", false, true, nullptr, "ar1c",
     EntryOrder::A, kAr1cHyper, 2},
    {"ar", "Auto-regressive model of order p (AR(p))",
     false, false, false, 1, "None", "None", false, false, nullptr, "ar",
     EntryOrder::B, kArHyper, 11},
    {"ou", "The Ornstein-Uhlenbeck process",
     false, false, false, 1, "None", "None", false, false, nullptr, "ou",
     EntryOrder::A, kOuHyper, 2},
};

}  // namespace vexil::catalogue
