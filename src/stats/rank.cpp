// Spearman's rank correlation of a signal against time order.
#include <cmath>

#include "stats/stats.h"

namespace {

// Overwritten by every call; holds the levels in ascending order afterwards.
signal_t sort_copy;

// n^3 - n for n = 128, the rank correlation's denominator (exact in a double).
constexpr double RANK_DENOMINATOR = 128.0 * 128.0 * 128.0 - 128.0;

} // namespace

// Unrolling the sweep four steps at a time removes most of its loop overhead, a good share
// of the run's time; compilers without the hint keep the plain loop.
#if defined(__clang__)
#define SWEEP_UNROLL _Pragma("clang loop unroll_count(4)")
#elif defined(__GNUC__)
#define SWEEP_UNROLL _Pragma("GCC unroll 4")
#else
#define SWEEP_UNROLL
#endif

rank_result rank_statistic(const double *signal)
{
    int position[SIGNAL_LENGTH]; // entry p: time position of the level at sorted place p

    // Step 1: copy, with each level at its own time position.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        sort_copy[p] = signal[p];
        position[p] = p;
    }

    // Step 2: exchange sort, ascending: sweep p compares the adjacent pairs (s, s + 1) for
    // s = 0 .. 126 - p and swaps them when the left level is strictly greater, so equal
    // levels keep their time order and get distinct ranks in that order.
    //
    // Within a sweep the level arriving at s + 1 is always the running maximum so far, so it
    // is carried in a register instead of being stored and reloaded, and each comparison
    // selects instead of branching: the outcome of comparing random levels can't be
    // predicted, and a mispredicted branch per comparison costs more than the selects.
    for (int p = 0; p < SIGNAL_LENGTH - 1; ++p) {
        const int last = SIGNAL_LENGTH - 1 - p; // the sweep's final place
        double carried = sort_copy[0];
        int carried_position = position[0];
        SWEEP_UNROLL
        for (int s = 0; s < last; ++s) {
            const double next = sort_copy[s + 1];
            const int next_position = position[s + 1];
            const bool swap = carried > next;
            sort_copy[s] = swap ? next : carried;
            position[s] = swap ? next_position : carried_position;
            carried = swap ? carried : next;
            carried_position = swap ? carried_position : next_position;
        }
        sort_copy[last] = carried;
        position[last] = carried_position;
    }
    // The last sweep (p = 127) has no pair to compare.

    // Step 3: sum of squared rank differences. Each difference is an integer below 128, so
    // its square and the running sum are exact.
    double sum = 0.0;
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        const double difference = static_cast<double>(position[p] - p);
        sum = difference * difference + sum;
    }

    // Steps 4 and 5: rho, then its bound in this order: square, divide, root, scale.
    rank_result result;
    result.rho = 1.0 - (6.0 * sum) / RANK_DENOMINATOR;
    result.bound = std::sqrt(((1.0 - result.rho) * (1.0 - result.rho)) / 126.0) * Z_95;
    return result;
}
