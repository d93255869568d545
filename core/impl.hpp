// The engine's internal state, shared by the modules that implement Node.
#pragma once

#include <array>
#include <bitset>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/broadcast.hpp"
#include "core/clocks.hpp"
#include "core/lib.hpp"
#include "core/replay.hpp"
#include "core/rng.hpp"
#include "core/table.hpp"
#include "proto/message.hpp"
#include "proto/stream.hpp"

namespace vennock::core {

// How far a packet's stamp may lie from this node's wall-clock estimate (either way), and
// how many nonces the replay window remembers at most.
inline constexpr uint64_t REPLAY_WINDOW_MS = 120'000;
inline constexpr size_t REPLAY_NONCES = 1 << 17;
// How long after disowning a later life of its own a node disowns another (or the same one
// refuted at a newer incarnation); doubled each time the same life is refuted again, so
// neither two nodes at one address nor a forger naming a later life every second can keep
// the cluster busy.
inline constexpr uint64_t DISOWN_WAIT_NS = 120ULL * 1'000'000'000;
// Dead and left members stay in the table this long: for reconnects after a partition, and
// so that a stale record of them cannot bring them back.
inline constexpr uint64_t DEAD_RETENTION_NS = 6ULL * 3600 * 1'000'000'000;
// Clock-skew reports: at most SKEW_BURST at once, one more every SKEW_EVERY_NS; the peers
// reported are remembered in a table of SKEW_PEERS places by address, and one whose clock
// stays off is reported again after SKEW_AGAIN_NS, so the log says so for as long as it lasts.
inline constexpr uint64_t SKEW_BURST = 5;
inline constexpr uint64_t SKEW_EVERY_NS = 12ULL * 1'000'000'000;
inline constexpr size_t SKEW_PEERS = 1024;
inline constexpr uint64_t SKEW_AGAIN_NS = 300ULL * 1'000'000'000;
// Bounds on state that strangers could otherwise inflate.
inline constexpr size_t MAX_RELAYS = 1024;
inline constexpr size_t MAX_INBOUND_STREAMS = 4096;
inline constexpr size_t BROADCAST_WINDOW = 1024;
// At most this many members that joined through this node lately are remembered (see
// Node::Impl::joiners).
inline constexpr size_t MAX_JOINERS = 16;
// How many members tell a member held left of its departure (see Node::Impl::tell_departed).
inline constexpr size_t DEPARTURE_TELLERS = 3;

// now + d for deadlines: saturating, and never 0 (which means "not scheduled").
inline uint64_t later(uint64_t now, uint64_t d) {
  uint64_t t = now + d;
  if (t < now || t == UINT64_MAX) t = UINT64_MAX - 1;
  return t == 0 ? 1 : t;
}

struct Node::Impl {
  // --- construction
  Impl(Config c, Identity id, uint64_t now, uint64_t seed, std::span<const uint8_t, 32> nonce_key);

  Config cfg;
  proto::Codec codec;
  Rng rng;
  Member self;
  uint64_t now_ = 0;
  // The latest wall-clock reading (milliseconds) and the engine time it was taken at: the
  // wall estimate counts on from it. Until the runtime hands in a reading, the start epoch at
  // creation.
  uint64_t wall_read_ms = 0;
  uint64_t wall_read_at = 0;
  // The epoch this node started with (the wall clock then). Its epoch moves past an earlier
  // life of its own that the cluster still holds (see outlive), this does not.
  uint64_t start_epoch = 0;
  bool outlived = false;  // it did (once per life)
  // The clocks of the members heard since our wall clock last moved, and the senders whose
  // lives we refused for our clock: every clock judgement is made there (see Clocks).
  Clocks clocks;
  // A Ping for this node's name reached it: it is what answers at its address. Until then a
  // later live life at its address may be a node that does (two nodes made to advertise one
  // address), and is only remembered: the highest epoch, its incarnation, and when it is
  // reported as a name conflict if no Ping comes.
  bool probed = false;
  uint64_t pending_epoch = 0;
  uint32_t pending_inc = 0;
  uint64_t pending_report = 0;
  // The latest later life of ours disowned (its departure gossiped), and when another may be.
  uint64_t disowned_epoch = 0;
  uint32_t disowned_inc = 0;
  uint64_t disown_again = 0;
  uint64_t disown_wait = 0;
  // The latest later life heard of meanwhile, disowned once the wait is over (0: none).
  uint64_t owed_epoch = 0;
  uint32_t owed_inc = 0;
  // When our Alive goes out again, for the members that hold a disowned life gone: once it has
  // been gone for dead_reclaim, they take our own life back from it.
  uint64_t reassert_at = 0;
  Counters counters;
  uint32_t lhm = 0;
  uint64_t last_heard = 0;   // when a packet from another node last passed intake
  uint64_t last_answer = 0;  // when an Ack or a Nack last came (someone heard this node)
  // Probes in a row that got no answer of any kind (no Ack, relayed or direct, no Nack).
  uint32_t silent_probes = 0;
  // Until when an accusation of this node heard since the last answer stands (see unheard):
  // a suspicion for as long as its accuser could take to declare a death, a death for good.
  // 0: none.
  uint64_t accused_until = 0;
  uint64_t version = 1;

