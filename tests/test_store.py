"""The index store: ArtifactKind, Atlas.count()/health(), and the repository and
artifact records, driven through the native store driver (tests/native/store)
where they are not reachable from Python yet."""
import calendar
import json
import os
import sqlite3
import subprocess
import time
from pathlib import Path

import pytest

from norvo import norvo_native as nn

ROOT = Path(__file__).resolve().parent.parent

KINDS = {
    "FUNCTION": "function",
    "ASYNC_FUNCTION": "async_function",
    "CLASS": "class",
    "METHOD": "method",
    "ENDPOINT": "endpoint",
    "CONTRACT": "contract",
    "MODEL": "model",
    "CONSTANT": "constant",
}


# ---- ArtifactKind -------------------------------------------------------------


def test_artifact_kind_attributes_are_plain_str():
    public = {name for name in vars(nn.ArtifactKind) if name.isupper()}
    assert public == set(KINDS)  # type_alias has no attribute
    for name, text in KINDS.items():
        value = getattr(nn.ArtifactKind, name)
        assert type(value) is str and value == text


def test_artifact_kind_docstring():
    assert nn.ArtifactKind.__doc__ == (
        "Artifact kind enumeration exposed to Python.\n\nRepresents the classification of a code artifact."
    )


# ---- count() and health() ------------------------------------------------------


def test_health_of_new_project(project, monkeypatch):
    monkeypatch.chdir(project.root)
    atlas = nn.Atlas(".")
    health = atlas.health()
    assert list(health) == ["artifact_count", "last_scan", "db_path", "status"]
    assert health == {
        "artifact_count": 0,
        "last_scan": None,
        "db_path": str(project.db_path.resolve()),
        "status": "needs_scan",
    }
    assert atlas.count() == 0


def test_health_uses_configured_database_name(project):
    project.write(".norvo/config.toml", '[atlas]\ndb_filename = "index.db"\n')
    assert project.atlas().health()["db_path"] == str((project.root / ".norvo" / "index.db").resolve())


def test_count_and_health_never_scan(project):
    project.write("app/service.py", "def pay():\n    pass\n")
    atlas = project.atlas()
    assert atlas.count() == 0
    assert atlas.health()["status"] == "needs_scan"
    con = project.connect()
    assert con.execute("SELECT COUNT(*) FROM scan_runs").fetchone() == (0,)
    assert con.execute("SELECT COUNT(*) FROM artifacts").fetchone() == (0,)


@pytest.mark.parametrize("method", ["count", "health"])
def test_count_and_health_take_no_arguments(project, method):
    with pytest.raises(TypeError, match=rf"^Atlas\.{method}\(\) takes 0 positional arguments but 1 was given$"):
        getattr(project.atlas(), method)(1)


def test_health_reads_rows_and_latest_completed_scan(project):
    atlas = project.atlas()
    con = project.connect()
    con.execute(
        "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, line_start, line_end)"
        " VALUES ('f', 'm.f', 'function', 'm.py', 'm', 1, 2)"
    )
    con.execute("INSERT INTO scan_runs (completed_at, status) VALUES ('2024-01-02 03:04:05', 'completed')")
    # A later run that never completed does not count.
    con.execute("INSERT INTO scan_runs (completed_at, status) VALUES (NULL, 'running')")
    health = atlas.health()
    assert health["artifact_count"] == atlas.count() == 1
    assert health["last_scan"] == calendar.timegm((2024, 1, 2, 3, 4, 5))
    assert health["status"] == "healthy"


def test_unparsable_scan_time_reads_as_none(project):
    atlas = project.atlas()
    project.connect().execute("INSERT INTO scan_runs (completed_at, status) VALUES ('not a time', 'completed')")
    assert atlas.health()["last_scan"] is None


