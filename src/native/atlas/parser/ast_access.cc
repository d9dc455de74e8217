// Node access for the parser: class table, interned names, readers, error texts.
#include "atlas/parser/ast_access.h"

#include "util/text.h"

namespace norvo::atlas::parser {

namespace {

// Text of a str that may hold lone surrogates: encoded with surrogatepass and
// then repaired, so exception messages never get lost.
std::string lossy_str(PyObject* s) {
  Py_ssize_t len = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &len)) return std::string(p, static_cast<size_t>(len));
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  return util::utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                           static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string attr_name_text(PyObject* name) {
  const char* p = PyUnicode_AsUTF8(name);
  return p ? p : "";
}

// Attribute lookup by an interned name. The host's type attribute cache keeps
// a reference to the name it was asked with, so looking up with a fresh string
// each time would keep dead strings alive there.
PyObject* getattr_interned(PyObject* obj, const char* name) {
  PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
  if (!key) return nullptr;
  return PyObject_GetAttr(obj, key.get());
}

uint8_t yield_bit(std::string_view field) {
  if (field == "body") return kYBody;
  if (field == "orelse") return kYOrelse;
  if (field == "finalbody") return kYFinalbody;
  if (field == "value") return kYValue;
  if (field == "test") return kYTest;
  if (field == "iter") return kYIter;
  if (field == "target") return kYTarget;
  return 0;
}

}  // namespace

// ---- class table ------------------------------------------------------------

bool AstContext::add_class(PyObject* cls, NodeKind kind) {
  if (!PyType_Check(cls)) return true;
  auto* t = reinterpret_cast<PyTypeObject*>(cls);
  size_t i = hash(t);
  while (slots_[i].type != nullptr) {
    if (slots_[i].type == t) return true;  // named classes are registered first
    i = (i + 1) & (kSlots - 1);
  }
  if (owned_count_ + 1 >= kSlots) return true;  // cannot happen with the host's ~120 classes
  // The yield search follows only fields the class declares, so a node is
  // never asked for an attribute it cannot have.
  uint8_t mask = 0;
  PyRef fields = PyRef::steal(getattr_interned(cls, "_fields"));
  if (!fields) {
    PyErr_Clear();
  } else if (PyTuple_Check(fields.get())) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fields.get()); ++k) {
      if (auto f = str_value(PyTuple_GET_ITEM(fields.get(), k))) mask |= yield_bit(*f);
    }
  }
  Py_INCREF(cls);
  owned_[owned_count_++] = cls;
  slots_[i] = Slot{t, kind, mask};
  return true;
}

bool AstContext::add_subclasses(PyObject* base) {
  PyRef method = PyRef::steal(getattr_interned(base, "__subclasses__"));
  if (!method) return false;
  PyRef subs = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!subs || !PyList_Check(subs.get())) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subs.get()); ++i) {
    PyObject* cls = PyList_GET_ITEM(subs.get(), i);
    add_class(cls, NodeKind::OtherNode);
    if (!add_subclasses(cls)) return false;
  }
  return true;
}

AstContext* AstContext::create(PyObject* ast_module) {
  auto* cx = new AstContext();
#define NORVO_X(a)                                          \
  cx->n.a = PyUnicode_InternFromString(#a);                 \
  if (!cx->n.a) {                                           \
    delete cx;                                              \
    return nullptr;                                         \
  }
  NORVO_AST_ATTRS(NORVO_X)
#undef NORVO_X
  // Named classes first; a class missing from this host version never matches.
#define NORVO_X(t)                                                      \
  {                                                                     \
    PyRef cls = PyRef::steal(getattr_interned(ast_module, #t));         \
    if (cls) cx->add_class(cls.get(), NodeKind::t);                     \
    else PyErr_Clear();                                                 \
  }
  NORVO_AST_NODE_TYPES(NORVO_X)
#undef NORVO_X
  PyRef base = PyRef::steal(getattr_interned(ast_module, "AST"));
  if (!base || !cx->add_subclasses(base.get())) {
    delete cx;
    return nullptr;
  }
  return cx;
}

AstContext::~AstContext() {
#define NORVO_X(a) Py_XDECREF(n.a);
  NORVO_AST_ATTRS(NORVO_X)
#undef NORVO_X
  for (size_t i = 0; i < owned_count_; ++i) Py_DECREF(owned_[i]);
}

// ---- errors -------------------------------------------------------------------

std::string exception_text() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return "attempted to fetch exception but none was set";
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
  std::string out;
  if (PyType_Check(t.get())) {
    PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(t.get())));
    if (name) out = lossy_str(name.get());
    else PyErr_Clear();
  }
  out += ": ";
  PyRef s = PyRef::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (s) {
    out += lossy_str(s.get());
  } else {
    PyErr_Clear();
    out += "<exception str() failed>";
  }
  return out;
}

