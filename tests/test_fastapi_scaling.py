"""Atlas.analyze_fastapi_scaling(): the passes over freshly parsed definitions and
the indexed call edges, judged against the built-in or a file-supplied policy."""
import textwrap

import pytest

from norvo import norvo_native

LISTS = ["violations", "background_insights", "middleware_stack", "external_calls", "db_queries", "env_links",
         "db_patterns", "side_effects", "config_env_links", "auth_wiring", "lifespan_map", "test_links"]

ROUTES = """
    from fastapi import APIRouter
    router = APIRouter()
"""


def report(project, policy=None):
    if policy is not None:
        project.write(".norvo/fastapi_scaling.yaml", policy)
    return project.atlas().analyze_fastapi_scaling()


def by_category(result, category):
    return [v for v in result["violations"] if v["category"] == category]


def assert_sorted_keys(value):
    if isinstance(value, dict):
        assert list(value) == sorted(value)
        for v in value.values():
            assert_sorted_keys(v)
    elif isinstance(value, list):
        for v in value:
            assert_sorted_keys(v)


@pytest.fixture(scope="module")
def fastapi_metadata(tmp_path_factory):
    """Skips tests whose fixtures need the parser's FastAPI metadata (router
    prefixes, dependency parameters) when this build does not extract it yet."""
    root = tmp_path_factory.mktemp("probe")
    (root / "probe.py").write_text(textwrap.dedent("""
        from fastapi import APIRouter, Depends
        router = APIRouter(prefix="/p")
        @router.get("/x")
        def probe_handler(db=Depends(get_db)):
            pass
    """))
    hits = norvo_native.Atlas(str(root)).search("probe_handler")
    if not any(h["router_prefix"] == "/p" and h["direct_dependencies"] == ["get_db"] for h in hits):
        pytest.skip("the parser does not extract FastAPI metadata in this build")


# ---- shape and the simple cases --------------------------------------------------------


def test_project_without_fastapi(project):
    project.write("lib/util.py", """
        import os
        MAX = 3
        def helper(x):
            return os.getenv("X")
        class Thing:
            def run(self):
                pass
    """)
    result = report(project)
    assert result["policy_version"] == "1.0"
    assert result["stats"] == {"total_definitions": 4, "total_endpoints": 0, "async_endpoints": 0,
                               "sync_endpoints": 0, "modules_with_endpoints": 0}
    for key in LISTS:
        assert result[key] == [], key
    assert list(result) == sorted(result)


def test_one_synchronous_endpoint(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    def list_items():
        return []

    @router.post("/items")
    async def create_item():
        return {}
    """)
    result = report(project)
    assert result["stats"] == {"total_definitions": 2, "total_endpoints": 2, "async_endpoints": 1,
                               "sync_endpoints": 1, "modules_with_endpoints": 1}
    assert result["violations"] == [{
        "category": "sync_handler", "severity": "Medium", "scope": "endpoint",
        "message": "Endpoint 'app.items.list_items' is synchronous; convert to async to improve scalability",
        "suggestion": "Use async HTTP handlers or move blocking work into background tasks",
        "file_path": "app/items.py", "qualified_name": "app.items.list_items"}]
    assert [a["qualified_name"] for a in result["auth_wiring"]] == ["app.items.list_items", "app.items.create_item"]
    assert_sorted_keys(result)


def test_disabled_endpoint_rules_count_nothing(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    def list_items():
        return []
    """)
    result = report(project, "version: '1'\nendpoints: {enabled: false}\n")
    assert result["stats"]["total_endpoints"] == 0 and result["stats"]["sync_endpoints"] == 0
    assert result["stats"]["total_definitions"] == 1
    assert result["violations"] == []


