#include "net/lookups.hpp"

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>

#include "net/lifecycle.hpp"
#include "net/runtime.hpp"

namespace vennock::net {

namespace detail {

// One asked name: shared by its asker (the ticket) and, while it is queued or in the resolver,
// by the owner. Everything but the name is under the owner's lock.
struct LookupAnswer {
  LookupAnswer(std::string h, uint16_t p) : host(std::move(h)), port(p) {}
  const std::string host;
  const uint16_t port;
  enum class Stage : uint8_t {
    Queued,   // waiting for its turn, at `at` in the queue
    Running,  // in the resolver, at `at` in the running list
    Done,     // answered: `result` holds the answer until its asker takes it
    Dropped,  // given up or stopped before it answered; a late answer is dropped
  };
  Stage stage = Stage::Queued;
  std::list<std::shared_ptr<LookupAnswer>>::iterator at;
  Resolution result;
  Waker w;  // the asker's, while it waits
};

struct LookupsState {
  explicit LookupsState(size_t n, SystemLookup r) : at_once(n == 0 ? 1 : n), resolver(std::move(r)) {}
  std::mutex m;
  const size_t at_once;
  const SystemLookup resolver;
  std::list<std::shared_ptr<LookupAnswer>> queued;
  std::list<std::shared_ptr<LookupAnswer>> running;
  size_t threads = 0;
  bool stopped = false;
};

}  // namespace detail

namespace {

using detail::LookupAnswer;
using detail::LookupsState;
using Stage = LookupAnswer::Stage;

constexpr const char* kStopped = "the runtime has been stopped";

// The seam and its lock, the process's own: a lookup thread of the parent may be copying it at
// a fork.
struct Hook {
  std::mutex m;
  SystemLookup f;
};
constinit lifecycle::PerProcess<Hook> g_hook;

SystemLookup hooked() {
  Hook& h = g_hook.get();
  std::lock_guard<std::mutex> g(h.m);
  return h.f;
}

std::pair<std::vector<SocketAddr>, std::string> getaddrinfo_lookup(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  std::vector<SocketAddr> addrs;
  std::string failure;
  if (rc != 0) {
    const char* why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    failure = std::string("failed to lookup address information: ") + why;
  } else {
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
      if (auto a = from_sockaddr(ai->ai_addr, ai->ai_addrlen)) addrs.push_back(*a);
    }
    ::freeaddrinfo(res);
  }
  return {std::move(addrs), std::move(failure)};
}

// One name through the resolver. Only a failed allocation can throw here; it is the lookup's
// failure rather than the end of the process.
Resolution resolve_one(const LookupsState& st, const LookupAnswer& a) noexcept {
  Resolution r;
  try {
    SystemLookup f = st.resolver ? st.resolver : hooked();
    auto [addrs, failure] = f ? f(a.host, a.port) : getaddrinfo_lookup(a.host, a.port);
    r.addrs = std::move(addrs);
    r.failure = std::move(failure);
  } catch (const std::exception&) {
    r.addrs.clear();
    try {
      r.failure = "failed to lookup address information: out of memory";
    } catch (const std::exception&) {  // an empty failure with no address reads "no address"
    }
  }
  return r;
}

// A lookup thread: takes the turns in order until none is left (or the owner stopped), then
// ends. It holds the owner's state and each record it resolves, so it outlives both the owner
// and the asker safely; past the resolver it touches only those two, under the owner's lock.
// The asker is woken under that lock, which a stop also takes to forget the waker: no wake can
// come after a stop, and the thread never lets a waker go (the asker or the stop does).
void* lookup_main(void* arg) {
  std::shared_ptr<LookupsState> st(std::move(*static_cast<std::shared_ptr<LookupsState>*>(arg)));
  delete static_cast<std::shared_ptr<LookupsState>*>(arg);
  name_thread();
  std::unique_lock<std::mutex> g(st->m);
  while (!st->stopped && !st->queued.empty()) {
    std::shared_ptr<LookupAnswer> a = st->queued.front();
    st->running.splice(st->running.end(), st->queued, st->queued.begin());  // `a->at` stays valid
    a->stage = Stage::Running;
    g.unlock();
    Resolution r = resolve_one(*st, *a);
    g.lock();
    if (a->stage == Stage::Running) {
      st->running.erase(a->at);
      a->stage = Stage::Done;
      a->result = std::move(r);
      try {
        a->w.wake();
      } catch (const std::exception&) {  // no memory to schedule it: the asker sees it at its limit
      }
    } else if (a->stage == Stage::Dropped && !st->stopped) {
      st->running.erase(a->at);  // given up while in the resolver: the answer goes with `r`
    }
    // (A stop cleared the running list itself.) `a` and `r` go under the lock: neither holds a
    // waker, so nothing but memory is released.
  }
  --st->threads;
  return nullptr;
}

// Starts a detached lookup thread. Locked.
bool start_thread(const std::shared_ptr<LookupsState>& st) {
  auto* arg = new std::shared_ptr<LookupsState>(st);
  pthread_attr_t attr;
  bool ok = pthread_attr_init(&attr) == 0;
  if (ok) {
    ok = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
    pthread_t t;
    ok = ok && pthread_create(&t, &attr, &lookup_main, arg) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!ok) {
    delete arg;
    return false;
  }
  ++st->threads;
  return true;
}

}  // namespace

