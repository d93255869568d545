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
from ._vennock import (
    Config,
    EventSub,
    Node,
    __version__,
    drain_logs,
    generate_key,
    route_to_python,
    route_to_stderr,
    wait_logs,
    wait_logs_blocking,
    wire_version,
)

__all__ = [
    "__version__",
    "Config",
    "Node",
    "EventSub",
    "wire_version",
    "generate_key",
    "route_to_python",
    "route_to_stderr",
    "drain_logs",
    "wait_logs",
    "wait_logs_blocking",
    "VennockError",
    "VennockClosed",
    "ConfigError",
    "JoinError",
    "MetaTooLarge",
    "MessageTooLarge",
    "NotAMember",
    "KeyringError",
]
