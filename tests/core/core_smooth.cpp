// Cleaning and log-density smoothing against a numpy/scipy transcription of the module's algorithm, on
// a few hundred random marginals of 3 to 2000 points (uneven spacing, unsorted input, NaN / zero /
// negative / tiny densities, with and without widening, several refinement factors, both backends):
//   * cleaned marginals, smoothed abscissae and the number of surviving points: bit for bit;
//   * log-densities and densities (through log/exp): to 1e-12 relative;
//   * the log-density function, the resampling, the errors passed on, and ties resolved by the caller's
//     permutation.
#include <cmath>

#include "core/smooth.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;

namespace {

// The permutation numpy chose, handed in as the binding does.
struct GivenArgsort {
  const std::vector<double>* order;
  int* calls;
  void operator()(const std::vector<double>& x, std::vector<std::int64_t>& out) const {
    ++*calls;
    if (order->size() != x.size()) throw std::runtime_error("reference permutation has the wrong size");
    out.assign(order->begin(), order->end());
  }
};

std::vector<std::int64_t> to_order(const std::vector<double>& v) { return {v.begin(), v.end()}; }

std::size_t identical_logy = 0, total_logy = 0, smooth_cases = 0;

void smooth_case(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const auto& prm = c.a("params");
  const double extrapolate = prm[0];
  const long long factor = static_cast<long long>(prm[1]);
  const Backend b = prm[2] != 0.0 ? Backend::scipy : Backend::fallback;

  Marginal m;
  int calls = 0;
  const std::vector<double> empty;
  const Status cs = clean_marginal(x.data(), y.data(), x.size(), m, GivenArgsort{c.has("argsort") ? &c.a("argsort") : &empty, &calls});
  if (!c.has("clean_x")) {  // cleaning itself fails
    if (std::string(status_message(cs)) != c.text("error"))
      testing::fail(c.label, std::string("cleaning: '") + status_message(cs) + "' != '" + c.text("error") + "'");
    return;
  }
  CHECK(cs == Status::ok, c.label + " cleans");
  testing::check_same(m.x, c.a("clean_x"), c.label + " clean x");
  testing::check_same(m.y, c.a("clean_y"), c.label + " clean y");
  // The same through the explicit permutation.
  {
    std::vector<double> xd, yd;
    drop_nan_density(x.data(), y.data(), x.size(), xd, yd);
    Marginal m2;
    const auto order = to_order(c.a("argsort"));
    CHECK(sort_and_filter(xd.data(), yd.data(), xd.size(), order.data(), m2) == Status::ok, c.label + " sort_and_filter");
    testing::check_same(m2.x, c.a("clean_x"), c.label + " clean x (given order)");
  }

  std::size_t n = 0;
  CHECK(smoothing_size(m.x.size(), extrapolate, factor, n), c.label + " size");
  SmoothGrid g;
  const Status s = smooth_log_density(m, extrapolate, n, b, g);
  const std::string& err = c.text("error");
  if (!err.empty()) {
    if (std::string(status_message(s)) != err)
      testing::fail(c.label, std::string("smoothing: '") + status_message(s) + "' != '" + err + "'");
    return;
  }
  CHECK(s == Status::ok, c.label + " smooths");
  ++smooth_cases;
  testing::check_same(g.x, c.a("log_x"), c.label + " log-mode abscissae");
  testing::check_close(g.logy, c.a("log_y"), 1e-12, 1e-12, c.label + " log-mode values");
  for (std::size_t i = 0; i < g.logy.size() && i < c.a("log_y").size(); ++i) {
    ++total_logy;
    if (testing::same(g.logy[i], c.a("log_y")[i])) ++identical_logy;
  }

  Marginal d;
  CHECK(smooth_density(m, extrapolate, n, b, d, StableArgsort{}) == Status::ok, c.label + " density mode");
  testing::check_same(d.x, c.a("dens_x"), c.label + " density-mode abscissae (and count)");
  testing::check_close(d.y, c.a("dens_y"), 1e-12, 0.0, c.label + " density-mode values");

  LogDensity f;
  CHECK(sf_marginal(d.x.data(), d.y.data(), d.x.size(), b, f, StableArgsort{}) == Status::ok, c.label + " sf");
  testing::check_same({f.lo, f.hi}, c.a("sf_range"), c.label + " range");
  const auto& q = c.a("sf_q");
  std::vector<double> fv(q.size());
  f.eval(q.data(), q.size(), fv.data());
  testing::check_close(fv, c.a("sf_val"), 1e-12, 1e-12, c.label + " log-density function");

  std::vector<double> gx, gy;
  CHECK(spline_resample(m, b, gx, gy) == Status::ok, c.label + " resample");
  testing::check_same(gx, c.a("spline_x"), c.label + " resampling grid");
  testing::check_close(gy, c.a("spline_y"), 1e-12, 0.0, c.label + " resampled densities");
}

void error_case(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const double e = c.a("params")[0];
  Marginal m;
  Status s = clean_marginal(x.data(), y.data(), x.size(), m);
  Marginal d;
  if (s == Status::ok) {
    std::size_t n = 0;
    smoothing_size(m.x.size(), e, 15, n);
    s = smooth_density(m, e, n, Backend::scipy, d, StableArgsort{});
  }
  const std::string& want = c.text("error");
  if (std::string(status_message(s)) != want)
    testing::fail(c.label, std::string("'") + status_message(s) + "' != '" + want + "'");
  if (want.empty()) testing::check_same(d.x, c.a("dens_x"), c.label + " abscissae");
}

void ties_case(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  Marginal m;
  int calls = 0;
  const std::vector<double> empty;
  const Status s = clean_marginal(x.data(), y.data(), x.size(), m, GivenArgsort{c.has("argsort") ? &c.a("argsort") : &empty, &calls});
  const std::string& want = c.text("error");
  if (std::string(status_message(s)) != want)
    testing::fail(c.label, std::string("'") + status_message(s) + "' != '" + want + "'");
  if (!want.empty()) return;
  CHECK(calls == 1, c.label + " ties make the core ask for the permutation");
  testing::check_same(m.x, c.a("clean_x"), c.label + " x");
  testing::check_same(m.y, c.a("clean_y"), c.label + " y");
}

void hand_cases() {
  // Sort uniqueness: ties (including -0.0 == 0.0) and two NaNs need numpy's permutation; one NaN does not.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double a[4] = {1.0, 0.0, 2.0, nan}, b[3] = {0.0, -0.0, 1.0}, c[3] = {nan, 1.0, nan}, d[3] = {2.0, 1.0, 2.0};
  CHECK(sort_is_unique(a, 4) && !sort_is_unique(b, 3) && !sort_is_unique(c, 3) && !sort_is_unique(d, 3), "uniqueness");
  // The cleaning examples: [3,1,2]/[1,2,3] sorts; 1e-14 relative is dropped, 1e-12 kept; zeros dropped.
  Marginal m;
  const double x1[3] = {3, 1, 2}, y1[3] = {1, 2, 3};
  CHECK(clean_marginal(x1, y1, 3, m) == Status::ok && m.x == std::vector<double>({1, 2, 3}) &&
            m.y == std::vector<double>({2, 3, 1}), "sorted by x");
  const double x2[4] = {0, 1, 2, 3}, y2[4] = {1.0, 1e-14, 1.0, 1.0}, y3[4] = {1.0, 1e-12, 1.0, 1.0};
  CHECK(clean_marginal(x2, y2, 4, m) == Status::ok && m.x.size() == 3, "relatively tiny density dropped");
  CHECK(clean_marginal(x2, y3, 4, m) == Status::ok && m.x.size() == 4, "1e-12 kept");
  const double y4[4] = {0.0, 1.0, 2.0, 0.0}, y5[4] = {nan, nan, nan, nan};
  CHECK(clean_marginal(x2, y4, 4, m) == Status::too_small, "too small");
  CHECK(clean_marginal(x2, y5, 4, m) == Status::no_finite_points, "no finite points");
  const double y6[4] = {1.0, std::numeric_limits<double>::infinity(), 2.0, 3.0};
  CHECK(clean_marginal(x2, y6, 4, m) == Status::too_small, "an infinite density makes every ratio vanish or NaN");
  // Output sizes: factor * k, or the map's knot count when larger; factor 0 gives nx.
  std::size_t n = 0;
  CHECK(smoothing_size(20, 0.0, 15, n) && n == 300, "20 points, factor 15");
  CHECK(smoothing_size(3, 0.0, 15, n) && n == 45, "3 points");
  CHECK(smoothing_size(7, 0.5, 1, n) && n == 9, "factor 1 with widening");
  CHECK(smoothing_size(7, nan, 0, n) && n == 9, "factor 0, NaN widening counts as widening");
  CHECK(smoothing_size(7, 0.0, -3, n) && n == 7, "negative factor");
  CHECK(!smoothing_size(7, 0.0, 1LL << 62, n), "overflowing factor is reported");
  // Equally spaced input: the coordinate is x itself, so the abscissae are (to rounding) an even grid.
  Marginal eq;
  for (int i = 0; i < 11; ++i) {
    eq.x.push_back(i * 0.5);
    eq.y.push_back(std::exp(-0.5 * (i - 5) * (i - 5) * 0.25));
  }
  std::vector<double> xk, t;
  tmap_coordinate(eq, 0.0, xk, t);
  double tdev = 0.0;
  for (std::size_t i = 0; i < t.size(); ++i) tdev = std::fmax(tdev, std::fabs(t[i] - eq.x[i]));
  CHECK(xk == eq.x && tdev < 1e-14, "equally spaced input: the coordinate is x");
  tmap_coordinate(eq, 0.5, xk, t);
  CHECK(xk.size() == 13 && xk.front() == -2.5 && xk.back() == 7.5 && t.front() == -2.5 && t.back() == 7.5,
        "widening adds a knot at each end, half the range out");
  SmoothGrid g;
  CHECK(smooth_log_density(eq, 0.0, 165, Backend::scipy, g) == Status::ok, "equally spaced");
  double worst = 0.0;
  for (std::size_t i = 0; i < g.x.size(); ++i) worst = std::fmax(worst, std::fabs(g.x[i] - 5.0 * i / 164.0));
  CHECK(worst < 1e-13, "equally spaced input gives an even grid");
  CHECK(g.x.size() == 165 && g.logy.size() == 165, "log mode keeps all n points");
}

}  // namespace

int main() {
  try {
    for (const Case& c : testing::reference_cases("smooth")) {
      if (c.label.rfind("smooth error", 0) == 0) {
        error_case(c);
      } else if (c.label.rfind("ties", 0) == 0) {
        ties_case(c);
      } else {
        smooth_case(c);
      }
    }
    CHECK(smooth_cases > 200, "reference cases were read");
    std::printf("smoothed log-densities: %zu of %zu values bit-identical with numpy/scipy\n", identical_logy,
                total_logy);
    hand_cases();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_smooth");
}
