#include "atlas/git.h"

#include "util/process.h"
#include "util/text.h"

namespace norvo::atlas {

namespace {
std::optional<std::string> rev_parse(const std::filesystem::path& dir, std::vector<std::string> args) {
  auto out = util::run_captured("git", args, dir);
  if (!out || out->exit_status != 0) return std::nullopt;
  std::string text = util::utf8_lossy(out->stdout_bytes);
  std::string trimmed(util::trim(text));
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}
}  // namespace

std::optional<std::string> git_commit(const std::filesystem::path& dir) { return rev_parse(dir, {"rev-parse", "HEAD"}); }

std::optional<std::string> git_branch(const std::filesystem::path& dir) {
  return rev_parse(dir, {"rev-parse", "--abbrev-ref", "HEAD"});
}

}  // namespace norvo::atlas
