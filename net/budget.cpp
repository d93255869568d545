#include "net/budget.hpp"

#include <algorithm>
#include <limits>
#include <tuple>

namespace vennock::net::conn {

size_t Holdings::held_by(const IpAddr& ip) const {
  auto it = by_ip.find(ip);
  return it == by_ip.end() ? 0 : it->second;
}

void Holdings::unhold(const IpAddr& ip, size_t n) {
  auto it = by_ip.find(ip);
  if (it == by_ip.end()) return;
  if (it->second <= n) {
    by_ip.erase(it);
  } else {
    it->second -= n;
  }
}

std::shared_ptr<Budget> Budget::for_frames(size_t frame, size_t per_ip) {
  constexpr size_t top = std::numeric_limits<size_t>::max();
  size_t total = frame > top / 2 ? top : frame * 2;
  return std::make_shared<Budget>(total, per_ip);
}

Held Budget::open(const std::shared_ptr<Budget>& budget, uint64_t key, const IpAddr& ip) {
  auto n = std::make_shared<Notify>();
  {
    std::lock_guard<std::mutex> g(budget->m_);
    Share s;
    s.notify = n;
    s.ip = ip;
    budget->h_.shares.insert_or_assign(key, std::move(s));
  }
  return Held(budget, std::move(n), key);
}

uint64_t Budget::releases() const {
  std::lock_guard<std::mutex> g(m_);
  return h_.releases;
}

Holdings Budget::holdings() const {
  std::lock_guard<std::mutex> g(m_);
  return h_;
}

Take Held::take(size_t n) {
  if (!budget_) return take::NoRoom{};
  Budget& b = *budget_;
  std::lock_guard<std::mutex> g(b.m_);
  Holdings& h = b.h_;
  auto own = h.shares.find(key_);
  if (own == h.shares.end() || own->second.evicted) return take::NoRoom{};
  const IpAddr ip = own->second.ip;
  size_t mine = h.held_by(ip);
  // Reaching the allowance exactly is fine; one byte more is not, however empty the pool.
  size_t wanted = mine > std::numeric_limits<size_t>::max() - n ? std::numeric_limits<size_t>::max() : mine + n;
  if (wanted > b.per_ip_) return take::NoRoom{};
  if (h.free >= n) {
    h.free -= n;
    if (n != 0) h.by_ip[ip] += n;  // an address holding nothing has no entry
    own->second.held += n;
    return take::Reserved{};
  }
  // Bytes already on their way back cover it: nobody new needs to go.
  if (h.free + h.evicted >= n) return take::Wait{h.releases};
  for (;;) {
    // The share to push out: of the address holding the most, the share holding the most,
    // the earliest started. Only addresses holding strictly more than this one qualify,
    // so two strangers cannot keep evicting each other's equal shares for ever, and a
    // stream never evicts its own address. Frames already cut are the actor's: never.
    Share* victim = nullptr;
    std::tuple<size_t, size_t> best{0, 0};
    uint64_t best_id = 0;
    for (auto& [sid, s] : h.shares) {
      if (s.evicted || s.held == 0 || s.ip == ip) continue;
      std::tuple<size_t, size_t> key{h.held_by(s.ip), s.held};
      if (!victim || key > best || (key == best && sid < best_id)) {
        victim = &s;
        best = key;
        best_id = sid;
      }
    }
    if (!victim || std::get<0>(best) <= mine) return take::NoRoom{};
    victim->evicted = true;
    victim->notify->notify_one();
    h.unhold(victim->ip, victim->held);
    h.evicted += victim->held;
    if (h.free + h.evicted >= n) return take::Wait{h.releases};
    mine = h.held_by(ip);
  }
}

FrameShare Held::cut(size_t n) {
  if (!budget_) return {};
  Budget& b = *budget_;
  FrameShare frame;
  {
    std::lock_guard<std::mutex> g(b.m_);
    Holdings& h = b.h_;
    auto it = h.shares.find(key_);
    if (it == h.shares.end() || it->second.evicted) return {};
    Share& s = it->second;
    const size_t kept = std::min(s.held, n);
    const size_t excess = s.held - kept;
    // The frame's bytes stay counted for the address (by_ip) while the actor holds them.
    h.unhold(s.ip, excess);
    h.free += excess;
    h.framed += kept;
    s.held = 0;
    ++h.releases;
    frame = FrameShare(budget_, s.ip, kept);
  }
  b.released_.notify_waiters();
  return frame;
}

void Budget::release_frame(const IpAddr& ip, size_t n) {
  {
    std::lock_guard<std::mutex> g(m_);
    h_.unhold(ip, n);
    h_.framed -= n;
    h_.free += n;
    ++h_.releases;
  }
  released_.notify_waiters();
}

void FrameShare::drop() {
  if (!budget_) return;
  std::shared_ptr<Budget> b = std::move(budget_);  // leaves budget_ empty: a second drop does nothing
  b->release_frame(ip_, std::exchange(n_, 0));
}

void Held::drop() {
  if (!budget_) return;
  std::shared_ptr<Budget> b = std::move(budget_);  // leaves budget_ empty: a second drop does nothing
  std::shared_ptr<Notify> gone;  // the share's reference, released outside the lock
  {
    std::lock_guard<std::mutex> g(b->m_);
    Holdings& h = b->h_;
    auto it = h.shares.find(key_);
    if (it != h.shares.end()) {
      Share& s = it->second;
      if (s.evicted) {
        h.evicted -= s.held;
      } else {
        h.unhold(s.ip, s.held);
      }
      h.free += s.held;
      ++h.releases;
      gone = std::move(s.notify);
      h.shares.erase(it);
    }
  }
  notify_.reset();
  b->released_.notify_waiters();
}

}  // namespace vennock::net::conn
