// The seed kernels' rank statistic for every vector width: each pass's amplified levels coded
// as keys, sorted by the network, and the places summed; ties settled by the levels
// themselves.
#ifndef AGREEMENT_SWEEP_LANES_RANK_H
#define AGREEMENT_SWEEP_LANES_RANK_H

#include <cstdint>

#include "lanes_batch.h"
#include "lanes_inline.h"
#include "lanes_network.h"
#include "seed_lanes.h"
#include "stats.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

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
LANES_NOINLINE void rank_group(batch_work<L> *work, int group, const typename L::levels *lowest,
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

} // namespace LANES_NAMESPACE

#endif
