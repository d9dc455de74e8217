"""The freshness check before searches: when it rescans and when it does not."""
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import time

import pytest

ANSI = re.compile(r"\x1b\[[0-9;]*m")


def scan_runs(project):
    con = sqlite3.connect(project.db_path)
    try:
        return con.execute("SELECT COUNT(*) FROM scan_runs").fetchone()[0]
    finally:
        con.close()


def execute(project, sql, *args):
    con = sqlite3.connect(project.db_path)
    con.execute(sql, args)
    con.commit()
    con.close()


def touch_future(path, seconds=10):
    t = time.time() + seconds
    os.utime(path, (t, t))


@pytest.fixture
def indexed(project):
    project.write("app/orders.py", "def place_order():\n    pass\n")
    project.write("node_modules/pkg/x.py", "")
    project.write(".venv/lib/y.py", "")
    project.write("pkg.egg-info/z.py", "")
    atlas = project.atlas()
    atlas.scan()
    return project, atlas


def test_first_search_scans_an_empty_index(project):
    project.write("app/orders.py", "def place_order():\n    pass\n")
    atlas = project.atlas()
    assert atlas.health()["status"] == "needs_scan"
    assert atlas.count() == 0  # count and health never scan
    assert [a["symbol_name"] for a in atlas.search("order")] == ["place_order"]
    health = atlas.health()
    assert health["status"] == "healthy" and isinstance(health["last_scan"], int)
    assert scan_runs(project) == 1


def test_fresh_index_is_not_rescanned(indexed):
    project, atlas = indexed
    atlas.search("order")
    atlas.search_by_feature("function")
    assert scan_runs(project) == 1


@pytest.mark.parametrize("relative, rescans", [
    ("app/orders.py", True),
    ("node_modules/pkg/x.py", False),
    (".venv/lib/y.py", False),
    ("pkg.egg-info/z.py", False),
])
def test_modified_file_triggers_rescan(indexed, relative, rescans):
    project, atlas = indexed
    touch_future(project.root / relative)
    atlas.search("order")
    assert scan_runs(project) == (2 if rescans else 1)


def test_equal_mtime_is_not_a_modification(indexed):
    project, atlas = indexed
    newest = max(int(os.stat(p).st_mtime) for p in (project.root / "app").rglob("*.py"))
    execute(project, "UPDATE metadata SET value = ? WHERE key = 'last_known_latest_mtime'", str(newest))
    atlas.search("order")
    assert scan_runs(project) == 1


@pytest.mark.parametrize("age, rescans", [(3500, False), (3700, True), (-5000, False)])
def test_index_age(indexed, age, rescans):
    project, atlas = indexed
    execute(project, "UPDATE scan_runs SET completed_at = datetime('now', ?)", f"{-age:+d} seconds")
    atlas.search("order")
    assert scan_runs(project) == (2 if rescans else 1)


def test_artifacts_without_scan_run_rescan(indexed):
    project, atlas = indexed
    execute(project, "DELETE FROM scan_runs")
    atlas.search("order")
    assert scan_runs(project) == 1


def test_unparsable_stored_mtime_means_zero(indexed):
    project, atlas = indexed
    execute(project, "UPDATE metadata SET value = 'x1' WHERE key = 'last_known_latest_mtime'")
    atlas.search("order")
    assert scan_runs(project) == 2


def test_auto_scan_disabled_never_scans(project):
    project.write(".norvo/config.toml", "[atlas]\nauto_scan_on_first_search = false\n")
    project.write("app/orders.py", "def place_order():\n    pass\n")
    atlas = project.atlas()
    assert atlas.search("order") == []
    assert atlas.search_by_feature("function") == []
    assert scan_runs(project) == 0


def test_project_whose_last_scan_found_nothing_is_not_empty(project):
    atlas = project.atlas()
    atlas.scan()
    atlas.search("x")
    assert scan_runs(project) == 1


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_moved_git_head_triggers_rescan(project):
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@e", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@e")
    git = lambda *a: subprocess.run(["git", *a], cwd=project.root, check=True, env=env, capture_output=True)
    project.write("app.py", "def f():\n    pass\n")
    git("init", "-q")
    git("add", ".")
    git("commit", "-qm", "one")
    atlas = project.atlas()
    atlas.scan()
    atlas.search("f")
    assert scan_runs(project) == 1
    git("commit", "-q", "--allow-empty", "-m", "two")
    atlas.search("f")
    assert scan_runs(project) == 2


def test_records_of_a_rescan(indexed):
    project, _ = indexed
    touch_future(project.root / "app" / "orders.py")
    code = f"""
from norvo import norvo_native as nn
nn.init_logging("debug")
a = nn.Atlas({str(project.root)!r})
a.search_by_feature("billing")
"""
    err = ANSI.sub("", subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr)
    assert 'search_by_feature{feature="billing"}:ensure_indexed: norvo_atlas::staleness: Found file newer than threshold, early exit' in err
    assert 'search_by_feature{feature="billing"}:ensure_indexed: norvo_atlas: File modifications detected, rescanning' in err
    assert 'search_by_feature{feature="billing"}:ensure_indexed:scan: norvo_atlas: Scan complete' in err
    assert "DEBUG norvo_native: Feature search completed feature=billing results=0" in err


def test_search_ranking_limit_and_security(project):
    project.write("app/order.py", '''
        class Order:
            pass

        def order_total():
            pass

        def reorder():
            pass
    ''')
    project.write("secrets/order_keys.py", "def order_secret():\n    pass\n")
    atlas = project.atlas()
    names = [a["symbol_name"] for a in atlas.search("Order")]
    assert names == ["Order", "order_total", "reorder"]
    assert [a["symbol_name"] for a in atlas.search("order", limit=1)] == ["Order"]
    assert len(atlas.search("", limit=None)) == 3
    assert [a["symbol_name"] for a in atlas.search("", 2)] == ["Order", "order_total"]
    feature = atlas.search_by_feature("class")
    assert [a["qualified_name"] for a in feature] == ["app.order.Order"]
    d = feature[0]
    assert list(d) == ["symbol_name", "qualified_name", "kind", "file_path", "module_path", "line_start", "line_end",
                       "signature", "docstring", "feature", "hash", "http_method", "route_path", "router_prefix",
                       "direct_dependencies", "dependency_chain", "security_dependencies", "tags"]
    assert d["hash"] is None and d["feature"] == "order.py" and d["tags"] == []


def test_search_argument_errors(project):
    atlas = project.atlas()
    with pytest.raises(TypeError, match=r"^argument 'limit': 'str' object cannot be interpreted as an integer$"):
        atlas.search("x", "5")
    with pytest.raises(OverflowError):
        atlas.search("x", -1)
    with pytest.raises(TypeError, match=r"^Atlas.search\(\) missing 1 required positional argument: 'query'$"):
        atlas.search()


def test_reentrant_use_is_refused(project):
    atlas = project.atlas()

    class Reenter:
        def __init__(self, fn):
            self.fn = fn

        def __index__(self):
            self.fn()
            return 1

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        atlas.search("x", Reenter(atlas.scan))  # exclusive inside exclusive
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        atlas.search("x", Reenter(atlas.count))  # shared inside exclusive
    assert atlas.glob_python_files("*.py", Reenter(atlas.count)) == []  # shared inside shared is fine
    atlas.scan()  # and the object is free again afterwards
