#include <gtest/gtest.h>

#include "proto/tags.hpp"
#include "samples.hpp"

namespace vennock::proto {
namespace {

using samples::bytes_of;

TagPairs pairs_of(const Tags& t) {
  TagPairs out;
  for (auto [k, v] : t) out.emplace_back(std::string(k), std::string(v));
  return out;
}

TEST(Tags, RoundTripKeepsOrderAndAllowsEmptyValues) {
  const TagPairs pairs = {{"zone", "eu-west"}, {"a", ""}, {"ключ", "значение"}, {"z", std::string(300, 'v')}};
  Bytes enc = encode_tags(pairs);
  auto t = Tags::parse(enc);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->size(), pairs.size());
  EXPECT_EQ(pairs_of(*t), pairs);
  EXPECT_EQ(tag_pairs(enc), pairs);

  // The exact layout: key length, key, value length, value; nothing else.
  EXPECT_EQ(encode_tags({{"k", "vv"}}), bytes_of({1, 'k', 2, 'v', 'v'}));
  Bytes appended;
  put_tag(appended, "k", "vv");
  EXPECT_EQ(appended, encode_tags({{"k", "vv"}}));
  // No bytes are no metadata.
  EXPECT_TRUE(encode_tags({}).empty());
  auto none = Tags::parse({});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(none->begin() == none->end());
}

TEST(Tags, EveryBreachRefusesTheWholeInput) {
  Bytes valid = encode_tags({{"a", "1"}, {"b", "2"}});
  const struct {
    const char* what;
    Bytes bytes;
    DecodeCode code;
  } cases[] = {
      {"empty key", bytes_of({0, 1, 'x'}), DecodeCode::EmptyTagKey},
      {"empty key after a good pair", bytes_of({1, 'a', 0, 0, 0}), DecodeCode::EmptyTagKey},
      {"duplicate key", encode_tags({{"a", "1"}, {"b", "2"}, {"a", "3"}}), DecodeCode::DuplicateTagKey},
      {"key not UTF-8", bytes_of({1, 0xFF, 0}), DecodeCode::BadUtf8},
      {"value not UTF-8", bytes_of({1, 'k', 2, 0xC0, 0x80}), DecodeCode::BadUtf8},
      {"key runs past the end", bytes_of({5, 'a', 'b'}), DecodeCode::Truncated},
      {"value runs past the end", bytes_of({1, 'k', 9, 'v'}), DecodeCode::Truncated},
      {"value length missing", bytes_of({1, 'k'}), DecodeCode::Truncated},
      {"longer varint", bytes_of({0x81, 0x00, 'k', 0}), DecodeCode::BadVarint},
      {"varint beyond u32", bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0x1F}), DecodeCode::BadVarint},
      {"trailing byte", [&] { Bytes b = valid; b.push_back(1); return b; }(), DecodeCode::Truncated},
  };
  for (const auto& c : cases) {
    auto t = Tags::parse(c.bytes);
    ASSERT_FALSE(t.ok()) << c.what;
    EXPECT_EQ(t.error().code, c.code) << c.what;
    EXPECT_TRUE(tag_pairs(c.bytes).empty()) << c.what;
  }
}

TEST(Tags, DuplicatesFoundAmongManyKeys) {
  // Enough keys to take the sorting path; the duplicate sits far apart.
  TagPairs pairs;
  for (int i = 0; i < 500; ++i) pairs.emplace_back("key" + std::to_string(i), "v");
  ASSERT_TRUE(Tags::parse(encode_tags(pairs)).ok());
  pairs.emplace_back("key3", "again");
  auto t = Tags::parse(encode_tags(pairs));
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().code, DecodeCode::DuplicateTagKey);
  // Keys equal as bytes only: a prefix is not a duplicate.
  EXPECT_TRUE(Tags::parse(encode_tags({{"ab", ""}, {"a", ""}, {"abc", ""}})).ok());
}

}  // namespace
}  // namespace vennock::proto
