#include "catalogue.hpp"

namespace vexil::catalogue {

using bind::Args;
using bind::Func;
using bind::Name;
using bind::Ref;
using bind::require;

namespace {

Name kNp("np"), kLog("log"), kExp("exp");

// numpy.<fn>, with `np` and the attribute looked up anew at every call. As in the lambda body
// `np.log(x / (1 - x))`, the function is looked up before its argument is computed.
Ref np_fn(const Func& f, Name& fn) {
  Ref np = f.global(kNp);
  return bind::getattr(np.get(), fn);
}

PyObject* one() {
  static PyObject* v = PyLong_FromLong(1);  // small ints are immortal in practice; kept for the process
  return v;
}
PyObject* two() {
  static PyObject* v = PyLong_FromLong(2);
  return v;
}

// np.log(x)
Ref log_to(Func& f, const Args& a) {
  Ref log = np_fn(f, kLog);
  return bind::call(log.get(), a[0]);
}
// np.exp(x)
Ref log_from(Func& f, const Args& a) {
  Ref exp = np_fn(f, kExp);
  return bind::call(exp.get(), a[0]);
}
// np.log(x / (1 - x))
Ref logit_to(Func& f, const Args& a) {
  Ref log = np_fn(f, kLog);
  Ref d = require(PyNumber_Subtract(one(), a[0]));
  Ref q = require(PyNumber_TrueDivide(a[0], d.get()));
  return bind::call(log.get(), q.get());
}
// np.exp(x) / (1 + np.exp(x))
Ref logit_from(Func& f, const Args& a) {
  Ref exp1 = np_fn(f, kExp);
  Ref e1 = bind::call(exp1.get(), a[0]);
  Ref exp2 = np_fn(f, kExp);
  Ref e2 = bind::call(exp2.get(), a[0]);
  Ref s = require(PyNumber_Add(one(), e2.get()));
  return require(PyNumber_TrueDivide(e1.get(), s.get()));
}
// 1 / (1 + np.exp(-x))
Ref logitrec_from(Func& f, const Args& a) {
  Ref exp = np_fn(f, kExp);
  Ref m = require(PyNumber_Negative(a[0]));
  Ref e = bind::call(exp.get(), m.get());
  Ref s = require(PyNumber_Add(one(), e.get()));
  return require(PyNumber_TrueDivide(one(), s.get()));
}
// np.log((1 + x) / (1 - x))
Ref corr_to(Func& f, const Args& a) {
  Ref log = np_fn(f, kLog);
  Ref p = require(PyNumber_Add(one(), a[0]));
  Ref m = require(PyNumber_Subtract(one(), a[0]));
  Ref q = require(PyNumber_TrueDivide(p.get(), m.get()));
  return bind::call(log.get(), q.get());
}
// 2 * np.exp(x) / (1 + np.exp(x)) - 1
Ref corr_from(Func& f, const Args& a) {
  Ref exp1 = np_fn(f, kExp);
  Ref e1 = bind::call(exp1.get(), a[0]);
  Ref p = require(PyNumber_Multiply(two(), e1.get()));
  Ref exp2 = np_fn(f, kExp);
  Ref e2 = bind::call(exp2.get(), a[0]);
  Ref s = require(PyNumber_Add(one(), e2.get()));
  Ref q = require(PyNumber_TrueDivide(p.get(), s.get()));
  return require(PyNumber_Subtract(q.get(), one()));
}
Ref identity(Func&, const Args& a) { return Ref::borrow(a[0]); }

#define VEXIL_LAMBDA(impl) bind::FuncSpec("<lambda>", nullptr, nullptr, {{"x"}}, nullptr, impl)
const bind::FuncSpec kLogTo = VEXIL_LAMBDA(log_to), kLogFrom = VEXIL_LAMBDA(log_from),
                     kLogitTo = VEXIL_LAMBDA(logit_to), kLogitFrom = VEXIL_LAMBDA(logit_from),
                     kLogitRecFrom = VEXIL_LAMBDA(logitrec_from), kCorrTo = VEXIL_LAMBDA(corr_to),
                     kCorrFrom = VEXIL_LAMBDA(corr_from), kIdentity = VEXIL_LAMBDA(identity);
#undef VEXIL_LAMBDA

void set(PyObject* d, const char* key, const Ref& v) { bind::require_ok(PyDict_SetItemString(d, key, v.get())); }

}  // namespace

const bind::FuncSpec& to_theta_spec(Transform t) {
  switch (t) {
    case Transform::Log: return kLogTo;
    case Transform::Logit:
    case Transform::LogitReciprocal: return kLogitTo;
    case Transform::Correlation: return kCorrTo;
    case Transform::Identity: break;
  }
  return kIdentity;
}

const bind::FuncSpec& from_theta_spec(Transform t) {
  switch (t) {
    case Transform::Log: return kLogFrom;
    case Transform::Logit: return kLogitFrom;
    case Transform::LogitReciprocal: return kLogitRecFrom;
    case Transform::Correlation: return kCorrFrom;
    case Transform::Identity: break;
  }
  return kIdentity;
}

Ref make_entry(bind::ModuleBuilder& m, EntryOrder order, long hyperid, const char* name, const char* short_name,
               const char* prior, Ref param, Ref initial, bool fixed, Transform transform) {
  Ref e = require(PyDict_New());
  PyObject* d = e.get();
  set(d, "hyperid", bind::from_long(hyperid));
  set(d, "name", bind::str(name));
  set(d, "short_name", bind::str(short_name));
  if (order == EntryOrder::A) {
    set(d, "prior", bind::str(prior));
    set(d, "param", param);
    set(d, "initial", initial);
    set(d, "fixed", bind::from_bool(fixed));
  } else {
    set(d, "initial", initial);
    set(d, "fixed", bind::from_bool(fixed));
    set(d, "prior", bind::str(prior));
    set(d, "param", param);
  }
  set(d, "to_theta", m.function(to_theta_spec(transform)));
  set(d, "from_theta", m.function(from_theta_spec(transform)));
  return e;
}

Ref make_hyper(bind::ModuleBuilder& m, const Model& model) {
  Ref hyper = require(PyDict_New());
  for (int i = 0; i < model.n_hyper; ++i) {
    const Hyper& h = model.hyper[i];
    Ref entry = make_entry(m, model.order, h.hyperid, h.name, h.short_name, h.prior, bind::literal(h.param),
                           bind::literal(h.initial), h.fixed, h.transform);
    set(hyper.get(), h.key, entry);
  }
  return hyper;
}

Ref make_record(const Model& model, Ref hyper) {
  Ref r = require(PyDict_New());
  PyObject* d = r.get();
  set(d, "doc", bind::str(model.doc));
  set(d, "hyper", hyper);
  set(d, "constr", bind::from_bool(model.constr));
  set(d, "nrow_ncol", bind::from_bool(model.nrow_ncol));
  set(d, "augmented", bind::from_bool(model.augmented));
  set(d, "aug_factor", bind::from_long(model.aug_factor));
  set(d, "aug_constr", bind::literal(model.aug_constr));
  set(d, "n_div_by", bind::literal(model.n_div_by));
  set(d, "n_required", bind::from_bool(model.n_required));
  set(d, "set_default_values", bind::from_bool(model.set_default_values));
  if (model.min_diff) set(d, "min_diff", bind::literal(model.min_diff));
  set(d, "pdf", bind::str(model.pdf));
  return r;
}

}  // namespace vexil::catalogue
