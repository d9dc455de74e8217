// Test driver for the index store: opens (creating and migrating) the index
// database named on the command line, runs the operations read as a JSON list
// from standard input, and prints one JSON result per operation:
//   {"ok": value}  or  {"error": {"operation", "message", "text"}}
//
//   store_check [--log LEVEL] [--raw] DB_PATH < ops.json
//
// --raw opens the file as it is, without the schema script and migrations, so
// a test can run operations against a database it has damaged on purpose.
//
// Operations (field "op"): upsert (artifacts, one statement each, no
// transaction), store_artifacts (artifacts), count, search (query, limit),
// all_artifacts, by_feature (feature), insert_imports (edges), insert_calls
// (edges), all_imports, all_calls, record_scan_run (artifacts_found,
// files_scanned, files_failed, duration_ms, git_commit, git_branch),
// last_scan, get_metadata (key), set_metadata (key, value), store_patterns
// (patterns), all_patterns, build (root, file, definitions), text_blob
// (artifact), parse_kind (text), import_type (text), call_type (text).
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "atlas/artifact.h"
#include "atlas/storage/migrations.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"

using nlohmann::json;
using nlohmann::ordered_json;
namespace st = norvo::storage;
namespace at = norvo::atlas;
namespace p = norvo::atlas::parser;

