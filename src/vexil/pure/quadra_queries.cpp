// vexil.pure.quadra, second half: the queries on a marginal. Density, distribution and quantile functions,
// expectations, the minimiser, highest-density intervals, random draws, the five-point derivative,
// transformed marginals, the mode and the printed summary (the module's definition order).
//
// How a call runs:
//  * A `Session` stands for "this marginal, within this public call". While every name of the smoothing
//    pipeline is the module's own, the marginal is cleaned and smoothed once per call and every step reuses
//    that result (the mode search, which would smooth again at each evaluation of its objective, and the
//    summary, which asks for the expectation, quantiles and mode of the same marginal). Otherwise each step
//    smooths anew, calling the replacements exactly when and how the Python-level algorithm would.
//  * A step that the algorithm performs through a module name (orvo_qmarginal inside orvo_rmarginal,
//    orvo_dmarginal inside the mode search, _minimize_on_interval, _simpson_odd_grid, ...) runs natively
//    while that name holds the module's own function, and otherwise calls the replacement with the
//    arguments the Python code would pass (creating the nested functions and lambdas it would pass).
//  * Numbers are computed by the core (src/core) with the GIL released; the only Python calls on the native
//    paths are those of user callables (`fun`, `rng`), which always receive whole float64 arrays.
//
// _minimize_on_interval called directly: with _SCIPY_OK true it calls the module's minimize_scalar as the
// algorithm says (scipy's own bounded minimiser, so its result is scipy's exactly, whatever f returns);
// without scipy it runs the golden-section search natively, calling f with numpy float64 abscissae and
// comparing its results with Python's `<`. Inside orvo_hpdmarginal and orvo_mmarginal, while
// _minimize_on_interval and minimize_scalar are the module's own, the objective is native and so is the
// minimiser: scipy's bounded method reproduced step for step, or the golden-section search (both in
// core/minimise.hpp).
#include "quadra_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "core/minimise.hpp"
#include "core/queries.hpp"

