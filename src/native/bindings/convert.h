// Conversions of index records into the plain Python objects the Atlas
// methods return. Each returns a new reference, or nullptr with an exception set.
#pragma once

#include <vector>

#include "atlas/artifact.h"
#include "bindings/py.h"

namespace norvo::bindings {

// The artifact dict, keys in this order: symbol_name, qualified_name, kind,
// file_path, module_path, line_start, line_end, signature, docstring, feature,
// hash, http_method, route_path, router_prefix, direct_dependencies,
// dependency_chain, security_dependencies, tags. Request/response models, the
// pydantic summaries and the search text are not part of it.
PyObject* artifact_to_py(const atlas::Artifact& a);

// A list of artifact dicts, in order.
PyObject* artifacts_to_py(const std::vector<atlas::Artifact>& artifacts);

}  // namespace norvo::bindings
