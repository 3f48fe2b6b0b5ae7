// The rank statistic's sorting network for every instruction set: keys that order like the
// levels, and a bitonic network over them, one pass per lane. Included by lanes_kernel.h, in
// the including file's own namespace (LANES_NAMESPACE).
#ifndef AGREEMENT_SWEEP_LANES_NETWORK_H
#define AGREEMENT_SWEEP_LANES_NETWORK_H

#include <cstdint>

#include "lanes_inline.h"
#include "seed_lanes.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

// The rank statistic's keys are 32-bit and order like floats, which the vector units
// compare on more ports and in every instruction set: 0x00800000 + (code << 7) + time index,
// with the level's code in 0 .. MOST_CODE, so that every key is a positive normal float
// below the largest one, 0x7F7FFFFF.
constexpr std::uint32_t KEY_BASE = 0x00800000U;
constexpr int MOST_CODE = static_cast<int>((0x7F7FFFFFU - KEY_BASE) >> 7);
constexpr std::uint32_t TIME_BITS = 127U;

// ---- Sorting the keys ----
//
// The keys of a group of passes, one pass per lane, are sorted by a bitonic network: merges
// of blocks of m = 2, 4, .., 128, each stage m comparing places i and i + s (s = m/2 .. 1)
// into ascending order where bit m of i is 0 and descending where it is 1 (for m = 128 it
// is 0 everywhere). Up to ten stages run on 16 registers at a time, loaded from places that
// differ only in four stride bits, so that the keys go through memory six times instead of
// twenty-eight; a set may finish one merge and start the next.

// Puts the lower key in a and the higher in b, or the other way round.
template <class L, bool ASCENDING> inline void exchange(typename L::keys &a, typename L::keys &b)
{
    const typename L::keys low = L::key_min(a, b);
    const typename L::keys high = L::key_max(a, b);
    a = ASCENDING ? low : high;
    b = ASCENDING ? high : low;
}

// A stage of the network: merge m, stride s.
struct stage {
    int m;
    int s;
};

// A sweep over the keys: up to ten stages on each set of 16 places that differ only in the bits of
// four strides. Every stage's stride is one of them, so a comparator's two places are in the same
// set, and every stage's direction is known without looking at the keys: from the place's own
// stride bits when bit m is one of them, else from the set's base, or ascending for m = 128.
struct network_sweep {
    int strides[4];
    stage stages[10];
    int stage_count;
};

constexpr network_sweep NETWORK_SWEEPS[] = {
    // Blocks of 16 sorted, ascending and descending in turn.
    {{8, 4, 2, 1},
     {{2, 1}, {4, 2}, {4, 1}, {8, 4}, {8, 2}, {8, 1}, {16, 8}, {16, 4}, {16, 2}, {16, 1}},
     10},
    {{16, 8, 4, 2}, {{32, 16}, {32, 8}, {32, 4}, {32, 2}}, 4},
    {{32, 16, 8, 1}, {{32, 1}, {64, 32}, {64, 16}, {64, 8}}, 4},
    {{64, 4, 2, 1}, {{64, 4}, {64, 2}, {64, 1}, {128, 64}}, 4},
    {{32, 16, 8, 4}, {{128, 32}, {128, 16}, {128, 8}, {128, 4}}, 4},
    {{8, 4, 2, 1}, {{128, 2}, {128, 1}, {0, 0}, {0, 0}}, 2},
};

// Place t of the set from base: base plus the strides of t's bits, stride 0 for bit 3.
constexpr int place_in_set(const network_sweep &sweep, int base, int t)
{
    return base + ((t & 8) != 0 ? sweep.strides[0] : 0) + ((t & 4) != 0 ? sweep.strides[1] : 0) +
           ((t & 2) != 0 ? sweep.strides[2] : 0) + ((t & 1) != 0 ? sweep.strides[3] : 0);
}

constexpr int stride_bit(const network_sweep &sweep, int s)
{
    return s == sweep.strides[0] ? 8 : s == sweep.strides[1] ? 4 : s == sweep.strides[2] ? 2 : 1;
}

constexpr bool spans(const network_sweep &sweep, int m)
{
    return m == sweep.strides[0] || m == sweep.strides[1] || m == sweep.strides[2] ||
           m == sweep.strides[3];
}

// The sweep's stages on one set; BASE_BIT_SET: the base has bit m of the stages whose m is
// no stride of the set.
template <class L, int P, bool BASE_BIT_SET>
LANES_INLINE void network_set(typename L::keys *k, int base)
{
    constexpr network_sweep sweep = NETWORK_SWEEPS[P];
    typename L::keys v[16];
    LANES_UNROLLED
    for (int t = 0; t < 16; ++t) {
        v[t] = k[place_in_set(sweep, base, t)];
    }
    LANES_UNROLLED
    for (int i = 0; i < sweep.stage_count; ++i) {
        const stage st = sweep.stages[i];
        const int bit = stride_bit(sweep, st.s);
        LANES_UNROLLED
        for (int t = 0; t < 16; ++t) {
            if ((t & bit) != 0) {
                continue;
            }
            const bool ascending = st.m == SIGNAL_LENGTH ? true
                                   : spans(sweep, st.m)  ? (place_in_set(sweep, 0, t) & st.m) == 0
                                                         : !BASE_BIT_SET;
            if (ascending) {
                exchange<L, true>(v[t], v[t | bit]);
            } else {
                exchange<L, false>(v[t], v[t | bit]);
            }
        }
    }
    LANES_UNROLLED
    for (int t = 0; t < 16; ++t) {
        k[place_in_set(sweep, base, t)] = v[t];
    }
}

// The eight bases of a sweep's sets: the places with none of the strides' bits.
struct set_bases {
    int at[8];
};

constexpr set_bases bases_of(const network_sweep &sweep)
{
    set_bases bases = {};
    int count = 0;
    const int spanned = sweep.strides[0] | sweep.strides[1] | sweep.strides[2] | sweep.strides[3];
    for (int base = 0; base < SIGNAL_LENGTH; ++base) {
        if ((base & spanned) == 0) {
            bases.at[count++] = base;
        }
    }
    return bases;
}

// Runs sweep P on all eight of its sets.
template <class L, int P> void network_sweep_on(typename L::keys *k)
{
    constexpr network_sweep sweep = NETWORK_SWEEPS[P];
    constexpr set_bases bases = bases_of(sweep);
    // The m whose bit comes from the base, if any stage has one below 128.
    constexpr int base_m = !spans(sweep, sweep.stages[0].m) && sweep.stages[0].m < SIGNAL_LENGTH
                               ? sweep.stages[0].m
                           : !spans(sweep, sweep.stages[sweep.stage_count - 1].m) &&
                                   sweep.stages[sweep.stage_count - 1].m < SIGNAL_LENGTH
                               ? sweep.stages[sweep.stage_count - 1].m
                               : 0;
    for (int i = 0; i < 8; ++i) {
        if ((bases.at[i] & base_m) != 0) {
            network_set<L, P, true>(k, bases.at[i]);
        } else {
            network_set<L, P, false>(k, bases.at[i]);
        }
    }
}

template <class L> LANES_NOINLINE void sort_keys(typename L::keys *k)
{
    network_sweep_on<L, 0>(k);
    network_sweep_on<L, 1>(k);
    network_sweep_on<L, 2>(k);
    network_sweep_on<L, 3>(k);
    network_sweep_on<L, 4>(k);
    network_sweep_on<L, 5>(k);
}

} // namespace LANES_NAMESPACE

#endif
