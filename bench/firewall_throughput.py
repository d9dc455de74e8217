"""Import classification throughput: native Firewall.check_imports against a
straightforward pure-Python implementation of the same rules.

Both classify the same 100,000 import paths drawn from a realistic mix
(standard library, allowed packages and their submodules, blocked modules,
misspellings, unknown and internal modules) under the production defaults.
The pure-Python results are checked equal to the native ones before timing,
so the two really do the same work.

    PYTHONPATH=$(scripts/dev-build NAME) python bench/firewall_throughput.py [--count N]

Target: native >= 20x the pure-Python rate.
"""
from __future__ import annotations

import argparse
import random
import sys
import tempfile
import time

# ---- the built-in tables (the policy's prefix flags and typo groups, and the
# standard-library list, are not exposed by the Python API) -----------------

PREFIX_PATTERNS = {
    "pickle", "marshal", "shelve", "dill", "os.spawn", "os.exec", "commands", "telnetlib", "ftplib",
    "smtplib", "xml.etree", "xml.dom", "xml.sax", "cgi", "crypt",
}

KNOWN_TYPOS = [
    ("requests", ["reqeusts", "requsts", "reqests", "request", "reequests"]),
    ("numpy", ["numby", "numppy", "nunpy"]),
    ("pandas", ["pandes", "pandsa", "panda"]),
    ("django", ["djano", "djanjo", "djnago"]),
    ("flask", ["flaask", "flaks", "falsk"]),
    ("tensorflow", ["tenserflow", "tesnorflow", "tensorflwo"]),
    ("cryptography", ["cyptography", "crytography", "cryptograpy"]),
    ("pydantic", ["pydanctic", "pydnatic", "pydantc"]),
]

INTERNAL_PREFIXES = ["app.", "src.", "lib."]

STDLIB = """
__future__ _abc _aix_support _ast _asyncio _bisect _blake2 _bz2 _codecs _codecs_cn _codecs_hk
_codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw _collections _collections_abc _compat_pickle
_compression _contextvars _crypt _csv _ctypes _curses _curses_panel _datetime _dbm _decimal
_elementtree _frozen_importlib _frozen_importlib_external _functools _gdbm _hashlib _heapq _imp _io
_json _locale _lsprof _lzma _markupbase _md5 _msi _multibytecodec _multiprocessing _opcode _operator
_osx_support _overlapped _pickle _posixshmem _posixsubprocess _py_abc _pydatetime _pydecimal _pyio
_pylong _queue _random _scproxy _sha1 _sha2 _sha3 _signal _sitebuiltins _socket _sqlite3 _sre _ssl
_stat _statistics _string _strptime _struct _symtable _thread _threading_local _tkinter _tokenize
_tracemalloc _typing _uuid _warnings _weakref _weakrefset _winapi _zoneinfo abc aifc antigravity
argparse array ast asyncio atexit audioop base64 bdb binascii bisect builtins bz2 cProfile calendar
cgi cgitb chunk cmath cmd code codecs codeop collections colorsys compileall concurrent configparser
contextlib contextvars copy copyreg crypt csv ctypes curses dataclasses datetime dbm decimal difflib
dis doctest email encodings ensurepip enum errno faulthandler fcntl filecmp fileinput fnmatch
fractions ftplib functools gc genericpath getopt getpass gettext glob graphlib grp gzip hashlib heapq
hmac html http idlelib imaplib imghdr importlib inspect io ipaddress itertools json keyword lib2to3
linecache locale logging lzma mailbox mailcap marshal math mimetypes mmap modulefinder msilib msvcrt
multiprocessing netrc nis nntplib nt ntpath nturl2path numbers opcode operator optparse os
ossaudiodev pathlib pdb pickle pickletools pipes pkgutil platform plistlib poplib posix posixpath
pprint profile pstats pty pwd py_compile pyclbr pydoc pydoc_data pyexpat queue quopri random re
readline reprlib resource rlcompleter runpy sched secrets select selectors shelve shlex shutil signal
site smtplib sndhdr socket socketserver spwd sqlite3 sre_compile sre_constants sre_parse ssl stat
statistics string stringprep struct subprocess sunau symtable sys sysconfig syslog tabnanny tarfile
telnetlib tempfile termios textwrap this threading time timeit tkinter token tokenize tomllib trace
traceback tracemalloc tty turtle turtledemo types typing unicodedata unittest urllib uu uuid venv
warnings wave weakref webbrowser winreg winsound wsgiref xdrlib xml xmlrpc zipapp zipfile zipimport
zlib zoneinfo
""".split()


