// What the quantiles room's parts share: where a cell's figures sit and which histogram bin a
// value of r falls in. Internal to the room.
#ifndef AGREEMENT_SWEEP_QUANTILE_BINS_H
#define AGREEMENT_SWEEP_QUANTILE_BINS_H

#include <cstddef>
#include <cstdint>

#include "quantiles.h"
#include "stats.h"

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

// Marks in flags (one per bin of a cell) the bins holding the ranks low .. high (as doubles,
// already within the cell's values) of a cell's histogram.
inline void mark_ranks(const std::uint64_t *histogram, std::size_t bins, double low, double high,
                       std::uint8_t *flags)
{
    std::uint64_t below = 0;
    bool inside = false;
    for (std::size_t b = 0; b < bins; ++b) {
        const std::uint64_t count = histogram[b];
        // Through a signed integer (counts stay far below 2^63): 32-bit x86 then needs no
        // arithmetic on its x87 unit to make the double.
        const double last = static_cast<double>(static_cast<std::int64_t>(below + count)) - 1.0;
        if (!inside && count != 0 && last >= low) {
            inside = true;
        }
        if (inside) {
            flags[b] = 1U;
            if (count != 0 && last >= high) {
                break;
            }
        }
        below += count;
    }
}

#endif
