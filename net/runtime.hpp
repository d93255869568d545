// The asynchronous runtime: one io_context run by N worker threads, plus a pool of threads
// for blocking calls (name lookups). Every thread it starts is named "vennock-io".
//
// One runtime serves the whole process (Runtime::get): built on first use under a
// process-wide lock that records the creating process id; a child made by fork builds a
// fresh one at its first use and abandons the inherited one without touching it.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <vector>

#include "net/error.hpp"
#include "net/task.hpp"
#include "proto/result.hpp"

namespace vennock::net {

class Runtime {
 public:
  // The process runtime, built with `threads` workers (1 when none is given) on first use.
  // A later call asking for a different count logs a warning and keeps the running value.
  static Result<Runtime*, Error> get(std::optional<size_t> threads = std::nullopt);
  // A runtime of its own (tests, benchmarks); destroying it stops and joins its threads.
  static Result<std::unique_ptr<Runtime>, Error> create(size_t threads);

  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& io() { return io_; }
  Strand strand() { return asio::make_strand(io_); }
  size_t threads() const { return workers_.size(); }
  // True on one of this runtime's worker threads.
  bool on_worker() const;

  // Runs `job` on the blocking pool (a thread is started when none is idle, up to 64;
  // idle ones end after 10 s).
  void blocking(std::function<void()> job);

  template <class T>
  JoinHandle<T> spawn(Task<T> t) {
    return net::spawn(strand(), std::move(t));
  }
  // Runs a task to its end from a thread that is not a worker, and waits for it.
  template <class T>
  Joined<T> block_on(Task<T> t) {
    return spawn(std::move(t)).wait();
  }

  // Tasks started and not yet ended, over every runtime of the process.
  static size_t live_tasks();
  // Blocking-pool threads alive at the moment.
  size_t blocking_threads();

 private:
  explicit Runtime(size_t threads);
  Result<void, Error> start();
  void blocking_loop();
  static void* worker_main(void* arg);
  static void* blocking_main(void* arg);

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<pthread_t> workers_;
  size_t want_;

  std::mutex pool_m_;
  std::condition_variable pool_cv_;
  std::condition_variable pool_gone_;
  std::deque<std::function<void()>> jobs_;
  size_t pool_total_ = 0;
  size_t pool_idle_ = 0;
  bool pool_stop_ = false;
};

// Names the calling thread "vennock-io".
void name_thread();

}  // namespace vennock::net
