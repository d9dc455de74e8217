"""Faults from outside: a scan killed at random points, a read-only project,
a full disk, files that vanish or change while a scan reads them."""
import ast
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

from conftest import Project


def module_path() -> str:
    return os.pathsep.join(p for p in sys.path if p)


def python(code: str, *args, env=None, **kwargs) -> subprocess.Popen:
    """Starts a fresh interpreter running `code` with this one's module path."""
    env = dict(os.environ, PYTHONPATH=module_path(), **(env or {}))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def integrity(db_path) -> str:
    with sqlite3.connect(db_path) as db:
        return db.execute("PRAGMA integrity_check").fetchone()[0]


def qualified_names(db_path) -> set:
    with sqlite3.connect(db_path) as db:
        return {r[0] for r in db.execute("SELECT qualified_name FROM artifacts")}


def write_generation(project, gen: int, files: int = 60, functions: int = 8):
    """A batch of new files, so that every later scan has rows to write."""
    for i in range(files):
        body = "".join(
            f"def g{gen}_f{i}_{j}(x):\n    \"\"\"{'doc ' * 20}\"\"\"\n    return g{gen}_f{i}_{(j + 1) % functions}(x)\n\n"
            for j in range(functions))
        project.write(f"gen{gen}/m{i}.py", f"import os\nfrom gen{gen} import m{(i + 1) % files}\n\n{body}")


# ---- SIGKILL during scans ------------------------------------------------------------

SCANNER = """
    import sys
    from norvo import norvo_native as n
    atlas = n.Atlas(sys.argv[1])
    print("ready", flush=True)
    while True:
        atlas.scan()
        print("scanned", flush=True)
"""


def test_scans_killed_at_random_points_leave_a_sound_index(project):
    rng = random.Random(1313)
    write_generation(project, 0)
    atlas = project.atlas()
    started = time.monotonic()
    atlas.scan()
    scan_seconds = time.monotonic() - started
    committed = qualified_names(project.db_path)
    del atlas

    rounds, kills, completed_scans = 12, 0, 0
    for r in range(1, rounds + 1):
        write_generation(project, r, files=15)
        child = python(SCANNER, project.root)
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(rng.uniform(0.0, 2.5 * scan_seconds))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate(timeout=30)
        completed_scans += out.count("scanned")
        kills += 1

        assert integrity(project.db_path) == "ok", f"round {r}"
        names = qualified_names(project.db_path)
        assert committed <= names, f"round {r}: committed rows lost"
        # The next opener answers, and what it sees is what is stored.
        reopened = project.atlas()
        assert reopened.count() == len(names)
        assert reopened.health()["artifact_count"] == len(names)
        committed = names

    # After all that, one scan brings the index up to date.
    result = project.atlas().scan()
    assert result["files_failed"] == 0
    assert result["artifacts_found"] == 60 * 8 + rounds * 15 * 8
    assert integrity(project.db_path) == "ok"
    print(f"\nkill rounds: {kills}, scans completed before a kill: {completed_scans}, scan time {scan_seconds:.3f}s")


# ---- read-only project ------------------------------------------------------------------


# Where the user nobody imports norvo from; shared_dir points it at a copy that
# user can read (an installed package may sit under root's private home).
OTHER_USER_PATH = None


def as_other_user(code: str, *args, timeout=60):
    """Runs `code` as the unprivileged user nobody; the completed process."""
    env = dict(os.environ, PYTHONPATH=OTHER_USER_PATH or module_path(), HOME="/tmp")
    cmd = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", sys.executable, "-c",
           textwrap.dedent(code), *map(str, args)]
    return subprocess.run(cmd, env=env, text=True, capture_output=True, timeout=timeout)


