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

namespace vennock::py {

// A new list of `convert(item)` for each item; null with the error pending when one fails.
template <class Items, class Convert>
Ref list_of(const Items& items, Convert convert) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    Ref v = convert(item);
    if (!v) return v;
    PyList_SET_ITEM(list.ptr(), i++, v.release().ptr());
  }
  return list;
}

}  // namespace vennock::py
