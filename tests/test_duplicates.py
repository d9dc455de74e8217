"""Atlas.find_duplicates(): signature shapes, grouping filters, the bounds on the work, and its log records.

Fixtures write artifact rows straight into the index, so each case sets the
exact signature, file and lines the detection sees.
"""
import os
import re
import sqlite3
import subprocess
import sys

import pytest

from norvo import norvo_native as nn

KEYS = ["artifact_a", "artifact_b", "file_a", "file_b", "lines_a", "lines_b", "similarity", "match_type", "suggestion"]


def fn(name, signature, file_path, line=1, kind="function"):
    module = file_path.removesuffix(".py").replace("/", ".")
    return {"symbol_name": name, "qualified_name": f"{module}.{name}", "kind": kind, "file_path": file_path,
            "module_path": module, "signature": signature, "line_start": line, "line_end": line + 3}


def write_artifacts(root, rows):
    con = sqlite3.connect(root / ".norvo" / "atlas.sqlite")
    with con:
        con.execute("DELETE FROM artifacts")
        con.executemany(
            "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, signature, line_start, "
            "line_end) VALUES (:symbol_name, :qualified_name, :kind, :file_path, :module_path, :signature, "
            ":line_start, :line_end)",
            rows,
        )
    con.close()


@pytest.fixture
def index(tmp_path):
    atlas = nn.Atlas(str(tmp_path))

    def load(rows):
        write_artifacts(tmp_path, rows)
        return atlas

    load.root = tmp_path
    return load


def pairs(matches):
    return [(m["artifact_a"], m["artifact_b"]) for m in matches]


def test_one_match_in_full(index):
    atlas = index([fn("g", "g(x: float, y: str)", "b.py", 30), fn("f", "f(a: float, b: str)", "a.py", 10)])
    matches = atlas.find_duplicates()
    assert matches == [{
        "artifact_a": "a.f", "artifact_b": "b.g", "file_a": "a.py", "file_b": "b.py",
        "lines_a": (10, 13), "lines_b": (30, 33), "similarity": 0.95, "match_type": "similar_signature",
        "suggestion": "Consider creating a generic function to replace 'f' and 'g'",
    }]
    assert list(matches[0]) == KEYS
    assert isinstance(matches[0]["lines_a"], tuple)


@pytest.mark.parametrize(
    "sig_a, sig_b, grouped",
    [
        # Names and return annotations do not matter; a return annotation's
        # arrow stays in the shape.
        ("process(data: list[int], limit: int) -> dict", "load(rows: list[int], n: int) -> None", True),
        ("f(a: int, b: int) -> str", "g(a: int, b: int) -> None", True),
        ("f(a: int, b: int) -> str", "g(a: int, b: int)", False),
        ("  f(a: float, b: str)\n", "g(x: float, y: str)", True),  # surrounding white space
        ("f(a: dict[str, int], b: str)", "g(x: dict[str, int], y: str)", True),
        ("f(self, a: float, b: str)", "g(x: float, y: str)", False),  # "self" keeps its comma: (,float,str)
        ("f(self, a: float, b: str)", "g(this, x: float, y: str)", True),
        ("f(a: float, b: str)", "g(x: float, y: bytes)", False),
        # Filters: one annotated parameter, a shape under 10 bytes, no annotations.
        ("f(a: collections.OrderedDict)", "g(b: collections.OrderedDict)", False),
        ("h(a: int, b: int)", "k(c: int, d: int)", False),
        ("name(a, b)", "other(c, d)", False),
        # Colons after the arrow are not parameters.
        ("f(a, b) -> Dict[str: int, str: int]", "g(c, d) -> Dict[str: int, str: int]", False),
        ("f(a: int = 1, b: str = 'x:y')", "g(c: int = 1, d: str = 'x:y')", True),
    ],
)
def test_signature_shapes_and_filters(index, sig_a, sig_b, grouped):
    matches = index([fn("f", sig_a, "a.py"), fn("g", sig_b, "b.py")]).find_duplicates()
    assert pairs(matches) == ([("a.f", "b.g")] if grouped else [])


