// Span tools: bounded, policy-filtered access to the project's Python sources.
// grep_spans finds lines holding a text, read_span returns a range of lines
// under a byte budget, search_spans ranks index hits and grep hits together
// and attaches a snippet to each. (glob_python_files lives with discovery.)
//
// Files are read line by line through an 8192-byte buffer; a line ends at
// "\n", and a "\r" right before it is dropped. A line that is not valid UTF-8
// is a read error. Every failure ends the call: no partial result is ever
// returned. Each entry point runs in its own log span and logs its failure
// once at ERROR.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/result.h"

namespace norvo::atlas {

class Atlas;

inline constexpr size_t kReadBufferSize = 8192;
inline constexpr uint64_t kDefaultSpanLimit = 10;
inline constexpr uint64_t kDefaultSpanMaxBytes = 8192;

enum class Evidence : uint8_t { Grep, Artifact };

// A located piece of source. Index hits carry the artifact's kind text; grep
// hits none. `snippet` is set by search_spans only; `score` is 0 for grep.
struct Span {
  std::string file_path;  // relative to the project root, "/"-separated
  uint64_t line_start = 0;
  uint64_t line_end = 0;
  std::optional<std::string> kind;
  std::optional<std::string> snippet;
  float score = 0.0f;
  Evidence evidence = Evidence::Grep;
};

// Lines of the candidate files (discovery minus refused files, walk order)
// containing `query` byte-wise, at most `limit` (None: 10) of them, optionally
// only in files whose relative path matches `path_glob`. A blank query or a
// limit of 0 gives nothing. Errors: WalkFailed (bad glob, discovery), Io
// (open), ParseFailed "Failed to read line {}: {}" (absolute path).
Result<std::vector<Span>> grep_spans(const Atlas& atlas, std::string_view query, std::optional<uint64_t> limit,
                                     std::optional<std::string_view> path_glob);

// Lines `line_start`..=`line_end` of `file_path` (relative to the root, or
// absolute), each followed by "\n", stopping before the first line that would
// take the text over `max_bytes` (None: 8192). Errors, each naming the joined
// path: ParseFailed for a bad range, an unreadable line in range, or no
// content; AtlasUnavailable (not recoverable) for a path outside the project
// or refused by the security policy; Io when the file cannot be opened.
Result<std::string> read_span(const Atlas& atlas, std::string_view file_path, uint64_t line_start, uint64_t line_end,
                              std::optional<uint64_t> max_bytes);

// Ranked search: up to 4 x `limit` index candidates scored on how the
// lower-cased query meets their names, paths, feature, route, method, tags
// and kind (plus a boost from their callers for symbol-like queries), merged
// with up to 8 x `limit` grep hits by (file, line range), best first (stable),
// at most `limit` (None: 10), each with a snippet of two lines of context on
// either side. Checks freshness first, which may scan.
Result<std::vector<Span>> search_spans(Atlas& atlas, std::string_view query, std::optional<uint64_t> limit);

// A trimmed query is symbol-like when it has no "/" and no space, and either
// holds one of "(", ")", "_", "." or is at most 40 ASCII letters and digits.
bool is_symbol_like(std::string_view trimmed_query);

// Full Unicode lower case (U+0130 becomes "i" + U+0307); invalid UTF-8 bytes
// are copied through.
std::string lower_full(std::string_view text);

// {"evidence_type", "file_path", "kind", "line_end", "line_start", "score",
// "snippet"}; the score widened to double, or null when not finite.
nlohmann::json span_json(const Span& span);
nlohmann::json spans_json(const std::vector<Span>& spans);

}  // namespace norvo::atlas
