// Members, metadata, events and counters as Python values.
#pragma once

#include <Python.h>

#include "core/member.hpp"
#include "net/events.hpp"
#include "net/shared.hpp"
#include "py/ref.hpp"

namespace vennock::py {

// [(key, value), ...] in encoded order; metadata that does not parse gives an empty list.
Ref meta_pairs(const proto::Bytes& meta);
// (name, addr, state, incarnation, meta pairs, epoch).
Ref member_tuple(const core::Member& m);
// (kind, member, meta, addr, count, (payload, came_by_broadcast)), unused slots None.
Ref event_tuple(const net::events::Event& e);
// The 27 counters, "local_health" first.
Ref stats_dict(const net::Stats& s);

}  // namespace vennock::py
