// The seed kernels' coupled phase, moments and rank statistic, written once for every vector
// width. Each including file defines its instruction set's operations (a struct like
// sse2_lanes in lanes_sse2.cpp), with its masks phase, and instantiates run_block_with on it
// in a file built for that instruction set.
//
// Each including file names a namespace of its own in LANES_NAMESPACE: a file built for AVX2
// must not hand the linker a copy of an inline function that files built for any x86-64
// would then call under the same name.
#ifndef AGREEMENT_SWEEP_LANES_KERNEL_H
#define AGREEMENT_SWEEP_LANES_KERNEL_H

#include <algorithm>
#include <cstdint>
#include <limits>

#include "lanes_network.h" // first: it defines the inlining macros
#include "lanes_masks.h"
#include "seed_lanes.h"
#include "stats.h"

namespace LANES_NAMESPACE {

// ---- One group of passes ----

// A group is L::WIDTH passes (one key vector, two level vectors); a batch is GROUPS groups,
// run step by step together so that each level's long chain of dependent operations
// overlaps the others'.
template <class L> struct batch_work {
    static constexpr int GROUPS = L::GROUPS;
    static constexpr int PASSES = GROUPS * L::WIDTH;
    static_assert(PASS_COUNT % PASSES == 0, "a seed's passes fill whole batches");
    static_assert(L::WIDTH % 2 == 0, "a group's passes fill two vectors of levels");
    static constexpr int HALF = L::WIDTH / 2; // lanes of a level vector
    alignas(64) double level[SIGNAL_LENGTH][PASSES];
    alignas(64) std::uint32_t key[SIGNAL_LENGTH][L::WIDTH];
    bool finite[PASSES];
};

// The rank statistic of the lane's signal by the stable order itself, for the rare lane
// whose sorted codes meet an equal neighbour: within each run of equal codes the places go
// by level, then time index, as the exchange sort leaves them. Returns sum j * index_j.
template <class L> long long settle_ties(const batch_work<L> &work, int group, int lane)
{
    const int column = group * L::WIDTH + lane;
    std::uint32_t sorted[SIGNAL_LENGTH];
    for (int j = 0; j < SIGNAL_LENGTH; ++j) {
        sorted[j] = work.key[j][lane];
    }
    int start = 0;
    while (start < SIGNAL_LENGTH) {
        int end = start + 1;
        while (end < SIGNAL_LENGTH && (sorted[end] >> 7) == (sorted[start] >> 7)) {
            ++end;
        }
        // Insertion by (level, index) within [start, end): runs are short.
        for (int j = start + 1; j < end; ++j) {
            const std::uint32_t moving = sorted[j];
            const double level = work.level[moving & TIME_BITS][column];
            int i = j;
            while (i > start) {
                const std::uint32_t before = sorted[i - 1];
                const double other = work.level[before & TIME_BITS][column];
                const bool after = other > level ||
                                   (other == level && (before & TIME_BITS) > (moving & TIME_BITS));
                if (!after) {
                    break;
                }
                sorted[i] = before;
                --i;
            }
            sorted[i] = moving;
        }
        start = end;
    }
    long long sum = 0;
    for (int j = 0; j < SIGNAL_LENGTH; ++j) {
        sum += static_cast<long long>(j) * static_cast<long long>(sorted[j] & TIME_BITS);
    }
    return sum;
}

// Draws the levels of a batch's passes: the first from its own draw, then one step per
// reference step. Stores them in work->level, and returns the sum of each lane's levels in
// index order in sum[2 * GROUPS].
template <class L, bool TIED>
NOT_INLINED void couple_batch(const seed_reference &reference, const pass_draws &draws,
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
    for (int g = 0; g < G; ++g) {
        state[g] = L::load_words(&draws.state[first_pass + g * L::WIDTH]);
        flags[g] = L::load_words(&draws.flags[0][first_pass + g * L::WIDTH]);
        typename L::levels r[2];
        L::draw(&state[g], r);
        for (int h = 0; h < 2; ++h) {
            // The first level: (r * 9) / 32767 + 1.
            y[2 * g + h] = L::add(L::divide_by_random_max_unsigned_zero(L::mul(r[h], L::set(9.0))),
                                  L::set(LEVEL_MIN));
            running[2 * g + h] = L::add(L::set(0.0), y[2 * g + h]);
            L::store(&work->level[0][(2 * g + h) * H], y[2 * g + h]);
        }
    }
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
                    if (TIED) {
                        // The four bounds in the scalar operand order; a lane keeps one pair.
                        const typename L::levels upper_up =
                            L::sub(L::set(LEVEL_MAX),
                                   L::mul(L::sub(L::sub(L::set(LEVEL_MAX), level), size), k_lanes));
                        const typename L::levels lower_up = L::add(size_k, level);
                        const typename L::levels upper_down = L::sub(level, size_k);
                        const typename L::levels lower_down =
                            L::add(L::mul(L::sub(L::sub(level, size), L::set(LEVEL_MIN)), k_lanes),
                                   L::set(LEVEL_MIN));
                        base = L::select(up[h], lower_up, upper_down);
                        width = L::select(up[h], L::sub(upper_up, lower_up),
                                          L::sub(lower_down, upper_down));
                    } else {
                        // The bound is chosen before the level comes: the level's chain is one
                        // subtraction here.
                        base = level;
                        width =
                            L::sub(L::select(up[h], L::set(LEVEL_MAX), L::set(LEVEL_MIN)), level);
                    }
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

// Sum over places j of j * index_j per lane of the sorted keys, and the lanes where two
// neighbouring places have equal codes.
template <class L> void place_sums(const typename L::keys *k, long long *sums, std::uint32_t *tied)
{
    typedef typename L::words words;
    words total = L::set_words(0);
    typename L::word_choice equal{};
    words previous = L::set_words(0xFFFFFFFFU);
    words place = L::set_words(0);
    for (int j = 0; j < SIGNAL_LENGTH; ++j) {
        const words key = L::key_bits(k[j]);
        total = L::add_words(total,
                             L::multiply_small(L::and_words(key, L::set_words(TIME_BITS)), place));
        place = L::add_words(place, L::set_words(1));
        const words code = L::template shift_right<7>(key);
        equal = L::any_of(equal, L::equal_words(code, previous));
        previous = code;
    }
    alignas(64) std::uint32_t lanes[L::WIDTH];
    L::store_words(lanes, total);
    for (int i = 0; i < L::WIDTH; ++i) {
        sums[i] = lanes[i];
    }
    *tied = L::lane_bits(equal);
}

// The rank statistic of each pass of a group, from its amplified levels in work->level and
// the lowest and highest level of each half.
template <class L>
NOT_INLINED void rank_group(batch_work<L> *work, int group, const typename L::levels *lowest,
                            const typename L::levels *highest, rank_result *ranks)
{
    constexpr int H = batch_work<L>::HALF;
    // The keys' codes: (level - lowest) * MOST_CODE / (highest - lowest), truncated. They
    // never decrease as the level grows (each operation rounds monotonically), so the keys
    // order the levels except among equal codes, which settle_ties puts right; and they
    // never exceed MOST_CODE, as (highest - lowest) * RN(MOST_CODE / range) rounds to at
    // most MOST_CODE plus a fraction. A signal whose levels are all equal has range 0 and
    // every code 0.
    typename L::levels scale[2];
    for (int half = 0; half < 2; ++half) {
        const typename L::levels range = L::sub(highest[half], lowest[half]);
        scale[half] =
            L::positive_or_zero(range, L::div(L::set(static_cast<double>(MOST_CODE)), range));
    }
    const int first_column = group * L::WIDTH;
    // In registers: read through the pointer, each would be loaded again after every store.
    const typename L::levels low[2] = {lowest[0], lowest[1]};
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        // Both halves' keys are stored as one vector, as the sort loads them.
        const typename L::levels first = L::load(&work->level[p][first_column]);
        const typename L::levels second = L::load(&work->level[p][first_column + H]);
        L::store_keys(&work->key[p][0], L::mul(L::sub(first, low[0]), scale[0]),
                      L::mul(L::sub(second, low[1]), scale[1]),
                      KEY_BASE + static_cast<std::uint32_t>(p));
    }
    typename L::keys *keys = reinterpret_cast<typename L::keys *>(&work->key[0][0]);
    sort_keys<L>(keys);
    std::uint32_t tied_lanes = 0;
    long long sums[L::WIDTH];
    place_sums<L>(keys, sums, &tied_lanes);
    for (int lane = 0; lane < L::WIDTH; ++lane) {
        const int column = first_column + lane;
        if (!work->finite[column]) {
            // Levels that aren't all finite numbers have no sound codes: such a signal goes
            // by its levels themselves.
            double levels[SIGNAL_LENGTH];
            for (int p = 0; p < SIGNAL_LENGTH; ++p) {
                levels[p] = work->level[p][column];
            }
            ranks[lane] = rank_statistic_counted(levels);
            continue;
        }
        const long long place_sum =
            ((tied_lanes >> lane) & 1U) != 0 ? settle_ties<L>(*work, group, lane) : sums[lane];
        ranks[lane] =
            rank_from_squared_differences(static_cast<double>(2 * (PLACE_SQUARES - place_sum)));
    }
}

// One batch of passes at one k: levels, moments and r, and when asked the rank statistic.
template <class L>
void measure_batch(const seed_reference &reference, const pass_draws &draws, int first_pass,
                   double k, bool ranks, batch_work<L> *work, seed_result *result)
{
    constexpr int G = L::GROUPS;
    constexpr int H = batch_work<L>::HALF;
    typename L::levels sum[2 * G];
    if (k == 0.0) {
        couple_batch<L, false>(reference, draws, first_pass, k, work, sum);
    } else {
        couple_batch<L, true>(reference, draws, first_pass, k, work, sum);
    }

    typename L::levels lowest[2 * G];
    typename L::levels highest[2 * G];
    // Two vectors of levels at a time: they share each step's reference deviation and loop,
    // and their sums' chains overlap.
    constexpr int PAIR = 2;
    static_assert((2 * G) % PAIR == 0, "a batch's level vectors come in pairs");
    for (int first = 0; first < 2 * G; first += PAIR) {
        typename L::levels mean[PAIR];
        typename L::levels squares[PAIR];
        typename L::levels products[PAIR];
        // In registers, not in the arrays: through memory each step would wait for the last
        // one's store. min(inf, x) and max(-inf, x) are x, so the first level starts them.
        typename L::levels low[PAIR];
        typename L::levels high[PAIR];
        UNROLLED
        for (int i = 0; i < PAIR; ++i) {
            // mean = sum / 128 (a power of two: the same double as the division).
            mean[i] = L::mul(sum[first + i], L::set(1.0 / 128.0));
            squares[i] = L::set(0.0);
            products[i] = L::set(0.0);
            low[i] = L::set(std::numeric_limits<double>::infinity());
            high[i] = L::set(-std::numeric_limits<double>::infinity());
        }
        for (int p = 0; p < SIGNAL_LENGTH; ++p) {
            const typename L::levels reference_deviation = L::set(reference.deviation[p]);
            UNROLLED
            for (int i = 0; i < PAIR; ++i) {
                // Amplified about the mean, then the variance's and the correlation's terms
                // from the same deviation, each sum in index order.
                const typename L::levels raw = L::load(&work->level[p][(first + i) * H]);
                const typename L::levels amplified =
                    L::add(mean[i], L::mul(L::sub(raw, mean[i]), L::set(AMPLIFICATION)));
                const typename L::levels deviation = L::sub(amplified, mean[i]);
                squares[i] = L::add(L::mul(deviation, deviation), squares[i]);
                products[i] = L::add(products[i], L::mul(reference_deviation, deviation));
                if (ranks) {
                    L::store(&work->level[p][(first + i) * H], amplified);
                    low[i] = L::min(low[i], amplified);
                    high[i] = L::max(high[i], amplified);
                }
            }
        }
        for (int i = 0; i < PAIR; ++i) {
            const int v = first + i;
            lowest[v] = low[i];
            highest[v] = high[i];
            const typename L::levels variance = L::mul(squares[i], L::set(1.0 / 128.0));
            const typename L::levels r =
                L::div(products[i], L::mul(L::sqrt(variance), L::set(reference.scale)));
            double lanes[H];
            L::store(lanes, r);
            double spread[H];
            L::store(spread, squares[i]);
            for (int h = 0; h < H; ++h) {
                result->r[first_pass + v * H + h] = lanes[h];
                // An infinite or NaN level makes its sum of squares infinite or NaN.
                work->finite[v * H + h] = spread[h] - spread[h] == 0.0;
            }
        }
    }
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

// The rank statistic of L::WIDTH whole signals (signals[lane * 128 + p]) by the lanes' way,
// for the tests to hold against the plain one.
template <class L> void rank_signals_with(const double *signals, rank_result *ranks)
{
    constexpr int H = batch_work<L>::HALF;
    batch_work<L> work;
    typename L::levels lowest[2];
    typename L::levels highest[2];
    for (int lane = 0; lane < L::WIDTH; ++lane) {
        bool finite = true;
        for (int p = 0; p < SIGNAL_LENGTH; ++p) {
            const double level = signals[lane * SIGNAL_LENGTH + p];
            work.level[p][lane] = level;
            finite = finite && level - level == 0.0;
        }
        work.finite[lane] = finite;
    }
    for (int half = 0; half < 2; ++half) {
        lowest[half] = L::load(&work.level[0][half * H]);
        highest[half] = lowest[half];
        for (int p = 1; p < SIGNAL_LENGTH; ++p) {
            const typename L::levels level = L::load(&work.level[p][half * H]);
            lowest[half] = L::min(lowest[half], level);
            highest[half] = L::max(highest[half], level);
        }
    }
    rank_group<L>(&work, 0, lowest, highest, ranks);
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
