// Inbound admission: which stream a new connection pushes out; the byte budget's arithmetic
// and eviction order, checked against a naive model over random sequences of calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>

#include "net/actor.hpp"
#include "net/budget.hpp"

using namespace vennock;
using namespace vennock::net;
using conn::Budget;
using conn::Held;
using conn::Take;
using core::INBOUND_BIT;

namespace {

IpAddr v4(uint8_t last) { return IpAddr::of(SocketAddr::v4({10, 0, 0, last}, 1)); }
IpAddr mapped(uint8_t last) {
  return IpAddr::of(SocketAddr::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, last}, 1));
}

// Builds an arrival queue from (stream number, address) pairs.
actor::Accepted queue(std::initializer_list<std::pair<uint64_t, IpAddr>> pairs) {
  actor::Accepted q;
  for (const auto& [n, ip] : pairs) q.emplace_back(INBOUND_BIT | n, ip);
  return q;
}

std::optional<uint64_t> victim(const actor::Accepted& q, const IpAddr& ip, size_t per_ip, size_t total) {
  auto v = actor::evict_for(q, ip, per_ip, total);
  if (!v) return std::nullopt;
  return *v & ~INBOUND_BIT;
}

// True when the share's eviction signal is waiting (and takes it).
bool signalled(const Held& h) {
  Notify::Waiter w(*h.notifier());
  return w.poll();
}

// free + every share's held + the cut frames' bytes = the pool; by_ip adds up the shares
// that are not evicted and the cut frames, with no zero entries; evicted adds up the others.
void expect_balanced(const Budget& b, const std::vector<const conn::FrameShare*>& frames,
                     const std::vector<IpAddr>& frame_ips) {
  auto h = b.holdings();
  size_t held = 0, out = 0, framed = 0;
  std::map<IpAddr, size_t> by_ip;
  for (const auto& [id, s] : h.shares) {
    held += s.held;
    if (s.evicted) {
      out += s.held;
    } else if (s.held != 0) {
      by_ip[s.ip] += s.held;
    }
  }
  for (size_t i = 0; i < frames.size(); ++i) {
    framed += frames[i]->bytes();
    if (frames[i]->bytes() != 0) by_ip[frame_ips[i]] += frames[i]->bytes();
  }
  EXPECT_EQ(h.free + held + h.framed, b.total());
  EXPECT_EQ(h.framed, framed);
  EXPECT_EQ(h.evicted, out);
  std::map<IpAddr, size_t> got(h.by_ip.begin(), h.by_ip.end());
  EXPECT_EQ(got, by_ip);
}

}  // namespace

TEST(EvictFor, ThePerAddressLimitComesFirst) {
  const IpAddr a = v4(1), b = v4(2);
  // At its limit, the address's oldest stream goes, although the total is far off.
  EXPECT_EQ(victim(queue({{1, a}, {2, b}, {3, a}}), a, 2, 100), 1u);
  // Below both limits: nobody.
  EXPECT_EQ(victim(queue({{1, a}, {2, b}, {3, a}}), a, 3, 100), std::nullopt);
  EXPECT_EQ(victim(queue({}), a, 1, 1), std::nullopt);
  // Both limits reached at once: still the new connection's own address.
  EXPECT_EQ(victim(queue({{1, b}, {2, b}, {3, a}, {4, a}}), a, 2, 4), 3u);
}

TEST(EvictFor, AtTheTotalTheBusiestAddressLosesItsOldestStream) {
  const IpAddr a = v4(1), b = v4(2), c = v4(3);
  EXPECT_EQ(victim(queue({{1, a}, {2, b}, {3, b}}), c, 4, 3), 2u);
  // a and b tie; b was met first, so b's oldest goes.
  EXPECT_EQ(victim(queue({{1, b}, {2, a}, {3, a}, {4, b}}), c, 4, 4), 1u);
  // The new connection's own address is the busiest.
  EXPECT_EQ(victim(queue({{1, b}, {2, a}, {3, a}}), a, 4, 3), 2u);
  // One short of the total: nobody.
  EXPECT_EQ(victim(queue({{1, a}, {2, b}, {3, b}}), c, 4, 4), std::nullopt);
  // A queue already above the total (limits lowered) still gives one victim per admission.
  EXPECT_EQ(victim(queue({{1, a}, {2, b}, {3, c}, {4, c}}), a, 4, 2), 3u);
}

