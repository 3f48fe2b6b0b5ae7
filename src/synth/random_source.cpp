// The run's only source of randomness. The whole output is a fixed function of this
// sequence, so the constants, the wrap in 32 bits and the 15 returned bits must stay exact.
#include <cstdint>

#include "synth.h"

namespace {

// Seed 1, set before the run starts; nothing reseeds it, so every run draws the same.
std::uint32_t state = 1U;

} // namespace

draw_jump jump_past(std::uint64_t draws)
{
    // Square and multiply: the jump past 2^i draws composed with itself gives the jump past
    // 2^(i + 1); the jumps of draws' set bits composed give the whole. Everything wraps in
    // 32 bits, as the steps themselves do, so the composition is exact.
    draw_jump jump = {1U, 0U};
    draw_jump power = {RANDOM_MULTIPLIER, RANDOM_INCREMENT};
    for (; draws != 0; draws >>= 1) {
        if ((draws & 1U) != 0) {
            jump.increment = power.multiplier * jump.increment + power.increment;
            jump.multiplier = power.multiplier * jump.multiplier;
        }
        power.increment = power.multiplier * power.increment + power.increment;
        power.multiplier = power.multiplier * power.multiplier;
    }
    return jump;
}

std::uint32_t *run_random_state()
{
    return &state;
}

int next_draw()
{
    return next_draw_from(&state);
}

double draw_level()
{
    return draw_level_from(&state);
}

double draw_level_from(std::uint32_t *state_word)
{
    return level_from_draw(next_draw_from(state_word));
}

int draw_step_index()
{
    return draw_step_index_from(&state);
}
