"""Atlas.grep_spans, read_span and search_spans: line reading and its errors,
the byte budget, the security refusal, ranking, merging and snippets."""
import os
import re
import struct
import subprocess
import sys

import pytest

SPAN_KEYS = ["evidence_type", "file_path", "kind", "line_end", "line_start", "score", "snippet"]


def f32(x):
    """The 32-bit float nearest to `x`, widened back to a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def f32sum(*terms):
    """The terms added left to right in 32-bit floating point."""
    total = 0.0
    for t in terms:
        total = f32(total + t)
    return total


def line(i):
    """Line i of the numbered fixture file: ten characters and a newline."""
    return f"L{i:09d}\n"


def lines(n):
    return "".join(line(i) for i in range(1, n + 1))


@pytest.fixture(autouse=True)
def no_user_git_config(tmp_path_factory, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")


def manual_scan(project):
    """An Atlas that scans only when told to, so edges written by hand stay."""
    project.write(".norvo/config.toml", "[atlas]\nauto_scan_on_first_search = false\n")
    atlas = project.atlas()
    atlas.scan()
    return atlas


# ---- grep_spans --------------------------------------------------------------------


def test_grep_hits_are_one_line_spans_in_line_order(project):
    project.write("app/a.py", "x = 1\ndef find_user():\n    return find_user_by_id()\nFind_User = 2\n")
    hits = project.atlas().grep_spans("find_user")
    assert hits == [
        {"evidence_type": "grep", "file_path": "app/a.py", "kind": None, "line_end": n, "line_start": n,
         "score": 0.0, "snippet": None}
        for n in (2, 3)
    ]
    assert list(hits[0]) == SPAN_KEYS


@pytest.mark.parametrize("query, limit", [("   ", None), ("\t\n", 5), ("x", 0), ("", None)])
def test_grep_blank_query_or_zero_limit_gives_nothing(project, query, limit):
    project.write("a.py", "x   y\n\t\n")
    assert project.atlas().grep_spans(query, limit) == []


def test_grep_uses_the_query_untrimmed_and_case_sensitive(project):
    project.write("a.py", "foo\nFoo\n foo\nfoo \n")
    atlas = project.atlas()
    assert [h["line_start"] for h in atlas.grep_spans(" foo")] == [3]
    assert [h["line_start"] for h in atlas.grep_spans("foo")] == [1, 3, 4]
    assert [h["line_start"] for h in atlas.grep_spans("Foo")] == [2]


def test_grep_limit_and_default_limit(project):
    project.write("a.py", "hit\n" * 25)
    atlas = project.atlas()
    assert len(atlas.grep_spans("hit")) == 10
    assert len(atlas.grep_spans("hit", limit=3)) == 3
    assert len(atlas.grep_spans("hit", 100)) == 25


def test_grep_path_glob_and_the_candidate_rules(project):
    for rel in ["app/a.py", "app/sub/b.py", "lib/c.py", "venv/d.py", "secrets/e.py", "app/password_utils.py",
                ".hidden/f.py", "app/notes.txt"]:
        project.write(rel, "needle\n")
    atlas = project.atlas()
    assert sorted(h["file_path"] for h in atlas.grep_spans("needle", 100)) == ["app/a.py", "app/sub/b.py", "lib/c.py"]
    assert sorted(h["file_path"] for h in atlas.grep_spans("needle", 100, "app/*")) == ["app/a.py", "app/sub/b.py"]
    assert atlas.grep_spans("needle", 100, path_glob="*.txt") == []


def test_grep_bad_path_glob(project):
    project.write("a.py", "x\n")
    atlas = project.atlas()
    with pytest.raises(OSError) as exc:
        atlas.grep_spans("x", path_glob="[")
    assert str(exc.value) == (f"I/O error: Failed to walk {project.root}: Invalid glob pattern '[': "
                              "Pattern syntax error near position 0: invalid range pattern")
    assert atlas.grep_spans("x", 0, "[") == []


def test_grep_of_a_file_that_is_not_utf8_fails_whole(project):
    project.write_bytes("a.py", b"ok = 1\n# caf\xe9\nok = 2\n")
    atlas = project.atlas()
    with pytest.raises(RuntimeError) as exc:
        atlas.grep_spans("ok")
    assert str(exc.value) == (f"Parse error in {project.root / 'a.py'}: "
                              "Failed to read line 2: stream did not contain valid UTF-8")
    # Reaching the limit first ends the read before the bad line.
    assert [h["line_start"] for h in atlas.grep_spans("ok", 1)] == [1]


def test_grep_strips_the_carriage_return_of_crlf_lines_only(project):
    project.write_bytes("a.py", b"one\r\ntwo\r\rthree\r")
    atlas = project.atlas()
    assert atlas.grep_spans("one\r") == []
    assert [h["line_start"] for h in atlas.grep_spans("two\r")] == [2]
    assert [h["line_start"] for h in atlas.grep_spans("three\r")] == [2]


# ---- read_span ---------------------------------------------------------------------


@pytest.mark.parametrize("start, end", [(3, 2), (0, 5), (0, 0)])
def test_read_bad_range(project, start, end):
    project.write("a.py", lines(10))
    with pytest.raises(RuntimeError) as exc:
        project.atlas().read_span("a.py", start, end)
    assert str(exc.value) == f"Parse error in {project.root / 'a.py'}: Invalid span range: {start}-{end}"


@pytest.mark.parametrize("start, end, max_bytes, want", [
    (9, 20, None, [9, 10]),
    (1, 1, None, [1]),
    (1, 100, 25, [1, 2]),       # 22 bytes; a third line would make 33
    (1, 100, 22, [1, 2]),       # exactly the budget
    (1, 100, 21, [1]),
    (3, 4, 11, [3]),
    (10, 10, None, [10]),
])
def test_read_range_and_byte_budget(project, start, end, max_bytes, want):
    project.write("a.py", lines(10))
    text = project.atlas().read_span("a.py", start, end, max_bytes)
    assert text == "".join(line(i) for i in want)


@pytest.mark.parametrize("start, end, max_bytes", [(11, 12, None), (1, 100, 5), (1, 3, 0), (1, 3, 10)])
def test_read_that_yields_nothing_is_an_error(project, start, end, max_bytes):
    project.write("a.py", lines(10))
    with pytest.raises(RuntimeError) as exc:
        project.atlas().read_span("a.py", start, end, max_bytes)
    assert str(exc.value) == (f"Parse error in {project.root / 'a.py'}: "
                              f"Requested span {start}-{end} produced no content (file may be shorter)")


def test_read_keeps_empty_lines_and_adds_a_final_newline(project):
    project.write_bytes("a.py", b"a\r\n\n\nlast")
    atlas = project.atlas()
    assert atlas.read_span("a.py", 1, 4) == "a\n\n\nlast\n"
    assert atlas.read_span("a.py", 2, 3) == "\n\n"


def test_read_lines_longer_than_the_buffer(project):
    # Multi-byte characters straddle every 8192-byte boundary of the reader.
    long_line = "é" * 10_000 + "x" + "€" * 5_000
    project.write("a.py", f"first\n{long_line}\nlast\n")
    atlas = project.atlas()
    assert atlas.read_span("a.py", 1, 3, 1_000_000) == f"first\n{long_line}\nlast\n"
    # Over budget: the whole line is left out, never a part of it.
    assert atlas.read_span("a.py", 1, 3) == "first\n"
    with pytest.raises(RuntimeError, match="produced no content"):
        atlas.read_span("a.py", 2, 3)


def test_read_invalid_utf8_inside_the_range_fails(project):
    # The bad byte sits far past the first buffer of its line.
    project.write_bytes("a.py", b"ok\n" + b"a" * 9000 + b"\xff\nok\n")
    atlas = project.atlas()
    with pytest.raises(RuntimeError) as exc:
        atlas.read_span("a.py", 1, 3, 100_000)
    assert str(exc.value) == (f"Parse error in {project.root / 'a.py'}: "
                              "Failed to read line 2: stream did not contain valid UTF-8")
    # Even when the line is over budget, it is checked before reading stops.
    with pytest.raises(RuntimeError, match="Failed to read line 2"):
        atlas.read_span("a.py", 2, 3)
    # Before the range a bad line does not matter.
    assert atlas.read_span("a.py", 3, 3) == "ok\n"
    assert atlas.read_span("a.py", 1, 1) == "ok\n"


def test_read_truncated_multibyte_character_at_end_of_file_fails(project):
    project.write_bytes("a.py", b"ok\nend \xe2\x82")
    with pytest.raises(RuntimeError, match="Failed to read line 2: stream did not contain valid UTF-8"):
        project.atlas().read_span("a.py", 1, 2)


def test_read_refused_paths(project, tmp_path):
    project.write(".env", "SECRET=1\n")
    project.write("secrets/keys.py", "k = 1\n")
    (tmp_path / "outside.py").write_text("x = 1\n")
    atlas = project.atlas()
    root = project.root
    cases = [
        (".env", root / ".env"),
        ("secrets/keys.py", root / "secrets/keys.py"),
        (str(root / ".env"), root / ".env"),
        ("../outside.py", root / "../outside.py"),
        (str(tmp_path / "outside.py"), tmp_path / "outside.py"),
        ("app/../../outside.py", root / "app/../../outside.py"),
    ]
    for arg, shown in cases:
        with pytest.raises(RuntimeError) as exc:
            atlas.read_span(arg, 1, 1)
        assert str(exc.value) == (f"Database error: Atlas unavailable: Access to '{shown}' is denied by "
                                  "security configuration (recoverable: false)"), arg


def test_read_inside_paths_given_in_other_forms(project):
    project.write("app/a.py", "x = 1\n")
    atlas = project.atlas()
    for arg in ["app/a.py", "./app/a.py", "app/../app/a.py", str(project.root / "app/a.py")]:
        assert atlas.read_span(arg, 1, 1) == "x = 1\n", arg


def test_read_path_with_a_nul_byte_opens_nothing(project):
    project.write(".env", "SECRET=1\n")
    project.write("a.py", "x = 1\n")
    atlas = project.atlas()
    for arg in [".env\x00.py", "a.py\x00"]:
        with pytest.raises(OSError) as exc:
            atlas.read_span(arg, 1, 1)
        assert str(exc.value) == "I/O error: file name contained an unexpected NUL byte"


def test_read_missing_file_and_directory(project):
    project.write("app/a.py", "x = 1\n")
    atlas = project.atlas()
    with pytest.raises(OSError) as exc:
        atlas.read_span("app/missing.py", 1, 1)
    assert str(exc.value) == "I/O error: No such file or directory (os error 2)"
    with pytest.raises(RuntimeError) as exc:
        atlas.read_span("app", 3, 4)
    assert str(exc.value) == (f"Parse error in {project.root / 'app'}: "
                              "Failed to read line 3: Is a directory (os error 21)")


def test_read_arguments(project):
    project.write("a.py", lines(3))
    atlas = project.atlas()
    assert atlas.read_span(file_path="a.py", line_start=2, line_end=2, max_bytes=None) == line(2)
    with pytest.raises(OverflowError):
        atlas.read_span("a.py", -1, 2)
    with pytest.raises(TypeError):
        atlas.read_span("a.py", "1", 2)
    with pytest.raises(TypeError):
        atlas.read_span("a.py", 1)


# ---- search_spans ------------------------------------------------------------------


USERS = """\
def get_user(user_id):
    return get_user_by_id(user_id)


