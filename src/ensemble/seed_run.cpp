// One seed's experiment, with all of its state on the caller's stack.
#include "ensemble/ensemble.h"
#include "stats/stats.h"
#include "synth/synth.h"

void run_seed(std::uint32_t seed, seed_result *result)
{
    std::uint32_t state = seed;
    signal_t reference;
    signal_t coupled;
    mask_t mask;

    // The reference phase: the first 128 draws.
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference[i] = draw_level_from(&state);
    }
    result->seed = seed;
    result->turning_points = turning_points(reference);

    // The reference's mean and variance are the same in every pass, so they are taken once.
    const double mx = signal_mean(reference);
    const double vx = signal_variance(reference, mx);
    for (int q = 0; q < PASS_COUNT; ++q) {
        build_mask_from(&state, mask, q);
        generate_coupled_from(&state, reference, mask, coupled);
        const double my = signal_mean(coupled);
        amplify_deviations(coupled, my);
        const double vy = signal_variance(coupled, my);
        result->r[q] = signal_correlation(reference, coupled, mx, my, vx, vy);
        const rank_result ranks = rank_statistic_counted(coupled);
        result->rho[q] = ranks.rho;
        result->bound[q] = ranks.bound;
    }
}
