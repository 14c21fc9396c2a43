// Cleaning and the t-map coordinate of the smoothing against numpy, on a few hundred random marginals of
// 3 to 2000 points (uneven spacing, unsorted input, NaN / zero / negative / tiny densities, with and
// without widening): cleaned marginals and the coordinate bit for bit, the monotone interpolant's errors
// for maps of degenerate tables, ties resolved by the caller's permutation, and the grid sizes.
#include <cmath>

#include "core/interp.hpp"
#include "core/smooth.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;
using testing::kEps;

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

std::size_t smooth_cases = 0;

void smooth_case(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  const double extrapolate = c.a("params")[0];

  Marginal m;
  int calls = 0;
  const std::vector<double> empty;
  const GivenArgsort numpy_order{c.has("argsort") ? &c.a("argsort") : &empty, &calls};
  const Status cs = clean_marginal(x.data(), y.data(), x.size(), kEps, m, numpy_order);
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
    CHECK(sort_and_filter(xd.data(), yd.data(), xd.size(), order.data(), kEps, m2) == Status::ok,
          c.label + " sort_and_filter");
    testing::check_same(m2.x, c.a("clean_x"), c.label + " clean x (given order)");
  }

  // The coordinate, and whether the monotone interpolants of the map (t -> x, then x -> t) accept it.
  std::vector<double> xk, t;
  tmap_coordinate(m.x.data(), m.x.size(), extrapolate, xk, t);
  testing::check_same(xk, c.a("tmap_xk"), c.label + " map knots");
  testing::check_same(t, c.a("tmap_t"), c.label + " coordinate");
  MonotoneCubic t2x, x2t;
  Status s = t2x.build(t.data(), t.size(), xk.data(), xk.size());
  if (s == Status::ok) s = x2t.build(xk.data(), xk.size(), t.data(), t.size());
  const std::string& err = c.text("map_error");
  if (std::string(status_message(s)) != err)
    testing::fail(c.label, std::string("map: '") + status_message(s) + "' != '" + err + "'");
  ++smooth_cases;
}

void ties_case(const Case& c) {
  const auto& x = c.a("x");
  const auto& y = c.a("y");
  Marginal m;
  int calls = 0;
  const std::vector<double> empty;
  const GivenArgsort numpy_order{c.has("argsort") ? &c.a("argsort") : &empty, &calls};
  const Status s = clean_marginal(x.data(), y.data(), x.size(), kEps, m, numpy_order);
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
  CHECK(clean_marginal(x1, y1, 3, kEps, m) == Status::ok && m.x == std::vector<double>({1, 2, 3}) &&
            m.y == std::vector<double>({2, 3, 1}), "sorted by x");
  const double x2[4] = {0, 1, 2, 3}, y2[4] = {1.0, 1e-14, 1.0, 1.0}, y3[4] = {1.0, 1e-12, 1.0, 1.0};
  CHECK(clean_marginal(x2, y2, 4, kEps, m) == Status::ok && m.x.size() == 3, "relatively tiny density dropped");
  CHECK(clean_marginal(x2, y3, 4, kEps, m) == Status::ok && m.x.size() == 4, "1e-12 kept");
  // The cut-off is the caller's: with 1e-11 the 1e-12 point goes too, with 0.5 a point at half the maximum.
  CHECK(clean_marginal(x2, y3, 4, 1e-11, m) == Status::ok && m.x.size() == 3, "the tolerance is a parameter");
  const double y7[4] = {1.0, 0.5, 0.6, 1.0};
  CHECK(clean_marginal(x2, y7, 4, 0.5, m) == Status::ok && m.x == std::vector<double>({0, 2, 3}), "strictly above");
  const double y4[4] = {0.0, 1.0, 2.0, 0.0}, y5[4] = {nan, nan, nan, nan};
  CHECK(clean_marginal(x2, y4, 4, kEps, m) == Status::too_small, "too small");
  CHECK(clean_marginal(x2, y5, 4, kEps, m) == Status::no_finite_points, "no finite points");
  const double y6[4] = {1.0, std::numeric_limits<double>::infinity(), 2.0, 3.0};
  CHECK(clean_marginal(x2, y6, 4, kEps, m) == Status::too_small, "an infinite density makes every ratio vanish or NaN");
  // Output sizes: factor * k, or the map's knot count when larger; factor 0 gives nx.
  std::size_t n = 0;
  CHECK(smoothing_size(20, 0.0, 15, n) && n == 300, "20 points, factor 15");
  CHECK(smoothing_size(3, 0.0, 15, n) && n == 45, "3 points");
  CHECK(smoothing_size(7, 0.5, 1, n) && n == 9, "factor 1 with widening");
  CHECK(smoothing_size(7, nan, 0, n) && n == 9, "factor 0, NaN widening counts as widening");
  CHECK(smoothing_size(7, 0.0, -3, n) && n == 7, "negative factor");
  CHECK(!smoothing_size(7, 0.0, 1LL << 62, n), "overflowing factor is reported");
  // Equally spaced input: the coordinate is x itself.
  std::vector<double> eq;
  for (int i = 0; i < 11; ++i) eq.push_back(i * 0.5);
  std::vector<double> xk, t;
  tmap_coordinate(eq.data(), eq.size(), 0.0, xk, t);
  double tdev = 0.0;
  for (std::size_t i = 0; i < t.size(); ++i) tdev = std::fmax(tdev, std::fabs(t[i] - eq[i]));
  CHECK(xk == eq && tdev < 1e-14, "equally spaced input: the coordinate is x");
  tmap_coordinate(eq.data(), eq.size(), 0.5, xk, t);
  CHECK(xk.size() == 13 && xk.front() == -2.5 && xk.back() == 7.5 && t.front() == -2.5 && t.back() == 7.5,
        "widening adds a knot at each end, half the range out");
}

}  // namespace

int main() {
  try {
    for (const Case& c : testing::reference_cases("smooth")) {
      if (c.label.rfind("ties", 0) == 0) {
        ties_case(c);
      } else {
        smooth_case(c);
      }
    }
    CHECK(smooth_cases > 200, "reference cases were read");
    hand_cases();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_smooth");
}
