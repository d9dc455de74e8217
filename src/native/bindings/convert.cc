// Artifact records as Python dicts, built directly so the key order is the
// insertion order callers rely on.
#include "bindings/convert.h"

namespace norvo::bindings {

PyObject* artifact_to_py(const atlas::Artifact& a) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  PyObject* o = d.get();
  bool ok = dict_set(o, "symbol_name", to_py(a.symbol_name)) &&
            dict_set(o, "qualified_name", to_py(a.qualified_name)) &&
            dict_set(o, "kind", to_py(atlas::kind_text(a.kind))) && dict_set(o, "file_path", to_py(a.file_path)) &&
            dict_set(o, "module_path", to_py(a.module_path)) && dict_set(o, "line_start", to_py_uint(a.line_start)) &&
            dict_set(o, "line_end", to_py_uint(a.line_end)) && dict_set(o, "signature", to_py(a.signature)) &&
            dict_set(o, "docstring", to_py(a.docstring)) && dict_set(o, "feature", to_py(a.feature)) &&
            dict_set(o, "hash", to_py(a.hash)) && dict_set(o, "http_method", to_py(a.http_method)) &&
            dict_set(o, "route_path", to_py(a.route_path)) && dict_set(o, "router_prefix", to_py(a.router_prefix)) &&
            dict_set(o, "direct_dependencies", to_py_list(a.direct_dependencies)) &&
            dict_set(o, "dependency_chain", to_py_list(a.dependency_chain)) &&
            dict_set(o, "security_dependencies", to_py_list(a.security_dependencies)) &&
            dict_set(o, "tags", to_py_list(a.tags));
  return ok ? d.release() : nullptr;
}

PyObject* artifacts_to_py(const std::vector<atlas::Artifact>& artifacts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(artifacts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < artifacts.size(); ++i) {
    PyObject* item = artifact_to_py(artifacts[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace norvo::bindings
