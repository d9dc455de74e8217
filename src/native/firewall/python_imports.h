// File import analysis: a small line-based scanner for `import` and `from`
// statements, and the classification of every import of one source file.
//
// The scanner is deliberately not a Python parser: it looks at each physical
// line on its own, so it never fails and never needs the interpreter.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "firewall/validator.h"

namespace norvo::firewall {

struct ImportRecord {
  std::string module;  // "a.b" for both `import a.b` and `from a.b import c`
  uint32_t line = 0;   // 1-based physical line
};

// Every import found, line by line and, within an `import` line, in the
// order of its comma-separated parts.
std::vector<ImportRecord> scan_imports(std::string_view text);

struct Violation {
  std::string module;
  uint32_t line = 0;
  ValidationResult result;  // never Allowed
};

struct FileAnalysis {
  size_t imports_found = 0;
  std::vector<Violation> violations;
};

// Reads `file_path` (used as given: relative to the current directory),
// scans and classifies its imports, and logs "File analyzed". The error is
// the complete message: "Failed to parse file: Cannot read file: " + reason.
std::expected<FileAnalysis, std::string> analyze_file(const ImportValidator& validator, std::string_view file_path);

}  // namespace norvo::firewall
