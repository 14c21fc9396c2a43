// Cleaning a marginal (x, y table) and the coordinate of its log-density smoothing.
//
// clean_marginal   NaN densities dropped, sorted by x, non-positive and relatively tiny densities dropped.
// smoothing_size   the number of points of the smoothing grid.
// tmap_coordinate  the "nonuniform t-map": a coordinate t that evens out the spacing of the points.
//
// The extension module composes these with the interpolants (interp.hpp) step by step, in the order of
// its Python-level algorithm. The coordinate reproduces numpy's doubles exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/status.hpp"

namespace vexil::core {

// A marginal as plain arrays. After cleaning: at least 3 points, x ascending (a NaN x sorts last),
// every y > 0 and y / max(y) > eps.
struct Marginal {
  std::vector<double> x, y;
};

// ---------------------------------------------------------------------------------------------------
// Cleaning, in pieces (so that the sort permutation can come from numpy) and whole. `eps` is the
// relative density cut-off (the module's _EPS).

// Keeps the points whose density is not NaN.
void drop_nan_density(const double* x, const double* y, std::size_t n, std::vector<double>& xo,
                      std::vector<double>& yo);
// True when sorting x has a single answer (no two equal values, -0.0 and 0.0 counting as equal, and at
// most one NaN), so that any correct sort gives numpy.argsort's permutation.
bool sort_is_unique(const double* x, std::size_t n);
// An ascending argsort with NaN last; ties keep their input order. Equals numpy's only when
// sort_is_unique(x).
void stable_argsort(const double* x, std::size_t n, std::vector<std::int64_t>& order);
// Sort by the given permutation (numpy.argsort of x), then keep y > 0.0 with |y / max(y)| > eps.
// Returns too_small when fewer than 3 points remain. Throws std::invalid_argument for an index out of
// range (a caller's bug, not bad data).
Status sort_and_filter(const double* x, const double* y, std::size_t n, const std::int64_t* order, double eps,
                       Marginal& out);

// The argsort used when the caller has no numpy at hand: ties in their input order.
struct StableArgsort {
  void operator()(const std::vector<double>& x, std::vector<std::int64_t>& order) const {
    stable_argsort(x.data(), x.size(), order);
  }
};

// Fast path of the cleaning for a table already strictly increasing in x (no NaN x): then the cleaning is
// the density filter alone. Returns false (out untouched) for any other table.
bool clean_sorted_marginal(const double* x, const double* y, std::size_t n, double eps, Marginal& out,
                           Status& status);

// The whole cleaning. `argsort(x, order)` must fill order with numpy.argsort(x) of the NaN-free
// abscissae; it is called only when ties make the permutation depend on the sorting algorithm (the
// binding reacquires the interpreter there). Whatever it throws propagates.
template <class Argsort>
Status clean_marginal(const double* x, const double* y, std::size_t n, double eps, Marginal& out,
                      Argsort&& argsort) {
  Status fast = Status::ok;
  if (clean_sorted_marginal(x, y, n, eps, out, fast)) return fast;
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
  return sort_and_filter(xd.data(), yd.data(), xd.size(), order.data(), eps, out);
}

inline Status clean_marginal(const double* x, const double* y, std::size_t n, double eps, Marginal& out) {
  return clean_marginal(x, y, n, eps, out, StableArgsort{});
}

// ---------------------------------------------------------------------------------------------------
// Smoothing

// Number of grid points of the smoothing of a cleaned marginal of k points: factor * k, or the number of
// map knots (k, or k + 2 when extrapolate != 0.0, NaN included) when that is larger. Returns false when
// factor * k does not fit in 63 bits (the caller reports the size as numpy would).
bool smoothing_size(std::size_t k, double extrapolate, long long factor, std::size_t& n);

// The knots of the t-map of a cleaned marginal (x ascending, k >= 1 points), as numpy computes them:
//   xk  x itself, or [x.min() - e*r, x..., x.max() + e*r] when extrapolate e != 0.0 (NaN counts as
//       different), r = np.ptp(x);
//   t   the running sum of sqrt(nx * diff(xk) / mean(diff(xk))) from 0.0, rescaled affinely onto
//       [xk.min(), xk.max()] (the widened range).
void tmap_coordinate(const double* x, std::size_t k, double extrapolate, std::vector<double>& xk,
                     std::vector<double>& t);

}  // namespace vexil::core
