// Test driver for the Python source extraction: embeds the interpreter, runs
// PythonAstParser over the files named on the command line and prints what it
// extracted (or the error) as JSON on standard output.
//
//   parser_check [options] FILE...
//     --root DIR        also print the module map over FILE... and each
//                       file's import rows and call rows relative to DIR
//     --twice           parse every file a second time with the same parser
//     --log LEVEL       turn logging on (records go to standard error)
//     --release-gil     call the parser without holding the interpreter lock
//     --break-ast-before-create / --break-ast-after-create
//                       make `import ast` fail before/after the parser exists
//     --leak ROUNDS     parse FILE... ROUNDS times (fresh parser each round,
//                       each file twice) and print memory figures per round
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "atlas/parser/python_ast.h"
#include "core/logging.h"

using nlohmann::ordered_json;
namespace fs = std::filesystem;
namespace p = norvo::atlas::parser;

namespace {

ordered_json opt(const std::optional<std::string>& v) { return v ? ordered_json(*v) : ordered_json(nullptr); }

template <class T>
ordered_json opt_num(const std::optional<T>& v) {
  return v ? ordered_json(*v) : ordered_json(nullptr);
}

ordered_json error_json(const norvo::AtlasError& e) {
  const char* kind = e.kind == norvo::ErrorKind::ParseFailed   ? "ParseFailed"
                     : e.kind == norvo::ErrorKind::SyntaxError ? "SyntaxError"
                                                               : "Other";
  return ordered_json{{"kind", kind}, {"path", e.path}, {"line", e.line}, {"message", e.message},
                      {"text", e.to_string()}};
}

ordered_json definition_json(const p::Definition& d) {
  ordered_json roles = ordered_json::array();
  for (auto r : d.fastapi_roles) roles.push_back(static_cast<int>(r));
  return ordered_json{
      {"name", d.name},
      {"kind", std::string(p::definition_kind_text(d.kind))},
      {"artifact_kind", std::string(p::artifact_kind_text(d))},
      {"http_method", opt(p::http_method(d.tags))},
      {"line_start", d.line_start},
      {"line_end", d.line_end},
      {"is_async", d.is_async},
      {"has_yield", d.has_yield},
      {"signature", opt(d.signature)},
      {"docstring", opt(d.docstring)},
      {"tags", d.tags},
      {"bases", d.bases},
      {"field_count", opt_num(d.field_count)},
      {"validator_count", opt_num(d.validator_count)},
      {"route_path", opt(d.route_path)},
      {"router_prefix", opt(d.router_prefix)},
      {"fastapi_roles", roles},
      {"params", d.params.size()},
      {"request_models", d.request_models},
      {"response_models", d.response_models},
      {"pydantic_fields_summary", opt(d.pydantic_fields_summary)},
      {"pydantic_validators_summary", opt(d.pydantic_validators_summary)},
  };
}

ordered_json result_json(const p::ParseResult& r) {
  ordered_json defs = ordered_json::array(), imports = ordered_json::array(), calls = ordered_json::array();
  for (const auto& d : r.definitions) defs.push_back(definition_json(d));
  for (const auto& i : r.imports)
    imports.push_back({{"module", i.module},
                       {"names", i.names},
                       {"alias", opt(i.alias)},
                       {"line_number", i.line_number},
                       {"level", i.level},
                       {"is_relative", i.is_relative},
                       {"is_wildcard", i.is_wildcard}});
  for (const auto& c : r.calls)
    calls.push_back({{"scope", c.scope},
                     {"callee", c.callee},
                     {"line_number", c.line_number},
                     {"is_await", c.is_await},
                     {"is_attribute", c.is_attribute}});
  return ordered_json{{"content_hash", r.content_hash}, {"line_count", r.line_count}, {"from_cache", r.from_cache},
                      {"definitions", defs},          {"imports", imports},           {"calls", calls}};
}

ordered_json outcome_json(const norvo::Result<p::ParseResult>& r) {
  if (!r) return ordered_json{{"ok", false}, {"error", error_json(r.error())}};
  return ordered_json{{"ok", true}, {"result", result_json(*r)}};
}

void break_ast() { PyRun_SimpleString("import sys; sys.modules['ast'] = None"); }

long long python_int(const char* expr) {
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  PyObject* globals = PyModule_GetDict(main);       // borrowed
  PyObject* v = PyRun_String(expr, Py_eval_input, globals, globals);
  if (!v) {
    PyErr_Print();
    return -1;
  }
  long long x = PyLong_AsLongLong(v);
  Py_DECREF(v);
  return x;
}

long rss_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int run_leak(int rounds, const std::vector<fs::path>& files) {
  PyRun_SimpleString("import sys, gc");
  ordered_json blocks = ordered_json::array(), rss = ordered_json::array(), objects = ordered_json::array();
  size_t ok = 0, failed = 0;
  for (int round = 0; round < rounds; ++round) {
    {
      auto parser = p::PythonAstParser::create();
      if (!parser) {
        std::cerr << parser.error().to_string() << "\n";
        return 2;
      }
      for (int pass = 0; pass < 2; ++pass)
        for (const auto& f : files) {
          auto r = parser->parse_file(f);
          r ? ++ok : ++failed;
        }
    }
    python_int("gc.collect()");
    blocks.push_back(python_int("sys.getallocatedblocks()"));
    objects.push_back(python_int("len(gc.get_objects())"));
    rss.push_back(rss_kb());
  }
  ordered_json out{{"ok", ok}, {"failed", failed}, {"blocks", blocks}, {"gc_objects", objects}, {"rss_kb", rss}};
  std::cout << out.dump() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  std::optional<fs::path> root;
  std::optional<std::string> log_level;
  bool twice = false, release_gil = false, break_before = false, break_after = false;
  int leak_rounds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc) root = argv[++i];
    else if (a == "--log" && i + 1 < argc) log_level = argv[++i];
    else if (a == "--leak" && i + 1 < argc) leak_rounds = std::atoi(argv[++i]);
    else if (a == "--twice") twice = true;
    else if (a == "--release-gil") release_gil = true;
    else if (a == "--break-ast-before-create") break_before = true;
    else if (a == "--break-ast-after-create") break_after = true;
    else files.emplace_back(a);
  }

  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  // Let the path calculation find the standard library of the interpreter
  // the module is built for.
  PyConfig_SetBytesString(&config, &config.program_name, NORVO_PYTHON_EXECUTABLE);
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  if (log_level) norvo::log::init(*log_level);

  int rc = 0;
  if (leak_rounds > 0) {
    rc = run_leak(leak_rounds, files);
  } else {
    if (break_before) break_ast();
    auto parser = p::PythonAstParser::create();
    if (!parser) {
      std::cout << ordered_json{{"create_error", error_json(parser.error())}}.dump() << "\n";
    } else {
      if (break_after) break_ast();
      PyThreadState* saved = release_gil ? PyEval_SaveThread() : nullptr;
      ordered_json out = ordered_json::array();
      for (const auto& f : files) {
        ordered_json item = outcome_json(parser->parse_file(f));
        item["file"] = f.string();
        if (twice) item["second"] = outcome_json(parser->parse_file(f));
        out.push_back(std::move(item));
      }
      ordered_json doc{{"files", out}};
      if (root) {
        p::ModuleMap map = p::build_module_map(*root, files);
        ordered_json jmap = ordered_json::object();
        for (const auto& [k, v] : map) jmap[k] = v;
        ordered_json rows = ordered_json::array();
        // A fresh parser: the first one would answer from its cache.
        auto fresh = p::PythonAstParser::create();
        for (const auto& f : files) {
          auto r = fresh->parse_file(f);
          if (!r) continue;
          std::string rel = p::relative_path_text(*root, f);
          std::string mod = p::module_path_of(rel);
          ordered_json imports = ordered_json::array(), calls = ordered_json::array();
          for (const auto& row : p::import_rows(r->imports, rel, mod, map))
            imports.push_back({{"source_file", row.source_file},
                               {"target_file", row.target_file},
                               {"import_name", row.import_name},
                               {"import_type", std::string(p::import_type_text(row.import_type))},
                               {"line_number", row.line_number},
                               {"alias", opt(row.alias)},
                               {"is_wildcard", row.is_wildcard ? 1 : 0}});
          for (const auto& row : p::call_rows(r->calls, rel, mod))
            calls.push_back({{"caller_qualified_name", row.caller_qualified_name},
                             {"callee_qualified_name", row.callee_qualified_name},
                             {"caller_file", row.caller_file},
                             {"line_number", row.line_number},
                             {"call_type", std::string(p::call_type_text(row.call_type))}});
          rows.push_back({{"file", rel}, {"module_path", mod}, {"import_rows", imports}, {"call_rows", calls}});
        }
        doc["module_map"] = jmap;
        doc["rows"] = rows;
      }
      if (saved) PyEval_RestoreThread(saved);
      std::cout << doc.dump() << "\n";
    }
  }
  if (Py_FinalizeEx() < 0) rc = rc ? rc : 3;
  return rc;
}
