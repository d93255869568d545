#include <gtest/gtest.h>

#include "proto/wire.hpp"
#include "samples.hpp"

namespace vennock::proto {
namespace {

using samples::bytes_of;

Result<uint32_t, DecodeError> read_varint(const Bytes& b, size_t* used = nullptr) {
  Reader r(b);
  auto v = r.varint();
  if (used) *used = r.position();
  return v;
}

TEST(Varint, EncodesShortestFormAtEveryLengthBoundary) {
  struct Case {
    uint32_t value;
    Bytes bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x80, 0x01}},
      {300, {0xAC, 0x02}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x80, 0x80, 0x01}},
      {(1u << 21) - 1, {0xFF, 0xFF, 0x7F}},
      {1u << 21, {0x80, 0x80, 0x80, 0x01}},
      {(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
      {1u << 28, {0x80, 0x80, 0x80, 0x80, 0x01}},
      {UINT32_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  for (const auto& c : cases) {
    Bytes out;
    put_varint(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    EXPECT_EQ(varint_len(c.value), c.bytes.size()) << c.value;
    size_t used = 0;
    auto back = read_varint(c.bytes, &used);
    ASSERT_TRUE(back.ok()) << c.value;
    EXPECT_EQ(*back, c.value);
    EXPECT_EQ(used, c.bytes.size());
  }
}

TEST(Varint, RefusesLongerFormsOverflowAndTruncation) {
  const struct {
    Bytes bytes;
    DecodeCode code;
  } cases[] = {
      {bytes_of({0x80, 0x00}), DecodeCode::BadVarint},                    // 0 in two bytes
      {bytes_of({0xFF, 0x80, 0x00}), DecodeCode::BadVarint},              // 127 in three bytes
      {bytes_of({0x80, 0x80, 0x80, 0x80, 0x00}), DecodeCode::BadVarint},  // 0 in five bytes
      {bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0x10}), DecodeCode::BadVarint},  // 2^32
      {bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), DecodeCode::BadVarint},
      {bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0x8F, 0x01}), DecodeCode::BadVarint},  // a sixth byte
      {bytes_of({0x80}), DecodeCode::Truncated},
      {bytes_of({0xFF, 0xFF, 0xFF, 0xFF}), DecodeCode::Truncated},
      {Bytes{}, DecodeCode::Truncated},
  };
  for (const auto& c : cases) {
    auto v = read_varint(c.bytes);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().code, c.code);
  }
}

