"""Atlas.fastapi_truth_capsule(**kwargs): endpoint selection by handler name or by
method and path, the evidence groups, unresolved entries, strict mode, and the
request errors.

Most cases run on an index filled directly (automatic scans switched off), so
that dependency chains and models can be set up exactly; the last ones run on
a scanned project."""
import json
import struct

import pytest


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def ratio(top, k):
    """top / k as computed in 32-bit floating point."""
    return f32(f32(top) / f32(k))


class Index:
    """An index without automatic scans, filled row by row."""

    def __init__(self, project):
        project.write(".norvo/config.toml", "[atlas]\nauto_scan_on_first_search = false\n")
        self.atlas = project.atlas()
        self.db = project.connect()

    def add(self, qn, kind="function", line=1, end=None, tags=(), method=None, route=None, prefix=None, chain=(),
            request=(), response=(), file=None):
        module, name = qn.rsplit(".", 1)
        file = file or module.replace(".", "/") + ".py"
        self.db.execute(
            "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, tags, http_method,"
            " route_path, router_prefix, dependency_chain, request_models, response_models, line_start, line_end)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (name, qn, kind, file, module, json.dumps(list(tags)), method, route, prefix, json.dumps(list(chain)),
             json.dumps(list(request)), json.dumps(list(response)), line, end if end is not None else line + 2))
        return self

    def endpoint(self, qn, method="get", route="/", **kw):
        return self.add(qn, kind="endpoint", method=method, route=route,
                        tags=[f"http_{method}", "fastapi_route", "router_router"], **kw)

    def call(self, caller, callee, line=1, file=None):
        file = file or caller.rsplit(".", 1)[0].replace(".", "/") + ".py"
        self.db.execute("INSERT INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number,"
                        " call_type) VALUES (?, ?, ?, ?, 'direct')", (caller, callee, file, line))
        return self

    def capsule(self, **kwargs):
        return self.atlas.fastapi_truth_capsule(**kwargs)

    def refused(self, **kwargs):
        with pytest.raises(RuntimeError) as info:
            self.capsule(**kwargs)
        text = str(info.value)
        assert text.startswith("Database error: Atlas unavailable: ") and text.endswith(" (recoverable: false)"), text
        return text[len("Database error: Atlas unavailable: "):-len(" (recoverable: false)")]


@pytest.fixture
def index(project):
    return Index(project)


def symbols(capsule, group):
    return [item["span"]["symbol"] for item in capsule["groups"][group]]


# ---- request errors ------------------------------------------------------------------------


def test_errors_on_an_index_without_endpoints(index):
    index.add("app.util.helper")
    assert index.refused(handler_qualified_name="app.util.helper") == \
        "No FastAPI endpoint artifacts found in Atlas index"
    # The mode is checked first.
    assert index.refused(mode="dynamic", handler_qualified_name="x") == \
        "Unsupported Truth Capsule mode 'dynamic'; only 'static' is implemented"


@pytest.mark.parametrize("kwargs, message", [
    ({"path": "/items"}, "Truth Capsule request must provide either handler_qualified_name or (method, path)"),
    ({"method": "GET"}, "Truth Capsule request must provide either handler_qualified_name or (method, path)"),
    ({}, "Truth Capsule request must provide either handler_qualified_name or (method, path)"),
    ({"handler_qualified_name": "app.util.helper"},
     "Handler qualified name 'app.util.helper' did not resolve to a FastAPI endpoint"),
    ({"method": "POST", "path": "/items"}, "No FastAPI endpoint matched method='POST' and path='/items'"),
    ({"method": "get", "path": "/a/b/c"}, "No FastAPI endpoint matched method='get' and path='/a/b/c'"),
    ({"method": "GET", "path": "/items", "strict": True},
     "Ambiguous route for method='GET', path='/items'. Multiple endpoints share the best score; "
     "use handler_qualified_name."),
])
def test_request_errors(index, kwargs, message):
    index.add("app.util.helper").endpoint("app.a.list_items", route="/items").endpoint("app.b.list_items",
                                                                                      route="/items/")
    assert index.refused(**kwargs) == message


# ---- endpoint selection ----------------------------------------------------------------------


