// pool.cpp - the ordered worker pool of pool.h.
#include "pool.h"

#include "error.h"

#include <atomic>
#include <cstdio>
#include <sched.h>

namespace orvtool {

int defaultJobs() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

void threadRefused(const std::system_error& e, const Common& run) {
    if (run.quiet || run.threadNoteGiven->exchange(true)) return;
    std::fprintf(stderr, "orvtape: note: the system refuses another thread (%s); the work goes on "
                 "with the threads it has\n", errnoWords(e.code().value()).c_str());
}

Pipeline::Pipeline(int jobs, const Common& run, MakeState makeState, Work work)
    : makeState_(std::move(makeState)), work_(std::move(work)), jobs_(jobs < 1 ? 1 : jobs), run_(run) {
    jobs = jobs_;
    // Two slots a worker (one worked on, one waiting) and two for the
    // command's thread (one being consumed, one being filled).
    const size_t count = jobs == 1 ? 1 : static_cast<size_t>(2 * jobs + 2);
    slots_.resize(count);
    done_.assign(count, 0);
    queued_.assign(count, 0);
    states_.push_back(makeState_());  // the first worker's, or the caller's
}

void Pipeline::startWorkers() {
    started_ = true;
    if (jobs_ == 1) return;  // submit() works in the caller's thread
    try {
        for (int i = 0; i < jobs_; ++i) {
            if (i > 0) states_.push_back(makeState_());
            WorkerState* state = states_.back().get();
            workers_.emplace_back([this, state] { workerLoop(*state); });
        }
    } catch (const std::system_error& e) {
        threadRefused(e, run_);  // the workers started work on; none: the caller's thread does
    }
}

Pipeline::~Pipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    workReady_.notify_all();
    for (std::thread& t : workers_) t.join();
}

Slot* Pipeline::acquire() {
    if (submitted_ - collected_ >= slots_.size()) return nullptr;
    Slot& s = slots_[submitIndex_];
    s.error = nullptr;
    s.transform = false;
    s.rc = 0;
    s.inputBad = false;
    s.isLabel = false;
    s.outLength = 0;
    return &s;
}

void Pipeline::perform(Slot& s, WorkerState& state) {
    try {
        work_(s, state);
    } catch (...) {
        s.error = std::current_exception();
    }
}

void Pipeline::submit(Slot& s) {
    const size_t index = submitIndex_;
    submitIndex_ = wrap(index + 1);
    ++submitted_;
    if (s.transform && !started_) startWorkers();
    queued_[index] = s.transform && !workers_.empty();
    if (!queued_[index]) {
        if (s.transform) perform(s, *states_.front());
        done_[index] = 1;  // no worker touches a slot that was not queued
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[index] = 0;
        queue_.push_back(index);
    }
    workReady_.notify_one();
}

Slot* Pipeline::collect() {
    if (collected_ == submitted_) return nullptr;
    const size_t index = collectIndex_;
    collectIndex_ = wrap(index + 1);
    if (queued_[index]) {  // a slot done in this thread needs no lock: most blocks need no codec
        std::unique_lock<std::mutex> lock(mutex_);
        workDone_.wait(lock, [&] { return done_[index] != 0; });
    }
    done_[index] = 0;
    ++collected_;
    Slot& s = slots_[index];
    if (s.error) std::rethrow_exception(s.error);
    return &s;
}

void Pipeline::workerLoop(WorkerState& state) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workReady_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const size_t index = queue_.front();
        queue_.pop_front();
        lock.unlock();
        perform(slots_[index], state);
        lock.lock();
        done_[index] = 1;
        workDone_.notify_one();  // only the command's thread waits
    }
}

bool Pipeline::feed(const std::function<bool(Slot&)>& produce) {
    while (Slot* s = acquire()) {
        try {
            if (!produce(*s)) return false;
        } catch (...) {
            s->error = std::current_exception();
            s->transform = false;
            submit(*s);
            return false;
        }
        submit(*s);
    }
    return true;
}

void Pipeline::run(const std::function<bool(Slot&)>& produce, const std::function<void(Slot&)>& consume) {
    bool more = true;
    for (;;) {
        if (more) more = feed(produce);
        Slot* s = collect();
        if (!s) return;
        consume(*s);
    }
}

}  // namespace orvtool
