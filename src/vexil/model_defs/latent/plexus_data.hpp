// Static table of the multivariate iid and Wishart models (module vexil.model_defs.latent.plexus).
// The 300 entries of iidkd are generated at import, not written out here.
#pragma once

#include "catalogue.hpp"

namespace vexil::catalogue {

inline constexpr const char kPlexusDoc[] =
    "\n"
    "Multivariate IID models: iid1d, iid2d, iid3d, iid4d, iid5d, iidkd, 2diid\n"
    "\n"
    "Multivariate Gaussian random effects with Wishart priors.\n";

// Hyperparameter entries: key, hyperid, name, short_name, prior, param, initial, fixed, transform.

inline constexpr Hyper kIid1dHyper[] = {
    {"theta", 25001, "precision", "prec", "wishart1d", "[2.0, 0.0001]", "4", false, Transform::Log},
};

inline constexpr Hyper kIid2dHyper[] = {
    {"theta1", 26001, "log precision1", "prec1", "wishart2d", "[4, 1, 1, 0]", "4", false,
     Transform::Log},
    {"theta2", 26002, "log precision2", "prec2", "none", "[]", "4", false, Transform::Log},
    {"theta3", 26003, "logit correlation", "cor", "none", "[]", "4", false, Transform::Correlation},
};

inline constexpr Hyper kIid3dHyper[] = {
    {"theta1", 27001, "log precision1", "prec1", "wishart3d", "[7, 1, 1, 1, 0, 0, 0]", "4", false,
     Transform::Log},
    {"theta2", 27002, "log precision2", "prec2", "none", "[]", "4", false, Transform::Log},
    {"theta3", 27003, "log precision3", "prec3", "none", "[]", "4", false, Transform::Log},
    {"theta4", 27004, "logit correlation12", "cor12", "none", "[]", "0", false, Transform::Correlation},
    {"theta5", 27005, "logit correlation13", "cor13", "none", "[]", "0", false, Transform::Correlation},
    {"theta6", 27006, "logit correlation23", "cor23", "none", "[]", "0", false, Transform::Correlation},
};

inline constexpr Hyper kIid4dHyper[] = {
    {"theta1", 28001, "log precision1", "prec1", "wishart4d", "[11, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0]", "4",
     false, Transform::Log},
    {"theta2", 28002, "log precision2", "prec2", "none", "[]", "4", false, Transform::Log},
    {"theta3", 28003, "log precision3", "prec3", "none", "[]", "4", false, Transform::Log},
    {"theta4", 28004, "log precision4", "prec4", "none", "[]", "4", false, Transform::Log},
    {"theta5", 28005, "logit correlation12", "cor12", "none", "[]", "0", false, Transform::Correlation},
    {"theta6", 28006, "logit correlation13", "cor13", "none", "[]", "0", false, Transform::Correlation},
    {"theta7", 28007, "logit correlation14", "cor14", "none", "[]", "0", false, Transform::Correlation},
    {"theta8", 28008, "logit correlation23", "cor23", "none", "[]", "0", false, Transform::Correlation},
    {"theta9", 28009, "logit correlation24", "cor24", "none", "[]", "0", false, Transform::Correlation},
    {"theta10", 28010, "logit correlation34", "cor34", "none", "[]", "0", false, Transform::Correlation},
};

inline constexpr Hyper kIid5dHyper[] = {
    {"theta1", 29001, "log precision1", "prec1", "wishart5d",
     "[16, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]", "4", false, Transform::Log},
    {"theta2", 29002, "log precision2", "prec2", "none", "[]", "4", false, Transform::Log},
    {"theta3", 29003, "log precision3", "prec3", "none", "[]", "4", false, Transform::Log},
    {"theta4", 29004, "log precision4", "prec4", "none", "[]", "4", false, Transform::Log},
    {"theta5", 29005, "log precision5", "prec5", "none", "[]", "4", false, Transform::Log},
    {"theta6", 29006, "logit correlation12", "cor12", "none", "[]", "0", false, Transform::Correlation},
    {"theta7", 29007, "logit correlation13", "cor13", "none", "[]", "0", false, Transform::Correlation},
    {"theta8", 29008, "logit correlation14", "cor14", "none", "[]", "0", false, Transform::Correlation},
    {"theta9", 29009, "logit correlation15", "cor15", "none", "[]", "0", false, Transform::Correlation},
    {"theta10", 29010, "logit correlation23", "cor23", "none", "[]", "0", false, Transform::Correlation},
    {"theta11", 29011, "logit correlation24", "cor24", "none", "[]", "0", false, Transform::Correlation},
    {"theta12", 29012, "logit correlation25", "cor25", "none", "[]", "0", false, Transform::Correlation},
    {"theta13", 29013, "logit correlation34", "cor34", "none", "[]", "0", false, Transform::Correlation},
    {"theta14", 29014, "logit correlation35", "cor35", "none", "[]", "0", false, Transform::Correlation},
    {"theta15", 29015, "logit correlation45", "cor45", "none", "[]", "0", false, Transform::Correlation},
};

inline constexpr Hyper k2diidHyper[] = {
    {"theta1", 30001, "log precision1", "prec1", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta2", 30002, "log precision2", "prec2", "loggamma", "[1, 5e-05]", "4", false, Transform::Log},
    {"theta3", 30003, "correlation", "cor", "normal", "[0, 0.15]", "4", false, Transform::Correlation},
};

// Records: model, doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required,
// set_default_values, min_diff, pdf, entry order, hyper, n_hyper.
// iidkd carries no written-out entries (hyper nullptr, n_hyper 0): its 300 entries are generated.
inline constexpr Model kPlexusModels[] = {
    {"iid1d", "Gaussian random effect in dim=1 with Wishart prior",
     false, false, false, 1, "None", "None", false, true, nullptr, "iid123d",
     EntryOrder::B, kIid1dHyper, 1},
    {"iid2d", "Gaussian random effect in dim=2 with Wishart prior",
     false, false, true, 1, "[1, 2]", "2", true, true, nullptr, "iid123d",
     EntryOrder::B, kIid2dHyper, 3},
    {"iid3d", "Gaussian random effect in dim=3 with Wishart prior",
     false, false, true, 1, "[1, 2, 3]", "3", true, true, nullptr, "iid123d",
     EntryOrder::B, kIid3dHyper, 6},
    {"iid4d", "Gaussian random effect in dim=4 with Wishart prior",
     false, false, true, 1, "[1, 2, 3, 4]", "4", true, true, nullptr, "iid123d",
     EntryOrder::B, kIid4dHyper, 10},
    {"iid5d", "Gaussian random effect in dim=5 with Wishart prior",
     false, false, true, 1, "[1, 2, 3, 4, 5]", "5", true, true, nullptr, "iid123d",
     EntryOrder::B, kIid5dHyper, 15},
    {"iidkd", "Gaussian random effect in dim=k with Wishart prior",
     false, false, true, 1,
     "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24]",
     "-1", true, true, nullptr, "iidkd",
     EntryOrder::B, nullptr, 0},
    {"2diid", "(This model is obsolete)",
     false, false, false, 1, "[1, 2]", "2", true, true, nullptr, "iid123d",
     EntryOrder::B, k2diidHyper, 3},
};

}  // namespace vexil::catalogue
