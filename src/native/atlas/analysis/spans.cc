// grep_spans, read_span, search_spans and the buffered line reader under them.
#include "atlas/analysis/spans.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <tuple>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "atlas/analysis/impact.h"
#include "atlas/atlas.h"
#include "atlas/scanner/candidates.h"
#include "atlas/scanner/security.h"
#include "atlas/staleness.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"
#include "util/glob.h"
#include "util/text.h"

namespace norvo::atlas {

namespace fs = std::filesystem;

namespace {

constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
constexpr uint32_t kBoostDepth = 5;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}

// Validates UTF-8 fed in pieces that may split a character.
class Utf8Stream {
 public:
  void feed(std::string_view piece) {
    if (!ok_ || piece.empty()) return;
    std::string joined;
    if (!carry_.empty()) {
      joined = carry_ + std::string(piece);
      piece = joined;
    }
    size_t cut = complete_prefix(piece);
    ok_ = util::is_utf8(piece.substr(0, cut));
    carry_.assign(piece.substr(cut));
  }
  // True when everything fed so far is complete, valid UTF-8.
  bool finish() const { return ok_ && carry_.empty(); }

 private:
  // Length of `s` without a trailing, possibly incomplete multi-byte sequence.
  static size_t complete_prefix(std::string_view s) {
    size_t n = s.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
      auto b = static_cast<unsigned char>(s[n - back]);
      if ((b & 0xC0) == 0x80) continue;  // continuation byte: look further back
      if (b < 0xC0) return n;            // ASCII ends a character
      size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      return back < need ? n - back : n;
    }
    return n;
  }
  std::string carry_;
  bool ok_ = true;
};

// Reads a file line by line through a fixed 8192-byte buffer.
class LineReader {
 public:
  enum class Next { Line, End, Bad };

  // Io with the system's text when the file cannot be opened.
  static Result<LineReader> open(const fs::path& path) {
    // The system would stop reading the name at a NUL, opening another file
    // than the one the security policy judged.
    if (path.native().find('\0') != std::string::npos) {
      return fail(AtlasError::io("file name contained an unexpected NUL byte"));
    }
    // Non-blocking so that a FIFO in the tree cannot hang the call; it has no
    // effect on regular files.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(AtlasError::io_errno(errno));
    return LineReader(fd);
  }

  LineReader(LineReader&& o) noexcept : fd_(std::exchange(o.fd_, -1)), pos_(o.pos_), len_(o.len_), eof_(o.eof_),
                                        error_(o.error_), buf_(std::move(o.buf_)) {}
  LineReader& operator=(LineReader&&) = delete;
  ~LineReader() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Reads the next line into `line` (without its "\n", and without a "\r"
  // right before it), keeping at most `keep` bytes of it; `cut` tells whether
  // more were dropped. With `validate`, a line that is not UTF-8 gives Bad
  // with `error` set, and reading can go on with the next line. A failing
  // read gives Bad too, and so does every call after it.
  Next next(std::string& line, bool& cut, std::string& error, size_t keep = std::numeric_limits<size_t>::max(),
            bool validate = true) {
    line.clear();
    cut = false;
    if (error_ != 0) {
      error = os_error_text(error_);
      return Next::Bad;
    }
    Utf8Stream utf8;
    bool any = false, newline = false;
    while (!newline) {
      if (pos_ == len_) {
        if (eof_) break;
        ssize_t n = ::read(fd_, buf_->data(), buf_->size());
        if (n < 0) {
          if (errno == EINTR) continue;
          error_ = errno;
          error = os_error_text(error_);
          return Next::Bad;
        }
        if (n == 0) {
          eof_ = true;
          break;
        }
        pos_ = 0;
        len_ = static_cast<size_t>(n);
      }
      const char* start = buf_->data() + pos_;
      const void* nl = std::memchr(start, '\n', len_ - pos_);
      size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) : len_ - pos_;
      std::string_view piece(start, take);
      if (validate) utf8.feed(piece);
      size_t room = keep - std::min(keep, line.size());
      if (piece.size() > room) cut = true;
      line.append(piece.substr(0, std::min(room, piece.size())));
      pos_ += take;
      any = true;
      if (nl) {
        ++pos_;
        newline = true;
      }
    }
    if (!any) return Next::End;
    if (newline && !cut && !line.empty() && line.back() == '\r') line.pop_back();
    if (validate && !utf8.finish()) {
      error = kInvalidUtf8;
      return Next::Bad;
    }
    return Next::Line;
  }