  Table table;
  GossipQueue gossip;
  ReplayWindow replay{REPLAY_WINDOW_MS, REPLAY_NONCES};

  std::deque<Transmit> transmits;
  std::deque<Event> events;
  std::deque<ClockSkew> skews;
  // Peers reported for a clock skew, until their packets come within the window again: one
  // place per address hash, a newcomer taking the place of the one there, so that forged
  // addresses cost neither memory nor an allocation each.
  struct Skewed {
    proto::SocketAddr addr;
    uint64_t at = 0;  // when it was reported (or left out)
  };
  std::array<std::optional<Skewed>, SKEW_PEERS> skewed{};
  size_t skewed_count = 0;
  // The reports are rationed (at most SKEW_BURST at once, one per SKEW_EVERY_NS after): when
  // the next one may go (`skew_tat` less the burst), and the reports left out since the last
  // one, the latest of them kept to be made once the ration allows.
  uint64_t skew_tat = 0;
  uint64_t skews_left_out = 0;
  ClockSkew skew_left{};
  CommandId next_command = 1;

  // --- scratch buffers reused across packets
  proto::Bytes scratch_payload;
  proto::Bytes scratch_packet;

  // --- probing
  // A member asked to probe for us, with nacks: whether its Nack came, and whether anything
  // else from it did since it was asked (it lives, so a missing Nack is our link's fault).
  struct Helper {
    proto::SocketAddr addr;  // as advertised (on the wire)
    std::string name;
    uint64_t epoch = 0;
    bool nacked = false;
    bool heard = false;
  };
  struct Probe {
    bool active = false;
    uint32_t slot = 0, gen = 0;
    std::string name;
    uint64_t epoch = 0;
    uint32_t seq = 0;
    uint64_t started = 0;
    uint64_t timeout_at = 0;  // direct ack due; then indirect probes
    uint64_t end_at = 0;      // end of the protocol period
    bool acked = false;
    bool indirect = false;
    uint32_t expected_nacks = 0;
    uint32_t nacks = 0;
    bool alone = false;  // no member but the target to ask
    bool gone = false;   // the target died or left before the probe timed out
    uint64_t asked_at = 0;
    std::vector<Helper> helpers;  // asked with nacks
    StreamId tcp = 0;
  } probe;
  // A failed probe's Nacks, still counted for one more period: a helper answers only after
  // its own probe timeout, which may well end after our period does.
  struct NackTally {
    uint32_t seq = 0, expected = 0, got = 0;
    uint64_t asked_at = 0;
    std::vector<Helper> helpers;
  };
  std::optional<NackTally> nack_tally;
  // This node's check of itself: a Ping to its own socket, answered within milliseconds
  // unless its inputs wait unread (a stalled process). It goes to `check_addr`, the loopback
  // address the runtime gave (Identity::loopback), else the advertised one. The one in flight
  // (seq 0: none), and when the latest one that came back in time was sent.
  proto::SocketAddr check_addr;
  uint32_t self_seq = 0;
  uint64_t self_sent = 0, self_due = 0, self_ok_at = 0;
  // Nacks missed by helpers not heard from since, while this node's own inputs were handled
  // in time: charged to local health if that life of the helper is heard from by `until`
  // (it lived, so the Nack was lost or late), never if it crashed. By advertised address.
  struct Debt {
    std::string name;
    uint64_t epoch = 0;
    uint32_t count = 0;
    uint64_t until = 0;
  };
  std::map<proto::SocketAddr, Debt> debts;
  std::vector<std::pair<uint32_t, uint32_t>> probe_order;  // (slot, gen), shuffled per round
  size_t probe_idx = 0;
  uint64_t next_probe = 0;  // 0: not scheduled
  uint32_t seq = 0;

