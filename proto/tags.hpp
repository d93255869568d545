// Member metadata: an ordered list of unique, non-empty UTF-8 key/value pairs, each
// length a varint. Zero bytes mean no metadata.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/wire.hpp"

namespace vennock::proto {

class TagIter;

// A validated view of encoded metadata; it borrows the bytes it was parsed from.
class Tags {
 public:
  // Accepts only a complete, valid encoding: no partial result.
  static Result<Tags, DecodeError> parse(ByteView bytes);

  TagIter begin() const;
  TagIter end() const;
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  ByteView bytes() const { return bytes_; }

 private:
  Tags(ByteView b, size_t n) : bytes_(b), count_(n) {}
  ByteView bytes_;
  size_t count_;
};

// Yields (key, value) views into the parsed bytes, in stored order.
class TagIter {
 public:
  using value_type = std::pair<std::string_view, std::string_view>;
  using difference_type = std::ptrdiff_t;

  value_type operator*() const { return cur_; }
  TagIter& operator++();
  TagIter operator++(int) {
    TagIter t = *this;
    ++*this;
    return t;
  }
  bool operator==(const TagIter& o) const { return pos_ == o.pos_; }

 private:
  friend class Tags;
  TagIter(ByteView b, size_t pos);
  void load();
  ByteView bytes_;
  size_t pos_;   // offset of the current entry; bytes_.size() at the end
  size_t next_;  // offset of the entry after it
  value_type cur_;
};

using TagPairs = std::vector<std::pair<std::string, std::string>>;

// Encodes pairs in the given order. Callers check keys (non-empty, unique) and size limits;
// encode_tags only writes.
Bytes encode_tags(const TagPairs& pairs);
// Appends one entry.
void put_tag(Bytes& out, std::string_view key, std::string_view value);
// The pairs of valid metadata; an empty list when the bytes do not parse.
TagPairs tag_pairs(ByteView bytes);

}  // namespace vennock::proto
