// Error values of the index side (AtlasError) and of the Python boundary
// (BindingError), their fixed text forms, and the conversion between them.
// Errors are returned, never thrown: see result.h for Result<T> and NORVO_TRY.
#pragma once

#include <cstdint>
#include <string>

namespace norvo {

enum class ErrorKind : uint8_t {
  WalkFailed,
  ParseFailed,
  SyntaxError,
  Database,
  MigrationFailed,
  FileNotFound,
  FileTooLarge,
  InvalidEncoding,
  ProjectRootNotFound,
  Io,
  AtlasUnavailable,
  IndexStale,
  SchemaIncompatible,
  AnalysisConfig,
};

// One failure of an index operation. Only the fields of `kind` are meaningful;
// paths are held as display text (invalid UTF-8 already replaced by U+FFFD).
struct AtlasError {
  ErrorKind kind = ErrorKind::Io;
  std::string path;
  std::string message;    // also the I/O error text of Io
  std::string operation;  // Database
  uint64_t line = 0;      // SyntaxError
  uint64_t size = 0, max = 0;  // FileTooLarge
  uint32_t from_version = 0, to_version = 0;  // MigrationFailed
  uint32_t found = 0, expected = 0;           // SchemaIncompatible
  bool recoverable = false;                   // AtlasUnavailable

  static AtlasError walk_failed(std::string path, std::string message);
  static AtlasError parse_failed(std::string path, std::string message);
  static AtlasError syntax_error(std::string path, uint64_t line, std::string message);
  static AtlasError database(std::string operation, std::string message);
  static AtlasError migration_failed(uint32_t from, uint32_t to, std::string message);
  static AtlasError file_not_found(std::string path);
  static AtlasError file_too_large(std::string path, uint64_t size, uint64_t max);
  static AtlasError invalid_encoding(std::string path, std::string message);
  static AtlasError project_root_not_found(std::string path);
  static AtlasError io(std::string io_error_text);
  static AtlasError io_errno(int err);  // text from errno, e.g. "... (os error 2)"
  static AtlasError unavailable(std::string message, bool recoverable);
  static AtlasError index_stale(std::string message);
  static AtlasError schema_incompatible(uint32_t found, uint32_t expected);
  static AtlasError analysis_config(std::string path, std::string message);

  // The fixed text form, e.g. "Database error in set_metadata: disk I/O error".
  std::string to_string() const;
};

enum class BindingKind : uint8_t { ProjectNotFound, Database, Parse, Io, InvalidArgument, Other };

// The boundary's coarser error; `exception_class` is decided by `kind` alone.
struct BindingError {
  BindingKind kind = BindingKind::Other;
  std::string file;     // Parse
  std::string message;  // every kind; the path for ProjectNotFound

  // Text form, e.g. "Database error: set_metadata: disk I/O error".
  std::string to_string() const;

  static BindingError from(const AtlasError& e);
};

// The operating system's text for an errno value, in the form used by every
// I/O message: "No such file or directory (os error 2)".
std::string os_error_text(int err);

}  // namespace norvo
