// The artifact record: one indexed definition (function, class, endpoint, ...)
// as stored in a row of `artifacts`, the kind vocabulary, the fields derived
// from the file path (module path, feature), the search text, the JSON list
// encoding of list columns, and the conversion of one file's parsed
// definitions into artifact records.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/parser/definitions.h"

namespace norvo::atlas {

// In their fixed order. TypeAlias is a valid stored value that no extraction
// rule produces.
enum class ArtifactKind : uint8_t { Function, AsyncFunction, Class, Method, Endpoint, Contract, Model, Constant, TypeAlias };

// The stored text: "function", "async_function", ..., "type_alias".
std::string_view kind_text(ArtifactKind kind);

// Exact parse of a stored text; "typealias" is accepted for TypeAlias too.
std::optional<ArtifactKind> parse_kind(std::string_view text);

// Tolerant read-back: an unrecognised text is Function.
ArtifactKind kind_from_text(std::string_view text);

// One row of `artifacts` without its bookkeeping columns (id, text_blob,
// created_at, updated_at). Field order is the column order.
struct Artifact {
  std::string symbol_name;
  std::string qualified_name;  // module_path + "." + symbol_name; the index key
  ArtifactKind kind = ArtifactKind::Function;
  std::string file_path;    // relative to the project root, '/' separators
  std::string module_path;  // see module_path_of
  std::optional<std::string> signature;
  std::optional<std::string> docstring;
  std::optional<std::string> feature;  // see feature_of
  std::vector<std::string> tags;
  std::optional<std::string> hash;  // never set by the scan
  std::optional<std::string> http_method;
  std::optional<std::string> route_path;
  std::optional<std::string> router_prefix;
  std::vector<std::string> direct_dependencies;
  std::vector<std::string> dependency_chain;
  std::vector<std::string> security_dependencies;
  std::vector<std::string> request_models;
  std::vector<std::string> response_models;
  std::optional<std::string> pydantic_fields_summary;
  std::optional<std::string> pydantic_validators_summary;
  uint64_t line_start = 0;
  uint64_t line_end = 0;

  bool operator==(const Artifact&) const = default;
};

// `file_path` with every trailing ".py" removed (repeatedly) and every '/'
// and '\' replaced by '.': pkg/__init__.py gives pkg.__init__.
std::string module_path_of(std::string_view file_path);

// The feature of a relative path split at '/': the segment after the first
// "features" segment that has a successor; else the second segment under a
// leading "app" or "src" unless it is lib, core, tests, utils, common or
// __pycache__; else none. Segments are taken unchanged (app/main.py -> main.py).
std::optional<std::string> feature_of(std::string_view file_path);

// The text after "http_" of the first tag that starts with "http_".
std::optional<std::string> http_method_of(const std::vector<std::string>& tags);

// The search text stored in `text_blob`: symbol_name, qualified_name, kind
// text, signature, docstring, feature, then every tag, joined by one space;
// absent parts are skipped.
std::string text_blob(const Artifact& a);

// Compact JSON array of strings, e.g. ["a","b"]; "[]" when the list is empty
// or cannot be encoded (a string that is not valid UTF-8).
std::string encode_list(const std::vector<std::string>& items);

// Inverse of encode_list. Anything that is not a JSON array of strings reads
// as an empty list: stored data is never a reason to fail.
std::vector<std::string> decode_list(std::string_view json);

// The stored kind of a definition: the first tag among http_get, http_put,
// http_post, http_delete, fastapi_route (endpoint), contract, pydantic_model
// (model) decides; otherwise the definition's own kind, with async module-level
// functions as AsyncFunction.
ArtifactKind kind_of(const parser::Definition& def);

// `file` relative to `root` when it lies below it (component-wise), else
// `file` itself; as text with invalid UTF-8 replaced by U+FFFD.
std::string relative_file_text(const std::filesystem::path& root, const std::filesystem::path& file);

// The artifact records of one parsed file, in definition order. `file` is the
// path as discovered (absolute). dependency_chain starts empty and hash absent:
// the scan fills the chain later. Logs DEBUG "Processed artifacts".
std::vector<Artifact> build_artifacts(const std::filesystem::path& root, const std::filesystem::path& file,
                                      const std::vector<parser::Definition>& definitions);

}  // namespace norvo::atlas
