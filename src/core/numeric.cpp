#include "core/numeric.hpp"

#include <cmath>
#include <limits>

namespace vexil::core {

double pairwise_sum(const double* a, std::size_t n, std::ptrdiff_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[static_cast<std::ptrdiff_t>(i) * stride];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j * stride];
    std::size_t i = 8;
    const std::size_t whole = n - (n % 8);
    for (; i < whole; i += 8) {
      const double* p = a + static_cast<std::ptrdiff_t>(i) * stride;
      for (int j = 0; j < 8; ++j) r[j] += p[j * stride];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[static_cast<std::ptrdiff_t>(i) * stride];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2, stride) + pairwise_sum(a + static_cast<std::ptrdiff_t>(n2) * stride, n - n2, stride);
}

double np_sum(const double* a, std::size_t n) { return 0.0 + pairwise_sum(a, n, 1); }

double np_mean(const double* a, std::size_t n) { return np_sum(a, n) / static_cast<double>(n); }

namespace {

// The first extreme of a[0..n) in order (`better(a, b)`: a replaces b), NaN if any element is NaN.
template <class Better>
double sequential_extreme(const double* a, std::size_t n, Better better) {
  double m = a[0];
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    nan |= std::isnan(a[i]);
    m = better(a[i], m) ? a[i] : m;
  }
  return nan ? std::numeric_limits<double>::quiet_NaN() : m;
}

// The same in four interleaved running extremes (independent chains, about four times as fast). The value
// of the extreme does not depend on the order of the comparisons, and its bits do only when it is zero
// (which sign comes first); that case is answered by the sequential scan.
template <class Better>
double extreme(const double* a, std::size_t n, Better better) {
  if (n < 16) return sequential_extreme(a, n, better);
  double m[4] = {a[0], a[1], a[2], a[3]};
  double nan[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int j = 0; j < 4; ++j) {
      m[j] = better(a[i + j], m[j]) ? a[i + j] : m[j];
      nan[j] = a[i + j] == a[i + j] ? nan[j] : 1.0;
    }
  }
  double r = m[0], any_nan = nan[0] + nan[1] + nan[2] + nan[3];
  for (int j = 1; j < 4; ++j) r = better(m[j], r) ? m[j] : r;
  for (; i < n; ++i) {
    r = better(a[i], r) ? a[i] : r;
    any_nan += a[i] == a[i] ? 0.0 : 1.0;
  }
  if (any_nan != 0.0) return std::numeric_limits<double>::quiet_NaN();
  return r == 0.0 ? sequential_extreme(a, n, better) : r;
}

}  // namespace

double np_min(const double* a, std::size_t n) {
  return extreme(a, n, [](double u, double v) { return u < v; });
}

double np_max(const double* a, std::size_t n) {
  return extreme(a, n, [](double u, double v) { return u > v; });
}

double np_ptp(const double* a, std::size_t n) { return np_max(a, n) - np_min(a, n); }

double np_maximum(double a, double b) {
  if (std::isnan(a)) return a;
  if (std::isnan(b)) return b;
  return a >= b ? a : b;
}

double np_minimum(double a, double b) {
  if (std::isnan(a)) return a;
  if (std::isnan(b)) return b;
  return a <= b ? a : b;
}

double np_clip(double v, double lo, double hi) { return np_minimum(np_maximum(v, lo), hi); }

double py_clamp(double v, double lo, double hi) {
  const double m = (lo > v) ? lo : v;
  return (m < hi) ? m : hi;
}

double np_sign(double v) {
  if (v > 0.0) return 1.0;
  if (v < 0.0) return -1.0;
  if (v == 0.0) return 0.0;
  return v;  // NaN
}

std::size_t np_argmax(const double* a, std::size_t n) {
  std::size_t best = 0;
  if (std::isnan(a[0])) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if (std::isnan(a[i])) return i;
    if (a[i] > a[best]) best = i;
  }
  return best;
}

bool strictly_increasing(const double* a, std::size_t n) {
  if (n == 0) return true;
  double unsorted = std::isnan(a[n - 1]) ? 1.0 : 0.0;  // a flag in a double, so that the scan vectorises
  for (std::size_t i = 0; i + 1 < n; ++i) unsorted = a[i] < a[i + 1] ? unsorted : 1.0;  // NaN compares false
  return unsorted == 0.0;
}

