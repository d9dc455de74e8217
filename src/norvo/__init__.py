"""Norvo: a code-base index and dependency firewall for Python projects."""

from norvo.norvo_native import (
    ArtifactKind,
    Atlas,
    Firewall,
    __version__,
    compute_file_hash,
    init_logging,
    version,
)

__all__ = ["ArtifactKind", "Atlas", "Firewall", "__version__", "compute_file_hash", "init_logging", "version"]
