"""Fuzz targets over the public Python API, one per parser of outside text.

Each target takes the raw input bytes, feeds them to the module through the
files and arguments a real caller would use, and lets only the documented
failures through (the errors a bad input is allowed to cause). Anything else,
an unexpected exception, the module's BaseException-derived failure, a crash
or a sanitizer report, is a finding.

The targets share one scratch project per process (`Scratch`), rewritten for
each input, so an input costs file writes and the calls under test, not a
new directory tree.

Used by fuzz/run (atheris, coverage-guided) and by tests/test_fuzz_regressions.py
(replays the seeds of fuzz/seeds.py without atheris).
"""
from __future__ import annotations

import os
import shutil
import tempfile
import tomllib
from pathlib import Path

from norvo import norvo_native as nn

# The errors that bad input may cause, per target. Everything else escapes.
TOLERATED = (RuntimeError, OSError, ValueError)


class Scratch:
    """A small project in a private temporary directory, kept for the process."""

    _instance: Scratch | None = None

    def __init__(self) -> None:
        # On a memory file system when there is one: the scans' commits sync.
        shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        fixed = os.environ.get("NORVO_FUZZ_SCRATCH")
        if fixed:
            # fuzz/run names one directory per target: libFuzzer ends the
            # process without running Python's exit handlers, so a temporary
            # directory would be left behind by every run.
            shutil.rmtree(fixed, ignore_errors=True)
            shutil.rmtree(fixed + "-nobin", ignore_errors=True)
            os.makedirs(fixed)
            self.root = Path(fixed)
        else:
            self.root = Path(tempfile.mkdtemp(prefix="norvo-fuzz-", dir=shm))
        self.norvo = self.root / ".norvo"
        self.norvo.mkdir()
        self.write("app/__init__.py", "")
        self.write("app/main.py",
                   "from fastapi import FastAPI\nimport requests\n\napp = FastAPI()\n\n\n"
                   "@app.get('/items/{item_id}')\ndef read_item(item_id: int):\n"
                   "    requests.get('http://example.invalid')\n    return {'id': item_id}\n")
        self.write("app/models.py", "from pydantic import BaseModel\n\n\nclass Item(BaseModel):\n    name: str\n")
        self.write("lib/util.py", "def helper(x):\n    return x\n")
        self.write("legacy/old.py", "X = 1\n")
        self.write("generated_models.py", "Y = 2\n")
        (self.root / ".git").mkdir()  # so .gitignore files count
        self._atlas = None
        # No git child processes: each would cost a fork per scan.
        empty = self.root.parent / (self.root.name + "-nobin")
        empty.mkdir(exist_ok=True)
        os.environ["PATH"] = str(empty)

    @classmethod
    def get(cls) -> Scratch:
        if cls._instance is None:
            cls._instance = Scratch()
        return cls._instance

    @classmethod
    def reset(cls) -> None:
        """Starts the next target on a new project (the replay runs them all in one process)."""
        global _FW
        if cls._instance is not None:
            cls._instance._atlas = None
            shutil.rmtree(cls._instance.root, ignore_errors=True)
            shutil.rmtree(str(cls._instance.root) + "-nobin", ignore_errors=True)
        cls._instance = None
        _FW = None

    def write(self, relative: str, data: str | bytes) -> Path:
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(data, str):
            data = data.encode()
        path.write_bytes(data)
        return path

    def remove(self, relative: str) -> None:
        path = self.root / relative
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        elif path.exists() or path.is_symlink():
            path.unlink()

    def atlas(self) -> nn.Atlas:
        """One Atlas for targets that do not change what opening reads."""
        if self._atlas is None:
            self.clean_norvo(keep=("atlas.sqlite", "fastapi_scaling.yaml"))
            self._atlas = nn.Atlas(str(self.root))
        return self._atlas

    def clean_norvo(self, keep=("atlas.sqlite",)) -> None:
        """Drops the configuration files and any index a fuzzed file name made."""
        for entry in self.norvo.iterdir():
            if entry.name in keep:
                continue
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()


def split(data: bytes, parts: int) -> list[bytes]:
    """Cuts the input at its first NUL bytes, so one input can fill several files."""
    pieces = data.split(b"\0", parts - 1)
    return pieces + [b""] * (parts - len(pieces))


def text(data: bytes) -> str:
    return data.decode("utf-8", errors="replace")


# ---- config.toml -----------------------------------------------------------------------


def _db_filename_stays_inside(data: bytes) -> bool:
    """Whether the file can only name an index inside .norvo.

    A db_filename with a separator or ".." would make the module create
    directories and chmod files outside the scratch project; such inputs are
    passed over. Inputs that Python's TOML reader refuses but the module's
    may accept are passed over too when they could spell the key at all.
    """
    try:
        doc = tomllib.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, tomllib.TOMLDecodeError):
        return b"filename" not in data and b"\\u" not in data and b"\\U" not in data
    atlas = doc.get("atlas")
    name = atlas.get("db_filename") if isinstance(atlas, dict) else None
    if name is None or not isinstance(name, str):
        return True
    return "/" not in name and name not in ("", ".", "..") and "\0" not in name


