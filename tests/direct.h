// Computations the tests hold the programs against, worked out directly from their
// definitions, shared by the tests of more than one room.
#ifndef AGREEMENT_SWEEP_TEST_DIRECT_H
#define AGREEMENT_SWEEP_TEST_DIRECT_H

#include <cmath>
#include <cstddef>
#include <vector>

// The quantile of sorted values by linear interpolation between order statistics, directly.
inline double direct_quantile(const std::vector<double> &sorted, double p)
{
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t k = static_cast<std::size_t>(std::floor(h));
    return k + 1 < sorted.size() ? sorted[k] + (h - k) * (sorted[k + 1] - sorted[k]) : sorted[k];
}

#endif
