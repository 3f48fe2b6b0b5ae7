// The run's only source of randomness. The whole output is a fixed function of this
// sequence, so the constants, the wrap in 32 bits and the 15 returned bits must stay exact.
#include <cstdint>

#include "synth.h"

namespace {

// Seed 1, set before the run starts; nothing reseeds it, so every run draws the same.
std::uint32_t state = 1U;

} // namespace

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
