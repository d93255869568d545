"""Config.local() and a field read, next to a plain Python object doing the same, in one run.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_config.py
"""

import dataclasses
import timeit

from vennock import Config


@dataclasses.dataclass(frozen=True)
class Plain:
    """45 fields, validated by hand as a careful pure-Python config would be."""

    name: str = "n"
    bind: str = "127.0.0.1:7946"
    advertise: object = None
    cluster: str = "default"
    seeds: tuple = ()
    resolve_timeout: float = 30.0
    meta: tuple = ()
    key_ids: tuple = ()
    insecure_plaintext: bool = False
    probe_interval: float = 0.2
    probe_timeout: float = 0.1
    indirect_checks: int = 3
    tcp_fallback_ping: bool = False
    suspicion_mult: int = 3
    suspicion_max_mult: int = 6
    expected_confirmations: int = 3
    awareness_max: int = 8
    local_health: bool = True
    nacks: bool = True
    dynamic_suspicion: bool = True
    buddy_system: bool = True
    dead_reclaim: float = 30.0
    gossip_interval: float = 0.2
    gossip_nodes: int = 3
    gossip_to_the_dead: float = 30.0
    retransmit_mult: int = 4
    push_pull_interval: float = 15.0
    reconnect_interval: float = 30.0
    rejoin_interval: float = 60.0
    udp_max_payload: int = 1400
    max_stream_frame: int = 8388608
    max_meta_bytes: int = 512
    tcp_timeout: float = 10.0
    tcp_header_timeout: float = 1.0
    max_inbound_streams: int = 64
    max_inbound_streams_per_ip: int = 16
    max_inbound_bytes_per_ip: object = None
    join_retries: int = 3
    max_members: int = 8192
    max_new_members_per_packet: int = 1024
    max_user_message: int = 65536
    max_user_broadcast: int = 256
    user_broadcast_queue: int = 256
    event_buffer: int = 1024
    runtime_threads: int = 1

    def __post_init__(self):
        for f in dataclasses.fields(self):
            v = getattr(self, f.name)
            if f.type in (int, float) and v < 0:
                raise ValueError(f.name)
        if not 0 < self.probe_timeout < self.probe_interval:
            raise ValueError("probe_timeout")


def best(stmt, n):
    return min(timeit.repeat(stmt, number=n, repeat=7, globals=globals())) / n


def main():
    # The statements timed below read these as globals.
    globals().update(cfg=Config.local(name="n"), plain=Plain())
    rows = [
        ("construct", best("Config.local(name='n')", 2000), best("Plain()", 2000)),
        ("construct with 3 keywords", best("Config.local(name='n', probe_interval=0.5, gossip_nodes=4)", 2000),
         best("Plain(name='n', probe_interval=0.5, gossip_nodes=4)", 2000)),
        ("read a float field", best("cfg.probe_interval", 200000), best("plain.probe_interval", 200000)),
        ("read a list field", best("cfg.seeds", 200000), best("plain.seeds", 200000)),
    ]
    print(f"{'operation':<28}{'Config':>12}{'plain object':>14}{'ratio':>8}")
    for what, ours, theirs in rows:
        print(f"{what:<28}{ours * 1e9:>10.0f}ns{theirs * 1e9:>12.0f}ns{ours / theirs:>8.2f}")


if __name__ == "__main__":
    main()