namespace vexil::quadra {
namespace {

using bind::Kind;
using bind::raise;
using bind::raise_format;
using bind::require;
using bind::require_ok;
using bind::truth;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long long kDefaultLength = 2048;

extern const FuncSpec kSimpsonOddGridSpec, kEmarginalSpec, kDmarginalSpec, kPmarginalSpec, kQmarginalSpec,
    kMinimizeSpec, kHpdSpec, kRmarginalSpec, kDerivFuncSpec, kTmarginalSpec, kMmarginalSpec, kZmarginalSpec,
    kMarginalTransformSpec, kSimpsonSumSpec, kWidthSpec, kHpdLambdaSpec, kNeglogSpec, kMomentsSpec, kFdSpec;

// Module names used by these functions.
Name kSimpsonOddGrid("_simpson_odd_grid"), kEmarginal("orvo_emarginal"), kDmarginal("orvo_dmarginal"),
    kQmarginal("orvo_qmarginal"), kMinimize("_minimize_on_interval"), kDerivFunc("orvo_deriv_func"),
    kTmarginal("orvo_tmarginal"), kMmarginal("orvo_mmarginal"), kPrint("print");
// Attribute and keyword names.
Name kAsarray("asarray"), kDiff("diff"), kRIndex("r_"), kSqueeze("squeeze"), kArange("arange"), kSum("sum"),
    kAxis("axis"), kArgmax("argmax"), kLinspace("linspace"), kNum("num"), kClip("clip"), kAbs("abs"), kInfName("inf"),
    kSqrt("sqrt"), kRandom("random"), kDefaultRng("default_rng"), kUniform("uniform"), kSize("size"), kLog("log"),
    kTol("tol"), kBounds("bounds"), kMethod("method"), kOptions("options"), kXatol("xatol"), kXName("x"), kYName("y"),
    kStepSize("step_size"), kN("n"), kHDiff("h_diff"), kColumnStack("column_stack"), kLower("lower"), kExp("exp"),
    kMinName("min"), kMaxName("max"), kWhere("where"), kBounded("bounded"), kFormat(".6g");

// ---------------------------------------------------------------------------------------------------------
// Small helpers

// Calls fn(*pos, **kw) (kw as (name, value) pairs, all borrowed).
Ref vcall(PyObject* fn, std::initializer_list<PyObject*> pos,
          std::initializer_list<std::pair<Name*, PyObject*>> kw = {}) {
  std::vector<PyObject*> argv;
  argv.reserve(1 + pos.size() + kw.size());
  argv.push_back(nullptr);
  for (PyObject* p : pos) argv.push_back(p);
  Ref names;
  if (kw.size() > 0) {
    names = require(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
    Py_ssize_t k = 0;
    for (const auto& [name, value] : kw) {
      PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(name->get()));
      argv.push_back(value);
    }
  }
  return require(PyObject_Vectorcall(fn, argv.data() + 1, pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref np_attr(const Call& self, Name& attr) {
  Ref np = self.global(kNp);
  return bind::getattr(np.get(), attr);
}

Ref py_float(double v) { return bind::from_double(v); }
Ref py_long(long long v) { return require(PyLong_FromLongLong(v)); }
double to_double(PyObject* o) {
  Ref f = require(PyNumber_Float(o));
  return PyFloat_AS_DOUBLE(f.get());
}

PyArrayObject* A(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }
bool same_shape(PyObject* a, PyObject* b) {
  return PyArray_NDIM(A(a)) == PyArray_NDIM(A(b)) && PyArray_CompareLists(PyArray_DIMS(A(a)), PyArray_DIMS(A(b)), PyArray_NDIM(A(a)));
}

// np.asarray(o) (no dtype) with the module's np. (Should a replaced np hand back something that is not an
// array, it is converted by numpy itself, so that what follows always works on an ndarray.)
Ref asarray(const Call& self, PyObject* o) {
  if (np_is_numpy(self)) return require(PyArray_FromAny(o, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
  Ref fn = np_attr(self, kAsarray);
  Ref r = bind::call(fn.get(), o);
  if (PyArray_Check(r.get())) return r;
  return require(PyArray_FromAny(r.get(), nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
}
// np.asarray(o, dtype=float), always an ndarray (as above).
Ref asarray_f64(const Call& self, PyObject* o) {
  Ref r = asarray_float(self, o);
  if (PyArray_Check(r.get())) return r;
  return contiguous(r.get()).obj;
}

// The rule numpy applies to np.linspace's sample count, and what indexing element 1 of a shorter grid does.
void check_linspace_num(long long num) {
  if (num < 0) raise_format(PyExc_ValueError, "Number of samples, %lld, must be non-negative.", num);
  if (num > static_cast<long long>(NPY_MAX_INTP / 16)) raise(PyExc_MemoryError, "the grid is too large");
}
[[noreturn]] void index_one_error(long long size) {
  raise_format(PyExc_IndexError, "index 1 is out of bounds for axis 0 with size %lld", size);
}

// ---------------------------------------------------------------------------------------------------------
// One marginal within one public call

// True while every module name of the cleaning and smoothing is the module's own (then smoothing the same
// marginal again gives the same result and calls nothing a user could observe).
bool pipeline_pure(const Call& self) {
  if (!np_is_numpy(self)) return false;
  if (!holds_own(self, kAsXy, kAsXySpec) || !holds_own(self, kMarginalFix, kMarginalFixSpec) ||
      !holds_own(self, kSmarginal, kSmarginalSpec) || !holds_own(self, kSfmarginal, kSfmarginalSpec) ||
      !holds_own(self, kToDictOrMat, kToDictOrMatSpec))
    return false;
  return FactoryRef::lookup(self, Factory::Pchip).native() && FactoryRef::lookup(self, Factory::Cubic).native();
}

// The thinned grid distribution function's inverse (the quantile function's interpolant) and its top.
struct QuantileInverse {
  std::shared_ptr<const Interp> finv;
  core::QuantileTop top;
};
QuantileInverse build_quantile_inverse(const Call& self, const LogDensity& ld, long long length);

class Session {
 public:
  // pass_keep_type: how the Python code calls orvo_smarginal (see SmoothArgs), when it has been replaced.
  Session(const Call& self, PyObject* marginal, bool pass_keep_type = false)
      : self_(self), marginal_(marginal), cache_(pipeline_pure(self)), pass_keep_type_(pass_keep_type) {}

  const Call& self() const { return self_; }
  PyObject* marginal() const { return marginal_; }
  bool cached() const { return cache_; }

  // orvo_smarginal(marginal)
  Smoothed smoothed() {
    if (!cache_) return smarginal(self_, marginal_);
    if (!sm_) sm_ = smarginal(self_, marginal_);
    return *sm_;
  }
  // orvo_sfmarginal(orvo_smarginal(marginal)). The smoothed marginal has been cleaned by this call, with
  // this call's _EPS; when its x is strictly increasing, cleaning it again would change nothing.
  LogDensity logd() {
    if (!cache_) return prepare(self_, marginal_, pass_keep_type_);
    if (!ld_) {
      Smoothed s = smoothed();
      const bool clean = core::strictly_increasing(s.x.data, s.x.n());
      ld_ = clean ? log_density_of(self_, Cleaned{s.x, s.y}, true) : sfmarginal(self_, s.result.get());
    }
    return *ld_;
  }
  // The quantile function's interpolant for a grid of `length` points.
  QuantileInverse quantile_inverse(long long length) {
    if (cache_ && length == kDefaultLength && q_) return *q_;
    QuantileInverse q = build_quantile_inverse(self_, logd(), length);
    if (cache_ && length == kDefaultLength) q_ = q;
    return q;
  }

 private:
  const Call& self_;
  PyObject* marginal_;
  bool cache_;
  bool pass_keep_type_;
  std::optional<Smoothed> sm_;
  std::optional<LogDensity> ld_;
  std::optional<QuantileInverse> q_;
};

// ---------------------------------------------------------------------------------------------------------
// Distribution functions

// xx = np.linspace(lo, hi, num=length) and ef = np.exp(fun(xx)) (fun called even on fewer than 2 points, as
// the Python code does before it indexes xx[1]).
void grid_densities(const Call& self, const LogDensity& ld, long long length, std::vector<double>& xx,
                    std::vector<double>& ef, NoGil& ng) {
  const auto n = static_cast<std::size_t>(length);
  xx = core::np_linspace(ld.lo, ld.hi, n);
  ef.resize(n);
  if (ld.S->native()) {
    ld.S->eval(self, xx.data(), n, ef.data());
  } else {
    WithGil gil(ng);
    ld.S->eval(self, xx.data(), n, ef.data());
  }
  np_exp(ef.data(), ef.data(), n);
}

// The grid distribution function on `length` points: grid_densities, then (numpy's IndexError for fewer
// than 2 points) the running trapezoid sums.
void grid_cdf(const Call& self, const LogDensity& ld, long long length, std::vector<double>& xx,
              std::vector<double>& cdf, NoGil& ng) {
  std::vector<double> ef;
  grid_densities(self, ld, length, xx, ef, ng);
  if (length < 2) {
    WithGil gil(ng);
    index_one_error(length);
  }
  cdf.resize(xx.size());
  core::trapezoid_cdf(xx.data(), ef.data(), xx.size(), cdf.data());
}

// _pchip(x, y) inside a numeric region: a replacement is called with the GIL taken back.
std::shared_ptr<const Interp> build_pchip(const FactoryRef& pchip, const std::vector<double>& x,
                                          const std::vector<double>& y, NoGil& ng) {
  if (pchip.native()) return pchip.build(x.data(), y.data(), x.size());
  WithGil gil(ng);
  return pchip.build(x.data(), y.data(), x.size());
}

bool release_for(const LogDensity& ld, const FactoryRef& f, long long length) {
  return ld.S->native() && f.native() && length >= static_cast<long long>(kNoGilMin);
}

// The numeric body of build_quantile_inverse, inside a region; eps is this call's _EPS.
QuantileInverse quantile_inverse_numeric(const Call& self, const LogDensity& ld, long long length,
                                         const FactoryRef& pchip, double eps, NoGil& ng) {
  std::vector<double> xx, cdf;
  grid_cdf(self, ld, length, xx, cdf, ng);
  core::thin_plateaus(cdf, xx, eps);
  QuantileInverse q;
  q.finv = build_pchip(pchip, cdf, xx, ng);
  q.top = {cdf.back(), xx.back()};
  return q;
}

QuantileInverse build_quantile_inverse(const Call& self, const LogDensity& ld, long long length) {
  check_linspace_num(length);
  FactoryRef pchip = FactoryRef::lookup(self, Factory::Pchip);
  const double eps = length >= 2 ? self.eps() : 0.0;  // a shorter grid fails before the thinning
  return numeric(release_for(ld, pchip, length),
                 [&](NoGil& ng) { return quantile_inverse_numeric(self, ld, length, pchip, eps, ng); });
}

// F(vals) for an interpolator built by the module (or a replacement's result), `vals` holding the (already
// clipped) points. Native kinds give a new array of vals' shape (a numpy scalar for a 0-d query of the
// linear kind, as np.interp does), after `adjust` has seen the values; a replacement's interpolator is called
// with the clipped array (a numpy scalar for a 0-d query, as np.clip returns).
Ref apply_interp(const Call& self, const Interp& F, const Array& vals,
                 const std::function<void(double*, std::size_t)>& adjust = {}) {
  if (F.native()) {
    Array out = new_array_like(vals.get());
    {
      NoGil ng(vals.n() >= kNoGilMin);
      F.eval(self, vals.data, vals.n(), out.data);
      if (adjust) adjust(out.data, out.n());
    }
    if (F.kind() == Interp::Kind::Linear) return array_return(std::move(out.obj));
    return std::move(out.obj);
  }
  Ref arg = array_return(vals.obj);
  return bind::call(F.object(), arg.get());
}

// np.clip(np.asarray(v, dtype=float), lo, hi) as a new C-order array.
Array clipped(const Call& self, PyObject* v, double lo, double hi) {
  Array src = as_contiguous_float(self, v);
  Array out = new_array_like(src.get());
  for (npy_intp i = 0; i < src.size; ++i) out.data[i] = core::np_clip(src.data[i], lo, hi);
  return out;
}

// orvo_qmarginal's evaluation: F_inv(pp) with the mend that probabilities at or above the largest retained
// distribution value give its grid point (instead of NaN beyond the last knot).
Ref quantiles_at(const Call& self, const QuantileInverse& q, PyObject* p) {
  Array pp = clipped(self, p, 0.0, 1.0);
  if (q.finv->native())
    return apply_interp(self, *q.finv, pp, [&](double* out, std::size_t n) { q.top.mend(pp.data, n, out); });
  Ref r = apply_interp(self, *q.finv, pp);
  bool any = false;
  for (npy_intp i = 0; i < pp.size; ++i) any = any || q.top.applies(pp.data[i]);
  if (!any) return r;
  Ref mask = require(PyArray_NewLikeArray(pp.arr(), NPY_CORDER, PyArray_DescrFromType(NPY_BOOL), 0));
  auto* m = static_cast<npy_bool*>(PyArray_DATA(A(mask.get())));
  for (npy_intp i = 0; i < pp.size; ++i) m[i] = q.top.applies(pp.data[i]);
  Ref where = np_attr(self, kWhere);
  Ref top = float64_scalar(q.top.x);
  Ref w = bind::call(where.get(), mask.get(), top.get(), r.get());
  return PyArray_Check(r.get()) ? w : array_return(std::move(w));
}

// Native values of F_inv at the probabilities p (clipped, mended): the mode search and the summary.
void quantile_values(const Call& self, const QuantileInverse& q, const double* p, std::size_t n, double* out) {
  std::vector<double> pp(n);
  for (std::size_t i = 0; i < n; ++i) pp[i] = core::np_clip(p[i], 0.0, 1.0);
  q.finv->eval(self, pp.data(), n, out);
  q.top.mend(pp.data(), n, out);
}

// ---------------------------------------------------------------------------------------------------------
// Density

// log f(u) inside the closed range, -inf outside (and for NaN).
double log_density1(const Call& self, const LogDensity& ld, double u) {
  if (!(u >= ld.lo && u <= ld.hi)) return -kInf;
  double v;
  ld.S->eval(self, &u, 1, &v);
  return v;
}

Ref dmarginal_run(const Call& self, Session& s, PyObject* x, bool log) {
  LogDensity ld = s.logd();
  Ref xa = asarray_f64(self, x);
  Array xc = contiguous(xa.get());
  // out = np.empty_like(x): the layout of x is kept.
  Ref out = require(PyArray_NewLikeArray(A(xa.get()), NPY_KEEPORDER, nullptr, 0));
  if (ld.core) {
    const bool direct = PyArray_IS_C_CONTIGUOUS(A(out.get()));
    Array res = direct ? Array{out, static_cast<double*>(PyArray_DATA(A(out.get()))), xc.size} : new_array_like(xc.get());
    {
      NoGil ng(xc.n() >= kNoGilMin);
      core::density_eval(*ld.core, xc.data, xc.n(), log, res.data, np_exp);
    }
    if (!direct) require_ok(PyArray_CopyInto(A(out.get()), res.arr()));
    return out;
  }
  // A Python log-density: fun(x[inside]) once, assigned through numpy's indexing.
  Ref mask = require(PyArray_NewLikeArray(xc.arr(), NPY_CORDER, PyArray_DescrFromType(NPY_BOOL), 0));
  auto* m = static_cast<npy_bool*>(PyArray_DATA(A(mask.get())));
  npy_intp inside = 0;
  for (npy_intp i = 0; i < xc.size; ++i) {
    m[i] = xc.data[i] >= ld.lo && xc.data[i] <= ld.hi;
    inside += m[i];
  }
  if (inside > 0) {
    Ref xin = require(PyObject_GetItem(xa.get(), mask.get()));
    Ref lv = ld.S->call(self, xin.get());
    if (!log) {
      Ref exp = np_attr(self, kExp);
      lv = bind::call(exp.get(), lv.get());
    }
    require_ok(PyObject_SetItem(out.get(), mask.get(), lv.get()));
  }
  Ref notmask = require(PyNumber_Invert(mask.get()));
  Ref fill = py_float(log ? -kInf : 0.0);
  require_ok(PyObject_SetItem(out.get(), notmask.get(), fill.get()));
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The minimiser

enum class MinKind { Bounded, Golden, Scipy, Replaced };
struct Minimizer {
  MinKind kind;
  Ref fn;  // the minimize_scalar to call (Scipy) or the replacement of _minimize_on_interval (Replaced)
};

// What the module's own _minimize_on_interval does at this moment.
Minimizer own_minimizer(const Call& self) {
  if (!scipy_ok(self)) return {MinKind::Golden, {}};
  Ref ms = self.global(kMinimizeScalar);
  if (g_imported.minimize_scalar != nullptr && ms.get() == g_imported.minimize_scalar) return {MinKind::Bounded, ms};
  return {MinKind::Scipy, ms};
}
// What the name _minimize_on_interval means at this moment.
Minimizer lookup_minimizer(const Call& self) {
  Ref m = self.global(kMinimize);
  if (!bind::is_function_of(m.get(), kMinimizeSpec)) return {MinKind::Replaced, m};
  return own_minimizer(self);
}
// True when the minimiser runs natively (scipy's bounded method, or the golden-section search).
bool native_kind(const Minimizer& m) { return m.kind == MinKind::Bounded || m.kind == MinKind::Golden; }

// The native minimisers (Bounded or Golden) on a native objective double(double). Throws StatusError for
// bad bounds.
template <class F>
double minimize_native(MinKind kind, F&& f, double a, double b, double tol) {
  const core::Backend backend = kind == MinKind::Bounded ? core::Backend::scipy : core::Backend::fallback;
  double x = 0.0;
  check(core::minimize_on_interval(backend, f, a, b, tol, x));
  return x;
}

// minimize_scalar(f, bounds=(a, b), method="bounded", options={"xatol": tol}).x as a float.
Ref minimize_with_scipy(PyObject* ms, PyObject* f, double a, double b, double tol) {
  Ref pa = py_float(a), pb = py_float(b), pt = py_float(tol);
  Ref bounds = require(PyTuple_Pack(2, pa.get(), pb.get()));
  Ref options = require(PyDict_New());
  require_ok(PyDict_SetItem(options.get(), kXatol.get(), pt.get()));
  Ref res = vcall(ms, {f}, {{&kBounds, bounds.get()}, {&kMethod, kBounded.get()}, {&kOptions, options.get()}});
  Ref x = bind::getattr(res.get(), kXName);
  return require(PyNumber_Float(x.get()));
}

// _minimize_on_interval(f, a, b, tol=tol) through a non-native path: minimize_scalar (own function, scipy
// path with a replaced or unrecognised minimize_scalar) or a replacement of the name.
Ref minimize_python(const Minimizer& m, PyObject* f, double a, double b, double tol) {
  if (m.kind == MinKind::Replaced) {
    Ref pa = py_float(a), pb = py_float(b), pt = py_float(tol);
    return vcall(m.fn.get(), {f, pa.get(), pb.get()}, {{&kTol, pt.get()}});
  }
  return minimize_with_scipy(m.fn.get(), f, a, b, tol);
}

Ref minimize_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* f = a[0];
  const double lo = a.as_double(1), hi = a.as_double(2), tol = a.as_double(3);
  Minimizer m = own_minimizer(self);
  if (m.kind != MinKind::Golden) return minimize_with_scipy(m.fn.get(), f, lo, hi, tol);
  // Golden-section search on a Python f: abscissae are numpy float64 (the golden ratio is np.sqrt's), the
  // two results compared with Python's `<`.
  double x = 0.0;
  auto eval = [f](double v) {
    Ref pv = float64_scalar(v);
    return bind::call(f, pv.get());
  };
  auto less = [](const Ref& u, const Ref& v) {
    Ref r = require(PyObject_RichCompare(u.get(), v.get(), Py_LT));
    return truth(r.get());
  };
  core::Status st = core::golden_section_search(eval, less, lo, hi, tol, x);
  if (st != core::Status::ok) raise_status(st);
  return py_float(x);
}

// ---------------------------------------------------------------------------------------------------------
// _simpson_odd_grid

Ref simpson_odd_grid_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* x = a[0];
  if (np_is_numpy(self)) {
    // np.diff begins with np.asanyarray(x); a plain 1-d float64 array takes the native path.
    Ref arr = require(PyArray_FromAny(x, nullptr, 0, 0, 0, nullptr));
    if (is_exact_float64(arr.get()) && PyArray_NDIM(A(arr.get())) == 1) {
      Array c = contiguous(arr.get());
      std::vector<double> w = core::simpson_odd_grid(c.data, c.n());
      return new_array(w).obj;
    }
  }
  // 0.5 * (np.r_[dx, 0.0] + np.r_[0.0, dx]) with dx = np.diff(x), through numpy.
  Ref diff = np_attr(self, kDiff);
  Ref dx = bind::call(diff.get(), x);
  Ref r = np_attr(self, kRIndex);
  Ref zero = py_float(0.0);
  Ref k1 = require(PyTuple_Pack(2, dx.get(), zero.get()));
  Ref k2 = require(PyTuple_Pack(2, zero.get(), dx.get()));
  Ref left = require(PyObject_GetItem(r.get(), k1.get()));
  Ref right = require(PyObject_GetItem(r.get(), k2.get()));
  Ref sum = require(PyNumber_Add(left.get(), right.get()));
  Ref half = py_float(0.5);
  return require(PyNumber_Multiply(half.get(), sum.get()));
}

// ---------------------------------------------------------------------------------------------------------
// orvo_emarginal

// orvo_emarginal.<locals>._simpson_sum(arr): arr[0] + arr[-1] + 4.0 * arr[i4].sum(axis=0)
// + 2.0 * arr[i2].sum(axis=0), with i4, i2 captured.
Ref simpson_sum_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* arr = a[0];
  PyObject* i4 = PyTuple_GET_ITEM(self.captured(), 0);
  PyObject* i2 = PyTuple_GET_ITEM(self.captured(), 1);
  Ref zero = py_long(0), last = py_long(-1), axis0 = py_long(0);
  Ref first = require(PyObject_GetItem(arr, zero.get()));
  Ref end = require(PyObject_GetItem(arr, last.get()));
  auto weighted = [&](PyObject* idx, double factor) {
    Ref rows = require(PyObject_GetItem(arr, idx));
    Ref sum = bind::getattr(rows.get(), kSum);
    Ref s = vcall(sum.get(), {}, {{&kAxis, axis0.get()}});
    Ref f = py_float(factor);
    return require(PyNumber_Multiply(f.get(), s.get()));
  };
  Ref t = require(PyNumber_Add(first.get(), end.get()));
  Ref w4 = weighted(i4, 4.0);
  t = require(PyNumber_Add(t.get(), w4.get()));
  Ref w2 = weighted(i2, 2.0);
  return require(PyNumber_Add(t.get(), w2.get()));
}

[[noreturn]] void fun_shape_error() { raise_status(core::Status::fun_shape); }

// Steps after fun(x), through numpy: fvals[:, None] for 1-d values, fvals * (y * dxw)[:, None], the two
// Simpson sums and np.squeeze of their ratio.
Ref emarginal_tail_python(const Call& self, Ref fvals, PyObject* y, PyObject* dxw, long long n) {
  Ref slice_all = require(PySlice_New(nullptr, nullptr, nullptr));
  Ref col_key = require(PyTuple_Pack(2, slice_all.get(), Py_None));
  if (PyArray_NDIM(A(fvals.get())) == 1) fvals = require(PyObject_GetItem(fvals.get(), col_key.get()));
  Ref w = require(PyNumber_Multiply(y, dxw));
  Ref wcol = require(PyObject_GetItem(w.get(), col_key.get()));
  Ref integrand = require(PyNumber_Multiply(fvals.get(), wcol.get()));
  Ref arange = np_attr(self, kArange);
  Ref one = py_long(1), two = py_long(2), stop = py_long(n - 1);
  Ref i4 = bind::call(arange.get(), one.get(), stop.get(), two.get());
  Ref i2 = bind::call(arange.get(), two.get(), stop.get(), two.get());
  Ref sum_fn = self.nested(kSimpsonSumSpec, require(PyTuple_Pack(2, i4.get(), i2.get())));
  Ref numer = bind::call(sum_fn.get(), integrand.get());
  Ref w2 = require(PyNumber_Multiply(y, dxw));
  Ref w2col = require(PyObject_GetItem(w2.get(), col_key.get()));
  Ref denom = bind::call(sum_fn.get(), w2col.get());
  Ref ratio = require(PyNumber_TrueDivide(numer.get(), denom.get()));
  Ref squeeze = np_attr(self, kSqueeze);
  return bind::call(squeeze.get(), ratio.get());
}

// fun(x, *args, **kwargs)
Ref call_fun(PyObject* fun, PyObject* x, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t na = args ? PyTuple_GET_SIZE(args) : 0;
  Ref all = require(PyTuple_New(na + 1));
  PyTuple_SET_ITEM(all.get(), 0, Py_NewRef(x));
  for (Py_ssize_t i = 0; i < na; ++i) PyTuple_SET_ITEM(all.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  const bool kw = kwargs && PyDict_GET_SIZE(kwargs) > 0;
  return require(PyObject_Call(fun, all.get(), kw ? kwargs : nullptr));
}

// Real dtypes whose product with float64 is float64 with the value converted exactly as a C cast does.
bool real_dtype(PyArrayObject* a) {
  const int t = PyArray_TYPE(a);
  return PyArray_ISBOOL(a) || PyArray_ISINTEGER(a) || t == NPY_HALF || t == NPY_FLOAT || t == NPY_DOUBLE;
}

// The expectation once fun's values are known (the module's own _simpson_odd_grid weights w = y * dxw).
Ref expectation_from_values(const Call& self, const core::ExpectationGrid& g, Ref fvals, PyObject* y) {
  const long long n = static_cast<long long>(g.x.size());
  PyArrayObject* fa = A(fvals.get());
  const int nd = PyArray_NDIM(fa);
  if (nd == 0) fun_shape_error();  // a scalar result: the same error as a wrong first dimension
  if (nd >= 2 && PyArray_DIM(fa, 0) != n) fun_shape_error();
  const bool native = real_dtype(fa) && nd <= 2 && (nd == 2 || PyArray_DIM(fa, 0) == n || PyArray_DIM(fa, 0) == 1);
  if (!native) {
    Array dxw = new_array(core::simpson_odd_grid(g.x.data(), g.x.size()));
    return emarginal_tail_python(self, std::move(fvals), y, dxw.get(), n);
  }
  Ref fc = require(PyArray_FromAny(fvals.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                   NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
  const auto rows = static_cast<std::size_t>(PyArray_DIM(fa, 0));
  const std::size_t k = nd == 2 ? static_cast<std::size_t>(PyArray_DIM(fa, 1)) : 1;
  const double* fv = static_cast<const double*>(PyArray_DATA(A(fc.get())));
  std::vector<double> out(k);
  {
    NoGil ng(rows * k >= kNoGilMin);
    core::Status st = core::expectation(g, fv, rows, k, nd == 1, out.data());
    if (st != core::Status::ok) {
      ng.reacquire();
      raise_status(st);
    }
  }
  if (k == 1) {
    Ref r = require(PyArray_SimpleNew(0, nullptr, NPY_DOUBLE));
    *static_cast<double*>(PyArray_DATA(A(r.get()))) = out[0];
    return r;
  }
  return new_array(out).obj;
}

// The grid of the expectation from the module's own smoothing: x (odd count) and w = y * dxw; x_pass is the
// array fun receives (the smoothed x, or its view without the last point), y_pass the matching y.
struct EGrid {
  core::ExpectationGrid g;
  Ref x_pass, y_pass;
};
EGrid expectation_grid(const Smoothed& s) {
  EGrid e;
  core::make_expectation_grid(s.x.data, s.y.data, s.x.n(), e.g);
  const auto n = static_cast<Py_ssize_t>(e.g.x.size());
  e.x_pass = n == s.x.size ? s.x.obj : require(PySequence_GetSlice(s.x.get(), 0, n));
  e.y_pass = n == s.y.size ? s.y.obj : require(PySequence_GetSlice(s.y.get(), 0, n));
  return e;
}

// True when orvo_smarginal(marginal) is the module's own dict, whose "x" and "y" are Smoothed::x / y.
bool own_smoothing_result(const Call& self) {
  return holds_own(self, kSmarginal, kSmarginalSpec) && holds_own(self, kToDictOrMat, kToDictOrMatSpec);
}

// orvo_emarginal with the marginal given through a session.
Ref emarginal_run(const Call& self, Session& s, PyObject* fun, PyObject* args, PyObject* kwargs) {
  const bool own_smooth = own_smoothing_result(self);
  if (own_smooth && holds_own(self, kSimpsonOddGrid, kSimpsonOddGridSpec)) {
    Smoothed sm = s.smoothed();
    EGrid e = expectation_grid(sm);
    Ref r = call_fun(fun, e.x_pass.get(), args, kwargs);
    Ref fvals = asarray(self, r.get());
    return expectation_from_values(self, e.g, std::move(fvals), e.y_pass.get());
  }
  // Step by step through the module's names.
  Ref xx = holds_own(self, kSmarginal, kSmarginalSpec) ? s.smoothed().result
                                                       : bind::call(self.global(kSmarginal).get(), s.marginal());
  Ref x = require(PyObject_GetItem(xx.get(), kXName.get()));
  Ref y = require(PyObject_GetItem(xx.get(), kYName.get()));
  Py_ssize_t n = PyObject_Length(x.get());
  if (n < 0) throw bind::PyError();
  if (n % 2 == 0) {
    Ref stop = py_long(-1);
    Ref sl = require(PySlice_New(nullptr, stop.get(), nullptr));
    x = require(PyObject_GetItem(x.get(), sl.get()));
    y = require(PyObject_GetItem(y.get(), sl.get()));
    --n;
  }
  Ref grid_fn = self.global(kSimpsonOddGrid);
  Ref dxw = bind::call(grid_fn.get(), x.get());
  Ref r = call_fun(fun, x.get(), args, kwargs);
  Ref fvals = asarray(self, r.get());
  PyArrayObject* fa = A(fvals.get());
  if (PyArray_NDIM(fa) == 0 || (PyArray_NDIM(fa) != 1 && PyArray_DIM(fa, 0) != n)) fun_shape_error();
  return emarginal_tail_python(self, std::move(fvals), y.get(), dxw.get(), n);
}

Ref emarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  Session s(self, a[1]);
  return emarginal_run(self, s, a[0], a[2], a[3]);
}

// ---------------------------------------------------------------------------------------------------------
// orvo_dmarginal, orvo_pmarginal, orvo_qmarginal

Ref dmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  Session s(self, a[1]);
  return dmarginal_run(self, s, a[0], a.as_bool(2));
}

Ref pmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  Session s(self, a[1]);
  const long long length = a.as_int(3);
  LogDensity ld = s.logd();
  check_linspace_num(length);
  FactoryRef pchip = FactoryRef::lookup(self, Factory::Pchip);
  std::shared_ptr<const Interp> fq;
  numeric(release_for(ld, pchip, length), [&](NoGil& ng) {
    std::vector<double> xx, cdf;
    grid_cdf(self, ld, length, xx, cdf, ng);
    fq = build_pchip(pchip, xx, cdf, ng);
  });
  Array qq = clipped(self, a[0], ld.lo, ld.hi);
  return apply_interp(self, *fq, qq);
}

Ref qmarginal_run(const Call& self, Session& s, PyObject* p, long long length) {
  QuantileInverse q = s.quantile_inverse(length);
  return quantiles_at(self, q, p);
}

Ref qmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  Session s(self, a[1]);
  return qmarginal_run(self, s, a[0], a.as_int(2));
}

// ---------------------------------------------------------------------------------------------------------
// orvo_hpdmarginal

// float(F_inv(v)) for an abscissa object v as the Python code passes it.
double finv_value(const Call& self, const Interp& F, PyObject* v) {
  if (F.native()) {
    if (PyFloat_Check(v)) {
      double r;
      const double u = PyFloat_AS_DOUBLE(v);
      F.eval(self, &u, 1, &r);
      return r;
    }
    Ref xa = asarray_float(self, v);
    Ref r = F.call(self, xa.get());
    return to_double(r.get());
  }
  Ref r = bind::call(F.object(), v);
  return to_double(r.get());
}

// width(x0, conf) = float(F_inv(1.0 - conf + x0) - F_inv(x0)).
double width_value(const Call& self, const Interp& F, double x0, double conf) {
  const double upper = 1.0 - conf + x0;
  if (F.native()) {
    double r1, r2;
    F.eval(self, &upper, 1, &r1);
    F.eval(self, &x0, 1, &r2);
    return r1 - r2;
  }
  Ref pu = py_float(upper), px = py_float(x0);
  Ref r1 = bind::call(F.object(), pu.get());
  Ref r2 = bind::call(F.object(), px.get());
  Ref d = require(PyNumber_Subtract(r1.get(), r2.get()));
  return to_double(d.get());
}

Ref width_impl(Func& func, const Args& a) {
  const Call self(func);
  const auto& F = from_capsule<Interp>(self.captured(), kInterpCapsule);
  return py_float(width_value(self, *F, a.as_double(0), a.as_double(1)));
}

// orvo_hpdmarginal.<locals>.<lambda>(z): width(z, conf) with width and conf captured.
Ref hpd_lambda_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* width = PyTuple_GET_ITEM(self.captured(), 0);
  PyObject* conf = PyTuple_GET_ITEM(self.captured(), 1);
  return bind::call(width, a[0], conf);
}

Ref hpd_impl(Func& func, const Args& a) {
  const Call self(func);
  const long long length = a.as_int(2);
  Session s(self, a[1], /*pass_keep_type=*/true);
  LogDensity ld = s.logd();
  check_linspace_num(length);
  if (length < 2) index_one_error(length);  // dx = xx[1] - xx[0], before fun is called
  FactoryRef pchip = FactoryRef::lookup(self, Factory::Pchip);
  const double eps = self.eps();
  std::shared_ptr<const Interp> finv;
  numeric(release_for(ld, pchip, length), [&](NoGil& ng) {
    std::vector<double> xx, ef, abscissae, values;
    grid_densities(self, ld, length, xx, ef, ng);
    core::hpd_cdf(xx.data(), ef.data(), xx.size(), abscissae, values);
    core::thin_plateaus(values, abscissae, eps);
    finv = build_pchip(pchip, values, abscissae, ng);
  });

  // p = np.atleast_1d(np.asarray(p, dtype=float)); conf = 1.0 - np.clip(p, 0.0, 1.0)
  Ref pa = asarray_f64(self, a[0]);
  const int nd = PyArray_NDIM(A(pa.get()));
  const npy_intp levels = PyArray_SIZE(A(pa.get()));
  npy_intp dims[2] = {levels, 2};
  Ref out = require(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  auto* res = static_cast<double*>(PyArray_DATA(A(out.get())));
  Array pc = contiguous(pa.get());
  std::vector<double> conf(static_cast<std::size_t>(pc.size));
  for (npy_intp i = 0; i < pc.size; ++i) conf[i] = 1.0 - core::np_clip(pc.data[i], 0.0, 1.0);

  // More than one dimension: the loop runs over rows, each converted with float() (numpy's TypeError for
  // a row of levels); the result still has one row per element.
  npy_intp rounds = levels;
  Ref rows;
  if (nd >= 2) {
    rounds = PyArray_DIM(A(pa.get()), 0);
    Ref flat = new_array(conf).obj;
    PyArray_Dims shape{PyArray_DIMS(A(pa.get())), nd};
    rows = require(PyArray_Newshape(A(flat.get()), &shape, NPY_CORDER));
  }

  Ref width_fn;  // created when a Python-level minimiser needs the objective
  for (npy_intp i = 0; i < rounds; ++i) {
    double c;
    if (rows) {
      Ref row = require(PySequence_GetItem(rows.get(), i));
      c = to_double(row.get());
    } else {
      c = conf[static_cast<std::size_t>(i)];
    }
    Minimizer m = lookup_minimizer(self);
    const Interp& F = *finv;
    double low, high;
    if (native_kind(m)) {
      double x0 = numeric(F.native(), [&](NoGil&) {
        return minimize_native(m.kind, [&](double z) { return width_value(self, F, z, c); }, 0.0, c, 1e-06);
      });
      if (F.native()) {
        const double up = 1.0 - c + x0;
        F.eval(self, &x0, 1, &low);
        F.eval(self, &up, 1, &high);
      } else {
        Ref px = py_float(x0);
        low = finv_value(self, F, px.get());
        Ref pu = float64_scalar(1.0 - c + x0);
        high = finv_value(self, F, pu.get());
      }
    } else {
      if (!width_fn) width_fn = self.nested(kWidthSpec, capsule<Interp>(finv, kInterpCapsule));
      Ref cobj = float64_scalar(c);
      Ref lam = self.nested(kHpdLambdaSpec, require(PyTuple_Pack(2, width_fn.get(), cobj.get())));
      Ref x0 = minimize_python(m, lam.get(), 0.0, to_double(cobj.get()), 1e-06);
      low = finv_value(self, F, x0.get());
      Ref one = py_float(1.0);
      Ref t = require(PyNumber_Subtract(one.get(), cobj.get()));
      Ref up = require(PyNumber_Add(t.get(), x0.get()));
      high = finv_value(self, F, up.get());
    }
    res[2 * i] = core::py_clamp(low, ld.lo, ld.hi);
    res[2 * i + 1] = core::py_clamp(high, ld.lo, ld.hi);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// orvo_rmarginal

Ref rmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* n = a[0];
  Ref rng = Ref::borrow(a[2]);
  if (rng.get() == Py_None) {
    Ref random = np_attr(self, kRandom);
    Ref make = bind::getattr(random.get(), kDefaultRng);
    rng = require(PyObject_CallNoArgs(make.get()));
  }
  Ref uniform = bind::getattr(rng.get(), kUniform);
  Ref u = vcall(uniform.get(), {}, {{&kSize, n}});
  Ref q = self.global(kQmarginal);
  if (bind::is_function_of(q.get(), kQmarginalSpec)) {
    Session s(self, a[1]);
    return qmarginal_run(self, s, u.get(), kDefaultLength);
  }
  return bind::call(q.get(), u.get(), a[1]);
}

// ---------------------------------------------------------------------------------------------------------
// orvo_deriv_func and its fd

// x + off as numpy computes it: a new array of x's shape, or a numpy float64 for a 0-d x. (x - h is
// x + (-h) exactly.)
Ref shifted(const Array& xc, double off) {
  Array r = new_array_like(xc.get());
  for (npy_intp i = 0; i < xc.size; ++i) r.data[i] = xc.data[i] + off;
  return array_return(std::move(r.obj));
}

// The five-point derivative of fun at x (any shape) with step h.
Ref five_point(const Call& self, PyObject* fun, double h, PyObject* x) {
  Ref xa = asarray_float(self, x);
  Array xc = contiguous(xa.get());
  Ref a1 = shifted(xc, h * 2);
  Ref f1 = bind::call(fun, a1.get());
  Ref a2 = shifted(xc, h);
  Ref f2 = bind::call(fun, a2.get());
  Ref a3 = shifted(xc, -h);
  Ref f3 = bind::call(fun, a3.get());
  Ref a4 = shifted(xc, -(h * 2));
  Ref f4 = bind::call(fun, a4.get());
  const double h12 = h * 12;
  bool native = h12 != 0.0 && std::isfinite(h12) && PyArray_NDIM(xc.arr()) > 0;
  for (PyObject* f : {f1.get(), f2.get(), f3.get(), f4.get()})
    native = native && is_exact_float64(f) && same_shape(f, xc.get());
  if (native) {
    Array c1 = contiguous(f1.get()), c2 = contiguous(f2.get()), c3 = contiguous(f3.get()), c4 = contiguous(f4.get());
    Array out = new_array_like(xc.get());
    core::five_point_combine(c1.data, c2.data, c3.data, c4.data, out.n(), h, out.data);
    return std::move(out.obj);
  }
  // ((-f1 + 8.0 * f2) - 8.0 * f3 + f4) / (h * 12), with Python's and numpy's own arithmetic.
  Ref eight = py_float(8.0);
  Ref t1 = require(PyNumber_Negative(f1.get()));
  Ref t2 = require(PyNumber_Multiply(eight.get(), f2.get()));
  Ref t3 = require(PyNumber_Add(t1.get(), t2.get()));
  Ref t4 = require(PyNumber_Multiply(eight.get(), f3.get()));
  Ref t5 = require(PyNumber_Subtract(t3.get(), t4.get()));
  Ref t6 = require(PyNumber_Add(t5.get(), f4.get()));
  Ref d = py_float(h12);
  return require(PyNumber_TrueDivide(t6.get(), d.get()));
}

Ref fd_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* fun = PyTuple_GET_ITEM(self.captured(), 0);
  const double h = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(self.captured(), 1));
  return five_point(self, fun, h, a[0]);
}

Ref deriv_func_impl(Func& func, const Args& a) {
  const Call self(func);
  Ref h = py_float(a.as_double(1));
  return self.nested(kFdSpec, require(PyTuple_Pack(2, a[0], h.get())));
}

// ---------------------------------------------------------------------------------------------------------
// orvo_tmarginal, orvo_marginal_transform

Ref tmarginal_run(const Call& self, PyObject* fun, PyObject* marginal, long long n, double h, PyObject* method) {
  const bool is_mat = is_ndarray(self, marginal);
  Session s(self, marginal);
  Smoothed sm = s.smoothed();
  // The X range: m["x"].min(), m["x"].max().
  std::optional<double> lo, hi;
  Ref lo_obj, hi_obj;
  if (own_smoothing_result(self)) {
    lo = core::np_min(sm.x.data, sm.x.n());
    hi = core::np_max(sm.x.data, sm.x.n());
  } else {
    Ref xs = require(PyObject_GetItem(sm.result.get(), kXName.get()));
    lo_obj = require(PyObject_CallMethodNoArgs(xs.get(), kMinName.get()));
    Ref xs2 = require(PyObject_GetItem(sm.result.get(), kXName.get()));
    hi_obj = require(PyObject_CallMethodNoArgs(xs2.get(), kMaxName.get()));
  }
  Ref lower = require(PyObject_CallMethodNoArgs(method, kLower.get()));
  Ref xx;
  if (PyUnicode_Check(lower.get()) && PyUnicode_CompareWithASCIIString(lower.get(), "quantile") == 0) {
    // np.arange(1, n + 1) / (n + 1.0)
    Array p = new_array(n > 0 ? static_cast<npy_intp>(n) : 0);
    if (n > 0) {
      std::vector<double> lv = core::transform_levels(static_cast<std::size_t>(n));
      std::memcpy(p.data, lv.data(), sizeof(double) * lv.size());
    }
    Ref q = self.global(kQmarginal);
    xx = bind::is_function_of(q.get(), kQmarginalSpec) ? qmarginal_run(self, s, p.get(), kDefaultLength)
                                                         : bind::call(q.get(), p.get(), marginal);
  } else if (PyUnicode_Check(lower.get()) && PyUnicode_CompareWithASCIIString(lower.get(), "linear") == 0) {
    if (lo) {
      check_linspace_num(n);
      Array g = new_array(static_cast<npy_intp>(n));
      core::np_linspace(*lo, *hi, static_cast<std::size_t>(n), g.data);
      xx = std::move(g.obj);
    } else {
      Ref linspace = np_attr(self, kLinspace);
      Ref num = py_long(n);
      xx = vcall(linspace.get(), {lo_obj.get(), hi_obj.get()}, {{&kNum, num.get()}});
    }
  } else {
    raise(PyExc_ValueError, "Unknown method; use 'quantile' or 'linear'.");
  }

  // Y points, the Jacobian and the Y density.
  Ref fx = bind::call(fun, xx.get());
  Ref x = asarray_float(self, fx.get());
  Ref d;
  Ref deriv = self.global(kDerivFunc);
  if (bind::is_function_of(deriv.get(), kDerivFuncSpec)) {
    d = five_point(self, fun, h, xx.get());
  } else {
    Ref ph = py_float(h);
    Ref fd = vcall(deriv.get(), {fun}, {{&kStepSize, ph.get()}});
    d = bind::call(fd.get(), xx.get());
  }
  Ref denom;
  if (is_exact_float64(d.get())) {
    Array dc = contiguous(d.get());
    Array r = new_array_like(dc.get());
    core::jacobian_floor(dc.data, dc.n(), r.data);
    denom = array_return(std::move(r.obj));
  } else {
    Ref absf = np_attr(self, kAbs), clip = np_attr(self, kClip);
    Ref ad = bind::call(absf.get(), d.get());
    Ref floor = py_float(1e-12);
    Ref inf = np_attr(self, kInfName);
    denom = bind::call(clip.get(), ad.get(), floor.get(), inf.get());
  }
  Ref dm = self.global(kDmarginal);
  Ref dens0 = bind::is_function_of(dm.get(), kDmarginalSpec)
                  ? dmarginal_run(self, s, xx.get(), false)
                  : vcall(dm.get(), {xx.get(), marginal}, {{&kLog, Py_False}});
  Ref dens;
  if (is_exact_float64(dens0.get()) && is_exact_float64(denom.get()) && same_shape(dens0.get(), denom.get()) &&
      PyArray_NDIM(A(dens0.get())) > 0) {
    Array a1 = contiguous(dens0.get()), a2 = contiguous(denom.get());
    Array r = new_array_like(a1.get());
    for (npy_intp i = 0; i < r.size; ++i) r.data[i] = a1.data[i] / a2.data[i];
    dens = std::move(r.obj);
  } else {
    dens = require(PyNumber_TrueDivide(dens0.get(), denom.get()));
  }

  // A decreasing transformation: both reversed.
  bool reverse;
  if (is_exact_float64(x.get()) && PyArray_NDIM(A(x.get())) == 1 && PyArray_DIM(A(x.get()), 0) > 0) {
    Array xc = contiguous(x.get());
    reverse = xc.data[0] > xc.data[xc.size - 1];
  } else {
    Ref i0 = py_long(0), il = py_long(-1);
    Ref first = require(PyObject_GetItem(x.get(), i0.get()));
    Ref last = require(PyObject_GetItem(x.get(), il.get()));
    Ref gt = require(PyObject_RichCompare(first.get(), last.get(), Py_GT));
    reverse = truth(gt.get());
  }
  if (reverse) {
    Ref step = py_long(-1);
    Ref rev = require(PySlice_New(nullptr, nullptr, step.get()));
    x = require(PyObject_GetItem(x.get(), rev.get()));
    dens = require(PyObject_GetItem(dens.get(), rev.get()));
  }
  return to_dict_or_mat(self, x.get(), dens.get(), is_mat);
}

Ref tmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  return tmarginal_run(self, a[0], a[1], a.as_int(2), a.as_double(3), a[4]);
}

Ref marginal_transform_impl(Func& func, const Args& a) {
  const Call self(func);
  Ref t = self.global(kTmarginal);
  if (bind::is_function_of(t.get(), kTmarginalSpec))
    return tmarginal_run(self, a[0], a[1], a.as_int(2), a.as_double(3), a[4]);
  return vcall(t.get(), {a[0], a[1]}, {{&kN, a[2]}, {&kHDiff, a[3]}, {&kMethod, a[4]}});
}

// ---------------------------------------------------------------------------------------------------------
// orvo_mmarginal

// neglog(u) = float(-orvo_dmarginal([u], marginal, log=True)[0]); `cached` is the session's log-density when
// the caller's smoothing may be reused (nullptr: smooth as orvo_dmarginal does).
double neglog_value(const Call& self, PyObject* marginal, const LogDensity* cached, double u) {
  Ref d = self.global(kDmarginal);
  if (bind::is_function_of(d.get(), kDmarginalSpec)) {
    if (cached) return -log_density1(self, *cached, u);
    LogDensity ld = prepare(self, marginal);
    return -log_density1(self, ld, u);
  }
  Ref pu = py_float(u);
  Ref list = require(PyList_New(1));
  PyList_SET_ITEM(list.get(), 0, pu.release());
  Ref r = vcall(d.get(), {list.get(), marginal}, {{&kLog, Py_True}});
  Ref i0 = py_long(0);
  Ref first = require(PyObject_GetItem(r.get(), i0.get()));
  Ref neg = require(PyNumber_Negative(first.get()));
  return to_double(neg.get());
}

// orvo_mmarginal.<locals>.neglog(u): closure (marginal, log-density capsule or None).
Ref neglog_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* marginal = PyTuple_GET_ITEM(self.captured(), 0);
  PyObject* cap = PyTuple_GET_ITEM(self.captured(), 1);
  const LogDensity* cached = nullptr;
  if (cap != Py_None) cached = from_capsule<LogDensity>(cap, kLogDensityCapsule).get();
  return py_float(neglog_value(self, marginal, cached, a.as_double(0)));
}

// The mode search given the bracket [lo, hi]; `cached` as for neglog_value.
Ref mode_refine(const Call& self, Session& s, double lo, double hi, const LogDensity* cached) {
  Minimizer m = lookup_minimizer(self);
  PyObject* marginal = s.marginal();
  if (native_kind(m)) {
    const bool release = cached && cached->S->native() && holds_own(self, kDmarginal, kDmarginalSpec);
    if (release) {
      const LogDensity& ld = *cached;
      const double x = numeric(true, [&](NoGil&) {
        return minimize_native(m.kind, [&](double u) { return -log_density1(self, ld, u); }, lo, hi, 1e-06);
      });
      return py_float(x);
    }
    const double x = numeric(false, [&](NoGil&) {
      return minimize_native(m.kind, [&](double u) { return neglog_value(self, marginal, cached, u); }, lo, hi, 1e-06);
    });
    return py_float(x);
  }
  Ref cap = cached ? capsule<LogDensity>(std::make_shared<const LogDensity>(*cached), kLogDensityCapsule) : bind::none();
  Ref neglog = self.nested(kNeglogSpec, require(PyTuple_Pack(2, marginal, cap.get())));
  return minimize_python(m, neglog.get(), lo, hi, 1e-06);
}

// The bracket of the mode search: the log-density at the quantiles of the mode levels, and the quantiles
// either side of its largest value.
void mode_bracket(const Call& self, const QuantileInverse& q, const LogDensity& ld, double& a, double& b) {
  const std::vector<double> p = core::mode_levels();
  std::vector<double> x(p.size()), dlog(p.size());
  quantile_values(self, q, p.data(), p.size(), x.data());
  for (std::size_t i = 0; i < x.size(); ++i) dlog[i] = log_density1(self, ld, x[i]);
  core::mode_bracket(x.data(), dlog.data(), x.size(), a, b);
}

// The whole mode search on native pieces (q, ld and the minimiser), inside a region.
double mode_numeric(const Call& self, const QuantileInverse& q, const LogDensity& ld, MinKind kind) {
  double a = 0.0, b = 0.0;
  mode_bracket(self, q, ld, a, b);
  return minimize_native(kind, [&](double u) { return -log_density1(self, ld, u); }, a, b, 1e-06);
}

Ref mmarginal_run(const Call& self, Session& s) {
  const std::vector<double> p = core::mode_levels();
  const bool own_q = holds_own(self, kQmarginal, kQmarginalSpec);
  const bool own_d = holds_own(self, kDmarginal, kDmarginalSpec);
  if (s.cached() && own_q && own_d) {
    QuantileInverse q = s.quantile_inverse(kDefaultLength);
    LogDensity ld = s.logd();
    // All native (the minimiser looked up first: nothing between runs Python): one region for both steps.
    const Minimizer m = lookup_minimizer(self);
    if (q.finv->native() && ld.S->native() && native_kind(m))
      return py_float(numeric(true, [&](NoGil&) { return mode_numeric(self, q, ld, m.kind); }));
    double a = 0.0, b = 0.0;
    numeric(false, [&](NoGil&) { mode_bracket(self, q, ld, a, b); });
    return mode_refine(self, s, a, b, &ld);
  }
  // Step by step through the module's names.
  Array pa = new_array(p);
  Ref x = own_q ? qmarginal_run(self, s, pa.get(), kDefaultLength)
                : bind::call(self.global(kQmarginal).get(), pa.get(), s.marginal());
  Ref dlog = own_d ? dmarginal_run(self, s, x.get(), true)
                   : vcall(self.global(kDmarginal).get(), {x.get(), s.marginal()}, {{&kLog, Py_True}});
  Ref argmax = np_attr(self, kArgmax);
  Ref im = bind::call(argmax.get(), dlog.get());
  Ref iv = require(PyNumber_Long(im.get()));
  const long long i = PyLong_AsLongLong(iv.get());
  bind::require_no_error();
  const Py_ssize_t len = PyObject_Length(x.get());
  if (len < 0) throw bind::PyError();
  Ref ia = py_long(i - 1 > 0 ? i - 1 : 0);
  Ref ib = py_long(std::min<long long>(len - 1, i + 1));
  Ref xa = require(PyObject_GetItem(x.get(), ia.get()));
  Ref xb = require(PyObject_GetItem(x.get(), ib.get()));
  const double a = to_double(xa.get()), b = to_double(xb.get());
  return mode_refine(self, s, a, b, nullptr);
}

Ref mmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  Session s(self, a[0]);
  return mmarginal_run(self, s);
}

// ---------------------------------------------------------------------------------------------------------
// orvo_zmarginal

// orvo_zmarginal.<locals>.<lambda>(xx): np.column_stack([xx, xx ** 2]).
Ref moments_impl(Func& func, const Args& a) {
  const Call self(func);
  Ref two = py_long(2);
  Ref sq = require(PyNumber_Power(a[0], two.get(), Py_None));
  Ref list = require(PyList_New(2));
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(a[0]));
  PyList_SET_ITEM(list.get(), 1, sq.release());
  Ref cs = np_attr(self, kColumnStack);
  return bind::call(cs.get(), list.get());
}

// E[X] and E[X^2] on the module's own expectation grid of a smoothed marginal.
void moments_numeric(const Span& x, const Span& y, double m[2]) {
  core::ExpectationGrid g;
  core::make_expectation_grid(x.data, y.data, x.n, g);
  const std::size_t n = g.x.size();
  std::vector<double> fv(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    fv[2 * i] = g.x[i];
    fv[2 * i + 1] = g.x[i] * g.x[i];
  }
  check(core::expectation(g, fv.data(), n, 2, false, m));
}

// sd = float(np.sqrt(max(m2 - mean ** 2, 0.0))) for a float mean: Python's float power (its OverflowError).
Ref sd_of(const Ref& mean, double m2) {
  Ref two = py_long(2);
  Ref msq = require(PyNumber_Power(mean.get(), two.get(), Py_None));
  const double var = m2 - PyFloat_AS_DOUBLE(msq.get());
  return py_float(std::sqrt(var > 0.0 ? var : 0.0));
}

constexpr double kSummaryLevels[5] = {0.025, 0.25, 0.5, 0.75, 0.975};

// The eight numbers of a summary.
struct Summary {
  Ref mean, sd, quantiles[5], mode;
};

// True when every name the summary uses holds the module's own object and every step is native: then the
// whole summary, once the marginal has been read, runs in one region without the GIL, and threads
// summarising different marginals run in parallel.
bool summary_is_native(const Call& self) {
  return pipeline_pure(self) && holds_own(self, kEmarginal, kEmarginalSpec) &&
         holds_own(self, kSimpsonOddGrid, kSimpsonOddGridSpec) && holds_own(self, kQmarginal, kQmarginalSpec) &&
         holds_own(self, kMmarginal, kMmarginalSpec) && holds_own(self, kDmarginal, kDmarginalSpec) &&
         native_kind(lookup_minimizer(self));
}

// The summary through the module's own steps, in their order: the marginal read, cleaned and smoothed once;
// the moments on the smoothed grid; its log-density (the smoothed marginal cleaned again first unless its x
// is strictly increasing, when that changes nothing); the quantiles; the mode search.
Summary summary_native(const Call& self, PyObject* marginal) {
  const XY in = as_xy_own(self, marginal);
  Ref x = asarray_float(self, in.x.get());
  Ref y = asarray_float(self, in.y.get());
  const CleanInput raw = clean_input(self, x.get(), y.get());
  const FactoryRef pchip = FactoryRef::lookup(self, Factory::Pchip);
  const FactoryRef cubic = FactoryRef::lookup(self, Factory::Cubic);
  const MinKind kind = lookup_minimizer(self).kind;
  const double eps = raw.eps;

  double moments[2] = {0.0, 0.0}, quantiles[5], mode = 0.0;
  enum class Stop { done, grid_too_large, mean_overflows } stop = Stop::done;
  numeric(true, [&](NoGil& ng) {
    core::Marginal c;
    clean_numeric(raw.x.data, raw.y.data, raw.x.n(), eps, c, ng);
    const SmoothArgs args;
    std::size_t n = 0;
    if (!core::smoothing_size(c.x.size(), args.extrapolate, args.factor, n) ||
        n > static_cast<std::size_t>(NPY_MAX_INTP) / 16) {
      stop = Stop::grid_too_large;
      return;
    }
    std::vector<double> xs(n), ly(n);
    core::Marginal sm;
    smooth_numeric(self, pchip, c.x.data(), c.x.size(), c.y.data(), c.y.size(), args, &eps, xs, ly, sm, ng);
    moments_numeric(sm.x, sm.y, moments);
    if (std::isfinite(moments[0]) && std::isinf(moments[0] * moments[0])) {
      stop = Stop::mean_overflows;  // raised by the power below, before anything else would run
      return;
    }
    core::Marginal again;
    const bool clean_again = !core::strictly_increasing(sm.x.data(), sm.x.size());
    if (clean_again) clean_numeric(sm.x.data(), sm.y.data(), sm.x.size(), eps, again, ng);
    const core::Marginal& f = clean_again ? again : sm;
    const LogDensity ld = native_log_density(cubic, f.x, f.y, !clean_again);
    const QuantileInverse q = quantile_inverse_numeric(self, ld, kDefaultLength, pchip, eps, ng);
    quantile_values(self, q, kSummaryLevels, 5, quantiles);
    mode = mode_numeric(self, q, ld, kind);
  });
  if (stop == Stop::grid_too_large) raise(PyExc_MemoryError, "the smoothing grid is too large");
  Summary z;
  z.mean = py_float(moments[0]);
  z.sd = sd_of(z.mean, moments[1]);
  for (int i = 0; i < 5; ++i) z.quantiles[i] = py_float(quantiles[i]);
  z.mode = py_float(mode);
  return z;
}

// The summary step by step through the module's names (any of them replaced).
Summary summary_by_steps(const Call& self, PyObject* marginal) {
  Session s(self, marginal);
  Summary z;

  // Mean and standard deviation from the first two moments.
  Ref e = self.global(kEmarginal);
  const bool own_e = bind::is_function_of(e.get(), kEmarginalSpec);
  if (own_e && own_smoothing_result(self) && holds_own(self, kSimpsonOddGrid, kSimpsonOddGridSpec)) {
    Smoothed sm = s.smoothed();
    double m[2];
    numeric(sm.x.n() >= kNoGilMin, [&](NoGil&) { moments_numeric(sm.x, sm.y, m); });
    z.mean = py_float(m[0]);
    z.sd = sd_of(z.mean, m[1]);
  } else {
    Ref lam = self.nested(kMomentsSpec);
    Ref m12;
    if (own_e) {
      Ref noargs = require(PyTuple_New(0));
      m12 = emarginal_run(self, s, lam.get(), noargs.get(), nullptr);
    } else {
      m12 = bind::call(e.get(), lam.get(), marginal);
    }
    Ref i0 = py_long(0), i1 = py_long(1), two = py_long(2);
    Ref m1 = require(PyObject_GetItem(m12.get(), i0.get()));
    z.mean = require(PyNumber_Float(m1.get()));
    Ref m2 = require(PyObject_GetItem(m12.get(), i1.get()));
    Ref msq = require(PyNumber_Power(z.mean.get(), two.get(), Py_None));
    Ref var = require(PyNumber_Subtract(m2.get(), msq.get()));
    Ref zero = py_float(0.0);
    Ref gt = require(PyObject_RichCompare(var.get(), zero.get(), Py_GT));
    Ref mx = truth(gt.get()) ? var : zero;
    Ref sqrt = np_attr(self, kSqrt);
    Ref r = bind::call(sqrt.get(), mx.get());
    z.sd = require(PyNumber_Float(r.get()));
  }

  // The five quantiles.
  Ref q = self.global(kQmarginal);
  if (bind::is_function_of(q.get(), kQmarginalSpec) && s.cached()) {
    QuantileInverse qi = s.quantile_inverse(kDefaultLength);
    double v[5];
    numeric(false, [&](NoGil&) { quantile_values(self, qi, kSummaryLevels, 5, v); });
    for (int i = 0; i < 5; ++i) z.quantiles[i] = py_float(v[i]);
  } else {
    Ref list = require(PyList_New(5));
    for (int i = 0; i < 5; ++i) PyList_SET_ITEM(list.get(), i, py_float(kSummaryLevels[i]).release());
    Ref qs = bind::is_function_of(q.get(), kQmarginalSpec) ? qmarginal_run(self, s, list.get(), kDefaultLength)
                                                           : bind::call(q.get(), list.get(), marginal);
    for (int i = 0; i < 5; ++i) {
      Ref idx = py_long(i);
      z.quantiles[i] = require(PyObject_GetItem(qs.get(), idx.get()));
    }
  }

  // The mode.
  Ref mm = self.global(kMmarginal);
  z.mode = bind::is_function_of(mm.get(), kMmarginalSpec) ? mmarginal_run(self, s) : bind::call(mm.get(), marginal);
  return z;
}

Ref zmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* marginal = a[0];
  if (!is_marginal(self, marginal))
    raise(PyExc_ValueError, "Input is not a valid marginal (matrix Nx2 or dict {'x','y'}).");
  const Summary z = summary_is_native(self) ? summary_native(self, marginal) : summary_by_steps(self, marginal);

