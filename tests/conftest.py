"""Shared fixture builders: a temporary project directory and helpers to fill it."""
import sqlite3
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
