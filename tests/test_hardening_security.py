"""Hostile paths and environments: what the span tools may read, the index
file's permissions, and how the git queries are started."""
import os
import stat
import subprocess
import sys
import textwrap

import pytest

# A marker that must never come out of any call: it lives only in files the
# security policy refuses or in files outside the project.
SECRET = "TOPSECRET_4f1c9a"

# Symbolic links are followed when a file is opened, so a link inside the
# project must be judged by where it leads, not only by its own name.


@pytest.fixture(autouse=True)
def no_user_git_config(tmp_path_factory, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")


@pytest.fixture
def hostile(project, tmp_path):
    """A project whose refused files are reachable through links of allowed names."""
    project.write("app/main.py", "x = 1\n")
    project.write("app/helpers.py", "def helper():\n    return 1\n")
    project.write(".env", f"TOKEN = '{SECRET}'\n")
    project.write("keys/server.pem", f"PEM = '{SECRET}'\n")
    project.write("secrets/tok.py", f"TOK = '{SECRET}'\n")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "data.py").write_text(f"DATA = '{SECRET}'\n")
    app = project.root / "app"
    os.symlink("../.env", app / "env.py")
    os.symlink("../keys/server.pem", app / "key.py")
    os.symlink("../secrets", app / "sec")
    os.symlink(outside / "data.py", app / "out.py")
    os.symlink(outside, app / "outdir")
    os.symlink("main.py", app / "alias.py")  # a link to an allowed file inside stays readable
    os.symlink(project.root, tmp_path / "root_alias")
    return project


def denied(exc) -> bool:
    return "is denied by security configuration (recoverable: false)" in str(exc)


# ---- read_span ----------------------------------------------------------------------

REFUSED_SPELLINGS = [
    ".env",
    "./.env",
    ".env/",
    "app/../.env",
    "app//..//.env",
    "app/./../.env",
    "{root}/.env",
    "{root}/app/../.env",
    "{tmp}/root_alias/.env",
    "keys/server.pem",
    "keys/../keys/server.pem",
    "secrets/tok.py",
    "app/../secrets/tok.py",
    "{root}/secrets/tok.py",
    # outside the project, by `..` and by absolute path
    "../outside/data.py",
    "app/../../outside/data.py",
    "{tmp}/outside/data.py",
    # links inside the project
    "app/env.py",
    "app/key.py",
    "app/sec/tok.py",
    "{root}/app/sec/tok.py",
    "app/out.py",
    "app/outdir/data.py",
]


@pytest.mark.parametrize("spelling", REFUSED_SPELLINGS)
def test_read_span_refuses_every_spelling_of_a_refused_file(hostile, tmp_path, spelling):
    atlas = hostile.atlas()
    path = spelling.format(root=hostile.root, tmp=tmp_path)
    try:
        text = atlas.read_span(path, 1, 10)
    except RuntimeError as exc:
        assert denied(exc), str(exc)
        assert SECRET not in str(exc)
    else:
        pytest.fail(f"read_span({path!r}) returned {text!r}")


@pytest.mark.parametrize("spelling", ["app/main.py", "app/alias.py", "app/../app/main.py", "{tmp}/root_alias/app/main.py"])
def test_read_span_still_reads_allowed_files_through_other_spellings(hostile, tmp_path, spelling):
    assert hostile.atlas().read_span(spelling.format(tmp=tmp_path), 1, 1) == "x = 1\n"


# ---- the other span tools and the scan ---------------------------------------------

LINKED_NAMES = {"app/env.py", "app/key.py", "app/out.py", "app/sec/tok.py", "app/outdir/data.py"}


def test_glob_lists_no_link_to_a_refused_or_outside_file(hostile):
    listed = set(hostile.atlas().glob_python_files("**", 1000))
    assert {"app/main.py", "app/helpers.py"} <= listed
    assert not listed & LINKED_NAMES


def test_grep_finds_nothing_behind_links(hostile):
    assert hostile.atlas().grep_spans(SECRET, 1000) == []


def test_scan_indexes_nothing_behind_links(hostile):
    atlas = hostile.atlas()
    result = atlas.scan()
    indexed = {a["file_path"] for a in atlas.search("", 1000)}
    assert "app/helpers.py" in indexed
    assert not indexed & LINKED_NAMES
    assert not any(SECRET in str(f) for f in result["failed_files"])
    assert all(os.path.basename(f["path"]) not in {"key.py", "env.py"} for f in result["failed_files"])


def test_search_spans_shows_no_snippet_behind_links(hostile):
    atlas = hostile.atlas()
    spans = atlas.search_spans(SECRET, 50) + atlas.search_spans("TOKEN", 50) + atlas.search_spans("DATA", 50)
    assert not any(SECRET in (s["snippet"] or "") for s in spans)


