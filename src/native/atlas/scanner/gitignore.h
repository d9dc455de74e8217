// Ignore files in gitignore syntax (.gitignore, .ignore, .norvoignore,
// .git/info/exclude, the global excludes file), matched the way git matches
// them: last matching line wins, "!" re-includes, a leading or inner "/"
// anchors the pattern to the file's directory, a trailing "/" matches only
// directories, "**" spans directories, "\" escapes, trailing spaces are cut
// unless escaped. Patterns and paths are bytes; nothing here needs UTF-8.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvo::atlas::scanner {

enum class IgnoreMatch { None, Ignore, Whitelist };

// git's wildmatch with WM_PATHNAME: "*", "?" and classes never match "/";
// "**" between slashes (or at either end) matches across directories;
// classes support ranges, "!" or "^" negation, "\" escapes and [:name:].
bool wildmatch(std::string_view pattern, std::string_view text);

class IgnoreRules {
 public:
  // Parses the contents of one ignore file. Never fails: a line that can
  // never match is kept and simply never matches.
  static IgnoreRules parse(std::string_view content);

  // Reads and parses `file`; nullopt when it cannot be read (or is absent).
  static std::optional<IgnoreRules> read(const std::filesystem::path& file);

  bool empty() const { return rules_.empty(); }

  // The verdict of the last line matching `path`, given relative to the
  // directory holding the file ("/"-separated, no leading "/").
  IgnoreMatch matched(std::string_view path, bool is_dir) const;

 private:
  struct Rule {
    std::string pattern;   // without a leading "!" and a trailing "/"
    size_t literal_len;    // length of the leading part without wildcards
    bool negative = false;
    bool dir_only = false;
    bool basename_only = false;  // no "/" in the pattern: match the last component
    bool ends_with = false;      // "*literal": a suffix test
  };
  std::vector<Rule> rules_;
};

// The user's global excludes file: core.excludesFile from the system and
// global git configuration files (read here, no git process), else
// $XDG_CONFIG_HOME/git/ignore or ~/.config/git/ignore. nullopt when none can
// be named (for example without HOME).
std::optional<std::filesystem::path> global_excludes_file();

// The git directory of a repository whose top is `dir`: dir/.git when it is
// a directory, or the directory a ".git" file points to. For a linked
// worktree the shared (common) directory is returned, which holds info/.
std::optional<std::filesystem::path> git_common_dir(const std::filesystem::path& dir);

}  // namespace norvo::atlas::scanner
