// The query building blocks against a numpy/scipy transcription of the module's algorithms, on random
// smoothed marginals (both backends, several grid sizes): density, the grid and the HPD distribution
// functions (grids bit for bit, values to rounding), P(X <= q), plateau thinning, the quantile interpolant
// and its mend at the top of the mass, Simpson expectations, and the mode search's bracket. Plus the
// transformation arithmetic, the Simpson weights and the levels.
#include <cmath>
#include <limits>

#include "core/numeric.hpp"
#include "core/queries.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;
using testing::kEps;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The log-density function of a smoothed marginal: the cubic (or linear) interpolant of its log y.
LogDensity log_density(const std::vector<double>& x, const std::vector<double>& y, Backend b) {
  LogDensity f;
  f.lo = np_min(x.data(), x.size());
  f.hi = np_max(x.data(), x.size());
  std::vector<double> logy(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) logy[i] = std::log(y[i]);
  if (make_cubic(b, x.data(), x.size(), logy.data(), logy.size(), f.fn) != Status::ok)
    throw std::runtime_error("log-density does not build");
  return f;
}

// xx = linspace(lo, hi, length) and the densities exp(f(xx)) there.
void grid_densities(const LogDensity& f, std::size_t length, std::vector<double>& xx, std::vector<double>& ef) {
  xx = np_linspace(f.lo, f.hi, length);
  ef.resize(length);
  f.fn.eval(xx.data(), length, ef.data());
  for (double& v : ef) v = std::exp(v);
}

void queries(const Case& c) {
  const Backend b = c.a("params")[0] != 0.0 ? Backend::scipy : Backend::fallback;
  const auto length = static_cast<std::size_t>(c.a("params")[1]);
  const LogDensity f = log_density(c.a("smooth_x"), c.a("smooth_y"), b);
  const double range = f.hi - f.lo;

  // Density and log-density.
  const auto& dq = c.a("d_q");
  std::vector<double> dv(dq.size()), dl(dq.size());
  density_eval(f, dq.data(), dq.size(), false, dv.data());
  density_eval(f, dq.data(), dq.size(), true, dl.data());
  testing::check_close(dv, c.a("d_val"), 1e-12, 0.0, c.label + " density");
  testing::check_close(dl, c.a("d_log"), 1e-12, 1e-12, c.label + " log-density");

  // Grid distribution function and P(X <= q).
  std::vector<double> xx, ef;
  grid_densities(f, length, xx, ef);
  std::vector<double> cdf(length);
  trapezoid_cdf(xx.data(), ef.data(), length, cdf.data());
  testing::check_same(xx, c.a("cdf_x"), c.label + " cdf grid");
  testing::check_close(cdf, c.a("cdf"), 1e-12, 1e-15, c.label + " cdf values");
  Interpolant F;
  CHECK(make_pchip(b, xx.data(), length, cdf.data(), length, F) == Status::ok, c.label + " cdf function");
  const auto& pq = c.a("p_q");
  std::vector<double> pv(pq.size());
  for (std::size_t i = 0; i < pq.size(); ++i) pv[i] = F(np_clip(pq[i], f.lo, f.hi));
  testing::check_close(pv, c.a("p_val"), 1e-12, 1e-14, c.label + " P(X <= q)");

  // Quantiles: the thinned inverse as the algorithm gives it, and the mend at the top.
  std::vector<double> tc = cdf, tx = xx;
  thin_plateaus(tc, tx, kEps);
  testing::check_close(tc, c.a("thin_cdf"), 1e-12, 1e-15, c.label + " thinned cdf");
  testing::check_same(tx, c.a("thin_x"), c.label + " thinned grid");
  Interpolant Q;
  CHECK(make_pchip(b, tc.data(), tc.size(), tx.data(), tx.size(), Q) == Status::ok, c.label + " quantile function");
  const QuantileTop top{tc.back(), tx.back()};
  const auto& qp = c.a("q_p");
  std::vector<double> pp(qp.size()), qv(qp.size()), qm(qp.size());
  for (std::size_t i = 0; i < qp.size(); ++i) pp[i] = np_clip(qp[i], 0.0, 1.0);
  Q.eval(pp.data(), pp.size(), qv.data());
  testing::check_close(qv, c.a("q_val"), 1e-11, 1e-11 * range, c.label + " quantiles");
  qm = qv;
  top.mend(pp.data(), pp.size(), qm.data());
  for (std::size_t i = 0; i < qp.size(); ++i) {
    if (pp[i] >= top.p) {
      CHECK(qm[i] == top.x, c.label + " mended quantile at or above the kept mass is its grid point");
    } else {
      CHECK(testing::same(qm[i], qv[i]), c.label + " the mend leaves other quantiles alone");
    }
  }
  CHECK(top.x <= f.hi && top.applies(1.0), c.label + " quantile of 1.0 is the top of the mass");

  // Expectations.
  ExpectationGrid g;
  make_expectation_grid(c.a("smooth_x").data(), c.a("smooth_y").data(), c.a("smooth_x").size(), g);
  testing::check_same(g.x, c.a("e_grid"), c.label + " Simpson grid");
  double mean = 0.0;
  CHECK(expectation(g, g.x.data(), g.x.size(), 1, true, &mean) == Status::ok, c.label + " mean");
  testing::check_close({mean}, c.a("e_mean"), 1e-12, 1e-12 * range, c.label + " mean");
  double vec[3];
  CHECK(expectation(g, c.a("e_fvals3").data(), g.x.size(), 3, false, vec) == Status::ok, c.label + " vector");
  testing::check_close({vec[0], vec[1], vec[2]}, c.a("e_vec"), 1e-12, 1e-14, c.label + " vector expectation");
  double col = 0.0;
  CHECK(expectation(g, c.a("e_fvals1").data(), g.x.size(), 1, false, &col) == Status::ok, c.label + " column");
  testing::check_close({col}, c.a("e_col"), 1e-12, 1e-14, c.label + " one-column expectation");
  CHECK(expectation(g, c.a("e_fvals3").data(), g.x.size() - 1, 3, false, vec) == Status::fun_shape,
        c.label + " wrong first dimension");

  // The HPD distribution function.
  std::vector<double> habs, hval;
  hpd_cdf(xx.data(), ef.data(), length, habs, hval);
  testing::check_same(habs, c.a("hpd_abs"), c.label + " HPD abscissae");
  testing::check_close(hval, c.a("hpd_val"), 1e-12, 1e-15, c.label + " HPD values");

  // The mode search's bracket around the first maximum.
  const auto& mq = c.a("mode_q");
  double lo = 0.0, hi = 0.0;
  mode_bracket(mq.data(), c.a("mode_dlog").data(), mq.size(), lo, hi);
  testing::check_same({lo, hi}, c.a("mode_bracket"), c.label + " mode bracket");
}

