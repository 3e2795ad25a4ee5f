// pool.h - blocks transformed by worker threads and delivered in order.
//
// The command's own thread reads blocks into slots and submits them; the
// slots that need work (compression, scrambling, either way) go to N
// workers, each with state of its own (its codec); collect() hands the slots back in
// the order they were submitted.  So the command reads and writes exactly as
// the serial loop would, and only the codec work runs in parallel.  The
// workers start with the first slot that needs codec work, so a walk over
// plain blocks starts none; with one job, or when the system refuses threads,
// submit() does the work at once in the command's thread.
//
// Memory is bounded: 2N + 2 slots (one for N = 1), each holding a block as
// read and as transformed, so at most 4N + 4 blocks of the largest size seen,
// plus each worker's state.  Knows nothing of images: what a slot's forms
// mean is the business of the work the caller gives.
#ifndef ORVTAPE_TOOL_BASE_POOL_H
#define ORVTAPE_TOOL_BASE_POOL_H

#include "common.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace orvtool {

// One block in flight.  The producer fills the input fields; the work fills
// the output (or leaves it empty when the block passes as it is).
struct Slot {
    std::vector<unsigned char> in;   // the block as read: stored form or data
    unsigned inLength = 0;
    unsigned char inForm = 0;        // how in holds the block, in the work's terms (0: as data)
    int length = 0;                  // the block's length (0: tapemark)
    long long offset = 0;            // where it came from, for messages
    long long number = 0;            // the block's number, for messages
    unsigned char want = 0;          // the form the work is to give it, in the work's terms
    bool isLabel = false;            // it is a label, for messages
    bool transform = false;          // the producer asks for the work to run on it
    std::vector<unsigned char> out;  // the block as transformed
    unsigned outLength = 0;
    unsigned char outForm = 0;
    int rc = 0;                      // the work's result code
    bool inputBad = false;           // the work found the input itself unreadable
    std::exception_ptr error;        // thrown by the producer or the work, rethrown in order
};

// Jobs to use when -j is not given: the cores this process may run on.
int defaultJobs();

// Says once per run, unless quiet, that the system refused a thread (a
// process limit, a container's pids limit) and that the work goes on with fewer.
void threadRefused(const std::system_error& e, const Common& run);
// f on a thread of its own when the system grants one, else deferred: it then
// runs in the caller's thread when its result is asked for.
template <class F>
auto besideOrDeferred(F&& f, const Common& run) -> std::future<decltype(f())> {
    try {
        return std::async(std::launch::async, f);
    } catch (const std::system_error& e) {
        threadRefused(e, run);
        return std::async(std::launch::deferred, std::forward<F>(f));
    }
}

// What a worker keeps between slots (a codec and its buffers), made by the
// caller's factory: one for each worker, one for the caller's own thread.
class WorkerState {
public:
    virtual ~WorkerState() = default;
};

class Pipeline {
public:
    using MakeState = std::function<std::unique_ptr<WorkerState>()>;
    using Work = std::function<void(Slot&, WorkerState&)>;
    // work runs on a worker for every slot submitted with its transform set;
    // run: whether to note threads the system refused, and whether that was noted.
    Pipeline(int jobs, const Common& run, MakeState makeState, Work work);
    ~Pipeline();  // stops and joins the workers; slots in flight are dropped
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // A free slot to fill, or null when all are in flight (collect first).
    // Frees the slot that collect() returned last.
    Slot* acquire();
    // Hands the slot last acquired on: to the work when its transform is
    // set, else straight to collect().
    void submit(Slot& s);
    // The oldest slot submitted, once its work is done; null when none is in
    // flight.  Rethrows the exception its producer or work left in it.  The
    // slot stays valid until the next acquire() or collect().
    Slot* collect();
    // Slots submitted and not yet collected.
    unsigned long long inFlight() const { return submitted_ - collected_; }
    // The idle bypass: a block that needs no work, met while nothing is in
    // flight, goes straight to its consumer without a slot or a copy, and
    // order still holds.  The one place the rule is written.
    bool passesStraight(bool needsWork) const { return !needsWork && inFlight() == 0; }

    // Runs produce (false: no more blocks) and consume over every block: an
    // exception of produce surfaces only after the blocks before it were
    // consumed, as it would in the serial loop.
    void run(const std::function<bool(Slot&)>& produce, const std::function<void(Slot&)>& consume);
    // Fills every free slot with produce and submits it, for a consumer that
    // pulls with collect(): false once produce said there are no more blocks
    // or threw (its exception then waits in the slot, behind earlier blocks).
    bool feed(const std::function<bool(Slot&)>& produce);

private:
    void startWorkers();  // as many as the system grants, up to jobs_
    void workerLoop(WorkerState& state);
    void perform(Slot& s, WorkerState& state);

    MakeState makeState_;
    Work work_;
    int jobs_;
    Common run_;
    bool started_ = false;          // startWorkers() ran
    std::vector<Slot> slots_;
    std::vector<char> done_;        // per slot: its work is finished
    std::vector<char> queued_;      // per slot: it went to a worker (only the command's thread touches it)
    unsigned long long submitted_ = 0, collected_ = 0;
    size_t submitIndex_ = 0, collectIndex_ = 0;  // the slots of those two counts, without a division a block
    size_t wrap(size_t i) const { return i == slots_.size() ? 0 : i; }
    std::vector<std::unique_ptr<WorkerState>> states_;  // the caller's first
    std::vector<std::thread> workers_;
    std::deque<size_t> queue_;      // slots waiting for a worker
    std::mutex mutex_;
    std::condition_variable workReady_, workDone_;
    bool stopping_ = false;
};

}  // namespace orvtool

#endif
