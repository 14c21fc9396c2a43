// Density, distribution and quantile functions, expectations, HPD intervals, the mode and the summary,
// against a numpy/scipy transcription of the module's algorithms on random marginals (both backends,
// several grid sizes). Values that pass through exp agree to rounding; the grids bit for bit; the
// minimiser-based results (HPD ends, mode) to 1e-9 of the range (we also count exact agreement).
// Plus the transformation arithmetic, the Simpson weights and the quantile mend at the top of the mass.
#include <cmath>
#include <limits>

#include "core/marginal.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
std::size_t minimiser_results = 0, minimiser_exact = 0;

void count_exact(double got, double want) {
  ++minimiser_results;
  if (testing::same(got, want)) ++minimiser_exact;
}

void queries(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const Backend b = c.a("params")[0] != 0.0 ? Backend::scipy : Backend::fallback;
  const auto length = static_cast<std::size_t>(c.a("params")[1]);

  PreparedMarginal pm;
  CHECK(prepare_marginal(x.data(), y.data(), x.size(), b, pm) == Status::ok, c.label + " prepares");
  testing::check_same(pm.smoothed.x, c.a("smooth_x"), c.label + " smoothed x");
  testing::check_close(pm.smoothed.y, c.a("smooth_y"), 1e-12, 0.0, c.label + " smoothed y");
  const LogDensity& f = pm.logd;
  const double range = f.hi - f.lo;

  // Density and log-density.
  const auto& dq = c.a("d_q");
  std::vector<double> dv(dq.size()), dl(dq.size());
  density_eval(f, dq.data(), dq.size(), false, dv.data());
  density_eval(f, dq.data(), dq.size(), true, dl.data());
  testing::check_close(dv, c.a("d_val"), 1e-12, 0.0, c.label + " density");
  testing::check_close(dl, c.a("d_log"), 1e-12, 1e-12, c.label + " log-density");

  // Grid distribution function and P(X <= q).
  std::vector<double> xx, cdf;
  grid_cdf(f, length, xx, cdf);
  testing::check_same(xx, c.a("cdf_x"), c.label + " cdf grid");
  testing::check_close(cdf, c.a("cdf"), 1e-12, 1e-15, c.label + " cdf values");
  CdfFunction F;
  CHECK(make_cdf_function(f, length, b, F) == Status::ok, c.label + " cdf function");
  const auto& pq = c.a("p_q");
  std::vector<double> pv(pq.size());
  F.eval(pq.data(), pq.size(), pv.data());
  testing::check_close(pv, c.a("p_val"), 1e-12, 1e-14, c.label + " P(X <= q)");

  // Quantiles, as the algorithm gives them and with the mend at the top.
  std::vector<double> tc = cdf, tx = xx;
  thin_plateaus(tc, tx);
  testing::check_close(tc, c.a("thin_cdf"), 1e-12, 1e-15, c.label + " thinned cdf");
  testing::check_same(tx, c.a("thin_x"), c.label + " thinned grid");
  QuantileFunction Q;
  CHECK(make_quantile_function(f, length, b, Q) == Status::ok, c.label + " quantile function");
  const auto& qp = c.a("q_p");
  std::vector<double> qv(qp.size()), qm(qp.size());
  Q.eval(qp.data(), qp.size(), qv.data(), false);
  Q.eval(qp.data(), qp.size(), qm.data(), true);
  testing::check_close(qv, c.a("q_val"), 1e-11, 1e-11 * range, c.label + " quantiles");
  for (std::size_t i = 0; i < qp.size(); ++i) {
    const double p = std::isnan(qp[i]) ? kNaN : std::fmin(std::fmax(qp[i], 0.0), 1.0);
    if (p >= Q.top_p) {
      CHECK(qm[i] == Q.top_x, c.label + " mended quantile at or above the kept mass is its grid point");
    } else {
      CHECK(testing::same(qm[i], qv[i]), c.label + " the mend leaves other quantiles alone");
    }
  }
  CHECK(Q.top_x <= f.hi && Q(1.0, true) == Q.top_x, c.label + " quantile of 1.0 is the top of the mass");

  // Expectations.
  ExpectationGrid g;
  make_expectation_grid(pm.smoothed, g);
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

  // HPD intervals.
  std::vector<double> habs, hval;
  hpd_cdf(f, length, habs, hval);
  testing::check_same(habs, c.a("hpd_abs"), c.label + " HPD abscissae");
  testing::check_close(hval, c.a("hpd_val"), 1e-12, 1e-15, c.label + " HPD values");
  Interpolant inv;
  CHECK(make_hpd_inverse(f, length, b, inv) == Status::ok, c.label + " HPD inverse");
  const auto& levels = c.a("hpd_levels");
  const auto& want = c.a("hpd");
  for (std::size_t i = 0; i < levels.size(); ++i) {
    double lo = 0.0, hi = 0.0;
    CHECK(hpd_interval(inv, f.lo, f.hi, levels[i], b, lo, hi) == Status::ok, c.label + " HPD");
    testing::check_close({lo, hi}, {want[2 * i], want[2 * i + 1]}, 0.0, 1e-9 * range,
                         c.label + " HPD level " + testing::fmt(levels[i]));
    count_exact(lo, want[2 * i]);
    count_exact(hi, want[2 * i + 1]);
    CHECK(lo >= f.lo && hi <= f.hi && lo <= hi, c.label + " HPD ends in the range");
  }

  // Summary (mean, sd, five quantiles, mode) with the default quantile grid.
  QuantileFunction Q2;
  CHECK(make_quantile_function(f, 2048, b, Q2) == Status::ok, c.label + " default quantile function");
  Summary s;
  CHECK(summarise(g, f, Q2, b, true, s) == Status::ok, c.label + " summary");
  const auto& ws = c.a("summary");
  testing::check_close({s.mean}, {ws[0]}, 1e-12, 1e-12 * range, c.label + " summary mean");
  testing::check_close({s.sd}, {ws[1]}, 1e-9, 1e-12 * range, c.label + " summary sd");
  testing::check_close({s.quant[0], s.quant[1], s.quant[2], s.quant[3], s.quant[4]},
                       {ws[2], ws[3], ws[4], ws[5], ws[6]}, 1e-11, 1e-11 * range, c.label + " summary quantiles");
  testing::check_close({s.mode}, {ws[7]}, 0.0, 1e-9 * range, c.label + " mode");
  count_exact(s.mode, ws[7]);
  double mode = 0.0;
  CHECK(marginal_mode(f, Q2, b, false, mode) == Status::ok && mode == s.mode, c.label + " mode alone");
}

