#include "core/queries.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/numeric.hpp"

namespace vexil::core {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Density

void std_exp(const double* in, double* out, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

void density_eval(const LogDensity& f, const double* x, std::size_t n, bool log, double* out, VectorExp exp) {
  std::vector<double> inside;
  std::vector<std::size_t> where;
  inside.reserve(n);
  where.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] >= f.lo && x[i] <= f.hi) {
      inside.push_back(x[i]);
      where.push_back(i);
    } else {
      out[i] = log ? -kInf : 0.0;
    }
  }
  std::vector<double> lv(inside.size());
  f.fn.eval(inside.data(), inside.size(), lv.data());
  if (!log) exp(lv.data(), lv.data(), lv.size());
  for (std::size_t j = 0; j < where.size(); ++j) out[where[j]] = lv[j];
}

// ---------------------------------------------------------------------------------------------------
// Distribution and quantile functions

void trapezoid_cdf(const double* xx, const double* ef, std::size_t n, double* cdf) {
  const double dx = xx[1] - xx[0];
  cdf[0] = 0.0;
  double s = 0.0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const double inc = 0.5 * (ef[i] + ef[i + 1]) * dx;
    s = (i == 0) ? inc : s + inc;  // np.cumsum starts from its first term
    cdf[i + 1] = s;
  }
  const double last = cdf[n - 1];
  for (std::size_t i = 0; i < n; ++i) cdf[i] = cdf[i] / last;
}

void hpd_cdf(const double* xx, const double* ef, std::size_t n, std::vector<double>& abscissae,
             std::vector<double>& values) {
  const double dx = xx[1] - xx[0];
  abscissae.resize(n + 2);
  abscissae[0] = np_min(xx, n) - dx;
  std::copy(xx, xx + n, abscissae.begin() + 1);
  abscissae[n + 1] = np_max(xx, n) + dx;
  values.resize(n + 2);
  double s = 0.0;
  values[0] = s;
  for (std::size_t i = 0; i < n; ++i) {
    s = s + ef[i];
    values[i + 1] = s;
  }
  s = s + 0.0;
  values[n + 1] = s;
  const double last = values[n + 1];
  for (double& v : values) v = v / last;
}

void thin_plateaus(std::vector<double>& values, std::vector<double>& abscissae, double eps) {
  if (values.size() != abscissae.size()) throw std::invalid_argument("thin_plateaus: arrays of unequal length");
  for (const double target : {0.0, 1.0}) {
    std::size_t hits = 0;
    for (double v : values)
      if (std::fabs(v - target) <= eps) ++hits;
    if (hits <= 1) continue;
    std::size_t out = 0;
    bool first = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const bool hit = std::fabs(values[i] - target) <= eps;
      if (hit && !first) continue;
      if (hit) first = false;
      values[out] = values[i];
      abscissae[out] = abscissae[i];
      ++out;
    }
    values.resize(out);
    abscissae.resize(out);
  }
}

void QuantileTop::mend(const double* probs, std::size_t n, double* out) const {
  for (std::size_t i = 0; i < n; ++i)
    if (applies(probs[i])) out[i] = x;
}

// ---------------------------------------------------------------------------------------------------
// Expectation

std::vector<double> simpson_odd_grid(const double* x, std::size_t n) {
  if (n == 0) return {0.5 * (0.0 + 0.0)};
  std::vector<double> w(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double right = (i + 1 < n) ? x[i + 1] - x[i] : 0.0;
    const double left = (i > 0) ? x[i] - x[i - 1] : 0.0;
    w[i] = 0.5 * (right + left);
  }
  return w;
}

void make_expectation_grid(const double* x, const double* y, std::size_t n, ExpectationGrid& out) {
  if (n % 2 == 0 && n > 0) --n;
  out.x.assign(x, x + n);
  const std::vector<double> dxw = simpson_odd_grid(x, n);
  out.w.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.w[i] = y[i] * dxw[i];
}

void simpson_sum(const double* a, std::size_t n, std::size_t k, double* out) {
  if (n == 0) throw std::invalid_argument("simpson_sum of an empty array");
  if (k == 1) {
    std::vector<double> g4, g2;
    g4.reserve(n / 2);
    g2.reserve(n / 2);
    for (std::size_t i = 1; i + 1 < n; i += 2) g4.push_back(a[i]);
    for (std::size_t i = 2; i + 1 < n; i += 2) g2.push_back(a[i]);
    const double s4 = 0.0 + pairwise_sum(g4.data(), g4.size());
    const double s2 = 0.0 + pairwise_sum(g2.data(), g2.size());
    out[0] = a[0] + a[n - 1] + 4.0 * s4 + 2.0 * s2;
    return;
  }
  for (std::size_t j = 0; j < k; ++j) {
    double s4 = 0.0, s2 = 0.0;
    for (std::size_t i = 1; i + 1 < n; i += 2) s4 += a[i * k + j];
    for (std::size_t i = 2; i + 1 < n; i += 2) s2 += a[i * k + j];
    out[j] = a[j] + a[(n - 1) * k + j] + 4.0 * s4 + 2.0 * s2;
  }
}

Status expectation(const ExpectationGrid& g, const double* fvals, std::size_t rows, std::size_t k, bool one_dim,
                   double* out) {
  const std::size_t n = g.x.size();
  if (one_dim) {
    if (k != 1 || (rows != n && rows != 1)) throw std::invalid_argument("expectation: 1-D values must broadcast");
  } else if (rows != n) {
    return Status::fun_shape;
  }
  if (k == 0) return Status::ok;
  std::vector<double> integrand(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t r = (rows == 1) ? 0 : i;
    for (std::size_t j = 0; j < k; ++j) integrand[i * k + j] = fvals[r * k + j] * g.w[i];
  }
  std::vector<double> numer(k);
  simpson_sum(integrand.data(), n, k, numer.data());
  double denom = 0.0;
  simpson_sum(g.w.data(), n, 1, &denom);
  for (std::size_t j = 0; j < k; ++j) out[j] = numer[j] / denom;
  return Status::ok;
}

// ---------------------------------------------------------------------------------------------------
// Mode

std::vector<double> mode_levels() { return np_arange(0.01, 1.0, 0.01); }

void mode_bracket(const double* x, const double* logd, std::size_t n, double& a, double& b) {
  if (n == 0) throw std::invalid_argument("mode_bracket of no points");
  const std::size_t i = np_argmax(logd, n);
  a = x[i > 0 ? i - 1 : 0];
  b = x[std::min(n - 1, i + 1)];
}

// ---------------------------------------------------------------------------------------------------
// Transformations

void five_point_combine(const double* f1, const double* f2, const double* f3, const double* f4, std::size_t n,
                        double h, double* out) {
  const double h12 = h * 12;
  for (std::size_t i = 0; i < n; ++i) out[i] = ((-f1[i] + 8.0 * f2[i]) - 8.0 * f3[i] + f4[i]) / h12;
}

void jacobian_floor(const double* d, std::size_t n, double* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = np_clip(std::fabs(d[i]), 1e-12, kInf);
}

std::vector<double> transform_levels(std::size_t n) {
  std::vector<double> p(n);
  const double denom = static_cast<double>(n) + 1.0;
  for (std::size_t k = 0; k < n; ++k) p[k] = static_cast<double>(k + 1) / denom;
  return p;
}

}  // namespace vexil::core
