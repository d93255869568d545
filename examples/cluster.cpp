// A small cluster of real nodes on loopback, telling what it sees.
//
// Five nodes start on 127.0.0.1 (ports chosen by the system), encrypted with a shared key,
// and join through the first one. Every node prints the events it receives. Then: a user
// message, a broadcast, a metadata change, a key rotation, and one node that stops without
// leaving, which the others detect and declare dead. Last, everything is closed.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/lib.hpp"
#include "proto/tags.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace std::chrono_literals;

namespace {

std::mutex print_lock;
const auto t0 = std::chrono::steady_clock::now();

void say(const char* fmt, ...) {
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::lock_guard<std::mutex> g(print_lock);
  std::printf("%6.2fs  ", s);
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::printf("\n");
  std::fflush(stdout);
}

std::string text(const proto::Bytes& b) { return std::string(b.begin(), b.end()); }

std::string meta_text(const proto::Bytes& b) {
  std::string out;
  for (const auto& [k, v] : proto::tag_pairs(b)) out += (out.empty() ? "" : ", ") + k + "=" + v;
  return "{" + out + "}";
}

std::string describe(const events::Event& e) {
  using namespace events::event;
  return std::visit(
      [](const auto& x) -> std::string {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, MemberJoined>) return x.member.name + " joined (" + addr_text(x.member.addr) + ")";
        if constexpr (std::is_same_v<X, MemberSuspect>) return x.member.name + " is suspected";
        if constexpr (std::is_same_v<X, MemberRecovered>) return x.member.name + " recovered";
        if constexpr (std::is_same_v<X, MemberDead>) return x.member.name + " is dead";
        if constexpr (std::is_same_v<X, MemberLeft>) return x.member.name + " left";
        if constexpr (std::is_same_v<X, MemberUpdated>)
          return x.member.name + " changed its metadata to " + meta_text(x.member.meta);
        if constexpr (std::is_same_v<X, NameConflict>) return "another node claims the name " + x.member.name;
        if constexpr (std::is_same_v<X, UserMessage>)
          return std::string(x.broadcast ? "broadcast" : "message") + " from " + x.from.name + ": \"" + text(x.data) +
                 "\"";
        if constexpr (std::is_same_v<X, EventsLost>) return std::to_string(x.count) + " events lost";
        return "?";
      },
      e);
}

// The library's own log records, told in the same story.
struct StoryLog : log::Dispatcher {
  void event(const log::Record& r) override {
    say("(log %s %s: %s)", log::level_name(r.level), std::string(r.target).c_str(), log::render_text(r).c_str());
  }
};

// Prints every event of one node's subscription until the node closes.
Task<void> printer(std::string node, events::Events sub) {
  for (;;) {
    auto e = co_await sub.recv();
    if (!e) break;
    say("[%s] %s", node.c_str(), describe(*e).c_str());
  }
}

template <class T>
Value<T> wait(Runtime& rt, Task<T> t) {
  auto r = rt.block_on(std::move(t));
  if (!r) {
    std::fprintf(stderr, "a step of the demo did not complete: %s\n", blocked_text(r.error()));
    std::exit(1);
  }
  return std::move(r.value());
}

bool until(const std::function<bool()>& f, std::chrono::seconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return f();
}

// Five running nodes, the last four joined through the first, and their event printers.
struct Cluster {
  std::vector<std::optional<Membership>> nodes;
  std::vector<JoinHandle<void>> printers;
};

bool start_nodes(Runtime& rt, const proto::Key& key, Cluster& c) {
  say("starting 5 nodes on 127.0.0.1, encrypted, probing every 200 ms");
  for (int i = 0; i < 5; ++i) {
    Settings s = Settings::local();
    s.name = "n" + std::to_string(i);
    s.bind.port = 0;
    s.config.keys = std::vector<proto::Key>{key};
    s.config.probe_interval = core::Duration::from_millis(200);
    s.config.probe_timeout = core::Duration::from_millis(100);
    s.config.push_pull_interval = core::Duration::from_secs(5);
    if (i > 0) s.seed_addrs = {c.nodes[0]->local_addr()};
    auto started = wait(rt, Membership::start(rt, std::move(s)));
    if (!started) {
      std::fprintf(stderr, "n%d did not start: %s\n", i, started.error().to_string().c_str());
      return false;
    }
    c.nodes.emplace_back(std::move(started.value()));
    say("n%d is up at %s", i, addr_text(c.nodes.back()->local_addr()).c_str());
    c.printers.push_back(rt.spawn(printer("n" + std::to_string(i), c.nodes.back()->events())));
  }
  return true;
}

