// The walk keeps one Level per directory from the file-system root down to
// the directory being listed, each with the ignore files found there, and an
// explicit stack of listings, so deep trees cannot exhaust the call stack.
#include "atlas/scanner/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "atlas/scanner/gitignore.h"
#include "core/errors.h"
#include "util/text.h"

namespace norvo::atlas::scanner {

namespace fs = std::filesystem;

namespace {

struct Level {
  // The path of an entry relative to this directory is prepend + the
  // entry's root-relative path without its first `strip` bytes.
  size_t strip = 0;
  std::string prepend;
  bool has_git = false;  // this directory is the top of a repository
  bool any_git = false;  // this directory or an outer one is
  std::optional<IgnoreRules> custom, dot_ignore, gitignore, exclude;
};

struct Child {
  std::string name;
  WalkEntry::Type type;
};

WalkEntry::Type type_of_mode(mode_t m) {
  if (S_ISDIR(m)) return WalkEntry::Type::Dir;
  if (S_ISLNK(m)) return WalkEntry::Type::Symlink;
  if (S_ISREG(m)) return WalkEntry::Type::File;
  return WalkEntry::Type::Other;
}

// Lists `dir` in the order the system gives; the errno on failure.
std::expected<std::vector<Child>, int> list_dir(const fs::path& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return std::unexpected(errno);
  std::vector<Child> out;
  while (true) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (!e) break;
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    WalkEntry::Type t;
    switch (e->d_type) {
      case DT_DIR: t = WalkEntry::Type::Dir; break;
      case DT_LNK: t = WalkEntry::Type::Symlink; break;
      case DT_REG: t = WalkEntry::Type::File; break;
      case DT_UNKNOWN: {
        struct stat st;
        t = ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? type_of_mode(st.st_mode)
                                                                           : WalkEntry::Type::Other;
        break;
      }
      default: t = WalkEntry::Type::Other; break;
    }
    out.push_back({std::string(name), t});
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) return std::unexpected(err);
  return out;
}

bool is_repo_top(const fs::path& dir) {
  struct stat st;
  if (::lstat((dir / ".git").c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))) return true;
  return ::lstat((dir / ".jj").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<IgnoreRules> read_rules(const fs::path& file) {
  auto r = IgnoreRules::read(file);
  if (r && r->empty()) return std::nullopt;
  return r;
}

class Walker {
 public:
  Walker(const WalkOptions& options) : options_(options) {}

  std::expected<void, std::string> run(const fs::path& root_in, const std::function<bool(const WalkEntry&)>& visit);

 private:
  void push_level(const fs::path& dir, size_t strip, std::string prepend);
  bool is_ignored(std::string_view rel, bool is_dir);
  std::string_view relative_to(const Level& level, std::string_view rel);
  const IgnoreRules* global_rules();

  const WalkOptions& options_;
  std::vector<Level> levels_;
  std::string scratch_;
  bool global_loaded_ = false;
  std::optional<IgnoreRules> global_;
};

void Walker::push_level(const fs::path& dir, size_t strip, std::string prepend) {
  Level l;
  l.strip = strip;
  l.prepend = std::move(prepend);
  l.has_git = is_repo_top(dir);
  l.any_git = l.has_git || (!levels_.empty() && levels_.back().any_git);
  if (!options_.custom_ignore_filename.empty()) l.custom = read_rules(dir / options_.custom_ignore_filename);
  l.dot_ignore = read_rules(dir / ".ignore");
  if (l.any_git) l.gitignore = read_rules(dir / ".gitignore");
  if (l.has_git) {
    if (auto common = git_common_dir(dir)) l.exclude = read_rules(*common / "info" / "exclude");
  }
  levels_.push_back(std::move(l));
}

std::string_view Walker::relative_to(const Level& level, std::string_view rel) {
  if (level.prepend.empty()) return rel.substr(level.strip);
  scratch_.assign(level.prepend);
  scratch_.append(rel);
  return scratch_;
}

const IgnoreRules* Walker::global_rules() {
  if (!global_loaded_) {
    global_loaded_ = true;
    if (auto file = global_excludes_file()) global_ = read_rules(*file);
  }
  return global_ ? &*global_ : nullptr;
}

bool Walker::is_ignored(std::string_view rel, bool is_dir) {
  IgnoreMatch custom = IgnoreMatch::None, dot = IgnoreMatch::None, gi = IgnoreMatch::None, ex = IgnoreMatch::None;
  const bool any_git = levels_.back().any_git;
  bool saw_git = false;
  const Level* repo_top = nullptr;
  for (size_t i = levels_.size(); i-- > 0;) {
    const Level& l = levels_[i];
    bool want_git = any_git && !saw_git;
    bool has_rules = (custom == IgnoreMatch::None && l.custom) || (dot == IgnoreMatch::None && l.dot_ignore) ||
                     (want_git && ((gi == IgnoreMatch::None && l.gitignore) || (ex == IgnoreMatch::None && l.exclude)));
    if (has_rules) {
      std::string_view path = relative_to(l, rel);
      if (custom == IgnoreMatch::None && l.custom) custom = l.custom->matched(path, is_dir);
      if (dot == IgnoreMatch::None && l.dot_ignore) dot = l.dot_ignore->matched(path, is_dir);
      if (want_git && gi == IgnoreMatch::None && l.gitignore) gi = l.gitignore->matched(path, is_dir);
      if (want_git && ex == IgnoreMatch::None && l.exclude) ex = l.exclude->matched(path, is_dir);
    }
    if (l.has_git && !repo_top) repo_top = &l;
    saw_git = saw_git || l.has_git;
  }
  for (IgnoreMatch m : {custom, dot, gi, ex}) {
    if (m != IgnoreMatch::None) return m == IgnoreMatch::Ignore;
  }
  if (any_git && repo_top) {
    // The global excludes speak relative to the top of the repository.
    if (const IgnoreRules* global = global_rules()) {
      return global->matched(relative_to(*repo_top, rel), is_dir) == IgnoreMatch::Ignore;
    }
  }
  return false;
}

std::string list_error(const fs::path& dir, int err) { return util::path_text(dir) + ": " + os_error_text(err); }

std::expected<void, std::string> Walker::run(const fs::path& root_in,
                                             const std::function<bool(const WalkEntry&)>& visit) {
  fs::path root = fs::absolute(root_in).lexically_normal();
  if (root.filename().empty() && root.has_relative_path()) root = root.parent_path();

  // The parents of the root, outermost first: their ignore files see the
  // walk's paths through the root's own path below them.
  std::vector<std::pair<fs::path, std::string>> parents;
  {
    fs::path p = root;
    std::string prepend;
    while (p.has_relative_path()) {
      prepend = p.filename().native() + "/" + prepend;
      p = p.parent_path();
      parents.emplace_back(p, prepend);
    }
  }
  for (auto it = parents.rbegin(); it != parents.rend(); ++it) push_level(it->first, 0, it->second);
  push_level(root, 0, "");

  struct Frame {
    std::vector<Child> children;
    size_t next = 0;
    size_t rel_len = 0;  // bytes of the directory's own relative prefix ("a/b/")
  };
  std::vector<Frame> stack;
  auto listed = list_dir(root);
  if (!listed) return std::unexpected(list_error(root, listed.error()));
  stack.push_back({std::move(*listed), 0, 0});

  std::string rel;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.children.size()) {
      stack.pop_back();
      levels_.pop_back();
      continue;
    }
    const Child& c = f.children[f.next++];
    if (c.name[0] == '.') continue;  // hidden
    rel.resize(f.rel_len);
    rel += c.name;
    const bool is_dir = c.type == WalkEntry::Type::Dir;
    if (is_ignored(rel, is_dir)) continue;

    fs::path abs = root / rel;
    WalkEntry entry{abs, rel, std::string_view(rel).substr(f.rel_len), c.type, stack.size()};
    if (!visit(entry)) return {};
    if (is_dir) {
      auto kids = list_dir(abs);
      if (!kids) return std::unexpected(list_error(abs, kids.error()));
      size_t rel_len = rel.size() + 1;
      push_level(abs, rel_len, "");
      stack.push_back({std::move(*kids), 0, rel_len});  // `f` and `c` are invalid from here
      rel += '/';
    }
  }
  return {};
}

}  // namespace

std::expected<void, std::string> walk(const fs::path& root, const WalkOptions& options,
                                      const std::function<bool(const WalkEntry&)>& visit) {
  Walker w(options);
  return w.run(root, visit);
}

}  // namespace norvo::atlas::scanner
