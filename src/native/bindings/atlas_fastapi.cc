// The four FastAPI methods of Atlas: the scaling policy, the scaling
// analysis, the router topology and truth capsules. Each result is built as a
// key-sorted JSON tree and converted to Python objects in that order.
#include <nlohmann/json.hpp>

#include "atlas/analysis/fastapi_policy.h"
#include "atlas/atlas.h"
#include "bindings/atlas_type.h"

namespace norvo::bindings {

namespace {

// Builds the JSON tree and converts it; a failing tree becomes the
// serialization error of the boundary.
template <class Build>
PyObject* json_result(Build&& build) {
  nlohmann::json tree;
  try {
    tree = build();
  } catch (const nlohmann::json::exception& e) {
    return raise_runtime(std::string("JSON serialization error: ") + e.what());
  }
  return json_to_py(tree);
}

}  // namespace

PyObject* atlas_fastapi_scaling_policy(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.fastapi_scaling_policy()")) return nullptr;
  auto policy = atlas::analysis::load_scaling_policy(call.atlas.root());
  if (!policy) return raise_atlas(policy.error());
  return json_result([&] { return atlas::analysis::scaling_policy_json(*policy); });
}

}  // namespace norvo::bindings
