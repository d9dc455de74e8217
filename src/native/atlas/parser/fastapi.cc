// FastAPI and pydantic metadata: the per-file pre-passes, the per-function and
// per-class hooks of the module walk, the request-model pass and the artifact
// dependency fields.
//
// Everything is recognised by names as written in one file; nothing is
// imported or evaluated. Expression walks use explicit stacks, like the other
// walks of the parser, so deeply nested annotations cannot exhaust the C stack.
#include "atlas/parser/fastapi.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "atlas/parser/walkers.h"

namespace norvo::atlas::parser {

namespace {

// `callee` is `name` or ends with "." + `name` (Depends, fastapi.Depends).
bool names_marker(std::string_view callee, std::string_view name) {
  if (callee == name) return true;
  return callee.size() > name.size() && callee.ends_with(name) && callee[callee.size() - name.size() - 1] == '.';
}

bool is_http_method_attr(std::string_view attr) {
  static constexpr std::array<std::string_view, 7> kMethods = {"get",   "put",    "post",   "head",
                                                               "patch", "delete", "options"};
  std::string lower(attr);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return std::find(kMethods.begin(), kMethods.end(), lower) != kMethods.end();
}

bool has_tag(const std::vector<std::string>& tags, std::string_view tag) {
  return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

void push_once(std::vector<std::string>& out, const std::string& name) {
  if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
}

class MetadataReader {
 public:
  explicit MetadataReader(const AstContext& cx) : cx_(cx), n_(cx.n) {}

  // Callee text of a call node; empty for anything that is not a call.
  std::string call_callee(PyObject* node) const {
    if (!node || cx_.kind(node) != NodeKind::Call) return {};
    PyRef func = opt_attr(node, n_.func);
    if (!func) return {};
    bool is_attribute = false;
    return callee_text(cx_, func.get(), &is_attribute);
  }

  // `id` of a name node.
  std::optional<std::string> name_id(PyObject* node) const {
    if (!node || cx_.kind(node) != NodeKind::Name) return std::nullopt;
    return opt_text(node, n_.id);
  }

  // The string constant of the first keyword called `arg` whose value is one.
  std::optional<std::string> string_keyword(PyObject* call, std::string_view arg) const {
    ListView keywords = opt_list(call, n_.keywords);
    for (Py_ssize_t i = 0; i < keywords.size(); ++i) {
      std::optional<std::string> name = opt_text(keywords[i], n_.arg);
      if (!name || *name != arg) continue;
      PyRef value = opt_attr(keywords[i], n_.value);
      if (std::optional<std::string> s = string_constant(cx_, value.get())) return s;
    }
    return std::nullopt;
  }

  bool is_none_constant(PyObject* node) const {
    return cx_.kind(node) == NodeKind::Constant && !opt_attr(node, n_.value);
  }

  // A name, or an attribute chain ending in a name, as dotted text
  // (deps.get_db); nullopt for any other expression.
  std::optional<std::string> dotted_name(PyObject* node) const {
    NodeKind k = cx_.kind(node);
    if (k == NodeKind::Name) return opt_text(node, n_.id);
    if (k != NodeKind::Attribute) return std::nullopt;
    std::vector<std::string> attrs;
    PyRef cur = PyRef::borrow(node);
    while (cx_.kind(cur.get()) == NodeKind::Attribute) {
      std::optional<std::string> attr = opt_text(cur.get(), n_.attr);
      if (!attr) return std::nullopt;
      attrs.push_back(std::move(*attr));
      PyRef value = opt_attr(cur.get(), n_.value);
      if (!value) return std::nullopt;
      cur = std::move(value);
    }
    std::optional<std::string> head = name_id(cur.get());
    if (!head) return std::nullopt;
    std::string out = std::move(*head);
    for (size_t i = attrs.size(); i-- > 0;) {
      out += '.';
      out += attrs[i];
    }
    return out;
  }

  // Marker rule: for Depends(...) / Security(...), the name of the first
  // positional argument. A name gives its id and an attribute chain of names
  // its dotted text, so Depends(deps.get_db) names deps.get_db and the scan
  // can resolve it; any other argument gives the host's repr() text.
  struct Marker {
    bool is_marker = false;
    bool is_security = false;
    std::optional<std::string> name;
  };
  Result<Marker> marker(PyObject* call) const {
    Marker m;
    std::string callee = call_callee(call);
    if (callee.empty()) return m;
    bool depends = names_marker(callee, "Depends");
    bool security = !depends && names_marker(callee, "Security");
    if (!depends && !security) return m;
    m.is_marker = true;
    m.is_security = security;
    ListView args = opt_list(call, n_.args);
    if (args.size() == 0) return m;
    PyObject* first = args[0];
    if (std::optional<std::string> dotted = dotted_name(first)) m.name = std::move(dotted);
    else m.name = NORVO_TRY(repr_text(first));
    return m;
  }

  // The tuple elements of Annotated[...] (value spelled Annotated, slice a
  // tuple); an empty view for anything else.
  ListView annotated_elements(PyObject* node) const {
    if (!node || cx_.kind(node) != NodeKind::Subscript) return {};
    PyRef value = opt_attr(node, n_.value);
    if (!value) return {};
    std::optional<std::string> spelled;
    NodeKind vk = cx_.kind(value.get());
    if (vk == NodeKind::Name) spelled = opt_text(value.get(), n_.id);
    else if (vk == NodeKind::Attribute) spelled = opt_text(value.get(), n_.attr);
    if (!spelled || *spelled != "Annotated") return {};
    PyRef slice = opt_attr(node, n_.slice);
    if (!slice || cx_.kind(slice.get()) != NodeKind::Tuple) return {};
    return opt_list(slice.get(), n_.elts);
  }

  // Annotated rule: the first element that is a marker call with a name.
  Result<std::optional<FastapiTables::Alias>> annotated_dependency(PyObject* node) const {
    ListView elts = annotated_elements(node);
    for (Py_ssize_t i = 0; i < elts.size(); ++i) {
      if (cx_.kind(elts[i]) != NodeKind::Call) continue;
      Marker m = NORVO_TRY(marker(elts[i]));
      if (m.name) return FastapiTables::Alias{std::move(*m.name), m.is_security};
    }
    return std::nullopt;
  }

  // A constant inside a type expression: a str gives its content (a quoted
  // forward reference), the ellipsis "...", any other payload its repr()
  // (None, 1, True), so that str | None and tuple[int, ...] keep their parts.
  std::string constant_text(PyObject* node) const {
    PyRef payload = opt_attr(node, n_.value);
    if (!payload) return "None";  // the payload None reads as absent
    if (std::optional<std::string> s = str_value(payload.get())) return *s;
    if (PyUnicode_Check(payload.get())) return {};  // a str that is not valid UTF-8
    if (payload.get() == Py_Ellipsis) return "...";
    PyRef r = PyRef::steal(PyObject_Repr(payload.get()));
    if (!r) {
      PyErr_Clear();
      return {};
    }
    return str_value(r.get()).value_or("");
  }

  // Type-text rule: Name -> id; Attribute -> value "." attr (attr alone when
  // the value renders empty); Subscript -> value "[" slice "]" with a tuple
  // slice joined by ", "; BinOp -> left " | " right; a Constant ->
  // constant_text; anything else -> empty.
  std::string type_text(PyObject* root) const {
    struct Work {
      PyRef node;             // a node to render, or
      std::string literal;    // text to emit, or
      size_t dot_mark = npos;  // emit "." when the output grew past this mark
      bool tuple_slice = false;
    };
    std::string out;
    std::vector<Work> stack;
    stack.push_back(Work{PyRef::borrow(root), {}, npos, false});
    while (!stack.empty()) {
      Work w = std::move(stack.back());
      stack.pop_back();
      if (w.dot_mark != npos) {
        if (out.size() > w.dot_mark) out += '.';
        continue;
      }
      if (!w.node) {
        out += w.literal;
        continue;
      }
      PyObject* node = w.node.get();
      switch (cx_.kind(node)) {
        case NodeKind::Name:
          out += opt_text(node, n_.id).value_or("");
          break;
        case NodeKind::Attribute:
          // Pushed in reverse: value, then the conditional dot, then attr.
          stack.push_back(Work{{}, opt_text(node, n_.attr).value_or(""), npos, false});
          stack.push_back(Work{{}, {}, out.size(), false});
          push_node(stack, opt_attr(node, n_.value));
          break;
        case NodeKind::Subscript: {
          stack.push_back(Work{{}, "]", npos, false});
          PyRef slice = opt_attr(node, n_.slice);
          if (slice && cx_.kind(slice.get()) == NodeKind::Tuple) {
            ListView elts = opt_list(slice.get(), n_.elts);
            for (Py_ssize_t i = elts.size(); i-- > 0;) {
              stack.push_back(Work{PyRef::borrow(elts[i]), {}, npos, false});
              if (i > 0) stack.push_back(Work{{}, ", ", npos, false});
            }
          } else {
            push_node(stack, std::move(slice));
          }
          stack.push_back(Work{{}, "[", npos, false});
          push_node(stack, opt_attr(node, n_.value));
          break;
        }
        case NodeKind::BinOp:
          push_node(stack, opt_attr(node, n_.right));
          stack.push_back(Work{{}, " | ", npos, false});
          push_node(stack, opt_attr(node, n_.left));
          break;
        case NodeKind::Constant:
          out += constant_text(node);
          break;
        default:
          break;
      }
    }
    return out;
  }

  // Type-names rule, pre-order, duplicates kept: a name gives its id; an
  // attribute its attr, then its value's names; a subscript its value's, then
  // its slice's; a tuple or list each element's; a BinOp left, then right.
  void type_names(PyObject* root, std::vector<std::string>& out) const {
    std::vector<PyRef> stack;
    stack.push_back(PyRef::borrow(root));
    while (!stack.empty()) {
      PyRef node = std::move(stack.back());
      stack.pop_back();
      switch (cx_.kind(node.get())) {
        case NodeKind::Name:
          if (std::optional<std::string> id = opt_text(node.get(), n_.id)) out.push_back(std::move(*id));
          break;
        case NodeKind::Attribute:
          if (std::optional<std::string> attr = opt_text(node.get(), n_.attr)) out.push_back(std::move(*attr));
          push_ref(stack, opt_attr(node.get(), n_.value));
          break;
        case NodeKind::Subscript:
          push_ref(stack, opt_attr(node.get(), n_.slice));
          push_ref(stack, opt_attr(node.get(), n_.value));
          break;
        case NodeKind::Tuple:
        case NodeKind::List: {
          ListView elts = opt_list(node.get(), n_.elts);
          for (Py_ssize_t i = elts.size(); i-- > 0;) stack.push_back(PyRef::borrow(elts[i]));
          break;
        }
        case NodeKind::BinOp:
          push_ref(stack, opt_attr(node.get(), n_.right));
          push_ref(stack, opt_attr(node.get(), n_.left));
          break;
        default:
          break;
      }
    }
  }

  // Body marker of a call: Body(...) / fastapi.Body(...), with its `embed`
  // keyword when that is a boolean constant.
  bool body_marker(PyObject* call, ParamInfo& p) const {
    if (!names_marker(call_callee(call), "Body")) return false;
    p.is_body = true;
    ListView keywords = opt_list(call, n_.keywords);
    for (Py_ssize_t i = 0; i < keywords.size(); ++i) {
      std::optional<std::string> name = opt_text(keywords[i], n_.arg);
      if (!name || *name != "embed") continue;
      PyRef value = opt_attr(keywords[i], n_.value);
      if (!value || cx_.kind(value.get()) != NodeKind::Constant) continue;
      PyRef payload = opt_attr(value.get(), n_.value);
      if (payload && PyBool_Check(payload.get())) p.body_embed = payload.get() == Py_True;
    }
    return true;
  }

  // One parameter from its annotation and default nodes (either may be null).
  Status param(const FastapiTables& tables, ParamInfo& p, PyObject* annotation, PyObject* default_node) const {
    if (annotation) {
      p.annotation = NORVO_TRY(repr_text(annotation));
      type_names(annotation, p.type_names);
    }
    if (default_node) p.default_value = NORVO_TRY(repr_text(default_node));

    if (annotation) {
      if (cx_.kind(annotation) == NodeKind::Name) {
        if (std::optional<std::string> id = opt_text(annotation, n_.id)) {
          if (*id == "BackgroundTasks") p.is_background_tasks = true;
          if (auto it = tables.dependency_alias_map.find(*id); it != tables.dependency_alias_map.end()) {
            p.dependency = it->second.dependency;
            p.is_security = it->second.is_security;
            p.is_dependency = true;
          }
        }
      } else if (auto alias = NORVO_TRY(annotated_dependency(annotation))) {
        p.dependency = std::move(alias->dependency);
        p.is_security = alias->is_security;
        p.is_dependency = true;
      }
    }

    if (default_node && cx_.kind(default_node) == NodeKind::Call) {
      std::string callee = call_callee(default_node);
      bool depends = names_marker(callee, "Depends");
      bool security = names_marker(callee, "Security");
      if (depends || security) {
        p.is_dependency = true;
        if (security) p.is_security = true;
        if (!p.dependency) p.dependency = NORVO_TRY(marker(default_node)).name;
      }
      if (names_marker(callee, "BackgroundTasks")) p.is_background_tasks = true;
    }

    if (p.dependency && tables.security_scheme_vars.contains(*p.dependency)) p.is_security = true;

    bool body = default_node && cx_.kind(default_node) == NodeKind::Call && body_marker(default_node, p);
    if (!body && annotation) {
      ListView elts = annotated_elements(annotation);
      for (Py_ssize_t i = 0; i < elts.size(); ++i)
        if (cx_.kind(elts[i]) == NodeKind::Call && body_marker(elts[i], p)) break;
    }
    return {};
  }

  // Every parameter of an `arguments` node, in declaration order.
  Status params(const FastapiTables& tables, PyObject* args, std::vector<ParamInfo>& out) const {
    ListView posonly = opt_list(args, n_.posonlyargs);
    ListView plain = opt_list(args, n_.args);
    ListView defaults = opt_list(args, n_.defaults);
    // The k-th of D defaults belongs to positional parameter P - D + k.
    Py_ssize_t total = posonly.size() + plain.size();
    Py_ssize_t first_default = total - defaults.size();
    for (Py_ssize_t i = 0; i < total; ++i) {
      PyObject* a = i < posonly.size() ? posonly[i] : plain[i - posonly.size()];
      PyObject* d = nullptr;
      if (i >= first_default && i - first_default < defaults.size()) d = defaults[i - first_default];
      NORVO_TRY(one(tables, a, ParamKind::Positional, d, out));
    }
    if (PyRef vararg = opt_attr(args, n_.vararg)) NORVO_TRY(one(tables, vararg.get(), ParamKind::Star, nullptr, out));
    ListView kwonly = opt_list(args, n_.kwonlyargs);
    ListView kw_defaults = opt_list(args, n_.kw_defaults);
    for (Py_ssize_t i = 0; i < kwonly.size(); ++i) {
      PyObject* d = i < kw_defaults.size() ? kw_defaults[i] : nullptr;
      if (d == Py_None) d = nullptr;
      NORVO_TRY(one(tables, kwonly[i], ParamKind::KeywordOnly, d, out));
    }
    if (PyRef kwarg = opt_attr(args, n_.kwarg)) NORVO_TRY(one(tables, kwarg.get(), ParamKind::DoubleStar, nullptr, out));
    return {};
  }

  // Response models of route decorators: response_model keywords rendered
  // by the type-text rule, each once.
  void response_models(const ListView& decorators, std::vector<std::string>& out) const {
    for (Py_ssize_t i = 0; i < decorators.size(); ++i) {
      PyObject* dec = decorators[i];
      if (cx_.kind(dec) != NodeKind::Call) continue;
      PyRef func = opt_attr(dec, n_.func);
      if (!func || cx_.kind(func.get()) != NodeKind::Attribute) continue;
      std::optional<std::string> attr = opt_text(func.get(), n_.attr);
      if (!attr || !is_http_method_attr(*attr)) continue;
      ListView keywords = opt_list(dec, n_.keywords);
      for (Py_ssize_t j = 0; j < keywords.size(); ++j) {
        std::optional<std::string> name = opt_text(keywords[j], n_.arg);
        if (!name || *name != "response_model") continue;
        PyRef value = opt_attr(keywords[j], n_.value);
        if (!value || is_none_constant(value.get())) continue;  // response_model=None: no model
        std::string text = type_text(value.get());
        if (!text.empty()) push_once(out, text);
      }
    }
  }

  // The pydantic summaries of a class body, as compact JSON (absent when empty).
  Status pydantic_summaries(PyObject* cls, Definition& def) const {
    using ordered_json = nlohmann::ordered_json;
    struct Field {
      std::string name;
      std::optional<std::string> type_expr;
      bool has_default;
    };
    struct Validator {
      std::string name, kind;
      std::vector<std::string> fields;
      std::optional<std::string> mode;
    };
    std::vector<Field> fields;
    std::vector<Validator> validators;
    ListView body = opt_list(cls, n_.body);
    for (Py_ssize_t i = 0; i < body.size(); ++i) {
      PyObject* s = body[i];
      NodeKind k = cx_.kind(s);
      if (k == NodeKind::AnnAssign) {
        PyRef target = opt_attr(s, n_.target);
        std::optional<std::string> name;
        if (target) name = opt_text(target.get(), cx_.kind(target.get()) == NodeKind::Attribute ? n_.attr : n_.id);
        if (!name) continue;
        PyRef annotation = opt_attr(s, n_.annotation);
        std::optional<std::string> type_expr;
        if (annotation) {
          std::string t = type_text(annotation.get());
          if (!t.empty()) type_expr = std::move(t);
        }
        fields.push_back(Field{std::move(*name), std::move(type_expr), static_cast<bool>(opt_attr(s, n_.value))});
      } else if (k == NodeKind::FunctionDef || k == NodeKind::AsyncFunctionDef) {
        std::optional<std::string> method = opt_text(s, n_.name);
        if (!method) continue;  // the definition walk fails the file on it
        ListView decorators = opt_list(s, n_.decorator_list);
        for (Py_ssize_t j = 0; j < decorators.size(); ++j) {
          PyObject* dec = decorators[j];
          std::optional<std::string> named = validator_decorator_name(cx_, dec);
          if (!named) continue;
          Validator v{*method, {}, {}, std::nullopt};
          if (cx_.kind(dec) != NodeKind::Call) {
            v.kind = std::move(*named);
          } else {
            std::string callee = call_callee(dec);
            size_t dot = callee.rfind('.');
            v.kind = dot == std::string::npos ? callee : callee.substr(dot + 1);
            if (v.kind != "field_validator" && v.kind != "model_validator" && v.kind != "validator") continue;
            ListView args = opt_list(dec, n_.args);
            for (Py_ssize_t a = 0; a < args.size(); ++a)
              if (std::optional<std::string> f = string_constant(cx_, args[a])) v.fields.push_back(std::move(*f));
            std::sort(v.fields.begin(), v.fields.end());
            v.mode = string_keyword(dec, "mode");
          }
          validators.push_back(std::move(v));
        }
      }
    }

    std::stable_sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.name < b.name; });
    std::stable_sort(validators.begin(), validators.end(), [](const Validator& a, const Validator& b) {
      if (a.name != b.name) return a.name < b.name;
      if (a.kind != b.kind) return a.kind < b.kind;
      return a.mode < b.mode;  // an absent mode sorts first
    });

    if (!fields.empty()) {
      ordered_json arr = ordered_json::array();
      for (auto& f : fields) {
        ordered_json o;
        o["name"] = f.name;
        o["type_expr"] = f.type_expr ? ordered_json(*f.type_expr) : ordered_json(nullptr);
        o["has_default"] = f.has_default;
        arr.push_back(std::move(o));
      }
      def.pydantic_fields_summary = NORVO_TRY(serialize(arr, "Failed to serialize pydantic_fields_summary: "));
    }
    if (!validators.empty()) {
      ordered_json arr = ordered_json::array();
      for (auto& v : validators) {
        ordered_json o;
        o["name"] = v.name;
        o["kind"] = v.kind;
        o["fields"] = v.fields;
        o["mode"] = v.mode ? ordered_json(*v.mode) : ordered_json(nullptr);
        arr.push_back(std::move(o));
      }
      def.pydantic_validators_summary =
          NORVO_TRY(serialize(arr, "Failed to serialize pydantic_validators_summary: "));
    }
    return {};
  }

