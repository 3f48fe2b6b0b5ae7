// The coupled signal follows the reference's step directions where the mask says so and
// opposes them elsewhere. The bounds carry the coupling coefficient COUPLING_K; at 0.0 each
// new level is drawn over the whole room left in the chosen direction.
#include "synth/synth.h"

void generate_coupled(const double *reference, const std::int32_t *mask, double *coupled)
{
    const double k = COUPLING_K;
    coupled[0] = draw_level();
    for (int p = 0; p < STEP_COUNT; ++p) {
        const double y = coupled[p];
        const double step = reference[p + 1] - reference[p];
        const double d = step < 0.0 ? -step : step;

        // Each bound keeps its own operand order; with k = 0.0 they are exactly
        // LEVEL_MAX, y, y and LEVEL_MIN.
        const double upper_up = LEVEL_MAX - ((LEVEL_MAX - y) - d) * k;
        const double lower_up = d * k + y;
        const double upper_down = y - d * k;
        const double lower_down = ((y - d) - LEVEL_MIN) * k + LEVEL_MIN;

        // A level reference step has no direction to follow, so it always goes down.
        const bool up = (mask[p] == 1 && step > 0.0) || (mask[p] == 0 && step < 0.0);

        // The draw comes after the direction: one draw per step either way.
        const double r = static_cast<double>(next_draw());
        if (up) {
            coupled[p + 1] = (r * (upper_up - lower_up)) / 32767.0 + lower_up;
        } else {
            coupled[p + 1] = upper_down - (r * (upper_down - lower_down)) / 32767.0;
        }
    }
}

void amplify_deviations(double *coupled, double mean)
{
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        coupled[p] = mean + (coupled[p] - mean) * AMPLIFICATION;
    }
}