  if (!a.as_bool(1)) {
    static const char* const kLabels[8] = {"Mean            ", "Stdev           ", "Quantile  0.025 ",
                                           "Quantile  0.25  ", "Quantile  0.5   ", "Quantile  0.75  ",
                                           "Quantile  0.975 ", "Mode            "};
    PyObject* values[8] = {z.mean.get(),         z.sd.get(),           z.quantiles[0].get(), z.quantiles[1].get(),
                           z.quantiles[2].get(), z.quantiles[3].get(), z.quantiles[4].get(), z.mode.get()};
    for (int i = 0; i < 8; ++i) {
      Ref text = require(PyObject_Format(values[i], kFormat.get()));
      Ref label = bind::str(kLabels[i]);
      Ref line = require(PyUnicode_Concat(label.get(), text.get()));
      Ref print = self.global(kPrint);
      bind::call(print.get(), line.get());
    }
  }

  Ref out = require(PyDict_New());
  require_ok(PyDict_SetItemString(out.get(), "mean", z.mean.get()));
  require_ok(PyDict_SetItemString(out.get(), "sd", z.sd.get()));
  static const char* const kKeys[5] = {"quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975"};
  for (int i = 0; i < 5; ++i) {
    Ref v = require(PyNumber_Float(z.quantiles[i].get()));
    require_ok(PyDict_SetItemString(out.get(), kKeys[i], v.get()));
  }
  Ref fm = require(PyNumber_Float(z.mode.get()));
  require_ok(PyDict_SetItemString(out.get(), "mode", fm.get()));
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The tables

const FuncSpec kSimpsonOddGridSpec("_simpson_odd_grid", nullptr,
                                   "Build the 'dx' weights for Simpson-like integration\n"
                                   "on a (possibly) non-equispaced grid.",
                                   {{"x", Kind::Positional, "np.ndarray"}}, "np.ndarray", simpson_odd_grid_impl);

const FuncSpec kEmarginalSpec("orvo_emarginal", nullptr,
                              "Compute E[ fun(X) ] for X ~ `marginal`. Works if fun returns a vector per x.",
                              {{"fun", Kind::Positional, "Callable"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"args", Kind::VarArgs},
                               {"kwargs", Kind::VarKwargs}},
                              "np.ndarray", emarginal_impl);

const FuncSpec kSimpsonSumSpec("_simpson_sum", "orvo_emarginal.<locals>._simpson_sum", nullptr,
                               {{"arr", Kind::Positional, "np.ndarray"}}, "np.ndarray", simpson_sum_impl);

const FuncSpec kDmarginalSpec("orvo_dmarginal", nullptr,
                              "Evaluate density (or log-density) at points x. Returns 0 (or -inf) outside range.",
                              {{"x", Kind::Positional, "ArrayLike"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"log", Kind::Positional, "bool"}},
                              "np.ndarray", dmarginal_impl);

const FuncSpec kPmarginalSpec("orvo_pmarginal", nullptr,
                              "Compute P(X <= q).\n"
                              "``normalize`` is retained for API compatibility and ignored (the result is always "
                              "normalized).",
                              {{"q", Kind::Positional, "ArrayLike"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"normalize", Kind::Positional, "bool"},
                               {"length", Kind::Positional, "int"}},
                              "np.ndarray", pmarginal_impl);

const FuncSpec kQmarginalSpec("orvo_qmarginal", nullptr,
                              "Compute quantiles by inverting the CDF (monotone interpolation).",
                              {{"p", Kind::Positional, "ArrayLike"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"length", Kind::Positional, "int"}},
                              "np.ndarray", qmarginal_impl);

const FuncSpec kMinimizeSpec("_minimize_on_interval", nullptr,
                             "Minimize f on [a,b]. Use SciPy if present; otherwise do a golden-section search.\n"
                             "Returns the argmin.",
                             {{"f", Kind::Positional, "Callable[[float], float]"},
                              {"a", Kind::Positional, "float"},
                              {"b", Kind::Positional, "float"},
                              {"tol", Kind::Positional, "float"}},
                             "float", minimize_impl);

const FuncSpec kHpdSpec("orvo_hpdmarginal", nullptr,
                        "Highest Posterior Density (HPD) intervals for unimodal marginals.\n"
                        "Returns an array of shape (len(p), 2) with columns [low, high].",
                        {{"p", Kind::Positional, "ArrayLike"},
                         {"marginal", Kind::Positional, "Marginal"},
                         {"length", Kind::Positional, "int"}},
                        "np.ndarray", hpd_impl);

const FuncSpec kWidthSpec("width", "orvo_hpdmarginal.<locals>.width", nullptr,
                          {{"x0", Kind::Positional, "float"}, {"conf", Kind::Positional, "float"}}, "float",
                          width_impl);

const FuncSpec kHpdLambdaSpec("<lambda>", "orvo_hpdmarginal.<locals>.<lambda>", nullptr, {{"z"}}, nullptr,
                              hpd_lambda_impl);

const FuncSpec kRmarginalSpec("orvo_rmarginal", nullptr, "Random draws from the marginal by inverse-CDF sampling.",
                              {{"n", Kind::Positional, "int"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"rng", Kind::Positional, "Optional[np.random.Generator]"}},
                              "np.ndarray", rmarginal_impl);

const FuncSpec kDerivFuncSpec("orvo_deriv_func", nullptr,
                              "Return a function computing derivative of `fun(x)` using a 5-point stencil.\n"
                              "Assumes `fun` is vectorized.",
                              {{"fun", Kind::Positional, "Callable[[ArrayLike], ArrayLike]"},
                               {"step_size", Kind::Positional, "float"}},
                              "Callable[[ArrayLike], np.ndarray]", deriv_func_impl);

const FuncSpec kFdSpec("fd", "orvo_deriv_func.<locals>.fd", nullptr, {{"x", Kind::Positional, "ArrayLike"}},
                       "np.ndarray", fd_impl);

const FuncSpec kTmarginalSpec("orvo_tmarginal", nullptr,
                              "Transform a marginal: Y = fun(X). Output is a new marginal approximation for Y.",
                              {{"fun", Kind::Positional, "Callable[[ArrayLike], ArrayLike]"},
                               {"marginal", Kind::Positional, "Marginal"},
                               {"n", Kind::Positional, "int"},
                               {"h_diff", Kind::Positional, "float"},
                               {"method", Kind::Positional, "str"}},
                              "Marginal", tmarginal_impl);

const FuncSpec kMmarginalSpec("orvo_mmarginal", nullptr,
                              "Approximate mode of a marginal. Coarse grid via 1%..99% quantiles then refine.",
                              {{"marginal", Kind::Positional, "Marginal"}}, "float", mmarginal_impl);

const FuncSpec kNeglogSpec("neglog", "orvo_mmarginal.<locals>.neglog", nullptr, {{"u", Kind::Positional, "float"}},
                           "float", neglog_impl);

const FuncSpec kZmarginalSpec("orvo_zmarginal", nullptr,
                              "Summary: mean, sd, mode, selected quantiles. Prints (unless silent) and returns dict.",
                              {{"marginal", Kind::Positional, "Marginal"}, {"silent", Kind::Positional, "bool"}},
                              "Dict[str, float]", zmarginal_impl);

const FuncSpec kMomentsSpec("<lambda>", "orvo_zmarginal.<locals>.<lambda>", nullptr, {{"xx"}}, nullptr,
                            moments_impl);

const FuncSpec kMarginalTransformSpec("orvo_marginal_transform", nullptr, nullptr,
                                      {{"fun"},
                                       {"marginal"},
                                       {"n", Kind::Positional, "int"},
                                       {"h_diff", Kind::Positional, "float"},
                                       {"method", Kind::Positional, "str"}},
                                      nullptr, marginal_transform_impl);

}  // namespace

