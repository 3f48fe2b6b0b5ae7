// The ensemble's work window: seeds run on worker threads, each block folded by the worker
// that ran it, and, where asked, handed back to the calling thread in seed order, with a
// bounded number of results waiting.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "flow.h"

namespace {

// A block holds up to LANE_BLOCKS times LANE_SEEDS seeds, which the vector kernels run
// LANE_SEEDS at a time: larger blocks wake the calling thread less often, and a worker folds
// each cell's seeds with the cell's histogram at hand. Fewer when there are many couplings, so
// that a block holds about BLOCK_RUNS seed-runs.
constexpr std::uint64_t LANE_BLOCKS = 4;
constexpr std::uint64_t BLOCK_RUNS = 512;

// Seeds go out in blocks. In order, a block's results wait in one of `window` slots until the
// calling thread has taken every earlier block, so that it gets them in seed order; a thread
// takes a new block only while a slot is free, so memory stays bounded. Out of order, each
// worker has a slot of its own. Each seed fills one result per coupling, next to each other in
// its slot.
struct shared_work {
    seed_job job;
    const worker_block_handler *on_worker = nullptr;
    std::uint64_t block_seeds = 0;
    std::uint64_t blocks = 0;
    std::uint64_t window = 0;
    std::vector<seed_result> slots;   // window x block_seeds x couplings results
    std::vector<std::uint64_t> ready; // per slot: 1 + the block it holds, 0 when free

    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t next_block = 0;    // the next block a thread takes
    std::uint64_t folded_blocks = 0; // blocks the calling thread has folded
    std::uint64_t done_blocks = 0;   // out of order: blocks done, and their seeds
    std::uint64_t done_seeds = 0;
    bool stop = false;
    std::exception_ptr failure; // what a worker threw, for the calling thread to throw again

    seed_result *block_slot(std::uint64_t slot)
    {
        return &slots[slot * block_seeds * static_cast<std::uint64_t>(job.coupling_count)];
    }
};

// Runs block into slot and hands it to the worker's fold. Returns the block's seeds.
std::uint64_t run_block(shared_work *work, std::uint64_t block, std::uint64_t slot,
                        std::uint64_t worker)
{
    const std::uint64_t first = block * work->block_seeds;
    const std::uint64_t count = std::min(work->block_seeds, work->job.seeds - first);
    run_seeds(*work->job.path, static_cast<std::uint32_t>(work->job.first_seed + first),
              static_cast<int>(count), work->job.couplings, work->job.coupling_count,
              work->job.ranks, work->block_slot(slot));
    if (work->on_worker != nullptr) {
        (*work->on_worker)(worker, work->block_slot(slot), count);
    }
    return count;
}

// Out of order: each worker runs blocks into a slot of its own as fast as it can, and wakes
// the calling thread only with the last.
void run_any_block(shared_work *work, std::uint64_t worker)
{
    for (;;) {
        std::uint64_t block = 0;
        {
            std::lock_guard<std::mutex> held(work->lock);
            if (work->stop || work->next_block >= work->blocks) {
                return;
            }
            block = work->next_block++;
        }
        const std::uint64_t count = run_block(work, block, worker, worker);
        bool last = false;
        {
            std::lock_guard<std::mutex> held(work->lock);
            work->done_seeds += count;
            last = ++work->done_blocks == work->blocks;
        }
        if (last) {
            work->changed.notify_all();
        }
    }
}

void run_each_block(shared_work *work, std::uint64_t worker)
{
    if (!work->job.in_order) {
        run_any_block(work, worker);
        return;
    }
    for (;;) {
        std::uint64_t block = 0;
        {
            std::unique_lock<std::mutex> held(work->lock);
            work->changed.wait(held, [work] {
                return work->stop || work->next_block >= work->blocks ||
                       work->next_block < work->folded_blocks + work->window;
            });
            if (work->stop || work->next_block >= work->blocks) {
                return;
            }
            block = work->next_block++;
        }
        const std::uint64_t slot = block % work->window;
        run_block(work, block, slot, worker);
        {
            std::lock_guard<std::mutex> held(work->lock);
            work->ready[slot] = block + 1;
        }
        work->changed.notify_all();
    }
}

void stop_workers(shared_work *work)
{
    {
        std::lock_guard<std::mutex> held(work->lock);
        work->stop = true;
    }
    work->changed.notify_all();
}

// An exception may not leave a thread's function (that ends the program): a worker's stops
// the others and waits for the calling thread, which throws it again.
void run_blocks(shared_work *work, std::uint64_t worker)
{
    try {
        run_each_block(work, worker);
    } catch (...) {
        {
            std::lock_guard<std::mutex> held(work->lock);
            work->failure = std::current_exception();
            work->stop = true;
        }
        work->changed.notify_all();
    }
}

// The workers, stopped and joined however the calling thread leaves: an exception (memory
// running out in the fold, say) must not meet threads still joinable, which ends the program.
struct worker_pool {
    shared_work *work;
    std::vector<std::thread> threads;

