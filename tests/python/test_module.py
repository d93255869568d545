import vennock
from vennock import _errors


def test_module_identity():
    assert vennock.wire_version() == 1
    assert vennock.__version__ == "0.4.0"


def test_error_hierarchy():
    for name in _errors.__all__:
        cls = getattr(_errors, name)
        assert issubclass(cls, _errors.VennockError)
    err = _errors.ConfigError("probe_interval must be positive", "probe_interval")
    assert isinstance(err, ValueError)
    assert err.args == ("probe_interval must be positive", "probe_interval")
    assert err.field == "probe_interval"