def normalize(entry: str) -> str:
    t = entry.strip()
    for i, ch in enumerate(t):
        if ch in " !<=>[~":
            return t[:i] if i > 0 else t
    return t


def levenshtein(a: str, b: str) -> int:
    if len(a) < len(b):
        a, b = b, a
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


class PurePythonFirewall:
    """The classification rules, written plainly: a dict trie of blocked
    patterns, sets, and a BK-tree of allowed names and known typos."""

    def __init__(self, allowed, blocked, known_typos, internal_prefixes, max_edit_distance=2, typo_enabled=True):
        # blocked: (pattern, reason, is_prefix) in policy order
        self.trie = {}
        for pattern, reason, prefix in blocked:
            node = self.trie
            for ch in pattern:
                node = node.setdefault(ch, {})
            node[None] = (pattern, reason, prefix)
        self.stdlib = set(STDLIB)
        self.allowed = {normalize(e) for e in allowed}
        self.typo_map = {}
        self.root = None  # BK node: [name, {distance: child}]
        for name in sorted(self.allowed, key=lambda s: s.encode()):
            self._insert(name)
        for actual, typos in known_typos:
            for typo in typos:
                if typo:
                    self.typo_map[typo] = actual
                    self._insert(typo)
        self.internal_prefixes = list(internal_prefixes)
        self.k = max_edit_distance
        self.typo_enabled = typo_enabled

    def _insert(self, name):
        if not name:
            return
        if self.root is None:
            self.root = [name, {}]
            return
        node = self.root
        while True:
            d = levenshtein(node[0], name)
            if d == 0:
                return
            if d in node[1]:
                node = node[1][d]
            else:
                node[1][d] = [name, {}]
                return

    def _blocked(self, path):
        node, last_prefix = self.trie, None
        for ch in path:
            here = node.get(None)
            if here and here[2]:
                last_prefix = here
            if ch not in node:
                return last_prefix
            node = node[ch]
        return node.get(None) or last_prefix

    def _typo(self, top):
        stack, best = [self.root], None
        while stack:
            node = stack.pop()
            d = levenshtein(node[0], top)
            if d <= self.k:
                if best is None or d < best[1]:
                    best = (node[0], d)
                if d == 0:
                    break
            for key in sorted(node[1]):
                if max(d - self.k, 0) <= key <= d + self.k:
                    stack.append(node[1][key])
        if best is None:
            return None
        return self.typo_map.get(best[0], best[0]), best[1]

    def classify(self, path):
        """(status, short reason, long reason, suggestion)"""
        hit = self._blocked(path)
        if hit:
            text = f"Package '{path}' blocked by pattern '{hit[0]}': {hit[1]}"
            return "blocked", text, text, ""
        if path in self.stdlib:
            return "allowed", "Import is allowed", "Import is allowed", ""
        top = path.split(".", 1)[0]
        if top in self.allowed:
            return "allowed", "Import is allowed", "Import is allowed", ""
        if any(path.startswith(p) for p in self.internal_prefixes):
            return "unknown", "Unknown package", "Unknown package - not in allowed list", ""
        if self.typo_enabled and self.root is not None:
            found = self._typo(top)
            if found:
                intended, d = found
                return (
                    "typosquat",
                    f"Possible typosquat of '{intended}'",
                    f"Possible typosquat of '{intended}' (distance: {d})",
                    intended,
                )
        return "unknown", "Unknown package", "Unknown package - not in allowed list", ""

    def check_imports(self, imports):
        out = []
        for path in imports:
            status, reason, _, _ = self.classify(path)
            out.append({"import": path, "allowed": status == "allowed", "status": status, "reason": reason})
        return out


