// Spearman's rank correlation of a signal against time order, by the exchange sort the run
// uses, and the steps both ways of working it out share.
#include <cmath>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "rank_parts.h"
#include "stats.h"

namespace {

// Overwritten by every call; holds the levels in ascending order afterwards.
signal_t sort_copy;

// One comparison of a sweep: the sweep carries the largest level it has met so far (level,
// position) and meets the next one (next, next_position). When the carried level is strictly
// greater the pair stays as it is: the sweep leaves next here and carries its level on.
// Otherwise the two trade places, so equal levels keep their time order.
inline void compare_exchange(double &level, double &position, double &next, double &next_position)
{
    if (level > next) {
        return;
    }
    std::swap(level, next);
    std::swap(position, next_position);
}

// The plain sweep p: compares the pairs (s, s + 1) for s = 0 .. 126 - p in order. Time
// positions are held as doubles (small integers, exact), as the vector registers hold them.
void sweep(int p, double *levels, double *position)
{
    const int last = SIGNAL_LENGTH - 1 - p;
    double level = levels[0];
    double carried = position[0];
    for (int s = 0; s < last; ++s) {
        double next = levels[s + 1];
        double next_position = position[s + 1];
        compare_exchange(level, carried, next, next_position);
        levels[s] = next;
        position[s] = next_position;
    }
    levels[last] = level;
    position[last] = carried;
}

#if defined(__SSE2__) || defined(_M_X64)
#define EXCHANGE_SORT_VECTORS 1

// Sweeps that run at once: pairs of sweeps, one pair to a vector register.
constexpr int VECTORS_IN_FLIGHT = 3;
constexpr int SWEEPS_IN_FLIGHT = 2 * VECTORS_IN_FLIGHT;

// Sweeps first .. first + SWEEPS_IN_FLIGHT - 1 at once, as a pipeline.
//
// Why the schedule is safe: sweep p reads place s only after sweep p - 1 has left its final
// level there. What sweep p - 1 leaves at place s is its lower level of the pair (s, s + 1),
// fixed as soon as it compared that pair, and sweep p compares (s - 1, s) after that. So
// each sweep of the group can take, one step later, what the sweep before it has just left
// behind: at step t sweep k meets its input number t - 2k (sweep 0's inputs are the places in
// order). Every sweep thus compares the same pairs, holding the same levels, in the same
// order and with the same outcomes as when the sweeps run one after another; only the
// interleaving differs. All sweeps of a step are independent, so they run side by side in
// vector registers, two to a register, each with its own comparison.
//
// Before its first input a sweep carries minus infinity, which no level is below, so its
// first comparison always trades: it then carries its first level, as a sweep starts. What it
// leaves behind before then is minus infinity too and only reaches the next sweep before that
// one starts. Only the last sweep of the group leaves levels for good.
// The registers of a group of sweeps: sweeps 2v and 2v + 1 share register v.
struct sweep_registers {
    __m128d carried[VECTORS_IN_FLIGHT]; // the level each carries
    __m128d carried_position[VECTORS_IN_FLIGHT];
    __m128d left[VECTORS_IN_FLIGHT]; // the level each left behind at the last step
    __m128d left_position[VECTORS_IN_FLIGHT];
};

// Feeds places 0 .. length - 1 through the group, one step each; returns how many places the
// last sweep has left for good.
int feed_sweeps(int length, double *levels, double *position, sweep_registers *r)
{
    int stored = 0;
    for (int t = 0; t < length; ++t) {
        const __m128d in = _mm_set1_pd(levels[t]);
        const __m128d in_position = _mm_set1_pd(position[t]);
        // From the last register down, so each takes what the one before left at the last step.
        for (int v = VECTORS_IN_FLIGHT - 1; v >= 0; --v) {
            // Lane 0 meets the lane before it (or the next place), lane 1 meets lane 0.
            const __m128d next = _mm_shuffle_pd(v == 0 ? in : r->left[v - 1], r->left[v], 1);
            const __m128d next_position = _mm_shuffle_pd(
                v == 0 ? in_position : r->left_position[v - 1], r->left_position[v], 1);
            // compare_exchange, lane by lane: the positions trade through the mask of lanes
            // that don't keep; minimum and maximum have exactly the select semantics needed.
            const __m128d keep = _mm_cmpgt_pd(r->carried[v], next);
            const __m128d moved =
                _mm_andnot_pd(keep, _mm_xor_pd(r->carried_position[v], next_position));
            r->left[v] = _mm_min_pd(next, r->carried[v]);    // keep ? next : carried
            r->carried[v] = _mm_max_pd(r->carried[v], next); // keep ? carried : next
            r->left_position[v] = _mm_xor_pd(next_position, moved);
            r->carried_position[v] = _mm_xor_pd(r->carried_position[v], moved);
        }
        // The last sweep met its input number i = t - 2 (SWEEPS_IN_FLIGHT - 1); from i = 1 on
        // it leaves place i - 1 for good.
        if (t >= 2 * SWEEPS_IN_FLIGHT - 1) {
            const int last = VECTORS_IN_FLIGHT - 1;
            _mm_storeh_pd(levels + stored, r->left[last]);
            _mm_storeh_pd(position + stored, r->left_position[last]);
            ++stored;
        }
    }
    return stored;
}

// The places have all gone in; the later sweeps still have inputs on the way. They finish
// one step at a time, as feed_sweeps does, lane by lane, and each sweep ends by leaving the
// largest level it carried at its final place.
void drain_sweeps(int length, int stored, const sweep_registers &r, double *levels,
                  double *position)
{
    double level[SWEEPS_IN_FLIGHT];
    double level_position[SWEEPS_IN_FLIGHT];
    double out[SWEEPS_IN_FLIGHT];
    double out_position[SWEEPS_IN_FLIGHT];
    for (int v = 0, k = 0; v < VECTORS_IN_FLIGHT; ++v, k += 2) { // k: sweep in lane 0
        _mm_storeu_pd(&level[k], r.carried[v]);
        _mm_storeu_pd(&level_position[k], r.carried_position[v]);
        _mm_storeu_pd(&out[k], r.left[v]);
        _mm_storeu_pd(&out_position[k], r.left_position[v]);
    }
    for (int t = length; t < length + SWEEPS_IN_FLIGHT - 1; ++t) {
        for (int k = SWEEPS_IN_FLIGHT - 1; k >= 1; --k) {
            const int input = t - 2 * k;
            if (input > length - k - 1) {
                continue; // sweep k has met all of its length - k places
            }
            double next = out[k - 1];
            double next_position = out_position[k - 1];
            compare_exchange(level[k], level_position[k], next, next_position);
            if (k < SWEEPS_IN_FLIGHT - 1) {
                out[k] = next;
                out_position[k] = next_position;
            } else if (input >= 1) {
                levels[stored] = next;
                position[stored] = next_position;
                ++stored;
            }
        }
    }
    for (int k = 0; k < SWEEPS_IN_FLIGHT; ++k) {
        levels[length - 1 - k] = level[k];
        position[length - 1 - k] = level_position[k];
    }
}

void sweep_group(int first, double *levels, double *position)
{
    const int length = SIGNAL_LENGTH - first; // places 0 .. length - 1 still unsorted
    const __m128d before_start = _mm_set1_pd(-std::numeric_limits<double>::infinity());
    sweep_registers r;
    for (int v = 0; v < VECTORS_IN_FLIGHT; ++v) {
        r.carried[v] = before_start;
        r.left[v] = before_start;
        r.carried_position[v] = _mm_setzero_pd();
        r.left_position[v] = _mm_setzero_pd();
    }
    const int stored = feed_sweeps(length, levels, position, &r);
    drain_sweeps(length, stored, r, levels, position);
}
#endif

} // namespace

