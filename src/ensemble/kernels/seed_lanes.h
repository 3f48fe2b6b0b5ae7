// The ensemble's fast seed kernels: many seeds, and within a seed many passes, side by side
// in the lanes of the vector registers, with the same doubles as run_seed for every seed,
// pass and coupling coefficient. Internal to the ensemble.
//
// A block of seeds is run in two phases. The masks phase runs the generator for up to
// LANE_SEEDS seeds at once, one seed per lane: it builds every pass's direction mask by the
// same rejection draws as build_mask_from, records the mask and the state word where the
// pass's coupled draws start, and jumps the lane's generator past those 128 draws. The
// coupled phase then runs a seed's passes side by side, each lane starting from its recorded
// state word, and works out r, and when asked the rank statistic, per pass.
#ifndef AGREEMENT_SWEEP_SEED_LANES_H
#define AGREEMENT_SWEEP_SEED_LANES_H

#include <cstdint>

#include "kernels.h"
#include "stats.h"

// A seed's passes as the masks phase leaves them. Pass q's agree flag for step p is bit
// 31 - p % 32 of flags[p / 32][q]: doubling a word moves the next step's flag into its sign
// bit. Bit 0 of word 3 stands for index 127, outside the mask, and is always 0.
struct pass_draws {
    std::uint32_t state[PASS_COUNT];    // state word before pass q's coupled draws
    std::uint32_t flags[4][PASS_COUNT]; // pass q's flags, 32 steps to a word
};

// What every pass of a seed shares: the reference signal and what is taken from it once.
struct seed_reference {
    double level[SIGNAL_LENGTH];     // the reference signal
    double deviation[SIGNAL_LENGTH]; // level - mean, as the correlation's sum takes it
    double size[STEP_COUNT];         // |step|, the reference step's magnitude
    std::uint32_t falls[STEP_COUNT]; // all ones when the step goes down, else 0
    std::uint32_t moves[STEP_COUNT]; // all ones when the step isn't level, else 0
    double scale;                    // sqrt(variance) * 128, the correlation's divisor part
    int turning_points;
};

// Fills the reference: the seed's first 128 draws and what the passes take from them.
void prepare_reference(std::uint32_t seed, seed_reference *reference);

// A vector path's entry in the table of paths, with its own parts for the tests to hold
// against the plain ones: the rank statistic of rank_width whole signals at once,
// signals[s * 128 .. s * 128 + 127], and x[i] / 32767 for count values (a multiple of 8) by
// the path's own way.
struct kernel_isa {
    kernel_path path;
    void (*rank_signals)(const double *signals, rank_result *ranks);
    int rank_width;
    void (*divide_by_random_max)(const double *x, double *quotients, int count);
};

// The AVX-512 kernel's source through SIMDe's portable forms of its instructions, in the tests'
// own library; the build's own paths are in the table (kernel_isas()).
extern const kernel_isa AVX512_SIMDE_ISA;

// The vector paths this build has, widest first, ending in a null: the table the program
// chooses from. The plain path follows them in kernel_paths().
const kernel_isa *const *kernel_isas();

#endif
