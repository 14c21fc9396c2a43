// Internal interface of the vexil.pure.quadra extension module, shared by its source files:
//   quadra.cpp           module definition (exec slot) and the functions from orvo_is_marginal to
//                        orvo_sfmarginal
//   quadra_marginal.cpp  the machinery declared here: arrays, interpolators, the marginal pipeline
//   quadra_queries.cpp   the functions from _simpson_odd_grid to orvo_marginal_transform (`define_queries`)
//
// Two rules run through everything here:
//  * Module-level names are read at call time (through `Call`), so replacing a module attribute changes
//    later calls as it would in Python. Each step takes the native path while the name still holds the
//    module's own object, and otherwise calls the replacement exactly as the Python-level algorithm would.
//  * Numeric work is done by the core (src/core) on contiguous float64 buffers; only array conversion and
//    calls into Python (user callables, replacements) need the GIL.
#pragma once

#include "bind/module.hpp"

// numpy's C API table is filled in by quadra.cpp's exec slot (import_array); every other source of the
// module only uses it. PY_ARRAY_UNIQUE_SYMBOL comes from the build.
#ifndef VEXIL_QUADRA_DEFINES_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/interp.hpp"
#include "core/numeric.hpp"
#include "core/queries.hpp"
#include "core/smooth.hpp"
#include "core/status.hpp"

namespace vexil::quadra {

using bind::Args;
using bind::Func;
using bind::FuncSpec;
using bind::Name;
using bind::Ref;

// ---------------------------------------------------------------------------------------------------------
// One call of a module function (or of a nested function it created), as its Python body would run: names
// are read from the module through it at call time, and _EPS (the tolerance of the cleaning and of the
// plateau thinning) is read on first use, converted with float(), and kept for the rest of the call.
class Call {
 public:
  explicit Call(const Func& f) noexcept : f_(f) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  Ref global(Name& name) const { return f_.global(name); }
  PyObject* captured() const noexcept { return f_.captured(); }
  PyObject* module() const noexcept { return f_.module; }
  Ref nested(const FuncSpec& table, Ref closure = {}) const { return f_.nested(table, std::move(closure)); }
  // float(_EPS); needs the GIL on first use.
  double eps() const;

 private:
  const Func& f_;
  mutable std::optional<double> eps_;
};

// ---------------------------------------------------------------------------------------------------------
// Module-level names, read through Call::global at call time.
extern Name kEpsName, kNp, kPd, kPandasOk, kScipyOk, kPchipInterpolator, kCubicSpline, kMinimizeScalar, kAsXy,
    kToDictOrMat, kMarginalFix, kPchip, kCubic, kSmarginal, kSfmarginal, kIsMarginal;

// The tables of the functions defined in quadra.cpp (compare with bind::is_function_of).
extern const FuncSpec kIsMarginalSpec, kAsXySpec, kToDictOrMatSpec, kMarginalFixSpec, kPchipSpec, kCubicSpec,
    kSplineSpec, kSmarginalSpec, kSfmarginalSpec;

// Defines the 13 functions that follow orvo_sfmarginal, in the module's order (_simpson_odd_grid ...
// orvo_marginal_transform). Implemented in quadra_queries.cpp; quadra.cpp calls it right after defining
// orvo_sfmarginal.
void define_queries(bind::ModuleBuilder& m);

// Objects imported by the exec slot, kept for the life of the process: numpy itself and scipy's classes
// (nullptr when scipy did not import). Native paths are taken only while the module's names refer to them.
struct Imported {
  PyObject* numpy = nullptr;
  PyObject* pchip_class = nullptr;     // scipy.interpolate.PchipInterpolator
  PyObject* cubic_class = nullptr;     // scipy.interpolate.CubicSpline
  PyObject* minimize_scalar = nullptr; // scipy.optimize.minimize_scalar
};
extern Imported g_imported;

// True when the module attribute `name` currently holds the module's own function made from `table`.
bool holds_own(const Call& self, Name& name, const FuncSpec& table);
// Truth value of _SCIPY_OK / _PANDAS_OK at this moment.
bool scipy_ok(const Call& self);
bool pandas_ok(const Call& self);
// True when the module's `np` is numpy itself (then numpy calls may go through the C API).
bool np_is_numpy(const Call& self);

// np.log / np.exp of a contiguous float64 buffer with numpy's own float64 loops (found once by
// find_numpy_loops(); the C library's log / exp if numpy offers none), so the values are numpy's to the
// last bit. in == out is allowed. No Python object is touched: callable without the GIL.
void np_log(const double* in, double* out, std::size_t n) noexcept;
void np_exp(const double* in, double* out, std::size_t n) noexcept;
// Called by the exec slot with the numpy module.
void find_numpy_loops(PyObject* numpy);

// ---------------------------------------------------------------------------------------------------------
// Arrays.

// A float64 numpy array whose buffer native code reads or fills: C-contiguous, aligned, native byte order.
// `size` counts all elements (any shape). The buffer lives as long as `obj`. Arrays that came from user
// input are read only.
struct Array {
  Ref obj;
  double* data = nullptr;
  npy_intp size = 0;