TEST(Writer, IntegersAreBigEndianAndReadBack) {
  Bytes out;
  Writer w(out);
  w.u8(0x01);
  w.u16(0x0203);
  w.u32(0x04050607);
  w.u64(0x08090A0B0C0D0E0FULL);
  EXPECT_EQ(out, bytes_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  Reader r(out);
  EXPECT_EQ(*r.u8(), 0x01);
  EXPECT_EQ(*r.u16(), 0x0203);
  EXPECT_EQ(*r.u32(), 0x04050607u);
  EXPECT_EQ(*r.u64(), 0x08090A0B0C0D0E0FULL);
  EXPECT_TRUE(r.empty());
}

TEST(Reader, NeverReadsPastTheEndAndKeepsItsPlaceOnFailure) {
  Bytes three = bytes_of({1, 2, 3});
  Reader r(three);
  EXPECT_EQ(r.u32().error().code, DecodeCode::Truncated);
  EXPECT_EQ(r.u64().error().code, DecodeCode::Truncated);
  EXPECT_EQ(r.raw(4).error().code, DecodeCode::Truncated);
  EXPECT_EQ(r.position(), 0u);
  EXPECT_EQ(*r.u16(), 0x0102);
  EXPECT_EQ(r.u16().error().code, DecodeCode::Truncated);
  EXPECT_EQ(*r.u8(), 3);
  EXPECT_EQ(r.u8().error().code, DecodeCode::Truncated);

  // A length prefix that claims more than there is.
  Bytes claim = bytes_of({0x05, 'a', 'b'});
  Reader r2(claim);
  EXPECT_EQ(r2.bytes().error().code, DecodeCode::Truncated);
}

TEST(Reader, FlagsNamesAndText) {
  Bytes flags = bytes_of({0, 1, 2});
  Reader rf(flags);
  EXPECT_FALSE(*rf.flag());
  EXPECT_TRUE(*rf.flag());
  EXPECT_EQ(rf.flag().error().code, DecodeCode::BadValue);

  auto name_of = [](const Bytes& b) {
    Reader r(b);
    return r.name();
  };
  Bytes n64;
  Writer(n64).text(std::string(64, 'x'));
  EXPECT_EQ(*name_of(n64), std::string(64, 'x'));
  Bytes n65;
  Writer(n65).text(std::string(65, 'x'));
  EXPECT_EQ(name_of(n65).error().code, DecodeCode::BadName);
  EXPECT_EQ(name_of(bytes_of({0})).error().code, DecodeCode::BadName);
  EXPECT_EQ(name_of(bytes_of({2, 0xC3, 0x28})).error().code, DecodeCode::BadUtf8);
  EXPECT_EQ(name_of(bytes_of({3, 'a'})).error().code, DecodeCode::Truncated);

  Bytes t;
  Writer(t).text("");
  Reader rt(t);
  EXPECT_EQ(*rt.text(), "");  // text may be empty; names may not
}

TEST(Utf8, AcceptsWellFormedAndRefusesEveryIllFormedShape) {
  auto ok = [](std::initializer_list<int> v) { return valid_utf8(bytes_of(v)); };
  EXPECT_TRUE(ok({}));
  EXPECT_TRUE(ok({'a', 0x00, 0x7F}));
  EXPECT_TRUE(ok({0xC2, 0x80}));              // U+0080
  EXPECT_TRUE(ok({0xE0, 0xA0, 0x80}));        // U+0800
  EXPECT_TRUE(ok({0xED, 0x9F, 0xBF}));        // U+D7FF
  EXPECT_TRUE(ok({0xEE, 0x80, 0x80}));        // U+E000
  EXPECT_TRUE(ok({0xF0, 0x90, 0x80, 0x80}));  // U+10000
  EXPECT_TRUE(ok({0xF4, 0x8F, 0xBF, 0xBF}));  // U+10FFFF

  EXPECT_FALSE(ok({0x80}));                    // lone continuation
  EXPECT_FALSE(ok({0xC0, 0x80}));              // overlong NUL
  EXPECT_FALSE(ok({0xC1, 0xBF}));              // overlong
  EXPECT_FALSE(ok({0xE0, 0x9F, 0xBF}));        // overlong
  EXPECT_FALSE(ok({0xF0, 0x8F, 0xBF, 0xBF}));  // overlong
  EXPECT_FALSE(ok({0xED, 0xA0, 0x80}));        // surrogate U+D800
  EXPECT_FALSE(ok({0xED, 0xBF, 0xBF}));        // surrogate U+DFFF
  EXPECT_FALSE(ok({0xF4, 0x90, 0x80, 0x80}));  // beyond U+10FFFF
  EXPECT_FALSE(ok({0xF8, 0x88, 0x80, 0x80, 0x80}));
  EXPECT_FALSE(ok({0xFF}));
  EXPECT_FALSE(ok({0xE2, 0x82}));  // cut short
  EXPECT_FALSE(ok({0xE2, 0x28, 0xA1}));
}

TEST(Addr, BothFamiliesRoundTripAndUnknownFamiliesAreRefused) {
  for (const auto& a : {samples::addr4(), samples::addr6()}) {
    Bytes out;
    Writer(out).addr(a);
    EXPECT_EQ(out.size(), addr_len(a));
    Reader r(out);
    auto back = r.addr();
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, a);
    EXPECT_TRUE(r.empty());
  }
  Bytes out;
  Writer(out).addr(samples::addr4());
  EXPECT_EQ(out, bytes_of({4, 10, 0, 0, 7, 0x1F, 0x0A}));

  for (int fam : {0, 5, 46, 255}) {
    Bytes b = bytes_of({fam, 1, 2, 3, 4, 0, 1});
    Reader r(b);
    EXPECT_EQ(r.addr().error().code, DecodeCode::BadAddress) << fam;
  }
  Bytes short6 = bytes_of({6, 1, 2, 3, 4});
  Reader r(short6);
  EXPECT_EQ(r.addr().error().code, DecodeCode::Truncated);
}

TEST(Addr, TextAndWhatTravels) {
  EXPECT_EQ(samples::addr4().to_string(), "10.0.0.7:7946");
  EXPECT_EQ(samples::addr6().to_string(), "[2001:db8::beef]:65535");
  std::array<uint8_t, 16> ll{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  SocketAddr scoped = SocketAddr::v6(ll, 5, 77, 2);
  EXPECT_EQ(scoped.to_string(), "[fe80::1%2]:5");

  // Flow information and scope do not travel; the decoded address equals on_wire().
  Bytes out;
  Writer(out).addr(scoped);
  Reader r(out);
  auto back = r.addr();
  ASSERT_TRUE(back.ok());
  EXPECT_NE(*back, scoped);
  EXPECT_EQ(*back, scoped.on_wire());
  EXPECT_EQ(back->to_string(), "[fe80::1]:5");
}

}  // namespace
}  // namespace vennock::proto
