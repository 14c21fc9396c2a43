// vexil.pure.quadra: the numerical toolbox for posterior marginal densities.
//
// This file holds the module's definition (its import-time statements, in order) and the functions from
// orvo_is_marginal to orvo_sfmarginal; the machinery they share is in quadra_marginal.cpp and the queries
// that follow them in quadra_queries.cpp.
#define VEXIL_QUADRA_DEFINES_ARRAY_API
#include "quadra_internal.hpp"

#include <cmath>
#include <limits>

namespace vexil::quadra {

using bind::Kind;
using bind::ModuleBuilder;
using bind::Param;
using bind::require;
using bind::require_ok;

Name kEpsName("_EPS"), kNp("np"), kPd("pd"), kPandasOk("_PANDAS_OK"), kScipyOk("_SCIPY_OK"),
    kPchipInterpolator("PchipInterpolator"), kCubicSpline("CubicSpline"), kMinimizeScalar("minimize_scalar"),
    kAsXy("_as_xy"), kToDictOrMat("_to_dict_or_mat"), kMarginalFix("orvo_marginal_fix"), kPchip("_pchip"),
    kCubic("_cubic"), kSmarginal("orvo_smarginal"), kSfmarginal("orvo_sfmarginal"), kIsMarginal("orvo_is_marginal");

namespace {

Name kInterp("interp"), kNan("nan"), kLeft("left"), kRight("right"), kExtrapolate("extrapolate"), kBcType("bc_type");

// ---------------------------------------------------------------------------------------------------------
// Recognising, unpacking, repacking and cleaning

Ref is_marginal_impl(Func& func, const Args& a) {
  const Call self(func);
  return bind::from_bool(is_marginal_own(self, a[0]));
}

Ref as_xy_impl(Func& func, const Args& a) {
  const Call self(func);
  XY xy = as_xy_own(self, a[0]);
  return require(PyTuple_Pack(3, xy.x.get(), xy.y.get(), xy.is_matrix ? Py_True : Py_False));
}

Ref to_dict_or_mat_impl(Func& func, const Args& a) {
  const Call self(func);
  return to_dict_or_mat_own(self, a[0], a[1], a.as_bool(2));
}

Ref marginal_fix_impl(Func& func, const Args& a) {
  const Call self(func);
  Cleaned c = marginal_fix_own(self, a[0]);
  return dict_xy(c.x.get(), c.y.get());
}

// ---------------------------------------------------------------------------------------------------------
// Interpolator factories

// _Lin.__call__(self, xx): np.interp(xx, x, y, left=np.nan, right=np.nan) on the factory's own x and y.
Ref lin_call_impl(Func& func, const Args& a) {
  const Call self(func);
  PyObject* xx = a[1];
  PyObject* captured = self.captured();
  PyObject* x = PyTuple_GET_ITEM(captured, 0);
  PyObject* y = PyTuple_GET_ITEM(captured, 1);
  Ref np = self.global(kNp);
  Ref fp;
  if (np.get() == g_imported.numpy) {
    // np.interp's own steps: fp = np.asarray(fp); the real-valued loop converts fp, xp, then x.
    fp = require(PyArray_FromAny(y, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
  }
  if (!fp || PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject*>(fp.get()))) {
    Ref fn = bind::getattr(np.get(), kInterp);
    Ref nan = bind::getattr(np.get(), kNan);
    Ref args = require(PyTuple_Pack(3, xx, x, y));
    Ref kw = require(PyDict_New());
    require_ok(PyDict_SetItem(kw.get(), kLeft.get(), nan.get()));
    require_ok(PyDict_SetItem(kw.get(), kRight.get(), nan.get()));
    return require(PyObject_Call(fn.get(), args.get(), kw.get()));
  }
  Ref afp = require(PyArray_ContiguousFromAny(fp.get(), NPY_DOUBLE, 1, 1));
  Ref axp = require(PyArray_ContiguousFromAny(x, NPY_DOUBLE, 1, 1));
  Ref ax = require(PyArray_ContiguousFromAny(xx, NPY_DOUBLE, 0, 0));
  Array cfp = contiguous(afp.get()), cxp = contiguous(axp.get()), cx = contiguous(ax.get());
  if (cxp.size == 0) bind::raise(PyExc_ValueError, "array of sample points is empty");
  if (cfp.size != cxp.size) bind::raise(PyExc_ValueError, "fp and xp are not of the same length.");
  Array out = new_array_like(cx.get());
  {
    NoGil nogil(cx.n() >= kNoGilMin);
    const double nan = std::nan("");
    core::np_interp(cx.data, cx.n(), cxp.data, cfp.data, cxp.n(), nan, nan, out.data);
  }
  return array_return(std::move(out.obj));
}

const FuncSpec kLinCallPchip("__call__", "_pchip.<locals>._Lin.__call__", nullptr, {{"self"}, {"xx"}}, nullptr,
                             lin_call_impl);
const FuncSpec kLinCallCubic("__call__", "_cubic.<locals>._Lin.__call__", nullptr, {{"self"}, {"xx"}}, nullptr,
                             lin_call_impl);

// The body of both factories: scipy's class under its module name, or a new _Lin class and its instance.
Ref factory(const Call& self, const Args& a, Factory which) {
  if (scipy_ok(self)) {
    Ref cls = self.global(which == Factory::Pchip ? kPchipInterpolator : kCubicSpline);
    Ref args = require(PyTuple_Pack(2, a[0], a[1]));
    Ref kw = require(PyDict_New());
    if (which == Factory::Cubic) {
      Ref bc = bind::str("not-a-knot");
      require_ok(PyDict_SetItem(kw.get(), kBcType.get(), bc.get()));
    }
    require_ok(PyDict_SetItem(kw.get(), kExtrapolate.get(), Py_False));
    return require(PyObject_Call(cls.get(), args.get(), kw.get()));
  }
  Ref knots = require(PyTuple_Pack(2, a[0], a[1]));
  Ref method = self.nested(which == Factory::Pchip ? kLinCallPchip : kLinCallCubic, knots);
  Ref cls = bind::make_class("_Lin", which == Factory::Pchip ? "_pchip.<locals>._Lin" : "_cubic.<locals>._Lin",
                             self.module(), {{"__call__", method.get()}});
  return require(PyObject_CallNoArgs(cls.get()));
}

Ref pchip_impl(Func& func, const Args& a) {
  const Call self(func);
  return factory(self, a, Factory::Pchip);
}
Ref cubic_impl(Func& func, const Args& a) {
  const Call self(func);
  return factory(self, a, Factory::Cubic);
}

// ---------------------------------------------------------------------------------------------------------
// Resampling

Ref spline_impl(Func& func, const Args& a) {
  const Call self(func);
  XY in = as_xy(self, a[0]);
  Cleaned c = marginal_fix_xy(self, in.x.get(), in.y.get());
  const std::size_t k = c.x.n();
  FactoryRef cubic = FactoryRef::lookup(self, Factory::Cubic);
  Array grid = new_array(static_cast<npy_intp>(k));
  Array values = new_array(static_cast<npy_intp>(k));
  Array logy = new_array(c.y.size);
  if (k == 0) bind::call(bind::getattr(c.x.get(), "min").get());  // x.min() of no points: numpy's error
  numeric(cubic.native() && k >= kNoGilMin, [&](NoGil&) {
    core::np_linspace(core::np_min(c.x.data, k), core::np_max(c.x.data, k), k, grid.data);
    np_log(c.y.data, logy.data, c.y.n());
    auto S = cubic.build(c.x, logy);
    S->eval(self, grid.data, k, values.data);
    np_exp(values.data, values.data, k);
  });
  return to_dict_or_mat(self, grid.get(), values.get(), in.is_matrix);
}

// ---------------------------------------------------------------------------------------------------------
// Smoothing and the log-density function

// The refinement factor as the grid size needs it. Python's arithmetic is exact, so any factor <= 0 gives
// the knot count, however negative; a factor beyond 64 bits is as hopeless as one just inside them.
long long grid_factor(PyObject* factor) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(factor, &overflow);
  if (v == -1 && PyErr_Occurred()) throw vexil::bind::PyError();
  if (overflow > 0) return std::numeric_limits<long long>::max();
  return (overflow < 0 || v < 0) ? 0 : v;
}

Ref smarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  SmoothArgs s;
  s.log = a.as_bool(1);
  s.extrapolate = a.as_double(2);
  s.keep_type = a.as_bool(3);
  s.factor = grid_factor(a[4]);
  return smarginal_own(self, a[0], s).result;
}

// orvo_sfmarginal.<locals>._fun(xx): S(np.asarray(xx, dtype=float)).
Ref fun_impl(Func& func, const Args& a) {
  const Call self(func);
  const auto& S = from_capsule<Interp>(self.captured(), kInterpCapsule);
  Ref xx = asarray_float(self, a[0]);
  return S->call(self, xx.get());
}

const FuncSpec kFunSpec("_fun", "orvo_sfmarginal.<locals>._fun", nullptr, {{"xx", Kind::Positional, "ArrayLike"}},
                        nullptr, fun_impl);

Ref sfmarginal_impl(Func& func, const Args& a) {
  const Call self(func);
  LogDensity ld = sfmarginal_own(self, a[0]);
  Ref lo = float64_scalar(ld.lo), hi = float64_scalar(ld.hi);
  Ref range = require(PyTuple_Pack(2, lo.get(), hi.get()));
  Ref fun = self.nested(kFunSpec, capsule<Interp>(ld.S, kInterpCapsule));
  Ref d = require(PyDict_New());
  require_ok(PyDict_SetItemString(d.get(), "range", range.get()));
  require_ok(PyDict_SetItemString(d.get(), "fun", fun.get()));
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The tables

const FuncSpec kIsMarginalSpec("orvo_is_marginal", nullptr,
                               "Return True if `marginal` is either:\n"
                               "* a 2D ndarray with shape (n,2) and n>2\n"
                               "* a dict with exactly keys {'x','y'}\n"
                               "* a pandas DataFrame with columns 'x' and 'y'",
                               {{"marginal", Kind::Positional, "Marginal"}}, "bool", is_marginal_impl);

const FuncSpec kAsXySpec("_as_xy", nullptr, "Return (x, y, is_matrix_input).",
                         {{"marginal", Kind::Positional, "Marginal"}}, "Tuple[np.ndarray, np.ndarray, bool]",
                         as_xy_impl);

const FuncSpec kToDictOrMatSpec("_to_dict_or_mat", nullptr, nullptr,
                                {{"x", Kind::Positional, "np.ndarray"},
                                 {"y", Kind::Positional, "np.ndarray"},
                                 {"as_matrix", Kind::Positional, "bool"}},
                                "Marginal", to_dict_or_mat_impl);

const FuncSpec kMarginalFixSpec("orvo_marginal_fix", nullptr,
                                "Remove points with non-positive density or density too small relative to max.\n"
                                "x itself is not filtered; only y decides which points are kept.",
                                {{"marginal", Kind::Positional, "Marginal"}}, "Dict[str, np.ndarray]",
                                marginal_fix_impl);

const FuncSpec kPchipSpec("_pchip", nullptr, nullptr,
                          {{"x", Kind::Positional, "np.ndarray"}, {"y", Kind::Positional, "np.ndarray"}}, nullptr,
                          pchip_impl);

const FuncSpec kCubicSpec("_cubic", nullptr, nullptr,
                          {{"x", Kind::Positional, "np.ndarray"}, {"y", Kind::Positional, "np.ndarray"}}, nullptr,
                          cubic_impl);

const FuncSpec kSplineSpec("orvo_spline", nullptr,
                           "Not strictly needed; provided for parity of the interface.\n"
                           "If given a matrix or dict marginal, return the same structure after cubic interpolation\n"
                           "onto an equally spaced grid (size inferred from input). Primarily used internally.",
                           {{"x_or_marginal", Kind::Positional, "Marginal"}, {"kwargs", Kind::VarKwargs}}, "Marginal",
                           spline_impl);

const FuncSpec kSmarginalSpec(
    "orvo_smarginal", nullptr,
    "Interpolate a marginal density in log(y) using the 'nonuniform t-map' logic\n"
    "and resample it on a grid that is equally spaced in the t-map coordinate, with `factor`\n"
    "times as many points as the cleaned marginal. `log` returns log-densities; `extrapolate`\n"
    "widens the map by that fraction of the range on each side; `keep_type` returns the\n"
    "(n,2) matrix form for matrix input.",
    {{"marginal", Kind::Positional, "Marginal"},
     {"log", Kind::Positional, "bool"},
     {"extrapolate", Kind::Positional, "float"},
     {"keep_type", Kind::Positional, "bool"},
     {"factor", Kind::Positional, "int"}},
    "Marginal", smarginal_impl);

const FuncSpec kSfmarginalSpec("orvo_sfmarginal", nullptr,
                               "Return {'range': (xmin,xmax), 'fun': callable} where `fun(x)` is log-density\n"
                               "over the range; outside the range, you should treat as -inf.",
                               {{"marginal", Kind::Positional, "Marginal"}}, nullptr, sfmarginal_impl);

namespace {

// ---------------------------------------------------------------------------------------------------------
// Import

// `import pandas as pd`, tolerating only ImportError.
void import_pandas(ModuleBuilder& m) {
  PyObject* pd = PyImport_ImportModule("pandas");
  if (pd != nullptr) {
    m.set("pd", Ref::steal(pd));
    m.set("_PANDAS_OK", bind::from_bool(true));
    return;
  }
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw bind::PyError();
  PyErr_Clear();
  m.set("_PANDAS_OK", bind::from_bool(false));
}

// from scipy.interpolate import PchipInterpolator, CubicSpline; from scipy.optimize import minimize_scalar,
// tolerating any Exception (names bound before a failure stay bound).
void import_scipy(ModuleBuilder& m) {
  bool ok = true;
  try {
    Ref pchip = m.from_import("scipy.interpolate", "PchipInterpolator");
    Ref cubic = m.from_import("scipy.interpolate", "CubicSpline");
    Ref minimize = m.from_import("scipy.optimize", "minimize_scalar");
    g_imported.pchip_class = pchip.release();
    g_imported.cubic_class = cubic.release();
    g_imported.minimize_scalar = minimize.release();
  } catch (const bind::PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    ok = false;
  }
  m.set("_SCIPY_OK", bind::from_bool(ok));
}

void exec(ModuleBuilder& m) {
  if (_import_array() < 0) throw bind::PyError();

  Ref np = m.import("numpy", "np");
  if (g_imported.numpy == nullptr) {
    g_imported.numpy = Ref(np).release();
    find_numpy_loops(g_imported.numpy);
  }
  for (const char* name : {"Callable", "Dict", "List", "Tuple", "Union", "Optional"}) m.from_import("typing", name);
  import_pandas(m);
  import_scipy(m);

  // _EPS = np.finfo(float).eps * 1000.0
  Ref finfo = bind::getattr(np.get(), "finfo");
  Ref info = bind::call(finfo.get(), reinterpret_cast<PyObject*>(&PyFloat_Type));
  Ref eps = bind::getattr(info.get(), "eps");
  Ref thousand = bind::from_double(1000.0);
  m.set("_EPS", require(PyNumber_Multiply(eps.get(), thousand.get())));

  // ArrayLike = Union[np.ndarray, List[float], Tuple[float, ...]]
  // Marginal = Union[np.ndarray, Dict[str, np.ndarray]]
  PyObject* d = m.dict();
  auto get = [d](const char* name) { return Ref::borrow(PyDict_GetItemString(d, name)); };
  PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  PyObject* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  Ref ndarray = bind::getattr(np.get(), "ndarray");
  Ref list_float = require(PyObject_GetItem(get("List").get(), float_type));
  Ref tuple_args = require(PyTuple_Pack(2, float_type, Py_Ellipsis));
  Ref tuple_float = require(PyObject_GetItem(get("Tuple").get(), tuple_args.get()));
  Ref array_like_args = require(PyTuple_Pack(3, ndarray.get(), list_float.get(), tuple_float.get()));
  m.set("ArrayLike", require(PyObject_GetItem(get("Union").get(), array_like_args.get())));
  Ref dict_args = require(PyTuple_Pack(2, str_type, ndarray.get()));
  Ref dict_str_array = require(PyObject_GetItem(get("Dict").get(), dict_args.get()));
  Ref marginal_args = require(PyTuple_Pack(2, ndarray.get(), dict_str_array.get()));
  m.set("Marginal", require(PyObject_GetItem(get("Union").get(), marginal_args.get())));

  m.def(kIsMarginalSpec);
  m.def(kAsXySpec);
  m.def(kToDictOrMatSpec);
  m.def(kMarginalFixSpec);
  m.def(kPchipSpec);
  m.def(kCubicSpec);
  m.def(kSplineSpec);
  m.def(kSmarginalSpec, require(Py_BuildValue("(OdOi)", Py_False, 0.0, Py_False, 15)));
  m.def(kSfmarginalSpec);
  define_queries(m);
}

}  // namespace
}  // namespace vexil::quadra

VEXIL_MODULE(quadra, nullptr, vexil::quadra::exec)
