"""Opening index databases written by earlier schema versions (1 to 8): each is
built here the way that version left it, then opened and brought to version 9
without losing rows; plus the version-bookkeeping mismatches, newer and damaged
databases."""
import calendar
import os
import re
import sqlite3
import stat
import subprocess
import sys

import pytest

from norvo import norvo_native as nn

V1 = """
CREATE TABLE schema_version (version INTEGER PRIMARY KEY);
CREATE TABLE artifacts (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    symbol_name TEXT NOT NULL,
    qualified_name TEXT NOT NULL UNIQUE,
    kind TEXT NOT NULL,
    file_path TEXT NOT NULL,
    module_path TEXT NOT NULL,
    signature TEXT,
    docstring TEXT,
    feature TEXT,
    tags TEXT NOT NULL DEFAULT '[]',
    hash TEXT,
    line_start INTEGER NOT NULL,
    line_end INTEGER NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX idx_artifacts_symbol_name ON artifacts(symbol_name);
CREATE INDEX idx_artifacts_qualified_name ON artifacts(qualified_name);
CREATE INDEX idx_artifacts_feature ON artifacts(feature);
CREATE INDEX idx_artifacts_kind ON artifacts(kind);
CREATE INDEX idx_artifacts_file_path ON artifacts(file_path);
CREATE TABLE files (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    path TEXT NOT NULL UNIQUE,
    hash TEXT NOT NULL,
    last_modified INTEGER NOT NULL,
    parse_status TEXT NOT NULL DEFAULT 'success',
    error_message TEXT,
    line_count INTEGER NOT NULL DEFAULT 0,
    artifact_count INTEGER NOT NULL DEFAULT 0,
    last_scanned DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX idx_files_path ON files(path);
CREATE INDEX idx_files_hash ON files(hash);
CREATE TABLE scan_runs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    started_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    completed_at DATETIME,
    status TEXT NOT NULL DEFAULT 'running',
    artifacts_found INTEGER DEFAULT 0,
    files_scanned INTEGER DEFAULT 0,
    files_failed INTEGER DEFAULT 0,
    duration_ms INTEGER
);
CREATE TABLE metadata (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
INSERT INTO metadata (key, value, updated_at) VALUES ('created_at', '2023-05-06 07:08:09', '2023-05-06 07:08:09');
"""

# What each version added on top of the one before.
HISTORY = {
    2: """
ALTER TABLE scan_runs ADD COLUMN git_commit TEXT;
ALTER TABLE scan_runs ADD COLUMN git_branch TEXT;
INSERT INTO metadata (key, value) VALUES ('last_git_commit', '');
""",
    3: """
CREATE TABLE imports (
    source_file TEXT NOT NULL,
    target_file TEXT NOT NULL,
    import_name TEXT NOT NULL,
    import_type TEXT NOT NULL,
    line_number INTEGER NOT NULL,
    alias TEXT,
    is_wildcard INTEGER DEFAULT 0,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    PRIMARY KEY (source_file, target_file, import_name, line_number)
);
CREATE INDEX idx_imports_source ON imports(source_file);
CREATE INDEX idx_imports_target ON imports(target_file);
CREATE INDEX idx_imports_name ON imports(import_name);
INSERT INTO metadata (key, value) VALUES ('imports_count', '0');
""",
    4: "ALTER TABLE artifacts ADD COLUMN text_blob TEXT;",
    5: "INSERT INTO metadata (key, value) VALUES ('last_known_latest_mtime', '0');",
    6: """
CREATE TABLE calls (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    caller_qualified_name TEXT NOT NULL,
    callee_qualified_name TEXT NOT NULL,
    caller_file TEXT NOT NULL,
    line_number INTEGER NOT NULL,
    call_type TEXT NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    UNIQUE (caller_qualified_name, callee_qualified_name, line_number)
);
CREATE TABLE patterns (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    pattern_type TEXT NOT NULL,
    name TEXT NOT NULL,
    file_path TEXT NOT NULL,
    confidence REAL NOT NULL,
    artifacts TEXT NOT NULL DEFAULT '[]',
    indicators TEXT NOT NULL DEFAULT '[]',
    explanation TEXT,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE domains (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    files TEXT NOT NULL DEFAULT '[]',
    keywords TEXT NOT NULL DEFAULT '[]',
    artifact_count INTEGER DEFAULT 0,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE TABLE embeddings (
    artifact_id INTEGER PRIMARY KEY,
    embedding BLOB,
    embedding_model TEXT,
    embedding_dim INTEGER,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    FOREIGN KEY (artifact_id) REFERENCES artifacts(id) ON DELETE CASCADE
);
""",
    7: """
ALTER TABLE artifacts ADD COLUMN http_method TEXT;
ALTER TABLE artifacts ADD COLUMN route_path TEXT;
ALTER TABLE artifacts ADD COLUMN router_prefix TEXT;
""",
    8: """
ALTER TABLE artifacts ADD COLUMN direct_dependencies TEXT NOT NULL DEFAULT '[]';
ALTER TABLE artifacts ADD COLUMN dependency_chain TEXT NOT NULL DEFAULT '[]';
ALTER TABLE artifacts ADD COLUMN security_dependencies TEXT NOT NULL DEFAULT '[]';
""",
}