    void stop_and_join()
    {
        stop_workers(work);
        for (std::thread &thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    ~worker_pool() { stop_and_join(); }
};

// Linux's threads take their stacks from the address space, and a failed start says EAGAIN
// for want of memory as for a limit on threads: a stack's worth that can't be had either
// tells the first from the second. 8 MB is the usual stack size.
constexpr std::size_t STACK_BYTES = std::size_t{8} << 20;

void fail_if_memory_is_short()
{
    void *stack = ::operator new(STACK_BYTES, std::nothrow);
    if (stack == nullptr) {
        throw std::bad_alloc();
    }
    ::operator delete(stack);
}

} // namespace

std::uint64_t work_window_slots(std::uint64_t threads)
{
    return 2 * threads + 2; // every thread busy with one block while another waits its turn
}

std::uint64_t work_block_seeds(int couplings)
{
    const std::uint64_t lanes = static_cast<std::uint64_t>(LANE_SEEDS);
    return std::max<std::uint64_t>(
        1, std::min(LANE_BLOCKS * lanes, BLOCK_RUNS / static_cast<std::uint64_t>(couplings)));
}

namespace {

// Starts the pool's workers on work. Returns 0, or 1 after reporting threads that can't be
// started (those that did start are stopped and joined with the pool).
int start_workers(worker_pool *pool, std::uint64_t threads)
{
    try {
        pool->threads.reserve(threads);
        for (std::uint64_t i = 0; i < threads; ++i) {
            pool->threads.emplace_back(run_blocks, pool->work, i);
        }
    } catch (const std::system_error &error) {
        if (error.code() == std::errc::resource_unavailable_try_again) {
            fail_if_memory_is_short();
        }
        const std::string line = "agreement_ensemble: cannot start " + std::to_string(threads) +
                                 " threads: " + error.code().message() + "\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
        return 1;
    }
    return 0;
}

// Out of order: a look a few times a second, for progress and to stop when told. Returns
// fold's status.
int watch_any_order(shared_work *work, const ordered_block_handler &fold)
{
    int status = 0;
    for (std::uint64_t reported = 0; status == 0;) {
        std::uint64_t done = 0;
        bool finished = false;
        {
            std::unique_lock<std::mutex> held(work->lock);
            work->changed.wait_for(held, std::chrono::milliseconds(50), [work] {
                return work->done_blocks == work->blocks || work->failure != nullptr;
            });
            if (work->failure != nullptr) {
                std::rethrow_exception(work->failure);
            }
            done = work->done_seeds;
            finished = work->done_blocks == work->blocks;
        }
        if (done > reported) {
            status = fold(nullptr, done - reported);
            reported = done;
        }
        if (finished) {
            break;
        }
    }
    return status;
}

// In order: each block to fold as soon as it and every block before it are run, its slot
// freed for the workers once fold returns. Returns fold's status.
int fold_in_order(shared_work *work, const ordered_block_handler &fold)
{
    int status = 0;
    for (std::uint64_t block = 0; block < work->blocks && status == 0; ++block) {
        const std::uint64_t slot = block % work->window;
        {
            std::unique_lock<std::mutex> held(work->lock);
            work->changed.wait(held, [work, slot, block] {
                return work->ready[slot] == block + 1 || work->failure != nullptr;
            });
            if (work->failure != nullptr) {
                std::rethrow_exception(work->failure); // the pool stops and joins the others
            }
        }
        // The slot is this thread's until the block is marked folded.
        const std::uint64_t count =
            std::min(work->block_seeds, work->job.seeds - block * work->block_seeds);
        status = fold(work->block_slot(slot), count);
        {
            std::lock_guard<std::mutex> held(work->lock);
            work->ready[slot] = 0;
            work->folded_blocks = block + 1;
            work->stop = status != 0;
        }
        work->changed.notify_all();
    }
    return status;
}

} // namespace

int run_seeds_in_order(const seed_job &job, std::uint64_t threads,
                       const ordered_block_handler &fold, const worker_block_handler *on_worker)
{
    shared_work work;
    work.job = job;
    work.on_worker = on_worker;
    if (work.job.path == nullptr) {
        int count = 0;
        const kernel_path *const *paths = kernel_paths(&count);
        work.job.path = paths[count - 1]; // the plain one
    }
    work.block_seeds = work_block_seeds(job.coupling_count);
    work.blocks = (job.seeds + work.block_seeds - 1) / work.block_seeds;
    work.window = job.in_order ? work_window_slots(threads) : threads; // out of order: a slot
                                                                       // per worker
    work.slots.resize(work.window * work.block_seeds *
                      static_cast<std::uint64_t>(job.coupling_count));
    work.ready.assign(work.window, 0U);

    worker_pool pool = {&work, {}};
    int status = start_workers(&pool, threads);
    if (status == 0) {
        status = job.in_order ? fold_in_order(&work, fold) : watch_any_order(&work, fold);
    }
    pool.stop_and_join();
    return status;
}
