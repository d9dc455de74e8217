// Import and call extraction, and the rows the scan stores for them.
#include "atlas/parser/edges.h"

#include "atlas/parser/definitions.h"
#include "atlas/parser/walkers.h"

namespace norvo::atlas::parser {

// ---- imports ----------------------------------------------------------------------

void extract_imports(AstContext& cx, const ListView& body, std::vector<ImportRecord>& out) {
  const AstNames& n = cx.n;
  for (Py_ssize_t i = 0; i < body.size(); ++i) {
    PyObject* stmt = body[i];
    NodeKind k = cx.kind(stmt);
    if (k == NodeKind::Import) {
      int64_t line = opt_int(stmt, n.lineno).value_or(0);
      ListView aliases = opt_list(stmt, n.names);
      for (Py_ssize_t j = 0; j < aliases.size(); ++j) {
        std::optional<std::string> name = opt_text(aliases[j], n.name);
        if (!name || name->empty()) continue;
        ImportRecord r;
        r.module = std::move(*name);
        r.alias = opt_text(aliases[j], n.asname);
        r.line_number = line;
        out.push_back(std::move(r));
      }
    } else if (k == NodeKind::ImportFrom) {
      ImportRecord r;
      r.line_number = opt_int(stmt, n.lineno).value_or(0);
      r.module = opt_text(stmt, n.module).value_or("");
      std::optional<int64_t> level = opt_int(stmt, n.level);
      r.level = level.value_or(0);
      r.is_relative = level && *level != 0;
      ListView aliases = opt_list(stmt, n.names);
      for (Py_ssize_t j = 0; j < aliases.size(); ++j) {
        std::optional<std::string> name = opt_text(aliases[j], n.name);
        if (!name) continue;
        if (*name == "*") r.is_wildcard = true;
        else r.names.push_back(std::move(*name));
      }
      out.push_back(std::move(r));
    }
  }
}

// ---- calls ------------------------------------------------------------------------

std::string callee_text(const AstContext& cx, PyObject* func, bool* is_attribute) {
  *is_attribute = false;
  NodeKind k = cx.kind(func);
  if (k == NodeKind::Name) return opt_text(func, cx.n.id).value_or("");
  if (k != NodeKind::Attribute) return {};
  *is_attribute = true;
  // Collect the attribute chain inward (a.b.c gives c, b), then prefix the
  // innermost name when there is one; a chain ending in any other expression
  // keeps its attributes alone.
  std::vector<std::string> attrs;
  PyRef cur = PyRef::borrow(func);
  std::string head;
  bool has_head = false;
  while (true) {
    attrs.push_back(opt_text(cur.get(), cx.n.attr).value_or(""));
    PyRef value = opt_attr(cur.get(), cx.n.value);
    if (!value) break;
    NodeKind vk = cx.kind(value.get());
    if (vk == NodeKind::Attribute) {
      cur = std::move(value);
      continue;
    }
    if (vk == NodeKind::Name) {
      head = opt_text(value.get(), cx.n.id).value_or("");
      has_head = true;
    }
    break;
  }
  std::string out;
  if (has_head) out = std::move(head);
  for (size_t i = attrs.size(); i-- > 0;) {
    if (has_head || i + 1 != attrs.size()) out += '.';
    out += attrs[i];
  }
  return out;
}

namespace {

class CallWalker {
 public:
  CallWalker(const AstContext& cx, std::vector<CallSite>& out) : cx_(cx), n_(cx.n), out_(out) {}

  // Module and class level: only classes and functions are entered. `depth`
  // counts the enclosing definitions.
  Status outer(const ListView& stmts, int depth) {
    for (Py_ssize_t i = 0; i < stmts.size(); ++i) {
      PyObject* s = stmts[i];
      NodeKind k = cx_.kind(s);
      if (k != NodeKind::ClassDef && k != NodeKind::FunctionDef && k != NodeKind::AsyncFunctionDef) continue;
      if (depth >= kMaxDefinitionNesting) return fail(too_deep_error());
      size_t saved = scope_.size();
      if (!scope_.empty()) scope_ += '.';
      scope_ += opt_text(s, n_.name).value_or("");
      ListView body = opt_list(s, n_.body);
      Status st = {};
      if (k == NodeKind::ClassDef) st = outer(body, depth + 1);
      else function_body(body);
      scope_.resize(saved);
      if (!st) return st;
    }
    return {};
  }

