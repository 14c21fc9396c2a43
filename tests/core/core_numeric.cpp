// numpy-exact array primitives against numpy itself: sums and means (pairwise summation), running sums,
// differences, linspace, arange, interp (with NaN, unsorted and repeated knots), clip and argmax.
#include <cmath>
#include <limits>

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
    // The tolerance constant.
    CHECK(kEps == 2.220446049250313e-13, "kEps");
    CHECK(np_sign(-0.0) == 0.0 && std::isnan(np_sign(kNaN)) && np_sign(-3.0) == -1.0, "sign");
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_numeric");
}
