// The binding toolkit every Python-facing function uses: owning references,
// argument binding with Python's standard TypeError texts, conversions,
// error-to-exception mapping, the unexpected-failure boundary, and the
// thread-affinity and borrow rules of the module's classes.
//
// Convention: functions returning PyObject* return a new reference, or nullptr
// with a Python exception set. Functions returning bool return false with an
// exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/errors.h"
#include "core/panic.h"

namespace norvo::bindings {

// An owning reference. Raw Py_DECREF appears only in here.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- argument binding -------------------------------------------------------

// Binds positional and keyword arguments to `names` (positional-or-keyword
// parameters, the first `required` of them mandatory). `out` receives borrowed
// references, nullptr for absent optionals. `fullname` is e.g. "Atlas.search()".
bool bind_args(PyObject* args, PyObject* kwargs, const char* fullname, std::initializer_list<const char*> names,
               size_t required, PyObject** out);

// For functions without parameters.
bool bind_no_args(PyObject* args, PyObject* kwargs, const char* fullname);

// Argument conversions. On a wrong type they raise TypeError
// "argument '{name}': '{type}' object cannot be cast as '{expected}'".
std::optional<std::string> arg_str(PyObject* o, const char* name);
// `None` or absent (nullptr) give nullopt in `out`.
bool arg_opt_str(PyObject* o, const char* name, std::optional<std::string>& out);
bool arg_u64(PyObject* o, const char* name, uint64_t& out);
bool arg_opt_u64(PyObject* o, const char* name, std::optional<uint64_t>& out);

// Raises TypeError "argument '{name}': {message}" chained to the current
// TypeError (if any) as its cause.
void raise_arg_type_error(const char* name, const std::string& message);

// ---- conversions -----------------------------------------------------------

PyObject* to_py(std::string_view s);  // invalid UTF-8 is replaced
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline PyObject* to_py(const char* s) { return to_py(std::string_view(s)); }
PyObject* to_py(const std::optional<std::string>& s);
PyObject* to_py_list(const std::vector<std::string>& v);
PyObject* to_py_int(int64_t v);
PyObject* to_py_uint(uint64_t v);
PyObject* to_py_bool(bool v);
// JSON value tree -> plain Python objects (object keys in ascending order).
PyObject* json_to_py(const nlohmann::json& j);

// Sets d[key] = value, stealing `value`; false when value is nullptr or on failure.
bool dict_set(PyObject* d, const char* key, PyObject* value);

// ---- errors ----------------------------------------------------------------

// Raises the Python exception of a BindingError / AtlasError; returns nullptr.
PyObject* raise_binding(const BindingError& e);
PyObject* raise_atlas(const AtlasError& e);
PyObject* raise_runtime(const std::string& message);

// The BaseException-derived class for unexpected native failures (created once).
PyObject* failure_exception_type();

// Logs the failure (when logging is on), prints the failure notice and raises
// the unexpected-failure exception. Returns nullptr.
PyObject* raise_failure(const std::string& message, const std::string& location);

// Runs `body` (returning PyObject*), turning any C++ exception into the
// unexpected-failure exception so none ever crosses into CPython.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& e) {
    const auto& w = e.where();
    return raise_failure(e.what(), std::string(w.file_name()) + ":" + std::to_string(w.line()) + ":" +
                                       std::to_string(w.column()));
  } catch (const std::exception& e) {
    return raise_failure(e.what(), "<native>:0:0");
  } catch (...) {
    return raise_failure("", "<native>:0:0");
  }
}

// ---- thread affinity and holds ----------------------------------------------

// Per-instance state shared by Atlas and Firewall objects.
struct Affinity {
  unsigned long owner = 0;  // PyThread_get_thread_ident() of the creating thread
  int holds = 0;            // >0: shared holds; -1: exclusive
};

void affinity_init(Affinity& a);

// Raises the unexpected-failure exception ("{type_name} is unsendable, but
// sent to another thread") when called off the owner thread.
bool check_thread(const Affinity& a, const char* type_name);

// True on the owner thread. Otherwise reports the unraisable RuntimeError
// "{type_name} is unsendable, but is being dropped on another thread": the
// caller must then leak the native state.
bool drop_on_owner_thread(const Affinity& a, const char* type_name);

// RAII holds; `ok()` false means the RuntimeError "Already mutably borrowed"
// or "Already borrowed" has been raised.
class Hold {
 public:
  enum Kind { Shared, Exclusive };
  Hold(Affinity& a, Kind kind);
  ~Hold();
  bool ok() const { return ok_; }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Affinity& a_;
  Kind kind_;
  bool ok_ = false;
};

}  // namespace norvo::bindings
