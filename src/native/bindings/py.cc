// Binding toolkit implementation: argument binding texts follow CPython's
// own wording so that errors read the same as for Python functions.
#include "bindings/py.h"

#include <pythread.h>

#include <nlohmann/json.hpp>

#include "core/logging.h"
#include "util/text.h"

namespace norvo::bindings {

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
  std::string msg;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) msg += ',';
      msg += i == names.size() - 1 ? " and " : " ";
    }
    msg += '\'' + names[i] + '\'';
  }
  return msg;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

}  // namespace

bool bind_args(PyObject* args, PyObject* kwargs, const char* fullname, std::initializer_list<const char*> names,
               size_t required, PyObject** out) {
  const size_t total = names.size();
  const size_t nargs = args ? static_cast<size_t>(PyTuple_GET_SIZE(args)) : 0;
  if (nargs > total) {
    const char* was = nargs == 1 ? "was" : "were";
    if (required != total)
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given", fullname,
                   required, total, nargs, was);
    else
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", fullname, total, nargs,
                   was);
    return false;
  }
  for (size_t i = 0; i < total; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
      if (!k) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s keywords must be strings", fullname);
        return false;
      }
      size_t idx = 0;
      for (const char* n : names) {
        if (std::string_view(n) == k) break;
        ++idx;
      }
      if (idx == total) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%s'", fullname, k);
        return false;
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fullname, k);
        return false;
      }
      out[idx] = value;
    }
  }
  std::vector<std::string> missing;
  size_t i = 0;
  for (const char* n : names) {
    if (i < required && !out[i]) missing.emplace_back(n);
    ++i;
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", fullname, missing.size(),
                 missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  return true;
}

bool bind_no_args(PyObject* args, PyObject* kwargs, const char* fullname) {
  return bind_args(args, kwargs, fullname, {}, 0, nullptr);
}

void raise_arg_type_error(const char* name, const std::string& message) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  Ref cause = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  std::string text = std::string("argument '") + name + "': " + message;
  Ref exc = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s#", text.data(), (Py_ssize_t)text.size()));
  if (!exc) return;
  if (cause) PyException_SetCause(exc.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, exc.get());
}

static void raise_cast_error(PyObject* o, const char* name, const char* expected) {
  raise_arg_type_error(name, std::string("'") + type_name(o) + "' object cannot be cast as '" + expected + "'");
}

std::optional<std::string> arg_str(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) {
    raise_cast_error(o, name, "str");
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &len);  // UnicodeEncodeError propagates unchanged
  if (!p) return std::nullopt;
  return std::string(p, static_cast<size_t>(len));
}

bool arg_opt_str(PyObject* o, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (!o || o == Py_None) return true;
  auto s = arg_str(o, name);
  if (!s) return false;
  out = std::move(*s);
  return true;
}

bool arg_u64(PyObject* o, const char* name, uint64_t& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      std::string msg = std::string("'") + type_name(o) + "' object cannot be interpreted as an integer";
      raise_arg_type_error(name, msg);
    }
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError unchanged
  out = v;
  return true;
}

bool arg_opt_u64(PyObject* o, const char* name, std::optional<uint64_t>& out) {
  out.reset();
  if (!o || o == Py_None) return true;
  uint64_t v;
  if (!arg_u64(o, name, v)) return false;
  out = v;
  return true;
}

PyObject* to_py(std::string_view s) {
  PyObject* r = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (r) return r;
  PyErr_Clear();
  std::string fixed = util::utf8_lossy(s);
  return PyUnicode_DecodeUTF8(fixed.data(), static_cast<Py_ssize_t>(fixed.size()), nullptr);
}

PyObject* to_py(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return to_py(std::string_view(*s));
}

