// Pieces of the log-density smoothing that the extension module drives step by step (so that each of its
// interpolators can be the module's own or a replacement supplied from Python).
#pragma once

#include <cstddef>
#include <vector>

namespace vexil::core {

// The knots of the "nonuniform t-map" of a cleaned marginal (x ascending, k >= 2 points, as numpy computes
// them, to the last bit):
//   xk  x itself, or [x.min() - e*r, x..., x.max() + e*r] when extrapolate e != 0.0 (NaN counts as
//       different), r = np.ptp(x);
//   t   the running sum of sqrt(nx * diff(xk) / mean(diff(xk))) from 0.0, rescaled affinely onto
//       [xmin, xmax] (the first and last entries of xk).
void tmap_knots(const double* x, std::size_t k, double extrapolate, std::vector<double>& xk,
                std::vector<double>& t);

}  // namespace vexil::core