 private:
  // A pending node of a function body. The walk is pre-order with an
  // explicit stack: children are pushed in reverse so that they pop in
  // source order, and a call is recorded when it pops, before its arguments.
  struct Work {
    PyRef node;
    bool is_statement;
    bool is_await;
  };

  void function_body(const ListView& stmts) {
    push_list(stmts, true);
    while (!stack_.empty()) {
      Work w = std::move(stack_.back());
      stack_.pop_back();
      if (w.is_statement) statement(w.node.get());
      else expr(w.node.get(), w.is_await);
    }
  }

  void push(PyRef node, bool is_statement, bool is_await = false) {
    if (node && node.get() != Py_None) stack_.push_back(Work{std::move(node), is_statement, is_await});
  }
  void push_attr(PyObject* node, PyObject* name, bool is_await = false) {
    push(opt_attr(node, name), false, is_await);
  }
  void push_list(const ListView& items, bool is_statement) {
    for (Py_ssize_t i = items.size(); i-- > 0;) push(PyRef::borrow(items[i]), is_statement);
  }
  void push_list_attr(PyObject* node, PyObject* name, bool is_statement) {
    push_list(opt_list(node, name), is_statement);
  }

  // Function-body statements; nested functions and classes are not entered.
  // Pushes happen in reverse visiting order.
  void statement(PyObject* s) {
    switch (cx_.kind(s)) {
      case NodeKind::If:
      case NodeKind::While:
        push_list_attr(s, n_.orelse, true);
        push_list_attr(s, n_.body, true);
        push_attr(s, n_.test);
        return;
      case NodeKind::For:
      case NodeKind::AsyncFor:
        push_list_attr(s, n_.body, true);
        push_attr(s, n_.iter);
        return;
      case NodeKind::Try:
      case NodeKind::TryStar: {
        // body, orelse, finalbody, then each handler's body
        ListView handlers = opt_list(s, n_.handlers);
        for (Py_ssize_t i = handlers.size(); i-- > 0;) push_list_attr(handlers[i], n_.body, true);
        push_list_attr(s, n_.finalbody, true);
        push_list_attr(s, n_.orelse, true);
        push_list_attr(s, n_.body, true);
        return;
      }
      case NodeKind::With:
      case NodeKind::AsyncWith: {
        push_list_attr(s, n_.body, true);
        ListView items = opt_list(s, n_.items);
        for (Py_ssize_t i = items.size(); i-- > 0;) push_attr(items[i], n_.context_expr);
        return;
      }
      case NodeKind::Expr:
      case NodeKind::Return:
      case NodeKind::Assign:
      case NodeKind::AnnAssign:
        push_attr(s, n_.value);
        return;
      case NodeKind::Raise:
        push_attr(s, n_.exc);
        return;
      default:
        return;
    }
  }

  void expr(PyObject* e, bool is_await) {
    switch (cx_.kind(e)) {
      case NodeKind::Call: {
        PyRef func = opt_attr(e, n_.func);
        bool is_attribute = false;
        std::string callee = func ? callee_text(cx_, func.get(), &is_attribute) : std::string();
        if (!callee.empty()) {
          out_.push_back(CallSite{scope_, std::move(callee), opt_int(e, n_.lineno).value_or(0), is_await,
                                  is_attribute});
        }
        push_list_attr(e, n_.args, false);
        return;
      }
      case NodeKind::Await:
        push_attr(e, n_.value, true);
        return;
      case NodeKind::List:
      case NodeKind::Tuple:
      case NodeKind::Set:
        push_list_attr(e, n_.elts, false);
        return;
      case NodeKind::Dict:
      case NodeKind::BoolOp:
        push_list_attr(e, n_.values, false);
        return;
      case NodeKind::BinOp:
        push_attr(e, n_.right);
        push_attr(e, n_.left);
        return;
      case NodeKind::UnaryOp:
        push_attr(e, n_.operand);
        return;
      case NodeKind::Compare:
        push_list_attr(e, n_.comparators, false);
        push_attr(e, n_.left);
        return;
      case NodeKind::IfExp:
        push_attr(e, n_.orelse);
        push_attr(e, n_.body);
        push_attr(e, n_.test);
        return;
      case NodeKind::ListComp:
      case NodeKind::SetComp:
      case NodeKind::GeneratorExp:
        push_attr(e, n_.elt);
        return;
      case NodeKind::DictComp:
        push_attr(e, n_.value);
        push_attr(e, n_.key);
        return;
      case NodeKind::Attribute:
      case NodeKind::Subscript:
        push_attr(e, n_.value);
        return;
      default:
        return;
    }
  }

