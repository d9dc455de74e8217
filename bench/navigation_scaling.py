"""How the navigation queries grow with the size of the index.

Builds two synthetic projects with the repository's own INSERT statements (no
scan): a full one of 10,000 files, 100,000 artifacts and 500,000 call edges,
and one a tenth of that size. Every file also exists on disk, so grep hits and
snippets of search_spans read real text. Auto-scan is turned off in
.norvo/config.toml, so search_spans works on the synthetic index as written.

For each query it prints the median latency at both sizes and the growth
factor. The rows read grow 10x; a growth at or below about 10x is linear or
better.

    PYTHONPATH=$(scripts/dev-build me) python bench/navigation_scaling.py [--runs 5] [--scale 1.0]

Caches and memory bandwidth make even a plain read of the rows grow a little
faster than the row count at these sizes; that read is printed as a yardstick.
"""
import argparse
import os
import random
import sqlite3
import statistics
import sys
import tempfile
import time

from norvo import norvo_native as nn

FUNCS_PER_FILE = 10
CALLS_PER_FUNC = 5
IMPORTS_PER_FILE = 5
FILES_PER_PACKAGE = 100

UPSERT_ARTIFACT = """
INSERT INTO artifacts (
    symbol_name, qualified_name, kind, file_path, module_path, signature, docstring, feature, tags, text_blob,
    hash, http_method, route_path, router_prefix, direct_dependencies, dependency_chain, security_dependencies,
    request_models, response_models, pydantic_fields_summary, pydantic_validators_summary, line_start, line_end,
    updated_at)
VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23,
        CURRENT_TIMESTAMP)
ON CONFLICT(qualified_name) DO UPDATE SET
    symbol_name = excluded.symbol_name, kind = excluded.kind, file_path = excluded.file_path,
    module_path = excluded.module_path, signature = excluded.signature, docstring = excluded.docstring,
    feature = excluded.feature, tags = excluded.tags, text_blob = excluded.text_blob, hash = excluded.hash,
    http_method = excluded.http_method, route_path = excluded.route_path, router_prefix = excluded.router_prefix,
    direct_dependencies = excluded.direct_dependencies, dependency_chain = excluded.dependency_chain,
    security_dependencies = excluded.security_dependencies, request_models = excluded.request_models,
    response_models = excluded.response_models, pydantic_fields_summary = excluded.pydantic_fields_summary,
    pydantic_validators_summary = excluded.pydantic_validators_summary, line_start = excluded.line_start,
    line_end = excluded.line_end, updated_at = CURRENT_TIMESTAMP
"""
INSERT_IMPORT = ("INSERT OR REPLACE INTO imports (source_file, target_file, import_name, import_type, line_number, "
                 "alias, is_wildcard) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
INSERT_CALL = ("INSERT OR REPLACE INTO calls (caller_qualified_name, callee_qualified_name, caller_file, "
               "line_number, call_type) VALUES (?1, ?2, ?3, ?4, ?5)")


def file_path(i):
    return f"pkg{i // FILES_PER_PACKAGE}/mod{i}.py"


def module_path(i):
    return file_path(i)[:-3].replace("/", ".")


def func_name(i, j):
    return f"handler_{i}_{j}"


def func_lines(j):
    """Function j of a file: three lines (def, body, blank) after two import lines."""
    start = 3 + 3 * j
    return start, start + 1


def build(root, files, seed=7):
    """Writes the project's files and fills its index; returns row counts."""
    rng = random.Random(seed)
    os.makedirs(os.path.join(root, ".norvo"), exist_ok=True)
    with open(os.path.join(root, ".norvo", "config.toml"), "w") as f:
        f.write("[atlas]\nauto_scan_on_first_search = false\n")
    nn.Atlas(root)  # creates the database and its schema

    imports, artifacts, calls = [], [], []
    for i in range(files):
        # Mostly imports of earlier files (a layered code base); every 50
        # files a pair imports each other, a short cycle.
        targets = {rng.randrange(i) for _ in range(IMPORTS_PER_FILE)} if i else set()
        if i % 50 == 1 and i + 1 < files:
            targets.add(i + 1)
        if i % 50 == 2:
            targets.add(i - 1)
        for line, t in enumerate(sorted(targets), 1):
            imports.append((file_path(i), file_path(t), module_path(t), "module", line, None, 0))

        body = ["import os\n", "import sys\n"]
        for j in range(FUNCS_PER_FILE):
            name = func_name(i, j)
            start, end = func_lines(j)
            kind = "endpoint" if j == 0 else "function"
            qualified = f"{module_path(i)}.{name}"
            tags = '["http_get"]' if kind == "endpoint" else "[]"
            artifacts.append((name, qualified, kind, file_path(i), module_path(i), f"def {name}(x)", None, None, tags,
                              f"{name} {qualified} {kind}", None, "get" if kind == "endpoint" else None,
                              f"/items/{i}/{j}" if kind == "endpoint" else None, None, "[]", "[]", "[]", "[]", "[]",
                              None, None, start, end))
            # Calls go mostly down the layers; callees are written as their
            # qualified names so that walks connect.
            for k in range(CALLS_PER_FUNC):
                ti = rng.randrange(i + 1)
                callee = f"{module_path(ti)}.{func_name(ti, rng.randrange(FUNCS_PER_FILE))}"
                calls.append((qualified, callee, file_path(i), end + 100 * k, "direct"))
            body.append(f"def {name}(x):\n")
            body.append(f"    return x  # handler {i} {j}\n")
            body.append("\n")
        path = os.path.join(root, file_path(i))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.writelines(body)

    db = sqlite3.connect(os.path.join(root, ".norvo", "atlas.sqlite"))
    with db:
        db.executemany(UPSERT_ARTIFACT, artifacts)
        db.executemany(INSERT_IMPORT, imports)
        db.executemany(INSERT_CALL, calls)
    counts = {t: db.execute(f"SELECT COUNT(*) FROM {t}").fetchone()[0] for t in ("artifacts", "imports", "calls")}
    db.close()
    return counts


def median_ms(fn, runs):
    fn()  # warm the page cache and the connection
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times)


