#include "proto/message.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace vennock::proto {

namespace {

size_t text_size(size_t n) { return varint_len(static_cast<uint32_t>(n)) + n; }
constexpr size_t kSeq = 4, kEpoch = 8, kIncarnation = 4, kFlag = 1, kStateByte = 1;

size_t body_size(const Ping& m) { return kSeq + text_size(m.target.size()) + text_size(m.source.size()); }
size_t body_size(const IndirectPing& m) {
  return kSeq + text_size(m.target.size()) + addr_len(m.target_addr) + text_size(m.requester.size()) + kFlag;
}
size_t body_size(const Ack&) { return kSeq; }
size_t body_size(const Nack&) { return kSeq; }
size_t body_size(const Alive& m) {
  return text_size(m.name.size()) + addr_len(m.addr) + kEpoch + kIncarnation + text_size(m.meta.size());
}
size_t body_size(const Suspect& m) {
  return text_size(m.name.size()) + kEpoch + kIncarnation + text_size(m.from.size());
}
size_t body_size(const Dead& m) { return text_size(m.name.size()) + kEpoch + kIncarnation + text_size(m.from.size()); }
size_t record_size(const MemberRecord& r) {
  return text_size(r.name.size()) + addr_len(r.addr) + kEpoch + kIncarnation + kStateByte + text_size(r.meta.size());
}
size_t body_size(const State& m) {
  size_t n = kFlag + varint_len(static_cast<uint32_t>(m.members.size()));
  for (const auto& r : m.members) n += record_size(r);
  return n;
}
size_t body_size(const UserMessage& m) {
  return text_size(m.from.size()) + kEpoch + text_size(m.to.size()) + kEpoch + text_size(m.data.size());
}
size_t body_size(const UserBroadcast& m) {
  return text_size(m.origin.size()) + kEpoch + 8 + text_size(m.data.size());
}

void put_body(Writer& w, const Ping& m) {
  w.u32(m.seq);
  w.text(m.target);
  w.text(m.source);
}
void put_body(Writer& w, const IndirectPing& m) {
  w.u32(m.seq);
  w.text(m.target);
  w.addr(m.target_addr);
  w.text(m.requester);
  w.u8(m.nack ? 1 : 0);
}
void put_body(Writer& w, const Ack& m) { w.u32(m.seq); }
void put_body(Writer& w, const Nack& m) { w.u32(m.seq); }
void put_body(Writer& w, const Alive& m) {
  w.text(m.name);
  w.addr(m.addr);
  w.u64(m.epoch);
  w.u32(m.incarnation);
  w.bytes(m.meta);
}
template <class T>  // Suspect and Dead share their layout
void put_accusation(Writer& w, const T& m) {
  w.text(m.name);
  w.u64(m.epoch);
  w.u32(m.incarnation);
  w.text(m.from);
}
void put_body(Writer& w, const Suspect& m) { put_accusation(w, m); }
void put_body(Writer& w, const Dead& m) { put_accusation(w, m); }
void put_body(Writer& w, const State& m) {
  w.u8(m.join ? 1 : 0);
  w.varint(static_cast<uint32_t>(m.members.size()));
  for (const auto& r : m.members) {
    w.text(r.name);
    w.addr(r.addr);
    w.u64(r.epoch);
    w.u32(r.incarnation);
    w.u8(static_cast<uint8_t>(r.state));
    w.bytes(r.meta);
  }
}
void put_body(Writer& w, const UserMessage& m) {
  w.text(m.from);
  w.u64(m.from_epoch);
  w.text(m.to);
  w.u64(m.to_epoch);
  w.bytes(m.data);
}
void put_body(Writer& w, const UserBroadcast& m) {
  w.text(m.origin);
  w.u64(m.origin_epoch);
  w.u64(m.seq);
  w.bytes(m.data);
}

// Body decoders read from a reader bounded to exactly the declared body.
#define TRY(var, expr)                    \
  auto var = (expr);                      \
  if (!var) return err(var.error())

Result<Message, DecodeError> get_ping(Reader& r) {
  TRY(seq, r.u32());
  TRY(target, r.name());
  TRY(source, r.name());
  return Message(Ping{*seq, std::move(*target), std::move(*source)});
}
Result<Message, DecodeError> get_indirect(Reader& r) {
  TRY(seq, r.u32());
  TRY(target, r.name());
  TRY(addr, r.addr());
  TRY(requester, r.name());
  TRY(nack, r.flag());
  return Message(IndirectPing{*seq, std::move(*target), *addr, std::move(*requester), *nack});
}
Result<Message, DecodeError> get_ack(Reader& r) {
  TRY(seq, r.u32());
  return Message(Ack{*seq});
}
Result<Message, DecodeError> get_nack(Reader& r) {
  TRY(seq, r.u32());
  return Message(Nack{*seq});
}
// Metadata within the receiver's limit. The limit is checked as the length is read, before
// the bytes are looked for: a length over it is TooLarge whether or not its bytes follow.
Result<ByteView, DecodeError> get_meta(Reader& r, const DecodeLimits& lim) {
  TRY(len, r.varint());
  if (*len > lim.max_meta) return err(decode_error(DecodeCode::TooLarge));
  return r.raw(*len);
}
Result<Message, DecodeError> get_alive(Reader& r, const DecodeLimits& lim) {
  TRY(name, r.name());
  TRY(addr, r.addr());
  TRY(epoch, r.u64());
  TRY(inc, r.u32());
  TRY(meta, get_meta(r, lim));
  return Message(Alive{std::move(*name), *addr, *epoch, *inc, Bytes(meta->begin(), meta->end())});
}
template <class T>
Result<Message, DecodeError> get_accusation(Reader& r) {
  TRY(name, r.name());
  TRY(epoch, r.u64());
  TRY(inc, r.u32());
  TRY(from, r.name());
  return Message(T{std::move(*name), *epoch, *inc, std::move(*from)});
}
Result<MemberState, DecodeError> get_member_state(Reader& r) {
  TRY(b, r.u8());
  if (*b > static_cast<uint8_t>(MemberState::Left)) return err(decode_error(DecodeCode::BadValue));
  return static_cast<MemberState>(*b);
}
// The smallest record: 1-byte name, IPv4 address, no metadata.
constexpr size_t kMinRecord = 2 + 7 + kEpoch + kIncarnation + kStateByte + 1;
Result<Message, DecodeError> get_state(Reader& r, const DecodeLimits& lim) {
  TRY(join, r.flag());
  TRY(count, r.varint());
  State s;
  s.join = *join;
  // The count is the sender's word; reserve no more than the remaining bytes could hold.
  s.members.reserve(std::min<size_t>(*count, r.remaining() / kMinRecord));
  for (uint32_t i = 0; i < *count; ++i) {
    MemberRecord rec;
    TRY(name, r.name());
    TRY(addr, r.addr());
    TRY(epoch, r.u64());
    TRY(inc, r.u32());
    TRY(state, get_member_state(r));
    TRY(meta, get_meta(r, lim));
    rec.name = std::move(*name);
    rec.addr = *addr;
    rec.epoch = *epoch;
    rec.incarnation = *inc;
    rec.state = *state;
    rec.meta.assign(meta->begin(), meta->end());
    s.members.push_back(std::move(rec));
  }
  return Message(std::move(s));
}
Result<Message, DecodeError> get_user_message(Reader& r) {
  TRY(from, r.name());
  TRY(from_epoch, r.u64());
  TRY(to, r.name());
  TRY(to_epoch, r.u64());
  TRY(data, r.bytes());
  return Message(UserMessage{std::move(*from), *from_epoch, std::move(*to), *to_epoch, Bytes(data->begin(), data->end())});
}
Result<Message, DecodeError> get_user_broadcast(Reader& r) {
  TRY(origin, r.name());
  TRY(epoch, r.u64());
  TRY(seq, r.u64());
  TRY(data, r.bytes());
  return Message(UserBroadcast{std::move(*origin), *epoch, *seq, Bytes(data->begin(), data->end())});
}

Result<Message, DecodeError> get_body(MessageKind kind, Reader& r, const DecodeLimits& lim) {
  switch (kind) {
    case MessageKind::Ping: return get_ping(r);
    case MessageKind::IndirectPing: return get_indirect(r);
    case MessageKind::Ack: return get_ack(r);
    case MessageKind::Nack: return get_nack(r);
    case MessageKind::Alive: return get_alive(r, lim);
    case MessageKind::Suspect: return get_accusation<Suspect>(r);
    case MessageKind::Dead: return get_accusation<Dead>(r);
    case MessageKind::State: return get_state(r, lim);
    case MessageKind::UserMessage: return get_user_message(r);
    case MessageKind::UserBroadcast: return get_user_broadcast(r);
  }
  return err(decode_error(DecodeCode::UnknownKind));
}

#undef TRY

// Saturating arithmetic for the size bounds: a size that cannot be encoded at all reports
// SIZE_MAX, so a limit check against it fails instead of wrapping.
constexpr size_t kMaxField = std::numeric_limits<uint32_t>::max();
size_t message_size(size_t body) {
  if (body > kMaxField) return SIZE_MAX;
  return 1 + varint_len(static_cast<uint32_t>(body)) + body;
}
size_t field_size(size_t n) {
  if (n > kMaxField) return SIZE_MAX;
  return text_size(n);
}
size_t add_sat(size_t a, size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

constexpr size_t kMaxName = 1 + MAX_NAME_LEN;  // varint 64 is one byte

}  // namespace

MessageKind kind_of(const Message& m) { return static_cast<MessageKind>(m.index()); }

size_t encoded_size(const Message& m) {
  const size_t body = std::visit([](const auto& x) { return body_size(x); }, m);
  return 1 + varint_len(static_cast<uint32_t>(body)) + body;
}

void encode(const Message& m, Bytes& out) {
  const size_t body = std::visit([](const auto& x) { return body_size(x); }, m);
  // Reserving exactly what this message needs would reallocate at every append: grow by
  // doubling instead, as the vector itself would.
  const size_t need = out.size() + 1 + MAX_VARINT_LEN + body;
  if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
  Writer w(out);
  w.u8(static_cast<uint8_t>(kind_of(m)));
  w.varint(static_cast<uint32_t>(body));
  std::visit([&](const auto& x) { put_body(w, x); }, m);
}

Result<std::vector<Message>, DecodeError> decode_payload(ByteView payload, const DecodeLimits& limits) {
  std::vector<Message> out;
  Reader r(payload);
  while (!r.empty()) {
    if (out.size() >= limits.max_messages) return err(decode_error(DecodeCode::TooLarge));
    auto kind = r.u8();
    if (!kind) return err(kind.error());
    if (*kind > static_cast<uint8_t>(MessageKind::UserBroadcast)) return err(decode_error(DecodeCode::UnknownKind));
    auto len = r.varint();
    if (!len) return err(len.error());
    auto body = r.raw(*len);  // a length past the end of the payload: Truncated
    if (!body) return err(body.error());
    Reader br(*body);
    auto msg = get_body(static_cast<MessageKind>(*kind), br, limits);
    if (!msg) {
      // Running out inside the declared body means the declared length was too short.
      if (msg.error().code == DecodeCode::Truncated) return err(decode_error(DecodeCode::BadLength));
      return err(msg.error());
    }
    if (!br.empty()) return err(decode_error(DecodeCode::BadLength));  // declared longer than the body
    out.push_back(std::move(*msg));
  }
  return out;
}

size_t max_ping_size() { return message_size(kSeq + 2 * kMaxName); }

size_t max_alive_size(size_t meta_bytes) {
  size_t body = add_sat(kMaxName + MAX_ADDR_LEN + kEpoch + kIncarnation, field_size(meta_bytes));
  return message_size(body);
}

size_t max_user_broadcast_size(size_t data_bytes) {
  size_t body = add_sat(kMaxName + kEpoch + 8, field_size(data_bytes));
  return message_size(body);
}

size_t max_user_message_size(size_t data_bytes) {
  size_t body = add_sat(2 * kMaxName + 2 * kEpoch, field_size(data_bytes));
  return message_size(body);
}

}  // namespace vennock::proto
