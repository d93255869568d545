import base64
import datetime
import math

import pytest

from vennock import ConfigError
import vennock
from vennock._vennock import Config, generate_key

KEY = base64.b64encode(bytes(range(32))).decode()
KEYS_REASON = "are required unless insecure_plaintext is set, or local() binds loopback"

# Every readable field in dir() order, with its lan, wan and local defaults (None where it is
# the same for all three; "name" is random and checked apart).
FIELDS = [
    ("name", ...), ("bind", ("0.0.0.0:7946", "0.0.0.0:7946", "127.0.0.1:7946")), ("advertise", None),
    ("cluster", "default"), ("seeds", []), ("resolve_timeout", 30.0), ("meta", {}), ("key_ids", []),
    ("insecure_plaintext", False), ("probe_interval", (1.0, 5.0, 0.2)), ("probe_timeout", (0.5, 3.0, 0.1)),
    ("indirect_checks", 3), ("tcp_fallback_ping", (True, True, False)), ("suspicion_mult", (4, 6, 3)),
    ("suspicion_max_mult", 6), ("expected_confirmations", 3), ("awareness_max", 8), ("local_health", True),
    ("nacks", True), ("dynamic_suspicion", True), ("buddy_system", True), ("dead_reclaim", 30.0),
    ("gossip_interval", (0.2, 0.5, 0.2)), ("gossip_nodes", 3), ("gossip_to_the_dead", 30.0),
    ("retransmit_mult", 4), ("push_pull_interval", (30.0, 60.0, 15.0)), ("reconnect_interval", 30.0),
    ("rejoin_interval", 60.0), ("udp_max_payload", 1400), ("max_stream_frame", 8388608),
    ("max_meta_bytes", 512), ("tcp_timeout", 10.0), ("tcp_header_timeout", 1.0), ("max_inbound_streams", 64),
    ("max_inbound_streams_per_ip", 16), ("max_inbound_bytes_per_ip", None), ("join_retries", 3),
    ("max_members", 8192), ("max_new_members_per_packet", 1024), ("max_user_message", 65536),
    ("max_user_broadcast", 256), ("user_broadcast_queue", 256), ("event_buffer", 1024), ("runtime_threads", 1),
]
NAMES = [f for f, _ in FIELDS]


def refused(field, reason, **kw):
    with pytest.raises(ConfigError) as e:
        Config.local(**kw)
    assert e.value.args == (f"{field} {reason}", field)


@pytest.mark.parametrize("preset", ["lan", "wan", "local"])
def test_presets_hold_their_defaults(preset):
    cfg = getattr(Config, preset)(**({} if preset == "local" else {"keys": [KEY]}))
    i = ["lan", "wan", "local"].index(preset)
    assert cfg.preset == preset
    assert cfg.__dir__() == NAMES + ["preset", "replace", "lan", "wan", "local"]
    for field, default in FIELDS[1:]:
        want = default[i] if isinstance(default, tuple) else default
        if field == "key_ids" and preset != "local":
            want = [cfg.key_ids[0]]
        got = getattr(cfg, field)
        assert got == want and type(got) is type(want), field
    name = cfg.name
    assert name != getattr(Config, preset)(**({} if preset == "local" else {"keys": [KEY]})).name
    assert 1 <= len(name.encode()) <= 64 and name[-7] == "-"
    assert cfg.replace().name == name and cfg.replace().preset == preset


def test_plain_config_is_lan_and_keys_rule():
    for make in (Config, Config.lan, Config.wan):
        with pytest.raises(ConfigError) as e:
            make()
        assert e.value.args == (f"keys {KEYS_REASON}", "keys")
    assert Config(keys=[KEY]).preset == "lan"
    for bind in ("0.0.0.0:7946", "[::ffff:127.0.0.1]:7946"):
        refused("keys", KEYS_REASON, bind=bind)
    for bind in ("[::1]:7946", "127.9.9.9:0", " 127.0.0.1:7000 "):
        Config.local(bind=bind)
    with pytest.raises(ConfigError):
        Config.lan(bind="127.0.0.1:7946")
    Config.lan(insecure_plaintext=True)
    assert Config.lan(keys=[KEY], insecure_plaintext=True).key_ids == Config.lan(keys=[KEY]).key_ids
    with pytest.raises(ConfigError):
        Config.local().replace(bind="0.0.0.0:7946")
    with pytest.raises(TypeError):
        Config(1)


