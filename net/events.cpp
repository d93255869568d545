#include "net/events.hpp"

namespace vennock::net::events {

const char* kind_name(const Event& e) {
  static const char* names[] = {"MemberJoined", "MemberSuspect", "MemberRecovered", "MemberDead", "MemberLeft",
                                "MemberUpdated", "NameConflict",  "UserMessage",     "EventsLost"};
  return names[e.index()];
}

Received Events::next_of(Sub& s) {
  std::lock_guard<std::mutex> g(s.m);
  // Events given back come before the report of a loss: they are older than what was lost.
  if (s.lost != 0 && s.returned == 0) {
    uint64_t n = std::exchange(s.lost, 0);
    return Received{Received::Kind::Item, Event{event::EventsLost{n}}};
  }
  if (!s.events.empty()) {
    if (s.returned != 0) --s.returned;
    Received r{Received::Kind::Item, std::move(s.events.front())};
    s.events.pop_front();
    return r;
  }
  return Received{s.closed ? Received::Kind::Closed : Received::Kind::Empty, std::nullopt};
}

Received Events::next() { return next_of(*sub_); }

bool Events::failed() {
  std::lock_guard<std::mutex> g(sub_->m);
  return sub_->failed;
}

Task<std::optional<Event>> Events::recv_event(std::shared_ptr<Sub> sub) {
  auto reading = recv_from(std::move(sub), std::nullopt);
  Received r = co_await std::move(reading);
  co_return std::move(r.event);
}

Task<Received> Events::recv_from(std::shared_ptr<Sub> sub, std::optional<Instant> deadline) {
  for (;;) {
    Notify::Waiter w(sub->notify);
    Received r = next_of(*sub);
    if (r.kind != Received::Kind::Empty) co_return r;
    if (deadline && now() >= *deadline) co_return r;
    while (!w.poll()) {
      bool timed_out = co_await park(deadline);
      if (timed_out) break;
    }
  }
}

void Events::put_back(Event e) {
  {
    std::lock_guard<std::mutex> g(sub_->m);
    if (auto* l = std::get_if<event::EventsLost>(&e)) {
      sub_->lost += l->count;
    } else {
      sub_->events.push_front(std::move(e));
      ++sub_->returned;
    }
  }
  sub_->notify.notify_one();
}

Events Hub::subscribe() {
  auto sub = std::make_shared<Sub>();
  std::lock_guard<std::mutex> g(m_);
  if (closed_) {
    std::lock_guard<std::mutex> sg(sub->m);
    sub->closed = true;
    sub->failed = failed_;
  } else {
    subs_.push_back(sub);
  }
  return Events(std::move(sub));
}

void Hub::publish(std::span<const Event> batch) {
  if (batch.empty()) return;
  std::lock_guard<std::mutex> g(m_);
  size_t keep = 0;
  for (size_t i = 0; i < subs_.size(); ++i) {
    std::shared_ptr<Sub> s = subs_[i].lock();
    if (!s) continue;
    {
      std::lock_guard<std::mutex> sg(s->m);
      for (const Event& e : batch) {
        // (A loop: an event put back may have taken the queue one over.)
        while (s->events.size() >= cap_) {
          s->events.pop_front();
          if (s->returned != 0) --s->returned;
          ++s->lost;
        }
        s->events.push_back(e);
      }
    }
    s->notify.notify_one();
    if (keep != i) subs_[keep] = std::move(subs_[i]);
    ++keep;
  }
  subs_.resize(keep);
}

void Hub::close(bool panicking) {
  std::lock_guard<std::mutex> g(m_);
  closed_ = true;
  failed_ = panicking;
  std::vector<std::weak_ptr<Sub>> subs;
  subs.swap(subs_);
  for (auto& w : subs) {
    std::shared_ptr<Sub> s = w.lock();
    if (!s) continue;
    {
      std::lock_guard<std::mutex> sg(s->m);
      s->closed = true;
      s->failed = panicking;
    }
    s->notify.notify_one();
  }
}

size_t Hub::subscribers() {
  std::lock_guard<std::mutex> g(m_);
  size_t n = 0;
  for (auto& w : subs_)
    if (!w.expired()) ++n;
  return n;
}

}  // namespace vennock::net::events
