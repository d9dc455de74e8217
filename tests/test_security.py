"""The file-access policy ([security] in .norvo/config.toml).

Python reaches the policy through the candidate files of glob_python_files
(only .py files there); the full rule table, with other extensions, absolute
paths and invalid patterns, runs through the native driver in
tests/native/security.
"""
import re
import subprocess
import sys
from pathlib import Path

import pytest

from norvo import norvo_native as nn

ROOT = Path(__file__).resolve().parents[1]


def write(root, rel, content=""):
    p = Path(root) / rel
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_text(content)


@pytest.fixture(autouse=True)
def no_user_git_config(tmp_path_factory, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")


# ---- through glob_python_files ----------------------------------------------------


def listed(root):
    return set(nn.Atlas(str(root)).glob_python_files("*", 1000))


def test_default_policy_drops_refused_files_silently(tmp_path):
    for f in ["app/main.py", "app/password_utils.py", "my_credentials.py", "id_rsa_tool.py", "id_ed25519.py",
              "secrets/a.py", "lib/private/b.py", "certs/c.py", "certificates/d.py", "privateer/e.py",
              "Secrets/f.py", "app/secret.py"]:
        write(tmp_path, f)
    assert listed(tmp_path) == {"app/main.py", "privateer/e.py", "Secrets/f.py", "app/secret.py"}


@pytest.mark.parametrize(
    "section, expected",
    [
        ('denied_extensions = ["py"]', set()),
        ('strict_mode = true\nallowed_extensions = ["pyi"]', set()),
        ("strict_mode = true", {"app/a.py", "app/sub/b.py", "lib/c.py", "notes.py"}),
        ("strict_mode = true\nallowed_extensions = []", {"app/a.py", "app/sub/b.py", "lib/c.py", "notes.py"}),
        ('denied_file_patterns = ["app/*"]', {"lib/c.py", "notes.py"}),  # "*" crosses "/"
        ('denied_file_patterns = ["n?tes.py"]', {"app/a.py", "app/sub/b.py", "lib/c.py"}),
        ('denied_directories = ["sub", "lib"]', {"app/a.py", "notes.py", "secrets/s.py"}),
        ('denied_directories = []\ndenied_file_patterns = []', {"app/a.py", "app/sub/b.py", "lib/c.py", "notes.py",
                                                               "secrets/s.py"}),
    ],
)
def test_configured_policy(tmp_path, section, expected):
    write(tmp_path, ".norvo/config.toml", f"[security]\n{section}\n")
    for f in ["app/a.py", "app/sub/b.py", "lib/c.py", "notes.py", "secrets/s.py"]:
        write(tmp_path, f)
    assert listed(tmp_path) == expected


def test_only_components_below_the_root_count(tmp_path):
    root = tmp_path / "secrets" / "private" / "proj"
    write(root, "app/main.py")
    assert listed(root) == {"app/main.py"}


def test_invalid_denied_pattern_refuses_everything_and_warns_per_check(tmp_path):
    write(tmp_path, ".norvo/config.toml", '[security]\ndenied_file_patterns = ["*.bak", "[oops"]\n')
    for f in ["a.py", "b.py", "sub/c.py", "secrets/d.py"]:
        write(tmp_path, f)
    prog = ("from norvo import norvo_native as nn\nnn.init_logging('warn')\n"
            f"print(nn.Atlas({str(tmp_path)!r}).glob_python_files('*', 100))\n")
    proc = subprocess.run([sys.executable, "-c", prog], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"
    warns = [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in proc.stderr.splitlines()]
    # secrets/d.py is refused by the directory rule before the patterns. (At
    # the warn level the INFO span is filtered out, so it is not shown.)
    assert len(warns) == 3
    for w in warns:
        assert w.endswith(" WARN norvo_atlas: "
                          "Invalid denied_file_pattern; failing closed pattern=[oops "
                          "error=Pattern syntax error near position 0: invalid range pattern")


# ---- the whole rule table, through the native driver ------------------------------


@pytest.fixture(scope="session")
def security_check(native_drivers):
    return native_drivers / "security_check"


def run_policy(driver, setup, paths):
    lines = ["\t".join(cmd) for cmd in setup] + [f"check\t{p}" for p in paths]
    proc = subprocess.run([str(driver)], input="\n".join(lines) + "\n", capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    answers = proc.stdout.split()
    assert len(answers) == len(paths)
    return dict(zip(paths, answers)), proc.stderr


DEFAULTS = {
    "app/main.py": "allow",
    "README.md": "allow",
    "Makefile": "allow",
    "app/static/logo.png": "allow",
    "app/settings/.env": "deny",
    ".env": "deny",
    "config/.env.production": "deny",
    "config/.envrc": "allow",
    "keys/server.pem": "deny",
    "keys/server.PEM": "allow",  # extensions are case-sensitive
    "keys/.pem": "allow",  # a leading dot is no extension
    "keys/archive.tar.key": "deny",
    "trust/ca.crt": "deny",
    "deploy/id_rsa.pub": "deny",
    "deploy/id_ed25519": "deny",
    "src/password_utils.py": "deny",  # allowed extension, denied pattern
    "app/credentials.json": "deny",
    "app/token.secret": "deny",
    "app/all.secrets": "deny",
    "app/secrets.txt": "allow",
    "secrets/app.py": "deny",
    "a/b/secrets/c.txt": "deny",
    "a/secrets": "deny",  # the file name is compared with the directory names too
    ".ssh/config": "deny",
    "private/notes.md": "deny",
    "privateer/notes.md": "allow",
    "app/Secrets/x.py": "allow",
    "app/./main.py": "allow",
    "app//main.py": "allow",
    "../private/x.py": "deny",
    "app/..": "allow",
    "/project/app/main.py": "allow",
    "/project/secrets/a.py": "deny",
    "/home/u/private/notes.md": "deny",  # outside the root: the whole path counts
    "/home/u/notes.md": "allow",
}


def test_default_rules(security_check):
    answers, _ = run_policy(security_check, [], list(DEFAULTS))
    assert answers == DEFAULTS


@pytest.mark.parametrize(
    "setup, expected",
    [
        # A root inside a denied directory: only what lies below the root counts.
        ([("root", "/srv/private/proj")],
         {"app/main.py": "allow", "/srv/private/proj/app/main.py": "allow", "/srv/private/other/x.py": "deny"}),
        ([("strict", "1")],
         {"Makefile": "deny", "app/static/logo.png": "deny", "app/main.py": "allow", "README.md": "allow",
          "x.PY": "deny", "archive.": "deny", "app/..": "deny", "types.pyi": "allow"}),
        ([("strict", "1"), ("set", "allowed_extensions")], {"Makefile": "allow", "logo.png": "allow"}),
        ([("set", "allowed_extensions", "py")], {"Makefile": "allow", "logo.png": "allow"}),
        ([("set", "denied_extensions", "py", "")], {"app/main.py": "deny", "archive.": "deny", "Makefile": "deny", "a.txt": "allow"}),
        ([("set", "denied_directories")], {"secrets/app.py": "allow", ".ssh/config": "allow"}),
        ([("set", "denied_file_patterns", "app/*", "*.[ch]")],
         {"app/x/y.py": "deny", "lib/app/x.py": "allow", "src/m.c": "deny", "src/m.cc": "allow",
          "/elsewhere/app/z.py": "allow"}),
        ([("set", "denied_file_patterns", "/elsewhere/*")], {"/elsewhere/z.py": "deny", "elsewhere/z.py": "allow"}),
    ],
)
def test_configured_rules(security_check, setup, expected):
    answers, _ = run_policy(security_check, setup, list(expected))
    assert answers == expected


def test_invalid_pattern_fails_closed(security_check):
    setup = [("set", "denied_file_patterns", "*.bak", "[", "*.log")]
    paths = ["a.bak", "a.py", "b.log", "secrets/x.py", "keys/k.pem"]
    answers, err = run_policy(security_check, setup, paths)
    assert set(answers.values()) == {"deny"}
    warns = [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in err.splitlines()]
    # Only the checks that reach the patterns past "*.bak" warn: a.py and b.log.
    assert len(warns) == 2
    assert all(w.endswith(" WARN norvo_atlas: Invalid denied_file_pattern; failing closed pattern=[ "
                          "error=Pattern syntax error near position 0: invalid range pattern") for w in warns)
