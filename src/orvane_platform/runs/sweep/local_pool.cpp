#include "local_pool.h"

#include <nanobind/nanobind.h>

#include <utility>

namespace orvane::sweep {

namespace nb = nanobind;

LocalPool::LocalPool(std::size_t workers, std::vector<Job> jobs)
    : queue_(std::make_move_iterator(jobs.begin()), std::make_move_iterator(jobs.end())) {
    const std::size_t count = std::max<std::size_t>(1, std::min(workers, queue_.size()));
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
}

LocalPool::~LocalPool() {
    stop_dispatching();
    cancel_running();
    // The workers take the GIL to start and reap their children: let them.
    nb::gil_scoped_release release;
    for (std::thread& thread : threads_) thread.join();
}

void LocalPool::work() {
    while (true) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        Finished finished{job.index, {}, std::nullopt};
        {
            // process::run waits with the GIL released and takes it briefly
            // to start the child and every tenth of a second.
            nb::gil_scoped_acquire acquire;
            try {
                process::Options options = run_plan::options_for(job.command);
                options.cancel = &cancel_;
                finished.completed = process::run(job.command.argv, job.command.timeout, options);
            } catch (nb::python_error& error) {
                finished.launch_error = error.what();
            }
        }
        {
            std::lock_guard lock(mutex_);
            --running_;
            finished_.push_back(std::move(finished));
        }
        finished_signal_.notify_one();
    }
}

std::vector<Finished> LocalPool::collect(std::chrono::milliseconds wait) {
    nb::gil_scoped_release release;
    std::unique_lock lock(mutex_);
    finished_signal_.wait_for(lock, wait, [this] { return !finished_.empty(); });
    return std::exchange(finished_, {});
}

void LocalPool::stop_dispatching() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

void LocalPool::cancel_running() { cancel_.store(true, std::memory_order_relaxed); }

std::size_t LocalPool::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool LocalPool::done() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && running_ == 0 && finished_.empty();
}

}  // namespace orvane::sweep