@pytest.mark.parametrize("method, path, chosen", [
    ("GET", "/items/{item_id}", "app.items.get_item"),   # 100 + 50 + 10 + 10
    ("get", "/items/42", "app.items.get_item"),          # 50 + 10 beats /items with 10
    ("get", "items", "app.items.list_items"),
    ("GET", "/users/7/tags", "app.users.user_tags"),     # {id:int} never counts, the rest does
    ("delete", "/items/1", "app.items.delete_item"),
])
def test_route_scoring(index, method, path, chosen):
    index.endpoint("app.items.get_item", route="/items/{item_id}")
    index.endpoint("app.items.list_items", route="/items", line=10)
    index.endpoint("app.items.delete_item", method="delete", route="/items/{item_id}", line=20)
    index.endpoint("app.users.user_tags", route="/users/{id:int}/tags")
    capsule = index.capsule(method=method, path=path)
    assert capsule["endpoint"]["handler_qualified_name"] == chosen
    assert capsule["resolved_by"] == "method_path"


def test_a_typed_parameter_alone_is_no_match(index):
    index.endpoint("app.users.get_user", route="/{id:int}/tags/all")
    assert index.refused(method="GET", path="/{id:int}") == \
        "No FastAPI endpoint matched method='GET' and path='/{id:int}'"
    # Equal segment counts are enough for a candidate.
    index.endpoint("app.users.get_name", route="/{name}")
    assert index.capsule(method="GET", path="/7")["endpoint"]["handler_qualified_name"] == "app.users.get_name"


def test_ties_go_to_the_first_file_then_line_unless_strict(index):
    index.endpoint("zeta.routes.list_items", route="/items")
    index.endpoint("alpha.routes.list_b", route="/items", line=30)
    index.endpoint("alpha.routes.list_a", route="/items", line=5)
    assert index.capsule(method="GET", path="/items")["endpoint"]["handler_qualified_name"] == "alpha.routes.list_a"
    assert "Ambiguous route" in index.refused(method="GET", path="/items", strict=True)


def test_handler_name_wins_over_method_and_path(index):
    index.endpoint("app.items.list_items", route="/items")
    index.endpoint("app.items.create_item", method="post", route="/items")
    capsule = index.capsule(handler_qualified_name="app.items.create_item", method="GET", path="/items")
    assert capsule["resolved_by"] == "handler_qualified_name"
    assert capsule["endpoint"] == {"method": "POST", "path_template": "/items", "operation_id": None,
                                   "handler_qualified_name": "app.items.create_item"}
    assert capsule["capsule_id"] == "fastapi_capsule:POST:/items:app.items.create_item"


def test_the_router_prefix_joins_the_route_path(index):
    index.endpoint("app.orders.get_order", route="/{order_id}", prefix="/orders")
    index.endpoint("app.invoices.get_invoice", route="/invoices/{order_id}", prefix="/billing")
    capsule = index.capsule(method="GET", path="/orders/{order_id}")
    assert capsule["endpoint"]["handler_qualified_name"] == "app.orders.get_order"
    assert capsule["endpoint"]["path_template"] == "/{order_id}"
    # The route path alone still matches.
    assert index.capsule(method="GET", path="/{order_id}")["endpoint"]["handler_qualified_name"] == \
        "app.orders.get_order"


# ---- evidence groups ---------------------------------------------------------------------------


@pytest.fixture
def shop(index):
    """An endpoint with dependencies, models, middleware and a call graph."""
    index.endpoint("app.api.orders.create_order", method="post", route="/orders", line=20, end=30,
                   chain=["get_current_user", "security.get_token", "get_settings", "missing_dep"],
                   request=["OrderIn", "OrderIn"], response=["list[OrderOut]", "Ghost"])
    index.add("app.core.security.get_current_user", kind="async_function", line=5, end=9)
    index.add("app.core.security.get_token", line=12)
    index.add("other.security.get_token", line=40)          # farther from app.api.orders
    index.add("app.api.deps.get_settings", line=3)
    index.add("zeta.get_settings", line=3)
    index.add("app.models.OrderIn", kind="model", line=1, end=6)
    index.add("app.models.OrderOut", kind="model", line=8, end=12)
    index.add("app.services.OrderIn", kind="class", line=50)  # not a model: never a schema
    index.add("app.main.timing", tags=["fastapi_middleware", "router_app"], line=14)
    index.add("app.services.orders.place", line=3)
    index.add("app.services.orders.audit", line=30)
    index.add("app.errors.exception_handler_for_orders", line=7)
    index.call("app.api.orders.create_order", "place", line=22)
    index.call("app.api.orders.create_order", "print", line=23)
    index.call("app.api.orders.create_order", "exception_handler_for_orders", line=24)
    index.call("app.api.orders.create_order", "missing_exception_handler", line=25)
    index.call("app.services.orders.place", "audit", line=4)
    index.call("app.services.orders.place", "app.api.orders.create_order", line=5)
    return index


