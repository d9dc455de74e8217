// The edge rows of the index: one row of `imports` and one row of `calls`, and
// the stored texts of their type columns. The parser produces them, the
// repository stores and reads them back, the analyses walk them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvo::atlas {

enum class ImportType : uint8_t { Module, From, Wildcard, Relative };

// The six stored call types in their fixed order; the scan writes only Direct,
// Async and Method. None is what an unrecognised stored text reads back as.
enum class CallType : uint8_t { Direct, Async, Callback, Method, Super, Static, None };

// "module", "from", "wildcard", "relative".
std::string_view import_type_text(ImportType t);
// "from" -> From, "wildcard" or "star" -> Wildcard, "relative" -> Relative,
// anything else (including "module") -> Module.
ImportType import_type_from_text(std::string_view text);

// "direct", "async", "callback", "method", "super", "static"; None is "none".
std::string_view call_type_text(CallType t);
// The six stored texts; anything else -> None.
CallType call_type_from_text(std::string_view text);

// One row of `imports`; the key is (source_file, target_file, import_name,
// line_number).
struct ImportEdge {
  std::string source_file;
  std::string target_file;
  std::string import_name;
  ImportType import_type = ImportType::Module;
  int64_t line_number = 0;
  std::optional<std::string> alias;
  bool is_wildcard = false;

  bool operator==(const ImportEdge&) const = default;
};

// One row of `calls`; unique on (caller, callee, line_number).
struct CallEdge {
  std::string caller_qualified_name;
  std::string callee_qualified_name;
  std::string caller_file;
  int64_t line_number = 0;
  CallType call_type = CallType::Direct;

  bool operator==(const CallEdge&) const = default;
};

}  // namespace norvo::atlas