def test_disabled_policy_runs_no_pass(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    def list_items():
        requests.get("http://example.com")
    """)
    result = report(project, "version: '9'\nenabled: false\n")
    assert result["policy_version"] == "9"
    assert result["stats"]["total_endpoints"] == 0 and result["stats"]["total_definitions"] == 1
    for key in LISTS:
        assert result[key] == [], key


def test_policy_errors_are_raised(project):
    project.write("app/items.py", ROUTES)
    with pytest.raises(ValueError, match="Analysis config error in '.*fastapi_scaling.yaml': missing field `version`"):
        report(project, "enabled: true\n")


def test_no_arguments_accepted(project):
    with pytest.raises(TypeError):
        project.atlas().analyze_fastapi_scaling(True)


# ---- pass 1: thresholds ------------------------------------------------------------------


def test_endpoint_thresholds(project):
    project.write("app/a.py", ROUTES + """
    @router.get("/1")
    def one(): pass

    @router.get("/2")
    def two(): pass
    """)
    project.write("app/b.py", """
    from fastapi import APIRouter
    admin = APIRouter()

    @admin.get("/3")
    async def three(): pass
    """)
    result = report(project, """
        version: '1'
        endpoints:
          thresholds: {max_sync_endpoints: 0, max_endpoints_per_module: 1, max_endpoints_per_router: 1}
    """)
    assert result["stats"]["modules_with_endpoints"] == 2
    assert result["violations"] == [
        {"category": "threshold_sync_endpoints", "severity": "High", "scope": "endpoint",
         "message": "Project has 2 synchronous endpoints (max allowed: 0)",
         "suggestion": "Convert synchronous handlers to async or delegate blocking work",
         "file_path": None, "qualified_name": None},
        {"category": "threshold_module_endpoints", "severity": "Medium", "scope": "endpoint",
         "message": "Module 'app.a' defines 2 endpoints (max allowed per module: 1)",
         "suggestion": "Consider splitting endpoints into feature-focused modules or routers",
         "file_path": None, "qualified_name": None},
        {"category": "threshold_router_endpoints", "severity": "Medium", "scope": "endpoint",
         "message": "Router 'router' exposes 2 endpoints (max allowed per router: 1)",
         "suggestion": "Break routers into smaller sub-routers to keep routing tables efficient",
         "file_path": None, "qualified_name": None},
    ]


def test_router_threshold_tells_same_named_routers_apart(project, fastapi_metadata):
    for module, prefix, count in [("orders", "/orders", 2), ("users", "/users", 1)]:
        project.write(f"app/{module}.py", f"""
            from fastapi import APIRouter
            router = APIRouter(prefix="{prefix}")
        """ + "".join(f"""
            @router.get("/{i}")
            async def {module}_{i}():
                pass
        """ for i in range(count)))
    result = report(project, "version: '1'\nendpoints: {thresholds: {max_endpoints_per_router: 1}}\n")
    assert [v["message"] for v in result["violations"]] == [
        "Router 'app.orders.router' exposes 2 endpoints (max allowed per router: 1)"]


# ---- pass 4: direct application routes ------------------------------------------------------


@pytest.mark.parametrize("allowed, expected", [([], 1), (["app.main"], 0), (["app"], 1)])
def test_direct_app_routes(project, allowed, expected):
    project.write("app/main.py", """
        from fastapi import FastAPI
        app = FastAPI()

        @app.get("/health")
        async def health():
            return {}
    """)
    result = report(project, f"version: '1'\nrouters: {{warn_on_direct_app_routes: true, "
                             f"direct_app_route_severity: Low, allowed_direct_route_modules: {allowed}}}\n")
    found = by_category(result, "direct_app_route")
    assert len(found) == expected
    if found:
        assert found[0] == {
            "category": "direct_app_route", "severity": "Low", "scope": "endpoint",
            "message": "Endpoint 'app.main.health' uses direct app routes in module 'app.main' "
                       "(prefer APIRouter instances for scalable routing)",
            "suggestion": "Move this endpoint to an APIRouter or explicitly allow this module in "
                          "RouterRules.allowed_direct_route_modules",
            "file_path": "app/main.py", "qualified_name": "app.main.health"}


# ---- call patterns: the scope test ----------------------------------------------------------


@pytest.mark.parametrize("scopes, counts", [
    ("", False),                                   # both lists empty: never
    ("forbidden_scopes: [endpoint]", True),
    ("forbidden_scopes: [middleware]", False),
    ("allowed_scopes: [dependency]", True),        # an allow-list without endpoint
    ("allowed_scopes: [endpoint]", False),
])
def test_scope_test_of_call_patterns(project, scopes, counts):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    async def list_items():
        boto3.client("s3")
        return time.sleep(1)
    """)
    pattern = "{pattern: boto3., is_prefix_match: true, category: aws, severity: Low, suggestion: go async, " + scopes + "}"
    result = report(project, f"""
        version: '1'
        external_calls: [{pattern}]
        db_query_calls: [{pattern}]
        env_call_patterns: [{pattern}]
        endpoints:
          blocking_calls: [{{pattern: time.sleep, category: blocking, {scopes}}}]
          cpu_bound_calls: [{{pattern: time.sleep, {scopes}}}]
    """)
    finding = {"qualified_name": "app.items.list_items", "file_path": "app/items.py", "callee": "boto3.client",
               "pattern": "boto3.", "category": "aws", "severity": "Low"}
    for key in ("external_calls", "db_queries", "env_links"):
        assert result[key] == ([finding] if counts else []), key
    blocking = [v for v in result["violations"] if "blocking_calls" in v["message"] or "cpu_bound" in v["message"]]
    if counts:
        assert [(v["category"], v["message"]) for v in blocking] == [
            ("blocking", "Endpoint 'app.items.list_items' calls 'time.sleep' which matches a configured blocking_calls pattern"),
            (None, "Endpoint 'app.items.list_items' calls 'time.sleep' which matches a configured cpu_bound_calls pattern"),
        ]
        assert blocking[0]["severity"] == "High" and blocking[0]["scope"] == "endpoint"
    else:
        assert blocking == []


