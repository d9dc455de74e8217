"""Scan of the interpreter's standard library against the floor: a plain Python loop
that reads the same files and calls ast.parse on each. Prints the median ratio and the
peak memory of each (measured in child processes so the two do not share a heap).

    python3 bench/scan_vs_floor.py [--rounds N]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile

SCAN = """
import json, resource, sys, time
from norvo import norvo_native as nn
atlas = nn.Atlas(sys.argv[1])
t = time.perf_counter()
r = atlas.scan()
dt = time.perf_counter() - t
print(json.dumps({"seconds": dt, "files": r["files_scanned"], "failed": r["files_failed"],
                  "artifacts": r["artifacts_found"], "rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

FLOOR = """
import ast, json, resource, sys, time
files = [l for l in open(sys.argv[2]).read().splitlines() if l]
t = time.perf_counter()
n = 0
for path in files:
    try:
        with open(path, encoding="utf-8") as f:
            ast.parse(f.read())
        n += 1
    except (SyntaxError, UnicodeDecodeError, ValueError, OSError):
        pass
dt = time.perf_counter() - t
print(json.dumps({"seconds": dt, "files": n, "rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    stdlib = sysconfig.get_paths()["stdlib"]
    with tempfile.TemporaryDirectory() as tmp:
        # A copy, so the index lands outside the interpreter and site-packages is left out like a scan would.
        root = os.path.join(tmp, "stdlib")
        shutil.copytree(stdlib, root, ignore=shutil.ignore_patterns("site-packages", "__pycache__"))
        # The floor reads exactly the files the scan admits.
        probe = json.loads(subprocess.check_output([sys.executable, "-c", SCAN, root]))
        con_files = os.path.join(tmp, "files.txt")
        import sqlite3
        con = sqlite3.connect(os.path.join(root, ".norvo", "atlas.sqlite"))
        rel = sorted({r[0] for r in con.execute("SELECT DISTINCT file_path FROM artifacts")})
        con.close()
        # Files without definitions have no rows; take every .py the walker would see instead.
        listed = []
        for d, dirs, fs in os.walk(root):
            dirs[:] = [x for x in dirs if not x.startswith(".") and x not in ("build", "dist", "env", "venv")]
            listed += [os.path.join(d, f) for f in fs if f.endswith(".py") and not f.startswith(".")]
        with open(con_files, "w") as f:
            f.write("\n".join(listed))
        print(f"scan admits {probe['files']} files ({probe['failed']} failed), floor reads {len(listed)}; "
              f"{probe['artifacts']} artifacts ({len(rel)} files with definitions)")
        ratios, scan_t, floor_t, scan_rss, floor_rss = [], [], [], [], []
        for _ in range(args.rounds):
            shutil.rmtree(os.path.join(root, ".norvo"), ignore_errors=True)
            s = json.loads(subprocess.check_output([sys.executable, "-c", SCAN, root]))
            fl = json.loads(subprocess.check_output([sys.executable, "-c", FLOOR, root, con_files]))
            scan_t.append(s["seconds"])
            floor_t.append(fl["seconds"])
            scan_rss.append(s["rss_kb"])
            floor_rss.append(fl["rss_kb"])
            ratios.append(s["seconds"] / fl["seconds"])
        print(f"scan  median {statistics.median(scan_t):.3f}s  peak RSS {max(scan_rss) / 1024:.0f} MiB")
        print(f"floor median {statistics.median(floor_t):.3f}s  peak RSS {max(floor_rss) / 1024:.0f} MiB")
        print(f"median ratio scan/floor: {statistics.median(ratios):.2f}x (target <= 1.3x)")


if __name__ == "__main__":
    main()
