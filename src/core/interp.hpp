// One-dimensional interpolants: the monotone piecewise-cubic Hermite interpolant and the not-a-knot
// cubic spline, built and evaluated as scipy's PchipInterpolator(x, y, extrapolate=False) and
// CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False) do, and the linear fallback (np.interp
// with NaN on both sides) used when scipy is not available.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/status.hpp"

namespace vexil::core {

// Which family of interpolants and minimiser to use: the cubic ones and the bounded minimiser (what the
// module does when scipy imports), or linear interpolation and golden-section search (when it does not).
enum class Backend { scipy, fallback };

// A piecewise cubic kept as scipy's PPoly keeps it: knots x[0] < ... < x[m] and, per interval k, the
// coefficients of (v - x[k])^3, ^2, ^1, ^0. Evaluation is NaN outside [x[0], x[m]] and for NaN; a value
// belongs to the interval whose left knot is the last knot <= it (the last interval at x[m]); the
// polynomial is summed by powers, lowest first, exactly as scipy's evaluator does.
class PiecewiseCubic {
 public:
  // Hermite data to coefficients, as CubicHermiteSpline computes them (no checks: x strictly
  // increasing, n >= 2).
  void assign_hermite(const double* x, const double* y, const double* dydx, std::size_t n);

  std::size_t knot_count() const { return x_.size(); }
  const std::vector<double>& knots() const { return x_; }
  // Coefficient j (0 = cubic ... 3 = constant) of interval k.
  double coefficient(std::size_t j, std::size_t k) const { return c_[j][k]; }

  // One point: a binary search for its interval.
  double operator()(double v) const;
  // n points; ascending runs of points are walked through the intervals without searching.
  void eval(const double* v, std::size_t n, double* out) const;

 private:
  double poly(std::size_t i, double v) const;
  std::vector<double> x_;
  std::vector<double> c_[4];  // c_[j][k]: coefficient j of interval k
};

// Knot checks shared by both cubic builders, in scipy's order: at least 2 knots, equal lengths, finite
// x, finite y, strictly increasing x.
Status check_knots(const double* x, std::size_t nx, const double* y, std::size_t ny);

// The monotone interpolant's knot derivatives (scipy's rules: weighted harmonic mean inside, the
// three-point end formula with its sign and size limits, the one slope for two knots). No checks.
void pchip_derivatives(const double* x, const double* y, std::size_t n, double* d);
// The not-a-knot spline's knot derivatives (x checked). Two knots: the slope at both ends; three knots:
// the 3x3 system scipy hands to its dense solver, solved with the same pivoting and operation order;
// more: the tridiagonal system, eliminated as LAPACK's tridiagonal solver does. Returns singular_* when a
// pivot is exactly zero.
Status not_a_knot_derivatives(const double* x, const double* y, std::size_t n, double* d);

// Builders: knot checks, derivatives, then the check that the derivatives are finite.
Status build_pchip(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out);
Status build_not_a_knot(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out);

// Either a piecewise cubic or the linear fallback (np.interp(v, x, y, left=nan, right=nan) on copies of
// the knots; no checks on their order, as np.interp makes none).
class Interpolant {
 public:
  enum class Kind { cubic, linear };

  Interpolant() = default;
  explicit Interpolant(PiecewiseCubic c) : kind_(Kind::cubic), cubic_(std::move(c)) {}
  static Interpolant linear(const double* x, const double* y, std::size_t n);

  Kind kind() const { return kind_; }
  const PiecewiseCubic& cubic() const { return cubic_; }
  const std::vector<double>& linear_x() const { return xp_; }
  const std::vector<double>& linear_y() const { return fp_; }

  double operator()(double v) const;
  void eval(const double* v, std::size_t n, double* out) const;

 private:
  Kind kind_ = Kind::linear;
  PiecewiseCubic cubic_;
  std::vector<double> xp_, fp_;
};

// The two factories of the module: the monotone cubic (scipy) or linear (fallback), and the not-a-knot
// spline (scipy) or the same linear fallback. With the fallback only empty or unequal-length knots fail.
Status make_pchip(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out);
Status make_cubic(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out);

}  // namespace vexil::core
