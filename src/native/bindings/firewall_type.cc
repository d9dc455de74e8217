// The Firewall type object. Results are built directly as dicts in the key
// order callers see; the fixed keys and status words are created once and
// reused, because check_imports builds one dict per import.
#include "bindings/firewall_type.h"

#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/logging.h"
#include "firewall/firewall.h"
#include "firewall/python_imports.h"
#include "util/text.h"

namespace norvo::bindings {

namespace {

using firewall::ValidationResult;

struct FirewallObject {
  PyObject_HEAD
  Affinity affinity;
  firewall::Firewall* fw;
};

firewall::Firewall& state(PyObject* self) { return *reinterpret_cast<FirewallObject*>(self)->fw; }

// ---- interned texts -------------------------------------------------------------

// Process-wide and never freed: the module supports one interpreter only.
struct Texts {
  PyObject *k_allowed, *k_status, *k_reason, *k_suggestion, *k_import, *k_line;
  PyObject *s_allowed, *s_blocked, *s_typosquat, *s_unknown;
  PyObject *r_allowed, *r_unknown_long, *r_unknown_short, *empty;
};

const Texts* texts() {
  static Texts t{};
  static bool ready = false;
  if (ready) return &t;
  auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
  PyObject** slots[] = {&t.k_allowed, &t.k_status,  &t.k_reason,    &t.k_suggestion, &t.k_import,
                        &t.k_line,    &t.s_allowed, &t.s_blocked,   &t.s_typosquat,  &t.s_unknown,
                        &t.r_allowed, &t.r_unknown_long, &t.r_unknown_short, &t.empty};
  const char* values[] = {"allowed", "status", "reason", "suggestion", "import", "line", "allowed", "blocked",
                          "typosquat", "unknown", "Import is allowed", "Unknown package - not in allowed list",
                          "Unknown package", ""};
  for (size_t i = 0; i < std::size(slots); ++i) {
    if (!*slots[i]) *slots[i] = intern(values[i]);
    if (!*slots[i]) return nullptr;
  }
  ready = true;
  return &t;
}

PyObject* status_text(const Texts& t, const ValidationResult& r) {
  PyObject* s = r.index() == 0 ? t.s_allowed : r.index() == 1 ? t.s_blocked : r.index() == 2 ? t.s_typosquat : t.s_unknown;
  Py_INCREF(s);
  return s;
}

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// d[key] = value, stealing value; false on failure (value may be nullptr).
bool put(PyObject* d, PyObject* key, PyObject* value) {
  if (!value) return false;
  int rc = PyDict_SetItem(d, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// A str argument as UTF-8 without copying: the view lives as long as `o`.
std::optional<std::string_view> arg_str_view(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) {
    raise_arg_type_error(name, std::string("'") + Py_TYPE(o)->tp_name + "' object cannot be cast as 'str'");
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &len);  // UnicodeEncodeError propagates unchanged
  if (!p) return std::nullopt;
  return std::string_view(p, static_cast<size_t>(len));
}

// The text as Python sees it: the argument itself when it is an exact str.
PyObject* same_text(PyObject* original, std::string_view utf8) {
  if (PyUnicode_CheckExact(original)) return new_ref(original);
  return to_py(utf8);
}

// ---- reasons ---------------------------------------------------------------------

PyObject* long_reason(const Texts& t, const ValidationResult& r) {
  if (r.index() == 0) return new_ref(t.r_allowed);
  if (r.index() == 3) return new_ref(t.r_unknown_long);
  return to_py(firewall::long_reason(r));
}

PyObject* short_reason(const Texts& t, const ValidationResult& r) {
  if (r.index() == 0) return new_ref(t.r_allowed);
  if (r.index() == 3) return new_ref(t.r_unknown_short);
  return to_py(firewall::short_reason(r));
}

// ---- members ---------------------------------------------------------------------

PyObject* fw_check_import(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, "Firewall.check_import()", {"import_path"}, 1, argv)) return nullptr;
  auto path = arg_str_view(argv[0], "import_path");
  if (!path) return nullptr;
  const Texts* t = texts();
  if (!t) return nullptr;
  ValidationResult r = state(self).validator().classify(*path);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  PyObject* suggestion = nullptr;
  if (auto* ty = std::get_if<firewall::Typosquat>(&r)) suggestion = to_py(ty->intended);
  else suggestion = new_ref(t->empty);
  if (!put(d.get(), t->k_allowed, to_py_bool(firewall::is_allowed(r))) ||
      !put(d.get(), t->k_status, status_text(*t, r)) || !put(d.get(), t->k_reason, long_reason(*t, r)) ||
      !put(d.get(), t->k_suggestion, suggestion))
    return nullptr;
  NLOG_DEBUG(firewall::kLogTarget, "Import checked", {"import", *path}, {"allowed", firewall::is_allowed(r)});
  return d.release();
}

// Binds `imports` as a sequence of str. A bare str is refused even though it
// is a sequence: iterating it would silently check single characters.
PyObject* fw_check_imports(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, "Firewall.check_imports()", {"imports"}, 1, argv)) return nullptr;
  PyObject* seq = argv[0];
  if (PyUnicode_Check(seq)) {
    raise_arg_type_error("imports", "Can't extract `str` into a list");
    return nullptr;
  }
  if (!PySequence_Check(seq)) {
    raise_arg_type_error("imports", std::string("'") + Py_TYPE(seq)->tp_name + "' object cannot be cast as 'Sequence'");
    return nullptr;
  }
  Ref items = Ref::steal(PySequence_Fast(seq, "imports must be a sequence"));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      Ref text = Ref::steal(value ? PyObject_Str(value) : nullptr);
      const char* msg = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      std::string message = msg ? msg : "sequence could not be read";
      PyErr_Restore(type, value, tb);
      raise_arg_type_error("imports", message);
    }
    return nullptr;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  PyObject** elems = PySequence_Fast_ITEMS(items.get());
  // Convert every item first, so a bad item fails the call before any work.
  std::vector<std::string_view> paths;
  paths.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto p = arg_str_view(elems[i], "imports");
    if (!p) return nullptr;
    paths.push_back(*p);
  }
  const Texts* t = texts();
  if (!t) return nullptr;
  const auto& validator = state(self).validator();
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    ValidationResult r = validator.classify(paths[static_cast<size_t>(i)]);
    Ref d = Ref::steal(_PyDict_NewPresized(4));
    if (!d) return nullptr;
    if (!put(d.get(), t->k_import, same_text(elems[i], paths[static_cast<size_t>(i)])) ||
        !put(d.get(), t->k_allowed, to_py_bool(firewall::is_allowed(r))) ||
        !put(d.get(), t->k_status, status_text(*t, r)) || !put(d.get(), t->k_reason, short_reason(*t, r)))
      return nullptr;
    PyList_SET_ITEM(list.get(), i, d.release());
  }
  return list.release();
}

