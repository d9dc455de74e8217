// Atlas.count() and Atlas.health(): read-only summaries of the index that
// never check freshness and so never scan.
#include "atlas/atlas.h"
#include "atlas/storage/repository.h"
#include "bindings/atlas_type.h"
#include "util/text.h"

namespace norvo::bindings {

PyObject* atlas_count(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.count()")) return nullptr;
  auto n = storage::count(call.atlas.db());
  if (!n) return raise_atlas(n.error());
  return to_py_uint(*n);
}

PyObject* atlas_health(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.health()")) return nullptr;
  auto n = storage::count(call.atlas.db());
  if (!n) return raise_atlas(n.error());
  auto last = storage::last_scan(call.atlas.db());
  if (!last) return raise_atlas(last.error());

  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  PyObject* last_py = *last ? to_py_int(**last) : Py_NewRef(Py_None);
  bool ok = dict_set(d.get(), "artifact_count", to_py_uint(*n)) && dict_set(d.get(), "last_scan", last_py) &&
            dict_set(d.get(), "db_path", to_py(util::path_text(call.atlas.db_path()))) &&
            dict_set(d.get(), "status", to_py(*n > 0 ? "healthy" : "needs_scan"));
  return ok ? d.release() : nullptr;
}

}  // namespace norvo::bindings
