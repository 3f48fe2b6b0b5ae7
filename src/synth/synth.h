// Signal synthesis: the seeded random source, the direction mask and the coupled signal.
//
// Every draw of the run comes from the one random source below, in program order, so the
// order of calls into this header is part of the experiment's result.
#ifndef AGREEMENT_SWEEP_SYNTH_H
#define AGREEMENT_SWEEP_SYNTH_H

#include "experiment.h"

// ---- Random source: 32-bit linear congruential generator, seed 1, never reseeded ----

// Advances the state one step and returns its bits 16 .. 30: an integer 0 .. RANDOM_MAX.
int next_draw();

// Returns (r * 9.0) / 32767.0 + 1.0 for a raw draw r: 1.0 for r = 0, 10.0 for r = 32767.
double level_from_draw(int r);

// Returns floor((r * 127.0) / 32767.0): 0 .. 127, and 127 only for r = 32767.
int step_index_from_draw(int r);

// Consumes one draw and returns its level in [1.0, 10.0].
double draw_level();

// Consumes one draw and returns its step index 0 .. 127 (127 lies outside the mask).
int draw_step_index();

// ---- Direction mask ----

// Sets all STEP_COUNT flags to 1, then clears exactly q of them (0 <= q <= STEP_COUNT),
// chosen by rejection sampling. Consumes no draw when q = 0, at least q draws otherwise.
void build_mask(std::int32_t *mask, int q);

// ---- Coupled signal ----

// Overwrites all 128 levels of coupled: a first level from draw_level(), then one step per
// reference step, up or down as the mask ties it to the reference step's direction, each
// drawn uniformly over the room left that way. Consumes exactly 128 draws.
void generate_coupled(const double *reference, const std::int32_t *mask, double *coupled);

// Rewrites every level as mean + (level - mean) * AMPLIFICATION. The mean is the caller's.
void amplify_deviations(double *coupled, double mean);

#endif
