// Artifact records and the fields derived from paths and tags.
#include "atlas/artifact.h"

#include <array>
#include <nlohmann/json.hpp>

#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas {

namespace {

constexpr std::array<std::string_view, 9> kKindTexts = {"function", "async_function", "class",    "method",
                                                        "endpoint", "contract",       "model",    "constant",
                                                        "type_alias"};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

void append_once(std::vector<std::string>& list, const std::string& item) {
  for (const auto& existing : list)
    if (existing == item) return;
  list.push_back(item);
}

}  // namespace

std::string_view kind_text(ArtifactKind kind) { return kKindTexts[static_cast<size_t>(kind)]; }

std::optional<ArtifactKind> parse_kind(std::string_view text) {
  for (size_t i = 0; i < kKindTexts.size(); ++i)
    if (kKindTexts[i] == text) return static_cast<ArtifactKind>(i);
  if (text == "typealias") return ArtifactKind::TypeAlias;
  return std::nullopt;
}

ArtifactKind kind_from_text(std::string_view text) { return parse_kind(text).value_or(ArtifactKind::Function); }

std::string module_path_of(std::string_view file_path) {
  while (file_path.ends_with(".py")) file_path.remove_suffix(3);
  std::string out(file_path);
  for (char& c : out)
    if (c == '/' || c == '\\') c = '.';
  return out;
}

std::optional<std::string> feature_of(std::string_view file_path) {
  std::vector<std::string_view> segments;
  for (size_t start = 0;;) {
    size_t slash = file_path.find('/', start);
    segments.push_back(file_path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  for (size_t i = 0; i + 1 < segments.size(); ++i)
    if (segments[i] == "features") return std::string(segments[i + 1]);
  if (segments.size() >= 2 && (segments[0] == "app" || segments[0] == "src")) {
    static constexpr std::array<std::string_view, 6> kNotFeatures = {"lib",   "core",   "tests",
                                                                     "utils", "common", "__pycache__"};
    for (auto excluded : kNotFeatures)
      if (segments[1] == excluded) return std::nullopt;
    return std::string(segments[1]);
  }
  return std::nullopt;
}

std::optional<std::string> http_method_of(const std::vector<std::string>& tags) {
  for (const auto& tag : tags)
    if (starts_with(tag, "http_")) return tag.substr(5);
  return std::nullopt;
}

std::string text_blob(const Artifact& a) {
  std::vector<std::string_view> parts = {a.symbol_name, a.qualified_name, kind_text(a.kind)};
  for (const auto* part : {&a.signature, &a.docstring, &a.feature})
    if (*part) parts.push_back(**part);
  for (const auto& tag : a.tags) parts.push_back(tag);
  std::string blob;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) blob += ' ';
    blob += parts[i];
  }
  return blob;
}

std::string encode_list(const std::vector<std::string>& items) {
  try {
    return nlohmann::json(items).dump();
  } catch (const nlohmann::json::exception&) {
    return "[]";  // invalid UTF-8 in an item
  }
}

std::vector<std::string> decode_list(std::string_view json) {
  auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  std::vector<std::string> out;
  if (!parsed.is_array()) return out;
  out.reserve(parsed.size());
  for (const auto& item : parsed) {
    if (!item.is_string()) return {};
    out.push_back(item.get<std::string>());
  }
  return out;
}

ArtifactKind kind_of(const parser::Definition& def) {
  for (const auto& tag : def.tags) {
    if (tag == "http_get" || tag == "http_put" || tag == "http_post" || tag == "http_delete" ||
        tag == "fastapi_route")
      return ArtifactKind::Endpoint;
    if (tag == "contract") return ArtifactKind::Contract;
    if (tag == "pydantic_model") return ArtifactKind::Model;
  }
  switch (def.kind) {
    case parser::DefinitionKind::Constant: return ArtifactKind::Constant;
    case parser::DefinitionKind::Method: return ArtifactKind::Method;
    case parser::DefinitionKind::Class: return ArtifactKind::Class;
    case parser::DefinitionKind::Function: break;
  }
  return def.is_async ? ArtifactKind::AsyncFunction : ArtifactKind::Function;
}

std::string relative_file_text(const std::filesystem::path& root, const std::filesystem::path& file) {
  auto r = root.begin(), f = file.begin();
  for (; r != root.end() && f != file.end() && *r == *f; ++r, ++f) {
  }
  // A trailing separator of the root shows up as an empty last component.
  if (r != root.end() && r->empty() && std::next(r) == root.end()) r = root.end();
  if (r != root.end() || f == file.end()) return util::path_text(file);
  std::filesystem::path rel;
  for (; f != file.end(); ++f) rel /= *f;
  return util::path_text(rel);
}

std::vector<Artifact> build_artifacts(const std::filesystem::path& root, const std::filesystem::path& file,
                                      const std::vector<parser::Definition>& definitions) {
  const std::string file_path = relative_file_text(root, file);
  const std::string module_path = module_path_of(file_path);
  const std::optional<std::string> feature = feature_of(file_path);

  std::vector<Artifact> out;
  out.reserve(definitions.size());
  for (const auto& def : definitions) {
    Artifact a;
    a.symbol_name = def.name;
    a.qualified_name = module_path + "." + def.name;
    a.kind = kind_of(def);
    a.file_path = file_path;
    a.module_path = module_path;
    a.signature = def.signature;
    a.docstring = def.docstring;
    a.feature = feature;
    a.tags = def.tags;
    a.http_method = http_method_of(def.tags);
    a.route_path = def.route_path;
    a.router_prefix = def.router_prefix;
    for (const auto& p : def.params) {
      if (!p.is_dependency || !p.dependency) continue;
      append_once(a.direct_dependencies, *p.dependency);
      if (p.is_security) append_once(a.security_dependencies, *p.dependency);
    }
    a.request_models = def.request_models;
    a.response_models = def.response_models;
    a.pydantic_fields_summary = def.pydantic_fields_summary;
    a.pydantic_validators_summary = def.pydantic_validators_summary;
    a.line_start = static_cast<uint64_t>(std::max<int64_t>(def.line_start, 0));
    a.line_end = static_cast<uint64_t>(std::max<int64_t>(def.line_end, 0));
    out.push_back(std::move(a));
  }
  NLOG_DEBUG("norvo_atlas::artifact", "Processed artifacts", {"file", util::path_text(file)},
             {"count", static_cast<uint64_t>(out.size())});
  return out;
}

}  // namespace norvo::atlas
