// Spearman's rank correlation of a signal against time order.
#include <cmath>

#include "stats/stats.h"

namespace {

// Overwritten by every call; holds the levels in ascending order afterwards.
signal_t sort_copy;

// n^3 - n for n = 128, the rank correlation's denominator (exact in a double).
constexpr double RANK_DENOMINATOR = 128.0 * 128.0 * 128.0 - 128.0;

} // namespace

rank_result rank_statistic(const double *signal)
{
    int position[SIGNAL_LENGTH]; // entry p: time position of the level at sorted place p

    // Step 1: copy, with each level at its own time position.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        sort_copy[p] = signal[p];
        position[p] = p;
    }

    // Step 2: exchange sort, ascending. Only a strictly greater level moves up, so equal
    // levels keep their time order and get distinct ranks in that order.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        for (int s = 0; s < SIGNAL_LENGTH - 1 - p; ++s) {
            if (sort_copy[s] > sort_copy[s + 1]) {
                const double level = sort_copy[s];
                sort_copy[s] = sort_copy[s + 1];
                sort_copy[s + 1] = level;
                const int time = position[s];
                position[s] = position[s + 1];
                position[s + 1] = time;
            }
        }
    }

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
