// numpy-exact array primitives against numpy itself: sums and means (pairwise summation), running sums,
// differences, linspace, arange, interp (with NaN, unsorted and repeated knots), clip and argmax; and
// Python's min/max clamp.
#include <cmath>
#include <limits>
#include <random>

#include "core/numeric.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void sums(const Case& c) {
  const auto& a = c.a("a");
  const std::size_t n = a.size();
  testing::check_same({np_sum(a.data(), n)}, {c.num("sum")}, c.label + " sum");
  testing::check_same({np_mean(a.data(), n)}, {c.num("mean")}, c.label + " mean");
  std::vector<double> cs(n), df(n > 1 ? n - 1 : 0);
  np_cumsum(a.data(), n, cs.data());
  np_diff(a.data(), n, df.data());
  testing::check_same(cs, c.a("cumsum"), c.label + " cumsum");
  testing::check_same(df, c.a("diff"), c.label + " diff");
}

void linspace(const Case& c) {
  const auto& g = c.a("args");
  testing::check_same(np_linspace(g[0], g[1], static_cast<std::size_t>(g[2])), c.a("out"), c.label);
}

void arange(const Case& c) {
  const auto& g = c.a("args");
  testing::check_same(np_arange(g[0], g[1], g[2]), c.a("out"), c.label);
}

void interp(const Case& c) {
  const auto& xp = c.a("xp");
  const auto& fp = c.a("fp");
  const auto& q = c.a("q");
  std::vector<double> out(q.size()), out_lr(q.size());
  CHECK(np_interp(q.data(), q.size(), xp.data(), fp.data(), xp.size(), kNaN, kNaN, out.data()), c.label);
  CHECK(np_interp(q.data(), q.size(), xp.data(), fp.data(), xp.size(), -7.5, 9.25, out_lr.data()), c.label);
  testing::check_same(out, c.a("out"), c.label + " nan sides");
  testing::check_same(out_lr, c.a("out_lr"), c.label + " finite sides");
}

void clip(const Case& c) {
  const auto& v = c.a("v");
  const auto& g = c.a("args");
  std::vector<double> out;
  for (double x : v) out.push_back(np_clip(x, g[0], g[1]));
  testing::check_same(out, c.a("out"), c.label);
}

void argmax(const Case& c) {
  const auto& v = c.a("v");
  CHECK(static_cast<double>(np_argmax(v.data(), v.size())) == c.num("out"), c.label);
}

}  // namespace

int main() {
  try {
    const auto cases = testing::reference_cases("numeric");
    std::size_t seen = 0;
    for (const Case& c : cases) {
      const std::string kind = c.label.substr(0, c.label.find(' '));
      if (kind == "sum") sums(c);
      else if (kind == "linspace") linspace(c);
      else if (kind == "arange") arange(c);
      else if (kind == "interp") interp(c);
      else if (kind == "clip") clip(c);
      else if (kind == "argmax") argmax(c);
      else testing::fail(c.label, "unknown case kind");
      ++seen;
    }
    CHECK(seen > 100, "reference cases were read");

    // The empty table is refused (numpy: "array of sample points is empty").
    double q = 0.5, out = 0.0;
    CHECK(!np_interp(&q, 1, nullptr, nullptr, 0, kNaN, kNaN, &out), "interp on an empty table");
    // With a single knot numpy answers the knot's value even for a NaN query.
    const double x1 = 1.0, f1 = 3.0;
    std::ptrdiff_t guess = 0;
    CHECK(np_interp_one(kNaN, &x1, &f1, 1, kNaN, kNaN, guess) == 3.0, "single-knot interp of NaN");
    CHECK(np_sign(-0.0) == 0.0 && std::isnan(np_sign(kNaN)) && np_sign(-3.0) == -1.0, "sign");
    // min / max: the first extreme in order, bits included (a zero extreme keeps the sign of the first zero),
    // NaN if any element is NaN, for every length and mixture of ties, signed zeros and NaN.
    std::mt19937_64 g(5);
    for (int trial = 0; trial < 4000; ++trial) {
      const std::size_t n = 1 + g() % 70;
      std::vector<double> a(n);
      const double sign = trial % 3 == 0 ? -1.0 : trial % 3 == 1 ? 1.0 : 0.0;  // all <= 0, all >= 0, or mixed
      for (double& v : a) {
        const unsigned k = g() % 6;
        v = k == 0 ? 0.0 : k == 1 ? -0.0 : static_cast<double>(1 + g() % 1000) / 7.0 - (sign == 0.0 ? 70.0 : 0.0);
        if (k > 1 && sign != 0.0) v = sign * std::fabs(v);
      }
      if (g() % 5 == 0) a[g() % n] = kNaN;
      double lo = a[0], hi = a[0];
      bool nan = false;
      for (double v : a) {
        nan |= std::isnan(v);
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
      const double want_lo = nan ? kNaN : lo, want_hi = nan ? kNaN : hi;
      const double got_lo = np_min(a.data(), n), got_hi = np_max(a.data(), n);
      const std::string where = std::to_string(n) + " values";
      CHECK(testing::same(got_lo, want_lo) && std::signbit(got_lo) == std::signbit(want_lo), "min of " + where);
      CHECK(testing::same(got_hi, want_hi) && std::signbit(got_hi) == std::signbit(want_hi), "max of " + where);
    }
    // Python's min(hi, max(v, lo)): a NaN v ends as hi, a NaN lo is never chosen, a NaN hi always is.
    CHECK(py_clamp(-1.0, 0.0, 1.0) == 0.0 && py_clamp(2.0, 0.0, 1.0) == 1.0 && py_clamp(0.5, 0.0, 1.0) == 0.5,
          "py_clamp inside and outside");
    CHECK(py_clamp(kNaN, 0.0, 1.0) == 1.0 && py_clamp(0.5, kNaN, 1.0) == 0.5 && std::isnan(py_clamp(0.5, 0.0, kNaN)),
          "py_clamp with NaN");
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_numeric");
}