def defaults_model(fw) -> PurePythonFirewall:
    """The pure-Python firewall for the production defaults of `fw`."""
    blocked = [(b["pattern"], b["reason"], b["pattern"] in PREFIX_PATTERNS) for b in fw.get_blocked_patterns()]
    return PurePythonFirewall(fw.get_allowed_packages(), blocked, KNOWN_TYPOS, INTERNAL_PREFIXES)


# ---- the workload ------------------------------------------------------------

MIX = [
    # (weight, pool)
    (35, ["os", "sys", "json", "typing", "collections", "re", "logging", "pathlib", "datetime", "functools",
          "itertools", "asyncio", "dataclasses", "subprocess", "unittest", "xml", "enum", "abc", "time"]),
    (30, ["requests", "requests.adapters", "fastapi", "fastapi.routing", "pydantic", "pydantic.fields",
          "sqlalchemy.orm", "sqlalchemy", "numpy", "numpy.linalg", "pandas", "httpx", "redis", "celery.app",
          "pytest", "click", "rich.console", "uvicorn", "json.decoder", "collections.abc", "typing.io"]),
    (10, ["pickle", "os.system", "subprocess.Popen", "xml.etree.ElementTree", "marshal", "os.popen",
          "cryptography.fernet", "telnetlib", "pickletools", "os.execv"]),
    (10, ["reqeusts", "numpi", "flsk", "djnago", "pandsa", "fastap", "pydantc", "requestz", "sqlalchemi",
          "reqests.auth", "numby", "flaask"]),
    (15, ["torch", "boto3", "tensorflow", "myproject.utils", "app.models", "src.services.billing",
          "subprocess.run", "os.path", "yaml_loader", "google.cloud.storage", "lxml.etree", "internal_tools"]),
]


def workload(count: int, seed: int = 20240611) -> list[str]:
    rng = random.Random(seed)
    weights = [w for w, _ in MIX]
    pools = [p for _, p in MIX]
    return [rng.choice(rng.choices(pools, weights)[0]) for _ in range(count)]


def best_rate(fn, items, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn(items)
        best = min(best, time.perf_counter() - t0)
    return len(items) / best


def main() -> int:
    from norvo.norvo_native import Firewall

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as root:  # no policy file: production defaults
        fw = Firewall(root)
        model = defaults_model(fw)
        paths = workload(args.count)

        native_out = fw.check_imports(paths)
        python_out = model.check_imports(paths)
        if native_out != python_out:
            bad = next(i for i, (a, b) in enumerate(zip(native_out, python_out)) if a != b)
            print(f"results differ at {paths[bad]!r}: native {native_out[bad]} python {python_out[bad]}")
            return 1

        native_rate = best_rate(fw.check_imports, paths, args.repeats)
        python_rate = best_rate(model.check_imports, paths, 1 if args.count > 20_000 else args.repeats)

    statuses = {}
    for r in native_out:
        statuses[r["status"]] = statuses.get(r["status"], 0) + 1
    print(f"paths: {args.count}  mix: " + ", ".join(f"{k} {v}" for k, v in sorted(statuses.items())))
    print(f"native check_imports: {native_rate:12,.0f} paths/s")
    print(f"pure Python:          {python_rate:12,.0f} paths/s")
    ratio = native_rate / python_rate
    print(f"ratio: {ratio:.1f}x (target >= 20x) {'OK' if ratio >= 20 else 'BELOW TARGET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
