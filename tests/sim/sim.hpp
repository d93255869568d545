// A deterministic simulated network for engines: one thread, virtual time, one seed.
//
// Datagrams have latency, jitter and random loss; links can be cut one way or both; nodes
// crash and restart with a new epoch; a slow node handles its inputs late (as one starved of
// CPU). Each node has a wall clock of its own, which can run off the others', be stepped, and
// go on while the node is suspended (its monotonic clock stopped, as Linux stops it during a
// suspend or a paused virtual machine does); engines are handed it at every call, as the
// runtime hands them the system's wall clock every turn. Streams suffer what datagrams suffer, as TCP would: a lost segment arrives late (it is
// resent after a retransmission timeout that doubles each time, so frames stay in order), and
// a cut link stalls the stream for good, which then ends only on somebody's timeout; a crashed
// peer resets its streams. Deliveries sit in one priority queue, so the cost is per delivery,
// never per node per tick.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/lib.hpp"
#include "core/rng.hpp"

namespace vennock::sim {

using core::Command;
using core::CommandId;
using core::Event;
using core::Node;
using proto::Bytes;
using proto::SocketAddr;

inline constexpr uint64_t MS = 1'000'000;
inline constexpr uint64_t SEC = 1'000'000'000;

struct NetParams {
  uint64_t latency = 1 * MS;  // one way
  uint64_t jitter = 1 * MS;   // uniform extra delay on datagrams
  double loss = 0.0;          // datagram loss probability
};

// A slow node: from `first`, every `period`, for `length`, the inputs that reach it pile up
// unread and are handled only when the window ends, as on a node starved of CPU whose
// receive backlog drains late. Its timers keep firing on time.
struct Stall {
  uint64_t first = 0;
  uint64_t period = 0;
  uint64_t length = 0;
};

class Sim {
 public:
  Sim(uint64_t seed, NetParams net);
  ~Sim();

  // Adds and starts a node; its address is derived from its index. With `advertise`, it
  // advertises that address instead (another node's, say, as a misconfigured twin would),
  // while what is sent to it still reaches it only at its own.
  size_t add(core::Config cfg, std::string name, Bytes meta = {}, std::optional<SocketAddr> advertise = {});
  static SocketAddr addr_of(size_t i);
  // The address at which every node's socket reaches itself, as the runtime tells its engine
  // (127.0.0.1 at the node's port): a datagram a node sends there comes back to it at once,
  // never lost nor cut, like one over the host's loopback interface.
  static SocketAddr loopback();
  // Whether datagrams node i sends to its own address come back to it (they do unless turned
  // off): a host behind a NAT or a port mapping that does not hairpin loses them, while
  // what others send to that address reaches it.
  void set_hairpin(size_t i, bool on) { nodes_[i].hairpin = on; }
  Node& node(size_t i) { return *nodes_[i].engine; }
  const Node& node(size_t i) const { return *nodes_[i].engine; }
  size_t size() const { return nodes_.size(); }
  bool up(size_t i) const { return nodes_[i].up; }
  const std::string& name(size_t i) const { return nodes_[i].name; }

  CommandId command(size_t i, Command c);
  // The outcome of a command of the node's current life once completed. A new life numbers
  // its commands from 1 again: the outcomes of earlier lives are not its own.
  std::optional<core::Outcome> outcome(size_t i, CommandId id) const;

  void crash(size_t i);
  // A new life: same name and address, a fresh engine (it does not rejoin). Its epoch is the
  // wall clock at the restart, after the node's clock stepped by `clock_step_ms` (a step back
  // can give the new life an earlier epoch than the one before).
  void restart(size_t i, int64_t clock_step_ms = 0);
  // Steps node i's wall clock (back when negative); its engine sees it from its next call.
  void step_clock(size_t i, int64_t ms) { nodes_[i].clock_ms += ms; }
  // How far node i's wall clock was stepped in all (ahead when positive).
  int64_t clock_offset(size_t i) const { return nodes_[i].clock_ms; }
  // Node i sleeps for `d` from now (a suspended host, a paused virtual machine): it handles
  // nothing, the datagrams sent to it are lost, stream data waits for it in the network, and
  // its monotonic clock stands still while its wall clock goes on. A sleep that begins while
  // the node is asleep lengthens the one under way (to `d` from now, if that is later); the
  // time asleep counts once. A restart wakes the node.
  void suspend(size_t i, uint64_t d);
  bool asleep(size_t i) const { return now_ < nodes_[i].asleep_until; }
  // Node i's wall clock, in milliseconds since the Unix epoch, and its monotonic clock (the
  // engine time it is handed).
  uint64_t wall_ms(size_t i) const;
  uint64_t mono(size_t i) const { return now_ - slept(nodes_[i], now_); }
  void set_stall(size_t i, Stall s) { nodes_[i].stall = s; }
  void block(size_t from, size_t to) { blocked_.insert(pair_key(from, to)); }
  void partition(const std::vector<size_t>& a, const std::vector<size_t>& b);
  void heal() { blocked_.clear(); }
  NetParams& net() { return net_; }
  // Hands a datagram to node `to` after the usual latency, as if sent from `from`.
  void inject(size_t to, const SocketAddr& from, Bytes packet);
  // Hands a stream frame to node `to` on a new inbound stream nobody answers.
  void inject_frame(size_t to, Bytes packet);

