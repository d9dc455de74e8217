"""File discovery and Atlas.glob_python_files: which files a project offers,
in which order, and how bad patterns and unreadable trees are reported."""
import os
import re
import subprocess
import sys
import tempfile

import pytest

from norvo import norvo_native as nn

ALL = 100000


def write(root, rel, content=b""):
    path = os.path.join(os.fsencode(root), rel if isinstance(rel, bytes) else os.fsencode(rel))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)


def make(root, files):
    for rel in files:
        write(root, rel)


def config(root, text):
    write(root, ".norvo/config.toml", text)


def listed(root, pattern="*"):
    return nn.Atlas(str(root)).glob_python_files(pattern, ALL)


@pytest.fixture(autouse=True)
def no_user_git_config(tmp_path_factory, monkeypatch):
    # The user's global git excludes must not hide fixture files.
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")


# ---- what is a candidate ----------------------------------------------------------


def test_builtin_directory_names_are_never_walked(tmp_path):
    make(tmp_path, [
        "venv/a.py", ".venv/a.py", "env/a.py", "virtualenv/a.py", "build/a.py", "dist/a.py", "eggs/a.py",
        "__pycache__/a.py", "node_modules/a.py", "pkg.egg-info/a.py", "deep/x/site-packages/a.py",
        "src/build/a.py", "norvo-2/a.py", "norvo-2x/a.py",
        # near misses are walked
        "norvo-tools/a.py", "app/venv.py", "builds/a.py", "Build/a.py", "src/ok.py",
    ])
    assert set(listed(tmp_path)) == {"norvo-tools/a.py", "app/venv.py", "builds/a.py", "Build/a.py", "src/ok.py"}


def test_builtin_names_apply_even_without_configured_patterns(tmp_path):
    config(tmp_path, "[atlas]\nignore_patterns = []\n")
    make(tmp_path, ["venv/a.py", "__pycache__/b.py", "x.egg-info/c.py", "ok.py"])
    assert listed(tmp_path) == ["ok.py"]


def test_root_below_an_ignored_directory_name_is_still_walked(tmp_path):
    root = tmp_path / "build" / "venv" / "proj"
    make(root, ["a.py", "pkg/b.py"])
    assert set(listed(root)) == {"a.py", "pkg/b.py"}


def test_configured_patterns_match_path_or_file_name(tmp_path):
    # "*" crosses "/" here, unlike in .gitignore files; a bad pattern is dropped.
    config(tmp_path, '[atlas]\nignore_patterns = ["legacy/*", "gen_*.py", "[bad", "exact/path.py"]\n')
    make(tmp_path, ["legacy/a.py", "legacy/sub/b.py", "x/gen_models.py", "gen_root.py", "exact/path.py",
                    "other/exact/path.py", "keep/legacy.py", "keep/a.py"])
    assert set(listed(tmp_path)) == {"other/exact/path.py", "keep/legacy.py", "keep/a.py"}


def test_norvoignore_lines_are_globs_too(tmp_path):
    # As an ignore file "a/*.py" would stop at "/" and "  a/*.py" (leading
    # blanks) would match nothing; as a filter line it is trimmed and its "*"
    # crosses "/". Comments, blank lines and an invalid line do no harm.
    write(tmp_path, ".norvoignore", "# a comment\n\n  a/*.py  \r\n[abc\ngenerated_*.py\n")
    make(tmp_path, ["a/x.py", "a/sub/y.py", "b/generated_models.py", "b/kept.py"])
    assert listed(tmp_path) == ["b/kept.py"]


def test_hidden_entries_are_never_returned(tmp_path):
    make(tmp_path, [".secret.py", ".hidden/x.py", "pkg/.h.py", "pkg/ok.py", ".py"])
    assert listed(tmp_path) == ["pkg/ok.py"]


