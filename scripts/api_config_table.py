#!/usr/bin/env python3
"""Writes the table of Config fields in docs/api.md from the built package.

    PYTHONPATH=build/default/pkg .venv/bin/python scripts/api_config_table.py [--check]

The field names and their order, what each accepts (the text of the package's own refusal)
and the three presets' values are read from the package; only the meanings and units below
are written by hand. A field the package has and the meanings lack, or the other way round,
stops the script, so the table cannot fall behind the code. With --check nothing is written
and the exit status says whether docs/api.md holds what would be written.
"""

import pathlib
import sys

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "api.md"
BEGIN = "<!-- config-table begin: written by scripts/api_config_table.py, do not edit by hand -->"
END = "<!-- config-table end -->"
PRESETS = ("lan", "wan", "local")

# field: (unit, meaning). Markdown; keep each to one line.
MEANINGS = {
    "name": ("text, 1 to 64 bytes of UTF-8",
             "This node's name, unique in the cluster. Default: the host name (cut to 57 bytes), `-` and "
             "6 random hex digits, drawn anew for every config made without `name` (and for `name=None`)."),
    "bind": ("`ip:port`",
             "Where the UDP socket and the TCP listener are bound (one port for both). Port 0 takes a free "
             "port: read it back with `Node.local_addr()`. A host name is refused."),
    "advertise": ("`ip:port` or None",
                  "The address other members are told to reach this node at. None: the bound address when its "
                  "IP is given, else the IP that routes outward, else loopback."),
    "cluster": ("text, at most 255 bytes",
                "The cluster label. Nodes with different labels cannot talk: without keys their packets "
                "carry a hash of it, with keys it is part of what each packet authenticates."),
    "seeds": ("list of `host:port`",
              "Members to join through at start (and again every `rejoin_interval`, and by `join()` without "
              "arguments). A host may be an IP address or a DNS name."),
    "resolve_timeout": ("seconds",
                        "How long a join keeps looking up seed names that do not resolve (retrying after 0.25 s, "
                        "doubling up to 5 s) before it fails with `JoinError`."),
    "meta": ("mapping of str to str",
             "This node's metadata, sent with its member record to everyone; see [Metadata](#metadata). Read "
             "back as a dict."),
    "key_ids": ("list of 8 hex digits",
                "Read only: the ids of `keys`, in their order. The first key encrypts."),
    "keys": ("list of 32-byte keys",
             "Write only (reading raises `AttributeError`). The keyring the node starts with: `bytes` of 32 or "
             "base64 text (see `generate_key()`). The first key encrypts; all of them decrypt."),
    "insecure_plaintext": ("flag",
                           "Runs without keys where the preset would require them. Packets then travel in plain "
                           "text: anyone who reaches the port can join and speak as any member. No effect when "
                           "`keys` is given."),
    "probe_interval": ("seconds",
                       "Time between two probes this node sends; it probes one member at a time, in turn."),
    "probe_timeout": ("seconds",
                      "How long a probe waits for its answer before asking other members to probe indirectly. "
                      "Must be below `probe_interval`."),
    "indirect_checks": ("count",
                        "Members asked to probe a member that did not answer."),
    "tcp_fallback_ping": ("flag",
                          "Also probe a member that did not answer over a TCP stream (gets through where UDP is "
                          "filtered)."),
    "suspicion_mult": ("multiplier",
                       "The shortest suspicion lasts `suspicion_mult × max(1, log10(members)) × probe_interval` "
                       "before a suspect is declared dead."),
    "suspicion_max_mult": ("multiplier",
                           "The longest suspicion, as a multiple of the shortest; confirmations from other "
                           "members shorten it towards the shortest."),
    "expected_confirmations": ("count",
                               "Independent accusers after which a suspicion runs for its shortest time."),
    "awareness_max": ("count",
                      "Ceiling of this node's local-health score (`stats()['local_health']`), which stretches its "
                      "probe interval and timeout by `score + 1` while its own link or host is struggling."),
    "local_health": ("flag", "Turns the local-health score on."),
    "nacks": ("flag",
              "Helpers of an indirect probe answer with a negative acknowledgement, so a node can tell its own "
              "link failing from the target failing."),
    "dynamic_suspicion": ("flag",
                          "Suspicions start long and shrink with every independent confirmation; off: every "
                          "suspicion lasts the shortest time."),
    "buddy_system": ("flag",
                     "A member that suspects another also tells the suspect, so it can refute at once."),
    "dead_reclaim": ("seconds",
                     "How long a dead or left member's name stays taken before a different node may use it."),
    "gossip_interval": ("seconds",
                        "Time between two rounds of gossip. At most `probe_interval`."),
    "gossip_nodes": ("count", "Members sent gossip each round."),
    "gossip_to_the_dead": ("seconds",
                           "How long members declared dead still get gossip, so one declared dead wrongly hears "
                           "of it and refutes. A member held left gets no gossip but its own departure, once from "
                           "each of three members."),
    "retransmit_mult": ("multiplier",
                        "Each piece of news is sent `retransmit_mult × ceil(log10(members + 1))` times."),
    "push_pull_interval": ("seconds",
                           "Time between two full state exchanges with a random member (stretched above 32 "
                           "members); 0 turns them off."),
    "reconnect_interval": ("seconds",
                           "Time between two attempts to exchange state with a member believed dead (heals "
                           "partitions); 0 turns them off."),
    "rejoin_interval": ("seconds",
                        "Time between two joins of the configured seeds that are not live members. A node "
                        "whose seeds were not up when it started runs alone until the first of them: lower "
                        "it for rolling starts (see [Starting a node](#starting-a-node)); 0 turns them off."),
    "udp_max_payload": ("bytes",
                        "Largest datagram sent or accepted. The same in the whole cluster."),
    "max_stream_frame": ("bytes",
                         "Largest frame sent or accepted on a TCP stream (full state exchanges, large messages)."),
    "max_meta_bytes": ("bytes",
                       "Largest encoded metadata of this node; see [Metadata](#metadata)."),
    "tcp_timeout": ("seconds", "How long a TCP stream may stay open for one exchange."),
    "tcp_header_timeout": ("seconds",
                           "How long an inbound TCP stream may take to deliver its first packet header."),
    "max_inbound_streams": ("count", "Inbound TCP streams held at once; the oldest goes first."),
    "max_inbound_streams_per_ip": ("count", "Inbound TCP streams held at once from one IP address."),
    "max_inbound_bytes_per_ip": ("bytes or None",
                                 "Bytes that inbound streams from one IP address may buffer. None: one "
                                 "`max_stream_frame` frame and its 4-byte prefix."),
    "join_retries": ("count", "Attempts per seed address in a join before it counts as silent."),
    "max_members": ("count", "Members this node holds at most (its own record included)."),
    "max_new_members_per_packet": ("count", "New members one packet may add."),
    "max_user_message": ("bytes",
                         "Largest `send()` payload; one that does not fit a datagram goes over TCP."),
    "max_user_broadcast": ("bytes",
                           "Largest `broadcast()` payload; it must fit one datagram beside a probe."),
    "user_broadcast_queue": ("count",
                             "Broadcasts queued for gossip; beyond it the most-sent one is dropped."),
    "event_buffer": ("count",
                     "Events each subscription holds before the oldest is dropped (reported as `EventsLost`)."),
    "runtime_threads": ("threads",
                        "Worker threads of the process-wide runtime, at most 1024. Fixed by the first use in "
                        "the process; a later start asking for another count keeps it (the first such start "
                        "logs a warning)."),
}


