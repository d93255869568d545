// One libFuzzer target for everything that reads bytes from the network or from callers.
// The first input byte picks the reader; the rest is its input. Beyond "no crash", each
// mode checks an invariant that a subtle decoding fault would break.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <string_view>

#include "proto/message.hpp"
#include "proto/packet.hpp"
#include "proto/stream.hpp"
#include "proto/tags.hpp"

using namespace vennock::proto;

namespace {

#define CHECK(cond)        \
  do {                     \
    if (!(cond)) abort();  \
  } while (0)

std::array<uint8_t, 32> fixed(uint8_t base) {
  std::array<uint8_t, 32> a;
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(base + i);
  return a;
}

// Encoding is canonical: whatever decodes must encode back to the very same bytes.
void payload(ByteView in) {
  auto r = decode_payload(in);
  if (!r) {
    CHECK(r.error().number() < DECODE_CODES);
    return;
  }
  Bytes out;
  size_t total = 0;
  for (const auto& m : *r) {
    encode(m, out);
    total += encoded_size(m);
  }
  CHECK(out.size() == total);
  CHECK(std::equal(out.begin(), out.end(), in.begin(), in.end()));
}

void tags(ByteView in) {
  auto t = Tags::parse(in);
  if (!t) {
    CHECK(tag_pairs(in).empty() || in.empty());
    return;
  }
  TagPairs pairs;
  for (auto [k, v] : *t) pairs.emplace_back(std::string(k), std::string(v));
  CHECK(pairs.size() == t->size());
  CHECK(pairs == tag_pairs(in));
  Bytes back = encode_tags(pairs);
  CHECK(std::equal(back.begin(), back.end(), in.begin(), in.end()));
}

// Opening: the header check and open agree, and whatever opens can be sealed and opened
// again to the same payload.
void open_packet(ByteView in, bool encrypted) {
  static Codec plain("default", std::nullopt, fixed(1));
  static Codec sealed("default", std::vector<Key>{Key::from_array(fixed(2)), Key::from_array(fixed(3))}, fixed(4));
  Codec& c = encrypted ? sealed : plain;
  const HeaderCheck hc = c.header_check();

  Bytes buf(in.begin(), in.end());
  auto pre = hc.check(buf);
  auto o = c.open_datagram(buf);
  if (in.size() <= MAX_DATAGRAM_LEN && !pre) CHECK(!o && o.error() == pre.error());
  if (!o) return;
  CHECK(pre.ok());
  const Bytes payload_copy(o->payload.begin(), o->payload.end());
  (void)decode_payload(o->payload);
  Bytes again = c.seal(payload_copy, o->stamp_ms);
  auto o2 = c.open(again);
  CHECK(o2.ok());
  CHECK(o2->stamp_ms == o->stamp_ms);
  CHECK(Bytes(o2->payload.begin(), o2->payload.end()) == payload_copy);
}

// Sealing arbitrary payloads: they open to themselves, and any single-byte change is refused.
void seal_round_trip(ByteView in) {
  static Codec c("default", std::vector<Key>{Key::from_array(fixed(5))}, fixed(6));
  if (in.size() < 3) return;
  const size_t at = (size_t{in[0]} << 8 | in[1]);
  const uint8_t flip = in[2] == 0 ? 1 : in[2];
  ByteView p = in.subspan(3);
  Bytes pkt = c.seal(p, 12345);
  Bytes copy = pkt;
  auto o = c.open(copy);
  CHECK(o.ok() && o->payload.size() == p.size());
  CHECK(std::equal(p.begin(), p.end(), o->payload.begin()));
  pkt[at % pkt.size()] ^= flip;
  CHECK(!c.open(pkt).ok());
}

// The cutter, fed in pieces, gives exactly what one pass over the whole stream gives.
void frames(ByteView in) {
  if (in.size() < 2) return;
  const uint64_t max_frame = uint64_t{in[0]} * 4;
  uint32_t seed = in[1] * 2654435761u + 1;
  ByteView stream = in.subspan(2);

  std::vector<Bytes> want;
  bool want_fail = false;
  for (size_t pos = 0;;) {
    if (stream.size() - pos < 4) break;
    const uint32_t len = (uint32_t{stream[pos]} << 24) | (uint32_t{stream[pos + 1]} << 16) |
                         (uint32_t{stream[pos + 2]} << 8) | stream[pos + 3];
    if (len > max_frame) {
      want_fail = true;
      break;
    }
    if (stream.size() - pos - 4 < len) break;
    want.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                      stream.begin() + static_cast<std::ptrdiff_t>(pos + 4 + len));
    pos += 4 + len;
  }

  FrameCutter cut(max_frame);
  std::vector<Bytes> got;
  bool failed = false;
  for (size_t pos = 0; pos < stream.size() && !failed;) {
    seed = seed * 1103515245u + 12345u;
    const size_t n = std::min<size_t>((seed >> 16) % 9, stream.size() - pos);
    auto r = cut.push(stream.subspan(pos, n));
    pos += n;
    if (!r) {
      CHECK(r.error().code == DecodeCode::FrameTooLarge);
      failed = true;
    }
    CHECK(cut.buffered() <= stream.size());
    if ((seed >> 8) & 1)
      while (auto f = cut.next()) got.push_back(std::move(*f));
    if (auto len = cut.pending_length()) CHECK(*len <= max_frame);
  }
  while (auto f = cut.next()) got.push_back(std::move(*f));
  CHECK(failed == want_fail);
  // After a refusal the frames before it may or may not have been taken; never wrong ones.
  CHECK(got.size() <= want.size());
  for (size_t i = 0; i < got.size(); ++i) CHECK(got[i] == want[i]);
  if (!failed) CHECK(got.size() == want.size());
}

void key_text(ByteView in) {
  std::string_view text(reinterpret_cast<const char*>(in.data()), in.size());
  auto k = Key::from_base64(text);
  if (!k) return;
  SecretString t = k->to_base64();
  CHECK(t.str().size() == 44);
  auto back = Key::from_base64(t.str());
  CHECK(back.ok() && *back == *k);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ByteView in(data + 1, size - 1);
  switch (data[0] % 7) {
    case 0: payload(in); break;
    case 1: tags(in); break;
    case 2: {
      open_packet(in, false);
      // The same bytes behind a valid plaintext header, so the fuzzer need not find the
      // label hash before it can reach the payload.
      static const Bytes header = Codec("default", std::nullopt, fixed(1)).seal({}, 0);
      Bytes framed(header.begin(), header.begin() + HEADER_LEN);
      framed.insert(framed.end(), in.begin(), in.end());
      open_packet(framed, false);
      break;
    }
    case 3: open_packet(in, true); break;
    case 4: seal_round_trip(in); break;
    case 5: frames(in); break;
    case 6: key_text(in); break;
  }
  return 0;
}