 private:
  static constexpr size_t npos = std::string::npos;

  template <class W>
  static void push_node(std::vector<W>& stack, PyRef node) {
    if (node) stack.push_back(W{std::move(node), {}, npos, false});
  }
  static void push_ref(std::vector<PyRef>& stack, PyRef node) {
    if (node) stack.push_back(std::move(node));
  }

  Status one(const FastapiTables& tables, PyObject* arg, ParamKind kind, PyObject* default_node,
             std::vector<ParamInfo>& out) const {
    std::optional<std::string> name = opt_text(arg, n_.arg);
    if (!name) return {};
    ParamInfo p;
    p.name = std::move(*name);
    p.kind = kind;
    PyRef annotation = opt_attr(arg, n_.annotation);
    NORVO_TRY(param(tables, p, annotation.get(), default_node));
    out.push_back(std::move(p));
    return {};
  }

  static Result<std::string> serialize(const nlohmann::ordered_json& value, std::string_view prefix) {
    try {
      return value.dump();
    } catch (const nlohmann::json::exception& e) {
      return fail(walk_error(std::string(prefix) + e.what()));
    }
  }

  const AstContext& cx_;
  const AstNames& n_;
};

std::vector<FastapiRole> roles_of(const std::vector<std::string>& tags) {
  std::vector<FastapiRole> roles;
  if (has_tag(tags, "fastapi_route")) roles.push_back(FastapiRole::RouteHandler);
  if (has_tag(tags, "fastapi_middleware")) roles.push_back(FastapiRole::Middleware);
  if (has_tag(tags, "fastapi_lifespan_startup")) roles.push_back(FastapiRole::LifespanStartup);
  if (has_tag(tags, "fastapi_lifespan_shutdown")) roles.push_back(FastapiRole::LifespanShutdown);
  return roles;
}

}  // namespace

