// How fast the calling thread folds seeds, apart from the kernels that make them: the
// ensemble's figures and the quantile net over the same 2,048 seeds' results, handed over
// 128 seeds at a time as the work window does at one coupling, 10 times over (20,480 seeds).
// Prints seeds/s, the best of five timings; never fails on time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "quantiles.h"

namespace {

constexpr int SEEDS = 2048;
constexpr int ROUNDS = 10;
constexpr int BLOCK = 128;

double best_seconds(const std::vector<seed_result> &results, bool net_too)
{
    double best = 1e30;
    for (int timing = 0; timing < 5; ++timing) {
        ensemble_totals totals;
        start_totals(&totals, 1);
        quantile_net net;
        start_net(totals, std::uint64_t{SEEDS} * ROUNDS, std::uint64_t{8} << 20, &net);
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < ROUNDS; ++round) {
            for (int first = 0; first < SEEDS; first += BLOCK) {
                if (net_too) {
                    fold_and_catch(&totals, &net, &results[first], BLOCK);
                } else {
                    fold_seeds(&totals, &results[first], BLOCK);
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
    std::printf("fold alone, one thread, k = 0: %.0f seeds/s; with the quantile net: %.0f "
                "seeds/s\n",
                seeds / best_seconds(results, false), seeds / best_seconds(results, true));
    return 0;
}