def get_user_by_id(user_id):
    return None
"""


def test_search_ranks_exact_names_first_and_merges_grep_hits(project):
    project.write("app/users.py", USERS)
    spans = project.atlas().search_spans("get_user")
    assert [list(s) for s in spans] == [SPAN_KEYS] * len(spans)
    top, second = spans[0], spans[1]
    # get_user: 3.0 (name) + 1.0 (qualified name contains) + 1/(1+0).
    assert (top["file_path"], top["line_start"], top["line_end"]) == ("app/users.py", 1, 2)
    assert (top["kind"], top["evidence_type"], top["score"]) == ("function", "artifact", 5.0)
    # get_user_by_id: 1.5 + 1.0 + 1/(1+1).
    assert (second["line_start"], second["line_end"], second["kind"], second["score"]) == (5, 6, "function", 3.0)
    # The lines holding the text come as grep spans of their own line.
    grep = [(s["line_start"], s["line_end"], s["kind"]) for s in spans if s["evidence_type"] == "grep"]
    assert grep == [(1, 1, None), (2, 2, None), (5, 5, None)]
    assert spans[2]["score"] == f32(0.5 / 2)
    assert spans[3]["score"] == f32(0.5 / 3)  # a 32-bit value widened: 0.1666666716337204
    assert spans[3]["score"] != 0.5 / 3


def test_search_snippets_widen_by_two_lines_but_spans_keep_their_range(project):
    body = "".join(f"v{i} = {i}\n" for i in range(1, 21)).replace("v10 = 10", "marker = 10")
    project.write("m.py", body)
    project.write("n.py", "marker = 0\nv2 = 2\nv3 = 3\nv4 = 4\n")
    spans = {s["file_path"]: s for s in project.atlas().search_spans("marker")}
    hit = spans["m.py"]
    assert (hit["line_start"], hit["line_end"]) == (10, 10)
    assert hit["snippet"] == "v8 = 8\nv9 = 9\nmarker = 10\nv11 = 11\nv12 = 12\n"
    assert spans["n.py"]["snippet"] == "marker = 0\nv2 = 2\nv3 = 3\n"


def test_search_blank_query_or_zero_limit_returns_before_indexing(project):
    project.write("a.py", "def f():\n    pass\n")
    atlas = project.atlas()
    assert atlas.search_spans("  ") == []
    assert atlas.search_spans("f", 0) == []
    assert atlas.count() == 0
    assert atlas.search_spans("f")  # now the index is built
    assert atlas.count() == 1


def test_search_limit(project):
    project.write("a.py", "".join(f"def item_{i}():\n    return 'item'\n\n" for i in range(30)))
    atlas = project.atlas()
    assert len(atlas.search_spans("item")) == 10
    assert len(atlas.search_spans("item", 3)) == 3


def test_search_scores_fields_and_kinds(project):
    project.write("app/billing/api.py", """\
        from fastapi import APIRouter
        router = APIRouter()

        @router.get("/invoices")
        def list_invoices():
            return []
        """)
    atlas = project.atlas()
    top = atlas.search_spans("invoices", 1)[0]
    assert (top["kind"], top["line_start"]) == ("endpoint", 5)
    # name contains 1.5, qualified name contains 1.0, route contains 1.5,
    # endpoint 0.5, rank 0 gives 1; no callers for the boost.
    assert top["score"] == 5.5


def test_call_boost_for_symbol_like_queries(project):
    project.write("app/svc.py", "def notify():\n    pass\n")
    atlas = manual_scan(project)
    with project.connect() as db:
        db.executemany(
            "INSERT INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number, call_type) "
            "VALUES (?, ?, 'x.py', 1, 'direct')",
            [("x.a", "app.svc.notify"), ("x.b", "app.svc.notify"), ("x.c", "app.svc.notify"), ("x.d", "x.a")],
        )

    def score(query):
        spans = [s for s in atlas.search_spans(query) if s["evidence_type"] == "artifact"]
        return spans[0]["score"]

    # D = 3 direct callers, T = 4 callers within five steps.
    boost = f32sum(f32(3 * f32(0.1)), f32(4 * f32(0.05)))
    assert score("notify") == f32sum(f32sum(3.0, 1.0, boost), 1.0)
    assert score("NOTIFY") == score("notify")
    # A slash or a space rules the boost out; these match the path instead.
    assert score("app/svc") == 0.5 + 1.0  # file path contains, rank 0
    assert score("app.svc") == f32sum(f32sum(1.0, 0.75, boost), 1.0)


def test_symbol_like_rule_on_long_words(project):
    name = "n" * 41
    project.write("a.py", f"def {name}():\n    pass\n")
    atlas = manual_scan(project)
    with project.connect() as db:
        db.execute("INSERT INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number, "
                   "call_type) VALUES ('x.a', ?, 'x.py', 1, 'direct')", (f"a.{name}",))
    artifact = [s for s in atlas.search_spans(name) if s["evidence_type"] == "artifact"][0]
    assert artifact["score"] == 3.0 + 1.0 + 1.0  # 41 letters: not symbol-like, no boost
    artifact = [s for s in atlas.search_spans(name[:40]) if s["evidence_type"] == "artifact"][0]
    boost = f32sum(f32(0.1), f32(0.05))  # one direct caller, one within five steps
    assert artifact["score"] == f32sum(f32sum(1.5, 1.0, boost), 1.0)


def test_refused_candidates_are_dropped_but_keep_their_rank(project):
    project.write("app/zeta.py", "def handler_zeta():\n    pass\n")
    atlas = manual_scan(project)
    with project.connect() as db:
        db.execute("INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, line_start, "
                   "line_end) VALUES ('handler', 'secrets.keys.handler', 'function', 'secrets/keys.py', "
                   "'secrets.keys', 1, 2)")
    spans = atlas.search_spans("handler")
    assert all(s["file_path"] != "secrets/keys.py" for s in spans)
    # The refused exact match was rank 0, so handler_zeta gets 1/(1+1).
    assert spans[0]["score"] == 1.5 + 1.0 + 0.5


def test_search_errors_end_the_call(project):
    project.write("app/a.py", "def lookup():\n    pass\n" + "\n" * 30 + "def later():\n    pass\n")
    atlas = manual_scan(project)
    # The file shrinks behind the index's back: the snippet of `later` fails.
    project.write("app/a.py", "def lookup():\n    pass\n")
    with pytest.raises(RuntimeError) as exc:
        atlas.search_spans("later")
    assert "produced no content (file may be shorter)" in str(exc.value)
    project.write_bytes("app/b.py", b"# \xff\n")
    with pytest.raises(RuntimeError, match="Failed to read line 1: stream did not contain valid UTF-8"):
        atlas.search_spans("lookup")


def test_search_span_arguments(project):
    atlas = project.atlas()
    assert atlas.search_spans(query="x", limit=None) == []
    with pytest.raises(TypeError):
        atlas.search_spans(3)
    with pytest.raises(OverflowError):
        atlas.search_spans("x", -1)


def test_failures_are_logged_once_per_entry_point_inside_their_spans(project):
    # Logging is process-wide, so this runs in a child process.
    project.write("app/a.py", "def lookup():\n    pass\n" + "\n" * 5 + "def later():\n    pass\n")
    manual_scan(project)
    project.write("app/a.py", "def lookup():\n    pass\n")
    code = f"""