def test_links_are_refused_even_when_their_names_are_the_only_thing_allowed(hostile):
    # The links themselves carry allowed names; the scan sees them as Python
    # files, so their targets must be judged, not their names. A refused
    # target reached under its own name stays refused regardless.
    atlas = hostile.atlas()
    for path in [".env", "keys/server.pem", "secrets/tok.py"]:
        with pytest.raises(RuntimeError) as exc:
            atlas.read_span(path, 1, 1)
        assert denied(exc.value)


# ---- special files ----------------------------------------------------------------


def _run_isolated(code: str, timeout: float):
    """Runs `code` in a fresh interpreter with this one's module path; returns
    the completed process or None when it had to be killed."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda p: os.mkfifo(p), id="fifo"),
        pytest.param(lambda p: os.symlink("/dev/zero", p),
                     id="dev-zero-link"),
    ],
)
def test_special_files_never_hang_the_span_tools_or_the_scan(project, make):
    project.write("app/a.py", "x = 1\n")
    make(project.root / "app" / "special.py")
    code = textwrap.dedent(f"""
        from norvo import norvo_native as n
        a = n.Atlas({str(project.root)!r})
        a.scan()
        a.grep_spans("x", 100)
        a.glob_python_files("**", 100)
        try:
            a.read_span("app/special.py", 1, 3)
        except (RuntimeError, OSError) as e:
            print("refused:", e)
        print("done")
    """)
    proc = _run_isolated(code, timeout=10)
    assert proc is not None, "a call on a special file did not return"
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.rstrip().endswith("done")


# ---- permissions -------------------------------------------------------------------


@pytest.fixture
def umask():
    """Sets the process umask for the test and restores it afterwards."""
    old = os.umask(0o022)
    yield os.umask
    os.umask(old)


@pytest.mark.parametrize("mask", [0o000, 0o022, 0o077])
def test_new_index_is_private_whatever_the_umask(project, umask, mask):
    umask(mask)
    project.atlas().scan()
    mode = stat.S_IMODE(os.stat(project.db_path).st_mode)
    assert mode == 0o600, oct(mode)


def test_existing_index_with_loose_bits_is_made_private_on_open(project):
    project.atlas()
    os.chmod(project.db_path, 0o666)
    project.atlas()
    assert stat.S_IMODE(os.stat(project.db_path).st_mode) == 0o600


@pytest.mark.parametrize(
    "mask",
    [
        0o000,
        0o002,
        0o022,
    ],
)
def test_index_directory_is_never_world_writable(project, umask, mask):
    umask(mask)
    project.atlas()
    mode = stat.S_IMODE(os.stat(project.root / ".norvo").st_mode)
    assert not mode & stat.S_IWOTH, oct(mode)


def test_hot_journal_left_behind_is_private(project):
    # A journal holds copies of database pages; SQLite gives it the database
    # file's mode, so a private database keeps its journal private too.
    project.write("a.py", "def f():\n    pass\n")
    project.atlas().scan()
    code = textwrap.dedent(f"""
        import os, sqlite3
        c = sqlite3.connect({str(project.db_path)!r}, isolation_level=None)
        c.execute("PRAGMA journal_mode=DELETE")
        c.execute("BEGIN IMMEDIATE")
        c.execute("UPDATE artifacts SET docstring = 'x' || docstring")
        c.execute("PRAGMA cache_size = 0")
        print("ok", flush=True)
        os._exit(0)  # leaves the journal as a crash would
    """)
    proc = _run_isolated(code, timeout=30)
    assert proc is not None and proc.returncode == 0, proc and proc.stderr
    journal = project.db_path.with_name(project.db_path.name + "-journal")
    if journal.exists():
        assert stat.S_IMODE(os.stat(journal).st_mode) == 0o600
    # Whatever was left, the next open rolls it back and answers.
    atlas = project.atlas()
    assert atlas.count() == 1


# ---- git queries -------------------------------------------------------------------

FAKE_GIT = r"""#!/bin/sh
# Records how it was started: argv one per line, the working directory, the
# parent's command name (a shell in between would show up here) and stdin.
log="$FAKE_GIT_LOG"
{
  printf 'argv'; for a in "$@"; do printf '\t%s' "$a"; done; printf '\n'
  printf 'cwd\t%s\n' "$PWD"
  printf 'ppid\t%s\n' "$PPID"
  printf 'stdin\t%s\n' "$(head -c 64)"
} >> "$log"
case "$1 $2" in
  "rev-parse HEAD") printf '%s\n' "$FAKE_GIT_COMMIT" ;;
  *) printf '%s\n' 'main;$(touch branch-pwned)' ;;