@pytest.fixture
def shared_dir(monkeypatch):
    """A directory that the user nobody can traverse (pytest's tmp_path is private to root)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to act as another user; as a non-root user chmod alone makes files read-only")
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is not installed")
    path = Path(tempfile.mkdtemp(prefix="norvo-ro-"))
    path.chmod(0o755)
    import norvo

    site = path / "site"
    shutil.copytree(Path(norvo.__file__).parent, site / "norvo", ignore=shutil.ignore_patterns("__pycache__"))
    for dirpath, _, filenames in os.walk(site):
        os.chmod(dirpath, 0o755)
        for f in filenames:
            os.chmod(os.path.join(dirpath, f), 0o644)
    monkeypatch.setattr(sys.modules[__name__], "OTHER_USER_PATH", str(site))
    probe = as_other_user("import norvo.norvo_native")
    if probe.returncode != 0:
        shutil.rmtree(path)
        pytest.skip(f"the module cannot be imported as user nobody: {probe.stderr.strip()[-200:]}")
    yield path
    shutil.rmtree(path)


OPEN_AND_QUERY = """
    import sys
    from norvo import norvo_native as n
    try:
        atlas = n.Atlas(sys.argv[1])
        print("opened")
        print("count", atlas.count())
        print("scan", atlas.scan()["files_parsed"])
    except BaseException as e:
        print("error", type(e).__name__, e)
"""


def make_tree_readonly(root: Path):
    for dirpath, dirnames, filenames in os.walk(root):
        for f in filenames:
            os.chmod(os.path.join(dirpath, f), 0o444)
        os.chmod(dirpath, 0o555)


def test_read_only_project_never_indexed(shared_dir):
    project = Project(shared_dir / "project")
    project.root.mkdir()
    project.write("app/main.py", "def main():\n    pass\n")
    make_tree_readonly(project.root)
    proc = as_other_user(OPEN_AND_QUERY, project.root)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("error RuntimeError Database error: create_dir: Failed to create .norvo directory: ")
    assert "Permission denied" in proc.stdout
    assert not (project.root / ".norvo").exists()


def test_read_only_project_with_an_index_it_may_not_write(shared_dir):
    project = Project(shared_dir / "project")
    project.root.mkdir()
    project.write("app/main.py", "def main():\n    pass\n")
    project.atlas().scan()
    before = project.db_path.read_bytes()
    os.chmod(project.db_path, 0o444)
    make_tree_readonly(project.root)
    proc = as_other_user(OPEN_AND_QUERY, project.root)
    assert proc.returncode == 0, proc.stderr
    # Opening runs the schema script, which must write: a clear database error.
    assert proc.stdout.startswith("error RuntimeError Database error: "), proc.stdout
    assert "readonly" in proc.stdout or "read-only" in proc.stdout or "unable to open" in proc.stdout
    assert project.db_path.read_bytes() == before


def test_read_only_sources_with_a_writable_index(shared_dir):
    project = Project(shared_dir / "project")
    project.root.mkdir()
    project.write("app/main.py", "def main():\n    pass\n")
    project.write("app/util.py", "def util():\n    pass\n")
    project.atlas()
    make_tree_readonly(project.root)
    norvo = project.root / ".norvo"
    os.chmod(norvo, 0o755)
    for p in [norvo, *norvo.iterdir()]:
        os.chown(p, 65534, 65534)
    os.chmod(project.db_path, 0o600)
    proc = as_other_user(OPEN_AND_QUERY, project.root)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["opened", "count 0", "scan 2"], proc.stdout


# ---- full disk -----------------------------------------------------------------------

FULL_DISK = """
    import os, sqlite3, subprocess, sys
    from norvo import norvo_native as n
    mnt = sys.argv[1]
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", mnt], check=True)
    root = os.path.join(mnt, "project")
    os.makedirs(os.path.join(root, "app"))
    def generation(g, files):
        for i in range(files):
            with open(os.path.join(root, "app", f"g{g}_{i}.py"), "w") as f:
                for j in range(10):
                    f.write(f"def g{g}_f{i}_{j}(x):\\n    '''{'a long docstring ' * 12}'''\\n    return x\\n\\n")
    def fill(leave):
        free = os.statvfs(mnt).f_bavail * os.statvfs(mnt).f_frsize
        with open(os.path.join(mnt, "filler"), "ab") as f:
            f.write(b"x" * max(0, free - leave))
    def names(db):
        return {r[0] for r in db.execute("SELECT qualified_name FROM artifacts")}
    db_path = os.path.join(root, ".norvo", "atlas.sqlite")

    generation(0, 10)
    atlas = n.Atlas(root)
    atlas.scan()
    with sqlite3.connect(db_path) as db:
        committed = names(db)
    print("committed", len(committed))

    generation(1, 30)
    faults = 0
    for leave in (0, 4096, 16384, 65536):
        fill(leave)
        try:
            atlas.scan()
            print("scan-ok", leave)
        except RuntimeError as e:
            faults += 1
            print("scan-error", leave, e)
        try:
            print("count", atlas.count())
        except RuntimeError as e:
            print("count-error", e)
        with sqlite3.connect(db_path) as db:
            print("integrity", db.execute("PRAGMA integrity_check").fetchone()[0])
            print("kept", committed <= names(db))
        os.remove(os.path.join(mnt, "filler"))

    # A project opened for the first time on a full disk.
    fill(0)
    os.makedirs(os.path.join(mnt, "fresh"))
    try:
        n.Atlas(os.path.join(mnt, "fresh"))
        print("fresh-open-ok")
    except RuntimeError as e:
        faults += 1
        print("fresh-error", e)
    os.remove(os.path.join(mnt, "filler"))

    res = atlas.scan()
    print("final", res["files_parsed"], res["artifacts_found"])
    with sqlite3.connect(db_path) as db:
        print("integrity", db.execute("PRAGMA integrity_check").fetchone()[0])
    print("faults", faults)
