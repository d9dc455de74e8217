// Atlas.scan(), Atlas.search() and Atlas.search_by_feature().
#include "atlas/atlas.h"
#include "atlas/scan.h"
#include "atlas/search.h"
#include "bindings/atlas_type.h"
#include "bindings/convert.h"
#include "core/logging.h"

namespace norvo::bindings {

namespace {

PyObject* scan_result_to_py(const atlas::ScanResult& r) {
  Ref by_kind = Ref::steal(PyDict_New());
  if (!by_kind) return nullptr;
  for (const auto& [kind, n] : r.artifacts_by_kind)
    if (!dict_set(by_kind.get(), kind.c_str(), to_py_uint(n))) return nullptr;
  Ref stats = Ref::steal(PyDict_New());
  if (!stats) return nullptr;
  bool ok = dict_set(stats.get(), "files_scanned", to_py_uint(r.files_scanned)) &&
            dict_set(stats.get(), "files_parsed", to_py_uint(r.files_parsed)) &&
            dict_set(stats.get(), "files_failed", to_py_uint(r.files_failed)) &&
            dict_set(stats.get(), "files_skipped", to_py_uint(r.files_skipped)) &&
            dict_set(stats.get(), "files_cached", to_py_uint(r.files_cached)) &&
            dict_set(stats.get(), "artifacts_found", to_py_uint(r.artifacts_found)) &&
            dict_set(stats.get(), "artifacts_by_kind", by_kind.release());
  if (!ok) return nullptr;
  Ref failed = Ref::steal(PyList_New(0));
  if (!failed) return nullptr;
  for (const auto& f : r.failed_files) {
    Ref item = Ref::steal(PyDict_New());
    if (!item || !dict_set(item.get(), "path", to_py(f.path)) || !dict_set(item.get(), "error", to_py(f.error)) ||
        PyList_Append(failed.get(), item.get()) != 0)
      return nullptr;
  }
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  ok = dict_set(d.get(), "stats", stats.release()) &&
       dict_set(d.get(), "artifacts_found", to_py_uint(r.artifacts_found)) &&
       dict_set(d.get(), "files_scanned", to_py_uint(r.files_scanned)) &&
       dict_set(d.get(), "files_parsed", to_py_uint(r.files_parsed)) &&
       dict_set(d.get(), "files_failed", to_py_uint(r.files_failed)) &&
       dict_set(d.get(), "duration_ms", to_py_uint(r.duration_ms)) &&
       dict_set(d.get(), "failed_files", failed.release());
  return ok ? d.release() : nullptr;
}

}  // namespace

PyObject* atlas_scan(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.scan()")) return nullptr;
  auto r = atlas::scan(call.atlas);
  if (!r) return raise_atlas(r.error());
  NLOG_INFO("norvo_native", "Scan complete", {"artifacts", r->artifacts_found}, {"files", r->files_scanned});
  return scan_result_to_py(*r);
}

PyObject* atlas_search(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  if (!bind_args(args, kwargs, "Atlas.search()", {"query", "limit"}, 1, argv)) return nullptr;
  auto query = arg_str(argv[0], "query");
  if (!query) return nullptr;
  std::optional<uint64_t> limit;
  if (!arg_opt_u64(argv[1], "limit", limit)) return nullptr;
  auto rows = atlas::search(call.atlas, *query, limit.value_or(atlas::kDefaultSearchLimit));
  if (!rows) return raise_atlas(rows.error());
  NLOG_DEBUG("norvo_native", "Search completed", {"query", *query}, {"results", static_cast<uint64_t>(rows->size())});
  return artifacts_to_py(*rows);
}

PyObject* atlas_search_by_feature(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_args(args, kwargs, "Atlas.search_by_feature()", {"feature"}, 1, argv)) return nullptr;
  auto feature = arg_str(argv[0], "feature");
  if (!feature) return nullptr;
  auto rows = atlas::search_by_feature(call.atlas, *feature);
  if (!rows) return raise_atlas(rows.error());
  NLOG_DEBUG("norvo_native", "Feature search completed", {"feature", *feature},
             {"results", static_cast<uint64_t>(rows->size())});
  return artifacts_to_py(*rows);
}

}  // namespace norvo::bindings
