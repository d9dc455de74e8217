// The scan pipeline, step by step. Only per-file parse failures are tolerated;
// every other failure aborts and leaves what was already committed.
#include "atlas/scan.h"

#include <sys/stat.h>

#include <chrono>
#include <unordered_set>

#include "atlas/analysis/fastapi_dependencies.h"
#include "atlas/artifact.h"
#include "atlas/atlas.h"
#include "atlas/git.h"
#include "atlas/parser/edges.h"
#include "atlas/parser/python_ast.h"
#include "atlas/scanner/filter.h"
#include "atlas/scanner/security.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTarget = "norvo_atlas";

uint64_t newest_mtime(const std::vector<fs::path>& files) {
  uint64_t newest = 0;
  for (const auto& f : files) {
    struct stat st;
    if (::stat(f.c_str(), &st) == 0 && st.st_mtim.tv_sec >= 0)
      newest = std::max(newest, static_cast<uint64_t>(st.st_mtim.tv_sec));
  }
  return newest;
}

bool raises_http_exception(std::string_view callee) {
  return callee == "HTTPException" || callee.ends_with(".HTTPException");
}

}  // namespace

Result<ScanResult> scan(Atlas& atlas) {
  log::Span span("scan");
  const auto start = std::chrono::steady_clock::now();
  const fs::path& root = atlas.root();
  const auto& cfg = atlas.config();
  ScanResult result;

  auto filter = scanner::IgnoreFilter::build(root, cfg.atlas.ignore_patterns);
  auto candidates = NORVO_TRY(scanner::discover(root, filter, cfg.atlas.max_file_size));

  scanner::SecurityPolicy security(root, cfg.security);
  std::vector<fs::path> files;
  files.reserve(candidates.size());
  for (auto& path : candidates) {
    if (security.is_path_allowed(path)) {
      files.push_back(std::move(path));
    } else {
      NLOG_DEBUG(kTarget, "Skipping file denied by security configuration during scan", {"file", util::path_text(path)});
    }
  }
  NLOG_INFO(kTarget, "Found security-allowed Python files", {"file_count", static_cast<uint64_t>(files.size())});
  result.files_scanned = files.size();
  const uint64_t latest_mtime = newest_mtime(files);

  auto parser = NORVO_TRY(parser::PythonAstParser::create());
  const parser::ModuleMap module_map = parser::build_module_map(root, files);

  std::vector<Artifact> artifacts;
  std::vector<storage::ImportEdge> imports;
  std::vector<storage::CallEdge> calls;
  uint64_t processed = 0;
  for (const auto& file : files) {
    auto parsed = parser.parse_file(file);
    if (!parsed) {
      std::string error = parsed.error().to_string();
      NLOG_WARN(kTarget, "Failed to parse file", {"file", util::path_text(file)}, {"error", error});
      ++result.files_failed;
      result.failed_files.push_back({util::path_text(file), std::move(error)});
      continue;
    }
    ++result.files_parsed;
    const std::string rel = relative_file_text(root, file);
    const std::string module = module_path_of(rel);
    for (auto& row : parser::import_rows(parsed->imports, rel, module, module_map)) imports.push_back(std::move(row));
    for (auto& row : parser::call_rows(parsed->calls, rel, module)) calls.push_back(std::move(row));
    for (auto& a : build_artifacts(root, file, parsed->definitions)) {
      ++result.artifacts_by_kind[std::string(kind_text(a.kind))];
      ++processed;
      artifacts.push_back(std::move(a));
    }
  }

  if (!artifacts.empty()) {
    link_dependency_chains(artifacts);
    std::unordered_set<std::string> http_exception_callers;
    for (const auto& c : calls)
      if (raises_http_exception(c.callee_qualified_name)) http_exception_callers.insert(c.caller_qualified_name);
    add_auth_tags(artifacts, http_exception_callers);
  }

  auto& db = atlas.db();
  NORVO_TRY(storage::store_artifacts(db, artifacts));
  NORVO_TRY(storage::insert_imports(db, imports));
  NORVO_TRY(storage::insert_calls(db, calls));
  NLOG_INFO(kTarget, "Stored imports and calls", {"import_count", static_cast<uint64_t>(imports.size())},
            {"call_count", static_cast<uint64_t>(calls.size())});

  const uint64_t stored = NORVO_TRY(storage::count(db));
  if (processed > stored) {
    NLOG_DEBUG(kTarget, "Some artifacts had duplicate qualified_names and were merged", {"processed", processed},
               {"stored", stored}, {"duplicates", processed - stored});
  }
  result.artifacts_found = stored;

  NORVO_TRY(storage::set_metadata(db, "last_known_latest_mtime", std::to_string(latest_mtime)));
  if (auto commit = git_commit(root)) NORVO_TRY(storage::set_metadata(db, "last_git_commit", *commit));

  result.duration_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  NORVO_TRY(storage::record_scan_run(db, result.artifacts_found, result.files_scanned, result.files_failed,
                                     result.duration_ms, git_commit(root), git_branch(root)));
  NLOG_INFO(kTarget, "Scan complete", {"artifacts", result.artifacts_found}, {"files_parsed", result.files_parsed},
            {"files_failed", result.files_failed}, {"duration_ms", result.duration_ms});
  return result;
}

}  // namespace norvo::atlas
