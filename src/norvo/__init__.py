"""Norvo: a code-base index and dependency firewall for Python projects."""

from norvo.norvo_native import (  # noqa: F401
    ArtifactKind,
    Atlas,
    __version__,
    compute_file_hash,
    init_logging,
    version,
)

try:  # the firewall class is part of every full build
    from norvo.norvo_native import Firewall  # noqa: F401
except ImportError:  # pragma: no cover
    pass