TEST(EvictFor, IPv4AndIPv4MappedIPv6AreTwoAddresses) {
  const IpAddr plain = v4(7), as_v6 = mapped(7);
  ASSERT_NE(plain, as_v6);
  auto q = queue({{1, plain}});
  EXPECT_EQ(victim(q, as_v6, 1, 100), std::nullopt);
  EXPECT_EQ(victim(q, plain, 1, 100), 1u);
  auto q2 = queue({{1, as_v6}, {2, plain}, {3, as_v6}});
  EXPECT_EQ(victim(q2, v4(9), 4, 3), 1u);  // the mapped form holds two, the plain one
}

TEST(Budget, PoolSizeSaturatesAndEveryReleaseWakesTheWaiters) {
  // (The eviction order, the allowance and the books are checked against the model below.)
  EXPECT_EQ(Budget::for_frames(size_t{1} << 63, 5)->total(), std::numeric_limits<size_t>::max());
  EXPECT_EQ(Budget::for_frames((size_t{1} << 62) + 1, 5)->total(), (size_t{1} << 63) + 2);
  auto b = Budget::for_frames(50, 100);
  Held a = Budget::open(b, 1, v4(1));
  ASSERT_TRUE(std::holds_alternative<conn::take::Reserved>(a.take(90)));
  EXPECT_TRUE(std::holds_alternative<conn::take::NoRoom>(a.take(std::numeric_limits<size_t>::max())));  // no wrap
  Notify::Waiter cut(b->released());
  conn::FrameShare f = a.cut(80);
  EXPECT_TRUE(cut.poll());
  Notify::Waiter frame_back(b->released());
  f.drop();
  EXPECT_TRUE(frame_back.poll());
  Notify::Waiter share_back(b->released());
  a.drop();
  EXPECT_TRUE(share_back.poll());
  EXPECT_FALSE(a.cut(5).valid());  // a dropped share cuts nothing
  EXPECT_EQ(b->holdings().free, b->total());
}

// ---- random sequences against a naive model -------------------------------------------------

namespace {

struct Model {
  struct S {
    uint64_t id;
    IpAddr ip;
    size_t held = 0;
    bool evicted = false, live = true, signalled = false;
  };
  struct F {
    IpAddr ip;
    size_t n = 0;
  };
  size_t total, per_ip, free, evicted = 0;
  uint64_t releases = 0;
  std::vector<S> shares;  // in id order
  std::map<uint64_t, F> frames;

  Model(size_t frame, size_t allowance) : total(frame * 2), per_ip(allowance), free(frame * 2) {}
  S* find(uint64_t id) {
    for (auto& s : shares)
      if (s.id == id && s.live) return &s;
    return nullptr;
  }
  size_t held_by(const IpAddr& ip) const {
    size_t n = 0;
    for (const auto& s : shares)
      if (s.live && !s.evicted && s.ip == ip) n += s.held;
    for (const auto& [k, f] : frames)
      if (f.ip == ip) n += f.n;
    return n;
  }
  // 0 reserved, 1 no room, 2 wait
  int take(uint64_t id, size_t n) {
    S* me = find(id);
    if (!me || me->evicted) return 1;
    if (held_by(me->ip) + n > per_ip) return 1;
    if (free >= n) {
      free -= n;
      me->held += n;
      return 0;
    }
    if (free + evicted >= n) return 2;
    for (;;) {
      S* best = nullptr;
      for (auto& s : shares) {
        if (!s.live || s.evicted || s.held == 0 || s.ip == me->ip) continue;
        if (!best || held_by(s.ip) > held_by(best->ip) ||
            (held_by(s.ip) == held_by(best->ip) && s.held > best->held))
          best = &s;
      }
      if (!best || held_by(best->ip) <= held_by(me->ip)) return 1;
      best->evicted = true;
      best->signalled = true;
      evicted += best->held;
      if (free + evicted >= n) return 2;
    }
  }
  // False when nothing was cut (evicted or gone).
  bool cut(uint64_t id, size_t n, uint64_t frame) {
    S* s = find(id);
    if (!s || s->evicted) return false;
    size_t kept = std::min(s->held, n);
    free += s->held - kept;
    s->held = 0;
    frames[frame] = F{s->ip, kept};
    ++releases;
    return true;
  }
  void release(uint64_t frame) {
    free += frames.at(frame).n;
    frames.erase(frame);
    ++releases;
  }
  void drop(uint64_t id) {
    S* s = find(id);
    if (!s) return;
    if (s->evicted) evicted -= s->held;
    free += s->held;
    ++releases;
    s->live = false;
  }
};

}  // namespace

