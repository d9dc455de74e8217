// posix_spawn keeps the child free of the parent's state and of any shell.
#include "util/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace norvo::util {

std::optional<ProcessOutput> run_captured(const std::string& program, const std::vector<std::string>& args,
                                          const std::filesystem::path& cwd) {
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipefd[1]);
  if (rc != 0) {
    ::close(pipefd[0]);
    return std::nullopt;
  }
  ProcessOutput out;
  char buf[4096];
  while (true) {
    ssize_t n = ::read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.stdout_bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(pipefd[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::nullopt;
  }
  // A program that could not be executed exits 127 from the spawned child.
  out.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

}  // namespace norvo::util
