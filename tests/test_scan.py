import os
import re
import shutil
import sqlite3
import subprocess
import sys

import pytest

ANSI = re.compile(r"\x1b\[[0-9;]*m")


def scan(project):
    return project.atlas().scan()


def rows(project, sql, *args):
    con = sqlite3.connect(project.db_path)
    try:
        return con.execute(sql, args).fetchall()
    finally:
        con.close()


def test_result_shape_and_stored_rows(project):
    project.write("app/__init__.py")
    project.write("app/core/db.py", '''
        """DB helpers."""
        import os
        from app.core import util as u

        TIMEOUT = 5

        class Session:
            """A unit of work."""
            def commit(self):
                u.flush()
                return os.getpid()

        async def connect(url: str) -> Session:
            return Session()
    ''')
    project.write("app/core/util.py", "def flush():\n    pass\n")
    result = scan(project)
    assert list(result) == ["stats", "artifacts_found", "files_scanned", "files_parsed", "files_failed", "duration_ms", "failed_files"]
    assert list(result["stats"]) == ["files_scanned", "files_parsed", "files_failed", "files_skipped", "files_cached", "artifacts_found", "artifacts_by_kind"]
    stats = result["stats"]
    assert (stats["files_scanned"], stats["files_parsed"], stats["files_failed"]) == (3, 3, 0)
    assert stats["files_skipped"] == stats["files_cached"] == 0
    assert stats["artifacts_by_kind"] == {"constant": 1, "class": 1, "method": 1, "async_function": 1, "function": 1}
    assert result["artifacts_found"] == stats["artifacts_found"] == 5
    assert result["failed_files"] == []

    arts = dict(rows(project, "SELECT qualified_name, kind FROM artifacts"))
    assert arts == {
        "app.core.db.TIMEOUT": "constant", "app.core.db.Session": "class", "app.core.db.commit": "method",
        "app.core.db.connect": "async_function", "app.core.util.flush": "function",
    }
    imports = rows(project, "SELECT source_file, target_file, import_name, import_type FROM imports ORDER BY line_number")
    assert ("app/core/db.py", "app/core/util.py", "app.core.util", "from") in imports
    assert ("app/core/db.py", "os.py", "os", "module") in imports
    calls = rows(project, "SELECT caller_qualified_name, callee_qualified_name, call_type FROM calls")
    assert ("app.core.db.Session.commit", "u.flush", "method") in calls
    meta = dict(rows(project, "SELECT key, value FROM metadata"))
    newest = max(int(os.stat(p).st_mtime) for p in project.root.rglob("*.py"))
    assert meta["last_known_latest_mtime"] == str(newest)
    (run,) = rows(project, "SELECT status, artifacts_found, files_scanned, files_failed, git_commit, git_branch FROM scan_runs")
    assert run == ("completed", 5, 3, 0, None, None)  # not a git repository


def test_failures_are_listed_and_the_scan_goes_on(project):
    project.write("good.py", "def ok():\n    pass\n")
    project.write("bad.py", "def broken(:\n")
    project.write_bytes("latin.py", b"name = '\xe9'\n")
    result = scan(project)
    assert result["files_scanned"] == 3 and result["files_parsed"] == 1 and result["files_failed"] == 2
    failed = {os.path.basename(f["path"]): f["error"] for f in result["failed_files"]}
    assert failed["bad.py"].startswith(f"Syntax error in '{project.root}/bad.py' at line 1: ")
    assert failed["latin.py"].startswith(f"Failed to parse Python file '{project.root}/latin.py'")
    assert rows(project, "SELECT qualified_name FROM artifacts") == [("good.ok",)]


def test_empty_project_and_rescan_keep_counts(project):
    result = scan(project)
    assert result["files_scanned"] == 0 and result["artifacts_found"] == 0
    project.write("m.py", "def f():\n    pass\n\ndef g():\n    pass\n")
    assert scan(project)["artifacts_found"] == 2
    assert scan(project)["artifacts_found"] == 2
    (project.root / "m.py").unlink()
    assert scan(project)["artifacts_found"] == 2  # rows of deleted files stay
    assert len(rows(project, "SELECT id FROM scan_runs")) == 4


def test_duplicate_qualified_names_merge(project):
    project.write("svc.py", '''
        class A:
            def run(self):
                return 1

        def run():
            return 2
    ''')
    result = scan(project)
    assert sum(result["stats"]["artifacts_by_kind"].values()) == 3
    assert result["artifacts_found"] == 2
    (kind,) = rows(project, "SELECT kind FROM artifacts WHERE qualified_name = 'svc.run'")
    assert kind == ("function",)  # the one written last wins