@pytest.mark.parametrize(
    "name, expected",
    [("mod.py", True), ("a.b.py", True), ("module.PY", False), ("mod.pyc", False), ("mod.py.bak", False),
     ("py", False), ("mod.", False), ("mod.pyi", False), ("mod py", False)],
)
def test_file_name_must_end_in_dot_py(tmp_path, name, expected):
    make(tmp_path, [name])
    assert listed(tmp_path) == ([name] if expected else [])


@pytest.mark.parametrize("limit_key, size, kept", [
    (None, 1000000, True), (None, 1000001, False), ("max_file_size = 10", 10, True),
    ("max_file_size = 10", 11, False), ("max_file_size = 0", 0, True), ("max_file_size = 0", 1, False),
])
def test_size_limit_is_inclusive(tmp_path, limit_key, size, kept):
    if limit_key:
        config(tmp_path, f"[atlas]\n{limit_key}\n")
    write(tmp_path, "f.py", b"x" * size)
    assert listed(tmp_path) == (["f.py"] if kept else [])


def test_symbolic_links(tmp_path):
    make(tmp_path, ["real/inner.py", "target.py"])
    os.symlink(tmp_path / "real", tmp_path / "dirlink")          # not followed
    os.symlink(tmp_path / "real", tmp_path / "dirlink.py")       # a directory, whatever its name
    os.symlink(tmp_path / "target.py", tmp_path / "filelink.py")  # a file: listed
    os.symlink(tmp_path / "missing.py", tmp_path / "dangling.py")  # no metadata: kept
    os.symlink(tmp_path, tmp_path / "real" / "loop")             # a loop cannot trap the walk
    os.symlink("..", tmp_path / "real" / "up")
    assert set(listed(tmp_path)) == {"real/inner.py", "target.py", "filelink.py", "dangling.py"}


def test_pipes_are_not_candidates(tmp_path):
    os.mkfifo(tmp_path / "pipe.py")
    make(tmp_path, ["a.py"])
    assert listed(tmp_path) == ["a.py"]


def test_names_with_invalid_utf8(tmp_path):
    write(tmp_path, b"caf\xe9.py")
    write(tmp_path, b"d\xff\xfe/x.py")
    assert set(listed(tmp_path)) == {"caf\ufffd.py", "d\ufffd\ufffd/x.py"}
    assert listed(tmp_path, "caf?.py") == ["caf\ufffd.py"]


def scandir_order(top, rel=""):
    """Depth first, each directory in the order the system lists it."""
    out = []
    for e in os.scandir(os.path.join(top, rel)):
        path = f"{rel}{e.name}"
        if e.is_dir(follow_symlinks=False):
            out += scandir_order(top, path + "/")
        elif e.name.endswith(".py"):
            out.append(path)
    return out


def test_walk_order_is_depth_first_in_listing_order(tmp_path):
    names = ["m.py", "b/z.py", "b/a.py", "b/c/q.py", "a.py", "zz/k.py", "c.py", "b/c/d/e.py", "k/a.py"]
    make(tmp_path, names)
    order = listed(tmp_path)
    assert sorted(order) == sorted(names)
    assert order == scandir_order(str(tmp_path))


def test_every_call_walks_afresh(tmp_path):
    make(tmp_path, ["a.py"])
    atlas = nn.Atlas(str(tmp_path))
    assert atlas.glob_python_files("*") == ["a.py"]
    make(tmp_path, ["b.py"])
    assert sorted(atlas.glob_python_files("*")) == ["a.py", "b.py"]


