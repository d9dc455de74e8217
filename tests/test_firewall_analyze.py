"""Firewall.analyze_file: the line-based import scanner, the report and its
failures."""
import os

import pytest

from norvo import norvo_native as nn


@pytest.fixture(scope="module")
def defaults(tmp_path_factory):
    return nn.Firewall(str(tmp_path_factory.mktemp("no_policy")))


@pytest.fixture(scope="module")
def everything_reported(tmp_path_factory):
    """A policy under which every non-stdlib module is an 'unknown' violation,
    so the violations show exactly what the scanner found."""
    root = tmp_path_factory.mktemp("report_all")
    (root / ".norvo").mkdir()
    (root / ".norvo" / "firewall.yaml").write_text("mode: audit_only\ntypo_detection: {enabled: false}\n")
    return nn.Firewall(str(root))


def write(tmp_path, text, name="m.py"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


@pytest.mark.parametrize(
    "source, found",
    [
        ("import alpha, beta\nfrom gamma.delta import x\n", [("alpha", 1), ("beta", 1), ("gamma.delta", 2)]),
        ("def f():\n    if x:\n        import alpha\n", [("alpha", 3)]),
        ("import numpyx as np\nimport a1 as b, c1\nimport a.b.c as d\n", [("numpyx", 1), ("a1", 2), ("c1", 2), ("a.b.c", 3)]),
        ("# import alpha\n\"import beta\"\n'import gamma'\nx = 1; import delta\n", []),
        ("from x1 import (\n    import_a,\n    b,\n)\n", [("x1", 1)]),
        ("from . import views\nfrom .models import User\n", [(".", 1), (".models", 2)]),
        ("from x1 import\nfrom x2 import *\nfrom  x3  import  b\n", [("x2", 2), ("x3", 3)]),
        ("import alpha  # why\nimport beta;import gamma\n", [("alpha  # why", 1), ("beta;import gamma", 2)]),
        ("importx alpha\nimport\talpha\nfromage import x\nimport\n", []),
        ("import  alpha ,, beta ,\n", [("alpha", 1), ("beta", 1)]),
        ("import alpha as\nimport x1 as y as z\n", [("alpha as", 1), ("x1", 2)]),
        ("\u3000import alpha\u00a0\n", [("alpha", 1)]),  # Unicode white space is trimmed
        ("x = 1\n\n\nimport alpha", [("alpha", 4)]),  # blank lines count; no final line feed
        ('"""\nimport alpha\n"""\n', [("alpha", 2)]),  # not a parser: string contents are lines too
        ("", []),
    ],
)
def test_scanner(everything_reported, tmp_path, source, found):
    report = everything_reported.analyze_file(write(tmp_path, source))
    assert report["imports_found"] == len(found)
    assert [(v["import"], v["line"]) for v in report["violations"]] == found
    assert report["passed"] is (not found)


def test_crlf_gives_the_same_records(everything_reported, tmp_path):
    source = "import alpha\n\nfrom beta import c\n  import gamma\n"
    lf = everything_reported.analyze_file(write(tmp_path, source, "lf.py"))
    crlf = everything_reported.analyze_file(write(tmp_path, source.replace("\n", "\r\n"), "crlf.py"))
    assert lf["violations"] == crlf["violations"] and lf["imports_found"] == 3


def test_report_under_defaults(defaults, tmp_path):
    lines = ["import os, json", "from requests import get", "from os import path"] + ["x = 1"] * 8
    lines += ["    import pickle", "import os.path", "from . import views", "import torch"]
    path = write(tmp_path, "\n".join(lines) + "\n")
    report = defaults.analyze_file(path)
    assert list(report) == ["file_path", "imports_found", "violations", "passed"]
    assert report["file_path"] == path
    assert report["imports_found"] == 8
    assert report["passed"] is False
    pickle, os_path, relative, torch = report["violations"]
    assert pickle == {
        "import": "pickle",
        "line": 12,
        "status": "blocked",
        "reason": "Package 'pickle' blocked by pattern 'pickle': Arbitrary code execution via deserialization - CVE-prone",
    }
    assert list(os_path) == ["import", "line", "status", "reason", "suggestion"]
    assert (os_path["import"], os_path["line"], os_path["status"]) == ("os.path", 13, "typosquat")
    assert os_path["reason"] == f"Possible typosquat of '{os_path['suggestion']}' (distance: 2)"
    assert (relative["import"], relative["status"], relative["reason"].endswith("(distance: 2)")) == (".", "typosquat", True)
    assert torch == {"import": "torch", "line": 15, "status": "unknown", "reason": "Unknown package - not in allowed list"}


def test_clean_file_passes(defaults, tmp_path):
    report = defaults.analyze_file(write(tmp_path, "import os, json\nfrom requests import get\n"))
    assert (report["imports_found"], report["violations"], report["passed"]) == (3, [], True)


def test_mode_does_not_change_the_verdict(tmp_path):
    (tmp_path / ".norvo").mkdir()
    (tmp_path / ".norvo" / "firewall.yaml").write_text(
        "mode: disabled\nblocked_patterns: [{pattern: evil, reason: r}]\n")
    report = nn.Firewall(str(tmp_path)).analyze_file(write(tmp_path, "import evil\n"))
    assert report["passed"] is False and report["violations"][0]["status"] == "blocked"


@pytest.mark.parametrize(
    "setup, error",
    [
        ("missing", "No such file or directory (os error 2)"),
        ("directory", "Is a directory (os error 21)"),
        ("binary", "stream did not contain valid UTF-8"),
        ("nul_in_path", "file name contained an unexpected NUL byte"),
        # A sanity bound far above real sources keeps giant inputs from exhausting memory.
        ("oversized", "file is larger than 67108864 bytes"),
    ],
)
def test_unreadable_files(defaults, tmp_path, setup, error):
    path = str(tmp_path / "m.py")
    if setup == "directory":
        os.mkdir(path)
    elif setup == "binary":
        write(tmp_path, bytes(range(256)) * 64)
    elif setup == "nul_in_path":
        write(tmp_path, "import pickle\n")
        path += "\0.txt"  # must not be cut at the NUL and read m.py
    elif setup == "oversized":
        with open(path, "wb") as f:
            f.truncate((64 << 20) + 1)  # sparse: costs no disk
    with pytest.raises(RuntimeError) as e:
        defaults.analyze_file(path)
    assert str(e.value) == "Failed to parse file: Cannot read file: " + error


def test_relative_path_uses_the_current_directory(tmp_path, monkeypatch):
    (tmp_path / "project").mkdir()
    (tmp_path / "cwd").mkdir()
    write(tmp_path / "cwd", "import torch\n", "m.py")
    fw = nn.Firewall(str(tmp_path / "project"))
    monkeypatch.chdir(tmp_path / "cwd")
    report = fw.analyze_file("m.py")
    assert report["file_path"] == "m.py" and report["imports_found"] == 1


def test_odd_but_valid_contents(everything_reported, tmp_path):
    # NUL bytes are valid UTF-8; a very long line is one long module name.
    report = everything_reported.analyze_file(write(tmp_path, "import a\0b\nimport " + "x" * 2_000_000 + "\n"))
    assert [len(v["import"]) for v in report["violations"]] == [3, 2_000_000]
    fifo = tmp_path / "pipe.py"
    os.mkfifo(fifo)  # nobody writes: reads as empty instead of hanging
    assert everything_reported.analyze_file(str(fifo))["imports_found"] == 0


def test_large_file(defaults, tmp_path):
    lines = [f"import mod{i % 50}" if i % 2 else "import os" for i in range(200_000)]
    report = defaults.analyze_file(write(tmp_path, "\n".join(lines)))
    assert report["imports_found"] == 200_000
    assert len(report["violations"]) == 100_000
    assert report["violations"][-1]["line"] == 200_000
