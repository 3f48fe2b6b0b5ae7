// The coupled signal follows the reference's step directions where the mask says so and
// opposes them elsewhere. The bounds carry the coupling coefficient COUPLING_K; at 0.0 each
// new level is drawn over the whole room left in the chosen direction.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "synth/synth.h"

namespace {

// Returns a where take_a has all bits set and b where it has none. Each level waits for the
// one before it and the direction of a step is random, so the choice must be neither a
// branch nor a detour through the integer registers; on x86 it stays in the vector unit.
#if defined(__SSE2__) || defined(_M_X64)
double choose(__m128d take_a, double a, double b)
{
    return _mm_cvtsd_f64(
        _mm_or_pd(_mm_and_pd(take_a, _mm_set_sd(a)), _mm_andnot_pd(take_a, _mm_set_sd(b))));
}
__m128d choice_mask(bool take_a)
{
    return _mm_castsi128_pd(_mm_set1_epi64x(-static_cast<long long>(take_a)));
}
#else
double choose(bool take_a, double a, double b)
{
    return take_a ? a : b;
}
bool choice_mask(bool take_a)
{
    return take_a;
}
#endif

} // namespace

void generate_coupled_from(std::uint32_t *state, const double *reference,
                           const std::int32_t *mask, double *coupled)
{
    const double k = COUPLING_K;
    std::uint32_t word = *state;
    coupled[0] = draw_level_from(&word);
    for (int p = 0; p < STEP_COUNT; ++p) {
        const double y = coupled[p];
        const double step = reference[p + 1] - reference[p];
        const double d = step < 0.0 ? -step : step;

        // Each bound keeps its own operand order. With k = 0.0 they are exactly LEVEL_MAX, y,
        // y and LEVEL_MIN for every finite level and step (each product with k is a zero, which
        // leaves the sum it enters unchanged), so the bounds are taken in that reduced form:
        // the same doubles, and a shorter wait from one level to the next.
        double upper_up = LEVEL_MAX;
        double lower_up = y;
        double upper_down = y;
        double lower_down = LEVEL_MIN;
        if (COUPLING_K != 0.0) {
            upper_up = LEVEL_MAX - ((LEVEL_MAX - y) - d) * k;
            lower_up = d * k + y;
            upper_down = y - d * k;
            lower_down = ((y - d) - LEVEL_MIN) * k + LEVEL_MIN;
        }

        // A level reference step has no direction to follow, so it always goes down. The
        // flags and signs combine without branching.
        const int agree = static_cast<int>(mask[p] == 1);
        const int rises = static_cast<int>(step > 0.0);
        const int falls = static_cast<int>(step < 0.0);
        const bool up = ((agree & rises) | ((1 - agree) & falls)) != 0;

        // The draw comes after the direction: one draw per step either way. Both levels are
        // worked out and one is kept, so the next step needn't wait for the direction.
        const double r = static_cast<double>(next_draw_from(&word));
        const double up_level = (r * (upper_up - lower_up)) / 32767.0 + lower_up;
        const double down_level = upper_down - (r * (upper_down - lower_down)) / 32767.0;
        coupled[p + 1] = choose(choice_mask(up), up_level, down_level);
    }
    *state = word;
}

void generate_coupled(const double *reference, const std::int32_t *mask, double *coupled)
{
    generate_coupled_from(run_random_state(), reference, mask, coupled);
}

void amplify_deviations(double *coupled, double mean)
{
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        coupled[p] = mean + (coupled[p] - mean) * AMPLIFICATION;
    }
}
