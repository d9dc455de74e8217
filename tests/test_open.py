import os
import sqlite3
import stat

import pytest

from norvo import norvo_native as nn


def write_config(root, text):
    (root / ".norvo").mkdir(exist_ok=True)
    (root / ".norvo" / "config.toml").write_text(text)


def test_open_creates_private_database(tmp_path):
    nn.Atlas(str(tmp_path))
    db = tmp_path / ".norvo" / "atlas.sqlite"
    assert stat.S_IMODE(db.stat().st_mode) == 0o600
    con = sqlite3.connect(db)
    assert con.execute("SELECT version FROM schema_version").fetchall() == [(9,)]
    meta = dict(con.execute("SELECT key, value FROM metadata"))
    assert meta["schema_version"] == "9" and meta["last_git_commit"] == "" and meta["last_known_latest_mtime"] == "0"
    assert con.execute("PRAGMA busy_timeout").fetchone()  # readable by a second connection


def test_open_twice_changes_nothing(tmp_path):
    nn.Atlas(str(tmp_path))
    db = tmp_path / ".norvo" / "atlas.sqlite"
    con = sqlite3.connect(db)
    before = con.execute("SELECT key, value, updated_at FROM metadata ORDER BY key").fetchall()
    con.close()
    nn.Atlas(str(tmp_path))
    con = sqlite3.connect(db)
    assert con.execute("SELECT key, value, updated_at FROM metadata ORDER BY key").fetchall() == before
    assert con.execute("SELECT COUNT(*) FROM schema_version").fetchone() == (1,)
    assert sorted(os.listdir(tmp_path / ".norvo")) == ["atlas.sqlite"]


def test_symlinked_root_is_canonicalised(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    link = tmp_path / "link"
    link.symlink_to(real)
    atlas = nn.Atlas(str(link))
    assert atlas.project_root == str(link)  # as passed
    assert (real / ".norvo" / "atlas.sqlite").exists()


@pytest.mark.parametrize(
    "config, db_name",
    [
        ('[atlas]\ndb_filename = "index.db"\n', "index.db"),
        ('[atlas]\ndb_filename = "index.db"\n[governance]\nrequire_index = "yes"\n', "atlas.sqlite"),
        ('[atlas]\ndb_filename = "index.db"\nmax_file_size = -1\n', "atlas.sqlite"),
        ('[atlas\ndb_filename = "index.db"\n', "atlas.sqlite"),
        ('[atlas]\ndb_filename = "index.db"\nunknown_key = 5\n[extra]\nx = "y"\n', "index.db"),
        ('[firewall]\ntyposquat_threshold = 1\n[atlas]\ndb_filename = "index.db"\n', "index.db"),
        ('atlas = 5\n', "atlas.sqlite"),
    ],
)
def test_config_db_filename(tmp_path, config, db_name):
    write_config(tmp_path, config)
    nn.Atlas(str(tmp_path))
    assert (tmp_path / ".norvo" / db_name).exists()


def test_non_utf8_config_means_defaults(tmp_path):
    (tmp_path / ".norvo").mkdir()
    (tmp_path / ".norvo" / "config.toml").write_bytes(b'[atlas]\ndb_filename = "index.db"\n# \xff\n')
    nn.Atlas(str(tmp_path))
    assert (tmp_path / ".norvo" / "atlas.sqlite").exists()


def test_missing_root(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        nn.Atlas("does/not/exist")
    assert str(e.value) == "Project not found: does/not/exist"


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits")
def test_unwritable_norvo_directory(tmp_path):
    tmp_path.chmod(0o555)
    try:
        with pytest.raises(RuntimeError, match=r"^Database error: create_dir: Failed to create .norvo directory: "):
            nn.Atlas(str(tmp_path))
    finally:
        tmp_path.chmod(0o755)


def test_norvo_path_is_a_file(tmp_path):
    (tmp_path / ".norvo").write_text("not a directory")
    with pytest.raises(RuntimeError, match=r"^Database error: create_dir: Failed to create .norvo directory: "):
        nn.Atlas(str(tmp_path))
    assert (tmp_path / ".norvo").read_text() == "not a directory"


def test_newer_database_is_used_unchanged(tmp_path):
    nn.Atlas(str(tmp_path))
    db = tmp_path / ".norvo" / "atlas.sqlite"
    con = sqlite3.connect(db)
    con.execute("UPDATE schema_version SET version = 12")
    con.execute("UPDATE metadata SET value = '12' WHERE key = 'schema_version'")
    con.commit()
    con.close()
    nn.Atlas(str(tmp_path))
    con = sqlite3.connect(db)
    assert con.execute("SELECT version FROM schema_version").fetchall() == [(12,)]


def test_garbage_database_file(tmp_path):
    (tmp_path / ".norvo").mkdir()
    (tmp_path / ".norvo" / "atlas.sqlite").write_bytes(b"this is not a database" * 100)
    with pytest.raises(RuntimeError, match=r"^Database error: "):
        nn.Atlas(str(tmp_path))
    assert (tmp_path / ".norvo" / "atlas.sqlite").read_bytes() == b"this is not a database" * 100
