// Queries on a prepared marginal (see smooth.hpp): density, distribution and quantile functions,
// expectations by Simpson's rule, highest-density intervals, the mode, the summary, and the arithmetic
// of transformed marginals. Each routine follows the module's algorithm operation for operation; values
// that pass through exp agree with numpy to rounding.
#pragma once

#include <cstddef>
#include <vector>

#include "core/interp.hpp"
#include "core/minimise.hpp"
#include "core/smooth.hpp"
#include "core/status.hpp"

namespace vexil::core {

// ---------------------------------------------------------------------------------------------------
// Density

// Density (or log-density) at n points: exp(f(x)) (f(x)) inside the closed range [lo, hi], 0.0 (-inf)
// elsewhere and for NaN.
void density_eval(const LogDensity& f, const double* x, std::size_t n, bool log, double* out);

// ---------------------------------------------------------------------------------------------------
// Distribution and quantile functions

// The grid distribution function: xx = linspace(lo, hi, length), ef = exp(f(xx)), running trapezoid sums
// 0.5 * (ef[i] + ef[i+1]) * (xx[1] - xx[0]) after a leading 0.0, divided by the last one. length >= 2.
void grid_cdf(const LogDensity& f, std::size_t length, std::vector<double>& xx, std::vector<double>& cdf);

// Plateau thinning: for the targets 0.0 and then 1.0, of the positions whose value lies within kEps of
// the target all but the first are removed from both arrays.
void thin_plateaus(std::vector<double>& values, std::vector<double>& abscissae);

// P(X <= q): the monotone (or linear) interpolant of the grid distribution function, evaluated at q
// clipped to [lo, hi].
struct CdfFunction {
  double lo = 0.0, hi = 0.0;
  Interpolant fn;
  void eval(const double* q, std::size_t n, double* out) const;
};
Status make_cdf_function(const LogDensity& f, std::size_t length, Backend b, CdfFunction& out);

// Quantiles: the interpolant of the thinned (cdf -> x) pairs at p clipped to [0, 1]. top_p/top_x are the
// largest distribution value kept by the thinning and its grid point. With mend_top, probabilities at or
// above top_p give top_x exactly (without it, those above top_p give NaN, as the interpolant does not
// extrapolate, and top_p itself gives top_x to rounding); everything below goes through the interpolant.
struct QuantileFunction {
  Interpolant fn;
  double top_p = 0.0, top_x = 0.0;
  void eval(const double* p, std::size_t n, double* out, bool mend_top) const;
  double operator()(double p, bool mend_top) const;
};
Status make_quantile_function(const LogDensity& f, std::size_t length, Backend b, QuantileFunction& out);

// ---------------------------------------------------------------------------------------------------
// Expectation

// The trapezoid node weights 0.5 * (dx[i] + dx[i-1]) (a missing neighbour counts 0.0); n == 0 gives the
// single weight 0.0, as the module's helper does on an empty grid.
std::vector<double> simpson_odd_grid(const double* x, std::size_t n);

// The smoothed grid an expectation sums over: x and w = y * simpson_odd_grid(x), the last point dropped
// when the count is even.
struct ExpectationGrid {
  std::vector<double> x, w;
};
void make_expectation_grid(const Marginal& smoothed, ExpectationGrid& out);

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
// Highest-density intervals

// The running-sum distribution function of the interval search: abscissae xx[0] - dx, xx..., xx[-1] + dx;
// values cumsum(0.0, ef..., 0.0) divided by the last one.
void hpd_cdf(const LogDensity& f, std::size_t length, std::vector<double>& abscissae, std::vector<double>& values);
// Its inverse after plateau thinning (monotone interpolant of values -> abscissae). length >= 2.
Status make_hpd_inverse(const LogDensity& f, std::size_t length, Backend b, Interpolant& out);
// The shortest interval holding the mass `level` (clipped to [0, 1]): the lower-tail mass x0 in
// [0, 1 - level] minimising F_inv(level + x0) - F_inv(x0), found by the backend's minimiser with tol
// 1e-6, then both ends clamped into [lo, hi] (a NaN end becomes hi). A NaN level fails with
// bounds_not_finite under both backends.
Status hpd_interval(const Interpolant& inv, double lo, double hi, double level, Backend b, double& low, double& high);

// ---------------------------------------------------------------------------------------------------
// Mode and summary

// The 99 probability levels 0.01, 0.02, ..., 0.99 of the coarse mode search (np.arange(0.01, 1.0, 0.01)).
std::vector<double> mode_levels();
// The bracket of the refinement: the quantile points next to the first maximum of the log-densities.
void mode_bracket(const double* x, const double* logd, std::size_t n, double& a, double& b);
// The mode: log-densities at the quantiles of mode_levels(), the bracket around the largest, then the
// backend's minimiser of -log density with tol 1e-6. q must be built with length 2048.
Status marginal_mode(const LogDensity& f, const QuantileFunction& q, Backend b, bool mend_top, double& mode);

struct Summary {
  double mean = 0.0, sd = 0.0;
  double quant[5] = {0, 0, 0, 0, 0};  // at 0.025, 0.25, 0.5, 0.75, 0.975
  double mode = 0.0;
};
// Mean and sd from the first two moments (sd = sqrt(max(0, m2 - mean^2))), the five quantiles and the
// mode. q must be built with length 2048.
Status summarise(const ExpectationGrid& g, const LogDensity& f, const QuantileFunction& q, Backend b, bool mend_top,
                 Summary& out);

// ---------------------------------------------------------------------------------------------------
// Transformations

// Arguments of the five-point stencil with step h: x + h*2, x + h, x - h, x - h*2.
void five_point_arguments(const double* x, std::size_t n, double h, double* xp2, double* xp1, double* xm1,
                          double* xm2);
// ((-f1 + 8 f2) - 8 f3 + f4) / (h*12), element-wise.
void five_point_combine(const double* f1, const double* f2, const double* f3, const double* f4, std::size_t n,
                        double h, double* out);
// The Jacobian of a transformation: clip(|d|, 1e-12, inf) (NaN stays NaN).
void jacobian_floor(const double* d, std::size_t n, double* out);
// The probabilities k / (n + 1.0), k = 1..n, of the quantile grid of a transformation.
std::vector<double> transform_levels(std::size_t n);
// Reverses both arrays when x[0] > x[n-1] (a decreasing transformation); returns whether it did.
bool reverse_if_decreasing(std::vector<double>& x, std::vector<double>& dens);

}  // namespace vexil::core
