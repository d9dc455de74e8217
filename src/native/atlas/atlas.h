// Atlas: one opened project — its canonical root, its configuration and the
// one open index connection, held for the object's whole life. Every query,
// scan and analysis runs against it (each in its own component file).
#pragma once

#include <filesystem>
#include <string>

#include "atlas/storage/sqlite.h"
#include "core/config.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas {
 public:
  // Opens the project at `root`: canonicalises it, reads .norvo/config.toml,
  // creates .norvo and the database (mode 0600), runs the schema script and
  // migrations. Runs inside the "new" log span.
  static Result<Atlas> open(const std::filesystem::path& root);

  Atlas(Atlas&&) = default;
  Atlas& operator=(Atlas&&) = default;

  const std::filesystem::path& root() const { return root_; }
  const ProjectConfig& config() const { return config_; }
  const std::filesystem::path& db_path() const { return db_path_; }
  sqlite::Db& db() { return db_; }

 private:
  Atlas() = default;
  std::filesystem::path root_;
  ProjectConfig config_;
  std::filesystem::path db_path_;
  sqlite::Db db_;
};

}  // namespace norvo::atlas
