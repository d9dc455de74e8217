// Internal to atlas/parser: owning Python references, the per-parser table of
// ast node classes and interned attribute names, and the node readers with the
// required/optional rules and error texts that every extractor shares.
//
// Only the parser's own .cc files include this header (it pulls in Python.h);
// the public headers of the parser stay free of the C API. Everything here
// needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace norvo::atlas::parser {

// An owning reference: exactly one Py_XDECREF when it dies. Raw Py_DECREF
// appears nowhere else in the parser.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) { return PyRef(p); }
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// The ast node classes the walks tell apart, fetched once per parser so that a
// node's type is one pointer comparison instead of a name lookup.
#define NORVO_AST_NODE_TYPES(X)                                                        \
  X(Module) X(FunctionDef) X(AsyncFunctionDef) X(ClassDef) X(Return) X(Assign)         \
  X(AnnAssign) X(AugAssign) X(For) X(AsyncFor) X(While) X(If) X(With) X(AsyncWith)     \
  X(Raise) X(Try) X(TryStar) X(Import) X(ImportFrom) X(Expr) X(BoolOp) X(BinOp)        \
  X(UnaryOp) X(Lambda) X(IfExp) X(Dict) X(Set) X(ListComp) X(SetComp) X(DictComp)      \
  X(GeneratorExp) X(Await) X(Yield) X(YieldFrom) X(Compare) X(Call) X(Constant)        \
  X(Attribute) X(Subscript) X(Starred) X(Name) X(List) X(Tuple) X(keyword) X(arg)      \
  X(arguments) X(alias)

// Attribute names, interned once per parser.
#define NORVO_AST_ATTRS(X)                                                             \
  X(body) X(orelse) X(finalbody) X(handlers) X(value) X(test) X(iter) X(target)        \
  X(targets) X(id) X(attr) X(name) X(asname) X(names) X(module) X(level) X(lineno)     \
  X(end_lineno) X(args) X(arg) X(decorator_list) X(bases) X(func) X(keywords) X(elts)  \
  X(values) X(left) X(right) X(operand) X(comparators) X(elt) X(key) X(exc) X(items)   \
  X(context_expr) X(annotation) X(slice) X(posonlyargs) X(vararg) X(kwonlyargs)        \
  X(kw_defaults) X(kwarg) X(defaults) X(returns) X(simple) X(parse)

enum class NodeKind : uint8_t {
#define NORVO_X(n) n,
  NORVO_AST_NODE_TYPES(NORVO_X)
#undef NORVO_X
  OtherNode,  // an ast node of a class the walks do not name
  NotNode,    // not an ast node at all (a constant's payload, None, ...)
};

// Bits of the attributes the yield search follows, in its order.
enum YieldField : uint8_t {
  kYBody = 1, kYOrelse = 2, kYFinalbody = 4, kYValue = 8, kYTest = 16, kYIter = 32, kYTarget = 64,
};

struct AstNames {
#define NORVO_X(n) PyObject* n = nullptr;
  NORVO_AST_ATTRS(NORVO_X)
#undef NORVO_X
};

// Per-parser view of the host's ast classes. Owns one reference to each
// class and to each interned name; must be destroyed with the lock held.
class AstContext {
 public:
  // Reads the classes from the imported `ast` module. On failure the Python
  // exception is left set and nullptr is returned.
  static AstContext* create(PyObject* ast_module);
  ~AstContext();
  AstContext(const AstContext&) = delete;
  AstContext& operator=(const AstContext&) = delete;

  NodeKind kind(PyObject* node) const { return find(Py_TYPE(node)).kind; }
  uint8_t yield_fields(PyObject* node) const { return find(Py_TYPE(node)).yield_fields; }

  AstNames n;

 private:
  AstContext() = default;
  struct Slot {
    PyTypeObject* type = nullptr;
    NodeKind kind = NodeKind::NotNode;
    uint8_t yield_fields = 0;
  };
  static constexpr size_t kSlots = 512;  // power of two, well above the ~120 ast classes
  static size_t hash(PyTypeObject* t) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(t) >> 4) * 0x9E3779B97F4A7C15ull) >> 55;
  }
  const Slot& find(PyTypeObject* t) const {
    size_t i = hash(t);
    while (slots_[i].type != nullptr && slots_[i].type != t) i = (i + 1) & (kSlots - 1);
    return slots_[i];  // an empty slot reads as NotNode
  }
  bool add_class(PyObject* cls, NodeKind kind);
  bool add_subclasses(PyObject* base);

  Slot slots_[kSlots];
  PyObject* owned_[kSlots] = {};
  size_t owned_count_ = 0;
};

// Expression and statement walks use explicit stacks, so no source nesting
// can exhaust the C stack. Only class and function definitions nested in
// class bodies recurse; the host stops indentation at 100 levels, so only a
// hand-built tree can exceed this, and it then fails the file.
inline constexpr int kMaxDefinitionNesting = 1000;

// ---- errors ---------------------------------------------------------------

// The pending Python exception as "TypeName: str(exc)", cleared afterwards;
// "attempted to fetch exception but none was set" when none is pending.
std::string exception_text();

// ParseFailed with an empty path: errors raised inside the walks carry no
// path; the caller reports them with the file being parsed.
AtlasError walk_error(std::string message);

// `prefix` followed by exception_text().
AtlasError walk_error_from_python(std::string_view prefix);

AtlasError too_deep_error();

// ---- readers ----------------------------------------------------------------

// Optional attribute: empty when missing, None or unreadable (errors cleared).
PyRef opt_attr(PyObject* node, PyObject* name);

// Required attribute fetch; a failure becomes `prefix` + exception text.
Result<PyRef> req_attr(PyObject* node, PyObject* name, std::string_view prefix);

// Text of a Python str (lossless UTF-8); nullopt for anything else or for a
// str that cannot be encoded (lone surrogates). Clears any error.
std::optional<std::string> str_value(PyObject* obj);

// Required text attribute ("Failed to get attribute 'x': ",
// "Failed to extract string from 'x': ").
Result<std::string> req_text(PyObject* node, PyObject* name);
// Optional text attribute; nullopt when missing, None or not a str.
std::optional<std::string> opt_text(PyObject* node, PyObject* name);

// Required integer attribute ("Failed to get attribute 'x': ",
// "Failed to extract int from 'x': ").
Result<int64_t> req_int(PyObject* node, PyObject* name);
std::optional<int64_t> opt_int(PyObject* node, PyObject* name);

// repr() of an expression node as text ("Failed to get repr for expression: ",
// "Failed to extract string from repr: ").
Result<std::string> repr_text(PyObject* node);

// A list attribute read by the list rule: items 0 .. min(length at start,
// current length); anything that is not a list reads as empty. Items are
// borrowed from the list, which this object keeps alive; the walks run no
// Python code that could mutate the tree.
class ListView {
 public:
  ListView() = default;
  explicit ListView(PyRef list);
  Py_ssize_t size() const {
    if (!list_) return 0;
    Py_ssize_t now = PyList_GET_SIZE(list_.get());
    return n_ < now ? n_ : now;
  }
  PyObject* operator[](Py_ssize_t i) const { return PyList_GET_ITEM(list_.get(), i); }

 private:
  PyRef list_;
  Py_ssize_t n_ = 0;
};

ListView opt_list(PyObject* node, PyObject* name);
inline ListView as_list(PyRef obj) { return ListView(std::move(obj)); }

// Text of a string constant node (`Constant` whose value is a str).
std::optional<std::string> string_constant(const AstContext& cx, PyObject* node);

}  // namespace norvo::atlas::parser
