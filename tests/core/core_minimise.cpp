// The bounded minimiser against scipy's minimize_scalar(method="bounded"): the same sequence of
// evaluation points, result, evaluation count and status, on smooth, kinked, flat, stepped and NaN-laden
// objectives, including the evaluation limit; scipy's errors for bad bounds. The golden-section search
// against the module's algorithm where that ends, and its two mends: it ends for any tolerance and it
// refuses non-finite bounds with the bounded minimiser's error. Exceptions from the objective propagate.
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>

#include "core/minimise.hpp"
#include "testing.hpp"

using namespace vexil::core;
using testing::Case;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The golden-section search on an objective returning double, compared with <.
template <class F>
Status golden(F&& f, double a, double b, double tol, double& x) {
  return golden_section_search(f, [](double u, double v) { return u < v; }, a, b, tol, x);
}

// The objectives of gen_cases.py, with the same arithmetic.
const std::map<std::string, std::function<double(double)>>& objectives() {
  static const std::map<std::string, std::function<double(double)>> m = {
      {"quad", [](double x) { return (x - 0.3) * (x - 0.3); }},
      {"abs", [](double x) { return std::fabs(x - 1.0) + 0.5; }},
      {"cos", [](double x) { return std::cos(x); }},
      {"quartic", [](double x) { return x * x * x * x - 3.0 * x * x + x; }},
      {"nanhole", [](double x) { return (0.2 < x && x < 0.4) ? kNaN : (x - 0.5) * (x - 0.5); }},
      {"flat", [](double) { return 1.0; }},
      {"step", [](double x) { return x < 0.7 ? 0.0 : 1.0; }},
      {"edge", [](double x) { return -x; }},
  };
  return m;
}

// The case's objective, recording the abscissae it is called with in `calls`.
std::function<double(double)> recorded(const Case& c, std::vector<double>& calls) {
  const auto& f = objectives().at(c.text("fun"));
  return [&f, &calls](double x) {
    calls.push_back(x);
    return f(x);
  };
}

void bounded_case(const Case& c) {
  const auto& g = c.a("args");
  std::vector<double> calls;
  auto rec = recorded(c, calls);
  BoundedResult r;
  const Status s = minimize_bounded(rec, g[0], g[1], g[2], r, static_cast<int>(g[3]));
  if (c.texts.count("error")) {
    if (std::string(status_message(s)) != c.text("error"))
      testing::fail(c.label, std::string("'") + status_message(s) + "' != '" + c.text("error") + "'");
    CHECK(calls.empty(), c.label + " nothing evaluated");
    return;
  }
  CHECK(s == Status::ok, c.label + " ok");
  testing::check_same(calls, c.a("calls"), c.label + " evaluation points");
  const auto& res = c.a("result");
  testing::check_same({r.x, r.fun, static_cast<double>(r.nfev), static_cast<double>(r.status)}, res,
                      c.label + " x, fun, nfev, status");
}

void golden_case(const Case& c) {
  const auto& g = c.a("args");
  std::vector<double> calls;
  auto rec = recorded(c, calls);
  double x = 0.0;
  CHECK(golden(rec, g[0], g[1], g[2], x) == Status::ok, c.label + " ok");
  testing::check_same(calls, c.a("calls"), c.label + " evaluation points (unchanged by the mends)");
  testing::check_same({x}, {c.num("result")}, c.label + " result");
}

// The module's search without the mends, stopped after max_rounds (returns false then).
template <class F>
bool golden_plain(F&& f, double a, double b, double tol, double& x, std::vector<double>& calls, int max_rounds) {
  const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
  auto g = [&](double v) {
    calls.push_back(v);
    return f(v);
  };
  double c = b - gr * (b - a), d = a + gr * (b - a);
  double fc = g(c), fd = g(d);
  for (int round = 0; std::fabs(b - a) > tol * (1.0 + std::fabs(a) + std::fabs(b)); ++round) {
    if (round == max_rounds) return false;
    if (fc < fd) {
      b = d;
      d = c;
      fd = fc;
      c = b - gr * (b - a);
      fc = g(c);
    } else {
      a = c;
      c = d;
      fc = fd;
      d = a + gr * (b - a);
      fd = g(d);
    }
  }
  x = 0.5 * (a + b);
  return true;
}

// Brackets a few doubles wide with tol 0: wherever the plain search ends, the mended one ends with the
// same evaluations and result; where it does not end, the mended one ends inside the bracket.
void tiny_brackets() {
  const std::vector<std::function<double(double)>> fs = {
      [](double v) { return v; }, [](double v) { return -v; }, [](double) { return 1.0; },
      [](double v) { return std::fabs(v - 1.0000000000000004); }, [](double) { return kNaN; },
      [](double v) { return (v - 1.0) * (v - 1.0); }};
  int ended = 0, endless = 0;
  for (std::size_t fi = 0; fi < fs.size(); ++fi) {
    for (double base : {1.0, -3.5, 1e-300, 0.0}) {
      for (int width = 0; width <= 6; ++width) {
        double hi = base;
        for (int i = 0; i < width; ++i) hi = std::nextafter(hi, kInf);
        for (double tol : {0.0, -1.0}) {
          std::vector<double> want_calls, got_calls;
          double want = 0.0, got = 0.0;
          const bool ends = golden_plain(fs[fi], base, hi, tol, want, want_calls, 2000);
          auto rec = [&](double v) {
            got_calls.push_back(v);
            return fs[fi](v);
          };
          CHECK(golden(rec, base, hi, tol, got) == Status::ok, "tiny bracket");
          const std::string where = "tiny bracket f" + std::to_string(fi) + " base " + testing::fmt(base) +
                                    " width " + std::to_string(width);
          if (ends) {
            ++ended;
            testing::check_same(got_calls, want_calls, where + ": same evaluations as the plain search");
            testing::check_same({got}, {want}, where + ": same result as the plain search");
          } else {
            ++endless;
            CHECK(got >= base && got <= hi && got_calls.size() < 200, where + ": ends inside the bracket");
          }
        }
      }
    }
  }
  CHECK(ended > 20 && endless > 20, "tiny brackets cover both kinds");
}