  // Pings this node sent for others (IndirectPing), by the seq of its own Ping.
  struct Relay {
    proto::SocketAddr requester;
    std::string requester_name;
    uint32_t requester_seq = 0;
    bool nack = false;
    uint64_t deadline = 0;
  };
  std::unordered_map<uint32_t, Relay> relays;
  std::deque<std::pair<uint64_t, uint32_t>> relay_deadlines;  // (deadline, seq), in time order

  // --- suspicion timers: (deadline, slot)
  std::set<std::pair<uint64_t, uint32_t>> susp_timers;
  // --- suspects this node will check itself next: (time, slot)
  std::set<std::pair<uint64_t, uint32_t>> nudge_timers;
  // --- checks of suspects waiting for their Ack, by the seq of their Ping; each for at most
  // a probe timeout, so there are never more than one or two per suspect
  struct Check {
    uint32_t slot = 0, gen = 0, incarnation = 0;
  };
  std::unordered_map<uint32_t, Check> checks;
  std::deque<std::pair<uint64_t, uint32_t>> check_deadlines;  // (due, seq), in time order
  // --- gone entries leaving the table: (expiry, slot)
  std::set<std::pair<uint64_t, uint32_t>> expiries;

  // --- members held left whose departure is in the gossip queue, (slot, gen): the few
  // members ranked first for each tell it of its departure (see tell_departed)
  std::vector<std::pair<uint32_t, uint32_t>> departed;

  // --- periodic timers
  uint64_t next_gossip = 0;
  uint64_t next_push_pull = 0;
  bool push_pull_spread = false;  // the first push-pull tick was spread over the stretched interval
  uint64_t next_reconnect = 0;

  // --- streams
  enum class StreamKind : uint8_t { Inbound, PushPull, Join, TcpPing, User };
  struct Stream {
    StreamKind kind = StreamKind::Inbound;
    // Whom its frames are sealed for: the member at the other end, or (a join through a
    // seed whose name is not known yet) the address dialed. An inbound stream learns its
    // peer's name from the first frame.
    std::string peer;
    std::optional<proto::SocketAddr> dialed;
    // Streams this node opened: the address dialed, to which its frames' clocks are attributed.
    std::optional<proto::SocketAddr> remote;
    uint64_t deadline = 0;
    CommandId join = 0;
    uint32_t seed = 0;
    uint32_t ping_seq = 0;
    uint32_t user_msgs = 0;
    std::string member;  // user streams: the target's name
    bool deferred = false;  // a join whose answer waits for our own join (defer_answer)
  };
  std::unordered_map<StreamId, Stream> streams;
  std::set<std::pair<uint64_t, StreamId>> stream_deadlines;
  StreamId next_stream = 1;
  size_t inbound_streams = 0;

