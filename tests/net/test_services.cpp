// What the runtime offers callers that wait from outside it (the Python bindings): a leave
// bounded by its timeout, blocking waits in slices, and the runtime's teardown.
#include <gtest/gtest.h>

#include "fake_engine.hpp"
#include "helpers.hpp"

using namespace vennock;
using namespace vennock::net;
using namespace vennock::net::testing;

namespace {

constexpr size_t kBroadcast = 7, kLeave = 1;  // indices in core::Command

// A node over a fake engine whose first broadcast holds the actor until `release` is set, so
// its request channel fills up.
struct StalledNode {
  std::atomic<bool> stalled{false}, release{false};
  std::mutex m;
  std::vector<size_t> commands;  // engine commands by kind, in order
  std::optional<Membership> node;

  StalledNode() {
    FakeEngine e;
    e.on_command = [this](FakeEngine& f, core::CommandId id, const core::Command& c) {
      {
        std::lock_guard<std::mutex> g(m);
        commands.push_back(c.index());
      }
      if (c.index() == kBroadcast && !stalled.exchange(true)) {
        while (!release.load()) std::this_thread::sleep_for(1ms);
      }
      f.events.push_back(core::event::Completed{id, core::outcome::Done{}});
    };
    node = Membership::launch(runtime(), std::move(e), actor::Options{}, actor::Clock{},
                              std::make_shared<FakeTransport>(), core::Duration::from_secs(1), 16);
  }
  ~StalledNode() {
    release = true;
    run(node->close());
  }
  size_t seen(size_t kind) {
    std::lock_guard<std::mutex> g(m);
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), kind));
  }
};

}  // namespace

TEST(Leave, AFullRequestChannelCannotHoldTheCallPastItsTimeAndTheLeaveStillHappens) {
  StalledNode n;
  std::vector<JoinHandle<Result<void, Error>>> flood;
  flood.push_back(runtime().spawn(n.node->broadcast({1})));
  ASSERT_TRUE(eventually([&] { return n.stalled.load(); }));
  // 256 fill the channel while the actor is held; the rest wait for room.
  for (int i = 0; i < 300; ++i) flood.push_back(runtime().spawn(n.node->broadcast({2})));
  std::this_thread::sleep_for(200ms);
  auto leaving = runtime().spawn(n.node->leave(20ms));
  auto r = leaving.wait_for(5s);  // the actor is still held all this time
  ASSERT_TRUE(r.has_value()) << "the leave waited for room past its time";
  ASSERT_FALSE(r->value->ok());
  EXPECT_EQ(r->value->error().code(), ErrorCode::Timeout);
  EXPECT_EQ(n.seen(kLeave), 0u);
  // Timed out means under way: once there is room, the leave reaches the engine all the same.
  n.release = true;
  for (auto& f : flood) EXPECT_TRUE(f.wait().value->ok());
  EXPECT_TRUE(eventually([&] { return n.seen(kLeave) == 1; }));
  EXPECT_EQ(n.seen(kBroadcast), 301u);
}
