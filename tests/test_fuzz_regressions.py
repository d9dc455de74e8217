"""The fuzz targets of fuzz/harnesses.py: every input of the regression corpus
replayed, then a short coverage-guided run of each target under atheris.

NORVO_FUZZ_SECONDS=N turns the short runs into runs of N seconds per target.
"""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
import harnesses  # noqa: E402
from seeds import seed_files  # noqa: E402

TARGETS = sorted(harnesses.TARGETS)


@pytest.fixture
def scratch(monkeypatch):
    # The targets take git off PATH for speed; keep that inside the test.
    monkeypatch.setenv("PATH", os.environ.get("PATH", ""))
    monkeypatch.delenv("NORVO_FUZZ_SCRATCH", raising=False)
    harnesses.Scratch.reset()
    yield
    harnesses.Scratch.reset()


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_replays_cleanly(scratch, target):
    inputs = seed_files(target)
    assert inputs, f"fuzz/corpus/{target} holds no inputs"
    for path in inputs:
        try:
            harnesses.TARGETS[target](path.read_bytes())
        except BaseException as e:  # noqa: BLE001 - name the input, then fail
            raise AssertionError(f"{target} failed on {path}: {type(e).__name__}: {e}") from e


def test_harness_refuses_to_let_the_index_leave_the_project():
    # The config target passes over files that would put the index (and
    # the directories on its way) outside the scratch project.
    inside = harnesses._db_filename_stays_inside
    assert inside(b'[atlas]\ndb_filename = "index.db"\n')
    assert not inside(b'[atlas]\ndb_filename = "../../x.db"\n')
    assert not inside(b'atlas.db_filename = "/tmp/x.db"\n')
    assert not inside(b'[atlas]\n"db\\u005ffilename" = "a/b"\n')
    assert not inside(b'[atlas\ndb_filename = "/x"\n')  # refused by Python's reader, may be read by the module's


# Runs per target of the short run; the scan target costs one scan per input.
SHORT_RUNS = {"python_sources": 30, "config_toml": 80}


@pytest.mark.skipif(importlib.util.find_spec("atheris") is None,
                    reason="atheris is not installed (pip install atheris); the corpus replay still runs")
@pytest.mark.skipif(bool(os.environ.get("NORVO_SANITIZED")),
                    reason="under the sanitizers the corpus replay runs; fuzzing is for the instrumented clang build")
@pytest.mark.parametrize("target", TARGETS)
def test_short_fuzz_run(target, tmp_path):
    seconds = os.environ.get("NORVO_FUZZ_SECONDS")
    limit = f"-max_total_time={int(seconds)}" if seconds else f"-runs={SHORT_RUNS.get(target, 150)}"
    # The scratch project goes on a memory file system when there is one:
    # every scan commits, and commits sync.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    scratch = tempfile.mkdtemp(prefix="norvo-fuzz-test-", dir=shm)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               NORVO_FUZZ_WORK=str(tmp_path / "work"), NORVO_FUZZ_SCRATCH=os.path.join(scratch, target))
    cmd = [sys.executable, str(FUZZ / "run"), target, limit, "-seed=1313", f"-artifact_prefix={tmp_path}/"]
    timeout = (int(seconds) if seconds else 0) * 2 + 120
    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    found = sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(("crash-", "timeout-", "oom-")))
    assert proc.returncode == 0 and not found, f"{found}\n{proc.stderr[-3000:]}"
    done = re.search(r"Done (\d+) runs", proc.stderr)
    assert done and int(done.group(1)) > 0, proc.stderr[-2000:]
    print(f"\n{target}: {done.group(1)} executions")
