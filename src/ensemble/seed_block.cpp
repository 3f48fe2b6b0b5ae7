// The seed kernels' shared plain parts, and the choice of kernel: the widest one this build
// and processor have, unless AGREEMENT_ENSEMBLE_ISA names one.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "ensemble.h"
#include "seed_lanes.h"
#include "stats.h"
#include "synth.h"

draw_jump jump_of(int draws)
{
    draw_jump jump = {1U, 0U};
    for (int i = 0; i < draws; ++i) {
        jump.multiplier = jump.multiplier * RANDOM_MULTIPLIER;
        jump.increment = jump.increment * RANDOM_MULTIPLIER + RANDOM_INCREMENT;
    }
    return jump;
}

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

void draw_passes_plain(std::uint32_t seed, pass_draws *draws)
{
    const draw_jump signal = jump_of(SIGNAL_LENGTH);
    std::uint32_t state = signal.multiplier * seed + signal.increment;
    for (int q = 0; q < PASS_COUNT; ++q) {
        mask_t mask;
        build_mask_from(&state, mask, q);
        draws->state[q] = state;
        for (int w = 0; w < 4; ++w) {
            std::uint32_t word = 0;
            for (int b = 0; b < 32 && 32 * w + b < STEP_COUNT; ++b) {
                word |= static_cast<std::uint32_t>(mask[32 * w + b]) << (31 - b);
            }
            draws->flags[w][q] = word;
        }
        state = signal.multiplier * state + signal.increment;
    }
}

const char *seed_path_name(seed_path path)
{
    switch (path) {
    case PATH_AVX2:
        return "avx2";
    case PATH_SSE2:
        return "sse2";
    case PATH_GENERIC:
        break;
    }
    return "generic";
}

bool seed_path_available(seed_path path)
{
    switch (path) {
    case PATH_AVX2:
#if defined(AGREEMENT_ENSEMBLE_AVX2)
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
        return false;
#endif
    case PATH_SSE2:
#if defined(AGREEMENT_ENSEMBLE_SSE2)
        return true;
#else
        return false;
#endif
    case PATH_GENERIC:
        break;
    }
    return true;
}

std::string choose_seed_path(const char *asked, seed_path *path)
{
    const seed_path widest_first[] = {PATH_AVX2, PATH_SSE2, PATH_GENERIC};
    if (asked == nullptr || *asked == '\0') {
        // The generic path is always there, so the search always ends on one.
        *path =
            *std::find_if(std::begin(widest_first), std::end(widest_first), seed_path_available);
        return "";
    }
    for (seed_path candidate : widest_first) {
        if (std::strcmp(asked, seed_path_name(candidate)) != 0) {
            continue;
        }
        if (!seed_path_available(candidate)) {
            return std::string("AGREEMENT_ENSEMBLE_ISA=") + asked +
                   ": this processor or build can't run that path";
        }
        *path = candidate;
        return "";
    }
    if (std::strcmp(asked, "avx512") == 0) {
        return "AGREEMENT_ENSEMBLE_ISA=avx512: this build has no AVX-512 path (it has avx2, "
               "sse2 and generic)";
    }
    return std::string("AGREEMENT_ENSEMBLE_ISA='") + asked +
           "' is not a path (avx2, sse2 or generic)";
}

void run_seeds(seed_path path, std::uint32_t first_seed, int count, const double *couplings,
               int coupling_count, bool ranks, seed_result *results)
{
    for (int done = 0; done < count;) {
        std::uint32_t seeds[LANE_SEEDS];
        const int block_count = count - done < LANE_SEEDS ? count - done : LANE_SEEDS;
        for (int i = 0; i < block_count; ++i) {
            seeds[i] = first_seed + static_cast<std::uint32_t>(done + i);
        }
        seed_result *out = results + static_cast<std::ptrdiff_t>(done) * coupling_count;
        const seed_block block = {seeds, block_count, couplings, coupling_count, ranks, out};
        switch (path) {
#if defined(AGREEMENT_ENSEMBLE_AVX2)
        case PATH_AVX2:
            run_block_avx2(block);
            break;
#endif
#if defined(AGREEMENT_ENSEMBLE_SSE2)
        case PATH_SSE2:
            run_block_sse2(block);
            break;
#endif
        default:
            for (int i = 0; i < block_count; ++i) {
                run_seed(seeds[i], couplings, coupling_count, ranks,
                         out + static_cast<std::ptrdiff_t>(i) * coupling_count);
            }
            break;
        }
        done += block_count;
    }
}
