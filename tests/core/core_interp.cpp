// The monotone cubic and the not-a-knot spline against scipy's PchipInterpolator / CubicSpline: the
// coefficients and the values (bit for bit for the monotone cubic, evaluated all at once, a few points at a
// time and one at a time, also for spacings and slopes far from 1; the spline's derivatives to 1e-14 of
// their scale and its values to the rounding that carries into them, and we report how many are
// bit-identical), 2- and 3-knot cases, NaN outside the knots, and scipy's
// validation messages in scipy's order.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "core/interp.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;

namespace {

std::vector<double> coefficients(const PiecewiseCubic& p) {
  const std::size_t m = p.knot_count() - 1;
  std::vector<double> c(4 * m);
  for (std::size_t j = 0; j < 4; ++j)
    for (std::size_t k = 0; k < m; ++k) c[j * m + k] = p.coefficient(j, k);
  return c;
}

double scale(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v)
    if (std::isfinite(x)) s = std::fmax(s, std::fabs(x));
  return s;
}

std::size_t cubic_cases = 0, cubic_identical = 0;

void good(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const auto& q = c.a("q");
  const std::size_t n = x.size();

  MonotoneCubic p;
  CHECK(p.build(x.data(), n, y.data(), n) == Status::ok, c.label + " pchip builds");
  testing::check_same(coefficients(p.hermite()), c.a("pchip_c"), c.label + " pchip coefficients");
  std::vector<double> out(q.size());
  p.eval(q.data(), q.size(), out.data());
  testing::check_same(out, c.a("pchip"), c.label + " pchip values");
  // One point at a time, and a few at a time (coefficients computed per interval, not all at once), give
  // the same values.
  std::vector<double> one(q.size()), few(q.size());
  for (std::size_t i = 0; i < q.size(); ++i) one[i] = p(q[i]);
  testing::check_same(one, c.a("pchip"), c.label + " pchip single-point values");
  const std::size_t chunk = std::max<std::size_t>(1, (n - 1) / 4);
  for (std::size_t i = 0; i < q.size(); i += chunk) p.eval(q.data() + i, std::min(chunk, q.size() - i), few.data() + i);
  testing::check_same(few, c.a("pchip"), c.label + " pchip values a few points at a time");

  PiecewiseCubic s;
  CHECK(build_not_a_knot(x.data(), n, y.data(), n, s) == Status::ok, c.label + " cubic builds");
  // Derivatives at the knots: relative to the largest one.
  const auto& want_c = c.a("cubic_c");
  const std::vector<double> got_c = coefficients(s);
  const std::size_t m = n - 1;
  std::vector<double> gd(got_c.begin() + 2 * m, got_c.begin() + 3 * m), wd(want_c.begin() + 2 * m, want_c.begin() + 3 * m);
  testing::check_close(gd, wd, 1e-13, 1e-14 * scale(wd), c.label + " cubic knot derivatives");
  // Values: to the same rounding, carried across an interval (a derivative off by e moves values by up to
  // e times the spacing; ill-conditioned tables have derivatives far larger than their values).
  double widest = 0.0;
  for (std::size_t k = 0; k + 1 < n; ++k) widest = std::fmax(widest, x[k + 1] - x[k]);
  const double tol = 1e-14 * std::fmax(scale(y), scale(wd) * widest);
  std::vector<double> cv(q.size());
  s.eval(q.data(), q.size(), cv.data());
  testing::check_close(cv, c.a("cubic"), 1e-14, tol, c.label + " cubic values");
  ++cubic_cases;
  bool identical = true;
  for (std::size_t i = 0; i < cv.size(); ++i) identical = identical && testing::same(cv[i], c.a("cubic")[i]);
  if (identical) ++cubic_identical;
}

Status status_for(const std::string& text) {
  for (Status s : {Status::x_too_few, Status::length_mismatch, Status::x_not_finite, Status::y_not_finite,
                   Status::x_not_increasing, Status::dydx_not_finite, Status::singular_banded,
                   Status::singular_dense}) {
    if (text == status_message(s)) return s;
  }
  return Status::ok;
}

void bad(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const std::string& want = c.text("error");
  MonotoneCubic p;
  PiecewiseCubic s;
  const Status got = (c.text("which") == "pchip") ? p.build(x.data(), x.size(), y.data(), y.size())
                                                  : build_not_a_knot(x.data(), x.size(), y.data(), y.size(), s);
  CHECK(want.empty() == (got == Status::ok), c.label + " fails exactly when scipy does");
  if (!want.empty()) {
    CHECK(status_for(want) != Status::ok, c.label + " scipy text is one of ours: " + want);
    if (std::string(status_message(got)) != want)
      testing::fail(c.label, std::string("message '") + status_message(got) + "' != '" + want + "'");
    // scipy raises ValueError, or numpy's LinAlgError (a ValueError subclass) for a singular system.
    const bool singular = got == Status::singular_banded || got == Status::singular_dense;
    CHECK(status_kind(got) == (singular ? ErrorKind::linalg_error : ErrorKind::value_error), c.label + " kind");
  }
}

