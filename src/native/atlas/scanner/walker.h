// The project walker: a depth-first walk of a directory tree that honours
// ignore files in gitignore syntax and skips hidden entries.
//
// Honoured, in each visited directory and in every parent of the root:
// .norvoignore (or another custom name), .ignore, and - only inside a git
// repository (a directory holding .git or .jj) - .gitignore, plus the
// repository's .git/info/exclude and the user's global excludes file. When
// several files speak about one path, the first of these kinds with a
// matching line decides (custom, .ignore, .gitignore, info/exclude, global);
// within a kind the deepest directory decides; within a file the last line.
// .gitignore files above the repository top are not used.
//
// Entries come in the order the operating system lists each directory (no
// sorting), a directory's contents right after the directory itself.
// Symbolic links are reported, never followed, so links cannot make the walk
// loop. Ignored directories are not entered. Path bytes are kept as they are;
// invalid UTF-8 is only an issue for whoever turns them into text.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace norvo::atlas::scanner {

struct WalkEntry {
  enum class Type { File, Dir, Symlink, Other };  // as listed, links not followed

  const std::filesystem::path& path;  // absolute: the root joined with `relative`
  std::string_view relative;          // "/"-separated bytes below the root
  std::string_view name;              // the last component
  Type type;
  size_t depth;                       // 1 for the root's own entries
};

struct WalkOptions {
  std::string custom_ignore_filename = ".norvoignore";
};

// Walks below `root` (the root itself is not reported), calling `visit` for
// every entry that is neither hidden nor ignored; `visit` returns false to
// stop early. A directory that cannot be listed ends the walk with the error
// text "{directory}: {system message} (os error N)".
std::expected<void, std::string> walk(const std::filesystem::path& root, const WalkOptions& options,
                                      const std::function<bool(const WalkEntry&)>& visit);

}  // namespace norvo::atlas::scanner
