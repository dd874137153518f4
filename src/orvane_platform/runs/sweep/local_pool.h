// The local engine of a sweep: a pool of native threads, each running one
// solver child at a time and waiting on it with the GIL released, while the
// caller's thread collects what finished.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "native/domain/run_plan.h"
#include "native/process.h"

namespace orvane::sweep {

struct Job {
    std::size_t index;  // the case it runs
    run_plan::Command command;
};

struct Finished {
    std::size_t index;
    process::Completed completed;
    std::optional<std::string> launch_error;  // the child could not be started at all
};

class LocalPool {
  public:
    LocalPool(std::size_t workers, std::vector<Job> jobs);
    // Running children are killed and the threads joined.
    ~LocalPool();
    LocalPool(const LocalPool&) = delete;
    LocalPool& operator=(const LocalPool&) = delete;

    // What finished since the last call, waiting up to `wait` for something
    // when nothing has; the caller holds the GIL, which is released while it
    // waits.
    std::vector<Finished> collect(std::chrono::milliseconds wait);

    // No further job starts; running ones go on.
    void stop_dispatching();
    // Running children are killed (they finish as Ending::cancelled).
    void cancel_running();

    std::size_t running() const;
    // Every job that will ever run has finished and been collected.
    bool done() const;

  private:
    void work();

    mutable std::mutex mutex_;
    std::condition_variable finished_signal_;
    std::deque<Job> queue_;
    std::vector<Finished> finished_;
    std::size_t running_ = 0;
    std::atomic<bool> cancel_{false};
    std::vector<std::thread> threads_;
};

}  // namespace orvane::sweep
