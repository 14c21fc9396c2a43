// One-dimensional interpolants: the monotone piecewise-cubic Hermite interpolant and the not-a-knot
// cubic spline, built and evaluated as scipy's PchipInterpolator(x, y, extrapolate=False) and
// CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False) do, and the linear fallback (np.interp
// with NaN on both sides) used when scipy is not available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/status.hpp"

namespace vexil::core {

// Which family of interpolants and minimiser to use: the cubic ones and the bounded minimiser (what the
// module does when scipy imports), or linear interpolation and golden-section search (when it does not).
enum class Backend { scipy, fallback };

// A piecewise cubic kept as scipy's PPoly keeps it: knots x[0] < ... < x[m] and, per interval k, the
// coefficients of (v - x[k])^3, ^2, ^1, ^0. Evaluation is NaN outside [x[0], x[m]] and for NaN.
class PiecewiseCubic {
 public:
  // Hermite data to coefficients, as CubicHermiteSpline computes them, given per interval k the spacing
  // h[k] = x[k+1] - x[k] and the slope (y[k+1] - y[k]) / h[k] (no checks: x strictly increasing, n >= 2).
  void assign_hermite(const double* x, const double* y, const double* h, const double* slope, const double* dydx,
                      std::size_t n);

  std::size_t knot_count() const { return x_.size(); }
  // Coefficient j (0 = cubic ... 3 = constant) of interval k.
  double coefficient(std::size_t j, std::size_t k) const { return c_[4 * k + j]; }

  double operator()(double v) const;
  // n points (sorted ones cost no search; see locate() in interp.cpp).
  void eval(const double* v, std::size_t n, double* out) const;

 private:
  std::vector<double> x_;
  std::unique_ptr<double[]> c_;  // c_[4k + j]: coefficient j of interval k (written in full, never zero-filled)
};

// The not-a-knot cubic spline, with scipy's checks in scipy's order (at least 2 knots, equal lengths,
// finite x, finite y, strictly increasing x), then the knot derivatives (two knots: the slope at both ends;
// three: the 3x3 system scipy hands to its dense solver, solved with the same pivoting and operation order;
// more: the tridiagonal system, eliminated as LAPACK's tridiagonal solver does, bit for bit, up to 63 knots,
// and from both ends at once from 64 knots on, which halves the time and agrees to rounding; singular_* for
// a zero pivot), then the check that those are finite.
Status build_not_a_knot(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out);

// The monotone piecewise-cubic Hermite interpolant, with scipy's derivative rules (a weighted harmonic mean
// of the neighbouring slopes inside, the three-point end formula with its sign and size limits, the one
// slope for two knots). The coefficients of an interval depend only on the knots next to it, so they are
// computed where values are asked for: per point for a few points, all at once (hermite()) for many. The
// values are the same either way, bit for bit.
class MonotoneCubic {
 public:
  // scipy's checks in scipy's order (as for the spline), then that the derivatives are finite: known without
  // computing them when the spacings and slopes lie well inside the range of doubles, else checked.
  Status build(const double* x, std::size_t nx, const double* y, std::size_t ny);

  std::size_t knot_count() const { return n_; }
  // All intervals' coefficients.
  PiecewiseCubic hermite() const;

  double operator()(double v) const;
  void eval(const double* v, std::size_t n, double* out) const;

 private:
  double derivative(std::size_t k) const;
  void coefficients(std::size_t k, double* c) const;  // interval k
  std::size_t n_ = 0;
  std::unique_ptr<double[]> data_;  // knots x and values y (n each), spacings h and slopes m (n - 1 each)
  double *x_ = nullptr, *y_ = nullptr, *h_ = nullptr, *m_ = nullptr;
  std::vector<double> d_;  // the derivatives, when the build computed them
};

// The interpolant a factory makes: the spline, the monotone cubic or the linear fallback
// (np.interp(v, x, y, left=nan, right=nan) on copies of the knots; no checks on their order, as np.interp
// makes none).
class Interpolant {
 public:
  enum class Kind { spline, monotone, linear };

  Interpolant() = default;
  explicit Interpolant(PiecewiseCubic c) : kind_(Kind::spline), spline_(std::move(c)) {}
  explicit Interpolant(MonotoneCubic c) : kind_(Kind::monotone), monotone_(std::move(c)) {}
  static Interpolant linear(const double* x, const double* y, std::size_t n);

  Kind kind() const { return kind_; }

  double operator()(double v) const;
  void eval(const double* v, std::size_t n, double* out) const;

 private:
  Kind kind_ = Kind::linear;
  PiecewiseCubic spline_;
  MonotoneCubic monotone_;
  std::vector<double> xp_, fp_;
};

// The two factories of the module: the monotone cubic (scipy) or linear (fallback), and the not-a-knot
// spline (scipy) or the same linear fallback. With the fallback only empty or unequal-length knots fail.
Status make_pchip(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out);
Status make_cubic(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out);

}  // namespace vexil::core
