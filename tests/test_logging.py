"""Logging is process-wide and one-shot, so every case runs in a fresh child process."""
import os
import re
import subprocess
import sys

import pytest

ANSI = re.compile(r"\x1b\[[0-9;]*m")
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (TRACE|DEBUG| INFO| WARN|ERROR) (.*)$")


def run(code, env_log=None, cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    if env_log is not None:
        env["NORVO_LOG"] = env_log
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""  # logging never writes to standard output
    return proc.stderr


def records(stderr):
    out = []
    for raw in stderr.splitlines():
        m = LINE.match(ANSI.sub("", raw))
        assert m, f"malformed line: {raw!r}"
        out.append((m.group(1).strip(), m.group(2)))
    return out


OPEN = "from norvo import norvo_native as nn\n{init}\nnn.Atlas({root!r})\n"


def test_nothing_written_before_init(tmp_path):
    assert run(OPEN.format(init="", root=str(tmp_path))) == ""


def test_line_format_colours_and_spans(tmp_path):
    err = run(OPEN.format(init="nn.init_logging('debug')", root=str(tmp_path)))
    assert "\x1b[" in err  # colour even when standard error is not a terminal
    recs = records(err)
    root = str(tmp_path)
    assert ("DEBUG", f'new{{project="{root}"}}: norvo_atlas::storage::migrations: Schema is up to date version=0') in recs or (
        "DEBUG", f'new{{project="{root}"}}: norvo_atlas::storage::migrations: Schema is up to date version=9') in recs
    assert ("INFO", f'new{{project="{root}"}}: norvo_atlas: Atlas initialized db_path={root}/.norvo/atlas.sqlite') in recs
    # The binding's own record is outside the span.
    assert recs[-1] == ("INFO", f"norvo_native: Atlas initialized project={root}")


@pytest.mark.parametrize(
    "level, env_log, expect_info, expect_debug",
    [
        ("None", None, True, False),
        ("'warn'", None, False, False),
        ("'debug'", None, True, True),
        ("'debug'", "error", False, False),  # the environment wins
        ("'debug'", "norvo_atlas=bogus", True, True),  # an unparsable variable is dropped whole
        ("'nonsense'", None, True, False),  # an unparsable level falls back to info
        ("'norvo_native=info'", None, False, False),  # targeted only: other targets are off
        ("'norvo_atlas=debug,warn'", None, True, True),
        ("'INFO'", None, True, False),
    ],
)
def test_filter_precedence(tmp_path, level, env_log, expect_info, expect_debug):
    err = run(OPEN.format(init=f"nn.init_logging({level})", root=str(tmp_path)), env_log=env_log)
    text = ANSI.sub("", err)
    assert ("norvo_atlas: Atlas initialized" in text) == expect_info
    assert ("Set secure permissions (600) on database file" in text) == expect_debug


def test_second_init_is_ignored(tmp_path):
    err = run(OPEN.format(init="nn.init_logging('debug'); assert nn.init_logging('error') is None", root=str(tmp_path)))
    assert "Set secure permissions" in ANSI.sub("", err)


def test_targeted_directive_applies_to_sub_targets(tmp_path):
    err = run(OPEN.format(init="nn.init_logging('norvo_atlas::storage=debug')", root=str(tmp_path)))
    text = ANSI.sub("", err)
    assert "Schema is up to date" in text
    assert "Database initialized" in text  # norvo_atlas::storage::repository
    assert "Atlas initialized" not in text  # norvo_atlas itself has no directive


def test_failure_is_logged_when_logging_is_on(tmp_path):
    code = f"""
import threading
from norvo import norvo_native as nn
nn.init_logging()
a = nn.Atlas({str(tmp_path)!r})
def use():
    try:
        a.count()
    except BaseException:
        pass
t = threading.Thread(target=use); t.start(); t.join()
"""
    text = ANSI.sub("", run(code))
    line = next(l for l in text.splitlines() if "PANIC" in l)
    assert "ERROR norvo_core::logging: PANIC - This is a bug in Norvo. Please report it. panic=true message=" in line
    assert "location=" in text
