// Atlas.detect_patterns(), Atlas.get_patterns() and Atlas.find_duplicates():
// the code-structure analyses over the stored artifacts, returned as plain
// dicts with keys in their documented order.
#include "atlas/analysis/duplicates.h"
#include "atlas/analysis/patterns.h"
#include "atlas/atlas.h"
#include "bindings/atlas_type.h"
#include "core/logging.h"

namespace norvo::bindings {

namespace {

PyObject* pattern_to_py(const atlas::DetectedPattern& p) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = dict_set(d.get(), "pattern_type", to_py(atlas::pattern_type_text(p.pattern_type))) &&
            dict_set(d.get(), "name", to_py(p.name)) && dict_set(d.get(), "file_path", to_py(p.file_path)) &&
            dict_set(d.get(), "confidence", PyFloat_FromDouble(p.confidence)) &&
            dict_set(d.get(), "artifacts", to_py_list(p.artifacts)) &&
            dict_set(d.get(), "indicators", to_py_list(p.indicators)) &&
            dict_set(d.get(), "explanation", to_py(p.explanation));
  return ok ? d.release() : nullptr;
}

PyObject* lines_to_py(const std::pair<uint64_t, uint64_t>& lines) {
  Ref start = Ref::steal(to_py_uint(lines.first));
  Ref end = Ref::steal(to_py_uint(lines.second));
  if (!start || !end) return nullptr;
  return PyTuple_Pack(2, start.get(), end.get());
}

PyObject* match_to_py(const atlas::DuplicateMatch& m) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = dict_set(d.get(), "artifact_a", to_py(m.artifact_a)) &&
            dict_set(d.get(), "artifact_b", to_py(m.artifact_b)) && dict_set(d.get(), "file_a", to_py(m.file_a)) &&
            dict_set(d.get(), "file_b", to_py(m.file_b)) && dict_set(d.get(), "lines_a", lines_to_py(m.lines_a)) &&
            dict_set(d.get(), "lines_b", lines_to_py(m.lines_b)) &&
            dict_set(d.get(), "similarity", PyFloat_FromDouble(m.similarity)) &&
            dict_set(d.get(), "match_type", to_py(atlas::match_type_text(m.match_type))) &&
            dict_set(d.get(), "suggestion", to_py(m.suggestion));
  return ok ? d.release() : nullptr;
}

template <class T, class F>
PyObject* list_to_py(const std::vector<T>& items, F convert) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* atlas_detect_patterns(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.detect_patterns()")) return nullptr;
  auto patterns = atlas::detect_patterns(call.atlas);
  if (!patterns) return raise_atlas(patterns.error());
  NLOG_INFO("norvo_native", "Pattern detection complete", {"pattern_count", static_cast<uint64_t>(patterns->size())});
  return list_to_py(*patterns, pattern_to_py);
}

PyObject* atlas_get_patterns(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.get_patterns()")) return nullptr;
  auto patterns = atlas::get_patterns(call.atlas);
  if (!patterns) return raise_atlas(patterns.error());
  return list_to_py(*patterns, pattern_to_py);
}

PyObject* atlas_find_duplicates(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.find_duplicates()")) return nullptr;
  auto matches = atlas::find_duplicates(call.atlas);
  if (!matches) return raise_atlas(matches.error());
  return list_to_py(*matches, match_to_py);
}

}  // namespace norvo::bindings
