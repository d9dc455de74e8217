// Running a child program directly (never through a shell) with captured output.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace norvo::util {

struct ProcessOutput {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string stdout_bytes;
};

// Starts `program` (looked up on PATH) with `args`, `cwd` as working directory,
// the inherited environment, standard input empty (/dev/null), standard output
// captured and standard error discarded; waits for it. nullopt when it cannot
// be started.
std::optional<ProcessOutput> run_captured(const std::string& program, const std::vector<std::string>& args,
                                          const std::filesystem::path& cwd);

}  // namespace norvo::util