"""


def test_full_disk_fails_scans_cleanly_and_loses_nothing(tmp_path):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare to mount a small tmpfs in a private mount namespace")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    env = dict(os.environ, PYTHONPATH=module_path())
    cmd = ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", textwrap.dedent(FULL_DISK),
           str(mnt)]
    proc = subprocess.run(cmd, env=env, text=True, capture_output=True, timeout=120)
    if proc.returncode != 0 and ("mount" in proc.stderr and "permission" in proc.stderr.lower()
                                 or "unshare failed" in proc.stderr):
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()[-200:]}")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    print("\n" + "\n".join(lines))
    scan_errors = [l for l in lines if l.startswith("scan-error")]
    assert scan_errors, "the disk was never full enough to fail a scan"
    for l in scan_errors:
        assert "Database error: " in l and ("disk is full" in l or "disk I/O error" in l), l
    assert all(l == "integrity ok" for l in lines if l.startswith("integrity"))
    assert all(l == "kept True" for l in lines if l.startswith("kept"))
    assert not any(l.startswith("count-error") for l in lines)
    fresh = [l for l in lines if l.startswith("fresh")]
    assert fresh and (fresh[0] == "fresh-open-ok" or "Database error: " in fresh[0]), fresh
    assert lines[-3] == "final 40 400"


# ---- files that vanish or change during a scan ------------------------------------------


def test_files_that_vanish_or_change_mid_scan(project, monkeypatch):
    # The scan hands each file's text to the host's ast.parse; a wrapper
    # around it changes the tree while the scan is under way.
    names = ["a", "b", "c", "d", "e", "f", "g"]
    for n in names:
        project.write(f"pkg/{n}.py", f"# file {n}\ndef old_{n}():\n    pass\n")
    atlas = project.atlas()
    real_parse = ast.parse
    roles = {}

    def tampering_parse(source, *args, **kwargs):
        if not roles:
            first = source.split("\n", 1)[0].removeprefix("# file ")
            rest = [n for n in names if n != first]
            roles.update(zip(["vanish", "rewrite", "not_utf8", "dir", "syntax", "empty"], rest))
            pkg = project.root / "pkg"
            (pkg / f"{roles['vanish']}.py").unlink()
            (pkg / f"{roles['rewrite']}.py").write_text(f"def new_{roles['rewrite']}():\n    pass\n")
            (pkg / f"{roles['not_utf8']}.py").write_bytes(b"x = '\xff\xfe'\n")
            (pkg / f"{roles['dir']}.py").unlink()
            (pkg / f"{roles['dir']}.py").mkdir()
            (pkg / f"{roles['syntax']}.py").write_text("def broken(:\n")
            (pkg / f"{roles['empty']}.py").write_text("")
        return real_parse(source, *args, **kwargs)

    monkeypatch.setattr(ast, "parse", tampering_parse)
    result = atlas.scan()
    monkeypatch.setattr(ast, "parse", real_parse)

    assert result["files_scanned"] == len(names)
    failed = {Path(f["path"]).stem: f["error"] for f in result["failed_files"]}
    assert set(failed) == {roles["vanish"], roles["not_utf8"], roles["dir"], roles["syntax"]}, failed
    assert "No such file or directory" in failed[roles["vanish"]]
    assert "valid UTF-8" in failed[roles["not_utf8"]]
    assert "Is a directory" in failed[roles["dir"]] or "not a regular file" in failed[roles["dir"]]
    assert failed[roles["syntax"]].startswith("Syntax error in '")
    stored = {a["symbol_name"] for a in atlas.search("", 100)}
    first = next(n for n in names if n not in roles.values())
    assert stored == {f"old_{first}", f"new_{roles['rewrite']}"}
    assert result["files_parsed"] == 3 and result["files_failed"] == 4
    assert integrity(project.db_path) == "ok"


def test_a_file_turned_into_a_fifo_mid_scan_does_not_hang(project):
    for n in "abc":
        project.write(f"pkg/{n}.py", f"# file {n}\ndef f_{n}():\n    pass\n")
    code = """
        import ast, os, sys
        from norvo import norvo_native as n
        root = sys.argv[1]
        real = ast.parse
        def tamper(source, *a, **k):
            ast.parse = real
            first = source.split("\\n", 1)[0].removeprefix("# file ")
            for other in "abc":
                if other != first:
                    p = os.path.join(root, "pkg", other + ".py")
                    os.unlink(p)
                    os.mkfifo(p)
            return real(source, *a, **k)
        ast.parse = tamper
        res = n.Atlas(root).scan()
        print("done", res["files_parsed"], res["files_failed"])
    """
    child = python(code, project.root)
    try:
        out, err = child.communicate(timeout=8)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("the scan blocked on a FIFO")
    assert out.strip() == "done 1 2", err


# ---- configuration and ignore files that never end ----------------------------------------

ENDLESS_READ = """
    import os, resource, sys
    # A reader that slurps an endless file must hit this wall, not the
    # machine's. Under AddressSanitizer (whose shadow memory needs far more
    # address space) its own RSS limit is the wall instead.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    from norvo import norvo_native as n
    root = sys.argv[1]
    a = n.Atlas(root)
    fw = n.Firewall(root)
    fw.get_policy_info()
    print(a.glob_python_files("**", 5))
    try:
        a.fastapi_scaling_policy()
    except ValueError:
        pass
    print("done")
