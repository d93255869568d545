// The asynchronous runtime: one io_context run by N worker threads, a pool of threads for short
// blocking jobs (the hand-over of results to callers outside the runtime), and the owner of name
// lookups, whose threads are apart from both. Every thread it starts is named "vennock-io".
//
// One runtime serves the whole process (Runtime::get): built on first use under a
// process-wide lock, in a record that the fork rule (net/lifecycle.hpp) makes fresh in a child
// made by fork, which so builds a runtime of its own at its first use and abandons the inherited
// one without touching it. It is never freed; `stop_process` ends its threads for good (an
// interpreter's exit hook).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <vector>

#include "net/error.hpp"
#include "net/lookups.hpp"
#include "net/task.hpp"
#include "proto/result.hpp"

namespace vennock::net {

// Why a blocking wait (or a stop) gave no value.
enum class Blocked : uint8_t {
  // Refused: the caller is one of a runtime's own threads, which must never block on a task
  // (it may be the thread the task needs). The task is dropped unrun.
  OnRuntimeThread,
  TimedOut,   // the limit passed first; the task was dropped where it stood
  Cancelled,  // the check between slices asked to stop; the task is aborted
  Failed,     // the task ended without a value: a fault, or aborted by someone else
  Stopped,    // the runtime has been stopped; the task will never run
};
const char* blocked_text(Blocked b);

class Runtime {
 public:
  // The process runtime, built with `threads` workers (1 when none is given) on first use.
  // A later call asking for a different count keeps the running value; the first such call of
  // the process logs a warning.
  static Result<Runtime*, Error> get(std::optional<size_t> threads = std::nullopt);
  // How long a blocking-pool thread waits for work before it ends.
  static constexpr std::chrono::seconds kPoolIdle{10};

  // A runtime of its own (tests, benchmarks); destroying it stops and joins its threads.
  // `pool_idle` replaces kPoolIdle (tests that watch pool threads end).
  static Result<std::unique_ptr<Runtime>, Error> create(size_t threads,
                                                        std::chrono::nanoseconds pool_idle = kPoolIdle);

  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& io() { return io_; }
  Strand strand() { return asio::make_strand(io_); }
  size_t threads() const { return want_; }
  // True on one of this runtime's worker threads.
  bool on_worker() const;
  // True on a worker or blocking-pool thread of any runtime.
  static bool on_runtime_thread();

  // Runs `job` on the blocking pool (a thread is started unless an idle one is left for it, up to 64;
  // idle ones end after kPoolIdle, detached: nobody has to join them). Dropped unrun once the
  // runtime is stopped. When no thread can be started it waits for one that comes free, or
  // for the next call's start. Meant for short jobs: a stop waits for the ones running, and a
  // job that may hang (a name lookup) goes to lookups() instead.
  void blocking(std::function<void()> job);

  // The owner of this runtime's name lookups (threads of their own, never waited for).
  Lookups& lookups() { return lookups_; }

  // A job made ahead of the moment it is handed to the pool: everything the pool needs to
  // hold it is allocated when it is made (where a failed allocation can still be answered),
  // so that handing it over later cannot fail for want of memory.
  class Job {
   public:
    Job() = default;
    explicit operator bool() const { return !node_.empty(); }
    // Runs it on the calling thread (one the pool could not give: see Handed::NoThread).
    void run() { node_.front()(); }

   private:
    friend class Runtime;
    std::list<std::function<void()>> node_;
  };
  static Job job(std::function<void()> f);
  enum class Handed : uint8_t {
    Queued,    // a pool thread will run it
    Stopped,   // the runtime has stopped: the job was dropped (destroyed on the calling thread)
    NoThread,  // no pool thread is alive and none could be started: the job stays with the caller
  };
  // Hands `job` to the pool without allocating.
  Handed hand(Job& job) noexcept;

  // Starts a task. Once the runtime is stopped the task is dropped unrun and the handle
  // reports it aborted.
  template <class T>
  JoinHandle<T> spawn(Task<T> t) {
    if (stopped()) return JoinHandle<T>::dropped(std::move(t));
    return net::spawn(strand(), std::move(t));
  }