  // --- join commands
  struct JoinOp {
    std::vector<proto::SocketAddr> seeds;
    std::vector<uint32_t> attempts;
    std::vector<uint8_t> settled;  // 0 pending, 1 answered, 2 silent
    size_t open = 0;               // seeds not settled yet
    uint64_t answered = 0;
  };
  std::map<CommandId, JoinOp> joins;
  std::set<std::tuple<uint64_t, CommandId, uint32_t>> join_retries;
  // Whether a join of this life was answered. Until one is, a node that is joining knows
  // little beyond the members that reached it directly: it is thin().
  bool joined = false;
  std::string joined_via;  // the member that answered it
  uint64_t joined_at = 0;   // when
  // Until when a join under way leaves this node thin() (thin_span() from its start). A join
  // normally completes in milliseconds, or a few seconds when connection attempts are lost;
  // one through a seed that accepts and never answers (or whose host drops connection
  // attempts) takes join_retries × tcp_timeout, and holding our news that long kept the
  // members joining through us unaware of each other for half a minute.
  uint64_t thin_until = 0;
  // Our news went out before our join was answered: the news of our joiners went only to the
  // few members we knew, and goes out again once the join is answered.
  bool thin_lapsed = false;
  // The members that joined through this node lately (for push_pull_interval), knowing nobody
  // else: what they know of the cluster is what we knew when we answered, and what gossip
  // brings them (see tell_joiners).
  struct Joiner {
    std::string name;
    uint64_t epoch = 0;
    uint64_t since = 0;
    bool tell = false;  // news it may lack came: it is among the next gossip round's targets
    bool answered_thin = false;  // answered before our own join was (pass_table_on)
  };
  std::vector<Joiner> joiners;
  // Whether a member joined through us within the last push_pull_interval.
  bool recent(const Joiner& j) const { return now_ - j.since < cfg.push_pull_interval.as_nanos(); }
  // A joiner answered before our own join was: it gets our table once ours is answered.
  void mark_answered_thin(std::string_view name) {
    for (Joiner& j : joiners)
      if (j.name == name) j.answered_thin = true;
  }

  // --- user messages over streams, per target member
  struct UserQueue {
    StreamId active = 0;
    std::deque<proto::Bytes> waiting;  // encoded UserMessage payloads
  };
  std::unordered_map<std::string, UserQueue> user_queues;
  uint64_t waiting_bytes = 0;

  // --- broadcasts
  uint64_t broadcast_seq = 0;
  struct Window {
    bool used = false;
    uint64_t epoch = 0;
    uint64_t max = 0;
    std::bitset<BROADCAST_WINDOW> bits;  // bit i: seq max - i seen
  };
  // Two lives of an origin at a time: the one the table holds and one other, so that a
  // broadcast naming a life the table does not hold (a forgery, or a restart not heard of
  // yet) cannot end the window of the life it does.
  struct Seen {
    std::array<Window, 2> w;
  };
  std::unordered_map<std::string, Seen> seen;
  std::deque<std::string> seen_order;

  // --- name conflicts already reported: name -> the other address
  std::unordered_map<std::string, proto::SocketAddr> conflicts;

  // --- leave: every leave command that arrived while the departure was being gossiped, oldest
  // first; all complete together once the news has gone out.
  std::vector<CommandId> leave_pending;

  // Gossip queue keys: news of a member replaces older news of it; broadcasts are their own.
  static std::string member_key(const std::string& name) { return "m" + name; }

  // ==== helpers (lib.cpp)
  uint64_t wall_ms() const;
  // The latest epoch this node takes as a life of a member: EPOCH_LEAD_MS past its wall clock.
  uint64_t epoch_limit() const;
  uint64_t scaled(const Duration& d) const;
  void changed() { ++version; }
  void emit(Event e) { events.push_back(std::move(e)); }
  void complete(CommandId id, Outcome o) { emit(event::Completed{id, std::move(o)}); }
  size_t payload_budget() const;
  uint32_t retransmit_limit() const;
  // How the gossip queue tells members apart: by table slot and generation.
  GossipQueue::Recipient recipient(uint32_t slot) const;
  // Where a packet of the gossip timer to the member in `slot` goes in the gossip queue's terms.
  GossipQueue::Dest dest_to(uint32_t slot) const;
  // Where a packet to `to`, sealed for the member `to_name`, goes in the gossip queue's terms.
  GossipQueue::Dest dest_of(const proto::SocketAddr& to, std::string_view to_name) const;
  // Seals `payload` (gossip appended first when `piggyback`) for the member `to_name` and
  // queues it as a datagram to `to`.
  void send_packet(const proto::SocketAddr& to, std::string_view to_name, proto::Bytes& payload, bool piggyback);
  // Seals `payload` into a frame on a stream; false when it exceeds max_stream_frame.
  bool send_frame(StreamId id, const proto::Bytes& payload);
  // Opens a stream to the member `peer` at `to`; with no name, its frames are addressed to
  // `to` itself (a join through a seed).
  StreamId open_stream(const proto::SocketAddr& to, StreamKind kind, std::string peer);
  void close_stream(StreamId id);
  void forget_stream(StreamId id);
  void set_stream_deadline(StreamId id, uint64_t deadline);
  void check_leave_done();

