// The run's only source of randomness. The whole output is a fixed function of this
// sequence, so the constants, the wrap in 32 bits and the 15 returned bits must stay exact.
#include <cstdint>

#include "synth/synth.h"

namespace {

// Seed 1, set before the run starts; nothing reseeds it, so every run draws the same.
std::uint32_t state = 1U;

constexpr std::uint32_t MULTIPLIER = 214013U;  // 0x343FD
constexpr std::uint32_t INCREMENT = 2531011U;  // 0x269EC3

} // namespace

int next_draw()
{
    // Unsigned arithmetic wraps modulo 2^32, which is the generator's modulus.
    state = state * MULTIPLIER + INCREMENT;
    return static_cast<int>((state >> 16) & 0x7FFFU);
}

double level_from_draw(int r)
{
    // Multiply, then divide, then add: this order decides the last bit of some levels.
    return (static_cast<double>(r) * 9.0) / 32767.0 + 1.0;
}

int step_index_from_draw(int r)
{
    // Equals floor((r * 127.0) / 32767.0) in doubles for every draw: r * 127 is exact, and an
    // inexact quotient lies at least 1/32767 below the next integer, far more than the
    // division's rounding error, so rounding never carries it across an integer. The integer
    // division avoids a floating-point division and a call to floor in the mask's rejection
    // loop, which takes tens of thousands of draws per run.
    return r * 127 / 32767;
}

double draw_level()
{
    return level_from_draw(next_draw());
}

int draw_step_index()
{
    return step_index_from_draw(next_draw());
}
