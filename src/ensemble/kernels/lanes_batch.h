// What a batch of passes keeps while the kernel works on it, for every vector width: the
// coupled phase fills it, the moments amplify it, the rank statistic reads it.
#ifndef AGREEMENT_SWEEP_LANES_BATCH_H
#define AGREEMENT_SWEEP_LANES_BATCH_H

#include <cstdint>

#include "experiment.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

// ---- One group of passes ----

// A group is L::WIDTH passes (one key vector, two level vectors); a batch is GROUPS groups,
// run step by step together so that each level's long chain of dependent operations
// overlaps the others'.
template <class L> struct batch_work {
    static constexpr int GROUPS = L::GROUPS;
    static constexpr int PASSES = GROUPS * L::WIDTH;
    static_assert(PASS_COUNT % PASSES == 0, "a seed's passes fill whole batches");
    static_assert(L::WIDTH % 2 == 0, "a group's passes fill two vectors of levels");
    static constexpr int HALF = L::WIDTH / 2; // lanes of a level vector
    alignas(64) double level[SIGNAL_LENGTH][PASSES];
    alignas(64) std::uint32_t key[SIGNAL_LENGTH][L::WIDTH];
    bool finite[PASSES];
};

} // namespace LANES_NAMESPACE

#endif
