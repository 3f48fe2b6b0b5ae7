// What a worker spends folding the seeds it runs, apart from the kernels that make them: the
// exact sums alone, and the whole fold (sums, counts, histograms and the quantile net) over
// the same 2,048 seeds' results at one coupling, handed over 128 seeds at a time as the work
// window does, 10 times over (20,480 seeds). Prints µs a seed, the best of five timings;
// never fails on time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "quantiles.h"

namespace {

constexpr int SEEDS = 2048;
constexpr int ROUNDS = 10;
constexpr int BLOCK = 128;

double best_seconds(const std::vector<seed_result> &results, bool whole_fold)
{
    double best = 1e30;
    for (int timing = 0; timing < 5; ++timing) {
        worker_fold fold;
        start_worker_fold(&fold, 1, quantile_list(), std::uint64_t{SEEDS} * ROUNDS,
                          std::uint64_t{8} << 20, 0.0);
        pass_sums sums;
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < ROUNDS; ++round) {
            for (int first = 0; first < SEEDS; first += BLOCK) {
                if (whole_fold) {
                    fold_block(&fold, &results[first], BLOCK);
                } else {
                    for (int i = first; i < first + BLOCK; ++i) {
                        add_seed_to_sums(&sums, results[i].r, results[i].rho);
                    }
                }
            }
        }
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        best = std::min(best, spent.count());
    }
    return best;
}

} // namespace

int main()
{
    const kernel_path *path = nullptr;
    static_cast<void>(choose_kernel_path(nullptr, &path));
    std::vector<seed_result> results(SEEDS);
    const double k = 0.0;
    run_seeds(*path, 1U, SEEDS, &k, 1, true, results.data());
    const double seeds = static_cast<double>(SEEDS) * ROUNDS;
    std::printf("a worker's fold, k = 0: exact sums alone %.2f us a seed; the whole fold "
                "(sums, counts, histograms, quantile net) %.2f us a seed\n",
                1e6 * best_seconds(results, false) / seeds,
                1e6 * best_seconds(results, true) / seeds);
    return 0;
}
