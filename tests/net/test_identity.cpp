// Default names, start epochs, key generation; socket set-up and the paired bind.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "helpers.hpp"
#include "net/epoch.hpp"
#include "net/lib.hpp"
#include "net/transport.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

TEST(Identity, NameDefaultRules) {
  auto suffix_ok = [](const std::string& s, const std::string& base) {
    return s.size() == base.size() + 7 && s.starts_with(base + "-") &&
           std::regex_match(s.substr(base.size() + 1), std::regex("[0-9a-f]{6}"));
  };
  EXPECT_TRUE(suffix_ok(name_from(std::string("  db-7 \n"), 0xabcdef), "db-7"));
  EXPECT_EQ(name_from(std::string("db-7"), 0xabcdef), "db-7-abcdef");
  EXPECT_EQ(name_from(std::string("db-7"), 0x12abcdef), "db-7-abcdef");  // low 24 bits only
  EXPECT_EQ(name_from(std::string("db-7"), std::nullopt), "db-7-000000");
  EXPECT_EQ(name_from(std::string("  \t"), 1), "vennock-000001");
  EXPECT_EQ(name_from(std::nullopt, 0x10), "vennock-000010");
  // Unicode white space is trimmed too.
  EXPECT_EQ(name_from(std::string("\xe3\x80\x80host\xc2\xa0"), 0), "host-000000");
  // 60 ASCII bytes are cut to 57.
  std::string sixty(60, 'h');
  EXPECT_EQ(name_from(sixty, 0), std::string(57, 'h') + "-000000");
  // A three-byte character at offsets 55..57 would straddle the cut: dropped whole.
  std::string straddle = std::string(55, 'a') + "\xe2\x82\xac" + "bbb";
  EXPECT_EQ(name_from(straddle, 0), std::string(55, 'a') + "-000000");
  EXPECT_LE(name_from(std::string(300, 'x'), 0xffffff).size(), 64u);
  EXPECT_TRUE(std::regex_match(default_name(), std::regex(".{1,57}-[0-9a-f]{6}")));
}

TEST(Identity, NameSourcesInOrder) {
  const char* saved_h = std::getenv("HOSTNAME");
  const char* saved_c = std::getenv("COMPUTERNAME");
  std::string sh = saved_h ? saved_h : "", sc = saved_c ? saved_c : "";
  setenv("HOSTNAME", "  db-7 ", 1);
  setenv("COMPUTERNAME", "WS01", 1);
  EXPECT_TRUE(default_name().starts_with("db-7-"));
  unsetenv("HOSTNAME");
  EXPECT_TRUE(default_name().starts_with("WS01-"));
  setenv("HOSTNAME", "", 1);  // present but blank: no fallback to the next source
  EXPECT_TRUE(default_name().starts_with("vennock-"));
  if (saved_h) setenv("HOSTNAME", sh.c_str(), 1); else unsetenv("HOSTNAME");
  if (saved_c) setenv("COMPUTERNAME", sc.c_str(), 1); else unsetenv("COMPUTERNAME");
}

TEST(Identity, EpochAndKeys) {
  using namespace std::chrono;
  EXPECT_EQ(epoch_of(system_clock::time_point{}), 1u);
  EXPECT_EQ(epoch_of(system_clock::time_point{} - seconds(5)), 1u);
  EXPECT_EQ(epoch_of(system_clock::time_point{} + milliseconds(1234) + microseconds(999)), 1234u);
  EXPECT_GT(start_epoch(), 1'600'000'000'000u);
  auto a = generate_key(), b = generate_key();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_FALSE(*a == *b);
}

TEST(Identity, LivesStartedInOneProcessTakeRisingEpochs) {
  // A node closed and started again within one millisecond took its earlier life's epoch, so
  // its peers saw no restart (14 distinct epochs in 21 lives started back to back).
  uint64_t last = start_epoch();
  int not_later = 0;
  for (int i = 0; i < 2000; ++i) {
    const uint64_t e = start_epoch();
    not_later += e <= last;
    last = e;
  }
  EXPECT_EQ(not_later, 0) << "of 2,000 epochs taken back to back";
  std::vector<uint64_t> epochs{last};
  for (int i = 0; i < 21; ++i) {
    Membership m = start(fast_settings("again"));
    epochs.push_back(m.local().epoch);
    run(m.close());
  }
  not_later = 0;
  for (size_t i = 1; i < epochs.size(); ++i) not_later += epochs[i] <= epochs[i - 1];
  EXPECT_EQ(not_later, 0) << "of 21 lives started and closed back to back";
}