@pytest.mark.parametrize(
    "field,reason,values",
    [
        ("cluster", "must be a string", [None, 5, b"x"]),
        ("name", "must be a string or None", [5, b"x"]),
        ("bind", 'must be "host:port" with an IP address', [None, "localhost:7946", "1.2.3.4", "1.2.3.4:70000"]),
        ("advertise", 'must be "host:port" with an IP address, or None', ["host:1", 7]),
        ("meta", "must be a mapping of str to str", [[("a", "b")], {"a": 1}, {1: "a"}, 5]),
        ("insecure_plaintext", "must be True or False", [1, 0, "yes", None]),
        ("nacks", "must be True or False", [1]),
        ("gossip_nodes", "must be a non-negative integer", [-1, 2**64, 1.0, True, "3", None]),
        ("suspicion_mult", "must be a non-negative integer", [2**32, -1, False]),
        ("max_inbound_bytes_per_ip", "must be a non-negative integer or None", [-5, 1.5]),
        ("probe_interval", "must be seconds as a non-negative float, or a timedelta", [True, "1", None]),
        ("tcp_timeout", "must be seconds as a non-negative float, or a timedelta",
         [-1, math.nan, math.inf, 1e20, 2.0**64, datetime.timedelta(seconds=-1)]),
        ("seeds", 'must be a list of "host:port" strings, each host an IP address or a DNS name',
         ["1.2.3.4:5", 5, [b"1.2.3.4:5"], ["10.0.0.5"], ["::1:7946"], ["-bad.example:1"]]),
        ("keys", "must be a list of 32-byte keys, as bytes or base64 text",
         [bytes(32), KEY, [bytes(31)], [bytearray(32)], [base64.b64encode(bytes(31)).decode()]]),
    ],
)
def test_parsers_refuse_with_their_reason(field, reason, values):
    for v in values:
        refused(field, reason, **{field: v})


def test_parsers_accept_and_read_back():
    cfg = Config.local(
        probe_interval=1, probe_timeout=datetime.timedelta(milliseconds=250), gossip_interval=0.2,
        dead_reclaim=-0.0, tcp_header_timeout=0.000000001, rejoin_interval=0.0000000004,
        gossip_nodes=2**64 - 1, suspicion_mult=2**32 - 1, max_inbound_bytes_per_ip=None,
        seeds=["  10.0.0.1:7946 ", "[::1]:1", "node.example.:80", "300.1.1.1:5"],
        meta={"b": "1", "a": ""}, name=None, advertise=" [fe80::1%3]:7946 ",
    )
    assert (cfg.probe_interval, cfg.probe_timeout, cfg.dead_reclaim) == (1.0, 0.25, 0.0)
    assert (cfg.tcp_header_timeout, cfg.rejoin_interval) == (1e-9, 0.0)
    assert (cfg.gossip_nodes, cfg.suspicion_mult, cfg.max_inbound_bytes_per_ip) == (2**64 - 1, 2**32 - 1, None)
    assert cfg.seeds == ["10.0.0.1:7946", "[::1]:1", "node.example:80", "300.1.1.1:5"]
    assert list(cfg.meta.items()) == [("b", "1"), ("a", "")]
    assert cfg.advertise == "[fe80::1%3]:7946"
    assert Config.local(seeds=None).seeds == [] and Config.local(meta=None).meta == {}
    k1, k2 = generate_key(), bytes(range(1, 33))
    ids = Config.local(keys=[k1 + "\n", k2]).key_ids
    assert len(ids) == 2 and all(len(i) == 8 and set(i) <= set("0123456789abcdef") for i in ids)
    assert Config.local(keys=[k2, k1]).key_ids == ids[::-1]


def test_keyword_errors():
    with pytest.raises(TypeError, match=r'^unknown config field "probe_intervall"$'):
        Config.local(probe_intervall=1)
    for name in ("key_ids", "preset"):
        with pytest.raises(TypeError, match=f'^unknown config field "{name}"$'):
            Config.lan(**{name: []})
    with pytest.raises(TypeError, match=r'"a\\nb\\"'):
        Config.local(**{'a\nb"': 1})
    # The first bad keyword in call order is the one reported.
    refused("nacks", "must be True or False", nacks=1, gossip_nodes=-1)

    def broken():
        yield "1.2.3.4:5"
        raise KeyError("from the iterator")

    with pytest.raises(KeyError):
        Config.local(seeds=broken())


