// Opening a project: each failing step ends the open and is returned.
#include "atlas/atlas.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "atlas/storage/migrations.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas {

namespace fs = std::filesystem;

Result<Atlas> Atlas::open(const fs::path& root) {
  log::Span span("new", {{"project", util::path_text(root)}});
  Atlas a;
  std::error_code ec;
  a.root_ = fs::canonical(root, ec);
  if (ec) {
    return fail(AtlasError::walk_failed(util::path_text(root),
                                        "Failed to resolve project root: " + os_error_text(ec.value())));
  }
  a.config_ = load_project_config(a.root_);
  std::string_view name = a.config_.atlas.db_filename;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    // Only a plain file name: a project's own settings must not make the
    // index (and its chmod) land anywhere outside .norvo.
    NLOG_WARN("norvo_atlas", "Invalid db_filename; using atlas.sqlite", {"db_filename", util::utf8_lossy(name)});
    name = "atlas.sqlite";
  }
  a.db_path_ = a.root_ / ".norvo" / std::string(name);

  const fs::path norvo_dir = a.db_path_.parent_path();
  const bool existed = fs::exists(norvo_dir, ec);
  fs::create_directories(norvo_dir, ec);
  if (ec) {
    return fail(AtlasError::database("create_dir", "Failed to create .norvo directory: " + os_error_text(ec.value())));
  }
  if (!existed) {
    // Under a permissive umask (0) the index directory would be world-writable,
    // letting anyone replace the database; take the write bit from others.
    struct stat st;
    if (::stat(norvo_dir.c_str(), &st) == 0 && (st.st_mode & S_IWOTH)) ::chmod(norvo_dir.c_str(), st.st_mode & 07775);
  }
  std::string db_text = util::path_text(a.db_path_);
  // Create a new database file private from its first byte, not only after the chmod below.
  int fd = ::open(a.db_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
  a.db_ = NORVO_TRY(sqlite::Db::open(a.db_path_.native(), 5000));

  // Through a descriptor that refuses links, so a shipped link is never chmod-ed.
  int rc = -1;
  int pfd = ::open(a.db_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (pfd >= 0) {
    do {
      rc = ::fchmod(pfd, 0600);
    } while (rc != 0 && errno == EINTR);
    int err = errno;
    ::close(pfd);
    errno = err;
  }
  if (rc == 0) {
    NLOG_DEBUG("norvo_atlas", "Set secure permissions (600) on database file", {"path", db_text});
  } else {
    NLOG_WARN("norvo_atlas", "Failed to set secure permissions on database file", {"path", db_text},
              {"error", os_error_text(errno)});
  }

  NORVO_TRY(a.db_.exec("PRAGMA foreign_keys = ON", "pragma"));
  NORVO_TRY(a.db_.exec(storage::schema_script(), "schema"));
  NORVO_TRY(storage::migrate(a.db_));

  NLOG_INFO("norvo_atlas::storage::repository", "Database initialized", {"path", db_text});
  NLOG_INFO("norvo_atlas", "Atlas initialized", {"db_path", db_text});
  return a;
}

}  // namespace norvo::atlas