def run_without_privilege(fn):
    """Runs `fn` in a forked child as nobody (root reads everything) and
    returns what it returned, as text."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            os.write(w, str(fn()).encode())
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            os.write(w, f"{type(e).__name__}: {e}".encode())
        finally:
            os._exit(0)
    os.close(w)
    chunks = []
    while chunk := os.read(r, 65536):
        chunks.append(chunk)
    os.close(r)
    os.waitpid(pid, 0)
    return b"".join(chunks).decode()


def test_unreadable_directory_ends_discovery():
    top = tempfile.mkdtemp(dir="/tmp")
    try:
        os.chmod(top, 0o755)
        root = os.path.realpath(top)
        make(root, ["a.py", "locked/b.py"])
        atlas = nn.Atlas(root)
        os.chmod(os.path.join(root, "locked"), 0)
        out = run_without_privilege(lambda: atlas.glob_python_files("*"))
        assert out == (f"OSError: I/O error: Failed to walk {root}: {root}/locked: "
                       "Permission denied (os error 13)")
        # An ignored directory is never opened, so it cannot fail the walk.
        write(root, ".ignore", "locked/\n")
        assert run_without_privilege(lambda: atlas.glob_python_files("*")) == "['a.py']"
    finally:
        os.chmod(os.path.join(top, "locked"), 0o755)
        subprocess.run(["rm", "-rf", top], check=True)


# ---- glob_python_files ------------------------------------------------------------

GLOB_TREE = ["app/a.py", "app/b.py", "app/c.py", "app/sub/d.py", "app/sub/deep/e.py", "x.py", "y1.py", "].py",
             "app/[x].py", "caf\u00e9.py"]


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("*.py", GLOB_TREE),  # "*" crosses "/"
        ("*", GLOB_TREE),
        ("**", GLOB_TREE),
        ("app/*.py", [f for f in GLOB_TREE if f.startswith("app/")]),
        ("app/**", [f for f in GLOB_TREE if f.startswith("app/")]),
        ("app/**/*.py", [f for f in GLOB_TREE if f.startswith("app/")]),
        ("app/**/d.py", ["app/sub/d.py"]),
        ("**/e.py", ["app/sub/deep/e.py"]),
        ("app/?.py", ["app/a.py", "app/b.py", "app/c.py"]),
        ("app/[a-b].py", ["app/a.py", "app/b.py"]),
        ("app/[!a].py", ["app/b.py", "app/c.py"]),
        ("app/[ac-].py", ["app/a.py", "app/c.py"]),
        ("app/[[]x].py", ["app/[x].py"]),
        ("[]].py", ["].py"]),
        ("y[0-9].py", ["y1.py"]),
        ("caf?.py", ["caf\u00e9.py"]),  # one character, not one byte
        ("x.py", ["x.py"]),  # the whole path must match
        ("APP/*.py", []),  # case-sensitive
        ("app/sub", []),  # directories are never listed
        ("", []),
    ],
)
def test_glob_patterns(tmp_path, pattern, expected):
    make(tmp_path, GLOB_TREE)
    assert sorted(listed(tmp_path, pattern)) == sorted(expected)


def test_limit_defaults_to_ten_and_keeps_walk_order(tmp_path):
    make(tmp_path, [f"m{i:02}.py" for i in range(12)] + ["sub/n.py"])
    atlas = nn.Atlas(str(tmp_path))
    full = atlas.glob_python_files("*", 100)
    assert len(full) == 13
    assert atlas.glob_python_files("*") == full[:10]
    assert atlas.glob_python_files("*", None) == full[:10]
    assert atlas.glob_python_files(pattern="*", limit=3) == full[:3]
    assert atlas.glob_python_files("*", 0) == []


@pytest.mark.parametrize(
    "pattern, pos, reason",
    [
        ("[", 0, "invalid range pattern"),
        ("x[a", 1, "invalid range pattern"),
        ("[]", 0, "invalid range pattern"),
        ("[!]", 0, "invalid range pattern"),
        ("[!a", 0, "invalid range pattern"),
        ("\u00e9\u00e9[", 2, "invalid range pattern"),  # positions count characters
        ("***", 2, "wildcards are either regular `*` or recursive `**`"),
        ("a/****", 4, "wildcards are either regular `*` or recursive `**`"),
        ("a**/b", 0, "recursive wildcards must form a single path component"),
        ("a/**b", 4, "recursive wildcards must form a single path component"),
        ("**a", 2, "recursive wildcards must form a single path component"),
    ],
)
def test_invalid_patterns(tmp_path, pattern, pos, reason):
    make(tmp_path, ["a.py"])
    atlas = nn.Atlas(str(tmp_path))
    root = os.path.realpath(tmp_path)
    with pytest.raises(OSError) as exc:
        atlas.glob_python_files(pattern)
    assert str(exc.value) == (f"I/O error: Failed to walk {root}: Invalid glob pattern '{pattern}': "
                              f"Pattern syntax error near position {pos}: {reason}")
    assert exc.value.errno is None
    # A limit of 0 returns before the pattern is looked at.
    assert atlas.glob_python_files(pattern, 0) == []


def test_argument_errors(tmp_path):
    atlas = nn.Atlas(str(tmp_path))
    with pytest.raises(TypeError):
        atlas.glob_python_files(5)
    with pytest.raises(TypeError):
        atlas.glob_python_files()
    with pytest.raises(TypeError):
        atlas.glob_python_files("*", "3")
    with pytest.raises(OverflowError):
        atlas.glob_python_files("*", -1)


# ---- log records ------------------------------------------------------------------

ANSI = re.compile(r"\x1b\[[0-9;]*m")


def debug_records(root, code):
    prog = ("from norvo import norvo_native as nn\nnn.init_logging('debug')\n"
            f"atlas = nn.Atlas({str(root)!r})\n{code}\n")
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", prog], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = [ANSI.sub("", line) for line in proc.stderr.splitlines()]
    return [line.split(" ", 2)[2] for line in lines if "glob_python_files{" in line]


def test_discovery_log_records(tmp_path):
    root = os.path.realpath(tmp_path)
    write(root, ".norvoignore", "skip_*.py\n[bad\n")
    make(root, ["ok.py", "venv/v.py", "skip_me.py", "notes.txt"])
    write(root, "big.py", b"x" * 1000001)
    recs = debug_records(root, "atlas.glob_python_files('*', 100)")
    span = 'glob_python_files{pattern="*" limit=Some(100)}: '
    walker = span + "norvo_atlas::scanner::walker: "
    assert recs[0] == span + "norvo_atlas::scanner::filter: Initialized ignore filter default_dirs=26 custom_patterns=10"
    assert recs[-1] == walker + "Found Python files count=1"
    per_file = recs[1:-1]
    expected_groups = [
        [f"Discovered candidate Python file path={root}/ok.py", f"Including Python file in scan set path={root}/ok.py"],
        [f"Discovered candidate Python file path={root}/venv/v.py",
         f"Skipping Python file ignored by filter path={root}/venv/v.py"],
        [f"Discovered candidate Python file path={root}/big.py",
         f"Skipping large file path={root}/big.py size=1000001 max=1000000"],
    ]
    # skip_me.py never reaches discovery: .norvoignore is also an ignore file
    # of the walk, which drops it before the filter sees it.
    assert sorted(per_file) == sorted(walker + line for group in expected_groups for line in group)
    for group in expected_groups:  # each file's records come together, in this order
        i = per_file.index(walker + group[0])
        assert per_file[i + 1] == walker + group[1]


def test_failed_glob_logs_one_error_record(tmp_path):
    root = os.path.realpath(tmp_path)
    recs = debug_records(root, "try:\n    atlas.glob_python_files('[')\nexcept OSError:\n    pass")
    errors = [r for r in recs if "error=" in r]
    assert len(errors) == 1
    assert errors[0].startswith('glob_python_files{pattern="[" limit=None}: norvo_atlas:')
    assert errors[0].endswith(f"error=Failed to walk directory '{root}': Invalid glob pattern '[': "
                              "Pattern syntax error near position 0: invalid range pattern")
