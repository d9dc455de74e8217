"""The `norvo` command-line tool: index, query and police a Python project.

Every subcommand is a thin layer over `norvo.norvo_native`: it opens an `Atlas`
or a `Firewall`, calls one or two methods and prints the result, either for a
person (aligned tables, short summaries, colour on a terminal) or, with
`--json`, exactly as the module returned it.

Exit codes: 0 success, 1 a check found violations, 2 usage or input error.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as _dt
import json
import os
import subprocess
import sys
import time
import tomllib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NoReturn, TextIO, cast

if TYPE_CHECKING:  # result shapes for the type checker, from norvo_native.pyi
    from norvo.norvo_native import Atlas, Firewall

EXIT_OK = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2

# Exceptions the native module raises for bad input or an unusable project.
# They end the command with their text and exit code 2, never a traceback.
EXPECTED_ERRORS = (FileNotFoundError, RuntimeError, ValueError, OSError)

SEVERITIES = ("Critical", "High", "Medium", "Low")  # most severe first
DEFAULT_DB_FILENAME = "atlas.sqlite"
SQLITE_MAGIC = b"SQLite format 3\x00"


class CliError(Exception):
    """An expected failure: printed as 'norvo: error: ...', exit code 2."""


# --------------------------------------------------------------------------
# Terminal output


_CODES = {
    "bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33",
    "blue": "34", "magenta": "35", "cyan": "36",
}


def _wants_color(stream: TextIO, disabled: bool) -> bool:
    # NO_COLOR wins over everything (any non-empty value, as no-color.org asks).
    if disabled or os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Ui:
    """Where and how the command writes: stdout for results, stderr for the rest."""

    def __init__(self, *, json_mode: bool, no_color: bool, verbose: int) -> None:
        self.json = json_mode
        self.verbose = verbose
        self.color = _wants_color(sys.stdout, no_color)
        self.err_color = _wants_color(sys.stderr, no_color)

    # -- plain writing
    def out(self, text: str = "") -> None:
        sys.stdout.write(text + "\n")

    def note(self, text: str) -> None:
        """A remark for the person at the terminal; never mixed into stdout."""
        sys.stderr.write(self._paint(text, "dim", on=self.err_color) + "\n")

    def error(self, text: str) -> None:
        prefix = self._paint("norvo: error:", "bold", "red", on=self.err_color)
        sys.stderr.write(f"{prefix} {text}\n")

    def dump(self, value: Any) -> None:
        json.dump(value, sys.stdout, indent=2, ensure_ascii=False)
        sys.stdout.write("\n")

    # -- colour
    def _paint(self, text: str, *styles: str, on: bool) -> str:
        if not on or not styles or not text:
            return text
        codes = ";".join(_CODES[s] for s in styles)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def c(self, text: str, *styles: str) -> str:
        return self._paint(text, *styles, on=self.color)

    # -- tables
    def table(self, headers: Sequence[str], rows: Iterable[Sequence[Any]], indent: int = 0) -> None:
        """Left-aligned columns; a cell is a str or a (str, style, ...) tuple."""
        cells = [[_cell(v) for v in row] for row in rows]
        head: list[tuple[str, tuple[str, ...]]] = [(h, ("bold",)) for h in headers]
        widths = [len(h) for h in headers]
        for row in cells:
            for i, (text, _) in enumerate(row):
                widths[i] = max(widths[i], len(text))
        pad = " " * indent
        for row in [head, *cells]:
            parts = []
            for i, (text, styles) in enumerate(row):
                last = i == len(row) - 1
                shown = text if last else text.ljust(widths[i])
                parts.append(self.c(shown, *styles) if styles else shown)
            self.out((pad + "  ".join(parts)).rstrip())

    # -- progress
    @contextlib.contextmanager
    def progress(self, label: str, *, announce: bool = False) -> Iterator[None]:
        """Shows `label` with a spinner and the elapsed time while the block runs.

        Native calls hold the interpreter lock for their whole duration, so no
        Python thread of this process could redraw anything meanwhile. The
        spinner therefore runs in a small child interpreter that only needs the
        terminal; closing its stdin stops it and makes it erase its line.
        Without a terminal on stderr there is nothing to animate: `announce`
        then prints the label once, and the caller reports the elapsed time.
        """
        spinning = (sys.stderr.isatty() and not self.verbose
                    and os.environ.get("TERM") != "dumb")
        proc = None
        if spinning:
            try:
                proc = subprocess.Popen(
                    [sys.executable, "-I", "-S", "-c", _SPINNER, label, repr(time.time()), "0.4"],
                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=sys.stderr.fileno())
            except (OSError, ValueError):
                proc = None
        if proc is None and announce and not self.json:
            self.note(f"{label} ...")
        try:
            yield
        finally:
            if proc is not None:
                _stop_spinner(proc)


def _cell(value: Any) -> tuple[str, tuple[str, ...]]:
    if isinstance(value, tuple):
        return str(value[0]), tuple(value[1:])
    return ("" if value is None else str(value)), ()


def _stop_spinner(proc: subprocess.Popen[bytes]) -> None:
    try:
        if proc.stdin is not None:
            proc.stdin.close()
        proc.wait(timeout=2)
    except (OSError, subprocess.TimeoutExpired):
        proc.kill()
        proc.wait()


# Runs in a child interpreter (-I -S: no site, no user paths). It redraws one
# line on stderr until its stdin reaches end of file, which also happens when
# the parent dies, and ignores Ctrl-C so that only the parent reports it.
_SPINNER = r"""
import os, select, signal, sys, time
signal.signal(signal.SIGINT, signal.SIG_IGN)
label, start, delay = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
frames, i, width = "|/-\\", 0, 0
while True:
    ready, _, _ = select.select([0], [], [], 0.1)
    if ready and not os.read(0, 64):
        break
    elapsed = time.time() - start
    if elapsed >= delay:
        try:  # a wrapped line could not be redrawn in place
            room = os.get_terminal_size(2).columns - 1
        except OSError:
            room = 0
        room = room if room >= 20 else 79  # 0 columns: size unknown
        tail = f" ... {elapsed:.1f}s"
        line = f"{frames[i % 4]} {label}"[: max(room - len(tail), 10)] + tail
        sys.stderr.write("\r" + line.ljust(width))
        sys.stderr.flush()
        width, i = max(width, len(line)), i + 1
