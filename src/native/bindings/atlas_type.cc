// The Atlas type object: construction, text forms, project_root, and the
// method table whose entries run the thread and hold checks before the body.
#include "bindings/atlas_type.h"

#include <sys/stat.h>

#include <string>

#include "atlas/atlas.h"
#include "core/logging.h"

namespace norvo::bindings {

namespace {

struct AtlasObject {
  PyObject_HEAD
  Affinity affinity;
  std::string* project_root;  // as passed by the caller
  atlas::Atlas* atlas;
};

constexpr const char* kAtlasDoc =
    "Atlas(project_root)\n--\n\n"
    "Atlas - Python interface to the Norvo codebase indexing system.\n\n"
    "Scans Python projects, extracts symbols (functions, classes, endpoints)\n"
    "and stores them in SQLite for fast retrieval.\n\n"
    "# Example\n\n"
    "```python\n"
    "atlas = Atlas(\"/path/to/project\")\n"
    "atlas.scan()\n"
    "results = atlas.search(\"payment\")\n"
    "```\n\n"
    "An Atlas cannot be shared between Python threads, but it can be used\n"
    "from the thread that created it.";

PyObject* atlas_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_args(args, kwargs, "Atlas.__new__()", {"project_root"}, 1, argv)) return nullptr;
    auto root = arg_str(argv[0], "project_root");
    if (!root) return nullptr;
    struct stat st;
    if (::stat(root->c_str(), &st) != 0) return raise_binding(BindingError{BindingKind::ProjectNotFound, {}, *root});
    auto opened = atlas::Atlas::open(*root);
    if (!opened) return raise_atlas(opened.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<AtlasObject*>(self);
    affinity_init(o->affinity);
    o->project_root = new std::string(*root);
    o->atlas = new atlas::Atlas(std::move(*opened));
    NLOG_INFO("norvo_native", "Atlas initialized", {"project", *root});
    return self;
  });
}

void atlas_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<AtlasObject*>(self);
  if (drop_on_owner_thread(o->affinity, kAtlasTypeName)) {
    delete o->atlas;
    delete o->project_root;
  }
  // Off the owner thread the native state is leaked on purpose.
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* atlas_repr(PyObject* self) {
  auto* o = reinterpret_cast<AtlasObject*>(self);
  return to_py("Atlas(project_root='" + *o->project_root + "')");
}

PyObject* atlas_get_project_root(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* o = reinterpret_cast<AtlasObject*>(self);
    if (!check_thread(o->affinity, kAtlasTypeName)) return nullptr;
    return to_py(*o->project_root);
  });
}

template <PyObject* (*Body)(AtlasCall&, PyObject*, PyObject*), bool Exclusive>
PyObject* trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto* o = reinterpret_cast<AtlasObject*>(self);
    if (!check_thread(o->affinity, kAtlasTypeName)) return nullptr;
    Hold hold(o->affinity, Exclusive ? Hold::Exclusive : Hold::Shared);
    if (!hold.ok()) return nullptr;
    AtlasCall call{*o->atlas, self};
    return Body(call, args, kwargs);
  });
}

#define NORVO_METHOD_ENTRY(name, excl, sig, doc)                                                         \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<&atlas_##name, excl>)), \
   METH_VARARGS | METH_KEYWORDS, sig "\n--\n\n" doc},
PyMethodDef kMethods[] = {NORVO_ATLAS_METHODS(NORVO_METHOD_ENTRY){nullptr, nullptr, 0, nullptr}};
#undef NORVO_METHOD_ENTRY

PyGetSetDef kGetSet[] = {
    {"project_root", atlas_get_project_root, nullptr,
     "Get the project root path.\n\nReturns:\n    str: Absolute path to the project root.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(atlas_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(atlas_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(atlas_repr)},
    {Py_tp_str, reinterpret_cast<void*>(atlas_repr)},
    {Py_tp_doc, const_cast<char*>(kAtlasDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"norvo_native.Atlas", sizeof(AtlasObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

PyObject* not_built(const char* name) {
  PyErr_Format(PyExc_NotImplementedError, "Atlas.%s() is not available in this build", name);
  return nullptr;
}

}  // namespace

// Placeholders until a facility provides the method; a strong definition in
// another file replaces each one at link time.
#define NORVO_WEAK_METHOD(name, excl, sig, doc)                                                    \
  __attribute__((weak)) PyObject* atlas_##name(AtlasCall&, PyObject*, PyObject*) { return not_built(#name); }
NORVO_ATLAS_METHODS(NORVO_WEAK_METHOD)
#undef NORVO_WEAK_METHOD

PyTypeObject* atlas_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&kSpec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* artifact_kind_type() {
  static PyObject* type = nullptr;
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "Artifact kind enumeration exposed to Python.\n\nRepresents the classification of a code artifact.")},
      {0, nullptr}};
  // No tp_new: the kinds are plain str class attributes; instances are not made.
  static PyType_Spec spec = {"norvo_native.ArtifactKind", sizeof(PyObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  Ref t = Ref::steal(PyType_FromSpec(&spec));
  if (!t) return nullptr;
  static const std::pair<const char*, const char*> kinds[] = {
      {"FUNCTION", "function"}, {"ASYNC_FUNCTION", "async_function"}, {"CLASS", "class"},
      {"METHOD", "method"},     {"ENDPOINT", "endpoint"},             {"CONTRACT", "contract"},
      {"MODEL", "model"},       {"CONSTANT", "constant"}};
  for (const auto& [attr, text] : kinds) {
    Ref value = Ref::steal(PyUnicode_FromString(text));
    if (!value || PyObject_SetAttrString(t.get(), attr, value.get()) != 0) return nullptr;
  }
  // Frozen once filled, so no caller can rebind a kind for the whole process.
  reinterpret_cast<PyTypeObject*>(t.get())->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(t.get()));
  type = t.release();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace norvo::bindings