PyObject* fw_analyze_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, "Firewall.analyze_file()", {"file_path"}, 1, argv)) return nullptr;
  auto path = arg_str_view(argv[0], "file_path");
  if (!path) return nullptr;
  const Texts* t = texts();
  if (!t) return nullptr;
  auto report = firewall::analyze_file(state(self).validator(), *path);
  if (!report) return raise_runtime(report.error());
  Ref violations = Ref::steal(PyList_New(static_cast<Py_ssize_t>(report->violations.size())));
  if (!violations) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& v : report->violations) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    if (!put(d.get(), t->k_import, to_py(v.module)) || !put(d.get(), t->k_line, to_py_uint(v.line)) ||
        !put(d.get(), t->k_status, status_text(*t, v.result)) || !put(d.get(), t->k_reason, long_reason(*t, v.result)))
      return nullptr;
    if (auto* ty = std::get_if<firewall::Typosquat>(&v.result))
      if (!put(d.get(), t->k_suggestion, to_py(ty->intended))) return nullptr;
    PyList_SET_ITEM(violations.get(), i++, d.release());
  }
  const bool passed = report->violations.empty();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!dict_set(d.get(), "file_path", same_text(argv[0], *path)) ||
      !dict_set(d.get(), "imports_found", to_py_uint(report->imports_found)) ||
      !dict_set(d.get(), "violations", violations.release()) || !dict_set(d.get(), "passed", to_py_bool(passed)))
    return nullptr;
  return d.release();
}

PyObject* fw_check_typosquat(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, "Firewall.check_typosquat()", {"package_name"}, 1, argv)) return nullptr;
  auto name = arg_str_view(argv[0], "package_name");
  if (!name) return nullptr;
  firewall::SimilarityResult s = firewall::check_similarity(*name);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!dict_set(d.get(), "is_typosquat", to_py_bool(s.is_typosquat)) ||
      !dict_set(d.get(), "intended_package", to_py(s.intended_package)) ||
      !dict_set(d.get(), "similarity", PyFloat_FromDouble(s.similarity)))
    return nullptr;
  return d.release();
}

PyObject* blocked_pattern_list(const firewall::Policy& p) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(p.blocked_patterns.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& b : p.blocked_patterns) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || !dict_set(d.get(), "pattern", to_py(b.pattern)) || !dict_set(d.get(), "reason", to_py(b.reason)) ||
        !dict_set(d.get(), "severity", to_py(firewall::severity_name(b.severity))))
      return nullptr;
    PyList_SET_ITEM(list.get(), i++, d.release());
  }
  return list.release();
}