def test_artifacts_without_signature_are_left_out(index):
    rows = [fn("f", None, "a.py"), fn("g", None, "b.py"), fn("h", "h(a: float, b: str)", "c.py")]
    assert index(rows).find_duplicates() == []


@pytest.mark.parametrize(
    "path_b, line_b, reported",
    [
        ("m.py", 119, False),  # 19 lines apart in one file
        ("m.py", 120, True),
        ("m.py", 81, False),  # in either direction
        ("m.py", 80, True),
        ("n.py", 101, True),  # other files are always compared
        ("m.py/", 101, False),  # the same path, spelled differently
    ],
)
def test_nearby_definitions_in_one_file(index, path_b, line_b, reported):
    rows = [fn("f", "f(a: float, b: str)", "m.py", 100), fn("g", "g(x: float, y: str)", path_b, line_b)]
    assert len(index(rows).find_duplicates()) == (1 if reported else 0)


def test_pairs_in_group_order_then_position(index):
    shape1 = "(a: float, b: str)"
    shape2 = "(a: bytes, b: bytes)"
    rows = [
        fn("p", "p" + shape2, "a.py", 1),
        fn("q", "q" + shape1, "b.py", 1),
        fn("r", "r" + shape2, "c.py", 1),
        fn("s", "s" + shape1, "d.py", 1),
        fn("t", "t" + shape1, "e.py", 1),
    ]
    # Groups in order of first appearance (by file, then line); pairs i < j.
    assert pairs(index(rows).find_duplicates()) == [("a.p", "c.r"), ("b.q", "d.s"), ("b.q", "e.t"), ("d.s", "e.t")]


def test_methods_and_other_kinds_with_signatures_are_compared(index):
    rows = [fn("f", "f(self, a: float, b: str)", "a.py", kind="method"),
            fn("g", "g(self, x: float, y: str)", "b.py", kind="async_function")]
    assert pairs(index(rows).find_duplicates()) == [("a.f", "b.g")]


def big_group(count, shape="(a: float, b: str)", prefix="f"):
    # One file per member, so every compared pair is reported.
    return [fn(f"{prefix}{i:03d}", f"{prefix}{i:03d}{shape}", f"{prefix}{i:03d}.py") for i in range(count)]


def test_group_of_101_is_sampled_to_its_first_100(index):
    matches = index(big_group(101)).find_duplicates()
    assert len(matches) == 4950
    names = {n for pair in pairs(matches) for n in pair}
    assert names == {f"f{i:03d}.f{i:03d}" for i in range(100)}


def test_group_of_250_takes_every_second_member(index):
    matches = index(big_group(250)).find_duplicates()
    assert len(matches) == 4950
    names = {n for pair in pairs(matches) for n in pair}
    assert names == {f"f{i:03d}.f{i:03d}" for i in range(0, 200, 2)}


def test_comparison_budget_stops_the_whole_detection(index):
    rows = (big_group(100, "(a: float, b: str)", "a") + big_group(100, "(a: bytes, b: str)", "b")
            + big_group(100, "(a: int, b: bytes)", "c"))
    matches = index(rows).find_duplicates()
    assert len(matches) == 10000
    # 4950 + 4950 pairs of the first two groups, then 100 of the third:
    # (c0, c1) ... (c0, c99), then (c1, c2).
    assert pairs(matches)[9900] == ("c000.c000", "c001.c001")
    assert pairs(matches)[-2:] == [("c000.c000", "c099.c099"), ("c001.c001", "c002.c002")]


def test_skipped_nearby_pairs_use_the_budget(index):
    # A first group whose members all start on one line of one file: every
    # pair is compared, none is reported.
    same_file = [fn(f"n{i:03d}", f"n{i:03d}(a: float, b: str)", "one.py", 5) for i in range(100)]
    rows = same_file + big_group(100, "(a: bytes, b: str)", "x") + big_group(100, "(a: int, b: bytes)", "y")
    matches = index(rows).find_duplicates()
    # 4950 comparisons go to the skipped group, leaving 5050 for the others.
    assert len(matches) == 5050
    assert {m["file_a"][0] for m in matches} == {"x", "y"}


