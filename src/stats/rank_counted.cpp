// Spearman's rank correlation of a signal against time order by counting, for every pair of
// levels, which comes first in the stable ascending order: the same bits as the exchange
// sort, with no state, for the ensemble's threads: the plain reference the vector paths
// match.
#include "rank_parts.h"
#include "stats.h"

namespace {

// Returns the sum over distances d = 1 .. 127 of d times the number of places x whose level
// is not greater than the level d places later: the pairs at distance d already in the
// stable ascending order. Counts are integers, so the sum is exact.
long long ordered_pair_sum(const double *signal)
{
    long long sum = 0;
    for (int d = 1; d < SIGNAL_LENGTH; ++d) {
        long long count = 0;
        for (int x = 0; x + d < SIGNAL_LENGTH; ++x) {
            count += signal[x] <= signal[x + d] ? 1 : 0;
        }
        sum += d * count;
    }
    return sum;
}

} // namespace

rank_result rank_statistic_counted(const double *signal)
{
    // Comparisons with a NaN are all false, which no stable order describes: such a signal
    // goes through the exchange sort itself, on copies of its own.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        if (signal[p] != signal[p]) {
            double levels[SIGNAL_LENGTH];
            double position[SIGNAL_LENGTH];
            for (int q = 0; q < SIGNAL_LENGTH; ++q) {
                levels[q] = signal[q];
                position[q] = q;
            }
            exchange_sort(levels, position);
            return rank_from_squared_differences(squared_differences(position));
        }
    }

    // Without NaNs the exchange sort leaves the levels in the stable ascending order: the
    // level at time y ends at place rank_y, the number of levels that come before it, those
    // lower and those equal but earlier. Of a pair x < y, the one at y comes later exactly when
    // level_x <= level_y. So with T = sum of y^2 over all places and
    //   U = sum over pairs x < y of (level_x <= level_y ? y : x)
    //     = sum over pairs of x + sum over distances d of d * (pairs at distance d in order),
    // S = sum of (rank_y - y)^2 = 2 T - 2 sum of y * rank_y = 2 (T - U), since the ranks are
    // the places 0 .. 127 again. Every term is an integer, so S is exact, the same double the
    // exchange sort's sum gives, and so are rho and its bound.
    long long u = ordered_pair_sum(signal);
    for (int y = 0; y < SIGNAL_LENGTH; ++y) {
        u += static_cast<long long>(y) * (y - 1) / 2; // the pairs (x, y), x < y, add x at least
    }
    return rank_from_squared_differences(static_cast<double>(2 * (PLACE_SQUARES - u)));
}