void set_system_lookup(SystemLookup f) {
  Hook& h = g_hook.get();
  std::lock_guard<std::mutex> g(h.m);
  h.f = std::move(f);
}

Lookups::Lookups(size_t at_once, SystemLookup resolver)
    : st_(std::make_shared<LookupsState>(at_once, std::move(resolver))) {}

Lookups::~Lookups() { stop(); }

Lookups::Ticket& Lookups::Ticket::operator=(Ticket&& o) noexcept {
  if (this != &o) {
    give_up();
    owner_ = std::move(o.owner_);
    answer_ = std::move(o.answer_);
  }
  return *this;
}

Lookups::Ticket Lookups::ask(std::string host, uint16_t port) {
  Ticket t;
  t.owner_ = st_;
  t.answer_ = std::make_shared<LookupAnswer>(std::move(host), port);
  LookupsState& st = *st_;
  std::lock_guard<std::mutex> g(st.m);
  if (st.stopped) {
    t.answer_->stage = Stage::Dropped;
    return t;
  }
  st.queued.push_back(t.answer_);
  t.answer_->at = std::prev(st.queued.end());
  if (st.threads < st.at_once && !start_thread(st_) && st.threads == 0) {
    // No thread runs lookups and none can be started: this one would wait for ever.
    st.queued.erase(t.answer_->at);
    t.answer_->stage = Stage::Done;
    t.answer_->result.failure = "failed to lookup address information: no thread to run the lookup";
  }
  return t;
}

std::optional<Resolution> Lookups::Ticket::take(const Waker& w) {
  if (!answer_) return Resolution{{}, kStopped};
  Waker old;
  std::optional<Resolution> out;
  {
    std::lock_guard<std::mutex> g(owner_->m);
    LookupAnswer& a = *answer_;
    if (a.stage == Stage::Done) {
      out.emplace(std::move(a.result));
      a.stage = Stage::Dropped;
      old = std::move(a.w);
    } else if (a.stage == Stage::Dropped || owner_->stopped) {
      out.emplace(Resolution{{}, kStopped});
    } else {
      old = std::exchange(a.w, w);
    }
  }
  return out;  // `old` goes unlocked: letting a waker go may end a task
}

void Lookups::Ticket::give_up() noexcept {
  if (!answer_) return;
  Waker old;
  {
    std::lock_guard<std::mutex> g(owner_->m);
    LookupAnswer& a = *answer_;
    if (a.stage == Stage::Queued && !owner_->stopped) owner_->queued.erase(a.at);  // its turn goes
    a.stage = Stage::Dropped;  // one in the resolver answers into this record, which nobody reads
    a.result = Resolution{};
    old = std::move(a.w);
  }
  old = Waker();
  answer_.reset();
  owner_.reset();
}

void Lookups::stop() {
  std::list<std::shared_ptr<LookupAnswer>> queued, running;
  {
    std::lock_guard<std::mutex> g(st_->m);
    if (st_->stopped) return;
    st_->stopped = true;
    queued.swap(st_->queued);
    running.swap(st_->running);
    for (auto* list : {&queued, &running})
      for (auto& a : *list) a->stage = Stage::Dropped;  // a late answer wakes nobody
  }
  // Each waker goes here, unlocked: it may be the last hold on a task, whose end gives its
  // ticket up (which takes the lock).
  for (auto* list : {&queued, &running}) {
    for (auto& a : *list) {
      Waker w;
      {
        std::lock_guard<std::mutex> g(st_->m);
        w = std::move(a->w);
      }
    }
  }
}

size_t Lookups::running() const {
  std::lock_guard<std::mutex> g(st_->m);
  return st_->threads;
}

size_t Lookups::queued() const {
  std::lock_guard<std::mutex> g(st_->m);
  return st_->queued.size();
}

}  // namespace vennock::net
