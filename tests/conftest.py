"""Shared fixture builders: a temporary project directory and helpers to fill it."""
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


class Project:
    """A project directory under the test's tmp_path."""

    def __init__(self, root: Path):
        self.root = root

    @property
    def db_path(self) -> Path:
        """The index database of a project without a config.toml."""
        return self.root / ".norvo" / "atlas.sqlite"

    def write(self, relative: str, text: str = "") -> Path:
        """Writes `text` (dedented) to `relative`, creating parent directories."""
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
        return path

    def write_bytes(self, relative: str, data: bytes) -> Path:
        path = self.root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def atlas(self):
        from norvo import norvo_native

        return norvo_native.Atlas(str(self.root))

    def connect(self) -> sqlite3.Connection:
        """A plain sqlite3 connection to the index database (autocommit)."""
        return sqlite3.connect(self.db_path, isolation_level=None)


@pytest.fixture
def project(tmp_path) -> Project:
    root = tmp_path / "project"
    root.mkdir()
    return Project(root)


# ---- the native test drivers (tests/native) ---------------------------------------

REPO = Path(__file__).resolve().parents[1]
DRIVERS = ("parser_check", "store_check", "security_check")


def _sanitized() -> bool:
    return os.environ.get("NORVO_SANITIZE", "OFF").upper() in ("1", "ON", "TRUE", "YES")


@pytest.fixture(scope="session")
def native_drivers() -> Path:
    """Directory holding the native drivers.

    NORVO_NATIVE_DRIVERS names one that is already built (scripts/test-sanitized
    builds them inside its own instrumented build); otherwise they are built once
    per session into build/native-check (build/native-check-asan with
    NORVO_SANITIZE=ON)."""
    given = os.environ.get("NORVO_NATIVE_DRIVERS")
    if given:
        return Path(given)
    if not shutil.which("cmake") or not shutil.which("ninja"):
        pytest.skip("cmake and ninja are needed to build the native drivers")
    sanitize = _sanitized()
    build = REPO / "build" / ("native-check-asan" if sanitize else "native-check")
    configure = [
        "cmake", "-S", str(REPO / "tests" / "native"), "-B", str(build), "-G", "Ninja",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", f"-DPython_EXECUTABLE={sys.executable}",
        f"-DNORVO_SANITIZE={'ON' if sanitize else 'OFF'}",
    ]
    for cmd in (configure, ["cmake", "--build", str(build), "--target", *DRIVERS]):
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.fail(f"{' '.join(cmd)} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}")
    return build