void define_queries(bind::ModuleBuilder& m) {
  // The two computed defaults, _EPS ** 0.25 and _EPS ** (1/3), evaluated once as plain floats.
  PyObject* eps_obj = PyDict_GetItemString(m.dict(), "_EPS");
  if (eps_obj == nullptr) raise(PyExc_NameError, "name '_EPS' is not defined");
  Ref eps = require(PyNumber_Float(eps_obj));
  Ref quarter = py_float(0.25), third = py_float(1.0 / 3.0);
  Ref step_size = require(PyNumber_Power(eps.get(), quarter.get(), Py_None));
  Ref h_diff = require(PyNumber_Power(eps.get(), third.get(), Py_None));
  Ref quantile = bind::str("quantile");

  m.def(kSimpsonOddGridSpec);
  m.def(kEmarginalSpec);
  m.def(kDmarginalSpec, require(Py_BuildValue("(O)", Py_False)));
  m.def(kPmarginalSpec, require(Py_BuildValue("(Oi)", Py_True, 2048)));
  m.def(kQmarginalSpec, require(Py_BuildValue("(i)", 2048)));
  m.def(kMinimizeSpec, require(Py_BuildValue("(d)", 1e-06)));
  m.def(kHpdSpec, require(Py_BuildValue("(i)", 2048)));
  m.def(kRmarginalSpec, require(Py_BuildValue("(O)", Py_None)));
  m.def(kDerivFuncSpec, require(PyTuple_Pack(1, step_size.get())));
  m.def(kTmarginalSpec, require(Py_BuildValue("(iOO)", 2048, h_diff.get(), quantile.get())));
  m.def(kMmarginalSpec);
  m.def(kZmarginalSpec, require(Py_BuildValue("(O)", Py_False)));
  m.def(kMarginalTransformSpec, require(Py_BuildValue("(iOO)", 2048, h_diff.get(), quantile.get())));
}

}  // namespace vexil::quadra