def queries(files):
    # Targets near the bottom of the layers, where impact is largest.
    low = min(3, files - 1)
    return {
        "analyze_function_impact": lambda a: a.analyze_function_impact(f"{module_path(low)}.{func_name(low, 4)}"),
        "analyze_file_impact": lambda a: a.analyze_file_impact(file_path(low)),
        "get_dependents": lambda a: a.get_dependents(file_path(low)),
        "detect_cycles": lambda a: a.detect_cycles(),
        "search_spans": lambda a: a.search_spans("handler_7_3", 10),
    }


# The cost of only reading the rows the queries read, straight from SQLite:
# the yardstick for "linear in rows read" on this machine, in this run.
READ_ALL_ROWS = [
    "SELECT count(*), sum(length(caller_qualified_name) + length(callee_qualified_name) + length(caller_file)) "
    "FROM calls",
    "SELECT count(*), sum(length(source_file) + length(target_file)) FROM imports",
    "SELECT count(*), sum(length(qualified_name) + length(file_path) + length(tags)) FROM artifacts",
]


def read_all_rows(db_path):
    db = sqlite3.connect(db_path)
    try:
        for sql in READ_ALL_ROWS:
            db.execute(sql).fetchall()
    finally:
        db.close()


def measure(files, runs):
    with tempfile.TemporaryDirectory(prefix="norvo-bench-nav-") as tmp:
        root = os.path.join(tmp, "project")
        os.makedirs(root)
        t0 = time.perf_counter()
        counts = build(root, files)
        built = time.perf_counter() - t0
        atlas = nn.Atlas(root)
        results = {"(read all rows, sqlite3)": median_ms(
            lambda: read_all_rows(os.path.join(root, ".norvo", "atlas.sqlite")), runs)}
        shapes = {}
        for name, q in queries(files).items():
            results[name] = median_ms(lambda: q(atlas), runs)
            out = q(atlas)
            shapes[name] = len(out["affected_items"]) if isinstance(out, dict) else len(out)
        return counts, built, results, shapes


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5, help="timed runs per query (median reported)")
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full size (for quick checks)")
    args = ap.parse_args()
    full = max(20, int(10_000 * args.scale))
    small = max(2, full // 10)

    rows = {}
    medians = {}
    for files in (small, full):
        counts, built, results, shapes = measure(files, args.runs)
        rows[files] = counts
        medians[files] = results
        print(f"{files} files: {counts['artifacts']} artifacts, {counts['calls']} call edges, "
              f"{counts['imports']} import edges (built in {built:.1f} s); result sizes: "
              + ", ".join(f"{k}={v}" for k, v in shapes.items()))

    read_growth = sum(rows[full].values()) / max(1, sum(rows[small].values()))
    print(f"\nrows grow {read_growth:.1f}x from {small} to {full} files; median of {args.runs} runs")
    print(f"{'query':<28}{'small ms':>10}{'full ms':>10}{'growth':>9}")
    worst = 0.0
    for name in medians[full]:
        a, b = medians[small][name], medians[full][name]
        g = b / a if a > 0 else float("inf")
        if not name.startswith("("):
            worst = max(worst, g / read_growth)
        print(f"{name:<28}{a:>10.2f}{b:>10.2f}{g:>8.1f}x")
    yard = medians[full]["(read all rows, sqlite3)"] / medians[small]["(read all rows, sqlite3)"]
    print(f"\nworst growth relative to rows: {worst:.2f} (1.0 = linear); "
          f"plain reading of the same rows grew {yard / read_growth:.2f} relative to rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