AtlasError walk_error(std::string message) { return AtlasError::parse_failed("", std::move(message)); }

AtlasError walk_error_from_python(std::string_view prefix) {
  std::string m(prefix);
  m += exception_text();
  return walk_error(std::move(m));
}

AtlasError too_deep_error() {
  return walk_error("Failed to walk AST: definitions nested deeper than " + std::to_string(kMaxDefinitionNesting) +
                    " levels");
}

// ---- readers ------------------------------------------------------------------

namespace {
// Node fields live in the instance dict of ast node objects; reading it
// directly skips the type's attribute machinery (a visible share of a scan).
// Anything not found there takes the generic path, so semantics are unchanged.
PyObject* instance_field(PyObject* node, PyObject* name) {
  PyObject** dictptr = _PyObject_GetDictPtr(node);
  if (!dictptr || !*dictptr) return nullptr;
  PyObject* v = PyDict_GetItemWithError(*dictptr, name);
  if (!v) {
    PyErr_Clear();
    return nullptr;
  }
  return Py_NewRef(v);
}

PyObject* get_field(PyObject* node, PyObject* name) {
  if (PyObject* v = instance_field(node, name)) return v;
  return PyObject_GetAttr(node, name);
}
}  // namespace

PyRef opt_attr(PyObject* node, PyObject* name) {
  PyObject* v = instance_field(node, name);
  if (v) {
    if (v == Py_None) {
      Py_DECREF(v);
      v = nullptr;
    }
    return PyRef::steal(v);
  }
  // Missing attributes are common in optional reads; the lookup variant
  // avoids building an AttributeError for each of them.
  if (_PyObject_LookupAttr(node, name, &v) < 0) PyErr_Clear();
  if (v == Py_None) {
    Py_DECREF(v);
    v = nullptr;
  }
  return PyRef::steal(v);
}

Result<PyRef> req_attr(PyObject* node, PyObject* name, std::string_view prefix) {
  PyObject* v = get_field(node, name);
  if (!v) return fail(walk_error_from_python(prefix));
  return PyRef::steal(v);
}

std::optional<std::string> str_value(PyObject* obj) {
  if (!obj || !PyUnicode_Check(obj)) return std::nullopt;
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!p) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(p, static_cast<size_t>(len));
}

Result<std::string> req_text(PyObject* node, PyObject* name) {
  PyObject* v = get_field(node, name);
  if (!v) return fail(walk_error_from_python("Failed to get attribute '" + attr_name_text(name) + "': "));
  PyRef ref = PyRef::steal(v);
  if (!PyUnicode_Check(v)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(v)->tp_name);
    return fail(walk_error_from_python("Failed to extract string from '" + attr_name_text(name) + "': "));
  }
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(v, &len);
  if (!p) return fail(walk_error_from_python("Failed to extract string from '" + attr_name_text(name) + "': "));
  return std::string(p, static_cast<size_t>(len));
}

std::optional<std::string> opt_text(PyObject* node, PyObject* name) {
  PyRef v = opt_attr(node, name);
  return str_value(v.get());
}

Result<int64_t> req_int(PyObject* node, PyObject* name) {
  PyObject* v = get_field(node, name);
  if (!v) return fail(walk_error_from_python("Failed to get attribute '" + attr_name_text(name) + "': "));
  PyRef ref = PyRef::steal(v);
  long long x = PyLong_AsLongLong(v);
  if (x == -1 && PyErr_Occurred())
    return fail(walk_error_from_python("Failed to extract int from '" + attr_name_text(name) + "': "));
  return static_cast<int64_t>(x);
}

std::optional<int64_t> opt_int(PyObject* node, PyObject* name) {
  PyRef v = opt_attr(node, name);
  if (!v) return std::nullopt;
  long long x = PyLong_AsLongLong(v.get());
  if (x == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<int64_t>(x);
}

Result<std::string> repr_text(PyObject* node) {
  PyRef r = PyRef::steal(PyObject_Repr(node));
  if (!r) return fail(walk_error_from_python("Failed to get repr for expression: "));
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(r.get(), &len);
  if (!p) return fail(walk_error_from_python("Failed to extract string from repr: "));
  return std::string(p, static_cast<size_t>(len));
}

ListView::ListView(PyRef list) {
  if (list && PyList_Check(list.get())) {
    n_ = PyList_GET_SIZE(list.get());
    list_ = std::move(list);
  }
}

ListView opt_list(PyObject* node, PyObject* name) { return ListView(opt_attr(node, name)); }

std::optional<std::string> string_constant(const AstContext& cx, PyObject* node) {
  if (!node || cx.kind(node) != NodeKind::Constant) return std::nullopt;
  PyRef v = opt_attr(node, cx.n.value);
  return str_value(v.get());
}

}  // namespace norvo::atlas::parser
