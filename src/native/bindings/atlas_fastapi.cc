// The four FastAPI methods of Atlas: the scaling policy, the scaling
// analysis, the router topology and truth capsules. Each result is built as a
// key-sorted JSON tree and converted to Python objects in that order.
#include <string_view>

#include <nlohmann/json.hpp>

#include "atlas/analysis/fastapi_policy.h"
#include "atlas/analysis/fastapi_scaling.h"
#include "atlas/analysis/router_topology.h"
#include "atlas/analysis/truth_capsule.h"
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

PyObject* json_or_raise(const Result<nlohmann::json>& r) {
  if (!r) return raise_atlas(r.error());
  return json_to_py(*r);
}

// Only a real bool is a flag; 0/1 and other truthy values are refused.
bool arg_bool(PyObject* o, const char* name, bool& out) {
  if (!PyBool_Check(o)) {
    raise_arg_type_error(name, std::string("'") + Py_TYPE(o)->tp_name + "' object cannot be cast as 'bool'");
    return false;
  }
  out = o == Py_True;
  return true;
}

// Keyword arguments of fastapi_truth_capsule: None counts as absent, unknown
// keywords are ignored, every known one is type-checked.
bool capsule_request(PyObject* kwargs, atlas::analysis::CapsuleRequest& req) {
  if (!kwargs) return true;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!k) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Atlas.fastapi_truth_capsule() keywords must be strings");
      return false;
    }
    if (value == Py_None) continue;
    std::string_view name = k;
    auto text = [&](std::optional<std::string>& out) { return arg_opt_str(value, k, out); };
    auto number = [&](uint64_t& out) { return arg_u64(value, k, out); };
    bool ok = true;
    if (name == "method") ok = text(req.method);
    else if (name == "path") ok = text(req.path);
    else if (name == "operation_id") ok = text(req.operation_id);
    else if (name == "handler_qualified_name") ok = text(req.handler_qualified_name);
    else if (name == "mode") {
      auto mode = arg_str(value, k);
      ok = mode.has_value();
      if (ok) req.mode = std::move(*mode);
    } else if (name == "strict") ok = arg_bool(value, k, req.strict);
    else if (name == "max_spans") ok = number(req.max_spans);
    else if (name == "max_dependency_depth") ok = number(req.max_dependency_depth);
    else if (name == "max_call_depth") ok = number(req.max_call_depth);
    else if (name == "max_call_nodes") ok = number(req.max_call_nodes);
    else if (name == "include_snippets") ok = arg_bool(value, k, req.include_snippets);
    else if (name == "snippet_max_lines") ok = number(req.snippet_max_lines);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

PyObject* atlas_fastapi_scaling_policy(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.fastapi_scaling_policy()")) return nullptr;
  auto policy = atlas::analysis::load_scaling_policy(call.atlas.root());
  if (!policy) return raise_atlas(policy.error());
  return json_result([&] { return atlas::analysis::scaling_policy_json(*policy); });
}

PyObject* atlas_analyze_fastapi_scaling(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.analyze_fastapi_scaling()")) return nullptr;
  return json_or_raise(atlas::analysis::analyze_fastapi_scaling(call.atlas));
}

PyObject* atlas_analyze_fastapi_router_topology(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (!bind_no_args(args, kwargs, "Atlas.analyze_fastapi_router_topology()")) return nullptr;
  return json_or_raise(atlas::analysis::analyze_fastapi_router_topology(call.atlas));
}

PyObject* atlas_fastapi_truth_capsule(AtlasCall& call, PyObject* args, PyObject* kwargs) {
  if (args && PyTuple_GET_SIZE(args) > 0) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyErr_Format(PyExc_TypeError, "Atlas.fastapi_truth_capsule() takes 0 positional arguments but %zd %s given", n,
                 n == 1 ? "was" : "were");
    return nullptr;
  }
  atlas::analysis::CapsuleRequest req;
  if (!capsule_request(kwargs, req)) return nullptr;
  return json_or_raise(atlas::analysis::fastapi_truth_capsule(call.atlas, req));
}

}  // namespace norvo::bindings