  PyArrayObject* arr() const noexcept { return reinterpret_cast<PyArrayObject*>(obj.get()); }
  PyObject* get() const noexcept { return obj.get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(obj); }
  double operator[](npy_intp i) const noexcept { return data[i]; }
  std::size_t n() const noexcept { return static_cast<std::size_t>(size); }
};

// A read-only view of n doubles: an Array's buffer or a vector's (neither may change while it is used).
struct Span {
  const double* data;
  std::size_t n;
  Span(const Array& a) noexcept : data(a.data), n(a.n()) {}               // NOLINT: implicit by design
  Span(const std::vector<double>& v) noexcept : data(v.data()), n(v.size()) {}  // NOLINT
};

// A float64 ndarray (any subclass, any layout) in native byte order; `exact`: of the ndarray class itself.
bool is_float64(PyObject* o);
inline bool is_exact_float64(PyObject* o) { return PyArray_CheckExact(o) && is_float64(o); }
// isinstance(o, np.ndarray) with the module's np.
bool is_ndarray(const Call& self, PyObject* o);
// The new dict {"x": x, "y": y}.
Ref dict_xy(PyObject* x, PyObject* y);

// np.asarray(o, dtype=float) with the module's `np`: the very object for a float64 ndarray (even a
// non-contiguous view), otherwise a converted array (numpy's own errors for unconvertible input).
Ref asarray_float(const Call& self, PyObject* o);
// A C-contiguous float64 array with the contents of ndarray `a` (the same object when it already is one).
Array contiguous(PyObject* a);
// asarray_float then contiguous.
Array as_contiguous_float(const Call& self, PyObject* o);
// New uninitialised 1-d float64 array of n elements / a new 1-d copy of a buffer.
Array new_array(npy_intp n);
Array new_array(const double* src, npy_intp n);
Array new_array(const std::vector<double>& src);
// New uninitialised C-order float64 array with the shape of ndarray `shape_of` (0-d for a 0-d array).
Array new_array_like(PyObject* shape_of);
// np.column_stack([x, y]) with the module's np (natively for two 1-d float64 arrays of one length).
Ref column_stack(const Call& self, PyObject* x, PyObject* y);
// PyArray_Return: a 0-d array becomes the numpy scalar (what np.interp returns for a scalar query).
Ref array_return(Ref a);
// A numpy float64 scalar (what x.min() returns).
Ref float64_scalar(double v);
// obj[key] converted with np.asarray(..., dtype=float) to a C-contiguous array.
Array item_array(const Call& self, PyObject* obj, const char* key);

// A capsule keeping a shared native object (a built interpolator, a log-density) alive inside the closure of
// a nested function.
template <class T>
Ref capsule(std::shared_ptr<const T> p, const char* name) {
  auto* holder = new std::shared_ptr<const T>(std::move(p));
  PyObject* cap = PyCapsule_New(holder, name, [](PyObject* c) {
    delete static_cast<std::shared_ptr<const T>*>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
  });
  if (cap == nullptr) {
    delete holder;
    throw bind::PyError();
  }
  return Ref::steal(cap);
}
template <class T>
const std::shared_ptr<const T>& from_capsule(PyObject* cap, const char* name) {
  auto* p = static_cast<std::shared_ptr<const T>*>(PyCapsule_GetPointer(cap, name));
  if (p == nullptr) throw bind::PyError();
  return *p;
}
constexpr const char* kInterpCapsule = "vexil.quadra.interp";
constexpr const char* kLogDensityCapsule = "vexil.quadra.logdensity";

// Releases the GIL for its lifetime when `release` is true. Inside, touch no Python object (no Ref may be
// created or destroyed) except between reacquire() and release(). C++ exceptions may pass through (the
// GIL is taken back during unwinding).
class NoGil {
 public:
  explicit NoGil(bool release = true) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~NoGil() { reacquire(); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;
  bool released() const noexcept { return state_ != nullptr; }
  void reacquire() noexcept {
    if (state_) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }
  void release() noexcept {
    if (!state_) state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};
// Holds the GIL for its lifetime inside a NoGil region (no-op when the region did not release it).
class WithGil {
 public:
  explicit WithGil(NoGil& ng) noexcept : ng_(ng), was_released_(ng.released()) { ng_.reacquire(); }
  ~WithGil() {
    if (was_released_) ng_.release();
  }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  NoGil& ng_;
  bool was_released_;
};
// Work below this many points is not worth releasing the GIL for.
constexpr std::size_t kNoGilMin = 256;

// Thrown (possibly without the GIL) for a core status; turned into the Python exception by
// raise_status() once the GIL is held again (`numeric()` does both).
struct StatusError : std::exception {
  core::Status status;
  explicit StatusError(core::Status s) noexcept : status(s) {}
  const char* what() const noexcept override { return core::status_message(status); }
};
inline void check(core::Status s) {
  if (s != core::Status::ok) throw StatusError(s);
}
// Raises the Python exception of a core status (ValueError, or numpy's LinAlgError, with the core's text).
[[noreturn]] void raise_status(core::Status s);
// Runs `body(nogil)` with the GIL released when `release` is true; a StatusError becomes its Python
// exception. `body` may use WithGil(nogil) to call into Python.
template <class F>
auto numeric(bool release, F&& body) -> decltype(body(std::declval<NoGil&>())) {
  try {
    NoGil nogil(release);
    return body(nogil);
  } catch (const StatusError& e) {
    raise_status(e.status);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Interpolators.

enum class Factory { Pchip, Cubic };  // `_pchip` / `_cubic`

// A built interpolator S: scipy's monotone cubic or not-a-knot spline computed by the core, the linear
// fallback (np.interp with NaN outside), or whatever Python object a replaced factory returned.
class Interp {
 public:
  enum class Kind { Cubic, Linear, Python };

  Kind kind() const noexcept { return kind_; }
  bool native() const noexcept { return kind_ != Kind::Python; }
  // The Python object of a Python-kind interpolator (nullptr for native kinds).
  PyObject* object() const noexcept { return callable_.get(); }

  // Values at n points into out[0..n) (NaN outside the knots). Native kinds touch no Python object and may
  // run without the GIL. The Python kind needs the GIL: it calls S once with a new 1-d float64 array of the
  // points and converts the result with np.asarray(dtype=float); a result without n values raises
  // ValueError.
  void eval(const Call& self, const double* xs, std::size_t n, double* out) const;
  // S(xx) as the Python code calls it, for a float64 ndarray xx of any shape: native kinds return a new
  // array of xx's shape (the cubic kinds keep a 0-d array 0-d, as scipy does; the linear kind returns a
  // numpy scalar for 0-d, as np.interp does); the Python kind returns whatever S returns. The GIL is
  // released for large xx.
  Ref call(const Call& self, PyObject* xx) const;

  static std::shared_ptr<const Interp> native(std::shared_ptr<const core::Interpolant> fn);
  static std::shared_ptr<const Interp> python(Ref callable);

  Interp(Kind k, std::shared_ptr<const core::Interpolant> fn, Ref callable) noexcept
      : kind_(k), fn_(std::move(fn)), callable_(std::move(callable)) {}

 private:
  Kind kind_;
  std::shared_ptr<const core::Interpolant> fn_;
  Ref callable_;
};

// What `_pchip` or `_cubic` means at the moment of the lookup: the module's own factory (then _SCIPY_OK,
// read at the same moment, picks scipy's interpolator, computed natively with no scipy object built, or
// the linear fallback) or a replacement, which `build` calls as `_pchip(x, y)` with two 1-d float64
// arrays, keeping its result as S. (If the module's PchipInterpolator / CubicSpline name has been
// replaced, the module's own factory is called, as Python would.)
class FactoryRef {
 public:
  static FactoryRef lookup(const Call& self, Factory which);
  bool native() const noexcept { return !callable_; }
  core::Backend backend() const noexcept { return backend_; }
  // Native: no Python object touched (fine without the GIL), StatusError for bad knots (including
  // nx != ny, with the texts scipy / np.interp use). Python: needs the GIL; the replacement receives new
  // arrays holding copies of the knots.
  std::shared_ptr<const Interp> build(const double* x, std::size_t nx, const double* y, std::size_t ny) const;
  std::shared_ptr<const Interp> build(const double* x, const double* y, std::size_t n) const {
    return build(x, n, y, n);
  }
  // As above; a replacement receives these very arrays.
  std::shared_ptr<const Interp> build(const Array& x, const Array& y) const;
  // Native factories only: builds the core interpolant in place (StatusError for bad knots).
  void make(const double* x, std::size_t nx, const double* y, std::size_t ny, core::Interpolant& out) const;
  void make(const double* x, const double* y, std::size_t n, core::Interpolant& out) const {
    make(x, n, y, n, out);
  }

 private:
  Factory which_ = Factory::Pchip;
  core::Backend backend_ = core::Backend::fallback;
  Ref callable_;
};

// ---------------------------------------------------------------------------------------------------------
// The marginal pipeline. The plain functions honour replaced module names (_as_xy, orvo_marginal_fix,
// orvo_smarginal, orvo_sfmarginal, _to_dict_or_mat, _pchip, _cubic, _SCIPY_OK, _PANDAS_OK, np); the *_own
// functions are the module's own algorithms (what the module's function objects run), whose inner steps
// again honour replacements.

// _as_xy(marginal): (x, y, is_matrix_input). From the module's own _as_xy, x and y are what
// np.asarray(..., dtype=float) gives (any shape, possibly non-contiguous views of the input: never write to
// them); from a replacement, whatever it returned (is_matrix is the truth value of its third item).
struct XY {
  Ref x, y;
  bool is_matrix = false;
};
XY as_xy(const Call& self, PyObject* marginal);
XY as_xy_own(const Call& self, PyObject* marginal);
// orvo_is_marginal(marginal).
bool is_marginal(const Call& self, PyObject* marginal);
bool is_marginal_own(const Call& self, PyObject* marginal);

// A cleaned marginal: new 1-d C-contiguous float64 arrays, x ascending (NaN last), every y > 0, >= 3 points.
// (From a replaced orvo_marginal_fix: its "x" and "y", converted; nothing checked.)
struct Cleaned {
  Array x, y;
};
// orvo_marginal_fix(marginal) / orvo_marginal_fix({"x": x, "y": y}) (the dict is only built when
// orvo_marginal_fix or _as_xy has been replaced).
Cleaned marginal_fix(const Call& self, PyObject* marginal);
Cleaned marginal_fix_xy(const Call& self, PyObject* x, PyObject* y);
Cleaned marginal_fix_own(const Call& self, PyObject* marginal);

// _to_dict_or_mat(x, y, as_matrix).
Ref to_dict_or_mat(const Call& self, PyObject* x, PyObject* y, bool as_matrix);
Ref to_dict_or_mat_own(const Call& self, PyObject* x, PyObject* y, bool as_matrix);

// orvo_smarginal(marginal, log, extrapolate, keep_type, factor).
struct SmoothArgs {
  bool log = false;
  double extrapolate = 0.0;
  bool keep_type = false;
  long long factor = 15;
  // How the caller's Python code spells the call, used when orvo_smarginal has been replaced:
  // orvo_smarginal(marginal) when false, orvo_smarginal(marginal, keep_type=False) when true.
  bool pass_keep_type = false;
};
struct Smoothed {
  Ref result;  // what orvo_smarginal returned (dict / (n, 2) array, or whatever a replacement returned)
  // result["x"] and result["y"] as 1-d C-contiguous float64 arrays (the very arrays inside a dict result);
  // set by the module's own smoothing only.
  Array x, y;
};
Smoothed smarginal(const Call& self, PyObject* marginal, const SmoothArgs& args = {});
Smoothed smarginal_own(const Call& self, PyObject* marginal, const SmoothArgs& args);

// orvo_sfmarginal(marginal) in native form: "range" and the log-density interpolator S, built once and
// evaluated cheaply at one point or many (S->eval / call). For a replaced orvo_sfmarginal, lo/hi
// are float(result["range"][0]) / float(result["range"][1]) and S calls result["fun"] (Python kind).
struct LogDensity {
  double lo = 0.0, hi = 0.0;
  std::shared_ptr<const Interp> S;  // values NaN outside [lo, hi]
  // {lo, hi, S's interpolant} for the core's query routines when S is native; nullptr otherwise.
  std::shared_ptr<const core::LogDensity> core;
};
LogDensity sfmarginal(const Call& self, PyObject* marginal);
LogDensity sfmarginal_own(const Call& self, PyObject* marginal);
// The part of sfmarginal_own after the cleaning: "range" and the cubic of log y of a cleaned marginal.
// `increasing`: c.x is known to be strictly increasing (its ends are then its extremes).
LogDensity log_density_of(const Call& self, const Cleaned& c, bool increasing = false);
// orvo_sfmarginal(orvo_smarginal(marginal)) (or orvo_smarginal(marginal, keep_type=False) when
// pass_keep_type): the marginal cleaned and smoothed once, its log-density function built once.
LogDensity prepare(const Call& self, PyObject* marginal, bool pass_keep_type = false);

// ---------------------------------------------------------------------------------------------------------
// The numeric bodies of the pipeline's steps, for callers that run several steps in one region without the
// GIL. They touch no Python object, except that the cleaning takes the GIL back (through `nogil`) for
// numpy's argsort of tied abscissae, and a replaced _pchip is called with it. Errors are StatusError.

// What the cleaning of x and y (float64 arrays, as the module's _as_xy returns them) reads, prepared with the
// GIL: both flattened to C-contiguous arrays (the NaN densities first dropped by numpy's indexing when the
// shapes differ), and _EPS when the density filter will use it.
struct CleanInput {
  Array x, y;
  double eps = 0.0;
};
CleanInput clean_input(const Call& self, PyObject* x, PyObject* y);
// The cleaning of n points with the given _EPS (the x and y of a CleanInput, or a grid to clean again).
void clean_numeric(const double* x, const double* y, std::size_t n, double eps, core::Marginal& out, NoGil& nogil);
// The smoothing of a cleaned marginal (x: k points, y: ky values) onto xs.size() grid points: abscissae into
// xs, log-densities into ly (densities unless args.log). With clean_eps, the densities are then cleaned into
// `cleaned` with that _EPS, as the module's own orvo_marginal_fix would.
void smooth_numeric(const Call& self, const FactoryRef& pchip, const double* x, std::size_t k, const double* y,
                    std::size_t ky, const SmoothArgs& args, const double* clean_eps, std::vector<double>& xs,
                    std::vector<double>& ly, core::Marginal& cleaned, NoGil& nogil);
// The log-density of a cleaned marginal (at least one point): "range" and the cubic of log y, built by a
// native `cubic`; `increasing` as for log_density_of.
LogDensity native_log_density(const FactoryRef& cubic, const Span& x, const Span& y, bool increasing = false);

}  // namespace vexil::quadra
