// Navigation methods of Atlas: the span tools (grep_spans, read_span,
// search_spans), the import graph (get_dependents, get_dependencies,
// detect_cycles) and impact analysis (analyze_function_impact,
// analyze_file_impact). Spans go through a key-sorted JSON tree; the impact
// dicts are built directly with their documented key order.
#include <nlohmann/json.hpp>

#include "atlas/analysis/impact.h"
#include "atlas/analysis/import_graph.h"
#include "atlas/analysis/spans.h"
#include "atlas/atlas.h"
#include "bindings/atlas_type.h"

namespace norvo::bindings {

namespace {

// The spans as JSON, then as Python objects. A tree that cannot be written as
// JSON (text that is not UTF-8) is the boundary's serialization error.
PyObject* spans_to_py(const std::vector<atlas::Span>& spans) {
  nlohmann::json tree;
  try {
    tree = atlas::spans_json(spans);
    (void)tree.dump();
  } catch (const nlohmann::json::exception& e) {
    return raise_runtime(std::string("JSON serialization error: ") + e.what());
  }
  return json_to_py(tree);
}

PyObject* item_to_py(const atlas::AffectedItem& item, bool with_line) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = dict_set(d.get(), "qualified_name", to_py(item.qualified_name)) &&
            dict_set(d.get(), "file_path", to_py(item.file_path)) &&
            dict_set(d.get(), "impact_type", to_py(atlas::impact_type_text(item.impact_type))) &&
            dict_set(d.get(), "distance", to_py_uint(item.distance));
  if (ok && with_line) {
    ok = dict_set(d.get(), "line_number", item.line_number ? to_py_uint(*item.line_number) : Py_NewRef(Py_None));
  }
  return ok ? d.release() : nullptr;
}

PyObject* items_to_py(const std::vector<atlas::AffectedItem>& items, bool with_line) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = item_to_py(items[i], with_line);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* function_report_to_py(const atlas::ImpactReport& r) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = dict_set(d.get(), "target", to_py(r.target)) &&
            dict_set(d.get(), "risk_level", to_py(atlas::risk_level_text(r.risk_level))) &&
            dict_set(d.get(), "direct_callers", to_py_uint(r.direct_callers)) &&
            dict_set(d.get(), "transitive_callers", to_py_uint(r.transitive_callers)) &&
            dict_set(d.get(), "test_files", to_py_uint(r.test_files)) &&
            dict_set(d.get(), "api_endpoints", to_py_uint(r.api_endpoints)) &&
            dict_set(d.get(), "summary", to_py(r.summary)) &&
            dict_set(d.get(), "affected_items", items_to_py(r.affected_items, true));
  return ok ? d.release() : nullptr;
}

PyObject* file_report_to_py(const atlas::ImpactReport& r) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  bool ok = dict_set(d.get(), "target", to_py(r.target)) &&
            dict_set(d.get(), "risk_level", to_py(atlas::risk_level_text(r.risk_level))) &&
            dict_set(d.get(), "direct_importers", to_py_uint(r.direct_importers)) &&
            dict_set(d.get(), "transitive_importers", to_py_uint(r.transitive_importers)) &&
            dict_set(d.get(), "test_files", to_py_uint(r.test_files)) &&
            dict_set(d.get(), "summary", to_py(r.summary)) &&
            dict_set(d.get(), "affected_items", items_to_py(r.affected_items, false));
  return ok ? d.release() : nullptr;
}

// Binds the single string argument `name` of `fullname`.
std::optional<std::string> one_str_arg(PyObject* args, PyObject* kwargs, const char* fullname, const char* name) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, fullname, {name}, 1, argv)) return std::nullopt;
  return arg_str(argv[0], name);
}

}  // namespace

// ---- span tools --------------------------------------------------------------------

