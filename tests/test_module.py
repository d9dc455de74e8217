import importlib
import inspect
import os
import subprocess
import sys
import threading

import pytest

from norvo import norvo_native as nn


def test_module_attributes_and_order():
    assert nn.__all__[:6] == ["__version__", "Atlas", "ArtifactKind", "version", "init_logging", "compute_file_hash"]
    assert nn.__all__[-1] == "Firewall"
    assert nn.__version__ == nn.version() == "0.1.3"
    assert nn.__doc__.startswith("Python module definition.\n\nExposes:\n- Atlas: Main class")
    assert importlib.import_module("norvo.norvo_native") is nn


@pytest.mark.parametrize(
    "fn, sig, body_start",
    [
        (nn.version, "()", "Get the version of the norvo_native module."),
        (nn.init_logging, "(level=None)", "Initialize logging for the Norvo library."),
        (nn.compute_file_hash, "(file_path)", "Compute the blake3 hash of a file."),
    ],
)
def test_function_signatures_and_docstrings(fn, sig, body_start):
    assert str(inspect.signature(fn)) == sig
    assert fn.__doc__.startswith(body_start)


def test_compute_file_hash(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    assert nn.compute_file_hash(str(empty)) == "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"
    a, b = tmp_path / "a.bin", tmp_path / "other-name.bin"
    data = os.urandom(300_000)  # spans several internal chunks
    a.write_bytes(data)
    b.write_bytes(data)
    h = nn.compute_file_hash(file_path=str(a))
    assert h == nn.compute_file_hash(str(b))
    assert len(h) == 64 and set(h) <= set("0123456789abcdef")


def test_compute_file_hash_errors(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as e:
        nn.compute_file_hash("missing/file.txt")
    assert str(e.value) == "Failed to read missing/file.txt: No such file or directory (os error 2)"
    assert e.value.errno is None
    with pytest.raises(TypeError, match=r"^argument 'file_path': 'int' object cannot be cast as 'str'$"):
        nn.compute_file_hash(123)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: nn.compute_file_hash(), "compute_file_hash() missing 1 required positional argument: 'file_path'"),
        (lambda: nn.version(1), "version() takes 0 positional arguments but 1 was given"),
        (lambda: nn.compute_file_hash("a", "b"), "compute_file_hash() takes 1 positional arguments but 2 were given"),
        (lambda: nn.compute_file_hash("a", file_path="b"), "compute_file_hash() got multiple values for argument 'file_path'"),
        (lambda: nn.init_logging(lvl="x"), "init_logging() got an unexpected keyword argument 'lvl'"),
        (lambda: nn.init_logging(5), "argument 'level': 'int' object cannot be cast as 'str'"),
        (lambda: nn.Atlas(), "Atlas.__new__() missing 1 required positional argument: 'project_root'"),
        (lambda: nn.Atlas(b"/tmp"), "argument 'project_root': 'bytes' object cannot be cast as 'str'"),
    ],
)
def test_binding_type_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_lone_surrogate_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        nn.compute_file_hash("\udcff")


def test_artifact_kind():
    expected = {
        "FUNCTION": "function", "ASYNC_FUNCTION": "async_function", "CLASS": "class", "METHOD": "method",
        "ENDPOINT": "endpoint", "CONTRACT": "contract", "MODEL": "model", "CONSTANT": "constant",
    }
    for attr, text in expected.items():
        value = getattr(nn.ArtifactKind, attr)
        assert type(value) is str and value == text
    with pytest.raises(TypeError):
        nn.ArtifactKind.FUNCTION = "x"
    with pytest.raises(TypeError):
        nn.Atlas.scan = None
    assert nn.ArtifactKind.__doc__ == "Artifact kind enumeration exposed to Python.\n\nRepresents the classification of a code artifact."


def test_atlas_text_forms(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    atlas = nn.Atlas(".")
    assert repr(atlas) == str(atlas) == "Atlas(project_root='.')"
    assert atlas.project_root == "."
    assert str(inspect.signature(nn.Atlas)) == "(project_root)"
    assert "Norvo codebase indexing" in nn.Atlas.__doc__
    assert str(inspect.signature(nn.Atlas.search)) == "(self, /, query, limit=None)"


def test_atlas_is_bound_to_its_thread(tmp_path):
    atlas = nn.Atlas(str(tmp_path))
    caught = []

    def use():
        try:
            atlas.count()
        except BaseException as exc:  # the failure class is not an Exception
            caught.append(exc)

    t = threading.Thread(target=use)
    t.start()
    t.join()
    (exc,) = caught
    assert not isinstance(exc, Exception)
    assert "norvo_native::Atlas is unsendable, but sent to another thread" in str(exc)


def test_atlas_dropped_on_another_thread_reports_unraisable(tmp_path):
    code = f"""
import sys, threading
from norvo import norvo_native as nn
seen = []
sys.unraisablehook = lambda u: seen.append(str(u.exc_value))
holder = [nn.Atlas({str(tmp_path)!r})]
t = threading.Thread(target=holder.clear)
t.start(); t.join()
print(seen)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "norvo_native::Atlas is unsendable, but is being dropped on another thread" in out


def test_failure_exception_is_base_exception_not_exception(tmp_path):
    atlas = nn.Atlas(str(tmp_path))
    result = []
    t = threading.Thread(target=lambda: result.append(_classify(atlas.health)))
    t.start()
    t.join()
    assert result == ["base"]


def _classify(fn):
    try:
        fn()
    except Exception:
        return "exception"
    except BaseException:
        return "base"
    return "none"
