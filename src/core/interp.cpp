#include "core/interp.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "core/numeric.hpp"

namespace vexil::core {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The scans below keep their flag in a double and never leave early, so that their loops vectorise.
bool all_finite(const double* a, std::size_t n) {
  double bad = 0.0;
  for (std::size_t i = 0; i < n; ++i) bad = std::fabs(a[i]) <= DBL_MAX ? bad : 1.0;  // NaN compares false
  return bad == 0.0;
}
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Locating values

namespace {

// Knots x[0] < ... < x[nk-1] (nk >= 2) and the interval of a value v: the one whose left knot is the last
// knot <= v, the last interval for v at the last knot (scipy's rule).

// For x[0] <= v <= x[nk-1]: a branch-free binary search (x[base] <= v throughout).
std::size_t interval_of(const double* x, std::size_t nk, double v) {
  std::size_t base = 0, len = nk;
  while (len > 1) {
    const std::size_t half = len / 2;
    base = (x[base + half] <= v) ? base + half : base;
    len -= half;
  }
  return std::min(base, nk - 2);
}

// An index of nk equal-width buckets over [x[0], x[nk-1]]: for each bucket b, first_[b] is the last knot
// of the buckets before it (0 when none), and first_[nk] = nk - 1. bucket() does not decrease as v grows,
// so every knot of an earlier bucket lies at or below any v of bucket b and every knot of a later one above
// it: v's interval lies in [first_[b], first_[b + 1]]. That range is short wherever the knots are spread
// evenly and is then counted without branches (points in random order would defeat a branch predictor);
// longer ranges (crowded knots) are searched.
class KnotBuckets {
 public:
  KnotBuckets(const double* x, std::size_t nk) : lo_(x[0]), nk_(nk), first_(nk + 1, 0) {
    scale_ = static_cast<double>(nk) / (x[nk - 1] - x[0]);
    // Count the knots of each bucket, then sum the counts: first_[b] is one less than the number of knots
    // in the buckets before b. (Straight loops: a walk bucket by bucket would branch irregularly.)
    for (std::size_t k = 0; k < nk; ++k) ++first_[bucket(x[k]) + 1];
    std::size_t below = 0;
    for (std::size_t b = 0; b <= nk; ++b) {
      below += first_[b];
      first_[b] = static_cast<std::uint32_t>(below > 0 ? below - 1 : 0);
    }
  }

  // For x[0] <= v <= x[nk-1].
  std::size_t find(const double* x, double v) const {
    const std::size_t b = bucket(v);
    const std::size_t lo = first_[b], span = first_[b + 1] - lo;
    std::size_t i = lo;
    if (span <= kShort) {
      const std::size_t top = nk_ - 1;
      for (std::size_t s = 1; s <= kShort; ++s) {
        const std::size_t k = std::min(lo + s, top);
        i += static_cast<std::size_t>((s <= span) & (x[k] <= v));
      }
    } else {
      i += interval_of(x + lo, span + 1, v);
      if (x[lo + span] <= v) i = lo + span;  // interval_of stops one short of the range's last knot
    }
    return std::min(i, nk_ - 2);
  }

 private:
  static constexpr std::size_t kShort = 4;

  std::size_t bucket(double v) const {
    const double b = (v - lo_) * scale_;
    return b < static_cast<double>(nk_) ? static_cast<std::size_t>(b) : nk_ - 1;  // NaN and inf: the last
  }

