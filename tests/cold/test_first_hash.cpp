// The process's first hashes, made by several threads at once, as when two nodes are the first
// to start in a process. The only test of its program: once any hash has been made, the first
// use is over for every later test of the same process.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "proto/packet.hpp"
#include "proto/samples.hpp"

namespace vennock::proto {
namespace {

using samples::key_of;
using samples::nonce_key;
using samples::view;

TEST(FirstHash, ThreadsHashingFirstAtOnceGetTheHashesOfOneAtATime) {
  std::latch go(3);
  std::array<uint8_t, 32> abc{};
  HeaderCheck plain_check;
  const std::string payload = "payload";
  Bytes opened;
  std::thread direct([&] {
    go.arrive_and_wait();
    abc = blake3(view("abc"));
  });
  std::thread plain([&] {
    go.arrive_and_wait();
    plain_check = Codec("default", std::nullopt, nonce_key()).header_check();
  });
  std::thread sealed([&] {
    go.arrive_and_wait();
    Codec c("default", std::vector<Key>{key_of(7)}, nonce_key());
    Bytes p = c.seal(view(payload), 1);
    if (auto o = c.open(p)) opened.assign(o->payload.begin(), o->payload.end());
  });
  direct.join();
  plain.join();
  sealed.join();
  // Each against the same computation made now, on one thread.
  EXPECT_EQ(abc, blake3(view("abc")));
  EXPECT_EQ(plain_check.label_hash, Codec("default", std::nullopt, nonce_key()).header_check().label_hash);
  EXPECT_EQ(opened, Bytes(payload.begin(), payload.end()));
}

}  // namespace
}  // namespace vennock::proto