@pytest.mark.parametrize("method", ["count", "health"])
def test_database_failure_surfaces_as_runtime_error(project, method):
    atlas = project.atlas()
    project.connect().execute("DROP TABLE artifacts")
    with pytest.raises(RuntimeError, match=r"^Database error: count: no such table: artifacts$"):
        getattr(atlas, method)()


# ---- the native store driver -----------------------------------------------------


@pytest.fixture(scope="session")
def store_check(native_drivers):
    return native_drivers / "store_check"


class Store:
    """Runs repository operations on one database through the driver."""

    def __init__(self, exe, db_path, raw=False):
        self.exe = exe
        self.db_path = db_path
        self.raw = raw  # skip the schema script and migrations on open

    def run(self, *ops, log=None):
        args = [str(self.exe)] + (["--log", log] if log else []) + (["--raw"] if self.raw else [])
        args.append(str(self.db_path))
        proc = subprocess.run(args, input=json.dumps(list(ops)), capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        results = json.loads(proc.stdout)
        return (results, proc.stderr) if log else results

    def __call__(self, op, **fields):
        (result,) = self.run({"op": op, **fields})
        assert "ok" in result, result
        return result["ok"]

    def error(self, op, **fields):
        (result,) = self.run({"op": op, **fields})
        assert "error" in result, result
        return result["error"]


@pytest.fixture
def store(store_check, project):
    project.atlas()  # the database as a project open creates it
    return Store(store_check, project.db_path)


def artifact(name, module="app.mod", line=1, **fields):
    a = dict(
        symbol_name=name,
        qualified_name=f"{module}.{name}",
        kind="function",
        file_path=module.replace(".", "/") + ".py",
        module_path=module,
        signature=None,
        docstring=None,
        feature=None,
        tags=[],
        hash=None,
        http_method=None,
        route_path=None,
        router_prefix=None,
        direct_dependencies=[],
        dependency_chain=[],
        security_dependencies=[],
        request_models=[],
        response_models=[],
        pydantic_fields_summary=None,
        pydantic_validators_summary=None,
        line_start=line,
        line_end=line + 1,
    )
    a.update(fields)
    return a


FULL = artifact(
    "create_order",
    module="app.features.billing.api",
    line=10,
    kind="endpoint",
    signature="create_order(payload, db)",
    docstring='Create an order.\n\nSays "hi" \\ and ünïcödé ✓.',
    feature="billing",
    tags=["http_post", "fastapi_route", "router_router", 'quote"back\\slash', "ctl\x01", "auth_enforced"],
    hash="abc123",
    http_method="post",
    route_path="/orders",
    router_prefix="/api",
    direct_dependencies=["get_db", "get_user"],
    dependency_chain=["get_db", "get_user", "oauth2_scheme"],
    security_dependencies=["get_user"],
    request_models=["OrderIn"],
    response_models=["OrderOut", "list[Item]"],
    pydantic_fields_summary='[{"name":"a","type_expr":"int","has_default":false}]',
    pydantic_validators_summary='[{"name":"v","kind":"validator","fields":[],"mode":null}]',
    line_end=2**40,
)


def compact(items):
    return json.dumps(items, separators=(",", ":"), ensure_ascii=False)


# ---- artifacts -----------------------------------------------------------------


def test_artifacts_read_back_identically(store, project):
    kinds = [artifact(f"k_{text}", module="app.kinds", line=i, kind=text) for i, text in enumerate(KINDS.values())]
    kinds.append(artifact("alias", module="app.kinds", line=99, kind="type_alias"))
    minimal = artifact("zeta", module="main", line=3)
    store("upsert", artifacts=[FULL, minimal, *kinds])
    expected = sorted([FULL, minimal, *kinds], key=lambda a: (a["file_path"], a["line_start"]))
    assert store("all_artifacts") == expected
    assert store("count") == len(expected)

    con = project.connect()
    row = con.execute(
        "SELECT kind, tags, direct_dependencies, response_models, hash, text_blob FROM artifacts"
        " WHERE qualified_name = ?",
        (FULL["qualified_name"],),
    ).fetchone()
    assert row[:5] == ("endpoint", compact(FULL["tags"]), '["get_db","get_user"]', '["OrderOut","list[Item]"]', "abc123")
    assert row[5] == " ".join(
        ["create_order", FULL["qualified_name"], "endpoint", FULL["signature"], FULL["docstring"], "billing", *FULL["tags"]]
    )
    row = con.execute(
        "SELECT tags, dependency_chain, request_models, signature, hash, text_blob FROM artifacts"
        " WHERE qualified_name = 'main.zeta'"
    ).fetchone()
    assert row == ("[]", "[]", "[]", None, None, "zeta main.zeta function")


def test_second_upsert_replaces_row_but_keeps_id_and_created_at(store, project):
    first = artifact("save", module="app.models", line=5, tags=["dataclass"], signature="save(self)", feature="x")
    store("upsert", artifacts=[first])
    con = project.connect()
    con.execute("UPDATE artifacts SET created_at = '2000-01-01 00:00:00', updated_at = '2000-01-01 00:00:00'")
    (row_id,) = con.execute("SELECT id FROM artifacts").fetchone()

    second = artifact("save", module="app.models", line=40, kind="method", docstring="Saves.", file_path="app/models.py")
    store("upsert", artifacts=[second])
    assert store("all_artifacts") == [second]  # every field replaced, absent ones cleared
    rows = con.execute("SELECT id, created_at, updated_at, text_blob FROM artifacts").fetchall()
    assert len(rows) == 1
    assert rows[0][:2] == (row_id, "2000-01-01 00:00:00")
    assert rows[0][2] != "2000-01-01 00:00:00"
    assert rows[0][3] == "save app.models.save method Saves."


def test_store_artifacts_is_all_or_nothing(store, project):
    store("store_artifacts", artifacts=[artifact("kept")])
    project.connect().execute(
        "CREATE TRIGGER refuse BEFORE INSERT ON artifacts WHEN NEW.symbol_name = 'boom'"
        " BEGIN SELECT RAISE(ABORT, 'refused'); END"
    )
    err = store.error("store_artifacts", artifacts=[artifact("a"), artifact("kept", line=7), artifact("boom")])
    assert err["operation"] == "upsert_artifact" and err["message"] == "refused"
    assert [a["symbol_name"] for a in store("all_artifacts")] == ["kept"]
    assert store("all_artifacts")[0]["line_start"] == 1  # the replaced row was rolled back too


@pytest.mark.parametrize(
    "column, stored, field, expected",
    [
        ("tags", "not json", "tags", []),
        ("tags", '{"a": 1}', "tags", []),
        ("tags", '["a", 2]', "tags", []),
        ("tags", '[ "spaced" , "ok" ]', "tags", ["spaced", "ok"]),
        ("dependency_chain", "", "dependency_chain", []),
        ("security_dependencies", "[", "security_dependencies", []),
        ("response_models", "null", "response_models", []),
        ("kind", "typealias", "kind", "type_alias"),
        ("kind", "type_alias", "kind", "type_alias"),
        ("kind", "Function", "kind", "function"),
        ("kind", "lambda", "kind", "function"),
        ("signature", None, "signature", None),
    ],
)
def test_tolerant_read_back(store, project, column, stored, field, expected):
    store("upsert", artifacts=[artifact("f", tags=["t"], signature="f()", kind="class")])
    project.connect().execute(f"UPDATE artifacts SET {column} = ?", (stored,))
    (row,) = store("all_artifacts")
    assert row[field] == expected


def test_unreadable_line_number_is_a_read_row_error(store, project):
    store("upsert", artifacts=[artifact("f")])
    project.connect().execute("UPDATE artifacts SET line_start = 'twelve'")
    err = store.error("all_artifacts")
    assert err["operation"] == "read_row" and "line_start" in err["message"]


SEARCH_ROWS = [
    artifact("get_user", module="app.api"),
    artifact("user", module="app.models"),
    artifact("helper", module="app.users.tools"),  # matches in module and file path only
    artifact("user_service", module="app.services"),
    artifact("zeta", module="user_tools"),  # qualified-name prefix
    artifact("alpha", module="x", file_path="pkg/user/x.py"),  # file path only
    artifact("Admin", module="app.admin"),
]


def test_search_ranks_exact_then_prefix_then_contains(store):
    store("upsert", artifacts=SEARCH_ROWS)
    names = [a["symbol_name"] for a in store("search", query="user", limit=10)]
    assert names == ["user", "user_service", "zeta", "alpha", "get_user", "helper"]
    assert [a["symbol_name"] for a in store("search", query="user", limit=2)] == ["user", "user_service"]


def test_search_rank_beats_name_order(store):
    rows = [
        artifact("ab", module="m"),  # qualified-name prefix
        artifact("m.a_x", module="q"),  # symbol-name prefix
        artifact("a", module="m"),  # exact qualified name
        artifact("m.a", module="z"),  # exact symbol name
    ]
    store("upsert", artifacts=rows)
    assert [a["symbol_name"] for a in store("search", query="m.a", limit=10)] == ["m.a", "a", "m.a_x", "ab"]


@pytest.mark.parametrize(
    "query, expected",
    [
        ("", ["Admin", "alpha", "get_user", "helper", "user", "user_service", "zeta"]),
        ("USER", ["user", "user_service", "zeta", "alpha", "get_user", "helper"]),  # ASCII case-insensitive
        ("u_er", ["user", "user_service", "zeta", "alpha", "get_user", "helper"]),  # _ is a wildcard
        ("ad%n", ["Admin"]),
        ("nothing", []),
    ],
)
def test_search_like_semantics(store, query, expected):
    store("upsert", artifacts=SEARCH_ROWS)
    assert [a["symbol_name"] for a in store("search", query=query, limit=100)] == expected


def test_search_limit_beyond_signed_range(store):
    store("upsert", artifacts=SEARCH_ROWS)
    assert len(store("search", query="", limit=2**64 - 1)) == len(SEARCH_ROWS)


def test_artifacts_by_feature_or_kind(store):
    rows = [
        artifact("b", module="app.billing.api", line=9, feature="billing"),
        artifact("a", module="app.billing.api", line=2, feature="billing"),
        artifact("e", module="app.orders", kind="endpoint", feature="orders"),
        artifact("c", module="app.other", feature="billing2"),
    ]
    store("upsert", artifacts=rows)
    assert [a["symbol_name"] for a in store("by_feature", feature="billing")] == ["a", "b"]
    assert [a["symbol_name"] for a in store("by_feature", feature="endpoint")] == ["e"]
    assert store("by_feature", feature="bill%") == []  # equality, not LIKE


# ---- import and call edges ---------------------------------------------------------


def imp(source, target, name, line, type_="module", alias=None, wildcard=False):
    return dict(source_file=source, target_file=target, import_name=name, import_type=type_, line_number=line,
                alias=alias, is_wildcard=wildcard)


def call(caller, callee, line, type_="direct", file="app/a.py"):
    return dict(caller_qualified_name=caller, callee_qualified_name=callee, caller_file=file, line_number=line,
                call_type=type_)


def test_imports_round_trip_and_replace(store, project):
    edges = [
        imp("b.py", "os.py", "os", 3, alias="system"),
        imp("a.py", "x.py", "x", 9, "wildcard", wildcard=True),
        imp("a.py", "app/api/views.py", "app.api.views", 2, "relative"),
        imp("a.py", "typing/List.py", "typing.List", 1, "from"),
        imp("a.py", "typing/List.py", "typing.List", 5, "from"),  # same import on another line
    ]
    store("insert_imports", edges=edges)
    assert store("all_imports") == sorted(edges, key=lambda e: (e["source_file"], e["line_number"]))
    store("insert_imports", edges=[imp("b.py", "os.py", "os", 3, alias="o2")])  # same key: replaced
    rows = store("all_imports")
    assert len(rows) == 5 and rows[-1]["alias"] == "o2"
    assert project.connect().execute("SELECT is_wildcard FROM imports WHERE import_name = 'x'").fetchone() == (1,)


def test_calls_round_trip_and_replace(store):
    edges = [
        call("app.a.f", "print", 4),
        call("app.a.f", "client.get", 2, "async"),
        call("app.a.Api.g", "self.save", 8, "method"),
        call("app.a.f", "print", 9, "static"),
    ]
    store("insert_calls", edges=edges)
    assert store("all_calls") == sorted(edges, key=lambda e: (e["caller_qualified_name"], e["line_number"]))
    store("insert_calls", edges=[call("app.a.f", "print", 4, "callback"), call("app.a.f", "print", 4, "super")])
    rows = [e for e in store("all_calls") if e["line_number"] == 4]
    assert rows == [call("app.a.f", "print", 4, "super")]  # last write for the key wins


@pytest.mark.parametrize(
    "op, edges, bad, operation",
    [
        ("insert_imports", [imp("a.py", "b.py", "b", 1), imp("a.py", "c.py", "boom", 2)], "import_name",
         "insert_import"),
        ("insert_calls", [call("m.f", "g", 1), call("m.f", "boom", 2)], "callee_qualified_name", "insert_call_edge"),
    ],
)
def test_failing_edge_batch_leaves_nothing(store, project, op, edges, bad, operation):
    table = "imports" if op == "insert_imports" else "calls"
    read = "all_imports" if op == "insert_imports" else "all_calls"
    store(op, edges=edges[:1])
    before = store(read)
    project.connect().execute(
        f"CREATE TRIGGER refuse BEFORE INSERT ON {table} WHEN NEW.{bad} = 'boom'"
        " BEGIN SELECT RAISE(ABORT, 'refused'); END"
    )
    fresh = [dict(e, line_number=e["line_number"] + 100) for e in edges]
    err = store.error(op, edges=fresh)
    assert err == {"operation": operation, "message": "refused", "text": f"Database error in {operation}: refused"}
    assert store(read) == before


@pytest.mark.parametrize(
    "stored, expected",
    [("module", "module"), ("from", "from"), ("wildcard", "wildcard"), ("star", "wildcard"),
     ("relative", "relative"), ("FROM", "module"), ("", "module")],
)
def test_import_type_read_back(store, project, stored, expected):
    project.connect().execute(
        "INSERT INTO imports (source_file, target_file, import_name, import_type, line_number)"
        " VALUES ('a.py', 'b.py', 'b', ?, 1)",
        (stored,),
    )
    assert store("all_imports")[0]["import_type"] == expected


@pytest.mark.parametrize(
    "stored, expected",
    [(t, t) for t in ["direct", "async", "callback", "method", "super", "static"]] + [("Direct", "none"), ("x", "none")],
)
def test_call_type_read_back(store, project, stored, expected):
    project.connect().execute(
        "INSERT INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number, call_type)"
        " VALUES ('m.f', 'g', 'm.py', 1, ?)",
        (stored,),
    )
    assert store("all_calls")[0]["call_type"] == expected


# ---- scan runs and metadata -------------------------------------------------------------


def test_record_scan_run(store, project):
    first = store("record_scan_run", artifacts_found=7, files_scanned=3, files_failed=1, duration_ms=2500,
                  git_commit="abc", git_branch="main")
    second = store("record_scan_run", artifacts_found=0, files_scanned=0, files_failed=0, duration_ms=999,
                   git_commit=None, git_branch=None)
    assert second == first + 1
    con = project.connect()
    rows = con.execute(
        "SELECT id, status, artifacts_found, files_scanned, files_failed, duration_ms, git_commit, git_branch,"
        " CAST(strftime('%s', completed_at) AS INTEGER) - CAST(strftime('%s', started_at) AS INTEGER)"
        " FROM scan_runs ORDER BY id"
    ).fetchall()
    assert rows == [
        (first, "completed", 7, 3, 1, 2500, "abc", "main", 2),
        (second, "completed", 0, 0, 0, 999, None, None, 0),
    ]
    (completed,) = con.execute("SELECT strftime('%s', completed_at) FROM scan_runs WHERE id = ?", (second,)).fetchone()
    assert store("last_scan") == int(completed)
    assert abs(int(completed) - time.time()) < 120


def test_last_scan_without_runs(store):
    assert store("last_scan") is None


def test_metadata(store):
    assert store("get_metadata", key="never_written") is None
    assert store("get_metadata", key="last_known_latest_mtime") == "0"
    store("set_metadata", key="last_git_commit", value="deadbeef")
    store("set_metadata", key="custom", value="")
    assert store("get_metadata", key="last_git_commit") == "deadbeef"
    assert store("get_metadata", key="custom") == ""
    store("set_metadata", key="last_git_commit", value="cafe")
    assert store("get_metadata", key="last_git_commit") == "cafe"


def test_metadata_failure_names_the_operation(store, project):
    project.connect().execute("DROP TABLE metadata")
    store.raw = True  # a normal open would create the table again
    assert store.error("get_metadata", key="k")["operation"] == "get_metadata"
    assert store.error("set_metadata", key="k", value="v")["text"].startswith("Database error in set_metadata: ")


# ---- patterns -------------------------------------------------------------------------


def pattern(name, confidence, type_="crud", artifacts=(), indicators=(), explanation="why"):
    return dict(pattern_type=type_, name=name, file_path=f"app/{name}.py", confidence=confidence,
                artifacts=list(artifacts), indicators=list(indicators), explanation=explanation)


def test_patterns_replace_and_order(store, project):
    store("store_patterns", patterns=[pattern("old", 0.9)])
    new = [
        pattern("b", 0.7, artifacts=["app.b.create", "app.b.get"], indicators=["create", "get"]),
        pattern("a", 0.7, "repository", explanation=None),
        pattern("c", 0.95, "service"),
    ]
    store("store_patterns", patterns=new)
    assert store("all_patterns") == [new[2], new[1], new[0]]
    assert project.connect().execute("SELECT artifacts, indicators FROM patterns WHERE name = 'b'").fetchone() == (
        '["app.b.create","app.b.get"]',
        '["create","get"]',
    )
    store("store_patterns", patterns=[])
    assert store("all_patterns") == []


def test_pattern_columns_read_tolerantly(store, project):
    store("store_patterns", patterns=[pattern("p", 0.5)])
    project.connect().execute("UPDATE patterns SET confidence = 1, artifacts = 'oops', indicators = '[1]'")
    (row,) = store("all_patterns")
    assert row["confidence"] == 1.0 and row["artifacts"] == [] and row["indicators"] == []


def test_failing_pattern_store_keeps_previous_patterns(store, project):
    store("store_patterns", patterns=[pattern("old", 0.9)])
    project.connect().execute(
        "CREATE TRIGGER refuse BEFORE INSERT ON patterns WHEN NEW.name = 'boom'"
        " BEGIN SELECT RAISE(ABORT, 'refused'); END"
    )
    err = store.error("store_patterns", patterns=[pattern("new", 0.8), pattern("boom", 0.7)])
    assert err["operation"] == "insert_pattern"
    assert [p["name"] for p in store("all_patterns")] == ["old"]  # the delete was rolled back too


# ---- building artifacts from definitions ---------------------------------------------------


@pytest.mark.parametrize(
    "relative, module_path, feature",
    [
        ("main.py", "main", None),
        ("src/core/db.py", "src.core.db", None),
        ("features/payments.py", "features.payments", "payments.py"),
        ("app/main.py", "app.main", "main.py"),
        ("app/features/billing/api.py", "app.features.billing.api", "billing"),
        ("src/orders/service.py", "src.orders.service", "orders"),
        ("src/features/a/b.py", "src.features.a.b", "a"),  # the features rule comes first
        ("lib/features/x/y.py", "lib.features.x.y", "x"),
        ("app/tests/test_x.py", "app.tests.test_x", None),
        ("app/__pycache__/m.py", "app.__pycache__.m", None),
        ("src/utils.py", "src.utils", "utils.py"),  # only an excluded directory name counts
        ("pkg/features.py", "pkg.features", None),
        ("pkg/__init__.py", "pkg.__init__", None),
        ("odd.py.py", "odd", None),
        ("dir.py/mod.pyi", "dir.py.mod.pyi", None),
    ],
)
def test_build_derives_path_fields(store, tmp_path, relative, module_path, feature):
    root = tmp_path / "root"
    (a,) = store("build", root=str(root), file=str(root / relative), definitions=[{"name": "f"}])
    assert (a["file_path"], a["module_path"], a["qualified_name"], a["feature"]) == (
        relative, module_path, module_path + ".f", feature)


def test_build_file_outside_root_keeps_absolute_path(store, tmp_path):
    (a,) = store("build", root=str(tmp_path / "root"), file=str(tmp_path / "rootx" / "m.py"),
                 definitions=[{"name": "f"}])
    assert a["file_path"] == str(tmp_path / "rootx" / "m.py")
    assert a["module_path"] == str(tmp_path / "rootx" / "m").replace("/", ".")


@pytest.mark.parametrize(
    "definition, kind, http_method",
    [
        ({"kind": "function"}, "function", None),
        ({"kind": "function", "is_async": True}, "async_function", None),
        ({"kind": "method", "is_async": True}, "method", None),
        ({"kind": "class"}, "class", None),
        ({"kind": "constant"}, "constant", None),
        ({"tags": ["http_get", "fastapi_route", "router_app"]}, "endpoint", "get"),
        ({"tags": ["http_patch", "fastapi_route"]}, "endpoint", "patch"),
        ({"kind": "class", "tags": ["contract", "pydantic_model"]}, "contract", None),
        ({"kind": "class", "tags": ["pydantic_model", "contract"]}, "model", None),
        ({"kind": "method", "tags": ["property", "http_custom"]}, "method", "custom"),
        ({"tags": ["router_mount", "http_"]}, "function", ""),
    ],
)
def test_build_kind_and_http_method(store, definition, kind, http_method):
    (a,) = store("build", root="/p", file="/p/m.py", definitions=[{"name": "f", **definition}])
    assert (a["kind"], a["http_method"]) == (kind, http_method)


def test_build_carries_definition_fields(store):
    definition = {
        "name": "create",
        "line_start": 12,
        "line_end": 30,
        "signature": "create(item, db, user)",
        "docstring": "",
        "tags": ["http_post", "fastapi_route", "router_items"],
        "route_path": "/items",
        "router_prefix": "/api/items",
        "request_models": ["Item"],
        "response_models": ["list[Item]"],
        "params": [
            {"name": "db", "dependency": "get_db", "is_dependency": True},
            {"name": "user", "dependency": "get_user", "is_dependency": True, "is_security": True},
            {"name": "again", "dependency": "get_db", "is_dependency": True, "is_security": True},
            {"name": "anon", "is_dependency": True},
            {"name": "plain", "dependency": "not_a_dep"},
        ],
    }
    other = {"name": "Item", "kind": "class", "tags": ["pydantic_model"], "line_start": 2, "line_end": 5,
             "pydantic_fields_summary": '[{"name":"a","type_expr":"int","has_default":false}]'}
    made = store("build", root="/p", file="/p/app/items/api.py", definitions=[definition, other])
    assert [a["symbol_name"] for a in made] == ["create", "Item"]  # definition order
    a = made[0]
    assert a == artifact(
        "create",
        module="app.items.api",
        kind="endpoint",
        signature="create(item, db, user)",
        docstring="",
        feature="items",
        tags=["http_post", "fastapi_route", "router_items"],
        http_method="post",
        route_path="/items",
        router_prefix="/api/items",
        direct_dependencies=["get_db", "get_user"],
        security_dependencies=["get_user", "get_db"],
        request_models=["Item"],
        response_models=["list[Item]"],
        line_start=12,
        line_end=30,
    )
    assert made[1]["kind"] == "model" and made[1]["pydantic_fields_summary"] == other["pydantic_fields_summary"]


def test_empty_docstring_stays_in_search_text(store, project):
    # A present but empty part still takes its place in the space-joined text.
    store("upsert", artifacts=[artifact("f", module="m", docstring="", feature="x")])
    assert project.connect().execute("SELECT text_blob FROM artifacts").fetchone() == ("f m.f function  x",)


# ---- log records -------------------------------------------------------------------------


def test_repository_log_records(store):
    _, err = store.run(
        {"op": "build", "root": "/p", "file": "/p/app/m.py", "definitions": [{"name": "f"}, {"name": "g"}]},
        {"op": "store_artifacts", "artifacts": [artifact("f")]},
        {"op": "search", "query": "f", "limit": 5},
        {"op": "insert_imports", "edges": [imp("a.py", "b.py", "b", 1)]},
        {"op": "insert_calls", "edges": [call("m.f", "g", 1), call("m.f", "h", 2)]},
        {"op": "store_patterns", "patterns": []},
        {"op": "record_scan_run", "artifacts_found": 1, "files_scanned": 1, "files_failed": 0, "duration_ms": 5},
        log="debug",
    )
    lines = [line.split(" ", 2)[2] for line in _strip_ansi(err).splitlines()]
    expected = [
        "norvo_atlas::artifact: Processed artifacts file=/p/app/m.py count=2",
        "norvo_atlas::storage::repository: Stored artifacts count=1",
        "norvo_atlas::storage::repository: Search results query=f count=1",
        "norvo_atlas::storage::repository: Stored imports count=1",
        "norvo_atlas::storage::repository: Stored call edges count=2",
        "norvo_atlas::storage::repository: Stored patterns count=0",
        "norvo_atlas::storage::repository: Recorded scan run scan_id=1",
    ]
    assert [line for line in lines if line in expected] == expected


def _strip_ansi(text):
    import re

    return re.sub(r"\x1b\[[0-9;]*m", "", text)


# ---- the artifact dict -------------------------------------------------------------------

DICT_KEYS = ["symbol_name", "qualified_name", "kind", "file_path", "module_path", "line_start", "line_end",
             "signature", "docstring", "feature", "hash", "http_method", "route_path", "router_prefix",
             "direct_dependencies", "dependency_chain", "security_dependencies", "tags"]


def test_artifact_dict_of_stored_rows(store, project):
    # Rows written through the repository come back through the public search
    # (which may scan the empty project first; a scan never removes rows).
    minimal = artifact("zeta", module="main", line=3, docstring="")
    store("upsert", artifacts=[FULL, minimal])
    atlas = project.atlas()
    by_name = {d["symbol_name"]: d for d in atlas.search("", limit=None)}
    full = by_name["create_order"]
    assert list(full) == DICT_KEYS
    assert full == {k: FULL[k] for k in DICT_KEYS}
    assert full["kind"] == nn.ArtifactKind.ENDPOINT
    assert by_name["zeta"] == {k: minimal[k] for k in DICT_KEYS}
    assert [d["symbol_name"] for d in atlas.search_by_feature("billing")] == ["create_order"]
