#include "core/smooth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace vexil::core {

void drop_nan_density(const double* x, const double* y, std::size_t n, std::vector<double>& xo,
                      std::vector<double>& yo) {
  xo.clear();
  yo.clear();
  xo.reserve(n);
  yo.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(y[i])) continue;
    xo.push_back(x[i]);
    yo.push_back(y[i]);
  }
}

namespace {
// Ascending, NaN last.
bool nan_last_less(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }
}  // namespace

bool sort_is_unique(const double* x, std::size_t n) {
  // The common case: already strictly increasing (a single trailing NaN allowed).
  std::size_t m = n;
  if (m > 0 && std::isnan(x[m - 1])) --m;
  bool increasing = true;
  for (std::size_t i = 0; i < m; ++i) {
    if (std::isnan(x[i]) || (i + 1 < m && !(x[i] < x[i + 1]))) {
      increasing = false;
      break;
    }
  }
  if (increasing) return true;
  std::vector<double> s(x, x + n);
  std::sort(s.begin(), s.end(), nan_last_less);
  std::size_t nans = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(s[i])) {
      ++nans;
    } else if (i + 1 < n && s[i] == s[i + 1]) {
      return false;
    }
  }
  return nans <= 1;
}

void stable_argsort(const double* x, std::size_t n, std::vector<std::int64_t>& order) {
  order.resize(n);
  std::iota(order.begin(), order.end(), std::int64_t{0});
  std::size_t m = n;
  if (m > 0 && std::isnan(x[m - 1])) --m;
  bool increasing = true;
  for (std::size_t i = 0; i + 1 < m; ++i) {
    if (!(x[i] < x[i + 1])) {
      increasing = false;
      break;
    }
  }
  if (increasing && (m == 0 || !std::isnan(x[0]))) return;
  std::stable_sort(order.begin(), order.end(), [x](std::int64_t a, std::int64_t b) { return nan_last_less(x[a], x[b]); });
}

namespace {
// The density filter of the cleaning: y > 0.0 and |y / ymax| > kEps.
Status filter_density(const double* x, const double* y, std::size_t n, Marginal& out) {
  const double ymax = np_max(y, n);
  out.x.clear();
  out.y.clear();
  out.x.reserve(n);
  out.y.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (y[i] > 0.0 && std::fabs(y[i] / ymax) > kEps) {
      out.x.push_back(x[i]);
      out.y.push_back(y[i]);
    }
  }
  if (out.x.size() < 3) return Status::too_small;
  return Status::ok;
}
}  // namespace

bool clean_sorted_marginal(const double* x, const double* y, std::size_t n, Marginal& out, Status& status) {
  if (n == 0) return false;
  bool ok = !std::isnan(y[n - 1]) && !std::isnan(x[n - 1]);
  for (std::size_t i = 0; i + 1 < n; ++i) ok &= (x[i] < x[i + 1]) & !std::isnan(y[i]);
  if (!ok) return false;
  status = filter_density(x, y, n, out);
  return true;
}

Status sort_and_filter(const double* x, const double* y, std::size_t n, const std::int64_t* order, Marginal& out) {
  if (n == 0) return Status::no_finite_points;
  std::vector<double> xs(n), ys(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t j = order[i];
    if (j < 0 || static_cast<std::size_t>(j) >= n) throw std::invalid_argument("sort permutation index out of range");
    xs[i] = x[j];
    ys[i] = y[j];
  }
  return filter_density(xs.data(), ys.data(), n, out);
}

bool smoothing_size(std::size_t k, double extrapolate, long long factor, std::size_t& n) {
  const std::size_t nx = (extrapolate == 0.0) ? k : k + 2;
  long long fk = 0;
  if (__builtin_mul_overflow(factor, static_cast<long long>(k), &fk)) return false;
  n = (static_cast<long long>(nx) > fk) ? nx : static_cast<std::size_t>(fk);
  return true;
}