// The not-a-knot system solved independently: Gaussian elimination in long double, rows in order.
std::vector<double> not_a_knot_derivatives_ld(const std::vector<double>& x, const std::vector<double>& y) {
  const std::size_t n = x.size();
  std::vector<long double> h(n - 1), sl(n - 1), lo(n), di(n), up(n), b(n);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    h[i] = static_cast<long double>(x[i + 1]) - x[i];
    sl[i] = (static_cast<long double>(y[i + 1]) - y[i]) / h[i];
  }
  for (std::size_t i = 1; i + 1 < n; ++i) {
    lo[i] = h[i];
    di[i] = 2 * (h[i - 1] + h[i]);
    up[i] = h[i - 1];
    b[i] = 3 * (h[i] * sl[i - 1] + h[i - 1] * sl[i]);
  }
  const long double d0 = h[0] + h[1], d1 = h[n - 2] + h[n - 3];
  di[0] = h[1];
  up[0] = d0;
  b[0] = ((h[0] + 2 * d0) * h[1] * sl[0] + h[0] * h[0] * sl[1]) / d0;
  lo[n - 1] = d1;
  di[n - 1] = h[n - 3];
  b[n - 1] = (h[n - 2] * h[n - 2] * sl[n - 3] + (2 * d1 + h[n - 2]) * h[n - 3] * sl[n - 2]) / d1;
  for (std::size_t i = 1; i < n; ++i) {
    const long double w = lo[i] / di[i - 1];
    di[i] -= w * up[i - 1];
    b[i] -= w * b[i - 1];
  }
  std::vector<double> d(n);
  long double next = b[n - 1] / di[n - 1];
  d[n - 1] = static_cast<double>(next);
  for (std::size_t i = n - 1; i-- > 0;) {
    next = (b[i] - up[i] * next) / di[i];
    d[i] = static_cast<double>(next);
  }
  return d;
}

// Long tables (their systems are solved from both ends at once), odd and even sizes around the switch:
// the knot derivatives agree with an independent long-double solve to rounding.
void long_tables() {
  std::mt19937_64 g(17);
  std::uniform_real_distribution<double> U(0.0, 1.0);
  for (std::size_t n : {63, 64, 65, 66, 67, 128, 129, 1000, 1001, 2048}) {
    std::vector<double> x(n), y(n);
    double at = U(g);
    for (std::size_t i = 0; i < n; ++i) {
      at += 0.05 + U(g) * (i % 7 == 0 ? 5.0 : 1.0);
      x[i] = at;
      y[i] = std::sin(0.3 * at) + 0.1 * U(g);
    }
    PiecewiseCubic s;
    CHECK(build_not_a_knot(x.data(), n, y.data(), n, s) == Status::ok, "long table builds, n=" + std::to_string(n));
    const std::vector<double> want = not_a_knot_derivatives_ld(x, y);
    std::vector<double> got(n - 1), want_left(want.begin(), want.end() - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) got[k] = s.coefficient(2, k);
    testing::check_close(got, want_left, 1e-12, 1e-13 * scale(want), "long table derivatives, n=" + std::to_string(n));
  }
}