Status fastapi_prepasses(AstContext& cx, const ListView& module_body, FastapiTables& tables) {
  const AstNames& n = cx.n;
  MetadataReader reader(cx);
  // Router prefixes, aliases and schemes read only assignments and write
  // separate tables, so one loop serves them; included prefixes read the
  // finished prefix table and run afterwards.
  for (Py_ssize_t i = 0; i < module_body.size(); ++i) {
    PyObject* stmt = module_body[i];
    if (cx.kind(stmt) != NodeKind::Assign) continue;
    ListView targets = opt_list(stmt, n.targets);
    if (targets.size() == 0) continue;
    std::optional<std::string> target = reader.name_id(targets[0]);
    if (!target) continue;
    PyRef value = opt_attr(stmt, n.value);
    if (!value) continue;
    NodeKind vk = cx.kind(value.get());
    if (vk == NodeKind::Call) {
      PyRef func = opt_attr(value.get(), n.func);
      if (!func) continue;
      NodeKind fk = cx.kind(func.get());
      std::optional<std::string> spelled = fk == NodeKind::Name        ? opt_text(func.get(), n.id)
                                           : fk == NodeKind::Attribute ? opt_text(func.get(), n.attr)
                                                                       : std::nullopt;
      if (spelled && *spelled == "APIRouter") {
        ListView keywords = opt_list(value.get(), n.keywords);
        for (Py_ssize_t k = 0; k < keywords.size(); ++k) {
          std::optional<std::string> arg = opt_text(keywords[k], n.arg);
          if (!arg || *arg != "prefix") continue;
          PyRef kv = opt_attr(keywords[k], n.value);
          if (std::optional<std::string> prefix = string_constant(cx, kv.get()))
            tables.router_prefix_map.insert_or_assign(*target, std::move(*prefix));
        }
      }
      bool is_attribute = false;
      if (names_marker(callee_text(cx, func.get(), &is_attribute), "OAuth2PasswordBearer"))
        tables.security_scheme_vars.insert(*target);
    } else if (vk == NodeKind::Subscript) {
      if (auto alias = NORVO_TRY(reader.annotated_dependency(value.get())))
        tables.dependency_alias_map.insert_or_assign(*target, std::move(*alias));
    }
  }

  for (Py_ssize_t i = 0; i < module_body.size(); ++i) {
    PyObject* stmt = module_body[i];
    if (cx.kind(stmt) != NodeKind::Expr) continue;
    PyRef call = opt_attr(stmt, n.value);
    if (!call || cx.kind(call.get()) != NodeKind::Call) continue;
    PyRef func = opt_attr(call.get(), n.func);
    if (!func || cx.kind(func.get()) != NodeKind::Attribute) continue;
    std::optional<std::string> attr = opt_text(func.get(), n.attr);
    if (!attr || *attr != "include_router") continue;
    ListView args = opt_list(call.get(), n.args);
    std::optional<std::string> router = args.size() > 0 ? reader.name_id(args[0]) : std::nullopt;
    std::optional<std::string> prefix = reader.string_keyword(call.get(), "prefix");
    if (!router || !prefix) continue;
    PyRef owner_node = opt_attr(func.get(), n.value);
    std::optional<std::string> owner = reader.name_id(owner_node.get());
    std::string full;
    if (owner) {
      if (auto it = tables.router_prefix_map.find(*owner); it != tables.router_prefix_map.end()) full = it->second;
    }
    full += *prefix;
    if (auto it = tables.router_prefix_map.find(*router); it != tables.router_prefix_map.end()) full += it->second;
    tables.router_prefix_map.insert_or_assign(*router, std::move(full));
  }
  return {};
}

