#include "core/smooth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/numeric.hpp"

namespace vexil::core {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

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
// The density filter of the cleaning: y > 0.0 and |y / ymax| > eps (a NaN density fails the first test).
// In blocks: the tests first (a loop that vectorises), then the kept points copied without a branch.
Status filter_density(const double* x, const double* y, std::size_t n, double ymax, double eps, Marginal& out) {
  out.x.resize(n);
  out.y.resize(n);
  double* __restrict ox = out.x.data();
  double* __restrict oy = out.y.data();
  std::size_t k = 0;
  constexpr std::size_t kBlock = 256;
  double keep[kBlock];
  for (std::size_t b = 0; b < n; b += kBlock) {
    const std::size_t m = std::min(kBlock, n - b);
    for (std::size_t i = 0; i < m; ++i) keep[i] = (y[b + i] > 0.0) & (std::fabs(y[b + i] / ymax) > eps) ? 1.0 : 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      ox[k] = x[b + i];
      oy[k] = y[b + i];
      k += keep[i] != 0.0;
    }
  }
  out.x.resize(k);
  out.y.resize(k);
  return k < 3 ? Status::too_small : Status::ok;
}

// The largest density, NaN left out (-inf when all are NaN). Four running maxima, for speed; the value does
// not depend on the order of comparison (nor does the filter depend on the sign of a zero maximum: it then
// keeps nothing).
double max_density(const double* y, std::size_t n) {
  double m[4] = {-kInf, -kInf, -kInf, -kInf};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (int j = 0; j < 4; ++j) m[j] = y[i + j] > m[j] ? y[i + j] : m[j];  // NaN compares false
  for (; i < n; ++i) m[0] = y[i] > m[0] ? y[i] : m[0];
  return std::max(std::max(m[0], m[1]), std::max(m[2], m[3]));
}
}  // namespace

bool clean_sorted_marginal(const double* x, const double* y, std::size_t n, double eps, Marginal& out,
                           Status& status) {
  if (n == 0 || !strictly_increasing(x, n)) return false;
  // Dropping NaN densities keeps x sorted, so the cleaning is the density filter, with the largest of the
  // other densities.
  const double ymax = max_density(y, n);
  const bool all_nan = ymax == -kInf && std::all_of(y, y + n, [](double v) { return std::isnan(v); });
  status = all_nan ? Status::no_finite_points : filter_density(x, y, n, ymax, eps, out);
  return true;
}

Status sort_and_filter(const double* x, const double* y, std::size_t n, const std::int64_t* order, double eps,
                       Marginal& out) {
  if (n == 0) return Status::no_finite_points;
  std::vector<double> xs(n), ys(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t j = order[i];
    if (j < 0 || static_cast<std::size_t>(j) >= n) throw std::invalid_argument("sort permutation index out of range");
    xs[i] = x[j];
    ys[i] = y[j];
  }
  return filter_density(xs.data(), ys.data(), n, np_max(ys.data(), n), eps, out);
}

bool smoothing_size(std::size_t k, double extrapolate, long long factor, std::size_t& n) {
  const std::size_t nx = (extrapolate == 0.0) ? k : k + 2;
  long long fk = 0;
  if (__builtin_mul_overflow(factor, static_cast<long long>(k), &fk)) return false;
  n = (static_cast<long long>(nx) > fk) ? nx : static_cast<std::size_t>(fk);
  return true;
}

void tmap_coordinate(const double* x, std::size_t k, double extrapolate, std::vector<double>& xk,
                     std::vector<double>& t) {
  xk.clear();
  t.clear();
  if (k == 0) return;
  const double r = np_ptp(x, k);
  const double xmin = np_min(x, k) - extrapolate * r;
  const double xmax = np_max(x, k) + extrapolate * r;
  if (extrapolate != 0.0) {
    xk.reserve(k + 2);
    xk.push_back(xmin);
    xk.insert(xk.end(), x, x + k);
    xk.push_back(xmax);
  } else {
    xk.assign(x, x + k);
  }
  const std::size_t nx = xk.size();

  // raw = np.concatenate(([0.0], np.cumsum(np.sqrt(nx * dx / dx.mean())))) with dx = np.diff(xk)
  std::vector<double> root = np_diff(xk.data(), nx);
  const double mean_dx = np_mean(root.data(), root.size());
  const double nxd = static_cast<double>(nx);
  for (double& v : root) v = std::sqrt(nxd * v / mean_dx);
  std::vector<double> raw(nx);
  raw[0] = 0.0;
  np_cumsum(root.data(), root.size(), raw.data() + 1);

  // t = xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())
  const double rmin = np_min(raw.data(), nx);
  const double rmax = np_max(raw.data(), nx);
  const double span = xmax - xmin;
  const double rspan = rmax - rmin;
  t.resize(nx);
  for (std::size_t i = 0; i < nx; ++i) t[i] = xmin + span * (raw[i] - rmin) / rspan;
}

}  // namespace vexil::core
