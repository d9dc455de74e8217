// PythonAstParser: parses Python files with the host interpreter's own `ast`
// module and extracts definitions, import records and call sites.
//
// One parser serves one run (a scan, an analysis) and is used by one thread at
// a time. It takes the interpreter lock only when the calling thread does not
// hold it already, and releases every Python reference it fetched before a
// call returns, on success and on every error path. A parser must be
// destroyed while the interpreter is alive (it drops its references to the
// ast classes then); after finalisation it leaks them instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "atlas/parser/definitions.h"
#include "atlas/parser/edges.h"
#include "core/result.h"

namespace norvo::atlas::parser {

class AstContext;

struct ParseResult {
  std::string content_hash;  // SHA-256 of the file's bytes, 64 lower-case hex digits
  std::vector<Definition> definitions;
  std::vector<ImportRecord> imports;
  std::vector<CallSite> calls;
  uint64_t line_count = 0;
  bool from_cache = false;  // answered from the cache: the three lists are empty
};

class PythonAstParser {
 public:
  // Imports the host's `ast` module (taking the lock if needed). Fails with
  // ParseFailed, empty path, "Failed to import Python ast module: " + the
  // Python exception text.
  [[nodiscard]] static Result<PythonAstParser> create();

  PythonAstParser(PythonAstParser&&) noexcept;
  PythonAstParser& operator=(PythonAstParser&&) noexcept;
  ~PythonAstParser();

  // Reads `path` (UTF-8 only), hashes it, and either answers from the cache
  // (same path, same hash: empty lists, from_cache) or parses it with
  // ast.parse and walks the tree. Errors: ParseFailed for unreadable or
  // non-UTF-8 files and for fatal node reads (the latter with an empty path),
  // SyntaxError when ast.parse raised. A failed parse leaves the cache as it was.
  [[nodiscard]] Result<ParseResult> parse_file(const std::filesystem::path& path);

 private:
  struct PathHash {
    size_t operator()(const std::filesystem::path& p) const { return std::filesystem::hash_value(p); }
  };
  struct ContextDeleter {
    void operator()(AstContext* cx) const;
  };

  PythonAstParser() = default;

  std::unique_ptr<AstContext, ContextDeleter> cx_;
  // Path (compared component-wise) -> content hash of its last successful parse.
  std::unordered_map<std::filesystem::path, std::string, PathHash> cache_;
};

// Lines of a text: split at '\n'; a last line without '\n' counts, the empty
// rest after a final '\n' does not ("" -> 0, "a\n" -> 1, "a\n\nb" -> 3).
uint64_t count_lines(std::string_view text);

// The line of a syntax-error text: the digits right after the first "line "
// that is followed by a digit; 0 when there is none or the number overflows.
uint64_t syntax_error_line(std::string_view message);

// SHA-256 of `bytes` as 64 lower-case hex digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace norvo::atlas::parser
