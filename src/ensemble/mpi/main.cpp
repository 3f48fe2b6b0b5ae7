// agreement_ensemble_mpi: agreement_ensemble's study over the ranks of an MPI job. Rank 0 reads
// the options and owns the files, exactly as agreement_ensemble does; every rank takes chunks
// of the seeds from a shared counter as it finishes the last, so that a slow rank takes fewer,
// and runs each on its own threads into a state; the states go to rank 0, which merges them
// into the state one process over all the seeds would have: the same bytes in every file,
// whatever the number of ranks.
#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "files.h"
#include "flow.h"

namespace {

constexpr int CHUNKS_PER_RANK = 2;         // the more, the better the balance, the more states
constexpr std::uint64_t LEAST_CHUNK = 512; // seeds: below that a chunk costs more than it runs
constexpr std::uint64_t MOST_PIECE = std::uint64_t{1} << 30; // bytes a message carries at most
constexpr std::int64_t RUN_SEEDS = -1; // rank 0's word to the others: the seeds run now

enum tag { TAG_STATE = 1, TAG_RESULTS = 2 };

// What rank 0 tells the others about the study, and what every rank needs to run its part.
struct study_plan {
    std::uint64_t first_seed = 0;
    std::uint64_t seeds = 0;
    std::uint64_t threads = 1;
    std::uint64_t chunks = 1;
    bool in_order = false; // the per-seed file wants every seed's results at rank 0, in order
    quantile_list quantiles;
    std::vector<double> couplings;
};

void broadcast_plan(study_plan *plan, int rank)
{
    std::uint64_t numbers[7] = {plan->first_seed,
                                plan->seeds,
                                plan->threads,
                                plan->chunks,
                                plan->in_order ? 1U : 0U,
                                static_cast<std::uint64_t>(plan->quantiles.count),
                                plan->couplings.size()};
    MPI_Bcast(numbers, 7, MPI_UINT64_T, 0, MPI_COMM_WORLD);
    if (rank != 0) {
        plan->first_seed = numbers[0];
        plan->seeds = numbers[1];
        plan->threads = numbers[2];
        plan->chunks = numbers[3];
        plan->in_order = numbers[4] != 0;
        plan->quantiles.count = static_cast<int>(numbers[5]);
        plan->couplings.resize(numbers[6]);
    }
    MPI_Bcast(plan->quantiles.per_million, MOST_QUANTILES, MPI_UINT32_T, 0, MPI_COMM_WORLD);
    MPI_Bcast(plan->couplings.data(), static_cast<int>(plan->couplings.size()), MPI_DOUBLE, 0,
              MPI_COMM_WORLD);
}

// Chunk i of the seeds: the seeds split as evenly as they go.
seed_span chunk_of(const study_plan &plan, std::uint64_t i)
{
    const std::uint64_t base = plan.seeds / plan.chunks;
    const std::uint64_t extra = plan.seeds % plan.chunks;
    return seed_span{plan.first_seed + i * base + std::min(i, extra), base + (i < extra ? 1 : 0)};
}

// Sends bytes to rank 0 as a length and pieces that an int counts.
void send_bytes(const void *data, std::uint64_t size, int message)
{
    MPI_Send(&size, 1, MPI_UINT64_T, 0, message, MPI_COMM_WORLD);
    const char *at = static_cast<const char *>(data);
    for (std::uint64_t sent = 0; sent < size;) {
        const std::uint64_t piece = std::min(MOST_PIECE, size - sent);
        MPI_Send(at + sent, static_cast<int>(piece), MPI_BYTE, 0, message, MPI_COMM_WORLD);
        sent += piece;
    }
}

std::string receive_bytes(int from, int message)
{
    std::uint64_t size = 0;
    MPI_Recv(&size, 1, MPI_UINT64_T, from, message, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::string bytes(size, '\0');
    for (std::uint64_t got = 0; got < size;) {
        const std::uint64_t piece = std::min(MOST_PIECE, size - got);
        MPI_Recv(&bytes[got], static_cast<int>(piece), MPI_BYTE, from, message, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
        got += piece;
    }
    return bytes;
}

// This rank's share: chunks taken from the counter on rank 0 until none is left, each run on
// this rank's threads into a state, kept as its bytes (and, for the per-seed file, its seeds'
// results). Returns 0, or 1 when the threads couldn't be started.
struct my_chunks {
    std::vector<std::uint64_t> taken;
    std::vector<std::string> states;
    std::map<std::uint64_t, std::vector<seed_result>> results;
};

int run_my_chunks(const study_plan &plan, const kernel_path *path, my_chunks *mine)
{
    std::int64_t *counter = nullptr;
    MPI_Win window;
    MPI_Win_allocate(sizeof(std::int64_t), sizeof(std::int64_t), MPI_INFO_NULL, MPI_COMM_WORLD,
                     &counter, &window);
    *counter = 0;
    MPI_Barrier(MPI_COMM_WORLD); // every counter is 0 before anyone takes from rank 0's
    MPI_Win_lock_all(0, window);
    int status = 0;
    for (;;) {
        const std::int64_t one = 1;
        std::int64_t chunk = 0;
        MPI_Fetch_and_op(&one, &chunk, MPI_INT64_T, 0, 0, MPI_SUM, window);
        MPI_Win_flush(0, window);
        if (status != 0 || static_cast<std::uint64_t>(chunk) >= plan.chunks) {
            break;
        }
        const seed_span span = chunk_of(plan, static_cast<std::uint64_t>(chunk));
        seed_job job = {
            span.first, span.count, plan.couplings.data(), static_cast<int>(plan.couplings.size()),
            true,       path};
        job.in_order = plan.in_order;
        std::vector<seed_result> &kept = mine->results[static_cast<std::uint64_t>(chunk)];
        study_state state;
        std::vector<pass_row> rows;
        status = run_study(
            job, plan.quantiles, plan.threads,
            [&](int run, const seed_result *results, std::uint64_t seeds) {
                if (run == 0 && results != nullptr) {
                    kept.insert(kept.end(), results,
                                results + seeds * static_cast<std::uint64_t>(job.coupling_count));
                }
                return 0;
            },
            true, &state, &rows);
        mine->taken.push_back(static_cast<std::uint64_t>(chunk));
        mine->states.push_back(state_bytes(state));
        if (!plan.in_order) {
            mine->results.erase(static_cast<std::uint64_t>(chunk));
        }
    }
    MPI_Win_unlock_all(window);
    MPI_Win_free(&window);
    return status;
}

// A rank's part, sent to rank 0: the chunks it took, their states, then their results.
void send_to_root(const my_chunks &mine)
{
    std::uint64_t count = mine.taken.size();
    MPI_Send(&count, 1, MPI_UINT64_T, 0, TAG_STATE, MPI_COMM_WORLD);
    MPI_Send(mine.taken.data(), static_cast<int>(count), MPI_UINT64_T, 0, TAG_STATE,
             MPI_COMM_WORLD);
    for (const std::string &bytes : mine.states) {
        send_bytes(bytes.data(), bytes.size(), TAG_STATE);
    }
    for (const auto &[chunk, results] : mine.results) {
        send_bytes(results.data(), results.size() * sizeof(seed_result), TAG_RESULTS);
    }
}

// At rank 0: every rank's states, its own first, and which rank ran each chunk in *owner.
std::vector<std::string> gather_states(my_chunks *mine, int ranks,
                                       std::vector<std::uint64_t> *owner)
{
    std::vector<std::string> states = std::move(mine->states);
    for (std::uint64_t chunk : mine->taken) {
        (*owner)[chunk] = 0;
    }
    for (int from = 1; from < ranks; ++from) {
        std::uint64_t count = 0;
        MPI_Recv(&count, 1, MPI_UINT64_T, from, TAG_STATE, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        std::vector<std::uint64_t> taken(count);
        MPI_Recv(taken.data(), static_cast<int>(count), MPI_UINT64_T, from, TAG_STATE,
                 MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        for (std::uint64_t chunk : taken) {
            (*owner)[chunk] = static_cast<std::uint64_t>(from);
            states.push_back(receive_bytes(from, TAG_STATE));
        }
    }
    return states;
}

// At rank 0: the per-seed results handed to watch in seed order, each rank's chunks coming in
// its own ascending order. Returns watch's status.
int watch_in_order(const study_plan &plan, const std::vector<std::uint64_t> &owner, my_chunks *mine,
                   const run_watcher &watch)
{
    int status = 0;
    for (std::uint64_t chunk = 0; plan.in_order && chunk < plan.chunks && status == 0; ++chunk) {
        std::vector<seed_result> received;
        const std::vector<seed_result> *results = &mine->results[chunk];
        if (owner[chunk] != 0) {
            const std::string bytes = receive_bytes(static_cast<int>(owner[chunk]), TAG_RESULTS);
            received.resize(bytes.size() / sizeof(seed_result));
            std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char *>(received.data()));
            results = &received;
        }
        status = watch(0, results->data(), chunk_of(plan, chunk).count);
    }
    return status;
}

// Every rank's part of the study; at rank 0 also the merge into *state and *rows, and the
// per-seed results handed to watch in seed order.
int run_across_ranks(study_plan plan, int rank, int ranks, const kernel_path *path,
                     const run_watcher &watch, bool keep_state, study_state *state,
                     std::vector<pass_row> *rows)
{
    broadcast_plan(&plan, rank);
    my_chunks mine;
    int status = run_my_chunks(plan, path, &mine);
    if (rank != 0) {
        send_to_root(mine);
        return status;
    }
    std::vector<std::uint64_t> owner(plan.chunks, 0);
    std::vector<std::string> states = gather_states(&mine, ranks, &owner);
    if (status == 0) {
        status = watch_in_order(plan, owner, &mine, watch);
    }
    if (status != 0) {
        return status;
    }
    // The chunks' states merged as one run's, one histogram held at a time.
    std::vector<study_state> parts(states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        const std::string problem = read_state(states[i], &parts[i]);
        if (!problem.empty()) {
            static_cast<void>(std::fprintf(stderr, "agreement_ensemble_mpi: a rank's state %s\n",
                                           problem.c_str()));
            return 1;
        }
        std::string().swap(states[i]);
        if (i == 0) {
            start_merge(parts[0], keep_state, state);
        }
        add_part(state, &parts[i]);
    }
    return finish_merge(&parts, plan.threads, path, watch, keep_state, state, rows);
}

int run_rank_zero(int argc, char **argv, int ranks)
{
    study_runner runner;
    runner.ranks = static_cast<std::uint64_t>(ranks);
    bool told = false;
    runner.before = [&told](int status) {
        std::int64_t word = status;
        MPI_Bcast(&word, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
        told = word == RUN_SEEDS;
    };
    runner.run = [ranks](const seed_job &job, const quantile_list &quantiles, std::uint64_t threads,
                         const run_watcher &watch, bool keep_state, study_state *state,
                         std::vector<pass_row> *rows) {
        study_plan plan;
        plan.first_seed = job.first_seed;
        plan.seeds = job.seeds;
        plan.threads = threads;
        plan.chunks = std::max<std::uint64_t>(
            1, std::min<std::uint64_t>(static_cast<std::uint64_t>(ranks) * CHUNKS_PER_RANK,
                                       job.seeds / LEAST_CHUNK));
        plan.in_order = job.in_order;
        plan.quantiles = quantiles;
        plan.couplings.assign(job.couplings, job.couplings + job.coupling_count);
        return run_across_ranks(plan, 0, ranks, job.path, watch, keep_state, state, rows);
    };
    if (argc > 1 && std::string(argv[1]) == "merge") {
        // A merge runs no seeds (or a part's, rarely): it is agreement_ensemble's.
        std::int64_t status = usage_error("merge runs as agreement_ensemble merge, not under MPI");
        MPI_Bcast(&status, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
        return static_cast<int>(status);
    }
    std::int64_t status = ensemble_driver_with(argc, argv, runner);
    if (told && status != 0) {
        // The others may be anywhere in the study: the whole job ends here, with this status,
        // this rank's temporary files already gone.
        MPI_Abort(MPI_COMM_WORLD, static_cast<int>(status));
    }
    if (told) {
        MPI_Bcast(&status, 1, MPI_INT64_T, 0, MPI_COMM_WORLD); // the job ended well
    }
    return static_cast<int>(status);
}

int run_other_rank(int rank, int ranks)
{
    std::int64_t word = 0;
    MPI_Bcast(&word, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (word != RUN_SEEDS) {
        return static_cast<int>(word); // rank 0 stopped before any seed ran, and said why
    }
    const kernel_path *path = nullptr;
    if (!choose_kernel_path(std::getenv("AGREEMENT_ENSEMBLE_ISA"), &path).empty()) {
        static_cast<void>(choose_kernel_path(nullptr, &path)); // every path, the same bytes
    }
    study_state state;
    std::vector<pass_row> rows;
    run_across_ranks(
        study_plan(), rank, ranks, path, [](int, const seed_result *, std::uint64_t) { return 0; },
        false, &state, &rows);
    std::int64_t status = 0;
    MPI_Bcast(&status, 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
    return static_cast<int>(status);
}

} // namespace

int main(int argc, char **argv)
{
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    const int status = rank == 0 ? run_rank_zero(argc, argv, ranks) : run_other_rank(rank, ranks);
    MPI_Finalize();
    return status;
}
