// Signal synthesis: the seeded random source, the direction mask and the coupled signal.
//
// Every draw of the run comes from the one random source below, in program order, so the
// order of calls into this header is part of the experiment's result.
//
// Each operation that draws comes in two forms: the run's own, which draws from the run's
// generator (seed 1, in static storage, never reseeded), and a `_from` form that draws from a
// state word the caller owns. The ensemble gives each of its threads a state word of its own
// and starts it at the seed it runs; with a state word starting at 1 the `_from` forms draw
// exactly what the run's forms draw.
#ifndef AGREEMENT_SWEEP_SYNTH_H
#define AGREEMENT_SWEEP_SYNTH_H

#include <cstdint>

#include "experiment.h"

// ---- Random source: 32-bit linear congruential generator ----

constexpr std::uint32_t RANDOM_MULTIPLIER = 214013U; // 0x343FD
constexpr std::uint32_t RANDOM_INCREMENT = 2531011U; // 0x269EC3

// The generator's jump past n draws: state' = multiplier * state + increment (mod 2^32), what
// n calls of next_draw_from do to the state word, for a lane to skip draws it doesn't need.
struct draw_jump {
    std::uint32_t multiplier;
    std::uint32_t increment;
};
draw_jump jump_past(std::uint64_t draws);

// Advances *state one step and returns its bits 16 .. 30: an integer 0 .. RANDOM_MAX.
// Unsigned arithmetic wraps modulo 2^32, which is the generator's modulus.
inline int next_draw_from(std::uint32_t *state)
{
    *state = *state * RANDOM_MULTIPLIER + RANDOM_INCREMENT;
    return static_cast<int>((*state >> 16) & static_cast<std::uint32_t>(RANDOM_MAX));
}

// The run's generator: advances it one step and returns the draw.
int next_draw();

// Returns (r * 9.0) / 32767.0 + 1.0 for a raw draw r: 1.0 for r = 0, 10.0 for r = 32767.
inline double level_from_draw(int r)
{
    // Multiply, then divide, then add: this order decides the last bit of some levels.
    return (static_cast<double>(r) * 9.0) / RANDOM_SCALE + 1.0;
}

// Returns floor((r * 127.0) / 32767.0): 0 .. 127, and 127 only for r = 32767.
inline int step_index_from_draw(int r)
{
    // Equals floor((r * 127.0) / 32767.0) in doubles for every draw: r * 127 is exact, and an
    // inexact quotient lies at least 1/32767 below the next integer, far more than the
    // division's rounding error, so rounding never carries it across an integer. The integer
    // division avoids a floating-point division and a call to floor in the mask's rejection
    // loop, which takes tens of thousands of draws per run.
    return r * STEP_COUNT / RANDOM_MAX;
}

// Consumes one draw and returns its level in [1.0, 10.0].
double draw_level();
double draw_level_from(std::uint32_t *state);

// Consumes one draw and returns its step index 0 .. 127 (127 lies outside the mask).
int draw_step_index();
inline int draw_step_index_from(std::uint32_t *state)
{
    return step_index_from_draw(next_draw_from(state));
}

// ---- Direction mask ----

// Sets all STEP_COUNT flags to 1, then clears exactly q of them (0 <= q <= STEP_COUNT),
// chosen by rejection sampling. Consumes no draw when q = 0, at least q draws otherwise.
void build_mask(std::int32_t *mask, int q);
void build_mask_from(std::uint32_t *state, std::int32_t *mask, int q);

// ---- Coupled signal ----

// A reference step's size and direction. A level step neither rises nor falls.
struct reference_step {
    double size; // |reference[p + 1] - reference[p]|
    bool rises;
    bool falls;
};

// Reference step p, from level p to level p + 1.
inline reference_step reference_step_at(const double *reference, int p)
{
    const double step = reference[p + 1] - reference[p];
    return reference_step{step < 0.0 ? -step : step, step > 0.0, step < 0.0};
}

// The two levels a step from level y can reach for the raw draw r, with d the magnitude of the
// matching reference step and k the coupling coefficient: the up level lies in
// [d k + y, 10 - ((10 - y) - d) k] and the down level in [((y - d) - 1) k + 1, y - d k]. Each
// bound is taken in exactly this operand order, which decides the last bit of some levels.
// At k = 1 an agreeing step copies the reference step; at k = 0 only its direction is tied.
struct step_levels {
    double up;
    double down;
};
inline step_levels coupled_step_levels(double y, double d, double k, double r)
{
    const double upper_up = LEVEL_MAX - ((LEVEL_MAX - y) - d) * k;
    const double lower_up = d * k + y;
    const double upper_down = y - d * k;
    const double lower_down = ((y - d) - LEVEL_MIN) * k + LEVEL_MIN;
    // The up rule's base d k + y is lower_up, and the down rule's y - d k is upper_down.
    const step_levels levels = {(r * (upper_up - lower_up)) / RANDOM_SCALE + lower_up,
                                upper_down - (r * (upper_down - lower_down)) / RANDOM_SCALE};
    return levels;
}

// The same two levels for k = 0, where the bounds are exactly 10, y, y and 1 for every
// finite level and step: each product with k is a zero, which leaves the sum it enters
// unchanged. The same doubles as coupled_step_levels(y, d, 0.0, r), with a shorter wait from
// one level to the next.
inline step_levels coupled_step_levels_uncoupled(double y, double r)
{
    const step_levels levels = {(r * (LEVEL_MAX - y)) / RANDOM_SCALE + y,
                                y - (r * (y - LEVEL_MIN)) / RANDOM_SCALE};
    return levels;
}

// Overwrites all 128 levels of coupled: a first level from draw_level(), then one step per
// reference step, up or down as the mask ties it to the reference step's direction, each
// drawn between the bounds of coupling coefficient k (0 <= k <= 1). A level reference step
// always goes down. Consumes exactly 128 draws whatever k is, so the draws of a seed are the
// same for every k. The run's form uses COUPLING_K.
void generate_coupled(const double *reference, const std::int32_t *mask, double *coupled);
void generate_coupled_from(std::uint32_t *state, const double *reference, const std::int32_t *mask,
                           double k, double *coupled);

// Rewrites every level as mean + (level - mean) * AMPLIFICATION. The mean is the caller's.
void amplify_deviations(double *coupled, double mean);

// The run's generator state word. Only the run's forms of the operations above use it.
std::uint32_t *run_random_state();

#endif
