// Reference handles and error plumbing shared by every extension module.
//
// Binding code holds every Python reference in a `Ref`, so no path (normal return, early return, C++
// exception) can leak or double-release one. A C API failure (NULL or -1 with a Python error set) is turned
// into a throw of `PyError` by `require`; the interpreter-facing entry points catch it in `guard` and return
// NULL / -1, so no C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace vexil::bind {

// Thrown when a Python exception is already set.
struct PyError final : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Owning reference. Construct with `steal` (takes over a new reference) or `borrow` (adds one).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  ~Ref() { Py_XDECREF(p_); }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (e.g. as the return value of an entry point).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or a throw when it failed.
inline Ref require(PyObject* p) {
  if (p == nullptr) throw PyError();
  return Ref::steal(p);
}
// A status from the C API (-1 means failure).
inline int require_ok(int status) {
  if (status < 0) throw PyError();
  return status;
}
// Throws when a Python error is pending (for APIs whose failure value is also a valid result).
inline void require_no_error() {
  if (PyErr_Occurred()) throw PyError();
}

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyError();
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
  PyErr_Format(type, format, args...);
  throw PyError();
}

// Converts the C++ exception in flight into a Python exception. Call only inside a catch block.
void translate_exception() noexcept;

// Runs `body` (which returns a Ref) for an entry point called by the interpreter: the new reference on
// success, NULL with a Python exception set on any failure.
template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// As `guard`, for entry points returning a status (0 success, -1 failure).
template <class F>
int guard_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

// Interned string constants, created on first use and kept for the life of the process.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  PyObject* get() {
    if (obj_ == nullptr) {
      obj_ = PyUnicode_InternFromString(text_);
      if (obj_ == nullptr) throw PyError();
    }
    return obj_;
  }
  const char* c_str() const noexcept { return text_; }

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

// Small conveniences over the C API, all throwing on failure.
inline Ref getattr(PyObject* o, Name& n) { return require(PyObject_GetAttr(o, n.get())); }
inline Ref getattr(PyObject* o, const char* n) { return require(PyObject_GetAttrString(o, n)); }
inline Ref str(const char* s) { return require(PyUnicode_FromString(s)); }
inline Ref from_long(long v) { return require(PyLong_FromLong(v)); }
inline Ref from_double(double v) { return require(PyFloat_FromDouble(v)); }
inline Ref from_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline bool truth(PyObject* o) { return require_ok(PyObject_IsTrue(o)) != 0; }
// Calls `callable` with positional arguments (borrowed), no keywords.
template <class... A>
Ref call(PyObject* callable, A... args) {
  PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
  return require(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace vexil::bind
