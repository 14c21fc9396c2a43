#include "core/marginal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/numeric.hpp"

namespace vexil::core {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();

// Python's max(a, b) and min(a, b) for floats: the first argument unless the second compares greater
// (smaller).
double py_max(double a, double b) { return (b > a) ? b : a; }
double py_min(double a, double b) { return (b < a) ? b : a; }
}  // namespace

// ---------------------------------------------------------------------------------------------------
// Density

void density_eval(const LogDensity& f, const double* x, std::size_t n, bool log, double* out) {
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
  f.eval(inside.data(), inside.size(), lv.data());
  for (std::size_t j = 0; j < where.size(); ++j) out[where[j]] = log ? lv[j] : std::exp(lv[j]);
}

// ---------------------------------------------------------------------------------------------------
// Distribution and quantile functions

void grid_cdf(const LogDensity& f, std::size_t length, std::vector<double>& xx, std::vector<double>& cdf) {
  if (length < 2) throw std::invalid_argument("grid_cdf needs at least 2 grid points");
  xx = np_linspace(f.lo, f.hi, length);
  std::vector<double> ef(length);
  f.eval(xx.data(), length, ef.data());
  for (double& v : ef) v = std::exp(v);
  const double dx = xx[1] - xx[0];
  cdf.resize(length);
  cdf[0] = 0.0;
  double s = 0.0;
  for (std::size_t i = 0; i + 1 < length; ++i) {
    const double inc = 0.5 * (ef[i] + ef[i + 1]) * dx;
    s = (i == 0) ? inc : s + inc;
    cdf[i + 1] = s;
  }
  const double last = cdf[length - 1];
  for (double& v : cdf) v = v / last;
}

