// Clock judgements: the one place that decides, from the clocks of the members heard, whether a
// life lies beyond what they would take, whether this node's own clock is the one that is off,
// and which refused senders are worth another exchange.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/lib.hpp"
#include "proto/wire.hpp"

namespace vennock::core {

// The latest epoch a clock reading `ms` allows (saturating).
inline uint64_t plus_lead(uint64_t ms) { return ms > UINT64_MAX - EPOCH_LEAD_MS ? UINT64_MAX : ms + EPOCH_LEAD_MS; }

// The evidence is the latest stamp of each sender (by address) heard since this node's wall
// clock last moved, as an offset from the wall estimate then; a step discards it all. After a
// step the estimate and the evidence no longer share a frame: a clock set back a day made
// every peer look a day ahead of the stamps measured before it, and a host that slept (the
// monotonic clock stopped, the wall clock not) makes every offset measured against the
// monotonic clock wrong by the sleep. Judgements need a quorum of senders heard since, and go
// by most of them, so that no single sender's stamp (a forgery, one peer's clock) decides.
class Clocks {
 public:
  // Senders remembered (by a hash of the address, a newcomer taking the place of the one
  // there, so forged addresses cost neither memory nor an allocation each), and how long a
  // sender's stamp counts after it was heard.
  static constexpr size_t SENDERS = 64;
  static constexpr uint64_t FRESH_NS = 600ULL * 1'000'000'000;
  // Refused senders kept (the oldest goes first), and the exchanges with them (below).
  static constexpr size_t MAX_REFUSED = 8;
  static constexpr uint32_t TRIES = 6;
  static constexpr uint64_t MAX_WAIT = 8;

  // A packet taken from `from`, stamped `stamp_ms`, read when our wall estimate was `wall_ms`.
  void heard(const proto::SocketAddr& from, uint64_t stamp_ms, uint64_t wall_ms, uint64_t now);
  // Our wall clock moved by more than a second from the estimate: what was heard is void, and
  // the refused senders are each worth one exchange at once (our clock may be right now).
  void stepped(uint64_t now);

  // Whether most senders heard (at least `quorum` of them) run clocks that a life at `epoch`
  // lies more than a day past, `then` included when given; `wall_ms` is our estimate now.
  bool beyond_most(uint64_t epoch, std::optional<uint64_t> then, uint64_t wall_ms, uint64_t now,
                   size_t quorum) const;
  // Whether most senders heard (at least `quorum`) run more than a day ahead of our clock: ours
  // is the one that is off, and lives we refused may be ours to take once it is put right.
  bool behind_most(uint64_t wall_ms, uint64_t now, size_t quorum) const;
  // The slowest clock heard, ours included.
  uint64_t slowest(uint64_t wall_ms, uint64_t now) const;

  // The senders of States in which lives were refused for lying more than a day past our
  // clock, and the exchanges with them: one at a time, in turn, the wait doubling from the
  // push-pull interval to MAX_WAIT times it, TRIES in all (an exchange tells whether our clock
  // is right now, whoever it is with), and every one of them at once after a step.
  struct Refused {
    std::string name;
    proto::SocketAddr addr;
  };
  // A State from `name` at `addr` brought lives refused for our clock (`any`), or none.
  void refusals(const std::string& name, const proto::SocketAddr& addr, bool any, uint64_t now,
                uint64_t interval);
  // The exchanges due by `now`. `odd`: whether our clock is judged the one that is off: only
  // then does an exchange help, bar those after a step; with `odd` false, the one due is
  // counted but not made.
  std::vector<Refused> due(uint64_t now, uint64_t interval, bool odd);
  // When the next exchange is due (0: none).
  uint64_t next_due() const { return due_; }

 private:
  // A place holds the latest stamp from whichever sender hashed to it last.
  struct Sender {
    int64_t offset = 0;  // stamp minus our wall estimate, in milliseconds
    uint64_t at = 0;
    bool used = false;
  };
  static size_t place(const proto::SocketAddr& a);
  // Calls f(clock of the sender, in our wall milliseconds) for each sender heard lately;
  // returns how many.
  template <class F>
  size_t each(uint64_t wall_ms, uint64_t now, F&& f) const;

  std::array<Sender, SENDERS> senders_{};
  std::vector<Refused> refused_;
  size_t next_ = 0;
  uint32_t tries_ = 0;
  uint64_t due_ = 0;     // 0: none planned
  bool all_ = false;     // after a step: every sender, whatever the evidence says
};

}  // namespace vennock::core