# ---- log records (logging is process-wide, so each case runs in a child) ----

ANSI = re.compile(r"\x1b\[[0-9;]*m")
RECORD = re.compile(r"^\S+\s+(TRACE|DEBUG|INFO|WARN|ERROR) (?:\S+: )?norvo_atlas::analysis::duplicates: (.*)$")

CHILD = """
from norvo import norvo_native as nn
atlas = nn.Atlas({root!r})
nn.init_logging("norvo_atlas::analysis::duplicates=debug")
print(len(atlas.find_duplicates()))
"""


def run_logged(root):
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", CHILD.format(root=str(root))], capture_output=True, text=True,
                          env=env)
    assert proc.returncode == 0, proc.stderr
    records = []
    for line in ANSI.sub("", proc.stderr).splitlines():
        m = RECORD.match(line)
        assert m, f"unexpected line: {line!r}"
        records.append((m.group(1), m.group(2)))
    return int(proc.stdout), records


def fields(text):
    return dict(re.findall(r"(\w+)=(\S+)", text))


def test_completion_record_counts(index):
    rows = [fn("f", "f(a: float, b: str)", "m.py", 1), fn("g", "g(a: float, b: str)", "m.py", 5),
            fn("h", "h(a: float, b: str)", "m.py", 40), fn("k", "k(a: bytes, b: str)", "k.py", 1)]
    index(rows)
    count, records = run_logged(index.root)
    assert count == 2
    [(level, text)] = records
    assert level == "DEBUG" and text.startswith("Duplicate detection completed ")
    assert fields(text) == {"groups_processed": "1", "groups_sampled": "0", "total_comparisons": "3",
                            "matches_found": "2"}


def test_unannotated_index_logs_zero_counters(index):
    index([fn("f", "f(a, b)", "a.py"), fn("g", "g(a, b)", "b.py")])
    count, records = run_logged(index.root)
    assert count == 0
    assert records == [("DEBUG", "Duplicate detection completed groups_processed=0 groups_sampled=0 "
                                 "total_comparisons=0 matches_found=0")]


def test_sampling_record(index):
    index(big_group(101))
    count, records = run_logged(index.root)
    assert count == 4950
    assert [(lvl, fields(t)) for lvl, t in records] == [
        ("WARN", {"signature": "(float,str)", "group_size": "101", "max_size": "100"}),
        ("DEBUG", {"groups_processed": "1", "groups_sampled": "1", "total_comparisons": "4950",
                   "matches_found": "4950"}),
    ]
    assert records[0][1].startswith("Large signature group detected, sampling subset for comparison ")


def test_budget_record_replaces_completion(index):
    index(big_group(100, "(a: float, b: str)", "a") + big_group(100, "(a: bytes, b: str)", "b")
          + big_group(100, "(a: int, b: bytes)", "c"))
    count, records = run_logged(index.root)
    assert count == 10000
    assert records == [("WARN", "Hit maximum comparison limit, stopping early max_comparisons=10000")]


def test_empty_index_and_no_arguments(index):
    atlas = index([])
    assert atlas.find_duplicates() == []
    with pytest.raises(TypeError, match="find_duplicates"):
        atlas.find_duplicates(1)


def test_scanned_signatures_carry_no_annotations(project):
    # The scan stores name(param, ...) only, so annotated twins in a scanned
    # project do not form a signature group.
    project.write("a.py", "def f(a: float, b: str) -> None:\n    pass\n")
    project.write("b.py", "def g(x: float, y: str) -> None:\n    pass\n")
    atlas = project.atlas()
    atlas.scan()
    assert atlas.search("f")[0]["signature"] == "f(a, b)"
    assert atlas.find_duplicates() == []
