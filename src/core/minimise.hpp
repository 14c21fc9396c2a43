// One-dimensional minimisers on a closed interval.
//
// minimize_bounded  scipy's bounded scalar minimiser (Brent's method with golden-section steps, as
//                   minimize_scalar(method="bounded") runs it): same iterates, same evaluation count,
//                   same stopping rule, same errors for bad bounds.
// golden_section_search  the module's fallback golden-section search, with two mends: it stops once the
//                        bracket can shrink no further (so it ends for any tol, and wherever the plain
//                        loop ends it ends identically), and it refuses non-finite bounds with the
//                        bounded minimiser's error.
// minimize_on_interval   the module's minimiser: the first under the scipy backend, the second otherwise.
//
// The objective is a callable taking a double: returning a double for the bounded method, any value type
// with a comparison for the golden-section search. It may throw (the binding throws when a Python callback
// raised); the exception propagates unchanged and nothing leaks.
#pragma once

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/interp.hpp"
#include "core/numeric.hpp"
#include "core/status.hpp"

namespace vexil::core {

struct BoundedResult {
  double x = 0.0;    // the abscissa returned
  double fun = 0.0;  // f there (the last accepted value)
  int nfev = 0;      // evaluations made
  int status = 0;    // 0 solution found, 1 evaluation limit reached, 2 NaN met
};

// minimize_scalar(f, bounds=(x1, x2), method="bounded", options={"xatol": xatol, "maxiter": maxiter}).
template <class F>
Status minimize_bounded(F&& f, double x1, double x2, double xatol, BoundedResult& res, int maxiter = 500) {
  if (!(std::isfinite(x1) && std::isfinite(x2))) return Status::bounds_not_finite;
  if (x1 > x2) return Status::bounds_reversed;
  const int maxfun = maxiter;
  int flag = 0;
  const double sqrt_eps = std::sqrt(2.2e-16);
  const double golden_mean = 0.5 * (3.0 - std::sqrt(5.0));
  double a = x1, b = x2;
  double fulc = a + golden_mean * (b - a);
  double nfc = fulc, xf = fulc;
  double rat = 0.0, e = 0.0;
  double x = xf;
  double fx = f(x);
  int num = 1;
  double fu = std::numeric_limits<double>::infinity();
  double ffulc = fx, fnfc = fx;
  double xm = 0.5 * (a + b);
  double tol1 = sqrt_eps * std::fabs(xf) + xatol / 3.0;
  double tol2 = 2.0 * tol1;

  while (std::fabs(xf - xm) > (tol2 - 0.5 * (b - a))) {
    bool golden = true;
    if (std::fabs(e) > tol1) {  // try a parabolic fit
      golden = false;
      double r = (xf - nfc) * (fx - ffulc);
      double q = (xf - fulc) * (fx - fnfc);
      double p = (xf - fulc) * q - (xf - nfc) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::fabs(q);
      r = e;
      e = rat;
      if ((std::fabs(p) < std::fabs(0.5 * q * r)) && (p > q * (a - xf)) && (p < q * (b - xf))) {
        rat = (p + 0.0) / q;
        x = xf + rat;
        if (((x - a) < tol2) || ((b - x) < tol2)) {
          const double si = np_sign(xm - xf) + ((xm - xf) == 0.0 ? 1.0 : 0.0);
          rat = tol1 * si;
        }
      } else {
        golden = true;
      }
    }
    if (golden) {
      e = (xf >= xm) ? a - xf : b - xf;
      rat = golden_mean * e;
    }
    const double si = np_sign(rat) + (rat == 0.0 ? 1.0 : 0.0);
    x = xf + si * np_maximum(std::fabs(rat), tol1);
    fu = f(x);
    num += 1;
    if (fu <= fx) {
      if (x >= xf) {
        a = xf;
      } else {
        b = xf;
      }
      fulc = nfc;
      ffulc = fnfc;
      nfc = xf;
      fnfc = fx;
      xf = x;
      fx = fu;
    } else {
      if (x < xf) {
        a = x;
      } else {
        b = x;
      }
      if ((fu <= fnfc) || (nfc == xf)) {
        fulc = nfc;
        ffulc = fnfc;
        nfc = x;
        fnfc = fu;
      } else if ((fu <= ffulc) || (fulc == xf) || (fulc == nfc)) {
        fulc = x;
        ffulc = fu;
      }
    }
    xm = 0.5 * (a + b);
    tol1 = sqrt_eps * std::fabs(xf) + xatol / 3.0;
    tol2 = 2.0 * tol1;
    if (num >= maxfun) {
      flag = 1;
      break;
    }
  }
  if (std::isnan(xf) || std::isnan(fx) || std::isnan(fu)) flag = 2;
  res.x = xf;
  res.fun = fx;
  res.nfev = num;
  res.status = flag;
  return Status::ok;
}

// Golden-section search on [a, b], the minimiser used when scipy is not available:
//
//   gr = (sqrt(5) - 1) / 2; c = b - gr (b - a); d = a + gr (b - a); fc = f(c); fd = f(d)
//   while |b - a| > tol (1 + |a| + |b|):
//     if less(fc, fd): b = d; d = c; fd = fc; c = b - gr (b - a); fc = f(c)
//     else:            a = c; c = d; fc = fd; d = a + gr (b - a); fd = f(d)
//   return (a + b) / 2
//
// (a NaN comparison is false, so it moves the left end). Two mends of the plain loop:
//  * Non-finite a or b: bounds_not_finite before anything is evaluated (the bounded minimiser's error).
//  * The loop also ends once the bracket can shrink no further. While a and b stay unchanged, every new
//    interior point is one of the two golden points of that bracket, so the state (a, b, c, d) can take
//    only a handful of values; the search ends when a round leaves a and b unchanged and reaches a state
//    already seen since they last moved. With a deterministic f the plain loop would repeat that cycle
//    forever, so every search that ends without this rule ends with it at the same place after the same
//    evaluations; a search that would not end (tol <= 0, or tol below the spacing of doubles at the
//    bracket) now ends at the midpoint of the bracket it cannot narrow. (Ending at the first round that
//    leaves a and b unchanged would not do: a bracket one or two doubles wide still collapses a few rounds
//    later, and the result would change.)
//
// `f(double) -> V` and `less(const V&, const V&) -> bool` may throw; the exception propagates.
template <class F, class Less>
Status golden_section_search(F&& f, Less&& less, double a, double b, double tol, double& xmin) {
  if (!(std::isfinite(a) && std::isfinite(b))) return Status::bounds_not_finite;
  const double gr = (std::sqrt(5.0) - 1.0) / 2.0;
  double c = b - gr * (b - a);
  double d = a + gr * (b - a);
  auto fc = f(c);
  auto fd = f(d);

  struct State {
    double a, b, c, d;
    bool operator==(const State& o) const { return a == o.a && b == o.b && c == o.c && d == o.d; }
  };
  // States seen since a or b last moved (a handful at most; the cap is only a backstop).
  std::vector<State> seen{{a, b, c, d}};
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
    const State now{a, b, c, d};
    if (a != a0 || b != b0) {
      seen.clear();
    } else {
      bool repeated = false;
      for (const State& s : seen) repeated = repeated || s == now;
      if (repeated || seen.size() >= 64) break;  // the bracket can shrink no further
    }
    seen.push_back(now);
  }
  xmin = 0.5 * (a + b);
  return Status::ok;
}

// The module's minimiser: the bounded method with xatol = tol under the scipy backend, the golden-section
// search otherwise. Returns the argmin in xmin.
template <class F>
Status minimize_on_interval(Backend backend, F&& f, double a, double b, double tol, double& xmin) {
  if (backend == Backend::scipy) {
    BoundedResult r;
    const Status s = minimize_bounded(f, a, b, tol, r);
    if (s == Status::ok) xmin = r.x;
    return s;
  }
  return golden_section_search(f, [](double u, double v) { return u < v; }, a, b, tol, xmin);
}

}  // namespace vexil::core