TEST(Identity, AnEpochPastTheMarkStaysWithinADayOfTheClock) {
  using epoch::next;
  const uint64_t wall = 1'800'000'000'000;
  EXPECT_EQ(next(wall, wall - 1), wall);
  EXPECT_EQ(next(wall, wall), wall + 1);
  // An earlier life whose engine moved past a life of its own, or a clock stepped back a little.
  EXPECT_EQ(next(wall, wall + 3'600'000), wall + 3'600'001);
  // A life a day ahead was started by a clock that ran a day fast: every member with a right
  // clock would refuse the next one too.
  EXPECT_EQ(next(wall, wall + core::EPOCH_LEAD_MS - 1), wall + core::EPOCH_LEAD_MS);
  EXPECT_EQ(next(wall, wall + core::EPOCH_LEAD_MS), wall);
  EXPECT_EQ(next(wall, UINT64_MAX), wall);
}

TEST(Transport, PairedBindOnPortZeroGivesOnePortForBoth) {
  auto& io = runtime().io();
  SocketAddr any;
  any.ip = {127, 0, 0, 1};
  for (int i = 0; i < 20; ++i) {
    auto t = transport::AsioTransport::bind(io, any);
    ASSERT_TRUE(t.ok());
    auto u = (*t)->udp().local_addr(), l = (*t)->listener().local_addr();
    ASSERT_TRUE(u.ok() && l.ok());
    EXPECT_EQ(u->port, l->port);
    EXPECT_EQ((*t)->local_addr().port, u->port);
    EXPECT_NE(u->port, 0);
  }
}

TEST(Transport, FixedPortTakenForTcpFailsAndClosesTheUdpSocket) {
  auto& io = runtime().io();
  SocketAddr any;
  any.ip = {127, 0, 0, 1};
  auto blocker = transport::tcp_listener(io, any);
  ASSERT_TRUE(blocker.ok());
  SocketAddr taken = *blocker->local_addr();
  size_t fds = fd_count();
  auto t = transport::AsioTransport::bind(io, taken);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind, IoKind::AddrInUse);
  EXPECT_EQ(fd_count(), fds);  // the UDP socket bound first was closed
  // An address that is not local ends the search at once, with that error.
  SocketAddr foreign;
  foreign.ip = {192, 0, 2, 1};
  auto f = transport::AsioTransport::bind(io, foreign);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().kind, IoKind::AddrNotAvailable);
  EXPECT_EQ(fd_count(), fds);
}

TEST(Transport, AdvertisedAddress) {
  SocketAddr bound;
  bound.ip = {127, 0, 0, 1};
  bound.port = 4000;
  EXPECT_EQ(transport::default_advertise(bound), bound);
  SocketAddr any;
  any.port = 4000;
  SocketAddr adv = transport::default_advertise(any);
  EXPECT_EQ(adv.port, 4000);
  EXPECT_FALSE(IpAddr::of(adv).is_unspecified());
  SocketAddr any6;
  any6.family = SocketAddr::Family::V6;
  any6.port = 5;
  SocketAddr adv6 = transport::default_advertise(any6);
  EXPECT_EQ(adv6.family, SocketAddr::Family::V6);
  EXPECT_FALSE(IpAddr::of(adv6).is_unspecified());  // an outward IP, or ::1 without a route
  EXPECT_EQ(adv6.port, 5);
}

TEST(Transport, DescriptorsAreCloseOnExec) {
  auto& io = runtime().io();
  SocketAddr any;
  any.ip = {127, 0, 0, 1};
  auto t = transport::AsioTransport::bind(io, any);
  ASSERT_TRUE(t.ok());
  EXPECT_TRUE(fcntl((*t)->udp().fd(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl((*t)->listener().fd(), F_GETFD) & FD_CLOEXEC);
}