void hand_cases() {
  // The Simpson node weights, including the empty grid.
  const double x[3] = {0.0, 1.0, 3.0};
  CHECK(simpson_odd_grid(x, 3) == std::vector<double>({0.5, 1.5, 1.0}), "simpson_odd_grid([0, 1, 3])");
  CHECK(simpson_odd_grid(x, 1) == std::vector<double>({0.0}), "one point");
  CHECK(simpson_odd_grid(x, 0) == std::vector<double>({0.0}), "no point: numpy's single 0.0");
  // An even count drops its last point.
  const double mx[4] = {0.0, 1.0, 2.0, 3.0}, my[4] = {1.0, 2.0, 3.0, 4.0};
  ExpectationGrid g;
  make_expectation_grid(mx, my, 4, g);
  CHECK(g.x.size() == 3 && g.w == std::vector<double>({0.5, 2.0, 1.5}), "even count: last point unused");
  // 1-D values broadcast from a single one; Simpson of a constant is that constant.
  const double one = 7.0;
  double r = 0.0;
  CHECK(expectation(g, &one, 1, 1, true, &r) == Status::ok && r == 7.0, "broadcast single value");

  // Plateau thinning keeps the first of each run at 0 and at 1, within the given tolerance.
  std::vector<double> v = {0.0, 0.0, 1e-14, 0.3, 1.0 - 1e-14, 1.0, 1.0}, a = {0, 1, 2, 3, 4, 5, 6};
  thin_plateaus(v, a, kEps);
  CHECK(a == std::vector<double>({0, 3, 4}) && v.size() == 3, "plateau thinning");
  std::vector<double> v2 = {0.0, 0.01, 0.3, 0.99, 1.0}, a2 = {0, 1, 2, 3, 4};
  thin_plateaus(v2, a2, 0.05);
  CHECK(a2 == std::vector<double>({0, 2, 3}), "a wider tolerance thins more");
  // The top of the quantile function: at or above p, and NaN probabilities left alone.
  const QuantileTop top{0.999, 5.0};
  double probs[4] = {0.5, 0.999, 1.0, kNaN}, out[4] = {1.0, 2.0, kNaN, kNaN};
  top.mend(probs, 4, out);
  CHECK(out[0] == 1.0 && out[1] == 5.0 && out[2] == 5.0 && std::isnan(out[3]), "quantile mend");

  // The HPD distribution function on a flat density: extra points one step outside, values i / n.
  const double hx[4] = {0.0, 1.0, 2.0, 3.0}, he[4] = {1.0, 1.0, 1.0, 1.0};
  std::vector<double> habs, hval;
  hpd_cdf(hx, he, 4, habs, hval);
  CHECK(habs == std::vector<double>({-1.0, 0.0, 1.0, 2.0, 3.0, 4.0}) &&
            hval == std::vector<double>({0.0, 0.25, 0.5, 0.75, 1.0, 1.0}), "running-sum distribution function");
  // The mode bracket: the neighbours of the first maximum, or the point itself at either end.
  const double qx[4] = {1.0, 2.0, 3.0, 4.0}, l1[4] = {0.0, 5.0, 5.0, 1.0}, l2[4] = {9.0, 1.0, 1.0, 1.0},
               l3[4] = {0.0, 1.0, 2.0, 3.0};
  double ba = 0.0, bb = 0.0;
  mode_bracket(qx, l1, 4, ba, bb);
  CHECK(ba == 1.0 && bb == 3.0, "bracket around the first of two maxima");
  mode_bracket(qx, l2, 4, ba, bb);
  CHECK(ba == 1.0 && bb == 2.0, "bracket at the lower end");
  mode_bracket(qx, l3, 4, ba, bb);
  CHECK(ba == 3.0 && bb == 4.0, "bracket at the upper end");

  // Five-point derivative: exact for polynomials up to degree four.
  const double pts[3] = {3.0, -1.0, 0.5}, h = 0.1;
  double f1[3], f2[3], f3[3], f4[3], d[3];
  for (int i = 0; i < 3; ++i) {
    f1[i] = (pts[i] + h * 2) * (pts[i] + h * 2);
    f2[i] = (pts[i] + h) * (pts[i] + h);
    f3[i] = (pts[i] - h) * (pts[i] - h);
    f4[i] = (pts[i] - h * 2) * (pts[i] - h * 2);
  }
  five_point_combine(f1, f2, f3, f4, 3, h, d);
  CHECK(std::fabs(d[0] - 6.0) < 1e-12 && std::fabs(d[1] + 2.0) < 1e-12 && std::fabs(d[2] - 1.0) < 1e-12,
        "derivative of x^2");
  // The Jacobian floor: |d| clipped below at 1e-12, NaN kept.
  const double dd[4] = {-2.0, 0.0, 1e-20, kNaN};
  double jf[4];
  jacobian_floor(dd, 4, jf);
  CHECK(jf[0] == 2.0 && jf[1] == 1e-12 && jf[2] == 1e-12 && std::isnan(jf[3]), "Jacobian floor");
  // Probability levels of the transformation grid and of the mode search.
  const std::vector<double> tl = transform_levels(3);
  CHECK(tl == std::vector<double>({1.0 / 4.0, 2.0 / 4.0, 3.0 / 4.0}), "k / (n + 1)");
  CHECK(mode_levels().size() == 99 && mode_levels().front() == 0.01 && mode_levels().back() == 0.99, "mode levels");
}

}  // namespace

int main() {
  try {
    std::size_t n = 0;
    for (const Case& c : testing::reference_cases("queries")) {
      queries(c);
      ++n;
    }
    CHECK(n > 40, "reference cases were read");
    hand_cases();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_queries");
}
