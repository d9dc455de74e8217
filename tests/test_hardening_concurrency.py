"""Several processes on one project's index: SQLite's locks and the 5000 ms
busy timeout decide who waits, and nothing may corrupt the database."""
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import Project

BUSY_TIMEOUT_S = 5.0


def python(code: str, *args, **kwargs) -> subprocess.Popen:
    """Starts a fresh interpreter running `code` with this one's module path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def integrity(db_path) -> str:
    with sqlite3.connect(db_path) as db:
        return db.execute("PRAGMA integrity_check").fetchone()[0]


def fill(project, files: int, functions: int = 5):
    for i in range(files):
        body = "".join(f"def func_{i}_{j}(x):\n    return helper_{j}(x)\n\n" for j in range(functions))
        project.write(f"pkg/mod_{i}.py", f"import os\nfrom pkg import mod_{(i + 1) % files}\n\n{body}")


WORKER = """
    import json, sys, time
    from norvo import norvo_native as n
    root, rounds, go = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    atlas = n.Atlas(root)
    while not __import__("os").path.exists(go):
        time.sleep(0.005)
    done = {"scan": 0, "search": 0, "count": 0, "health": 0, "grep": 0, "graph": 0}
    for r in range(rounds):
        res = atlas.scan(); done["scan"] += 1
        assert res["files_failed"] == 0, res
        assert atlas.search("func_1", 5); done["search"] += 1
        assert atlas.count() >= res["artifacts_found"] > 0; done["count"] += 1
        assert atlas.health()["status"] == "healthy"; done["health"] += 1
        assert atlas.grep_spans("helper_0", 3); done["grep"] += 1
        atlas.get_dependents("pkg/mod_1.py"); done["graph"] += 1
    print(json.dumps(done))
"""


def test_two_processes_scanning_and_querying_one_project(project, tmp_path):
    fill(project, files=40)
    project.atlas()  # the schema exists before the race starts
    go = tmp_path / "go"
    rounds = 12
    workers = [python(WORKER, project.root, rounds, go) for _ in range(2)]
    time.sleep(0.5)
    go.touch()
    outputs = [w.communicate(timeout=300) for w in workers]
    for w, (out, err) in zip(workers, outputs):
        assert w.returncode == 0, err
        assert '"scan": %d' % rounds in out

    assert integrity(project.db_path) == "ok"
    with sqlite3.connect(project.db_path) as db:
        assert db.execute("SELECT COUNT(*) FROM scan_runs").fetchone()[0] == 2 * rounds
        assert db.execute("SELECT COUNT(*) FROM artifacts").fetchone()[0] == 40 * 5
        assert db.execute("SELECT COUNT(DISTINCT qualified_name) FROM artifacts").fetchone()[0] == 40 * 5
    # The racing scans stored exactly what one scan alone stores.
    reference = Project(tmp_path / "reference")
    shutil.copytree(project.root, reference.root, ignore=shutil.ignore_patterns(".norvo"))
    reference.atlas().scan()
    assert index_rows(project.db_path) == index_rows(reference.db_path)
    atlas = project.atlas()
    assert atlas.count() == 40 * 5
    assert sorted(atlas.get_dependents("pkg/mod_1.py")) == sorted(reference.atlas().get_dependents("pkg/mod_1.py"))


def index_rows(db_path):
    with sqlite3.connect(db_path) as db:
        return (
            db.execute("SELECT qualified_name, kind, file_path, line_start, line_end, signature, hash "
                       "FROM artifacts ORDER BY qualified_name").fetchall(),
            db.execute("SELECT source_file, target_file, import_name, line_number FROM imports "
                       "ORDER BY 1, 2, 3, 4").fetchall(),
            db.execute("SELECT caller_qualified_name, callee_qualified_name, line_number FROM calls "
                       "ORDER BY 1, 2, 3").fetchall(),
        )


HOLDER = """
    import sqlite3, sys
    db = sqlite3.connect(sys.argv[1], isolation_level=None)
    db.execute("BEGIN EXCLUSIVE")
    db.execute("INSERT OR REPLACE INTO metadata (key, value) VALUES ('holder', 'in progress')")
    print("locked", flush=True)
    if len(sys.argv) > 3:
        __import__("time").sleep(float(sys.argv[3]))
    else:
        sys.stdin.read()  # until the test closes our stdin
    db.execute("ROLLBACK" if sys.argv[2] == "rollback" else "COMMIT")
    print("released", flush=True)