def test_upsert_keeps_id_and_created_at(project):
    project.write("m.py", "def f():\n    pass\n")
    scan(project)
    con = sqlite3.connect(project.db_path)
    con.execute("UPDATE artifacts SET created_at = '2000-01-01 00:00:00'")
    con.commit()
    before = con.execute("SELECT id, created_at FROM artifacts").fetchall()
    con.close()
    project.write("m.py", "def f(x):\n    pass\n")
    scan(project)
    assert rows(project, "SELECT id, created_at, signature FROM artifacts") == [before[0] + ("f(x)",)]


def test_security_and_ignore_rules_apply(project):
    project.write("app/main.py", "def main():\n    pass\n")
    project.write("secrets/keys.py", "def key():\n    pass\n")
    project.write("app/password_utils.py", "def hash_it():\n    pass\n")
    project.write("venv/lib/x.py", "def vendored():\n    pass\n")
    result = scan(project)
    assert result["files_scanned"] == 1
    assert rows(project, "SELECT qualified_name FROM artifacts") == [("app.main.main",)]


AUTH = '''
from fastapi import APIRouter, Depends, HTTPException

router = APIRouter()

def get_current_user(token: str = ""):
    if not token:
        raise HTTPException(status_code=401)
    return token

def get_db():
    return None

def a(x=Depends(b)):
    return x

def b(y=Depends(a)):
    return y

@router.get("/items")
def list_items(user=Depends(get_current_user), db=Depends(get_db)):
    return []

@router.get("/loop")
def loop(z=Depends(a)):
    return z
'''


def test_dependency_chains_and_auth_tags(project):
    project.write("api.py", AUTH)
    for _ in range(2):  # a rescan must not duplicate tags
        scan(project)
        got = {q: (eval(t), eval(c)) for q, t, c in rows(project, "SELECT qualified_name, tags, dependency_chain FROM artifacts")}
        tags, chain = got["api.list_items"]
        assert tags == ["http_get", "fastapi_route", "router_router", "auth_enforced", "auth_http_exception",
                        "auth_enforced_by:get_current_user"]
        assert chain == ["get_current_user", "get_db"]
        assert got["api.loop"][1] == ["a", "b"]  # the cycle a -> b -> a ends the walk


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_git_commit_and_branch_recorded(project):
    project.write("m.py", "x = 1\n")
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@e", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@e")
    for cmd in (["init", "-q", "-b", "trunk"], ["add", "."], ["commit", "-qm", "one"]):
        subprocess.run(["git", *cmd], cwd=project.root, check=True, env=env)
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=project.root, capture_output=True, text=True).stdout.strip()
    scan(project)
    assert rows(project, "SELECT git_commit, git_branch FROM scan_runs") == [(head, "trunk")]
    assert dict(rows(project, "SELECT key, value FROM metadata"))["last_git_commit"] == head


def test_scan_log_records(project):
    project.write("m.py", "def f():\n    pass\n")
    project.write("bad.py", "def (\n")
    code = f"""
from norvo import norvo_native as nn
nn.init_logging("debug")
nn.Atlas({str(project.root)!r}).scan()
"""
    err = ANSI.sub("", subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr)
    assert " INFO scan: norvo_atlas: Found security-allowed Python files file_count=2" in err
    assert " WARN scan: norvo_atlas: Failed to parse file file=" in err
    assert re.search(r" INFO scan: norvo_atlas: Scan complete artifacts=1 files_parsed=1 files_failed=1 duration_ms=\d+", err)
    assert " INFO norvo_native: Scan complete artifacts=1 files=2" in err
    assert "DEBUG scan: norvo_atlas::storage::repository: Stored artifacts count=1" in err


def test_scan_of_the_standard_library_completes(tmp_path):
    import sysconfig

    stdlib = sysconfig.get_paths()["stdlib"]
    root = tmp_path / "stdlib"
    shutil.copytree(os.path.join(stdlib, "json"), root / "json")
    shutil.copytree(os.path.join(stdlib, "email"), root / "email")
    from norvo import norvo_native as nn

    result = nn.Atlas(str(root)).scan()
    assert result["files_failed"] == 0
    assert result["files_parsed"] == result["files_scanned"] > 30
    assert result["artifacts_found"] > 500
