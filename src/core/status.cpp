#include "core/status.hpp"

namespace vexil::core {

const char* status_message(Status s) {
  switch (s) {
    case Status::ok: return "";
    case Status::x_too_few: return "`x` must contain at least 2 elements.";
    case Status::length_mismatch: return "The length of `y` along `axis`=0 doesn't match the length of `x`";
    case Status::x_not_finite: return "`x` must contain only finite values.";
    case Status::y_not_finite: return "`y` must contain only finite values.";
    case Status::x_not_increasing: return "`x` must be strictly increasing sequence.";
    case Status::dydx_not_finite: return "`dydx` must contain only finite values.";
    case Status::singular_banded: return "singular matrix";
    case Status::singular_dense: return "A singular matrix detected: slice(s) [0] are singular.";
    case Status::interp_empty: return "array of sample points is empty";
    case Status::interp_length: return "fp and xp are not of the same length.";
    case Status::no_finite_points: return "Marginal has no finite density points after NaN removal.";
    case Status::too_small: return "Marginal too small after filtering. Need >=3 support points.";
    case Status::bounds_not_finite: return "Optimization bounds must be finite scalars.";
    case Status::bounds_reversed: return "The lower bound exceeds the upper bound.";
    case Status::fun_shape: return "fun(x) must return an array with first dimension equal to len(x).";
  }
  return "unknown status";
}

ErrorKind status_kind(Status s) {
  switch (s) {
    case Status::ok: return ErrorKind::none;
    case Status::singular_banded:
    case Status::singular_dense: return ErrorKind::linalg_error;
    default: return ErrorKind::value_error;
  }
}

}  // namespace vexil::core