TEST(Budget, RandomSequencesMatchTheModelAndDroppingEverythingRestoresThePool) {
  const IpAddr ips[] = {v4(1), v4(2), v4(3), mapped(1)};
  std::mt19937_64 rng(20240601);
  for (int round = 0; round < 60; ++round) {
    const size_t frame = 40 + rng() % 100;
    const size_t allowance = frame + 4 + rng() % 50;
    auto b = Budget::for_frames(frame, allowance);
    Model m(frame, allowance);
    std::map<uint64_t, Held> helds;
    std::map<uint64_t, conn::FrameShare> frames;
    uint64_t next = 0, next_frame = 0;
    for (int step = 0; step < 400; ++step) {
      unsigned op = rng() % 11;
      if (op == 10 && !frames.empty()) {
        auto f = frames.begin();
        std::advance(f, static_cast<std::ptrdiff_t>(rng() % frames.size()));
        m.release(f->first);
        frames.erase(f);
        continue;
      }
      if (op == 0 || op == 10 || helds.empty()) {
        uint64_t id = next++;
        IpAddr ip = ips[rng() % 4];
        helds.emplace(id, Budget::open(b, id, ip));
        m.shares.push_back(Model::S{id, ip});
        continue;
      }
      auto it = helds.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(rng() % helds.size()));
      const uint64_t id = it->first;
      if (op <= 6) {
        size_t n = rng() % (frame + 10);
        Take t = it->second.take(n);
        int want = m.take(id, n);
        ASSERT_EQ(static_cast<int>(t.index()), want) << "round " << round << " step " << step;
        if (want == 2) {
          ASSERT_EQ(std::get<conn::take::Wait>(t).seen, m.releases);
        }
      } else if (op <= 7) {
        size_t n = rng() % (frame + 10);
        conn::FrameShare f = it->second.cut(n);
        ASSERT_EQ(f.valid(), m.cut(id, n, next_frame));
        if (f.valid()) frames.emplace(next_frame++, std::move(f));
      } else {
        // The eviction signal came exactly for the evicted shares.
        ASSERT_EQ(signalled(it->second), m.find(id)->signalled);
        helds.erase(it);
        m.drop(id);
      }
      auto h = b->holdings();
      ASSERT_EQ(h.free, m.free);
      ASSERT_EQ(h.evicted, m.evicted);
      ASSERT_EQ(h.releases, m.releases);
      for (const auto& ip : ips) ASSERT_EQ(h.held_by(ip), m.held_by(ip));
      for (const auto& [sid, s] : h.shares) {
        auto* ms = m.find(sid);
        ASSERT_NE(ms, nullptr);
        ASSERT_EQ(s.held, ms->held);
        ASSERT_EQ(s.evicted, ms->evicted);
      }
      ASSERT_EQ(h.shares.size(), helds.size());
      for (const auto& [ip, n] : h.by_ip) ASSERT_LE(n, allowance);  // no address above its allowance
      std::vector<const conn::FrameShare*> fs;
      std::vector<IpAddr> fips;
      for (const auto& [k, f] : frames) {
        fs.push_back(&f);
        fips.push_back(m.frames.at(k).ip);
      }
      expect_balanced(*b, fs, fips);
    }
    helds.clear();
    frames.clear();
    auto h = b->holdings();
    EXPECT_EQ(h.free, b->total());
    EXPECT_TRUE(h.by_ip.empty());
    EXPECT_EQ(h.evicted, 0u);
    EXPECT_TRUE(h.shares.empty());
  }
}
