// The module walk: constants, classes, functions and methods in source order,
// each class directly followed by the records of its own body.
#include "atlas/parser/definitions.h"

#include <utf8proc.h>

#include <array>

#include "atlas/parser/walkers.h"
#include "util/text.h"

namespace norvo::atlas::parser {

namespace {

// The Unicode Uppercase property: category Lu plus Other_Uppercase.
bool is_unicode_upper(utf8proc_int32_t c) {
  if (utf8proc_category(c) == UTF8PROC_CATEGORY_LU) return true;
  return (c >= 0x2160 && c <= 0x216F) || (c >= 0x24B6 && c <= 0x24CF) || (c >= 0x1F130 && c <= 0x1F149) ||
         (c >= 0x1F150 && c <= 0x1F169) || (c >= 0x1F170 && c <= 0x1F189);
}

// Non-empty and made only of upper-case letters and '_' (MAX_RETRIES, _; not
// API_V2, Timeout, __all__ has lower case so not either).
bool is_constant_name(std::string_view id) {
  if (id.empty()) return false;
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(id.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(id.size());
  while (left > 0) {
    if (*p < 0x80) {
      if (!((*p >= 'A' && *p <= 'Z') || *p == '_')) return false;
      ++p;
      --left;
      continue;
    }
    utf8proc_int32_t c = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0 || !is_unicode_upper(c)) return false;
    p += n;
    left -= n;
  }
  return true;
}

bool is_http_method(std::string_view lower) {
  static constexpr std::array<std::string_view, 7> kMethods = {"get",   "put",    "post",   "head",
                                                               "patch", "delete", "options"};
  for (auto m : kMethods)
    if (m == lower) return true;
  return false;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Tag of a plain-name decorator, or nullptr.
const char* name_decorator_tag(std::string_view id) {
  if (id == "Contract") return "contract";
  static constexpr std::array<const char*, 7> kSame = {"property",     "override",    "dataclass",     "deprecated",
                                                       "classmethod", "staticmethod", "abstractmethod"};
  for (const char* t : kSame)
    if (id == t) return t;
  return nullptr;
}

class DefinitionWalker {
 public:
  DefinitionWalker(AstContext& cx, const FastapiTables& tables, std::vector<Definition>& out)
      : cx_(cx), n_(cx.n), tables_(tables), out_(out) {}

  // `depth`: how many classes enclose the statement.
  Status statement(PyObject* stmt, bool in_class, int depth) {
    switch (cx_.kind(stmt)) {
      case NodeKind::Assign:
        if (!in_class) return constant(stmt);
        return {};
      case NodeKind::ClassDef:
        if (depth >= kMaxDefinitionNesting) return fail(too_deep_error());
        return class_def(stmt, depth);
      case NodeKind::FunctionDef:
        return function_def(stmt, in_class, false);
      case NodeKind::AsyncFunctionDef:
        return function_def(stmt, in_class, true);
      default:
        return {};
    }
  }

 private:
  Status constant(PyObject* stmt) {
    ListView targets = opt_list(stmt, n_.targets);
    if (targets.size() == 0) return {};
    PyObject* first = targets[0];
    if (cx_.kind(first) != NodeKind::Name) return {};
    std::optional<std::string> id = opt_text(first, n_.id);
    if (!id || !is_constant_name(*id)) return {};
    Definition d;
    d.name = std::move(*id);
    d.kind = DefinitionKind::Constant;
    d.line_start = NORVO_TRY(req_int(stmt, n_.lineno));
    d.line_end = d.line_start;
    out_.push_back(std::move(d));
    return {};
  }

  Status class_def(PyObject* node, int depth) {
    Definition d;
    d.kind = DefinitionKind::Class;
    d.name = NORVO_TRY(req_text(node, n_.name));
    d.line_start = NORVO_TRY(req_int(node, n_.lineno));
    d.line_end = opt_int(node, n_.end_lineno).value_or(d.line_start);
    ListView body = opt_list(node, n_.body);
    d.docstring = docstring(body);

    ListView decorators = opt_list(node, n_.decorator_list);
    for (Py_ssize_t i = 0; i < decorators.size(); ++i) decorator_tags(decorators[i], d.tags, nullptr);

    ListView bases = opt_list(node, n_.bases);
    for (Py_ssize_t i = 0; i < bases.size(); ++i) {
      PyObject* b = bases[i];
      std::optional<std::string> text;
      switch (cx_.kind(b)) {
        case NodeKind::Name: text = opt_text(b, n_.id); break;
        case NodeKind::Attribute: text = opt_text(b, n_.attr); break;
        default: break;
      }
      if (text) d.bases.push_back(std::move(*text));
    }

    uint64_t fields = 0, validators = 0;
    for (Py_ssize_t i = 0; i < body.size(); ++i) {
      PyObject* s = body[i];
      NodeKind k = cx_.kind(s);
      if (k == NodeKind::AnnAssign) {
        ++fields;
      } else if (k == NodeKind::FunctionDef || k == NodeKind::AsyncFunctionDef) {
        ListView decs = opt_list(s, n_.decorator_list);
        for (Py_ssize_t j = 0; j < decs.size(); ++j) {
          if (validator_decorator_name(cx_, decs[j])) {
            ++validators;
            break;
          }
        }
      }
    }
    d.field_count = fields;
    d.validator_count = validators;

    for (const auto& b : d.bases) {
      if (b == "BaseModel" || b == "BaseSettings" || b == "BaseConfig") {
        d.tags.emplace_back("pydantic_model");
        break;
      }
    }
    NORVO_TRY(fastapi_class_metadata(cx_, node, d));
    out_.push_back(std::move(d));

    for (Py_ssize_t i = 0; i < body.size(); ++i) NORVO_TRY(statement(body[i], true, depth + 1));
    return {};
  }

  Status function_def(PyObject* node, bool in_class, bool is_async) {
    Definition d;
    d.name = NORVO_TRY(req_text(node, n_.name));
    d.line_start = NORVO_TRY(req_int(node, n_.lineno));
    d.line_end = opt_int(node, n_.end_lineno).value_or(d.line_start);
    PyRef args = NORVO_TRY(req_attr(node, n_.args, "Failed to get function args: "));

    // Only the plain positional parameters (args.args) make the signature.
    std::string sig = d.name;
    sig += '(';
    ListView plain = opt_list(args.get(), n_.args);
    bool first = true;
    for (Py_ssize_t i = 0; i < plain.size(); ++i) {
      std::optional<std::string> a = opt_text(plain[i], n_.arg);
      if (!a) continue;
      if (!first) sig += ", ";
      sig += *a;
      first = false;
    }
    sig += ')';
    d.signature = std::move(sig);

    ListView body = opt_list(node, n_.body);
    d.docstring = docstring(body);

    std::optional<std::string> route;
    ListView decorators = opt_list(node, n_.decorator_list);
    for (Py_ssize_t i = 0; i < decorators.size(); ++i) decorator_tags(decorators[i], d.tags, &route);
    d.route_path = std::move(route);

    NORVO_TRY(fastapi_function_metadata(cx_, tables_, node, args.get(), d));

    d.has_yield = has_yield(body);

    d.kind = in_class ? DefinitionKind::Method : DefinitionKind::Function;
    d.is_async = is_async;
    out_.push_back(std::move(d));
    return {};
  }

  // First statement an Expr holding a str constant: that text, trimmed.
  std::optional<std::string> docstring(const ListView& body) {
    if (body.size() == 0) return std::nullopt;
    PyObject* first = body[0];
    if (cx_.kind(first) != NodeKind::Expr) return std::nullopt;
    PyRef value = opt_attr(first, n_.value);
    std::optional<std::string> text = string_constant(cx_, value.get());
    if (!text) return std::nullopt;
    return std::string(util::trim(*text));
  }

  void router_tag(PyObject* attribute, std::vector<std::string>& tags) {
    PyRef value = opt_attr(attribute, n_.value);
    if (!value || cx_.kind(value.get()) != NodeKind::Name) return;
    if (std::optional<std::string> id = opt_text(value.get(), n_.id)) tags.push_back("router_" + *id);
  }

  // Tags of one decorator, appended in order. `route` (functions only)
  // receives the route-path candidate of a call whose first positional
  // argument is a string constant.
  //
  // A call contributes the tags of its callee first, then its own middleware
  // and on_event tags; for a chain of calls f(..)(..) that is the innermost
  // callee's tags followed by each call's own tags from the inside out. Only
  // the decorator itself offers a route path.
  void decorator_tags(PyObject* dec, std::vector<std::string>& tags, std::optional<std::string>* route) {
    if (route && cx_.kind(dec) == NodeKind::Call) {
      ListView args = opt_list(dec, n_.args);
      if (args.size() > 0) {
        if (std::optional<std::string> path = string_constant(cx_, args[0])) *route = std::move(path);
      }
    }
    std::vector<PyRef> calls;
    PyRef cur = PyRef::borrow(dec);
    while (cur && cx_.kind(cur.get()) == NodeKind::Call) {
      PyRef func = opt_attr(cur.get(), n_.func);
      calls.push_back(std::move(cur));
      cur = std::move(func);
    }
    if (cur) plain_decorator_tags(cur.get(), tags);
    for (size_t i = calls.size(); i-- > 0;) call_decorator_tags(calls[i].get(), tags);
  }

  // Tags of a name or attribute decorator.
  void plain_decorator_tags(PyObject* dec, std::vector<std::string>& tags) {
    switch (cx_.kind(dec)) {
      case NodeKind::Name: {
        std::optional<std::string> id = opt_text(dec, n_.id);
        if (!id) return;
        if (const char* tag = name_decorator_tag(*id)) tags.emplace_back(tag);
        return;
      }
      case NodeKind::Attribute: {
        std::optional<std::string> attr = opt_text(dec, n_.attr);
        if (!attr) return;
        std::string lower = ascii_lower(*attr);
        if (is_http_method(lower)) {
          tags.push_back("http_" + lower);
          tags.emplace_back("fastapi_route");
          router_tag(dec, tags);
        } else if (*attr == "include_router") {
          tags.emplace_back("router_mount");
        }
        return;
      }
      default:
        return;
    }
  }

  // A call's own tags: app.middleware(...) and app.on_event("startup"/"shutdown").
  void call_decorator_tags(PyObject* call, std::vector<std::string>& tags) {
    PyRef func = opt_attr(call, n_.func);
    if (!func || cx_.kind(func.get()) != NodeKind::Attribute) return;
    std::optional<std::string> attr = opt_text(func.get(), n_.attr);
    if (attr && *attr == "middleware") {
      tags.emplace_back("fastapi_middleware");
      router_tag(func.get(), tags);
    } else if (attr && *attr == "on_event") {
      ListView args = opt_list(call, n_.args);
      std::optional<std::string> event = args.size() > 0 ? string_constant(cx_, args[0]) : std::nullopt;
      if (event && *event == "startup") tags.emplace_back("fastapi_lifespan_startup");
      else if (event && *event == "shutdown") tags.emplace_back("fastapi_lifespan_shutdown");
      router_tag(func.get(), tags);
    }
  }

  // Yield or YieldFrom reachable from the body's statements through body,
  // orelse, finalbody, value, test, iter and target only, not entering nested
  // functions or classes. The order of the search does not matter for the
  // answer, so a plain stack serves.
  bool has_yield(const ListView& body) {
    std::vector<PyRef> stack;
    for (Py_ssize_t i = 0; i < body.size(); ++i) stack.push_back(PyRef::borrow(body[i]));
    static constexpr std::array<YieldField, 7> kOrder = {kYBody, kYOrelse, kYFinalbody, kYValue,
                                                         kYTest, kYIter,   kYTarget};
    while (!stack.empty()) {
      PyRef node = std::move(stack.back());
      stack.pop_back();
      switch (cx_.kind(node.get())) {
        case NodeKind::Yield:
        case NodeKind::YieldFrom:
          return true;
        case NodeKind::FunctionDef:
        case NodeKind::AsyncFunctionDef:
        case NodeKind::ClassDef:
        case NodeKind::Constant:  // its value is a payload, never a node
        case NodeKind::NotNode:
          continue;
        default:
          break;
      }
      uint8_t fields = cx_.yield_fields(node.get());
      for (YieldField f : kOrder) {
        if (!(fields & f)) continue;
        PyObject* name = f == kYBody        ? n_.body
                         : f == kYOrelse    ? n_.orelse
                         : f == kYFinalbody ? n_.finalbody
                         : f == kYValue     ? n_.value
                         : f == kYTest      ? n_.test
                         : f == kYIter      ? n_.iter
                                            : n_.target;
        PyRef v = opt_attr(node.get(), name);
        if (!v) continue;
        if (PyList_Check(v.get())) {
          ListView items(std::move(v));
          for (Py_ssize_t i = 0; i < items.size(); ++i) stack.push_back(PyRef::borrow(items[i]));
        } else {
          stack.push_back(std::move(v));
        }
      }
    }
    return false;
  }

  AstContext& cx_;
  const AstNames& n_;
  const FastapiTables& tables_;
  std::vector<Definition>& out_;
};

}  // namespace

Result<std::vector<Definition>> extract_definitions(AstContext& cx, PyObject* module) {
  PyRef body_obj = NORVO_TRY(req_attr(module, cx.n.body, "Failed to get AST body: "));
  ListView body(std::move(body_obj));
  FastapiTables tables;
  NORVO_TRY(fastapi_prepasses(cx, body, tables));
  std::vector<Definition> out;
  DefinitionWalker walker(cx, tables, out);
  for (Py_ssize_t i = 0; i < body.size(); ++i) NORVO_TRY(walker.statement(body[i], false, 0));
  fastapi_request_models(out);
  return out;
}

// ---- artifact fields ------------------------------------------------------------

std::string_view definition_kind_text(DefinitionKind kind) {
  switch (kind) {
    case DefinitionKind::Function: return "function";
    case DefinitionKind::Class: return "class";
    case DefinitionKind::Method: return "method";
    case DefinitionKind::Constant: return "constant";
  }
  return "function";
}

std::string_view artifact_kind_text(const Definition& def) {
  for (const auto& t : def.tags) {
    if (t == "http_get" || t == "http_put" || t == "http_post" || t == "http_delete" || t == "fastapi_route")
      return "endpoint";
    if (t == "contract") return "contract";
    if (t == "pydantic_model") return "model";
  }
  switch (def.kind) {
    case DefinitionKind::Constant: return "constant";
    case DefinitionKind::Method: return "method";
    case DefinitionKind::Class: return "class";
    case DefinitionKind::Function: return def.is_async ? "async_function" : "function";
  }
  return "function";
}

std::optional<std::string> http_method(const std::vector<std::string>& tags) {
  for (const auto& t : tags)
    if (t.starts_with("http_")) return t.substr(5);
  return std::nullopt;
}

std::string relative_path_text(const std::filesystem::path& root, const std::filesystem::path& file) {
  auto f = file.begin();
  for (const auto& part : root) {
    if (part.empty()) continue;  // a trailing separator of the root
    if (f == file.end() || *f != part) return util::path_text(file);
    ++f;
  }
  std::filesystem::path rel;
  for (; f != file.end(); ++f)
    if (!f->empty()) rel /= *f;
  return util::path_text(rel);
}

std::string module_path_of(std::string_view relative_path) {
  std::string_view s = relative_path;
  while (s.ends_with(".py")) s.remove_suffix(3);
  std::string out(s);
  for (char& c : out)
    if (c == '/' || c == '\\') c = '.';
  return out;
}

std::string qualified_name(std::string_view module_path, std::string_view name) {
  std::string out;
  out.reserve(module_path.size() + 1 + name.size());
  out += module_path;
  out += '.';
  out += name;
  return out;
}

}  // namespace norvo::atlas::parser
