// Failure codes of the numeric core and the exact texts the Python layer raises for them.
//
// The core never throws for bad data: routines return a Status, and the binding raises the exception
// named by status_kind() with the text of status_message(). (std::bad_alloc may still escape, as may
// any exception thrown by a callback the caller passes in.)
#pragma once

namespace vexil::core {

enum class Status {
  ok = 0,
  // Knot validation of the monotone cubic and of the cubic spline, in the order the checks are made.
  x_too_few,         // "`x` must contain at least 2 elements."
  length_mismatch,   // "The length of `y` along `axis`=0 doesn't match the length of `x`"
  x_not_finite,      // "`x` must contain only finite values."
  y_not_finite,      // "`y` must contain only finite values."
  x_not_increasing,  // "`x` must be strictly increasing sequence."
  dydx_not_finite,   // "`dydx` must contain only finite values." (derivatives overflowed)
  singular_banded,   // LinAlgError "singular matrix" (tridiagonal solve met a zero pivot)
  singular_dense,    // LinAlgError "A singular matrix detected: slice(s) [0] are singular." (3 knots)
  // Linear interpolation.
  interp_empty,      // "array of sample points is empty"
  interp_length,     // "fp and xp are not of the same length."
  // Cleaning of a marginal.
  no_finite_points,  // "Marginal has no finite density points after NaN removal."
  too_small,         // "Marginal too small after filtering. Need >=3 support points."
  // Bounded minimisation.
  bounds_not_finite,  // "Optimization bounds must be finite scalars."
  bounds_reversed,    // "The lower bound exceeds the upper bound."
  // Expectation.
  fun_shape,  // "fun(x) must return an array with first dimension equal to len(x)."
};

enum class ErrorKind { none, value_error, linalg_error };

const char* status_message(Status s);
ErrorKind status_kind(Status s);

}  // namespace vexil::core