  // True once a read has failed; every later line fails the same way.
  bool broken() const { return error_ != 0; }

 private:
  explicit LineReader(int fd) : fd_(fd), buf_(std::make_unique<std::array<char, kReadBufferSize>>()) {}
  int fd_ = -1;
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
  int error_ = 0;
  std::unique_ptr<std::array<char, kReadBufferSize>> buf_;
};

AtlasError read_line_failed(const std::string& path, uint64_t line, const std::string& error) {
  return AtlasError::parse_failed(path, fmt::format("Failed to read line {}: {}", line, error));
}

AtlasError denied(const std::string& path) {
  return AtlasError::unavailable(fmt::format("Access to '{}' is denied by security configuration", path), false);
}

bool below(const fs::path& root, const fs::path& p) {
  auto r = p.begin();
  for (auto it = root.begin(); it != root.end(); ++it, ++r) {
    if (it->empty()) continue;  // a trailing separator of the root
    if (r == p.end() || *r != *it) return false;
  }
  return true;
}

// Whether `joined` names something inside the project: lexically (so ".."
// cannot climb out), or once symbolic links are resolved (so an absolute
// path through a link to the root is still inside).
bool inside_project(const fs::path& root, const fs::path& joined) {
  if (below(root, joined.lexically_normal())) return true;
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(joined, ec);
  return !ec && below(root, resolved);
}

log::Raw opt_u64_field(std::optional<uint64_t> v) { return {v ? fmt::format("Some({})", *v) : "None"}; }

template <class T>
Result<T> logged(Result<T> r) {
  if (!r) NLOG_ERROR("norvo_atlas", "", {"error", r.error().to_string()});
  return r;
}

// ---- grep ------------------------------------------------------------------------

Result<std::vector<Span>> grep_files(const Atlas& atlas, std::string_view query, uint64_t limit,
                                     std::optional<std::string_view> path_glob) {
  std::vector<Span> out;
  if (util::trim(query).empty() || limit == 0) return out;
  std::optional<util::Glob> glob;
  if (path_glob) {
    auto g = util::Glob::compile(*path_glob);
    if (!g) {
      return fail(AtlasError::walk_failed(
          util::path_text(atlas.root()),
          fmt::format("Invalid glob pattern '{}': {}", *path_glob, g.error().to_string())));
    }
    glob = std::move(*g);
  }
  auto files = NORVO_TRY(scanner::candidate_files(atlas.root(), atlas.config()));
  std::string line, error;
  bool cut = false;
  for (const auto& f : files) {
    if (glob && !glob->matches(f.relative)) continue;
    auto reader = NORVO_TRY(LineReader::open(f.absolute));
    for (uint64_t n = 1;; ++n) {
      auto next = reader.next(line, cut, error);
      if (next == LineReader::Next::End) break;
      if (next == LineReader::Next::Bad) return fail(read_line_failed(util::path_text(f.absolute), n, error));
      if (line.find(query) == std::string::npos) continue;
      out.push_back({f.relative, n, n, std::nullopt, std::nullopt, 0.0f, Evidence::Grep});
      if (out.size() >= limit) return out;
    }
  }
  return out;
}

// ---- read ------------------------------------------------------------------------