PyObject* fw_get_blocked_patterns(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Firewall.get_blocked_patterns()")) return nullptr;
  return blocked_pattern_list(state(self).policy());
}

PyObject* fw_get_allowed_packages(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Firewall.get_allowed_packages()")) return nullptr;
  return to_py_list(state(self).policy().allowed_packages);
}

PyObject* fw_get_policy_info(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Firewall.get_policy_info()")) return nullptr;
  const auto& fw = state(self);
  const auto& p = fw.policy();
  firewall::PolicySource src = fw.source();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!dict_set(d.get(), "version", to_py(p.version)) || !dict_set(d.get(), "mode", to_py(firewall::mode_name(p.mode))) ||
      !dict_set(d.get(), "allowed_packages_count", to_py_uint(p.allowed_packages.size())) ||
      !dict_set(d.get(), "blocked_patterns_count", to_py_uint(p.blocked_patterns.size())) ||
      !dict_set(d.get(), "internal_prefixes_count", to_py_uint(p.internal_prefixes.size())) ||
      !dict_set(d.get(), "typo_detection_enabled", to_py_bool(p.typo_detection.enabled)) ||
      !dict_set(d.get(), "atlas_enabled", to_py_bool(p.atlas.enabled)) ||
      !dict_set(d.get(), "config_source", to_py(src.source)) || !dict_set(d.get(), "config_path", to_py(src.path)))
    return nullptr;
  return d.release();
}

PyObject* fw_list_rules(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Firewall.list_rules()")) return nullptr;
  const auto& fw = state(self);
  const auto& p = fw.policy();
  firewall::PolicySource src = fw.source();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!dict_set(d.get(), "allowed_packages", to_py_list(p.allowed_packages)) ||
      !dict_set(d.get(), "blocked_patterns", blocked_pattern_list(p)) ||
      !dict_set(d.get(), "internal_prefixes", to_py_list(p.internal_prefixes)) ||
      !dict_set(d.get(), "policy_mode", to_py(firewall::mode_word(p.mode))) ||
      !dict_set(d.get(), "typo_detection_enabled", to_py_bool(p.typo_detection.enabled)) ||
      !dict_set(d.get(), "atlas_enabled", to_py_bool(p.atlas.enabled)) ||
      !dict_set(d.get(), "version", to_py(p.version)) || !dict_set(d.get(), "config_source", to_py(src.source)) ||
      !dict_set(d.get(), "config_path", to_py(src.path)))
    return nullptr;
  return d.release();
}

// ---- entry points ----------------------------------------------------------------

template <PyObject* (*Body)(PyObject*, PyObject*, PyObject*)>
PyObject* trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto* o = reinterpret_cast<FirewallObject*>(self);
    if (!check_thread(o->affinity, kFirewallTypeName)) return nullptr;
    Hold hold(o->affinity, Hold::Shared);
    if (!hold.ok()) return nullptr;
    return Body(self, args, kwargs);
  });
}

PyObject* fw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_args(args, kwargs, "Firewall.__new__()", {"project_root"}, 1, argv)) return nullptr;
    auto root = arg_str(argv[0], "project_root");
    if (!root) return nullptr;
    auto fw = std::make_unique<firewall::Firewall>(std::move(*root));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<FirewallObject*>(self);
    affinity_init(o->affinity);
    o->fw = fw.release();
    return self;
  });
}

void fw_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<FirewallObject*>(self);
  // Off the owner thread the native state is leaked on purpose.
  if (drop_on_owner_thread(o->affinity, kFirewallTypeName)) delete o->fw;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // heap type: instances hold a reference to it
}

PyObject* fw_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* o = reinterpret_cast<FirewallObject*>(self);
    if (!check_thread(o->affinity, kFirewallTypeName)) return nullptr;
    Hold hold(o->affinity, Hold::Shared);
    if (!hold.ok()) return nullptr;
    const auto& fw = *o->fw;
    return to_py("Firewall(project_root='" + util::utf8_lossy(fw.project_root()) + "', mode='" +
                 std::string(firewall::mode_word(fw.policy().mode)) + "')");
  });
}

PyObject* fw_get_policy_mode(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* o = reinterpret_cast<FirewallObject*>(self);
    if (!check_thread(o->affinity, kFirewallTypeName)) return nullptr;
    Hold hold(o->affinity, Hold::Shared);
    if (!hold.ok()) return nullptr;
    return to_py(firewall::mode_word(o->fw->policy().mode));
  });
}

