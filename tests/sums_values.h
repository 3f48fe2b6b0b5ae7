// Values and seeds for the exact sums' tests: the pass the cases use and how a case's values
// become seeds.
#ifndef AGREEMENT_SWEEP_SUMS_VALUES_H
#define AGREEMENT_SWEEP_SUMS_VALUES_H

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "sums.h"

constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int Q = 77; // the pass the cases use; the others hold a plain value
// 2^-21 (1 + 59 2^-30 + 2^-52): its square rounds to a multiple of 2^-90, and the rounding
// error is a multiple of 2^-146 only, below the lanes' last digit.
inline const double SQUARE_SPLIT =
    std::ldexp(1.0 + 59 * std::ldexp(1.0, -30) + std::ldexp(1.0, -52), -21);

// One seed per value: r at pass Q is the value, rho there its negation; elsewhere 0.25 and 0.5.
inline void add_values(pass_sums *sums, const std::vector<double> &values)
{
    for (double v : values) {
        double r[PASS_COUNT];
        double rho[PASS_COUNT];
        std::fill(r, r + PASS_COUNT, 0.25);
        std::fill(rho, rho + PASS_COUNT, 0.5);
        r[Q] = v;
        rho[Q] = -v;
        add_seed_to_sums(sums, r, rho);
    }
}

inline double uniform(std::mt19937_64 *generator) // in [-1, 1), the same on every library
{
    return std::ldexp(static_cast<double>((*generator)() >> 11), -52) - 1.0;
}

#endif