Result<std::string> read_lines(const Atlas& atlas, std::string_view file_path, uint64_t line_start,
                               uint64_t line_end, uint64_t max_bytes) {
  fs::path joined = atlas.root() / fs::path(file_path);
  std::string shown = util::path_text(joined);
  if (line_start == 0 || line_start > line_end) {
    return fail(AtlasError::parse_failed(shown, fmt::format("Invalid span range: {}-{}", line_start, line_end)));
  }
  if (!inside_project(atlas.root(), joined) ||
      !scanner::is_path_allowed(atlas.root(), atlas.config().security, joined)) {
    return fail(denied(shown));
  }
  auto reader = NORVO_TRY(LineReader::open(joined));

  std::string out, line, error;
  bool cut = false;
  for (uint64_t n = 1; n <= line_end; ++n) {
    if (n < line_start) {
      // Lines before the range are passed over unread; their errors do not
      // count. A failed read fails every later line alike, so go straight to
      // the first line of the range.
      if (reader.broken()) n = line_start;
      else if (reader.next(line, cut, error, 0, false) == LineReader::Next::End) break;
      else continue;
    }
    // A line longer than what the budget has left cannot be taken (its "\n"
    // needs a byte too, its "\r" is dropped), so no more than that is kept.
    uint64_t left = max_bytes - out.size();
    auto keep = static_cast<size_t>(std::min<uint64_t>(left, SIZE_MAX));
    auto next = reader.next(line, cut, error, keep);
    if (next == LineReader::Next::End) break;
    if (next == LineReader::Next::Bad) return fail(read_line_failed(shown, n, error));
    if (cut || line.size() + 1 > left) break;  // never a partial line
    out += line;
    out += '\n';
  }
  if (out.empty()) {
    return fail(AtlasError::parse_failed(
        shown,
        fmt::format("Requested span {}-{} produced no content (file may be shorter)", line_start, line_end)));
  }
  return out;
}

// ---- search ----------------------------------------------------------------------

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

// The points of one index candidate against the lower-cased query `ql`.
float candidate_points(const Artifact& a, const std::string& ql, const CallGraph* calls) {
  float x = 0.0f;
  std::string name = util::lower_full(a.symbol_name);
  if (name == ql) x += 3.0f;
  else if (contains(name, ql)) x += 1.5f;
  std::string qualified = util::lower_full(a.qualified_name);
  if (qualified == ql) x += 2.0f;
  else if (contains(qualified, ql)) x += 1.0f;
  if (contains(util::lower_full(a.module_path), ql)) x += 0.75f;
  if (contains(util::lower_full(a.file_path), ql)) x += 0.5f;
  if (a.feature && contains(util::lower_full(*a.feature), ql)) x += 0.75f;
  if (a.route_path && contains(util::lower_full(*a.route_path), ql)) x += 1.5f;
  if (a.http_method && contains(util::lower_full(*a.http_method), ql)) x += 0.5f;
  for (const auto& tag : a.tags) {
    if (contains(util::lower_full(tag), ql)) x += 0.25f;
  }
  switch (a.kind) {
    case ArtifactKind::Endpoint: x += 0.5f; break;
    case ArtifactKind::Contract: x += 0.3f; break;
    case ArtifactKind::Model: x += 0.2f; break;
    default: break;
  }
  bool callable = a.kind == ArtifactKind::Function || a.kind == ArtifactKind::AsyncFunction ||
                  a.kind == ArtifactKind::Method || a.kind == ArtifactKind::Endpoint;
  if (calls && callable) {
    // Only up to 20 transitive callers count, so the walk stops there.
    size_t d = std::min<size_t>(calls->direct_caller_count(a.qualified_name), 10);
    size_t t = calls->transitive_caller_count(a.qualified_name, kBoostDepth, 20);
    x += static_cast<float>(d) * 0.1f + static_cast<float>(t) * 0.05f;
  }
  return x;
}

