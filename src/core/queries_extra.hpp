// The golden-section search of the minimiser's fallback, generic over the type the objective returns, so
// that the extension module can run it on a native objective (doubles) and on a Python callable whose
// results are compared as Python compares them.
#pragma once

#include <cmath>
#include <vector>

#include "core/status.hpp"

namespace vexil::core {

// Golden-section search on [a, b], the minimiser used when the cubic backend is not available.
//
//   gr = (sqrt(5) - 1) / 2; c = b - gr (b - a); d = a + gr (b - a); fc = f(c); fd = f(d)
//   while |b - a| > tol (1 + |a| + |b|):
//     if less(fc, fd): b = d; d = c; fd = fc; c = b - gr (b - a); fc = f(c)
//     else:            a = c; c = d; fc = fd; d = a + gr (b - a); fd = f(d)
//   return (a + b) / 2
//
// Two repairs over the plain loop:
//  * Non-finite a or b: bounds_not_finite before anything is evaluated (the bounded minimiser's error).
//  * The loop also ends once the bracket can shrink no further. While a and b stay unchanged, every new
//    interior point is one of the two golden points of that bracket, so the state (a, b, c, d) can take
//    only a handful of values; the search ends when a round leaves a and b unchanged and reaches a state
//    already seen since they last moved. With a deterministic f the loop would repeat that cycle forever,
//    so every search that ends without this rule ends with it at the same place; a search that would not
//    end (tol <= 0, or tol below the spacing of doubles at the bracket) now ends at the midpoint of the
//    bracket it cannot narrow. (Ending at the first round that leaves a and b unchanged would not do:
//    a bracket one or two doubles wide still collapses a few rounds later, and the result would change.)
//
// `f(double) -> V` and `less(const V&, const V&) -> bool` may throw; the exception propagates.
template <class F, class Less>
Status golden_section_search(F&& f, Less&& less, double a, double b, double tol, double& xmin,
                             int* nfev = nullptr) {
  if (!(std::isfinite(a) && std::isfinite(b))) return Status::bounds_not_finite;
  const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
  double c = b - gr * (b - a);
  double d = a + gr * (b - a);
  auto fc = f(c);
  auto fd = f(d);
  int count = 2;

  struct State {
    double a, b, c, d;
    bool operator==(const State& o) const { return a == o.a && b == o.b && c == o.c && d == o.d; }
  };
  // States seen since a or b last moved. With a and b fixed, c and d range over at most four values
  // (the two golden points of the bracket and the two inherited ones), so the list stays short.
  std::vector<State> seen;
  seen.push_back({a, b, c, d});

  while (std::fabs(b - a) > tol * (1.0 + std::fabs(a) + std::fabs(b))) {
    const double a0 = a, b0 = b;
    if (less(fc, fd)) {
      b = d;
      d = c;
      fd = std::move(fc);
      c = b - gr * (b - a);
      fc = f(c);
    } else {
      a = c;
      c = d;
      fc = std::move(fd);
      d = a + gr * (b - a);
      fd = f(d);
    }
    ++count;
    const State now{a, b, c, d};
    if (!(a == a0 && b == b0)) {
      seen.clear();
    } else {
      bool repeated = false;
      for (const State& s : seen) repeated = repeated || s == now;
      if (repeated || seen.size() >= 64) break;  // the bracket can shrink no further
    }
    seen.push_back(now);
  }
  if (nfev) *nfev = count;
  xmin = 0.5 * (a + b);
  return Status::ok;
}

}  // namespace vexil::core