"""

ENDLESS_FILES = [".norvo/config.toml", ".norvo/firewall.yaml", ".norvo/fastapi_scaling.yaml", ".norvoignore",
                 "lib/.norvoignore", ".gitignore", "lib/.gitignore", ".ignore"]
# Readers that open blocking (a FIFO hangs them) or read without a bound.
KNOWN_ENDLESS: dict = {}
ENDLESS_CASES = [
    pytest.param(name, kind, id=f"{name}-{kind}",
                 marks=[pytest.mark.xfail(strict=True, reason=KNOWN_ENDLESS[name, kind])]
                 if (name, kind) in KNOWN_ENDLESS else [])
    for name in ENDLESS_FILES for kind in ("fifo", "dev-zero")
]


@pytest.mark.parametrize("name, kind", ENDLESS_CASES)
def test_endless_configuration_and_ignore_files(project, name, kind):
    project.write("lib/a.py", "x = 1\n")
    (project.root / ".norvo").mkdir(exist_ok=True)
    (project.root / ".git").mkdir(exist_ok=True)
    path = project.root / name
    if kind == "fifo":
        os.mkfifo(path)
    else:
        os.symlink("/dev/zero", path)
    asan = os.environ.get("ASAN_OPTIONS", "")
    child = python(ENDLESS_READ, project.root, env={"ASAN_OPTIONS": f"{asan}:hard_rss_limit_mb=2048".lstrip(":")})
    try:
        out, err = child.communicate(timeout=6)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"reading {name} as a {kind} did not return")
    assert child.returncode == 0, err[-2000:]
    assert out.splitlines() == ["['lib/a.py']", "done"], out