PyObject* to_py_list(const std::vector<std::string>& v) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* item = to_py(std::string_view(v[i]));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* to_py_int(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py_uint(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py_bool(bool v) { return PyBool_FromLong(v); }

PyObject* json_to_py(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::null: Py_RETURN_NONE;
    case nlohmann::json::value_t::boolean: return to_py_bool(j.get<bool>());
    case nlohmann::json::value_t::number_integer: return to_py_int(j.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: return to_py_uint(j.get<uint64_t>());
    case nlohmann::json::value_t::number_float: return PyFloat_FromDouble(j.get<double>());
    case nlohmann::json::value_t::string: return to_py(j.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(j.size())));
      if (!list) return nullptr;
      Py_ssize_t i = 0;
      for (const auto& item : j) {
        PyObject* v = json_to_py(item);
        if (!v) return nullptr;
        PyList_SET_ITEM(list.get(), i++, v);
      }
      return list.release();
    }
    case nlohmann::json::value_t::object: {
      Ref d = Ref::steal(PyDict_New());
      if (!d) return nullptr;
      for (const auto& [k, v] : j.items()) {  // std::map order: ascending bytes
        if (!dict_set(d.get(), k.c_str(), json_to_py(v))) return nullptr;
      }
      return d.release();
    }
    default: Py_RETURN_NONE;
  }
}

bool dict_set(PyObject* d, const char* key, PyObject* value) {
  if (!value) return false;
  int rc = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* raise_binding(const BindingError& e) {
  PyObject* cls = PyExc_RuntimeError;
  switch (e.kind) {
    case BindingKind::ProjectNotFound: cls = PyExc_FileNotFoundError; break;
    case BindingKind::Io: cls = PyExc_OSError; break;
    case BindingKind::InvalidArgument: cls = PyExc_ValueError; break;
    case BindingKind::Database:
    case BindingKind::Parse:
    case BindingKind::Other: cls = PyExc_RuntimeError; break;
  }
  std::string text = util::utf8_lossy(e.to_string());
  // One argument only, so OSError subclasses leave errno unset.
  Ref exc = Ref::steal(PyObject_CallFunction(cls, "(N)", to_py(text)));
  if (exc) PyErr_SetObject(cls, exc.get());
  return nullptr;
}

PyObject* raise_atlas(const AtlasError& e) { return raise_binding(BindingError::from(e)); }

PyObject* raise_runtime(const std::string& message) {
  return raise_binding(BindingError{BindingKind::Other, {}, message});
}

PyObject* failure_exception_type() {
  static PyObject* type = nullptr;  // process-wide, never freed
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "norvo_native.NativeFailure",
        "Raised when native code called from Python fails unexpectedly.\n\n"
        "Like SystemExit, it derives from BaseException, so it typically propagates\n"
        "through the whole stack and ends the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_failure(const std::string& message, const std::string& location) {
  log::report_failure(message, location);
  PyObject* type = failure_exception_type();
  if (!type) return nullptr;
  std::string text = message.empty() ? "native code failed unexpectedly" : util::utf8_lossy(message);
  PyErr_SetString(type, text.c_str());
  return nullptr;
}

void affinity_init(Affinity& a) {
  a.owner = PyThread_get_thread_ident();
  a.holds = 0;
}

bool check_thread(const Affinity& a, const char* type_name) {
  unsigned long current = PyThread_get_thread_ident();
  if (current == a.owner) return true;
  std::string msg = std::string("assertion `left == right` failed: ") + type_name +
                    " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(current) +
                    ")\n right: ThreadId(" + std::to_string(a.owner) + ")";
  raise_failure(msg, std::string(__FILE__) + ":" + std::to_string(__LINE__) + ":9");
  return false;
}

bool drop_on_owner_thread(const Affinity& a, const char* type_name) {
  if (PyThread_get_thread_ident() == a.owner) return true;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);  // keep any exception in flight
  std::string msg = std::string(type_name) + " is unsendable, but is being dropped on another thread";
  PyErr_SetString(PyExc_RuntimeError, msg.c_str());
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, tb);
  return false;
}

Hold::Hold(Affinity& a, Kind kind) : a_(a), kind_(kind) {
  if (kind == Shared) {
    if (a.holds < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++a.holds;
  } else {
    if (a.holds != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    a.holds = -1;
  }
  ok_ = true;
}

Hold::~Hold() {
  if (!ok_) return;
  if (kind_ == Shared) --a_.holds;
  else a_.holds = 0;
}

}  // namespace norvo::bindings
