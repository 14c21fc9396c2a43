#include "core/quadra_extra.hpp"

#include <cmath>

#include "core/numeric.hpp"

namespace vexil::core {

void tmap_knots(const double* x, std::size_t k, double extrapolate, std::vector<double>& xk, std::vector<double>& t) {
  // r = np.ptp(x); xmin = x.min() - extrapolate * r; xmax = x.max() + extrapolate * r
  const double r = np_ptp(x, k);
  const double xmin = np_min(x, k) - extrapolate * r;
  const double xmax = np_max(x, k) + extrapolate * r;

  xk.clear();
  if (extrapolate != 0.0) {
    xk.reserve(k + 2);
    xk.push_back(xmin);
    xk.insert(xk.end(), x, x + k);
    xk.push_back(xmax);
  } else {
    xk.assign(x, x + k);
  }
  const std::size_t nx = xk.size();

  // raw = np.concatenate(([0.0], np.cumsum(np.sqrt(nx * np.diff(xk) / np.diff(xk).mean()))))
  std::vector<double> dx = np_diff(xk.data(), nx);
  const double mean_dx = np_mean(dx.data(), dx.size());
  const double nxd = static_cast<double>(nx);
  std::vector<double> root(dx.size());
  for (std::size_t i = 0; i < dx.size(); ++i) root[i] = std::sqrt(nxd * dx[i] / mean_dx);
  std::vector<double> raw(nx);
  raw[0] = 0.0;
  if (nx > 1) np_cumsum(root.data(), root.size(), raw.data() + 1);

  // t = xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())
  const double rmin = np_min(raw.data(), nx);
  const double rmax = np_max(raw.data(), nx);
  const double span = xmax - xmin;
  const double rspan = rmax - rmin;
  t.resize(nx);
  for (std::size_t i = 0; i < nx; ++i) t[i] = xmin + span * (raw[i] - rmin) / rspan;
}

}  // namespace vexil::core
