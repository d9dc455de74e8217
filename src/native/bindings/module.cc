// Module initialisation and the module-level functions version(),
// init_logging() and compute_file_hash().
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bindings/atlas_type.h"
#include "bindings/firewall_type.h"
#include "bindings/py.h"
#include "core/logging.h"
#include "util/hashing.h"


namespace {

using namespace norvo;
using namespace norvo::bindings;

constexpr const char* kVersion = "0.1.3";

PyObject* fn_version(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_no_args(args, kwargs, "version()")) return nullptr;
    return to_py(kVersion);
  });
}

PyObject* fn_init_logging(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_args(args, kwargs, "init_logging()", {"level"}, 0, argv)) return nullptr;
    std::optional<std::string> level;
    if (!arg_opt_str(argv[0], "level", level)) return nullptr;
    log::init(level ? std::optional<std::string_view>(*level) : std::nullopt);
    Py_RETURN_NONE;
  });
}

PyObject* fn_compute_file_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_args(args, kwargs, "compute_file_hash()", {"file_path"}, 1, argv)) return nullptr;
    auto path = arg_str(argv[0], "file_path");
    if (!path) return nullptr;
    auto digest = util::blake3_file_hex(*path);
    if (!digest) {
      std::string text = "Failed to read " + *path + ": " + os_error_text(digest.error());
      Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "(N)", to_py(text)));
      if (exc) PyErr_SetObject(PyExc_OSError, exc.get());
      return nullptr;
    }
    return to_py(*digest);
  });
}

PyMethodDef kVersionDef = {"version", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_version)),
                           METH_VARARGS | METH_KEYWORDS,
                           "version()\n--\n\nGet the version of the norvo_native module."};
PyMethodDef kInitLoggingDef = {
    "init_logging", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_init_logging)),
    METH_VARARGS | METH_KEYWORDS,
    "init_logging(level=None)\n--\n\nInitialize logging for the Norvo library.\n\nArgs:\n    level: Log level "
    "(\"trace\", \"debug\", \"info\", \"warn\", \"error\").\n           Default is \"info\"."};
PyMethodDef kHashDef = {
    "compute_file_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_compute_file_hash)),
    METH_VARARGS | METH_KEYWORDS,
    "compute_file_hash(file_path)\n--\n\nCompute the blake3 hash of a file.\n\nArgs:\n    file_path: Path to the "
    "file to hash.\n\nReturns:\n    Hex-encoded blake3 hash of the file contents.\n\nRaises:\n    IOError: If the "
    "file cannot be read."};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "norvo_native",
    "Python module definition.\n\nExposes:\n- Atlas: Main class for codebase indexing\n- ArtifactKind: "
    "Enumeration of artifact types\n- version(): Get module version\n- init_logging(): Initialize logging",
    0,
    nullptr,
};

// Adds `value` (stolen) as attribute `name` and appends the name to __all__.
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref v = Ref::steal(value);
  if (!v) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  Ref n = Ref::steal(PyUnicode_FromString(name));
  if (!n || PyList_Append(all.get(), n.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, v.get()) == 0;
}

PyObject* new_ref(PyTypeObject* t) {
  Py_XINCREF(t);
  return reinterpret_cast<PyObject*>(t);
}

PyObject* build_module() {
  Ref m = Ref::steal(PyModule_Create(&kModuleDef));
  if (!m) return nullptr;
  PyObject* mod = m.get();
  bool ok = add(mod, "__version__", PyUnicode_FromString(kVersion)) && add(mod, "Atlas", new_ref(atlas_type())) &&
            add(mod, "ArtifactKind", new_ref(artifact_kind_type())) &&
            add(mod, "version", PyCFunction_NewEx(&kVersionDef, nullptr, m.get())) &&
            add(mod, "init_logging", PyCFunction_NewEx(&kInitLoggingDef, nullptr, m.get())) &&
            add(mod, "compute_file_hash", PyCFunction_NewEx(&kHashDef, nullptr, m.get()));
  ok = ok && add(mod, "Firewall", new_ref(firewall_type()));
  return ok ? m.release() : nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_norvo_native() {
  static PyInterpreterState* owner = nullptr;
  static PyObject* module = nullptr;  // one module object per process
  return guarded([&]() -> PyObject* {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (owner && owner != current) {
      PyErr_SetString(PyExc_ImportError,
                      "norvo_native does not support sub-interpreters: it is already loaded by another interpreter");
      return nullptr;
    }
    if (module) {
      Py_INCREF(module);
      return module;
    }
    PyObject* m = build_module();
    if (!m) return nullptr;
    owner = current;
    module = m;
    Py_INCREF(module);
    return module;
  });
}