def test_attribute_protocol():
    cfg = Config.local(keys=[KEY])
    with pytest.raises(AttributeError, match="^keys are never readable from a config; read key_ids instead$"):
        cfg.keys
    with pytest.raises(AttributeError, match=r'^Config has no field "nope"$'):
        cfg.nope
    with pytest.raises(AttributeError):
        cfg.probe_interval = 2.0
    assert vennock.wire_version() == 1 and vennock.__version__ == "0.4.0"
    assert Config.__module__ == "vennock" and Config.__text_signature__ == "(**fields)"
    assert Config.lan.__text_signature__ == "($cls, **fields)"
    assert Config.__doc__.startswith("Settings for a cluster node, validated as a whole when built.\n\nPick")
    with pytest.raises(TypeError):
        type("Sub", (Config,), {})
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(cfg)


def test_a_config_is_read_only_and_says_how_to_change_one():
    cfg = Config.local(name="web-1", keys=[KEY])
    copy = "Config is read-only; make a changed copy with cfg.replace"
    for field, value in (("name", "web-2"), ("probe_interval", 2.0), ("keys", [KEY]), ("max_inbound_bytes_per_ip", None)):
        for change in (lambda: setattr(cfg, field, value), lambda: delattr(cfg, field)):
            with pytest.raises(AttributeError) as e:
                change()
            assert str(e.value) == f"{copy}({field}=...)"
    # What it says works, and the config itself never changed.
    assert cfg.replace(name="web-2").name == "web-2" and cfg.name == "web-1" and cfg.probe_interval == 0.2
    with pytest.raises(AttributeError, match=r"^Config is read-only; key_ids follow keys: .*cfg\.replace\(keys=\.\.\.\)$"):
        cfg.key_ids = []
    with pytest.raises(AttributeError, match=r"^Config is read-only; make one of another preset with Config\.lan"):
        cfg.preset = "wan"
    for name in ("nope", "replace", "__class__"):
        with pytest.raises(AttributeError, match=f'^Config is read-only and has no field "{name}"$'):
            setattr(cfg, name, 1)
    assert cfg.preset == "local" and cfg.key_ids == Config.local(keys=[KEY]).key_ids


def test_whole_check_order_and_limits():
    # Several refusals at once: only the first in check order is reported.
    with pytest.raises(ConfigError) as e:
        Config.lan(name="", runtime_threads=0)
    assert e.value.args[1] == "keys"
    refused("probe_interval", "must be positive", probe_interval=0, name="")
    refused("name", "must be 1 to 64 bytes", name="x" * 65)
    refused("name", "must be 1 to 64 bytes", name="é" * 33)
    refused("name", "must be 1 to 64 bytes", name="")
    Config.local(name="x" * 64)
    refused("meta", "keys must be non-empty", meta={"a": "1", "": "2"})

    class Twice:
        def items(self):
            return [("a", "1"), ("a", "2")]

    refused("meta", "keys must be unique", meta=Twice())
    refused("meta", "must encode to at most max_meta_bytes", meta={"a": "bb"}, max_meta_bytes=4)
    Config.local(meta={"a": "b"}, max_meta_bytes=4)
    refused("meta", "must encode to at most max_meta_bytes", meta={"k" * 128: ""}, max_meta_bytes=129)
    refused("runtime_threads", "must be at least 1", runtime_threads=0)
    refused("runtime_threads", "must be at most 1024", runtime_threads=2**40)
    Config.local(runtime_threads=1024)
    refused("max_inbound_streams", "must be at least 1", max_inbound_streams=0)
    refused("max_inbound_streams_per_ip", "must be at least 1", max_inbound_streams_per_ip=0)
    refused("max_inbound_bytes_per_ip", "must hold one max_stream_frame frame and its 4-byte length prefix",
            max_inbound_bytes_per_ip=8388611)
    Config.local(max_inbound_bytes_per_ip=8388612)
    refused("tcp_header_timeout", "must be positive", tcp_header_timeout=0)
    refused("event_buffer", "must be at least 1", event_buffer=0)
    refused("cluster", "must be at most 255 bytes", cluster="c" * 256)


def test_repr_shows_preset_fixed_fields_and_changes():
    cfg = Config.lan(keys=[KEY], name="n1", probe_interval=5.0, seeds=["1.2.3.4:5"])
    kid = cfg.key_ids[0]
    assert repr(cfg) == (
        f"Config.lan(name='n1', bind='0.0.0.0:7946', cluster='default', seeds=['1.2.3.4:5'], "
        f"key_ids=['{kid}'], probe_interval=5.0)"
    )
    assert repr(Config.wan(keys=[KEY], name="n", probe_interval=5.0)) == (
        f"Config.wan(name='n', bind='0.0.0.0:7946', cluster='default', seeds=[], key_ids=['{kid}'])"
    )
    assert "probe_interval=1.0" in repr(Config.local(probe_interval=1).replace())
    assert Config.local(probe_interval=1).preset == "local"