Result<std::vector<Span>> rank_spans(Atlas& atlas, std::string_view query, uint64_t limit) {
  std::string_view trimmed = util::trim(query);
  if (trimmed.empty() || limit == 0) return std::vector<Span>{};
  NORVO_TRY(ensure_indexed(atlas));
  const std::string ql = util::lower_full(query);

  auto candidates = NORVO_TRY(storage::search(atlas.db(), query, saturating_mul(limit, 4)));
  std::optional<CallGraph> calls;
  if (is_symbol_like(trimmed) && !candidates.empty()) calls = NORVO_TRY(CallGraph::load(atlas.db()));

  // Entries keep their first-seen order, so equal scores stay in that order.
  std::vector<Span> entries;
  std::map<std::tuple<std::string, uint64_t, uint64_t>, size_t> index;
  auto entry = [&](const std::string& file, uint64_t start, uint64_t end, std::optional<std::string> kind,
                   Evidence evidence) -> Span& {
    auto [it, fresh] = index.try_emplace({file, start, end}, entries.size());
    if (fresh) entries.push_back({file, start, end, std::move(kind), std::nullopt, 0.0f, evidence});
    return entries[it->second];
  };

  scanner::SecurityPolicy policy(atlas.root(), atlas.config().security);
  for (size_t rank = 0; rank < candidates.size(); ++rank) {
    const Artifact& a = candidates[rank];
    if (!policy.is_path_allowed(atlas.root() / a.file_path)) continue;
    float x = candidate_points(a, ql, calls ? &*calls : nullptr);
    Span& e = entry(a.file_path, a.line_start, a.line_end, std::string(kind_text(a.kind)), Evidence::Artifact);
    e.score += x + 1.0f / (1.0f + static_cast<float>(rank));
  }

  auto hits = NORVO_TRY(grep_spans(atlas, query, saturating_mul(limit, 8), std::nullopt));
  for (size_t i = 0; i < hits.size(); ++i) {
    const Span& h = hits[i];
    float p = 0.5f / (static_cast<float>(i) + 2.0f);
    if (contains(util::lower_full(h.file_path), ql)) p += 0.25f;
    entry(h.file_path, h.line_start, h.line_end, std::nullopt, Evidence::Grep).score += p;
  }

  std::stable_sort(entries.begin(), entries.end(), [](const Span& a, const Span& b) { return a.score > b.score; });
  if (entries.size() > limit) entries.resize(limit);
  for (auto& e : entries) {
    uint64_t from = std::max<uint64_t>(e.line_start > 2 ? e.line_start - 2 : 0, 1);
    uint64_t to = e.line_end > std::numeric_limits<uint64_t>::max() - 2 ? std::numeric_limits<uint64_t>::max()
                                                                        : e.line_end + 2;
    e.snippet = NORVO_TRY(read_span(atlas, e.file_path, from, to, kDefaultSpanMaxBytes));
  }
  return entries;
}

}  // namespace

// ---- public entry points ---------------------------------------------------------

Result<std::vector<Span>> grep_spans(const Atlas& atlas, std::string_view query, std::optional<uint64_t> limit,
                                     std::optional<std::string_view> path_glob) {
  log::Span span("grep_spans",
                 {{"path_glob", log::Raw{path_glob ? "Some(" + log::debug_quote(*path_glob) + ")" : "None"}},
                  {"query", query},
                  {"limit", opt_u64_field(limit)}});
  return logged(grep_files(atlas, query, limit.value_or(kDefaultSpanLimit), path_glob));
}

Result<std::string> read_span(const Atlas& atlas, std::string_view file_path, uint64_t line_start, uint64_t line_end,
                              std::optional<uint64_t> max_bytes) {
  log::Span span("read_span", {{"line_start", line_start}, {"line_end", line_end}, {"file_path", file_path}});
  return logged(read_lines(atlas, file_path, line_start, line_end, max_bytes.value_or(kDefaultSpanMaxBytes)));
}

Result<std::vector<Span>> search_spans(Atlas& atlas, std::string_view query, std::optional<uint64_t> limit) {
  log::Span span("search_spans", {{"query", query}, {"limit", opt_u64_field(limit)}});
  return logged(rank_spans(atlas, query, limit.value_or(kDefaultSpanLimit)));
}

bool is_symbol_like(std::string_view q) {
  if (q.find('/') != std::string_view::npos || q.find(' ') != std::string_view::npos) return false;
  if (q.find_first_of("()_.") != std::string_view::npos) return true;
  return q.size() <= 40 && std::all_of(q.begin(), q.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         });
}


nlohmann::json span_json(const Span& s) {
  nlohmann::json j = nlohmann::json::object();
  j["evidence_type"] = s.evidence == Evidence::Artifact ? "artifact" : "grep";
  j["file_path"] = s.file_path;
  j["kind"] = s.kind ? nlohmann::json(*s.kind) : nlohmann::json(nullptr);
  j["line_end"] = s.line_end;
  j["line_start"] = s.line_start;
  j["score"] = std::isfinite(s.score) ? nlohmann::json(static_cast<double>(s.score)) : nlohmann::json(nullptr);
  j["snippet"] = s.snippet ? nlohmann::json(*s.snippet) : nlohmann::json(nullptr);
  return j;
}

nlohmann::json spans_json(const std::vector<Span>& spans) {
  nlohmann::json j = nlohmann::json::array();
  for (const auto& s : spans) j.push_back(span_json(s));
  return j;
}

}  // namespace norvo::atlas
