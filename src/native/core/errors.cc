// Text forms of the error kinds and the AtlasError -> BindingError conversion.
#include "core/errors.h"

#include <cstring>

#include <fmt/format.h>

namespace norvo {

namespace {
AtlasError make(ErrorKind k) {
  AtlasError e;
  e.kind = k;
  return e;
}
}  // namespace

AtlasError AtlasError::walk_failed(std::string path, std::string message) {
  auto e = make(ErrorKind::WalkFailed);
  e.path = std::move(path);
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::parse_failed(std::string path, std::string message) {
  auto e = make(ErrorKind::ParseFailed);
  e.path = std::move(path);
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::syntax_error(std::string path, uint64_t line, std::string message) {
  auto e = make(ErrorKind::SyntaxError);
  e.path = std::move(path);
  e.line = line;
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::database(std::string operation, std::string message) {
  auto e = make(ErrorKind::Database);
  e.operation = std::move(operation);
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::migration_failed(uint32_t from, uint32_t to, std::string message) {
  auto e = make(ErrorKind::MigrationFailed);
  e.from_version = from;
  e.to_version = to;
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::file_not_found(std::string path) {
  auto e = make(ErrorKind::FileNotFound);
  e.path = std::move(path);
  return e;
}
AtlasError AtlasError::file_too_large(std::string path, uint64_t size, uint64_t max) {
  auto e = make(ErrorKind::FileTooLarge);
  e.path = std::move(path);
  e.size = size;
  e.max = max;
  return e;
}
AtlasError AtlasError::invalid_encoding(std::string path, std::string message) {
  auto e = make(ErrorKind::InvalidEncoding);
  e.path = std::move(path);
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::project_root_not_found(std::string path) {
  auto e = make(ErrorKind::ProjectRootNotFound);
  e.path = std::move(path);
  return e;
}
AtlasError AtlasError::io(std::string io_error_text) {
  auto e = make(ErrorKind::Io);
  e.message = std::move(io_error_text);
  return e;
}
AtlasError AtlasError::io_errno(int err) { return io(os_error_text(err)); }
AtlasError AtlasError::unavailable(std::string message, bool recoverable) {
  auto e = make(ErrorKind::AtlasUnavailable);
  e.message = std::move(message);
  e.recoverable = recoverable;
  return e;
}
AtlasError AtlasError::index_stale(std::string message) {
  auto e = make(ErrorKind::IndexStale);
  e.message = std::move(message);
  return e;
}
AtlasError AtlasError::schema_incompatible(uint32_t found, uint32_t expected) {
  auto e = make(ErrorKind::SchemaIncompatible);
  e.found = found;
  e.expected = expected;
  return e;
}
AtlasError AtlasError::analysis_config(std::string path, std::string message) {
  auto e = make(ErrorKind::AnalysisConfig);
  e.path = std::move(path);
  e.message = std::move(message);
  return e;
}

std::string AtlasError::to_string() const {
  switch (kind) {
    case ErrorKind::WalkFailed: return fmt::format("Failed to walk directory '{}': {}", path, message);
    case ErrorKind::ParseFailed: return fmt::format("Failed to parse Python file '{}': {}", path, message);
    case ErrorKind::SyntaxError: return fmt::format("Syntax error in '{}' at line {}: {}", path, line, message);
    case ErrorKind::Database: return fmt::format("Database error in {}: {}", operation, message);
    case ErrorKind::MigrationFailed:
      return fmt::format("Schema migration failed from v{} to v{}: {}", from_version, to_version, message);
    case ErrorKind::FileNotFound: return fmt::format("File not found: {}", path);
    case ErrorKind::FileTooLarge:
      return fmt::format("File '{}' exceeds maximum size ({} > {} bytes)", path, size, max);
    case ErrorKind::InvalidEncoding: return fmt::format("File '{}' has invalid encoding: {}", path, message);
    case ErrorKind::ProjectRootNotFound: return fmt::format("Could not detect project root from '{}'", path);
    case ErrorKind::Io: return fmt::format("I/O error: {}", message);
    case ErrorKind::AtlasUnavailable:
      return fmt::format("Atlas unavailable: {}. The index cannot be guaranteed valid.", message);
    case ErrorKind::IndexStale: return fmt::format("Atlas index is stale: {}", message);
    case ErrorKind::SchemaIncompatible:
      return fmt::format("Schema version {} is incompatible (expected {})", found, expected);
    case ErrorKind::AnalysisConfig: return fmt::format("Analysis config error in '{}': {}", path, message);
  }
  return message;
}

std::string BindingError::to_string() const {
  switch (kind) {
    case BindingKind::ProjectNotFound: return "Project not found: " + message;
    case BindingKind::Database: return "Database error: " + message;
    case BindingKind::Parse: return fmt::format("Parse error in {}: {}", file, message);
    case BindingKind::Io: return "I/O error: " + message;
    case BindingKind::InvalidArgument: return "Invalid argument: " + message;
    case BindingKind::Other: return message;
  }
  return message;
}

BindingError BindingError::from(const AtlasError& e) {
  auto b = [](BindingKind k, std::string msg, std::string file = {}) {
    return BindingError{k, std::move(file), std::move(msg)};
  };
  switch (e.kind) {
    case ErrorKind::WalkFailed: return b(BindingKind::Io, fmt::format("Failed to walk {}: {}", e.path, e.message));
    case ErrorKind::ParseFailed: return b(BindingKind::Parse, e.message, e.path);
    case ErrorKind::SyntaxError: return b(BindingKind::Parse, fmt::format("Line {}: {}", e.line, e.message), e.path);
    case ErrorKind::Database: return b(BindingKind::Database, fmt::format("{}: {}", e.operation, e.message));
    case ErrorKind::MigrationFailed:
      return b(BindingKind::Database,
               fmt::format("Migration failed (v{} -> v{}): {}", e.from_version, e.to_version, e.message));
    case ErrorKind::FileNotFound: return b(BindingKind::ProjectNotFound, e.path);
    case ErrorKind::FileTooLarge:
      return b(BindingKind::Io, fmt::format("File {} too large ({} bytes, max {})", e.path, e.size, e.max));
    case ErrorKind::InvalidEncoding: return b(BindingKind::Parse, "Encoding error: " + e.message, e.path);
    case ErrorKind::ProjectRootNotFound: return b(BindingKind::ProjectNotFound, e.path);
    case ErrorKind::Io: return b(BindingKind::Io, e.message);
    case ErrorKind::AtlasUnavailable:
      return b(BindingKind::Database,
               fmt::format("Atlas unavailable: {} (recoverable: {})", e.message, e.recoverable ? "true" : "false"));
    case ErrorKind::IndexStale: return b(BindingKind::Database, "Index stale: " + e.message);
    case ErrorKind::SchemaIncompatible:
      return b(BindingKind::Database, fmt::format("Schema version {} incompatible (expected {})", e.found, e.expected));
    case ErrorKind::AnalysisConfig: return b(BindingKind::InvalidArgument, e.to_string());
  }
  return b(BindingKind::Other, e.to_string());
}

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant returns the text
  return fmt::format("{} (os error {})", text, err);
}

}  // namespace norvo
