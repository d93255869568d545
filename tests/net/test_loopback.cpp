// Real nodes over loopback sockets in one process.
#include <gtest/gtest.h>

#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

TEST(Loopback, ThreeNodesFormAClusterThroughSeeds) {
  Memberlist a = start(fast_settings("a"));
  Settings sb = fast_settings("b");
  sb.seed_addrs = {a.local_addr()};
  Memberlist b = start(std::move(sb));
  Settings sc = fast_settings("c");
  sc.seed_addrs = {a.local_addr()};
  Memberlist c = start(std::move(sc));
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(200ms);
    for (auto* m : {&a, &b, &c}) {
      fprintf(stderr, "%s: members %zu snapshot:", m->local().name.c_str(), m->members().size());
      auto st = m->stats();
      fprintf(stderr, " rx=%lu probes=%lu pp=%lu\n", (unsigned long)st.counters.packets_received, (unsigned long)st.counters.probes_sent, (unsigned long)st.counters.push_pulls);
    }
  }
  for (auto* m : {&a, &b, &c}) {
    EXPECT_TRUE(eventually([&] { return m->members().size() == 3; })) << m->local().name << " sees " << m->members().size();
  }
  run(a.close());
  run(b.close());
  run(c.close());
}
