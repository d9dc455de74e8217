"""The firewall's log records. Logging is process-wide and one-shot, so each
case runs in a child process and reads its standard error."""
import json
import os
import re
import subprocess
import sys

from test_firewall_policy import REJECTED, project

ANSI = re.compile(r"\x1b\[[0-9;]*m")
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (TRACE|DEBUG| INFO| WARN|ERROR) (.*)$")
TARGET = "norvo_native::firewall: "


def run(code, **kwargs):
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, **kwargs)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    return proc.stderr


def records(stderr):
    out = []
    for raw in stderr.splitlines():
        m = LINE.match(ANSI.sub("", raw))
        assert m, f"malformed line: {raw!r}"
        level, rest = m.group(1).strip(), m.group(2)
        assert rest.startswith(TARGET), rest
        out.append((level, rest[len(TARGET):]))
    return out


def script(init, body):
    return f"from norvo import norvo_native as nn\n{init}\n{body}\n"


def test_nothing_is_written_before_init(tmp_path):
    src = tmp_path / "m.py"
    src.write_text("import pickle\n")
    body = f"fw = nn.Firewall({str(tmp_path)!r})\nfw.check_import('x')\nfw.analyze_file({str(src)!r})"
    assert run(script("", body)) == ""


def test_missing_policy_warns_then_initializes(tmp_path):
    root = str(tmp_path)
    path = f"{root}/.norvo/firewall.yaml"
    recs = records(run(script("nn.init_logging()", f"nn.Firewall({root!r})")))
    assert recs == [
        ("WARN", f"No firewall policy found at {path}: Policy error in '{path}': "
                 "No such file or directory (os error 2), using production defaults"),
        ("INFO", f"Firewall initialized project={root}"),
    ]


def test_warn_level_keeps_only_the_warning(tmp_path):
    recs = records(run(script("nn.init_logging('warn')", f"nn.Firewall({str(tmp_path)!r})")))
    assert [level for level, _ in recs] == ["WARN"]


def test_each_rejected_file_names_its_error(tmp_path):
    roots = {}
    for name, (text, _) in REJECTED.items():
        d = tmp_path / name
        d.mkdir()
        roots[name] = project(d, text)
    accepted = tmp_path / "accepted"
    accepted.mkdir()
    roots["accepted"] = project(accepted, "mode: audit_only\n")
    body = f"for root in {json.dumps(list(roots.values()))}:\n    nn.Firewall(root)"
    recs = records(run(script("nn.init_logging()", body), timeout=300))

    expected = []
    for name, root in roots.items():
        if name != "accepted":
            expected.append(("WARN", root, REJECTED[name][1]))
        expected.append(("INFO", root, None))
    assert len(recs) == len(expected)
    for (level, message), (want_level, root, fragment) in zip(recs, expected):
        assert level == want_level
        if level == "INFO":
            assert message == f"Firewall initialized project={root}"
        else:
            prefix = f"No firewall policy found at {root}/.norvo/firewall.yaml: "
            assert message.startswith(prefix + fragment), message
            assert message.endswith(", using production defaults")


def test_unreadable_policy_reports_the_os_error(tmp_path):
    project(tmp_path, raw=b"mode: \xff\n")
    (tmp_path / "dir" / ".norvo" / "firewall.yaml").mkdir(parents=True)
    body = f"nn.Firewall({str(tmp_path)!r})\nnn.Firewall({str(tmp_path / 'dir')!r})"
    warns = [m for level, m in records(run(script("nn.init_logging('warn')", body)))]
    assert warns[0].endswith("firewall.yaml': stream did not contain valid UTF-8, using production defaults")
    assert warns[1].endswith("firewall.yaml': Is a directory (os error 21), using production defaults")


def test_debug_and_analysis_records(tmp_path):
    src = tmp_path / "m.py"
    src.write_text("import os\nimport pickle\n")
    body = (
        f"fw = nn.Firewall({str(tmp_path)!r})\n"
        "fw.check_import('os.system')\n"
        "fw.check_import(import_path='os')\n"
        "fw.check_imports(['os', 'torch'])\n"
        f"fw.analyze_file({str(src)!r})\n"
    )
    recs = records(run(script("nn.init_logging('debug')", body)))
    assert recs[2:] == [
        ("DEBUG", "Import checked import=os.system allowed=false"),
        ("DEBUG", "Import checked import=os allowed=true"),
        ("INFO", f"File analyzed file={src} violations=1"),
    ]
    # At the default level the per-import record is not written.
    recs = records(run(script("nn.init_logging()", body)))
    assert [m for _, m in recs[2:]] == [f"File analyzed file={src} violations=1"]
