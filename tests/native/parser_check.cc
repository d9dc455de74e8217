// Test driver for the Python source extraction: embeds the interpreter, runs
// PythonAstParser over the files named on the command line and prints what it
// extracted (or the error) as JSON on standard output.
//
//   parser_check [options] FILE...
//     --root DIR        also print the module map over FILE... and each
//                       file's import rows and call rows relative to DIR
//     --twice           parse every file a second time with the same parser
//     --touch-between   with --twice: append a comment line to the file
//                       between the two parses
//     --log LEVEL       turn logging on (records go to standard error)
//     --release-gil     call the parser without holding the interpreter lock
//     --python CODE     run Python code before the parser is created
//     --python-after CODE
//                       run Python code after the parser is created (e.g. to
//                       make `import ast` fail, or to replace ast.parse with a
//                       function returning hand-built trees)
//     --leak ROUNDS     parse FILE... ROUNDS times (fresh parser each round,
//                       each file twice) and print memory figures per round
//     --no-parser       with --leak: measure rounds that parse nothing
//     --bench ROUNDS    time parsing FILE... (fresh parser each round) against
//                       a Python loop that reads them and calls ast.parse;
//                       prints the seconds of each round (a measurement, not a test)
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
  for (auto r : d.fastapi_roles) roles.push_back(std::string(p::fastapi_role_text(r)));
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

long rss_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Calls a no-argument function of a module and returns its integer result.
long long call_int(PyObject* fn) {
  PyObject* v = PyObject_CallNoArgs(fn);
  if (!v) {
    PyErr_Print();
    return -1;
  }
  long long x = PyLong_Check(v) ? PyLong_AsLongLong(v) : static_cast<long long>(PyObject_Length(v));
  Py_DECREF(v);
  return x;
}

// With `create_parser` false the rounds only measure the measuring itself.
int run_leak(int rounds, const std::vector<fs::path>& files, bool create_parser) {
  PyObject* sys = PyImport_ImportModule("sys");
  PyObject* gc = PyImport_ImportModule("gc");
  PyObject* blocks_fn = PyObject_GetAttrString(sys, "getallocatedblocks");
  PyObject* collect_fn = PyObject_GetAttrString(gc, "collect");
  PyObject* objects_fn = PyObject_GetAttrString(gc, "get_objects");
  ordered_json blocks = ordered_json::array(), rss = ordered_json::array(), objects = ordered_json::array();
  size_t ok = 0, failed = 0;
  for (int round = 0; round < rounds; ++round) {
    if (create_parser) {
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
    call_int(collect_fn);
    objects.push_back(call_int(objects_fn));
    blocks.push_back(call_int(blocks_fn));
    rss.push_back(rss_kb());
  }
  Py_DECREF(objects_fn);
  Py_DECREF(collect_fn);
  Py_DECREF(blocks_fn);
  Py_DECREF(gc);
  Py_DECREF(sys);
  ordered_json out{{"ok", ok}, {"failed", failed}, {"blocks", blocks}, {"gc_objects", objects}, {"rss_kb", rss}};
  std::cout << out.dump() << "\n";
  return 0;
}

double python_float(const char* expr) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main);
  PyObject* v = PyRun_String(expr, Py_eval_input, globals, globals);
  if (!v) {
    PyErr_Print();
    return -1;
  }
  double x = PyFloat_AsDouble(v);
  Py_DECREF(v);
  return x;
}

int run_bench(int rounds, const std::vector<fs::path>& files) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* list = PyList_New(0);
  for (const auto& f : files) {
    PyObject* s = PyUnicode_DecodeFSDefault(f.c_str());
    PyList_Append(list, s);
    Py_DECREF(s);
  }
  PyModule_AddObject(main, "FILES", list);
  PyRun_SimpleString(
      "import ast, time\n"
      "def floor():\n"
      "    t = time.perf_counter()\n"
      "    for f in FILES:\n"
      "        try:\n"
      "            with open(f, encoding='utf-8') as fh: src = fh.read()\n"
      "            ast.parse(src)\n"
      "        except Exception: pass\n"
      "    return time.perf_counter() - t\n");
  ordered_json floor = ordered_json::array(), ours = ordered_json::array();
  size_t failed = 0;
  for (int round = 0; round < rounds; ++round) {
    floor.push_back(python_float("floor()"));
    double t0 = python_float("time.perf_counter()");
    {
      auto parser = p::PythonAstParser::create();
      for (const auto& f : files)
        if (!parser->parse_file(f)) ++failed;
    }
    ours.push_back(python_float("time.perf_counter()") - t0);
  }
  std::cout << ordered_json{{"files", files.size()}, {"failed", failed}, {"floor_s", floor}, {"parser_s", ours}}.dump()
            << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  std::optional<fs::path> root;
  std::optional<std::string> log_level;
  bool twice = false, touch = false, no_parser = false, release_gil = false;
  std::vector<std::string> code_before, code_after;
  int leak_rounds = 0, bench_rounds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--root" && i + 1 < argc) root = argv[++i];
    else if (a == "--log" && i + 1 < argc) log_level = argv[++i];
    else if (a == "--leak" && i + 1 < argc) leak_rounds = std::atoi(argv[++i]);
    else if (a == "--bench" && i + 1 < argc) bench_rounds = std::atoi(argv[++i]);
    else if (a == "--twice") twice = true;
    else if (a == "--touch-between") touch = true;
    else if (a == "--no-parser") no_parser = true;
    else if (a == "--release-gil") release_gil = true;
    else if (a == "--python" && i + 1 < argc) code_before.emplace_back(argv[++i]);
    else if (a == "--python-after" && i + 1 < argc) code_after.emplace_back(argv[++i]);
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
  for (const auto& code : code_before)
    if (PyRun_SimpleString(code.c_str()) != 0) return 4;
  if (leak_rounds > 0) {
    rc = run_leak(leak_rounds, files, !no_parser);
  } else if (bench_rounds > 0) {
    rc = run_bench(bench_rounds, files);
  } else {
    auto parser = p::PythonAstParser::create();
    if (!parser) {
      std::cout << ordered_json{{"create_error", error_json(parser.error())}}.dump() << "\n";
    } else {
      for (const auto& code : code_after)
        if (PyRun_SimpleString(code.c_str()) != 0) return 4;
      PyThreadState* saved = release_gil ? PyEval_SaveThread() : nullptr;
      ordered_json out = ordered_json::array();
      for (const auto& f : files) {
        ordered_json item = outcome_json(parser->parse_file(f));
        item["file"] = f.string();
        if (touch) std::ofstream(f, std::ios::app) << "# touched\n";
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
                               {"import_type", std::string(norvo::atlas::import_type_text(row.import_type))},
                               {"line_number", row.line_number},
                               {"alias", opt(row.alias)},
                               {"is_wildcard", row.is_wildcard ? 1 : 0}});
          for (const auto& row : p::call_rows(r->calls, rel, mod))
            calls.push_back({{"caller_qualified_name", row.caller_qualified_name},
                             {"callee_qualified_name", row.callee_qualified_name},
                             {"caller_file", row.caller_file},
                             {"line_number", row.line_number},
                             {"call_type", std::string(norvo::atlas::call_type_text(row.call_type))}});
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