void tmap_coordinate(const Marginal& cleaned, double extrapolate, std::vector<double>& xk, std::vector<double>& t) {
  const std::vector<double>& x = cleaned.x;
  const std::size_t k = x.size();
  xk.clear();
  t.clear();
  if (k == 0) return;
  const double r = np_ptp(x.data(), k);
  const double xmin = np_min(x.data(), k) - extrapolate * r;
  const double xmax = np_max(x.data(), k) + extrapolate * r;

  // Knots of the map.
  if (extrapolate != 0.0) {
    xk.reserve(k + 2);
    xk.push_back(xmin);
    xk.insert(xk.end(), x.begin(), x.end());
    xk.push_back(xmax);
  } else {
    xk.assign(x.begin(), x.end());
  }
  const std::size_t nx = xk.size();

  // Coordinate: running sum of the square roots of the normalised spacings, rescaled onto [xmin, xmax].
  const std::vector<double> dx = np_diff(xk.data(), nx);
  const double mean_dx = np_mean(dx.data(), dx.size());
  const double nxd = static_cast<double>(nx);
  std::vector<double> raw(nx);
  raw[0] = 0.0;
  double s = 0.0;
  for (std::size_t i = 0; i + 1 < nx; ++i) {
    const double v = std::sqrt(nxd * dx[i] / mean_dx);
    s = (i == 0) ? v : s + v;
    raw[i + 1] = s;
  }
  const double rmin = np_min(raw.data(), nx);
  const double rmax = np_max(raw.data(), nx);
  const double span = xmax - xmin;
  const double rspan = rmax - rmin;
  t.resize(nx);
  for (std::size_t i = 0; i < nx; ++i) t[i] = xmin + span * (raw[i] - rmin) / rspan;
}

Status smooth_log_density(const Marginal& cleaned, double extrapolate, std::size_t n, Backend b, SmoothGrid& out) {
  const std::vector<double>& x = cleaned.x;
  const std::size_t k = x.size();
  if (k < 3 || cleaned.y.size() != k) return Status::too_small;  // not a cleaned marginal
  std::vector<double> xk, t;
  tmap_coordinate(cleaned, extrapolate, xk, t);
  const std::size_t nx = xk.size();

  Interpolant t2x, x2t;
  if (Status s = make_pchip(b, t.data(), nx, xk.data(), nx, t2x); s != Status::ok) return s;
  if (Status s = make_pchip(b, xk.data(), nx, t.data(), nx, x2t); s != Status::ok) return s;

  std::vector<double> grid = np_linspace(np_min(t.data(), nx), np_max(t.data(), nx), n);
  std::vector<double> ti(k);
  x2t.eval(x.data(), k, ti.data());
  std::vector<double> logy(k);
  for (std::size_t i = 0; i < k; ++i) logy[i] = std::log(cleaned.y[i]);
  Interpolant ld;
  if (Status s = make_pchip(b, ti.data(), k, logy.data(), k, ld); s != Status::ok) return s;

  out.logy.resize(n);
  ld.eval(grid.data(), n, out.logy.data());
  out.x.resize(n);
  t2x.eval(grid.data(), n, out.x.data());
  return Status::ok;
}

Status make_log_density(const Marginal& cleaned, Backend b, LogDensity& out) {
  const std::size_t k = cleaned.x.size();
  if (k < 3 || cleaned.y.size() != k) return Status::too_small;  // not a cleaned marginal
  out.lo = np_min(cleaned.x.data(), k);
  out.hi = np_max(cleaned.x.data(), k);
  std::vector<double> logy(k);
  for (std::size_t i = 0; i < k; ++i) logy[i] = std::log(cleaned.y[i]);
  return make_cubic(b, cleaned.x.data(), k, logy.data(), k, out.fn);
}

Status spline_resample(const Marginal& cleaned, Backend b, std::vector<double>& gx, std::vector<double>& gy) {
  const std::size_t k = cleaned.x.size();
  if (k < 3 || cleaned.y.size() != k) return Status::too_small;  // not a cleaned marginal
  gx = np_linspace(np_min(cleaned.x.data(), k), np_max(cleaned.x.data(), k), k);
  std::vector<double> logy(k);
  for (std::size_t i = 0; i < k; ++i) logy[i] = std::log(cleaned.y[i]);
  Interpolant s;
  if (Status st = make_cubic(b, cleaned.x.data(), k, logy.data(), k, s); st != Status::ok) return st;
  gy.resize(k);
  s.eval(gx.data(), k, gy.data());
  for (double& v : gy) v = std::exp(v);
  return Status::ok;
}

}  // namespace vexil::core