  // Runs a task to its end from a thread that is not one of a runtime's own, and waits.
  template <class T>
  Result<Value<T>, Blocked> block_on(Task<T> t) {
    return block_on(std::move(t), std::nullopt, kStopCheck, nullptr);
  }
  // The same, with `limit` (none: no limit) counted from the moment the task first runs, and
  // the wait cut into slices of `slice`: between two slices that brought no result,
  // `between` (when given) is called on the waiting thread; when it returns false the task is
  // aborted (it stops at its next suspension point, perhaps after this returns) and the wait
  // ends Cancelled. A result that arrives within a slice is returned without a call.
  template <class T>
  Result<Value<T>, Blocked> block_on(Task<T> t, std::optional<std::chrono::nanoseconds> limit,
                                     std::chrono::nanoseconds slice, const std::function<bool()>& between);

  // Stops the runtime for good and joins its threads: workers finish the step they are
  // running, blocking-pool jobs already running are waited for (they are short), jobs not
  // started are dropped (destroyed on the calling thread once every thread has ended). Name
  // lookups are not waited for: queued ones are dropped, and those in the resolver answer, when
  // they do, into records that wake nobody (Lookups::stop). Tasks not yet ended are abandoned as
  // they stand: never resumed, never destroyed. Afterwards spawn, block_on and blocking give up
  // at once (see there). Idempotent; refused from a runtime's own thread.
  Result<void, Blocked> stop();
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  // stop() on the process runtime, if this process built one (one inherited through fork is
  // left alone). Get() then returns the stopped runtime; nothing builds a new one.
  static Result<void, Blocked> stop_process();

  // Tasks started and not yet ended, over every runtime of the process.
  static size_t live_tasks();
  // Blocking-pool threads alive at the moment.
  size_t blocking_threads();

 private:
  // How often a wait without slices of its own looks whether the runtime was stopped.
  static constexpr std::chrono::milliseconds kStopCheck{100};

  Runtime(size_t threads, std::chrono::nanoseconds pool_idle);
  Result<void, Error> start();
  void blocking_loop();
  // Starts a pool thread when the queued jobs outnumber the idle threads and there is room;
  // false when one was needed and could not be started. Locked.
  bool grow_pool();
  static void* worker_main(void* arg);
  static void* blocking_main(void* arg);
  template <class T>
  static Task<std::optional<Value<T>>> bounded(std::optional<std::chrono::nanoseconds> limit, Task<T> t) {
    if (limit) return with_timeout(*limit, std::move(t));
    return with_deadline(std::nullopt, std::move(t));
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<pthread_t> workers_;
  size_t want_;
  std::mutex stop_m_;  // one stop at a time
  std::atomic<bool> stopped_{false};

  std::mutex pool_m_;
  std::condition_variable pool_cv_;
  std::condition_variable pool_gone_;
  std::list<std::function<void()>> jobs_;
  std::vector<pthread_t> pool_threads_;  // started, neither joined nor detached yet
  std::chrono::nanoseconds pool_idle_limit_;
  size_t pool_total_ = 0;
  size_t pool_idle_ = 0;
  bool pool_stop_ = false;

  Lookups lookups_;
};

template <class T>
Result<Value<T>, Blocked> Runtime::block_on(Task<T> t, std::optional<std::chrono::nanoseconds> limit,
                                            std::chrono::nanoseconds slice, const std::function<bool()>& between) {
  if (on_runtime_thread()) return err(Blocked::OnRuntimeThread);
  if (stopped()) return err(Blocked::Stopped);
  auto h = spawn(bounded(limit, std::move(t)));
  slice = std::max(slice, std::chrono::nanoseconds(std::chrono::milliseconds(1)));
  for (;;) {
    if (auto j = h.wait_for(slice)) {
      if (!j->completed()) return err(stopped() ? Blocked::Stopped : Blocked::Failed);
      if (!*j->value) return err(Blocked::TimedOut);
      return std::move(**j->value);
    }
    if (stopped()) return err(Blocked::Stopped);
    if (between && !between()) {
      h.abort();
      return err(Blocked::Cancelled);
    }
  }
}

// Names the calling thread "vennock-io".
void name_thread();

}  // namespace vennock::net
