#include "core/interp.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include "core/numeric.hpp"

namespace vexil::core {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool all_finite(const double* a, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(a[i])) return false;
  return true;
}
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Piecewise cubic

namespace {
// The coefficients of CubicHermiteSpline, interval by interval (a separate function with restrict-qualified
// pointers so that the loop vectorises).
void hermite_coefficients(const double* __restrict x, const double* __restrict y, const double* __restrict dydx,
                          std::size_t m, double* __restrict c0, double* __restrict c1, double* __restrict c2,
                          double* __restrict c3) {
  for (std::size_t k = 0; k < m; ++k) {
    const double dx = x[k + 1] - x[k];
    const double slope = (y[k + 1] - y[k]) / dx;
    const double t = (dydx[k] + dydx[k + 1] - 2.0 * slope) / dx;
    c0[k] = t / dx;
    c1[k] = (slope - dydx[k]) / dx - t;
    c2[k] = dydx[k];
    c3[k] = y[k];
  }
}
}  // namespace

void PiecewiseCubic::assign_hermite(const double* x, const double* y, const double* dydx, std::size_t n) {
  x_.assign(x, x + n);
  const std::size_t m = n - 1;
  for (auto& c : c_) c.resize(m);
  hermite_coefficients(x_.data(), y, dydx, m, c_[0].data(), c_[1].data(), c_[2].data(), c_[3].data());
}

// The local polynomial of interval i at v, summed as scipy's evaluator sums it (powers, lowest first).
inline double PiecewiseCubic::poly(std::size_t i, double v) const {
  const double s = v - x_[i];
  double res = 0.0;
  double z = 1.0;
  res = res + c_[3][i] * z;
  z *= s;
  res = res + c_[2][i] * z;
  z *= s;
  res = res + c_[1][i] * z;
  z *= s;
  res = res + c_[0][i] * z;
  return res;
}

double PiecewiseCubic::operator()(double v) const {
  const double* x = x_.data();
  const std::size_t n = x_.size();
  if (n < 2 || !(x[0] <= v && v <= x[n - 1])) return kNaN;  // outside, or NaN (or nothing built)
  // The interval whose left knot is the last knot <= v; the last interval at the last knot.
  std::size_t i = static_cast<std::size_t>(std::upper_bound(x, x + n, v) - x) - 1;
  if (i > n - 2) i = n - 2;
  return poly(i, v);
}

void PiecewiseCubic::eval(const double* v, std::size_t n, double* out) const {
  const double* x = x_.data();
  const std::size_t nk = x_.size();
  if (nk < 2) {
    std::fill(out, out + n, kNaN);
    return;
  }
  const std::size_t last = nk - 2;  // last interval
  const double lo = x[0], hi = x[nk - 1];
  std::size_t i = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double u = v[j];
    if (!(lo <= u && u <= hi)) {
      out[j] = kNaN;
      continue;
    }
    if (u < x[i]) {
      i = static_cast<std::size_t>(std::upper_bound(x, x + nk, u) - x) - 1;
    } else {
      while (i < last && x[i + 1] <= u) ++i;
    }
    if (i > last) i = last;
    out[j] = poly(i, u);
  }
}

// ---------------------------------------------------------------------------------------------------
// Checks and derivatives

Status check_knots(const double* x, std::size_t nx, const double* y, std::size_t ny) {
  if (nx < 2) return Status::x_too_few;
  if (nx != ny) return Status::length_mismatch;
  if (!all_finite(x, nx)) return Status::x_not_finite;
  if (!all_finite(y, ny)) return Status::y_not_finite;
  for (std::size_t i = 0; i + 1 < nx; ++i)
    if (x[i + 1] - x[i] <= 0.0) return Status::x_not_increasing;
  return Status::ok;
}

namespace {

// End-point derivative of the monotone interpolant (three-point formula, then its two limits).
double pchip_edge(double h0, double h1, double m0, double m1) {
  double d = ((2.0 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
  const bool wrong_sign = np_sign(d) != np_sign(m0);
  const bool too_big = (np_sign(m0) != np_sign(m1)) && (std::fabs(d) > 3.0 * std::fabs(m0));
  if (wrong_sign) {
    d = 0.0;
  } else if (too_big) {
    d = 3.0 * m0;
  }
  return d;
}

}  // namespace

void pchip_derivatives(const double* x, const double* y, std::size_t n, double* d) {
  std::vector<double> h(n - 1), m(n - 1);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    h[k] = x[k + 1] - x[k];
    m[k] = (y[k + 1] - y[k]) / h[k];
  }
  if (n == 2) {
    d[0] = m[0];
    d[1] = m[0];
    return;
  }
  // Inside: the weighted harmonic mean of the neighbouring slopes, then 0 where they differ in sign or
  // either is 0 (or NaN). Two branch-free passes, so that both loops vectorise; the values are the same.
  const double* __restrict hh = h.data();
  const double* __restrict mm = m.data();
  double* __restrict dd = d;
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const double w1 = 2.0 * hh[k] + hh[k - 1];
    const double w2 = hh[k] + 2.0 * hh[k - 1];
    dd[k] = 1.0 / ((w1 / mm[k - 1] + w2 / mm[k]) / (w1 + w2));
  }
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const double ma = mm[k - 1], mb = mm[k];
    const bool same_sign = ((ma > 0.0) & (mb > 0.0)) | ((ma < 0.0) & (mb < 0.0));
    dd[k] = same_sign ? dd[k] : 0.0;
  }
  d[0] = pchip_edge(h[0], h[1], m[0], m[1]);
  d[n - 1] = pchip_edge(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
}

