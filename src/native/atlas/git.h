// The two git queries recorded by a scan and compared by the freshness check.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace norvo::atlas {

// `git rev-parse HEAD` in `dir`: the trimmed output, or nullopt when git cannot
// start, exits non-zero, or prints nothing.
std::optional<std::string> git_commit(const std::filesystem::path& dir);

// `git rev-parse --abbrev-ref HEAD` in `dir`, under the same rules.
std::optional<std::string> git_branch(const std::filesystem::path& dir);

}  // namespace norvo::atlas