ARTIFACT_COLUMNS_V9 = [
    "id", "symbol_name", "qualified_name", "kind", "file_path", "module_path", "signature", "docstring", "feature",
    "tags", "text_blob", "hash", "http_method", "route_path", "router_prefix", "direct_dependencies",
    "dependency_chain", "security_dependencies", "request_models", "response_models", "pydantic_fields_summary",
    "pydantic_validators_summary", "line_start", "line_end", "created_at", "updated_at",
]
TABLES_V9 = {"schema_version", "artifacts", "files", "scan_runs", "imports", "metadata", "calls", "patterns",
             "domains", "embeddings"}
COMPLETED_AT = "2024-02-03 04:05:06"


def columns(con, table):
    return [row[1] for row in con.execute(f"PRAGMA table_info({table})")]


def tables(con):
    return {row[0] for row in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'")} - {"sqlite_sequence"}


def insert(con, table, **values):
    names = ", ".join(values)
    marks = ", ".join("?" * len(values))
    con.execute(f"INSERT INTO {table} ({names}) VALUES ({marks})", tuple(values.values()))


def build_database(path, version):
    """A database as version `version` of the index left it, with a few rows."""
    path.parent.mkdir(parents=True, exist_ok=True)
    con = sqlite3.connect(path)
    con.executescript(V1)
    for step in range(2, version + 1):
        con.executescript(HISTORY[step])
    con.execute("INSERT INTO schema_version (version) VALUES (?)", (version,))
    insert(con, "metadata", key="schema_version", value=str(version))

    for i, name in enumerate(["create_order", "OrderRepo"]):
        row = dict(symbol_name=name, qualified_name=f"app.orders.{name}", kind=["endpoint", "class"][i],
                   file_path="app/orders.py", module_path="app.orders", signature=f"{name}()" if i == 0 else None,
                   docstring="Doc.", feature="orders", tags='["http_post","fastapi_route"]' if i == 0 else "[]",
                   line_start=3 + 10 * i, line_end=8 + 10 * i, created_at="2023-06-01 00:00:00",
                   updated_at="2023-06-02 00:00:00")
        if version >= 4:
            row["text_blob"] = f"{name} app.orders.{name}"
        if version >= 7:
            row.update(http_method="post" if i == 0 else None, route_path="/orders" if i == 0 else None)
        if version >= 8:
            row.update(direct_dependencies='["get_db"]', dependency_chain='["get_db","engine"]')
        insert(con, "artifacts", **row)
    run = dict(started_at="2024-02-03 04:05:00", completed_at=COMPLETED_AT, status="completed", artifacts_found=2,
               files_scanned=1, files_failed=0, duration_ms=6000)
    if version >= 2:
        run.update(git_commit="abc123", git_branch="main")
        con.execute("UPDATE metadata SET value = 'abc123' WHERE key = 'last_git_commit'")
    insert(con, "scan_runs", **run)
    if version >= 3:
        insert(con, "imports", source_file="app/orders.py", target_file="app/db.py", import_name="app.db",
               import_type="module", line_number=1, alias="database", is_wildcard=0)
    if version >= 5:
        con.execute("UPDATE metadata SET value = '1700000000' WHERE key = 'last_known_latest_mtime'")
    if version >= 6:
        insert(con, "calls", caller_qualified_name="app.orders.create_order", callee_qualified_name="repo.save",
               caller_file="app/orders.py", line_number=5, call_type="method")
        insert(con, "patterns", pattern_type="repository", name="OrderRepo", file_path="app/orders.py",
               confidence=0.8, artifacts='["app.orders.OrderRepo"]', indicators="[]", explanation="Repo.")
    con.commit()
    con.close()
    os.chmod(path, 0o644)


def snapshot(con):
    """Every row of every table, keyed by column name."""
    out = {}
    for table in sorted(tables(con)):
        cur = con.execute(f"SELECT * FROM {table} ORDER BY rowid" if table != "metadata" else
                          "SELECT * FROM metadata ORDER BY key")
        names = [d[0] for d in cur.description]
        out[table] = [dict(zip(names, row)) for row in cur.fetchall()]
    return out


def dump(path):
    con = sqlite3.connect(path)
    try:
        return "\n".join(con.iterdump())
    finally:
        con.close()


@pytest.mark.parametrize("version", range(1, 9))
def test_old_database_migrates_without_losing_rows(project, version):
    build_database(project.db_path, version)
    before = snapshot(sqlite3.connect(project.db_path))

    atlas = project.atlas()

    con = project.connect()
    assert con.execute("SELECT version FROM schema_version").fetchall() == [(9,)]
    assert set(columns(con, "artifacts")) == set(ARTIFACT_COLUMNS_V9)  # added columns come last
    assert {"git_commit", "git_branch"} <= set(columns(con, "scan_runs"))
    assert tables(con) == TABLES_V9
    after = snapshot(con)
    for table, rows in before.items():
        if table in ("schema_version", "metadata"):
            continue
        assert [{k: row[k] for k in old} for row, old in zip(after[table], rows)] == rows, table
        assert len(after[table]) == len(rows), table
    for row in after["artifacts"]:
        for column in ("request_models", "response_models") + (
                ("direct_dependencies", "dependency_chain", "security_dependencies") if version < 8 else ()):
            assert row[column] == "[]"
        assert row["pydantic_fields_summary"] is None and row["pydantic_validators_summary"] is None

    meta = {row["key"]: row["value"] for row in after["metadata"]}
    assert meta["schema_version"] == "9"
    assert meta["created_at"] == "2023-05-06 07:08:09"
    assert meta["last_git_commit"] == ("abc123" if version >= 2 else "")
    assert meta["imports_count"] == "0"
    assert meta["last_known_latest_mtime"] == ("1700000000" if version >= 5 else "0")

    assert stat.S_IMODE(project.db_path.stat().st_mode) == 0o600
    health = atlas.health()
    assert (health["artifact_count"], health["status"]) == (2, "healthy")
    assert health["last_scan"] == calendar.timegm((2024, 2, 3, 4, 5, 6))

    # A second open finds version 9 and changes nothing.
    del atlas
    first = dump(project.db_path)
    project.atlas()
    assert dump(project.db_path) == first


ANSI = re.compile(r"\x1b\[[0-9;]*m")


def migration_log(root):
    """The records of the migrations target when `root` is opened at DEBUG."""
    code = f"from norvo import norvo_native as nn\nnn.init_logging('debug')\nnn.Atlas({str(root)!r})\n"
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    marker = "norvo_atlas::storage::migrations: "
    lines = [ANSI.sub("", line) for line in proc.stderr.splitlines()]
    return proc.returncode, [line.split(marker, 1)[1] for line in lines if marker in line]


def test_migration_log_from_version_7(project):
    build_database(project.db_path, 7)
    rc, records = migration_log(project.root)
    assert rc == 0
    assert records == [
        "Running schema migrations from=7 to=9",
        "Running migration version=8",
        "Migration v8 complete: Added dependency columns to artifacts",
        "Running migration version=9",
        "Migration v9 complete: Added request/response schema columns to artifacts",
        "Migrations complete version=9",
    ]


def test_migration_log_from_version_1(project):
    build_database(project.db_path, 1)
    rc, records = migration_log(project.root)
    assert rc == 0
    assert [r for r in records if r.startswith("Running migration ")] == [
        f"Running migration version={v}" for v in range(2, 10)
    ]
    assert [r.split(":")[0] for r in records if r.startswith("Migration v")] == [
        f"Migration v{v} complete" for v in range(2, 10)
    ]


def test_newer_database_is_left_alone_with_a_warning(project):
    build_database(project.db_path, 8)
    con = sqlite3.connect(project.db_path)
    con.execute("UPDATE schema_version SET version = 12")
    con.execute("UPDATE metadata SET value = '12' WHERE key = 'schema_version'")
    con.commit()
    con.close()
    before = snapshot(sqlite3.connect(project.db_path))
    rc, records = migration_log(project.root)
    assert rc == 0
    assert records == [
        "Database was created by a newer version of Norvo. Some features may not work correctly. "
        "Consider upgrading. db_version=12 lib_version=9"
    ]
    after = snapshot(sqlite3.connect(project.db_path))
    assert after["schema_version"] == [{"version": 12}]
    # The creation script may add the tables this newer file lacks, but no column or row changes.
    assert {t: after[t] for t in before} == before


def set_bookkeeping(path, table_versions, metadata_value):
    con = sqlite3.connect(path)
    con.execute("DELETE FROM schema_version")
    con.executemany("INSERT INTO schema_version (version) VALUES (?)", [(v,) for v in table_versions])
    if metadata_value is None:
        con.execute("DELETE FROM metadata WHERE key = 'schema_version'")
    else:
        con.execute("UPDATE metadata SET value = ? WHERE key = 'schema_version'", (metadata_value,))
    con.commit()
    con.close()


@pytest.mark.parametrize(
    "table_versions, metadata_value",
    [
        ([7], "9"),  # the smaller of the two wins
        ([7], "seven"),  # an unparsable metadata copy is ignored
        ([7], "0"),
        ([7], None),
        ([3, 7], "7"),  # several rows: the highest counts, and one row remains
        ([], "7"),  # an emptied table is refilled with 9 by the script; the metadata copy decides
    ],
)
def test_version_bookkeeping_variants_still_reach_9(project, table_versions, metadata_value):
    build_database(project.db_path, 7)
    set_bookkeeping(project.db_path, table_versions, metadata_value)
    project.atlas()
    con = project.connect()
    assert con.execute("SELECT version FROM schema_version").fetchall() == [(9,)]
    assert con.execute("SELECT value FROM metadata WHERE key = 'schema_version'").fetchone() == ("9",)
    assert set(columns(con, "artifacts")) == set(ARTIFACT_COLUMNS_V9)


def test_metadata_behind_table_version_still_reaches_9(project):
    # The steps re-run from the lower version find their columns present and skip them,
    # instead of failing at every open.
    build_database(project.db_path, 7)
    set_bookkeeping(project.db_path, [7], "5")
    rows = snapshot(sqlite3.connect(project.db_path))["artifacts"]
    project.atlas()
    project.atlas()
    con = project.connect()
    assert con.execute("SELECT version FROM schema_version").fetchall() == [(9,)]
    assert con.execute("SELECT value FROM metadata WHERE key = 'schema_version'").fetchone() == ("9",)
    assert set(columns(con, "artifacts")) == set(ARTIFACT_COLUMNS_V9)
    after = snapshot(con)["artifacts"]
    assert rows and len(after) == len(rows)
    assert all(old.items() <= new.items() for old, new in zip(rows, after))


def test_damaged_database_is_reported_and_left_in_place(project):
    project.atlas()
    con = project.connect()
    con.execute("BEGIN")
    con.executemany(
        "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, docstring, line_start,"
        " line_end) VALUES (?, ?, 'function', 'm.py', 'm', ?, 1, 2)",
        [(f"f{i}", f"m.f{i}", "x" * 500) for i in range(400)],
    )
    con.execute("COMMIT")
    con.close()
    size = project.db_path.stat().st_size
    with open(project.db_path, "r+b") as f:
        f.truncate(size // 2)
    damaged = project.db_path.read_bytes()
    with pytest.raises(RuntimeError, match=r"^Database error: schema: database disk image is malformed$"):
        project.atlas()
    assert project.db_path.read_bytes() == damaged
