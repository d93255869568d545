#include "net/runtime.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "net/lifecycle.hpp"
#include "net/log.hpp"

namespace vennock::net {

namespace {

constexpr size_t kMaxBlocking = 64;

// The runtime this process built, if any, and the lock that serialises its first build. A
// child made by fork starts with an empty record of its own: the inherited runtime (whose
// threads do not exist there) is abandoned, never touched, and the lock may have been held at
// the fork by a thread that is not there either.
struct Current {
  std::mutex m;
  Runtime* rt = nullptr;
  size_t threads = 0;
  bool warned = false;  // the worker-count warning is said once per process
};
// Never destroyed: the runtime lives until the process ends, and worker threads must not
// find it torn down by static destructors at exit.
constinit lifecycle::PerProcess<Current> g_current;

thread_local const Runtime* t_worker_of = nullptr;
thread_local bool t_runtime_thread = false;

// A job that throws (only the standard library's failed allocation can) is given up, with a
// word in the log, rather than ending the thread and with it the process.
void run_job(std::function<void()>& job) {
  try {
    job();
  } catch (const std::exception& e) {
    const char* what = e.what();
    try {
      VN_LOG(Error, "_vennock::runtime", "a blocking-pool job failed", log::field("error", what));
    } catch (const std::exception&) {  // no memory left to say so
    }
  }
}

}  // namespace

void name_thread() { pthread_setname_np(pthread_self(), "vennock-io"); }

const char* blocked_text(Blocked b) {
  switch (b) {
    case Blocked::OnRuntimeThread: return "a runtime thread must not block on a task";
    case Blocked::TimedOut: return "timed out";
    case Blocked::Cancelled: return "cancelled";
    case Blocked::Failed: return "the task ended without a result";
    case Blocked::Stopped: return "the runtime has been stopped";
  }
  return "?";
}

Runtime::Runtime(size_t threads, std::chrono::nanoseconds pool_idle)
    : io_(static_cast<int>(threads)),
      guard_(asio::make_work_guard(io_)),
      want_(threads == 0 ? 1 : threads),
      pool_idle_limit_(pool_idle) {
  // Room for every pool thread from the start: recording one never needs memory later.
  pool_threads_.reserve(kMaxBlocking);
}

void* Runtime::worker_main(void* arg) {
  auto* self = static_cast<Runtime*>(arg);
  name_thread();
  t_worker_of = self;
  t_runtime_thread = true;
  self->io_.run();
  return nullptr;
}

void* Runtime::blocking_main(void* arg) {
  static_cast<Runtime*>(arg)->blocking_loop();
  return nullptr;
}

Result<void, Error> Runtime::start() {
  for (size_t i = 0; i < want_; ++i) {
    pthread_t t;
    if (int rc = pthread_create(&t, nullptr, &Runtime::worker_main, this); rc != 0) {
      return err(Error::io(IoError::os(rc)));
    }
    workers_.push_back(t);
  }
  return {};
}

Result<Runtime*, Error> Runtime::get(std::optional<size_t> threads) {
  // Without the fork rule a child would take its parent's record for its own.
  if (!lifecycle::install()) return err(Error::io(IoError::os(ENOMEM)));
  Current& c = g_current.get();
  std::lock_guard<std::mutex> g(c.m);
  if (c.rt) {
    if (threads && *threads != c.threads && !c.warned) {
      c.warned = true;
      uint64_t requested = *threads, running = c.threads;
      VN_LOG(Warn, "_vennock::runtime", "runtime_threads is set once per process; keeping the running value",
             log::field("requested", requested), log::field("running", running));
    }
    return c.rt;
  }
  size_t n = threads.value_or(1);
  auto* rt = new Runtime(n == 0 ? 1 : n, kPoolIdle);
  if (auto r = rt->start(); !r) {
    Error e = r.error();
    // Threads that did start are stopped before the half-built runtime goes.
    rt->guard_.reset();
    rt->io_.stop();
    for (auto t : rt->workers_) pthread_join(t, nullptr);
    rt->workers_.clear();
    delete rt;
    return err(std::move(e));
  }
  c.rt = rt;
  c.threads = rt->want_;
  return rt;
}

Result<std::unique_ptr<Runtime>, Error> Runtime::create(size_t threads, std::chrono::nanoseconds pool_idle) {
  std::unique_ptr<Runtime> rt(new Runtime(threads == 0 ? 1 : threads, pool_idle));
  if (auto r = rt->start(); !r) return err(r.error());
  return rt;
}

Runtime::~Runtime() { (void)stop(); }

Result<void, Blocked> Runtime::stop() {
  if (on_runtime_thread()) return err(Blocked::OnRuntimeThread);
  std::lock_guard<std::mutex> once(stop_m_);
  if (stopped()) return {};
  stopped_.store(true, std::memory_order_release);
  std::list<std::function<void()>> dropped;
  std::vector<pthread_t> pool;
  {
    std::unique_lock<std::mutex> g(pool_m_);
    pool_stop_ = true;
    dropped.swap(jobs_);
    pool_cv_.notify_all();
    pool_gone_.wait(g, [&] { return pool_total_ == 0; });
    pool.swap(pool_threads_);
  }
  for (auto t : pool) pthread_join(t, nullptr);
  guard_.reset();
  io_.stop();
  for (auto t : workers_) pthread_join(t, nullptr);
  workers_.clear();
  lookups_.stop();  // waits for none of them
  dropped.clear();  // no thread of ours can run any more
  return {};
}

Result<void, Blocked> Runtime::stop_process() {
  if (on_runtime_thread()) return err(Blocked::OnRuntimeThread);
  Runtime* rt = nullptr;
  {
    Current& c = g_current.get();
    std::lock_guard<std::mutex> g(c.m);
    rt = c.rt;
  }
  return rt ? rt->stop() : Result<void, Blocked>();
}

bool Runtime::on_worker() const { return t_worker_of == this; }

bool Runtime::on_runtime_thread() { return t_runtime_thread; }

size_t Runtime::live_tasks() { return detail::TaskState::live(); }

size_t Runtime::blocking_threads() {
  std::lock_guard<std::mutex> g(pool_m_);
  return pool_total_;
}

void Runtime::blocking(std::function<void()> f) {
  Job j = job(std::move(f));
  if (hand(j) != Handed::NoThread) return;
  // Without a thread the job waits for a busy one to come free, or for the next start attempt.
  // (`j`, made before the lock, is dropped after it when the pool stopped meanwhile.)
  std::lock_guard<std::mutex> g(pool_m_);
  if (!pool_stop_) jobs_.splice(jobs_.end(), j.node_);
}

Runtime::Job Runtime::job(std::function<void()> f) {
  Job j;
  j.node_.push_back(std::move(f));
  return j;
}

Runtime::Handed Runtime::hand(Job& job) noexcept {
  std::unique_lock<std::mutex> g(pool_m_);
  if (pool_stop_) {
    g.unlock();
    job.node_.clear();
    return Handed::Stopped;
  }
  jobs_.splice(jobs_.end(), job.node_);
  if (grow_pool() || pool_total_ > 0) return Handed::Queued;
  // Nobody would ever run it: it goes back to the caller.
  job.node_.splice(job.node_.end(), jobs_, std::prev(jobs_.end()));
  return Handed::NoThread;
}

bool Runtime::grow_pool() {
  // Each queued job needs an idle thread of its own: one told of an earlier job that it has
  // not taken yet is not free for this one, and a job may take long (a lookup that hangs).
  if (jobs_.size() <= pool_idle_ || pool_total_ >= kMaxBlocking) {
    pool_cv_.notify_one();
    return true;
  }
  pthread_t t;
  if (pthread_create(&t, nullptr, &Runtime::blocking_main, this) != 0) return false;
  pool_threads_.push_back(t);  // within the room reserved at construction
  ++pool_total_;
  return true;
}

void Runtime::blocking_loop() {
  name_thread();
  t_runtime_thread = true;
  std::unique_lock<std::mutex> g(pool_m_);
  for (;;) {
    if (!jobs_.empty()) {
      std::list<std::function<void()>> job;
      job.splice(job.end(), jobs_, jobs_.begin());
      g.unlock();
      run_job(job.front());
      job.clear();
      g.lock();
      continue;
    }
    if (pool_stop_) break;
    ++pool_idle_;
    bool woke = pool_cv_.wait_for(g, pool_idle_limit_, [&] { return !jobs_.empty() || pool_stop_; });
    --pool_idle_;
    if (!woke) break;
  }
  --pool_total_;
  if (!pool_stop_) {
    // Ended idle: nobody has to join it, not even at the process's exit. Once off the list,
    // it touches nothing of the runtime but the lock it releases on its way out, and a stop
    // must take that lock before it returns (and the runtime may be freed).
    const pthread_t self = pthread_self();
    std::erase_if(pool_threads_, [&](pthread_t t) { return pthread_equal(t, self); });
    pthread_detach(self);
  }
  pool_gone_.notify_all();
}

}  // namespace vennock::net
