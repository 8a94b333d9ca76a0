// A small fixed pool of worker threads for row-parallel loops.
//
// The CPU engine calls parallelFor thousands of times per job (once per sweep block), so the
// workers are started once per pool and reused; each call hands out contiguous chunks of the
// index range and returns when every chunk is done.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/error.h"
#include "common/float_mode.h"
#include "common/threads.h"

namespace fwprune {

class ThreadPool {
  public:
    // threads <= 0 means the default count (see resolveThreadCount); more than kMaxThreads are
    // refused. The calling thread takes part, so a pool of one thread starts no worker at all.
    explicit ThreadPool(int threads) {
        threads = resolveThreadCount(std::max(threads, 0));
        size_ = threads;
        try {
            for (int t = 1; t < threads; ++t) workers_.emplace_back([this, t] { workerLoop(t); });
        } catch (const std::system_error& error) {
            const std::size_t started = workers_.size() + 1;  // the calling thread counts
            // Threads already started must be joined before they are destroyed.
            stop();
            fail(Status::OutOfMemory, "cannot start thread " + std::to_string(started + 1) +
                                          " of " + std::to_string(threads) + " (" +
                                          error.code().message() + "); ask for fewer threads");
        } catch (...) {
            stop();
            throw;
        }
    }
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool() { stop(); }

    int size() const { return size_; }

    // Calls body(begin, end, worker) on disjoint chunks that cover [begin, end), one chunk per
    // thread, in ascending order of worker. Rethrows the first exception a chunk threw, after all
    // chunks have finished. One caller at a time: not reentrant, and not to be called from two
    // threads at once on the same pool (each job owns its pool).
    void parallelFor(std::int64_t begin, std::int64_t end,
                     const std::function<void(std::int64_t, std::int64_t, int)>& body) {
        if (end <= begin) return;
        if (size_ == 1 || end - begin == 1) {
            body(begin, end, 0);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body_ = &body;
            begin_ = begin;
            end_ = end;
            pending_ = size_ - 1;
            error_ = nullptr;
            ++generation_;
        }
        wake_.notify_all();
        runChunk(0);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        body_ = nullptr;
        if (error_) std::rethrow_exception(error_);
    }

  private:
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& w : workers_) w.join();
        workers_.clear();
    }

    void runChunk(int worker) {
        const std::int64_t count = end_ - begin_;
        const std::int64_t lo = begin_ + count * worker / size_;
        const std::int64_t hi = begin_ + count * (worker + 1) / size_;
        if (lo >= hi) return;
        try {
            (*body_)(lo, hi, worker);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) error_ = std::current_exception();
        }
    }

    void workerLoop(int worker) {
        // Workers compute in IEEE mode whatever the thread that started the pool had set.
        const IeeeFloatingPoint ieee;
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_) return;
                seen = generation_;
            }
            runChunk(worker);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_one();
        }
    }

    int size_ = 1;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(std::int64_t, std::int64_t, int)>* body_ = nullptr;
    std::int64_t begin_ = 0;
    std::int64_t end_ = 0;
    int pending_ = 0;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    std::exception_ptr error_;
};

// The workers a reader or writer runs on: the job's pool handed down, or, where a caller gives a
// thread count (see resolveThreadCount), a pool of the reader's or writer's own, started only when
// it first has work worth the threads.
class Workers {
  public:
    // Implicit both ways, so a reader's or writer's caller passes its pool or its thread count.
    Workers(int threads = 0) : threads_(threads) {}  // NOLINT(google-explicit-constructor)
    Workers(ThreadPool& pool) : pool_(&pool) {}      // NOLINT(google-explicit-constructor)
    Workers(Workers&&) = default;
    Workers& operator=(Workers&&) = default;

    // The pool: the one handed down, or one of up to atMost of the threads asked for, started at
    // the first call and kept.
    ThreadPool& pool(int atMost = kMaxThreads) {
        if (pool_ == nullptr) {
            own_ = std::make_unique<ThreadPool>(std::min(resolveThreadCount(threads_), atMost));
            pool_ = own_.get();
        }
        return *pool_;
    }

  private:
    int threads_ = 0;
    ThreadPool* pool_ = nullptr;
    std::unique_ptr<ThreadPool> own_;
};

}  // namespace fwprune