def test_exact_and_prefix_matching(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    async def list_items():
        requests.get("a")
        requests_cache.install()
        httpx.AsyncClient()
    """)
    result = report(project, """
        version: '1'
        external_calls:
          - {pattern: requests, forbidden_scopes: [endpoint]}
          - {pattern: httpx.AsyncClient, forbidden_scopes: [endpoint]}
          - {pattern: requests., is_prefix_match: true, forbidden_scopes: [endpoint]}
    """)
    assert [(f["callee"], f["pattern"]) for f in result["external_calls"]] == [
        ("requests.get", "requests."), ("httpx.AsyncClient", "httpx.AsyncClient")]


def test_builtin_database_and_http_findings(project):
    project.write("app/orders.py", ROUTES + """
    @router.post("/orders")
    async def create_order():
        httpx.post("https://payments")
        session.execute("insert")
        session.commit()
        Session.commit()
        os.getenv("DEBUG")
    """)
    result = report(project)
    assert [(f["callee"], f["category"]) for f in result["external_calls"]] == [
        ("httpx.post", "external_http"), ("session.commit", "db_commit"), ("Session.commit", "db_commit")]
    assert [(f["callee"], f["category"], f["severity"]) for f in result["db_queries"]] == [
        ("session.execute", "db_query", "High"), ("session.commit", "db_commit", "High"),
        ("Session.commit", "db_commit", "High")]
    assert result["env_links"] == []  # the built-in environment patterns forbid no scope
    assert result["side_effects"] == [
        {"qualified_name": "app.orders.create_order", "file_path": "app/orders.py", "callee": c, "category": "commit"}
        for c in ("session.commit", "Session.commit")]
    assert [(p["callee"], p["category"]) for p in result["db_patterns"]] == [
        ("session.execute", "db_query"), ("session.commit", "db_commit"), ("Session.commit", "db_commit")]


def test_db_patterns_match_substrings_and_default_their_category(project):
    project.write("app/orders.py", ROUTES + """
    @router.get("/orders")
    async def list_orders():
        db.session.execute("select")
        db.query()
    """)
    result = report(project, """
        version: '1'
        db_query_calls:
          - {pattern: session.execute, severity: Low}
          - {pattern: query, category: reads}
          - {pattern: db.query()}
    """)
    assert result["db_queries"] == []  # no scope lists: no pattern findings
    assert [(p["callee"], p["category"], p["severity"]) for p in result["db_patterns"]] == [
        ("db.session.execute", "db_query", "Low"), ("db.query", "reads", "High")]


# ---- pass 2 and 3: resources and lifespan ---------------------------------------------------

RESOURCE_POLICY = """
    version: '1'
    dependencies:
      resources:
        - kind: db_session
          create_call_patterns: [{pattern: SessionLocal}]
          allowed_scopes: [dependency, lifespan]
          severity_outside_allowed: Critical
      require_yield_for_kinds: [db_session]
      forbid_inline_resources_in_endpoints: [db_session]
    lifespan:
      require_lifespan_for_kinds: [db_session]
"""


def test_resource_rules_and_missing_lifespan(project):
    project.write("app/db.py", ROUTES + """
    def get_db():
        db = SessionLocal()
        return db

    def get_db_yielding():
        db = SessionLocal()
        yield db

    @router.get("/inline")
    async def inline():
        SessionLocal()
    """)
    result = report(project, RESOURCE_POLICY)
    got = [(v["category"], v["severity"], v["scope"], v["qualified_name"]) for v in result["violations"]]
    assert got == [
        ("resource_missing_yield", "Critical", "dependency", "app.db.get_db"),
        ("resource_scope", "Critical", "endpoint", "app.db.inline"),
        ("inline_resource_in_endpoint", "Critical", "endpoint", "app.db.inline"),
        ("missing_lifespan_for_resource", "High", "lifespan", "app.db.get_db"),
    ]
    messages = {v["category"]: v["message"] for v in result["violations"]}
    assert messages["resource_scope"] == ("Function 'app.db.inline' (scope endpoint) creates resource kind "
                                          "'db_session' via call 'SessionLocal' which is outside allowed_scopes")
    assert messages["inline_resource_in_endpoint"] == (
        "Endpoint 'app.db.inline' creates resource kind 'db_session' inline via call 'SessionLocal' (consider "
        "moving creation into a dependency or background task)")
    assert messages["resource_missing_yield"] == (
        "Function 'app.db.get_db' manages resource kind 'db_session' but does not use a yield-based pattern "
        "(consider FastAPI's yield dependencies)")
    assert messages["missing_lifespan_for_resource"] == (
        "Module 'app.db' uses resource kind 'db_session' (first seen in 'app.db.get_db') but defines no FastAPI "
        "lifespan handlers (startup/shutdown)")
    assert result["lifespan_map"] == [{"resource_kind": "db_session", "module": "app.db",
                                       "first_usage": "app.db.get_db", "has_lifespan_handler": False,
                                       "qualified_name": "app.db.get_db", "file_path": "app/db.py"}]


def test_lifespan_handler_module_prefixes_and_ignored_modules(project):
    project.write("app/db.py", """
        from fastapi import FastAPI
        app = FastAPI()

        @app.on_event("shutdown")
        async def close():
            pass

        def get_db():
            db = SessionLocal()
            yield db
    """)
    project.write("scripts/seed.py", """
        def seed():
            SessionLocal()
    """)
    project.write("tools/fix.py", """
        def fix():
            SessionLocal()
    """)
    result = report(project, """
        version: '1'
        dependencies:
          resources:
            - kind: db_session
              create_call_patterns: [{pattern: SessionLocal}]
              module_prefixes: [app, scripts]
          require_yield_for_kinds: [db_session]
        lifespan:
          require_lifespan_for_kinds: [db_session]
          ignore_modules: [scripts.seed]
    """)
    assert result["lifespan_map"] == [{"resource_kind": "db_session", "module": "app.db",
                                       "first_usage": "app.db.get_db", "has_lifespan_handler": True,
                                       "qualified_name": "app.db.get_db", "file_path": "app/db.py"}]
    # seed is checked (no yield), tools.fix is outside the module prefixes.
    assert [(v["category"], v["qualified_name"]) for v in result["violations"]] == [
        ("resource_missing_yield", "scripts.seed.seed")]


def test_resource_passes_need_enabled_rules(project):
    project.write("app/db.py", "def get_db():\n    return SessionLocal()\n")
    result = report(project, RESOURCE_POLICY.replace("dependencies:\n", "dependencies:\n      enabled: false\n"))
    assert result["violations"] == [] and result["lifespan_map"] == []


# ---- pass 5: models -----------------------------------------------------------------------------


def test_model_thresholds(project):
    project.write("app/models.py", """
        from pydantic import BaseModel, field_validator

        class Big(BaseModel):
            a: int
            b: int
            c: int

            @field_validator("a")
            def one(cls, v): return v

            @field_validator("b")
            def two(cls, v): return v

        class Small(BaseModel):
            a: int

        class Plain:
            a: int
            b: int
            c: int
    """)
    result = report(project, "version: '1'\nmodels: {thresholds: {max_fields_per_model: 2, "
                             "max_validators_per_model: 1}, allowlist: [Big]}\n")
    assert [(v["category"], v["message"], v["scope"], v["severity"]) for v in result["violations"]] == [
        ("model_max_fields", "Pydantic model 'app.models.Big' has 3 fields (max allowed: 2)", "dependency", "Medium"),
        ("model_max_validators", "Pydantic model 'app.models.Big' defines 2 validators (max allowed: 1)",
         "dependency", "Medium"),
    ]
    assert result["violations"][0]["suggestion"] == \
        "Consider splitting the model into smaller sub-models or simplifying its schema"


# ---- pass 7: middleware ---------------------------------------------------------------------------


def test_middleware_stack_and_rules(project):
    project.write("app/main.py", """
        from fastapi import FastAPI
        from starlette.middleware.base import BaseHTTPMiddleware
        app = FastAPI()

        @app.middleware("http")
        async def second(request, call_next):
            return await call_next(request)

        @app.middleware("http")
        def first_sync(request, call_next):
            time.sleep(0.1)
            return call_next(request)

        class Timing(BaseHTTPMiddleware):
            async def dispatch(self, request, call_next):
                return await call_next(request)
    """)
    project.write("app/extra.py", """
        from fastapi import APIRouter
        api = APIRouter()

        @api.middleware("http")
        async def audit(request, call_next):
            return await call_next(request)
    """)
    result = report(project, """
        version: '1'
        middleware:
          warn_on_base_http_middleware: true
          base_http_middleware_severity: Low
          max_middleware_layers: 2
          blocking_calls: [{pattern: time., is_prefix_match: true, category: blocking, forbidden_scopes: [middleware]}]
    """)
    stack = result["middleware_stack"]
    assert [(m["qualified_name"], m["line_start"], m["router_name"], m["is_async"]) for m in stack] == [
        ("app.extra.audit", 6, "api", True), ("app.main.second", 7, "app", True),
        ("app.main.first_sync", 11, "app", False)]
    assert stack[2]["line_end"] == 13
    assert stack[2]["blocking_calls"] == [{"call": "time.sleep", "pattern": "time.", "category": "blocking",
                                           "severity": "High"}]
    assert [(v["category"], v["scope"], v["severity"], v["qualified_name"]) for v in result["violations"]] == [
        ("base_http_middleware", "middleware", "Low", "app.main.Timing"),
        ("max_middleware_layers", "middleware", "Medium", None),
        ("blocking", "middleware", "High", "app.main.first_sync"),
    ]
    assert result["violations"][1]["message"] == "Project defines 3 FastAPI middleware layers (max allowed: 2)"
    assert result["violations"][2]["message"] == \
        "Middleware 'app.main.first_sync' calls 'time.sleep' which matches a configured blocking_calls pattern"


# ---- pass 8: background tasks ----------------------------------------------------------------------


def test_heavy_calls_and_job_queues(project):
    project.write("app/reports.py", ROUTES + """
    @router.post("/inline")
    async def inline_report():
        pandas.read_csv("big.csv")

    @router.post("/queued")
    async def queued_report():
        pandas.read_csv("big.csv")
        tasks.delay("build")
    """)
    result = report(project, """
        version: '1'
        background_tasks:
          heavy_call_patterns: [{pattern: pandas., is_prefix_match: true, category: heavy, severity: Low}]
          job_queues: [{name: celery, package: tasks, enqueue_functions: [delay]}]
    """)
    assert result["background_insights"] == [
        {"qualified_name": "app.reports.inline_report", "file_path": "app/reports.py", "heavy_call": "pandas.read_csv",
         "matched_pattern": "pandas.", "enqueued_via_job_queue": False, "is_inline_heavy_call": True},
        {"qualified_name": "app.reports.queued_report", "file_path": "app/reports.py", "heavy_call": "pandas.read_csv",
         "matched_pattern": "pandas.", "enqueued_via_job_queue": True, "is_inline_heavy_call": False},
    ]
    # The file names the section, so prefer_job_queues_for_heavy_tasks is false: no violation.
    assert result["violations"] == []
    result = report(project, """
        version: '1'
        background_tasks:
          prefer_job_queues_for_heavy_tasks: true
          heavy_call_patterns: [{pattern: pandas., is_prefix_match: true, category: heavy, severity: Low,
                                 suggestion: use a worker}]
          job_queues: [{name: celery, package: tasks, enqueue_functions: [delay]}]
    """)
    assert result["violations"] == [{
        "category": "heavy", "severity": "Low", "scope": "background_task", "suggestion": "use a worker",
        "message": "Endpoint 'app.reports.inline_report' calls 'pandas.read_csv' which matches a heavy_call_patterns "
                   "entry but does not enqueue any configured job queue task",
        "file_path": "app/reports.py", "qualified_name": "app.reports.inline_report"}]


# ---- pass 9: authentication wiring ---------------------------------------------------------------------


def test_auth_wiring_from_calls(project):
    project.write("app/auth.py", ROUTES + """
    @router.get("/me")
    async def me():
        claims = jwt.decode(token)
        check_permission(claims)
        OAuth2PasswordBearer(tokenUrl="t")
        raise fastapi.HTTPException(401)

    @router.get("/plain")
    async def plain():
        app.add_exception_handler(E, h)
        raise HTTPException(404)
    """)
    wiring = {w["qualified_name"]: w for w in report(project)["auth_wiring"]}
    me = wiring["app.auth.me"]
    assert me["security_dependencies"] == ["OAuth2PasswordBearer"]
    assert me["has_security_dependency"] is True and me["security_dependency_count"] == 1
    assert me["jwt_calls"] == ["jwt.decode"] and me["has_jwt"] is True
    assert me["permission_dependencies"] == ["check_permission"] and me["has_permission_checks"] is True
    assert me["has_oauth2_provider"] is True and me["has_http_exception"] is True
    assert me["has_custom_exception_handler"] is False
    plain = wiring["app.auth.plain"]
    assert plain["has_custom_exception_handler"] is True and plain["has_http_exception"] is True
    assert plain["security_dependencies"] == [] and plain["has_oauth2_provider"] is False


def test_auth_wiring_follows_dependencies(project, fastapi_metadata):
    project.write("app/deps.py", """
        from fastapi import Depends, Security
        from fastapi.security import OAuth2PasswordBearer

        oauth2_scheme = OAuth2PasswordBearer(tokenUrl="token")

        async def current_user(token: str = Depends(oauth2_scheme)):
            return token

        async def require_scope(user=Depends(current_user)):
            return user
    """)
    project.write("app/api.py", ROUTES + """
    from fastapi import Depends, Security
    from app.deps import require_scope

    @router.get("/admin")
    async def admin(user=Depends(require_scope), key=Security(api_key)):
        return user
    """)
    wiring = report(project)["auth_wiring"]
    assert len(wiring) == 1
    w = wiring[0]
    # api_key is a Security marker, oauth2_scheme is reached through two dependency functions.
    assert w["security_dependencies"] == ["api_key", "oauth2_scheme"]
    assert w["security_dependency_count"] == 2
    assert w["permission_dependencies"] == ["require_scope"] and w["has_permission_checks"] is True


# ---- pass 10: settings classes and the environment ------------------------------------------------------


def test_settings_classes_link_environment_access(project):
    project.write("app/settings.py", """
        from pydantic_settings import BaseSettings

        class Settings(BaseSettings):
            def database_url(self):
                return os.getenv("DATABASE_URL")

            def debug(self):
                return os.environ.get("DEBUG") or os.environ["X"]

        # No lookups of its own: the ones of Settings above are not credited to it.
        class Quiet(BaseSettings):
            name: str = "x"
    """)
    result = report(project)
    assert result["config_env_links"] == [{
        "settings_name": "app.settings.Settings", "file_path": "app/settings.py",
        "env_hits": [{"call": "os.getenv", "category": "env_access", "severity": "Medium"},
                     {"call": "os.environ.get", "category": "env_access", "severity": "Medium"}]}]


# ---- pass 11: test links ----------------------------------------------------------------------------------


def test_tests_calling_an_endpoint_are_linked_once(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    async def list_items():
        return []
    """)
    project.write("app/tests/check_items.py", """
        from app.items import list_items

        def check_twice():
            list_items()
            x = list_items()
    """)
    project.write("test_smoke.py", """
        import app.items

        def test_smoke():
            app.items.list_items()
    """)
    project.write("app/other.py", """
        def not_a_test():
            list_items()
    """)
    links = report(project)["test_links"]
    assert links == [
        {"test_caller": "test_smoke.test_smoke", "test_file": "test_smoke.py", "call_line": 5,
         "endpoint": "app.items.list_items", "endpoint_file": "app/items.py"},
        {"test_caller": "app.tests.check_items.check_twice", "test_file": "app/tests/check_items.py", "call_line": 5,
         "endpoint": "app.items.list_items", "endpoint_file": "app/items.py"},
    ]