void mends() {
  auto quad = objectives().at("quad");
  // Tolerances at which the loop condition never fails: zero, negative, below the spacing of doubles.
  for (double tol : {0.0, -1.0, 1e-300, -kInf}) {
    int evals = 0;
    auto f = [&](double x) {
      ++evals;
      return quad(x);
    };
    double x = -1.0;
    CHECK(golden(f, 0.0, 1.0, tol, x) == Status::ok, "ends with tol " + testing::fmt(tol));
    CHECK(std::fabs(x - 0.3) < 1e-7 && evals < 200, "converges with tol " + testing::fmt(tol));
  }
  // A tiny bracket of neighbouring doubles, tol 0: one round, and the midpoint.
  {
    const double a = 1.0, b = std::nextafter(1.0, 2.0);
    int evals = 0;
    double x = 0.0;
    auto f = [&](double v) {
      ++evals;
      return v;
    };
    CHECK(golden(f, a, b, 0.0, x) == Status::ok && x >= a && x <= b && evals <= 4, "neighbouring bounds");
  }
  // a == b: two evaluations, no round, a returned.
  {
    int evals = 0;
    double x = 0.0;
    auto f = [&](double v) {
      ++evals;
      return quad(v);
    };
    CHECK(golden(f, 2.0, 2.0, 1e-6, x) == Status::ok && x == 2.0 && evals == 2, "a == b");
  }
  // An objective that is NaN everywhere still ends (the comparison is false, the left end moves).
  {
    double x = 0.0;
    CHECK(golden([](double) { return kNaN; }, 0.0, 1.0, 0.0, x) == Status::ok && x > 0.99, "NaN objective");
  }
  // Non-finite bounds: the bounded minimiser's error, nothing evaluated.
  for (auto ab : {std::pair<double, double>{kNaN, 1.0}, {0.0, kInf}, {-kInf, 0.0}, {kNaN, kNaN}}) {
    int evals = 0;
    double x = 0.0;
    auto f = [&](double v) {
      ++evals;
      return v;
    };
    const Status s = golden(f, ab.first, ab.second, 1e-6, x);
    CHECK(s == Status::bounds_not_finite && evals == 0, "non-finite bounds refused");
    CHECK(std::string(status_message(s)) == "Optimization bounds must be finite scalars.", "message");
    BoundedResult r;
    CHECK(minimize_bounded(f, ab.first, ab.second, 1e-6, r) == s, "same status as the bounded path");
  }
  // Any result type with a comparison: here pairs compared on their first member; the same evaluations and
  // result as with doubles.
  {
    std::vector<double> pair_calls, double_calls;
    auto f = [&](double v) {
      pair_calls.push_back(v);
      return std::pair<double, int>(quad(v), 0);
    };
    auto g = [&](double v) {
      double_calls.push_back(v);
      return quad(v);
    };
    auto less = [](const std::pair<double, int>& u, const std::pair<double, int>& v) { return u.first < v.first; };
    double x = 0.0, xd = 0.0;
    CHECK(golden_section_search(f, less, 0.0, 1.0, 1e-8, x) == Status::ok, "generic result type");
    CHECK(golden(g, 0.0, 1.0, 1e-8, xd) == Status::ok, "double result type");
    CHECK(x == xd && pair_calls == double_calls && pair_calls.size() > 10, "the same search either way");
  }
  // The module's dispatcher picks the method by backend.
  {
    double xs = 0.0, xg = 0.0;
    CHECK(minimize_on_interval(Backend::scipy, quad, 0.0, 1.0, 1e-6, xs) == Status::ok, "scipy backend");
    CHECK(minimize_on_interval(Backend::fallback, quad, 0.0, 1.0, 1e-6, xg) == Status::ok, "fallback backend");
    CHECK(std::fabs(xs - 0.3) < 1e-5 && std::fabs(xg - 0.3) < 1e-5 && xs != xg, "both find the minimum");
    CHECK(minimize_on_interval(Backend::scipy, quad, 1.0, 0.0, 1e-6, xs) == Status::bounds_reversed, "reversed");
  }
  // An exception thrown by the objective (a Python error in the binding) passes through both methods.
  for (Backend b : {Backend::scipy, Backend::fallback}) {
    int evals = 0;
    auto f = [&](double v) {
      if (++evals == 3) throw std::runtime_error("objective failed");
      return quad(v);
    };
    bool caught = false;
    double x = 0.0;
    try {
      minimize_on_interval(b, f, 0.0, 1.0, 1e-6, x);
    } catch (const std::runtime_error&) {
      caught = true;
    }
    CHECK(caught && evals == 3, "exception propagates");
  }
}

}  // namespace

int main() {
  try {
    std::size_t nb = 0, ng = 0;
    for (const Case& c : testing::reference_cases("minimise")) {
      if (c.label.rfind("bounded", 0) == 0) {
        bounded_case(c);
        ++nb;
      } else {
        golden_case(c);
        ++ng;
      }
    }
    CHECK(nb > 15 && ng > 8, "reference cases were read");
    mends();
    tiny_brackets();
  } catch (const std::exception& e) {
    testing::fail("setup", e.what());
  }
  return testing::report("core_minimise");
}
