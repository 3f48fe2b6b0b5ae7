// One seed's experiment at every coupling coefficient, with all of its state on the
// caller's stack.
#include "kernels.h"
#include "measures.h"
#include "stats.h"
#include "synth.h"

void run_seed(std::uint32_t seed, const double *couplings, int count, bool ranks,
              seed_result *results)
{
    std::uint32_t state = seed;
    signal_t reference;
    signal_t coupled;
    mask_t mask;

    // The reference phase: the first 128 draws.
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference[i] = draw_level_from(&state);
    }
    const int turns = turning_points(reference);
    for (int c = 0; c < count; ++c) {
        results[c].seed = seed;
        results[c].coupling = couplings[c];
        results[c].turning_points = turns;
    }

    // The reference's mean and variance are the same in every pass, so they are taken once.
    const double mx = signal_mean(reference);
    const double vx = signal_variance(reference, mx);
    // The plain path stays plain: no vector instructions in its rank statistic either.
    const rank_method rank = ranks ? rank_statistic_counted_plain : nullptr;
    for (int q = 0; q < PASS_COUNT; ++q) {
        // The mask's draws come first and don't depend on k, so one mask serves every k.
        build_mask_from(&state, mask, q);
        std::uint32_t after_pass = state;
        for (int c = 0; c < count; ++c) {
            // Every k takes the same 128 draws from the same state word.
            std::uint32_t word = state;
            generate_coupled_from(&word, reference, mask, couplings[c], coupled);
            const pass_measures measures = measure_pass(reference, mx, vx, coupled, rank);
            results[c].r[q] = measures.r;
            results[c].rho[q] = measures.ranks.rho;
            results[c].bound[q] = measures.ranks.bound;
            after_pass = word;
        }
        state = after_pass;
    }
}