// A message, a broadcast and a metadata change, each given time to arrive.
void talk(Runtime& rt, Cluster& c) {
  Membership &n0 = *c.nodes[0], &n1 = *c.nodes[1], &n2 = *c.nodes[2], &n3 = *c.nodes[3];
  say("n1 sends a message to n2");
  auto sent = wait(rt, n1.send("n2", n2.local().epoch, proto::Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'n', '2'}));
  if (!sent) say("send failed: %s", sent.error().to_string().c_str());
  std::this_thread::sleep_for(300ms);

  say("n0 broadcasts to everyone");
  auto cast = wait(rt, n0.broadcast(proto::Bytes{'h', 'i', ' ', 'a', 'l', 'l'}));
  if (!cast) say("broadcast failed: %s", cast.error().to_string().c_str());
  std::this_thread::sleep_for(1s);

  say("n3 changes its metadata");
  auto meta = wait(rt, n3.set_meta(proto::encode_tags({{"role", "db"}, {"zone", "b"}})));
  if (!meta) say("metadata change failed: %s", meta.error().to_string().c_str());
  std::this_thread::sleep_for(1s);
}

// Every node takes a new key, uses it and drops the old one; a message still gets through.
void rotate_key(Runtime& rt, Cluster& c, const proto::Key& k1) {
  auto k2 = generate_key();
  if (!k2) {
    say("no second key, so no rotation: %s", k2.error().to_string().c_str());
    return;
  }
  say("rotating the cluster key from %s to %s", k1.id().hex().c_str(), k2->id().hex().c_str());
  for (auto& n : c.nodes) (void)wait(rt, n->keyring().install(*k2));
  for (auto& n : c.nodes) (void)wait(rt, n->keyring().use_key(*k2));
  for (auto& n : c.nodes) (void)wait(rt, n->keyring().remove(k1));
  std::string ids;
  for (auto id : c.nodes[0]->keyring().key_ids()) ids += id.hex() + " ";
  say("n0's keyring now holds: %s", ids.c_str());
  Membership &n1 = *c.nodes[1], &n2 = *c.nodes[2];
  auto after = wait(rt, n2.send("n1", n1.local().epoch, proto::Bytes{'s', 't', 'i', 'l', 'l', ' ', 'h', 'e', 'r', 'e'}));
  if (!after) say("send after the rotation failed: %s", after.error().to_string().c_str());
  std::this_thread::sleep_for(500ms);
}

// n4 stops without leaving; whether the others declare it dead in time.
bool stop_one(Cluster& c) {
  say("n4 stops without leaving (its handle is dropped)");
  c.nodes[4].reset();
  bool dead = until(
      [&] {
        for (int i = 0; i < 4; ++i) {
          auto m = c.nodes[static_cast<size_t>(i)]->member("n4");
          if (!m || m->state != core::MemberState::Dead) return false;
        }
        return true;
      },
      15s);
  say(dead ? "every remaining node has declared n4 dead" : "n4 was not declared dead in time");
  return dead;
}

void close_all(Runtime& rt, Cluster& c) {
  auto st = c.nodes[0]->stats();
  say("n0 counted %llu packets, %llu probes, %llu push-pulls", static_cast<unsigned long long>(st.counters.packets_received),
      static_cast<unsigned long long>(st.counters.probes_sent), static_cast<unsigned long long>(st.counters.push_pulls));
  say("closing the other nodes");
  for (auto& n : c.nodes)
    if (n) wait(rt, n->close());
  for (auto& p : c.printers) p.wait();
  say("done");
}

}  // namespace

int main() {
  log::set_dispatcher(std::make_shared<StoryLog>());
  auto got = Runtime::get(2);
  if (!got) {
    std::fprintf(stderr, "cannot start the runtime: %s\n", got.error().to_string().c_str());
    return 1;
  }
  Runtime& rt = *got.value();
  auto k1 = generate_key();
  if (!k1) {
    std::fprintf(stderr, "no key: %s\n", k1.error().to_string().c_str());
    return 1;
  }

  Cluster c;
  if (!start_nodes(rt, *k1, c)) return 1;
  bool formed = until(
      [&] {
        for (auto& n : c.nodes)
          if (n->members().size() != 5) return false;
        return true;
      },
      10s);
  say(formed ? "every node sees all 5 members" : "the cluster did not form in time");
  talk(rt, c);
  rotate_key(rt, c, *k1);
  bool dead = stop_one(c);
  close_all(rt, c);
  return formed && dead ? 0 : 1;
}
