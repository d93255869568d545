#include <gtest/gtest.h>

#include <random>

#include "proto/stream.hpp"
#include "samples.hpp"

namespace vennock::proto {
namespace {

using samples::bytes_of;

Bytes packet_of(size_t n, uint8_t seed) {
  Bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i);
  return p;
}

std::vector<Bytes> drain(FrameCutter& c) {
  std::vector<Bytes> out;
  while (auto f = c.next()) out.push_back(std::move(*f));
  return out;
}

TEST(Frame, PrefixIsBigEndianLength) {
  EXPECT_EQ(encode_frame(bytes_of({9, 8, 7})), bytes_of({0, 0, 0, 3, 9, 8, 7}));
  Bytes out{1, 2, 3};
  encode_frame(Bytes(256, 0), out);
  EXPECT_EQ(out.size(), 260u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), bytes_of({0, 0, 1, 0}));
}

TEST(FrameCutter, SeveralFramesInOnePushAndOneByteAtATime) {
  const std::vector<Bytes> packets = {packet_of(5, 1), packet_of(0, 0), packet_of(300, 7), packet_of(1, 9)};
  Bytes stream;
  for (const auto& p : packets) {
    Bytes f = encode_frame(p);
    stream.insert(stream.end(), f.begin(), f.end());
  }

  FrameCutter whole(1000);
  ASSERT_TRUE(whole.push(stream).ok());
  EXPECT_EQ(drain(whole), packets);
  EXPECT_EQ(whole.buffered(), 0u);

  FrameCutter bytewise(1000);
  std::vector<Bytes> got;
  for (uint8_t b : stream) {
    ASSERT_TRUE(bytewise.push(ByteView(&b, 1)).ok());
    for (auto& f : drain(bytewise)) got.push_back(std::move(f));
  }
  EXPECT_EQ(got, packets);

  // Random splits give the same frames.
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    FrameCutter c(1000);
    std::vector<Bytes> out;
    size_t i = 0;
    while (i < stream.size()) {
      size_t n = std::min<size_t>(rng() % 40, stream.size() - i);
      ASSERT_TRUE(c.push(ByteView(stream).subspan(i, n)).ok());
      i += n;
      if (rng() % 2)
        for (auto& f : drain(c)) out.push_back(std::move(f));
    }
    for (auto& f : drain(c)) out.push_back(std::move(f));
    ASSERT_EQ(out, packets) << round;
  }
}

TEST(FrameCutter, OversizeLengthIsRefusedBeforeTheBodyIsKept) {
  FrameCutter c(100);
  Bytes ok = encode_frame(packet_of(100, 0));  // exactly the limit passes
  ASSERT_TRUE(c.push(ok).ok());
  EXPECT_EQ(c.next()->size(), 100u);

  // Length 101 with a body behind it in the same push: refused, nothing kept.
  Bytes big = encode_frame(packet_of(101, 0));
  FrameCutter d(100);
  ASSERT_TRUE(d.push(ByteView(big).first(3)).ok());
  EXPECT_EQ(d.buffered(), 3u);
  auto r = d.push(ByteView(big).subspan(3));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, DecodeCode::FrameTooLarge);
  EXPECT_EQ(d.buffered(), 0u);
  // Refused for good.
  EXPECT_FALSE(d.push(encode_frame(packet_of(1, 0))).ok());
  EXPECT_FALSE(d.next().has_value());

  // A huge claimed length after a good frame in one push.
  FrameCutter e(1 << 20);
  Bytes two = encode_frame(packet_of(4, 0));
  Bytes huge = bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3});
  two.insert(two.end(), huge.begin(), huge.end());
  EXPECT_EQ(e.push(two).error().code, DecodeCode::FrameTooLarge);
  EXPECT_EQ(e.buffered(), 0u);
}

TEST(FrameCutter, PeekShowsTheStartOfTheNextPacket) {
  FrameCutter c(1000);
  EXPECT_FALSE(c.pending_length().has_value());
  Bytes f = encode_frame(packet_of(20, 1));
  ASSERT_TRUE(c.push(ByteView(f).first(2)).ok());
  EXPECT_FALSE(c.pending_length().has_value());
  EXPECT_TRUE(c.peek(8).empty());
  ASSERT_TRUE(c.push(ByteView(f).subspan(2, 8)).ok());
  EXPECT_EQ(*c.pending_length(), 20u);
  EXPECT_EQ(Bytes(c.peek(8).begin(), c.peek(8).end()), packet_of(6, 1));
  ASSERT_TRUE(c.push(ByteView(f).subspan(10)).ok());
  // A second frame behind it does not leak into the peek of the first.
  ASSERT_TRUE(c.push(encode_frame(packet_of(3, 99))).ok());
  EXPECT_EQ(c.peek(100).size(), 20u);
  EXPECT_EQ(c.next()->size(), 20u);
  EXPECT_EQ(*c.pending_length(), 3u);
  EXPECT_EQ(c.peek(8).size(), 3u);
}

TEST(FrameCutter, ManySmallFramesStayLinearAndCompact) {
  // 200,000 frames pushed a few bytes at a time and taken lazily (one frame per round is
  // left behind, so consumed bytes pile up at the front and must be compacted away). A
  // quadratic cutter would not finish.
  FrameCutter c(64);
  Bytes f = encode_frame(packet_of(6, 3));
  Bytes chunk;
  for (int i = 0; i < 100; ++i) chunk.insert(chunk.end(), f.begin(), f.end());
  size_t frames = 0;
  for (size_t round = 0; round < 2000; ++round) {
    for (size_t i = 0; i < chunk.size(); i += 3)
      ASSERT_TRUE(c.push(ByteView(chunk).subspan(i, std::min<size_t>(3, chunk.size() - i))).ok());
    for (int k = 0; k < 99; ++k) {
      auto p = c.next();
      ASSERT_TRUE(p.has_value());
      ASSERT_EQ(*p, packet_of(6, 3));
      ++frames;
    }
    ASSERT_EQ(c.buffered(), (round + 1) * f.size());
  }
  frames += drain(c).size();
  EXPECT_EQ(frames, 200000u);
  EXPECT_EQ(c.buffered(), 0u);
}

TEST(FrameCutter, HoldsALargeFrameInItsOwnSizeAndGivesTheMemoryBackOnceItIsTaken) {
  FrameCutter cut(4 * 1024 * 1024);
  Bytes big = packet_of(1024 * 1024, 7);
  Bytes wire = encode_frame(big);
  for (size_t off = 0; off < wire.size(); off += 16384) {
    size_t n = std::min<size_t>(16384, wire.size() - off);
    ASSERT_TRUE(cut.push(ByteView(wire.data() + off, n)).ok());
  }
  // Grown to the frame's end and no further (doubling would have reached 2 MiB).
  EXPECT_GE(cut.capacity(), big.size());
  EXPECT_LE(cut.capacity(), wire.size());
  auto f = cut.next();
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(*f, big);
  EXPECT_LE(cut.capacity(), 64u * 1024);
  // Small frames afterwards keep working from a small buffer.
  Bytes small = encode_frame(Bytes{1, 2, 3});
  ASSERT_TRUE(cut.push(small).ok());
  EXPECT_EQ(cut.next(), (Bytes{1, 2, 3}));
  EXPECT_LE(cut.capacity(), 64u * 1024);
}

}  // namespace
}  // namespace vennock::proto
