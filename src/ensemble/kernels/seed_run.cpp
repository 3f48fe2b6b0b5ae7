// One seed's experiment at every coupling coefficient, with all of its state on the
// caller's stack.
#include <algorithm>

#include "kernels.h"
#include "measures.h"
#include "stats.h"
#include "synth.h"

namespace {

// The experiment for seed at count coupling coefficients: the reference phase into
// reference (returning its turning points) and its mean mx and variance vx, the same in every
// pass, then each pass's mask and, for each k, its coupled signal, handed to
// each(q, c, coupled, mx, vx) to be measured.
template <class Each>
int run_coupled_passes(std::uint32_t seed, const double *couplings, int count, double *reference, Each each)
{
    std::uint32_t state = seed;
    signal_t coupled;
    mask_t mask;

    // The reference phase: the first 128 draws.
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference[i] = draw_level_from(&state);
    }
    const double mx = signal_mean(reference);
    const double vx = signal_variance(reference, mx);
    for (int q = 0; q < PASS_COUNT; ++q) {
        // The mask's draws come first and don't depend on k, so one mask serves every k.
        build_mask_from(&state, mask, q);
        std::uint32_t after_pass = state;
        for (int c = 0; c < count; ++c) {
            // Every k takes the same 128 draws from the same state word.
            std::uint32_t word = state;
            generate_coupled_from(&word, reference, mask, couplings[c], coupled);
            each(q, c, coupled, mx, vx);
            after_pass = word;
        }
        state = after_pass;
    }
    return turning_points(reference);
}

} // namespace

void run_seed(std::uint32_t seed, const double *couplings, int count, bool ranks,
              seed_result *results)
{
    signal_t reference;
    const rank_method rank = ranks ? rank_statistic_counted : nullptr;
    const int turns = run_coupled_passes(seed, couplings, count, reference,
                                 [&](int q, int c, double *coupled, double mx, double vx) {
                                     const pass_measures measures =
                                         measure_pass(reference, mx, vx, coupled, rank);
                                     results[c].r[q] = measures.r;
                                     results[c].rho[q] = measures.ranks.rho;
                                     results[c].bound[q] = measures.ranks.bound;
                                 });
    for (int c = 0; c < count; ++c) {
        results[c].seed = seed;
        results[c].coupling = couplings[c];
        results[c].turning_points = turns;
    }
}

void run_seed_passes(std::uint32_t seed, double coupling, seed_passes *passes)
{
    passes->turning_points =
        run_coupled_passes(seed, &coupling, 1, passes->reference,
                   [&](int q, int, double *coupled, double mx, double vx) {
                       std::copy(coupled, coupled + SIGNAL_LENGTH, passes->signal[q]);
                       const pass_measures measures = measure_pass(
                           passes->reference, mx, vx, coupled, rank_statistic_counted);
                       passes->mean[q] = measures.mean;
                       passes->variance[q] = measures.variance;
                       passes->r[q] = measures.r;
                       passes->rho[q] = measures.ranks.rho;
                       passes->bound[q] = measures.ranks.bound;
                   });
}