namespace {

// LAPACK's tridiagonal solver with partial pivoting (one right-hand side): dl, d, du are the sub-, main
// and super-diagonal, b the right-hand side, overwritten by the solution. Returns false on a zero pivot.
bool tridiagonal_solve(std::vector<double>& dl, std::vector<double>& d, std::vector<double>& du,
                       std::vector<double>& b) {
  const std::size_t n = d.size();
  for (std::size_t i = 0; i + 2 < n; ++i) {
    if (std::fabs(d[i]) >= std::fabs(dl[i])) {
      if (d[i] == 0.0) return false;
      const double fact = dl[i] / d[i];
      d[i + 1] = d[i + 1] - fact * du[i];
      b[i + 1] = b[i + 1] - fact * b[i];
      dl[i] = 0.0;
    } else {
      const double fact = d[i] / dl[i];
      d[i] = dl[i];
      const double temp = d[i + 1];
      d[i + 1] = du[i] - fact * temp;
      dl[i] = du[i + 1];
      du[i + 1] = -fact * dl[i];
      du[i] = temp;
      const double tb = b[i];
      b[i] = b[i + 1];
      b[i + 1] = tb - fact * b[i + 1];
    }
  }
  if (n > 1) {
    const std::size_t i = n - 2;
    if (std::fabs(d[i]) >= std::fabs(dl[i])) {
      if (d[i] == 0.0) return false;
      const double fact = dl[i] / d[i];
      d[i + 1] = d[i + 1] - fact * du[i];
      b[i + 1] = b[i + 1] - fact * b[i];
    } else {
      const double fact = d[i] / dl[i];
      d[i] = dl[i];
      const double temp = d[i + 1];
      d[i + 1] = du[i] - fact * temp;
      du[i] = temp;
      const double tb = b[i];
      b[i] = b[i + 1];
      b[i + 1] = tb - fact * b[i + 1];
    }
  }
  if (d[n - 1] == 0.0) return false;
  b[n - 1] = b[n - 1] / d[n - 1];
  if (n > 1) b[n - 2] = (b[n - 2] - du[n - 2] * b[n - 1]) / d[n - 2];
  for (std::size_t i = n - 2; i-- > 0;) b[i] = (b[i] - du[i] * b[i + 1] - dl[i] * b[i + 2]) / d[i];
  return true;
}

// The 3x3 dense solve: LU with partial pivoting, left-looking, then the two triangular solves, with the
// operation order (and the fused multiply-adds) of the optimised BLAS kernels that scipy's solver runs
// on FMA-capable x86-64 machines. a is row-major.
bool dense3_solve(double a[3][3], double b[3]) {
  int piv[3] = {0, 1, 2};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < j; ++i)
      if (piv[i] != i) std::swap(a[i][j], a[piv[i]][j]);
    for (int i = 1; i < j; ++i) {
      double dot = 0.0;
      for (int k = 0; k < i; ++k) dot = std::fma(a[i][k], a[k][j], dot);
      a[i][j] -= dot;
    }
    if (j > 0) {
      for (int i = j; i < 3; ++i) {
        double t = 0.0;
        for (int k = 0; k < j; ++k) t = std::fma(a[i][k], a[k][j], t);
        a[i][j] = std::fma(-1.0, t, a[i][j]);
      }
    }
    int jp = j;
    for (int i = j + 1; i < 3; ++i)
      if (std::fabs(a[i][j]) > std::fabs(a[jp][j])) jp = i;
    piv[j] = jp;
    const double p = a[jp][j];
    if (p == 0.0) return false;
    if (jp != j)
      for (int k = 0; k <= j; ++k) std::swap(a[j][k], a[jp][k]);
    if (std::fabs(p) >= DBL_MIN) {
      const double r = 1.0 / p;
      for (int i = j + 1; i < 3; ++i) a[i][j] *= r;
    } else {
      for (int i = j + 1; i < 3; ++i) a[i][j] /= p;
    }
  }
  for (int i = 0; i < 3; ++i)
    if (piv[i] != i) std::swap(b[i], b[piv[i]]);
  for (int i = 0; i < 3; ++i) {
    const double t = -b[i];
    for (int k = i + 1; k < 3; ++k) b[k] = std::fma(t, a[k][i], b[k]);
  }
  for (int i = 2; i >= 0; --i) {
    b[i] /= a[i][i];
    const double t = -b[i];
    for (int k = 0; k < i; ++k) b[k] = std::fma(t, a[k][i], b[k]);
  }
  return true;
}

}  // namespace