  void run_until(uint64_t t);
  void run_for(uint64_t d) { run_until(now_ + d); }
  // Runs until pred() holds (checked every `step`) or `limit` passes; true when it held.
  bool run_until_pred(const std::function<bool()>& pred, uint64_t limit, uint64_t step = 100 * MS);
  uint64_t now() const { return now_; }

  // Asked about every datagram a node sends (from, to, packet); true drops it.
  std::function<bool(size_t, size_t, const Bytes&)> drop_datagram;
  // Called for every event any node raises (completions included).
  std::function<void(size_t, const Event&)> on_event;
  // Called for every peer clock skew a node reports (which the runtime logs).
  std::function<void(size_t, const core::ClockSkew&)> on_clock_skew;
  // Time spent inside engine calls, when measuring.
  bool measure = false;
  std::chrono::nanoseconds engine_time{0};
  std::chrono::nanoseconds datagram_time{0};  // the part spent handling datagrams
  std::chrono::nanoseconds stream_time{0};    // ... stream events (push-pull merges among them)
  std::chrono::nanoseconds timer_time{0};     // ... timers
  uint64_t datagrams_delivered = 0;
  uint64_t frames_delivered = 0;
  uint64_t frame_bytes = 0;  // bytes of the frames delivered
  uint64_t engine_calls = 0;

 private:
  enum class Kind : uint8_t { Timer, Datagram, StreamData, StreamClosed, StreamFailed };
  struct Item {
    uint64_t at;
    uint64_t seq;
    Kind kind;
    uint32_t node;
    uint64_t gen;  // timers: the node's timer generation; others: the node's life
    uint64_t stream = 0;
    SocketAddr from{};
    Bytes bytes;
  };
  struct Later {
    bool operator()(const Item* a, const Item* b) const { return a->at != b->at ? a->at > b->at : a->seq > b->seq; }
  };
  struct Conn {
    uint32_t a, b;          // opener, acceptor
    uint64_t a_id, b_id;    // their stream ids
    uint64_t a_life, b_life;
    bool open = true;
    uint64_t ready_at = 0;  // when the opener's connect completes; its frames wait for it
    // Per direction (0: opener to acceptor): the last delivery, which later frames may not
    // overtake, and whether a cut stalled it for good.
    std::array<uint64_t, 2> last_at{};
    std::array<bool, 2> stalled{};
  };
  struct SimNode {
    std::string name;
    core::Config cfg;
    Bytes meta;
    std::optional<SocketAddr> advertise;
    bool hairpin = true;
    std::unique_ptr<Node> engine;
    bool up = true;
    uint64_t life = 0;
    uint64_t timer_gen = 0;
    uint64_t timer_at = 0;
    uint64_t next_inbound = 0;
    int64_t clock_ms = 0;  // how far this node's wall clock was stepped
    // Its monotonic clock stood still for `lag` in the sleeps before the latest one, and stands
    // still from `asleep_from` to `asleep_until` in the latest.
    uint64_t lag = 0;
    uint64_t asleep_from = 0;
    uint64_t asleep_until = 0;
    Stall stall;
    std::unordered_map<CommandId, core::Outcome> outcomes;
  };

  static uint64_t pair_key(size_t a, size_t b) { return (static_cast<uint64_t>(a) << 32) | b; }
  // How long node n's monotonic clock has stood still by time t (t not before its latest
  // sleep began).
  static uint64_t slept(const SimNode& n, uint64_t t) {
    return n.lag + (std::min(t, n.asleep_until) - std::min(t, n.asleep_from));
  }
  void push(Item* it);
  void after_call(size_t i);
  void flush(size_t i);
  void handle(Item* it);
  uint64_t stalled_until(const SimNode& n, uint64_t t) const;
  std::optional<size_t> index_of(const SocketAddr& a) const;
  void fail_conns(size_t i);
  std::unique_ptr<Node> make_engine(SimNode& n);
  // Hands node i's engine its wall clock; its monotonic clock, to pass to the call that follows.
  uint64_t clock_in(size_t i);
  void flush_datagram(size_t i, core::transmit::Datagram& d);
  void flush_open(size_t i, const core::transmit::Open& o);
  void flush_frame(size_t i, core::transmit::Frame& f);
  void flush_close(size_t i, const core::transmit::Close& c);
  // Extra delay of `bytes` sent over a stream under the datagram loss rate: each lost segment
  // is resent after a retransmission timeout starting at `rto`, doubled each time.
  uint64_t retransmit_delay(size_t bytes, uint64_t rto);

  core::Rng rng_;
  core::Rng stream_rng_;  // streams draw their losses apart, so datagram runs replay as before
  NetParams net_;
  uint64_t now_ = 0;
  uint64_t seq_ = 0;
  std::priority_queue<Item*, std::vector<Item*>, Later> queue_;
  std::vector<SimNode> nodes_;
  std::unordered_set<uint64_t> blocked_;
  std::vector<Conn> conns_;
  // (node, stream id) -> index in conns_
  std::map<std::pair<uint32_t, uint64_t>, size_t> conn_index_;
};

}  // namespace vennock::sim