// Step 2 of the rank statistic: the exchange sort, ascending. Sweep p compares the adjacent
// pairs (s, s + 1) for s = 0 .. 126 - p and swaps them when the left level is strictly
// greater, so equal levels keep their time order and get distinct ranks in that order: 8128
// comparisons. Where vector registers allow, the long sweeps run in groups; the short last
// ones, and every sweep elsewhere, one by one. The last sweep (p = 127) has no pair.
void exchange_sort(double *levels, double *position)
{
    int p = 0;
#if defined(EXCHANGE_SORT_VECTORS)
    for (; p + SWEEPS_IN_FLIGHT <= SIGNAL_LENGTH - 1; p += SWEEPS_IN_FLIGHT) {
        sweep_group(p, levels, position);
    }
#endif
    for (; p < SIGNAL_LENGTH - 1; ++p) {
        sweep(p, levels, position);
    }
}

// Step 3: the sum of squared differences between sorted place and time position. Each
// difference is an integer below 128, so its square and the running sum are exact.
double squared_differences(const double *position)
{
    double sum = 0.0;
    for (int q = 0; q < SIGNAL_LENGTH; ++q) {
        const double difference = static_cast<double>(static_cast<int>(position[q]) - q);
        sum = difference * difference + sum;
    }
    return sum;
}

rank_result rank_statistic(const double *signal)
{
    double position[SIGNAL_LENGTH]; // entry p: time position of the level at sorted place p

    // Step 1: copy, with each level at its own time position.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        sort_copy[p] = signal[p];
        position[p] = p;
    }

    exchange_sort(sort_copy, position);
    const double sum = squared_differences(position);
    return rank_from_squared_differences(sum);
}
