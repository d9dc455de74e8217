// The Python class Atlas. The type, constructor, text forms, thread and hold
// checks live in atlas_type.cc; each method body is a free function defined by
// the facility's own bindings file (atlas_<facility>.cc), called after the
// checks with the facade and the raw arguments.
#pragma once

#include "bindings/py.h"

namespace norvo::atlas {
class Atlas;
}

namespace norvo::bindings {

inline constexpr const char* kAtlasTypeName = "norvo_native::Atlas";

struct AtlasCall {
  atlas::Atlas& atlas;
  PyObject* self;
};

// X(name, exclusive, text signature, docstring body)
#define NORVO_ATLAS_METHODS(X)                                                                                  \
  X(scan, true, "scan($self)",                                                                                  \
    "Scan the project and (re)build the index.\n\nReturns:\n    dict: Scan statistics (files_scanned, "           \
    "files_failed, artifacts_found, duration_ms, by_kind, failed_files).\n\nRaises:\n    RuntimeError: If the "    \
    "scan fails.")                                                                                              \
  X(search, true, "search($self, query, limit=None)",                                                           \
    "Search indexed artifacts by name.\n\nArgs:\n    query: Text to look for in symbol names, qualified names, "  \
    "module paths and file paths.\n    limit: Maximum number of results (default 100).\n\nReturns:\n    "          \
    "list[dict]: Matching artifacts, best matches first.")                                                      \
  X(search_by_feature, true, "search_by_feature($self, feature)",                                               \
    "Find artifacts by feature or kind.\n\nArgs:\n    feature: Feature name (or artifact kind).\n\nReturns:\n    " \
    "list[dict]: Matching artifacts ordered by file and line.")                                                 \
  X(count, false, "count($self)", "Get the number of indexed artifacts.\n\nReturns:\n    int: Artifact count.")   \
  X(health, false, "health($self)",                                                                             \
    "Get the health of the index.\n\nReturns:\n    dict: artifact_count, last_scan, db_path and status.")         \
  X(detect_patterns, false, "detect_patterns($self)",                                                           \
    "Detect architectural patterns in the codebase.\n\nAnalyzes indexed artifacts to detect common patterns "     \
    "like:\n- CRUD: Services with create/read/update/delete methods\n- Repository: Data access layer pattern\n- "  \
    "Factory: Object creation pattern\n- ServiceLayer: Business logic encapsulation\n\nReturns:\n    "            \
    "list[dict]: Detected patterns, each containing:\n        - pattern_type: Type of pattern (crud, repository, " \
    "etc.)\n        - name: Name of the class implementing the pattern\n        - file_path: File where the "     \
    "pattern is found\n        - confidence: Detection confidence (0.0-1.0)\n        - explanation: "              \
    "Human-readable explanation\n\nRaises:\n    RuntimeError: If pattern detection fails.")                        \
  X(get_patterns, false, "get_patterns($self)",                                                                 \
    "Get all detected patterns from the database.\n\nReturns patterns detected by a previous "                    \
    "`detect_patterns()` call.\n\nReturns:\n    list[dict]: Detected patterns.")                                  \
  X(analyze_function_impact, false, "analyze_function_impact($self, qualified_name)",                           \
    "Predict the impact of changing a function.\n\nArgs:\n    qualified_name: Qualified name of the "             \
    "function.\n\nReturns:\n    dict: Impact report with callers, affected files, tests and risk level.")          \
  X(analyze_file_impact, false, "analyze_file_impact($self, file_path)",                                        \
    "Predict the impact of changing a file.\n\nArgs:\n    file_path: Path of the file relative to the project "   \
    "root.\n\nReturns:\n    dict: Impact report with dependents, tests and risk level.")                           \
  X(get_dependents, false, "get_dependents($self, file_path)",                                                  \
    "Get the files that import a file, directly or transitively.\n\nArgs:\n    file_path: Path of the file.\n\n"  \
    "Returns:\n    list[str]: Dependent file paths.")                                                           \
  X(get_dependencies, false, "get_dependencies($self, file_path)",                                              \
    "Get the files a file imports, directly or transitively.\n\nArgs:\n    file_path: Path of the file.\n\n"       \
    "Returns:\n    list[str]: Dependency file paths.")                                                          \
  X(find_duplicates, false, "find_duplicates($self)",                                                           \
    "Find duplicate or similar code.\n\nDetects functions with similar signatures or naming patterns.\n\n"        \
    "Returns:\n    list[dict]: Duplicate matches, each containing:\n        - artifact_a: First artifact's "      \
    "qualified name\n        - artifact_b: Second artifact's qualified name\n        - file_a, file_b: File "     \
    "paths\n        - similarity: Similarity score (0.0-1.0)\n        - match_type: Type of match "               \
    "(similar_signature, similar_naming)\n        - suggestion: Refactoring suggestion")                          \
  X(detect_cycles, false, "detect_cycles($self)",                                                               \
    "Detect import cycles.\n\nReturns:\n    list[list[str]]: Each cycle as a list of file paths.")              \
  X(glob_python_files, false, "glob_python_files($self, pattern, limit=None)", "")                         \
  X(grep_spans, false, "grep_spans($self, query, limit=None, path_glob=None)", "")                         \
  X(read_span, false, "read_span($self, file_path, line_start, line_end, max_bytes=None)", "")            \
  X(search_spans, true, "search_spans($self, query, limit=None)", "")                                      \
  X(fastapi_scaling_policy, false, "fastapi_scaling_policy($self)", "")                                    \
  X(analyze_fastapi_scaling, true, "analyze_fastapi_scaling($self)", "")                                   \
  X(analyze_fastapi_router_topology, true, "analyze_fastapi_router_topology($self)", "")                   \
  X(fastapi_truth_capsule, true, "fastapi_truth_capsule($self, **kwargs)", "")

#define NORVO_DECLARE_ATLAS_METHOD(name, excl, sig, doc) \
  PyObject* atlas_##name(AtlasCall& call, PyObject* args, PyObject* kwargs);
NORVO_ATLAS_METHODS(NORVO_DECLARE_ATLAS_METHOD)
#undef NORVO_DECLARE_ATLAS_METHOD

// Creates the type once; borrowed reference, nullptr with an exception set.
PyTypeObject* atlas_type();

// The artifact-kind enumeration class; borrowed reference.
PyTypeObject* artifact_kind_type();

}  // namespace norvo::bindings