PyObject* atlas_grep_spans(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!bind_args(args, kwargs, "Atlas.grep_spans()", {"query", "limit", "path_glob"}, 1, argv)) return nullptr;
  auto query = arg_str(argv[0], "query");
  if (!query) return nullptr;
  std::optional<uint64_t> limit;
  if (!arg_opt_u64(argv[1], "limit", limit)) return nullptr;
  std::optional<std::string> path_glob;
  if (!arg_opt_str(argv[2], "path_glob", path_glob)) return nullptr;
  std::optional<std::string_view> glob_view;
  if (path_glob) glob_view = *path_glob;
  auto spans = atlas::grep_spans(call.atlas, *query, limit, glob_view);
  if (!spans) return raise_atlas(spans.error());
  return spans_to_py(*spans);
}

PyObject* atlas_read_span(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[4];
  if (!bind_args(args, kwargs, "Atlas.read_span()", {"file_path", "line_start", "line_end", "max_bytes"}, 3, argv)) {
    return nullptr;
  }
  auto file_path = arg_str(argv[0], "file_path");
  if (!file_path) return nullptr;
  uint64_t line_start = 0, line_end = 0;
  if (!arg_u64(argv[1], "line_start", line_start) || !arg_u64(argv[2], "line_end", line_end)) return nullptr;
  std::optional<uint64_t> max_bytes;
  if (!arg_opt_u64(argv[3], "max_bytes", max_bytes)) return nullptr;
  auto text = atlas::read_span(call.atlas, *file_path, line_start, line_end, max_bytes);
  if (!text) return raise_atlas(text.error());
  return to_py(*text);
}

PyObject* atlas_search_spans(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  if (!bind_args(args, kwargs, "Atlas.search_spans()", {"query", "limit"}, 1, argv)) return nullptr;
  auto query = arg_str(argv[0], "query");
  if (!query) return nullptr;
  std::optional<uint64_t> limit;
  if (!arg_opt_u64(argv[1], "limit", limit)) return nullptr;
  auto spans = atlas::search_spans(call.atlas, *query, limit);
  if (!spans) return raise_atlas(spans.error());
  return spans_to_py(*spans);
}

// ---- import graph ------------------------------------------------------------------

PyObject* atlas_get_dependents(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  auto file_path = one_str_arg(args, kwargs, "Atlas.get_dependents()", "file_path");
  if (!file_path) return nullptr;
  auto files = atlas::get_dependents(call.atlas, *file_path);
  if (!files) return raise_atlas(files.error());
  return to_py_list(*files);
}

PyObject* atlas_get_dependencies(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  auto file_path = one_str_arg(args, kwargs, "Atlas.get_dependencies()", "file_path");
  if (!file_path) return nullptr;
  auto files = atlas::get_dependencies(call.atlas, *file_path);
  if (!files) return raise_atlas(files.error());
  return to_py_list(*files);
}

PyObject* atlas_detect_cycles(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.detect_cycles()")) return nullptr;
  auto cycles = atlas::detect_cycles(call.atlas);
  if (!cycles) return raise_atlas(cycles.error());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cycles->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cycles->size(); ++i) {
    PyObject* cycle = to_py_list((*cycles)[i]);
    if (!cycle) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), cycle);
  }
  return list.release();
}

// ---- impact analysis ---------------------------------------------------------------

PyObject* atlas_analyze_function_impact(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  auto name = one_str_arg(args, kwargs, "Atlas.analyze_function_impact()", "qualified_name");
  if (!name) return nullptr;
  auto report = atlas::analyze_function_impact(call.atlas, *name);
  if (!report) return raise_atlas(report.error());
  return function_report_to_py(*report);
}

PyObject* atlas_analyze_file_impact(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  auto file_path = one_str_arg(args, kwargs, "Atlas.analyze_file_impact()", "file_path");
  if (!file_path) return nullptr;
  auto report = atlas::analyze_file_impact(call.atlas, *file_path);
  if (!report) return raise_atlas(report.error());
  return file_report_to_py(*report);
}

}  // namespace norvo::bindings
