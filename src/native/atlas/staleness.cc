// Freshness check. It reads only metadata and file times, never file contents.
#include "atlas/staleness.h"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/atlas.h"
#include "atlas/git.h"
#include "atlas/scan.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas {

namespace {

constexpr const char* kTarget = "norvo_atlas::staleness";

// The probe's own skip list; ignore files and the security policy play no part.
bool skipped_name(std::string_view name) {
  static constexpr std::array<std::string_view, 22> kNames = {
      "env",   ".git",  "venv",  ".env",   "dist",       "eggs",        ".tox",        ".nox",
      ".venv", "build", ".eggs", ".idea",  ".norvo",     ".vscode",     "virtualenv",  ".virtualenv",
      "__pycache__", ".mypy_cache", ".ruff_cache", "node_modules", ".pytest_cache", "site-packages"};
  for (auto n : kNames)
    if (name == n) return true;
  if (name.starts_with("norvo-")) return true;
  return name.ends_with(".egg-info");
}

bool has_py_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "py";
}

using Clock = std::chrono::steady_clock;

uint64_t elapsed_ms(Clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Entry {
  std::string path;
  std::string name;
  bool is_dir;  // a real directory, not a symbolic link to one
};

// Reads one directory's entries in the order the file system lists them.
std::vector<Entry> list_dir(const std::string& dir) {
  std::vector<Entry> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;  // unreadable directories are passed over
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    Entry entry{dir + "/" + std::string(n), std::string(n), false};
    if (e->d_type == DT_DIR) {
      entry.is_dir = true;
    } else if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      entry.is_dir = ::lstat(entry.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back(std::move(entry));
  }
  ::closedir(d);
  return out;
}

int64_t unix_now() {
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  return secs.count() < 0 ? 0 : secs.count();
}

// Unsigned decimal with an optional leading '+'; nullopt on anything else or overflow.
std::optional<uint64_t> parse_u64_text(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

Status rescan(Atlas& atlas) {
  NORVO_TRY(scan(atlas));
  return {};
}

}  // namespace

uint64_t probe_newest_mtime(const std::filesystem::path& root, uint64_t threshold) {
  const auto start = Clock::now();
  uint64_t files_checked = 0, newest = 0;
  std::string root_text = root.native();
  if (skipped_name(util::utf8_lossy(root.filename().native()))) {
    NLOG_DEBUG(kTarget, "mtime probe complete", {"files_checked", files_checked}, {"newest_mtime", newest},
               {"elapsed_ms", elapsed_ms(start)});
    return 0;
  }
  // Depth-first, pre-order, with an explicit stack so deep trees cannot overflow.
  struct Frame {
    std::vector<Entry> entries;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  stack.push_back({list_dir(root_text), 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.entries.size()) {
      stack.pop_back();
      continue;
    }
    Entry e = std::move(top.entries[top.next++]);
    std::string name = util::utf8_lossy(e.name);
    if (skipped_name(name)) continue;
    if (static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) >
        kProbeBudgetNs) {
      NLOG_DEBUG(kTarget, "mtime probe budget exceeded", {"files_checked", files_checked},
                 {"elapsed_ms", elapsed_ms(start)});
      break;
    }
    if (has_py_extension(name)) {
      struct stat st;
      if (::stat(e.path.c_str(), &st) == 0 && st.st_mtim.tv_sec >= 0) {
        uint64_t m = static_cast<uint64_t>(st.st_mtim.tv_sec);
        ++files_checked;
        if (m > newest) {
          newest = m;
          if (m > threshold) {
            NLOG_DEBUG(kTarget, "Found file newer than threshold, early exit", {"path", util::utf8_lossy(e.path)},
                       {"mtime", m}, {"threshold", threshold});
            return m;
          }
        }
      }
    }
    if (e.is_dir) stack.push_back({list_dir(e.path), 0});
  }
  NLOG_DEBUG(kTarget, "mtime probe complete", {"files_checked", files_checked}, {"newest_mtime", newest},
             {"elapsed_ms", elapsed_ms(start)});
  return newest;
}

Status ensure_indexed(Atlas& atlas) {
  log::Span span("ensure_indexed");
  if (!atlas.config().atlas.auto_scan_on_first_search) {
    NLOG_DEBUG("norvo_atlas", "auto_scan_on_first_search disabled, skipping staleness check");
    return {};
  }
  auto& db = atlas.db();
  uint64_t threshold = 0;
  if (auto v = storage::get_metadata(db, "last_known_latest_mtime"); v && *v) {
    threshold = parse_u64_text(**v).value_or(0);
  }
  std::optional<std::string> stored_commit;
  if (auto v = storage::get_metadata(db, "last_git_commit"); v && *v && !(*v)->empty()) stored_commit = **v;
  std::optional<int64_t> last_scan;
  if (auto v = storage::last_scan(db); v) last_scan = *v;
  uint64_t count = NORVO_TRY(storage::count(db));

  if (count == 0 && !last_scan) {
    NLOG_INFO("norvo_atlas", "Index is empty, performing initial scan (zero-config mode)");
    return rescan(atlas);
  }
  if (!last_scan) {
    NLOG_INFO("norvo_atlas", "No previous scan found, performing full scan");
    return rescan(atlas);
  }
  if (stored_commit) {
    auto current = git_commit(atlas.root());
    if (current && *current != *stored_commit) {
      NLOG_DEBUG(kTarget, "Git HEAD changed", {"stored", *stored_commit}, {"current", *current});
      NLOG_INFO("norvo_atlas", "Git HEAD changed, rescanning", {"old_head", *stored_commit}, {"new_head", *current});
      return rescan(atlas);
    }
  }
  uint64_t newest = probe_newest_mtime(atlas.root(), threshold);
  if (newest > 0 && newest > threshold) {
    NLOG_DEBUG(kTarget, "File modified since last scan", {"newest", newest}, {"last_known", threshold});
    NLOG_INFO("norvo_atlas", "File modifications detected, rescanning");
    return rescan(atlas);
  }
  int64_t age = unix_now() - *last_scan;
  if (age < 0) age = 0;
  if (age > kMaxIndexAgeSecs) {
    NLOG_DEBUG(kTarget, "Index exceeded max age", {"age_secs", age}, {"max_secs", kMaxIndexAgeSecs});
    NLOG_INFO("norvo_atlas", "Index exceeded max age, rescanning", {"age_secs", age}, {"max_secs", kMaxIndexAgeSecs});
    return rescan(atlas);
  }
  NLOG_DEBUG("norvo_atlas", "Index is fresh, no scan needed");
  return {};
}

}  // namespace norvo::atlas