  double lo_, scale_ = 0.0;
  std::size_t nk_;
  std::vector<std::uint32_t> first_;  // knot indices (fewer than 2^32 knots)
};

// Calls at(j, i) for each point v[j] inside [x[0], x[nk-1]], i its interval, and writes NaN to out[j] for
// the others (and for NaN). Each is looked for from the interval of the point before: a walk when it lies at
// most 8 knots on (so sorted points cost no search), else a search: a binary search of all the knots (whose
// fixed number of steps the branch predictor learns, unlike a search of a variable range). Once a call has
// needed many searches and many points remain (unsorted points), every later point goes straight to the
// bucket index.
template <class At>
void locate(const double* x, std::size_t nk, const double* v, std::size_t n, double* out, At&& at) {
  const std::size_t last = nk - 2;  // last interval
  const double lo = x[0], hi = x[nk - 1];
  std::unique_ptr<KnotBuckets> buckets;
  std::size_t searches = 0;
  auto search = [&](double u, std::size_t remaining) {
    if (!buckets && ++searches > 32 && nk > 64 && nk < (std::size_t{1} << 32) && 4 * remaining >= nk) buckets.reset(new KnotBuckets(x, nk));
    return buckets ? buckets->find(x, u) : interval_of(x, nk, u);
  };
  std::size_t i = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const double u = v[j];
    if (!(lo <= u && u <= hi)) {
      out[j] = kNaN;
      continue;
    }
    if (buckets) {  // the points are not in order: no walk
      i = buckets->find(x, u);
    } else if (u < x[i]) {
      i = search(u, n - j);
    } else if (i < last && x[i + 1] <= u) {
      if (i + 8 < nk && x[i + 8] <= u) {
        i = search(u, n - j);
      } else {
        do ++i;
        while (i < last && x[i + 1] <= u);
      }
    }
    at(j, i);
  }
}

// The cubic of one interval at s = v - (its left knot), summed as scipy's evaluator sums it: powers,
// lowest first. c holds the coefficients of s^3, s^2, s, 1.
inline double cubic_at(const double* c, double s) {
  double res = 0.0;
  double z = 1.0;
  res = res + c[3] * z;
  z *= s;
  res = res + c[2] * z;
  z *= s;
  res = res + c[1] * z;
  z *= s;
  res = res + c[0] * z;
  return res;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Piecewise cubic

namespace {
// The coefficients of CubicHermiteSpline on one interval, from its spacing h, slope, end derivatives d0 and
// d1, and left value y0.
inline void hermite_interval(double h, double slope, double d0, double d1, double y0, double* c) {
  const double t = (d0 + d1 - 2.0 * slope) / h;
  c[0] = t / h;
  c[1] = (slope - d0) / h - t;
  c[2] = d0;
  c[3] = y0;
}
}  // namespace

void PiecewiseCubic::assign_hermite(const double* x, const double* y, const double* h, const double* slope,
                                    const double* dydx, std::size_t n) {
  x_.assign(x, x + n);
  const std::size_t m = n - 1;
  c_.reset(new double[4 * m]);
  double* __restrict c = c_.get();
  for (std::size_t k = 0; k < m; ++k) hermite_interval(h[k], slope[k], dydx[k], dydx[k + 1], y[k], c + 4 * k);
}

double PiecewiseCubic::operator()(double v) const {
  const std::size_t n = x_.size();
  if (n < 2 || !(x_[0] <= v && v <= x_[n - 1])) return kNaN;  // outside, or NaN (or nothing built)
  const std::size_t i = interval_of(x_.data(), n, v);
  return cubic_at(c_.get() + 4 * i, v - x_[i]);
}

void PiecewiseCubic::eval(const double* v, std::size_t n, double* out) const {
  const double* x = x_.data();
  if (x_.size() < 2) {
    std::fill(out, out + n, kNaN);
    return;
  }
  const double* c = c_.get();
  locate(x, x_.size(), v, n, out, [&](std::size_t j, std::size_t i) { out[j] = cubic_at(c + 4 * i, v[j] - x[i]); });
}

// ---------------------------------------------------------------------------------------------------
// Checks and derivatives

namespace {

Status check_knots(const double* x, std::size_t nx, const double* y, std::size_t ny) {
  if (nx < 2) return Status::x_too_few;
  if (nx != ny) return Status::length_mismatch;
  // One pass for the order and the finiteness of y. When every difference is > 0 (a NaN fails that) and
  // both end knots are finite, every knot is finite; otherwise x is scanned for the first error to report.
  double y_bad = 0.0, unordered = 0.0;
  for (std::size_t i = 0; i + 1 < nx; ++i) {
    y_bad = std::fabs(y[i]) <= DBL_MAX ? y_bad : 1.0;
    unordered = x[i + 1] - x[i] > 0.0 ? unordered : 1.0;
  }
  const bool ordered = unordered == 0.0;
  const bool ends_finite = std::fabs(x[0]) <= DBL_MAX && std::fabs(x[nx - 1]) <= DBL_MAX;
  if (!(ordered && ends_finite) && !all_finite(x, nx)) return Status::x_not_finite;
  if (y_bad != 0.0 || !(std::fabs(y[nx - 1]) <= DBL_MAX)) return Status::y_not_finite;
  return ordered ? Status::ok : Status::x_not_increasing;
}

// h[k] = x[k+1] - x[k] and slope[k] = (y[k+1] - y[k]) / h[k], k < n - 1.
void spacings_and_slopes(const double* __restrict x, const double* __restrict y, std::size_t n,
                         double* __restrict h, double* __restrict slope) {
  for (std::size_t k = 0; k + 1 < n; ++k) {
    h[k] = x[k + 1] - x[k];
    slope[k] = (y[k + 1] - y[k]) / h[k];
  }
}

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

// The monotone interpolant's derivative at an interior knot k, from the spacings and slopes next to it: the
// weighted harmonic mean of the two slopes, or 0 where they differ in sign or either is 0 (or NaN).
inline double pchip_interior(double h0, double h1, double m0, double m1) {
  if (!(((m0 > 0.0) & (m1 > 0.0)) | ((m0 < 0.0) & (m1 < 0.0)))) return 0.0;
  const double w1 = 2.0 * h1 + h0;
  const double w2 = h1 + 2.0 * h0;
  return 1.0 / ((w1 / m0 + w2 / m1) / (w1 + w2));
}

// True when every spacing lies in [2^-200, 2^200] and every slope is 0 or of size in [2^-200, 2^200]: then
// no step of the derivative rules leaves the normal range of doubles (none exceeds 2^603 in size, none
// nonzero falls below 2^-603), so every derivative is finite.
bool derivatives_surely_finite(const double* h, const double* m, std::size_t n) {
  const double lo = 0x1p-200, hi = 0x1p200;
  double bad = 0.0;
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const double a = std::fabs(m[k]);
    const bool ok = (h[k] >= lo) & (h[k] <= hi) & ((a == 0.0) | ((a >= lo) & (a <= hi)));
    bad = ok ? bad : 1.0;
  }
  return bad == 0.0;
}

// The monotone interpolant's knot derivatives, all at once (n >= 2 knots).
void pchip_derivatives(const double* __restrict h, const double* __restrict m, std::size_t n, double* __restrict d) {
  if (n == 2) {
    d[0] = m[0];
    d[1] = m[0];
    return;
  }
  // Inside: the weighted harmonic mean of the neighbouring slopes, then 0 where they differ in sign or
  // either is 0 (or NaN). Two branch-free passes, so that both loops vectorise; the values are the same.
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const double w1 = 2.0 * h[k] + h[k - 1];
    const double w2 = h[k] + 2.0 * h[k - 1];
    d[k] = 1.0 / ((w1 / m[k - 1] + w2 / m[k]) / (w1 + w2));
  }
  for (std::size_t k = 1; k + 1 < n; ++k) {
    const double ma = m[k - 1], mb = m[k];
    const bool same_sign = ((ma > 0.0) & (mb > 0.0)) | ((ma < 0.0) & (mb < 0.0));
    d[k] = same_sign ? d[k] : 0.0;
  }
  d[0] = pchip_edge(h[0], h[1], m[0], m[1]);
  d[n - 1] = pchip_edge(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
}

// LAPACK's tridiagonal solver with partial pivoting (one right-hand side): dl, d, du are the sub-, main
// and super-diagonal, b the right-hand side, overwritten by the solution. Returns false on a zero pivot.
bool tridiagonal_solve(double* dl, double* d, double* du, double* b, std::size_t n) {
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

// The same system solved from both ends at once (a twisted factorization): rows 1..m-1 are eliminated
// downwards and rows n-2..m+1 upwards in one loop, row m takes both, and the substitution runs outwards
// from it, again in one loop. Each half is a chain of dependent divisions as long as the one-sided
// solve's, but the two chains overlap, so it takes about half the time. No rows are swapped: meant for the
// spline's systems, whose inner rows are strictly diagonally dominant (2 (h[i-1] + h[i]) against h[i-1] +
// h[i]) and whose end rows lean on them. Values agree with the one-sided solve to rounding. Returns false
// (the arrays then spoilt) for a zero pivot.
bool tridiagonal_solve_two_sided(const double* dl, double* d, const double* du, double* b, std::size_t n) {
  const std::size_t m = (n - 1) / 2;  // n >= 3: 1 <= m <= n - 2
  for (std::size_t i = 1, j = n - 2; i < m || j > m;) {
    if (i < m) {
      if (d[i - 1] == 0.0) return false;
      const double w = dl[i - 1] / d[i - 1];
      d[i] = d[i] - w * du[i - 1];
      b[i] = b[i] - w * b[i - 1];
      ++i;
    }
    if (j > m) {
      if (d[j + 1] == 0.0) return false;
      const double v = du[j] / d[j + 1];
      d[j] = d[j] - v * dl[j];
      b[j] = b[j] - v * b[j + 1];
      --j;
    }
  }
  if (d[m - 1] == 0.0 || d[m + 1] == 0.0) return false;
  const double w = dl[m - 1] / d[m - 1], v = du[m] / d[m + 1];
  const double dm = (d[m] - w * du[m - 1]) - v * dl[m];
  if (dm == 0.0) return false;
  b[m] = ((b[m] - w * b[m - 1]) - v * b[m + 1]) / dm;
  for (std::size_t i = m, j = m; i > 0 || j + 1 < n;) {
    if (i > 0) {
      --i;
      b[i] = (b[i] - du[i] * b[i + 1]) / d[i];
    }
    if (j + 1 < n) {
      ++j;
      b[j] = (b[j] - dl[j - 1] * b[j - 1]) / d[j];
    }
  }
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

// Systems of at least this many rows are solved from both ends at once.
constexpr std::size_t kTwoSidedMin = 64;

// The not-a-knot spline's knot derivatives from the spacings dx and slopes (n >= 2 knots). `work` holds
// 3n doubles.
Status not_a_knot_derivatives(const double* x, const double* dx, const double* slope, std::size_t n, double* work,
                              double* d) {
  if (n == 3) {
    double a[3][3] = {{1.0, 1.0, 0.0}, {dx[1], 2.0 * (dx[0] + dx[1]), dx[0]}, {0.0, 1.0, 1.0}};
    double b[3] = {2.0 * slope[0], 3.0 * (dx[0] * slope[1] + dx[1] * slope[0]), 2.0 * slope[1]};
    if (!dense3_solve(a, b)) return Status::singular_dense;
    d[0] = b[0];
    d[1] = b[1];
    d[2] = b[2];
    return Status::ok;
  }
  // Banded system: row 0 and row n-1 carry the end conditions; the solution overwrites b, which is d.
  double* dl = work;
  double* dd = work + n;
  double* du = work + 2 * n;
  double* b = d;
  auto system = [&] {
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
  };
  system();
  // Long systems from both ends (a zero pivot there sends the system, set up afresh, to LAPACK's order).
  if (n >= kTwoSidedMin) {
    if (tridiagonal_solve_two_sided(dl, dd, du, b, n)) return Status::ok;
    system();
  }
  return tridiagonal_solve(dl, dd, du, b, n) ? Status::ok : Status::singular_banded;
}

// Scratch space of a build (spacings, slopes, derivatives and, for the spline, its banded system), left
// uninitialised: every entry is written before it is read.
std::unique_ptr<double[]> scratch(std::size_t n) { return std::unique_ptr<double[]>(new double[n]); }

}  // namespace

Status build_not_a_knot(const double* x, std::size_t nx, const double* y, std::size_t ny, PiecewiseCubic& out) {
  if (Status s = check_knots(x, nx, y, ny); s != Status::ok) return s;
  const std::size_t n = nx;
  auto work = scratch(6 * n);
  double* dx = work.get();
  double* slope = dx + n;
  double* d = slope + n;
  spacings_and_slopes(x, y, n, dx, slope);
  if (Status s = not_a_knot_derivatives(x, dx, slope, n, d + n, d); s != Status::ok) return s;
  if (!all_finite(d, n)) return Status::dydx_not_finite;
  out.assign_hermite(x, y, dx, slope, d, n);
  return Status::ok;
}

// ---------------------------------------------------------------------------------------------------
// Monotone cubic

Status MonotoneCubic::build(const double* x, std::size_t nx, const double* y, std::size_t ny) {
  if (Status s = check_knots(x, nx, y, ny); s != Status::ok) return s;
  const std::size_t n = nx;
  n_ = n;
  data_.reset(new double[4 * n - 2]);
  x_ = data_.get();
  y_ = x_ + n;
  h_ = y_ + n;
  m_ = h_ + (n - 1);
  std::copy(x, x + n, x_);
  std::copy(y, y + n, y_);
  spacings_and_slopes(x, y, n, h_, m_);
  d_.clear();
  if (!derivatives_surely_finite(h_, m_, n)) {
    d_.resize(n);
    pchip_derivatives(h_, m_, n, d_.data());
    if (!all_finite(d_.data(), n)) return Status::dydx_not_finite;
  }
  return Status::ok;
}

double MonotoneCubic::derivative(std::size_t k) const {
  if (!d_.empty()) return d_[k];
  const std::size_t n = n_;
  const double* h = h_;
  const double* m = m_;
  if (n == 2) return m[0];
  if (k == 0) return pchip_edge(h[0], h[1], m[0], m[1]);
  if (k == n - 1) return pchip_edge(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
  return pchip_interior(h[k - 1], h[k], m[k - 1], m[k]);
}

void MonotoneCubic::coefficients(std::size_t k, double* c) const {
  hermite_interval(h_[k], m_[k], derivative(k), derivative(k + 1), y_[k], c);
}

PiecewiseCubic MonotoneCubic::hermite() const {
  PiecewiseCubic p;
  const std::size_t n = n_;
  if (n < 2) return p;
  if (d_.empty()) {
    std::unique_ptr<double[]> d(new double[n]);
    pchip_derivatives(h_, m_, n, d.get());
    p.assign_hermite(x_, y_, h_, m_, d.get(), n);
  } else {
    p.assign_hermite(x_, y_, h_, m_, d_.data(), n);
  }
  return p;
}

double MonotoneCubic::operator()(double v) const {
  const std::size_t n = n_;
  if (n < 2 || !(x_[0] <= v && v <= x_[n - 1])) return kNaN;  // outside, or NaN (or nothing built)
  const std::size_t i = interval_of(x_, n, v);
  double c[4];
  coefficients(i, c);
  return cubic_at(c, v - x_[i]);
}

void MonotoneCubic::eval(const double* v, std::size_t n, double* out) const {
  const std::size_t nk = n_;
  if (nk < 2) {
    std::fill(out, out + n, kNaN);
    return;
  }
  if (4 * n >= nk) {  // many points: all coefficients first
    hermite().eval(v, n, out);
    return;
  }
  const double* x = x_;
  std::size_t have = nk;  // the interval whose coefficients c holds
  double c[4];
  locate(x, nk, v, n, out, [&](std::size_t j, std::size_t i) {
    if (i != have) {
      coefficients(i, c);
      have = i;
    }
    out[j] = cubic_at(c, v[j] - x[i]);
  });
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
  if (kind_ == Kind::spline) return spline_(v);
  if (kind_ == Kind::monotone) return monotone_(v);
  if (xp_.empty()) return kNaN;  // nothing built
  std::ptrdiff_t guess = 0;
  return np_interp_one(v, xp_.data(), fp_.data(), xp_.size(), kNaN, kNaN, guess);
}

void Interpolant::eval(const double* v, std::size_t n, double* out) const {
  if (kind_ == Kind::spline) {
    spline_.eval(v, n, out);
  } else if (kind_ == Kind::monotone) {
    monotone_.eval(v, n, out);
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
  MonotoneCubic c;
  if (Status s = c.build(x, nx, y, ny); s != Status::ok) return s;
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
