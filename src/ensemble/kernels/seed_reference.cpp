// What every pass of a seed shares, taken from the reference signal once, for the vector
// paths.
#include "seed_lanes.h"
#include "stats.h"
#include "synth.h"

void prepare_reference(std::uint32_t seed, seed_reference *reference)
{
    std::uint32_t state = seed;
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference->level[i] = draw_level_from(&state);
    }
    reference->turning_points = turning_points(reference->level);
    const double mean = signal_mean(reference->level);
    const double variance = signal_variance(reference->level, mean);
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference->deviation[i] = reference->level[i] - mean;
    }
    for (int p = 0; p < STEP_COUNT; ++p) {
        const reference_step step = reference_step_at(reference->level, p);
        reference->size[p] = step.size;
        reference->falls[p] = step.falls ? 0xFFFFFFFFU : 0U;
        reference->moves[p] = step.rises || step.falls ? 0xFFFFFFFFU : 0U;
    }
    reference->scale = correlation_scale(variance);
}
