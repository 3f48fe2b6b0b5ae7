// The seed kernels, written once for every vector width: a batch's coupled phase
// (lanes_couple.h), moments (lanes_moments.h) and rank statistic (lanes_rank.h), and the
// whole block from the masks phase (lanes_masks.h) on. Each including file defines its
// instruction set's operations (a struct like sse2_lanes in lanes_sse2.cpp) and its entry
// (isa_entry below), in a file built for that instruction set.
//
// Each including file names a namespace of its own in LANES_NAMESPACE: a file built for AVX2
// must not hand the linker a copy of an inline function that files built for any x86-64
// would then call under the same name.
#ifndef AGREEMENT_SWEEP_LANES_KERNEL_H
#define AGREEMENT_SWEEP_LANES_KERNEL_H

#include <algorithm>
#include <cstdint>

#include "lanes_couple.h"
#include "lanes_masks.h"
#include "lanes_moments.h"
#include "lanes_rank.h"
#include "seed_lanes.h"
#include "stats.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

// One batch of passes at one k: levels, moments and r, and when asked the rank statistic.
template <class L>
void measure_batch(const seed_reference &reference, const pass_draws &draws, int first_pass,
                   double k, bool ranks, batch_work<L> *work, seed_result *result)
{
    constexpr int G = L::GROUPS;
    typename L::levels sum[2 * G];
    if (k == 0.0) {
        couple_batch<L, false>(reference, draws, first_pass, k, work, sum);
    } else {
        couple_batch<L, true>(reference, draws, first_pass, k, work, sum);
    }

    typename L::levels lowest[2 * G];
    typename L::levels highest[2 * G];
    batch_moments<L>(reference, sum, first_pass, ranks, work, lowest, highest, result);
    if (!ranks) {
        return;
    }
    for (int g = 0; g < G; ++g) {
        rank_result ranks_of[L::WIDTH];
        rank_group<L>(work, g, &lowest[2 * g], &highest[2 * g], ranks_of);
        for (int lane = 0; lane < L::WIDTH; ++lane) {
            result->rho[first_pass + g * L::WIDTH + lane] = ranks_of[lane].rho;
            result->bound[first_pass + g * L::WIDTH + lane] = ranks_of[lane].bound;
        }
    }
}

// The whole block: masks for its seeds (the instruction set's masks phase), then each seed's
// passes, batch by batch, at every k.
template <class L>
void run_block_with(const std::uint32_t *seeds, int count, const double *couplings,
                    int coupling_count, bool ranks, seed_result *results)
{
    pass_draws draws[LANE_SEEDS];
    constexpr int MASK_SEEDS = L::MASK_SETS * L::WIDTH;
    for (int first = 0; first < count; first += MASK_SEEDS) {
        draw_passes_with<L>(seeds + first, std::min(MASK_SEEDS, count - first), draws + first);
    }
    batch_work<L> work;
    for (int s = 0; s < count; ++s) {
        seed_reference reference;
        prepare_reference(seeds[s], &reference);
        for (int c = 0; c < coupling_count; ++c) {
            seed_result *result = &results[s * coupling_count + c];
            result->seed = seeds[s];
            result->coupling = couplings[c];
            result->turning_points = reference.turning_points;
            if (!ranks) {
                for (int q = 0; q < PASS_COUNT; ++q) {
                    result->rho[q] = 0.0;
                    result->bound[q] = 0.0;
                }
            }
            for (int first = 0; first < PASS_COUNT; first += batch_work<L>::PASSES) {
                measure_batch<L>(reference, draws[s], first, couplings[c], ranks, &work, result);
            }
        }
    }
}

// x[i] / 32767 for count values (a multiple of L::WIDTH / 2) by the path's own way, for the
// tests to hold against the division.
template <class L> void divide_by_random_max_with(const double *x, double *quotients, int count)
{
    constexpr int H = batch_work<L>::HALF;
    for (int i = 0; i + H <= count; i += H) {
        alignas(64) double values[H];
        for (int h = 0; h < H; ++h) {
            values[h] = x[i + h];
        }
        L::store(quotients + i, L::divide_by_random_max(L::load(values)));
    }
}

// The path's entry in the table of kernel paths: its name (AGREEMENT_ENSEMBLE_ISA's value),
// the cpu_feature bits it needs, and its parts.
template <class L> constexpr kernel_isa isa_entry(const char *name, unsigned needs) noexcept
{
    return {{name, needs, run_block_with<L>},
            rank_signals_with<L>,
            L::WIDTH,
            divide_by_random_max_with<L>};
}

} // namespace LANES_NAMESPACE

#endif