  // ==== intake (lib.cpp)
  struct Ctx {
    std::optional<proto::SocketAddr> from;  // datagrams
    std::optional<StreamId> stream;         // stream frames
    size_t new_members = 0;
    // Set while merging the records of a State other than its sender's own.
    bool from_state = false;
    // Merging the answer to our own join: the seed is news to us, not to the cluster it is in.
    bool join_answer = false;
    // Merging a State's first record: its sender's own; and whether the State taught us a
    // member (quietly).
    bool own_record = false;
    bool learned_quietly = false;
    // A life was refused for lying more than a day past our clock.
    bool refused_ahead = false;
    // Nodes put one Ping or IndirectPing in a packet. Only the first of each is answered, so
    // one packet stuffed with probe requests cannot make this node send thousands of packets
    // (to a forged source address, or to any target address it names).
    bool pinged = false;
    bool relayed = false;
  };
  // Opens and decodes one packet; false when it was refused (and counted). `join_addrs`:
  // the addresses under which a packet addressed by address is for this node (only the
  // first frame of an inbound stream, a join, may be).
  bool intake(std::span<uint8_t> packet, bool datagram, std::vector<proto::Message>& out,
              std::span<const proto::SocketAddr> join_addrs = {}, const proto::SocketAddr* from = nullptr);
  // Measures a packet's stamp against the wall clock: a peer whose clock is off by more than
  // the window that matters is reported once (the replay window refuses such packets).
  void note_skew(uint64_t stamp_ms, bool encrypted, const proto::SocketAddr& from);
  // Queues a clock-skew report if the ration allows, else counts it left out.
  void report_skew(ClockSkew c);
  // The latest report left out, with the count of the others, once the ration allows.
  void skew_timeout();
  // When the ration next allows a report.
  uint64_t skew_ration_at() const {
    const uint64_t burst = (SKEW_BURST - 1) * SKEW_EVERY_NS;
    return skew_tat > burst ? skew_tat - burst : 0;
  }

  // ==== clocks put right (clocks.cpp)
  // Notes the clock of a packet taken from `from` (not our own check of ourselves).
  void note_clock(const proto::SocketAddr& from, uint64_t stamp_ms);
  // The wall clock of the slowest clock heard from lately, ours included.
  uint64_t slowest_wall_ms() const;
  // How many senders a clock judgement needs at least.
  size_t clock_quorum() const;
  // Whether a life we hold lies more than a day past our clock and most clocks we hear: its
  // node's life at its clock, earlier, takes its place (see on_alive).
  bool held_beyond_clocks(const Entry& e) const;
  // A State was merged: its sender is remembered when lives in it were refused for our clock,
  // forgotten when none was.
  void note_refusals(const proto::State& st, bool refused_ahead);
  // The wall clock handed in stepped by more than a second from our estimate.
  void clock_stepped();
  void clock_timeouts();
  // Our own life lies more than a day past most clocks heard from since ours last moved (our
  // clock ran that far ahead when we started, and was put right): we take a life at our clock.
  void review_epoch();
  // The exchanges with refused senders that are due, made only where they can help.
  void retry_refused();
  void dispatch(std::vector<proto::Message>& msgs, Ctx& ctx);

