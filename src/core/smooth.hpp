// Cleaning a marginal (x, y table) and smoothing its log-density.
//
// clean_marginal   NaN densities dropped, sorted by x, non-positive and relatively tiny densities dropped.
// smooth_*         the "nonuniform t-map" refinement: a coordinate t that evens out the spacing of the
//                  points, a grid equally spaced in t, the log-density interpolated there.
// make_log_density the cubic (or linear) log-density function of a cleaned marginal, and its range.
// spline_resample  a cleaned marginal resampled on an equally spaced grid through the cubic of log y.
//
// The coordinate pipeline (spacings, their mean, square roots, running sum, rescale, the even grid, the
// monotone interpolants) reproduces numpy's and scipy's doubles exactly; values that go through exp/log
// agree to rounding.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/interp.hpp"
#include "core/numeric.hpp"
#include "core/status.hpp"

namespace vexil::core {

// A marginal as plain arrays. After cleaning: at least 3 points, x ascending (a NaN x sorts last),
// every y > 0 and y / max(y) > kEps.
struct Marginal {
  std::vector<double> x, y;
};

// ---------------------------------------------------------------------------------------------------
// Cleaning, in pieces (so that the sort permutation can come from numpy) and whole.

// Keeps the points whose density is not NaN.
void drop_nan_density(const double* x, const double* y, std::size_t n, std::vector<double>& xo,
                      std::vector<double>& yo);
// True when sorting x has a single answer (no two equal values, -0.0 and 0.0 counting as equal, and at
// most one NaN), so that any correct sort gives numpy.argsort's permutation.
bool sort_is_unique(const double* x, std::size_t n);
// An ascending argsort with NaN last; ties keep their input order. Equals numpy's only when
// sort_is_unique(x).
void stable_argsort(const double* x, std::size_t n, std::vector<std::int64_t>& order);
// Sort by the given permutation (numpy.argsort of x), then keep y > 0.0 with |y / max(y)| > kEps.
// Returns too_small when fewer than 3 points remain. Throws std::invalid_argument for an index out of
// range (a caller's bug, not bad data).
Status sort_and_filter(const double* x, const double* y, std::size_t n, const std::int64_t* order, Marginal& out);

// The argsort used when the caller has no numpy at hand: ties in their input order.
struct StableArgsort {
  void operator()(const std::vector<double>& x, std::vector<std::int64_t>& order) const {
    stable_argsort(x.data(), x.size(), order);
  }
};

// Fast path of the cleaning for a table already strictly increasing in x (no NaN x) with no NaN y: then
// the cleaning is the density filter alone. Returns false (out untouched) for any other table.
bool clean_sorted_marginal(const double* x, const double* y, std::size_t n, Marginal& out, Status& status);

// The whole cleaning. `argsort(x, order)` must fill order with numpy.argsort(x) of the NaN-free
// abscissae; it is called only when ties make the permutation depend on the sorting algorithm (the
// binding reacquires the interpreter there). Whatever it throws propagates.
template <class Argsort>
Status clean_marginal(const double* x, const double* y, std::size_t n, Marginal& out, Argsort&& argsort) {
  Status fast = Status::ok;
  if (clean_sorted_marginal(x, y, n, out, fast)) return fast;
  std::vector<double> xd, yd;
  drop_nan_density(x, y, n, xd, yd);
  if (yd.empty()) return Status::no_finite_points;
  std::vector<std::int64_t> order;
  if (sort_is_unique(xd.data(), xd.size())) {
    stable_argsort(xd.data(), xd.size(), order);
  } else {
    argsort(static_cast<const std::vector<double>&>(xd), order);
    if (order.size() != xd.size()) throw std::invalid_argument("argsort returned a permutation of the wrong size");
  }
  return sort_and_filter(xd.data(), yd.data(), xd.size(), order.data(), out);
}

inline Status clean_marginal(const double* x, const double* y, std::size_t n, Marginal& out) {
  return clean_marginal(x, y, n, out, StableArgsort{});
}

// ---------------------------------------------------------------------------------------------------
// Smoothing

// Number of grid points of the smoothing of a cleaned marginal of k points: factor * k, or the number of
// map knots (k, or k + 2 when extrapolate != 0.0, NaN included) when that is larger. Returns false when
// factor * k does not fit in 63 bits (the caller reports the size as numpy would).
bool smoothing_size(std::size_t k, double extrapolate, long long factor, std::size_t& n);

// The map of the smoothing for a cleaned marginal: its knots xk (x itself, or x widened by
// extrapolate * ptp(x) at both ends when extrapolate != 0.0, NaN included) and their coordinates t (the
// running sum of sqrt(nx * diff(xk) / mean(diff(xk))) from 0.0, rescaled onto [xk min, xk max]).
void tmap_coordinate(const Marginal& cleaned, double extrapolate, std::vector<double>& xk, std::vector<double>& t);

// The log mode of the smoothing: n abscissae (the t-map image of the even coordinate grid) and the
// interpolated log-densities there (NaN beyond the outermost support points). Fails with the
// interpolators' knot errors (duplicate x, a NaN x, a negative extrapolate, ...), in scipy's order.
struct SmoothGrid {
  std::vector<double> x, logy;
};
Status smooth_log_density(const Marginal& cleaned, double extrapolate, std::size_t n, Backend b, SmoothGrid& out);

// The density mode: exp of the log mode, then cleaned (NaN points and tiny densities dropped, sorted).
template <class Argsort>
Status smooth_density(const Marginal& cleaned, double extrapolate, std::size_t n, Backend b, Marginal& out,
                      Argsort&& argsort) {
  SmoothGrid g;
  if (Status s = smooth_log_density(cleaned, extrapolate, n, b, g); s != Status::ok) return s;
  std::vector<double> dens(g.logy.size());
  for (std::size_t i = 0; i < dens.size(); ++i) dens[i] = std::exp(g.logy[i]);
  return clean_marginal(g.x.data(), dens.data(), g.x.size(), out, argsort);
}

// ---------------------------------------------------------------------------------------------------
// Log-density function

// The log-density of a marginal as a function: lo/hi are the smallest and largest abscissa ("range"),
// fn the not-a-knot cubic (or linear) interpolant of log y, NaN outside [lo, hi].
struct LogDensity {
  double lo = 0.0, hi = 0.0;
  Interpolant fn;
  double operator()(double v) const { return fn(v); }
  void eval(const double* v, std::size_t n, double* out) const { fn.eval(v, n, out); }
};

// From an already cleaned marginal.
Status make_log_density(const Marginal& cleaned, Backend b, LogDensity& out);

// From any (x, y) table: cleaned first, as the module's log-density function does.
template <class Argsort>
Status sf_marginal(const double* x, const double* y, std::size_t n, Backend b, LogDensity& out, Argsort&& argsort) {
  Marginal m;
  if (Status s = clean_marginal(x, y, n, m, argsort); s != Status::ok) return s;
  return make_log_density(m, b, out);
}

// Resampling of a cleaned marginal of k points on linspace(min x, max x, k): exp of the cubic (or
// linear) interpolant of log y there.
Status spline_resample(const Marginal& cleaned, Backend b, std::vector<double>& gx, std::vector<double>& gy);

// ---------------------------------------------------------------------------------------------------
// The prepared marginal: what every density, distribution, quantile, expectation, interval, mode and
// transformation query starts from, computed once per call.
struct PreparedMarginal {
  Marginal smoothed;  // the default smoothing in density mode (factor 15, no widening)
  LogDensity logd;    // the log-density function of `smoothed`
};

template <class Argsort>
Status prepare_marginal(const double* x, const double* y, std::size_t n, Backend b, PreparedMarginal& out,
                        Argsort&& argsort) {
  Marginal cleaned;
  if (Status s = clean_marginal(x, y, n, cleaned, argsort); s != Status::ok) return s;
  std::size_t grid = 0;
  smoothing_size(cleaned.x.size(), 0.0, 15, grid);
  if (Status s = smooth_density(cleaned, 0.0, grid, b, out.smoothed, argsort); s != Status::ok) return s;
  return sf_marginal(out.smoothed.x.data(), out.smoothed.y.data(), out.smoothed.x.size(), b, out.logd, argsort);
}

inline Status prepare_marginal(const double* x, const double* y, std::size_t n, Backend b, PreparedMarginal& out) {
  return prepare_marginal(x, y, n, b, out, StableArgsort{});
}

}  // namespace vexil::core
