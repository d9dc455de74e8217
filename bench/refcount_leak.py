"""Python reference and memory leaks of repeated scans and queries.

    python bench/refcount_leak.py [--rounds N] [--files N] [--source DIR]

Copies the interpreter's standard library (or DIR) into a scratch project,
scans it once to warm every cache, then repeats scan + a round of every
query and firewall call, measuring after each round:

- sys.gettotalrefcount(): the total of all reference counts, only in a debug
  interpreter (python3.11-dbg; the module's ABI is the same). A reference
  leaked per call shows as steady growth here. The module must then be
  compiled with -DPy_REF_DEBUG too, or its inline reference count changes
  are missing from the total and it drifts by thousands per round:

    cmake -S . -B build/refdebug -G Ninja -DCMAKE_CXX_FLAGS=-DPy_REF_DEBUG
    cmake --build build/refdebug --target norvo_native
    # stage it like scripts/dev-build does, then
    PYTHONPATH=<stage> python3.11-dbg bench/refcount_leak.py

  The script checks this first and falls back to allocated blocks when the
  module's reference counting is invisible to the total.
- sys.getallocatedblocks(): memory blocks held by the interpreter's allocator.
- live objects tracked by the cycle collector.
- resident set size.

Each figure is reported as its growth per round after the warm-up; a steady
positive growth of the reference total or of allocated blocks is a leak.
Exits with status 1 when the reference total (or, without a debug
interpreter, the allocated blocks) grows in every measured round by more than
the noise allowance.
"""
from __future__ import annotations

import argparse
import gc
import os
import shutil
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

from norvo import norvo_native as nn

SKIP_DIRS = {"site-packages", "test", "tests", "idlelib", "lib2to3", "__pycache__", "tkinter", "turtledemo"}


def copy_stdlib(source: Path, dest: Path, limit: int | None) -> int:
    count = 0
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = sorted(d for d in dirnames if d not in SKIP_DIRS and not d.startswith("."))
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            src = Path(dirpath) / name
            rel = src.relative_to(source)
            (dest / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dest / rel)
            count += 1
            if limit and count >= limit:
                return count
    return count


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def snapshot() -> dict:
    gc.collect()
    out = {
        "blocks": sys.getallocatedblocks(),
        "gc_objects": len(gc.get_objects()),
        "rss_kib": rss_kib(),
    }
    if hasattr(sys, "gettotalrefcount"):
        out["refs"] = sys.gettotalrefcount()
    return out


def refs_visible(atlas: nn.Atlas) -> bool:
    """Whether the module's own reference count changes reach the total:
    health() builds and returns a fresh dict, which costs nothing net."""
    for _ in range(3):
        atlas.health()
    before = sys.gettotalrefcount()
    for _ in range(20):
        atlas.health()
    return sys.gettotalrefcount() - before <= 2