void hand_cases() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Two knots: both interpolants are the straight line; NaN just outside and for NaN.
  const double x[2] = {1.0, 3.0}, y[2] = {2.0, 6.0};
  MonotoneCubic p;
  PiecewiseCubic s;
  CHECK(p.build(x, 2, y, 2) == Status::ok && build_not_a_knot(x, 2, y, 2, s) == Status::ok, "two knots");
  const std::function<double(double)> both[2] = {[&p](double v) { return p(v); }, [&s](double v) { return s(v); }};
  for (const auto& f : both) {
    CHECK(f(1.0) == 2.0 && f(3.0) == 6.0 && f(2.0) == 4.0, "two knots: the line");
    CHECK(std::isnan(f(std::nextafter(1.0, 0.0))) && std::isnan(f(std::nextafter(3.0, 4.0))), "NaN outside");
    CHECK(std::isnan(f(nan)), "NaN in, NaN out");
  }
  // The linear fallback of both factories is np.interp with NaN sides, whatever the knots' order.
  const double xu[4] = {0.0, 2.0, 1.0, 3.0}, yu[4] = {0.0, 4.0, 1.0, 9.0};
  Interpolant a, b;
  CHECK(make_pchip(Backend::fallback, xu, 4, yu, 4, a) == Status::ok, "fallback accepts unsorted knots");
  CHECK(make_cubic(Backend::fallback, xu, 4, yu, 4, b) == Status::ok, "fallback cubic");
  CHECK(a.kind() == Interpolant::Kind::linear && b.kind() == Interpolant::Kind::linear, "fallback is linear");
  CHECK(make_pchip(Backend::scipy, xu, 4, yu, 4, a) == Status::x_not_increasing, "scipy backend refuses them");
  const double xs[3] = {0.0, 1.0, 2.0}, ys[3] = {0.0, 1.0, 4.0};
  CHECK(make_cubic(Backend::fallback, xs, 3, ys, 3, b) == Status::ok, "fallback on sorted knots");
  CHECK(b(0.5) == 0.5 && b(1.5) == 2.5 && std::isnan(b(-0.1)) && std::isnan(b(2.1)) && b(2.0) == 4.0, "linear values");
  CHECK(make_cubic(Backend::fallback, xs, 0, ys, 0, b) == Status::interp_empty, "fallback on no knots");
  CHECK(make_cubic(Backend::fallback, xs, 3, ys, 2, b) == Status::interp_length, "fallback on unequal lengths");
  // Many unsorted points (located through the bucket index) get the intervals one point at a time gets (a
  // binary search), bit for bit: evenly spread, uneven and clustered knots, points on and beside knots.
  {
    std::mt19937_64 g(3);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int table = 0; table < 12; ++table) {
      const std::size_t nk = 65 + g() % 3000;
      std::vector<double> xk(nk), yk(nk);
      double at = 0.0;
      for (std::size_t i = 0; i < nk; ++i) {
        at += table % 3 == 0 ? 1.0 : table % 3 == 1 ? 1e-3 + U(g) : (i % 97 < 60 ? 1e-9 : 1.0) * (1.0 + U(g));
        xk[i] = at;
        yk[i] = std::sin(at) + 0.001 * static_cast<double>(i);
      }
      MonotoneCubic mc;
      PiecewiseCubic sc;
      CHECK(mc.build(xk.data(), nk, yk.data(), nk) == Status::ok, "random table: monotone cubic");
      CHECK(build_not_a_knot(xk.data(), nk, yk.data(), nk, sc) == Status::ok, "random table: spline");
      std::vector<double> q(4 * nk + 50);
      for (double& v : q) {
        const std::size_t k = g() % nk;
        switch (g() % 4) {
          case 0: v = xk[k]; break;
          case 1: v = std::nextafter(xk[k], -1e300); break;
          case 2: v = std::nextafter(xk[k], 1e300); break;
          default: v = xk[0] + (xk[nk - 1] - xk[0]) * U(g);
        }
      }
      q[7] = xk[nk - 1];
      std::vector<double> all(q.size()), one(q.size()), sall(q.size()), sone(q.size());
      mc.eval(q.data(), q.size(), all.data());
      sc.eval(q.data(), q.size(), sall.data());
      for (std::size_t i = 0; i < q.size(); ++i) {
        one[i] = mc(q[i]);
        sone[i] = sc(q[i]);
      }
      testing::check_same(all, one, "unsorted points, monotone cubic, table " + std::to_string(table));
      testing::check_same(sall, sone, "unsorted points, spline, table " + std::to_string(table));
    }
  }

  // A monotone table gives a monotone interpolant; the spline overshoots the same table.
  const double xm[5] = {0.0, 1.0, 2.0, 3.0, 4.0}, ym[5] = {0.0, 0.0, 0.0, 1.0, 1.0};
  CHECK(p.build(xm, 5, ym, 5) == Status::ok && build_not_a_knot(xm, 5, ym, 5, s) == Status::ok, "step table");
  double lo = 0.0, hi = 1.0, prev = -1.0;
  bool monotone = true, overshoot = false;
  for (int i = 0; i <= 400; ++i) {
    const double v = p(i * 0.01), w = s(i * 0.01);
    monotone = monotone && v >= prev && v >= lo && v <= hi;
    prev = v;
    overshoot = overshoot || w < lo || w > hi;
  }
  CHECK(monotone, "monotone cubic stays monotone within the data");
  CHECK(overshoot, "the spline overshoots the step");
}

}  // namespace

int main() {
  try {
    for (const Case& c : testing::reference_cases("interp")) {
      if (c.label.rfind("bad", 0) == 0) {
        bad(c);
      } else {
        good(c);
      }
    }
    CHECK(cubic_cases > 400, "reference cases were read");
    std::printf("cubic spline: %zu of %zu cases bit-identical with scipy\n", cubic_identical, cubic_cases);
    hand_cases();
    long_tables();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_interp");
}