if width:
    sys.stderr.write("\r" + " " * width + "\r")
    sys.stderr.flush()
"""


def _plural(n: int, word: str, plural: str | None = None) -> str:
    return f"{n} {word if n == 1 else (plural or word + 's')}"


def _seconds(elapsed: float) -> str:
    return f"{elapsed * 1000:.0f} ms" if elapsed < 1 else f"{elapsed:.2f} s"


# --------------------------------------------------------------------------
# Projects and paths


def _native() -> Any:
    try:
        from norvo import norvo_native
    except ImportError as exc:
        raise CliError(f"cannot load the native module norvo.norvo_native: {exc}") from exc
    return norvo_native


def project_dir(args: argparse.Namespace) -> str:
    """The project directory of a command: PATH, or -C DIR, or the current one."""
    positional = getattr(args, "path", None)
    option = getattr(args, "project", None)
    if positional is not None and option is not None and \
            os.path.realpath(positional) != os.path.realpath(option):
        raise CliError(f"two different projects given: {positional} and -C {option}")
    root = positional if positional is not None else (option if option is not None else ".")
    if not os.path.exists(root):
        raise CliError(f"no such directory: {root}")
    if not os.path.isdir(root):
        raise CliError(f"not a directory: {root}")
    return root


def shown_path(path: str) -> str:
    return os.path.realpath(path)


def project_relative(root: str, text: str) -> str:
    """The stored form of a file path: relative to the project root, '/'-separated.

    The index keeps relative paths and compares them exactly, so a path typed
    relative to the current directory or absolute is translated when it names
    something inside the project; anything else is passed on unchanged.
    """
    real_root = os.path.realpath(root)
    if os.path.isabs(text) or os.path.exists(text):
        candidate = os.path.realpath(text)
        if candidate == real_root or candidate.startswith(real_root + os.sep):
            return os.path.relpath(candidate, real_root).replace(os.sep, "/")
    while text.startswith("./"):
        text = text[2:]
    return text


def open_atlas(nn: Any, root: str) -> Atlas:
    atlas: Atlas = nn.Atlas(root)
    return atlas


def refresh_index(atlas: Atlas, ui: Ui, root: str, args: argparse.Namespace) -> None:
    """Brings the index up to date before a command that reads it directly.

    The graph, impact, pattern and duplicate queries read whatever the last
    scan stored. A search runs the module's own freshness check first (git
    HEAD, modification times, age, and a scan of an empty index), so an empty
    search with limit 0 is used here to get exactly that check and nothing else.
    """
    if getattr(args, "no_refresh", False):
        return
    with ui.progress(f"Updating the index of {shown_path(root)}"):
        atlas.search("", limit=0)
    if atlas.count() == 0:
        ui.note(f"note: the index of {shown_path(root)} is empty "
                "(no Python definitions found, or auto-scan is turned off; try 'norvo scan')")


# --------------------------------------------------------------------------
# clean: the index file named by .norvo/config.toml

# Key types of .norvo/config.toml. The module discards the whole file when any
# known key has the wrong type, so the same check decides which file name is
# in force. This cannot ask the module: opening an Atlas on a damaged index
# fails, and that is exactly when 'norvo clean' is needed.
_STR, _BOOL, _UINT, _NUM, _STRS = "str", "bool", "uint", "num", "strs"
_CONFIG_KEYS: dict[str, dict[str, str]] = {
    "atlas": {
        "ignore_patterns": _STRS, "max_file_size": _UINT, "parallel_workers": _UINT,
        "db_filename": _STR, "incremental": _BOOL, "extract_docstrings": _BOOL,
        "detect_endpoints": _BOOL, "detect_contracts": _BOOL,
        "auto_scan_on_first_search": _BOOL, "track_git_commit": _BOOL,
    },
    "security": {
        "allowed_extensions": _STRS, "denied_extensions": _STRS, "denied_directories": _STRS,
        "denied_file_patterns": _STRS, "strict_mode": _BOOL,
    },
    "logging": {"level": _STR, "format": _STR, "include_location": _BOOL, "include_target": _BOOL},
    "firewall": {
        "enabled": _BOOL, "allowed_deps_file": _STR, "blocked_deps_file": _STR,
        "typosquat_detection": _BOOL, "typosquat_threshold": _NUM,
    },
    "governance": {
        "require_index": _BOOL, "critical_paths": _STRS, "min_artifacts_per_critical_path": _UINT,
        "fail_closed_on_unavailable": _BOOL, "max_index_age_seconds": _UINT,
    },
}
_INT64 = (-(2**63), 2**63 - 1)


def _type_ok(value: Any, kind: str) -> bool:
    if kind == _BOOL:
        return isinstance(value, bool)
    if kind == _STR:
        return isinstance(value, str)
    if kind == _UINT:
        return isinstance(value, int) and not isinstance(value, bool) and value >= 0
    if kind == _NUM:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _ints_in_range(value: Any) -> bool:
    # TOML integers are 64-bit; the module's reader rejects larger ones.
    if isinstance(value, bool):
        return True
    if isinstance(value, int):
        return _INT64[0] <= value <= _INT64[1]
    if isinstance(value, dict):
        return all(_ints_in_range(v) for v in value.values())
    if isinstance(value, list):
        return all(_ints_in_range(v) for v in value)
    return True


def config_db_filename(root: str) -> str:
    """atlas.db_filename of the project's config.toml, or the default."""
    path = os.path.join(root, ".norvo", "config.toml")
    try:
        with open(path, "rb") as f:
            doc = tomllib.loads(f.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return DEFAULT_DB_FILENAME
    if not _ints_in_range(doc):
        return DEFAULT_DB_FILENAME
    for section, keys in _CONFIG_KEYS.items():
        if section not in doc:
            continue
        table = doc[section]
        if not isinstance(table, dict):
            return DEFAULT_DB_FILENAME
        for key, kind in keys.items():
            if key in table and not _type_ok(table[key], kind):
                return DEFAULT_DB_FILENAME
    name: str = doc.get("atlas", {}).get("db_filename", DEFAULT_DB_FILENAME)
    return name


def _inside(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory + os.sep)


def _is_sqlite_file(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(len(SQLITE_MAGIC))
    except OSError:
        return False
    return head == SQLITE_MAGIC or head == b""


def index_files(root: str) -> tuple[str, list[str]]:
    """The index database path and those of its files that exist now.

    Inside .norvo every file of that name is the index (even a damaged one).
    A db_filename that leads out of .norvo is only trusted with files that
    carry the SQLite header, so a wrong setting cannot delete a source file.
    """
    real_root = os.path.realpath(root)
    norvo_dir = os.path.join(real_root, ".norvo")
    db_path = os.path.join(norvo_dir, config_db_filename(real_root))
    inside = _inside(os.path.realpath(os.path.dirname(db_path)), os.path.realpath(norvo_dir))
    found = []
    for path in (db_path, db_path + "-journal", db_path + "-wal", db_path + "-shm"):
        if not os.path.lexists(path):
            continue
        if os.path.isdir(path) and not os.path.islink(path):
            raise CliError(f"refusing to remove {path}: it is a directory, not an index database")
        if path == db_path and not inside and not _is_sqlite_file(path):
            raise CliError(f"refusing to remove {path}: it lies outside {norvo_dir} "
                           "and is not a SQLite database (check atlas.db_filename in .norvo/config.toml)")
        found.append(path)
    if not inside and db_path not in found:
        found = []  # siblings of a foreign file are not ours to judge
    return db_path, found


# --------------------------------------------------------------------------
# Commands


def cmd_scan(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    started = time.monotonic()
    with ui.progress(f"Scanning {shown_path(root)}", announce=True):
        result = atlas.scan()
    elapsed = time.monotonic() - started
    if ui.json:
        ui.dump(result)
        return EXIT_OK
    stats = result["stats"]
    failed = result["failed_files"]
    ui.out(f"Scanned {_plural(stats['files_scanned'], 'file')} in {_seconds(elapsed)}: "
           f"{stats['files_parsed']} parsed, "
           + (ui.c(f"{stats['files_failed']} failed", "red") if stats["files_failed"] else "0 failed")
           + f"; {_plural(result['artifacts_found'], 'artifact')} in the index")
    kinds = sorted(stats["artifacts_by_kind"].items(), key=lambda kv: (-kv[1], kv[0]))
    if kinds:
        ui.out()
        ui.table(["KIND", "FOUND"], [(k, str(n)) for k, n in kinds], indent=2)
    if failed:
        ui.out()
        ui.out(ui.c(f"Files that could not be parsed ({len(failed)}):", "bold"))
        for item in failed:
            ui.out(f"  {ui.c(project_relative(root, item['path']), 'red')}")
            if item.get("error"):
                ui.out(f"    {item['error']}")
    return EXIT_OK


def _print_artifacts(ui: Ui, rows: Sequence[Mapping[str, Any]]) -> None:
    ui.table(["KIND", "NAME", "LOCATION"],
             [((a["kind"], "cyan"), a["qualified_name"],
               (f"{a['file_path']}:{a['line_start']}", "dim")) for a in rows])


def _limit_note(n: int, limit: int | None) -> str:
    return " (limit reached; raise it with --limit)" if limit is not None and n >= limit > 0 else ""


def cmd_search(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    label = f"Updating the index of {shown_path(root)}"
    if args.spans:
        with ui.progress(label):
            rows = atlas.search_spans(args.query, limit=args.limit)
        if ui.json:
            ui.dump(rows)
            return EXIT_OK
        for span in rows:
            where = f"{span['file_path']}:{span['line_start']}"
            if span["line_end"] != span["line_start"]:
                where += f"-{span['line_end']}"
            kind = span["kind"] or span["evidence_type"]
            ui.out(f"{ui.c(where, 'bold')}  {ui.c(kind, 'cyan')}  "
                   + ui.c(f"score {span['score']:.2f}" if span["score"] is not None else "", "dim"))
            for line in (span["snippet"] or "").splitlines():
                ui.out(f"    {line}".rstrip())
        ui.out(f"{_plural(len(rows), 'span')} for {args.query!r}" + _limit_note(len(rows), args.limit))
        return EXIT_OK
    with ui.progress(label):
        if args.feature:
            found = atlas.search_by_feature(args.query)
            if args.limit is not None:
                found = found[: args.limit]
        else:
            found = atlas.search(args.query, limit=args.limit)
    if ui.json:
        ui.dump(found)
        return EXIT_OK
    if found:
        _print_artifacts(ui, found)
    what = f"with feature or kind {args.query!r}" if args.feature else f"for {args.query!r}"
    ui.out(f"{_plural(len(found), 'result')} {what}" + _limit_note(len(found), args.limit))
    return EXIT_OK


def cmd_files(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    atlas = open_atlas(nn, project_dir(args))
    files = atlas.glob_python_files(args.pattern, limit=args.limit)
    if ui.json:
        ui.dump(files)
        return EXIT_OK
    for path in files:
        ui.out(path)
    ui.note(f"{_plural(len(files), 'file')} match {args.pattern!r}" + _limit_note(len(files), args.limit))
    return EXIT_OK


def cmd_grep(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    atlas = open_atlas(nn, project_dir(args))
    spans = atlas.grep_spans(args.query, limit=args.limit, path_glob=args.glob)
    if ui.json:
        ui.dump(spans)
        return EXIT_OK
    for span in spans:
        text = atlas.read_span(span["file_path"], span["line_start"], span["line_end"]).rstrip("\n")
        ui.out(f"{ui.c(span['file_path'], 'magenta')}:{ui.c(str(span['line_start']), 'green')}: {text}")
    ui.note(f"{_plural(len(spans), 'matching line')}" + _limit_note(len(spans), args.limit))
    return EXIT_OK


def cmd_show(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    start = args.start
    end = args.end if args.end is not None else start + 39
    path = project_relative(root, args.file)
    text = atlas.read_span(path, start, end, max_bytes=args.max_bytes)
    if ui.json:
        ui.dump({"file_path": path, "line_start": start, "line_end": end, "text": text})
        return EXIT_OK
    lines = text.splitlines()
    width = len(str(start + len(lines) - 1))
    for number, line in enumerate(lines, start):
        ui.out(f"{ui.c(str(number).rjust(width), 'dim')}  {line}")
    return EXIT_OK


def cmd_clean(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    db_path, found = index_files(root)
    removed = []
    for path in found:
        try:
            size = os.lstat(path).st_size
            os.remove(path)
        except FileNotFoundError:
            continue  # gone meanwhile: nothing left to remove
        removed.append((path, size))
    if ui.json:
        ui.dump({"db_path": db_path, "removed": [p for p, _ in removed]})
        return EXIT_OK
    if not removed:
        ui.out(f"Nothing to remove: there is no index database at {db_path}")
        return EXIT_OK
    for path, size in removed:
        ui.out(f"Removed {path} ({_size(size)})")
    return EXIT_OK


def _size(n: int) -> str:
    for unit in ("bytes", "KiB", "MiB"):
        if n < 1024 or unit == "MiB":
            return f"{n} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024  # type: ignore[assignment]
    return f"{n} bytes"


def cmd_health(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    health = open_atlas(nn, root).health()
    if ui.json:
        ui.dump(health)
        return EXIT_OK
    status = health["status"]
    last = health["last_scan"]
    if last is None:
        last_text = "never"
    else:
        when = _dt.datetime.fromtimestamp(last).astimezone()
        last_text = f"{when:%Y-%m-%d %H:%M:%S %Z} ({_ago(time.time() - last)})"
    rows = [
        ("Project", shown_path(root)),
        ("Index", health["db_path"]),
        ("Status", ui.c(status, "green" if status == "healthy" else "yellow")),
        ("Artifacts", str(health["artifact_count"])),
        ("Last scan", last_text),
    ]
    for name, value in rows:
        ui.out(f"{name + ':':<11}{value}")
    if status != "healthy":
        ui.note("run 'norvo scan' to build the index")
    return EXIT_OK


def _ago(seconds: float) -> str:
    seconds = max(0, int(seconds))
    for size, unit in ((86400, "day"), (3600, "hour"), (60, "minute")):
        if seconds >= size:
            return _plural(seconds // size, unit) + " ago"
    return _plural(seconds, "second") + " ago"


_RISK_STYLE = {"critical": ("bold", "red"), "high": ("red",), "medium": ("yellow",),
               "low": ("green",), "none": ("dim",)}


def cmd_impact(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    refresh_index(atlas, ui, root, args)
    as_file = args.file or (not args.function and (args.target.endswith(".py") or "/" in args.target
                                                     or os.sep in args.target))
    report: Mapping[str, Any]
    if as_file:
        report = atlas.analyze_file_impact(project_relative(root, args.target))
    else:
        report = atlas.analyze_function_impact(args.target)
    if ui.json:
        ui.dump(report)
        return EXIT_OK
    risk = report["risk_level"]
    summary = report["summary"].replace(f"[Risk: {risk}]", "").replace(f"({risk})", "").rstrip()
    ui.out(f"{summary}  risk: {ui.c(risk, *_RISK_STYLE.get(risk, ()))}")
    items = report["affected_items"]
    if items:
        ui.out()
        if as_file:
            ui.table(["IMPACT", "FILE"], [(i["impact_type"], i["file_path"]) for i in items], indent=2)
        else:
            ui.table(["IMPACT", "NAME", "FILE"],
                     [(i["impact_type"], i["qualified_name"], (i["file_path"] or "?", "dim")) for i in items],
                     indent=2)
    elif not as_file and "." in args.target:
        _impact_hint(ui, atlas, args.target)
    return EXIT_OK


def _impact_hint(ui: Ui, atlas: Atlas, target: str) -> None:
    # Call edges keep the callee exactly as written at the call site, so a
    # qualified name finds only callers that spelled it out in full.
    if any(a["qualified_name"] == target for a in atlas.search(target, limit=5)):
        plain = target.rsplit(".", 1)[1]
        ui.note(f"note: callers are matched by the name written at the call site; "
                f"try 'norvo impact {plain}' or the attribute form used there (e.g. 'obj.{plain}')")


def _split_external(root: str, paths: list[str]) -> tuple[list[str], list[str]]:
    """Project files, and targets the scan invented for imports it could not resolve."""
    real_root = os.path.realpath(root)
    inside = [p for p in paths if os.path.isfile(os.path.join(real_root, p))]
    return inside, [p for p in paths if p not in set(inside)]


def _graph_command(method: str, heading: str, empty: str) -> Callable[..., int]:
    def run(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
        root = project_dir(args)
        atlas = open_atlas(nn, root)
        refresh_index(atlas, ui, root, args)
        target = project_relative(root, args.file)
        paths = getattr(atlas, method)(target)
        if ui.json:
            ui.dump(paths)
            return EXIT_OK
        if not paths:
            ui.out(empty.format(target))
            if not os.path.isfile(os.path.join(os.path.realpath(root), target)):
                ui.note(f"note: {target} is not a file of the project; "
                        "give its path relative to the project root")
            return EXIT_OK
        inside, external = _split_external(root, paths)
        ui.out(ui.c(heading.format(target, len(paths)), "bold"))
        for p in inside:
            ui.out(f"  {p}")
        if external:
            ui.out(ui.c(f"  modules outside the project ({len(external)}):", "dim"))
            for p in external:
                ui.out(ui.c(f"    {p.removesuffix('.py').replace('/', '.')}", "dim"))
        return EXIT_OK
    return run


cmd_deps = _graph_command("get_dependencies", "{} imports, directly or indirectly ({}):",
                          "No imports recorded for {}.")
cmd_dependents = _graph_command("get_dependents", "Files that import {}, directly or indirectly ({}):",
                                "No file imports {}.")


def cmd_cycles(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    refresh_index(atlas, ui, root, args)
    cycles = atlas.detect_cycles()
    code = EXIT_FINDINGS if cycles and args.fail_on_cycles else EXIT_OK
    if ui.json:
        ui.dump(cycles)
        return code
    if not cycles:
        ui.out(ui.c("No import cycles found.", "green"))
        return code
    ui.out(ui.c(f"{_plural(len(cycles), 'import cycle')} found:", "bold", "yellow"))
    for cycle in cycles:
        ui.out("  " + " -> ".join([*cycle, cycle[0]]))
    return code


def cmd_patterns(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    if args.stored:
        patterns = atlas.get_patterns()
    else:
        refresh_index(atlas, ui, root, args)
        patterns = atlas.detect_patterns()
    if args.type:
        patterns = [p for p in patterns if p["pattern_type"] == args.type]
    if ui.json:
        ui.dump(patterns)
        return EXIT_OK
    if patterns:
        ui.table(["PATTERN", "CONFIDENCE", "NAME", "FILE"],
                 [((p["pattern_type"], "cyan"), f"{p['confidence']:.2f}", p["name"], (p["file_path"], "dim"))
                  for p in patterns])
    ui.out(f"{_plural(len(patterns), 'pattern')} " + ("stored by the last detection" if args.stored else "detected"))
    return EXIT_OK


def cmd_duplicates(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    refresh_index(atlas, ui, root, args)
    matches = atlas.find_duplicates()
    if ui.json:
        ui.dump(matches)
        return EXIT_OK
    if matches:
        def where(name: str, path: str, lines: tuple[int, int]) -> str:
            return f"{name} ({path}:{lines[0]}-{lines[1]})"
        ui.table(["SIMILARITY", "FIRST", "SECOND"],
                 [(f"{m['similarity']:.2f}", where(m["artifact_a"], m["file_a"], m["lines_a"]),
                   where(m["artifact_b"], m["file_b"], m["lines_b"])) for m in matches])
    ui.out(f"{_plural(len(matches), 'pair')} of functions with the same signature shape")
    return EXIT_OK


# -- FastAPI


def _severity(text: str) -> str:
    for name in SEVERITIES:
        if name.lower() == text.lower():
            return name
    raise argparse.ArgumentTypeError(f"invalid severity {text!r} (choose from {', '.join(SEVERITIES)})")


_SEVERITY_STYLE = {"Critical": ("bold", "red"), "High": ("red",), "Medium": ("yellow",), "Low": ("dim",)}


def cmd_fastapi_scaling(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    with ui.progress(f"Analysing {shown_path(root)}"):
        report = atlas.analyze_fastapi_scaling()
    violations = report["violations"]
    code = EXIT_OK
    if args.fail_on:
        limit = SEVERITIES.index(args.fail_on)
        if any(v["severity"] in SEVERITIES and SEVERITIES.index(v["severity"]) <= limit for v in violations):
            code = EXIT_FINDINGS
    if ui.json:
        ui.dump(report)
        return code
    s = report["stats"]
    ui.out(f"FastAPI scaling review (policy {report['policy_version']}): "
           f"{_plural(s['total_endpoints'], 'endpoint')} ({s['async_endpoints']} async, "
           f"{s['sync_endpoints']} sync) in {_plural(s['modules_with_endpoints'], 'module')}, "
           f"{_plural(s['total_definitions'], 'definition')} reviewed")
    if violations:
        ui.out()
        ui.out(ui.c(f"Violations ({len(violations)}):", "bold"))
        for v in violations:
            sev = v["severity"]
            where = v["qualified_name"] or "project"
            if v["file_path"]:
                where += ui.c(f"  ({v['file_path']})", "dim")
            ui.out(f"  {ui.c(sev.upper().ljust(8), *_SEVERITY_STYLE.get(sev, ()))} "
                   f"{ui.c(v['category'] or v['scope'], 'cyan')}  {where}")
            ui.out(f"           {v['message']}")
            if v["suggestion"]:
                ui.out(ui.c(f"           hint: {v['suggestion']}", "dim"))
    else:
        ui.out(ui.c("No violations.", "green"))
    evidence = [(k, len(v)) for k, v in sorted(report.items()) if isinstance(v, list) and k != "violations"]
    ui.out()
    ui.out("Evidence: " + ", ".join(f"{k.replace('_', ' ')} {n}" for k, n in evidence))
    return code


def _endpoint_line(ui: Ui, e: Mapping[str, Any]) -> str:
    methods = ",".join(m.upper() for m in e["http_methods"]) or "?"
    route = (e["router_prefix"] or "") + (e["route_path"] or "")
    return f"{ui.c(methods.ljust(7), 'cyan')}{route or '?':<28}  {e['qualified_name']}"


def cmd_fastapi_routers(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    atlas = open_atlas(nn, root)
    with ui.progress(f"Analysing {shown_path(root)}"):
        topology = atlas.analyze_fastapi_router_topology()
    if ui.json:
        ui.dump(topology)
        return EXIT_OK
    routers = topology["routers"]
    if not routers:
        ui.out("No FastAPI routers or endpoints found.")
        return EXIT_OK
    for r in routers:
        title = ui.c(r["name"], "bold") + (" (the application)" if r["is_app"] else "")
        details = [f"prefix {r['prefix']}" if r["prefix"] else "no prefix",
                   _plural(len(r["endpoints"]), "endpoint")]
        if r["includes"]:
            details.append("includes " + ", ".join(r["includes"]))
        ui.out(f"{title}  {ui.c('; '.join(details), 'dim')}")
        if r["modules"]:
            ui.out(ui.c(f"  modules: {', '.join(r['modules'])}", "dim"))
        for e in r["endpoints"]:
            ui.out("  " + _endpoint_line(ui, e))
    direct = topology["direct_app_routes"]
    ui.out()
    ui.out(f"{_plural(len(routers), 'router')}, {_plural(len(direct), 'route')} declared on the application")
    return EXIT_OK


def cmd_fastapi_capsule(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    request: dict[str, Any] = {"strict": args.strict}
    if args.handler_name:
        if args.method or args.route:
            raise CliError("give either --handler NAME or METHOD PATH, not both")
        request["handler_qualified_name"] = args.handler_name
    elif args.method and args.route:
        request.update(method=args.method, path=args.route)
    else:
        raise CliError("give the endpoint as METHOD PATH (for example: GET /items/{item_id}) or --handler NAME")
    for key in ("max_dependency_depth", "max_call_depth", "max_call_nodes"):
        if getattr(args, key) is not None:
            request[key] = getattr(args, key)
    atlas = open_atlas(nn, root)
    with ui.progress(f"Updating the index of {shown_path(root)}"):
        capsule = atlas.fastapi_truth_capsule(**request)
    if ui.json:
        ui.dump(capsule)
        return EXIT_OK
    ep = capsule["endpoint"]
    ui.out(ui.c(f"{ep['method'] or '?'} {ep['path_template'] or '?'}", "bold") + f"  {ep['handler_qualified_name']}")
    ui.out(ui.c(f"resolved by {capsule['resolved_by'].replace('_', ' ')}", "dim"))
    groups = cast("dict[str, list[Any]]", capsule["groups"])
    order = ["handler", "dependencies", "schemas", "middleware", "exceptions", "call_slice"]
    for group in order + sorted(set(groups) - set(order)):
        items = groups.get(group) or []
        if not items:
            continue
        ui.out()
        ui.out(ui.c(f"{group.replace('_', ' ')}:", "bold"))
        ui.table(["SCORE", "SYMBOL", "LOCATION", "EVIDENCE"],
                 [(f"{i['score']:.2f}", i["span"]["symbol"] or "",
                   (f"{i['span']['file_path']}:{i['span']['start_line']}-{i['span']['end_line']}", "dim"),
                   ", ".join(i["evidence"])) for i in items], indent=2)
    unresolved = capsule["unresolved"]
    if unresolved:
        ui.out()
        ui.out(ui.c(f"unresolved ({len(unresolved)}):", "bold", "yellow"))
        for u in unresolved:
            ui.out(f"  {u['kind']:<16}{u['detail']}")
    ui.out()
    ui.out("partial capsule: some edges did not resolve" if capsule["is_partial"] else "complete capsule")
    return EXIT_OK


def cmd_fastapi_policy(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    policy = open_atlas(nn, root).fastapi_scaling_policy()
    if ui.json:
        ui.dump(policy)
        return EXIT_OK
    source = os.path.join(shown_path(root), ".norvo", "fastapi_scaling.yaml")
    ui.out(f"Policy {policy['version']} from " + (source if os.path.exists(source) else "the built-in defaults")
           + ("" if policy["enabled"] else ui.c("  (disabled)", "yellow")))
    for name in ("endpoints", "dependencies", "routers", "lifespan", "middleware", "background_tasks", "models"):
        section = policy[name]
        flags = [k for k, v in section.items() if v is True and k != "enabled"]
        state = "on" if section["enabled"] else "off"
        ui.out(f"  {name:<18}{state:<5}{', '.join(flags)}")
    for name in ("external_calls", "db_query_calls", "env_call_patterns"):
        patterns = policy[name]
        ui.out(f"  {name:<18}{_plural(len(patterns), 'pattern')}"
               + (": " + ", ".join(p["pattern"] for p in patterns) if patterns else ""))
    return EXIT_OK


# -- Firewall


def _firewall(nn: Any, root: str) -> Firewall:
    # An absolute root, so that the policy path it reports is one too.
    fw: Firewall = nn.Firewall(os.path.abspath(root))
    return fw


_STATUS_STYLE = {"allowed": ("green",), "blocked": ("bold", "red"), "typosquat": ("red",), "unknown": ("yellow",)}


def _reason(finding: Mapping[str, Any], prefixes: list[str]) -> str:
    """The module's reason, plus what a person needs to act on it."""
    reason = str(finding["reason"])
    name = str(finding["import"])
    if finding["status"] == "unknown":
        prefix = next((p for p in prefixes if name.startswith(p)), None)
        if prefix:
            reason += f" (internal prefix {prefix!r})"
    if finding.get("suggestion"):
        reason += f"; did you mean {finding['suggestion']!r}?"
    return reason


def _is_failure(status: str, args: argparse.Namespace) -> bool:
    return status != "allowed" and not (status == "unknown" and getattr(args, "ignore_unknown", False))


def cmd_firewall_check(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    fw = _firewall(nn, project_dir(args))
    results = [{"import": name, **fw.check_import(name)} for name in args.imports]
    code = EXIT_FINDINGS if any(_is_failure(r["status"], args) for r in results) else EXIT_OK
    if ui.json:
        ui.dump(results)
        return code
    prefixes = fw.list_rules()["internal_prefixes"]
    rows = [((r["status"], *_STATUS_STYLE.get(r["status"], ())), r["import"],
             "" if r["allowed"] else _reason(r, prefixes)) for r in results]
    ui.table(["STATUS", "IMPORT", "REASON"], rows)
    refused = sum(1 for r in results if not r["allowed"])
    ui.out(f"{_plural(len(results), 'import')} checked: {len(results) - refused} allowed, {refused} refused")
    return code


_SKIP_DIRS = {"__pycache__", "venv", "node_modules", "site-packages", "build", "dist"}


def _python_files(paths: list[str]) -> Iterator[str]:
    """The given files, and the .py files below the given directories (sorted)."""
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for current, dirs, files in os.walk(path):
            dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d not in _SKIP_DIRS
                             and not d.endswith(".egg-info"))
            for name in sorted(files):
                if name.endswith(".py") and not name.startswith("."):
                    yield os.path.join(current, name)


def cmd_firewall_scan(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    fw = _firewall(nn, project_dir(args))
    reports: list[Mapping[str, Any]] = []
    errors = 0
    files = list(_python_files(args.files))
    if not files:
        raise CliError("no Python files found in " + ", ".join(args.files))
    for path in files:
        try:
            reports.append(fw.analyze_file(path))
        except EXPECTED_ERRORS as exc:
            errors += 1
            ui.error(f"{path}: {exc}")
            reports.append({"file_path": path, "error": str(exc)})
    failing = [r for r in reports if any(_is_failure(v["status"], args) for v in r.get("violations", []))]
    code = EXIT_ERROR if errors else (EXIT_FINDINGS if failing else EXIT_OK)
    if ui.json:
        ui.dump(reports)
        return code
    prefixes = fw.list_rules()["internal_prefixes"]
    ignored = 0
    for r in reports:
        shown = [v for v in r.get("violations", []) if _is_failure(v["status"], args)]
        ignored += len(r.get("violations", [])) - len(shown)
        if not shown:
            continue
        ui.out(ui.c(r["file_path"], "bold") + f"  {_plural(r['imports_found'], 'import')}, "
               f"{_plural(len(shown), 'violation')}")
        rows = [(str(v["line"]), (v["status"], *_STATUS_STYLE.get(v["status"], ())), v["import"],
                 _reason(v, prefixes)) for v in shown]
        ui.table(["LINE", "STATUS", "IMPORT", "REASON"], rows, indent=2)
    checked = len(reports) - errors
    summary = f"{_plural(checked, 'file')} checked: {checked - len(failing)} passed, {len(failing)} failed"
    if ignored:
        summary += f" ({_plural(ignored, 'unknown import')} ignored)"
    if errors:
        summary += f", {_plural(errors, 'file')} could not be read"
    ui.out(ui.c(summary, "green" if code == EXIT_OK else "bold"))
    return code


def cmd_firewall_typo(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    fw = _firewall(nn, project_dir(args))
    results = [{"package": name, **fw.check_typosquat(name)} for name in args.packages]
    code = EXIT_FINDINGS if any(r["is_typosquat"] for r in results) else EXIT_OK
    if ui.json:
        ui.dump(results)
        return code
    ui.table(["PACKAGE", "VERDICT"],
             [(r["package"], (f"looks like {r['intended_package']} (similarity {r['similarity']:.3f})", "red")
               if r["is_typosquat"] else ("not a typosquat", "green")) for r in results])
    return code


def cmd_firewall_rules(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
    root = project_dir(args)
    rules = _firewall(nn, root).list_rules()
    if ui.json:
        ui.dump(rules)
        return EXIT_OK
    if rules["config_source"] == "file":
        source = rules["config_path"]
        # A rejected policy file falls back to the defaults silently (the
        # reason is only logged), while the source still reads "file".
        defaults = _firewall(nn, os.path.join(root, ".norvo", "firewall.yaml", "none")).list_rules()
        if _same_rules(rules, defaults):
            source += ui.c("  (the production defaults are in force: the file was rejected or repeats "
                           "them; --verbose shows why a file is rejected)", "yellow")
    else:
        source = "production defaults (no .norvo/firewall.yaml)"
    ui.out(f"Policy:   {source}")
    ui.out(f"Version:  {rules['version']}    mode: {rules['policy_mode']}    "
           f"typo detection: {'on' if rules['typo_detection_enabled'] else 'off'}")
    prefixes = ", ".join(rules["internal_prefixes"]) or "none"
    ui.out(f"Internal: {prefixes}")
    ui.out()
    allowed = rules["allowed_packages"]
    ui.out(ui.c(f"Allowed packages ({len(allowed)}):", "bold"))
    for line in _wrap(allowed, 76):
        ui.out("  " + line)
    blocked = rules["blocked_patterns"]
    ui.out()
    ui.out(ui.c(f"Blocked patterns ({len(blocked)}):", "bold"))
    if blocked:
        ui.table(["SEVERITY", "PATTERN", "REASON"],
                 [((b["severity"], *_SEVERITY_STYLE.get(b["severity"], ())), b["pattern"], b["reason"])
                  for b in blocked], indent=2)
    return EXIT_OK


def _same_rules(a: Mapping[str, Any], b: Mapping[str, Any]) -> bool:
    skip = {"config_source", "config_path"}
    return {k: v for k, v in a.items() if k not in skip} == {k: v for k, v in b.items() if k not in skip}


def _wrap(words: list[str], width: int) -> list[str]:
    lines, current = [], ""
    for word in words:
        candidate = f"{current}, {word}" if current else word
        if current and len(candidate) > width:
            lines.append(current + ",")
            current = word
        else:
            current = candidate
    if current:
        lines.append(current)
    return lines


# --------------------------------------------------------------------------
# Argument parsing


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _line(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("line numbers start at 1")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_ERROR, f"norvo: error: {message}\n")


def _common() -> _Parser:
    # SUPPRESS keeps a subcommand's unset option from hiding the same option
    # given before the subcommand name (norvo --json scan == norvo scan --json).
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print the result as JSON for machines")
    common.add_argument("-v", "--verbose", action="count", default=argparse.SUPPRESS,
                        help="turn on the module's log output on stderr (-vv for trace)")
    common.add_argument("--no-color", action="store_true", default=argparse.SUPPRESS,
                        help="no colour (also off when NO_COLOR is set or output is not a terminal)")
    return common


def _project_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("-C", "--project", metavar="DIR", help="project directory (default: the current one)")


def _refresh_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--no-refresh", action="store_true",
                   help="read the index as it is, without the freshness check that may rescan")


def build_parser() -> argparse.ArgumentParser:
    common = _common()
    parser = _Parser(prog="norvo", parents=[common],
                     description="Index a Python code base and police its dependencies.",
                     epilog="Exit codes: 0 success, 1 a check found violations, 2 usage or input error.")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    sub = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    def add(name: str, handler: Callable[..., int], help_text: str, **kw: Any) -> argparse.ArgumentParser:
        p = sub.add_parser(name, parents=[common], help=help_text, description=help_text, **kw)
        p.set_defaults(run=handler)
        return p

    p = add("scan", cmd_scan, "index every Python file of the project")
    p.add_argument("path", nargs="?", metavar="PATH", help="project directory (default: .)")
    _project_option(p)

    p = add("search", cmd_search, "search indexed symbols by name (scans first if needed)")
    p.add_argument("query", metavar="QUERY")
    _project_option(p)
    p.add_argument("-n", "--limit", type=_count, default=None, metavar="N",
                   help="at most N results (default: 100, or 10 with --spans)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--feature", action="store_true",
                      help="list the artifacts of a feature or of a kind (e.g. endpoint)")
    mode.add_argument("--spans", action="store_true",
                      help="ranked source spans with snippets, from the index and a text search")

    p = add("files", cmd_files, "list the project's Python files matching a glob")
    p.add_argument("pattern", metavar="GLOB", nargs="?", default="**",
                   help="glob over relative paths; * and ** cross '/' (default: **)")
    _project_option(p)
    p.add_argument("-n", "--limit", type=_count, default=200, metavar="N", help="at most N files (default: 200)")

    p = add("grep", cmd_grep, "find lines containing a text (case-sensitive)")
    p.add_argument("query", metavar="TEXT")
    _project_option(p)
    p.add_argument("-g", "--glob", metavar="GLOB", help="only files whose relative path matches GLOB")
    p.add_argument("-n", "--limit", type=_count, default=50, metavar="N", help="at most N lines (default: 50)")

    p = add("show", cmd_show, "print lines of a project file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("start", metavar="START", type=_line, nargs="?", default=1)
    p.add_argument("end", metavar="END", type=_count, nargs="?", default=None,
                   help="last line (default: START + 39)")
    _project_option(p)
    p.add_argument("--max-bytes", type=_count, default=None, metavar="N", help="at most N bytes (default: 8192)")

    p = add("clean", cmd_clean, "remove the project's index database (and nothing else)")
    p.add_argument("path", nargs="?", metavar="PATH", help="project directory (default: .)")
    _project_option(p)

    p = add("health", cmd_health, "show the state of the project's index")
    p.add_argument("path", nargs="?", metavar="PATH", help="project directory (default: .)")
    _project_option(p)

    p = add("impact", cmd_impact, "predict what a change to a function or a file affects")
    p.add_argument("target", metavar="TARGET",
                   help="qualified function name (app.services.orders.create) or file path (app/models.py)")
    _project_option(p)
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--file", action="store_true", help="TARGET is a file path")
    kind.add_argument("--function", action="store_true", help="TARGET is a qualified function name")
    _refresh_option(p)

    for name, handler, text in (("deps", cmd_deps, "list the files a file imports, directly or indirectly"),
                                ("dependents", cmd_dependents, "list the files that import a file, directly or indirectly")):
        p = add(name, handler, text)
        p.add_argument("file", metavar="FILE", help="path of a project file, e.g. app/models.py")
        _project_option(p)
        _refresh_option(p)

    p = add("cycles", cmd_cycles, "find import cycles between project files")
    _project_option(p)
    p.add_argument("--fail-on-cycles", action="store_true", help="exit with 1 when a cycle is found")
    _refresh_option(p)

    p = add("patterns", cmd_patterns, "detect CRUD, repository, factory, service and singleton patterns")
    _project_option(p)
    p.add_argument("--stored", action="store_true", help="show the result of the last detection instead")
    p.add_argument("--type", metavar="TYPE", help="only patterns of this type (crud, repository, ...)")
    _refresh_option(p)

    p = add("duplicates", cmd_duplicates, "find functions with the same annotated signature shape")
    _project_option(p)
    _refresh_option(p)

    fastapi = add("fastapi", _needs_subcommand("fastapi"), "FastAPI analyses: scaling, routers, capsule, policy")
    fsub = fastapi.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    def fadd(name: str, handler: Callable[..., int], help_text: str) -> argparse.ArgumentParser:
        q = fsub.add_parser(name, parents=[common], help=help_text, description=help_text)
        q.set_defaults(run=handler)
        _project_option(q)
        return q

    q = fadd("scaling", cmd_fastapi_scaling, "review the app against the scaling policy")
    q.add_argument("--fail-on", type=_severity, metavar="SEVERITY",
                   help="exit with 1 when a violation is at least this severe (Critical, High, Medium, Low)")
    fadd("routers", cmd_fastapi_routers, "show routers, their prefixes, modules and endpoints")
    q = fadd("capsule", cmd_fastapi_capsule, "collect the evidence about one endpoint")
    q.add_argument("method", metavar="METHOD", nargs="?", help="HTTP method, e.g. GET")
    q.add_argument("route", metavar="PATH", nargs="?", help="route path as declared, e.g. /items/{item_id}")
    q.add_argument("--handler", dest="handler_name", metavar="NAME", help="select the endpoint by its handler's qualified name")
    q.add_argument("--strict", action="store_true",
                   help="fail on an ambiguous route or an unresolved dependency or schema")
    q.add_argument("--max-dependency-depth", type=_count, metavar="N")
    q.add_argument("--max-call-depth", type=_count, metavar="N")
    q.add_argument("--max-call-nodes", type=_count, metavar="N")
    fadd("policy", cmd_fastapi_policy, "show the scaling policy in force")

    firewall = add("firewall", _needs_subcommand("firewall"), "dependency firewall: check, scan, typo, rules")
    wsub = firewall.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    def wadd(name: str, handler: Callable[..., int], help_text: str) -> argparse.ArgumentParser:
        q = wsub.add_parser(name, parents=[common], help=help_text, description=help_text)
        q.set_defaults(run=handler)
        _project_option(q)
        return q

    q = wadd("check", cmd_firewall_check, "classify import paths: allowed, blocked, typosquat or unknown")
    q.add_argument("imports", metavar="IMPORT", nargs="+")
    q.add_argument("--ignore-unknown", action="store_true",
                   help="do not fail on imports that are merely not in the allowed list")
    q = wadd("scan", cmd_firewall_scan, "check every import of Python files (directories are searched)")
    q.add_argument("files", metavar="FILE", nargs="+")
    q.add_argument("--ignore-unknown", action="store_true",
                   help="neither show nor fail on imports that are merely not in the allowed list")
    q = wadd("typo", cmd_firewall_typo, "check package names against popular packages for typosquats")
    q.add_argument("packages", metavar="NAME", nargs="+")
    wadd("rules", cmd_firewall_rules, "show the policy in force")
    return parser


def _needs_subcommand(group: str) -> Callable[..., int]:
    def run(args: argparse.Namespace, ui: Ui, nn: Any) -> int:
        raise CliError(f"'norvo {group}' needs a subcommand; see 'norvo {group} --help'")
    return run


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    ui = Ui(json_mode=getattr(args, "json", False), no_color=getattr(args, "no_color", False),
            verbose=getattr(args, "verbose", 0) or 0)
    try:
        if args.version:
            ui.out(f"norvo {_native().version()}")
            return EXIT_OK
        handler = getattr(args, "run", None)
        if handler is None:
            parser.print_help(sys.stderr)
            return EXIT_ERROR
        nn = _native()
        if ui.verbose:
            nn.init_logging("trace" if ui.verbose > 1 else "debug")
        code: int = handler(args, ui, nn)
        return code
    except BrokenPipeError:
        # The reader went away (norvo ... | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except (CliError, *EXPECTED_ERRORS) as exc:
        ui.error(str(exc) or type(exc).__name__)
        return EXIT_ERROR
    except KeyboardInterrupt:
        ui.error("interrupted")
        return 130


if __name__ == "__main__":
    raise SystemExit(main())
