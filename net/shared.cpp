#include "net/shared.hpp"

namespace vennock::net::actor {

std::tuple<core::Command, const char*, proto::KeyId> KeyChange::command() && {
  proto::KeyId id = key.id();
  switch (kind) {
    case Kind::Install: return {core::command::InstallKey{std::move(key)}, "installed", id};
    case Kind::Use: return {core::command::UseKey{std::move(key)}, "now encrypting with", id};
    case Kind::Remove: break;
  }
  return {core::command::RemoveKey{std::move(key)}, "removed", id};
}

uint64_t system_wall_ms() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return ms <= 0 ? 1 : static_cast<uint64_t>(ms);
}

uint64_t Clock::at(Instant t) const {
  if (t <= start) return 0;
  auto d = t - start;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

Instant Clock::instant(uint64_t ns) const {
  auto room = std::chrono::duration_cast<std::chrono::nanoseconds>(Instant::max() - start).count();
  if (ns >= static_cast<uint64_t>(room)) return Instant::max();
  return start + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

std::optional<events::Event> published(core::Event&& e) {
  using namespace events;
  return std::visit(
      [](auto&& ev) -> std::optional<Event> {
        using T = std::decay_t<decltype(ev)>;
        if constexpr (std::is_same_v<T, core::event::Completed>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<T, core::event::MemberJoined>) {
          return Event{event::MemberJoined{std::move(ev.member)}};
        } else if constexpr (std::is_same_v<T, core::event::MemberSuspect>) {
          return Event{event::MemberSuspect{std::move(ev.member)}};
        } else if constexpr (std::is_same_v<T, core::event::MemberRecovered>) {
          return Event{event::MemberRecovered{std::move(ev.member)}};
        } else if constexpr (std::is_same_v<T, core::event::MemberDead>) {
          return Event{event::MemberDead{std::move(ev.member)}};
        } else if constexpr (std::is_same_v<T, core::event::MemberLeft>) {
          return Event{event::MemberLeft{std::move(ev.member)}};
        } else if constexpr (std::is_same_v<T, core::event::MemberUpdated>) {
          return Event{event::MemberUpdated{std::move(ev.member), std::move(ev.old_meta)}};
        } else if constexpr (std::is_same_v<T, core::event::NameConflict>) {
          return Event{event::NameConflict{ev.other, std::move(ev.member)}};
        } else {
          static_assert(std::is_same_v<T, core::event::UserMessage>);
          return Event{event::UserMessage{std::move(ev.from), std::move(ev.data), ev.broadcast}};
        }
      },
      std::move(e));
}

}  // namespace vennock::net::actor
