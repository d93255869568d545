"""vennock: cluster membership and failure detection."""

from ._errors import (
    ConfigError,
    JoinError,
    KeyringError,
    MessageTooLarge,
    MetaTooLarge,
    NotAMember,
    VennockClosed,
    VennockError,
)
from ._vennock import __version__, wire_version

__all__ = [
    "__version__",
    "wire_version",
    "VennockError",
    "VennockClosed",
    "ConfigError",
    "JoinError",
    "MetaTooLarge",
    "MessageTooLarge",
    "NotAMember",
    "KeyringError",
]
