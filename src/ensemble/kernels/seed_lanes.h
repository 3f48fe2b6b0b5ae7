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

// The vector paths, each in a file of its own built for its instruction set, each with its
// entry in the table of kernel paths. The build defines AGREEMENT_ENSEMBLE_AVX2 where it builds
// the AVX2 file for AVX2, AGREEMENT_ENSEMBLE_AVX512 where it builds the AVX-512 file for
// AVX-512 and AGREEMENT_ENSEMBLE_EMULATE_AVX512 where it builds it through SIMDe instead;
// SSE2 is part of every x86-64 processor.
#if defined(__SSE2__) || defined(_M_X64)
#define AGREEMENT_ENSEMBLE_SSE2 1
#endif
extern const kernel_path SSE2_PATH;
extern const kernel_path AVX2_PATH;
extern const kernel_path AVX512_PATH;
// The AVX-512 kernel through SIMDe's portable forms of its instructions.
extern const kernel_path AVX512_EMULATED_PATH;

// Whether the processor has AVX2 and FMA, or AVX-512 F, BW, DQ and VL with them: asked from a
// file built for every x86-64, as the kernels' own files may use those instructions anywhere.
bool avx2_processor();
bool avx512_processor();
// Whether the emulated AVX-512 kernel runs here: on x86-64 it is built for AVX2 and FMA.
bool avx512_emulation_runs();

#endif
