#include "py/logging.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/lifecycle.hpp"
#include "net/log.hpp"
#include "net/sync.hpp"
#include "py/convert.hpp"
#include "py/runtime.hpp"

namespace vennock::py::logging {

namespace {

constexpr size_t kBufferCap = 4096;
constexpr auto kSlice = std::chrono::milliseconds(100);

struct Buffered {
  uint8_t level;
  std::string target;
  std::string message;
};

// The route is a setting: a child made by fork keeps its parent's, as it keeps the level.
std::atomic<bool> g_to_python{false};

// The buffer and its lock, the process's own: a thread of the parent may be pushing a record
// at a fork, and the records it holds are the parent's to drain (a child drains its own).
// Never destroyed: runtime threads may log while the process exits.
struct State {
  std::mutex m;
  // A ring of at most kBufferCap records, the oldest at `head` (made on the first record: a
  // fresh state allocates nothing).
  std::vector<Buffered> records;
  size_t head = 0;
  uint64_t dropped = 0;
  std::condition_variable arrival;
  net::Notify arrival_notify;

  // Locked.
  void push(Buffered b) {
    if (records.size() < kBufferCap) {
      records.push_back(std::move(b));
      return;
    }
    records[head] = std::move(b);
    head = (head + 1) % kBufferCap;
    ++dropped;
  }
  // Every record, oldest first. Locked.
  std::vector<Buffered> take() {
    std::vector<Buffered> out;
    out.swap(records);
    std::rotate(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(head), out.end());
    head = 0;
    return out;
  }
};
constinit net::lifecycle::PerProcess<State> g_state;
State& state() { return g_state.get(); }

bool waiting_records(State& s) { return !s.records.empty() || s.dropped != 0; }

class Router final : public log::Dispatcher {
 public:
  void event(const log::Record& r) override {
    if (!g_to_python.load(std::memory_order_relaxed)) {
      log::write_stderr(r);
      return;
    }
    Buffered b{python_level(static_cast<uint8_t>(r.level)), std::string(r.target), log::render_text(r)};
    State& s = state();
    {
      std::lock_guard<std::mutex> g(s.m);
      s.push(std::move(b));
    }
    s.arrival.notify_all();
    // Every asynchronous waiter: each must see that records wait, not only the longest.
    s.arrival_notify.notify_waiters();
  }
};

net::Task<Reply<std::monostate>> until_buffered() {
  State& s = state();
  for (;;) {
    net::Notify::Waiter w(s.arrival_notify);  // armed before the look: no lost wake-up
    {
      std::lock_guard<std::mutex> g(s.m);
      if (waiting_records(s)) co_return std::monostate{};
    }
    while (!w.poll()) co_await net::park();
  }
}

// The wait of wait_logs_blocking: `limit` none means no limit. False with a Python error
// pending when a signal handler raised.
std::optional<bool> wait_attached(std::optional<std::chrono::nanoseconds> limit) {
  State& s = state();
  const auto start = std::chrono::steady_clock::now();
  BlockingWait known;
  for (;;) {
    if (!known.go_on()) {
      raise(kerror::Closed{});
      return std::nullopt;
    }
    bool found = false, expired = false;
    Py_BEGIN_ALLOW_THREADS
    {
      // Let go of the lock before attaching again: a thread that logs while attached takes
      // it, so holding it across the attach deadlocks with that thread.
      std::unique_lock<std::mutex> g(s.m);
      auto slice = std::chrono::nanoseconds(kSlice);
      if (limit) {
        auto spent = std::chrono::steady_clock::now() - start;
        slice = std::min(slice, std::max(std::chrono::nanoseconds(0), *limit - spent));
      }
      s.arrival.wait_for(g, slice, [&] { return waiting_records(s); });
      found = waiting_records(s);
    }
    expired = limit && std::chrono::steady_clock::now() - start >= *limit;
    Py_END_ALLOW_THREADS
    if (found || expired) return found;
    if (PyErr_CheckSignals() < 0) return std::nullopt;
  }
}

}  // namespace

uint8_t python_level(uint8_t rank) {
  static constexpr uint8_t levels[] = {0, 40, 30, 20, 10, 5};
  return rank < 6 ? levels[rank] : 5;
}

uint8_t rank_of_python_level(long long level) {
  if (level < 6) return 5;
  if (level <= 10) return 4;
  if (level <= 20) return 3;
  if (level <= 30) return 2;
  if (level <= 50) return 1;
  return 0;
}

void init() {
  log::set_rank(log::env_rank());
  log::set_dispatcher(std::make_shared<Router>());  // another dispatcher stays in place
}

PyObject* route_to_python(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"level", nullptr};
  PyObject* level = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:route_to_python", const_cast<char**>(kw), &level)) return nullptr;
  Ref index = steal(PyNumber_Index(level));
  long long v = index ? PyLong_AsLongLong(index.ptr()) : -1;
  if (!index || (v == -1 && PyErr_Occurred())) {
    note_processing("level");
    return nullptr;
  }
  g_to_python.store(true, std::memory_order_relaxed);
  log::set_rank(rank_of_python_level(v));
  Py_RETURN_NONE;
}

PyObject* route_to_stderr(PyObject*, PyObject*) {
  g_to_python.store(false, std::memory_order_relaxed);
  log::set_rank(log::env_rank());
  Py_RETURN_NONE;
}

PyObject* drain_logs(PyObject*, PyObject*) {
  State& s = state();
  std::vector<Buffered> taken;
  uint64_t dropped;
  {
    std::lock_guard<std::mutex> g(s.m);
    taken = s.take();
    dropped = std::exchange(s.dropped, 0);
  }
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const Buffered& b : taken) {
    PyObject* t = Py_BuildValue("(is#s#)", static_cast<int>(b.level), b.target.data(),
                                static_cast<Py_ssize_t>(b.target.size()), b.message.data(),
                                static_cast<Py_ssize_t>(b.message.size()));
    if (!t) return nullptr;
    PyList_SET_ITEM(list.ptr(), i++, t);
  }
  return Py_BuildValue("(OK)", list.ptr(), static_cast<unsigned long long>(dropped));
}

PyObject* wait_logs(PyObject*, PyObject*) {
  net::Runtime* rt = runtime_or_raise();
  if (!rt) return nullptr;
  return awaitable(*rt, until_buffered());
}

PyObject* wait_logs_blocking(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"timeout", nullptr};
  PyObject* timeout = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:wait_logs_blocking", const_cast<char**>(kw), &timeout))
    return nullptr;
  std::optional<double> secs = seconds_arg(timeout, "timeout");
  if (!secs) return nullptr;
  // Negative and NaN ask for no wait; a limit too large to represent (infinity included)
  // means no limit, as a caller who passes it expects.
  std::optional<std::chrono::nanoseconds> limit;
  if (std::isnan(*secs) || *secs <= 0) {
    limit = std::chrono::nanoseconds(0);
  } else if (auto d = duration_of(*secs); d && d->as_nanos() < static_cast<uint64_t>(INT64_MAX)) {
    limit = std::chrono::nanoseconds(static_cast<int64_t>(d->as_nanos()));
  }
  std::optional<bool> found = wait_attached(limit);
  if (!found) return nullptr;
  return PyBool_FromLong(*found);
}

}  // namespace vennock::py::logging
