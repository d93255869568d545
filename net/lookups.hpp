// Name lookups: the one place that asks the system resolver (getaddrinfo).
//
// A resolver may take its own time, or never answer, and nothing can cancel a call in it. So
// lookups run on threads of their own, apart from the runtime's workers and its blocking pool: at
// most a fixed number at once (the rest wait their turn in order), detached, never waited for by
// anyone. A lookup's answer goes to a record shared by the thread and the asker; an asker that
// gives up drops its turn when it is still waiting for one, and leaves a lookup already in the
// resolver to answer into a record that nobody reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/addr.hpp"
#include "net/task.hpp"

namespace vennock::net {

// What the resolver gave for one name: its addresses in the resolver's order, or a failure text.
struct Resolution {
  std::vector<SocketAddr> addrs;
  std::string failure;  // empty on success
};

// The resolver's step for one name (host, port): getaddrinfo unless replaced (tests replace
// it to make lookups slow, failing or hung on purpose; an empty function restores getaddrinfo).
using SystemLookup = std::function<std::pair<std::vector<SocketAddr>, std::string>(const std::string& host, uint16_t port)>;
void set_system_lookup(SystemLookup f);

namespace detail {
struct LookupsState;
struct LookupAnswer;
}  // namespace detail

class Lookups {
 public:
  // Lookups in the resolver at once. A join names a handful of seeds, so eight let a join of up
  // to eight names, or a smaller one beside a rejoin, ask them all at once while the resolver
  // works; while it hangs, they bound the threads (and resolver sockets) it holds to eight, where
  // every hung lookup used to take a thread of the pool that hands results over. The system
  // resolver gives up on a silent server by itself (5 s a try, twice, by default), so a turn
  // held by a hung lookup comes back.
  static constexpr size_t kAtOnce = 8;

  // `resolver` answers instead of the process's (set_system_lookup, else getaddrinfo): tests of
  // the owner itself.
  explicit Lookups(size_t at_once = kAtOnce, SystemLookup resolver = nullptr);
  // Stops (see stop()); threads still in the resolver end on their own.
  ~Lookups();
  Lookups(const Lookups&) = delete;
  Lookups& operator=(const Lookups&) = delete;

  // One asked name, as its asker holds it. Dropping it gives the lookup up: a turn not yet
  // taken is dropped from the queue, a lookup in the resolver is abandoned (its answer, when
  // it comes, is dropped with the record), and the asker's waker is let go.
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&&) noexcept = default;
    Ticket& operator=(Ticket&& o) noexcept;
    ~Ticket() { give_up(); }
    // The answer once it has come (taken once); until then none, and `w` is woken when it
    // comes. After a stop a lookup that had not answered gives a failure at once.
    std::optional<Resolution> take(const Waker& w);

   private:
    friend class Lookups;
    void give_up() noexcept;
    std::shared_ptr<detail::LookupsState> owner_;
    std::shared_ptr<detail::LookupAnswer> answer_;
  };

  // Asks for (host, port): its turn comes once fewer than `at_once` lookups are in the
  // resolver and every earlier one has had its turn.
  Ticket ask(std::string host, uint16_t port);

  // Drops every queued turn and forgets the waker of every lookup still in the resolver (so a
  // late answer wakes nothing), then returns without waiting for any of them. Wakers are let go
  // on the calling thread. Later asks answer at once with a failure. Idempotent.
  void stop();

  // Threads in the resolver, and lookups waiting for their turn (tests).
  size_t running() const;
  size_t queued() const;

 private:
  std::shared_ptr<detail::LookupsState> st_;
};

}  // namespace vennock::net
