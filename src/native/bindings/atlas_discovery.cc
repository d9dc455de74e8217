// Atlas.glob_python_files: the project's Python files matching a glob, under
// the ignore rules and the security policy.
#include "atlas/atlas.h"
#include "atlas/scanner/candidates.h"
#include "bindings/atlas_type.h"

namespace norvo::bindings {

PyObject* atlas_glob_python_files(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  if (!bind_args(args, kwargs, "Atlas.glob_python_files()", {"pattern", "limit"}, 1, argv)) return nullptr;
  auto pattern = arg_str(argv[0], "pattern");
  if (!pattern) return nullptr;
  std::optional<uint64_t> limit;
  if (!arg_opt_u64(argv[1], "limit", limit)) return nullptr;
  auto files = atlas::scanner::glob_python_files(call.atlas.root(), call.atlas.config(), *pattern, limit);
  if (!files) return raise_atlas(files.error());
  return to_py_list(*files);
}

}  // namespace norvo::bindings