constexpr const char* kFirewallDoc =
    "Firewall(project_root)\n--\n\n"
    "Firewall - Python interface to the Norvo Dependency Firewall.\n\n"
    "Validates imports against security policies, detects typosquatting,\n"
    "and enforces dependency rules.\n\n"
    "# Example\n\n"
    "```python\n"
    "firewall = Firewall(\"/path/to/project\")\n"
    "result = firewall.check_import(\"os.system\")  # Returns blocked\n"
    "```";

#define NORVO_FW_ENTRY(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<&fw_##name>))

PyMethodDef kMethods[] = {
    {"check_import", NORVO_FW_ENTRY(check_import), METH_VARARGS | METH_KEYWORDS,
     "check_import($self, import_path)\n--\n\n"
     "Check if a single import is allowed.\n\n"
     "Args:\n    import_path: Import path to check (e.g., \"requests\", \"os.system\").\n\n"
     "Returns:\n    dict: Validation result containing:\n"
     "        - allowed: bool - Whether the import is allowed\n"
     "        - status: str - Status (allowed, blocked, typosquat, unknown)\n"
     "        - reason: str - Explanation for the decision\n"
     "        - suggestion: str - Alternative suggestion if blocked\n\n"
     "Raises:\n    RuntimeError: If validation fails."},
    {"check_imports", NORVO_FW_ENTRY(check_imports), METH_VARARGS | METH_KEYWORDS,
     "check_imports($self, imports)\n--\n\n"
     "Check multiple imports at once.\n\n"
     "Args:\n    imports: List of import paths to check.\n\n"
     "Returns:\n    list[dict]: List of validation results."},
    {"analyze_file", NORVO_FW_ENTRY(analyze_file), METH_VARARGS | METH_KEYWORDS,
     "analyze_file($self, file_path)\n--\n\n"
     "Analyze a Python file for import violations.\n\n"
     "Args:\n    file_path: Path to the Python file to analyze.\n\n"
     "Returns:\n    dict: Analysis report containing:\n"
     "        - file_path: str - The analyzed file\n"
     "        - imports_found: int - Number of imports found\n"
     "        - violations: list[dict] - List of violations\n"
     "        - passed: bool - Whether the file passed validation\n\n"
     "Raises:\n    RuntimeError: If file parsing fails."},
    {"check_typosquat", NORVO_FW_ENTRY(check_typosquat), METH_VARARGS | METH_KEYWORDS,
     "check_typosquat($self, package_name)\n--\n\n"
     "Check for typosquatting (misspelled package names).\n\n"
     "Args:\n    package_name: Package name to check.\n\n"
     "Returns:\n    dict: Typosquat check result containing:\n"
     "        - is_typosquat: bool - Whether this looks like a typo\n"
     "        - intended_package: str - What package was probably intended\n"
     "        - distance: int - Edit distance"},
    {"get_blocked_patterns", NORVO_FW_ENTRY(get_blocked_patterns), METH_VARARGS | METH_KEYWORDS,
     "get_blocked_patterns($self)\n--\n\n"
     "Get the list of blocked patterns.\n\n"
     "Returns:\n    list[str]: List of blocked import patterns."},
    {"get_policy_info", NORVO_FW_ENTRY(get_policy_info), METH_VARARGS | METH_KEYWORDS,
     "get_policy_info($self)\n--\n\nGet policy information for debugging"},
    {"list_rules", NORVO_FW_ENTRY(list_rules), METH_VARARGS | METH_KEYWORDS,
     "list_rules($self)\n--\n\n"
     "List all firewall rules and policies.\n\n"
     "Returns:\n    dict: Complete firewall configuration including:\n"
     "        - allowed_packages: list[str] - Explicitly allowed packages\n"
     "        - blocked_patterns: list[dict] - Blocked patterns with reasons\n"
     "        - internal_prefixes: list[str] - Internal module prefixes\n"
     "        - policy_mode: str - Current policy mode\n"
     "        - config_source: str - Where config was loaded from"},
    {"get_allowed_packages", NORVO_FW_ENTRY(get_allowed_packages), METH_VARARGS | METH_KEYWORDS,
     "get_allowed_packages($self)\n--\n\n"
     "Get the list of allowed packages.\n\n"
     "Returns:\n    list[str]: List of explicitly allowed packages."},
    {nullptr, nullptr, 0, nullptr}};

#undef NORVO_FW_ENTRY

PyGetSetDef kGetSet[] = {
    {"policy_mode", fw_get_policy_mode, nullptr,
     "Get the current policy mode.\n\nReturns:\n    str: Policy mode (\"strict\", \"audit_only\", or \"disabled\").",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fw_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(fw_repr)},
    {Py_tp_doc, const_cast<char*>(kFirewallDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"norvo_native.Firewall", sizeof(FirewallObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* firewall_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace norvo::bindings
