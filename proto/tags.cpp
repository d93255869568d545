#include "proto/tags.hpp"

#include <algorithm>

namespace vennock::proto {

namespace {

std::string_view as_text(ByteView b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// Pairwise below this many keys; sorting above it keeps hostile inputs with many tiny keys
// from costing quadratic time.
constexpr size_t kLinearDuplicateScan = 16;

bool has_duplicate(std::vector<std::string_view>& keys) {
  if (keys.size() <= kLinearDuplicateScan) {
    for (size_t i = 0; i < keys.size(); ++i)
      for (size_t j = i + 1; j < keys.size(); ++j)
        if (keys[i] == keys[j]) return true;
    return false;
  }
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

}  // namespace

Result<Tags, DecodeError> Tags::parse(ByteView bytes) {
  Reader r(bytes);
  std::vector<std::string_view> keys;
  while (!r.empty()) {
    auto key = r.bytes();
    if (!key) return err(key.error());
    if (key->empty()) return err(decode_error(DecodeCode::EmptyTagKey));
    if (!valid_utf8(*key)) return err(decode_error(DecodeCode::BadUtf8));
    auto value = r.bytes();
    if (!value) return err(value.error());
    if (!valid_utf8(*value)) return err(decode_error(DecodeCode::BadUtf8));
    keys.push_back(as_text(*key));
  }
  const size_t n = keys.size();
  if (has_duplicate(keys)) return err(decode_error(DecodeCode::DuplicateTagKey));
  return Tags(bytes, n);
}

TagIter Tags::begin() const { return TagIter(bytes_, 0); }
TagIter Tags::end() const { return TagIter(bytes_, bytes_.size()); }

TagIter::TagIter(ByteView b, size_t pos) : bytes_(b), pos_(pos), next_(pos) { load(); }

// Only ever called on bytes that Tags::parse accepted, so the reads cannot fail.
void TagIter::load() {
  if (pos_ >= bytes_.size()) {
    pos_ = next_ = bytes_.size();
    cur_ = {};
    return;
  }
  Reader r(bytes_.subspan(pos_));
  auto key = r.bytes();
  auto value = r.bytes();
  if (!key || !value) {  // not reachable for parsed tags; end the iteration rather than misread
    pos_ = next_ = bytes_.size();
    cur_ = {};
    return;
  }
  cur_ = {as_text(*key), as_text(*value)};
  next_ = pos_ + r.position();
}

TagIter& TagIter::operator++() {
  pos_ = next_;
  load();
  return *this;
}

void put_tag(Bytes& out, std::string_view key, std::string_view value) {
  Writer w(out);
  w.text(key);
  w.text(value);
}

Bytes encode_tags(const TagPairs& pairs) {
  Bytes out;
  for (const auto& [k, v] : pairs) put_tag(out, k, v);
  return out;
}

TagPairs tag_pairs(ByteView bytes) {
  TagPairs pairs;
  auto tags = Tags::parse(bytes);
  if (!tags) return pairs;
  pairs.reserve(tags->size());
  for (auto [k, v] : *tags) pairs.emplace_back(std::string(k), std::string(v));
  return pairs;
}

}  // namespace vennock::proto
