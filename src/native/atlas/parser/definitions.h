// Definitions extracted from one Python module: module-level constants,
// classes (also nested in classes), functions and methods, with signature,
// docstring, decorator tags and the FastAPI/pydantic metadata slots; plus the
// rules that turn a definition into artifact fields (kind, module path,
// qualified name, http method).
//
// Extraction is shallow: module-level statements and, recursively, class
// bodies. Function bodies, if/try/with/loop blocks and annotated assignments
// are never searched for definitions.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/parser/fastapi.h"

namespace norvo::atlas::parser {

enum class DefinitionKind : uint8_t { Function, Class, Method, Constant };

// Lower-case name of a kind: "function", "class", "method", "constant".
std::string_view definition_kind_text(DefinitionKind kind);

struct Definition {
  std::string name;
  DefinitionKind kind = DefinitionKind::Function;
  int64_t line_start = 0;  // the node's lineno (1-based)
  int64_t line_end = 0;    // end_lineno, or line_start when unreadable; constants: line_start
  bool is_async = false;   // functions and methods: an AsyncFunctionDef
  bool has_yield = false;  // functions and methods: the body yields (shallow rule)
  std::optional<std::string> signature;  // functions and methods: "name(a, b)"
  std::optional<std::string> docstring;  // trimmed; empty when all blank
  std::vector<std::string> tags;         // decorator tags, then "pydantic_model"
  std::vector<std::string> bases;        // classes: base names (last name of attributes)
  std::optional<uint64_t> field_count;      // classes: AnnAssign statements in the body
  std::optional<uint64_t> validator_count;  // classes: methods with a validator decorator

  // FastAPI and pydantic metadata (fastapi.h).
  std::vector<FastapiRole> fastapi_roles;
  std::vector<ParamInfo> params;
  std::optional<std::string> route_path;  // last decorator call whose first argument is a string
  std::optional<std::string> router_prefix;
  std::vector<std::string> request_models;
  std::vector<std::string> response_models;
  std::optional<std::string> pydantic_fields_summary;
  std::optional<std::string> pydantic_validators_summary;
};

// ---- turning a definition into artifact fields ------------------------------

// The stored artifact kind text: the first tag among "http_get", "http_put",
// "http_post", "http_delete", "fastapi_route" gives "endpoint", "contract"
// gives "contract", "pydantic_model" gives "model"; otherwise by definition
// kind: "constant", "method", "class", "async_function" or "function".
std::string_view artifact_kind_text(const Definition& def);

// The text after "http_" of the first tag starting with "http_".
std::optional<std::string> http_method(const std::vector<std::string>& tags);

// A file's path relative to the project root (component-wise prefix removal;
// the path itself when it is not below the root), as text with invalid UTF-8
// replaced by U+FFFD.
std::string relative_path_text(const std::filesystem::path& root, const std::filesystem::path& file);

// Module path of a relative path: every trailing ".py" removed (repeatedly),
// then every '/' and '\' replaced by '.'; pkg/__init__.py gives pkg.__init__.
std::string module_path_of(std::string_view relative_path);

// module_path + "." + name. The class of a method is not part of it.
std::string qualified_name(std::string_view module_path, std::string_view name);

}  // namespace norvo::atlas::parser