def fields(Config):
    """The readable fields in the package's own order, then the write-only ones (settable with
    None, never readable)."""
    listed = Config.local().__dir__()
    readable = listed[: listed.index("preset")]
    write_only = []
    for name in MEANINGS:
        if name in readable:
            continue
        Config.local(**{name: None})  # raises TypeError when the package has no such field
        try:
            getattr(Config.local(), name)
        except AttributeError:
            write_only.append(name)
        else:
            raise SystemExit(f"{name} is readable but missing from dir()")
    return readable, write_only


def accepts(vennock, name):
    """What `name` accepts, in the words of the package's own refusal."""
    Config, ConfigError = vennock.Config, vennock.ConfigError
    try:
        Config.local(**{name: object()})
    except TypeError:
        return "read only"
    except ConfigError as e:
        message, field = e.args
        prefix = f"{name} must be "
        assert field == name and message.startswith(prefix), e.args
        text = message[len(prefix):]
    else:
        raise SystemExit(f"{name} accepts any object")
    if text.startswith("a non-negative integer"):
        text += f" ({32 if narrow(vennock, name) else 64}-bit)"
    return text


def narrow(vennock, name):
    """A 32-bit integer field refuses 2**32 as it refuses a non-integer."""
    try:
        vennock.Config.local(**{name: 2**32})
    except vennock.ConfigError as e:
        return e.args[0].startswith(f"{name} must be a non-negative integer")
    return False


def defaults(vennock, preset):
    """The preset's value of every readable field: lan and wan need keys (or insecure_plaintext) to
    be made, so each field is read from the config that did not set it."""
    make = getattr(vennock.Config, preset)
    with_keys = make(keys=[vennock.generate_key()])
    plain = make(insecure_plaintext=True)
    again = make(insecure_plaintext=True)

    def value(name):
        a, b = getattr(with_keys, name), getattr(plain, name)
        if getattr(again, name) != b:
            return "*random*"
        # with_keys set `keys` (read back as `key_ids`), plain set `insecure_plaintext`.
        return f"`{a if name == 'insecure_plaintext' else b!r}`"

    return value


def table(vennock):
    readable, write_only = fields(vennock.Config)
    missing = [n for n in readable + write_only if n not in MEANINGS]
    if missing:
        raise SystemExit(f"no meaning written for {', '.join(missing)}")
    values = {p: defaults(vennock, p) for p in PRESETS}
    rows = ["| field | accepts | unit | " + " | ".join(PRESETS) + " | meaning |",
            "|---|---|---|" + "---|" * len(PRESETS) + "---|"]
    for name in readable + write_only:
        unit, meaning = MEANINGS[name]
        took = accepts(vennock, name)
        if ("seconds" in took) != (unit == "seconds"):
            raise SystemExit(f"{name}: unit {unit!r} does not match what it accepts ({took})")
        cells = [values[p](name) if name in readable else "not readable" for p in PRESETS]
        rows.append(f"| `{name}` | {took} | {unit} | " + " | ".join(cells) + f" | {meaning} |")
    return "\n".join(rows)


def rewritten(doc, vennock):
    head, sep, rest = doc.partition(BEGIN)
    _, sep2, tail = rest.partition(END)
    if not sep or not sep2:
        raise SystemExit(f"{DOC} lacks the marks {BEGIN!r} and {END!r}")
    return f"{head}{BEGIN}\n{table(vennock)}\n{END}{tail}"


def main(argv):
    import vennock

    doc = DOC.read_text()
    new = rewritten(doc, vennock)
    if "--check" in argv:
        if new != doc:
            print(f"{DOC}: the Config table differs from the package; run {sys.argv[0]}", file=sys.stderr)
            return 1
        return 0
    if new != doc:
        DOC.write_text(new)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
