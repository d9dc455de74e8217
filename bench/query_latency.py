"""Latency of Atlas.search on an unchanged, fresh index of the standard library, against
the same ranked SQL run through Python's sqlite3 on the same database plus one
`git rev-parse HEAD` (the floor of a freshness-checked query). Prints the medians and ratio.

    python3 bench/query_latency.py [--queries N]
"""
import argparse
import os
import shutil
import sqlite3
import statistics
import subprocess
import sysconfig
import tempfile
import time

from norvo import norvo_native as nn

SQL = """
SELECT symbol_name, qualified_name, kind, file_path, module_path, signature, docstring, feature, tags, hash,
       line_start, line_end, http_method, route_path, router_prefix, direct_dependencies, dependency_chain,
       security_dependencies, request_models, response_models, pydantic_fields_summary, pydantic_validators_summary
FROM artifacts
WHERE symbol_name LIKE ?1 OR qualified_name LIKE ?1 OR module_path LIKE ?1 OR file_path LIKE ?1
ORDER BY CASE WHEN symbol_name = ?3 THEN 1 WHEN qualified_name = ?3 THEN 2 WHEN symbol_name LIKE ?3 || '%' THEN 3
              WHEN qualified_name LIKE ?3 || '%' THEN 4 ELSE 5 END, symbol_name
LIMIT ?2
"""

QUERIES = ["parse", "Request", "json", "encode", "Thread", "path", "open", "decimal", "HTTPConnection", "loads"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--queries", type=int, default=200)
    args = ap.parse_args()
    stdlib = sysconfig.get_paths()["stdlib"]
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, "stdlib")
        shutil.copytree(stdlib, root, ignore=shutil.ignore_patterns("site-packages", "__pycache__"))
        env = dict(os.environ, GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b", GIT_COMMITTER_EMAIL="b@b")
        for cmd in (["init", "-q"], ["commit", "-q", "--allow-empty", "-m", "base"]):
            subprocess.run(["git", *cmd], cwd=root, check=True, env=env)
        atlas = nn.Atlas(root)
        atlas.scan()
        before = atlas.health()["last_scan"]
        con = sqlite3.connect(os.path.join(root, ".norvo", "atlas.sqlite"))

        def floor(q):
            subprocess.run(["git", "rev-parse", "HEAD"], cwd=root, capture_output=True, check=True)
            return con.execute(SQL, (f"%{q}%", 100, q)).fetchall()

        for q in QUERIES:  # warm both paths
            assert len(atlas.search(q)) == len(floor(q))
        ours, theirs = [], []
        for i in range(args.queries):
            q = QUERIES[i % len(QUERIES)]
            t = time.perf_counter()
            atlas.search(q)
            ours.append(time.perf_counter() - t)
            t = time.perf_counter()
            floor(q)
            theirs.append(time.perf_counter() - t)
        assert atlas.health()["last_scan"] == before, "the index was rescanned during the run"
        a, b = statistics.median(ours), statistics.median(theirs)
        print(f"{atlas.count()} artifacts; search median {a * 1e3:.2f} ms, sqlite3 + git floor {b * 1e3:.2f} ms")
        print(f"ratio {a / b:.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
