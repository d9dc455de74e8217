// Internal to atlas/parser: the tree walks that python_ast.cc runs over one
// parsed module, and the hooks through which the FastAPI/pydantic pass plugs
// into the definition walk. All need the interpreter lock.
#pragma once

#include <vector>

#include "atlas/parser/ast_access.h"
#include "atlas/parser/definitions.h"
#include "atlas/parser/edges.h"
#include "atlas/parser/fastapi.h"

namespace norvo::atlas::parser {

// definitions.cc: the module walk (pre-passes, definition pass, request-model
// pass). Fatal reads end it with their error.
Result<std::vector<Definition>> extract_definitions(AstContext& cx, PyObject* module);

// edges.cc: import records of the module's top-level statements, in order.
void extract_imports(AstContext& cx, const ListView& body, std::vector<ImportRecord>& out);
// edges.cc: call sites inside function and method bodies, pre-order.
Status extract_calls(AstContext& cx, const ListView& body, std::vector<CallSite>& out);

// Callee text of a call's `func` (a name, or a dotted attribute chain whose
// innermost value is a name; the last `attr` alone when that value is some
// other expression; empty otherwise) and whether it is an attribute access.
std::string callee_text(const AstContext& cx, PyObject* func, bool* is_attribute);

// ---- FastAPI/pydantic hooks (fastapi.cc) -------------------------------------
// Called by the definition walk; they fill the per-file tables first, then
// each definition's FastAPI and pydantic fields.

// Pre-passes over module-level statements: router prefixes, included
// prefixes, Annotated dependency aliases, OAuth2 scheme variables.
Status fastapi_prepasses(AstContext& cx, const ListView& module_body, FastapiTables& tables);

// Per function/method, after its decorator tags and route path are set:
// response models, params, fastapi_roles, router_prefix.
Status fastapi_function_metadata(AstContext& cx, const FastapiTables& tables, PyObject* fn, PyObject* args,
                                 Definition& def);

// Per class, after its tags (including "pydantic_model"): the pydantic
// summaries when the class is a pydantic model, and fastapi_roles.
Status fastapi_class_metadata(AstContext& cx, PyObject* cls, Definition& def);

// After the whole definition list is built: request models of route handlers.
void fastapi_request_models(std::vector<Definition>& defs);

// The validator kind a decorator names ("field_validator", "model_validator",
// "validator"): a name's id, an attribute's attr, a call's func by the same
// rule; nullopt for any other decorator. Used for validator_count.
std::optional<std::string> validator_decorator_name(const AstContext& cx, PyObject* decorator);

}  // namespace norvo::atlas::parser
