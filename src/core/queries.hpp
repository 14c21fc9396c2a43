// Building blocks of the queries on a smoothed marginal: density, the distribution functions and their
// plateau thinning, the quantile mend, Simpson expectations, the mode search's levels and bracket, and the
// arithmetic of transformed marginals. The extension module composes them in the order of its
// Python-level algorithms; values that pass through exp agree with numpy to rounding.
#pragma once

#include <cstddef>
#include <vector>

#include "core/interp.hpp"
#include "core/smooth.hpp"
#include "core/status.hpp"

namespace vexil::core {

// ---------------------------------------------------------------------------------------------------
// Density

// The log-density of a smoothed marginal: the not-a-knot cubic (or linear) interpolant of its log y, and
// its range [lo, hi] (the smallest and largest abscissa).
struct LogDensity {
  double lo = 0.0, hi = 0.0;
  Interpolant fn;
};

// exp of n values into out (in == out allowed); the caller may supply the exact loop its results must agree
// with (the extension module passes numpy's).
using VectorExp = void (*)(const double* in, double* out, std::size_t n) noexcept;
// The C library's exp, value by value.
void std_exp(const double* in, double* out, std::size_t n) noexcept;

// Density (or log-density) at n points: exp(f(x)) (f(x)) inside the closed range, 0.0 (-inf) elsewhere
// and for NaN.
void density_eval(const LogDensity& f, const double* x, std::size_t n, bool log, double* out,
                  VectorExp exp = std_exp);

// ---------------------------------------------------------------------------------------------------
// Distribution and quantile functions

// The grid distribution function from the densities ef on the even grid xx (n >= 2): running trapezoid
// sums 0.5 * (ef[i] + ef[i+1]) * (xx[1] - xx[0]) after a leading 0.0, divided by the last one.
void trapezoid_cdf(const double* xx, const double* ef, std::size_t n, double* cdf);

// The running-sum distribution function of the interval search, from the densities ef on the even grid
// xx (n >= 2): abscissae xx[0] - dx, xx..., xx[n-1] + dx; values cumsum(0.0, ef..., 0.0) divided by the
// last one.
void hpd_cdf(const double* xx, const double* ef, std::size_t n, std::vector<double>& abscissae,
             std::vector<double>& values);

// Plateau thinning: for the targets 0.0 and then 1.0, of the positions whose value lies within eps of
// the target all but the first are removed from both arrays.
void thin_plateaus(std::vector<double>& values, std::vector<double>& abscissae, double eps);

// The mend at the top of the quantile function: probabilities at or above the largest distribution value
// kept by the thinning (p) give its grid point (x), where the interpolant, which does not extrapolate,
// would give NaN above it.
struct QuantileTop {
  double p = 0.0, x = 0.0;
  bool applies(double prob) const { return prob >= p; }
  // out[i] = x wherever applies(probs[i]).
  void mend(const double* probs, std::size_t n, double* out) const;
};

// ---------------------------------------------------------------------------------------------------
// Expectation

// The trapezoid node weights 0.5 * (dx[i] + dx[i-1]) (a missing neighbour counts 0.0); n == 0 gives the
// single weight 0.0, as the module's helper does on an empty grid.
std::vector<double> simpson_odd_grid(const double* x, std::size_t n);

// The grid an expectation sums over: x and w = y * simpson_odd_grid(x), the last point dropped when the
// count is even.
struct ExpectationGrid {
  std::vector<double> x, w;
};
void make_expectation_grid(const double* x, const double* y, std::size_t n, ExpectationGrid& out);

// The Simpson combination a[0] + a[n-1] + 4.0 * (sum of odd positions) + 2.0 * (sum of even interior
// positions), per column of a row-major (n, k) array. The position sums are numpy's sums over the
// gathered rows: pairwise for one column, running sums from 0.0 for two or more.
void simpson_sum(const double* a, std::size_t n, std::size_t k, double* out);

// E[fun(X)]: fvals holds fun(x) row-major with `rows` rows of k values. one_dim: fun returned a 1-D array
// (rows values, k == 1), taken as a column; rows must then be n or 1 (numpy broadcasts a single value).
// Otherwise rows must equal n, else fun_shape. out receives k ratios numer / denom.
Status expectation(const ExpectationGrid& g, const double* fvals, std::size_t rows, std::size_t k, bool one_dim,
                   double* out);

// ---------------------------------------------------------------------------------------------------
// Mode

// The 99 probability levels 0.01, 0.02, ..., 0.99 of the coarse mode search (np.arange(0.01, 1.0, 0.01)).
std::vector<double> mode_levels();
// The bracket of the refinement: the quantile points next to the first maximum of the log-densities.
void mode_bracket(const double* x, const double* logd, std::size_t n, double& a, double& b);

// ---------------------------------------------------------------------------------------------------
// Transformations

// ((-f1 + 8 f2) - 8 f3 + f4) / (h*12), element-wise: the five-point derivative from the values at
// x + h*2, x + h, x - h, x - h*2.
void five_point_combine(const double* f1, const double* f2, const double* f3, const double* f4, std::size_t n,
                        double h, double* out);
// The Jacobian of a transformation: clip(|d|, 1e-12, inf) (NaN stays NaN).
void jacobian_floor(const double* d, std::size_t n, double* out);
// The probabilities k / (n + 1.0), k = 1..n, of the quantile grid of a transformation.
std::vector<double> transform_levels(std::size_t n);

}  // namespace vexil::core