Status fastapi_function_metadata(AstContext& cx, const FastapiTables& tables, PyObject* fn, PyObject* args,
                                 Definition& def) {
  MetadataReader reader(cx);
  reader.response_models(opt_list(fn, cx.n.decorator_list), def.response_models);
  NORVO_TRY(reader.params(tables, args, def.params));
  def.fastapi_roles = roles_of(def.tags);
  for (const auto& t : def.tags) {
    if (!t.starts_with("router_")) continue;
    if (auto it = tables.router_prefix_map.find(t.substr(7)); it != tables.router_prefix_map.end())
      def.router_prefix = it->second;
    break;
  }
  return {};
}

Status fastapi_class_metadata(AstContext& cx, PyObject* cls, Definition& def) {
  def.fastapi_roles = roles_of(def.tags);
  if (!has_tag(def.tags, "pydantic_model")) return {};
  return MetadataReader(cx).pydantic_summaries(cls, def);
}

void fastapi_request_models(std::vector<Definition>& defs) {
  std::unordered_set<std::string_view> models;
  for (const auto& d : defs)
    if (has_tag(d.tags, "pydantic_model")) models.insert(d.name);
  for (auto& d : defs) {
    if (!has_tag(d.tags, "fastapi_route")) continue;
    std::vector<std::string> found;
    for (const auto& p : d.params) {
      if (p.is_dependency || p.is_background_tasks) continue;
      for (const auto& t : p.type_names)
        if (models.contains(t)) push_once(found, t);
    }
    d.request_models = std::move(found);
  }
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
