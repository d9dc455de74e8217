// FastAPI and pydantic metadata: the hooks of the module walk and the
// artifact dependency fields.
//
// PLACEHOLDER: the hooks below do not extract anything yet. They mark where
// the metadata pass plugs in and keep the walk's order of steps; until it is
// written every metadata field of a Definition stays empty.
#include "atlas/parser/fastapi.h"

#include <algorithm>

#include "atlas/parser/walkers.h"

namespace norvo::atlas::parser {

Status fastapi_prepasses(AstContext& /*cx*/, const ListView& /*module_body*/, FastapiTables& /*tables*/) {
  return {};  // placeholder: no router prefixes, aliases or schemes collected yet
}

Status fastapi_function_metadata(AstContext& /*cx*/, const FastapiTables& /*tables*/, PyObject* /*fn*/,
                                 PyObject* /*args*/, Definition& /*def*/) {
  return {};  // placeholder: params, response models, roles, router prefix not extracted yet
}

Status fastapi_class_metadata(AstContext& /*cx*/, PyObject* /*cls*/, Definition& /*def*/) {
  return {};  // placeholder: pydantic summaries and roles not extracted yet
}

void fastapi_request_models(std::vector<Definition>& /*defs*/) {
  // placeholder: request models not extracted yet
}

std::optional<std::string> validator_decorator_name(const AstContext& cx, PyObject* decorator) {
  // A call decorator names its validator through its callee; chains of calls
  // are followed iteratively.
  PyRef cur = PyRef::borrow(decorator);
  while (cur) {
    std::optional<std::string> name;
    switch (cx.kind(cur.get())) {
      case NodeKind::Name: name = opt_text(cur.get(), cx.n.id); break;
      case NodeKind::Attribute: name = opt_text(cur.get(), cx.n.attr); break;
      case NodeKind::Call: {
        PyRef func = opt_attr(cur.get(), cx.n.func);
        if (!func) return std::nullopt;
        cur = std::move(func);
        continue;
      }
      default: return std::nullopt;
    }
    if (name && (*name == "field_validator" || *name == "model_validator" || *name == "validator")) return name;
    return std::nullopt;
  }
  return std::nullopt;
}

std::string_view fastapi_role_text(FastapiRole role) {
  switch (role) {
    case FastapiRole::RouteHandler: return "route_handler";
    case FastapiRole::Middleware: return "middleware";
    case FastapiRole::LifespanStartup: return "lifespan_startup";
    case FastapiRole::LifespanShutdown: return "lifespan_shutdown";
  }
  return "route_handler";
}

namespace {

void push_once(std::vector<std::string>& out, const std::string& name) {
  if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
}

}  // namespace

std::vector<std::string> direct_dependencies(const std::vector<ParamInfo>& params) {
  std::vector<std::string> out;
  for (const auto& p : params)
    if (p.is_dependency && p.dependency) push_once(out, *p.dependency);
  return out;
}

std::vector<std::string> security_dependencies(const std::vector<ParamInfo>& params) {
  std::vector<std::string> out;
  for (const auto& p : params)
    if (p.is_dependency && p.is_security && p.dependency) push_once(out, *p.dependency);
  return out;
}

}  // namespace norvo::atlas::parser