Status not_a_knot_derivatives(const double* x, const double* y, std::size_t n, double* d) {
  std::vector<double> dx(n - 1), slope(n - 1);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    dx[k] = x[k + 1] - x[k];
    slope[k] = (y[k + 1] - y[k]) / dx[k];
  }
  if (n == 3) {
    double a[3][3] = {{1.0, 1.0, 0.0}, {dx[1], 2.0 * (dx[0] + dx[1]), dx[0]}, {0.0, 1.0, 1.0}};
    double b[3] = {2.0 * slope[0], 3.0 * (dx[0] * slope[1] + dx[1] * slope[0]), 2.0 * slope[1]};
    if (!dense3_solve(a, b)) return Status::singular_dense;
    d[0] = b[0];
    d[1] = b[1];
    d[2] = b[2];
    return Status::ok;
  }
  // Banded system: row 0 and row n-1 carry the end conditions.
  std::vector<double> dl(n - 1, 0.0), dd(n, 0.0), du(n - 1, 0.0), b(n, 0.0);
  for (std::size_t i = 1; i + 1 < n; ++i) {
    dd[i] = 2.0 * (dx[i - 1] + dx[i]);
    du[i] = dx[i - 1];
    dl[i - 1] = dx[i];
    b[i] = 3.0 * (dx[i] * slope[i - 1] + dx[i - 1] * slope[i]);
  }
  if (n == 2) {
    // Both ends take the first derivative equal to the one slope.
    dd[0] = 1.0;
    du[0] = 0.0;
    b[0] = slope[0];
    dd[1] = 1.0;
    dl[0] = 0.0;
    b[1] = slope[0];
  } else {
    const double d0 = x[2] - x[0];
    dd[0] = dx[1];
    du[0] = d0;
    b[0] = ((dx[0] + 2.0 * d0) * dx[1] * slope[0] + (dx[0] * dx[0]) * slope[1]) / d0;
    const double d1 = x[n - 1] - x[n - 3];
    dd[n - 1] = dx[n - 3];
    dl[n - 2] = d1;
    b[n - 1] = ((dx[n - 2] * dx[n - 2]) * slope[n - 3] + (2.0 * d1 + dx[n - 2]) * dx[n - 3] * slope[n - 2]) / d1;
  }
  if (!tridiagonal_solve(dl, dd, du, b)) return Status::singular_banded;
  std::copy(b.begin(), b.end(), d);
  return Status::ok;
}

Status build_pchip(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out) {
  if (Status s = check_knots(x, nx, y, ny); s != Status::ok) return s;
  std::vector<double> d(nx);
  pchip_derivatives(x, y, nx, d.data());
  if (!all_finite(d.data(), nx)) return Status::dydx_not_finite;
  out.assign_hermite(x, y, d.data(), nx);
  return Status::ok;
}

Status build_not_a_knot(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out) {
  if (Status s = check_knots(x, nx, y, ny); s != Status::ok) return s;
  std::vector<double> d(nx);
  if (Status s = not_a_knot_derivatives(x, y, nx, d.data()); s != Status::ok) return s;
  if (!all_finite(d.data(), nx)) return Status::dydx_not_finite;
  out.assign_hermite(x, y, d.data(), nx);
  return Status::ok;
}

// ---------------------------------------------------------------------------------------------------
// Interpolant

Interpolant Interpolant::linear(const double* x, const double* y, std::size_t n) {
  Interpolant r;
  r.kind_ = Kind::linear;
  r.xp_.assign(x, x + n);
  r.fp_.assign(y, y + n);
  return r;
}

double Interpolant::operator()(double v) const {
  if (kind_ == Kind::cubic) return cubic_(v);
  if (xp_.empty()) return kNaN;  // nothing built
  std::ptrdiff_t guess = 0;
  return np_interp_one(v, xp_.data(), fp_.data(), xp_.size(), kNaN, kNaN, guess);
}

void Interpolant::eval(const double* v, std::size_t n, double* out) const {
  if (kind_ == Kind::cubic) {
    cubic_.eval(v, n, out);
  } else if (!np_interp(v, n, xp_.data(), fp_.data(), xp_.size(), kNaN, kNaN, out)) {
    std::fill(out, out + n, kNaN);  // nothing built
  }
}

namespace {
Status make_linear(const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out) {
  if (nx == 0) return Status::interp_empty;
  if (nx != ny) return Status::interp_length;
  out = Interpolant::linear(x, y, nx);
  return Status::ok;
}
}  // namespace

Status make_pchip(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out) {
  if (b == Backend::fallback) return make_linear(x, nx, y, ny, out);
  PiecewiseCubic c;
  if (Status s = build_pchip(x, nx, y, ny, c); s != Status::ok) return s;
  out = Interpolant(std::move(c));
  return Status::ok;
}

Status make_cubic(Backend b, const double* x, std::size_t nx, const double* y, std::size_t ny, Interpolant& out) {
  if (b == Backend::fallback) return make_linear(x, nx, y, ny, out);
  PiecewiseCubic c;
  if (Status s = build_not_a_knot(x, nx, y, ny, c); s != Status::ok) return s;
  out = Interpolant(std::move(c));
  return Status::ok;
}

}  // namespace vexil::core
