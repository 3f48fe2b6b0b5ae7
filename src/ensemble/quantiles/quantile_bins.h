// What the quantiles room's parts share: where a cell's figures sit and which histogram bin a
// value of r falls in. Internal to the room.
#ifndef AGREEMENT_SWEEP_QUANTILE_BINS_H
#define AGREEMENT_SWEEP_QUANTILE_BINS_H

#include <cstddef>

#include "quantiles.h"

constexpr int QUANTILE_PER_MILLE[QUANTILES] = {25, 500, 975}; // 2.5 %, 50 %, 97.5 %

inline std::size_t cell_of(int coupling, int q)
{
    return static_cast<std::size_t>(coupling) * PASS_COUNT + static_cast<std::size_t>(q);
}

// The histogram bin of r among bins over [-1, 1]. Values a rounding step outside [-1, 1]
// go to the end bins, which keeps the bins in the order of the values.
inline int bin_of(double r, int bins)
{
    const double place = (r + 1.0) * (0.5 * bins); // bins / 2 per unit, exactly
    if (!(place >= 0.0)) {
        return 0;
    }
    // Truncation is the floor here, without a call to floor for every value folded.
    return place >= bins ? bins - 1 : static_cast<int>(place);
}

#endif