esac
"""

NASTY_NAME = "p;j $(touch pwned) `touch pwned2` 'q\" & | > < \\ *?[x] ~"


def test_git_queries_start_git_directly_with_fixed_arguments(tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    git = bin_dir / "git"
    git.write_text(FAKE_GIT)
    git.chmod(0o755)
    log = tmp_path / "git.log"
    root = tmp_path / NASTY_NAME
    root.mkdir()
    (root / "m.py").write_text("def f():\n    pass\n")
    commit = "c0ffee;$(touch commit-pwned) `id` | rm -rf /nonexistent"
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("FAKE_GIT_LOG", str(log))
    monkeypatch.setenv("FAKE_GIT_COMMIT", commit)
    monkeypatch.chdir(tmp_path)

    from norvo import norvo_native

    atlas = norvo_native.Atlas(str(root))
    assert atlas.scan()["files_scanned"] == 1
    atlas.search("f")

    records = log.read_text().splitlines()
    calls = [r.split("\t")[1:] for r in records if r.startswith("argv")]
    assert calls, "git was never started"
    assert all(c in (["rev-parse", "HEAD"], ["rev-parse", "--abbrev-ref", "HEAD"]) for c in calls), calls
    assert {"\t".join(c) for c in calls} == {"rev-parse\tHEAD", "rev-parse\t--abbrev-ref\tHEAD"}
    assert all(r == f"cwd\t{root}" for r in records if r.startswith("cwd"))
    # git is a child of this interpreter, not of a shell it started
    assert all(r == f"ppid\t{os.getpid()}" for r in records if r.startswith("ppid"))
    assert all(r == "stdin\t" for r in records if r.startswith("stdin"))
    dropped = {"pwned", "pwned2", "commit-pwned", "branch-pwned"}
    leftovers = [p for d in (tmp_path, root, bin_dir) for p in d.iterdir() if p.name in dropped]
    assert leftovers == []

    # The answers are stored as text, never interpreted.
    with project_db(root) as db:
        assert db.execute("SELECT value FROM metadata WHERE key='last_git_commit'").fetchone()[0] == commit
        row = db.execute("SELECT git_commit, git_branch FROM scan_runs ORDER BY id DESC").fetchone()
    assert row == (commit, "main;$(touch branch-pwned)")


def test_scan_without_git_on_path_records_no_commit(project, monkeypatch, tmp_path):
    project.write("m.py", "def f():\n    pass\n")
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    atlas = project.atlas()
    assert atlas.scan()["files_parsed"] == 1
    with project_db(project.root) as db:
        assert db.execute("SELECT git_commit, git_branch FROM scan_runs").fetchall() == [(None, None)]


class project_db:
    """A plain connection to a project's index database."""

    def __init__(self, root):
        self.path = os.path.join(root, ".norvo", "atlas.sqlite")

    def __enter__(self):
        import sqlite3

        self.db = sqlite3.connect(self.path)
        return self.db

    def __exit__(self, *exc):
        self.db.close()


# ---- the index location named by config.toml ---------------------------------------------


@pytest.mark.parametrize("name", ["../../victim/notes.txt", "{tmp}/victim/notes.txt", "../../made/by/config/x.sqlite"])
def test_db_filename_cannot_reach_outside_the_index_directory(project, tmp_path, name):
    victim = tmp_path / "victim"
    victim.mkdir()
    (victim / "notes.txt").write_text("data\n")
    os.chmod(victim / "notes.txt", 0o644)
    project.write(".norvo/config.toml", f'[atlas]\ndb_filename = "{name.format(tmp=tmp_path)}"\n')
    try:
        atlas = project.atlas()
    except RuntimeError:
        atlas = None
    assert stat.S_IMODE(os.stat(victim / "notes.txt").st_mode) == 0o644
    assert (victim / "notes.txt").read_text() == "data\n"
    assert not (tmp_path / "made").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["project", "victim"]
    if atlas is not None:
        assert os.path.dirname(atlas.health()["db_path"]) == str(project.root / ".norvo")


def test_an_index_file_that_is_a_link_is_never_followed(project, tmp_path):
    # A repository can carry .norvo/atlas.sqlite as a link to any file of the
    # user who opens it: it must not be chmod-ed, nor, if it is some other
    # SQLite database, filled with the index schema.
    victim = tmp_path / "notes.txt"
    victim.write_text("data\n")
    os.chmod(victim, 0o644)
    foreign = tmp_path / "foreign.sqlite"
    import sqlite3

    with sqlite3.connect(foreign) as db:
        db.execute("CREATE TABLE mine (x)")
    os.chmod(foreign, 0o644)
    (project.root / ".norvo").mkdir()
    for target in (victim, foreign):
        link = project.root / ".norvo" / "atlas.sqlite"
        if link.is_symlink():
            link.unlink()
        os.symlink(target, link)
        try:
            project.atlas()
        except RuntimeError:
            pass
    assert stat.S_IMODE(os.stat(victim).st_mode) == 0o644
    assert victim.read_text() == "data\n"
    assert stat.S_IMODE(os.stat(foreign).st_mode) == 0o644
    with sqlite3.connect(foreign) as db:
        assert [r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")] == ["mine"]