void thin_plateaus(std::vector<double>& values, std::vector<double>& abscissae) {
  if (values.size() != abscissae.size()) throw std::invalid_argument("thin_plateaus: arrays of unequal length");
  for (const double target : {0.0, 1.0}) {
    std::size_t hits = 0;
    for (double v : values)
      if (std::fabs(v - target) <= kEps) ++hits;
    if (hits <= 1) continue;
    std::size_t out = 0;
    bool first = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const bool hit = std::fabs(values[i] - target) <= kEps;
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

void CdfFunction::eval(const double* q, std::size_t n, double* out) const {
  std::vector<double> qq(n);
  for (std::size_t i = 0; i < n; ++i) qq[i] = np_clip(q[i], lo, hi);
  fn.eval(qq.data(), n, out);
}

Status make_cdf_function(const LogDensity& f, std::size_t length, Backend b, CdfFunction& out) {
  std::vector<double> xx, cdf;
  grid_cdf(f, length, xx, cdf);
  out.lo = f.lo;
  out.hi = f.hi;
  return make_pchip(b, xx.data(), xx.size(), cdf.data(), cdf.size(), out.fn);
}

void QuantileFunction::eval(const double* p, std::size_t n, double* out, bool mend_top) const {
  std::vector<double> pp(n);
  for (std::size_t i = 0; i < n; ++i) pp[i] = np_clip(p[i], 0.0, 1.0);
  fn.eval(pp.data(), n, out);
  if (mend_top) {
    for (std::size_t i = 0; i < n; ++i)
      if (pp[i] >= top_p) out[i] = top_x;
  }
}

double QuantileFunction::operator()(double p, bool mend_top) const {
  double r;
  eval(&p, 1, &r, mend_top);
  return r;
}

Status make_quantile_function(const LogDensity& f, std::size_t length, Backend b, QuantileFunction& out) {
  std::vector<double> xx, cdf;
  grid_cdf(f, length, xx, cdf);
  thin_plateaus(cdf, xx);
  if (Status s = make_pchip(b, cdf.data(), cdf.size(), xx.data(), xx.size(), out.fn); s != Status::ok) return s;
  out.top_p = cdf.back();
  out.top_x = xx.back();
  return Status::ok;
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

void make_expectation_grid(const Marginal& smoothed, ExpectationGrid& out) {
  if (smoothed.y.size() != smoothed.x.size()) throw std::invalid_argument("marginal arrays of unequal length");
  std::size_t n = smoothed.x.size();
  if (n % 2 == 0 && n > 0) --n;
  out.x.assign(smoothed.x.begin(), smoothed.x.begin() + static_cast<std::ptrdiff_t>(n));
  const std::vector<double> dxw = simpson_odd_grid(out.x.data(), n);
  out.w.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.w[i] = smoothed.y[i] * dxw[i];
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
// Highest-density intervals

void hpd_cdf(const LogDensity& f, std::size_t length, std::vector<double>& abscissae, std::vector<double>& values) {
  if (length < 2) throw std::invalid_argument("hpd_cdf needs at least 2 grid points");
  const std::vector<double> xx = np_linspace(f.lo, f.hi, length);
  const double dx = xx[1] - xx[0];
  std::vector<double> ef(length);
  f.eval(xx.data(), length, ef.data());
  for (double& v : ef) v = std::exp(v);
  abscissae.resize(length + 2);
  abscissae[0] = np_min(xx.data(), length) - dx;
  std::copy(xx.begin(), xx.end(), abscissae.begin() + 1);
  abscissae[length + 1] = np_max(xx.data(), length) + dx;
  values.resize(length + 2);
  double s = 0.0;
  values[0] = s;
  for (std::size_t i = 0; i < length; ++i) {
    s = s + ef[i];
    values[i + 1] = s;
  }
  s = s + 0.0;
  values[length + 1] = s;
  const double last = values[length + 1];
  for (double& v : values) v = v / last;
}

Status make_hpd_inverse(const LogDensity& f, std::size_t length, Backend b, Interpolant& out) {
  std::vector<double> abscissae, values;
  hpd_cdf(f, length, abscissae, values);
  thin_plateaus(values, abscissae);
  return make_pchip(b, values.data(), values.size(), abscissae.data(), abscissae.size(), out);
}

Status hpd_interval(const Interpolant& inv, double lo, double hi, double level, Backend b, double& low, double& high) {
  const double conf = 1.0 - np_clip(level, 0.0, 1.0);
  auto width = [&inv, conf](double z) { return inv(1.0 - conf + z) - inv(z); };
  double x0 = 0.0;
  if (Status s = minimize_on_interval(b, width, 0.0, conf, 1e-06, x0); s != Status::ok) return s;
  double l = inv(x0);
  double h = inv(1.0 - conf + x0);
  low = py_min(hi, py_max(l, lo));
  high = py_min(hi, py_max(h, lo));
  return Status::ok;
}

// ---------------------------------------------------------------------------------------------------
// Mode and summary

std::vector<double> mode_levels() { return np_arange(0.01, 1.0, 0.01); }

void mode_bracket(const double* x, const double* logd, std::size_t n, double& a, double& b) {
  if (n == 0) throw std::invalid_argument("mode_bracket of no points");
  const std::size_t i = np_argmax(logd, n);
  a = x[i > 0 ? i - 1 : 0];
  b = x[std::min(n - 1, i + 1)];
}

Status marginal_mode(const LogDensity& f, const QuantileFunction& q, Backend b, bool mend_top, double& mode) {
  const std::vector<double> p = mode_levels();
  std::vector<double> x(p.size()), dlog(p.size());
  q.eval(p.data(), p.size(), x.data(), mend_top);
  density_eval(f, x.data(), x.size(), true, dlog.data());
  double lo = 0.0, hi = 0.0;
  mode_bracket(x.data(), dlog.data(), x.size(), lo, hi);
  auto neglog = [&f](double u) {
    const double lv = (u >= f.lo && u <= f.hi) ? f(u) : -kInf;
    return -lv;
  };
  return minimize_on_interval(b, neglog, lo, hi, 1e-06, mode);
}

Status summarise(const ExpectationGrid& g, const LogDensity& f, const QuantileFunction& q, Backend b, bool mend_top,
                 Summary& out) {
  const std::size_t n = g.x.size();
  std::vector<double> fv(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    fv[2 * i] = g.x[i];
    fv[2 * i + 1] = g.x[i] * g.x[i];
  }
  double m[2];
  if (Status s = expectation(g, fv.data(), n, 2, false, m); s != Status::ok) return s;
  out.mean = m[0];
  out.sd = std::sqrt(py_max(0.0, m[1] - std::pow(out.mean, 2.0)));
  const double levels[5] = {0.025, 0.25, 0.5, 0.75, 0.975};
  q.eval(levels, 5, out.quant, mend_top);
  return marginal_mode(f, q, b, mend_top, out.mode);
}

// ---------------------------------------------------------------------------------------------------
// Transformations

void five_point_arguments(const double* x, std::size_t n, double h, double* xp2, double* xp1, double* xm1,
                          double* xm2) {
  const double h2 = h * 2;
  for (std::size_t i = 0; i < n; ++i) {
    xp2[i] = x[i] + h2;
    xp1[i] = x[i] + h;
    xm1[i] = x[i] - h;
    xm2[i] = x[i] - h2;
  }
}

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

bool reverse_if_decreasing(std::vector<double>& x, std::vector<double>& dens) {
  if (x.empty() || !(x.front() > x.back())) return false;
  std::reverse(x.begin(), x.end());
  std::reverse(dens.begin(), dens.end());
  return true;
}

}  // namespace vexil::core