  const AstContext& cx_;
  const AstNames& n_;
  std::vector<CallSite>& out_;
  std::string scope_;
  std::vector<Work> stack_;
};

}  // namespace

Status extract_calls(AstContext& cx, const ListView& body, std::vector<CallSite>& out) {
  CallWalker walker(cx, out);
  return walker.outer(body, 0);
}

// ---- rows -------------------------------------------------------------------------

ModuleMap build_module_map(const std::filesystem::path& root, std::span<const std::filesystem::path> files) {
  ModuleMap map;
  map.reserve(files.size());
  for (const auto& f : files) {
    std::string rel = relative_path_text(root, f);
    map.insert_or_assign(module_path_of(rel), std::move(rel));
  }
  return map;
}

namespace {

// "a.b.c" as the file path "a/b/c.py".
std::string dotted_to_file(std::string_view dotted) {
  std::string out(dotted);
  for (char& c : out)
    if (c == '.') c = '/';
  out += ".py";
  return out;
}

// The resolved module of a record: relative imports climb `level` parts of
// the importing module path.
std::string resolved_module(const ImportRecord& r, std::string_view module_path) {
  if (!r.is_relative) return r.module;
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t dot = module_path.find('.', start);
    parts.push_back(module_path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  size_t drop = r.level > 0 ? static_cast<size_t>(r.level) : 0;
  size_t keep = drop >= parts.size() ? 0 : parts.size() - drop;
  std::string base;
  for (size_t i = 0; i < keep; ++i) {
    if (i) base += '.';
    base += parts[i];
  }
  if (r.module.empty()) return base;
  if (base.empty()) return r.module;
  return base + "." + r.module;
}

}  // namespace

std::vector<ImportEdge> import_rows(const std::vector<ImportRecord>& imports, std::string_view source_file,
                                   std::string_view module_path, const ModuleMap& module_map) {
  std::vector<ImportEdge> rows;
  for (const auto& r : imports) {
    std::string resolved = resolved_module(r, module_path);
    ImportType type = r.is_wildcard ? ImportType::Wildcard
                      : r.is_relative ? ImportType::Relative
                      : !r.names.empty() ? ImportType::From
                                         : ImportType::Module;
    auto base_row = [&](std::string import_name, std::string target, std::optional<std::string> alias) {
      ImportEdge row;
      row.source_file = std::string(source_file);
      row.target_file = std::move(target);
      row.import_name = std::move(import_name);
      row.import_type = type;
      row.line_number = r.line_number;
      row.alias = std::move(alias);
      row.is_wildcard = r.is_wildcard;
      rows.push_back(std::move(row));
    };
    if (!r.names.empty()) {
      for (const auto& name : r.names) {
        std::string import_name = resolved.empty() ? name : resolved + "." + name;
        std::string target;
        if (auto it = module_map.find(import_name); it != module_map.end()) target = it->second;
        else if (auto it2 = module_map.find(resolved); it2 != module_map.end()) target = it2->second;
        else target = dotted_to_file(import_name);
        base_row(std::move(import_name), std::move(target), std::nullopt);
      }
    } else {
      std::string target;
      if (auto it = module_map.find(resolved); it != module_map.end()) target = it->second;
      else target = dotted_to_file(resolved);
      base_row(std::move(resolved), std::move(target), r.alias);
    }
  }
  return rows;
}

std::vector<CallEdge> call_rows(const std::vector<CallSite>& calls, std::string_view caller_file,
                               std::string_view module_path) {
  std::vector<CallEdge> rows;
  rows.reserve(calls.size());
  for (const auto& c : calls) {
    CallEdge row;
    row.caller_qualified_name = qualified_name(module_path, c.scope);
    row.callee_qualified_name = c.callee;
    row.caller_file = std::string(caller_file);
    row.line_number = c.line_number;
    row.call_type = c.is_await ? CallType::Async : c.is_attribute ? CallType::Method : CallType::Direct;
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace norvo::atlas::parser