def config_toml(data: bytes) -> None:
    if not _db_filename_stays_inside(data):
        return
    s = Scratch.get()
    s.clean_norvo()
    s.write(".norvo/config.toml", data)
    try:
        atlas = nn.Atlas(str(s.root))
    except TOLERATED:
        return  # an index that cannot be opened under the chosen name
    atlas.count()
    atlas.health()
    for path in atlas.glob_python_files("**", 50):
        assert path.endswith(".py"), path
    try:
        atlas.read_span("app/main.py", 1, 3)
    except RuntimeError as e:  # refused by the fuzzed security section
        assert "denied by security configuration" in str(e), e


# ---- firewall.yaml ---------------------------------------------------------------------


def firewall_yaml(data: bytes) -> None:
    s = Scratch.get()
    s.write(".norvo/firewall.yaml", data)
    fw = nn.Firewall(str(s.root))  # a bad file means the defaults, never an error
    fw.get_policy_info()
    fw.list_rules()
    fw.get_blocked_patterns()
    fw.get_allowed_packages()
    assert fw.policy_mode in ("strict", "audit_only", "disabled")
    for name in ("requests", "reqeusts", "pickle", "os.system", "app.models", "json", "", "a" * 300):
        fw.check_import(name)
        fw.check_typosquat(name)
    fw.check_imports(["fastapi", "flask", "numpyy"])


# ---- fastapi_scaling.yaml --------------------------------------------------------------


def fastapi_scaling_yaml(data: bytes) -> None:
    s = Scratch.get()
    s.write(".norvo/fastapi_scaling.yaml", data)
    atlas = s.atlas()
    try:
        policy = atlas.fastapi_scaling_policy()
    except ValueError as e:
        assert str(e).startswith("Invalid argument: Analysis config error in '"), e
        return
    assert isinstance(policy, dict)
    atlas.analyze_fastapi_scaling()


# ---- .norvoignore and .gitignore -------------------------------------------------------


def ignore_files(data: bytes) -> None:
    s = Scratch.get()
    norvoignore, gitignore, nested = split(data, 3)
    s.write(".norvoignore", norvoignore)
    s.write(".gitignore", gitignore)
    s.write("lib/.gitignore", nested)
    listed = s.atlas().glob_python_files("**", 100)
    every = {"app/__init__.py", "app/main.py", "app/models.py", "lib/util.py", "legacy/old.py",
             "generated_models.py"}
    assert set(listed) <= every, listed
    assert len(listed) == len(set(listed)), listed


# ---- glob patterns -----------------------------------------------------------------------


def glob_patterns(data: bytes) -> None:
    s = Scratch.get()
    atlas = s.atlas()
    pattern = text(data)
    try:
        listed = atlas.glob_python_files(pattern, 100)
    except OSError as e:
        assert "Invalid glob pattern '" in str(e), e
        listed = None
    try:
        spans = atlas.grep_spans("e", 100, path_glob=pattern)
    except OSError as e:
        assert "Invalid glob pattern '" in str(e), e
        assert listed is None, "a pattern both compiled and did not"
        return
    assert listed is not None, "a pattern both compiled and did not"
    assert {sp["file_path"] for sp in spans} <= set(listed)


# ---- line-based import scanner ---------------------------------------------------------


def import_scanner(data: bytes) -> None:
    s = Scratch.get()
    path = s.write("scan_me.py", data)
    fw = _firewall()
    try:
        report = fw.analyze_file(str(path))
    except TOLERATED:
        return
    assert isinstance(report, dict)


_FW = None


def _firewall():
    global _FW
    if _FW is None:
        Scratch.get().clean_norvo()
        _FW = nn.Firewall(str(Scratch.get().root))
    return _FW


# ---- Python sources given to the scan ----------------------------------------------------


def python_sources(data: bytes) -> None:
    s = Scratch.get()
    if (s.root / "lib").exists():
        # Only the fuzzed file and the endpoint module it may import: each
        # input costs one scan of the whole project.
        for extra in ("lib", "legacy", "generated_models.py", "app/models.py"):
            s.remove(extra)
    s.write("app/fuzzed.py", data)
    atlas = s.atlas()
    result = atlas.scan()
    failed = {os.path.basename(f["path"]) for f in result["failed_files"]}
    assert failed <= {"fuzzed.py"}, result["failed_files"]
    assert result["files_parsed"] + result["files_failed"] == result["files_scanned"]
    try:
        atlas.read_span("app/fuzzed.py", 1, 40)
    except TOLERATED:
        pass
    try:
        atlas.grep_spans("def", 20, path_glob="app/fuzzed.py")
    except TOLERATED:
        pass


TARGETS = {
    "config_toml": config_toml,
    "firewall_yaml": firewall_yaml,
    "fastapi_scaling_yaml": fastapi_scaling_yaml,
    "ignore_files": ignore_files,
    "glob_patterns": glob_patterns,
    "import_scanner": import_scanner,
    "python_sources": python_sources,
}
