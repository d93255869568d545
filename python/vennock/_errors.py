"""Exception classes raised by vennock.

The native module looks these classes up by name, so renaming one is a breaking change.
"""


class VennockError(Exception):
    """Base class of every error that vennock raises itself."""


class VennockClosed(VennockError):
    """The node is closed, has left the cluster, failed, or belongs to another process."""


class ConfigError(VennockError, ValueError):
    """A configuration value was refused; args are (message, field)."""

    @property
    def field(self):
        return self.args[1] if len(self.args) > 1 else None


class JoinError(VennockError):
    """No seed answered, or no seed resolved to an address."""


class MetaTooLarge(VennockError):
    """Encoded metadata is larger than max_meta_bytes."""


class MessageTooLarge(VennockError):
    """A message is larger than max_user_message, or a broadcast than max_user_broadcast."""


class NotAMember(VennockError):
    """The target is not a live member at that epoch."""


class KeyringError(VennockError):
    """A keyring change was refused."""


__all__ = [
    "VennockError",
    "VennockClosed",
    "ConfigError",
    "JoinError",
    "MetaTooLarge",
    "MessageTooLarge",
    "NotAMember",
    "KeyringError",
]