void np_linspace(double start, double stop, std::size_t num, double* out) {
  if (num == 0) return;
  const double delta = stop - start;
  if (num == 1) {
    out[0] = 0.0 * delta + start;
    return;
  }
  const double div = static_cast<double>(num - 1);
  const double step = delta / div;
  if (step == 0.0) {
    for (std::size_t i = 0; i < num; ++i) out[i] = (static_cast<double>(i) / div) * delta + start;
  } else if (num <= 0x7fffffff) {  // a 32-bit index converts to double in vector registers
    const auto n32 = static_cast<std::int32_t>(num);
    for (std::int32_t i = 0; i < n32; ++i) out[i] = static_cast<double>(i) * step + start;
  } else {
    for (std::size_t i = 0; i < num; ++i) out[i] = static_cast<double>(i) * step + start;
  }
  out[num - 1] = stop;
}

std::vector<double> np_linspace(double start, double stop, std::size_t num) {
  std::vector<double> out(num);
  np_linspace(start, stop, num, out.data());
  return out;
}

void np_cumsum(const double* a, std::size_t n, double* out) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    // numpy starts from the first element itself (not 0.0 + a[0]), which keeps a leading -0.0.
    s = (i == 0) ? a[0] : s + a[i];
    out[i] = s;
  }
}

void np_diff(const double* a, std::size_t n, double* out) {
  for (std::size_t i = 0; i + 1 < n; ++i) out[i] = a[i + 1] - a[i];
}

std::vector<double> np_diff(const double* a, std::size_t n) {
  std::vector<double> out(n > 1 ? n - 1 : 0);
  np_diff(a, n, out.data());
  return out;
}

std::vector<double> np_arange(double start, double stop, double step) {
  const double len = std::ceil((stop - start) / step);
  if (!(len > 0.0)) return {};
  const auto n = static_cast<std::size_t>(len);
  std::vector<double> out(n);
  out[0] = start;
  if (n > 1) out[1] = start + step;
  if (n > 2) {
    const double delta = out[1] - out[0];
    for (std::size_t i = 2; i < n; ++i) out[i] = start + static_cast<double>(i) * delta;
  }
  return out;
}

namespace {

// numpy's binary_search_with_guess: index j with xp[j] <= key < xp[j + 1] for sorted xp; -1 below the
// first knot, n above the last. The guess and the cache window reproduce numpy's answers on unsorted xp.
std::ptrdiff_t search_with_guess(double key, const double* arr, std::ptrdiff_t len, std::ptrdiff_t guess) {
  constexpr std::ptrdiff_t kCache = 8;
  std::ptrdiff_t imin = 0;
  std::ptrdiff_t imax = len;
  if (key > arr[len - 1]) return len;
  if (key < arr[0]) return -1;
  if (len <= 4) {
    std::ptrdiff_t i = 1;
    for (; i < len && key >= arr[i]; ++i) {
    }
    return i - 1;
  }
  if (guess > len - 3) guess = len - 3;
  if (guess < 1) guess = 1;
  if (key < arr[guess]) {
    if (key < arr[guess - 1]) {
      imax = guess - 1;
      if (guess > kCache && key >= arr[guess - kCache]) imin = guess - kCache;
    } else {
      return guess - 1;
    }
  } else {
    if (key < arr[guess + 1]) return guess;
    if (key < arr[guess + 2]) return guess + 1;
    imin = guess + 2;
    if (guess < len - kCache - 1 && key < arr[guess + kCache]) imax = guess + kCache;
  }
  while (imin < imax) {
    const std::ptrdiff_t imid = imin + ((imax - imin) >> 1);
    if (key >= arr[imid]) {
      imin = imid + 1;
    } else {
      imax = imid;
    }
  }
  return imin - 1;
}

}  // namespace

double np_interp_one(double v, const double* xp, const double* fp, std::size_t n, double left, double right,
                     std::ptrdiff_t& guess) {
  const auto len = static_cast<std::ptrdiff_t>(n);
  if (len == 1) return (v < xp[0]) ? left : ((v > xp[0]) ? right : fp[0]);
  if (std::isnan(v)) return v;
  const std::ptrdiff_t j = search_with_guess(v, xp, len, guess);
  guess = j;
  if (j == -1) return left;
  if (j == len) return right;
  if (j == len - 1) return fp[j];
  if (xp[j] == v) return fp[j];  // avoids a non-finite interpolation at a knot
  const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
  double r = slope * (v - xp[j]) + fp[j];
  if (std::isnan(r)) {
    r = slope * (v - xp[j + 1]) + fp[j + 1];
    if (std::isnan(r) && fp[j] == fp[j + 1]) r = fp[j];
  }
  return r;
}

bool np_interp(const double* xq, std::size_t nq, const double* xp, const double* fp, std::size_t n, double left,
               double right, double* out) {
  if (n == 0) return false;
  std::ptrdiff_t guess = 0;
  for (std::size_t i = 0; i < nq; ++i) out[i] = np_interp_one(xq[i], xp, fp, n, left, right, guess);
  return true;
}

}  // namespace vexil::core