# ---- preparation: files the analysis skips -----------------------------------------------------------------


def test_denied_and_unparsable_files_are_skipped(project):
    project.write("app/items.py", ROUTES + """
    @router.get("/items")
    def list_items():
        return []
    """)
    project.write("app/secrets/hidden.py", ROUTES + """
    @router.get("/hidden")
    def hidden():
        return []
    """)
    project.write("app/password_reset.py", ROUTES + """
    @router.get("/reset")
    def reset():
        return []
    """)
    project.write("app/broken.py", "def broken(:\n")
    result = report(project)
    assert result["stats"]["total_definitions"] == 1
    assert [v["qualified_name"] for v in result["violations"]] == ["app.items.list_items"]


def test_a_failing_analysis_is_logged_and_raised(project):
    project.write("app/items.py", ROUTES)
    project.write(".norvo/fastapi_scaling.yaml", "version: [\n")
    atlas = project.atlas()
    with pytest.raises(ValueError):
        atlas.analyze_fastapi_scaling()
    # A corrected file works on the next call with the same object.
    project.write(".norvo/fastapi_scaling.yaml", "version: '2'\n")
    assert atlas.analyze_fastapi_scaling()["policy_version"] == "2"


def test_log_records_of_skipped_files_and_failures(project):
    """Logging is process-wide, so this runs in a child process."""
    import os
    import re
    import subprocess
    import sys

    project.write("app/items.py", ROUTES)
    project.write("app/secrets/key.py", "X = 1\n")
    project.write("app/broken.py", "def broken(:\n")
    code = textwrap.dedent(f"""
        from norvo import norvo_native as nn
        nn.init_logging("debug")
        atlas = nn.Atlas({str(project.root)!r})
        atlas.scan()
        atlas.analyze_fastapi_scaling()
        atlas.analyze_fastapi_router_topology()
        open({str(project.root / '.norvo' / 'fastapi_scaling.yaml')!r}, "w").write("enabled: true\\n")
        try:
            atlas.analyze_fastapi_scaling()
        except ValueError:
            pass
    """)
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in proc.stderr.splitlines()]

    def find(text):
        return [line for line in lines if text in line]

    denied = find("Skipping file denied by security configuration during FastAPI scaling analysis")
    assert len(denied) == 1 and "analyze_fastapi_scaling:" in denied[0] and "key.py" in denied[0]
    failed = find("Failed to parse file during FastAPI scaling analysis")
    assert len(failed) == 1 and " WARN " in failed[0] and "broken.py" in failed[0] and "error=" in failed[0]
    assert len(find("Skipping file denied by security configuration during router topology analysis")) == 1
    assert len(find("Failed to parse file during FastAPI router topology analysis")) == 1
    errors = [line for line in lines if " ERROR " in line]
    assert len(errors) == 1
    assert "analyze_fastapi_scaling: norvo_atlas: " in errors[0]
    assert "error=Analysis config error in '" in errors[0] and "missing field `version`" in errors[0]