  // ==== merge rules (member.cpp)
  void on_alive(const proto::Alive& a, Ctx& ctx);
  void on_alive_self(const proto::Alive& a);
  // A record of our own name that is not this life of ours (an Alive, or a State's record in
  // any state; `live`: alive or suspect): an earlier life echoing, a later one at our address,
  // or a claim of the name at another address.
  void other_life(uint64_t epoch, const proto::SocketAddr& addr, uint32_t inc, bool live);
  // A record of our own name at our own address in a later life than ours; `live` when it is
  // held alive or suspect (someone answers its probes).
  void later_life(uint64_t epoch, uint32_t inc, bool live);
  bool outlive(uint64_t epoch);
  void disown_later_life(uint64_t epoch, uint32_t inc);
  // A Ping for our name reached us.
  void probed_here();
  // The sender's own record heading a State: another claimant of a name, seen by a third.
  void check_claim(const proto::MemberRecord& r);
  void lives_timeouts();
  void add_member(const proto::Alive& a, Ctx& ctx);
  // The entry becomes alive: its suspicion dropped, its removal off.
  void make_alive(uint32_t idx);
  // The entry takes another life of the member (a restart, or a name reclaimed).
  void take_life(uint32_t idx, const proto::Alive& a, bool restart);
  // News of the life the entry holds.
  void merge_alive(uint32_t idx, const proto::Alive& a, Ctx& ctx);
  // `hearsay`: from a State, whose sender passes the suspicion on without being its accuser.
  void on_suspect(const proto::Suspect& s, bool hearsay = false);
  void on_dead(const proto::Dead& d);
  void merge_state(const proto::State& st, Ctx& ctx);
  void refute(uint32_t inc);
  void remind_alive();
  void resend_news(Entry& e);
  void report_conflict(const std::string& name, const proto::SocketAddr& other, const Member& mine);
  bool make_room();
  // `withhold`: news that it is alive does not go to the member itself.
  void gossip_member(Entry& e, bool withhold = true);
  void gossip_alive_self();
  void start_suspicion(uint32_t slot, const std::string& accuser, bool hearsay = false);
  void schedule_suspicion(uint32_t slot);
  void clear_suspicion(uint32_t slot);
  void nudge(uint32_t slot);
  // Declares dead the suspects whose timer ran out (or holds them while nobody hears this node).
  void suspicion_timeouts();
  bool unheard() const;
  // Someone suspects this node (or holds it dead): evidence for unheard().
  void accused(bool dead);
  // An Ack or a Nack came: someone hears this node.
  void answered();
  // Moves every suspicion deadline to at least the shortest timeout from now.
  void respite_suspects();
  void plan_nudge(uint32_t slot);
  void checked_suspect(uint32_t slot);
  // Checks of suspects that went unanswered: failed probes of them by this node.
  void unanswered_checks();
  void become_gone(uint32_t slot, MemberState s);
  void member_event_gone(uint32_t slot);
  uint64_t suspicion_min_ns() const;
  // The longest a suspicion lasts (suspicion_max_mult × the shortest).
  uint64_t suspicion_max_ns() const;
  // How long news takes to spread: its copies at one a gossip tick.
  uint64_t spread_ns() const;
  void expire_entries();
  proto::State full_state(bool join) const;

  // ==== probing (probe.cpp)
  void probe_tick();
  void probe_timeout_phase();
  void probe_end();
  bool next_target(uint32_t& slot);
  void on_ping(const proto::Ping& p, Ctx& ctx);
  void on_indirect(const proto::IndirectPing& p, Ctx& ctx);
  void on_ack(const proto::Ack& a, Ctx& ctx);
  void on_nack(const proto::Nack& n, const Ctx& ctx);
  // A packet from another node passed intake: its sender is heard.
  void heard_from(const proto::SocketAddr& from);
  void ask_helpers(const Entry& target);
  void check_self();
  // Whether a datagram from `from` is our own (our check of ourselves, or its answer).
  bool from_self(const proto::SocketAddr& from) const {
    const proto::SocketAddr a = from.on_wire();
    return a == self.addr.on_wire() || a == check_addr.on_wire();
  }
  // The Ack of our check of ourselves; false when `a` is not one.
  bool self_answer(const proto::Ack& a, const Ctx& ctx);
  void settle_nacks();
  void charge_helpers(const NackTally& t, uint32_t missed);
  // When a suspicion this node raises now starts: now, or when a silence from every other
  // node began that our own check shows is not ours.
  uint64_t own_suspicion_start() const;
  void relay_timeouts();
  void gossip_tick();
  void gossip_targets(std::vector<uint32_t>& targets);
  // A member held left gets no gossip but the news of its own departure: on the packets sent
  // to it anyway, and from the DEPARTURE_TELLERS members ranked first for it, once each.
  void tell_departed();
  // Whether this node is among the tellers of `subject`'s departure, by its table.
  bool tells(const Entry& subject) const;
  // The member held left that a packet to `to_name` goes to, if it is one.
  const Entry* held_left(std::string_view to_name) const;
  void pick_random(const std::vector<uint32_t>& from, size_t k, const std::string* exclude, std::vector<uint32_t>& out);
  void adjust_health(int delta);