from norvo import norvo_native as nn
a = nn.Atlas({str(project.root)!r})
nn.init_logging("info")
for call in (lambda: a.read_span("a.py", 3, 2), lambda: a.search_spans("later"),
             lambda: a.grep_spans("x", path_glob="[")):
    try:
        call()
    except Exception:
        pass
"""
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = [re.sub(r"\x1b\[[0-9;]*m", "", l).split(" ", 2)[1:] for l in proc.stderr.splitlines()]
    root = project.root
    shrunk = f"error=Failed to parse Python file '{root}/app/a.py': Requested span 6-11 produced no content " \
             "(file may be shorter)"
    assert [level for level, _ in lines] == ["ERROR"] * 4
    assert [text for _, text in lines] == [
        f'read_span{{line_start=3 line_end=2 file_path="a.py"}}: norvo_atlas: '
        f"error=Failed to parse Python file '{root}/a.py': Invalid span range: 3-2",
        f'search_spans{{query="later" limit=None}}:read_span{{line_start=6 line_end=11 file_path="app/a.py"}}: '
        f"norvo_atlas: {shrunk}",
        f'search_spans{{query="later" limit=None}}: norvo_atlas: {shrunk}',
        f'grep_spans{{path_glob=Some("[") query="x" limit=None}}: norvo_atlas: '
        f"error=Failed to walk directory '{root}': Invalid glob pattern '[': "
        "Pattern syntax error near position 0: invalid range pattern",
    ]
