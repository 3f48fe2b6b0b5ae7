// The seed kernels' coupled phase for every vector width: the levels of a batch's passes,
// each lane from its own recorded state word and flags, at one coupling coefficient k.
#ifndef AGREEMENT_SWEEP_LANES_COUPLE_H
#define AGREEMENT_SWEEP_LANES_COUPLE_H

#include <algorithm>

#include "lanes_batch.h"
#include "lanes_inline.h"
#include "seed_lanes.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

// The base and the width of a lane's next level from this one: with TIED, the four bounds
// in the scalar operand order, of which the lane keeps one pair; otherwise the bound is
// chosen before the level comes, so that the level's chain is one subtraction.
template <class L, bool TIED>
LANES_INLINE void step_bounds(typename L::levels level, typename L::choice up,
                              typename L::levels size, typename L::levels size_k,
                              typename L::levels k_lanes, typename L::levels *base,
                              typename L::levels *width)
{
    if (TIED) {
        // The four bounds in the scalar operand order; a lane keeps one pair.
        const typename L::levels upper_up = L::sub(
            L::set(LEVEL_MAX), L::mul(L::sub(L::sub(L::set(LEVEL_MAX), level), size), k_lanes));
        const typename L::levels lower_up = L::add(size_k, level);
        const typename L::levels upper_down = L::sub(level, size_k);
        const typename L::levels lower_down = L::add(
            L::mul(L::sub(L::sub(level, size), L::set(LEVEL_MIN)), k_lanes), L::set(LEVEL_MIN));
        *base = L::select(up, lower_up, upper_down);
        *width = L::select(up, L::sub(upper_up, lower_up), L::sub(lower_down, upper_down));
    } else {
        // The bound is chosen before the level comes: the level's chain is one
        // subtraction here.
        *base = level;
        *width = L::sub(L::select(up, L::set(LEVEL_MAX), L::set(LEVEL_MIN)), level);
    }
}

// The first level of each lane, (r * 9) / 32767 + 1 from its first draw, into y, the running
// sums and work->level[0]; state and flags loaded from the lanes' recorded draws.
template <class L>
LANES_INLINE void first_levels(const pass_draws &draws, int first_pass, batch_work<L> *work,
                               typename L::words *state, typename L::words *flags,
                               typename L::levels *y, typename L::levels *running)
{
    constexpr int H = batch_work<L>::HALF;
    for (int g = 0; g < L::GROUPS; ++g) {
        state[g] = L::load_words(&draws.state[first_pass + g * L::WIDTH]);
        flags[g] = L::load_words(&draws.flags[0][first_pass + g * L::WIDTH]);
        typename L::levels r[2];
        L::draw(&state[g], r);
        for (int h = 0; h < 2; ++h) {
            y[2 * g + h] = L::add(L::divide_by_random_max_unsigned_zero(L::mul(r[h], L::set(9.0))),
                                  L::set(LEVEL_MIN));
            running[2 * g + h] = L::add(L::set(0.0), y[2 * g + h]);
            L::store(&work->level[0][(2 * g + h) * H], y[2 * g + h]);
        }
    }
}

// Draws the levels of a batch's passes: the first from its own draw, then one step per
// reference step. Stores them in work->level, and returns the sum of each lane's levels in
// index order in sum[2 * GROUPS].
template <class L, bool TIED>
LANES_NOINLINE void couple_batch(const seed_reference &reference, const pass_draws &draws,
                                 int first_pass, double k, batch_work<L> *work,
                                 typename L::levels *sum)
{
    constexpr int G = L::GROUPS;
    constexpr int H = batch_work<L>::HALF;
    typename L::words state[G];
    typename L::words flags[G];
    typename L::levels y[2 * G];
    // The sums stay in registers: through the caller's array each step would wait for the
    // last one's store.
    typename L::levels running[2 * G];
    first_levels<L>(draws, first_pass, work, state, flags, y, running);
    const typename L::levels k_lanes = L::set(k);
    // The steps a flag word at a time: each word's 32 flags shift out one per step.
    for (int word = 0; word < 4; ++word) {
        if (word > 0) {
            for (int g = 0; g < G; ++g) {
                flags[g] = L::load_words(&draws.flags[word][first_pass + g * L::WIDTH]);
            }
        }
        const int end = std::min(STEP_COUNT, 32 * word + 32);
        for (int p = 32 * word; p < end; ++p) {
            const typename L::words falls = L::set_words(reference.falls[p]);
            const typename L::words moves = L::set_words(reference.moves[p]);
            const typename L::levels size = L::set(reference.size[p]);
            const typename L::levels size_k = L::mul(size, k_lanes);
            for (int g = 0; g < G; ++g) {
                // A lane goes up when its flag agrees with a rising step or disagrees with a
                // falling one; never on a level step.
                typename L::choice up[2];
                L::spread_signs(L::and_words(L::xor_words(flags[g], falls), moves), up);
                flags[g] = L::add_words(flags[g], flags[g]);
                typename L::levels r[2];
                L::draw(&state[g], r);
                for (int h = 0; h < 2; ++h) {
                    const typename L::levels level = y[2 * g + h];
                    // Down, the step is base - (r * width) / 32767; here it is base + (r * -width)
                    // / 32767, the same double: negation commutes with every rounding, and where
                    // the part is zero its sign can't change base + part, as base is never -0
                    // (levels start at 1 or more, and k and the step sizes are never -0).
                    typename L::levels base;
                    typename L::levels width;
                    step_bounds<L, TIED>(level, up[h], size, size_k, k_lanes, &base, &width);
                    const typename L::levels next =
                        L::add(L::divide_by_random_max_unsigned_zero(L::mul(r[h], width)), base);
                    y[2 * g + h] = next;
                    running[2 * g + h] = L::add(running[2 * g + h], next);
                    L::store(&work->level[p + 1][(2 * g + h) * H], next);
                }
            }
        }
    }
    for (int v = 0; v < 2 * G; ++v) {
        sum[v] = running[v];
    }
}

} // namespace LANES_NAMESPACE

#endif
