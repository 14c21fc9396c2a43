// The shared machinery of vexil.pure.quadra: arrays, interpolators and the marginal pipeline (unpacking,
// cleaning, smoothing, the log-density function), each step native while the module's names hold the
// module's own objects and otherwise calling the replacement as the Python-level algorithm would.
#include "quadra_internal.hpp"

#include <cfenv>
#include <cmath>
#include <cstring>

#define NO_IMPORT_UFUNC
#include <numpy/ufuncobject.h>

namespace vexil::quadra {

using bind::call;
using bind::from_bool;
using bind::getattr;
using bind::raise;
using bind::raise_format;
using bind::require;
using bind::require_ok;
using bind::str;
using bind::truth;

Imported g_imported;

namespace {

Name kAsarray("asarray"), kDtype("dtype"), kColumnStack("column_stack"), kDataFrame("DataFrame"),
    kColumns("columns"), kX("x"), kY("y"), kRange("range"), kFun("fun"), kKeepType("keep_type"),
    kNdarray("ndarray"), kKeys("keys");

PyArray_Descr* float64_descr() { return PyArray_DescrFromType(NPY_DOUBLE); }

Ref getitem(PyObject* o, Name& key) { return require(PyObject_GetItem(o, key.get())); }

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Module names

bool holds_own(const Call& self, Name& name, const FuncSpec& table) {
  Ref f = self.global(name);
  return bind::is_function_of(f.get(), table);
}

double Call::eps() const {
  if (!eps_) {
    Ref v = global(kEpsName);
    const double d = PyFloat_AsDouble(v.get());
    if (d == -1.0) bind::require_no_error();
    eps_ = d;
  }
  return *eps_;
}

bool scipy_ok(const Call& self) { return truth(self.global(kScipyOk).get()); }
bool pandas_ok(const Call& self) { return truth(self.global(kPandasOk).get()); }
bool np_is_numpy(const Call& self) { return self.global(kNp).get() == g_imported.numpy; }

// ---------------------------------------------------------------------------------------------------------
// numpy's own elementwise loops

namespace {

struct UfuncLoop {
  PyUFuncGenericFunction fn = nullptr;
  void* data = nullptr;
};
UfuncLoop g_log_loop, g_exp_loop;

// The float64 -> float64 inner loop of a numpy ufunc (the one numpy itself runs for float64 arrays).
UfuncLoop find_dd_loop(PyObject* ufunc) {
  UfuncLoop r;
  if (ufunc == nullptr || std::strcmp(Py_TYPE(ufunc)->tp_name, "numpy.ufunc") != 0) return r;
  PyUFuncObject* u = reinterpret_cast<PyUFuncObject*>(ufunc);
  if (u->nin != 1 || u->nout != 1 || u->nargs != 2 || u->functions == nullptr || u->types == nullptr) return r;
  for (int j = 0; j < u->ntypes; ++j) {
    if (u->types[2 * j] == NPY_DOUBLE && u->types[2 * j + 1] == NPY_DOUBLE) {
      r.fn = u->functions[j];
      r.data = u->data ? u->data[j] : nullptr;
      break;
    }
  }
  return r;
}

void run_loop(const UfuncLoop& loop, const double* in, double* out, std::size_t n) noexcept {
  if (n == 0) return;
  char* args[2] = {const_cast<char*>(reinterpret_cast<const char*>(in)), reinterpret_cast<char*>(out)};
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  npy_intp steps[2] = {sizeof(double), sizeof(double)};
  loop.fn(args, dims, steps, loop.data);
  // numpy reads the floating-point status after its own loops to warn; nobody reads it after ours.
  std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace

void find_numpy_loops(PyObject* numpy) {
  for (auto [name, loop] : {std::pair{"log", &g_log_loop}, std::pair{"exp", &g_exp_loop}}) {
    PyObject* u = PyObject_GetAttrString(numpy, name);
    if (u == nullptr) {
      PyErr_Clear();
      continue;
    }
    *loop = find_dd_loop(u);
    Py_DECREF(u);  // numpy keeps its ufuncs (and their loop tables) for the life of the process
  }
}

void np_log(const double* in, double* out, std::size_t n) noexcept {
  if (g_log_loop.fn) return run_loop(g_log_loop, in, out, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

void np_exp(const double* in, double* out, std::size_t n) noexcept {
  if (g_exp_loop.fn) return run_loop(g_exp_loop, in, out, n);
  for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

// ---------------------------------------------------------------------------------------------------------
// Arrays

bool is_float64(PyObject* o) {
  if (!PyArray_Check(o)) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a);
}

bool is_ndarray(const Call& self, PyObject* o) {
  if (np_is_numpy(self)) return PyArray_Check(o);
  Ref np = self.global(kNp);
  Ref cls = getattr(np.get(), kNdarray);
  return require_ok(PyObject_IsInstance(o, cls.get())) != 0;
}

Ref dict_xy(PyObject* x, PyObject* y) {
  Ref d = require(PyDict_New());
  require_ok(PyDict_SetItem(d.get(), kX.get(), x));
  require_ok(PyDict_SetItem(d.get(), kY.get(), y));
  return d;
}

Ref asarray_float(const Call& self, PyObject* o) {
  if (np_is_numpy(self)) {
    if (is_exact_float64(o)) return Ref::borrow(o);
    // What np.asarray(o, dtype=float) asks of numpy: any casting, a base-class ndarray, layout kept.
    return require(PyArray_FromAny(o, float64_descr(), 0, 0, NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSUREARRAY, nullptr));
  }
  Ref np = self.global(kNp);
  Ref fn = getattr(np.get(), kAsarray);
  Ref kw = require(PyDict_New());
  require_ok(PyDict_SetItem(kw.get(), kDtype.get(), reinterpret_cast<PyObject*>(&PyFloat_Type)));
  Ref args = require(PyTuple_Pack(1, o));
  return require(PyObject_Call(fn.get(), args.get(), kw.get()));
}

Array contiguous(PyObject* a) {
  Array r;
  if (is_float64(a) && PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(a)) &&
      PyArray_ISALIGNED(reinterpret_cast<PyArrayObject*>(a))) {
    r.obj = Ref::borrow(a);
  } else {
    r.obj = require(PyArray_FromAny(a, float64_descr(), 0, 0,
                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST |
                                        NPY_ARRAY_ENSUREARRAY,
                                    nullptr));
  }
  r.data = static_cast<double*>(PyArray_DATA(r.arr()));
  r.size = PyArray_SIZE(r.arr());
  return r;
}

Array as_contiguous_float(const Call& self, PyObject* o) {
  Ref a = asarray_float(self, o);
  return contiguous(a.get());
}

Array new_array(npy_intp n) {
  Array r;
  npy_intp dims[1] = {n};
  r.obj = require(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  r.data = static_cast<double*>(PyArray_DATA(r.arr()));
  r.size = n;
  return r;
}

Array new_array(const double* src, npy_intp n) {
  Array r = new_array(n);
  if (n > 0) std::memcpy(r.data, src, sizeof(double) * static_cast<std::size_t>(n));
  return r;
}

Array new_array(const std::vector<double>& src) { return new_array(src.data(), static_cast<npy_intp>(src.size())); }

Array new_array_like(PyObject* shape_of) {
  PyArrayObject* s = reinterpret_cast<PyArrayObject*>(shape_of);
  Array r;
  r.obj = require(PyArray_SimpleNew(PyArray_NDIM(s), PyArray_DIMS(s), NPY_DOUBLE));
  r.data = static_cast<double*>(PyArray_DATA(r.arr()));
  r.size = PyArray_SIZE(r.arr());
  return r;
}

Ref column_stack(const Call& self, PyObject* x, PyObject* y) {
  if (np_is_numpy(self) && is_float64(x) && is_float64(y) &&
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(x)) == 1 && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(y)) == 1 &&
      PyArray_DIM(reinterpret_cast<PyArrayObject*>(x), 0) == PyArray_DIM(reinterpret_cast<PyArrayObject*>(y), 0)) {
    Array cx = contiguous(x), cy = contiguous(y);
    npy_intp dims[2] = {cx.size, 2};
    Ref out = require(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    double* d = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < cx.size; ++i) {
      d[2 * i] = cx.data[i];
      d[2 * i + 1] = cy.data[i];
    }
    return out;
  }
  Ref np = self.global(kNp);
  Ref fn = getattr(np.get(), kColumnStack);
  Ref list = require(PyList_New(2));
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(x));
  PyList_SET_ITEM(list.get(), 1, Py_NewRef(y));
  return call(fn.get(), list.get());
}

Ref array_return(Ref a) {
  if (PyArray_Check(a.get()) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a.get())) == 0)
    return require(PyArray_Return(reinterpret_cast<PyArrayObject*>(a.release())));
  return a;
}

Ref float64_scalar(double v) {
  PyObject* s = PyArrayScalar_New(Double);
  if (s == nullptr) throw bind::PyError();
  PyArrayScalar_ASSIGN(s, Double, v);
  return Ref::steal(s);
}

Array item_array(const Call& self, PyObject* obj, const char* key) {
  Ref k = str(key);
  Ref v = require(PyObject_GetItem(obj, k.get()));
  return as_contiguous_float(self, v.get());
}

// ---------------------------------------------------------------------------------------------------------
// Statuses

[[noreturn]] void raise_status(core::Status s) {
  const char* text = core::status_message(s);
  if (core::status_kind(s) == core::ErrorKind::linalg_error) {
    Ref linalg = bind::import_module("numpy.linalg");
    Ref cls = getattr(linalg.get(), "LinAlgError");
    PyErr_SetString(cls.get(), text);
    throw bind::PyError();
  }
  raise(PyExc_ValueError, text);
}

// ---------------------------------------------------------------------------------------------------------
// Interpolators

std::shared_ptr<const Interp> Interp::native(std::shared_ptr<const core::Interpolant> fn) {
  Kind k = fn->kind() == core::Interpolant::Kind::linear ? Kind::Linear : Kind::Cubic;
  return std::make_shared<const Interp>(k, std::move(fn), Ref());
}

std::shared_ptr<const Interp> Interp::python(Ref callable) {
  return std::make_shared<const Interp>(Kind::Python, nullptr, std::move(callable));
}

void Interp::eval(const Call& self, const double* xs, std::size_t n, double* out) const {
  if (fn_) {
    fn_->eval(xs, n, out);
    return;
  }
  Array a = new_array(xs, static_cast<npy_intp>(n));
  Ref r = bind::call(callable_.get(), a.get());
  Array v = as_contiguous_float(self, r.get());
  if (v.n() != n)
    raise_format(PyExc_ValueError, "the interpolator returned %zd values for %zd points", static_cast<Py_ssize_t>(v.size),
                 static_cast<Py_ssize_t>(n));
  if (n > 0) std::memcpy(out, v.data, sizeof(double) * n);
}

Ref Interp::call(const Call& self, PyObject* xx) const {
  (void)self;
  if (!fn_) return bind::call(callable_.get(), xx);
  Array src = contiguous(xx);
  Array out = new_array_like(src.get());
  {
    NoGil nogil(src.n() >= kNoGilMin);
    fn_->eval(src.data, src.n(), out.data);
  }
  if (kind_ == Kind::Linear) return array_return(std::move(out.obj));
  return std::move(out.obj);
}

FactoryRef FactoryRef::lookup(const Call& self, Factory which) {
  FactoryRef f;
  f.which_ = which;
  Ref own = self.global(which == Factory::Pchip ? kPchip : kCubic);
  if (bind::is_function_of(own.get(), which == Factory::Pchip ? kPchipSpec : kCubicSpec)) {
    if (!scipy_ok(self)) {
      f.backend_ = core::Backend::fallback;
      return f;
    }
    // The module's own factory builds scipy's class under its module name; native only while that is scipy's.
    Ref cls = self.global(which == Factory::Pchip ? kPchipInterpolator : kCubicSpline);
    PyObject* orig = which == Factory::Pchip ? g_imported.pchip_class : g_imported.cubic_class;
    if (orig != nullptr && cls.get() == orig) {
      f.backend_ = core::Backend::scipy;
      return f;
    }
  }
  f.callable_ = std::move(own);
  return f;
}

void FactoryRef::make(const double* x, std::size_t nx, const double* y, std::size_t ny,
                      core::Interpolant& out) const {
  check(which_ == Factory::Pchip ? core::make_pchip(backend_, x, nx, y, ny, out)
                                 : core::make_cubic(backend_, x, nx, y, ny, out));
}

std::shared_ptr<const Interp> FactoryRef::build(const double* x, std::size_t nx, const double* y,
                                                std::size_t ny) const {
  if (callable_) {
    Array xa = new_array(x, static_cast<npy_intp>(nx));
    Array ya = new_array(y, static_cast<npy_intp>(ny));
    return build(xa, ya);
  }
  auto fn = std::make_shared<core::Interpolant>();
  make(x, nx, y, ny, *fn);
  return Interp::native(std::move(fn));
}

std::shared_ptr<const Interp> FactoryRef::build(const Array& x, const Array& y) const {
  if (!callable_) return build(x.data, x.n(), y.data, y.n());
  return Interp::python(call(callable_.get(), x.get(), y.get()));
}

// ---------------------------------------------------------------------------------------------------------
// Recognising and unpacking a marginal

namespace {

// isinstance(o, pd.DataFrame), evaluated only when _PANDAS_OK is true (as `_PANDAS_OK and isinstance(...)`).
bool is_data_frame(const Call& self, PyObject* o) {
  if (!pandas_ok(self)) return false;
  Ref pd = self.global(kPd);
  Ref cls = getattr(pd.get(), kDataFrame);
  return require_ok(PyObject_IsInstance(o, cls.get())) != 0;
}

bool has_column(PyObject* frame, Name& column) {
  Ref cols = getattr(frame, kColumns);
  return require_ok(PySequence_Contains(cols.get(), column.get())) != 0;
}

}  // namespace

bool is_marginal_own(const Call& self, PyObject* m) {
  if (is_ndarray(self, m)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(m);
    if (PyArray_Check(m) && PyArray_NDIM(a) == 2) return PyArray_DIM(a, 1) == 2 && PyArray_DIM(a, 0) > 2;
  }
  if (PyDict_Check(m)) {
    // set(marginal.keys()) == {"x", "y"}
    Ref keys;
    if (PyDict_CheckExact(m)) {
      keys = Ref::borrow(m);
    } else {
      Ref meth = getattr(m, kKeys);
      keys = require(PyObject_CallNoArgs(meth.get()));
    }
    Ref got = require(PySet_New(keys.get()));
    Ref want = require(PySet_New(nullptr));
    require_ok(PySet_Add(want.get(), kX.get()));
    require_ok(PySet_Add(want.get(), kY.get()));
    if (require_ok(PyObject_RichCompareBool(got.get(), want.get(), Py_EQ))) return true;
  }
  if (!is_data_frame(self, m)) return false;
  if (!has_column(m, kX) || !has_column(m, kY)) return false;
  Py_ssize_t len = PyObject_Length(m);
  if (len < 0) throw bind::PyError();
  return len >= 3;
}

bool is_marginal(const Call& self, PyObject* m) {
  if (holds_own(self, kIsMarginal, kIsMarginalSpec)) return is_marginal_own(self, m);
  Ref f = self.global(kIsMarginal);
  Ref r = call(f.get(), m);
  return truth(r.get());
}

namespace {

// np.asarray(m["x"], dtype=float), then the same for "y".
XY xy_items(const Call& self, PyObject* m) {
  XY r;
  Ref cx = getitem(m, kX);
  r.x = asarray_float(self, cx.get());
  Ref cy = getitem(m, kY);
  r.y = asarray_float(self, cy.get());
  return r;
}

}  // namespace

XY as_xy_own(const Call& self, PyObject* m) {
  if (is_data_frame(self, m)) {
    if (!has_column(m, kX) || !has_column(m, kY))
      raise(PyExc_ValueError, "DataFrame marginal must have columns 'x' and 'y'.");
    return xy_items(self, m);
  }
  if (is_ndarray(self, m)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(m);
    if (!PyArray_Check(m) || PyArray_NDIM(a) != 2 || PyArray_DIM(a, 1) != 2)
      raise(PyExc_ValueError, "Matrix marginal must be an (n,2) array.");
    XY r;
    for (int col = 0; col < 2; ++col) {
      Ref index = require(Py_BuildValue("(Ni)", PySlice_New(nullptr, nullptr, nullptr), col));
      Ref c = require(PyObject_GetItem(m, index.get()));
      (col == 0 ? r.x : r.y) = asarray_float(self, c.get());
    }
    r.is_matrix = true;
    return r;
  }
  if (PyDict_Check(m)) return xy_items(self, m);
  raise(PyExc_TypeError,
        "Marginal must be an (n,2) array, dict with keys {'x','y'}, or pandas DataFrame with 'x' and 'y' columns.");
}

XY as_xy(const Call& self, PyObject* m) {
  if (holds_own(self, kAsXy, kAsXySpec)) return as_xy_own(self, m);
  Ref f = self.global(kAsXy);
  Ref r = call(f.get(), m);
  // x, y, is_mat = _as_xy(marginal)
  Ref it = require(PyObject_GetIter(r.get()));
  Ref items[3];
  int got = 0;
  for (;;) {
    PyObject* v = PyIter_Next(it.get());
    if (v == nullptr) {
      bind::require_no_error();
      break;
    }
    if (got == 3) {
      Py_DECREF(v);
      raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    items[got++] = Ref::steal(v);
  }
  if (got < 3) raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", got);
  XY xy;
  xy.x = items[0];
  xy.y = items[1];
  xy.is_matrix = truth(items[2].get());
  return xy;
}

// ---------------------------------------------------------------------------------------------------------
// Cleaning

namespace {

Cleaned cleaned_arrays(const core::Marginal& m) {
  Cleaned c;
  c.x = new_array(m.x);
  c.y = new_array(m.y);
  return c;
}

// numpy.argsort of the NaN-free abscissae (called by the core only when ties make the order depend on
// numpy's sorting algorithm).
struct NumpyArgsort {
  NoGil& nogil;
  void operator()(const std::vector<double>& x, std::vector<std::int64_t>& order) const {
    WithGil gil(nogil);
    Array a = new_array(x);
    Ref idx = require(PyArray_ArgSort(a.arr(), 0, NPY_QUICKSORT));
    Ref idx64 = require(PyArray_FromAny(idx.get(), PyArray_DescrFromType(NPY_INT64), 1, 1,
                                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    const std::int64_t* d = static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(idx64.get())));
    order.assign(d, d + PyArray_SIZE(reinterpret_cast<PyArrayObject*>(idx64.get())));
  }
};

}  // namespace

CleanInput clean_input(const Call& self, PyObject* xa, PyObject* ya) {
  Ref x = Ref::borrow(xa), y = Ref::borrow(ya);
  PyArrayObject* X = reinterpret_cast<PyArrayObject*>(xa);
  PyArrayObject* Y = reinterpret_cast<PyArrayObject*>(ya);
  if (!PyArray_SAMESHAPE(X, Y)) {
    // x[~np.isnan(y)], y[~np.isnan(y)] with numpy's own indexing (and its IndexError for a mismatch).
    Array yc = contiguous(ya);
    Ref mask = require(PyArray_SimpleNew(PyArray_NDIM(Y), PyArray_DIMS(Y), NPY_BOOL));
    npy_bool* md = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
    for (npy_intp i = 0; i < yc.size; ++i) md[i] = !std::isnan(yc.data[i]);
    x = require(PyObject_GetItem(xa, mask.get()));
    y = require(PyObject_GetItem(ya, mask.get()));
    PyArrayObject* X2 = reinterpret_cast<PyArrayObject*>(x.get());
    PyArrayObject* Y2 = reinterpret_cast<PyArrayObject*>(y.get());
    if (!PyArray_Check(x.get()) || !PyArray_Check(y.get()) || PyArray_NDIM(X2) != 1 || PyArray_NDIM(Y2) != 1 ||
        PyArray_DIM(X2, 0) != PyArray_DIM(Y2, 0))
      raise(PyExc_ValueError, "Marginal x and y must have the same shape.");
  }
  // Equal shapes: boolean indexing visits both in C order, i.e. the flattened arrays.
  CleanInput in;
  in.x = contiguous(x.get());
  in.y = contiguous(y.get());
  // _EPS is first used by the density filter, after the check for no finite densities (as in Python).
  bool any_density = false;
  for (npy_intp i = 0; i < in.y.size && !any_density; ++i) any_density = !std::isnan(in.y.data[i]);
  in.eps = any_density ? self.eps() : 0.0;
  return in;
}

void clean_numeric(const double* x, const double* y, std::size_t n, double eps, core::Marginal& out, NoGil& nogil) {
  check(core::clean_marginal(x, y, n, eps, out, NumpyArgsort{nogil}));
}

namespace {

// The cleaning of two float64 arrays (as the module's _as_xy returns them).
Cleaned clean_arrays(const Call& self, PyObject* xa, PyObject* ya) {
  const CleanInput in = clean_input(self, xa, ya);
  core::Marginal out;
  numeric(in.x.n() >= 4 * kNoGilMin,
          [&](NoGil& nogil) { clean_numeric(in.x.data, in.y.data, in.x.n(), in.eps, out, nogil); });
  return cleaned_arrays(out);
}

}  // namespace

Cleaned marginal_fix_own(const Call& self, PyObject* marginal) {
  XY xy = as_xy(self, marginal);
  // The module's _as_xy hands over float64 arrays; a replacement's x and y are converted like numpy would.
  Ref x = asarray_float(self, xy.x.get());
  Ref y = asarray_float(self, xy.y.get());
  return clean_arrays(self, x.get(), y.get());
}

Cleaned marginal_fix(const Call& self, PyObject* marginal) {
  if (holds_own(self, kMarginalFix, kMarginalFixSpec)) return marginal_fix_own(self, marginal);
  Ref f = self.global(kMarginalFix);
  Ref r = call(f.get(), marginal);
  Cleaned c;
  c.x = item_array(self, r.get(), "x");
  c.y = item_array(self, r.get(), "y");
  return c;
}

Cleaned marginal_fix_xy(const Call& self, PyObject* x, PyObject* y) {
  if (holds_own(self, kMarginalFix, kMarginalFixSpec) && holds_own(self, kAsXy, kAsXySpec)) {
    // orvo_marginal_fix({"x": x, "y": y}) without building the dict.
    Ref xa = asarray_float(self, x);
    Ref ya = asarray_float(self, y);
    return clean_arrays(self, xa.get(), ya.get());
  }
  Ref d = dict_xy(x, y);
  return marginal_fix(self, d.get());
}

// ---------------------------------------------------------------------------------------------------------
// Repacking

Ref to_dict_or_mat_own(const Call& self, PyObject* x, PyObject* y, bool as_matrix) {
  if (as_matrix) return column_stack(self, x, y);
  return dict_xy(x, y);
}

Ref to_dict_or_mat(const Call& self, PyObject* x, PyObject* y, bool as_matrix) {
  if (holds_own(self, kToDictOrMat, kToDictOrMatSpec)) return to_dict_or_mat_own(self, x, y, as_matrix);
  Ref f = self.global(kToDictOrMat);
  return call(f.get(), x, y, as_matrix ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------------------------
// Smoothing

void smooth_numeric(const Call& self, const FactoryRef& pchip, const double* x, std::size_t k, const double* y,
                    std::size_t ky, const SmoothArgs& args, const double* clean_eps, std::vector<double>& xs,
                    std::vector<double>& ly, core::Marginal& cleaned, NoGil& nogil) {
  const std::size_t n = xs.size();
  std::vector<double> xk, t;
  core::tmap_coordinate(x, k, args.extrapolate, xk, t);
  const std::size_t nx = xk.size();
  auto build = [&](const double* a, std::size_t na, const double* b, std::size_t nb) {
    if (pchip.native()) return pchip.build(a, na, b, nb);
    WithGil gil(nogil);
    return pchip.build(a, na, b, nb);
  };
  auto eval = [&](const Interp& f, const double* v, std::size_t nv, double* out) {
    if (f.native()) return f.eval(self, v, nv, out);
    WithGil gil(nogil);
    f.eval(self, v, nv, out);
  };
  auto t2x = build(t.data(), nx, xk.data(), nx);
  auto x2t = build(xk.data(), nx, t.data(), nx);
  std::vector<double> grid = core::np_linspace(core::np_min(t.data(), nx), core::np_max(t.data(), nx), n);
  std::vector<double> ti(k), logy(ky);
  eval(*x2t, x, k, ti.data());
  np_log(y, logy.data(), ky);
  auto logd = build(ti.data(), k, logy.data(), ky);
  eval(*logd, grid.data(), n, ly.data());
  eval(*t2x, grid.data(), n, xs.data());
  if (!args.log) np_exp(ly.data(), ly.data(), n);  // the densities, in place
  if (clean_eps) clean_numeric(xs.data(), ly.data(), n, *clean_eps, cleaned, nogil);
}

Smoothed smarginal_own(const Call& self, PyObject* marginal, const SmoothArgs& args) {
  XY in = as_xy(self, marginal);
  Cleaned c = marginal_fix_xy(self, in.x.get(), in.y.get());
  const std::size_t k = c.x.n();
  const std::size_t ky = c.y.n();  // k, unless a replaced orvo_marginal_fix says otherwise
  const double e = args.extrapolate;
  if (k == 0) {
    // np.ptp of no points: numpy's own error
    Ref np = self.global(kNp);
    Ref ptp = getattr(np.get(), "ptp");
    call(ptp.get(), c.x.get());
  }

  std::size_t n = 0;
  if (!core::smoothing_size(k, e, args.factor, n) || n > static_cast<std::size_t>(NPY_MAX_INTP) / 16)
    raise(PyExc_MemoryError, "the smoothing grid is too large");

  FactoryRef pchip = FactoryRef::lookup(self, Factory::Pchip);
  // Density mode cleans the grid with orvo_marginal_fix({"x": xs, "y": np.exp(ly)}); while that is the
  // module's own, it runs in the same region as the smoothing (its _EPS is this call's, already read).
  const bool own_fix = !args.log && np_is_numpy(self) && holds_own(self, kMarginalFix, kMarginalFixSpec) &&
                       holds_own(self, kAsXy, kAsXySpec);
  const double eps = own_fix ? self.eps() : 0.0;
  std::vector<double> xs(n), ly(n);
  core::Marginal cleaned;
  numeric(pchip.native() && n >= kNoGilMin, [&](NoGil& nogil) {
    smooth_numeric(self, pchip, c.x.data, k, c.y.data, ky, args, own_fix ? &eps : nullptr, xs, ly, cleaned, nogil);
  });

  Smoothed s;
  if (args.log) {
    s.x = new_array(xs);
    s.y = new_array(ly);
  } else if (own_fix) {
    Cleaned d = cleaned_arrays(cleaned);
    s.x = std::move(d.x);
    s.y = std::move(d.y);
  } else {
    Array xa = new_array(xs), da = new_array(ly);
    Cleaned d = marginal_fix_xy(self, xa.get(), da.get());
    s.x = std::move(d.x);
    s.y = std::move(d.y);
  }
  s.result = to_dict_or_mat(self, s.x.get(), s.y.get(), in.is_matrix && args.keep_type);
  return s;
}

Smoothed smarginal(const Call& self, PyObject* marginal, const SmoothArgs& args) {
  if (holds_own(self, kSmarginal, kSmarginalSpec)) return smarginal_own(self, marginal, args);
  Ref f = self.global(kSmarginal);
  Smoothed s;
  if (args.pass_keep_type) {
    Ref pos = require(PyTuple_Pack(1, marginal));
    Ref kw = require(PyDict_New());
    require_ok(PyDict_SetItem(kw.get(), kKeepType.get(), Py_False));
    s.result = require(PyObject_Call(f.get(), pos.get(), kw.get()));
  } else {
    s.result = call(f.get(), marginal);
  }
  return s;
}

// ---------------------------------------------------------------------------------------------------------
// The log-density function

LogDensity sfmarginal_own(const Call& self, PyObject* marginal) {
  Cleaned c = marginal_fix(self, marginal);
  return log_density_of(self, c);
}

LogDensity log_density_of(const Call& self, const Cleaned& c, bool increasing) {
  const std::size_t k = c.x.n();
  // Only a replaced orvo_marginal_fix can hand over no points; x.min() raises numpy's error then.
  if (k == 0) require(PyObject_CallMethod(c.x.get(), "min", nullptr));
  FactoryRef cubic = FactoryRef::lookup(self, Factory::Cubic);
  if (cubic.native())
    return numeric(k >= kNoGilMin, [&](NoGil&) { return native_log_density(cubic, c.x, c.y, increasing); });
  LogDensity ld;
  ld.lo = core::np_min(c.x.data, k);
  ld.hi = core::np_max(c.x.data, k);
  Array logy = new_array(static_cast<npy_intp>(c.y.size));
  np_log(c.y.data, logy.data, c.y.n());
  ld.S = cubic.build(c.x, logy);
  return ld;
}

LogDensity native_log_density(const FactoryRef& cubic, const Span& x, const Span& y, bool increasing) {
  auto core_ld = std::make_shared<core::LogDensity>();
  // x.min() and x.max(): the ends, when x is known to be strictly increasing
  core_ld->lo = increasing ? x.data[0] : core::np_min(x.data, x.n);
  core_ld->hi = increasing ? x.data[x.n - 1] : core::np_max(x.data, x.n);
  std::vector<double> logy(y.n);
  np_log(y.data, logy.data(), y.n);
  cubic.make(x.data, x.n, logy.data(), y.n, core_ld->fn);
  LogDensity ld;
  ld.lo = core_ld->lo;
  ld.hi = core_ld->hi;
  ld.S = Interp::native(std::shared_ptr<const core::Interpolant>(core_ld, &core_ld->fn));
  ld.core = std::move(core_ld);
  return ld;
}

LogDensity sfmarginal(const Call& self, PyObject* marginal) {
  if (holds_own(self, kSfmarginal, kSfmarginalSpec)) return sfmarginal_own(self, marginal);
  Ref f = self.global(kSfmarginal);
  Ref r = call(f.get(), marginal);
  Ref rng = getitem(r.get(), kRange);
  Ref fun = getitem(r.get(), kFun);
  LogDensity ld;
  Ref lo = require(PySequence_GetItem(rng.get(), 0));
  Ref hi = require(PySequence_GetItem(rng.get(), 1));
  ld.lo = PyFloat_AsDouble(lo.get());
  bind::require_no_error();
  ld.hi = PyFloat_AsDouble(hi.get());
  bind::require_no_error();
  ld.S = Interp::python(std::move(fun));
  return ld;
}

LogDensity prepare(const Call& self, PyObject* marginal, bool pass_keep_type) {
  SmoothArgs a;
  a.pass_keep_type = pass_keep_type;
  Smoothed s = smarginal(self, marginal, a);
  return sfmarginal(self, s.result.get());
}

}  // namespace vexil::quadra
