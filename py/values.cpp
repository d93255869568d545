#include "py/values.hpp"

#include "net/addr.hpp"
#include "proto/tags.hpp"

namespace vennock::py {

namespace {

Ref bytes_of(const proto::Bytes& b) {
  return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size())));
}

// A tuple that takes ownership of `items`; null when one of them is null. The items are
// moved into it, not copied: each Ref dropped costs a check that the thread is attached.
template <size_t N>
Ref tuple_of(Ref (&&items)[N]) {
  for (const Ref& r : items)
    if (!r) return Ref();
  Ref t = steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!t) return t;
  for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), items[i].release().ptr());
  return t;
}

Ref none() { return borrow(Py_None); }

struct EventSlots {
  Ref operator()(const net::events::event::MemberJoined& e) const { return member(e.member); }
  Ref operator()(const net::events::event::MemberSuspect& e) const { return member(e.member); }
  Ref operator()(const net::events::event::MemberRecovered& e) const { return member(e.member); }
  Ref operator()(const net::events::event::MemberDead& e) const { return member(e.member); }
  Ref operator()(const net::events::event::MemberLeft& e) const { return member(e.member); }
  Ref operator()(const net::events::event::MemberUpdated& e) const {
    return slots(member_tuple(e.member), meta_pairs(e.old_meta), none(), none(), none());
  }
  Ref operator()(const net::events::event::NameConflict& e) const {
    return slots(member_tuple(e.member), none(), text(net::addr_text(e.other)), none(), none());
  }
  Ref operator()(const net::events::event::UserMessage& e) const {
    return slots(member_tuple(e.from), none(), none(), none(),
                 tuple_of({bytes_of(e.data), borrow(e.broadcast ? Py_True : Py_False)}));
  }
  Ref operator()(const net::events::event::EventsLost& e) const {
    return slots(none(), none(), none(), steal(PyLong_FromUnsignedLongLong(e.count)), none());
  }

  const char* kind;
  Ref member(const core::Member& m) const { return slots(member_tuple(m), none(), none(), none(), none()); }
  Ref slots(Ref m, Ref meta, Ref addr, Ref count, Ref message) const {
    return tuple_of({text(kind), std::move(m), std::move(meta), std::move(addr), std::move(count), std::move(message)});
  }
};

}  // namespace

Ref meta_pairs(const proto::Bytes& meta) {
  return list_of(proto::tag_pairs(proto::ByteView(meta.data(), meta.size())),
                 [](const auto& pair) { return tuple_of({text(pair.first), text(pair.second)}); });
}

Ref member_tuple(const core::Member& m) {
  return tuple_of({text(m.name), text(net::addr_text(m.addr)), steal(PyLong_FromLong(static_cast<long>(m.state))),
                   steal(PyLong_FromUnsignedLong(m.incarnation)), meta_pairs(m.meta),
                   steal(PyLong_FromUnsignedLongLong(m.epoch))});
}

Ref event_tuple(const net::events::Event& e) { return std::visit(EventSlots{net::events::kind_name(e)}, e); }

Ref stats_dict(const net::Stats& s) {
  Ref d = steal(PyDict_New());
  Ref health = steal(PyLong_FromUnsignedLong(s.local_health));
  if (!d || !health || PyDict_SetItemString(d.ptr(), "local_health", health.ptr()) < 0) return Ref();
  auto values = core::counter_values(s.counters);
  for (size_t i = 0; i < values.size(); ++i) {
    // A plain reference: a reader is attached, and 26 Refs would check that 26 times.
    PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
    const int rc = v ? PyDict_SetItemString(d.ptr(), core::COUNTER_NAMES[i], v) : -1;
    Py_XDECREF(v);
    if (rc < 0) return Ref();
  }
  return d;
}

}  // namespace vennock::py