def one_round(atlas: nn.Atlas, fw: nn.Firewall, root: Path, files: list[str]) -> dict:
    calls = 0
    result = atlas.scan()
    calls += 1
    for q in ("json", "parse", "Thread", "open", "__init__"):
        atlas.search(q, 20)
        atlas.search_spans(q, 5)
        atlas.grep_spans(q, 20)
        calls += 3
    atlas.search_by_feature("json")
    atlas.count()
    atlas.health()
    atlas.glob_python_files("**/*.py", 200)
    atlas.detect_patterns()
    atlas.get_patterns()
    atlas.find_duplicates()
    atlas.detect_cycles()
    calls += 8
    for f in files[:20]:
        atlas.get_dependents(f)
        atlas.get_dependencies(f)
        atlas.analyze_file_impact(f)
        atlas.read_span(f, 1, 30)
        fw.analyze_file(str(root / f))
        calls += 5
    for a in atlas.search("get", 10):
        atlas.analyze_function_impact(a["qualified_name"])
        calls += 1
    for name in ("requests", "reqeusts", "os", "pickle", "numpyy", "app.models"):
        fw.check_import(name)
        fw.check_typosquat(name)
        calls += 2
    fw.check_imports(["json", "flask", "yaml"])
    fw.list_rules()
    fw.get_policy_info()
    atlas.fastapi_scaling_policy()
    atlas.analyze_fastapi_scaling()
    atlas.analyze_fastapi_router_topology()
    atlas.fastapi_truth_capsule(method="GET", path="/items/{item_id}")
    calls += 7
    # error paths allocate and raise too
    for bad in (lambda: atlas.read_span(".env", 1, 1), lambda: atlas.glob_python_files("[", 5),
                lambda: atlas.read_span(files[0], 5, 1), lambda: nn.Atlas(str(root / "missing"))):
        try:
            bad()
        except (RuntimeError, OSError, ValueError):
            calls += 1
    return {"calls": calls, "artifacts": result["artifacts_found"], "files": result["files_scanned"]}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--files", type=int, default=0, help="copy at most this many files (0: all)")
    ap.add_argument("--source", default=sysconfig.get_paths()["stdlib"])
    args = ap.parse_args()

    # A memory file system keeps the scans' commits from waiting on the disk.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    tmp = Path(tempfile.mkdtemp(prefix="norvo-leak-", dir=shm))
    try:
        root = tmp / "stdlib"
        n = copy_stdlib(Path(args.source), root, args.files or None)
        (root / ".env").write_text("SECRET=1\n")
        # One FastAPI module, so that the endpoint analyses have work to do.
        (root / "zz_app").mkdir()
        (root / "zz_app" / "main.py").write_text(
            "from fastapi import FastAPI, Depends, HTTPException\nimport requests, time\napp = FastAPI()\n\n"
            "def user(token: str = ''):\n    if not token:\n        raise HTTPException(status_code=401)\n\n"
            "@app.get('/items/{item_id}')\ndef item(item_id: int, u=Depends(user)):\n"
            "    time.sleep(1)\n    return requests.get('x').json()\n")
        files = sorted(str(p.relative_to(root)) for p in root.rglob("*.py"))
        print(f"interpreter {sys.version.split()[0]} debug={hasattr(sys, 'gettotalrefcount')}; "
              f"{n} files from {args.source}")

        atlas = nn.Atlas(str(root))
        fw = nn.Firewall(str(root))
        t = time.monotonic()
        warm = one_round(atlas, fw, root, files)
        print(f"warm-up: {warm['files']} files, {warm['artifacts']} artifacts, {warm['calls']} calls, "
              f"{time.monotonic() - t:.1f}s")
        one_round(atlas, fw, root, files)  # second warm-up: caches and interned names settle

        counted = hasattr(sys, "gettotalrefcount") and refs_visible(atlas)
        if hasattr(sys, "gettotalrefcount") and not counted:
            print("the module was not compiled with Py_REF_DEBUG: its reference counting is missing from "
                  "sys.gettotalrefcount(), so allocated blocks are judged instead")
        def measure(rounds: int, work) -> list[dict]:
            base = snapshot()
            rows = []
            for r in range(rounds):
                stats = work()
                now = snapshot()
                rows.append({k: now[k] - base[k] for k in now})
                base = now
                if stats is not None:
                    print(f"round {r + 1}: {stats['calls']} calls; growth " +
                          ", ".join(f"{k} {v:+d}" for k, v in rows[-1].items()))
            return rows

        # The bookkeeping itself (one row of figures kept per round) grows the
        # totals a little; rounds that call nothing show how much.
        idle = measure(3, lambda: None)
        print("idle round (bookkeeping only): growth " +
              ", ".join(f"{k} {v:+d}" for k, v in idle[-1].items()))
        rows = measure(args.rounds, lambda: one_round(atlas, fw, root, files))

        key = "refs" if "refs" in rows[0] and counted else "blocks"
        # Noise: the odd cache entry or free-list refill. A leak of one
        # reference per call grows by at least the calls of a round.
        allowance = 50
        leaking = all(r[key] > allowance for r in rows)
        print(f"{key}: per-round growth {[r[key] for r in rows]}; "
              f"{'LEAK' if leaking else 'no steady growth'} (allowance {allowance})")
        return 1 if leaking else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
