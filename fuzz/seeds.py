"""Where each fuzz target's seed inputs live. Imports nothing of norvo, so that
fuzz/run can ask before the module under test is loaded."""
from __future__ import annotations

from pathlib import Path

_HERE = Path(__file__).resolve().parent

# Seeds kept elsewhere in the repository, read where they are rather than copied
# into the corpus: the example project's sources seed the parser target.
EXTRA_SEEDS = {"python_sources": [_HERE.parent / "examples" / "shop" / "app"]}


def seed_dirs(target: str) -> list[Path]:
    """The folders seeding `target`: fuzz/corpus/<target>, then EXTRA_SEEDS."""
    return [d for d in [_HERE / "corpus" / target, *EXTRA_SEEDS.get(target, [])] if d.is_dir()]


def seed_files(target: str) -> list[Path]:
    """Every seed input of `target` (folders read recursively, as libFuzzer does)."""
    return sorted(p for d in seed_dirs(target) for p in d.rglob("*")
                  if p.is_file() and "__pycache__" not in p.parts)
