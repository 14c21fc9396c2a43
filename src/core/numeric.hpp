// Array primitives that give the same doubles as their numpy counterparts on contiguous float64 data.
//
// Every routine here spells out numpy's own order of operations, so that results agree to the last bit
// with what the Python-level algorithms compute (the core is built with -ffp-contract=off; do not let a
// compiler fuse multiply-adds here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexil::core {

// np.add.reduce over one contiguous run: below 8 elements a left-to-right sum from 0.0; up to 128
// eight running partial sums combined pairwise, then the tail; above that, halves split at a multiple of 8.
double pairwise_sum(const double* a, std::size_t n, std::ptrdiff_t stride = 1);
// np.sum of a contiguous float64 array (the identity 0.0 plus the pairwise sum).
double np_sum(const double* a, std::size_t n);
// np.mean of a contiguous float64 array: np_sum / n (NaN for an empty array).
double np_mean(const double* a, std::size_t n);

// a.min() / a.max(): NaN as soon as any element is NaN. n must be > 0.
double np_min(const double* a, std::size_t n);
double np_max(const double* a, std::size_t n);
// np.ptp: max - min.
double np_ptp(const double* a, std::size_t n);
// Element-wise np.maximum / np.minimum: a NaN in either argument gives NaN.
double np_maximum(double a, double b);
double np_minimum(double a, double b);
// np.clip(v, lo, hi) on float64: np.minimum(np.maximum(v, lo), hi), NaN-propagating in all three.
double np_clip(double v, double lo, double hi);
// Python's min(hi, max(v, lo)) on floats: each keeps its first argument unless the second compares
// greater (smaller), so a NaN v ends as hi.
double py_clamp(double v, double lo, double hi);
// np.sign: -1, 0 or 1; NaN for NaN.
double np_sign(double v);
// np.argmax: index of the first maximum; the index of the first NaN if there is one. n must be > 0.
std::size_t np_argmax(const double* a, std::size_t n);
// True when a[0] < a[1] < ... < a[n-1], none NaN.
bool strictly_increasing(const double* a, std::size_t n);

// np.linspace(start, stop, num) (endpoint included): step = (stop - start) / (num - 1), element
// i = i * step + start, the last element set to stop; when the step is exactly zero, element i is
// (i / (num - 1)) * (stop - start) + start. num == 1 gives [start] (numpy's 0 * delta + start).
void np_linspace(double start, double stop, std::size_t num, double* out);
std::vector<double> np_linspace(double start, double stop, std::size_t num);

// np.cumsum: plain running sum.
void np_cumsum(const double* a, std::size_t n, double* out);
// np.diff: out[i] = a[i + 1] - a[i], n - 1 values (none for n < 2).
void np_diff(const double* a, std::size_t n, double* out);
std::vector<double> np_diff(const double* a, std::size_t n);

// np.arange(start, stop, step) for float arguments: length ceil((stop - start) / step), element 0 =
// start, element 1 = start + step, element i >= 2 = start + i * ((start + step) - start).
std::vector<double> np_arange(double start, double stop, double step);

// np.interp(xq, xp, fp, left, right) on float64 data, as numpy's compiled loop does it (including its
// search with a running guess, which matters when xp is not sorted). NaN queries give NaN. Returns
// false (and writes nothing) when xp is empty: numpy raises "array of sample points is empty".
// xp and fp must have the same length n (numpy raises "fp and xp are not of the same length." otherwise).
bool np_interp(const double* xq, std::size_t nq, const double* xp, const double* fp, std::size_t n,
               double left, double right, double* out);
// One query of np.interp with a caller-kept guess (start with 0); n must be > 0.
double np_interp_one(double v, const double* xp, const double* fp, std::size_t n, double left, double right,
                     std::ptrdiff_t& guess);

}  // namespace vexil::core
