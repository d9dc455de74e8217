// Import statements and call sites extracted from one module, and their
// conversion into the rows of the `imports` and `calls` tables: imports are
// resolved against the scan's module map, calls are qualified with the
// caller's module path. Callee names stay as written in the source.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "atlas/edges.h"

namespace norvo::atlas::parser {

// One imported name of a plain `import`, or one whole `from ... import`.
struct ImportRecord {
  std::string module;              // dotted module; empty for "from . import x"
  std::vector<std::string> names;  // from-import names in order, without "*"
  std::optional<std::string> alias;  // plain import's `asname`; from-imports: never
  int64_t line_number = 0;         // statement lineno, 0 when unreadable
  int64_t level = 0;               // from-import level, 0 when unreadable
  bool is_relative = false;        // level read and not 0
  bool is_wildcard = false;        // some alias is "*"
};

// One call inside a function or method body.
struct CallSite {
  std::string scope;   // dotted class/function path within the file, e.g. Service.get
  std::string callee;  // dotted text of the called expression, never empty
  int64_t line_number = 0;
  bool is_await = false;      // immediate operand of an await
  bool is_attribute = false;  // the callee is an attribute access
};

// Rows are the index's own edge records (atlas/edges.h).

// Module path -> relative path, over every admitted file of a scan (parsed or
// not); a later file with the same module path replaces an earlier one.
using ModuleMap = std::unordered_map<std::string, std::string>;

ModuleMap build_module_map(const std::filesystem::path& root, std::span<const std::filesystem::path> files);

// The import rows of one file with relative path `source_file` and module
// path `module_path`, in record order (one row per name of a from-import).
std::vector<ImportEdge> import_rows(const std::vector<ImportRecord>& imports, std::string_view source_file,
                                   std::string_view module_path, const ModuleMap& module_map);

// The call rows of one file: caller = module_path + "." + scope; call type
// "async" when awaited, else "method" for attribute callees, else "direct".
std::vector<CallEdge> call_rows(const std::vector<CallSite>& calls, std::string_view caller_file,
                               std::string_view module_path);

}  // namespace norvo::atlas::parser