def test_full_capsule(shop):
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order")
    assert list(capsule) == sorted(capsule)
    assert capsule["mode"] == "static" and capsule["strict"] is False
    assert capsule["groups"]["route_wiring"] == [] and capsule["groups"]["tests"] == []
    assert capsule["groups"]["handler"] == [{
        "span": {"file_path": "app/api/orders.py", "start_line": 20, "end_line": 30, "kind": "handler",
                 "symbol": "app.api.orders.create_order", "hash": None, "snippet": None},
        "evidence": ["ast:def"], "score": 1.0}]

    deps = capsule["groups"]["dependencies"]
    assert symbols(capsule, "dependencies") == [
        "app.core.security.get_current_user", "app.core.security.get_token", "app.api.deps.get_settings"]
    assert [d["score"] for d in deps] == [ratio(0.9, 1), ratio(0.9, 2), ratio(0.9, 3)]
    assert {d["span"]["kind"] for d in deps} == {"dependency"} and deps[0]["evidence"] == ["ast:depends"]

    schemas = capsule["groups"]["schemas"]
    assert symbols(capsule, "schemas") == ["app.models.OrderIn", "app.models.OrderOut"]
    assert [s["score"] for s in schemas] == [ratio(0.8, 1), ratio(0.8, 2)]

    assert symbols(capsule, "middleware") == ["app.main.timing"]
    assert capsule["groups"]["middleware"][0]["score"] == f32(0.6)
    assert capsule["groups"]["middleware"][0]["evidence"] == ["ast:middleware"]

    assert symbols(capsule, "exceptions") == ["app.errors.exception_handler_for_orders"]
    assert capsule["groups"]["exceptions"][0]["score"] == ratio(0.7, 1)
    assert capsule["groups"]["exceptions"][0]["evidence"] == ["graph:calls"]

    slice_ = capsule["groups"]["call_slice"]
    assert [(s["span"]["symbol"], s["score"]) for s in slice_] == [
        ("app.services.orders.place", 0.75), ("app.errors.exception_handler_for_orders", 0.75),
        ("app.services.orders.audit", 0.375)]

    assert capsule["unresolved"] == [
        {"kind": "dependency_edge", "detail": "missing_dep", "location": None},
        {"kind": "schema_edge", "detail": "Ghost", "location": None},
        {"kind": "exception_edge", "detail": "missing_exception_handler", "location": None},
        {"kind": "call_edge", "detail": "print", "location": None},
        {"kind": "call_edge", "detail": "missing_exception_handler", "location": None},
    ]
    assert capsule["is_partial"] is True
    stats = capsule["stats"]
    assert isinstance(stats.pop("elapsed_ms"), int)
    assert stats == {"db_queries": 0, "files_read": 0, "files_parsed": 0, "cache_hit": False}


def test_dependency_depth_limits(shop):
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_dependency_depth=0)
    assert capsule["groups"]["dependencies"] == []
    assert all(u["kind"] != "dependency_edge" for u in capsule["unresolved"])
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_dependency_depth=1)
    assert symbols(capsule, "dependencies") == ["app.core.security.get_current_user"]


def test_call_limits(shop):
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_call_depth=0)
    assert capsule["groups"]["exceptions"] == [] and capsule["groups"]["call_slice"] == []
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_call_nodes=0)
    assert capsule["groups"]["exceptions"] == [] and capsule["groups"]["call_slice"] == []
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_call_depth=1)
    assert symbols(capsule, "call_slice") == ["app.services.orders.place", "app.errors.exception_handler_for_orders"]
    capsule = shop.capsule(handler_qualified_name="app.api.orders.create_order", max_call_nodes=1)
    assert symbols(capsule, "call_slice") == ["app.services.orders.place"]
    # The first callee (place) uses up the exception walk's single node.
    assert capsule["groups"]["exceptions"] == []


def test_strict_mode_fails_on_structural_gaps_only(shop, index):
    text = shop.refused(handler_qualified_name="app.api.orders.create_order", strict=True)
    assert text == ("Truth Capsule strict mode failed: 2 unresolved structural edges (dependencies/schemas/router). "
                    "Use strict=false for a partial capsule.")
    index.endpoint("app.api.health.ping", route="/ping")
    index.call("app.api.health.ping", "nowhere")
    capsule = index.capsule(handler_qualified_name="app.api.health.ping", strict=True)
    assert capsule["strict"] is True and capsule["is_partial"] is True
    assert capsule["unresolved"] == [{"kind": "call_edge", "detail": "nowhere", "location": None}]