namespace {

std::optional<std::string> opt_str(const json& j, const char* key) {
  if (!j.contains(key) || j[key].is_null()) return std::nullopt;
  return j[key].get<std::string>();
}

std::vector<std::string> str_list(const json& j, const char* key) {
  if (!j.contains(key)) return {};
  return j[key].get<std::vector<std::string>>();
}

ordered_json opt_json(const std::optional<std::string>& v) { return v ? ordered_json(*v) : ordered_json(nullptr); }

at::Artifact artifact_from(const json& j) {
  at::Artifact a;
  a.symbol_name = j.at("symbol_name").get<std::string>();
  a.qualified_name = j.at("qualified_name").get<std::string>();
  auto kind = at::parse_kind(j.at("kind").get<std::string>());
  if (!kind) throw std::runtime_error("unknown kind in input");
  a.kind = *kind;
  a.file_path = j.at("file_path").get<std::string>();
  a.module_path = j.at("module_path").get<std::string>();
  a.signature = opt_str(j, "signature");
  a.docstring = opt_str(j, "docstring");
  a.feature = opt_str(j, "feature");
  a.tags = str_list(j, "tags");
  a.hash = opt_str(j, "hash");
  a.http_method = opt_str(j, "http_method");
  a.route_path = opt_str(j, "route_path");
  a.router_prefix = opt_str(j, "router_prefix");
  a.direct_dependencies = str_list(j, "direct_dependencies");
  a.dependency_chain = str_list(j, "dependency_chain");
  a.security_dependencies = str_list(j, "security_dependencies");
  a.request_models = str_list(j, "request_models");
  a.response_models = str_list(j, "response_models");
  a.pydantic_fields_summary = opt_str(j, "pydantic_fields_summary");
  a.pydantic_validators_summary = opt_str(j, "pydantic_validators_summary");
  a.line_start = j.at("line_start").get<uint64_t>();
  a.line_end = j.at("line_end").get<uint64_t>();
  return a;
}

ordered_json artifact_json(const at::Artifact& a) {
  return ordered_json{{"symbol_name", a.symbol_name},
                      {"qualified_name", a.qualified_name},
                      {"kind", at::kind_text(a.kind)},
                      {"file_path", a.file_path},
                      {"module_path", a.module_path},
                      {"signature", opt_json(a.signature)},
                      {"docstring", opt_json(a.docstring)},
                      {"feature", opt_json(a.feature)},
                      {"tags", a.tags},
                      {"hash", opt_json(a.hash)},
                      {"http_method", opt_json(a.http_method)},
                      {"route_path", opt_json(a.route_path)},
                      {"router_prefix", opt_json(a.router_prefix)},
                      {"direct_dependencies", a.direct_dependencies},
                      {"dependency_chain", a.dependency_chain},
                      {"security_dependencies", a.security_dependencies},
                      {"request_models", a.request_models},
                      {"response_models", a.response_models},
                      {"pydantic_fields_summary", opt_json(a.pydantic_fields_summary)},
                      {"pydantic_validators_summary", opt_json(a.pydantic_validators_summary)},
                      {"line_start", a.line_start},
                      {"line_end", a.line_end}};
}

ordered_json artifacts_json(const std::vector<at::Artifact>& v) {
  ordered_json out = ordered_json::array();
  for (const auto& a : v) out.push_back(artifact_json(a));
  return out;
}

std::vector<at::Artifact> artifacts_from(const json& j) {
  std::vector<at::Artifact> out;
  for (const auto& item : j) out.push_back(artifact_from(item));
  return out;
}

// Edge types are given by their stored text; an unknown text is an input error.
st::ImportType import_type_named(const std::string& text) {
  for (auto t : {st::ImportType::Module, st::ImportType::From, st::ImportType::Wildcard, st::ImportType::Relative})
    if (st::import_type_text(t) == text) return t;
  throw std::runtime_error("unknown import type in input");
}

st::CallType call_type_named(const std::string& text) {
  for (int i = 0; i <= static_cast<int>(st::CallType::None); ++i)
    if (st::call_type_text(static_cast<st::CallType>(i)) == text) return static_cast<st::CallType>(i);
  throw std::runtime_error("unknown call type in input");
}

std::vector<st::ImportEdge> imports_from(const json& j) {
  std::vector<st::ImportEdge> out;
  for (const auto& e : j) {
    out.push_back({e.at("source_file").get<std::string>(), e.at("target_file").get<std::string>(),
                   e.at("import_name").get<std::string>(), import_type_named(e.at("import_type")),
                   e.at("line_number").get<int64_t>(), opt_str(e, "alias"), e.value("is_wildcard", false)});
  }
  return out;
}

ordered_json import_json(const st::ImportEdge& e) {
  return ordered_json{{"source_file", e.source_file}, {"target_file", e.target_file},
                      {"import_name", e.import_name}, {"import_type", st::import_type_text(e.import_type)},
                      {"line_number", e.line_number}, {"alias", opt_json(e.alias)},
                      {"is_wildcard", e.is_wildcard}};
}

std::vector<st::CallEdge> calls_from(const json& j) {
  std::vector<st::CallEdge> out;
  for (const auto& e : j) {
    out.push_back({e.at("caller_qualified_name").get<std::string>(), e.at("callee_qualified_name").get<std::string>(),
                   e.at("caller_file").get<std::string>(), e.at("line_number").get<int64_t>(),
                   call_type_named(e.at("call_type"))});
  }
  return out;
}

ordered_json call_json(const st::CallEdge& e) {
  return ordered_json{{"caller_qualified_name", e.caller_qualified_name},
                      {"callee_qualified_name", e.callee_qualified_name},
                      {"caller_file", e.caller_file},
                      {"line_number", e.line_number},
                      {"call_type", st::call_type_text(e.call_type)}};
}

std::vector<st::PatternRow> patterns_from(const json& j) {
  std::vector<st::PatternRow> out;
  for (const auto& e : j) {
    out.push_back({e.at("pattern_type").get<std::string>(), e.at("name").get<std::string>(),
                   e.at("file_path").get<std::string>(), e.at("confidence").get<double>(), str_list(e, "artifacts"),
                   str_list(e, "indicators"), opt_str(e, "explanation")});
  }
  return out;
}

ordered_json pattern_json(const st::PatternRow& r) {
  return ordered_json{{"pattern_type", r.pattern_type}, {"name", r.name},
                      {"file_path", r.file_path},       {"confidence", r.confidence},
                      {"artifacts", r.artifacts},       {"indicators", r.indicators},
                      {"explanation", opt_json(r.explanation)}};
}

p::Definition definition_from(const json& j) {
  p::Definition d;
  d.name = j.at("name").get<std::string>();
  const std::string kind = j.value("kind", "function");
  d.kind = kind == "class"      ? p::DefinitionKind::Class
           : kind == "method"   ? p::DefinitionKind::Method
           : kind == "constant" ? p::DefinitionKind::Constant
                                : p::DefinitionKind::Function;
  d.line_start = j.value("line_start", int64_t{1});
  d.line_end = j.value("line_end", d.line_start);
  d.is_async = j.value("is_async", false);
  d.signature = opt_str(j, "signature");
  d.docstring = opt_str(j, "docstring");
  d.tags = str_list(j, "tags");
  d.route_path = opt_str(j, "route_path");
  d.router_prefix = opt_str(j, "router_prefix");
  d.request_models = str_list(j, "request_models");
  d.response_models = str_list(j, "response_models");
  d.pydantic_fields_summary = opt_str(j, "pydantic_fields_summary");
  d.pydantic_validators_summary = opt_str(j, "pydantic_validators_summary");
  for (const auto& pj : j.value("params", json::array())) {
    p::ParamInfo param;
    param.name = pj.value("name", "p");
    param.dependency = opt_str(pj, "dependency");
    param.is_dependency = pj.value("is_dependency", false);
    param.is_security = pj.value("is_security", false);
    d.params.push_back(std::move(param));
  }
  return d;
}

ordered_json error_json(const norvo::AtlasError& e) {
  return ordered_json{{"error", {{"operation", e.operation}, {"message", e.message}, {"text", e.to_string()}}}};
}

template <class T, class F>
ordered_json result_json(const norvo::Result<T>& r, F to_json) {
  if (!r) return error_json(r.error());
  return ordered_json{{"ok", to_json(*r)}};
}

ordered_json status_json(const norvo::Status& r) {
  if (!r) return error_json(r.error());
  return ordered_json{{"ok", nullptr}};
}

template <class T, class F>
ordered_json list_json(const std::vector<T>& v, F to_json) {
  ordered_json out = ordered_json::array();
  for (const auto& item : v) out.push_back(to_json(item));
  return out;
}

ordered_json run(norvo::sqlite::Db& db, const json& op) {
  const std::string name = op.at("op").get<std::string>();
  auto same = [](const auto& v) { return ordered_json(v); };
  auto opt_num = [](const std::optional<int64_t>& v) { return v ? ordered_json(*v) : ordered_json(nullptr); };
  if (name == "upsert") {
    for (const auto& a : artifacts_from(op.at("artifacts"))) {
      auto r = st::upsert_artifact(db, a);
      if (!r) return error_json(r.error());
    }
    return ordered_json{{"ok", nullptr}};
  }
  if (name == "store_artifacts") return status_json(st::store_artifacts(db, artifacts_from(op.at("artifacts"))));
  if (name == "count") return result_json(st::count(db), same);
  if (name == "search")
    return result_json(st::search(db, op.at("query").get<std::string>(), op.at("limit").get<uint64_t>()),
                       artifacts_json);
  if (name == "all_artifacts") return result_json(st::all_artifacts(db), artifacts_json);
  if (name == "by_feature")
    return result_json(st::artifacts_by_feature(db, op.at("feature").get<std::string>()), artifacts_json);
  if (name == "insert_imports") return status_json(st::insert_imports(db, imports_from(op.at("edges"))));
  if (name == "insert_calls") return status_json(st::insert_calls(db, calls_from(op.at("edges"))));
  if (name == "all_imports")
    return result_json(st::all_imports(db), [](const auto& v) { return list_json(v, import_json); });
  if (name == "all_calls") return result_json(st::all_calls(db), [](const auto& v) { return list_json(v, call_json); });
  if (name == "record_scan_run")
    return result_json(st::record_scan_run(db, op.at("artifacts_found"), op.at("files_scanned"),
                                           op.at("files_failed"), op.at("duration_ms"), opt_str(op, "git_commit"),
                                           opt_str(op, "git_branch")),
                       same);
  if (name == "last_scan") return result_json(st::last_scan(db), opt_num);
  if (name == "get_metadata") return result_json(st::get_metadata(db, op.at("key").get<std::string>()), opt_json);
  if (name == "set_metadata")
    return status_json(st::set_metadata(db, op.at("key").get<std::string>(), op.at("value").get<std::string>()));
  if (name == "store_patterns") return status_json(st::store_patterns(db, patterns_from(op.at("patterns"))));
  if (name == "all_patterns")
    return result_json(st::all_patterns(db), [](const auto& v) { return list_json(v, pattern_json); });
  if (name == "build") {
    std::vector<p::Definition> defs;
    for (const auto& d : op.at("definitions")) defs.push_back(definition_from(d));
    return ordered_json{
        {"ok", artifacts_json(at::build_artifacts(op.at("root").get<std::string>(),
                                                  op.at("file").get<std::string>(), defs))}};
  }
  if (name == "text_blob") return ordered_json{{"ok", at::text_blob(artifact_from(op.at("artifact")))}};
  if (name == "parse_kind") {
    auto k = at::parse_kind(op.at("text").get<std::string>());
    return ordered_json{{"ok", k ? ordered_json(at::kind_text(*k)) : ordered_json(nullptr)}};
  }
  if (name == "import_type")
    return ordered_json{{"ok", st::import_type_text(st::import_type_from_text(op.at("text").get<std::string>()))}};
  if (name == "call_type")
    return ordered_json{{"ok", st::call_type_text(st::call_type_from_text(op.at("text").get<std::string>()))}};
  throw std::runtime_error("unknown op: " + name);
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  bool raw = false;
  for (; arg < argc; ++arg) {
    std::string flag = argv[arg];
    if (flag == "--log" && arg + 1 < argc) {
      norvo::log::init(std::string_view(argv[++arg]));
    } else if (flag == "--raw") {
      raw = true;
    } else {
      break;
    }
  }
  if (arg + 1 != argc) {
    std::cerr << "usage: store_check [--log LEVEL] [--raw] DB_PATH < ops.json\n";
    return 2;
  }
  auto opened = norvo::sqlite::Db::open(argv[arg], 5000);
  if (!opened) {
    std::cerr << opened.error().to_string() << "\n";
    return 1;
  }
  norvo::sqlite::Db db = std::move(*opened);
  // The same steps as opening a project, so the driver also works on a new file.
  norvo::Status ready;
  if (!raw) ready = db.exec("PRAGMA foreign_keys = ON", "pragma");
  if (ready && !raw) ready = db.exec(norvo::storage::schema_script(), "schema");
  if (ready && !raw) ready = norvo::storage::migrate(db);
  if (!ready) {
    std::cerr << ready.error().to_string() << "\n";
    return 1;
  }
  std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  ordered_json results = ordered_json::array();
  for (const auto& op : json::parse(input)) results.push_back(run(db, op));
  std::cout << results.dump() << "\n";
  return 0;
}