  // ==== streams, push-pull, join (sync.cpp)
  void push_pull_tick();
  void reconnect_tick();
  bool start_push_pull(const proto::SocketAddr& to, std::string peer, StreamKind kind, CommandId join, uint32_t seed);
  void stream_data(StreamId id, std::span<const uint8_t> frame, const std::optional<proto::SocketAddr>& local);
  // A stream's first frame: the stream is tracked from now on, or false when it is not taken
  // (an outbound stream we let go of, or an inbound one too many, which is closed).
  bool admit_inbound(StreamId id);
  // The addresses a join may name this node by (see stream_data); how many were written.
  size_t join_addresses(const std::optional<proto::SocketAddr>& local, std::array<proto::SocketAddr, 4>& out) const;
  void stream_end(StreamId id, bool failed);
  void stream_timeouts();
  void command_join(CommandId id, command::Join j);
  void join_attempt(CommandId id, uint32_t seed);
  void join_settle(CommandId id, uint32_t seed, bool answered);
  void join_retry_timeouts();
  // A State that arrived on a stream: merged, then answered or ending the exchange.
  void stream_state(StreamId id, const proto::State& st, Ctx& ctx);
  // A node whose first join is still under way: news it learns waits until the join is
  // answered (or given up), or it would spend its copies on the few members it knows.
  bool thin() const { return joining() && now_ < thin_until; }
  // Half the stream timeout (an attempt not merely slow), at least two protocol periods.
  uint64_t thin_span() const {
    return std::max(cfg.tcp_timeout.as_nanos() / 2, 2 * cfg.probe_interval.as_nanos());
  }
  // Whether a join of ours is under way that no seed has answered yet.
  bool joining() const { return !joined && !joins.empty(); }
  // Answers a State on an inbound stream with ours, and closes the stream.
  void answer_state(StreamId id);
  // Whether the answer to a join waits for our own join to be answered.
  bool defer_answer(StreamId id, const proto::MemberRecord& joiner);
  // Once this node is no longer thin(): the held news goes out, the held joins are answered.
  void settle_thin();
  // Ends thinness at thin_until, when our join is taking long.
  void thin_timeout();
  // News of the members that joined through us lately, sent again to the cluster we now know.
  void respread_joiners();
  void link_joiner(const proto::MemberRecord& joiner);
  // Exchanges tables with the members that joined through us lately and the one we joined
  // through (with `only_thin`: the joiners answered before our own join was, and then our
  // seed), but `except`.
  void pass_table_on(std::string_view except, bool only_thin);
  // Whether a join linked us to `name` lately: our seed, or a member that joined through us.
  bool linked(const std::string& name) const;
  // A member we learned from gossip: a member that joined through us lately may lack it.
  void tell_joiners(const Entry& newcomer);
  // The members the next gossip round goes to first (see tell_joiners), at most k in all.
  void tell_targets(std::vector<uint32_t>& targets, size_t k);

  // ==== user traffic and commands (user.cpp)
  void command_send(CommandId id, command::Send s);
  void command_broadcast(CommandId id, command::Broadcast b);
  void command_update_meta(CommandId id, command::UpdateMeta u);
  void command_leave(CommandId id);
  void user_stream_next(const std::string& member);
  void drop_user_queue(const std::string& member);
  void on_user_message(const proto::UserMessage& m, Ctx& ctx);
  void on_user_broadcast(const proto::UserBroadcast& b);
  // Queues a broadcast for gossip, evicting one when the queue then holds too many.
  void queue_broadcast(const proto::UserBroadcast& b);
  bool broadcast_seen(const std::string& origin, uint64_t epoch, uint64_t seq);
  // The window of an origin's life `epoch` (made in place of another when needed); none when
  // that life's broadcasts are over.
  Window* broadcast_window(Seen& of, const std::string& origin, uint64_t epoch);
  Member sender_record(const std::string& name, uint64_t epoch, const std::optional<proto::SocketAddr>& addr) const;
};

}  // namespace vennock::core