def test_methods_are_followed_through_their_class_scope(index):
    index.endpoint("app.api.get_order", route="/o")
    index.add("app.service.get", kind="method", line=10)
    index.add("app.repo.load", kind="method", line=20)
    index.call("app.api.get_order", "service.get")
    # Edges of the method get of class OrderService in app/service.py.
    index.call("app.service.OrderService.get", "self.repo.load", file="app/service.py")
    index.call("app.service.OrderService.get", "repo.load", file="app/service.py", line=2)
    capsule = index.capsule(handler_qualified_name="app.api.get_order")
    assert [(s["span"]["symbol"], s["score"]) for s in capsule["groups"]["call_slice"]] == [
        ("app.service.get", 0.75), ("app.repo.load", 0.375)]
    assert capsule["unresolved"] == [{"kind": "call_edge", "detail": "self.repo.load", "location": None}]


# ---- keyword arguments -----------------------------------------------------------------------------


@pytest.mark.parametrize("kwargs, error, text", [
    ({"strict": 1}, TypeError, "argument 'strict': 'int' object cannot be cast as 'bool'"),
    ({"include_snippets": "yes"}, TypeError, "argument 'include_snippets': 'str' object cannot be cast as 'bool'"),
    ({"method": 5}, TypeError, "argument 'method': 'int' object cannot be cast as 'str'"),
    ({"mode": b"static"}, TypeError, "argument 'mode': 'bytes' object cannot be cast as 'str'"),
    ({"max_spans": "9"}, TypeError, "argument 'max_spans':"),
    ({"max_call_depth": -1}, OverflowError, ""),
])
def test_wrong_keyword_types_are_refused_before_anything_runs(index, kwargs, error, text):
    with pytest.raises(error) as info:
        index.capsule(**kwargs)
    assert str(info.value).startswith(text)


def test_positional_arguments_are_refused(index):
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        index.atlas.fastapi_truth_capsule("app.x")


def test_none_means_default_and_unknown_keywords_are_ignored(index):
    index.endpoint("app.items.list_items", route="/items")
    capsule = index.capsule(handler_qualified_name="app.items.list_items", mode=None, strict=None,
                            max_call_depth=None, method=None, colour="blue", operation_id="op", max_spans=3,
                            include_snippets=True, snippet_max_lines=5)
    assert capsule["mode"] == "static" and capsule["strict"] is False
    assert capsule["endpoint"]["operation_id"] is None
    assert capsule["groups"]["handler"][0]["span"]["snippet"] is None


# ---- on a scanned project ------------------------------------------------------------------------


def test_capsule_of_a_scanned_project(project):
    project.write("app/main.py", """
        from fastapi import FastAPI
        app = FastAPI()

        @app.middleware("http")
        async def timing(request, call_next):
            return await call_next(request)
    """)
    project.write("app/items.py", """
        from fastapi import APIRouter
        router = APIRouter()

        def load(item_id):
            return validate(item_id)

        def validate(item_id):
            return item_id

        @router.get("/items/{item_id}")
        async def get_item(item_id: int):
            return load(item_id)
    """)
    capsule = project.atlas().fastapi_truth_capsule(method="GET", path="/items/3")
    assert capsule["endpoint"] == {"method": "GET", "path_template": "/items/{item_id}", "operation_id": None,
                                   "handler_qualified_name": "app.items.get_item"}
    assert capsule["groups"]["handler"][0]["span"]["start_line"] == 12
    assert symbols(capsule, "middleware") == ["app.main.timing"]
    assert [(s["span"]["symbol"], s["score"]) for s in capsule["groups"]["call_slice"]] == [
        ("app.items.load", 0.75), ("app.items.validate", 0.375)]
    assert capsule["unresolved"] == [] and capsule["is_partial"] is False


def test_a_refused_request_is_logged_once_in_its_span(project):
    """Logging is process-wide, so this runs in a child process."""
    import os
    import re
    import subprocess
    import sys
    import textwrap

    project.write("app/items.py", "@router.get('/items')\nasync def list_items():\n    return []\n")
    code = textwrap.dedent(f"""
        from norvo import norvo_native as nn
        nn.init_logging("info")
        atlas = nn.Atlas({str(project.root)!r})
        try:
            atlas.fastapi_truth_capsule(path="/items")
        except RuntimeError:
            pass
    """)
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    errors = [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in proc.stderr.splitlines() if "ERROR" in line]
    assert len(errors) == 1
    assert "fastapi_truth_capsule: norvo_atlas: " in errors[0]
    assert "error=Atlas unavailable: Truth Capsule request must provide either handler_qualified_name" in errors[0]