void hand_cases() {
  // The Simpson node weights, including the empty grid.
  const double x[3] = {0.0, 1.0, 3.0};
  CHECK(simpson_odd_grid(x, 3) == std::vector<double>({0.5, 1.5, 1.0}), "simpson_odd_grid([0, 1, 3])");
  CHECK(simpson_odd_grid(x, 1) == std::vector<double>({0.0}), "one point");
  CHECK(simpson_odd_grid(x, 0) == std::vector<double>({0.0}), "no point: numpy's single 0.0");
  // An even smoothed count drops its last point.
  Marginal m{{0.0, 1.0, 2.0, 3.0}, {1.0, 2.0, 3.0, 4.0}};
  ExpectationGrid g;
  make_expectation_grid(m, g);
  CHECK(g.x.size() == 3 && g.w == std::vector<double>({0.5, 2.0, 1.5}), "even count: last point unused");
  // 1-D values broadcast from a single one; Simpson of a constant is that constant.
  const double one = 7.0;
  double r = 0.0;
  CHECK(expectation(g, &one, 1, 1, true, &r) == Status::ok && r == 7.0, "broadcast single value");

  // Plateau thinning keeps the first of each run at 0 and at 1.
  std::vector<double> v = {0.0, 0.0, 1e-14, 0.3, 1.0 - 1e-14, 1.0, 1.0}, a = {0, 1, 2, 3, 4, 5, 6};
  thin_plateaus(v, a);
  CHECK(a == std::vector<double>({0, 3, 4}) && v.size() == 3, "plateau thinning");

  // Five-point derivative: exact for polynomials up to degree four.
  const double pts[3] = {3.0, -1.0, 0.5};
  double xp2[3], xp1[3], xm1[3], xm2[3], f1[3], f2[3], f3[3], f4[3], d[3];
  five_point_arguments(pts, 3, 0.1, xp2, xp1, xm1, xm2);
  CHECK(xp2[0] == 3.0 + 0.1 * 2 && xm2[1] == -1.0 - 0.1 * 2, "stencil points");
  for (int i = 0; i < 3; ++i) {
    f1[i] = xp2[i] * xp2[i];
    f2[i] = xp1[i] * xp1[i];
    f3[i] = xm1[i] * xm1[i];
    f4[i] = xm2[i] * xm2[i];
  }
  five_point_combine(f1, f2, f3, f4, 3, 0.1, d);
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
  std::vector<double> tx = {3.0, 2.0, 1.0}, td = {0.1, 0.2, 0.3};
  CHECK(reverse_if_decreasing(tx, td) && tx == std::vector<double>({1.0, 2.0, 3.0}) &&
            td == std::vector<double>({0.3, 0.2, 0.1}), "a decreasing transformation is reversed");

  // A NaN level fails under both backends with the bounded minimiser's message.
  Marginal nm;
  for (int i = 0; i <= 40; ++i) {
    nm.x.push_back(-4.0 + i * 0.2);
    nm.y.push_back(std::exp(-0.5 * nm.x.back() * nm.x.back()));
  }
  for (Backend b : {Backend::scipy, Backend::fallback}) {
    PreparedMarginal pm;
    CHECK(prepare_marginal(nm.x.data(), nm.y.data(), nm.x.size(), b, pm) == Status::ok, "normal marginal");
    Interpolant inv;
    CHECK(make_hpd_inverse(pm.logd, 2048, b, inv) == Status::ok, "HPD inverse");
    double lo = 0.0, hi = 0.0;
    CHECK(hpd_interval(inv, pm.logd.lo, pm.logd.hi, kNaN, b, lo, hi) == Status::bounds_not_finite, "NaN level");
    // Level 1.0: the interval search starts at the lower end of the mass; level 0.0: zero length.
    CHECK(hpd_interval(inv, pm.logd.lo, pm.logd.hi, 1.0, b, lo, hi) == Status::ok && lo == pm.logd.lo, "level 1");
    CHECK(hpd_interval(inv, pm.logd.lo, pm.logd.hi, 0.0, b, lo, hi) == Status::ok && lo == hi, "level 0");
    // The symmetric marginal's 95% interval is close to symmetric about 0.
    CHECK(hpd_interval(inv, pm.logd.lo, pm.logd.hi, 0.95, b, lo, hi) == Status::ok && std::fabs(lo + hi) < 1e-2 &&
              std::fabs(hi - 1.96) < 2e-2, "95% interval of a normal");
  }
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
    std::printf("minimiser-based results (HPD ends, modes): %zu of %zu equal to the reference bit for bit\n",
                minimiser_exact, minimiser_results);
    hand_cases();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_queries");
}