"""


def start_holder(db_path, rollback=False, seconds=None):
    """Another process holding an exclusive write transaction: until its stdin
    is closed, or for `seconds`."""
    extra = [] if seconds is None else [seconds]
    holder = python(HOLDER, db_path, "rollback" if rollback else "commit", *extra, stdin=subprocess.PIPE)
    assert holder.stdout.readline().strip() == "locked", holder.stderr.read()
    return holder


def release(holder):
    holder.stdin.close()
    assert holder.stdout.readline().strip() == "released"
    holder.wait(timeout=30)


def test_a_lock_held_past_the_busy_timeout_is_a_clear_runtime_error(project):
    fill(project, files=5)
    atlas = project.atlas()
    atlas.scan()
    before = atlas.count()

    holder = start_holder(project.db_path, rollback=True)
    try:
        started = time.monotonic()
        with pytest.raises(RuntimeError) as exc:
            atlas.scan()
        waited = time.monotonic() - started
        assert str(exc.value).startswith("Database error: ")
        assert "database is locked" in str(exc.value)
        # It waited for the other process before giving up.
        assert waited >= BUSY_TIMEOUT_S - 0.25, waited

        with pytest.raises(RuntimeError) as exc:
            project.atlas()
        assert str(exc.value).startswith("Database error: ")
        assert "database is locked" in str(exc.value)
    finally:
        release(holder)

    # The failed calls left the object usable and the database whole.
    assert atlas.scan()["files_failed"] == 0
    assert atlas.count() == before
    assert integrity(project.db_path) == "ok"
    with sqlite3.connect(project.db_path) as db:
        assert db.execute("SELECT value FROM metadata WHERE key='holder'").fetchone() is None


def test_a_lock_released_within_the_busy_timeout_is_waited_for(project):
    fill(project, files=5)
    atlas = project.atlas()
    atlas.scan()
    # The holder lets go by itself after a second (a thread of this process
    # could not: the scan keeps the interpreter lock while SQLite waits).
    holder = start_holder(project.db_path, seconds=1.0)
    try:
        result = atlas.scan()
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    assert result["files_parsed"] == 5
    assert integrity(project.db_path) == "ok"
    with sqlite3.connect(project.db_path) as db:
        # the holder's own write committed too
        assert db.execute("SELECT value FROM metadata WHERE key='holder'").fetchone() == ("in progress",)
        assert db.execute("SELECT COUNT(*) FROM scan_runs").fetchone()[0] == 2


def test_readers_are_not_blocked_by_a_pending_write_transaction(project):
    # A writer that has only reserved the database (not yet writing pages out)
    # leaves readers free: queries answer at once while another process is in
    # the middle of its write transaction.
    fill(project, files=3)
    atlas = project.atlas()
    atlas.scan()
    holder = python("""
        import sqlite3, sys
        db = sqlite3.connect(sys.argv[1], isolation_level=None)
        db.execute("BEGIN IMMEDIATE")
        db.execute("INSERT OR REPLACE INTO metadata (key, value) VALUES ('holder', 'x')")
        print("locked", flush=True)
        sys.stdin.read()
        db.execute("ROLLBACK")
    """, project.db_path, stdin=subprocess.PIPE)
    try:
        assert holder.stdout.readline().strip() == "locked"
        assert atlas.count() == 15
        assert atlas.health()["artifact_count"] == 15
        assert [a["symbol_name"] for a in atlas.search("func_1_1", 1)] == ["func_1_1"]
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
