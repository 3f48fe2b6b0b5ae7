// Statistics over signals of exactly SIGNAL_LENGTH levels. Every sum starts at 0.0 and adds
// its terms in index order, and every divisor is 128.0: population, not sample, statistics.
#ifndef AGREEMENT_SWEEP_STATS_H
#define AGREEMENT_SWEEP_STATS_H

#include <cmath>

#include "experiment.h"

// Spearman's rank correlation of a signal against time order, with its 95 % bound.
struct rank_result {
    double rho;   // 1 - 6 S / (n^3 - n), S the sum of squared rank differences
    double bound; // Z_95 * |1 - rho| / sqrt(126)
};

// Returns the mean of a[0 .. 127].
double signal_mean(const double *a);

// Returns the mean squared deviation of a[0 .. 127] about the caller's mean m.
double signal_variance(const double *a, double m);

// Returns the Pearson correlation of a and b from the caller's means and variances, used
// unchanged. A zero variance divides by zero and gives an infinity or a NaN.
double signal_correlation(const double *a, const double *b, double ma, double mb, double va,
                          double vb);

// Returns sqrt(variance) * 128, the part of the correlation's divisor that one signal gives:
// the correlation of a and b is their sum of products / (sqrt(vb) * correlation_scale(va)).
inline double correlation_scale(double variance)
{
    return std::sqrt(variance) * 128.0;
}

// Sum over the places j = 0 .. 127 of j * j: with the time positions a permutation of the
// places, sum (j - position_j)^2 = 2 (PLACE_SQUARES - sum j * position_j).
constexpr long long PLACE_SQUARES = 127LL * 128 * 255 / 6;

// Returns rho and its bound for the signal's levels against their positions 0 .. 127.
// Equal levels rank in time order; ranks are never averaged. Doesn't change the signal.
rank_result rank_statistic(const double *signal);

// The same rho and bound as rank_statistic, bit for bit, for any signal, by counting for every
// pair of levels which comes first in the stable ascending order instead of sorting. Keeps no
// state of its own, so threads may call it at once.
rank_result rank_statistic_counted(const double *signal);


// n^3 - n for n = 128, the rank correlation's denominator (exact in a double).
constexpr double RANK_DENOMINATOR = 128.0 * 128.0 * 128.0 - 128.0;

// Returns rho and its bound from S, the sum of squared differences between each level's
// place in the stable ascending order and its time position. Inline: the ensemble's kernels
// call it for every pass, and one pass's division and root can overlap the next one's.
inline rank_result rank_from_squared_differences(double sum)
{
    // Steps 4 and 5: rho, then its bound in this order: square, divide, root, scale.
    rank_result result;
    result.rho = 1.0 - (6.0 * sum) / RANK_DENOMINATOR;
    result.bound = std::sqrt(((1.0 - result.rho) * (1.0 - result.rho)) / 126.0) * Z_95;
    return result;
}

// ---- Turning-point test of a signal's independence ----

// Returns the number of interior places i = 1 .. 126 whose level is strictly greater than
// both neighbours or strictly less than both.
int turning_points(const double *signal);

// Returns the lower 95 % bound of the count in a series of 128 independent levels:
// 84.0 - 1.96 * sqrt(22.433333333333334), truncated toward zero, which is 74. Here
// 84 = 2 (128 - 2) / 3 and 22.4333... = (16 * 128 - 29) / 90.
int turning_point_bound();

#endif
